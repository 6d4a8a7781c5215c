// support-programs-check: starts every case of the cases file as a process of its own, through
// a runner (an emulator, a loader, a sandbox) or directly, and compares what each writes and how
// it ends with what the case expects. Reports TAP version 14, or JUnit XML. Exit status: 0 when
// every case passes, 1 when any fails, 2 for bad use.
#include "cases.hpp"
#include "process.hpp"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

struct BadUse : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Result {
  std::string summary, details; // both empty when the case passed
  double seconds = 0;
  bool passed() const { return summary.empty(); }
};

// Bytes as the body of a double-quoted YAML string, printable ASCII only.
std::string escaped(std::string_view bytes) {
  std::string out = "\"";
  const char hex[] = "0123456789abcdef";
  for (unsigned char byte : bytes) {
    if (byte == '"' || byte == '\\')
      out += {'\\', char(byte)};
    else if (byte == '\n')
      out += "\\n";
    else if (byte == '\t')
      out += "\\t";
    else if (byte >= 0x20 && byte < 0x7f)
      out += char(byte);
    else
      out += {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
  }
  return out + "\"";
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
       << escaped(std::string_view(expected).substr(std::min(from, expected.size()), length))
       << "\n    actual: "
       << escaped(std::string_view(actual).substr(std::min(from, actual.size()), length)) << "\n";
  result.details += yaml.str();
  result.summary += std::string(result.summary.empty() ? "" : "; ") + stream +
                    " differs from byte " + std::to_string(at);
}

Result check(const cases::Case &c, const std::vector<std::string> &runner, const fs::path &dir,
             milliseconds timeout) {
  std::vector<std::string> argv = runner;
  argv.push_back(dir / c.program);
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  auto start = steady_clock::now();
  process::Outcome outcome = process::run(argv, c.streams, timeout);
  Result result;
  result.seconds = duration<double>(steady_clock::now() - start).count();
  std::string ending = process::ending(outcome);
  if (outcome.timedOut)
    ending += " after " + std::to_string(timeout.count() / 1000) + " s";
  if (ending != c.ending) {
    result.details +=
        "  ending:\n    expected: " + escaped(c.ending) + "\n    actual: " + escaped(ending) + "\n";
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

// Starts a command with every standard stream on /dev/null and says why it could not be started,
// or "" when it could. Status 127 says so too: it is what a child that failed to start the
// command reports where the failure cannot reach the parent (under qemu-user, for one).
std::string whyNotStarted(const std::vector<std::string> &argv) {
  using process::Stream;
  process::Outcome outcome =
      process::run(argv, {Stream::DevNull, Stream::DevNull, Stream::DevNull});
  if (outcome.notStarted.empty() && process::ending(outcome) == "exit 127")
    return "it ended with status 127, that of a command that could not be started";
  return outcome.notStarted;
}

// Where this host cannot start the programs itself (`notStarted` says why), qemu for their
// processor, given the loader from Debian's cross sysroot where the host has none: as the
// installed package decides.
std::vector<std::string> qemuRunner(const std::string &notStarted) {
  std::string qemu = where("qemu-" PROGRAMS_PROCESSOR);
  if (qemu.empty())
    throw BadUse(std::string("this host cannot start ") + PROGRAMS_KIND + " programs (" +
                 notStarted +
                 ") and has no qemu-" PROGRAMS_PROCESSOR
                 " on the PATH: install it (Debian, Ubuntu: qemu-user), or give --runner");
  const fs::path loader = PROGRAMS_LOADER, sysroot = "/usr/" PROGRAMS_TRIPLE;
  if (!loader.empty() && !fs::exists(loader) && fs::exists(sysroot / loader.relative_path()))
    return {qemu, "-L", sysroot};
  return {qemu};
}

std::string xml(const std::string &text) {
  std::string out;
  for (char c : text)
    out += c == '&'   ? "&amp;"
           : c == '<' ? "&lt;"
           : c == '>' ? "&gt;"
           : c == '"' ? "&quot;"
                      : std::string(1, c);
  return out;
}

void junit(const std::vector<cases::Case> &all, const std::vector<std::optional<Result>> &results,
           size_t failures, const std::string &how, double seconds) {
  std::cout << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites tests=\"" << all.size()
            << "\" failures=\"" << failures << "\" time=\"" << seconds << "\">\n"
            << "  <testsuite name=\"support-programs\" tests=\"" << all.size() << "\" failures=\""
            << failures << "\" errors=\"0\" skipped=\"0\" time=\"" << seconds << "\">\n"
            << "    <properties><property name=\"started\" value=\"" << xml(how)
            << "\"/></properties>\n";
  for (size_t i = 0; i < all.size(); ++i) {
    std::cout << "    <testcase classname=\"" << all[i].program << "\" name=\"" << xml(all[i].name)
              << "\" time=\"" << results[i]->seconds << "\"";
    if (results[i]->passed())
      std::cout << "/>\n";
    else
      std::cout << ">\n      <failure message=\"" << xml(results[i]->summary) << "\">"
                << xml(results[i]->details) << "</failure>\n    </testcase>\n";
  }
  std::cout << "  </testsuite>\n</testsuites>\n";
}

int checkAll(int argc, char **argv) {
  CLI::App app{"Starts each case of the cases file, directly or through a runner, and compares "
               "what the program writes and how it ends with what the case expects.\n"
               "Exit status: 0 when every case passes, 1 when any fails, 2 for bad use.",
               "support-programs-check"};
  std::optional<std::string> runnerLine;
  std::string format = "tap";
  fs::path self = fs::read_symlink("/proc/self/exe");
  fs::path dir = self.parent_path();
  // The cases beside it, in a build; else where the packages install them.
  fs::path casesFile = fs::exists(dir / "cases.jsonl")
                           ? dir / "cases.jsonl"
                           : (dir / CASES_FROM_PROGRAMS).lexically_normal();
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency()), timeout = 60;
  app.add_option("--runner", runnerLine,
                 "Command line that starts each program, e.g. 'qemu-i386 -L /usr/i686-linux-gnu'; "
                 "'' starts them directly (default: directly where this host can, else "
                 "qemu-" PROGRAMS_PROCESSOR ")");
  app.add_option("--programs", dir, "Folder of the programs to check")->capture_default_str();
  app.add_option("--cases", casesFile, "The cases file")->capture_default_str();
  app.add_option("--format", format, "Report as TAP version 14 or as JUnit XML")
      ->check(CLI::IsMember({"tap", "junit"}))
      ->capture_default_str();
  app.add_option("--jobs", jobs, "Cases run side by side")
      ->check(CLI::Range(1u, 1024u))
      ->capture_default_str();
  app.add_option("--timeout", timeout, "Seconds a case may run before it is killed and fails")
      ->check(CLI::Range(1u, 86400u))
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &help) {
    return app.exit(help);
  } catch (const CLI::ParseError &error) {
    std::cerr << "support-programs-check: " << error.what() << " (see --help)\n";
    return 2;
  }

  std::vector<cases::Case> all;
  std::vector<std::string> runner;
  std::string how;
  try {
    if (!fs::is_directory(dir))
      throw BadUse("no folder " + dir.string() + ": give --programs the programs' folder");
    for (const char *program : cases::programs)
      if (access((dir / program).c_str(), X_OK) != 0)
        throw BadUse("no program " + (dir / program).string() +
                     " that can be run: give --programs the programs' folder");
    // exit-zero, started once as asked (by default directly, else through qemu), must start.
    if (runnerLine)
      runner = process::words(*runnerLine);
    if (!runner.empty() && where(runner[0]).empty())
      throw BadUse("the runner " + runner[0] + " is not found on the PATH or cannot be run");
    std::vector<std::string> probe = runner;
    probe.push_back(dir / "exit-zero");
    std::string why = whyNotStarted(probe);
    if (!why.empty() && !runnerLine) {
      runner = qemuRunner(why);
      probe.insert(probe.begin(), runner.begin(), runner.end());
      why = whyNotStarted(probe);
    }
    if (!why.empty())
      throw BadUse("cannot start " + probe.back() +
                   (runner.empty() ? " directly" : " through " + runner[0]) + ": " + why +
                   (runner.empty() ? ": give --runner, e.g. qemu-" PROGRAMS_PROCESSOR : ""));
    all = cases::read(casesFile);
  } catch (const std::runtime_error &error) {
    std::cerr << "support-programs-check: " << error.what() << "\n";
    return 2;
  }
  for (const auto &word : runner)
    how += (how.empty() ? "through " : " ") + word;
  how = dir.string() + ", started " + (how.empty() ? "directly" : how);

  bool tap = format == "tap", progress = isatty(2);
  if (tap)
    std::cout << "TAP version 14\n# " << how << "\n1.." << all.size() << std::endl;
  std::vector<std::optional<Result>> done(all.size());
  std::atomic<size_t> next = 0;
  size_t finished = 0, reported = 0;
  std::mutex lock;
  auto start = steady_clock::now();
  auto work = [&] {
    for (size_t i; (i = next++) < all.size();) {
      Result result = check(all[i], runner, dir, seconds(timeout));
      std::lock_guard guard(lock);
      done[i] = std::move(result);
      if (progress)
        std::cerr << "\rcase " << ++finished << " of " << all.size() << std::flush;
      for (; tap && reported < all.size() && done[reported]; ++reported) {
        const Result &r = *done[reported];
        std::cout << (r.passed() ? "ok " : "not ok ") << reported + 1 << " - " << all[reported].name
                  << "\n";
        if (!r.passed())
          std::cout << "  ---\n  message: " << escaped(r.summary) << "\n" << r.details << "  ...\n";
        std::cout << std::flush;
      }
    }
  };
  std::vector<std::jthread> threads;
  for (unsigned j = 0; j < std::min<size_t>(jobs, all.size()); ++j)
    threads.emplace_back(work);
  threads.clear(); // joins them
  if (progress)
    std::cerr << "\r\033[K" << std::flush;
  size_t failures = std::count_if(done.begin(), done.end(), [](auto &r) { return !r->passed(); });
  double seconds = duration<double>(steady_clock::now() - start).count();
  if (tap)
    std::cout << "# " << all.size() - failures << " of " << all.size() << " passed in "
              << std::fixed << std::setprecision(3) << seconds << " s\n";
  else
    junit(all, done, failures, how, seconds);
  return failures ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) { return checkAll(argc, argv); }
