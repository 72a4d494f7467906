#!/bin/sh
# Link and daughter accuracy of vantu-track with and without its repairs, on
# simulated time-lapses with a rate of missed and spurious cells: prints the
# table in docs/tracking.md (a Markdown table, means over the seeds).
#
#   bench/repair_accuracy.sh [BUILD_DIR] [SEEDS]     e.g. bench/repair_accuracy.sh build "1 2 3"
#
# Each time-lapse: 12 frames from 40 cells, 2 px position noise, no --config.
# The raw run reuses the repaired run's pair records, so the matcher runs once.
set -e
build=${1:-build}
seeds=${2:-"1 2 3"}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The scoring rule of the lineage scorer: a cell's predecessor is the cell of
# its own track in the previous frame, else (first cell of a track with a
# parent) the parent track's cell there as a daughter, else none.
score() {
  python3 - "$1" "$2" <<'PY'
import csv, sys
cells = list(csv.DictReader(open(sys.argv[1])))
track = {(int(r["frame"]), int(r["id"])): int(r["track"]) for r in cells}
where = {(int(r["track"]), int(r["frame"])): int(r["id"]) for r in cells}
parent = {int(r["track"]): int(r["parent_track"]) for r in cells}
n = right = dt = dtr = dp = dpr = 0
for r in csv.DictReader(open(sys.argv[2])):
    t, i, pred, ndiv = int(r["frame"]), int(r["id"]), int(r["pred"]), int(r["ndiv"])
    k = track[(t, i)]
    if (k, t - 1) in where: p, d = where[(k, t - 1)], 0
    elif parent[k] and (parent[k], t - 1) in where: p, d = where[(parent[k], t - 1)], 1
    else: p, d = 0, 0
    ok = p == pred and (pred == 0 or d == (1 if ndiv > 0 else 0))
    n += 1; right += ok
    if pred and ndiv > 0: dt += 1; dtr += ok
    if d: dp += 1; dpr += ok
print(right / max(n, 1), dtr / max(dt, 1), dpr / max(dp, 1))
PY
}

echo "| missing = spurious | links (repaired) | daughters found | claimed daughters real | links (raw) | daughters found | claimed daughters real |"
echo "|---|---|---|---|---|---|---|"
for rate in 0 0.01 0.03 0.05; do
  sums="0 0 0 0 0 0"
  for seed in $seeds; do
    d="$work/r$rate-s$seed"
    "$build/vantu-sim" --timelapse "$d/tl" --frames 12 --cells 40 --seed "$seed" --missing "$rate" \
      --spurious "$rate" --noise 2 >/dev/null
    "$build/vantu-track" -o "$d/out" "$d"/tl/frame_*.dat 2>/dev/null
    cp -r "$d/out" "$d/raw"
    "$build/vantu-track" --raw -o "$d/raw" "$d"/tl/frame_*.dat 2>/dev/null
    sums=$(echo "$sums $(score "$d/out/cells.csv" "$d/tl/truth.csv") $(score "$d/raw/cells.csv" "$d/tl/truth.csv")" |
      awk '{ for (k = 1; k <= 6; ++k) printf "%s ", $k + $(k + 6) }')
  done
  echo "$sums" | awk -v r="$rate" -v n="$(echo $seeds | wc -w)" \
    '{ printf "| %g %% |", r * 100; for (k = 1; k <= 6; ++k) printf " %.3f |", $k / n; printf "\n" }'
done
