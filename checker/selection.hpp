// Which cases run: the filters on their names, and the lists of known failures, read and
// written.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace re2 {
class RE2;
}

namespace selection {

// The longest pattern a filter takes.
inline constexpr size_t maxPattern = 4096;

// --filter and --filter-out: RE2 regular expressions, each matched against any part of a name,
// in time linear in the name whatever the pattern. Throws Fatal for one that is no regular
// expression, is longer than maxPattern or compiles to more than RE2's memory bound.
class Filter {
public:
  Filter(const std::optional<std::string> &keep, const std::optional<std::string> &drop);
  ~Filter();
  // Whether a case of this name is run: `own`, where not empty, is the case's name in its file,
  // which a run of several processors names with the processor in front; a pattern matches
  // either.
  bool keeps(const std::string &name, const std::string &own = "") const;

private:
  std::unique_ptr<re2::RE2> keep, drop;
};

// The names a known-failures file lists: one a line, white space around it dropped; a line whose
// first character beyond white space is '#' is a comment, and blank lines are skipped (a name
// may hold '#' and spaces, as TAP writes them back); a UTF-8 byte-order mark at its start is
// skipped. Throws Fatal for a file that cannot be read, is not a regular file, or is larger than
// any list of names can be.
std::vector<std::string> readNames(const std::filesystem::path &file);

// Bytes from outside, cut for a message: the first 80, quoted, and "..." where there were more.
std::string excerpt(const std::string &bytes);

// Throws Fatal unless `writeNames` (or `writeWhole`) can write `file`: absent (and its folder takes
// a new file), or a regular file, not a link, that is not `cases` (the known failures may be the
// same file: a list read and written back in one run). Checked before the run and again as it is
// written.
// `option` names it in messages.
void checkWritable(const std::filesystem::path &file, const std::filesystem::path &cases,
                   const std::string &option = "--write-failures");

// Writes `names` in that format, after a comment line `about`, whole or not at all: into a new
// file of a unique name beside it, never one that was there, renamed over it. Throws Fatal where
// it cannot, or where checkWritable would.
void writeNames(const std::filesystem::path &file, const std::vector<std::string> &names,
                const std::string &about, const std::filesystem::path &cases);

// Writes `text` to `file` as writeNames writes its list: whole or not at all.
void writeWhole(const std::filesystem::path &file, const std::string &text,
                const std::filesystem::path &cases, const std::string &option);

} // namespace selection
