// The report, one interface with TAP, JUnit XML and JSON behind it. A reporter is told of the
// run, then of each case in the cases' order once all its runs are done, then of the end.
#pragma once

#include "cases.hpp"
#include "compare.hpp"
#include "model.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace report {

// The run's own model, read here.
using model::Entry;
using model::Run;
using model::Target;

// A case's runs, taken together.
struct Verdict {
  uint64_t runs = 0, failures = 0;
  compare::Result first; // its first failed run's, else its first run's
  double seconds = 0;    // all its runs together
  bool passed() const { return failures == 0; }
  bool skipped() const { return !first.skipped.empty(); }
  bool flaky() const { return failures > 0 && failures < runs; }
  std::string summary() const; // "" when it passed
};

// Skipped: a condition the case asks for cannot be had here, so it did not run; whether or not
// it is listed as a known failure.
enum class Outcome { Passed, Failed, KnownFailure, UnexpectedPass, Skipped };
Outcome outcome(const Entry &entry, const Verdict &verdict);

// What each outcome is called and does, in one table.
struct OutcomeKind {
  Outcome outcome;
  const char *name;      // in the JSON results
  bool fails;            // whether it makes the exit status 1
  const char *directive; // what a report adds to the case's line, where anything
};
const OutcomeKind &kind(Outcome o);
inline bool fails(Outcome o) { return kind(o).fails; }

class Reporter {
public:
  virtual ~Reporter() = default;
  // Where not null, the report is kept here, to be written whole to a file once the run has
  // ended; else it goes to standard output as it is made.
  std::string *kept = nullptr;
  virtual void begin(const Run &run) = 0;
  virtual void done(size_t index, const Entry &entry, const Verdict &verdict) = 0;
  virtual void end(const std::vector<Entry> &entries, const std::vector<Verdict> &verdicts,
                   double seconds) = 0;
  // The run stopped before its end; `why` says why.
  virtual void interrupted(const std::string &why) = 0;

protected:
  void put(const std::string &text);
};

// The formats, each a reporter: standard output's is --format's, and each may also go to a file.
struct Format {
  const char *name, *what;
  std::unique_ptr<Reporter> (*make)();
};
extern const std::vector<Format> formats;
std::unique_ptr<Reporter> made(const std::string &format);

// Reporters that each take the whole run, in order.
std::unique_ptr<Reporter> several(std::vector<std::unique_ptr<Reporter>> reporters);

std::unique_ptr<Reporter> console(); // for a person at a terminal
std::unique_ptr<Reporter> tap();
std::unique_ptr<Reporter> junit();
std::unique_ptr<Reporter> json();

// Writes all of `text` to standard output, waiting while a descriptor that does not block is
// full; or throws Fatal, which says that the report is not whole where any of it was written.
void emit(const std::string &text);

} // namespace report
