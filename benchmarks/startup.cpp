// The programs' start-up: for each build, what one start costs against the floor (an empty
// program linked the same way) and against /bin/true and /bin/echo: instructions (callgrind:
// repeatable on a busy machine), spawn-and-wait latency (Google Benchmark, repetitions
// interleaved at random across the commands) and peak resident memory. Every command starts
// with no environment and standard output on /dev/null. A build whose programs this kernel does
// not start natively (it cannot, or only through an emulator) is not measured: timings under an
// emulator are not start-up figures.
#include "bench.hpp"

#include "process.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

namespace bench {

std::map<std::string, Figures> figures;

static char *noEnvironment[] = {nullptr};

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

} // namespace bench
