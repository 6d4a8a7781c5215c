// Start-up benchmark. For each build of the programs it measures what one start costs, against
// the floor (an empty program linked the same way) and against /bin/true and /bin/echo:
// instructions (callgrind: repeatable on a busy machine), spawn-and-wait latency (Google
// Benchmark, repetitions interleaved at random across the commands) and peak resident memory.
// Every command starts with no environment and standard output on /dev/null. A build whose
// programs this kernel does not start natively (it cannot, or only through an emulator) is not
// measured: timings under an emulator are not start-up figures.
//
// Usage: startup-bench OUT NAME=FLOOR,PROGRAM_DIR... [checker=PATH,RUNNER] [--benchmark_...]
// (checker=...: also times the checker on its own programs, directly and through RUNNER)
// Writes OUT/report.md and Google Benchmark's JSON as OUT/spawn.json.
#include "cases.hpp"
#include "process.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

namespace {

using Argv = std::vector<std::string>;

struct Build {
  std::string name, floor, dir;
  std::string notMeasured; // why, when its programs cannot be measured on this host
};

struct Command {
  std::string name;
  Argv argv;
};

struct Figures {
  std::optional<double> instructions, spawnMicros, peakKiB;
  bool median = false, spawnFailed = false;
  std::set<std::string> why; // what could not be measured, and why
};
std::map<std::string, Figures> figures; // by command name

char *noEnvironment[] = {nullptr};

std::vector<char *> pointers(const Argv &argv) {
  std::vector<char *> result;
  for (const auto &word : argv)
    result.push_back(const_cast<char *>(word.c_str()));
  result.push_back(nullptr);
  return result;
}

// Starts the command with standard output on /dev/null, waits for it and says how it ended: ""
// for status 0, else what went wrong.
std::string startAndWait(const Argv &argv) {
  using process::Stream;
  std::string ending =
      process::ending(process::run(argv, {Stream::Inherited, Stream::DevNull, Stream::Inherited}));
  return ending == "exit 0" ? "" : argv[0] + ": " + ending;
}

// Starts the command traced, stopped at its first instruction and again just before it exits,
// and hands `atStop` the pid and which stop it is. Says what went wrong, or "" when the command
// ran and exited with status 0.
template <typename AtStop> std::string traced(const Argv &argv, int out, AtStop atStop) {
  std::vector<char *> words = pointers(argv);
  int errors[2];
  pipe2(errors, O_CLOEXEC);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out, 1);
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execve(words[0], words.data(), noEnvironment); // stops here, traced
    int error = errno;
    write(errors[1], &error, sizeof error);
    _exit(127);
  }
  close(errors[1]);
  int status = 0, error = 0;
  waitpid(pid, &status, 0);
  bool failed = read(errors[0], &error, sizeof error) == sizeof error;
  close(errors[0]);
  if (failed)
    return argv[0] + " did not start: " + std::strerror(error);
  atStop(pid, false);
  ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT);
  ptrace(PTRACE_CONT, pid, nullptr, nullptr);
  while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
    if (status >> 8 == (SIGTRAP | PTRACE_EVENT_EXIT << 8))
      atStop(pid, true);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
  }
  bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return ok ? "" : argv[0] + " did not exit with status 0";
}

// Why the build's programs cannot be measured here, or "" when the kernel starts them itself.
// Under binfmt_misc the kernel starts an emulator in their place: the process's image is then the
// emulator, not the program.
std::string whyNotMeasured(const Build &build, int out) {
  std::string image = "an image it does not show";
  std::string failure = traced({build.floor}, out, [&](pid_t pid, bool exiting) {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    if (!exiting && !error)
      image = path;
  });
  const std::string emulated = "; timings under an emulator are not start-up figures";
  if (!failure.empty())
    return "this kernel cannot start these programs (" + failure + ")" + emulated;
  if (image != std::filesystem::canonical(build.floor))
    return "this kernel starts these programs through " + image + emulated;
  return "";
}

// Peak resident memory: the high-water mark of the program's own memory, read just before it
// exits. (The child's ru_maxrss would report the parent's, since the child starts as a copy.)
std::optional<double> peakResidentKiB(Figures &f, const Argv &argv, int out) {
  double kib = 0;
  std::string failure = traced(argv, out, [&](pid_t pid, bool exiting) {
    std::ifstream statusFile("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; exiting && std::getline(statusFile, line);)
      if (line.starts_with("VmHWM:"))
        kib = std::stod(line.substr(6));
  });
  if (failure.empty() && kib > 0)
    return kib;
  f.why.insert("peak RSS: " + (failure.empty() ? "no VmHWM at exit" : failure));
  return std::nullopt;
}

std::optional<double> countInstructions(Figures &f, const Argv &argv, const std::string &scratch) {
  if (std::string(VALGRIND).empty()) {
    f.why.insert("instructions: valgrind was not found when this was configured");
    return std::nullopt;
  }
  Argv command = {VALGRIND, "--tool=callgrind", "-q", "--callgrind-out-file=" + scratch};
  command.insert(command.end(), argv.begin(), argv.end());
  std::filesystem::remove(scratch); // never read an earlier command's counts
  if (std::string failure = startAndWait(command); !failure.empty()) {
    f.why.insert("instructions: callgrind on " + argv[0] + ": " + failure);
    return std::nullopt;
  }
  std::ifstream in(scratch);
  for (std::string line; std::getline(in, line);)
    if (line.starts_with("summary: ") || line.starts_with("totals: "))
      return std::stod(line.substr(line.find(' ') + 1));
  f.why.insert("instructions: callgrind wrote no total for " + argv[0]);
  return std::nullopt;
}

// A failed start is recorded here, in the command's figures, rather than read back from the
// reporter's runs: the library renamed the fields that mark a run stopped by an error (1.8).
void spawnAndWait(benchmark::State &state, Figures &f, const Argv &argv) {
  for (auto _ : state) {
    if (std::string failure = startAndWait(argv); !failure.empty()) {
      f.spawnFailed = true;
      f.why.insert("spawn: " + failure);
      state.SkipWithError(failure.c_str());
      break;
    }
  }
}

// Passes everything on to the console and keeps each benchmark's median (or its only run).
class Collector : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      Figures &f = figures[run.run_name.function_name];
      bool median = run.aggregate_name == "median";
      if (f.spawnFailed || (!median && (f.median || run.run_type != Run::RT_Iteration)))
        continue;
      f.median = median;
      f.spawnMicros = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

// The checker and the runner to time it through, given as checker=PATH,RUNNER; and each
// processor's programs, given as processor=NAME,DIR.
std::pair<std::string, std::string> checker;
std::vector<std::pair<std::string, std::string>> processorDirs;

std::vector<Build> parseBuilds(int argc, char **argv, int &firstFlag) {
  std::vector<Build> builds;
  for (firstFlag = 2; firstFlag < argc && !std::string(argv[firstFlag]).starts_with("--");
       ++firstFlag) {
    std::string build = argv[firstFlag];
    if (build.starts_with("processor=")) {
      size_t comma = build.find(',');
      processorDirs.emplace_back(build.substr(10, comma - 10), build.substr(comma + 1));
      continue;
    }
    if (build.starts_with("checker=")) {
      size_t comma = build.find(',');
      checker = {build.substr(8, comma - 8), build.substr(comma + 1)};
      continue;
    }
    size_t equals = build.find('='), comma = build.find(',', equals);
    builds.push_back({build.substr(0, equals), build.substr(equals + 1, comma - equals - 1),
                      build.substr(comma + 1), ""});
  }
  return builds;
}

const Argv small = {"alpha", "beta", "gamma"};
const Argv large(12, std::string(131071, 'x'));

Argv with(std::string program, const Argv &args) {
  Argv argv = {std::move(program)};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// The commands to measure: the system's own, then every build that can be measured here.
std::vector<Command> commandsFor(const std::vector<Build> &builds) {
  std::vector<Command> commands = {{"/bin/true", with("/bin/true", small)},
                                   {"/bin/echo", with("/bin/echo", small)},
                                   {"/bin/echo large", with("/bin/echo", large)}};
  for (const Build &build : builds) {
    if (!build.notMeasured.empty())
      continue;
    commands.push_back({build.name + " floor", with(build.floor, small)});
    for (const char *program : {"print-args", "print-sentence", "exit-zero"})
      commands.push_back({build.name + " " + program, with(build.dir + "/" + program, small)});
    commands.push_back({build.name + " print-args large", with(build.dir + "/print-args", large)});
  }
  return commands;
}

void countAndReadPeaks(const std::vector<Command> &commands, const std::filesystem::path &out,
                       int devNull) {
  std::cerr << "Counting instructions with callgrind and reading peak memory...\n";
  for (const auto &[name, argv] : commands) {
    Figures &f = figures[name];
    f.instructions = countInstructions(f, argv, out / "callgrind.out");
    std::vector<double> peaks; // the median of a few reads: page-cache state makes them vary
    for (int read = 0; read < 11; ++read)
      if (auto peak = peakResidentKiB(f, argv, devNull))
        peaks.push_back(*peak);
    if (peaks.size() == 11) {
      std::nth_element(peaks.begin(), peaks.begin() + 5, peaks.end());
      f.peakKiB = peaks[5];
    }
  }
  std::filesystem::remove(out / "callgrind.out");
}

void timeSpawns(const std::vector<Command> &commands, const std::filesystem::path &out,
                const char *self, const std::vector<std::string> &extraFlags) {
  for (const auto &[name, argv] : commands)
    benchmark::RegisterBenchmark(name.c_str(), spawnAndWait, std::ref(figures[name]), argv)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  std::vector<std::string> flags = {self,
                                    "--benchmark_repetitions=15",
                                    "--benchmark_enable_random_interleaving=true",
                                    "--benchmark_report_aggregates_only=true",
                                    "--benchmark_min_time=0.1",
                                    "--benchmark_out_format=json",
                                    "--benchmark_out=" + (out / "spawn.json").string()};
  flags.insert(flags.end(), extraFlags.begin(), extraFlags.end());
  std::vector<char *> flagPointers = pointers(flags);
  int flagCount = int(flags.size());
  benchmark::Initialize(&flagCount, flagPointers.data());
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
}

// The checker's whole run over its cases, on the configured build's programs, started directly
// and through the runner: the median wall time of five runs.
struct CheckerRun {
  std::string how, cases = "not measured";
  std::optional<double> millis, floor;
  std::string why;
};

// The floor of a checker's run: a bare loop on as many threads that starts the same processes,
// each case as many times, and reads what they write, judging nothing. The median of `rounds`.
std::optional<double> floorRun(const std::string &casesFile, const std::vector<std::string> &runner,
                               const std::filesystem::path &dir, int rounds) {
  std::vector<cases::Case> all;
  try {
    all = cases::read(casesFile, std::chrono::seconds(60));
  } catch (const std::exception &) {
    return std::nullopt;
  }
  std::vector<process::Start> starts;
  for (const auto &c : all)
    for (unsigned i = 0; i < c.repeat; ++i) {
      process::Start start = c.start;
      start.argv = runner;
      start.argv.push_back(dir / c.program);
      start.argv.insert(start.argv.end(), c.args.begin(), c.args.end());
      starts.push_back(std::move(start));
    }
  std::vector<double> times;
  for (int round = 0; round < rounds; ++round) {
    std::atomic<size_t> next = 0;
    auto begin = std::chrono::steady_clock::now();
    {
      std::vector<std::jthread> threads;
      for (unsigned j = 0; j < std::max(1u, std::thread::hardware_concurrency()); ++j)
        threads.emplace_back([&] {
          for (size_t i; (i = next++) < starts.size();)
            process::run(starts[i], {std::chrono::seconds(60)});
        });
    }
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
            .count());
  }
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  return times[times.size() / 2];
}

// One whole run of the checker with `options`, `rounds` times: the median.
CheckerRun timeRun(const std::string &checker, std::vector<std::string> options,
                   const std::string &how, int rounds) {
  CheckerRun run;
  run.how = how;
  options.insert(options.begin(), checker);
  std::vector<double> times;
  for (int round = 0; round < rounds && run.why.empty(); ++round) {
    auto start = std::chrono::steady_clock::now();
    process::Outcome outcome = process::run(options);
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    if (std::string ending = process::ending(outcome); ending != "exit 0")
      run.why = "the checker, started " + run.how + ", ended with " + ending + ": " +
                outcome.err.substr(0, outcome.err.find('\n'));
    if (auto plan = outcome.out.find("\n1.."); plan != std::string::npos)
      run.cases = outcome.out.substr(plan + 4, outcome.out.find('\n', plan + 1) - plan - 4);
    // How the checker chose to start them: its comment line "# DIR, started ...".
    if (auto started = outcome.out.find(", started ");
        how.empty() && started < outcome.out.find("\n1.."))
      run.how = outcome.out.substr(started + 10, outcome.out.find('\n', started) - started - 10);
  }
  if (run.why.empty()) {
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    run.millis = times[times.size() / 2];
  }
  return run;
}

// Each processor's programs, started as the checker decides from their ELF header.
std::vector<std::pair<std::string, CheckerRun>> timeProcessors(const std::string &checker) {
  std::vector<std::pair<std::string, CheckerRun>> runs;
  for (const auto &[name, dir] : processorDirs) {
    std::cerr << "Timing the checker on the " << name << " programs...\n";
    runs.emplace_back(name, timeRun(checker, {"--programs", dir}, "", 3));
  }
  return runs;
}

// The whole set and the cases written by hand alone (the set of 2.0.0), each directly and
// through the runner, each against its floor.
std::vector<CheckerRun> timeChecker(const std::string &checker, const std::string &runner) {
  std::cerr << "Timing the checker...\n";
  std::filesystem::path dir = std::filesystem::path(checker).parent_path();
  std::vector<CheckerRun> runs;
  for (const char *set : {CASES, WRITTEN_CASES})
    for (const std::string &words : {std::string(), runner}) {
      std::string how = words.empty() ? "directly" : "through " + words;
      if (std::string(set) == WRITTEN_CASES)
        how += ", the cases written by hand";
      CheckerRun run = timeRun(checker, {"--runner", words, "--cases", set}, how, 5);
      run.floor = floorRun(set, process::words(words), dir, 5);
      runs.push_back(run);
    }
  return runs;
}

std::string fixed(std::optional<double> value, int decimals) {
  if (!value)
    return "not measured";
  std::ostringstream text;
  text.setf(std::ios::fixed);
  text.precision(decimals);
  text << *value;
  return text.str();
}

std::optional<double> ratio(std::optional<double> value, std::optional<double> floor) {
  if (!value || !floor || *floor == 0)
    return std::nullopt;
  return *value / *floor;
}

std::string times(std::optional<double> value) {
  return value ? fixed(value, 3) + "x" : "not measured";
}

std::string machine() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string model = "unknown processor";
  for (std::string line; std::getline(cpuinfo, line);)
    if (line.starts_with("model name")) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  utsname system{};
  uname(&system);
  return model + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " +
         system.sysname + " " + system.release + " " + system.machine;
}

// The targets the programs are held to. A target whose figure was not measured is not met.
std::vector<std::string> targets(const std::vector<Build> &builds,
                                 const std::vector<CheckerRun> &checks) {
  std::vector<std::string> rows;
  auto target = [&](const std::string &what, const std::string &figure, std::optional<bool> met) {
    rows.push_back("| " + what + " | " + figure + " | " +
                   (!met   ? "not measured"
                    : *met ? "met"
                           : "missed") +
                   " |");
  };
  auto within = [](std::optional<double> value, double limit) -> std::optional<bool> {
    return value ? std::optional(*value <= limit) : std::nullopt;
  };
  for (const Build &build : builds) {
    const Figures &floor = figures[build.name + " floor"];
    for (std::string program : {"print-args", "print-sentence", "exit-zero"}) {
      const Figures &f = figures[build.name + " " + program];
      std::string what = build.name + " " + program;
      if (build.name != "native") { // the configured processor's build
        auto instructions = ratio(f.instructions, floor.instructions);
        auto spawn = ratio(f.spawnMicros, floor.spawnMicros);
        target(what + ": instructions at most 1.05x the floor", times(instructions),
               within(instructions, 1.05));
        target(what + ": spawn median within 5% of the floor", times(spawn), within(spawn, 1.05));
      }
      std::string peer = program == "exit-zero" ? "/bin/true" : "/bin/echo";
      if (build.name == "native" && program != "print-sentence") {
        auto mine = f.instructions, theirs = figures[peer].instructions;
        target(what + ": fewer instructions than " + peer,
               fixed(mine, 0) + " vs " + fixed(theirs, 0),
               mine && theirs ? std::optional(*mine < *theirs) : std::nullopt);
      }
    }
  }
  if (checks.size() >= 2) {
    std::optional<double> direct = checks[0].millis, through = checks[1].millis;
    target("checker: every case, started directly, in under 1 s", fixed(direct, 1) + " ms",
           within(direct, 1000));
    auto overFloor = ratio(direct, checks[0].floor);
    target("checker: every case, started directly, within 1.25x the floor", times(overFloor),
           within(overFloor, 1.25));
    target("checker: every case, " + checks[1].how + ", in under 3 s", fixed(through, 1) + " ms",
           within(through, 3000));
  }
  return rows;
}

void writeReport(const std::filesystem::path &file, const std::vector<Build> &builds,
                 const std::vector<CheckerRun> &checks,
                 const std::vector<std::pair<std::string, CheckerRun>> &processors) {
  std::ofstream report(file);
  std::time_t now = std::time(nullptr);
  char today[16];
  std::strftime(today, sizeof today, "%Y-%m-%d", std::gmtime(&now));
  report << "# Start-up benchmark\n\n"
         << "Machine: " << machine() << ". Compiler: " << COMPILER << ". Date: " << today << ".\n\n"
         << "Every command gets three short arguments (`alpha beta gamma`), no environment and "
            "standard output on `/dev/null`. Instructions per start are counted by callgrind; "
            "spawn is a start (`vfork` and `execve`) plus wait, the median of interleaved "
            "repetitions; peak RSS "
            "is the started program's own high-water mark (`VmHWM` just before it exits). Ratios "
            "are to the floor: an empty `main` linked exactly as the programs are.\n";
  auto explain = [&](const std::set<std::string> &why) {
    if (!why.empty())
      report << "\nNot measured:\n";
    for (const auto &reason : why)
      report << "- " << reason << "\n";
  };
  for (const Build &build : builds) {
    report << "\n## " << build.name << " build\n";
    if (!build.notMeasured.empty()) {
      explain({build.notMeasured});
      continue;
    }
    report << "\n| command | instructions | ratio | spawn (µs) | ratio | peak RSS (KiB) | ratio |\n"
           << "|---|---:|---:|---:|---:|---:|---:|\n";
    const Figures &floor = figures[build.name + " floor"];
    std::set<std::string> why;
    for (std::string row :
         {"floor", "print-args", "print-sentence", "exit-zero", "/bin/true", "/bin/echo"}) {
      const Figures &f = figures[row.starts_with("/") ? row : build.name + " " + row];
      why.insert(f.why.begin(), f.why.end());
      report << "| " << row << " | " << fixed(f.instructions, 0) << " | "
             << times(ratio(f.instructions, floor.instructions)) << " | " << fixed(f.spawnMicros, 1)
             << " | " << times(ratio(f.spawnMicros, floor.spawnMicros)) << " | "
             << fixed(f.peakKiB, 0) << " | " << times(ratio(f.peakKiB, floor.peakKiB)) << " |\n";
    }
    explain(why);
  }
  report << "\n## Large vector: 12 arguments of 128 KiB (1.5 MiB)\n\n"
         << "| command | instructions | spawn (µs) | peak RSS (KiB) |\n|---|---:|---:|---:|\n";
  std::vector<std::string> largeRows = {"/bin/echo"};
  for (const Build &build : builds)
    largeRows.push_back(build.name + " print-args");
  std::set<std::string> why;
  for (const auto &row : largeRows) {
    const Figures &f = figures[row + " large"];
    why.insert(f.why.begin(), f.why.end());
    report << "| " << row << " | " << fixed(f.instructions, 0) << " | " << fixed(f.spawnMicros, 1)
           << " | " << fixed(f.peakKiB, 0) << " |\n";
  }
  explain(why);
  report
      << "\n## Checker: every case of its cases file\n\n"
      << "Wall time of one whole run of the checker on the configured build's programs, "
         "cases side by side on "
      << std::thread::hardware_concurrency()
      << " jobs, the median of five runs; and the floor, a bare loop on as many threads that "
         "starts the same processes and reads their output, judging nothing.\n\n"
         "| started | cases | wall time (ms) | floor (ms) | ratio |\n|---|---:|---:|---:|---:|\n";
  std::set<std::string> notTimed;
  for (const CheckerRun &run : checks) {
    report << "| " << run.how << " | " << run.cases << " | " << fixed(run.millis, 1) << " | "
           << fixed(run.floor, 1) << " | " << times(ratio(run.millis, run.floor)) << " |\n";
    if (!run.why.empty())
      notTimed.insert(run.why);
  }
  explain(notTimed);
  if (!processors.empty()) {
    report << "\n## Checker: every processor\n\n"
           << "Wall time of one whole run of the checker on each processor's programs, started as "
              "it decides from their ELF header, the median of three runs; and the programs' "
              "sizes.\n\n| processor | started | cases | wall time (ms) | print-args, "
              "print-sentence, exit-zero (bytes) |\n|---|---|---:|---:|---|\n";
    std::set<std::string> failed;
    for (const auto &[name, run] : processors) {
      std::string sizes;
      const std::string &dir =
          std::find_if(processorDirs.begin(), processorDirs.end(), [&](auto &p) {
            return p.first == name;
          })->second;
      for (const char *program : {"print-args", "print-sentence", "exit-zero"}) {
        std::error_code error;
        auto size = std::filesystem::file_size(std::filesystem::path(dir) / program, error);
        sizes += (sizes.empty() ? "" : ", ") + (error ? "?" : std::to_string(size));
      }
      report << "| " << name << " | " << run.how << " | " << run.cases << " | "
             << fixed(run.millis, 1) << " | " << sizes << " |\n";
      if (!run.why.empty())
        failed.insert(run.why);
    }
    explain(failed);
  }
  report << "\n## Targets\n\n| target | figure | result |\n|---|---|---|\n";
  for (const auto &row : targets(builds, checks))
    report << row << "\n";
}

} // namespace

int main(int argc, char **argv) {
  int firstFlag = 0;
  std::vector<Build> builds = parseBuilds(argc, argv, firstFlag);
  if (argc < 3 || builds.empty()) {
    std::cerr << "usage: " << argv[0]
              << " OUT NAME=FLOOR,PROGRAM_DIR... [checker=PATH,RUNNER] [--benchmark_...]\n";
    return 2;
  }
  std::filesystem::path out = argv[1];
  std::filesystem::create_directories(out);
  int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);

  for (Build &build : builds)
    if (!(build.notMeasured = whyNotMeasured(build, devNull)).empty())
      std::cerr << build.name << " build not measured: " << build.notMeasured << "\n";
  std::vector<Command> commands = commandsFor(builds);
  countAndReadPeaks(commands, out, devNull);
  timeSpawns(commands, out, argv[0], {argv + firstFlag, argv + argc});
  std::vector<CheckerRun> checks;
  if (!checker.first.empty())
    checks = timeChecker(checker.first, checker.second);
  std::vector<std::pair<std::string, CheckerRun>> processors;
  if (!checker.first.empty())
    processors = timeProcessors(checker.first);
  writeReport(out / "report.md", builds, checks, processors);
  std::cout << "\nReport: " << (out / "report.md").string() << "\n";
  return 0;
}
