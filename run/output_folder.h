// The output folder: the one guard every program passes before it writes a
// file (vantu-track, the library's write_lineage_folder, vantu-plot's
// pictures and movie page).
//
// Data layout, in the folder DIR:
//   .vantu-written  the record (run/written_record.h): one name per line
//                   relative to DIR of what the programs wrote there; a
//                   folder name ends in '/' ("pairs/0003/", "lineage.geff/":
//                   a folder result, replaced whole by write_folder)
//   .vantu-lock     held with flock for the whole of a program's use of DIR:
//                   exclusively by a run that writes results (vantu-track,
//                   its --prepare and --join), shared by the parts that may
//                   run side by side (vantu-track --pairs, vantu-plot); a
//                   second program that cannot have it is refused
//   .vantu-inputs   what the results in DIR were made from: a first line
//                   "# vantu inputs 2: ...", then one a line, sorted, the
//                   inputs' real paths (a backslash written \\, a line
//                   end \n) or, for a lineage tracked from memory,
//                   "data DIGEST"; a record without that first line (an
//                   older version's) holds one real path a line
// The lock and the inputs are listed in the record. Pictures (a name without
// '/' ending in .svg, .html or .htm: lineage.svg, pair_N.svg, movie.html)
// are drawn from the results; every other name but pairs.log,
// softconfig.dat, units, pairs/... and the hidden files is a result.
//
// The rules:
//   - a name is written only when nothing is there, or the record lists it,
//     it is no input of the run and no part of its path in DIR is a
//     symbolic link (a link is never written through, nor removed);
//   - the names a run writes are checked together (plan) before its work;
//   - results of another movie (no input in common with .vantu-inputs) are
//     replaced only when forced;
//   - an earlier run's files that this run does not write are removed, the
//     pictures only when the results they were drawn from changed.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "run/option_names.h"

namespace vantu {

// A refusal: the message names the file (and line) and goes to standard
// error; the program exits with status 1. Its kind lets a caller (the
// Python module) choose its own error without reading the message.
struct TrackError : std::runtime_error {
  enum Kind {
    kInvalid,  // the input or an option is wrong
    kMissing,  // a named file does not exist
    kNotOurs,  // a file the run would replace is an input, was not written by the programs, or is
               // another movie's result or a link
    kIo,       // a file exists but cannot be read, or cannot be written (also: the folder is in use)
  };
  // what() names options as the command line writes them; text() as `who`
  // does (run/option_names.h).
  explicit TrackError(const std::string& message, Kind k = kInvalid)
      : std::runtime_error(spell_options(message, OptionSpelling::kCommandLine)), kind(k), message_(message) {}
  std::string text(OptionSpelling who) const { return spell_options(message_, who); }
  Kind kind;

 private:
  std::string message_;
};

constexpr const char* kFolderLockName = ".vantu-lock";
constexpr const char* kFolderInputsName = ".vantu-inputs";

// How a program uses the folder.
struct FolderUse {
  bool shared = false;  // beside others of its kind (vantu-track --pairs, vantu-plot): a shared lock
  bool force = false;   // replace the results of another movie
};

// True for a picture's name (see above).
bool is_picture_name(const std::string& rel);

// The output folder of one program. Safe to use from several threads.
class OutputFolder {
 public:
  // Takes the folder's lock when the folder exists (else at create) and
  // refuses, unless forced, results of another movie than `inputs` or, for
  // a lineage from memory, `data_digest` (neither given: not compared, and
  // record_inputs may not be called).
  OutputFolder(const std::string& dir, const std::vector<std::string>& inputs, FolderUse use = {},
               const std::string& data_digest = "");
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  const std::string& dir() const { return dir_; }
  std::string path(const std::string& rel) const;
  // Refuses (TrackError naming the file) to replace an input, a file that
  // the record does not list, or to write through a symbolic link.
  void check_may_replace(const std::string& rel) const;
  // Checks every name the program will write, before its work; afterwards
  // only these names (and the folder's own) are claimed.
  void plan(const std::vector<std::string>& names);
  // The folder and its parents, then the lock.
  void create();
  // Checks `rel`, adds it to the record and counts it as this run's own.
  void claim(const std::string& rel);
  // claim, then writes `text` atomically.
  void write(const std::string& rel, const std::string& text);
  // claim, then replaces the folder `rel` (a name ending in '/') whole with
  // `files` (paths in it, bytes): they are written into a hidden folder
  // beside it, which then takes its place. Only a folder of zarr files (the
  // earlier run's) is replaced; check_may_replace refuses any other.
  void write_folder(const std::string& rel, const std::vector<std::pair<std::string, std::string>>& files);
  // Writes .vantu-inputs: this run's inputs are the movie of its results.
  void record_inputs();
  // Counts an earlier run's file (a pair record that fits) as this run's own.
  void keep(const std::string& rel);
  bool recorded(const std::string& rel) const;
  // Removes a file or a pair's folder that the record lists (never an input,
  // never a symbolic link).
  void remove(const std::string& rel);
  // Removes whatever the record lists that this run did not write or keep;
  // the pictures only when a result changed or went.
  void remove_stale();
  // What the run replaced and removed of an earlier run, for the log; empty
  // when the folder was new.
  std::string summary() const;

 private:
  struct InputFile {
    std::string path;
    dev_t dev;
    ino_t ino;
  };
  const std::string* input_at(const std::string& rel) const;
  std::string link_in(const std::string& rel) const;
  void take_lock(bool create);
  void check_same_movie() const;
  // The lock's open file: closed (and so unlocked) with the folder, also
  // when the constructor refuses.
  struct LockFile {
    int fd = -1;
    LockFile() = default;
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    ~LockFile();
  };
  std::string dir_;
  FolderUse use_;
  LockFile lock_;
  std::set<std::string> recorded_, mine_, replaced_, planned_;
  std::vector<std::string> removed_, pictures_removed_, pictures_kept_;
  std::vector<InputFile> inputs_;
  std::vector<std::string> input_paths_;  // real paths, sorted
  std::vector<std::string> made_from_;    // the real paths and "data DIGEST", sorted
  bool results_written_ = false, results_changed_ = false;
  mutable std::mutex mutex_;
};

// A picture where the user named it (vantu-plot -o). check_picture_path
// refuses a folder and a file name without one of `extensions` (lower case,
// the first one named in the message after `what`: "the movie page is an
// .html file"); write_picture writes a device or a pipe (-o /dev/stdout)
// straight and replaces a file whole (a symbolic link there itself).
void check_picture_path(const std::string& path, const std::vector<std::string>& extensions, const char* what);
void write_picture(const std::string& path, const std::string& text);

}  // namespace vantu
