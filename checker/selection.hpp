// Which cases run: the filters on their names, and the lists of known failures, read and
// written.
#pragma once

#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace selection {

// --filter and --filter-out: ECMAScript regular expressions, each matched against any part of
// a name. Throws Fatal for one that is no regular expression.
class Filter {
public:
  Filter(const std::optional<std::string> &keep, const std::optional<std::string> &drop);
  bool keeps(const std::string &name) const;

private:
  std::optional<std::regex> keep, drop;
};

// The names a known-failures file lists: one a line, white space around it dropped; a line whose
// first character beyond white space is '#' is a comment, and blank lines are skipped (a name
// may hold '#' and spaces, as TAP writes them back). Throws Fatal for a file that
// cannot be read, is not a regular file, or is larger than any list of names can be.
std::vector<std::string> readNames(const std::filesystem::path &file);

// Writes `names` in that format, after a comment line `about`; whole or not at all (a file
// beside it, renamed over it). Throws Fatal where it cannot.
void writeNames(const std::filesystem::path &file, const std::vector<std::string> &names,
                const std::string &about);

} // namespace selection
