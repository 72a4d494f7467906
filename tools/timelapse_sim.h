// The time-lapse mode of vantu-sim: a colony of rod-shaped cells grown from a
// few founders, observed frame after frame with stage drift, a smooth warp,
// measurement noise, missed cells and spurious detections, and written with its
// true lineage.
//
// Files written into the output folder DIR:
//   frame_NNNN.dat  one detection per line, "x y length angle id" (pixels, x to
//                   the right, y down; angle in degrees in [0, 360), axis
//                   (cos t, -sin t) with t = angle / 57.3); ids are a fresh
//                   random permutation of 1..n in every frame, rows in random
//                   order.
//   cells.csv       "frame,x,y,length,angle,id": all frames, the same rows and
//                   the same text as the frame files.
//   truth.csv       "frame,id,pred,ndiv,kind": one row per detection of every
//                   frame after the first (sorted by frame, then id). pred = id
//                   in the previous frame of the detection it comes from (0 if
//                   that is not visible there), ndiv = divisions between the two
//                   frames (the true number, also when pred is 0), kind = 0 real
//                   cell, 1 spurious detection, 2 real cell whose ancestor in the
//                   previous frame was not detected.
//   truth_tracks.csv "frame,id,track,parent_track": the true lineage of every
//                   detection of every frame as tracks. A track is one real
//                   cell from birth to division (it may skip frames where the
//                   cell was missed); parent_track is the nearest ancestor
//                   track with at least one detection (0 for founders and
//                   spurious detections, which each get a track of their own).
#pragma once

namespace vantu_sim {

// True when the command line asks for the time-lapse mode (--timelapse).
bool wants_timelapse(int argc, char** argv);

// Parses the time-lapse command line, simulates and writes the files; returns
// the exit status (failures print a message naming the offending value).
int run_timelapse(int argc, char** argv);

}  // namespace vantu_sim
