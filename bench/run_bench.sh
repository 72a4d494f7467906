#!/usr/bin/env bash
# Times vantu (fast kernels) against vantu-plain (the literal kernels) on
# simulated colonies of about 200, 300, 500 and 1000 cells, checks that every
# result file and the console output agree byte for byte, and prints the
# times, their ratio per temperature step and where the fast program spends
# its time (VANTU_PROFILE=1). Run from the repository root:
#
#   bash bench/run_bench.sh                 # builds ./build first
#   BUILD=/tmp/b SIZES="200 500" bash bench/run_bench.sh
#
# Schedules are shortened (BetaInit 1, BetaMax chosen for the number of
# temperature steps in STEPS) because the plain program takes minutes per
# step at 1000 cells. MaxSplit 3, every other value as in the tests' config.
#
#   WHOLE=300 SIZES= bash bench/run_bench.sh
#
# adds a whole run on the default schedule (BetaInit 0.1 to BetaMax 200,
# 106 temperature steps) at the given number of cells; the plain program
# needs several minutes for it at 300 cells.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD:-$ROOT/build}"
SIZES="${SIZES-200 300 500 1000}"
WHOLE="${WHOLE:-}"
declare -A STEPS=([200]=3 [300]=2 [500]=2 [1000]=1)

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" --target vantu vantu-plain vantu-sim -j 2 >/dev/null

WORK="$(mktemp -d "${TMPDIR:-/tmp}/vantu-bench-XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

# BetaMax for n steps from BetaInit 1 with BetaIncr 1.075: just above the
# last Beta that runs.
beta_max() { awk -v n="$1" 'BEGIN { b = 1; for (k = 1; k < n; ++k) b *= 1.075; printf "%.6f", b * 1.01 }'; }

config() {
  cat <<CFG
${2:-1} BetaInit
1.075 BetaIncr
$1 BetaMax
0.1 lambda1
0 lambda2
1 TH
0.000625 rEvar
1 alphaS
3 MaxSplit
1 nx
2 ny
3 Nlen
4 Nang
5 Nid
0 nz
1 gate
CFG
}

now() { date +%s.%N; }

echo "| cells (K x M) | steps | plain (s) | fast (s) | plain/fast per step | identical |"
echo "|---|---|---|---|---|---|"
PROFILES=""
RUNS=""
for N in $SIZES; do RUNS+=" $N:short"; done
[ -n "$WHOLE" ] && RUNS+=" $WHOLE:whole"
for run in $RUNS; do
  N="${run%%:*}"
  if [ "${run##*:}" = whole ]; then
    steps=106; beta_init=0.1; beta_max=200
  else
    steps="${STEPS[$N]:-1}"; beta_init=1; beta_max="$(beta_max "$steps")"
  fi
  dir="$WORK/c$N-$steps"
  mkdir -p "$dir/plain" "$dir/fast"
  "$BUILD/vantu-sim" --seed "$N" --cells "$N" "$dir/first.dat" "$dir/second.dat" "$dir/truth.dat" >/dev/null
  K=$(grep -c . "$dir/first.dat"); M=$(grep -c . "$dir/second.dat")
  for side in plain fast; do
    cp "$dir/first.dat" "$dir/second.dat" "$dir/$side/"
    config "$beta_max" "$beta_init" >"$dir/$side/softconfig.dat"
  done
  t0=$(now)
  (cd "$dir/plain" && "$BUILD/vantu-plain" first.dat second.dat >stdout.txt 2>stderr.txt)
  t1=$(now)
  (cd "$dir/fast" && VANTU_PROFILE=1 "$BUILD/vantu" first.dat second.dat >stdout.txt 2>profile.txt)
  t2=$(now)
  # The progress lines carry the elapsed time: compare without them.
  for side in plain fast; do grep -v '^  Beta:' "$dir/$side/stdout.txt" >"$dir/$side/console.txt" || true; rm "$dir/$side/stdout.txt"; done
  : >"$dir/fast/stderr.txt"
  mv "$dir/fast/profile.txt" "$dir/profile-$N.txt"
  if diff -r "$dir/plain" "$dir/fast" >/dev/null; then same=yes; else same=NO; fi
  tp=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
  tf=$(awk -v a="$t1" -v b="$t2" 'BEGIN { printf "%.2f", b - a }')
  ratio=$(awk -v p="$tp" -v f="$tf" 'BEGIN { printf "%.1f", p / f }')
  echo "| $N ($K x $M) | $steps | $tp | $tf | ${ratio}x | $same |"
  PROFILES+=$'\n'"Fast run, $N cells ($K x $M), $steps step(s):"$'\n'"$(cat "$dir/profile-$N.txt")"$'\n'
done
echo
echo "Where the fast program spends its time (VANTU_PROFILE=1, standard error):"
echo '```'
echo -n "$PROFILES"
echo '```'
