// The output folder's guard (run/output_folder.h), as every program meets it:
// never through a link, nothing outside the folder, the names of a run
// checked before its work, one run at a time, another movie's results kept
// unless forced, pictures kept while their results stay the same, and
// vantu-plot's pictures under the same rules.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "run/output_folder.h"
#include "run/written_record.h"
#include "tests/harness.h"

using vantu_test::Outcome;
using vantu_test::RunDir;

namespace {

class Guard : public vantu_test::SimulatedMasks {
 protected:
  static Outcome track(const std::vector<std::string>& options, const std::vector<std::string>& inputs) {
    std::vector<std::string> args = options;
    args.insert(args.end(), inputs.begin(), inputs.end());
    return data->run(args, VANTU_TRACK_BIN);
  }
  static Outcome plot(const std::vector<std::string>& args) { return data->run(args, VANTU_PLOT_BIN); }
  static Outcome sh(const std::string& command) { return data->run({"-c", command}, "/bin/sh"); }
  // Every file under `dir` with its bytes, to tell that nothing changed.
  static std::string snapshot(const std::string& dir) {
    return sh("cd '" + dir + "' && find . -print | LC_ALL=C sort && find . -type f -print | LC_ALL=C sort | xargs cat").out;
  }
  static std::vector<std::string> first(size_t n) { return std::vector<std::string>(frames.begin(), frames.begin() + n); }
  static size_t count_in_record(const std::string& dir, const std::string& name) {
    const std::vector<std::string> names = vantu_test::lines(data->read(dir + "/.vantu-written"));
    return static_cast<size_t>(std::count(names.begin(), names.end(), name));
  }
};

// A lock on DIR/.vantu-lock as another program holds it.
struct HeldLock {
  int fd;
  HeldLock(const std::string& path, int how) : fd(::open(path.c_str(), O_RDONLY)) {
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(::flock(fd, how | LOCK_NB), 0);
  }
  ~HeldLock() { ::close(fd); }
};

// ---- Links and names outside the folder ----

TEST_F(Guard, ARecordedNameThatIsNowALinkIsRefusedAndNothingIsWrittenThroughIt) {
  ASSERT_EQ(track({"-o", "lk"}, first(3)).status, 0);
  data->write("notes.txt", "my notes\n");
  ASSERT_EQ(sh("rm lk/units && ln -s \"$PWD/notes.txt\" lk/units").status, 0);
  const std::string before = snapshot("lk");
  Outcome o = track({"-o", "lk"}, first(3));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("lk/units is a symbolic link"), std::string::npos) << o.err;
  EXPECT_EQ(data->read("notes.txt"), "my notes\n");
  EXPECT_EQ(snapshot("lk"), before);

  // A folder on the way (the pair records) that is a link.
  ASSERT_EQ(sh("rm lk/units && mkdir mine && rm -r lk/pairs && ln -s \"$PWD/mine\" lk/pairs").status, 0);
  o = track({"-o", "lk"}, first(3));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("lk/pairs is a symbolic link"), std::string::npos) << o.err;
  EXPECT_EQ(sh("ls -A mine").out, "");

  // A recorded picture that became a link is left alone, link and target,
  // when the run removes the pictures of the earlier results.
  ASSERT_EQ(sh("rm lk/pairs && echo '<svg/>' > mine.svg && ln -s \"$PWD/mine.svg\" lk/lineage.svg && "
               "echo lineage.svg >> lk/.vantu-written").status, 0);
  o = track({"-o", "lk"}, first(2));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(data->read("mine.svg"), "<svg/>\n");
  EXPECT_EQ(data->read("lk/lineage.svg"), "<svg/>\n");
}

TEST_F(Guard, ARecordNamingAnythingOutsideTheFolderIsIgnored) {
  ASSERT_EQ(track({"-o", "rec"}, first(3)).status, 0);
  data->write("victim.txt", "keep me\n");
  data->write("rec/.vantu-written", data->read("rec/.vantu-written") + "../victim.txt\n" + data->file("victim.txt") +
                                        "\npairs/../../victim.txt\n./../victim.txt\n.vantu-written\n");
  const Outcome o = track({"-o", "rec"}, first(2));  // fewer frames: the earlier run's leftovers go
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(data->read("victim.txt"), "keep me\n");
  EXPECT_TRUE(data->exists("rec/.vantu-written"));
  EXPECT_EQ(o.err.find("victim"), std::string::npos) << o.err;

  const std::set<std::string> names = vantu::read_written_record(data->file("rec"));
  EXPECT_EQ(names.count("../victim.txt"), 0u);
  EXPECT_FALSE(vantu::add_to_written_record(data->file("rec"), {"../victim.txt"}));
  EXPECT_FALSE(vantu::add_to_written_record(data->file("rec"), {"/tmp/x"}));
  EXPECT_TRUE(vantu::is_record_name("pairs/0003/"));
  EXPECT_FALSE(vantu::is_record_name("pairs//0003"));

  // A record that is a link is neither read nor written.
  data->write("list.txt", "cells.csv\n");
  ASSERT_EQ(sh("mkdir lr && echo user > lr/cells.csv && ln -s \"$PWD/list.txt\" lr/.vantu-written").status, 0);
  const Outcome linked = track({"-o", "lr"}, first(2));
  EXPECT_EQ(linked.status, 1);
  EXPECT_EQ(data->read("lr/cells.csv"), "user\n");
  EXPECT_EQ(data->read("list.txt"), "cells.csv\n");
}

TEST_F(Guard, ARunIntoAHardLinkedCopyLeavesTheOriginalAsItWas) {
  ASSERT_EQ(track({"-o", "orig"}, first(4)).status, 0);
  ASSERT_EQ(sh("cp -al orig snap").status, 0);
  const std::string before = snapshot("orig");
  // A picture added to the record, then fewer frames: names added and dropped.
  ASSERT_EQ(plot({"--lineage", "snap"}).status, 0);
  Outcome o = track({"-o", "snap"}, first(2));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(snapshot("orig"), before);
  o = track({"-o", "orig"}, first(4));
  EXPECT_EQ(o.status, 0) << o.err;
}

// ---- Checked before any work ----

TEST_F(Guard, EveryFileOfTheRunIsCheckedBeforeAnyPairIsMatched) {
  for (const char* name : {"tracks.csv", "units"}) {
    const std::string dir = std::string("pre_") + (name[0] == 't' ? "t" : "u");
    data->write(dir + "/" + name, "the user's\n");
    const Outcome o = track({"-o", dir}, first(3));
    EXPECT_EQ(o.status, 1) << name;
    EXPECT_NE(o.err.find(dir + "/" + name + " exists and was not written by vantu"), std::string::npos) << o.err;
    EXPECT_EQ(sh("ls -A " + dir).out, std::string(name) + "\n") << "written before the refusal";
  }
}

// ---- One run at a time ----

TEST_F(Guard, ASecondProgramInAFolderInUseIsRefusedWhilePairJobsShareIt) {
  ASSERT_EQ(track({"-o", "busy"}, first(3)).status, 0);
  const std::string before = snapshot("busy");
  {
    HeldLock whole(data->file("busy/.vantu-lock"), LOCK_EX);
    for (const Outcome& o : {track({"-o", "busy"}, first(3)), plot({"--lineage", "busy"})}) {
      EXPECT_EQ(o.status, 1);
      EXPECT_NE(o.err.find("busy is in use by another vantu program"), std::string::npos) << o.err;
    }
    EXPECT_EQ(snapshot("busy"), before);
  }
  // Pair jobs of the workflow run side by side; a whole run waits for none.
  ASSERT_EQ(track({"-o", "busy", "--prepare"}, first(3)).status, 0);
  HeldLock job(data->file("busy/.vantu-lock"), LOCK_SH);
  Outcome o = track({"-o", "busy", "--pairs", "1"}, first(3));
  EXPECT_EQ(o.status, 0) << o.err;
  o = track({"-o", "busy", "--join"}, first(3));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("in use"), std::string::npos) << o.err;
}

// ---- Pictures and other movies ----

TEST_F(Guard, PicturesStayWhileTheirResultsAreTheSameAndAnotherMovieNeedsForce) {
  ASSERT_EQ(track({"-o", "pic"}, first(3)).status, 0);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--lineage", "pic"},
                                              std::vector<std::string>{"--pair", "pic", "1"},
                                              std::vector<std::string>{"--movie", "pic"}})
    ASSERT_EQ(plot(args).status, 0);
  Outcome o = track({"-o", "pic"}, first(3));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("kept the pictures lineage.svg, movie.html, pair_1.svg: the results they were drawn from are the same"),
            std::string::npos)
      << o.err;
  for (const char* name : {"lineage.svg", "movie.html", "pair_1.svg"}) EXPECT_TRUE(data->exists(std::string("pic/") + name));

  // Other results from the same movie: the pictures go, and the log names them.
  o = track({"-o", "pic"}, first(2));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("removed the pictures lineage.svg, movie.html, pair_1.svg: the results they were drawn from changed"),
            std::string::npos)
      << o.err;
  EXPECT_FALSE(data->exists("pic/lineage.svg"));

  // Another movie (no input in common) is refused without --force.
  const std::string before = snapshot("pic");
  const std::vector<std::string> other(frames.begin() + 3, frames.end());
  o = track({"-o", "pic"}, other);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("pic holds the results of another movie"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("--force"), std::string::npos) << o.err;
  EXPECT_EQ(snapshot("pic"), before);
  o = track({"-o", "pic", "--force"}, other);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(track({"-o", "pic"}, other).status, 0);
}

TEST_F(Guard, TheInputsRecordHoldsAnyNameAndAnOlderRecordIsReadAsBefore) {
  // A line end and a backslash in a folder's name: the same rerun is the same movie.
  ASSERT_EQ(sh("mkdir 'nl\nx\\' && cp tl/mask_0000.tif tl/mask_0001.tif tl/mask_0002.tif 'nl\nx\\/'").status, 0);
  const std::vector<std::string> odd = {"nl\nx\\/mask_0000.tif", "nl\nx\\/mask_0001.tif", "nl\nx\\/mask_0002.tif"};
  ASSERT_EQ(track({"-o", "nl"}, odd).status, 0);
  Outcome o = track({"-o", "nl"}, odd);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(track({"-o", "nl"}, first(3)).status, 0);

  // One real path a line, without the first line: an older version's record.
  ASSERT_EQ(track({"-o", "old"}, first(3)).status, 0);
  ASSERT_EQ(sh("realpath " + frames[0] + " " + frames[1] + " " + frames[2] + " > old/.vantu-inputs").status, 0);
  o = track({"-o", "old"}, first(3));
  EXPECT_EQ(o.status, 0) << o.err;
  ASSERT_EQ(sh("realpath " + frames[0] + " > old/.vantu-inputs").status, 0);
  o = track({"-o", "old"}, std::vector<std::string>(frames.begin() + 3, frames.end()));
  EXPECT_NE(o.err.find("old holds the results of another movie"), std::string::npos) << o.err;
  // An empty one (an older version's lineage from memory): made from what is not known.
  data->write("old/.vantu-inputs", "");
  o = track({"-o", "old"}, first(3));
  EXPECT_NE(o.err.find("old holds the results of another movie: they were made from arrays or a table in memory"),
            std::string::npos) << o.err;
  EXPECT_EQ(track({"-o", "old", "--force"}, first(3)).status, 0);
}

TEST_F(Guard, InputsInsideTheFolderAreNeitherRemovedNorCountedAsRemoved) {
  ASSERT_EQ(track({"-o", "pts", "--points-only"}, std::vector<std::string>(masks.begin(), masks.begin() + 3)).status, 0);
  const std::vector<std::string> own = {"pts/frame_0000.dat", "pts/frame_0001.dat", "pts/frame_0002.dat"};
  const Outcome o = track({"-o", "pts"}, own);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err.find("removed"), std::string::npos) << o.err;
  for (const std::string& f : own) {
    EXPECT_TRUE(data->exists(f));
    EXPECT_EQ(count_in_record("pts", f.substr(4)), 1u) << f;
  }
}

// ---- vantu-plot ----

TEST_F(Guard, PlotWritesOnlyItsOwnPicturesUnderTheirOwnNames) {
  ASSERT_EQ(track({"-o", "pl"}, first(3)).status, 0);
  // The user's own pictures with the default names.
  data->write("pl/lineage.svg", "mine\n");
  data->write("pl/pair_1.svg", "mine too\n");
  for (const Outcome& o : {plot({"--lineage", "pl"}), plot({"--pair", "pl", "1"})}) {
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("exists and was not written by vantu"), std::string::npos) << o.err;
  }
  EXPECT_EQ(data->read("pl/lineage.svg"), "mine\n");
  EXPECT_EQ(data->read("pl/pair_1.svg"), "mine too\n");
  ASSERT_EQ(sh("rm pl/lineage.svg pl/pair_1.svg").status, 0);

  // Another kind of file, or another picture format, is never written.
  const std::string tracks = data->read("pl/tracks.csv");
  Outcome o = plot({"--lineage", "pl", "-o", "pl/tracks.csv"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("pl/tracks.csv"), std::string::npos) << o.err;
  EXPECT_EQ(data->read("pl/tracks.csv"), tracks);
  o = plot({"--lineage", "pl", "-o", "l.png"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("give a name ending in .svg"), std::string::npos) << o.err;
  EXPECT_FALSE(data->exists("l.png"));

  // One tree has a name of its own; a picture is listed once however often it is drawn.
  ASSERT_EQ(plot({"--lineage", "pl"}).status, 0);
  const std::string whole = data->read("pl/lineage.svg");
  o = plot({"--lineage", "pl", "--founder", "1"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("pl/lineage_founder_1.svg"), std::string::npos) << o.err;
  EXPECT_EQ(data->read("pl/lineage.svg"), whole);
  ASSERT_EQ(plot({"--lineage", "pl", "--frames", "1-2"}).status, 0);
  EXPECT_TRUE(data->exists("pl/lineage_frames_1-2.svg"));
  for (int k = 0; k < 2; ++k) ASSERT_EQ(plot({"--pair", "pl", "1"}).status, 0);
  EXPECT_EQ(count_in_record("pl", "pair_1.svg"), 1u);
  EXPECT_EQ(count_in_record("pl", "lineage_founder_1.svg"), 1u);
}

}  // namespace
