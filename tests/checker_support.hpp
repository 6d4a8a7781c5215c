// What the checker's tests share: the checker started on the programs of one fault, a folder of a
// test's own, and what its report and its one line of error say.
#pragma once

#include "process.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace checker_test {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using process::Stream;

inline const fs::path faulty = FAULTY_DIR;

// Runs the checker on the programs of one fault, started directly unless a runner is given, with
// the cases of this build.
inline process::Finished check(Args args, const std::string &fault = "none",
                               const process::Streams &streams = {}) {
  auto given = [&](const std::string &option) {
    return std::any_of(args.begin(), args.end(),
                       [&](auto &a) { return a == option || a.starts_with(option + "="); });
  };
  if (!given("--programs"))
    args.insert(args.begin(), {"--programs", faulty / fault});
  if (!given("--cases"))
    args.insert(args.begin(), {"--cases", CASES_FILE});
  if (!given("--runner") && !given("--"))
    args.insert(args.begin(), {"--runner", ""});
  args.insert(args.begin(), CHECKER);
  return process::run(args, streams, {std::chrono::seconds(60)});
}

// A folder of the test's own, with a name no other run shares, removed with all in it when the
// test ends.
struct Scratch : fs::path {
  explicit Scratch(const std::string &name)
      : fs::path(made(fs::path(testing::TempDir()) / ("checker-" + name + ".XXXXXX"))) {}
  Scratch(const Scratch &) = delete;
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(*this, ignored);
  }
  static fs::path made(fs::path pattern) {
    std::string name = pattern.string();
    if (!mkdtemp(name.data()))
      throw std::runtime_error(name + ": " + std::strerror(errno));
    return name;
  }
};

// Both cores kept busy while it lives, as a loaded machine is: processes that spin, each ended
// by an alarm should the test itself be killed.
struct BusyMachine {
  BusyMachine() {
    for (int i = 0; i < 2; ++i)
      if (pid_t pid = fork(); pid == 0) {
        alarm(60);
        for (;;) {
        }
      } else {
        spinning.push_back(pid);
      }
  }
  BusyMachine(const BusyMachine &) = delete;
  ~BusyMachine() {
    for (pid_t pid : spinning) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  std::vector<pid_t> spinning;
};

inline void write(const fs::path &file, const std::string &text, bool executable = false) {
  std::ofstream(file, std::ios::binary) << text;
  if (executable)
    fs::permissions(file, fs::perms::owner_all);
}

inline std::string slurp(const fs::path &file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void expectOneLine(const process::Finished &result, const std::string &says) {
  EXPECT_EQ(process::ending(result), "exit 2") << says << "\n" << result.err;
  EXPECT_EQ(result.out, "") << says;
  EXPECT_NE(result.err.find(says), std::string::npos) << "expected: " << says << "\n" << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

inline std::set<std::string> failedCases(const std::string &tap) {
  std::set<std::string> names;
  std::istringstream lines(tap);
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with("not ok "))
      names.insert(line.substr(line.find(" - ") + 3));
  return names;
}

} // namespace checker_test
