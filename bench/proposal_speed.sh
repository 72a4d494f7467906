#!/usr/bin/env bash
# The tracker's whole runs against up to two earlier builds in one run, each
# input tracked by every build in turn (so all see the same load of a shared
# machine), printed as a markdown table: processor seconds (user + system,
# all threads), wall seconds, and the score (links right, daughters recall,
# precision).
#
#   bench/proposal_speed.sh NEW_BUILD OLD_BUILD [MID_BUILD]
#
# Movies (points unless named; -j 2; simulated with NEW_BUILD's vantu-sim):
#   agar     the real agar movie (../shared/data/ecoli_agar) at full rate and
#            every 2nd and 3rd frame, masks and points (six runs; the every-K
#            movies are made with ../shared/tools/subsample.py)
#   rods53   53 frames from 2 to 310 cells (--step 2: grows as fast as a real
#            movie of 2 to 358 cells in 53 frames)
#   step3    150 cells, 10 frames, three times the motion (--step 3)
#   faults   150 cells, 20 frames, 5 % of the cells missed and as many spurious
#   c1400    1414 to 1561 cells, 3 frames (8 frames, to 2020 cells, with FULL=1)
#   scale    two frames of 300, 1000, 2500 and 5000 cells: seconds per cell
# CASES picks cases (default "agar rods53 step3 faults c1400 scale").
set -euo pipefail
cd "$(dirname "$0")/.."
new=${1:?NEW_BUILD}
old=${2:?OLD_BUILD}
mid=${3:-}
cases=${CASES:-agar rods53 step3 faults c1400 scale}
scorer=${SCORER:-../shared/tools/score_lineage.py}
subsample=${SUBSAMPLE:-../shared/tools/subsample.py}
agar=${AGAR:-../shared/data/ecoli_agar}
py=${PYTHON:-/usr/bin/python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
builds=("$old")
[ -n "$mid" ] && builds+=("$mid")
builds+=("$new")

echo "processor: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "builds: old $old${mid:+, mid $mid}, new $new"
echo

# track BUILD IN TRUTH: "cpu wall score" of one whole run.
track() {
  local bin=$1 in=$2 truth=$3 out=$work/out
  rm -rf "$out"
  /usr/bin/time -f '%e %U %S' -o "$work/time" "$bin/vantu-track" -j 2 -o "$out" "$in" >/dev/null 2>"$work/err" ||
    { echo "failed: $bin on $in" >&2; tail -3 "$work/err" >&2; return 1; }
  local score="-"
  [ -f "$scorer" ] && score=$("$py" "$scorer" "$out/cells.csv" "$truth" 2>/dev/null | head -1 | awk '{ print $2 "/" $5 "/" $8 }')
  awk -v s="$score" '{ printf "%.2f %.1f %s\n", $2 + $3, $1, s }' "$work/time"
}

# row LABEL IN TRUTH: one table row, every build on the same input.
row() {
  local label=$1 in=$2 truth=$3 line="| $1 |" first="" last=""
  for b in "${builds[@]}"; do
    read -r cpu wall score < <(track "$b" "$in" "$truth")
    line="$line $cpu, $wall | $score |"
    [ -z "$first" ] && first=$cpu
    last=$cpu
  done
  echo "$line $(awk -v a="$first" -v b="$last" 'BEGIN { printf "%.2fx", a / b }') |"
}

header="| movie | old: cpu s, wall s | old: links/recall/precision |"
[ -n "$mid" ] && header="$header mid: cpu s, wall s | mid: scores |"
header="$header new: cpu s, wall s | new: scores | old/new cpu |"
echo "$header"
echo "$header" | sed -e 's/[^|][^|]*|/---|/g'

sim="$new/vantu-sim"
for c in $cases; do
  case $c in
    agar)
      for k in 1 2 3; do
        src=$agar
        if [ "$k" != 1 ]; then
          src=$work/agar$k
          [ -d "$src" ] || "$py" "$subsample" "$agar" "$src" "$k" >/dev/null
        fi
        for kind in masks frames; do row "agar, every $([ "$k" = 1 ] && echo frame || echo "${k}nd/rd frame" | sed 's,2nd/rd,2nd,;s,3nd/rd,3rd,'), $([ $kind = masks ] && echo masks || echo points)" "$src/$kind" "$src/truth.csv"; done
      done
      ;;
    rods53)
      "$sim" --timelapse "$work/rods53" --cells 2 --frames 53 --step 2 --max-cells 360 --seed 5 >/dev/null
      row "53 frames, 2 to 310 cells, --step 2" "$work/rods53" "$work/rods53/truth.csv"
      ;;
    step3)
      "$sim" --timelapse "$work/step3" --cells 150 --frames 10 --step 3 --seed 2 >/dev/null
      row "150 cells, 10 frames, --step 3" "$work/step3" "$work/step3/truth.csv"
      ;;
    faults)
      "$sim" --timelapse "$work/faults" --cells 150 --frames 20 --missing 0.05 --spurious 0.05 --seed 4 >/dev/null
      row "150 cells, 20 frames, 5 % missed and spurious" "$work/faults" "$work/faults/truth.csv"
      ;;
    c1400)
      frames=$([ "${FULL:-0}" = 1 ] && echo 8 || echo 3)
      "$sim" --timelapse "$work/c1400" --cells 1400 --frames "$frames" --seed 3 >/dev/null
      row "1414 cells, $frames frames" "$work/c1400" "$work/c1400/truth.csv"
      ;;
    scale)
      for n in 300 1000 2500 5000; do
        "$sim" --timelapse "$work/s$n" --cells "$n" --frames 2 --seed 7 >/dev/null
        row "$n cells, 2 frames" "$work/s$n" "$work/s$n/truth.csv"
      done
      ;;
    *) echo "unknown case $c" >&2; exit 2 ;;
  esac
done
