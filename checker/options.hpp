// The checker's command line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace options {

struct Options {
  std::optional<std::vector<std::string>> runner; // given: its words (none: directly)
  // Given: the runner is the binfmt_misc interpreter of the programs, with these flags.
  std::optional<std::string> binfmt;
  std::vector<std::filesystem::path> programs; // none: the default folder
  bool all = false;                            // every processor's folder beside the checker
  std::filesystem::path cases;
  std::string format; // "" where not given: text at a terminal, else TAP
  std::map<std::string, std::filesystem::path> reportFiles; // a format's: also written there
  std::string suiteName = "support-programs";               // JUnit's
  unsigned tapVersion = 14;
  unsigned jobs = 1, timeout = 60, repeat = 1;
  bool shuffle = false;
  std::optional<uint64_t> seed;
  size_t random = 0;
  std::optional<std::string> filter, filterOut; // ECMAScript regular expressions
  std::optional<std::filesystem::path> knownFailures, writeFailures;
  bool list = false;
  std::optional<std::string> reproduce; // the name of a case to write as a script, not run
  bool help = false;                    // the help or the version was written: nothing more to do
};

// `casesDefault` is the cases file when none is given. Throws Fatal for bad use.
Options parse(int argc, char **argv, const std::filesystem::path &casesDefault);

} // namespace options
