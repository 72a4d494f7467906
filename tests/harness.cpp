#include "tests/harness.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace vantu_test {

namespace {

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

void remove_tree(const std::string& path) {
  std::string cmd = "rm -rf " + quote(path);
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

}  // namespace

RunDir::RunDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vantu-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = buf.data();
}

RunDir::~RunDir() { remove_tree(dir_); }

void RunDir::write(const std::string& rel, const std::string& text) const {
  std::string path = file(rel);
  for (size_t slash = path.find('/', dir_.size() + 1); slash != std::string::npos;
       slash = path.find('/', slash + 1))
    mkdir(path.substr(0, slash).c_str(), 0755);
  std::ofstream f(path, std::ios::binary);
  f << text;
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::string RunDir::read(const std::string& rel) const {
  std::ifstream f(file(rel), std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool RunDir::exists(const std::string& rel) const {
  struct stat st;
  return stat(file(rel).c_str(), &st) == 0;
}

std::vector<std::string> RunDir::files() const {
  std::vector<std::string> names;
  DIR* d = opendir(dir_.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    struct stat st;
    if (stat(file(e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

Outcome RunDir::run(const std::vector<std::string>& args, const std::string& program) const {
  const std::string out_path = dir_ + ".stdout", err_path = dir_ + ".stderr";
  std::string cmd = "cd " + quote(dir_) + " && " + quote(program.empty() ? VANTU_BIN : program);
  for (const auto& a : args) cmd += " " + quote(a);
  cmd += " </dev/null >" + quote(out_path) + " 2>" + quote(err_path);
  int raw = std::system(cmd.c_str());
  Outcome o;
  o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  auto slurp = [](const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  };
  o.out = slurp(out_path);
  o.err = slurp(err_path);
  std::remove(out_path.c_str());
  std::remove(err_path.c_str());
  return o;
}

std::string Config::text() const {
  char buf[1024];
  std::snprintf(buf, sizeof buf,
                "%.17g BetaInit: first inverse temperature\n"
                "%.17g BetaIncr: growth of Beta per step\n"
                "%.17g BetaMax: last inverse temperature\n"
                "%.17g lambda1: warp penalty\n"
                "%.17g lambda2: affine penalty\n"
                "%.17g TH: slack threshold\n"
                "%.17g rEvar: reciprocal variance\n"
                "%.17g alphaS: shrinking coefficient\n"
                "%d MaxSplit\n%d nx\n%d ny\n%d Nlen\n%d Nang\n%d Nid\n%d nz\n"
                "1 gate of BetaInit\n",
                BetaInit, BetaIncr, BetaMax, lambda1, lambda2, TH, rEvar, alphaS, MaxSplit, nx, ny,
                Nlen, Nang, Nid, nz);
  return buf;
}

std::string cells_text(const std::vector<Cell>& cells) {
  std::string s;
  char buf[160];
  for (const Cell& c : cells) {
    std::snprintf(buf, sizeof buf, "%.6g %.6g %.6g %.6g %.6g\n", c.x, c.y, c.len, c.angle, c.id);
    s += buf;
  }
  return s;
}

bool simulate(const RunDir& dir, int cells, int seed, const std::string& first,
              const std::string& second, const std::string& truth) {
  dir.write(first, "");
  Outcome o = dir.run({"--seed", std::to_string(seed), "--cells", std::to_string(cells), first, second, truth},
                      VANTU_SIM_BIN);
  return o.status == 0;
}

std::vector<std::string> simulate_timelapse(const RunDir& dir, const std::string& sub,
                                            const std::vector<std::string>& options) {
  std::vector<std::string> args = {"--timelapse", sub};
  args.insert(args.end(), options.begin(), options.end());
  if (dir.run(args, VANTU_SIM_BIN).status != 0) return {};
  std::vector<std::string> frames;
  for (int t = 0;; ++t) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%04d.dat", t);
    if (!dir.exists(sub + name)) break;
    frames.push_back(dir.file(sub + name));
  }
  return frames;
}

std::vector<std::vector<std::string>> csv_rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : lines(text)) {
    std::vector<std::string> row;
    std::stringstream ss(line);
    for (std::string f; std::getline(ss, f, ',');) row.push_back(f);
    rows.push_back(row);
  }
  return rows;
}

LineageScore score_lineage(const std::string& cells_csv, const std::string& truth_csv) {
  // A cell's predecessor: the cell of its own track in the previous frame,
  // or, for the first cell of a track with a parent, the parent's cell there.
  std::map<std::pair<long, long>, long> track_of;   // (frame, id) -> track
  std::map<std::pair<long, long>, long> cell_of;    // (track, frame) -> id
  std::map<long, long> parent;
  auto rows = csv_rows(cells_csv);
  for (size_t k = 1; k < rows.size(); ++k) {
    const long t = std::stol(rows[k][0]), id = std::stol(rows[k][1]), tr = std::stol(rows[k][2]);
    track_of[{t, id}] = tr;
    cell_of[{tr, t}] = id;
    parent[tr] = std::stol(rows[k][3]);
  }
  LineageScore s;
  int right = 0, true_d = 0, true_d_right = 0, claimed_d = 0, claimed_d_right = 0;
  auto truth = csv_rows(truth_csv);
  for (size_t k = 1; k < truth.size(); ++k) {
    const long t = std::stol(truth[k][0]), id = std::stol(truth[k][1]), pred = std::stol(truth[k][2]);
    const long ndiv = std::stol(truth[k][3]);
    ++s.cells;
    auto it = track_of.find({t, id});
    if (it == track_of.end()) continue;
    long p = 0;
    bool daughter = false;
    auto same = cell_of.find({it->second, t - 1});
    if (same != cell_of.end()) {
      p = same->second;
    } else if (parent[it->second]) {
      auto up = cell_of.find({parent[it->second], t - 1});
      if (up != cell_of.end()) {
        p = up->second;
        daughter = true;
      }
    }
    const bool ok = p == pred && (pred == 0 || daughter == (ndiv > 0));
    right += ok;
    if (pred && ndiv > 0) {
      ++true_d;
      true_d_right += ok;
    }
    if (daughter) {
      ++claimed_d;
      claimed_d_right += ok;
    }
  }
  s.links = s.cells ? static_cast<double>(right) / s.cells : 0;
  s.daughters_found = true_d ? static_cast<double>(true_d_right) / true_d : 1;
  s.daughters_real = claimed_d ? static_cast<double>(claimed_d_right) / claimed_d : 1;
  return s;
}

std::vector<std::vector<std::string>> table(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : lines(text)) {
    std::istringstream ss(line);
    std::vector<std::string> row;
    for (std::string tok; ss >> tok;) row.push_back(tok);
    rows.push_back(row);
  }
  return rows;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    out.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return out;
}

bool well_formed(const std::string& xml) {
  if (std::regex_search(xml, std::regex("&(?!(amp|lt|gt|quot|apos|#\\d+);)"))) return false;
  const std::regex tag("<(/?)([A-Za-z][\\w:-]*)(\\s+[\\w:-]+=\"[^\"<]*\")*\\s*(/?)>");
  const std::regex any_tag("<[^>]*>");
  const std::string body = xml.compare(0, 5, "<?xml") == 0 ? xml.substr(xml.find("?>") + 2) : xml;
  auto blank = [](const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; };
  std::vector<std::string> open;
  size_t at = 0;
  int roots = 0;
  for (std::sregex_iterator t(body.begin(), body.end(), any_tag), end; t != end; ++t) {
    if (open.empty() && !blank(body.substr(at, t->position() - at))) return false;
    at = t->position() + t->length();
    std::smatch m;
    const std::string text = t->str();
    if (!std::regex_match(text, m, tag)) return false;
    if (m[1] == "/") {
      if (open.empty() || open.back() != m[2]) return false;
      open.pop_back();
    } else {
      if (open.empty() && roots++ > 0) return false;
      if (m[4] != "/") open.push_back(m[2]);
    }
  }
  return roots == 1 && open.empty() && blank(body.substr(at));
}

RunDir* SimulatedMasks::data = nullptr;
std::vector<std::string> SimulatedMasks::frames, SimulatedMasks::masks;

void SimulatedMasks::SetUpTestSuite() {
  data = new RunDir();
  frames = simulate_timelapse(*data, "tl", {"--frames", "6", "--cells", "30", "--seed", "7", "--masks", "tif"});
  masks.clear();
  for (size_t t = 0; t < frames.size(); ++t) {
    char name[48];
    std::snprintf(name, sizeof name, "tl/mask_%04zu.tif", t);
    masks.push_back(data->file(name));
  }
}

void SimulatedMasks::TearDownTestSuite() {
  delete data;
  data = nullptr;
}

}  // namespace vantu_test
