// vantu-plot --lineage: the tree of a hand-made vantu-track output folder,
// and its refusals of folders without or with contradicting files.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/harness.h"

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
  EXPECT_NE(svg.find("5 tracks, 2 founders (one colour each), 1 divisions, 1 closed gaps, 1 probable debris, "
                     "1 divisions resolved; frames 0-3"),
            std::string::npos);
  // One fork per daughter: the first goes on in her mother's lane, the
  // second branches below.
  const auto forks = fork_ys(svg);
  ASSERT_EQ(forks.size(), 2u);
  EXPECT_EQ(forks[0].front(), forks[0].back());
  EXPECT_GT(forks[1].back(), forks[1].front());
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
  EXPECT_NE(d.run({"--lineage"}, VANTU_PLOT_BIN).err.find("--lineage needs a folder"), std::string::npos);
}

}  // namespace
