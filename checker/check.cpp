// support-programs-check: starts every case of the cases file as a process of its own, through
// a runner (an emulator, a loader, a sandbox) or directly, and compares what each writes and how
// it ends with what the case expects. Reports TAP version 14, or JUnit XML. Exit status: 0 when
// every case passes, 1 when any fails, 2 for bad use or a report that is not whole.
#include "cases.hpp"
#include "process.hpp"
#include "processors.hpp"
#include "text.hpp"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <latch>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

// Bad use, or anything that keeps the report from being whole: one line, status 2.
struct Fatal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What a program may write past the bytes a case expects before it is stopped.
constexpr size_t margin = 64 * 1024;

struct Result {
  std::string summary, details; // both empty when the case passed
  std::string failure;          // what the checker itself could not have to run the case
  double seconds = 0;
  bool passed() const { return summary.empty(); }
};

// A word from outside as it stands, where it cannot be mistaken; quoted and escaped otherwise.
std::string shown(const std::string &word) {
  bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_-./=:+,@%", c);
  });
  return plain ? word : text::quoted(word);
}

// Writes all of `text` to standard output.
void emit(const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(1, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      throw Fatal(std::string("cannot write the report to standard output: ") +
                  (n < 0 ? std::strerror(errno) : "nothing was written"));
    done += size_t(n);
  }
}

// Adds a YAML entry for one stream whose bytes differ: where they first differ and, around
// there, both (all of both when they are short).
void compare(const char *stream, const std::string &expected, const std::string &actual,
             Result &result) {
  if (expected == actual)
    return;
  size_t at =
      std::mismatch(expected.begin(), expected.begin() + std::min(expected.size(), actual.size()),
                    actual.begin())
          .first -
      expected.begin();
  size_t from = 0, length = std::string::npos;
  if (std::max(expected.size(), actual.size()) > 160) {
    from = at > 40 ? at - 40 : 0;
    length = 120;
  }
  std::ostringstream yaml;
  yaml << "  " << stream << ":\n    first_difference: " << at
       << "\n    expected_length: " << expected.size() << "\n    actual_length: " << actual.size()
       << "\n";
  if (from || length != std::string::npos)
    yaml << "    excerpt_from: " << from << "\n";
  yaml << "    expected: "
       << text::quoted(std::string_view(expected).substr(std::min(from, expected.size()), length))
       << "\n    actual: "
       << text::quoted(std::string_view(actual).substr(std::min(from, actual.size()), length))
       << "\n";
  result.details += yaml.str();
  result.summary += std::string(result.summary.empty() ? "" : "; ") + stream +
                    " differs from byte " + std::to_string(at);
}

process::Limits limits(const std::vector<std::string> &runner, seconds timeout, size_t out,
                       size_t err) {
  return {timeout, out + margin, err + margin, runner.empty() ? "the program" : "the runner"};
}

Result check(const cases::Case &c, const std::vector<std::string> &runner, const fs::path &dir,
             seconds timeout) {
  std::vector<std::string> argv = runner;
  argv.push_back(dir / c.program);
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  auto start = steady_clock::now();
  process::Outcome outcome =
      process::run(argv, c.streams, limits(runner, timeout, c.out.size(), c.err.size()));
  Result result;
  result.failure = outcome.failure;
  result.seconds = duration<double>(steady_clock::now() - start).count();
  std::string ending = process::ending(outcome);
  if (ending != c.ending) {
    result.details += "  ending:\n    expected: " + text::quoted(c.ending) +
                      "\n    actual: " + text::quoted(ending) + "\n";
    result.summary = ending + ", expected " + c.ending;
  }
  compare("stdout", c.out, outcome.out, result);
  compare("stderr", c.err, outcome.err, result);
  return result;
}

std::string where(const std::string &path) {
  const char *search = std::getenv("PATH");
  std::istringstream folders(search ? search : "/usr/bin:/bin");
  if (path.find('/') != std::string::npos)
    return access(path.c_str(), X_OK) == 0 ? path : "";
  for (std::string folder; std::getline(folders, folder, ':');)
    if (access((folder + "/" + path).c_str(), X_OK) == 0)
      return folder + "/" + path;
  return "";
}

// The first line of `err` that says anything, beyond white space and a process number (as the
// loader's LD_DEBUG lines begin), without the white space around it; with the next line too
// where it ends with a colon, as "error: unsupported executable; we need:" does.
std::string firstWords(const std::string &err) {
  std::vector<std::string> said;
  std::istringstream lines(err);
  for (std::string line; said.size() < 2 && std::getline(lines, line);) {
    size_t from = line.find_first_not_of(" \t\r\f\v");
    size_t to = line.find_last_not_of(" \t\r\f\v");
    line = from == std::string::npos ? "" : line.substr(from, to - from + 1);
    size_t digits = line.find_first_not_of("0123456789");
    std::string rest = digits == std::string::npos ? "" : line.substr(digits);
    if (!rest.empty() && rest != ":" && (said.empty() || said.front().ends_with(":")))
      said.push_back(line);
    else if (!said.empty())
      break;
  }
  return said.empty() ? "" : said.size() == 1 ? said[0] : said[0] + " " + said[1];
}

// Starts exit-zero once as the cases will be started, under the same deadline: it must end with
// status 0 and write nothing. Says how it went otherwise, "" when it did.
std::string whyNotStarted(const std::vector<std::string> &runner, const fs::path &dir,
                          seconds timeout) {
  using process::Stream;
  std::vector<std::string> argv = runner;
  argv.push_back(dir / "exit-zero");
  process::Outcome outcome = process::run(argv, {Stream::DevNull, Stream::Pipe, Stream::Pipe},
                                          limits(runner, timeout, 0, 0));
  if (!outcome.failure.empty())
    throw Fatal("cannot start exit-zero: " + outcome.failure);
  std::string ending = process::ending(outcome);
  if (ending == "exit 0" && outcome.out.empty() && outcome.err.empty())
    return "";
  std::string why = ending.starts_with("exit ") || ending.starts_with("signal ")
                        ? "it ended with " + ending
                        : ending;
  if (ending == "exit 127")
    why += ", that of a command that could not be started";
  if (!outcome.out.empty())
    why += "; it wrote " + std::to_string(outcome.out.size()) + " bytes on standard output";
  if (std::string said = firstWords(outcome.err); !said.empty())
    why += "; its standard error begins " + text::quoted(said);
  return why;
}

using processors::Processor;

// The processor a program is built for, from its ELF header and the loader it names; none where
// the file is no ELF program of a processor the table knows.
const Processor *processorOf(const fs::path &program) {
  std::ifstream in(program, std::ios::binary);
  std::string head(64 * 1024, '\0');
  in.read(head.data(), std::streamsize(head.size()));
  head.resize(size_t(in.gcount()));
  if (head.size() < 64 || !head.starts_with("\x7f"
                                            "ELF"))
    return nullptr;
  int bits = head[4] == 1 ? 32 : head[4] == 2 ? 64 : 0;
  bool big = head[5] == 2;
  auto number = [&](size_t at, size_t size) -> uint64_t { // in the file's byte order
    uint64_t value = 0;
    for (size_t i = 0; i < size && at + size <= head.size(); ++i)
      value |= uint64_t(static_cast<unsigned char>(head[at + (big ? size - 1 - i : i)])) << (8 * i);
    return value;
  };
  int machine = int(number(18, 2));
  uint64_t table = bits == 32 ? number(28, 4) : number(32, 8);
  uint64_t entrySize = number(bits == 32 ? 42 : 54, 2), entries = number(bits == 32 ? 44 : 56, 2);
  std::string loader;
  for (uint64_t i = 0; i < entries && entrySize > 0 && table < head.size(); ++i) {
    size_t at = size_t(table + i * entrySize);
    if (at + entrySize > head.size() || number(at, 4) != 3) // PT_INTERP
      continue;
    uint64_t offset = bits == 32 ? number(at + 4, 4) : number(at + 8, 8);
    uint64_t size = bits == 32 ? number(at + 16, 4) : number(at + 32, 8);
    if (offset < head.size() && size <= head.size() - offset)
      loader = std::string(head.c_str() + offset);
  }
  for (const Processor &p : processors::all)
    if (p.bits == bits && p.bigEndian == big && p.machine == machine && loader == p.loader)
      return &p;
  return nullptr;
}

// Where the programs cannot be started directly (`why` says so), qemu for their processor,
// given the loader from Debian's cross sysroot where the host has none: as the installed
// package decides.
std::vector<std::string> qemuRunner(const fs::path &dir, const std::string &why) {
  const Processor *p = processorOf(dir / "exit-zero");
  if (!p)
    throw Fatal("cannot start " + shown(dir / "exit-zero") + " directly (" + why +
                "), and it is no program of a processor this checker knows: give a runner");
  std::string qemu = where(p->qemu);
  if (qemu.empty())
    throw Fatal(std::string("this host cannot start ") + p->kind + " programs (" + why +
                ") and has no " + p->qemu +
                " on the PATH: install it (Debian, Ubuntu: qemu-user), or give a runner");
  const fs::path loader = p->loader, sysroot = fs::path("/usr") / p->triple;
  if (fs::exists(loader))
    return {qemu};
  if (fs::exists(sysroot / loader.relative_path()))
    return {qemu, "-L", sysroot};
  throw Fatal(std::string("this host cannot start ") + p->kind + " programs (" + why + "), and " +
              p->qemu + " needs their loader " + p->loader + ": install Debian's libc6-" +
              p->debian + "-cross, or give a runner");
}

// Text for XML 1.0 from any bytes: markup escaped, and what XML cannot hold as a C escape.
std::string xml(const std::string &text) {
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '&' || c == '<' || c == '>' || c == '"')
      out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : "&quot;";
    else if (c == '\n' || (byte >= 0x20 && byte < 0x7f))
      out += c;
    else
      out += text::escaped(std::string_view(&c, 1));
  }
  return out;
}

std::string junit(const std::vector<cases::Case> &all,
                  const std::vector<std::optional<Result>> &results, size_t failures,
                  const std::string &how, double seconds) {
  std::ostringstream out;
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites tests=\"" << all.size()
      << "\" failures=\"" << failures << "\" time=\"" << seconds << "\">\n"
      << "  <testsuite name=\"support-programs\" tests=\"" << all.size() << "\" failures=\""
      << failures << "\" errors=\"0\" skipped=\"0\" time=\"" << seconds << "\">\n"
      << "    <properties><property name=\"started\" value=\"" << xml(how) << "\"/></properties>\n";
  for (size_t i = 0; i < all.size(); ++i) {
    out << "    <testcase classname=\"" << all[i].program << "\" name=\"" << xml(all[i].name)
        << "\" time=\"" << results[i]->seconds << "\"";
    if (results[i]->passed())
      out << "/>\n";
    else
      out << ">\n      <failure message=\"" << xml(results[i]->summary) << "\">"
          << xml(results[i]->details) << "</failure>\n    </testcase>\n";
  }
  out << "  </testsuite>\n</testsuites>\n";
  return out.str();
}

// A TAP test line: backslash and '#' in the description escaped, as TAP 14 asks.
std::string tapLine(size_t number, const cases::Case &c, const Result &r) {
  std::string line = (r.passed() ? "ok " : "not ok ") + std::to_string(number) + " - ";
  for (char ch : c.name)
    line += ch == '\\' || ch == '#' ? std::string{'\\', ch} : std::string(1, ch);
  line += "\n";
  if (!r.passed())
    line += "  ---\n  message: " + text::quoted(r.summary) + "\n" + r.details + "  ...\n";
  return line;
}

// Runs every case on `jobs` threads, reporting TAP lines in case order as they finish. Every
// thread is started before the first case, so that one that cannot be had stops the run before
// anything is reported.
std::vector<std::optional<Result>> runAll(const std::vector<cases::Case> &all,
                                          const std::vector<std::string> &runner,
                                          const fs::path &dir, seconds timeout, unsigned jobs,
                                          const std::string &header, bool tap) {
  std::vector<std::optional<Result>> done(all.size());
  std::atomic<size_t> next = 0;
  size_t finished = 0, reported = 0;
  std::mutex lock;
  std::string fatal;
  bool progress = isatty(2);
  std::latch go(1);
  auto stop = [&](const std::string &why) { // with the lock held
    if (fatal.empty())
      fatal = why;
    next = all.size();
  };
  auto work = [&] {
    go.wait();
    for (size_t i; (i = next++) < all.size();) {
      Result result = check(all[i], runner, dir, timeout);
      std::lock_guard guard(lock);
      if (!result.failure.empty()) {
        stop("cannot run case " + std::to_string(i + 1) + ": " + result.failure);
        return;
      }
      done[i] = std::move(result);
      if (progress)
        std::cerr << "\rcase " << ++finished << " of " << all.size() << std::flush;
      try {
        for (; tap && reported < all.size() && done[reported]; ++reported)
          emit(tapLine(reported + 1, all[reported], *done[reported]));
      } catch (const Fatal &error) {
        stop(error.what());
      }
    }
  };
  std::vector<std::jthread> threads;
  try {
    for (unsigned j = 0; j < std::min<size_t>(jobs, all.size()); ++j)
      threads.emplace_back(work);
    if (tap)
      emit(header);
  } catch (const std::system_error &error) {
    stop("cannot start thread " + std::to_string(threads.size() + 1) + " of " +
         std::to_string(jobs) + ": " + error.code().message() + ": give a smaller --jobs");
  } catch (const Fatal &error) {
    stop(error.what());
  }
  go.count_down();
  threads.clear(); // joins them
  if (progress)
    std::cerr << "\r\033[K" << std::flush;
  if (!fatal.empty())
    throw Fatal(reported ? "the report is not whole: " + fatal : fatal);
  return done;
}

// The programs beside the checker, in a build; else the one processor's folder installed beside
// it (libexec/support-programs/<processor>/).
fs::path defaultPrograms(const fs::path &self) {
  if (fs::exists(self / "exit-zero"))
    return self;
  std::vector<std::string> found;
  std::error_code error;
  for (const auto &entry : fs::directory_iterator(self, error))
    if (fs::exists(entry.path() / "exit-zero"))
      found.push_back(entry.path().filename());
  std::sort(found.begin(), found.end());
  if (found.size() == 1)
    return self / found.front();
  std::string names;
  for (const auto &name : found)
    names += (names.empty() ? "" : ", ") + name;
  throw Fatal(found.empty() ? "no programs beside " + shown(self) + ": give --programs their folder"
                            : "the programs of several processors are beside " + shown(self) +
                                  " (" + names + "): give --programs one's folder");
}

// Takes the runner from --runner, or from the words after "--", before CLI11 sees the rest: it
// would take an empty runner, which says "directly", for no value at all.
std::vector<std::string> arguments(int argc, char **argv, std::optional<std::string> &runnerLine,
                                   std::optional<std::vector<std::string>> &runnerWords) {
  std::vector<std::string> options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      runnerWords.emplace(argv + i + 1, argv + argc);
      break;
    }
    if (arg == "--runner" && i + 1 == argc)
      throw Fatal("--runner needs a command line; '' starts the programs directly");
    if (arg == "--runner" || arg.starts_with("--runner=")) {
      if (runnerLine)
        throw Fatal("--runner is given twice");
      runnerLine = arg == "--runner" ? argv[++i] : arg.substr(9);
    } else if (arg.starts_with("--") && arg.ends_with("=") && arg.find('=') == arg.size() - 1) {
      throw Fatal(arg + " has no value");
    } else {
      options.push_back(arg);
    }
  }
  std::reverse(options.begin(), options.end()); // as CLI11 takes them
  return options;
}

int checkAll(int argc, char **argv) {
  CLI::App app{"Starts each case of the cases file, directly or through a runner, and compares "
               "what the program writes and how it ends with what the case expects.\n"
               "The runner is --runner's words, or every word after --, which need no quoting: "
               "support-programs-check -- qemu-i386 -L '/a path'.\n"
               "Exit status: 0 when every case passes, 1 when any fails, 2 for bad use or a "
               "report that is not whole.",
               "support-programs-check"};
  std::optional<std::string> runnerLine;
  std::optional<std::vector<std::string>> runnerWords;
  std::string format = "tap";
  fs::path self = fs::read_symlink("/proc/self/exe");
  fs::path dir = self.parent_path();
  // The cases beside it, in a build; else where the packages install them.
  fs::path casesFile = fs::exists(dir / "cases.jsonl")
                           ? dir / "cases.jsonl"
                           : (dir / CASES_FROM_PROGRAMS).lexically_normal();
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency()), timeout = 60;
  std::optional<std::string> described; // --runner is read before CLI11 sees the options
  app.add_option("--runner", described,
                 "Command line that starts each program, split at white space, e.g. 'qemu-i386 "
                 "-L /usr/i686-linux-gnu'; '' starts them directly (default: directly where this "
                 "host can, else qemu for the processor their ELF header names)");
  std::optional<fs::path> programs;
  app.add_option("--programs", programs,
                 "Folder of the programs to check (default: beside the checker, or the one "
                 "processor's folder installed there)");
  app.add_option("--cases", casesFile, "The cases file")->capture_default_str();
  app.add_option("--format", format, "Report as TAP version 14 or as JUnit XML")
      ->check(CLI::IsMember({"tap", "junit"}))
      ->capture_default_str();
  app.add_option("--jobs", jobs, "Cases run side by side")
      ->check(CLI::Range(1u, 1024u))
      ->capture_default_str();
  app.add_option("--timeout", timeout,
                 "Seconds a case, the first start or the reading of the cases may take")
      ->check(CLI::Range(1u, 86400u))
      ->capture_default_str();
  std::vector<std::string> options = arguments(argc, argv, runnerLine, runnerWords);
  try {
    app.parse(options);
  } catch (const CLI::CallForHelp &help) {
    return app.exit(help);
  } catch (const CLI::ParseError &error) {
    throw Fatal(std::string(error.what()) + " (see --help)");
  }

  if (runnerLine && runnerWords)
    throw Fatal("give the runner either as --runner or after --, not both");
  if (programs)
    dir = *programs;
  else
    dir = defaultPrograms(dir);
  if (!fs::is_directory(dir))
    throw Fatal("no folder " + shown(dir) + ": give --programs the programs' folder");
  for (const char *program : cases::programs)
    if (access((dir / program).c_str(), X_OK) != 0)
      throw Fatal("no program " + shown(dir / program) +
                  " that can be run: give --programs the programs' folder");
  // exit-zero, started once as asked (by default directly, else through qemu), must start.
  std::vector<std::string> runner =
      runnerWords ? *runnerWords : process::words(runnerLine.value_or(""));
  if (!runner.empty() && where(runner[0]).empty()) {
    std::string name = fs::path(runner[0]).filename();
    bool qemu = std::any_of(std::begin(processors::all), std::end(processors::all),
                            [&](const Processor &p) { return name == p.qemu; });
    throw Fatal("the runner " + shown(runner[0]) + " is not found on the PATH or cannot be run" +
                (qemu ? ": install it (Debian, Ubuntu: apt-get install qemu-user)" : ""));
  }
  std::string why = whyNotStarted(runner, dir, seconds(timeout));
  if (!why.empty() && !runnerLine && !runnerWords) {
    runner = qemuRunner(dir, why);
    why = whyNotStarted(runner, dir, seconds(timeout));
  }
  std::string started;
  for (const auto &word : runner)
    started += (started.empty() ? "through " : " ") + shown(word);
  if (started.empty())
    started = "directly";
  if (!why.empty())
    throw Fatal("cannot start " + shown(dir / "exit-zero") + " " + started + ": " + why +
                (runner.empty() && (why.starts_with("not started") ||
                                    why.find("could not be started") != std::string::npos)
                     ? ": give a runner"
                     : ""));
  std::string how = shown(dir) + ", started " + started;
  std::vector<cases::Case> all = cases::read(casesFile, seconds(timeout));

  bool tap = format == "tap";
  auto start = steady_clock::now();
  auto done = runAll(all, runner, dir, seconds(timeout), jobs,
                     "TAP version 14\n# " + how + "\n1.." + std::to_string(all.size()) + "\n", tap);
  size_t failures = std::count_if(done.begin(), done.end(), [](auto &r) { return !r->passed(); });
  double seconds = duration<double>(steady_clock::now() - start).count();
  std::ostringstream summary;
  summary << "# " << all.size() - failures << " of " << all.size() << " passed in " << std::fixed
          << std::setprecision(3) << seconds << " s\n";
  emit(tap ? summary.str() : junit(all, done, failures, how, seconds));
  return failures ? 1 : 0;
}

// The standard streams this process was started without are opened on /dev/null, so that no
// pipe takes their numbers; the report cannot be written where standard output was closed.
bool openStandardStreams() {
  bool outClosed = false;
  for (int fd = 0; fd < 3; ++fd)
    if (fcntl(fd, F_GETFD) < 0) {
      outClosed |= fd == 1;
      if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
        return false;
    }
  return !outClosed;
}

} // namespace

int main(int argc, char **argv) {
  // A report that cannot be written is an error that says so, not the end of this process.
  signal(SIGPIPE, SIG_IGN);
  // Nothing a runner starts outlives the check, even what leaves its process group.
  process::adoptOrphans();
  struct EndOrphans {
    ~EndOrphans() { process::endOrphans(); }
  } endOrphans;
  try {
    if (!openStandardStreams())
      throw Fatal("cannot write the report: standard output is closed");
    return checkAll(argc, argv);
  } catch (const std::exception &error) {
    // One line, whatever bytes came from outside.
    std::string line;
    for (char c : std::string(error.what()))
      line += c >= 0x20 && c < 0x7f ? std::string(1, c) : text::escaped(std::string_view(&c, 1));
    std::cerr << "support-programs-check: " << line << "\n";
    return 2;
  }
}
