// What the three reports share: numbers and texts written alike in each.
#pragma once

#include "report.hpp"

#include <string>
#include <vector>

namespace report {

// Seconds with three decimals, in fixed notation.
std::string fixed(double seconds);

// What a run's result comes to, on one line: "exit 1, expected exit 0; stdout differs from
// byte 3". "" where it passed.
std::string summary(const compare::Result &r);

// The same as YAML entries, with what differs of each stream, both shown about there.
std::string yaml(const compare::Result &r);

// The YAML a verdict adds: how many of its runs failed, then its first failure's, then the
// command that reproduces it.
std::string details(const Entry &entry, const Verdict &v);

// The command that starts what a failed case started, or how to run it alone where that is too
// long for one line.
std::string reproduce(const Entry &entry, const Verdict &v);

// "left files in its working folder: blink.log"
std::string leftBehind(const std::vector<std::string> &left);

// How many of `entries` (those of `target`, or all for -1) had each outcome.
struct Counts {
  size_t all = 0, passed = 0, failed = 0, known = 0, unexpected = 0, skipped = 0, flaky = 0;
};
Counts count(const std::vector<Entry> &entries, const std::vector<Verdict> &verdicts,
             long target = -1);

// A report written whole at the end, or not at all: it keeps the run and when it began.
class WholeAtEnd : public Reporter {
public:
  void begin(const Run &r) override;
  void done(size_t, const Entry &, const Verdict &) override {}
  void interrupted(const std::string &) override {}

protected:
  Run run;
  std::string started; // timestamp()
};

// The time now, as ISO 8601 in UTC without a zone ("2026-12-09T08:30:00"), and this host's name.
std::string timestamp();
std::string hostname();

} // namespace report
