// The checker against programs with known faults, runners that misbehave and input that is
// wrong: it must fail each faulty program, naming the cases that show it, and pass the same
// programs built right; whatever the runner does, it ends in bounded time, leaves nothing
// running and writes a report that is whole or says that it is not. Bad use gets exit status 2
// and one line that says what is wrong, and no report.
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

struct Faulty {
  std::string fault, program; // every case that fails is one of a program named so
  std::vector<std::string> mustFail;
};

void PrintTo(const Faulty &f, std::ostream *os) { *os << f.fault; }

const Faulty faults[] = {
    {"none", "", {}},
    {"trailing_space",
     "print-args",
     {"print-args/one", "print-args/three", "print-args/every-byte",
      "print-args/12-arguments-of-128-KiB"}},
    {"format_argument", "print-sentence", {"print-sentence/percent"}},
    {"exit_one",
     "exit-zero",
     {"exit-zero/ignored-arguments", "exit-zero/stdout-closed", "exit-zero/stdout-broken-pipe"}},
    {"byte_on_stderr", "print-args", {"print-args/no-arguments", "print-args/stdout-closed"}},
    {"missing_newline", "print-args", {"print-args/no-arguments", "print-args/each-byte"}},
    {"lost_on_pipe",
     "print-",
     {"print-args/three", "print-sentence/no-arguments", "print-args/stdout-broken-pipe"}},
};

class Faults : public testing::TestWithParam<Faulty> {};

TEST_P(Faults, FailTheCasesThatShowThem) {
  const Faulty &f = GetParam();
  process::Outcome tap = check({}, f.fault), junit = check({"--format", "junit"}, f.fault);
  EXPECT_EQ(process::ending(tap), f.mustFail.empty() ? "exit 0" : "exit 1") << tap.err;
  std::set<std::string> failed = failedCases(tap.out);
  for (const auto &name : f.mustFail)
    EXPECT_TRUE(failed.contains(name)) << name << " passed";
  static const std::map<std::string, std::string> programs = [] {
    std::map<std::string, std::string> of;
    std::ifstream file(CASES_FILE);
    for (std::string line; std::getline(file, line);)
      if (auto c = nlohmann::json::parse(line); c.is_object())
        of[c["name"]] = c["program"];
    return of;
  }();
  for (const auto &name : failed)
    EXPECT_TRUE(programs.at(name).starts_with(f.program)) << name << " failed";
  EXPECT_EQ(process::ending(junit), process::ending(tap));
  size_t failures = 0;
  for (size_t at = 0; (at = junit.out.find("<failure ", at)) != std::string::npos; ++at)
    ++failures;
  EXPECT_EQ(failures, failed.size());
}

INSTANTIATE_TEST_SUITE_P(Checker, Faults, testing::ValuesIn(faults),
                         [](const auto &info) { return info.param.fault; });

// Runners with one fault each, of a class that real emulators, translators, loaders and sandboxes
// have had: the default cases catch each, naming cases of that class, which the cases written by
// hand alone (the set of 2.0.0) did not.
struct RunnerFault {
  std::string mode;
  std::vector<std::string> mustFail;
  std::string says; // in the report
  // The cases written by hand may catch it too, now and then: their fast reader rarely lets a
  // non-blocking pipe fill.
  bool writtenMayCatch = false;
};

void PrintTo(const RunnerFault &f, std::ostream *os) { *os << f.mode; }

const RunnerFault runnerFaults[] = {
    {"table-of-256", {"print-args/257-arguments", "print-args/100000-arguments"}, ""},
    {"misaligned", {"alignment/12-arguments", "alignment/28-arguments"}, "signal SIGSEGV"},
    {"stack-of-8-MiB", {"limits/5-MiB-of-arguments-under-a-64-MiB-stack"}, ""},
    {"asserts-on-environment", {"env/entry-without-equals", "env/empty-entry"}, "SIGABRT"},
    {"resets-signals",
     {"signals/sigpipe-ignored/print-args", "signals/sigpipe-blocked/print-sentence",
      "signals/SIGTERM-ignored-then-sent", "signals/SIGINT-ignored-then-sent"},
     "signal SIGPIPE, expected exit 0"},
    {"does-not-forward",
     {"signals/SIGTERM-sent-to-the-process", "signals/SIGHUP-sent-to-the-process"},
     "stdout is all of the output"},
    {"non-blocking-output", {"readers/slow"}, "", true},
    {"raw-terminal", {"streams/stdout-pty/print-args", "streams/stdout-pty/print-sentence"}, ""},
    {"reopens-output", {"streams/stdout-socket/print-args"}, ""},
    {"needs-a-standard-stream", {"streams/all-closed/exit-zero"}, ""},
    {"fails-a-third-start", {"races/exit-zero-40-times"}, "flaky: failed 1 of 40 runs"},
};

class RunnerFaults : public testing::TestWithParam<RunnerFault> {};

TEST_P(RunnerFaults, AreCaughtByTheCasesOfTheirClass) {
  const RunnerFault &f = GetParam();
  if (!ALL_CASES)
    GTEST_SKIP() << "the suite checks with the written cases alone (SUPPORT_CHECKED_CASES)";
  Scratch dir("runner-fault");
  Args runner = {"--", FAULTY_RUNNER, f.mode};
  if (f.mode == "fails-a-third-start")
    runner.push_back(dir / "starts");
  Args written = {"--cases", WRITTEN_CASES};
  written.insert(written.end(), runner.begin(), runner.end());
  process::Outcome before = check(written);
  if (!f.writtenMayCatch) {
    EXPECT_EQ(process::ending(before), "exit 0") << before.err << before.out.substr(0, 3000);
  }
  for (const auto &entry : fs::directory_iterator(dir))
    fs::remove(entry);
  process::Outcome now = check(runner);
  EXPECT_EQ(process::ending(now), "exit 1") << now.err;
  std::set<std::string> failed = failedCases(now.out);
  for (const auto &name : f.mustFail)
    EXPECT_TRUE(failed.contains(name)) << name << " passed";
  EXPECT_NE(now.out.find(f.says), std::string::npos) << f.says << "\n" << now.out.substr(0, 3000);
}

INSTANTIATE_TEST_SUITE_P(Checker, RunnerFaults, testing::ValuesIn(runnerFaults),
                         [](const auto &info) {
                           std::string name = info.param.mode;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// The same seed gives the same random cases and the same order; a repeated case that fails in
// some runs only is flaky, and fails the run.
TEST(Checker, RepeatsShufflesAndMakesRandomCases) {
  if (!ALL_CASES)
    GTEST_SKIP() << "the suite checks with the written cases alone (SUPPORT_CHECKED_CASES)";
  auto lines = [](const std::string &tap) { // the test lines, times left out
    std::string kept;
    std::istringstream in(tap);
    for (std::string line; std::getline(in, line);)
      if (line.starts_with("ok ") || line.starts_with("not ok "))
        kept += line + "\n";
    return kept;
  };
  process::Outcome first = check({"--random", "100", "--seed", "7", "--shuffle"});
  process::Outcome again = check({"--random", "100", "--seed", "7", "--shuffle", "--jobs", "1"});
  EXPECT_EQ(process::ending(first), "exit 0") << first.err;
  EXPECT_NE(first.out.find("\n# seed 7\n"), std::string::npos) << first.out.substr(0, 300);
  EXPECT_NE(first.out.find("ok 264 - random/7/100/print-sentence\n"), std::string::npos);
  EXPECT_EQ(lines(first.out), lines(again.out));
  process::Outcome other = check({"--random", "10", "--seed", "8"});
  EXPECT_NE(other.out.find("random/8/1/print-args"), std::string::npos);
  // Random cases do catch a fault: a trailing space fails the print-args ones.
  process::Outcome faulty = check({"--random", "50", "--seed", "7"}, "trailing_space");
  EXPECT_NE(faulty.out.find("not ok 165 - random/7/1/print-args\n"), std::string::npos);

  Scratch dir("repeat");
  process::Outcome flaky = check({"--repeat", "3", "--cases", WRITTEN_CASES, "--", FAULTY_RUNNER,
                                  "fails-a-third-start", dir / "starts"});
  EXPECT_EQ(process::ending(flaky), "exit 1") << flaky.err;
  EXPECT_NE(flaky.out.find("\n# every case 3 times\n"), std::string::npos);
  EXPECT_NE(
      flaky.out.find("message: \"flaky: failed 1 of 3 runs; first: exit 1, expected exit 0\"\n"),
      std::string::npos)
      << flaky.out.substr(0, 2000);
  EXPECT_NE(flaky.out.find("# 1 flaky: they failed in some runs only\n# 48 of 49 passed"),
            std::string::npos)
      << flaky.out.substr(flaky.out.size() - 300);
}

TEST(Checker, SaysWhereTheFirstDifferenceIs) {
  process::Outcome tap = check({}, "trailing_space");
  // Every test's YAML gives its time, which differs from run to run.
  std::string report = std::regex_replace(tap.out, std::regex("  duration_ms: [0-9.]+\n"), "");
  EXPECT_NE(report.find("not ok 3 - print-args/three\n"
                        "  ---\n"
                        "  message: \"stdout differs from byte 5\"\n"
                        "  stdout:\n"
                        "    first_difference: 5\n"
                        "    expected_length: 6\n"
                        "    actual_length: 7\n"
                        "    expected: \"a b c\\n\"\n"
                        "    actual: \"a b c \\n\"\n"
                        "  command: \"env -i " +
                        (faulty / "trailing_space/print-args").string() +
                        " a b c </dev/null 2> >(cat >&2) | cat\"\n"
                        "  ...\n"),
            std::string::npos)
      << report;
}

// Bytes of a test file: a string whose characters U+0000 to U+00FF are the bytes, or a list of
// pieces, each a string or [string, count].
std::string bytesOf(const nlohmann::json &text) {
  std::string out;
  auto add = [&](const std::string &utf8, size_t count) {
    std::string bytes;
    for (size_t i = 0; i < utf8.size(); ++i) {
      auto c = static_cast<unsigned char>(utf8[i]);
      bytes += c < 0x80 ? char(c) : char(((c & 0x1f) << 6) | (utf8[++i] & 0x3f));
    }
    for (; count > 0; --count)
      out += bytes;
  };
  if (text.is_string())
    add(text, 1);
  else
    for (const auto &piece : text)
      piece.is_string() ? add(piece, 1) : add(piece[0], piece[1]);
  return out;
}

// Every malformed file of malformed.json is refused with one line that names the line and what
// is wrong, quickly, however large what it asks for.
TEST(Checker, RefusesMalformedCasesWithOneLine) {
  Scratch dir("malformed");
  std::ifstream table(MALFORMED_TABLE);
  for (const auto &row : nlohmann::json::parse(table)) {
    fs::path file = dir / row["file"].get<std::string>();
    write(file, bytesOf(row["text"]));
    process::Outcome result = check({"--cases", file});
    expectOneLine(result, row["says"]);
    EXPECT_NE(result.err.find(file.string() + ":"), std::string::npos) << result.err;
  }
}

TEST(Checker, RefusesBadUseWithOneLine) {
  Scratch dir("bad-use");
  fs::create_directories(dir / "empty");
  // A runner that cannot start what it is given, as a shell says it.
  write(dir / "exit-127", "#!/bin/sh\nexit 127\n", true);
  // Programs the kernel cannot start: executable files that are no program at all.
  fs::create_directories(dir / "not-started");
  for (const char *program : {"print-args", "print-sentence", "exit-zero"})
    write(dir / "not-started" / program, "neither ELF nor script\n", true);
  mkfifo((dir / "fifo").c_str(), 0600);
  fs::create_directory_symlink(dir / "loop", dir / "loop");
  auto in = [&](const char *name) { return (dir / name).string(); };
  const std::pair<Args, std::string> uses[] = {
      {{"--frobnicate"}, "--frobnicate"},
      {{"--jobs", "0"}, "--jobs"},
      {{"--format", "xml"}, "xml"},
      {{"--programs", "/nonexistent"}, "no folder /nonexistent"},
      {{"--programs", in("empty")}, "no program " + in("empty") + "/print-args"},
      {{"--runner", "no-such-runner -x"},
       "no-such-runner is not found on the PATH or cannot be run"},
      {{"--runner", "/nonexistent/qemu-i386 -L /usr/i686-linux-gnu"},
       "/nonexistent/qemu-i386 is not found on the PATH or cannot be run: install it (Debian, "
       "Ubuntu: apt-get install qemu-user)"},
      {{"--runner", "exit-zero", "--", "exit-zero"}, "either as --runner or after --"},
      {{"--cases", "/nonexistent.jsonl"}, "/nonexistent.jsonl: cannot be read"},
      {{"--cases", dir.string()}, "is a folder, not a cases file"},
      {{"--cases", "/dev/zero"}, "/dev/zero:1: the line is longer than 16 MiB"},
      {{"--cases", "/proc/self/mem"}, "/proc/self/mem: cannot be read: Input/output error"},
      {{"--cases", in("fifo"), "--timeout", "1"}, "fifo: cannot be read: nothing came within 1 s"},
      {{"--runner", in("exit-127")}, "through " + in("exit-127") + ": it ended with exit 127"},
      {{"--"}, "-- is followed by no runner"},
      {{"--runner", " "}, "--runner \" \" holds no command"},
      {{"--timeout", "0x3"}, "0x3 is not a whole number"},
      {{"--timeout", "+2"}, "+2 is not a whole number"},
      {{"--jobs", "4.0"}, "4.0 is not a whole number"},
      {{"--seed", "1s"}, "1s is not a whole number"},
      {{"--cases", in("fifo"), "--timeout", "01"}, "nothing came within 1 s"}, // not octal
      {{"--programs", in("loop")}, "(Too many levels of symbolic links)"},
  };
  for (const auto &[args, says] : uses)
    expectOneLine(check(args), says);
  // Not started, as the kernel says it or, under a user-mode emulator, as status 127 says it.
  process::Outcome direct = check({"--programs", in("not-started")});
  expectOneLine(direct, "cannot start " + in("not-started") + "/exit-zero directly: ");
  EXPECT_NE(direct.err.find(": give a runner"), std::string::npos) << direct.err;

  // With no runner, programs the kernel refuses are read for their processor, which must be one
  // the checker knows: files that are no program, and ELF headers that lie about their size.
  std::string lying = "\x7f"
                      "ELF\x02\x01\x01";
  lying += std::string(57, '\xff');
  fs::create_directories(dir / "lying");
  for (const char *program : {"print-args", "print-sentence", "exit-zero"})
    write(dir / "lying" / program, lying, true);
  for (const char *folder : {"not-started", "lying"})
    expectOneLine(process::run({CHECKER, "--programs", in(folder)}),
                  "and it is no program of a processor this checker knows: give a runner");
}

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
  process::Outcome result = check(
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

// A signal's other standard name is the same signal: a case that expects SIGPOLL passes for a
// program ended by SIGIO.
TEST(Checker, TakesEitherNameOfASignal) {
  Scratch dir("signal-alias");
  write(dir / "runner", "#!/bin/sh\n[ $# -eq 1 ] && exec \"$@\"\nkill -s IO $$\n", true);
  write(dir / "cases.jsonl",
        R"({"name": "poll", "program": "print-args", "args": ["a"], "stdin": "/dev/null", )"
        R"("stdout": "pipe", "stderr": "pipe", "expect": {"stdout": "", "stderr": "", )"
        R"("signal": "SIGPOLL"}})"
        "\n");
  process::Outcome result =
      check({"--runner", (dir / "runner").string(), "--cases", dir / "cases.jsonl"});
  EXPECT_EQ(process::ending(result), "exit 0") << result.out << result.err;
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
      {{"--", "sh", "-c", "exec \"$@\"", "a word with spaces"},
       "started through sh -c \"exec \\\"$@\\\"\" \"a word with spaces\""},
      // Relative, the programs' folder is made absolute: every process starts elsewhere.
      {{"--programs", fs::relative(faulty / "none"), "--", "env", "-C", "/"},
       "started through env -C /"},
  };
  for (const auto &[args, says] : ways) {
    process::Outcome result = check(args);
    EXPECT_EQ(process::ending(result), "exit 0") << result.err;
    EXPECT_NE(result.out.find(says), std::string::npos) << result.out.substr(0, 300);
  }
}

// Where the report goes nowhere, or the checker cannot have what it needs, it says so with
// status 2 rather than ending as if all were well.
TEST(Checker, SaysWhenTheReportCannotBeWhole) {
  // More cases than threads can be had under the memory limit below.
  Scratch report("report");
  fs::path many = report / "many.jsonl";
  std::string lines;
  for (int i = 0; i < 1100; ++i)
    lines += R"({"name": ")" + std::to_string(i) +
             R"(", "program": "exit-zero", "args": [], "stdin": "/dev/null", "stdout": "pipe", )"
             R"("stderr": "pipe", "expect": {"stdout": "", "stderr": "", "exit": 0}})"
             "\n";
  write(many, lines);
  const struct {
    std::string name, limit;
    Args args;
    process::Streams streams;
    std::string says;
  } setups[] = {
      {"report on /dev/full",
       "",
       {},
       {Stream::DevNull, Stream::DevFull, Stream::Pipe},
       "cannot write the report to standard output: No space left on device"},
      {"report closed",
       "",
       {},
       {Stream::Closed, Stream::Closed, Stream::Pipe},
       "cannot write the report: standard output is closed"},
      {"report a broken pipe",
       "",
       {},
       {Stream::DevNull, Stream::BrokenPipe, Stream::Pipe},
       "cannot write the report to standard output: Broken pipe"},
      {"too few descriptors", "ulimit -n 6", {}, {}, "Too many open files"},
      {"help on /dev/full",
       "",
       {"--help"},
       {Stream::DevNull, Stream::DevFull, Stream::Pipe},
       "cannot write the help to standard output"},
      // SIGXFSZ would end it, with nothing said.
      {"report past the file-size limit",
       "ulimit -f 1",
       {"--format", "junit"},
       {Stream::DevNull, Stream::File, Stream::Pipe},
       "the report is not whole: cannot write the report to standard output: File too large"},
#ifndef SANITIZED // the sanitizers reserve more address space than the limit allows
      {"too little memory for the threads",
       "ulimit -v 1000000",
       {"--jobs", "1024", "--cases", many},
       {},
       "cannot start thread"},
#endif
  };
  // Whether a limit on address space binds here: a user-mode emulator, for one, keeps it from the
  // processes it runs.
  bool spaceLimited =
      process::ending(process::run(
          {"/bin/sh", "-c", "ulimit -v 100000 && exec python3 -c 'bytearray(200000000)'"},
          {process::Stream::DevNull, process::Stream::DevNull, process::Stream::DevNull})) !=
      "exit 0";
  for (const auto &setup : setups) {
    if (setup.limit.starts_with("ulimit -v") && !spaceLimited) {
      std::cout << "not checked here, where a limit on address space does not bind: " << setup.name
                << "\n";
      continue;
    }
    Args args = {CHECKER, "--programs", faulty / "none", "--runner="};
    if (std::find(setup.args.begin(), setup.args.end(), "--cases") == setup.args.end())
      args.insert(args.end(), {"--cases", CASES_FILE});
    args.insert(args.end(), setup.args.begin(), setup.args.end());
    if (!setup.limit.empty())
      args.insert(args.begin(), {"/bin/sh", "-c", setup.limit + " && exec \"$0\" \"$@\""});
    process::Outcome result = process::run(args, setup.streams, {std::chrono::seconds(60)});
    EXPECT_EQ(process::ending(result), "exit 2") << setup.name << "\n" << result.err;
    EXPECT_NE(result.err.find(setup.says), std::string::npos) << setup.name << "\n" << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  // Without standard input, the cases still run as they should.
  process::Outcome noInput =
      process::run({CHECKER, "--programs", faulty / "none", "--runner=", "--cases", CASES_FILE},
                   {Stream::Closed, Stream::Pipe, Stream::Pipe}, {std::chrono::seconds(60)});
  EXPECT_EQ(process::ending(noInput), "exit 0") << noInput.out.substr(0, 2000);
}

// Whatever bytes the folder, the runner's words, the case names and the programs' output hold,
// TAP stays one line a test and JUnit well-formed XML, as real parsers of each read them.
TEST(Checker, KeepsReportsWellFormedForAnyBytes) {
  Scratch top("escapes");
  fs::path dir = top / "programs\nnot ok 9 - injected\n\x01\xff # &<";
  fs::create_directories(dir);
  for (const char *program : {"print-args", "print-sentence", "exit-zero"})
    fs::create_symlink(faulty / "none" / program, dir / program);
  fs::path cases = dir.parent_path() / "cases.jsonl";
  write(cases,
        R"({"name": "a \\ b # c", "program": "exit-zero", "args": [], "stdin": "/dev/null", )"
        R"("stdout": "pipe", "stderr": "pipe", "expect": {"stdout": "", "stderr": "", "exit": 0}})"
        "\n"
        R"({"name": "wrong <&>", "program": "print-args", "args": ["\u0001\u00ff<&>\n"], )"
        R"("stdin": "/dev/null", "stdout": "pipe", "stderr": "pipe", )"
        R"("expect": {"stdout": "x\n", "stderr": "", "exit": 0}})"
        "\n");
  Args args = {"--programs", dir, "--cases", cases, "--", "env", "X=\x02\xff\n#"};
  process::Outcome tap = check(args);
  args.insert(args.begin(), {"--format", "junit"});
  process::Outcome junit = check(args);
  EXPECT_EQ(process::ending(tap), "exit 1") << tap.err;
  EXPECT_EQ(process::ending(junit), "exit 1") << junit.err;
  write(dir.parent_path() / "report.tap", tap.out);
  write(dir.parent_path() / "report.xml", junit.out);
  // prove's parser knows TAP up to version 13, whose grammar holds all that the report uses.
  process::Outcome parsedTap = process::run({"perl", "-MTAP::Parser", "-e", R"(
        local $/; open my $in, '<', $ARGV[0] or die; my $tap = <$in>;
        $tap =~ s/^TAP version 14/TAP version 13/;
        my $parser = TAP::Parser->new({tap => $tap});
        while (my $result = $parser->next) {
          print 'test: ', $result->description, "\n" if $result->is_test;
        }
        printf "plan %s, run %d, failed %d, errors: %s\n", $parser->plan, $parser->tests_run,
          scalar($parser->failed), join('; ', $parser->parse_errors);
      )",
                                             dir.parent_path() / "report.tap"});
  EXPECT_EQ(parsedTap.out, "test: - a \\\\ b \\# c\ntest: - wrong <&>\nplan 1..2, run 2, failed 1, "
                           "errors: \n")
      << parsedTap.err << tap.out;
  process::Outcome parsedXml = process::run({"python3", "-c", R"(
import sys, xml.dom.minidom
document = xml.dom.minidom.parse(sys.argv[1])
for case in document.getElementsByTagName("testcase"):
    print("test:", case.getAttribute("name"), len(case.getElementsByTagName("failure")))
print(document.getElementsByTagName("property")[0].getAttribute("value"))
)",
                                             dir.parent_path() / "report.xml"});
  EXPECT_EQ(parsedXml.out.substr(0, parsedXml.out.find('\n', 30) + 1),
            "test: a \\ b # c 0\ntest: wrong <&> 1\n")
      << parsedXml.err << junit.out;
  EXPECT_NE(parsedXml.out.find("programs\\nnot ok 9 - injected\\n\\x01\\xff # &<\""),
            std::string::npos)
      << parsedXml.out;
}

} // namespace
