// The checker's whole run over its cases, against its floor: a bare loop that starts the same
// processes and judges nothing. The checker's figures come from its JSON results.
#include "bench.hpp"

#include "cases.hpp"
#include "compare.hpp"
#include "process.hpp"

#include <nlohmann/json.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

namespace bench {
namespace {

// The median of what was measured.
double median(std::vector<double> times) {
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  return times[times.size() / 2];
}

// The CPU time this process and the children it has waited for have taken, in seconds.
double ownSeconds() {
  double total = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    struct rusage usage {};
    getrusage(who, &usage);
    for (const timeval &t : {usage.ru_utime, usage.ru_stime})
      total += double(t.tv_sec) + double(t.tv_usec) / 1e6;
  }
  return total;
}

// The CPU time every processor of the machine has spent on work, in seconds, from /proc/stat:
// user, nice, system, interrupts and time taken by the hypervisor; none where it cannot be read.
std::optional<double> machineSeconds() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  uint64_t user, nice, system, idle, iowait, irq, softirq, steal = 0;
  if (!(stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq) || cpu != "cpu")
    return std::nullopt;
  stat >> steal;
  return double(user + nice + system + irq + softirq + steal) / double(sysconf(_SC_CLK_TCK));
}

// What the rest of the machine took of its processors while a figure was measured: where other
// processes took a large share, they are timed as much as what the figure is of, and one figure
// is no longer comparable with another (a checker's run that came out faster than its floor).
class Others {
public:
  Others()
      : machine(machineSeconds()), own(ownSeconds()), begin(std::chrono::steady_clock::now()) {}

  // Why the figure is not measured, or "" where the others took at most a tenth of the
  // processors (or what they took cannot be read).
  std::string whyNot(const std::string &what) const {
    std::optional<double> now = machineSeconds();
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    if (!machine || !now || wall <= 0 || cpus < 1)
      return "";
    double share = (*now - *machine - (ownSeconds() - own)) / (wall * double(cpus));
    if (share <= 0.1)
      return "";
    return what + ": other processes took " + std::to_string(int(share * 100 + 0.5)) +
           "% of the machine's " + std::to_string(cpus) +
           " processors while it ran (measure on a quiet machine)";
  }

private:
  std::optional<double> machine;
  double own;
  std::chrono::steady_clock::time_point begin;
};

} // namespace

// The floor of a checker's run: a bare loop on as many threads that starts the same processes as
// the checker does (each in a working folder of its own, through the name the case gives it), each
// case as many times, and reads what they write, judging nothing. The cases the checker skips
// through a runner (those whose program may only be executed) are not started. The median of
// `rounds`; none, with why, where the cases cannot be read, where any start failed (a loop whose
// starts fail at once is no floor) or where other processes took much of the machine meanwhile.
std::optional<double> floorRun(const std::string &casesFile, const std::vector<std::string> &runner,
                               const std::filesystem::path &dir, int rounds, std::string &why) {
  const std::string what = "the floor, " +
                           std::string(runner.empty() ? "directly" : "through " + runner[0]) +
                           (casesFile == WRITTEN_CASES ? ", the cases written by hand" : "");
  std::vector<cases::Case> all;
  try {
    all = cases::read(casesFile, std::chrono::seconds(60));
  } catch (const std::exception &error) {
    why = what + ": " + error.what();
    return std::nullopt;
  }
  std::vector<process::Start> starts;
  for (const auto &c : all)
    for (unsigned i = 0; i < c.repeat; ++i)
      starts.push_back(compare::startOf(c, runner, dir, runner.empty() ? "" : "through a runner"));
  std::vector<double> times;
  Others others;
  size_t failed = 0; // starts that failed, under `failures`
  std::string firstFailure;
  std::mutex failures;
  for (int round = 0; round < rounds; ++round) {
    std::atomic<size_t> next = 0;
    auto begin = std::chrono::steady_clock::now();
    {
      std::vector<std::jthread> threads;
      for (unsigned j = 0; j < std::max(1u, std::thread::hardware_concurrency()); ++j)
        threads.emplace_back([&] {
          for (size_t i; (i = next++) < starts.size();) {
            process::Ending ending = process::run(starts[i], {std::chrono::seconds(60)}).ending;
            using Kind = process::Ending::Kind;
            if (ending.kind == Kind::NotStarted || ending.kind == Kind::Failure) {
              std::lock_guard lock(failures);
              if (failed++ == 0)
                firstFailure = ending.text();
            }
          }
        });
    }
    if (failed) {
      why = what + ": " + std::to_string(failed) + " of its " + std::to_string(starts.size()) +
            " starts failed (" + firstFailure.substr(0, 200) + ")";
      return std::nullopt;
    }
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
            .count());
  }
  why = others.whyNot(what);
  return why.empty() ? std::optional(median(times)) : std::nullopt;
}

// One whole run of the checker with `options`, `rounds` times: the median.
CheckerRun timeRun(const std::string &checker, std::vector<std::string> options,
                   const std::string &how, int rounds) {
  CheckerRun run;
  run.how = how;
  options.insert(options.begin(), {checker, "--format", "json"});
  std::vector<double> times;
  Others others;
  for (int round = 0; round < rounds && run.why.empty(); ++round) {
    auto start = std::chrono::steady_clock::now();
    process::Finished outcome = process::run(options);
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    // A run whose cases failed (a runner's own faults: qemu's, say) still ran every case, and is
    // timed; one that did not end with its whole report is not.
    std::string ending = process::ending(outcome);
    if (ending != "exit 0" && ending != "exit 1")
      run.why = "the checker, started " + run.how + ", ended with " + ending + ": " +
                outcome.err.substr(0, outcome.err.find('\n'));
    // How many cases, and how the checker chose to start them, from its results.
    if (run.why.empty()) {
      try {
        nlohmann::json results = nlohmann::json::parse(outcome.out);
        const nlohmann::json &summary = results.at("summary");
        run.cases = std::to_string(summary.at("cases").get<size_t>());
        if (size_t failed = summary.at("failed").get<size_t>())
          run.cases += " (" + std::to_string(failed) + " failed)";
        if (how.empty())
          run.how = results.at("run").at("targets").at(0).at("started");
      } catch (const nlohmann::json::exception &error) {
        run.why = std::string("the checker's results cannot be read: ") + error.what();
      }
    }
  }
  if (run.why.empty())
    run.why = others.whyNot("the checker, started " + run.how);
  if (run.why.empty())
    run.millis = median(times);
  return run;
}

std::vector<std::pair<std::string, CheckerRun>>
timeProcessors(const std::string &checker,
               const std::vector<std::pair<std::string, std::string>> &dirs) {
  std::vector<std::pair<std::string, CheckerRun>> runs;
  for (const auto &[name, dir] : dirs) {
    std::cerr << "Timing the checker on the " << name << " programs...\n";
    runs.emplace_back(name, timeRun(checker, {"--programs", dir}, "", rounds(3)));
  }
  return runs;
}

// The whole set and the cases written by hand alone (the set of 2.0.0), each directly and
// through the runner, each against its floor.
std::vector<CheckerRun> timeChecker(const std::string &checker, const std::string &runner) {
  std::cerr << "Timing the checker...\n";
  std::filesystem::path dir = std::filesystem::path(checker).parent_path();
  std::vector<CheckerRun> runs;
  for (const char *set : {CASES, WRITTEN_CASES})
    for (const std::string &words : {std::string(), runner}) {
      std::string how = words.empty() ? "directly" : "through " + words;
      if (std::string(set) == WRITTEN_CASES)
        how += ", the cases written by hand";
      CheckerRun run = timeRun(checker, {"--runner", words, "--cases", set}, how, rounds(5));
      run.floor = floorRun(set, process::words(words), dir, rounds(5), run.floorWhy);
      runs.push_back(run);
    }
  return runs;
}

std::string roundsProblem() {
  const char *given = std::getenv("SUPPORT_BENCH_ROUNDS");
  if (!given)
    return "";
  std::string text = given;
  if (text.empty() || text.size() > 2 ||
      text.find_first_not_of("0123456789") != std::string::npos || std::stoi(text) < 1)
    return "SUPPORT_BENCH_ROUNDS=\"" + text + "\": give a number of runs from 1 to 99, or unset it";
  return "";
}

int rounds(int usual) {
  const char *given = std::getenv("SUPPORT_BENCH_ROUNDS");
  return given && roundsProblem().empty() ? std::stoi(given) : usual;
}

std::string medianOf(int usual) {
  int n = rounds(usual);
  return n == 1 ? "one run (SUPPORT_BENCH_ROUNDS=1: no median)"
                : "the median of " + std::to_string(n) + " runs";
}

ListRun timeList(const std::string &checker, int out) {
  std::cerr << "Timing the checker's list of its cases...\n";
  ListRun run;
  std::vector<double> times;
  for (int round = 0; round < rounds(5); ++round) {
    auto start = std::chrono::steady_clock::now();
    process::Finished listed = process::run({checker, "--list"});
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    if (process::ending(listed) != "exit 0") {
      run.why = "--list ended with " + process::ending(listed) + ": " +
                listed.err.substr(0, listed.err.find('\n'));
      return run;
    }
  }
  run.millis = median(times);
  Figures f;
  run.peakKiB = peakResidentKiB(f, {checker, "--list"}, out);
  if (!run.peakKiB)
    run.why = *f.why.begin();
  return run;
}

} // namespace bench
