// Table input: all frames in one comma-separated table with a header line.
//
// Fields are read by libcsv (quoted fields, doubled quotes, CRLF or LF line
// ends, spaces around unquoted fields trimmed). Lines of any length are fed
// to it one at a time, so that a refusal can name the line of the file.
#include <csv.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sys/stat.h>

#include "base/check.h"
#include "track/input/input.h"

namespace vantu {

namespace {

constexpr double kPi = 3.14159265358979323846;

using Record = CsvRecord;

struct CsvCollector {
  long line = 0;  // the physical line being fed
  std::vector<Record> records;
  Record current;
  bool in_record = false;
};

void on_field(void* data, size_t len, void* ctx) {
  auto* c = static_cast<CsvCollector*>(ctx);
  if (!c->in_record) {
    c->current = Record();
    c->current.line = c->line;
    c->in_record = true;
  }
  c->current.fields.emplace_back(data ? static_cast<const char*>(data) : "", data ? len : 0);
}

void on_record_end(int, void* ctx) {
  auto* c = static_cast<CsvCollector*>(ctx);
  if (!c->in_record) return;
  c->records.push_back(std::move(c->current));
  c->in_record = false;
}

std::vector<Record> parse_csv(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) throw file_error(path, "cannot read table " + path);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw file_error(path, "cannot read table " + path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw file_error(path, "cannot read table " + path);
  return csv_records(text, path);
}

int column_index(const std::string& path, const std::vector<std::string>& header, const std::string& name,
                 const char* role) {
  for (size_t k = 0; k < header.size(); ++k)
    if (header[k] == name) return static_cast<int>(k);
  std::string all;
  for (const std::string& h : header) all += (all.empty() ? "" : ", ") + h;
  throw TrackError(strprintf("%s: no column \"%s\" for the %s (the header has: %s)", path.c_str(), name.c_str(),
                             role, all.c_str()));
}

double field_number(const std::string& path, const Record& r, int k, const std::string& name) {
  if (static_cast<size_t>(k) >= r.fields.size())
    throw TrackError(strprintf("%s:%ld: no value in column \"%s\"", path.c_str(), r.line, name.c_str()));
  const std::string& text = r.fields[static_cast<size_t>(k)];
  double v = 0;
  if (!parse_number(text, v))
    throw TrackError(
        strprintf("%s:%ld: non-numeric value \"%s\" in column \"%s\"", path.c_str(), r.line, text.c_str(), name.c_str()));
  return v;
}

// Degrees counter-clockwise from the x axis as seen on screen, in [0, 180)
// for the conventions measured from the row axis.
double screen_degrees(double a, AngleConvention conv) {
  double deg = a;
  switch (conv) {
    case AngleConvention::kDegrees:
      return a;
    case AngleConvention::kRowRadians:
      deg = a * (180.0 / kPi);
      break;
    case AngleConvention::kRowDegrees:
      break;
  }
  double phi = std::fmod(deg + 90.0, 180.0);
  if (phi < 0) phi += 180.0;
  return phi;
}

}  // namespace

// Fed one physical line at a time, so that every record knows its line.
std::vector<CsvRecord> csv_records(const std::string& text, const std::string& source) {
  struct csv_parser parser;
  if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI) != 0) throw TrackError("out of memory");
  CsvCollector c;
  size_t at = 0;
  bool failed = false;
  while (!failed && at < text.size()) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    ++c.line;
    size_t from = at;
    if (c.line == 1 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) from += 3;  // a UTF-8 byte order mark
    if (csv_parse(&parser, text.data() + from, end - from, on_field, on_record_end, &c) != end - from) failed = true;
    at = end;
  }
  if (!failed && csv_fini(&parser, on_field, on_record_end, &c) != 0) failed = true;
  const std::string why = failed ? csv_strerror(csv_error(&parser)) : "";
  csv_free(&parser);
  if (failed) throw TrackError(strprintf("%s:%ld: %s", source.c_str(), c.line, why.c_str()));
  return c.records;
}

TimeLapse read_table(const std::string& path, const TableColumns& columns, AngleConvention angles, bool allow_gaps) {
  std::vector<Record> records = parse_csv(path);
  if (records.empty()) throw TrackError(path + ": empty table (a header line is needed)");
  const std::vector<std::string>& header = records[0].fields;

  struct Role {
    const std::string* name;
    const char* what;
    int index;
  };
  Role roles[6] = {{&columns.frame, "frame", 0}, {&columns.x, "x position", 0},    {&columns.y, "y position", 0},
                   {&columns.length, "length", 0}, {&columns.angle, "angle", 0}, {&columns.id, "id", 0}};
  for (Role& r : roles) r.index = column_index(path, header, *r.name, r.what);

  TableCells cells;
  cells.source = path;
  for (size_t n = 1; n < records.size(); ++n) {
    const Record& r = records[n];
    if (r.fields.size() > header.size())
      throw TrackError(strprintf("%s:%ld: %zu fields, but the header has %zu columns", path.c_str(), r.line,
                                 r.fields.size(), header.size()));
    double v[6];
    for (int k = 0; k < 6; ++k) v[k] = field_number(path, r, roles[k].index, *roles[k].name);
    cells.frame.push_back(v[0]);
    cells.x.push_back(v[1]);
    cells.y.push_back(v[2]);
    cells.length.push_back(v[3]);
    cells.angle.push_back(v[4]);
    cells.id.push_back(v[5]);
    cells.line.push_back(r.line);
    cells.frame_text.push_back(r.fields[static_cast<size_t>(roles[0].index)]);
    cells.id_text.push_back(r.fields[static_cast<size_t>(roles[5].index)]);
  }
  cells.id_column = columns.id;
  return time_lapse_of_cells(cells, angles, allow_gaps);
}

std::string TableCells::where(size_t row) const {
  return line.empty() ? strprintf("%s row %zu", source.c_str(), row)
                      : strprintf("%s:%ld", source.c_str(), line[row]);
}

TimeLapse time_lapse_of_cells(const TableCells& cells, AngleConvention angles, bool allow_gaps) {
  const size_t n = cells.frame.size();
  for (const std::vector<double>* column : {&cells.x, &cells.y, &cells.length, &cells.angle, &cells.id})
    VANTU_REQUIRE(column->size() == n, "every column of a table holds a value per cell");
  std::map<long, Frame> frames;
  std::map<long, std::map<double, size_t>> id_rows;
  const char* const row_word = cells.line.empty() ? "row" : "line";
  for (size_t k = 0; k < n; ++k) {
    const double id = cells.id[k];
    if (!(id >= 1) || id != std::floor(id) || id > 9007199254740992.0)
      throw TrackError(strprintf("%s: id \"%s\" in column \"%s\" is not a positive whole number", cells.where(k).c_str(),
                                 k < cells.id_text.size() ? cells.id_text[k].c_str() : number_text(id).c_str(),
                                 cells.id_column.c_str()));
    const double fv = cells.frame[k];
    if (fv != std::floor(fv) || std::fabs(fv) > 1e15 || fv < 0)
      throw TrackError(strprintf("%s: frame value \"%s\" is not a whole number from 0%s", cells.where(k).c_str(),
                                 k < cells.frame_text.size() ? cells.frame_text[k].c_str() : number_text(fv).c_str(),
                                 fv < 0 ? " (the Cell Tracking Challenge's files count frames from 0)" : ""));
    const long number = static_cast<long>(fv);
    Frame& f = frames[number];
    auto seen = id_rows[number].emplace(cells.id[k], k);
    if (!seen.second) {
      const size_t first = seen.first->second;
      throw TrackError(strprintf("%s: id %s appears twice in frame %ld (first on %s %ld)", cells.where(k).c_str(),
                                 number_text(cells.id[k]).c_str(), number, row_word,
                                 cells.line.empty() ? static_cast<long>(first) : cells.line[first]));
    }
    f.x.push_back(cells.x[k]);
    f.y.push_back(cells.y[k]);
    f.length.push_back(cells.length[k]);
    f.angle.push_back(screen_degrees(cells.angle[k], angles));
    f.id.push_back(cells.id[k]);
  }

  TimeLapse tl;
  for (auto& kv : frames) {
    Frame& f = kv.second;
    f.number = kv.first;
    f.source = strprintf("%s (frame %ld)", cells.source.c_str(), kv.first);
    fill_point_sets(f);
    tl.frames.push_back(std::move(f));
  }
  if (!tl.frames.empty()) drop_blank_frames(tl, tl.frames.front().number, tl.frames.back().number, allow_gaps);
  return tl;
}

}  // namespace vantu
