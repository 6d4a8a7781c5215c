// One case, started and judged: what its process wrote and how it ended, against what the case
// expects.
#pragma once

#include "cases.hpp"
#include "process.hpp"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace compare {

// Where a stream's bytes differ from what the case expects.
struct Difference {
  std::string stream;  // "stdout", "stderr"
  bool prefix = false; // the stream is to be a part of the expected bytes from their start
  size_t first = 0;    // the first offset that differs
  size_t expectedLength = 0, actualLength = 0;
  // The bytes shown of each, as they are, from `from`: all of them, or where either holds more
  // than `whole` (an excerpt), `shown` about the first difference.
  static constexpr size_t whole = 160, shown = 120;
  size_t from = 0;
  std::string expected, actual;
  bool excerpt() const { return std::max(expectedLength, actualLength) > whole; }
};

// What a case's run did against what it expects: data alone, which the reports say in their
// own words.
struct Result {
  std::string failure; // what the checker itself could not have to run the case
  std::string skipped; // why a condition the case asks for cannot be had here: it did not run
  double seconds = 0;
  std::vector<std::string> left;            // what it left in its working folder
  std::string expectedEnding, actualEnding; // in words; empty where it did not run
  bool endingDiffers = false;
  // Standard input held bytes the program never reads, and it lost some.
  size_t inputHeld = 0, inputUnread = 0;
  bool inputLost = false;
  double mostSeconds = 0; // what the case allows, where it took longer (else 0)
  std::vector<Difference> differences;
  std::string command; // one line of shell that starts what the case started, for a failure
  bool tooSlow() const { return mostSeconds > 0; }
  bool passed() const {
    return failure.empty() && !endingDiffers && !inputLost && !tooSlow() && differences.empty();
  }
};

// The case's start through `runner` (empty: directly), its program in `dir`; `execOnly`, where
// not empty, is why a program that may only be executed cannot be started so.
process::Start startOf(const cases::Case &c, const std::vector<std::string> &runner,
                       const std::filesystem::path &dir, const std::string &execOnly = "");

Result judge(const cases::Case &c, const process::Finished &outcome);

// Starts the case and judges it.
Result check(const cases::Case &c, const std::vector<std::string> &runner,
             const std::filesystem::path &dir, std::chrono::seconds timeout,
             const std::string &execOnly = "");

} // namespace compare
