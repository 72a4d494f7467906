#!/usr/bin/env bash
# Wall time of vantu-track on whole time-lapses, with one and two jobs:
# the bundled example and a simulated 50-frame time-lapse (31 to ~340 cells).
#   bench/track_bench.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/vantu-sim" --timelapse "$work/tl50" --frames 50 --seed 1 >/dev/null
echo "cells in the last frame of the 50-frame time-lapse: $(grep -c . "$work/tl50/frame_0049.dat")"
for case in examples/timelapse "$work/tl50"; do
  for j in 1 2; do
    rm -rf "$work/out"
    start=$(date +%s.%N)
    "$build/vantu-track" -j "$j" -o "$work/out" "$case"/frame_*.dat 2>/dev/null
    end=$(date +%s.%N)
    printf '%-24s -j %d  %8.1f s\n' "$(basename "$case")" "$j" "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')"
  done
done
