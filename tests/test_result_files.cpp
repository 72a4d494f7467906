// Result files under faults: a run killed at any moment, a folder watched
// during the run and a file system that fills up must never show a result
// file cut short.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "run/writers.h"
#include "tests/harness.h"

using vantu_test::Config;
using vantu_test::RunDir;

namespace {

// Starts the program with `args` in the folder `cwd`; standard output is
// discarded, standard error goes to `err` (or is discarded).
pid_t start(const std::string& cwd, const std::vector<std::string>& args, const std::string& err = "") {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(VANTU_BIN));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    const int errfd = err.empty() ? null : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, 0);
    dup2(null, 1);
    dup2(errfd, 2);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    execv(VANTU_BIN, argv.data());
    _exit(127);
  }
  return pid;
}

// Names in a folder, "." and ".." left out.
std::vector<std::string> names_in(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

int count_cells(const std::string& text) {
  int n = 0;
  for (const auto& row : vantu_test::table(text)) n += row.size() >= 5;
  return n;
}

// Lines and values per line of every result file, for K first-frame and M
// second-frame cells under three match levels.
std::map<std::string, std::pair<int, int>> shapes(int K, int M) {
  std::map<std::string, std::pair<int, int>> s = {{"Match.dat", {M, 4}}, {"h0slack.dat", {M, 1}},
                                                  {"tps_c.dat", {M + 3, 3}}};
  for (const char* perm : {"Perm0.dat", "Perm1.dat", "Perm2.dat"}) s[perm] = {K, M};
  for (const char* slack : {"v0slack.dat", "v1slack.dat", "v2slack.dat"}) s[slack] = {K, 1};
  for (const char* out : {"out.dat", "out1.dat", "out2.dat"}) s[out] = {M, 9};
  return s;
}

// Every result file present in `dir` whole: its number of lines, its number of
// values on each, and every line ended by " \n". Returns what is wrong.
std::string cut_files(const std::string& dir, int K, int M) {
  std::string wrong;
  for (const auto& [name, shape] : shapes(K, M)) {
    const std::string path = dir + "/" + name;
    if (access(path.c_str(), F_OK) != 0) continue;
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
      char buf[65536];
      for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
      std::fclose(f);
    } else {
      continue;  // replaced between the two calls
    }
    const auto rows = vantu_test::table(text);
    bool whole = static_cast<int>(rows.size()) == shape.first && text.size() >= 2 &&
                 text.compare(text.size() - 2, 2, " \n") == 0;
    for (const auto& row : rows) whole = whole && static_cast<int>(row.size()) == shape.second;
    for (const std::string& line : vantu_test::lines(text)) whole = whole && !line.empty() && line.back() == ' ';
    if (!whole) wrong += name + " (" + std::to_string(text.size()) + " bytes) ";
  }
  return wrong;
}

// Names in `path` that are neither result files nor in `inputs`: temporary
// files left behind.
std::vector<std::string> strays(const std::string& path, const std::vector<std::string>& inputs) {
  const auto results = shapes(0, 0);
  std::vector<std::string> left;
  for (const std::string& f : names_in(path))
    if (!results.count(f) && std::find(inputs.begin(), inputs.end(), f) == inputs.end()) left.push_back(f);
  return left;
}

Config quick_config() {
  Config c;
  c.rEvar = 0.0025;
  return c;
}

TEST(ResultFilesUnderFaults, RunsKilledAtRandomMomentsLeaveNoFileCutShort) {
  RunDir dir;
  ASSERT_TRUE(vantu_test::simulate(dir, 80, 11, "a.dat", "b.dat", "truth.dat"));
  dir.write("softconfig.dat", quick_config().text());
  const int K = count_cells(dir.read("a.dat")), M = count_cells(dir.read("b.dat"));
  std::mt19937 random(2024);
  std::uniform_int_distribution<int> moment_ms(0, 250);
  int seen = 0;
  for (int trial = 0; trial < 12; ++trial) {
    for (const auto& entry : shapes(K, M)) std::remove(dir.file(entry.first).c_str());
    const pid_t pid = start(dir.path(), {"a.dat", "b.dat"});
    ASSERT_GT(pid, 0);
    // Watch the folder as another program would until the kill: most runs
    // are killed after they have begun to write files (however slow the
    // build), every fourth at a moment from its start.
    auto now = [] { return std::chrono::steady_clock::now(); };
    const auto started = now();
    bool writing = trial % 4 == 0;
    auto kill_at = started + std::chrono::milliseconds(moment_ms(random));
    while (now() < kill_at || (!writing && now() - started < std::chrono::seconds(60))) {
      if (!writing && dir.exists("Perm0.dat")) {
        writing = true;
        kill_at = now() + std::chrono::milliseconds(moment_ms(random));
      }
      const std::string wrong = cut_files(dir.path(), K, M);
      EXPECT_EQ(wrong, "") << "seen during run " << trial;
      if (!wrong.empty()) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(cut_files(dir.path(), K, M), "") << "after kill " << trial;
    seen += dir.exists("Perm0.dat");
  }
  EXPECT_GE(seen, 9) << "runs killed before they wrote a file";
  // Killed runs may leave their temporary files, never anything else.
  for (const std::string& f : strays(dir.path(), {"a.dat", "b.dat", "truth.dat", "softconfig.dat"}))
    EXPECT_EQ(f.substr(f.size() - 4), ".tmp") << f;
}

// A small file system mounted over a folder for the test's lifetime.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& where, const std::string& size) : where_(where) {
    mounted_ = mount("tmpfs", where.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    if (!mounted_) why_ = std::strerror(errno);
  }
  ~SmallFileSystem() {
    if (mounted_ && umount(where_.c_str()) != 0) umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }

 private:
  std::string where_, why_;
  bool mounted_ = false;
};

TEST(ResultFilesUnderFaults, FullFileSystemKeepsEveryFileWholeAndWarns) {
  RunDir dir;
  ASSERT_TRUE(vantu_test::simulate(dir, 40, 5, "a.dat", "b.dat", "truth.dat"));
  dir.write("full/.keep", "");
  SmallFileSystem fs(dir.file("full"), "40k");
  if (!fs.mounted()) GTEST_SKIP() << "cannot mount a small file system here (" << fs.why() << ")";
  Config c = quick_config();
  c.BetaInit = 2;
  c.BetaMax = 3;  // a few temperature steps
  dir.write("full/softconfig.dat", c.text());
  const int K = count_cells(dir.read("a.dat")), M = count_cells(dir.read("b.dat"));

  const pid_t pid = start(dir.file("full"), {dir.file("a.dat"), dir.file("b.dat")}, dir.file("err.txt"));
  ASSERT_GT(pid, 0);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // Some files did not fit and were reported, some did; none is cut short
  // and no temporary file is left.
  const std::string err = dir.read("err.txt");
  EXPECT_EQ(err.rfind("warning: cannot write ", 0), 0u) << err;
  EXPECT_EQ(cut_files(dir.file("full"), K, M), "");
  int present = 0;
  for (const auto& entry : shapes(K, M)) present += dir.exists("full/" + entry.first);
  EXPECT_GT(present, 0);
  EXPECT_EQ(strays(dir.file("full"), {"softconfig.dat"}), std::vector<std::string>{});
}

TEST(ResultFilesUnderFaults, ReplacementNeverWritesThroughALinkKeepsPermissionsAndFailsWithoutTrace) {
  RunDir dir;
  dir.write("real/Match.dat", "old\n");
  dir.write("tps_c.dat", "old\n");
  chmod(dir.file("tps_c.dat").c_str(), 0640);
  ASSERT_EQ(symlink(dir.file("real/Match.dat").c_str(), dir.file("Match.dat").c_str()), 0);
  const std::string parts[2] = {"1 2 ", "3 \n"};
  // The link itself is replaced; the file it pointed to stays as it was.
  ASSERT_TRUE(vantu::replace_file(dir.file("Match.dat"), parts, 2));
  struct stat st;
  ASSERT_EQ(lstat(dir.file("Match.dat").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(dir.read("Match.dat"), "1 2 3 \n");
  EXPECT_EQ(dir.read("real/Match.dat"), "old\n");
  EXPECT_EQ(names_in(dir.file("real")), std::vector<std::string>{"Match.dat"});
  ASSERT_TRUE(vantu::replace_file(dir.file("tps_c.dat"), parts, 2));
  ASSERT_EQ(stat(dir.file("tps_c.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  dir.write("out.dat/keep", "");  // a folder where the file should be
  EXPECT_FALSE(vantu::replace_file(dir.file("out.dat"), parts, 2));
  EXPECT_FALSE(vantu::replace_file(dir.file("missing/out.dat"), parts, 2));
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"Match.dat", "out.dat", "real", "tps_c.dat"}));
}

}  // namespace
