// What the cases file cannot hold: random argument vectors against a model of the programs, and
// the programs' own code run with an empty argument vector. The checker starts the cases.
#include "process.hpp"
#include "programs.hpp"
#include "settings.hpp"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <vector>

int print_args_main(int argc, char *argv[]);
int print_sentence_main(int argc, char *argv[]);

namespace {

using Args = std::vector<std::string>;

std::string readAll(int fd) {
  std::string bytes;
  char buffer[1 << 16];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
    bytes.append(buffer, n);
  return bytes;
}

process::Finished run(const std::string &program, const Args &args) {
  auto argv = process::words(setting("SUPPORT_PROGRAMS_RUNNER", SUPPORT_PROGRAMS_RUNNER));
  argv.push_back(programPath(program));
  argv.insert(argv.end(), args.begin(), args.end());
  return process::run(argv);
}

// Runs alone before the rest, which need the programs to start: if they cannot, this says why.
TEST(Start, ProgramsStartOnThisHost) {
  std::string runner = setting("SUPPORT_PROGRAMS_RUNNER", SUPPORT_PROGRAMS_RUNNER);
  std::string problem = std::getenv("SUPPORT_PROGRAMS_RUNNER") ? "" : SUPPORT_PROGRAMS_PROBLEM;
  process::Finished result = run("print-args", {"started"});
  ASSERT_TRUE(process::ending(result) == "exit 0" && result.out == "started\n")
      << programPath("print-args") << (runner.empty() ? ", started directly" : ", started by ")
      << runner << ": " << process::ending(result) << (problem.empty() ? "" : "\n" + problem + ".");
}

// 300 rounds, or SUPPORT_RANDOM_ROUNDS: the same vectors every run, the first N of them where a
// start is costly (a user-mode emulator under another).
TEST(Programs, MatchTheModelOnRandomVectors) {
  std::string asked = setting("SUPPORT_RANDOM_ROUNDS", "300");
  int rounds = asked.find_first_not_of("0123456789") == std::string::npos && !asked.empty() &&
                       asked.size() <= 6
                   ? std::stoi(asked)
                   : 0;
  ASSERT_GT(rounds, 0) << "SUPPORT_RANDOM_ROUNDS is \"" << asked
                       << "\": give a number of rounds from 1 to 999999";
  std::mt19937 random(20261208);
  for (int round = 0; round < rounds; ++round) {
    Args args(random() % 6);
    for (auto &arg : args) {
      arg.resize(random() % 24);
      for (char &byte : arg)
        byte = char(1 + random() % 255);
    }
    for (const char *program : {"print-args", "print-sentence"}) {
      process::Finished result = run(program, args);
      ASSERT_EQ(result.out, programs::written(program, args)) << program << ", round " << round;
      ASSERT_EQ(result.err + process::ending(result), "exit 0") << program << ", round " << round;
    }
  }
}

// The kernel never starts a program with an empty argument vector, so the programs' own code runs
// in a forked child instead. The vector points at an unreadable page: reading any entry crashes.
TEST(Programs, WriteTheirDefaultOutputForAnEmptyVector) {
  void *unreadable = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  for (auto [main, program] : {std::pair{&print_args_main, "print-args"},
                               std::pair{&print_sentence_main, "print-sentence"}}) {
    int out = memfd_create("stdout", MFD_CLOEXEC);
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(out, 1);
      std::exit(main(0, static_cast<char **>(unreadable)));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << program;
    EXPECT_EQ(readAll(out), programs::written<std::string>(program, {})) << program;
    close(out);
  }
  munmap(unreadable, 4096);
}

} // namespace
