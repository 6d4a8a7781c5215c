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

// Told how the run goes, under the scheduler's lock, in the order things happen.
class Listener {
public:
  virtual ~Listener() = default;
  // `finished` of `cases` have ended all their runs, `failing` of them failed.
  virtual void counted(size_t finished, size_t cases, size_t failing) = 0;
  // A case is about to be reported.
  virtual void reporting() = 0;
  // Every case has ended, or the run stops.
  virtual void ended() = 0;
};

// A progress line on standard error where it is a terminal ("12 of 289 cases, 2 failed"),
// cleared before each report line where standard output is the same terminal; nothing elsewhere.
class ProgressLine : public Listener {
public:
  ProgressLine();
  void counted(size_t finished, size_t cases, size_t failing) override;
  void reporting() override;
  void ended() override;

private:
  bool shown = false, oneTerminal = false;
};

// The verdicts, a case each. Throws Fatal where the run cannot go on: a thread or a process that
// cannot be had, or a report that cannot be written.
std::vector<report::Verdict> runAll(const std::vector<model::Entry> &all, const model::Run &run,
                                    report::Reporter &reporter, Listener &listener);

// A permutation of 0 .. count - 1, the same from the same seed on every host, that takes no
// memory however many runs it orders: a Feistel network over the next even power of two, walked
// until its value falls in the range.
class Shuffled {
public:
  Shuffled(uint64_t count, uint64_t seed);
  uint64_t operator[](uint64_t index) const;

private:
  uint64_t count, keys[4];
  unsigned half = 1;
};

} // namespace schedule
