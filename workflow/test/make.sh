#!/bin/sh
# Regenerates the workflow's two small test time-lapses with the project's
# simulator (run from the repository root after building): pos01 as frame
# files (6 frames, 20 cells at first), pos02 as one table (7 frames, 24).
set -e
cd "$(dirname "$0")/../.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
build/vantu-sim --timelapse "$tmp/a" --frames 6 --cells 20 --seed 21 >/dev/null
build/vantu-sim --timelapse "$tmp/b" --frames 7 --cells 24 --seed 22 >/dev/null
rm -rf workflow/test/pos01 workflow/test/pos02
mkdir -p workflow/test/pos01 workflow/test/pos02
cp "$tmp"/a/frame_*.dat workflow/test/pos01/
cp "$tmp/b/cells.csv" workflow/test/pos02/cells.csv
