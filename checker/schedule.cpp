#include "schedule.hpp"

#include "command.hpp"

#include "fatal.hpp"
#include "interrupt.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <latch>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace schedule {

namespace {

uint64_t mixed(uint64_t x) { // splitmix64's finaliser
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9;
  x = (x ^ (x >> 27)) * 0x94d049bb133111eb;
  return x ^ (x >> 31);
}

} // namespace

ProgressLine::ProgressLine() : shown(isatty(2)) {
  struct stat out, err;
  oneTerminal = shown && isatty(1) && fstat(1, &out) == 0 && fstat(2, &err) == 0 &&
                out.st_rdev == err.st_rdev;
}

void ProgressLine::counted(size_t finished, size_t cases, size_t failing) {
  if (shown)
    std::cerr << "\r" << finished << " of " << cases << " cases"
              << (failing ? ", " + std::to_string(failing) + " failed" : "") << std::flush;
}

void ProgressLine::reporting() {
  if (oneTerminal)
    std::cerr << "\r\033[K" << std::flush;
}

void ProgressLine::ended() {
  if (shown)
    std::cerr << "\r\033[K" << std::flush;
}

Shuffled::Shuffled(uint64_t count, uint64_t seed) : count(count) {
  for (uint64_t &key : keys)
    key = seed = mixed(seed + 0x9e3779b97f4a7c15);
  while (half < 32 && (uint64_t(1) << (2 * half)) < count)
    ++half;
}

uint64_t Shuffled::operator[](uint64_t index) const {
  const uint64_t mask = (uint64_t(1) << half) - 1;
  uint64_t x = index;
  do { // each value outside the range is walked on; every walk ends, since x's cycle holds index
    uint64_t left = x >> half, right = x & mask;
    for (uint64_t key : keys)
      left = std::exchange(right, left ^ (mixed(right ^ key) & mask));
    x = left << half | right;
  } while (x >= count);
  return x;
}

std::vector<report::Verdict> runAll(const std::vector<model::Entry> &all, const model::Run &run,
                                    report::Reporter &reporter, Listener &listener) {
  // A task is one run of a case: task t is a run of the case whose runs' range holds it, and
  // `ends` holds where each case's runs end. Shuffled, task t is the run Shuffled[t].
  std::vector<uint64_t> runs(all.size()), ends(all.size());
  uint64_t tasks = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    runs[i] = uint64_t(all[i].c->repeat) * run.repeat;
    ends[i] = tasks += runs[i];
  }
  std::optional<Shuffled> order;
  if (run.shuffled && run.seed)
    order.emplace(tasks, *run.seed);
  auto caseOf = [&](uint64_t t) {
    return size_t(std::upper_bound(ends.begin(), ends.end(), order ? (*order)[t] : t) -
                  ends.begin());
  };
  std::vector<report::Verdict> verdicts(all.size());
  std::atomic<uint64_t> next = 0;
  size_t finished = 0, failing = 0;
  size_t reported = 0;
  std::mutex lock;
  std::string fatal;
  std::latch go(1);
  auto stop = [&](const std::string &why) { // with the lock held
    if (fatal.empty())
      fatal = why;
    next = tasks;
  };
  auto work = [&] {
    go.wait();
    try {
      for (uint64_t t; !interrupt::signal() && (t = next++) < tasks;) {
        size_t index = caseOf(t);
        const report::Target &target = run.targets[all[index].target];
        compare::Result result =
            compare::check(*all[index].c, target.runner, target.dir, run.timeout, target.execOnly);
        if (!target.binfmt.empty() && !result.command.empty())
          result.command = command::noted(result.command, target.binfmt);
        std::lock_guard guard(lock);
        if (interrupt::signal())
          return; // what was stopped is not reported
        if (!result.failure.empty()) {
          stop("cannot run case " + std::to_string(index + 1) + ": " + result.failure);
          return;
        }
        report::Verdict &v = verdicts[index];
        ++v.runs;
        v.seconds += result.seconds;
        if (!result.passed() && v.failures++ == 0)
          v.first = std::move(result);
        else if (v.runs == 1)
          v.first = std::move(result);
        // What is counted is what the plan counts: cases, each once all its runs ended.
        if (v.runs == runs[index]) {
          ++finished;
          failing += !v.passed() && !all[index].known;
        }
        listener.counted(finished, all.size(), failing);
        for (; reported < all.size() && verdicts[reported].runs == runs[reported]; ++reported) {
          listener.reporting();
          reporter.done(reported, all[reported], verdicts[reported]);
        }
      }
    } catch (const std::exception &error) {
      // Nothing more is started, and what runs is ended, whatever went wrong here.
      process::endAll();
      std::lock_guard guard(lock);
      stop(dynamic_cast<const std::bad_alloc *>(&error)
               ? "out of memory (" + std::string(error.what()) + ")"
               : error.what());
    }
  };
  std::vector<std::jthread> threads;
  try {
    for (unsigned j = 0; j < std::min<uint64_t>(run.jobs, tasks); ++j)
      threads.emplace_back(work);
    reporter.begin(run);
  } catch (const std::system_error &error) {
    std::lock_guard guard(lock);
    stop("cannot start thread " + std::to_string(threads.size() + 1) + " of " +
         std::to_string(run.jobs) + ": " + error.code().message() + ": give a smaller --jobs");
  } catch (const Fatal &error) {
    std::lock_guard guard(lock);
    stop(error.what());
  }
  go.count_down();
  threads.clear(); // joins them
  listener.ended();
  if (int signal = interrupt::signal()) {
    interrupt::Interrupted stopped(signal);
    try {
      reporter.interrupted(stopped.what());
    } catch (const Fatal &) { // the line on standard error says it
    }
    throw stopped;
  }
  if (!fatal.empty())
    throw Fatal(reported && !fatal.starts_with("the report is not whole")
                    ? "the report is not whole: " + fatal
                    : fatal);
  return verdicts;
}

} // namespace schedule
