// The movie page of vantu-plot: cell outlines from label images, the page
// written for a tracked simulated time-lapse (from masks and from points),
// refusals that leave everything as it was, and the page in a headless
// browser (skipped where chromium is not installed).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <regex>
#include <set>

#include "harness.h"
#include "tools/lineage_table.h"
#include "tools/movie_page.h"

namespace {

using vantu_plot::Loop;
using vantu_plot::label_outlines;
using vantu_test::Outcome;
using vantu_test::RunDir;

// ---------------------------------------------------------------- outlines

struct Picture {
  int width, height;
  std::vector<std::uint32_t> labels;
  Picture(int w, int h) : width(w), height(h), labels(static_cast<size_t>(w) * h, 0) {}
  void set(int x, int y, std::uint32_t v) { labels[static_cast<size_t>(y) * width + x] = v; }
  std::vector<std::vector<Loop>> outlines(std::uint32_t top) const {
    return label_outlines(labels, width, height, top);
  }
};

double area(const Loop& p) {
  double a = 0;
  for (size_t i = 0; i < p.size(); i += 2) {
    const size_t j = (i + 2) % p.size();
    a += static_cast<double>(p[i]) * p[j + 1] - static_cast<double>(p[j]) * p[i + 1];
  }
  return a / 2;
}

TEST(CellOutlines, ARectangleIsItsFourCornersClockwiseOnScreen) {
  Picture pic(6, 5);
  for (int y = 1; y <= 2; ++y)
    for (int x = 1; x <= 3; ++x) pic.set(x, y, 5);
  const auto out = pic.outlines(5);
  ASSERT_EQ(out[5].size(), 1u);
  const Loop& loop = out[5][0];
  ASSERT_EQ(loop.size(), 8u);
  std::set<std::pair<int, int>> corners;
  for (size_t k = 0; k < loop.size(); k += 2) corners.insert({loop[k], loop[k + 1]});
  EXPECT_EQ(corners, (std::set<std::pair<int, int>>{{1, 1}, {4, 1}, {4, 3}, {1, 3}}));
  EXPECT_EQ(area(loop), 6);  // positive: clockwise with y down
  EXPECT_TRUE(out[1].empty());
}

TEST(CellOutlines, DiagonalNeighboursAreTwoLoopsAndHolesAreDropped) {
  Picture pic(8, 8);
  pic.set(0, 0, 1), pic.set(1, 1, 1);                 // touch at one corner
  for (int y = 3; y <= 7; ++y)
    for (int x = 3; x <= 7; ++x)
      if (y != 5 || x != 5) pic.set(x, y, 2);         // a ring around one empty pixel
  const auto out = pic.outlines(2);
  ASSERT_EQ(out[1].size(), 2u);
  EXPECT_EQ(area(out[1][0]), 1);
  EXPECT_EQ(area(out[1][1]), 1);
  ASSERT_EQ(out[2].size(), 1u);
  EXPECT_EQ(area(out[2][0]), 25);
}

TEST(CellOutlines, ASlantedRodIsAFewCornersThatKeepItsArea) {
  Picture pic(80, 60);
  double pixels = 0;
  const double c = std::cos(0.5), s = std::sin(0.5);
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 80; ++x) {
      const double u = (x - 40) * c + (y - 30) * s, v = -(x - 40) * s + (y - 30) * c;
      const double along = std::max(0.0, std::fabs(u) - 15);
      if (along * along + v * v <= 6.5 * 6.5) pic.set(x, y, 3), ++pixels;
    }
  const auto out = pic.outlines(3);
  ASSERT_EQ(out[3].size(), 1u);
  EXPECT_LE(out[3][0].size() / 2, 24u);
  EXPECT_NEAR(area(out[3][0]), pixels, 0.04 * pixels);
}

// ---------------------------------------------------------------- the page

// A simulated time-lapse tracked twice: from its masks ("ctc", outlines) and
// from its point files ("pts", rods).
// Result folders of one simulated time-lapse, each made when a test first
// needs it: "ctc" tracked from the masks (outlines), "pts" from the point
// files (rods), "rated" a copy of "pts" with link confidences and fates.
class MoviePage : public ::testing::Test {
 protected:
  static RunDir* data;
  static std::set<std::string> made;
  static int low_links;

  static void SetUpTestSuite() { data = new RunDir(); }
  static void TearDownTestSuite() {
    delete data;
    data = nullptr;
  }

  // Makes the folder `dir` (and what it is made from); false when it fails.
  static bool folder(const std::string& dir) {
    if (made.count(dir)) return true;
    bool ok = false;
    if (dir == "tl") {
      ok = vantu_test::simulate_timelapse(*data, "tl", {"--frames", "6", "--cells", "30", "--seed", "7", "--masks", "tif"})
               .size() == 6;
    } else if (dir == "ctc" || dir == "pts") {
      std::vector<std::string> args = {"-o", dir};
      for (int t = 0; t < 6; ++t) {
        char name[48];
        std::snprintf(name, sizeof name, dir == "ctc" ? "tl/mask_%04d.tif" : "tl/frame_%04d.dat", t);
        args.push_back(data->file(name));
      }
      ok = folder("tl") && data->run(args, VANTU_TRACK_BIN).status == 0;
    } else if (dir == "gap") {  // frame 3 not imaged: every track crosses it as a gap
      std::vector<std::string> args = {"-o", dir};
      for (int t : {0, 1, 2, 4, 5}) args.push_back(data->file("tl/mask_000" + std::to_string(t) + ".tif"));
      ok = folder("tl") && data->run(args, VANTU_TRACK_BIN).status == 0;
    } else if (dir == "rated") {
      ok = folder("pts") && make_rated_copy();
    }
    if (ok) made.insert(dir);
    return ok;
  }

  // "rated": the points' lineage with a confidence column in cells.csv (a
  // quarter not rated, a quarter at 0.2, half at 0.9) and a tracks.csv with
  // the tracks' fates.
  static bool make_rated_copy() {
    if (!copy("pts", "rated")) return false;
    const auto rows = vantu_test::csv_rows(data->read("pts/cells.csv"));
    // The tracker's own confidence column is replaced by the pattern.
    const size_t rated_at = std::find(rows[0].begin(), rows[0].end(), "confidence") - rows[0].begin();
    std::string cells;
    for (size_t c = 0; c < rows[0].size(); ++c)
      if (c != rated_at) cells += rows[0][c] + ",";
    cells += "confidence\n";
    std::map<std::string, std::string> parent;
    std::set<std::string> mothers;
    for (size_t k = 1; k < rows.size(); ++k) {
      std::string line;
      for (size_t c = 0; c < rows[k].size(); ++c)
        if (c != rated_at) line += rows[k][c] + ",";
      // 0.497 is below 0.5 as written: the page must count it as cells.csv does.
      const char* confidence[4] = {"", "0.2", "0.497", "0.9"};
      cells += line + confidence[k % 4] + "\n";
      low_links += k % 4 == 1 || k % 4 == 2;
      parent[rows[k][2]] = rows[k][3];
      if (rows[k][3] != "0") mothers.insert(rows[k][3]);
    }
    data->write("rated/cells.csv", cells);
    std::string tracks = "track,parent_track,fate\n";
    for (const auto& [track, p] : parent) tracks += track + "," + p + "," + (mothers.count(track) ? "divided" : "end") + "\n";
    data->write("rated/tracks.csv", tracks);
    return true;
  }

  static Outcome plot(const std::vector<std::string>& args) { return data->run(args, VANTU_PLOT_BIN); }

  // A copy of a result folder, to spoil.
  static bool copy(const std::string& from, const std::string& to) {
    return std::system(("cp -r " + data->file(from) + " " + data->file(to)).c_str()) == 0;
  }
};
RunDir* MoviePage::data = nullptr;
std::set<std::string> MoviePage::made;
int MoviePage::low_links = 0;

TEST_F(MoviePage, WritesOneSelfContainedPageIntoTheFolder) {
  ASSERT_TRUE(folder("ctc") && folder("pts"));
  for (const char* dir : {"ctc", "pts"}) {
    const Outcome o = plot({"--movie", dir});
    ASSERT_EQ(o.status, 0) << o.err;
    ASSERT_EQ(plot({"--movie", dir}).status, 0) << "its own page is replaced";
    const std::vector<std::string> record = vantu_test::lines(data->read(std::string(dir) + "/.vantu-written"));
    EXPECT_EQ(std::count(record.begin(), record.end(), "movie.html"), 1) << dir;
    const std::string page = data->read(std::string(dir) + "/movie.html");
    EXPECT_EQ(page.find("http://"), std::string::npos) << dir;
    EXPECT_EQ(page.find("https://"), std::string::npos) << dir;
    EXPECT_EQ(page.find(" src="), std::string::npos) << dir;
    EXPECT_EQ(page.find("<link"), std::string::npos) << dir;
    EXPECT_EQ(page.find("vantu:"), std::string::npos) << dir << ": a template marker was left";
    EXPECT_NE(page.find("\"frames\":[0,1,2,3,4,5]"), std::string::npos) << dir;
    EXPECT_NE(page.find("\"suspect\":[\"\""), std::string::npos) << dir;  // tracks.csv's last column
    const bool masks = std::string(dir) == "ctc";
    EXPECT_NE(page.find(masks ? "\"shape\":\"outline\"" : "\"shape\":\"rod\""), std::string::npos) << dir;
  }
  EXPECT_EQ(plot({"--movie", "ctc", "-o", "elsewhere.html"}).status, 0);
  EXPECT_TRUE(data->exists("elsewhere.html"));
}

// The track masks carry res_track.txt's labels, which give a track's part
// after a gap a label of its own: the page, the pair picture and the tree
// all draw the tracker's fresh folder, every cell, with one founder count.
TEST_F(MoviePage, DrawsTheTrackersFolderAcrossAGapWithTheSameCounts) {
  ASSERT_TRUE(folder("gap"));
  ASSERT_NE(data->read("gap/res_track.txt"), "");
  const auto rows = vantu_test::csv_rows(data->read("gap/cells.csv"));
  std::set<std::string> tracks, founders;
  int cells = 0;
  for (size_t k = 1; k < rows.size(); ++k) {
    tracks.insert(rows[k][2]);
    cells += rows[k][0] == "2" || rows[k][0] == "4";
  }
  ASSERT_GT(vantu_test::lines(data->read("gap/res_track.txt")).size(), tracks.size());  // parts after the gap
  const Outcome page = plot({"--movie", "gap"});
  EXPECT_EQ(page.status, 0) << page.err;
  const Outcome pair = plot({"--pair", "gap", "2"});
  ASSERT_EQ(pair.status, 0) << pair.err;
  const std::string svg = data->read("gap/pair_2.svg");
  size_t outlines = 0;
  for (size_t at = svg.find("<path class=\"outline\""); at != std::string::npos; at = svg.find("<path class=\"outline\"", at + 1))
    ++outlines;
  EXPECT_EQ(outlines, static_cast<size_t>(cells));
  const auto table = vantu_test::csv_rows(data->read("gap/tracks.csv"));
  const size_t founder = std::find(table[0].begin(), table[0].end(), "founder") - table[0].begin();
  for (size_t k = 1; k < table.size(); ++k) founders.insert(table[k][founder]);
  ASSERT_EQ(plot({"--lineage", "gap"}).status, 0);
  const std::string tree = data->read("gap/lineage.svg");
  EXPECT_NE(tree.find(std::to_string(tracks.size()) + " tracks, " + std::to_string(founders.size()) + " founders"),
            std::string::npos)
      << tree.substr(0, 1500);
  const std::string html = data->read("gap/movie.html");
  EXPECT_NE(html.find("\"palette\":[\"#0072B2\""), std::string::npos);  // the tree's colours
}

TEST_F(MoviePage, RefusesAFolderWithoutLineageAndLeavesItAlone) {
  data->write("empty/notes.txt", "x");
  const Outcome o = plot({"--movie", "empty"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("empty/cells.csv"), std::string::npos) << o.err;
  EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
  EXPECT_FALSE(data->exists("empty/movie.html"));
}

TEST_F(MoviePage, RefusesMasksThatNoLongerMatchCellsCsv) {
  ASSERT_TRUE(folder("ctc") && copy("ctc", "stale"));
  ASSERT_EQ(plot({"--movie", "stale"}).status, 0);
  const std::string earlier = data->read("stale/movie.html");
  ASSERT_EQ(std::system(("cp " + data->file("stale/mask002.tif") + " " + data->file("stale/mask003.tif")).c_str()), 0);
  const Outcome o = plot({"--movie", "stale"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("stale/mask003.tif"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("no longer match"), std::string::npos) << o.err;
  EXPECT_EQ(data->read("stale/movie.html"), earlier);

  ASSERT_TRUE(copy("ctc", "missing"));
  std::remove(data->file("missing/mask004.tif").c_str());
  const Outcome m = plot({"--movie", "missing"});
  EXPECT_EQ(m.status, 1);
  EXPECT_NE(m.err.find("frame 4"), std::string::npos) << m.err;
}

TEST_F(MoviePage, RefusesATracksTableOfAnotherLineage) {
  ASSERT_TRUE(folder("rated") && copy("rated", "mixed"));
  std::remove(data->file("mixed/movie.html").c_str());
  std::string tracks = data->read("mixed/tracks.csv");
  const size_t row = tracks.find("\n1,") + 1;  // track 1, a founder
  ASSERT_EQ(tracks.substr(row, 4), "1,0,");
  tracks.replace(row, 4, "1,7,");
  data->write("mixed/tracks.csv", tracks);
  const Outcome o = plot({"--movie", "mixed"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("mixed/tracks.csv line 2: track 1 has parent 7"), std::string::npos) << o.err;
  EXPECT_FALSE(data->exists("mixed/movie.html"));
}

TEST_F(MoviePage, RefusesToWriteAnythingButItsOwnPage) {
  ASSERT_TRUE(folder("ctc") && folder("pts"));
  const Outcome o = plot({"--movie", "ctc", "-o", "ctc/cells.csv"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("ctc/cells.csv"), std::string::npos) << o.err;
  EXPECT_EQ(data->read("ctc/cells.csv").substr(0, 6), "frame,");

  ASSERT_TRUE(copy("pts", "foreign"));
  std::string record;  // the folder's record without a page
  for (const std::string& name : vantu_test::lines(data->read("foreign/.vantu-written")))
    if (name != "movie.html") record += name + "\n";
  data->write("foreign/.vantu-written", record);
  data->write("foreign/movie.html", "a page of the user's");
  const Outcome f = plot({"--movie", "foreign"});
  EXPECT_EQ(f.status, 1);
  EXPECT_NE(f.err.find("foreign/movie.html exists and was not written by vantu"), std::string::npos) << f.err;
  EXPECT_EQ(data->read("foreign/movie.html"), "a page of the user's");
}

// ---------------------------------------------------------------- colours

// A colour as CIELAB (D65) after simulated colour vision: sRGB linearised,
// Machado, Oliveira and Fernandes' (2009) matrix for a full dichromacy
// (identity: normal vision), clamped, to XYZ and Lab.
std::array<double, 3> seen_lab(const std::string& hex, const double (&m)[3][3]) {
  double rgb[3], lin[3];
  for (int k = 0; k < 3; ++k) {
    const double c = std::stoi(hex.substr(1 + 2 * k, 2), nullptr, 16) / 255.0;
    rgb[k] = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  }
  for (int k = 0; k < 3; ++k) lin[k] = std::min(1.0, std::max(0.0, m[k][0] * rgb[0] + m[k][1] * rgb[1] + m[k][2] * rgb[2]));
  const double x = (0.4124564 * lin[0] + 0.3575761 * lin[1] + 0.1804375 * lin[2]) / 0.95047,
               y = 0.2126729 * lin[0] + 0.7151522 * lin[1] + 0.0721750 * lin[2],
               z = (0.0193339 * lin[0] + 0.1191920 * lin[1] + 0.9503041 * lin[2]) / 1.08883;
  auto f = [](double t) { return t > 216.0 / 24389 ? std::cbrt(t) : (24389.0 / 27 * t + 16) / 116; };
  return {116 * f(y) - 16, 500 * (f(x) - f(y)), 200 * (f(y) - f(z))};
}

// The division rings, the debris and lone greys and the cells outside a
// selection stay at least 20 CIELAB units (deltaE 1976) from every founder
// colour, and the rings from the greys and the page's white, to normal,
// protanope, deuteranope and tritanope eyes.
TEST(PageColours, RingsAndGreysStayDistinctUnderColourBlindVision) {
  const double vision[4][3][3] = {
      {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
      {{0.152286, 1.052583, -0.204868}, {0.114503, 0.786281, 0.099216}, {-0.003882, -0.048116, 1.051998}},
      {{0.367322, 0.860646, -0.227968}, {0.280085, 0.672501, 0.047413}, {-0.011820, 0.042940, 0.968881}},
      {{1.255528, -0.076749, -0.178779}, {-0.078411, 0.930809, 0.147602}, {0.004733, 0.691367, 0.303900}}};
  const char* const names[4] = {"normal", "protanopia", "deuteranopia", "tritanopia"};
  using vantu_plot::kPalette;
  const std::vector<std::string> greys = {vantu_plot::kDebrisColour, vantu_plot::kLoneColour, vantu_plot::kOutsideColour};
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const char* c : kPalette) {
    for (const std::string& g : greys) pairs.push_back({g, c});
    pairs.push_back({vantu_plot::kRingColour, c});
  }
  for (const std::string& g : greys) pairs.push_back({vantu_plot::kRingColour, g});
  pairs.push_back({vantu_plot::kRingColour, "#ffffff"});
  for (int v = 0; v < 4; ++v)
    for (const auto& [a, b] : pairs) {
      const auto la = seen_lab(a, vision[v]), lb = seen_lab(b, vision[v]);
      const double d = std::hypot(la[0] - lb[0], la[1] - lb[1], la[2] - lb[2]);
      EXPECT_GE(d, 20) << a << " and " << b << " under " << names[v];
    }
}

// ---------------------------------------------------------------- in a browser

const char* const kChromium = "/usr/bin/chromium";

// The page opened with "#selftest" in headless chromium: the JSON the page's
// self-test writes into the DOM, and the browser's log.
struct BrowserRun {
  std::string result, log;
};

BrowserRun open_in_browser(const RunDir& dir, const std::string& page, const std::string& hash = "selftest") {
  const std::string profile = dir.file("chromium-profile");
  const Outcome o = dir.run({"60", kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                             "--no-first-run", "--disable-background-networking", "--disable-component-update",
                             "--disable-sync", "--user-data-dir=" + profile, "--window-size=1000,700",
                             "--enable-logging=stderr", "--v=0", "--virtual-time-budget=3000", "--dump-dom",
                             "file://" + dir.file(page) + "#" + hash},
                            "timeout");
  std::smatch m;
  static const std::regex pre("<pre id=\"selftest-result\">([^<]*)</pre>");
  BrowserRun run;
  if (std::regex_search(o.out, m, pre)) run.result = m[1];
  run.log = o.err;
  return run;
}

long number_after(const std::string& json, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(json, m, std::regex("\"" + key + "\":\\{[^}]*\"cells\":(\\d+),\"painted\":(\\d+)")))
    return -1;
  return std::stol(m[1]) > 0 ? std::stol(m[2]) : 0;
}

TEST_F(MoviePage, DrawsStepsAndSelectsALineageInABrowser) {
  if (access(kChromium, X_OK) != 0) GTEST_SKIP() << kChromium << " is not installed";
  ASSERT_TRUE(folder("ctc") && folder("rated"));
  // A long folder name wraps at its separators, never inside a word.
  const std::string long_name = "review/experiment_2026_12_08_agar_pad/tracked_with_fluorescence";
  ASSERT_EQ(std::system(("mkdir -p " + data->file("review/experiment_2026_12_08_agar_pad") + " && cp -r " + data->file("pts") + " " +
                         data->file(long_name)).c_str()), 0);
  for (const std::string dir : {"ctc", "pts", "rated", long_name.c_str()}) {
    ASSERT_EQ(plot({"--movie", dir}).status, 0);
    const BrowserRun run = open_in_browser(*data, dir + "/movie.html");
    ASSERT_FALSE(run.result.empty()) << dir << ": no self-test result; browser log:\n" << run.log;
    EXPECT_EQ(run.log.find("Uncaught"), std::string::npos) << run.log;
    EXPECT_NE(run.result.find("\"errors\":[]"), std::string::npos) << run.result;
    EXPECT_GT(number_after(run.result, "first"), 100) << run.result;  // cells, and pixels painted
    EXPECT_NE(run.result.find("\"step\":{\"frame\":1,"), std::string::npos) << run.result;
    EXPECT_GT(number_after(run.result, "step"), 100) << run.result;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.result, m,
                                  std::regex("\"click\":\\{\"track\":(\\d+),\"relatives\":(\\d+),\"selected\":\\[([0-9,]*)\\]")))
        << run.result;
    const std::string track = m[1], selected = "," + std::string(m[3]) + ",";
    EXPECT_NE(selected.find("," + track + ","), std::string::npos) << run.result;
    if (std::stoi(m[2]) > 0) {
      EXPECT_GT(std::count(selected.begin(), selected.end(), ','), 2) << run.result;
    }
    EXPECT_NE(run.result.find("\"hover\":\"track " + track), std::string::npos) << run.result;
    EXPECT_NE(run.result.find("\"brokenWords\":0"), std::string::npos) << run.result;
    // The ancestry, founder first, down to the clicked track, one table row
    // each under a header; a founder's whole family at the last frame draws
    // trails for its cells alive then (and the founder's own), no more.
    ASSERT_TRUE(std::regex_search(run.result, m, std::regex("\"ancestry\":\\[(.*?)\\]\\],\"trails\":\\d+,\"rows\":(\\d+)")))
        << run.result;
    const std::string chain = m[1];
    const int table_rows = std::stoi(m[2]);
    std::vector<long> tracks_up, born;
    const std::regex row("\\[?\\[(\\d+),(\\d+),");
    for (std::sregex_iterator r(chain.begin(), chain.end(), row), end; r != end; ++r)
      tracks_up.push_back(std::stol((*r)[1])), born.push_back(std::stol((*r)[2]));
    ASSERT_FALSE(tracks_up.empty()) << chain;
    EXPECT_EQ(std::to_string(tracks_up.back()), track);
    EXPECT_EQ(table_rows, static_cast<int>(tracks_up.size()) + 1);
    EXPECT_TRUE(std::is_sorted(born.begin(), born.end())) << chain;
    ASSERT_TRUE(std::regex_search(run.result, m, std::regex("\"family\":\\{\"founder\":(\\d+),\"trails\":(\\d+),\"alive\":(\\d+)")))
        << run.result;
    EXPECT_EQ(std::stol(m[1]), tracks_up.front());
    EXPECT_LE(std::stoi(m[2]), std::stoi(m[3]) + 1);
    // The tracker rates every link itself; "rated" has a pattern instead.
    const bool rated = dir == "rated";
    int low = 0;
    const auto rows = vantu_test::csv_rows(data->read(dir + "/cells.csv"));
    const size_t at = std::find(rows[0].begin(), rows[0].end(), "confidence") - rows[0].begin();
    for (size_t k = 1; k < rows.size(); ++k)  // an empty last field is not in the row
      low += at < rows[k].size() && !rows[k][at].empty() && std::stod(rows[k][at]) < 0.5;
    EXPECT_EQ(low, rated ? low_links : low);
    EXPECT_NE(run.result.find("\"lowLinks\":" + std::to_string(low) + ","), std::string::npos) << run.result;
    EXPECT_NE(run.result.find("fate "), std::string::npos) << run.result;  // from tracks.csv
    if (rated) {
      EXPECT_NE(run.result.find("fate divided"), std::string::npos) << run.result;
    }
  }
}

// The corrections panel: a click on a cell and one on a cell of the frame
// before make a link; the buttons new, debris and "not this link" (the
// lineage's own link); an undo drops its row. The saved file is what
// vantu-track reads, and the page of its result rings the cells set by hand.
TEST_F(MoviePage, ClicksMakeTheCorrectionsFileInABrowser) {
  if (access(kChromium, X_OK) != 0) GTEST_SKIP() << kChromium << " is not installed";
  ASSERT_TRUE(folder("pts"));
  ASSERT_EQ(plot({"--movie", "pts"}).status, 0);
  BrowserRun run = open_in_browser(*data, "pts/movie.html", "fixtest");
  ASSERT_FALSE(run.result.empty()) << run.log;
  EXPECT_NE(run.result.find("\"errors\":[]"), std::string::npos) << run.result;
  EXPECT_NE(run.result.find("\"byHand\":0,\"listed\":3,"), std::string::npos) << run.result;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(run.result, m,
                                std::regex("\"csv\":\"frame,id,action,from_frame,from_id\\\\n"
                                           "2,(\\d+),link,1,(\\d+)\\\\n2,(\\d+),debris,,\\\\n2,(\\d+),not,(\\d+),(\\d+)\\\\n\"")))
      << run.result;
  // "not" names the link cells.csv has: the cell's track in the frame before, or its mother's last cell.
  const auto rows = vantu_test::csv_rows(data->read("pts/cells.csv"));
  std::map<std::pair<std::string, std::string>, std::string> track_at;  // (frame, id) -> track
  std::map<std::string, std::string> parent;
  std::map<std::pair<std::string, std::string>, std::string> cell_of;  // (frame, track) -> id
  for (size_t k = 1; k < rows.size(); ++k) {
    track_at[{rows[k][0], rows[k][1]}] = rows[k][2];
    parent[rows[k][2]] = rows[k][3];
    cell_of[{rows[k][0], rows[k][2]}] = rows[k][1];
  }
  const std::string track = track_at[{"2", m[4]}];
  const std::string from = cell_of.count({"1", track}) ? cell_of[{"1", track}] : cell_of[{m[5], parent[track]}];
  EXPECT_EQ(m[6].str(), from) << run.result;
  // The saved file, given to vantu-track on the same inputs.
  std::string csv = "frame,id,action,from_frame,from_id\n2," + m[1].str() + ",link,1," + m[2].str() + "\n2," +
                    m[3].str() + ",debris,,\n2," + m[4].str() + ",not," + m[5].str() + "," + m[6].str() + "\n";
  data->write("fixes.csv", csv);
  std::vector<std::string> args = {"-o", "fixed", "--corrections", "fixes.csv"};
  for (int t = 0; t < 6; ++t) args.push_back(data->file("tl/frame_000" + std::to_string(t) + ".dat"));
  ASSERT_EQ(data->run(args, VANTU_TRACK_BIN).status, 0);
  ASSERT_EQ(plot({"--movie", "fixed"}).status, 0);
  run = open_in_browser(*data, "fixed/movie.html", "fixtest");
  EXPECT_NE(run.result.find("\"byHand\":2,"), std::string::npos) << run.result;
}

}  // namespace
