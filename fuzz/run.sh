#!/usr/bin/env bash
# Builds the fuzz targets of the readers with clang (AddressSanitizer,
# UndefinedBehaviorSanitizer, libFuzzer) and runs each for SECONDS seconds
# (default 60) from its seed corpus in fuzz/corpus/. A crash, a sanitizer
# report, a leak, an input that takes more than one second or more than
# 2 GB fails the script; the input is kept in build-fuzz/artifacts/.
#   bash fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz

cmake -S . -B "$build" -DVANTU_FUZZ=ON -DVANTU_TESTS=OFF -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 --target fuzz-config_reader fuzz-point_reader fuzz-table_reader fuzz-tiff_reader fuzz-png_reader

mkdir -p "$build/artifacts"
summary=()
for pair in config_reader:config point_reader:points table_reader:table tiff_reader:tiff png_reader:png; do
  target=${pair%%:*}
  seeds=fuzz/corpus/${pair##*:}
  work="$build/work/$target"  # new inputs go here, the seeds stay as they are
  mkdir -p "$work"
  log="$build/$target.log"
  echo "== $target: $seconds s from $seeds"
  status=0
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzz/fuzz-$target" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" "$work" "$seeds" >"$log" 2>&1 || status=$?
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 | sed -E 's/.*(cov: [0-9]+ ft: [0-9]+ corp: [^ ]+).*/\1/' || true)
  runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' || true)
  speed=$(grep -E '^stat::average_exec_per_sec' "$log" | awk '{print $2}' || true)
  if [ "$status" -ne 0 ]; then
    tail -40 "$log"
    echo "FAILED: $target (exit $status); input in $build/artifacts/" >&2
    exit 1
  fi
  summary+=("$target: ${runs:-?} runs, ${speed:-?} exec/s, $done_line")
done
echo "== fuzzing done"
printf '  %s\n' "${summary[@]}"
