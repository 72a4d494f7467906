// Repairs of the lineage along the time axis: gap closing, divisions that do
// not add up, divisions the pairs missed, debris flags, the switches, and
// whole runs with and without faults.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "tests/harness.h"
#include "track/track.h"

using vantu_test::Outcome;
using vantu_test::RunDir;
using namespace vantu;

namespace {

// The repairs of a lineage chained from the matcher's links (not decided by
// the assignment): the division check in full.
TrackOptions::Repairs matcher_links() {
  TrackOptions::Repairs r;
  r.assign = false;
  return r;
}

// Asked of the repaired lineage on the faulty time-lapse below (3 % missing,
// 3 % spurious, 2 px noise); the plain chaining gives 0.841, 0.830, 0.415.
constexpr double kLinksWithFaults = 0.95, kFoundWithFaults = 0.85, kRealWithFaults = 0.85;

struct Spot {
  double x, y, length, id;
};

// Frames of horizontal cells at the given places, every frame shifted by
// `drift` pixels to the right times its index.
TimeLapse frames_of(const std::vector<std::vector<Spot>>& spots, double drift = 2) {
  TimeLapse tl;
  for (size_t t = 0; t < spots.size(); ++t) {
    Frame f;
    f.number = static_cast<long>(t);
    for (const Spot& s : spots[t]) {
      f.x.push_back(s.x + drift * static_cast<double>(t));
      f.y.push_back(s.y);
      f.length.push_back(s.length);
      f.angle.push_back(0);
      f.id.push_back(s.id);
    }
    tl.frames.push_back(f);
  }
  return tl;
}

// A row of five cells 40 px apart (ids 1-5) and a second row 30 px below
// (ids 6-10), all of length 20: the colony around the cells under test.
std::vector<Spot> colony() {
  std::vector<Spot> s;
  for (int k = 0; k < 10; ++k) s.push_back({40.0 * (k % 5), 30.0 * (k / 5), 20, k + 1.0});
  return s;
}

// The pair's links: frame t+1's cells claimed by the frame-t cell of the same
// id at level 0, and the given extra claims {cell of t+1, cell of t, level}.
PairLinks links_by_id(const Frame& a, const Frame& b, const std::vector<std::vector<int>>& extra) {
  PairLinks pl;
  pl.K = a.count();
  pl.M = b.count();
  for (int l = 0; l < 3; ++l) pl.row[l].assign(static_cast<size_t>(b.count()), -1);
  for (int j = 0; j < b.count(); ++j)
    for (int i = 0; i < a.count(); ++i)
      if (a.id[static_cast<size_t>(i)] == b.id[static_cast<size_t>(j)]) pl.row[0][static_cast<size_t>(j)] = i;
  for (const std::vector<int>& e : extra) {
    for (int l = 0; l < 3; ++l) pl.row[l][static_cast<size_t>(e[0])] = -1;
    pl.row[e[2]][static_cast<size_t>(e[0])] = e[1];
  }
  return pl;
}

// The plain chaining of the links.
Lineage chain(const TimeLapse& tl, const std::vector<std::vector<std::vector<int>>>& extra) {
  std::vector<PairLinks> pl;
  for (size_t t = 0; t + 1 < tl.frames.size(); ++t) pl.push_back(links_by_id(tl.frames[t], tl.frames[t + 1], extra[t]));
  return build_lineage(tl, pl, 3);
}

int index_of(const Frame& f, double id) {
  for (int i = 0; i < f.count(); ++i)
    if (f.id[static_cast<size_t>(i)] == id) return i;
  return -1;
}
int track_of(const TimeLapse& tl, const Lineage& lin, size_t t, double id) {
  return lin.track[t][static_cast<size_t>(index_of(tl.frames[t], id))];
}
int flag_of(const TimeLapse& tl, const Lineage& lin, size_t t, double id) {
  return lin.flag[t][static_cast<size_t>(index_of(tl.frames[t], id))];
}

TrackOptions::Repairs all_off() {
  TrackOptions::Repairs r;
  r.relink = r.close_gaps = r.check_divisions = r.flag_debris = false;
  return r;
}

TEST(Repairs, GapOfAMissedCellIsClosedAndTheTrackSkipsTheFrame) {
  // Cell 3 is not detected in frame 2; it comes back in frame 3 unclaimed.
  std::vector<std::vector<Spot>> s(5, colony());
  s[2].erase(s[2].begin() + 2);
  const TimeLapse tl = frames_of(s);
  const Lineage raw = chain(tl, {{}, {}, {}, {}});
  ASSERT_NE(track_of(tl, raw, 1, 3), track_of(tl, raw, 3, 3));

  Lineage lin = raw;
  const RepairCounts c = repair_lineage(tl, lin, matcher_links());
  EXPECT_EQ(c.gaps_closed, 1);
  const int k = track_of(tl, lin, 1, 3);
  EXPECT_EQ(track_of(tl, lin, 4, 3), k);
  EXPECT_EQ(lin.tracks.size(), 10u);
  EXPECT_EQ(lin.tracks[static_cast<size_t>(k - 1)].first, 0);
  EXPECT_EQ(lin.tracks[static_cast<size_t>(k - 1)].last, 4);
  EXPECT_EQ(lin.tracks[static_cast<size_t>(k - 1)].skipped, 1);
  EXPECT_EQ(flag_of(tl, lin, 3, 3), kAfterGap);
  EXPECT_EQ(flag_of(tl, lin, 4, 3), kNormal);
  // res_track.txt cuts the track at the gap: the part after it is a new
  // label whose parent is the part before. No row for the missing frame.
  EXPECT_NE(res_track_text(tl, lin).find(std::to_string(k) + " 0 1 0\n"), std::string::npos);
  EXPECT_NE(res_track_text(tl, lin).find("11 3 4 " + std::to_string(k) + "\n"), std::string::npos);
  EXPECT_EQ(vantu_test::lines(cells_csv_text(tl, lin)).size(), 1u + 49u);
  // The link across the gap is a guess of the repairs: capped, however
  // clean the colony around it.
  const auto rated = link_confidence(tl, lin);
  EXPECT_LE(rated[3][2], 0.8);
  EXPECT_GT(rated[3][2], 0.5);

  // Switched off, and a cell twice as long coming back there: no change.
  Lineage off = raw;
  repair_lineage(tl, off, all_off());
  EXPECT_EQ(cells_csv_text(tl, off), cells_csv_text(tl, raw));
  EXPECT_EQ(res_track_text(tl, off), res_track_text(tl, raw));
  std::vector<std::vector<Spot>> far = s;
  far[3][2].length = far[4][2].length = 40;
  const TimeLapse tf = frames_of(far);
  Lineage moved = chain(tf, {{}, {}, {}, {}});
  EXPECT_EQ(repair_lineage(tf, moved, matcher_links()).gaps_closed, 0);
}

TEST(Repairs, GapsOfUpToTwoMissedFramesAreClosedLongerOnesAreNot) {
  // Cell 3 is not detected from frame 2 on for `missed` frames.
  for (int missed : {2, 3}) {
    std::vector<std::vector<Spot>> s(7, colony());
    for (int t = 2; t < 2 + missed; ++t) s[static_cast<size_t>(t)].erase(s[static_cast<size_t>(t)].begin() + 2);
    const TimeLapse tl = frames_of(s);
    Lineage lin = chain(tl, std::vector<std::vector<std::vector<int>>>(6));
    const RepairCounts c = repair_lineage(tl, lin, matcher_links());
    EXPECT_EQ(c.gaps_closed, missed == 2 ? 1 : 0) << missed << " frames missed";
    EXPECT_EQ(track_of(tl, lin, 1, 3) == track_of(tl, lin, 6, 3), missed == 2) << missed << " frames missed";
  }
}

TEST(Repairs, DivisionIntoACellAndVanishingDebrisIsTheMotherGoingOn) {
  // In frame 2 a small detection (id 11) sits beside cell 3, and the pair
  // calls it cell 3's division: cell 3 at level 1, the debris at level 2.
  std::vector<std::vector<Spot>> s(4, colony());
  s[2].push_back({80, 14, 6, 11});
  const TimeLapse tl = frames_of(s);
  const int three = index_of(tl.frames[1], 3);
  const Lineage raw = chain(tl, {{}, {{2, three, 1}, {10, three, 2}}, {}});
  const int mother = track_of(tl, raw, 1, 3);
  ASSERT_EQ(raw.tracks[static_cast<size_t>(track_of(tl, raw, 2, 11) - 1)].parent, mother);

  Lineage lin = raw;
  const RepairCounts c = repair_lineage(tl, lin, matcher_links());
  EXPECT_EQ(c.divisions_resolved, 1);
  EXPECT_EQ(track_of(tl, lin, 3, 3), track_of(tl, lin, 1, 3));
  EXPECT_EQ(flag_of(tl, lin, 2, 3), kDivisionResolved);
  const int debris = track_of(tl, lin, 2, 11);
  EXPECT_EQ(lin.tracks[static_cast<size_t>(debris - 1)].parent, 0);
  EXPECT_EQ(flag_of(tl, lin, 2, 11), kProbableDebris);
  for (const Track& tr : lin.tracks) EXPECT_NE(tr.start, Start::kDaughter);

  // Only the debris flag: the division stays, nothing is flagged (the debris
  // has a parent).
  TrackOptions::Repairs only_flags = all_off();
  only_flags.flag_debris = true;
  Lineage kept = raw;
  repair_lineage(tl, kept, only_flags);
  EXPECT_EQ(cells_csv_text(tl, kept), cells_csv_text(tl, raw));
}

TEST(Repairs, LinkThePairLeftOutIsMadeAndTheEmptiedTrackDisappears) {
  // The pair (1, 2) leaves cell 3 unclaimed: its track ends and a newcomer
  // starts where it is.
  const TimeLapse tl = frames_of(std::vector<std::vector<Spot>>(4, colony()));
  const Lineage raw = chain(tl, {{}, {{index_of(tl.frames[2], 3), -1, 0}}, {}});
  ASSERT_EQ(raw.tracks.size(), 11u);
  Lineage lin = raw;
  EXPECT_EQ(repair_lineage(tl, lin, matcher_links()).relinked, 1);
  const Lineage whole = chain(tl, {{}, {}, {}});
  EXPECT_EQ(cells_csv_text(tl, lin), cells_csv_text(tl, whole));
  EXPECT_EQ(res_track_text(tl, lin), res_track_text(tl, whole));
}

// Cell 3 (length 40) divides between frames 1 and 2 into ids 11 and 12.
std::vector<std::vector<Spot>> dividing_colony() {
  std::vector<std::vector<Spot>> s(4, colony());
  for (size_t t : {0u, 1u}) s[t][2].length = 40;
  for (size_t t : {2u, 3u}) {
    s[t].erase(s[t].begin() + 2);
    s[t].push_back({70, 0, 20, 11});
    s[t].push_back({90, 0, 20, 12});
  }
  return s;
}

TEST(Repairs, RealDivisionStaysAndAMissedOneIsFound) {
  const TimeLapse tl = frames_of(dividing_colony());
  const int three = index_of(tl.frames[1], 3);
  const int d1 = index_of(tl.frames[2], 11), d2 = index_of(tl.frames[2], 12);
  const Lineage real = chain(tl, {{}, {{d1, three, 1}, {d2, three, 2}}, {}});
  Lineage lin = real;
  const RepairCounts c = repair_lineage(tl, lin, matcher_links());
  EXPECT_EQ(c.divisions_resolved + c.divisions_found + c.gaps_closed + c.relinked + c.debris, 0);
  EXPECT_EQ(cells_csv_text(tl, lin), cells_csv_text(tl, real));
  EXPECT_EQ(res_track_text(tl, lin), res_track_text(tl, real));

  // The pair saw cell 3 go on as id 11 and id 12 as a newcomer.
  const Lineage missed = chain(tl, {{}, {{d1, three, 0}}, {}});
  Lineage found = missed;
  EXPECT_EQ(repair_lineage(tl, found, matcher_links()).divisions_found, 1);
  EXPECT_EQ(cells_csv_text(tl, found), cells_csv_text(tl, real));
  EXPECT_EQ(res_track_text(tl, found), res_track_text(tl, real));
}

// ---- Whole runs ----

Outcome track(const RunDir& d, const std::vector<std::string>& frames, std::vector<std::string> args) {
  args.insert(args.end(), frames.begin(), frames.end());
  return d.run(args, VANTU_TRACK_BIN);
}

TEST(RepairRun, WithoutFaultsAPerfectChainingIsLeftByteForByte) {
  RunDir d;
  const std::vector<std::string> frames =
      vantu_test::simulate_timelapse(d, "tl", {"--frames", "8", "--cells", "35", "--seed", "7"});
  ASSERT_EQ(frames.size(), 8u);
  const Outcome o = track(d, frames, {"-o", "out"});
  ASSERT_EQ(o.status, 0) << o.err;
  // The run without repairs reuses the pairs' records: only the repairs differ.
  ASSERT_EQ(d.run({"-c", "cp -r out raw"}, "/bin/sh").status, 0);
  ASSERT_EQ(track(d, frames, {"-o", "raw", "--no-relink", "--no-gap-closing", "--no-division-check", "--no-debris-flag"}).status, 0);
  const std::string cells = d.read("out/cells.csv");
  EXPECT_TRUE(cells == d.read("raw/cells.csv"));
  EXPECT_TRUE(d.read("out/res_track.txt") == d.read("raw/res_track.txt"));
  EXPECT_EQ(cells.substr(0, cells.find('\n')), "frame,id,track,parent_track,x,y,length,angle,flag,generation,confidence");
  const vantu_test::LineageScore s = vantu_test::score_lineage(cells, d.read("tl/truth.csv"));
  EXPECT_EQ(s.links, 1.0);
  EXPECT_EQ(s.daughters_found, 1.0);
  EXPECT_EQ(s.daughters_real, 1.0);
}

TEST(RepairRun, WithoutFaultsButWithNoiseTheRepairedLineageIsRight) {
  // 2 px of noise and no missing or spurious cell: here the pairs take one
  // cell's neighbour for its daughter twice (links 0.979, daughters 0.867);
  // the length and axis checks set both right.
  RunDir d;
  const std::vector<std::string> frames =
      vantu_test::simulate_timelapse(d, "tl", {"--frames", "8", "--cells", "35", "--seed", "3", "--noise", "2"});
  ASSERT_EQ(frames.size(), 8u);
  const Outcome o = track(d, frames, {"-o", "out"});
  ASSERT_EQ(o.status, 0) << o.err;
  const vantu_test::LineageScore s = vantu_test::score_lineage(d.read("out/cells.csv"), d.read("tl/truth.csv"));
  EXPECT_GE(s.links, 0.995);
  EXPECT_GE(s.daughters_found, 0.99);
  EXPECT_GE(s.daughters_real, 0.99);
}

TEST(RepairRun, MissingAndSpuriousCellsAreMendedAlongTheTimeAxis) {
  RunDir d;
  const std::vector<std::string> frames = vantu_test::simulate_timelapse(
      d, "tl", {"--frames", "12", "--cells", "40", "--seed", "1", "--missing", "0.03", "--spurious", "0.03", "--noise", "2"});
  ASSERT_EQ(frames.size(), 12u);
  const Outcome o = track(d, frames, {"-o", "out"});
  ASSERT_EQ(o.status, 0) << o.err;
  ASSERT_EQ(d.run({"-c", "cp -r out raw"}, "/bin/sh").status, 0);
  ASSERT_EQ(track(d, frames, {"-o", "raw", "--raw"}).status, 0);
  const std::string truth = d.read("tl/truth.csv");
  const vantu_test::LineageScore s = vantu_test::score_lineage(d.read("out/cells.csv"), truth);
  const vantu_test::LineageScore r = vantu_test::score_lineage(d.read("raw/cells.csv"), truth);
  EXPECT_GT(s.cells, 500);
  EXPECT_GE(s.links, r.links + 0.05);
  EXPECT_GE(s.daughters_real, r.daughters_real + 0.2);
  EXPECT_GE(s.links, kLinksWithFaults);
  EXPECT_GE(s.daughters_found, kFoundWithFaults);
  EXPECT_GE(s.daughters_real, kRealWithFaults);
  // Every flag is a documented value; the raw run flags nothing.
  for (const auto& row : vantu_test::csv_rows(d.read("out/cells.csv")))
    if (row[0] != "frame") {
      EXPECT_TRUE(row[8] == "0" || row[8] == "1" || row[8] == "2" || row[8] == "3" || row[8] == "4");
    }
  for (const auto& row : vantu_test::csv_rows(d.read("raw/cells.csv")))
    if (row[0] != "frame") {
      EXPECT_EQ(row[8], "0");
    }
}

// ---- Cells missed around a division ----

// A true track of the simulator: its parent and the id it has in each frame.
struct TrueTrack {
  int parent = 0;
  std::map<int, std::string> id;  // frame -> id
};

std::map<int, TrueTrack> true_tracks(const std::string& csv) {
  std::map<int, TrueTrack> tracks;
  for (const auto& r : vantu_test::csv_rows(csv))
    if (r.size() == 4 && r[0] != "frame") {
      TrueTrack& t = tracks[std::stoi(r[2])];
      t.parent = std::stoi(r[3]);
      t.id[std::stoi(r[0])] = r[1];
    }
  return tracks;
}

// Frame file `path` without the cell `id`, and with `extra` lines added.
void edit_frame(const RunDir& d, const std::string& path, const std::string& id, const std::string& extra = "") {
  std::string text;
  for (const auto& row : vantu_test::table(d.read(path)))
    if (row.size() == 5 && row[4] != id) text += row[0] + " " + row[1] + " " + row[2] + " " + row[3] + " " + row[4] + "\n";
  d.write(path, text + extra);
}

TEST(RepairRun, DaughtersKeepAMotherMissedAroundHerDivisionAndDebrisBesideThemStaysNew) {
  RunDir d;
  const std::vector<std::string> frames =
      vantu_test::simulate_timelapse(d, "tl", {"--frames", "10", "--cells", "30", "--seed", "5"});
  ASSERT_EQ(frames.size(), 10u);
  const std::map<int, TrueTrack> tracks = true_tracks(d.read("tl/truth_tracks.csv"));
  // Divisions whose daughters are first seen at frame f (3..7) and live on
  // two more frames, their mother seen in the two frames before f.
  struct Division { int f; const TrueTrack *mother, *d1, *d2; };
  std::vector<Division> divisions;
  for (const auto& [k, m] : tracks) {
    std::vector<const TrueTrack*> kids;
    for (const auto& [j, t] : tracks)
      if (t.parent == k) kids.push_back(&t);
    if (kids.size() != 2) continue;
    const int f = kids[0]->id.begin()->first;
    if (f < 3 || f > 7 || kids[1]->id.begin()->first != f || !m.id.count(f - 1) || !m.id.count(f - 2)) continue;
    if (!kids[0]->id.count(f + 2) || !kids[1]->id.count(f + 2)) continue;
    divisions.push_back({f, &m, kids[0], kids[1]});
  }
  ASSERT_GE(divisions.size(), 2u);
  const Division& a = divisions[0];
  const Division& b = divisions.back();
  ASSERT_NE(a.mother, b.mother);
  auto frame_file = [&](int f) { return frames[static_cast<size_t>(f)].substr(d.path().size() + 1); };
  // Mother a missed in the frame before her division; daughter 2 of b missed
  // in the frame after hers, and a short piece of debris beside b's daughters.
  edit_frame(d, frame_file(a.f - 1), a.mother->id.at(a.f - 1));
  std::string debris;
  for (const auto& row : vantu_test::table(d.read(frame_file(b.f + 1))))
    if (row.size() == 5 && row[4] == b.d2->id.at(b.f + 1))
      debris = std::to_string(std::stod(row[0]) + 6) + " " + std::to_string(std::stod(row[1]) + 6) + " 8 0 999\n";
  ASSERT_FALSE(debris.empty());
  edit_frame(d, frame_file(b.f), b.d2->id.at(b.f));
  edit_frame(d, frame_file(b.f + 1), "", debris);
  const Outcome o = track(d, frames, {"-o", "out"});
  ASSERT_EQ(o.status, 0) << o.err;
  // cells.csv: (frame, id) -> track, parent track, flag.
  std::map<std::pair<int, std::string>, std::vector<std::string>> cell;
  for (const auto& r : vantu_test::csv_rows(d.read("out/cells.csv")))
    if (r[0] != "frame") cell[{std::stoi(r[0]), r[1]}] = {r[2], r[3], r[8]};
  auto track_at = [&](const TrueTrack* t, int f) { return cell.at({f, t->id.at(f)})[0]; };
  auto parent_at = [&](const TrueTrack* t, int f) { return cell.at({f, t->id.at(f)})[1]; };
  EXPECT_EQ(parent_at(a.d1, a.f), track_at(a.mother, a.f - 2));
  EXPECT_EQ(parent_at(a.d2, a.f), track_at(a.mother, a.f - 2));
  EXPECT_EQ(parent_at(b.d1, b.f), track_at(b.mother, b.f - 1));
  EXPECT_EQ(parent_at(b.d2, b.f + 1), track_at(b.mother, b.f - 1));
  const std::vector<std::string>& piece = cell.at({b.f + 1, "999"});
  EXPECT_EQ(piece[1], "0");
  EXPECT_NE(piece[0], track_at(b.d1, b.f + 1));
  EXPECT_NE(piece[0], track_at(b.d2, b.f + 1));
  // No cell of the movie starts a track without mother (flag 4), and none
  // that starts a track is flagged as its mother going on (3).
  std::map<std::string, int> first;
  for (const auto& [at, c] : cell) first.emplace(c[0], at.first);  // (frame, id) order: a track's first frame first
  for (const auto& [at, c] : cell) {
    EXPECT_NE(c[2], "4") << "frame " << at.first << " cell " << at.second;
    EXPECT_FALSE(c[2] == "3" && first.at(c[0]) == at.first) << "frame " << at.first << " cell " << at.second;
  }
}

TEST(RepairRun, HelpNamesEverySwitchAndTheFlags) {
  RunDir d;
  const Outcome o = d.run({"--help"}, VANTU_TRACK_BIN);
  ASSERT_EQ(o.status, 0);
  for (const char* s : {"--no-relink", "--no-gap-closing", "--no-division-check", "--no-debris-flag", "--raw",
                        "1 probable debris", "2 first cell after a closed gap"})
    EXPECT_NE(o.out.find(s), std::string::npos) << s;
}

}  // namespace

TEST(RepairRun, ACellSplitByTheSegmentationForOneFrameGoesOnWhole) {
  RunDir d;
  const std::vector<std::string> frames =
      vantu_test::simulate_timelapse(d, "tl", {"--frames", "10", "--cells", "30", "--seed", "5"});
  const std::map<int, TrueTrack> tracks = true_tracks(d.read("tl/truth_tracks.csv"));
  auto frame_file = [&](int f) { return frames[static_cast<size_t>(f)].substr(d.path().size() + 1); };
  // Cells seen without dividing from frame 3 to 7, split into two pieces
  // end to end along their axis in frame 5 (every third, not to crowd them).
  const int f = 5;
  std::vector<const TrueTrack*> split;
  for (const auto& [k, t] : tracks)
    if (t.id.count(f - 2) && t.id.count(f + 2) && t.id.begin()->first <= f - 2 && k % 3 == 0) split.push_back(&t);
  ASSERT_GE(split.size(), 3u);
  std::string text;
  for (const auto& row : vantu_test::table(d.read(frame_file(f)))) {
    if (row.size() != 5) continue;
    const bool cut = std::any_of(split.begin(), split.end(), [&](const TrueTrack* t) { return t->id.at(f) == row[4]; });
    if (!cut) {
      text += row[0] + " " + row[1] + " " + row[2] + " " + row[3] + " " + row[4] + "\n";
      continue;
    }
    const double x = std::stod(row[0]), y = std::stod(row[1]), len = std::stod(row[2]);
    const double a = std::stod(row[3]) * 3.14159265358979323846 / 180;
    const double ux = std::cos(a), uy = -std::sin(a);  // counter-clockwise as seen on screen
    text += std::to_string(x + ux * 0.27 * len) + " " + std::to_string(y + uy * 0.27 * len) + " " +
            std::to_string(0.52 * len) + " " + row[3] + " " + row[4] + "\n";
    text += std::to_string(x - ux * 0.23 * len) + " " + std::to_string(y - uy * 0.23 * len) + " " +
            std::to_string(0.44 * len) + " " + row[3] + " 9" + row[4] + "\n";
  }
  d.write(frame_file(f), text);
  const Outcome o = track(d, frames, {"-o", "out"});
  ASSERT_EQ(o.status, 0) << o.err;
  std::map<std::pair<int, std::string>, std::vector<std::string>> cell;  // (frame, id) -> track, flag
  for (const auto& r : vantu_test::csv_rows(d.read("out/cells.csv")))
    if (r[0] != "frame") cell[{std::stoi(r[0]), r[1]}] = {r[2], r[8]};
  for (const TrueTrack* t : split) {
    EXPECT_EQ(cell.at({f + 1, t->id.at(f + 1)})[0], cell.at({f - 1, t->id.at(f - 1)})[0]) << "cell " << t->id.at(f - 1);
    EXPECT_NE(cell.at({f + 1, t->id.at(f + 1)})[1], "4");
  }
}

// In a colony where nothing is missed, rods that slide along their axes past
// their neighbours still go on: no track starts without a mother.
TEST(RepairRun, SlidingRodsOfAFaultFreeColonyKeepTheirMothers) {
  RunDir d;
  const std::vector<std::string> frames =
      vantu_test::simulate_timelapse(d, "tl", {"--frames", "6", "--cells", "120", "--seed", "1", "--slide", "0.1"});
  const Outcome o = track(d, frames, {"-o", "out"});
  ASSERT_EQ(o.status, 0) << o.err;
  for (const auto& r : vantu_test::csv_rows(d.read("out/cells.csv")))
    EXPECT_NE(r[8], "4") << "frame " << r[0] << " cell " << r[1];
}
