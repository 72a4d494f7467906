// The writers of a run's result files.
//
// Every value is written as printf's %g and followed by one space; groups of
// a line are separated by one more space; each line ends with '\n'. Each call
// replaces its file whole (replace_file): at every moment the file is absent,
// its previous version or the new one complete. They return false when the
// file could not be written (the run goes on; the previous version stays).
#pragma once

#include <set>
#include <string>

namespace vantu {

class Workers;

// Replaces the file `name` by the concatenation of `parts`: they are written
// under a temporary name in the same folder (".NAME.<process>.<thread>.tmp"),
// which is then renamed over `name`. A symbolic link at `name` is replaced
// itself (never written through); a replaced file keeps its permissions. On failure (no room, no permission,
// `name` a directory) the temporary file is removed, `name` is left as it
// was and the result is false.
bool replace_file(const std::string& name, const std::string* parts, size_t count);

bool write_matrix(const char* name, int rows, const double* t1, int cols);
bool write_match(const char* name, int rows, const int* t1, const int* t2, const int* t3,
                 const double* t4, int cols);
bool write_triples(const char* name, int rows, const double* t1, const double* t2,
                   const double* t3, int cols);

// The same files, character for character, with the values formatted by
// std::to_chars (general format, precision 6: the %g rules) instead of
// printf; values that are not finite still go through printf. With
// `workers`, a large matrix is formatted by all of them.
bool write_matrix_fast(const char* name, int rows, const double* t1, int cols, Workers* workers = nullptr);
bool write_match_fast(const char* name, int rows, const int* t1, const int* t2, const int* t3,
                      const double* t4, int cols);
bool write_triples_fast(const char* name, int rows, const double* t1, const double* t2,
                        const double* t3, int cols);
// One value as the writers put it: "%g " appended to `out`.
void append_g(std::string& out, double v);
void append_g_fast(std::string& out, double v);

// The result files of one run, in the folder `dir` (empty: the working
// directory): the path of each name, and a file that cannot be written
// reported once per name on standard error.
struct ResultFiles {
  std::string dir;
  std::set<std::string> warned;  // the files that could not be written
  bool quiet = false;            // true: only collect them in `warned`, print nothing
  std::string path(const char* name) const;
  void check(bool written, const char* name);
};

}  // namespace vantu
