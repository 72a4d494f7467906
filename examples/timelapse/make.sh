#!/bin/sh
# Regenerates this bundled time-lapse (23 frames, 31 to 89 cells, default
# magnification and noise, no missed or spurious cells) with the project's
# simulator; run from the repository root after building:
#   build/vantu-sim --timelapse examples/timelapse --frames 23 --seed 1
set -e
cd "$(dirname "$0")/../.."
build/vantu-sim --timelapse examples/timelapse --frames 23 --seed 1
