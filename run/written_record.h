// The record of what the programs wrote into an output folder.
//
// Data layout: DIR/.vantu-written, one name per line relative to DIR
// ("cells.csv", "pairs/0003.txt"; a folder ends in '/': "pairs/0003/").
// Names are added under an exclusive lock (flock), so that the parts of a
// run that write into one folder at once (vantu-track --pairs) all land in
// it. The record is replaced whole (a new file renamed over it), never
// changed in place: a record hard-linked into another folder stays as it is
// there. A file that exists in DIR and is not in the record was not written by
// the programs: they never replace nor remove it. A line that is not a plain
// name inside DIR (absolute, with a "." or ".." part, or the record itself)
// is ignored, and is never added; a symbolic link in the record's place is
// neither read nor written.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace vantu {

constexpr const char* kWrittenRecordName = ".vantu-written";

// True for a plain name inside a folder: relative, every part a name (not
// empty, "." or ".."), not the record itself.
bool is_record_name(const std::string& name);
// The names in DIR's record (empty when there is none).
std::set<std::string> read_written_record(const std::string& dir);
// Adds `names` to DIR's record (a name it holds is not added again); false when it cannot be written.
bool add_to_written_record(const std::string& dir, const std::vector<std::string>& names);
// Rewrites DIR's record without `names`; false when it cannot be written.
bool drop_from_written_record(const std::string& dir, const std::set<std::string>& names);

}  // namespace vantu
