// The checker keeps its word whatever it is started with and whatever its runner does: a signal
// that ends it ends every case first and says so; the signal state, limits and output it
// inherits do not make it hang, spin, crash or cut its report; it reaps what its runners leave;
// reading a hostile cases file takes linear time and bounded memory; every process starts in a
// session and an empty folder of its own.
#include "checker_support.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

using namespace checker_test;
using namespace std::chrono;

// Where the suite checks with the written cases alone, the checker itself runs under a user-mode
// emulator.
constexpr bool emulatedChecker = !ALL_CASES;

#ifdef SANITIZED
#define SKIP_UNDER_SANITIZERS()                                                                    \
  GTEST_SKIP() << "the sanitizers reserve more address space than any such limit"
#else
#define SKIP_UNDER_SANITIZERS() (void)0
#endif
// Skips a test that starts the checker under a limit of address space where none can hold.
#define SKIP_WHERE_NO_LIMIT_OF_ADDRESS_SPACE_HOLDS()                                               \
  SKIP_UNDER_SANITIZERS();                                                                         \
  if (emulatedChecker)                                                                             \
  GTEST_SKIP() << "the checker runs under a user-mode emulator here, whose own reservations a "    \
                  "limit of address space breaks (SUPPORT_CHECKED_CASES=written)"

// A case line: print-args with `args` (all plain words), or exit-zero.
std::string caseLine(const std::string &name, const std::string &program,
                     const std::vector<std::string> &args = {}) {
  std::string list, out;
  for (const auto &arg : args) {
    list += (list.empty() ? "\"" : ", \"") + arg + "\"";
    out += (out.empty() ? "" : " ") + arg;
  }
  if (program == "print-args")
    out += "\\n";
  return R"({"name": ")" + name + R"(", "program": ")" + program + R"(", "args": [)" + list +
         R"(], "stdin": "/dev/null", "stdout": "pipe", "stderr": "pipe", "expect": {"stdout": ")" +
         out + R"(", "stderr": "", "exit": 0}})" + "\n";
}

std::vector<pid_t> pids(const fs::path &file) {
  std::vector<pid_t> found;
  std::ifstream in(file);
  for (pid_t pid; in >> pid;)
    found.push_back(pid);
  return found;
}

// Whether a process is there and not a zombie.
bool alive(pid_t pid) {
  std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(") ");
  return close != std::string::npos && stat[close + 2] != 'Z';
}

// The checker started in a process group of its own, its streams to files in `dir`; then, once
// `ready` holds `lines` lines, `signal` sent to it (or its group); then waited for, at most 10 s.
struct Started {
  int status = -1; // as waitpid gives it; -1 where it did not end in time
  std::string out, err;
};

Started startAndSignal(const Args &args, const fs::path &dir, const fs::path &ready, size_t lines,
                       int signal, bool toGroup) {
  int out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::vector<char *> argv;
  for (const auto &arg : args)
    argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  fs::create_directories(dir / "tmp");
  std::string tmpdir = (dir / "tmp").string();
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    dup2(out, 1);
    dup2(err, 2);
    setenv("TMPDIR", tmpdir.c_str(), 1); // where its working folders are made
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out);
  close(err);
  auto until = steady_clock::now() + seconds(10);
  while (pids(ready).size() < lines && steady_clock::now() < until)
    std::this_thread::sleep_for(milliseconds(5));
  if (signal)
    kill(toGroup ? -pid : pid, signal);
  Started started;
  for (int status; steady_clock::now() < until; std::this_thread::sleep_for(milliseconds(5)))
    if (waitpid(pid, &status, WNOHANG) == pid) {
      started.status = status;
      break;
    }
  if (started.status == -1) {
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  started.out = slurp(dir / "out");
  started.err = slurp(dir / "err");
  return started;
}

struct Interruption {
  std::string name;
  int signal;
  bool toGroup = false, byRunner = false;
};

void PrintTo(const Interruption &i, std::ostream *os) { *os << i.name; }

const Interruption interruptions[] = {
    {"SIGTERM", SIGTERM},
    {"SIGINT_to_the_group", SIGINT, true}, // as a terminal's Ctrl-C
    {"SIGHUP", SIGHUP},
    {"SIGALRM", SIGALRM},
    {"SIGXCPU", SIGXCPU},
    {"SIGUSR1", SIGUSR1},
    {"SIGTERM_from_a_runner", SIGTERM, false, true},
};

class Interrupted : public testing::TestWithParam<Interruption> {};

// Two cases run, each a runner that sleeps; the signal comes; the checker ends both, says so in
// one line, bails out of its TAP report and ends by that signal.
TEST_P(Interrupted, EndsEveryCaseSaysSoAndEndsByTheSignal) {
  const Interruption &i = GetParam();
  Scratch dir("interrupted");
  write(dir / "cases.jsonl", caseLine("a", "print-args", {"a"}) + caseLine("b", "print-args"));
  write(dir / "runner",
        "#!/bin/sh\ncase \"$1\" in */exit-zero) exec \"$@\";; esac\necho $$ >>" +
            (dir / "started").string() + "\n" + (i.byRunner ? "kill -TERM $PPID\n" : "") +
            "exec /bin/sleep 30\n",
        true);
  Started run = startAndSignal({CHECKER, "--programs", faulty / "none", "--cases",
                                dir / "cases.jsonl", "--jobs", "2", "--", dir / "runner"},
                               dir, dir / "started", i.byRunner ? 1 : 2, i.byRunner ? 0 : i.signal,
                               i.toGroup);
  ASSERT_NE(run.status, -1) << "did not end within 10 s\n" << run.err;
  EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == i.signal)
      << "status " << run.status << "\n"
      << run.err;
  std::string says =
      "interrupted by " + process::signalName(i.signal) + ": the report is not whole";
  EXPECT_EQ(run.err, "support-programs-check: " + says + "\n");
  EXPECT_NE(run.out.find("\nBail out! " + says + "\n"), std::string::npos) << run.out;
  for (pid_t pid : pids(dir / "started"))
    EXPECT_FALSE(alive(pid)) << "case process " << pid << " still runs";
  EXPECT_TRUE(fs::is_empty(dir / "tmp")) << "a working folder was left";
}

INSTANTIATE_TEST_SUITE_P(Checker, Interrupted, testing::ValuesIn(interruptions),
                         [](const auto &info) { return info.param.name; });

// Started with SIGCHLD ignored, the kernel would reap every child at once and no end could be
// waited for; with its output a non-blocking pipe that is full for a while, every write must wait.
TEST(Checker, TakesTheSignalStateAndOutputItInherits) {
  Scratch dir("inherited");
  std::string lines;
  for (int i = 0; i < 300; ++i)
    lines += caseLine("exit-zero/" + std::to_string(i), "exit-zero");
  write(dir / "cases.jsonl", lines);
  Args args = {CHECKER,   "--programs",        faulty / "none", "--runner=",
               "--cases", dir / "cases.jsonl", "--timeout",     "5"};

  process::Start start;
  start.argv = args;
  start.ignored = {SIGCHLD};
  process::Finished ignored = process::run(start, {seconds(20)});
  EXPECT_EQ(process::ending(ignored), "exit 0") << ignored.err;

  // A 4 KiB pipe that does not block, read only once the checker has filled it.
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  fcntl(ends[1], F_SETPIPE_SZ, 4096);
  fcntl(ends[1], F_SETFL, O_NONBLOCK);
  std::vector<char *> argv;
  for (const auto &arg : args)
    argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(ends[1], 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(ends[1]);
  std::this_thread::sleep_for(milliseconds(300));
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;)
    report.append(buffer, size_t(n));
  close(ends[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(report.find("\n# 300 of 300 passed in "), std::string::npos)
      << report.substr(report.size() - std::min<size_t>(report.size(), 300));
}

// Each runner leaves an orphan that ends at once; the checker, which adopts it, reaps it then,
// not when the run ends, so that zombies never pile up to the process limit.
TEST(Checker, ReapsTheOrphansItAdopts) {
  Scratch dir("orphans");
  write(dir / "cases.jsonl", caseLine("exit-zero", "exit-zero"));
  write(dir / "runner",
        "#!/bin/sh\n( /bin/sh -c 'exit 0' </dev/null >/dev/null 2>&1 & )\nn=0\n"
        "for p in $(cat /proc/$PPID/task/*/children 2>/dev/null); do\n"
        "  read -r _ _ s _ 2>/dev/null </proc/$p/stat && [ \"$s\" = Z ] && n=$((n+1))\ndone\n"
        "echo $n >>" +
            (dir / "zombies").string() + "\nexec \"$@\"\n",
        true);
  process::Finished run =
      check({"--cases", dir / "cases.jsonl", "--repeat", "100", "--", dir / "runner"});
  EXPECT_EQ(process::ending(run), "exit 0") << run.err << run.out.substr(0, 2000);
  std::vector<pid_t> counts = pids(dir / "zombies");
  ASSERT_EQ(counts.size(), 101u); // the first start, then every run
  EXPECT_LE(*std::max_element(counts.begin(), counts.end()), 10) << "zombies piled up";
}

// Every process starts in a session of its own, with no controlling terminal, every signal at its
// default, in an empty folder of its own, which is removed after it; what it leaves there is
// named in the report.
TEST(Checker, StartsEachProcessInASessionAndAnEmptyFolderOfItsOwn) {
  Scratch dir("fresh");
  fs::create_directories(dir / "tmp");
  write(dir / "cases.jsonl", caseLine("a", "print-args", {"a"}) + caseLine("b", "exit-zero"));
  write(dir / "runner",
        // Through task/, which a user-mode emulator does not take for its guest's own and fake.
        "#!/bin/sh\nread -r pid comm state ppid pgrp session tty rest </proc/$$/task/$$/stat\n"
        "[ \"$session\" = $$ ] && [ \"$tty\" = 0 ] || exit 97\n"
        "while read -r key value; do\n"
        "  [ \"$key\" = SigIgn: ] && [ \"$value\" != 0000000000000000 ] && exit 96\n"
        "done </proc/$$/task/$$/status\n"
        "for f in * .*; do case $f in .|..|'*'|'.*') ;; *) exit 98;; esac; done\n"
        "echo x >runner.log\nexec \"$@\"\n",
        true);
  process::Start start;
  start.argv = {CHECKER, "--programs",  faulty / "none", "--cases", dir / "cases.jsonl",
                "--",    dir / "runner"};
  start.environment = {"TMPDIR=" + (dir / "tmp").string()};
  process::Finished run = process::run(start, {seconds(60)});
  EXPECT_EQ(process::ending(run), "exit 0") << run.err << run.out;
  EXPECT_NE(run.out.find("\n# a: left files in its working folder: runner.log\n"),
            std::string::npos)
      << run.out;
  EXPECT_TRUE(fs::is_empty(dir / "tmp")) << "a working folder was left";
}

// A process that starts others in working folders of their own and exits without removing them
// (a test, the benchmark) leaves none behind, and a child forked from it that exits removes none
// of the folders still in use. Checked in a process of its own: this test, started again.
TEST(Process, LeavesNoWorkingFolderWhenItExits) {
  process::Start start;
  start.argv = {"/bin/sh", "-c", "exit 0"};
  start.freshFolder = true;
  if (const char *tmp = std::getenv("SUPPORT_TEST_FOLDERS")) { // the process that exits
    ASSERT_EQ(process::ending(process::run(start)), "exit 0");
    for (auto until = steady_clock::now() + seconds(2);
         fs::is_empty(tmp) && steady_clock::now() < until;)
      std::this_thread::sleep_for(milliseconds(1)); // until folders are made ahead
    if (pid_t child = fork(); child == 0)
      std::exit(0);
    else
      waitpid(child, nullptr, 0);
    EXPECT_EQ(process::ending(process::run(start)), "exit 0") << "a forked child removed them";
    return;
  }
  Scratch dir("exits");
  fs::create_directories(dir / "tmp");
  start.argv = {fs::read_symlink("/proc/self/exe"),
                "--gtest_filter=Process.LeavesNoWorkingFolderWhenItExits"};
  start.freshFolder = false;
  start.environment = {"SUPPORT_TEST_FOLDERS=" + (dir / "tmp").string(),
                       "TMPDIR=" + (dir / "tmp").string()};
  process::Finished run = process::run(start, {seconds(30)});
  EXPECT_EQ(process::ending(run), "exit 0") << run.out;
  EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.out;
  EXPECT_TRUE(fs::is_empty(dir / "tmp")) << "a working folder was left";
}

// Cases files made to take quadratic time or unbounded memory: each is refused within a short
// time and under a limit of address space, in one line that says what is wrong.
TEST(Checker, RefusesHostileCasesFilesInBoundedTimeAndMemory) {
  Scratch dir("hostile-cases");
  auto line = [](const std::string &args) {
    return R"({"name": "a", "program": "print-args", "args": [)" + args +
           R"(], "stdin": "/dev/null", "stdout": "pipe", "stderr": "pipe", "expect": {"stdout": "\n", "stderr": "", "exit": 0}})" +
           "\n";
  };
  auto repeated = [](const std::string &value, size_t count) {
    std::string list;
    list.reserve((value.size() + 1) * count);
    for (size_t i = 0; i < count; ++i)
      list += (i ? "," : "") + value;
    return list;
  };
  std::string valid;
  for (int i = 0; i < 100'000; ++i)
    valid +=
        R"({"name": ")" + std::to_string(i) +
        R"(", "program": "exit-zero", "args": [], "stdin": "/dev/null", "stdout": "pipe", "stderr": "pipe", "expect": {"stdout": "", "stderr": "", "exit": 0}})"
        "\n";
  const struct {
    std::string name, text, says;
  } files[] = {
      {"empty-arguments", line(repeated(R"("")", 1'000'000)), ":1: the line holds more values"},
      {"one-byte-arguments", line(repeated(R"("a")", 4'194'254)), ":1: the line holds more values"},
      {"objects", line(repeated("{}", 5'500'000)), ":1: the line holds more values"},
      {"lists", line(repeated("[]", 5'500'000)), ":1: the line holds more values"},
      {"a-bad-line-after-100000-cases", valid + R"({"name": "x", "exit": -0})" + "\n",
       ":100001: a case has an unknown key \"exit\""},
  };
  for (const auto &file : files) {
    if (emulatedChecker && file.name.starts_with("a-bad-line")) // minutes under emulation
      continue;
    write(dir / file.name, file.text);
    Args args = {CHECKER, "--programs", faulty / "none", "--runner=", "--cases", dir / file.name};
#ifndef SANITIZED // the sanitizers reserve more address space than any such limit
    if (!emulatedChecker)
      args.insert(args.begin(), {"/bin/sh", "-c", "ulimit -v 400000 && exec \"$0\" \"$@\""});
#endif
    process::Finished run = process::run(args, {}, {seconds(20)});
    SCOPED_TRACE(file.name);
    expectOneLine(run, file.says);
    fs::remove(dir / file.name);
  }
}

// Under any limit of address space, however tight, the checker ends with 0, 1 or 2 and, with 2,
// one line: a failed allocation in a thread that runs cases is no crash.
TEST(Checker, EndsInOneLineWhereMemoryRunsOut) {
#ifdef SANITIZED
  GTEST_SKIP() << "the sanitizers reserve more address space than any such limit";
#endif
  if (emulatedChecker)
    GTEST_SKIP() << "the checker runs under a user-mode emulator here, whose own reservations a "
                    "small limit of address space breaks (SUPPORT_CHECKED_CASES=written)";
  Scratch dir("memory");
  write(
      dir / "cases.jsonl",
      R"({"name": "big", "program": "print-args", "args": [[["x", 131071]]], "stdin": "/dev/null", "stdout": "pipe", "stderr": "pipe", "expect": {"stdout": [["x", 131071], "\n"], "stderr": "", "exit": 0}})"
      "\n");
  write(dir / "runner",
        "#!/bin/sh\n/bin/dd if=/dev/zero bs=1000 count=190 2>/dev/null\nexec \"$@\"\n", true);
  for (int limit = 8; limit <= 64; limit += 4) {
    process::Finished run = process::run(
        {"/bin/sh", "-c", "ulimit -v " + std::to_string(limit * 1024) + " && exec \"$0\" \"$@\"",
         CHECKER, "--programs", faulty / "none", "--cases", dir / "cases.jsonl", "--jobs", "1",
         "--", dir / "runner"},
        {}, {seconds(20)});
    std::string ending = process::ending(run);
    // Below what its libraries take to be loaded, the checker never starts: the loader says so.
    if (ending == "exit 127" &&
        run.err.find("error while loading shared libraries") != std::string::npos)
      continue;
    SCOPED_TRACE(std::to_string(limit) + " MiB: " + ending + ": " + run.err);
    EXPECT_TRUE(ending == "exit 0" || ending == "exit 1" || ending == "exit 2");
    if (ending == "exit 2") {
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
    }
  }
}

} // namespace

namespace {

// A FIFO whose writer stays open after two cases: the message says how far it came.
TEST(Checker, SaysHowFarAFileThatStaysOpenCame) {
  Scratch dir("open-fifo");
  fs::path fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC); // holds it open, as a writer that waits
  std::string two = caseLine("a", "exit-zero") + caseLine("b", "exit-zero");
  ASSERT_EQ(::write(writer, two.data(), two.size()), ssize_t(two.size()));
  expectOneLine(check({"--cases", fifo, "--timeout", "1"}),
                "cannot be read: it was still open after 2 lines and 1 s");
  close(writer);
}

} // namespace

namespace {

// On a terminal that is both standard output and standard error, the progress line is cleared
// before each report line, so that no line of the report begins behind it.
TEST(Checker, ClearsItsProgressBeforeEachReportLineOnOneTerminal) {
  if (process::ending(process::run({"script", "--version"})) != "exit 0")
    GTEST_SKIP() << "no script here (Debian, Ubuntu: apt-get install bsdutils)";
  Scratch dir("progress");
  write(dir / "cases.jsonl", caseLine("a", "exit-zero") + caseLine("b", "exit-zero"));
  std::string command = std::string(CHECKER) + " --programs " + (faulty / "none").string() +
                        " --cases " + (dir / "cases.jsonl").string() +
                        " --runner= --jobs 1 --format tap";
  process::Finished run = process::run({"script", "-qec", command, "/dev/null"});
  EXPECT_EQ(process::ending(run), "exit 0") << run.err;
  EXPECT_NE(run.out.find("1 of 2 cases\r\033[Kok 1 - a\r\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("casesok"), std::string::npos) << run.out;
}

} // namespace

namespace {

// With no /proc, the checker needs to be told where the programs and the cases are, and says so;
// told, it runs.
TEST(Checker, RunsWithoutProcWhenToldWhereEverythingIs) {
#ifdef SANITIZED
  GTEST_SKIP() << "the sanitizers need /proc";
#endif
  if (getuid() != 0 || emulatedChecker)
    GTEST_SKIP() << "hiding /proc takes root (a mount namespace of its own), and an emulator "
                    "needs it";
  Scratch dir("no-proc");
  write(dir / "cases.jsonl", caseLine("a", "print-args", {"a"}));
  // /proc hidden in a mount namespace of its own, made private first so that nothing of it
  // reaches the machine's (in a chroot, / is no mount point whose propagation unshare can set).
  Args hidden = {"unshare",
                 "-m",
                 "--propagation",
                 "unchanged",
                 "/bin/sh",
                 "-c",
                 "mount --make-private /proc && mount -t tmpfs none /proc && exec \"$0\" \"$@\"",
                 CHECKER};
  Args probe = hidden;
  probe.back() = "/bin/true";
  if (process::Finished tried = process::run(probe); process::ending(tried) != "exit 0")
    GTEST_SKIP() << "/proc cannot be hidden here: " << tried.err;
  Args told = hidden;
  told.insert(told.end(),
              {"--programs", faulty / "none", "--cases", dir / "cases.jsonl", "--runner="});
  process::Finished run = process::run(told, {}, {seconds(20)});
  EXPECT_EQ(process::ending(run), "exit 0") << run.err << run.out;
  expectOneLine(process::run(hidden, {}, {seconds(20)}),
                "cannot tell where the checker is (/proc/self/exe: No such file or directory): "
                "give --programs and --cases");
}

} // namespace

namespace {

// A case line of `program` with standard output `out` and `extra` keys, expecting what the
// program writes with no arguments.
std::string bareCase(const std::string &name, const std::string &program, const std::string &out,
                     const std::string &extra = "") {
  return R"({"name": ")" + name + R"(", "program": ")" + program +
         R"(", "args": [], "stdin": "/dev/null", "stdout": ")" + out + R"(", "stderr": "pipe", )" +
         extra + R"("expect": {"stdout": ")" + (program == "print-args" ? "\\n" : "") +
         R"(", "stderr": "", "exit": 0}})" + "\n";
}

// Each case's processes are its own: what one case's runner leaves running writes into no later
// case's folder (a folder of its own for each), a folder left unreadable is removed all the
// same, a file as standard output is bounded while it is written, and no process another thread
// starts meanwhile holds a case's streams open.
TEST(Checker, KeepsEachCaseToItself) {
  Scratch dir("to-itself");
  fs::create_directories(dir / "tmp");
  write(dir / "cases.jsonl", caseLine("a", "print-args", {"a"}) +
                                 caseLine("b", "print-args", {"b"}) +
                                 caseLine("c", "print-args", {"c"}));
  write(dir / "runner",
        "#!/bin/sh\ncase \"$2\" in\n"
        // What case a leaves writes into its working folder once case b runs.
        "a) setsid /bin/sh -c 'sleep 0.3; echo late >late.log' </dev/null >/dev/null 2>&1 & ;;\n"
        "b) sleep 0.6;;\n"
        "c) mkdir -p locked/in && chmod 000 locked;;\n"
        "esac\nexec \"$@\"\n",
        true);
  process::Start start;
  start.argv = {CHECKER,       "--programs", faulty / "none",     "--jobs",
                "1",           "--cases",    dir / "cases.jsonl", "--",
                dir / "runner"};
  start.environment = {"TMPDIR=" + (dir / "tmp").string()};
  process::Finished run = process::run(start, {seconds(30)});
  EXPECT_EQ(process::ending(run), "exit 0") << run.err << run.out;
  EXPECT_EQ(run.out.find("# b: left files"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("# c: left files in its working folder: locked\n"), std::string::npos)
      << run.out;
  std::this_thread::sleep_for(milliseconds(400)); // what a left ends by then
  EXPECT_TRUE(fs::is_empty(dir / "tmp")) << "a working folder was left";

  // A runner that writes 40 MiB into a file as standard output, 1 MiB at a time, under a limit
  // of 20 MiB a file: ended as soon as it is past the case's bound, not by the limit.
  write(dir / "file.jsonl", bareCase("file", "exit-zero", "file"));
  // The first start, which checks the runner, is let through.
  write(dir / "writer",
        "#!/bin/sh\n[ -e " + (dir / "armed").string() + " ] || { : >" + (dir / "armed").string() +
            "; exec \"$@\"; }\ni=0\nwhile [ $i -lt 40 ]; do head -c 1048576 /dev/zero; "
            "sleep 0.05; i=$((i+1)); done\nexec \"$@\"\n",
        true);
  process::Finished file =
      process::run({"/bin/sh", "-c", "ulimit -f 20480 && exec \"$0\" \"$@\"", CHECKER, "--programs",
                    faulty / "none", "--cases", dir / "file.jsonl", "--", dir / "writer"},
                   {}, {seconds(30)});
  EXPECT_EQ(process::ending(file), "exit 1") << file.err;
  EXPECT_NE(file.out.find("wrote more than"), std::string::npos) << file.out;

  // Many short starts on many threads with the machine kept busy: none is taken for a process
  // that kept its streams open.
  std::string many;
  for (int i = 0; i < 8; ++i)
    many += bareCase("e" + std::to_string(i), "exit-zero", "pipe", R"("repeat": 50, )");
  write(dir / "many.jsonl", many);
  process::Finished races = [&] {
    BusyMachine busy;
    return check({"--cases", dir / "many.jsonl", "--jobs", "8", "--shuffle"});
  }();
  EXPECT_EQ(process::ending(races), "exit 0") << races.err;
  EXPECT_EQ(races.out.find("kept"), std::string::npos) << races.out.substr(0, 2000);
}

// Runs are never laid out in memory before they start: a case of 100,000 runs started 1,000
// times over, shuffled, starts under a limit of address space far below 8 bytes a run.
TEST(Checker, TakesNoMemoryForTheRunsAhead) {
  SKIP_WHERE_NO_LIMIT_OF_ADDRESS_SPACE_HOLDS();
  Scratch dir("runs-ahead");
  write(dir / "cases.jsonl",
        caseLine("many", "print-args", {"x"}).insert(1, R"("repeat": 100000, )"));
  // The first case's start ends the checker.
  write(dir / "runner", "#!/bin/sh\n[ \"$2\" = x ] && kill -TERM $PPID && sleep 5\nexec \"$@\"\n",
        true);
  process::Finished run =
      process::run({"/bin/sh", "-c", "ulimit -v 400000 && exec \"$0\" \"$@\"", CHECKER,
                    "--programs", faulty / "none", "--cases", dir / "cases.jsonl", "--repeat",
                    "1000", "--shuffle", "--", dir / "runner"},
                   {}, {seconds(20)});
  EXPECT_EQ(process::ending(run), "signal SIGTERM") << run.err;
}

// A TMPDIR too full to hold what a case writes to a file: the checker's failure to run the case,
// in one line, never a difference blamed on the program.
TEST(Checker, SaysWhenTmpdirIsTooFullForAFileStream) {
  if (getuid() != 0 || emulatedChecker)
    GTEST_SKIP() << "a small file system of the test's own takes root (a mount namespace)";
  Scratch dir("full-tmpdir");
  fs::create_directory(dir / "tmp");
  write(
      dir / "cases.jsonl",
      R"({"name": "a", "program": "print-args", "args": ["a"], "stdin": "/dev/null", )"
      R"("stdout": "file", "stderr": "pipe", "expect": {"stdout": "a\n", "stderr": "", "exit": 0}})"
      "\n");
  // A file system of one page, in a mount namespace whose mounts reach no other.
  Args small = {"unshare",
                "-m",
                "/bin/sh",
                "-c",
                "mount -t tmpfs -o size=4k none \"$0\" && TMPDIR=\"$0\" exec \"$@\"",
                dir / "tmp"};
  Args probe = small;
  probe.push_back("/bin/true");
  if (process::Finished tried = process::run(probe); process::ending(tried) != "exit 0")
    GTEST_SKIP() << "no file system of the test's own here: " << tried.err;
  Args run = small;
  run.insert(run.end(),
             {CHECKER, "--programs", faulty / "none", "--cases", dir / "cases.jsonl", "--runner="});
  process::Finished full = process::run(run, {}, {seconds(60)});
  EXPECT_EQ(process::ending(full), "exit 2") << full.err;
  EXPECT_NE(full.err.find("cannot run case 1: TMPDIR is full: no room for"), std::string::npos)
      << full.err;
  EXPECT_EQ(std::count(full.err.begin(), full.err.end(), '\n'), 1) << full.err;
  EXPECT_EQ(full.out.find("not ok"), std::string::npos) << full.out;
}

} // namespace

namespace {

// A failure's command is not built where it would be too long to write: eight jobs of cases of
// 4 MiB of bytes that quote as four each fail within a limit of address space that copies of
// their commands would pass.
TEST(Checker, BuildsNoCommandTooLongToWrite) {
  SKIP_WHERE_NO_LIMIT_OF_ADDRESS_SPACE_HOLDS();
  Scratch dir("long-commands");
  std::string lines;
  for (int i = 0; i < 16; ++i)
    lines += R"({"name": "big)" + std::to_string(i) +
             R"(", "program": "print-args", "args": [[["\u0080", 131071]], [["\u0080", 131071]], )"
             R"([["\u0080", 131071]], [["\u0080", 131071]], [["\u0080", 131071]], )"
             R"([["\u0080", 131071]], [["\u0080", 131071]], [["\u0080", 131071]]], )"
             R"("limits": {"stack": 67108864}, "stdin": "/dev/null", "stdout": "pipe", )"
             R"("stderr": "pipe", "expect": {"stdout": "x", "stderr": "", "exit": 0}})"
             "\n";
  write(dir / "cases.jsonl", lines);
  process::Finished run = process::run({"/bin/sh", "-c", "ulimit -v 600000 && exec \"$0\" \"$@\"",
                                        CHECKER, "--programs", faulty / "none",
                                        "--runner=", "--cases", dir / "cases.jsonl", "--jobs", "8"},
                                       {}, {seconds(60)});
  EXPECT_EQ(process::ending(run), "exit 1") << run.err;
  EXPECT_NE(run.out.find("# 0 of 16 passed"), std::string::npos) << run.err;
}

} // namespace
