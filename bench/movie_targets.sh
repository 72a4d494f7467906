#!/usr/bin/env bash
# Whole movies at both ends of a colony's life, timed and scored:
#   a 53-frame movie growing from 2 cells to about 300 (twice the default
#   motion, so that it grows as fast as a real one), and an 8-frame movie of
#   1400 to 2000 cells (tiled pairs). With a second build folder, the same
#   movies are also run with that build, for a before-and-after table.
#   bench/movie_targets.sh [BUILD_DIR [OTHER_BUILD_DIR]]
# The lineages are scored with the outside checks' scorer (SCORER, default
# ../shared/tools/score_lineage.py beside the checkout).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
other=${2:-}
scorer=${SCORER:-../shared/tools/score_lineage.py}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/vantu-sim" --timelapse "$work/small" --cells 2 --frames 53 --step 2 --max-cells 360 --seed 5 >/dev/null
"$build/vantu-sim" --timelapse "$work/large" --cells 1400 --frames 8 --seed 3 >/dev/null
for movie in small large; do
  for b in "$build" $other; do
    rm -rf "$work/out"
    start=$(date +%s.%N)
    "$b/vantu-track" -j 2 -o "$work/out" "$work/$movie"/frame_*.dat >"$work/console" 2>&1
    end=$(date +%s.%N)
    printf '%-6s %-28s %7.1f s  solver lines %4d  %s\n' "$movie" "$b" \
      "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')" "$(grep -c singular "$work/console" || true)" \
      "$(python3 "$scorer" "$work/out/cells.csv" "$work/$movie/truth.csv" 2>/dev/null ||
         echo 'no scorer')"
  done
done
