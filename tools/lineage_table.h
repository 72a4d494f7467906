// What the programs of tools/ share to read a vantu-track output folder's
// tables (cells.csv, tracks.csv) and to write SVG and HTML text.
//
// A CsvTable is the file as read by libcsv (strict quoting, spaces around
// unquoted fields trimmed, blank lines skipped): the header's fields (a
// trailing carriage return dropped), and each further record with the line
// number of the file where its first field ends. Values stay text; each program checks and
// converts them by its own rules, and finds its columns by name.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace vantu_plot {

// A refusal of the reader: the message names the file (and line).
struct TableError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct CsvRecord {
  long line = 0;  // the line of the file where its first field ends (the first is 1)
  std::vector<std::string> fields;
};

struct CsvTable {
  std::string path;
  std::vector<std::string> header;
  long header_line = 0;  // 1 unless blank lines come first
  std::vector<CsvRecord> rows;

  // The index of the column `name`, -1 when the header has none.
  int column(const std::string& name) const;
};

// Reads the table at `path`; throws TableError for a file that cannot be
// read ("cannot read PATH"), that libcsv refuses ("PATH line N: why") or that
// holds no record ("PATH is empty").
CsvTable read_csv_table(const std::string& path);

// `s` as text of an XML or HTML element or attribute: & < > escaped, and "
// too unless `quotes` is false.
std::string xml_escape(const std::string& s, bool quotes = true);

// `v` with `decimals` digits after the point ("%.*f").
std::string fixed(double v, int decimals);

}  // namespace vantu_plot
