// What the benchmark's parts share: the builds measured, each command's figures, and the
// checker's runs.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace bench {

using Argv = std::vector<std::string>;

struct Build {
  std::string name, floor, dir;
  std::string notMeasured; // why, when its programs cannot be measured on this host
};

struct Command {
  std::string name;
  Argv argv;
};

struct Figures {
  std::optional<double> instructions, spawnMicros, peakKiB;
  bool median = false, spawnFailed = false;
  std::set<std::string> why; // what could not be measured, and why
};
extern std::map<std::string, Figures> figures; // by command name

// The checker's whole run over its cases: how it was started, how many cases, the median wall
// time, and its floor.
struct CheckerRun {
  std::string how, cases = "not measured";
  std::optional<double> millis, floor;
  std::string why, floorWhy; // why the run, or its floor, was not measured
};

// The checker listing its cases (--list), which reads them all and starts nothing: the median
// wall time and its peak resident memory.
struct ListRun {
  std::optional<double> millis, peakKiB;
  std::string why;
};

// Programs' start-up (startup.cpp): why a build cannot be measured here, or ""; the commands
// that measure it; their instructions and peak memory; their spawn times.
std::string whyNotMeasured(const Build &build, int out);
std::vector<Command> commandsFor(const std::vector<Build> &builds);
void countAndReadPeaks(const std::vector<Command> &commands, const std::filesystem::path &out,
                       int devNull);
void timeSpawns(const std::vector<Command> &commands, const std::filesystem::path &out,
                const char *self, const std::vector<std::string> &extraFlags);

// The checker (checker_run.cpp): the whole set and the cases written by hand, directly and
// through `runner`; and each processor's programs, as it decides to start them.
std::vector<CheckerRun> timeChecker(const std::string &checker, const std::string &runner);
ListRun timeList(const std::string &checker, int out);
// How many runs each of the checker's figures is the median of: `usual`, or the number in
// SUPPORT_BENCH_ROUNDS (1 to 99) where it is set: a run that only proves the benchmark works, under
// a load that makes its figures noise anyway, takes 1. A text for the report says which.
int rounds(int usual);
std::string medianOf(int usual);
// SUPPORT_BENCH_ROUNDS's problem, or "" where it is unset or a number of runs.
std::string roundsProblem();
std::optional<double> peakResidentKiB(Figures &f, const Argv &argv, int out);
std::vector<std::pair<std::string, CheckerRun>>
timeProcessors(const std::string &checker,
               const std::vector<std::pair<std::string, std::string>> &dirs);

// The report (report.cpp).
void writeReport(const std::filesystem::path &file, const std::vector<Build> &builds,
                 const std::vector<CheckerRun> &checks, const std::optional<ListRun> &list,
                 const std::vector<std::pair<std::string, CheckerRun>> &processors,
                 const std::vector<std::pair<std::string, std::string>> &processorDirs);

} // namespace bench
