// Movies as they come off the microscope: the output folder never takes an
// input's place nor a file the programs did not write, frame numbers come
// from the names, blank and missing frames are gaps, a stack or a folder is a
// whole movie, and the result folder keeps the Cell Tracking Challenge rules.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "image/image.h"
#include "tests/harness.h"
#include "track/track.h"

using vantu_test::Outcome;
using vantu_test::RunDir;
using namespace vantu;

namespace {

// Writes the label images as the pages of one 16-bit TIFF, as Fiji and
// tifffile write a movie (with an ImageJ `description` on the first page),
// or of 32-bit signed labels, with the first pixel of page `negative_page`
// set to -1.
void write_stack(const std::string& path, const std::vector<LabelImage>& pages, const std::string& description = "",
                 bool int32 = false, int negative_page = -1) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tif, nullptr);
  int page = 0;
  for (const LabelImage& img : pages) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(img.width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(img.height));
    if (page == 0 && !description.empty()) TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    if (int32) {
      TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 32);
      TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_INT);
      TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_DEFLATE);
      TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
      std::vector<std::int32_t> row(static_cast<size_t>(img.width));
      for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x)
          row[static_cast<size_t>(x)] = static_cast<std::int32_t>(img.labels[static_cast<size_t>(y * img.width + x)]);
        if (y == 0 && page == negative_page) row[0] = -1;
        ASSERT_EQ(TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0), 1);
      }
      TIFFWriteDirectory(tif);
      ++page;
      continue;
    }
    ++page;
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_DEFLATE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
    std::vector<std::uint16_t> row(static_cast<size_t>(img.width));
    for (int y = 0; y < img.height; ++y) {
      for (int x = 0; x < img.width; ++x)
        row[static_cast<size_t>(x)] = static_cast<std::uint16_t>(img.labels[static_cast<size_t>(y * img.width + x)]);
      ASSERT_EQ(TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0), 1);
    }
    TIFFWriteDirectory(tif);
  }
  TIFFClose(tif);
}

// Checks a result folder against the Cell Tracking Challenge's rules: labels
// are positive, unique and fit 16 bits; B <= E; a parent exists and ends
// before its child starts; a mask exists for every frame from the first to
// the last; every label is in every mask from its B to its E and in no
// other. Returns the problems found (empty: valid).
std::vector<std::string> ctc_problems(const RunDir& d, const std::string& dir, long first, long last) {
  std::vector<std::string> bad;
  struct Span {
    long b, e, p;
  };
  std::map<long, Span> tracks;
  for (const auto& row : vantu_test::table(d.read(dir + "/res_track.txt"))) {
    if (row.size() != 4) {
      bad.push_back("a line of res_track.txt without four numbers");
      continue;
    }
    const long L = std::stol(row[0]), b = std::stol(row[1]), e = std::stol(row[2]), p = std::stol(row[3]);
    if (L < 1 || L > 65535) bad.push_back("label " + row[0] + " outside 1..65535");
    if (b > e) bad.push_back("label " + row[0] + " ends before it starts");
    if (!tracks.emplace(L, Span{b, e, p}).second) bad.push_back("label " + row[0] + " twice");
  }
  for (const auto& kv : tracks) {
    if (kv.second.p == 0) continue;
    const auto parent = tracks.find(kv.second.p);
    if (parent == tracks.end())
      bad.push_back("label " + std::to_string(kv.first) + " has a missing parent");
    else if (parent->second.e >= kv.second.b)
      bad.push_back("label " + std::to_string(kv.first) + " starts before its parent ends");
  }
  for (long t = first; t <= last; ++t) {
    char name[32];
    std::snprintf(name, sizeof name, "/mask%03ld.tif", t);
    if (!d.exists(dir + name)) {
      bad.push_back(std::string("no ") + name);
      continue;
    }
    std::set<long> in_mask;
    for (std::uint32_t v : read_label_image(d.file(dir + name)).labels)
      if (v) in_mask.insert(v);
    for (const auto& kv : tracks) {
      const bool alive = kv.second.b <= t && t <= kv.second.e;
      if (alive != (in_mask.count(kv.first) != 0))
        bad.push_back("label " + std::to_string(kv.first) + (alive ? " missing from" : " stray in") + name);
    }
  }
  return bad;
}

std::string column(const std::string& csv, size_t k) {
  std::string out;
  for (const auto& row : vantu_test::csv_rows(csv)) out += (k < row.size() ? row[k] : "?") + "\n";
  return out;
}

// Six simulated frames of 30 cells: point files and masks.
class Movie : public vantu_test::SimulatedMasks {
 protected:
  static Outcome track(const std::vector<std::string>& options, const std::vector<std::string>& inputs) {
    std::vector<std::string> args = options;
    args.insert(args.end(), inputs.begin(), inputs.end());
    return data->run(args, VANTU_TRACK_BIN);
  }
  // Copies file `from` (absolute) to `rel`.
  static std::string copy(const std::string& from, const std::string& rel) {
    std::FILE* f = std::fopen(from.c_str(), "rb");
    std::string bytes;
    char buf[65536];
    for (size_t n; f && (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
    if (f) std::fclose(f);
    data->write(rel, bytes);
    return data->file(rel);
  }
  // The run on every mask, once for the whole suite.
  static const std::string& all_masks_dir() {
    static bool done = false;
    if (!done) {
      const Outcome o = track({"-o", "all"}, masks);
      EXPECT_EQ(o.status, 0) << o.err;
      done = true;
    }
    static const std::string dir = "all";
    return dir;
  }
  // The run on every point file, once.
  static const std::string& all_frames_dir() {
    static bool done = false;
    if (!done) {
      const Outcome o = track({"-o", "all_frames"}, frames);
      EXPECT_EQ(o.status, 0) << o.err;
      done = true;
    }
    static const std::string dir = "all_frames";
    return dir;
  }
};

// ---- The output folder ----

TEST_F(Movie, OutputsThatWouldReplaceAnInputAreRefusedAndNothingIsWritten) {
  std::vector<std::string> own;
  for (size_t t = 0; t < 3; ++t) own.push_back(copy(masks[t], "own/mask00" + std::to_string(t) + ".tif"));
  const std::string before = data->read("own/mask001.tif");
  const Outcome o = track({"-o", "own"}, own);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("its mask000.tif would replace the input"), std::string::npos) << o.err;
  EXPECT_EQ(data->read("own/mask001.tif"), before);
  EXPECT_EQ(vantu_test::lines(o.err).size(), 1u) << o.err;
  const Outcome listing = data->run({"-c", "ls -A own"}, "/bin/sh");
  EXPECT_EQ(listing.out, "mask000.tif\nmask001.tif\nmask002.tif\n");

  const Outcome root = track({"-o", ""}, {frames[0], frames[1]});
  EXPECT_EQ(root.status, 1);
  EXPECT_NE(root.err.find("-o: an empty folder name"), std::string::npos) << root.err;
}

TEST_F(Movie, AFileTheProgramsDidNotWriteIsNeitherReplacedNorRemoved) {
  data->write("used/cells.csv", "the user's table\n");
  const Outcome o = track({"-o", "used"}, {frames[0], frames[1]});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("used/cells.csv exists and was not written by vantu"), std::string::npos) << o.err;
  EXPECT_EQ(data->read("used/cells.csv"), "the user's table\n");
  EXPECT_FALSE(data->exists("used/softconfig.dat"));
  // The user's parameters given from the output folder itself stay as they are.
  data->write("cfg/softconfig.dat", vantu_test::Config().text());
  const Outcome own_config = track({"-o", "cfg", "--config", "cfg/softconfig.dat"}, {frames[0], frames[1]});
  EXPECT_EQ(own_config.status, 0) << own_config.err;
  EXPECT_EQ(data->read("cfg/softconfig.dat"), vantu_test::Config().text());

  // A folder of an earlier run: its own files replaced, its leftovers (the
  // old picture, track masks and pair records past the new end) removed, the
  // user's notes kept, and the log says so.
  ASSERT_EQ(track({"-o", "again"}, {masks[0], masks[1], masks[2]}).status, 0);
  ASSERT_EQ(data->run({"--lineage", "again"}, VANTU_PLOT_BIN).status, 0);
  ASSERT_TRUE(data->exists("again/lineage.svg"));
  data->write("again/notes.txt", "kept\n");
  const Outcome second = track({"-o", "again"}, {masks[0], masks[1]});
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_NE(second.err.find("3 removed (lineage.svg, mask002.tif, pairs/0001.txt)"), std::string::npos) << second.err;
  EXPECT_FALSE(data->exists("again/lineage.svg"));
  EXPECT_FALSE(data->exists("again/mask002.tif"));
  EXPECT_EQ(data->read("again/notes.txt"), "kept\n");
  EXPECT_EQ(data->read("again/.vantu-written").find("lineage.svg"), std::string::npos);
}

TEST_F(Movie, AnEarlierRunsPairFoldersAndLeftoversAreNotTakenForThisRuns) {
  ASSERT_EQ(track({"-o", "kept", "--keep-pairs"}, {frames[0], frames[1]}).status, 0);
  const std::string first_match = data->read("kept/pairs/0000/Match.dat");
  // Other cells without --keep-pairs: the old pair's folder goes.
  ASSERT_EQ(track({"-o", "kept", "--force"}, {frames[2], frames[3]}).status, 0);
  EXPECT_FALSE(data->exists("kept/pairs/0000/Match.dat"));
  Outcome o = track({"-o", "kept", "--keep-pairs"}, {frames[2], frames[3]});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err.find("done earlier"), std::string::npos) << o.err;
  EXPECT_NE(data->read("kept/pairs/0000/Match.dat"), first_match);

  // A run killed while the matcher wrote: a temporary file in the pair's
  // unfinished folder does not stop the next run.
  data->write("kept/pairs/0000.partial/.Match.dat.4242.1f.tmp", "half");
  data->write("kept/.vantu-written", data->read("kept/.vantu-written") + "pairs/0000.partial/\n");
  o = track({"-o", "kept", "--keep-pairs", "--force"}, {frames[0], frames[1]});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(data->read("kept/pairs/0000/Match.dat"), first_match);
  EXPECT_FALSE(data->exists("kept/pairs/0000.partial"));
}

// ---- Frame numbers ----

TEST_F(Movie, FrameNumbersComeFromTheNamesInAnyArgumentOrder) {
  // Frames 8..13 named without padding, given as the shell sorts them.
  std::vector<std::string> shell;
  for (int t : {2, 3, 4, 5, 0, 1}) shell.push_back(copy(frames[static_cast<size_t>(t)], "unpadded/f_" + std::to_string(t + 8) + ".dat"));
  ASSERT_EQ(track({"-o", "by_name"}, shell).status, 0);
  ASSERT_EQ(track({"-o", "by_order"}, frames).status, 0);
  const std::string named = data->read("by_name/cells.csv"), ordered = data->read("by_order/cells.csv");
  EXPECT_EQ(column(named, 2), column(ordered, 2));  // the same tracks
  const auto rows = vantu_test::csv_rows(named);
  EXPECT_EQ(rows[1][0], "8");
  EXPECT_EQ(rows.back()[0], "13");
  EXPECT_EQ(vantu_test::table(data->read("by_name/res_track.txt"))[0][1], "8");

  // Two files with one number, and a name without one among numbered names.
  const std::string twin = copy(frames[1], "twin/f_0009.dat");
  Outcome o = track({"-o", "twice"}, {shell[4], shell[5], twin});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("f_9.dat and " + twin + " both have frame number 9"), std::string::npos) << o.err;
  const std::string plain = copy(frames[2], "plain.dat");
  o = track({"-o", "mixed"}, {shell[4], plain});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find(plain + ": no frame number in its name"), std::string::npos) << o.err;
  EXPECT_FALSE(data->exists("twice") || data->exists("mixed"));
}

TEST(FrameNumbers, ADigitExtensionIsTheNumberOnlyWhenTheRestHasNone) {
  long n = -1;
  EXPECT_TRUE(frame_number_in_name("run/pts.012", n));
  EXPECT_EQ(n, 12);
  EXPECT_TRUE(frame_number_in_name("run2/f_1.5", n));
  EXPECT_EQ(n, 1);
  EXPECT_FALSE(frame_number_in_name("run2/first.dat", n));
  EXPECT_TRUE(frame_number_in_name("run2/img_t012_ch1.tif", n, "_t(\\d+)"));
  EXPECT_EQ(n, 12);
}

TEST_F(Movie, NumbersByAPatternOrInTheExtensionKeepTheirOrder) {
  const std::string ordered = data->read(all_frames_dir() + "/cells.csv");
  // img_t008_ch1.dat ...: the last number is the channel's.
  std::vector<std::string> named;
  for (int t = 0; t < 6; ++t)
    named.push_back(copy(frames[static_cast<size_t>(t)], "pattern/img_t" + std::to_string(100 + 8 + t).substr(1) + "_ch1.dat"));
  Outcome o = track({"-o", "by_last"}, named);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("both have frame number 1 in their names"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("--frame-number"), std::string::npos) << o.err;
  EXPECT_FALSE(data->exists("by_last"));
  o = track({"-o", "by_pattern", "--frame-number", "t(\\d+)"}, named);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(column(data->read("by_pattern/cells.csv"), 2), column(ordered, 2));
  EXPECT_EQ(vantu_test::csv_rows(data->read("by_pattern/cells.csv"))[1][0], "8");
  o = track({"-o", "by_pattern", "--frame-number", "x(\\d+)"}, named);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find(named[0] + ": --frame-number 'x(\\d+)' does not match its name"), std::string::npos) << o.err;

  // pts.8 ... pts.13 in the shell's order (10, 11, 12, 13, 8, 9).
  std::vector<std::string> extension;
  for (int t : {2, 3, 4, 5, 0, 1}) extension.push_back(copy(frames[static_cast<size_t>(t)], "ext/pts." + std::to_string(t + 8)));
  o = track({"-o", "by_extension"}, extension);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(column(data->read("by_extension/cells.csv"), 2), column(ordered, 2));
  EXPECT_EQ(vantu_test::csv_rows(data->read("by_extension/cells.csv"))[1][0], "8");
}

TEST_F(Movie, AGapFarLongerThanTheGapClosingBridgesIsRefusedUnlessAllowed) {
  // Frames 0, 1, 2 and 400.
  std::vector<std::string> gap;
  for (int t = 0; t < 4; ++t)
    gap.push_back(copy(frames[static_cast<size_t>(t)], "gap_in/f_" + std::to_string(t == 3 ? 400 : t) + ".dat"));
  Outcome o = track({"-o", "gap"}, gap);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("no frame numbered 3-399: a gap of 397 frame numbers where the other frames are 1 apart"),
            std::string::npos) << o.err;
  EXPECT_NE(o.err.find("--allow-gaps"), std::string::npos) << o.err;
  EXPECT_FALSE(data->exists("gap"));
  o = track({"-o", "gap", "--allow-gaps"}, gap);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("warning: no frame numbered 3-399 (397 numbers); the tracks cross them as gaps"),
            std::string::npos) << o.err;
  // Every 10th number, one frame short: the step of the movie, no long gap.
  std::vector<std::string> sparse;
  for (int t = 0; t < 6; ++t)
    if (t != 3) sparse.push_back(copy(frames[static_cast<size_t>(t)], "sparse/f_" + std::to_string(10 * t) + ".dat"));
  o = track({"-o", "sparse"}, sparse);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("warning: no frame numbered 30 (1 number in the movie's steps of 10)"), std::string::npos) << o.err;

  // The edge: 4 missing frames are crossed, 5 are refused.
  for (const int last : {7, 8}) {
    std::vector<std::string> edge(gap.begin(), gap.begin() + 3);
    edge.push_back(copy(frames[3], "edge" + std::to_string(last) + "/f_" + std::to_string(last) + ".dat"));
    o = track({"-o", "edge" + std::to_string(last)}, edge);
    EXPECT_EQ(o.status, last == 7 ? 0 : 1) << o.err;
    EXPECT_NE(o.err.find(last == 7 ? "warning: no frame numbered 3-6 (4 numbers)" : "no frame numbered 3-7: a gap of 5"),
              std::string::npos) << o.err;
  }
}

TEST_F(Movie, AnEvenlySampledMovieTracksAsNumberedOneByOne) {
  // The masks numbered 0, 5, 10, ...: the same lineage under those numbers.
  std::vector<std::string> fives;
  for (size_t t = 0; t < masks.size(); ++t) fives.push_back(copy(masks[t], "fives/m_" + std::to_string(5 * t) + ".tif"));
  Outcome o = track({"-o", "five", "--frame-interval", "2"}, fives);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err.find("no frame numbered"), std::string::npos) << o.err;
  const std::string& all = all_masks_dir();
  const std::string one = data->read(all + "/cells.csv"), five = data->read("five/cells.csv");
  for (size_t k = 1; k < 8; ++k) EXPECT_EQ(column(five, k), column(one, k)) << "column " << k;
  EXPECT_EQ(vantu_test::table(data->read("five/res_track.txt")).size(), vantu_test::table(data->read(all + "/res_track.txt")).size());
  for (size_t t = 0; t < masks.size(); ++t) {
    char name[32];
    std::snprintf(name, sizeof name, "/mask%03zu.tif", 5 * t);
    EXPECT_TRUE(data->exists("five" + std::string(name))) << name;
  }
  EXPECT_FALSE(data->exists("five/mask001.tif"));
  // Times stay in the numbers' units: a cycle of 5 numbers at 2 minutes each.
  o = track({"-o", "one", "--frame-interval", "10"}, masks);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(column(data->read("five/tracks.csv"), 10), column(data->read("one/tracks.csv"), 10));

  // One step really missing: a gap of one frame, as frame 2 missing is.
  std::vector<std::string> missing = fives;
  missing.erase(missing.begin() + 2);
  o = track({"-o", "five_missing"}, missing);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("warning: no frame numbered 10 (1 number in the movie's steps of 5); the tracks cross it as a gap"),
            std::string::npos) << o.err;
  EXPECT_TRUE(data->exists("five_missing/mask010.tif"));
}

TEST_F(Movie, AMissingOrBlankFrameIsAGapAndTheOtherFramesTrackAsWithoutIt) {
  // Frame 2 not imaged: the later frames keep their numbers.
  std::vector<std::string> missing = masks;
  missing.erase(missing.begin() + 2);
  Outcome o = track({"-o", "missing"}, missing);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(ctc_problems(*data, "missing", 0, 5), std::vector<std::string>());
  EXPECT_EQ(column(data->read("missing/cells.csv"), 0).find("\n2\n"), std::string::npos);
  EXPECT_NE(data->read("missing/pairs.log").find("pair 0001 frames 1-3:"), std::string::npos);
  EXPECT_NE(o.err.find("warning: no frame numbered 2 (1 number); the tracks cross it as a gap"), std::string::npos)
      << o.err;
  // Crossing the gap cuts every track that lives on both sides of it.
  const auto lines = vantu_test::table(data->read("missing/res_track.txt"));
  int after_gap = 0;
  for (const auto& l : lines) after_gap += l[1] == "3" && l[3] != "0";
  EXPECT_GE(after_gap, 25);
  const Outcome picture = data->run({"--lineage", "missing"}, VANTU_PLOT_BIN);
  EXPECT_EQ(picture.status, 0) << picture.err;

  // Frame 2 blank (a mask of zeros): a warning naming it, the same lineage.
  LabelImage zeros = read_label_image(masks[2]);
  std::fill(zeros.labels.begin(), zeros.labels.end(), 0u);
  data->write("blank/mask_0002.tif", tiff16_bytes(zeros));
  std::vector<std::string> blank = masks;
  blank[2] = data->file("blank/mask_0002.tif");
  o = track({"-o", "blank"}, blank);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("warning: " + blank[2] + " has no cells; the tracks cross frame 2 as a gap"), std::string::npos)
      << o.err;
  for (const char* name : {"cells.csv", "res_track.txt", "mask002.tif", "mask003.tif"})
    EXPECT_EQ(data->read(std::string("blank/") + name), data->read(std::string("missing/") + name)) << name;

  // The links away from the gap as good as with every frame.
  std::string truth;
  for (const std::string& line : vantu_test::lines(data->read("tl/truth.csv")))
    if (line.compare(0, 2, "2,") != 0 && line.compare(0, 2, "3,") != 0) truth += line + "\n";
  const vantu_test::LineageScore gap = vantu_test::score_lineage(data->read("missing/cells.csv"), truth);
  const vantu_test::LineageScore whole = vantu_test::score_lineage(data->read(all_masks_dir() + "/cells.csv"), truth);
  EXPECT_EQ(gap.cells, whole.cells);
  EXPECT_GE(gap.links, whole.links - 0.01);
  EXPECT_GE(gap.links, 0.95);

  // An empty point file, the same.
  std::vector<std::string> points = frames;
  data->write("nothing/frame_0002.dat", "# x y length angle id\n");
  points[2] = data->file("nothing/frame_0002.dat");
  o = track({"-o", "points_blank"}, points);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find(points[2] + " has no cells"), std::string::npos) << o.err;
}

// ---- Stacks and folders ----

TEST_F(Movie, AStackOrAFolderIsTheWholeMovie) {
  std::vector<LabelImage> pages;
  for (const std::string& m : masks) pages.push_back(read_label_image(m));
  write_stack(data->file("movie.tif"), pages);
  const std::string& all = all_masks_dir();
  Outcome o = track({"-o", "stack"}, {"movie.tif"});
  ASSERT_EQ(o.status, 0) << o.err;
  for (const char* name : {"cells.csv", "res_track.txt", "mask000.tif", "mask005.tif"})
    EXPECT_EQ(data->read(std::string("stack/") + name), data->read(all + "/" + name)) << name;
  EXPECT_EQ(ctc_problems(*data, all, 0, 5), std::vector<std::string>());

  // tl/ holds masks and point files: the masks are the movie.
  o = track({"-o", "folder"}, {"tl"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(data->read("folder/cells.csv"), data->read(all + "/cells.csv"));
  // The result folder as its own input: its track masks would replace them,
  // forced or not.
  o = track({"-o", "folder", "--force"}, {"folder"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("would replace the input"), std::string::npos) << o.err;
}

// ---- What is read as label masks ----

TEST_F(Movie, AHyperstackIsReadByTheChannelChosenAndAPlainStackByItsPages) {
  std::vector<LabelImage> planes;  // frame t: channel 1 the masks, channel 2 one label over a square
  for (const std::string& m : masks) {
    planes.push_back(read_label_image(m));
    LabelImage other = planes.back();
    for (size_t k = 0; k < other.labels.size(); ++k) other.labels[k] = (k % 97) < 40 ? 7 : 0;
    planes.push_back(other);
  }
  write_stack(data->file("hyper.tif"), planes, "ImageJ=1.54f\nimages=12\nchannels=2\nframes=6\nhyperstack=true\n");
  Outcome o = track({"-o", "hyper"}, {"hyper.tif"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("hyper.tif: an ImageJ hyperstack of 6 frames with 2 channels (12 pages); choose the channel "
                       "that holds the label masks with --channel 1 to --channel 2"),
            std::string::npos) << o.err;
  EXPECT_FALSE(data->exists("hyper"));
  o = track({"-o", "hyper", "--channel", "3"}, {"hyper.tif"});
  EXPECT_NE(o.err.find("--channel 3: hyper.tif has 2 channels"), std::string::npos) << o.err;
  o = track({"-o", "hyper", "--channel", "1"}, {"hyper.tif"});
  ASSERT_EQ(o.status, 0) << o.err;
  for (const char* name : {"cells.csv", "res_track.txt", "mask000.tif", "mask005.tif"})
    EXPECT_EQ(data->read(std::string("hyper/") + name), data->read(all_masks_dir() + "/" + name)) << name;

  // Slices and frames: --slice chooses.
  write_stack(data->file("zt.tif"), planes, "ImageJ=1.54f\nimages=12\nslices=2\nframes=6\n");
  o = track({"-o", "zt"}, {"zt.tif"});
  EXPECT_NE(o.err.find("with --slice 1 to --slice 2"), std::string::npos) << o.err;
  o = track({"-o", "zt", "--slice", "2", "--points-only"}, {"zt.tif"});  // the stripes: no masks
  EXPECT_NE(o.err.find("mask zt.tif (page 1: frame 0): one label over"), std::string::npos) << o.err;

  // tifffile's own description of a (T, C, Y, X) array: read as the hyperstack.
  const std::string yx = std::to_string(planes[0].height) + ", " + std::to_string(planes[0].width);
  write_stack(data->file("tc.tif"), planes, "{\"shape\": [6, 2, " + yx + "]}");
  o = track({"-o", "tc"}, {"tc.tif"});
  EXPECT_NE(o.err.find("tc.tif: a stack (by tifffile's description) of 6 frames with 2 channels (12 pages)"),
            std::string::npos) << o.err;
  o = track({"-o", "tc", "--channel", "1"}, {"tc.tif"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(data->read("tc/cells.csv"), data->read(all_masks_dir() + "/cells.csv"));
  // More axes than frames and one more, or in another order: refused.
  for (const std::string& shape : {"\"shape\": [3, 2, 2, " + yx + "]", "\"axes\": \"CTYX\", \"shape\": [2, 6, " + yx + "]"}) {
    write_stack(data->file("tzc.tif"), planes, "{" + shape + "}");
    o = track({"-o", "tzc", "--channel", "1"}, {"tzc.tif"});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("tzc.tif: its description (tifffile's) gives the shape ["), std::string::npos) << o.err;
  }
  EXPECT_FALSE(data->exists("tzc"));

  // One axis, whatever its name (tifffile calls a plain stack's planes
  // channels, ImageJ slices): a page a frame.
  planes.resize(6);
  for (size_t t = 0; t < 6; ++t) planes[t] = read_label_image(masks[t]);
  write_stack(data->file("plain.tif"), planes, "ImageJ=1.11a\nimages=6\nchannels=6\nhyperstack=true\n");
  o = track({"-o", "plain", "--points-only"}, {"plain.tif"});
  ASSERT_EQ(o.status, 0) << o.err;
  ASSERT_EQ(track({"-o", "pages", "--points-only"}, masks).status, 0);
  for (const char* name : {"frame_0000.dat", "frame_0005.dat"})
    EXPECT_EQ(data->read(std::string("plain/") + name), data->read(std::string("pages/") + name)) << name;
}

TEST_F(Movie, SignedLabelsTrackAsUnsignedOnesAndANegativeLabelIsRefused) {
  std::vector<LabelImage> pages;
  for (const std::string& m : masks) pages.push_back(read_label_image(m));
  std::vector<std::string> signed_masks;
  for (size_t t = 0; t < pages.size(); ++t) {
    signed_masks.push_back(data->file("int32/mask_" + std::to_string(t) + ".tif"));
    data->write("int32/.keep", "");
    write_stack(signed_masks.back(), {pages[t]}, "", true, t == 4 ? 0 : -1);
  }
  Outcome o = track({"-o", "negative"}, signed_masks);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("mask " + signed_masks[4] + ": negative label -1 in signed 32-bit pixels"), std::string::npos)
      << o.err;
  EXPECT_FALSE(data->exists("negative"));
  write_stack(signed_masks[4], {pages[4]}, "", true);
  o = track({"-o", "int32"}, signed_masks);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(data->read("int32/cells.csv"), data->read(all_masks_dir() + "/cells.csv"));
}

TEST_F(Movie, IntensityImagesAreRefusedWhenRead) {
  std::vector<std::string> images;
  std::uint32_t seed = 7;
  for (size_t t = 0; t < masks.size(); ++t) {
    LabelImage img = read_label_image(masks[t]);
    for (std::uint32_t& v : img.labels) {  // camera counts: brighter on cells, noise everywhere
      seed = seed * 1664525u + 1013904223u;
      v = 400 + (seed >> 20) % 300 + (v ? 500 : 0);
    }
    images.push_back(data->file("camera/frame_00" + std::to_string(t) + ".tif"));
    data->write("camera/frame_00" + std::to_string(t) + ".tif", tiff16_bytes(img));
  }
  const Outcome o = track({"-o", "camera_out", "--prepare"}, images);  // reads and checks them, matches nothing
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("mask " + images[0] + ": "), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("most labels in several pieces"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("this looks like an intensity image, not label masks"), std::string::npos) << o.err;
  EXPECT_FALSE(data->exists("camera_out"));
}

// ---- The result folder's labels ----

TEST(CtcLabels, AGapCutsTheTrackAndADaughterHangsFromTheLastPart) {
  // Track 1 lives in frames 0, 1, skips 2 (a closed gap), 3, then divides
  // into tracks 2 and 3 at frame 5; frame number 4 was not imaged.
  TimeLapse tl;
  tl.frames.resize(5);
  const long numbers[5] = {0, 1, 2, 3, 5};
  for (size_t t = 0; t < 5; ++t) tl.frames[t].number = numbers[t];
  Lineage lin;
  lin.track = {{1}, {1}, {}, {1}, {2, 3}};
  lin.tracks = {Track{0, 3, 0, Start::kFirstFrame, 1}, Track{4, 4, 1, Start::kDaughter, 0},
                Track{4, 4, 1, Start::kDaughter, 0}};
  EXPECT_EQ(res_track_text(tl, lin), "1 0 1 0\n2 5 5 4\n3 5 5 4\n4 3 3 1\n");
  const CtcLabels c = ctc_labels(tl, lin);
  EXPECT_EQ(c.label[1], std::vector<int>{1});
  EXPECT_EQ(c.label[3], std::vector<int>{4});
  EXPECT_EQ(c.label[4], (std::vector<int>{2, 3}));
  // Without gaps the track numbers are the labels.
  lin.track = {{1}, {1}, {1}, {1}, {2, 3}};
  tl.frames[4].number = 4;
  EXPECT_EQ(res_track_text(tl, lin), "1 0 3 0\n2 4 4 1\n3 4 4 1\n");
}

}  // namespace

// ---- Tables ----

namespace {

const char* const kHeader = "frame,x,y,length,angle,id\n";
const char* const kGoodRows = "0,10,10,20,0,1\n0,40,10,20,0,2\n1,11,10,20,0,1\n1,41,10,20,0,2\n";

// A table whose third line is `row`: refused with status 1, one line naming
// the file and line, nothing written.
void expect_row_refused(const std::string& row, const std::string& why) {
  RunDir d;
  d.write("t.csv", std::string(kHeader) + std::string(kGoodRows).substr(0, 15) + row + "\n" + (kGoodRows + 15));
  const Outcome o = d.run({"-o", "out", "t.csv"}, VANTU_TRACK_BIN);
  EXPECT_EQ(o.status, 1) << row;
  EXPECT_NE(o.err.find("t.csv:3: " + why), std::string::npos) << row << "\n" << o.err;
  EXPECT_EQ(vantu_test::lines(o.err).size(), 1u) << o.err;
  EXPECT_FALSE(d.exists("out"));
}

}  // namespace

TEST(Tables, RowsThatDoNotFitAreRefusedNamingFileAndLine) {
  expect_row_refused("0,40,10,20,0,2,7", "7 fields, but the header has 6 columns");
  for (const char* id : {"0", "-3", "2.5", "1e300"})
    expect_row_refused(std::string("0,40,10,20,0,") + id,
                       std::string("id \"") + id + "\" in column \"id\" is not a positive whole number");
  // Values that are not finite numbers, in every column.
  const char* const names[6] = {"frame", "x", "y", "length", "angle", "id"};
  for (const char* bad : {"nan", "inf", "-inf", "1e999", "NaN"})
    for (int k = 0; k < 6; ++k) {
      std::string row;
      for (int j = 0; j < 6; ++j) row += (j ? "," : "") + std::string(j == k ? bad : j == 5 ? "2" : j == 0 ? "0" : "40");
      expect_row_refused(row, std::string("non-numeric value \"") + bad + "\" in column \"" + names[k] + "\"");
    }
}

TEST(Tables, AByteOrderMarkBeforeAQuotedHeaderIsReadAndANegativeFrameIsRefused) {
  RunDir d;
  d.write("plain.csv", std::string(kHeader) + kGoodRows);
  // pandas' to_csv(encoding="utf-8-sig", quoting=csv.QUOTE_NONNUMERIC)
  d.write("bom.csv", "\xEF\xBB\xBF\"frame\",\"x\",\"y\",\"length\",\"angle\",\"id\"\r\n" +
                         std::string("0,10,10,20,0,1\r\n0,40,10,20,0,2\r\n1,11,10,20,0,1\r\n1,41,10,20,0,2\r\n"));
  ASSERT_EQ(d.run({"-o", "plain", "plain.csv"}, VANTU_TRACK_BIN).status, 0);
  const Outcome o = d.run({"-o", "bom", "bom.csv"}, VANTU_TRACK_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(d.read("bom/cells.csv"), d.read("plain/cells.csv"));
  // res_track.txt counts frames from 0.
  expect_row_refused("-1,40,10,20,0,2", "frame value \"-1\" is not a whole number from 0");
}

TEST(Tables, TableOptionsGivenWithOtherInputsAreWarnedAbout) {
  RunDir d;
  d.write("t.csv", std::string(kHeader) + kGoodRows);
  d.write("f_0.dat", "10 10 20 0 1\n40 10 20 0 2\n");
  d.write("f_1.dat", "11 10 20 0 1\n41 10 20 0 2\n");
  const Outcome table = d.run({"-o", "table", "--angles", "degrees", "t.csv"}, VANTU_TRACK_BIN);
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.err.find("warning"), std::string::npos) << table.err;
  const Outcome files = d.run({"-o", "files", "--columns", "x=cx", "--angles", "row-radians", "f_0.dat", "f_1.dat"},
                              VANTU_TRACK_BIN);
  ASSERT_EQ(files.status, 0) << files.err;
  EXPECT_NE(files.err.find("warning: --columns applies to a table (.csv) only"), std::string::npos) << files.err;
  EXPECT_NE(files.err.find("warning: --angles applies to a table (.csv) only"), std::string::npos) << files.err;
  EXPECT_EQ(d.read("files/cells.csv"), d.read("table/cells.csv"));
}

// ---- The two-frame program's own options ----

TEST(VantuOptions, HelpAndVersionPrintAndWriteNothingWhileDotSlashNamesAFile) {
  RunDir d;
  for (const char* a : {"--help", "-h", "--version"}) {
    const Outcome o = d.run({a});
    EXPECT_EQ(o.status, 0) << a << o.err;
    EXPECT_NE(o.out.find(std::string(a) == "--version" ? "vantu " : "Usage: vantu"), std::string::npos) << o.out;
    EXPECT_EQ(o.err, "");
    EXPECT_TRUE(d.files().empty()) << a;
  }
  const std::vector<vantu_test::Cell> cells = {{10, 10, 20, 0, 1}, {50, 12, 22, 30, 2}, {90, 14, 20, 60, 3}};
  d.write("--help", vantu_test::cells_text(cells));
  d.write("b.dat", vantu_test::cells_text(cells));
  d.write("softconfig.dat", vantu_test::Config().text());
  const Outcome o = d.run({"./--help", "b.dat"});
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_NE(o.out.find("  ./--help\n  b.dat"), std::string::npos) << o.out;
  EXPECT_TRUE(d.exists("Match.dat"));
}

TEST(VantuOptions, AWeightFloorOutsideZeroToOneIsRefusedByItsValue) {
  RunDir d;
  for (const char* bad : {"0", "-1e-3", "1", "abc", "nan", ""}) {
    const Outcome o = d.run({"--drop-below", bad, "a.dat", "b.dat"});
    EXPECT_EQ(o.status, 1) << bad;
    EXPECT_NE(o.err.find(std::string("--drop-below ") + bad + ":"), std::string::npos) << o.err;
    EXPECT_TRUE(d.files().empty()) << bad;
  }
  EXPECT_NE(d.run({"--drop-below"}).err.find("needs a value"), std::string::npos);
  for (const char* bad : {"0", "-5", "1.5", "abc", ""}) {
    const Outcome o = d.run({"--sweeps", bad, "a.dat", "b.dat"});
    EXPECT_EQ(o.status, 1) << bad;
    EXPECT_NE(o.err.find(std::string("--sweeps ") + bad + ":"), std::string::npos) << o.err;
    EXPECT_TRUE(d.files().empty()) << bad;
  }
}
