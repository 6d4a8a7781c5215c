// The checker against runners that misbehave, and the ways a runner is given or chosen: whatever
// the runner does, the checker ends in bounded time, leaves nothing running and says in one line
// why it refuses one.
#include "checker_support.hpp"
#include "process.hpp"
#include "processors.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace {

using namespace checker_test;
namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using process::Stream;

// The processes whose command line names `dir`: what a runner there left running.
std::vector<std::string> runningFrom(const fs::path &dir) {
  std::vector<std::string> found;
  for (int round = 0; round < 40; ++round) { // a killed process may take a moment to go
    found.clear();
    for (const auto &entry : fs::directory_iterator("/proc")) {
      // Read with plain calls: a process may end while it is read, which a stream throws for.
      std::string text;
      int fd = open((entry.path() / "cmdline").c_str(), O_RDONLY | O_CLOEXEC);
      char buffer[4096];
      for (ssize_t n; fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, size_t(n));
      if (fd >= 0)
        close(fd);
      if (text.find(dir.string() + "/") != std::string::npos)
        found.push_back(entry.path().filename().string() + ": " + text);
    }
    if (found.empty())
      break;
    usleep(50'000);
  }
  return found;
}

struct Hostile {
  std::string name;
  std::string script; // after a line that sets `probe` when started as the first start is
  std::string status, says;
  bool escapes = false; // leaves its process group, which only an adopting checker can end
};

// Whether a process here may adopt the orphans of what it starts: qemu-user refuses it (EINVAL),
// so a checker that is itself emulated cannot.
bool orphansCanBeAdopted() {
  pid_t child = fork();
  if (child == 0)
    _exit(prctl(PR_SET_CHILD_SUBREAPER, 1) == 0 ? 0 : 1);
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

void PrintTo(const Hostile &h, std::ostream *os) { *os << h.name; }

// Runners as broken as the software under test can be. The first start is exit-zero with no
// argument; `$probe` tells a script so, to misbehave on the cases alone.
const Hostile hostile[] = {
    {"hangs_before_the_program", "$here/sleeper 30; exec \"$@\"", "exit 2",
     "through $dir/runner: timed out after 1 s"},
    {"hangs_after_the_program", "[ -n \"$probe\" ] && exec \"$@\"; \"$@\"; exec $here/sleeper 30",
     "exit 1", "message: \"timed out after 1 s, expected exit 0\""},
    {"leaves_a_process_holding_the_pipes",
     "[ -n \"$probe\" ] && exec \"$@\"; \"$@\"; $here/sleeper 30 &", "exit 1",
     "the runner ended but a process it started kept standard output and standard error open"},
    {"leaves_its_session_holding_the_pipes",
     "[ -n \"$probe\" ] && exec \"$@\"; \"$@\"; setsid $here/sleeper 30 &", "exit 1",
     "the runner ended but a process it started kept standard output and standard error open",
     true},
    {"leaves_its_session_quietly",
     "setsid $here/sleeper 30 </dev/null >/dev/null 2>&1 & exec \"$@\"", "exit 0",
     "# 2 of 2 passed", true},
    {"writes_without_end", "[ -n \"$probe\" ] && exec \"$@\"; exec $here/yes", "exit 1",
     "wrote more than 65538 bytes on standard output"},
    {"writes_without_end_at_once", "exec $here/yes", "exit 2",
     "it wrote 65536 bytes on standard output"},
    {"forks_children_and_hangs", "for i in 1 2 3 4 5; do $here/sleeper 30 & done; wait", "exit 2",
     "timed out after 1 s"},
    {"dies_by_a_signal", "[ -n \"$probe\" ] && exec \"$@\"; kill -s SEGV $$", "exit 1",
     "message: \"signal SIGSEGV, expected exit 0;"},
    {"dies_by_a_signal_at_once", "kill -s SEGV $$", "exit 2", "it ended with signal SIGSEGV"},
    {"fails_at_once", "echo 'cannot map the guest: out of memory' >&2; exit 1", "exit 2",
     "it ended with exit 1; its standard error begins \"cannot map the guest: out of memory\""},
    {"writes_process_numbers_first",
     "printf '8999:\\t\\n\\n      8999:\\tstatistics\\n' >&2; exec \"$@\"", "exit 2",
     "its standard error begins \"8999:\\tstatistics\""},
    {"ends_its_first_line_with_a_colon",
     "printf '\\nerror: unsupported executable; we need:\\n  an x86-64 ELF\\nmore\\n' >&2; exit "
     "200",
     "exit 2",
     "it ended with exit 200; its standard error begins \"error: unsupported executable; we "
     "need: an x86-64 ELF\""},
    {"writes_on_standard_error", "echo 'runner 1.0 starting' >&2; exec \"$@\"", "exit 2",
     "it ended with exit 0; its standard error begins \"runner 1.0 starting\""},
    {"names_a_missing_program", "exec env /nonexistent", "exit 2",
     "its standard error begins \"env: '/nonexistent': No such file or directory\""},
};

class Runners : public testing::TestWithParam<Hostile> {};

// Each ends with the status and words it should, within a bound, and leaves nothing running.
TEST_P(Runners, EndInBoundedTimeAndLeaveNothingRunning) {
  const Hostile &h = GetParam();
  if (h.escapes && !orphansCanBeAdopted())
    GTEST_SKIP()
        << "this process cannot adopt orphans (PR_SET_CHILD_SUBREAPER), as under qemu-user";
  Scratch dir("runner-" + h.name);
  fs::create_symlink("/bin/sleep", dir / "sleeper");
  fs::create_symlink("/usr/bin/yes", dir / "yes");
  write(dir / "runner",
        "#!/bin/sh\nhere=$(dirname \"$0\")\n"
        "probe=; [ $# -eq 1 ] && [ \"${1##*/}\" = exit-zero ] && probe=1\n" +
            h.script + "\n",
        true);
  write(
      dir / "cases.jsonl",
      R"({"name": "one", "program": "print-args", "args": ["a"], "stdin": "/dev/null", )"
      R"("stdout": "pipe", "stderr": "pipe", "expect": {"stdout": "a\n", "stderr": "", "exit": 0}})"
      "\n"
      R"({"name": "two", "program": "print-args", "args": ["b"], "stdin": "/dev/null", )"
      R"("stdout": "pipe", "stderr": "pipe", "expect": {"stdout": "b\n", "stderr": "", "exit": 0}})"
      "\n");
  std::string says = h.says;
  if (auto at = says.find("$dir"); at != std::string::npos)
    says.replace(at, 4, dir.string());
  auto start = std::chrono::steady_clock::now();
  process::Finished result = check(
      {"--runner", (dir / "runner").string(), "--cases", dir / "cases.jsonl", "--timeout", "1"});
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(process::ending(result), h.status) << result.err;
  EXPECT_NE((result.out + result.err).find(says), std::string::npos) << "expected: " << says << "\n"
                                                                     << result.out << result.err;
  EXPECT_LT(took, 10) << "it took " << took << " s";
  if (h.status == "exit 2")
    expectOneLine(result, says);
  std::vector<std::string> left = runningFrom(dir);
  EXPECT_TRUE(left.empty()) << left.size() << " left running, such as " << left.front();
}

INSTANTIATE_TEST_SUITE_P(Checker, Runners, testing::ValuesIn(hostile),
                         [](const auto &info) { return info.param.name; });

// A qemu for another processor than the (native) faulty programs': the first start says so in
// one line.
TEST(Checker, RefusesAnEmulatorForAnotherProcessor) {
  std::string other;
  for (const auto &p : processors::all)
    for (const char *folder : {"/usr/bin/", "/usr/local/bin/"})
      if (p.processor != std::string(NATIVE_PROCESSOR) &&
          access((folder + std::string(p.qemu)).c_str(), X_OK) == 0)
        other = p.qemu;
  if (other.empty())
    GTEST_SKIP() << "no qemu for another processor is installed";
  expectOneLine(check({"--runner", other}), "cannot start " + (faulty / "none/exit-zero").string() +
                                                " through " + other + ": it ended with");
}

// Where no runner is given and a direct start runs but does not end as exit-zero must, the
// checker goes to qemu for the programs' processor rather than run the cases directly.
TEST(Checker, LeavesADirectStartThatFailsForQemu) {
  Scratch dir("direct-fails");
  for (const char *program : {"print-args", "print-sentence", "exit-zero"})
    write(dir / program, "#!/bin/sh\nexit 1\n", true);
  expectOneLine(process::run({CHECKER, "--programs", dir}),
                "cannot start " + (dir / "exit-zero").string() +
                    " directly (it ended with exit 1), and it is no program of a processor this "
                    "checker knows: give a runner");
}

// The runner as --runner=, and as the words after --, which may hold spaces; the cases as
// --cases=.
TEST(Checker, TakesTheRunnerAndTheCasesEitherWay) {
  const std::pair<Args, std::string> ways[] = {
      {{"--runner="}, "started directly"},
      {{"--cases=" CASES_FILE}, "started directly"},
      // dash, as sh, may say "getcwd() failed" in a deleted working folder: a runner's fault.
      {{"--filter-out", "^conditions/working-folder-deleted/", "--", "sh", "-c", "exec \"$@\"",
        "a word with spaces"},
       "started through sh -c \"exec \\\"$@\\\"\" \"a word with spaces\""},
      // Relative, the programs' folder is made absolute: every process starts elsewhere. (A
      // runner that leaves the working folder cannot start a program by a relative path.)
      {{"--programs", fs::relative(faulty / "none"), "--filter-out", "^started-as/", "--", "env",
        "-C", "/"},
       "started through env -C /"},
  };
  for (const auto &[args, says] : ways) {
    process::Finished result = check(args);
    size_t failed = result.out.find("\nnot ok ");
    EXPECT_EQ(process::ending(result), "exit 0")
        << result.err << (failed == std::string::npos ? "" : result.out.substr(failed, 1500));
    EXPECT_NE(result.out.find(says), std::string::npos) << result.out.substr(0, 300);
  }
}

} // namespace
