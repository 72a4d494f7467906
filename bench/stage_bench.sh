#!/bin/sh
# Processor seconds of the stages around the matcher (parameters, chaining,
# repairs, writing) on a simulated 300-frame time-lapse that grows from 30 to
# about 4600 cells with 1 % missed and 1 % spurious cells, and on its first
# 100, 150, 200 and 250 frames: prints the table of docs/scale.md.
#
#   bench/stage_bench.sh [BUILD_DIR]
set -e
build=${1:-build}
cmake --build "$build" --target vantu-stage-bench vantu-sim >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/vantu-sim" --timelapse "$work/sim" --frames 300 --cells 30 --step 0.34 --max-cells 5000 \
  --missing 0.01 --spurious 0.01 --seed 1 >/dev/null
echo "| frames | cells in the last frame | tracks | reading s | parameters s | chaining s | repairs s | writing s | exchanged/gaps/resolved/found |"
echo "|---|---|---|---|---|---|---|---|---|"
for n in 100 150 200 250 300; do
  mkdir -p "$work/$n"
  for f in cells.csv truth.csv; do awk -F, -v n="$n" 'NR == 1 || $1 < n' "$work/sim/$f" >"$work/$n/$f"; done
  "$build/vantu-stage-bench" "$work/$n"
done
