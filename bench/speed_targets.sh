#!/usr/bin/env bash
# Whole time-lapses from small to large, and whole runs of the two-frame
# program, timed against an earlier build in one run, the two builds
# interleaved (each repetition runs the old build, then the new one, on
# the same input), so that both see the same load of a shared machine.
#
#   bench/speed_targets.sh NEW_BUILD OLD_BUILD [REPEATS]
#
# NEW_BUILD and OLD_BUILD are build folders (or folders holding the
# programs vantu-track, vantu and vantu-sim). Movies, simulated with the
# new build's vantu-sim:
#   bundled  examples/timelapse (23 frames, 31 to 89 cells), -j 2
#   rods53   53 frames from 2 to 310 cells (--step 2: it grows as fast as a
#            real movie of 2 to 358 cells in 53 frames), points, -j 2
#   c300     4 frames of 300 to 350 cells, -j 2
#   c1400    8 frames of 1414 to 2020 cells (tiled pairs), -j 2
# and `vantu` on two frames of a 120-cell and a 301-cell colony with the
# example configuration (BetaIncr 1.075, 74 temperature steps): its result
# files must be byte-identical between the builds.
# Prints per case and build: wall seconds, processor seconds (user + system,
# all threads), the lineage's score (links right, daughters found; scorer
# SCORER, default ../shared/tools/score_lineage.py beside the checkout),
# and the ratios old / new. CASES (default "bundled rods53 c300 c1400 vantu")
# picks cases.
set -euo pipefail
cd "$(dirname "$0")/.."
new=${1:?NEW_BUILD}
old=${2:?OLD_BUILD}
repeats=${3:-1}
cases=${CASES:-bundled rods53 c300 c1400 vantu}
scorer=${SCORER:-../shared/tools/score_lineage.py}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "processor: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
sim="$new/vantu-sim"
"$sim" --timelapse "$work/rods53" --cells 2 --frames 53 --step 2 --max-cells 360 --seed 5 >/dev/null
"$sim" --timelapse "$work/c300" --cells 300 --frames 4 --seed 1 >/dev/null
"$sim" --timelapse "$work/c1400" --cells 1400 --frames 8 --seed 3 >/dev/null
mkdir -p "$work/bundled" && cp examples/timelapse/frame_*.dat examples/timelapse/truth.csv "$work/bundled/"

# timed OUT CMD...: runs CMD, writes "wall cpu" to OUT.
timed() {
  local out=$1
  shift
  /usr/bin/time -f '%e %U %S' -o "$out.time" "$@" >"$out.console" 2>"$out.err" || {
    echo "failed: $*" >&2
    tail -3 "$out.err" >&2
    return 1
  }
  awk '{ printf "%.2f %.2f\n", $1, $2 + $3 }' "$out.time" >"$out"
}

score() {
  if [ -f "$scorer" ]; then
    python3 "$scorer" "$1" "$2" 2>/dev/null | head -1 | awk '{ print $1, $2, $3, $4, $5 }'
  else
    echo "(no scorer)"
  fi
}

report() {  # case build-label wall cpu score
  printf '%-8s %-4s %8.2f s wall %8.2f s cpu  %s\n' "$@"
}

ratio() {  # case old-file new-file
  awk -v c="$1" 'NR == FNR { ow = $1; oc = $2; next } { printf "%-8s old/new  %5.2fx wall  %5.2fx cpu\n", c, ow / $1, oc / $2 }' "$2" "$3"
}

for c in $cases; do
  for r in $(seq "$repeats"); do
    if [ "$c" = vantu ]; then
      for cells in 120 301; do
        mkdir -p "$work/pair$cells"
        (cd "$work/pair$cells" && "$new/vantu-sim" --seed "$cells" --cells "$cells" a.dat b.dat t.dat >/dev/null)
        for b in old new; do
          d="$work/pair$cells/$b"
          rm -rf "$d" && mkdir -p "$d"
          cp examples/colony/softconfig.dat "$work/pair$cells/a.dat" "$work/pair$cells/b.dat" "$d/"
          bin=$([ $b = old ] && echo "$old" || echo "$new")
          (cd "$d" && VANTU_THREADS=2 timed "$work/t_$b" "$bin/vantu" a.dat b.dat)
          report "vantu$cells" $b $(cat "$work/t_$b") ""
        done
        same=yes
        for f in "$work/pair$cells/old"/*.dat; do
          case $(basename "$f") in a.dat | b.dat | softconfig.dat) continue ;; esac
          cmp -s "$f" "$work/pair$cells/new/$(basename "$f")" || same="NO: $(basename "$f") differs"
        done
        ratio "vantu$cells" "$work/t_old" "$work/t_new"
        echo "vantu$cells result files byte-identical: $same"
      done
      continue
    fi
    for b in old new; do
      bin=$([ $b = old ] && echo "$old" || echo "$new")
      rm -rf "$work/out_$b"
      timed "$work/t_$b" "$bin/vantu-track" -j 2 -o "$work/out_$b" "$work/$c"/frame_*.dat
      report "$c" $b $(cat "$work/t_$b") "$(score "$work/out_$b/cells.csv" "$work/$c/truth.csv")"
    done
    ratio "$c" "$work/t_old" "$work/t_new"
  done
done
