// One case, started and judged: what its process wrote and how it ended, against what the case
// expects.
#pragma once

#include "cases.hpp"
#include "process.hpp"

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace compare {

// Where a stream's bytes differ from what the case expects.
struct Difference {
  std::string stream;                         // "stdout", "stderr"
  size_t first = 0, expected = 0, actual = 0; // the first offset that differs; both lengths
  // The bytes shown of each, escaped and quoted, from `from`: all of them, or 120 about the
  // first difference where either holds more than 160.
  size_t from = 0;
  std::string expectedShown, actualShown;
};

struct Result {
  std::string summary, details; // both empty when the case passed; details in YAML
  std::string failure;          // what the checker itself could not have to run the case
  std::string skipped; // why a condition the case asks for cannot be had here: it did not run
  double seconds = 0;
  std::vector<std::string> left; // what it left in its working folder
  std::string expected, actual;  // endings, in words
  std::vector<Difference> differences;
  bool tooSlow = false; // it took longer than the case allows
  std::string command;  // one line of shell that starts what the case started, for a failure
  bool passed() const { return summary.empty() && failure.empty(); }
};

// The case's start through `runner` (empty: directly), its program in `dir`; `execOnly`, where
// not empty, is why a program that may only be executed cannot be started so.
process::Start startOf(const cases::Case &c, const std::vector<std::string> &runner,
                       const std::filesystem::path &dir, const std::string &execOnly = "");

Result judge(const cases::Case &c, const process::Outcome &outcome);

// Starts the case and judges it.
Result check(const cases::Case &c, const std::vector<std::string> &runner,
             const std::filesystem::path &dir, std::chrono::seconds timeout,
             const std::string &execOnly = "");

} // namespace compare
