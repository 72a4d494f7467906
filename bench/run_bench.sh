#!/usr/bin/env bash
# Times vantu (fast kernels) against vantu-plain (the literal kernels) on
# simulated colonies, checks that every result file and the console output
# agree byte for byte, and prints the times, their ratio per temperature
# step and where the fast program spends its time (VANTU_PROFILE=1). Run
# from the repository root:
#
#   bash bench/run_bench.sh                 # builds ./build first
#   BUILD=/tmp/b SHORT="200 500" USER_WHOLE= STEP20= bash bench/run_bench.sh
#
# Three kinds of cases; a case is CELLS[:SEED[:FRACTION]], the colony made
# by `vantu-sim --seed SEED --cells CELLS --divide-fraction FRACTION` (SEED
# defaults to CELLS, FRACTION to the simulator's 0.15):
#
#   USER_WHOLE  whole runs as users run them: the example configuration
#               (examples/colony/softconfig.dat: BetaInit 1 to BetaMax 200,
#               74 temperature steps, rEvar 0.0025, MaxSplit 3). Most of the
#               time goes to the steps at high Beta, where most weights are
#               exact zeros. Default "301 880:2:0.114" (301 x 337 and
#               880 x 980 cells). vantu-plain runs only on the cases up to
#               PLAIN_MAX cells (default 200): a whole run takes it more than
#               half an hour at 301 cells and hours at 880.
#   STEP20      one temperature step at Beta 20 with the same configuration
#               (BetaInit 20, BetaMax 21). Default "880:2:0.114".
#   SHORT       the first steps from BetaInit 1 (nearly every weight
#               non-zero) with rEvar 0.000625 and BetaMax set for the number
#               of steps in STEPS. Default "200 300 500 1000".
#   WHOLE       whole runs on the program's default schedule (BetaInit 0.1
#               to 200, 106 steps), rEvar 0.000625. Default none.
#
# Timings on a machine shared with other work move a lot from run to run:
# note the load (printed with each case) next to the figures.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD:-$ROOT/build}"
USER_WHOLE="${USER_WHOLE-301 880:2:0.114}"
STEP20="${STEP20-880:2:0.114}"
SHORT="${SHORT-${SIZES-200 300 500 1000}}"
WHOLE="${WHOLE:-}"
PLAIN_MAX="${PLAIN_MAX:-200}"
declare -A STEPS=([200]=3 [300]=2 [500]=2 [1000]=1)

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" --target vantu vantu-plain vantu-sim -j 2 >/dev/null

WORK="$(mktemp -d "${TMPDIR:-/tmp}/vantu-bench-XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

# BetaMax for n steps from BetaInit 1 with BetaIncr 1.075: just above the
# last Beta that runs.
beta_max() { awk -v n="$1" 'BEGIN { b = 1; for (k = 1; k < n; ++k) b *= 1.075; printf "%.6f", b * 1.01 }'; }
# Temperature steps from BetaInit to BetaMax (the driver's loop).
count_steps() { awk -v b="$1" -v m="$2" 'BEGIN { n = 0; while (b < m) { ++n; b *= 1.075 } print n }'; }

# config BETA_MAX BETA_INIT REVAR
config() {
  cat <<CFG
$2 BetaInit
1.075 BetaIncr
$1 BetaMax
0.1 lambda1
0 lambda2
1 TH
$3 rEvar
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

echo "| case | cells (K x M) | steps | plain (s) | fast (s) | plain/fast | identical | load |"
echo "|---|---|---|---|---|---|---|---|"
PROFILES=""
RUNS=""
for c in $USER_WHOLE; do RUNS+=" user:$c"; done
for c in $STEP20; do RUNS+=" beta20:$c"; done
for c in $SHORT; do RUNS+=" short:$c"; done
for c in $WHOLE; do RUNS+=" whole:$c"; done
for run in $RUNS; do
  kind="${run%%:*}"
  case_args="${run#*:}"
  IFS=: read -r N seed fraction <<<"$case_args"
  seed="${seed:-$N}"
  case "$kind" in
    user)   beta_init=1; beta_max=200; revar=0.0025; label="whole, BetaInit 1" ;;
    beta20) beta_init=20; beta_max=21; revar=0.0025; label="one step, Beta 20" ;;
    short)  beta_init=1; beta_max="$(beta_max "${STEPS[$N]:-1}")"; revar=0.000625; label="first steps" ;;
    whole)  beta_init=0.1; beta_max=200; revar=0.000625; label="whole, default schedule" ;;
  esac
  steps="$(count_steps "$beta_init" "$beta_max")"
  dir="$WORK/$kind-$N-$seed"
  mkdir -p "$dir/plain" "$dir/fast"
  sim=(--seed "$seed" --cells "$N")
  [ -n "$fraction" ] && sim+=(--divide-fraction "$fraction")
  "$BUILD/vantu-sim" "${sim[@]}" "$dir/first.dat" "$dir/second.dat" "$dir/truth.dat" >/dev/null
  K=$(grep -c . "$dir/first.dat"); M=$(grep -c . "$dir/second.dat")
  for side in plain fast; do
    cp "$dir/first.dat" "$dir/second.dat" "$dir/$side/"
    config "$beta_max" "$beta_init" "$revar" >"$dir/$side/softconfig.dat"
  done
  run_plain=yes
  [ "$kind" = user ] && [ "$N" -gt "$PLAIN_MAX" ] && run_plain=no
  load="$(cut -d' ' -f1 /proc/loadavg)"
  tp="-"
  if [ $run_plain = yes ]; then
    t0=$(now)
    (cd "$dir/plain" && "$BUILD/vantu-plain" first.dat second.dat >stdout.txt 2>stderr.txt)
    t1=$(now)
    tp=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
  fi
  t1=$(now)
  (cd "$dir/fast" && VANTU_PROFILE=1 "$BUILD/vantu" first.dat second.dat >stdout.txt 2>profile.txt)
  t2=$(now)
  load="$load-$(cut -d' ' -f1 /proc/loadavg)"
  tf=$(awk -v a="$t1" -v b="$t2" 'BEGIN { printf "%.2f", b - a }')
  mv "$dir/fast/profile.txt" "$dir/profile.txt"
  if [ $run_plain = yes ]; then
    # The progress lines carry the elapsed time: compare without them.
    for side in plain fast; do grep -v '^  Beta:' "$dir/$side/stdout.txt" >"$dir/$side/console.txt" || true; rm "$dir/$side/stdout.txt"; done
    : >"$dir/fast/stderr.txt"
    if diff -r "$dir/plain" "$dir/fast" >/dev/null; then same=yes; else same=NO; fi
    ratio=$(awk -v p="$tp" -v f="$tf" 'BEGIN { printf "%.1fx", p / f }')
  else
    same="(plain not run)"; ratio="-"
  fi
  echo "| $label | $N ($K x $M) | $steps | $tp | $tf | $ratio | $same | $load |"
  PROFILES+=$'\n'"Fast run, $label, $K x $M cells, $steps step(s):"$'\n'"$(cat "$dir/profile.txt")"$'\n'
done
echo
echo "Where the fast program spends its time (VANTU_PROFILE=1, standard error):"
echo '```'
echo -n "$PROFILES"
echo '```'
