// Reading the tables of a vantu-track output folder (see lineage_table.h).
#include "tools/lineage_table.h"

#include <csv.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

namespace vantu_plot {

namespace {

struct CsvCollector {
  long line = 0;
  std::vector<CsvRecord> records;
  CsvRecord current;
  bool in_record = false;
};

void on_field(void* data, size_t len, void* ctx) {
  auto* c = static_cast<CsvCollector*>(ctx);
  if (!c->in_record) c->current = CsvRecord{c->line, {}}, c->in_record = true;
  c->current.fields.emplace_back(data ? static_cast<const char*>(data) : "", data ? len : 0);
}

void on_record_end(int, void* ctx) {
  auto* c = static_cast<CsvCollector*>(ctx);
  if (c->in_record) c->records.push_back(std::move(c->current));
  c->in_record = false;
}

bool is_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

int CsvTable::column(const std::string& name) const {
  for (size_t k = 0; k < header.size(); ++k)
    if (header[k] == name) return static_cast<int>(k);
  return -1;
}

CsvTable read_csv_table(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in || !is_file(path)) throw TableError("cannot read " + path);
  struct csv_parser parser;
  if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_APPEND_NULL) != 0) throw TableError("out of memory");
  CsvCollector c;
  bool failed = false;
  for (std::string line; !failed && std::getline(in, line);) {
    ++c.line;
    if (!in.eof()) line += '\n';
    failed = csv_parse(&parser, line.data(), line.size(), on_field, on_record_end, &c) != line.size();
  }
  if (!failed) failed = csv_fini(&parser, on_field, on_record_end, &c) != 0;
  const std::string why = failed ? csv_strerror(csv_error(&parser)) : "";
  csv_free(&parser);
  if (failed) throw TableError(path + " line " + std::to_string(c.line) + ": " + why);
  if (c.records.empty()) throw TableError(path + " is empty");
  CsvTable t{path, c.records.front().fields, c.records.front().line, {}};
  for (std::string& h : t.header)
    if (!h.empty() && h.back() == '\r') h.pop_back();
  t.rows.assign(c.records.begin() + 1, c.records.end());
  return t;
}

std::string xml_escape(const std::string& s, bool quotes) {
  std::string out;
  for (char c : s) {
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '&') out += "&amp;";
    else if (c == '"' && quotes) out += "&quot;";
    else out += c;
  }
  return out;
}

std::string fixed(double v, int decimals) {
  char b[64];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

}  // namespace vantu_plot
