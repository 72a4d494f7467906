#!/usr/bin/env bash
# The workflow on the two small test time-lapses (workflow/test: pos01 as
# frame files, pos02 as a table) with -c 2:
#   1. one pair job of pos01 is killed after the first of its two pairs;
#      the other jobs finish, pos01 is not joined;
#   2. a rerun runs that job and pos01's join only, the job reuses the pair
#      it had finished, and cells.csv, tracks.csv, res_track.txt,
#      softconfig.dat and units of both time-lapses are byte-identical to
#      vantu-track in one process;
#   3. a changed options entry of pos02 reruns pos02's steps, not pos01's.
# Usage: workflow/test_workflow.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(cd "${1:-build}" && pwd)
track="$build/vantu-track"
[ -x "$track" ] || { echo "test_workflow: $track is not built" >&2; exit 1; }
command -v snakemake >/dev/null || { echo "test_workflow: snakemake is not installed" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vantu-workflow.XXXXXX")
[ -n "${KEEP_WORK:-}" ] || trap 'rm -rf "$work"' EXIT  # KEEP_WORK=1 keeps the folder to look at
fail() {
  echo "test_workflow: FAILED: $*" >&2
  exit 1
}

# vantu-track, except that pos01's pair job 0002-0003 is killed after
# matching its first pair.
cat >"$work/killed-track" <<END
#!/usr/bin/env bash
if [[ " \$* " == *" --pairs 2-3 "*pos01* ]]; then
  args=("\$@")
  for i in "\${!args[@]}"; do [ "\${args[\$i]}" = 2-3 ] && args[\$i]=2-2; done
  "$track" "\${args[@]}"
  kill -9 \$\$
fi
exec "$track" "\$@"
END
chmod +x "$work/killed-track"

configure() {
  cat >"$work/config.yaml" <<END
timelapses:
  pos01: $root/workflow/test/pos01
  pos02:
    input: $root/workflow/test/pos02/cells.csv
    options: "${2:-}"
pairs_per_job: 2
vantu_track: $1
output: results
threads: 1
END
}
snake() {
  snakemake -s "$root/workflow/Snakefile" -c 2 --directory "$work" --configfile "$work/config.yaml" "$@" \
    >"$work/snakemake.out" 2>&1
}

# 1. A pair job killed half-way.
configure "$work/killed-track"
start=$(date +%s)
if snake --keep-going; then fail "the run with a killed job succeeded"; fi
echo "test_workflow: first run (one job killed) took $(($(date +%s) - start)) s"
out="$work/results"
[ -f "$out/pos01/pairs/0002.txt" ] || fail "the killed job's finished pair has no record"
[ ! -e "$out/pos01/pairs/0003.txt" ] && [ ! -e "$out/pos01/jobs/0002-0003.done" ] || fail "the killed job left output"
[ ! -e "$out/pos01/cells.csv" ] || fail "pos01 was joined without all its pairs"
[ -f "$out/pos02/cells.csv" ] || fail "pos02 was not finished"

# 2. The rerun redoes the killed job only, and its finished pair is reused.
stamps() { find "$out"/pos0?/jobs "$out/pos02" -type f ! -path '*pos01/jobs/0002-0003*' -printf '%p %T@\n' | sort; }
before=$(stamps)
configure "$track"
sleep 1
start=$(date +%s)
snake || { cat "$work/snakemake.out" >&2; fail "the rerun"; }
echo "test_workflow: rerun took $(($(date +%s) - start)) s"
ran=$(grep -E '^(local)?(rule|checkpoint) ' "$work/snakemake.out" | sort | tr '\n' ' ')
[ "$ran" = "localrule all: rule join: rule pairs: " ] || fail "the rerun ran: $ran"
grep -q "output: results/pos01/jobs/0002-0003.done" "$work/snakemake.out" || fail "the rerun did not redo job 0002-0003"
[ "$(stamps)" = "$before" ] || fail "the rerun touched other jobs' outputs"
log="$out/pos01/logs/pairs_0002-0003.log"
grep -q "pair 0002 done earlier" "$log" || fail "job 0002-0003 did not reuse its finished pair: $(cat "$log")"
grep -q "pair 0003 done (" "$log" || fail "job 0002-0003 did not match its lost pair: $(cat "$log")"

"$track" -o "$work/one/pos01" "$root"/workflow/test/pos01/frame_*.dat 2>/dev/null
"$track" -o "$work/one/pos02" "$root/workflow/test/pos02/cells.csv" 2>/dev/null
for name in pos01 pos02; do
  for f in cells.csv tracks.csv res_track.txt softconfig.dat units; do
    cmp "$work/one/$name/$f" "$out/$name/$f" || fail "$name/$f differs from one process"
  done
  diff -r "$work/one/$name/lineage.geff" "$out/$name/lineage.geff" || fail "$name/lineage.geff differs from one process"
done
# 3. A changed option: pos02's steps run again, pos01's do not.
configure "$track" --no-relink
snake -n || { cat "$work/snakemake.out" >&2; fail "the dry run with a changed option"; }
grep -q "output: results/pos02/cells.csv" "$work/snakemake.out" || fail "a changed option does not rerun pos02's join"
grep -q "output: results/pos02/softconfig.dat" "$work/snakemake.out" || fail "a changed option does not rerun pos02's prepare"
! grep -q "output: results/pos01/" "$work/snakemake.out" || fail "pos02's changed option reruns pos01"
echo "test_workflow: passed"
