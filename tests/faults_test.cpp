// The checker against programs and runners with known faults: it must fail each, naming the
// cases that show it, and pass the same programs built right; repeated and random cases catch
// what a single run does not.
#include "checker_support.hpp"
#include "process.hpp"
#include "processors.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
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
  process::Finished tap = check({}, f.fault), junit = check({"--format", "junit"}, f.fault);
  EXPECT_EQ(process::ending(tap), f.mustFail.empty() ? "exit 0" : "exit 1") << tap.err;
  std::set<std::string> failed = failedCases(tap.out);
  for (const auto &name : f.mustFail)
    EXPECT_TRUE(failed.contains(name)) << name << " passed";
  // One line on standard error counts them.
  if (!failed.empty()) {
    EXPECT_TRUE(std::regex_match(
        tap.err, std::regex("support-programs-check: " + std::to_string(failed.size()) +
                            " of [0-9]+ cases failed: the report on standard output says how\n")))
        << tap.err;
  }
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
    {"misaligned",
     {"alignment/1-arguments-of-13-bytes", "alignment/with-an-entry/2-arguments-of-14-bytes"},
     "signal SIGSEGV"},
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
    {"misaligned-for-odd-sizes",
     {"alignment/1-arguments-of-3-bytes", "alignment/4-arguments-of-17-bytes",
      "alignment/with-an-entry/3-arguments-of-15-bytes"},
     "signal SIGSEGV"},
    {"writes-its-code", {"limits/no-file-may-grow/exit-zero"}, "signal SIGXFSZ"},
    {"reserves-its-guest", {"limits/address-space-of-8-GiB/print-args"}, "guest's address space"},
    {"translates-into-data", {"limits/data-of-256-MiB/exit-zero"}, "translation buffer"},
    {"drains-input",
     {"streams/stdin-pipe-holding-data/print-args", "streams/stdin-pipe-holding-data/exit-zero"},
     "stdin lost 69 of the 69 bytes it held"},
    {"drops-append", {"streams/stdout-file-appended/print-args"}, "stdout differs from byte 0"},
    {"needs-its-folder", {"conditions/working-folder-deleted/exit-zero"}, "getcwd"},
    {"needs-a-temporary-file", {"conditions/TMPDIR-missing/print-args"}, "temporary file"},
    {"traces", {"conditions/ptrace-denied/exit-zero"}, "Operation not permitted"},
    {"needs-privileges", {"conditions/no-new-privileges/exit-zero"}, "no new privileges"},
    {"leaves-a-helper", {"conditions/descriptor-3-a-pipe/print-args"}, "kept descriptor 3 open"},
    {"waits-through-signalfd", {"conditions/SIGCHLD-ignored/exit-zero"}, "never ended"},
    {"needs-proc", {"conditions/proc-hidden/print-args"}, "/proc/self/maps"},
    {"starts-a-thread", {"conditions/one-process-at-most/exit-zero"}, "signal SIGABRT"},
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
  process::Finished before = check(written);
  if (!f.writtenMayCatch) {
    EXPECT_EQ(process::ending(before), "exit 0") << before.err << before.out.substr(0, 3000);
  }
  for (const auto &entry : fs::directory_iterator(dir))
    fs::remove(entry);
  process::Finished now = check(runner);
  // A condition this machine cannot give is a skip, with its reason, never a pass.
  for (const auto &name : f.mustFail)
    if (size_t at = now.out.find(" - " + name + " # SKIP "); at != std::string::npos)
      GTEST_SKIP() << now.out.substr(at, now.out.find('\n', at) - at);
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
  std::ifstream file(CASES_FILE);
  size_t cases = std::count(std::istreambuf_iterator<char>(file), {}, '\n');
  process::Finished first = check({"--random", "100", "--seed", "7", "--shuffle"});
  process::Finished again = check({"--random", "100", "--seed", "7", "--shuffle", "--jobs", "1"});
  EXPECT_EQ(process::ending(first), "exit 0") << first.err;
  EXPECT_NE(first.out.find("\n# seed 7\n"), std::string::npos) << first.out.substr(0, 300);
  EXPECT_NE(
      first.out.find("ok " + std::to_string(cases + 100) + " - random/7/100/print-sentence\n"),
      std::string::npos);
  EXPECT_EQ(lines(first.out), lines(again.out));
  process::Finished other = check({"--random", "10", "--seed", "8"});
  EXPECT_NE(other.out.find("random/8/1/print-args"), std::string::npos);
  // Random cases do catch a fault: a trailing space fails the print-args ones.
  process::Finished faulty = check({"--random", "50", "--seed", "7"}, "trailing_space");
  EXPECT_NE(faulty.out.find("not ok " + std::to_string(cases + 1) + " - random/7/1/print-args\n"),
            std::string::npos);

  Scratch dir("repeat");
  process::Finished flaky = check({"--repeat", "3", "--cases", WRITTEN_CASES, "--", FAULTY_RUNNER,
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

} // namespace

namespace {

// No result depends on the caller's stack limit: under a soft limit of 4 MiB, whose quarter is
// less than some cases' arguments, every case passes.
TEST(Checker, PassesWhateverStackLimitTheCallerHas) {
  if (!ALL_CASES)
    GTEST_SKIP() << "the suite checks with the written cases alone (SUPPORT_CHECKED_CASES)";
  process::Finished run =
      process::run({"/bin/sh", "-c", "ulimit -S -s 4096 && exec \"$0\" \"$@\"", CHECKER,
                    "--programs", faulty / "none", "--cases", CASES_FILE, "--runner="},
                   {}, {std::chrono::seconds(120)});
  EXPECT_EQ(process::ending(run), "exit 0") << run.err << failedCases(run.out).size();
}

// The checker, the cases and the fault-free programs copied into `dir`, made open to every user:
// the build's own folder may be closed to them (a clone in a folder of mode 0700).
struct OpenCopy {
  fs::path checker, cases, programs;
};
OpenCopy openCopy(const fs::path &dir) {
  using fs::perms;
  fs::permissions(dir, perms::owner_all | perms::group_read | perms::group_exec |
                           perms::others_read | perms::others_exec);
  OpenCopy copy{dir / "support-programs-check", dir / "cases.jsonl", dir / "none"};
  fs::copy_file(CHECKER, copy.checker);
  if (!fs::exists(copy.cases))
    fs::copy_file(CASES_FILE, copy.cases);
  fs::create_directory(copy.programs);
  for (const char *program : {"print-args", "print-sentence", "exit-zero"})
    fs::copy_file(fs::canonical(faulty / "none" / program), copy.programs / program);
  return copy;
}

// Nor on the caller's privileges: as an unprivileged user every case passes but hiding /proc,
// which takes root and is skipped, with why.
TEST(Checker, PassesEveryCaseAsAnUnprivilegedUser) {
  if (!ALL_CASES)
    GTEST_SKIP() << "the suite checks with the written cases alone (SUPPORT_CHECKED_CASES)";
  if (geteuid() != 0)
    GTEST_SKIP() << "the tests run unprivileged already, so they cannot become another user";
  Scratch dir("unprivileged");
  OpenCopy copy = openCopy(dir);
  Args nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", copy.checker};
  Args probe = nobody;
  probe.push_back("--version");
  if (process::Finished can = process::run(probe); process::ending(can) != "exit 0")
    GTEST_SKIP() << "no unprivileged user can run a copy of this build here: " << can.err;
  Args args = nobody;
  args.insert(args.end(), {"--programs", copy.programs, "--cases", copy.cases, "--runner="});
  process::Finished run = process::run(args, {}, {std::chrono::seconds(120)});
  EXPECT_EQ(process::ending(run), "exit 0") << run.err << run.out.substr(0, 2000);
  EXPECT_NE(run.out.find("# 2 skipped: a condition they ask for cannot be had here\n"),
            std::string::npos)
      << run.out.substr(run.out.rfind("# slowest"));
}

// A correct runner that passes each signal on only 50 ms after it comes: every case that sends
// one passes it every time, on a machine kept busy, since the program's output stays unread
// until it has ended.
TEST(Checker, PassesARunnerThatForwardsSignalsLate) {
  if (!ALL_CASES)
    GTEST_SKIP() << "the suite checks with the written cases alone (SUPPORT_CHECKED_CASES)";
  process::Finished run = [] {
    BusyMachine busy;
    return check({"--filter", "^signals/", "--repeat", "10", "--jobs", "4", "--", FAULTY_RUNNER,
                  "forwards-late"});
  }();
  EXPECT_EQ(process::ending(run), "exit 0") << run.err << run.out.substr(0, 3000);
}

// The three cases that failed a correct forwarding runner by chance before the output was held
// (2 to 17 in 200), a thousand times each on a busy machine: not one failure.
TEST(Checker, PassesARunnerThatForwardsSignalsLateAThousandTimesInAThousand) {
  if (!ALL_CASES)
    GTEST_SKIP() << "the suite checks with the written cases alone (SUPPORT_CHECKED_CASES)";
  process::Finished run = [] {
    BusyMachine busy;
    return process::run({CHECKER, "--programs", faulty / "none", "--cases", CASES_FILE, "--filter",
                         "^signals/(SIGTERM|SIGINT|SIGHUP)-sent-to-the-process$", "--repeat",
                         "1000", "--jobs", "16", "--", FAULTY_RUNNER, "forwards-late"},
                        {}, {std::chrono::seconds(300)});
  }();
  EXPECT_EQ(process::ending(run), "exit 0") << run.err << run.out.substr(0, 3000);
  EXPECT_NE(run.out.find("# 3 of 3 passed"), std::string::npos) << run.out;
}

} // namespace

namespace {

// A case with a budget for its start fails a runner slower than that, with both figures (the
// runner sleeps 0.3 s, and a loaded machine may add to it), and passes one within it; and a
// condition that cannot be had is a skip in every report format, counted as one, that never
// fails the run: hiding /proc, for a checker that is not root.
TEST(Checker, BoundsTheStartAndSkipsWhatCannotBeHad) {
  Scratch dir("budget");
  std::ofstream(dir / "cases.jsonl")
      << R"({"name": "bounded", "program": "exit-zero", "args": [], "start_within": 0.1, )"
         R"("stdin": "/dev/null", "stdout": "pipe", "stderr": "pipe", )"
         R"("expect": {"stdout": "", "stderr": "", "exit": 0}})"
      << "\n"
      << R"({"name": "bounded-generously", "program": "exit-zero", "args": [], )"
         R"("start_within": 30, "stdin": "/dev/null", "stdout": "pipe", "stderr": "pipe", )"
         R"("expect": {"stdout": "", "stderr": "", "exit": 0}})"
      << "\n"
      << R"({"name": "no-proc", "program": "exit-zero", "args": [], "conditions": ["/proc hidden"], )"
         R"("stdin": "/dev/null", "stdout": "pipe", "stderr": "pipe", )"
         R"("expect": {"stdout": "", "stderr": "", "exit": 0}})"
      << "\n";
  Args cases = {"--cases", dir / "cases.jsonl"};
  process::Finished slow = check({"--cases", dir / "cases.jsonl", "--filter", "^bounded$",
                                  "--format", "junit", "--", FAULTY_RUNNER, "sleeps-first"});
  EXPECT_EQ(process::ending(slow), "exit 1") << slow.err;
  EXPECT_TRUE(
      std::regex_search(slow.out, std::regex("took (0\\.[3-9]|[1-9])[0-9.]* s, more than the "
                                             "0\\.1 s the case allows\" type=\"time\"")))
      << slow.out;
  // A start as fast as the machine allows, which a loaded one may make slower than 0.1 s.
  EXPECT_EQ(
      process::ending(check({"--cases", dir / "cases.jsonl", "--filter", "^bounded-generously$"})),
      "exit 0");

  if (geteuid() != 0)
    GTEST_SKIP() << "the checker is not root here, so this test cannot run it as root and not";
  // The same checker as an unprivileged user, copied where one can run it.
  OpenCopy copy = openCopy(dir);
  Args asNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", copy.checker,
                   "--cases", copy.cases,      "--programs",    copy.programs,    "--runner",
                   "",        "--filter",      "^no-proc$"};
  process::Finished probe = process::run(
      {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", copy.checker, "--version"});
  if (process::ending(probe) != "exit 0")
    GTEST_SKIP() << "no unprivileged user can run a copy of this build here: " << probe.err;
  const std::pair<const char *, const char *> formats[] = {
      {"tap", "ok 1 - no-proc # SKIP hiding /proc takes a mount namespace of its own, which takes "
              "root: run the checker as root\n"},
      {"junit", "<skipped message=\"hiding /proc takes a mount namespace"},
      {"json", "\"outcome\": \"skipped\""}};
  for (auto [format, says] : formats) {
    Args args = asNobody;
    args.insert(args.end(), {"--format", format});
    process::Finished skipped = process::run(args);
    EXPECT_EQ(process::ending(skipped), "exit 0") << format << ": " << skipped.err;
    EXPECT_NE(skipped.out.find(says), std::string::npos) << format << ":\n" << skipped.out;
  }
  process::Finished counted = process::run(asNobody);
  EXPECT_NE(counted.out.find("# 1 skipped: a condition they ask for cannot be had here\n"
                             "# 0 of 1 passed"),
            std::string::npos)
      << counted.out;
  // As root, /proc is hidden from the runner, and the machine's is left as it was.
  process::Finished root = check(
      {"--cases", dir / "cases.jsonl", "--filter", "^no-proc$", "--", FAULTY_RUNNER, "needs-proc"});
  EXPECT_NE(root.out.find("can't open /proc/self/maps"), std::string::npos) << root.out;
  EXPECT_TRUE(fs::exists("/proc/self/maps"));
}

} // namespace
