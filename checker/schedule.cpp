#include "schedule.hpp"

#include "fatal.hpp"
#include "interrupt.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <latch>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

namespace schedule {

void shuffle(std::vector<size_t> &order, uint64_t seed) {
  std::mt19937_64 random(seed);
  for (size_t i = order.size(); i > 1; --i)
    std::swap(order[i - 1], order[random() % i]);
}

std::vector<report::Verdict> runAll(const std::vector<report::Entry> &all, const Plan &plan,
                                    report::Reporter &reporter, const report::Run &run) {
  // A task is one run of a case, by the case's index: as many as it is started.
  std::vector<size_t> tasks, runs(all.size());
  for (size_t i = 0; i < all.size(); ++i) {
    runs[i] = size_t(all[i].c->repeat) * plan.repeat;
    tasks.insert(tasks.end(), runs[i], i);
  }
  if (plan.shuffle)
    shuffle(tasks, *plan.shuffle);
  std::vector<report::Verdict> verdicts(all.size());
  std::atomic<size_t> next = 0;
  size_t finished = 0, reported = 0;
  std::mutex lock;
  std::string fatal;
  bool progress = isatty(2);
  // The progress line is cleared before each report line where both go to one terminal.
  struct stat out, err;
  bool oneTerminal = progress && isatty(1) && fstat(1, &out) == 0 && fstat(2, &err) == 0 &&
                     out.st_rdev == err.st_rdev;
  std::latch go(1);
  auto stop = [&](const std::string &why) { // with the lock held
    if (fatal.empty())
      fatal = why;
    next = tasks.size();
  };
  auto work = [&] {
    go.wait();
    try {
      for (size_t t; !interrupt::signal() && (t = next++) < tasks.size();) {
        size_t index = tasks[t];
        const report::Target &target = plan.targets[all[index].target];
        compare::Result result =
            compare::check(*all[index].c, target.runner, target.dir, plan.timeout);
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
        if (progress)
          std::cerr << "\rcase " << ++finished << " of " << tasks.size() << std::flush;
        for (; reported < all.size() && verdicts[reported].runs == runs[reported]; ++reported) {
          if (oneTerminal)
            std::cerr << "\r\033[K" << std::flush;
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
    for (unsigned j = 0; j < std::min<size_t>(plan.jobs, tasks.size()); ++j)
      threads.emplace_back(work);
    reporter.begin(run);
  } catch (const std::system_error &error) {
    std::lock_guard guard(lock);
    stop("cannot start thread " + std::to_string(threads.size() + 1) + " of " +
         std::to_string(plan.jobs) + ": " + error.code().message() + ": give a smaller --jobs");
  } catch (const Fatal &error) {
    std::lock_guard guard(lock);
    stop(error.what());
  }
  go.count_down();
  threads.clear(); // joins them
  if (progress)
    std::cerr << "\r\033[K" << std::flush;
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
