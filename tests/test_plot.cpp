// vantu-plot, through the built program, on a small hand-made run directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/harness.h"

using vantu_test::Cell;
using vantu_test::Config;
using vantu_test::Outcome;
using vantu_test::RunDir;

namespace {

using Attrs = std::map<std::string, std::string>;

// Every element of `svg` named `tag`, optionally only those of class `cls`.
std::vector<Attrs> elements(const std::string& svg, const std::string& tag, const std::string& cls = "") {
  std::vector<Attrs> out;
  const std::regex element("<" + tag + "(\\s[^>]*)?>"), attr("([\\w:-]+)=\"([^\"]*)\"");
  for (std::sregex_iterator e(svg.begin(), svg.end(), element), end; e != end; ++e) {
    Attrs a;
    const std::string body = (*e)[1];
    for (std::sregex_iterator m(body.begin(), body.end(), attr); m != end; ++m) a[(*m)[1]] = (*m)[2];
    if (cls.empty() || a["class"] == cls) out.push_back(a);
  }
  return out;
}

double num(const Attrs& a, const char* key) { return std::stod(a.at(key)); }

// The lines of the group with the given id (the rods of a frame).
std::vector<Attrs> group_lines(const std::string& svg, const std::string& id) {
  size_t from = svg.find("<g id=\"" + id + "\"");
  if (from == std::string::npos) return {};
  return elements(svg.substr(from, svg.find("</g>", from) - from), "line");
}

// A finished run in miniature: first-frame cell 7 divides into second-frame
// cells 1 and 2, cell 3 stays cell 3, first-frame cell 9 and second-frame
// cell 4 are unmatched. Identifiers differ from row numbers on purpose.
class PlotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("softconfig.dat", Config{}.text());  // MaxSplit 3, columns x y len angle id
    dir.write("newbact/image026.dat",
              vantu_test::cells_text({{100, 100, 20, 0, 7}, {200, 150, 20, 90, 3}, {300, 100, 20, 45, 9}}));
    dir.write("newbact/image029.dat", vantu_test::cells_text({{95, 105, 12, 10, 1}, {108, 98, 12, 10, 2},
                                                              {202, 152, 20, 85, 3}, {250, 250, 15, 30, 4}}));
    dir.write("Match.dat", "0  7  0  1 \n0  0  7  2 \n3  0  0  3 \n0  0  0  4 \n");
    dir.write("out.dat",
              "1 100 100  1 95 105  1 96 104 \n1 200 150  1 108 98  1 107 99 \n"
              "1 300 100  1 202 152  1 201 150 \n1 0 0  1 250 250  1 248 251 \n");
  }
  Outcome plot(const std::vector<std::string>& args = {}) { return dir.run(args, VANTU_PLOT_BIN); }
  // The picture of a run that must succeed; it must be well-formed XML.
  std::string picture(const std::vector<std::string>& args = {}, const std::string& name = "matches.svg") {
    Outcome o = plot(args);
    EXPECT_EQ(o.status, 0) << o.err;
    std::string svg = dir.read(name);
    EXPECT_TRUE(vantu_test::well_formed(svg));
    return svg;
  }
  // A refusal: status 1, a message on standard error holding each needle, no picture.
  void expect_refusal(const Outcome& o, const std::vector<std::string>& needles) {
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    for (const auto& n : needles) EXPECT_NE(o.err.find(n), std::string::npos) << n << " not in: " << o.err;
    EXPECT_FALSE(dir.exists("matches.svg"));
  }
  RunDir dir;
};

using Point = std::pair<double, double>;

Point centre(const Attrs& rod) {
  return {(num(rod, "x1") + num(rod, "x2")) / 2, (num(rod, "y1") + num(rod, "y2")) / 2};
}

void expect_at(double x, double y, Point p) {
  EXPECT_NEAR(x, p.first, 0.02);
  EXPECT_NEAR(y, p.second, 0.02);
}

TEST_F(PlotTest, DrawsOneLinePerMatchedCellToTheCellWithThatId) {
  const std::string svg = picture();
  EXPECT_NE(svg.find("viewBox=\"0 0 "), std::string::npos);
  const auto first = group_lines(svg, "first-frame"), second = group_lines(svg, "second-frame");
  ASSERT_EQ(first.size(), 3u);
  ASSERT_EQ(second.size(), 4u);  // the second file has angles: rods, not dots
  const auto plain = elements(svg, "line", "match"), daughters = elements(svg, "line", "daughter");
  ASSERT_EQ(plain.size(), 1u);
  ASSERT_EQ(daughters.size(), 2u);
  // Lines run from the second-frame cell to the first-frame cell matched by id.
  expect_at(num(plain[0], "x1"), num(plain[0], "y1"), centre(second[2]));
  expect_at(num(plain[0], "x2"), num(plain[0], "y2"), centre(first[1]));
  for (size_t d = 0; d < 2; ++d) {
    expect_at(num(daughters[d], "x1"), num(daughters[d], "y1"), centre(second[d]));
    expect_at(num(daughters[d], "x2"), num(daughters[d], "y2"), centre(first[0]));
  }
  // The mother and the unmatched cells of either frame are ringed.
  const std::vector<std::pair<const char*, Point>> rings = {
      {"mother", centre(first[0])}, {"lost-first", centre(first[2])}, {"lost-second", centre(second[3])}};
  for (const auto& ring : rings) {
    const auto found = elements(svg, "circle", ring.first);
    ASSERT_EQ(found.size(), 1u) << ring.first;
    expect_at(num(found[0], "cx"), num(found[0], "cy"), ring.second);
  }
}

TEST_F(PlotTest, UsesImageCoordinatesAndRodsAlongTheAngle) {
  const auto rods = group_lines(picture(), "first-frame");
  ASSERT_EQ(rods.size(), 3u);
  // Angle 0 lies along x; its drawn length gives the scale.
  EXPECT_NEAR(num(rods[0], "y1"), num(rods[0], "y2"), 0.01);
  const double scale = std::fabs(num(rods[0], "x1") - num(rods[0], "x2")) / 20;
  // Angle 90 points up the image: the first end, centre + (len/2)(0, -1), is drawn higher.
  EXPECT_NEAR(num(rods[1], "x1"), num(rods[1], "x2"), 0.01);
  EXPECT_NEAR(num(rods[1], "y2") - num(rods[1], "y1"), 20 * scale, 0.02);
  // y grows downwards, as in the image: no flip.
  EXPECT_NEAR(centre(rods[1]).second - centre(rods[0]).second, 50 * scale, 0.02);
  EXPECT_NEAR(centre(rods[2]).first - centre(rods[0]).first, 200 * scale, 0.02);
}

TEST_F(PlotTest, LegendCountsAndFileNames) {
  const std::string svg = picture();
  for (const char* text : {">first frame: 3 cells<", ">second frame: 4 cells<", ">plain matches: 1<",
                           ">divisions: 1<", ">daughters: 2<", ">unmatched, first frame: 1<",
                           ">unmatched, second frame: 1<", ">newbact/image026.dat<", ">newbact/image029.dat<"})
    EXPECT_NE(svg.find(text), std::string::npos) << text;

  // Point files named on the command line, with characters XML must escape.
  dir.write("r&d/<1>.dat", dir.read("newbact/image026.dat"));
  dir.write("r&d/<2>.dat", dir.read("newbact/image029.dat"));
  const std::string named = picture({"r&d/<1>.dat", "r&d/<2>.dat"});
  EXPECT_NE(named.find(">r&amp;d/&lt;1&gt;.dat<"), std::string::npos);
  EXPECT_NE(named.find(">r&amp;d/&lt;2&gt;.dat<"), std::string::npos);
}

TEST_F(PlotTest, OptionalLayers) {
  // --warped: a marker at the third position of each out.dat line. Cell 3
  // warps to (201, 150), one data unit right of first-frame cell 3.
  std::string svg = picture({"--warped"});
  const auto warped = elements(svg, "circle", "warped"), first = group_lines(svg, "first-frame");
  ASSERT_EQ(warped.size(), 4u);
  const double scale = std::fabs(num(first[0], "x1") - num(first[0], "x2")) / 20;
  expect_at(num(warped[2], "cx") - scale, num(warped[2], "cy"), centre(first[1]));

  // A second file without angles is drawn as dots.
  dir.write("newbact/image029.dat", vantu_test::cells_text({{95, 105, 12, 0, 1}, {108, 98, 12, 0, 2},
                                                            {202, 152, 20, 0, 3}, {250, 250, 15, 0, 4}}));
  svg = picture();
  EXPECT_TRUE(group_lines(svg, "second-frame").empty());
  EXPECT_EQ(elements(svg, "circle", "cell").size(), 4u);
}

TEST_F(PlotTest, OutputGoesWhereAskedAndRunFilesStayUntouched) {
  const auto before = dir.files();
  const std::string match = dir.read("Match.dat");
  picture({"-o", "colony.svg"}, "colony.svg");
  EXPECT_FALSE(dir.exists("matches.svg"));
  auto after = dir.files();
  after.erase(std::find(after.begin(), after.end(), "colony.svg"));
  EXPECT_EQ(after, before);
  EXPECT_EQ(dir.read("Match.dat"), match);

  EXPECT_EQ(plot({"-o", "Match.dat"}).status, 1);
  EXPECT_EQ(dir.read("Match.dat"), match);
  expect_refusal(plot({"-o", "no-such-dir/m.svg"}), {"no-such-dir/m.svg"});
  Outcome o = plot({"-h"});
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("usage: vantu-plot"), std::string::npos);
}

TEST_F(PlotTest, RefusesMissingAndMismatchedInputs) {
  dir.write("Match.dat", "0  7  0  1 \n0  0  7  2 \n3  0  0  3 \n");
  expect_refusal(plot(), {"Match.dat", "3 lines", "4 cells"});
  dir.write("Match.dat", "0  7  0  1 \n0  0  7  2 \n3  0  0  3 \n0  0 \n");
  expect_refusal(plot(), {"Match.dat", "line 4"});
  dir.write("Match.dat", "0  7  0  1 \n0  0  7  2 \n42  0  0  3 \n0  0  0  4 \n");
  expect_refusal(plot(), {"Match.dat", "42"});
  dir.write("Match.dat", "0  7  0  1 \n0  0  7  2 \n3  0  0  3 \n0  0  0  4 \n");
  dir.write("out.dat", "1 100 100  1 95 105  1 96 104 \n");
  expect_refusal(plot({"--warped"}), {"out.dat", "1 warped", "4 cells"});
  std::remove(dir.file("Match.dat").c_str());
  expect_refusal(plot(), {"cannot open Match.dat"});
  expect_refusal(plot({"a.dat", "b.dat"}), {"cannot open a.dat"});
  std::remove(dir.file("softconfig.dat").c_str());
  expect_refusal(plot(), {"softconfig.dat"});
}

}  // namespace
