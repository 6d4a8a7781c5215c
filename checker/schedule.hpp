// Runs every entry (a case on one target), each `repeat` times as a fresh process, on `jobs`
// threads, in the cases' order or shuffled, and tells the reporter of each case in the cases' order
// as soon as all its runs and those of every case before it are done.
#pragma once

#include "cases.hpp"
#include "report.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace schedule {

struct Plan {
  std::vector<report::Target> targets; // each entry runs on its own
  std::chrono::seconds timeout{60};
  unsigned jobs = 1, repeat = 1;
  std::optional<uint64_t> shuffle; // the seed of the order, where it is shuffled
};

// The verdicts, a case each. Throws Fatal where the run cannot go on: a thread or a process that
// cannot be had, or a report that cannot be written.
std::vector<report::Verdict> runAll(const std::vector<report::Entry> &all, const Plan &plan,
                                    report::Reporter &reporter, const report::Run &run);

// The same order from the same seed on every host: Fisher and Yates's shuffle, with the
// standard's fully specified mt19937_64.
void shuffle(std::vector<size_t> &order, uint64_t seed);

} // namespace schedule
