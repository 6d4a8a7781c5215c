// Starts each program as a child process and compares what it writes, byte for byte, and how it
// ends with what its output contract promises.
#include "settings.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>
#include <vector>

int print_args_main(int argc, char *argv[]);
int print_sentence_main(int argc, char *argv[]);

namespace {

using Args = std::vector<std::string>;

// What each program must write for an argument vector.
std::string expected(const std::string &program, const Args &args) {
  std::string out;
  if (program == "print-args") {
    for (const auto &arg : args)
      out += (&arg == &args.front() ? "" : " ") + arg;
    out += '\n';
  } else if (program == "print-sentence") {
    out = "This is a test " + (args.empty() ? "null" : args.front()) + ".\n";
  }
  return out;
}

std::string readAll(int fd) {
  std::string bytes;
  char buffer[1 << 16];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
    bytes.append(buffer, n);
  return bytes;
}

std::string ending(int status) {
  return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                           : "signal " + std::to_string(WTERMSIG(status));
}

// A change to one of the child's standard streams: a file opened in its place, or none at all
// (no path), or "|" for a pipe whose reader has already gone. Unchanged, standard output and
// standard error each go to a file of their own, read back after the child ends.
struct Stream {
  const char *name;
  int fd;
  const char *path;
};
const Stream streamChanges[] = {{"stdout_closed", 1, nullptr},
                                {"stdout_full", 1, "/dev/full"},
                                {"stdout_broken_pipe", 1, "|"},
                                {"stdin_closed", 0, nullptr},
                                {"stderr_closed", 2, nullptr}};

struct Result {
  std::string out, err, end;
};

Result run(const std::string &program, const Args &args, const Stream *change = nullptr) {
  std::vector<std::string> words;
  std::istringstream runner(setting("SUPPORT_PROGRAMS_RUNNER", SUPPORT_PROGRAMS_RUNNER));
  for (std::string word; runner >> word;)
    words.push_back(word);
  words.push_back(programPath(program));
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  char *noEnvironment[] = {nullptr};

  int out = memfd_create("stdout", MFD_CLOEXEC), err = memfd_create("stderr", MFD_CLOEXEC);
  int pipeEnds[2];
  pipe2(pipeEnds, O_CLOEXEC);
  close(pipeEnds[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  if (change && !change->path)
    posix_spawn_file_actions_addclose(&actions, change->fd);
  else if (change && *change->path == '|')
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], change->fd);
  else if (change)
    posix_spawn_file_actions_addopen(&actions, change->fd, change->path, O_WRONLY, 0);
  // The child starts with the default action for every signal, whatever this process set.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  Result result;
  pid_t pid;
  int status = 0;
  if (int error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), noEnvironment))
    result.end = "not started: " + std::string(strerror(error));
  else if (waitpid(pid, &status, 0) == pid)
    result = {readAll(out), readAll(err), ending(status)};
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(out);
  close(err);
  close(pipeEnds[1]);
  return result;
}

// Runs alone before the rest, which need the programs to start: if they cannot, this says why.
TEST(Start, ProgramsStartOnThisHost) {
  std::string runner = setting("SUPPORT_PROGRAMS_RUNNER", SUPPORT_PROGRAMS_RUNNER);
  std::string problem = std::getenv("SUPPORT_PROGRAMS_RUNNER") ? "" : SUPPORT_PROGRAMS_PROBLEM;
  Result result = run("print-args", {"started"});
  ASSERT_TRUE(result.end == "exit 0" && result.out == "started\n")
      << programPath("print-args") << (runner.empty() ? ", started directly" : ", started by ")
      << runner << ": " << result.end << (problem.empty() ? "" : "\n" + problem + ".");
}

struct Case {
  std::string program;
  Args args;
  std::string out;
};

void PrintTo(const Case &c, std::ostream *os) {
  *os << c.program << " with " << c.args.size() << " arguments";
}

const Case edges[] = {
    {"print-args", {}, "\n"},
    {"print-args", {"x"}, "x\n"},
    {"print-args", {"a", "b", "c"}, "a b c\n"},
    {"print-args", {"a", "", "b"}, "a  b\n"},
    {"print-args", {""}, "\n"},
    {"print-args", {"", ""}, " \n"},
    {"print-args", {"-n", "-e", "--help", "--", "-"}, "-n -e --help -- -\n"},
    {"print-args", {"a\\nb", "\\c", "\\"}, "a\\nb \\c \\\n"},
    {"print-args", {"%s%n", "%d"}, "%s%n %d\n"},
    {"print-args", {"a b", "c\td", "e\nf", " "}, "a b c\td e\nf  \n"},
    {"print-args", {"\xff\x80\x01", "\xc3\xa9"}, "\xff\x80\x01 \xc3\xa9\n"},
    {"print-sentence", {}, "This is a test null.\n"},
    {"print-sentence", {"null"}, "This is a test null.\n"},
    {"print-sentence", {""}, "This is a test .\n"},
    {"print-sentence", {"x", "y", "z"}, "This is a test x.\n"},
    {"print-sentence", {"", "y"}, "This is a test .\n"},
    {"print-sentence", {"%d %s %n %%"}, "This is a test %d %s %n %%.\n"},
    {"print-sentence", {"a\\nb\\"}, "This is a test a\\nb\\.\n"},
    {"print-sentence", {"-n", "--help"}, "This is a test -n.\n"},
    {"print-sentence", {"a b\tc\nd"}, "This is a test a b\tc\nd.\n"},
    {"exit-zero", {}, ""},
    {"exit-zero", {"--help", "", "%n", "\n"}, ""},
};

// Every program on vectors too large to write out: every non-NUL byte value, and vectors near the
// platform's limits (128 KiB for one argument, 2 MiB for the whole vector).
std::vector<Case> extremes() {
  std::string everyByte, large(131071, 'x');
  Args eachByte;
  for (int byte = 1; byte < 256; ++byte) {
    everyByte += char(byte);
    eachByte.push_back(std::string(1, char(byte)));
  }
  std::vector<Case> cases;
  for (const char *program : {"print-args", "print-sentence", "exit-zero"})
    for (const Args &args : {Args{everyByte}, eachByte, Args{large}, Args(12, large)})
      cases.push_back({program, args, expected(program, args)});
  return cases;
}

class Programs : public testing::TestWithParam<Case> {};

TEST_P(Programs, WriteExactlyTheirOutput) {
  const Case &c = GetParam();
  Result result = run(c.program, c.args);
  EXPECT_EQ(result.end, "exit 0");
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(result.out == c.out) << "got " << result.out.size() << " bytes, expected "
                                   << c.out.size() << ": " << testing::PrintToString(result.out);
}

auto caseName = [](const testing::TestParamInfo<Case> &info) {
  std::string name = info.param.program + "_" + std::to_string(info.index);
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
};
INSTANTIATE_TEST_SUITE_P(Edges, Programs, testing::ValuesIn(edges), caseName);
INSTANTIATE_TEST_SUITE_P(Extremes, Programs, testing::ValuesIn(extremes()), caseName);

TEST(Programs, MatchTheModelOnRandomVectors) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 300; ++round) {
    Args args(random() % 6);
    for (auto &arg : args) {
      arg.resize(random() % 24);
      for (char &byte : arg)
        byte = char(1 + random() % 255);
    }
    for (const char *program : {"print-args", "print-sentence"}) {
      Result result = run(program, args);
      ASSERT_EQ(result.out, expected(program, args)) << program << ", round " << round;
      ASSERT_EQ(result.err + result.end, "exit 0") << program << ", round " << round;
    }
  }
}

// Failed writes change nothing in the status. A reader that goes away ends a writer by SIGPIPE,
// the default the programs keep.
TEST(Programs, KeepTheirStatusWhateverTheStandardStreams) {
  const Args args = {"-n", "%s", "x"};
  for (const char *program : {"print-args", "print-sentence", "exit-zero"})
    for (const Stream &change : streamChanges) {
      SCOPED_TRACE(std::string(program) + " with " + change.name);
      std::string out = expected(program, args);
      bool writesToBrokenPipe = change.path && *change.path == '|' && !out.empty();
      Result result = run(program, args, &change);
      EXPECT_EQ(result.end, writesToBrokenPipe ? "signal " + std::to_string(SIGPIPE) : "exit 0");
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(result.out, change.fd == 1 ? "" : out);
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
    EXPECT_EQ(ending(status), "exit 0") << program;
    EXPECT_EQ(readAll(out), expected(program, {})) << program;
    close(out);
  }
  munmap(unreadable, 4096);
}

} // namespace
