// vantu-plot --lineage and --pair: the tree of a hand-made vantu-track output
// folder, its views (one founder, a window of frames, ids), a large tree that
// stays legible, the pair picture over rods and mask outlines, cells.csv read by CSV rules, and the
// refusals of folders without or with contradicting files.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/harness.h"
#include "tools/lineage_plot.h"

using vantu_test::Outcome;
using vantu_test::RunDir;

namespace {

// Track 1 divides into 2 and 3; track 4 is missed in frame 1 (a closed gap);
// track 5 is one frame of probable debris; track 2's cell in frame 2 is
// where a division was resolved.
const char* const kCells =
    "frame,id,track,parent_track,x,y,length,angle,flag\n"
    "0,1,1,0,10,10,30,0,0\n"
    "0,2,4,0,50,10,30,0,0\n"
    "1,1,1,0,11,10,34,0,0\n"
    "1,5,5,0,30,30,8,0,1\n"
    "2,1,2,1,5,10,18,0,3\n"
    "2,2,3,1,20,10,18,0,0\n"
    "2,3,4,0,52,10,33,0,2\n"
    "3,1,2,1,6,10,19,0,0\n"
    "3,2,3,1,21,10,19,0,0\n"
    "3,3,4,0,53,10,34,0,0\n";
const char* const kTracks = "1 0 1 0\n2 2 3 1\n3 2 3 1\n4 0 3 0\n5 1 1 0\n";

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The y values of the points of each fork, in drawing order.
std::vector<std::vector<double>> fork_ys(const std::string& svg) {
  std::vector<std::vector<double>> out;
  const std::regex fork("<polyline class=\"fork\"[^>]*points=\"([^\"]*)\""), point("[-0-9.]+,([-0-9.]+)");
  for (std::sregex_iterator f(svg.begin(), svg.end(), fork), end; f != end; ++f) {
    const std::string pts = (*f)[1];
    std::vector<double> ys;
    for (std::sregex_iterator p(pts.begin(), pts.end(), point); p != end; ++p) ys.push_back(std::stod((*p)[1]));
    out.push_back(ys);
  }
  return out;
}

TEST(LineagePlot, ForksGapsDebrisAndCounts) {
  RunDir d;
  d.write("out/cells.csv", kCells);
  d.write("out/res_track.txt", kTracks);
  const Outcome o = d.run({"--lineage", "out"}, VANTU_PLOT_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  const std::string svg = d.read("out/lineage.svg");
  // A founder is every track without parent (tracks.csv's founder column,
  // the movie page): 1, 4 and the debris 5.
  EXPECT_NE(svg.find("5 tracks, 3 founders (a colour per tree, grey: alone), 1 division, 1 closed gap, "
                     "1 probable debris, 1 division resolved; frames 0-3"),
            std::string::npos) << svg.substr(0, 1200);
  // One fork per daughter, symmetric: the mother's line ends halfway
  // between her daughters', the first above, the second below.
  const auto forks = fork_ys(svg);
  ASSERT_EQ(forks.size(), 2u);
  EXPECT_GT(forks[0].front() - forks[0].back(), 0);
  EXPECT_EQ(forks[0].front() - forks[0].back(), forks[1].back() - forks[1].front());
  // Besides the legend's sample: one dashed gap, one debris line, one tick.
  EXPECT_EQ(count(svg, "class=\"gap\""), 2);
  EXPECT_EQ(count(svg, "class=\"debris\""), 2);
  EXPECT_EQ(count(svg, "class=\"tick\""), 2);
  EXPECT_NE(svg.find("no daughters"), std::string::npos);  // the band of lone tracks

  // Without a flag column (e.g. a lineage from elsewhere) it draws, flagging nothing.
  std::string plain;
  for (const std::string& line : vantu_test::lines(kCells)) plain += line.substr(0, line.rfind(',')) + "\n";
  d.write("plain/cells.csv", plain);
  d.write("plain/res_track.txt", kTracks);
  ASSERT_EQ(d.run({"--lineage", "plain", "-o", "tree.svg"}, VANTU_PLOT_BIN).status, 0);
  EXPECT_NE(d.read("tree.svg").find("0 probable debris"), std::string::npos);
}

TEST(LineagePlot, RefusesMissingAndContradictingFiles) {
  RunDir d;
  auto refused = [&](const std::string& cells, const std::string& tracks, const std::string& what) {
    RunDir r;
    if (!cells.empty()) r.write("out/cells.csv", cells);
    if (!tracks.empty()) r.write("out/res_track.txt", tracks);
    if (cells.empty() && tracks.empty()) r.write("out/other.txt", "x");
    const Outcome o = r.run({"--lineage", "out"}, VANTU_PLOT_BIN);
    EXPECT_EQ(o.status, 1) << what;
    EXPECT_NE(o.err.find(what), std::string::npos) << o.err;
    EXPECT_FALSE(r.exists("out/lineage.svg")) << what;
  };
  refused("", "", "neither cells.csv nor res_track.txt");
  refused(kCells, "", "has no res_track.txt");
  refused("", kTracks, "has no cells.csv");
  refused("frame,id,track\n0,1,1\n", kTracks, "no column \"parent_track\"");
  refused(std::string(kCells) + "3,9,9,0,1,1,1,0,0\n", kTracks, "cells.csv line 12: track 9 is not in");
  refused(kCells, "1 0 1 0\n2 2 3 1\n3 2 3 4\n4 0 3 0\n5 1 1 0\n", "parent_track 1 of track 3");
  refused(kCells, "1 0 2 0\n2 2 3 1\n3 2 3 1\n4 0 3 0\n5 1 1 0\n", "track 1 of");
  refused(std::string(kCells) + "2,9,1,0,12,10,36,0,0\n", "1 0 2 0\n2 2 3 1\n3 2 3 1\n4 0 3 0\n5 1 1 0\n",
          "begins in frame 2, before its parent 1 ends");
  refused(kCells, std::string(kTracks) + "6 0 1 0\n", "track 6 of");
  refused(std::string(kCells) + "3,7,4,0,1,1,1,0,0\n", kTracks, "track 4 has two cells in frame 3");
  refused(kCells, "1 0 1\n", "res_track.txt line 1: 3 values");
  refused("frame,id,track,parent_track,flag\n0,1,1,0,7\n", "1 0 0 0\n", "flag \"7\"");
  // Every flag the tracker writes is read, 4 (a cell from nowhere) among them.
  vantu_test::RunDir every_flag;
  every_flag.write("out/cells.csv", "frame,id,track,parent_track,flag\n0,1,1,0,0\n1,1,1,0,0\n1,2,2,0,4\n");
  every_flag.write("out/res_track.txt", "1 0 1 0\n2 1 1 0\n");
  const vantu_test::Outcome drawn = every_flag.run({"--lineage", "out"}, VANTU_PLOT_BIN);
  EXPECT_EQ(drawn.status, 0) << drawn.err;
  EXPECT_NE(d.run({"--lineage"}, VANTU_PLOT_BIN).err.find("--lineage needs a folder"), std::string::npos);
}

// Every (attribute) value of the elements matching `pattern`, as text.
std::vector<std::string> captures(const std::string& svg, const std::string& pattern) {
  std::vector<std::string> out;
  const std::regex re(pattern);
  for (std::sregex_iterator m(svg.begin(), svg.end(), re), end; m != end; ++m) out.push_back((*m)[1]);
  return out;
}

std::set<std::string> ids_in(const std::string& svg) {
  const std::vector<std::string> v = captures(svg, "<text class=\"id\"[^>]*>([0-9]+)</text>");
  return {v.begin(), v.end()};
}

TEST(LineagePlot, OneFounderAWindowOfFramesAndIdsHoldWhatWasAsked) {
  RunDir d;
  d.write("out/cells.csv", kCells);
  d.write("out/res_track.txt", kTracks);
  Outcome o = d.run({"--lineage", "out", "--ids", "-o", "all.svg"}, VANTU_PLOT_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("vantu-plot: wrote all.svg"), std::string::npos) << o.err;
  EXPECT_EQ(ids_in(d.read("all.svg")), (std::set<std::string>{"1", "2", "3", "4", "5"}));
  o = d.run({"--lineage", "out", "--founder", "1", "--ids", "-o", "one.svg"}, VANTU_PLOT_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  const std::string one = d.read("one.svg");
  EXPECT_TRUE(vantu_test::well_formed(one));
  EXPECT_EQ(ids_in(one), (std::set<std::string>{"1", "2", "3"}));
  EXPECT_NE(one.find("the tree of track 1"), std::string::npos);
  // Frames 2-3: track 1 and the debris of frame 1 are outside; the daughters
  // are drawn as trees of their own, in their founder's colour.
  o = d.run({"--lineage", "out", "--frames", "2-3", "--ids", "-o", "late.svg"}, VANTU_PLOT_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  const std::string late = d.read("late.svg");
  EXPECT_EQ(ids_in(late), (std::set<std::string>{"2", "3", "4"}));
  EXPECT_EQ(captures(late, "font-size=\"10\" text-anchor=\"middle\">([0-9]+)</text>").front(), "2");
  for (const auto& bad : std::vector<std::vector<std::string>>{{"--founder", "9"}, {"--frames", "7-9"}, {"--frames", "3-2"}}) {
    std::vector<std::string> args = {"--lineage", "out", "-o", "bad.svg"};
    args.insert(args.end(), bad.begin(), bad.end());
    EXPECT_EQ(d.run(args, VANTU_PLOT_BIN).status, 1) << bad[0] << " " << bad[1];
    EXPECT_FALSE(d.exists("bad.svg"));
  }
}

// 20 founders, each the root of a tree of 35 tracks (every track divides
// until the tree is full), over 30 frames: a 700-track lineage.
void write_big_lineage(const RunDir& d) {
  std::string cells = "frame,id,track,parent_track,x,y,length,angle,flag\n", res;
  int next = 0;
  for (int f = 0; f < 20; ++f) {
    struct T { int label, first, parent; };
    std::vector<T> todo{{++next, 0, 0}};
    int made = 1;
    for (size_t k = 0; k < todo.size(); ++k) {
      const T t = todo[k];
      const bool divides = made + 2 <= 35 && t.first + 3 < 30;
      const int last = divides ? t.first + 2 : 29;
      for (int fr = t.first; fr <= last; ++fr)
        cells += std::to_string(fr) + "," + std::to_string(t.label) + "," + std::to_string(t.label) + "," +
                 std::to_string(t.parent) + ",1,1,10,0,0\n";
      res += std::to_string(t.label) + " " + std::to_string(t.first) + " " + std::to_string(last) + " " +
             std::to_string(t.parent) + "\n";
      if (divides) {
        todo.push_back({++next, last + 1, t.label});
        todo.push_back({++next, last + 1, t.label});
        made += 2;
      }
    }
  }
  d.write("big/cells.csv", cells);  // rows are not sorted: the reader does not need it
  d.write("big/res_track.txt", res);
}

TEST(LineagePlot, SevenHundredTracksKeepReadableLanesAndNeighbouringFoundersDiffer) {
  RunDir d;
  write_big_lineage(d);
  const Outcome o = d.run({"--lineage", "big", "--ids"}, VANTU_PLOT_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  const std::string svg = d.read("big/lineage.svg");
  EXPECT_TRUE(vantu_test::well_formed(svg));
  EXPECT_NE(svg.find("700 tracks, 20 founders"), std::string::npos);
  EXPECT_EQ(ids_in(svg).size(), 700u);
  // The tracks' lines: lines that share a moment at least kMinLane apart,
  // each line one colour of the palette, and the colour changes from each
  // tree to the next down the picture.
  struct Line { double x1, x2, y; std::string colour; };
  std::vector<Line> drawn;
  const std::regex line("<line x1=\"([-0-9.]+)\" y1=\"([-0-9.]+)\" x2=\"([-0-9.]+)\" y2=\"[-0-9.]+\" stroke=\"([^\"]+)\"");
  for (std::sregex_iterator m(svg.begin(), svg.end(), line), end; m != end; ++m)
    drawn.push_back({std::stod((*m)[1]), std::stod((*m)[3]), std::stod((*m)[2]), (*m)[4]});
  ASSERT_GE(drawn.size(), 700u);
  std::sort(drawn.begin(), drawn.end(), [](const Line& a, const Line& b) { return a.y < b.y; });
  const std::set<std::string> palette(vantu_plot::kPalette, vantu_plot::kPalette + 7);
  int runs = 0, close = 0;
  std::string colour;
  for (size_t a = 0; a < drawn.size(); ++a) {
    EXPECT_TRUE(palette.count(drawn[a].colour)) << drawn[a].colour;
    runs += drawn[a].colour != colour;
    colour = drawn[a].colour;
    for (size_t b = a + 1; b < drawn.size() && drawn[b].y - drawn[a].y < vantu_plot::kMinLane - 0.11; ++b)
      close += drawn[b].y != drawn[a].y && drawn[b].x1 <= drawn[a].x2 && drawn[a].x1 <= drawn[b].x2;
  }
  EXPECT_EQ(close, 0);
  EXPECT_EQ(runs, 20);
  // Ids stay readable: at least kIdFont px.
  for (const std::string& size : captures(svg, "<text class=\"id\"[^>]*font-size=\"([0-9.]+)\""))
    EXPECT_GE(std::stod(size), vantu_plot::kIdFont);
}

// With the frame interval in DIR/units the axis is in minutes or hours; a
// suspect track (tracks.csv) and a cell set by hand (cells.csv) are marked;
// track 5, cut off in frame 3 next to track 1, goes below track 1's tree,
// above track 2's, with a dotted line from track 1.
TEST(LineagePlot, TimeAxisMarksAndCutOffTreesBesideTheirOrigin) {
  RunDir d;
  std::string cells = "frame,id,track,parent_track,x,y,length,angle,flag,by_hand\n";
  auto cell = [&](int frame, int track, int parent, int x, bool hand = false) {
    cells += std::to_string(frame) + ",1," + std::to_string(track) + "," + std::to_string(parent) + "," + std::to_string(x) +
             ",10,20,0,0," + (hand ? "1" : "0") + "\n";
  };
  for (int f = 0; f <= 5; ++f) cell(f, 1, 0, 10), cell(f, 8, 0, 400);
  for (int f = 0; f <= 2; ++f) cell(f, 2, 0, 200);
  for (int f = 3; f <= 5; ++f) cell(f, 3, 2, 190, f == 4), cell(f, 4, 2, 210);
  for (int f = 3; f <= 4; ++f) cell(f, 5, 0, 30);
  cell(5, 6, 5, 25), cell(5, 7, 5, 35);
  d.write("out/cells.csv", cells);
  d.write("out/res_track.txt", "1 0 5 0\n2 0 2 0\n3 3 5 2\n4 3 5 2\n5 3 4 0\n6 5 5 5\n7 5 5 5\n8 0 5 0\n");
  d.write("out/tracks.csv", "track,founder,suspect\n1,1,\n2,2,\n3,2,\n4,2,short cycle\n5,5,\n6,5,\n7,5,\n8,8,\n");
  d.write("out/units", "# What the numbers of this folder's files mean.\n"
                       "frames: frame numbers; 20 minutes from one frame number to the next\n");
  ASSERT_EQ(d.run({"--lineage", "out"}, VANTU_PLOT_BIN).status, 0);
  std::string svg = d.read("out/lineage.svg");
  EXPECT_TRUE(vantu_test::well_formed(svg));
  EXPECT_NE(svg.find("time (minutes"), std::string::npos);
  EXPECT_EQ(captures(svg, "<text class=\"time\"[^>]*>([0-9.]+)</text>"),
            (std::vector<std::string>{"0", "10", "20", "30", "40", "50", "60", "70", "80", "90", "100"}));
  EXPECT_EQ(count(svg, "<circle class=\"suspect\""), 2);  // the legend's and track 4's
  EXPECT_EQ(count(svg, "<rect class=\"hand\""), 2);
  EXPECT_EQ(count(svg, "<line class=\"origin\""), 2);
  std::map<int, double> y;
  for (const std::string& m : captures(svg, "(y1=\"[0-9.]+\"[^>]*><title>track [0-9]+),")) {
    std::smatch v;
    std::regex_search(m, v, std::regex("y1=\"([0-9.]+)\".*track ([0-9]+)"));
    y[std::stoi(v[2])] = std::stod(v[1]);
  }
  ASSERT_EQ(y.size(), 8u);
  EXPECT_LT(y[1], y[5]);
  EXPECT_LT(y[5], y[2]);
  EXPECT_LT(y[2], y[8]);
  EXPECT_EQ(y[5] - y[6], y[7] - y[5]);
  // A longer interval: hours; no units file: frame numbers only.
  d.write("out/units", "frames: frame numbers; 90 minutes from one frame number to the next\n");
  ASSERT_EQ(d.run({"--lineage", "out", "-o", "h.svg"}, VANTU_PLOT_BIN).status, 0);
  EXPECT_NE(d.read("h.svg").find("time (hours"), std::string::npos);
  ASSERT_EQ(d.run({"-c", "rm out/units out/tracks.csv"}, "/bin/sh").status, 0);
  ASSERT_EQ(d.run({"--lineage", "out", "-o", "f.svg"}, VANTU_PLOT_BIN).status, 0);
  svg = d.read("f.svg");
  EXPECT_EQ(count(svg, "class=\"time\""), 0);
  EXPECT_EQ(count(svg, "class=\"suspect\""), 0);
}

TEST(PairPlot, RodsWithIdsAndDoubtfulLinksMarked) {
  RunDir d;
  // Frame 2: track 1 divides into 2 and 3 at frame 3; track 4 goes on with a
  // doubtful link; track 5 starts at 3 without parent.
  d.write("out/cells.csv",
          "frame,id,track,parent_track,x,y,length,angle,flag,generation,confidence\n"
          "2,1,1,0,10,10,30,0,0,0,1.000\n"
          "2,2,4,0,50,10,30,0,0,0,1.000\n"
          "3,1,2,1,2,10,16,0,0,1,0.950\n"
          "3,2,3,1,18,10,16,0,0,1,0.910\n"
          "3,3,4,0,52,10,31,0,0,0,0.310\n"
          "3,4,5,0,80,40,20,90,0,0,0.990\n");
  const Outcome o = d.run({"--pair", "out", "2", "--ids"}, VANTU_PLOT_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("vantu-plot: wrote out/pair_2.svg"), std::string::npos) << o.err;
  const std::string svg = d.read("out/pair_2.svg");
  EXPECT_TRUE(vantu_test::well_formed(svg));
  EXPECT_EQ(ids_in(svg), (std::set<std::string>{"2", "3", "4", "5"}));
  EXPECT_EQ(count(svg, "<line class=\"rod\""), 6);
  EXPECT_EQ(count(svg, "<line class=\"daughter\""), 2);
  EXPECT_EQ(count(svg, "<line class=\"link doubtful\""), 1);
  EXPECT_EQ(count(svg, "<circle class=\"doubtful\""), 1);
  EXPECT_EQ(count(svg, "<circle class=\"started\""), 1);
  EXPECT_NE(svg.find(">0.31</text>"), std::string::npos);
  // Without --ids no id; a frame without a next one is refused.
  ASSERT_EQ(d.run({"--pair", "out", "2", "-o", "plain.svg"}, VANTU_PLOT_BIN).status, 0);
  EXPECT_TRUE(ids_in(d.read("plain.svg")).empty());
  const Outcome last = d.run({"--pair", "out", "3"}, VANTU_PLOT_BIN);
  EXPECT_EQ(last.status, 1);
  EXPECT_NE(last.err.find("no frame after 3"), std::string::npos) << last.err;
}

TEST(PairPlot, OutlinesFromTheTrackMasksOfATrackedMovie) {
  RunDir d;
  ASSERT_EQ(d.run({"--timelapse", "tl", "--frames", "3", "--cells", "8", "--seed", "4", "--masks", "tif"}, VANTU_SIM_BIN)
                .status, 0);
  ASSERT_EQ(d.run({"-c", std::string(VANTU_TRACK_BIN) + " -o out tl/mask_*.tif"}, "/bin/sh").status, 0);
  const Outcome o = d.run({"--pair", "out", "1", "--ids"}, VANTU_PLOT_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  const std::string svg = d.read("out/pair_1.svg");
  EXPECT_TRUE(vantu_test::well_formed(svg));
  int cells = 0;
  std::set<std::string> tracks;
  for (const auto& row : vantu_test::csv_rows(d.read("out/cells.csv")))
    if (row[0] == "1" || row[0] == "2") {
      ++cells;
      if (row[0] == "2") tracks.insert(row[2]);
    }
  EXPECT_EQ(count(svg, "<path class=\"outline\""), cells);
  EXPECT_EQ(count(svg, "class=\"rod\""), 0);
  EXPECT_EQ(ids_in(svg), tracks);
}

}  // namespace

// The pictures read cells.csv by CSV rules: Windows line ends, quoted values
// and blank lines draw what the plain file draws, and a short row is refused
// by its line in the file.
TEST(PlotCellsFile, CsvQuotingAndLineEndsReadAsThePlainFile) {
  RunDir d;
  std::string edited;
  const std::vector<std::string> rows = vantu_test::lines(kCells);
  for (size_t k = 0; k < rows.size(); ++k) {
    std::string row = rows[k];
    if (k == 3) row = "\"" + row.substr(0, row.find(',')) + "\"" + row.substr(row.find(','));
    edited += row + (k == 5 ? "\r\n\r\n" : "\r\n");
  }
  for (const char* dir : {"plain", "edited"}) {
    d.write(std::string(dir) + "/cells.csv", dir == std::string("plain") ? std::string(kCells) : edited);
    d.write(std::string(dir) + "/res_track.txt", kTracks);
    ASSERT_EQ(d.run({"--lineage", dir, "--ids", "-o", std::string(dir) + ".svg"}, VANTU_PLOT_BIN).status, 0) << dir;
    ASSERT_EQ(d.run({"--pair", dir, "2", "-o", std::string(dir) + "_pair.svg"}, VANTU_PLOT_BIN).status, 0) << dir;
  }
  auto without_name = [](std::string svg) { return std::regex_replace(svg, std::regex("plain|edited"), "DIR"); };
  EXPECT_EQ(without_name(d.read("plain.svg")), without_name(d.read("edited.svg")));
  EXPECT_EQ(without_name(d.read("plain_pair.svg")), without_name(d.read("edited_pair.svg")));

  d.write("short/cells.csv", edited + "3,9,9\r\n");
  d.write("short/res_track.txt", kTracks);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--lineage", "short", "-o", "short.svg"},
                                               std::vector<std::string>{"--pair", "short", "2", "-o", "short.svg"}}) {
    const Outcome o = d.run(args, VANTU_PLOT_BIN);
    EXPECT_EQ(o.status, 1) << args[0];
    EXPECT_NE(o.err.find("short/cells.csv line 13: 3 fields, the header has 9"), std::string::npos) << o.err;
  }
}
