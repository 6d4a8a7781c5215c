// The report, one interface with TAP version 14 and JUnit XML behind it. A reporter is told of
// the run, then of each case in the cases' order once all its runs are done, then of the end.
#pragma once

#include "cases.hpp"
#include "compare.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace report {

struct Run {
  std::string how; // "build/support, started directly"
  size_t cases = 0;
  unsigned repeat = 1;
  std::optional<uint64_t> seed; // where the order or the cases came from one
};

// A case's runs, taken together.
struct Verdict {
  unsigned runs = 0, failures = 0;
  compare::Result first; // its first failed run's, else its first run's
  double seconds = 0;    // all its runs together
  bool passed() const { return failures == 0; }
  bool flaky() const { return failures > 0 && failures < runs; }
  std::string summary() const; // "" when it passed
};

class Reporter {
public:
  virtual ~Reporter() = default;
  virtual void begin(const Run &run) = 0;
  virtual void done(size_t index, const cases::Case &c, const Verdict &verdict) = 0;
  virtual void end(const std::vector<cases::Case> &all, const std::vector<Verdict> &verdicts,
                   double seconds) = 0;
  // The run stopped before its end; `why` says why.
  virtual void interrupted(const std::string &why) = 0;
};

std::unique_ptr<Reporter> tap();
std::unique_ptr<Reporter> junit();

// Writes all of `text` to standard output, waiting while a descriptor that does not block is
// full; or throws Fatal, which says that the report is not whole where any of it was written.
void emit(const std::string &text);

} // namespace report
