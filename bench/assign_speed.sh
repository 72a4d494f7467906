#!/usr/bin/env bash
# The tracker's speed where the assignment decides the links, against an
# earlier build in the same run (each input tracked by the old build, then
# by the new one, so both see the same load of a shared machine):
#
#   bench/assign_speed.sh NEW_BUILD [OLD_BUILD]     (OLD_BUILD default /work/baseline/build)
#
#   agar    the real agar movie (../shared/data/ecoli_agar), full rate and
#           every 2nd and 3rd frame (../shared/tools/subsample.py), from its
#           masks and from its points
#   noise   1000 cells, 3 frames, 4 and 8 px of position noise: with the
#           assignment and without it (--no-assign), new build; the old
#           build at 4 px only (at 8 px it takes about 20 minutes: FULL=1)
#   long    a movie of 1000 cells growing to about 2000, -j 2: 8 frames by
#           default, 300 frames with FULL=1 (hours)
#   stages  per movie of noise (8 px) and long: a whole run, then the same
#           folder again, its pairs taken from their records: the second is
#           the assignment and the stages after it, the difference the pairs
# Prints per case and build: wall s, processor s (user + system, all
# threads), peak memory, and the score (links right, daughters recall and
# precision; SCORER, default ../shared/tools/score_lineage.py). CASES picks
# cases (default "agar noise long stages").
set -euo pipefail
cd "$(dirname "$0")/.."
new=${1:?NEW_BUILD}
old=${2:-/work/baseline/build}
cases=${CASES:-agar noise long stages}
full=${FULL:-0}
scorer=${SCORER:-../shared/tools/score_lineage.py}
subsample=${SUBSAMPLE:-../shared/tools/subsample.py}
agar=${AGAR:-../shared/data/ecoli_agar}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "processor: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"

# run LABEL BIN TRUTH OUT ARGS...: tracks, prints one line.
run() {
  local label=$1 bin=$2 truth=$3 out=$4
  shift 4
  rm -rf "$out"
  if ! /usr/bin/time -f '%e %U %S %M' -o "$out.time" "$bin/vantu-track" -j 2 -o "$out" "$@" >/dev/null 2>"$out.err"; then
    echo "failed: $label" >&2
    tail -3 "$out.err" >&2
    return 1
  fi
  local score="(no scorer)"
  [ -f "$scorer" ] && score=$(python3 "$scorer" "$out/cells.csv" "$truth" 2>/dev/null | head -1 | awk '{ print $1, $2, $3, $4, $5, $6, $7, $8 }')
  awk -v l="$label" -v s="$score" '{ printf "%-34s %8.2f s wall %8.2f s cpu %6.0f MB  %s\n", l, $1, $2 + $3, $4 / 1024, s }' "$out.time"
}

# rerun LABEL BIN OUT ARGS...: the same folder again (its pairs cached).
rerun() {
  local label=$1 bin=$2 out=$3
  shift 3
  /usr/bin/time -f '%e %U %S %M' -o "$out.time2" "$bin/vantu-track" -j 2 -o "$out" "$@" >/dev/null 2>"$out.err"
  awk -v l="$label" '{ printf "%-34s %8.2f s wall %8.2f s cpu %6.0f MB\n", l, $1, $2 + $3, $4 / 1024 }' "$out.time2"
}

for c in $cases; do
  case $c in
    agar)
      if [ ! -f "$agar/truth.csv" ]; then echo "agar: no movie at $agar"; continue; fi
      ln -s "$(cd "$agar" && pwd)" "$work/every1"
      for k in 2 3; do python3 "$subsample" "$agar" "$work/every$k" "$k" >/dev/null; done
      for k in 1 2 3; do
        for in in masks frames; do
          for b in old new; do
            bin=$([ $b = old ] && echo "$old" || echo "$new")
            run "agar every $k $in $b" "$bin" "$work/every$k/truth.csv" "$work/agar-$k-$in-$b" "$work/every$k/$in"
          done
        done
      done
      ;;
    noise)
      for n in 4 8; do
        "$new/vantu-sim" --timelapse "$work/n$n" --cells 1000 --frames 3 --seed 3 --noise "$n" >/dev/null
        if [ "$n" = 4 ] || [ "$full" = 1 ]; then
          run "noise $n px old" "$old" "$work/n$n/truth.csv" "$work/n$n-old" "$work/n$n"/frame_*.dat
        fi
        run "noise $n px new" "$new" "$work/n$n/truth.csv" "$work/n$n-new" "$work/n$n"/frame_*.dat
        run "noise $n px new --no-assign" "$new" "$work/n$n/truth.csv" "$work/n$n-none" --no-assign "$work/n$n"/frame_*.dat
      done
      ;;
    long)
      frames=$([ "$full" = 1 ] && echo 300 || echo 8)
      "$new/vantu-sim" --timelapse "$work/long" --cells 1000 --frames "$frames" --step 0.34 --max-cells 2000 \
        --missing 0.01 --spurious 0.01 --seed 3 >/dev/null
      for b in old new; do
        bin=$([ $b = old ] && echo "$old" || echo "$new")
        run "long $frames frames $b" "$bin" "$work/long/truth.csv" "$work/long-$b" "$work/long"/frame_*.dat
      done
      ;;
    stages)
      for m in n8 long; do
        [ -d "$work/$m" ] || continue
        for b in old new; do
          [ "$m" = n8 ] && [ "$b" = old ] && [ "$full" != 1 ] && continue
          bin=$([ $b = old ] && echo "$old" || echo "$new")
          run "stages $m $b: whole run" "$bin" "$work/$m/truth.csv" "$work/st-$m-$b" "$work/$m"/frame_*.dat
          rerun "stages $m $b: pairs cached" "$bin" "$work/st-$m-$b" "$work/$m"/frame_*.dat
        done
      done
      ;;
  esac
done
