// Start-up benchmark. For each build of the programs it measures what one start costs, against
// the floor (an empty program linked the same way) and against /bin/true and /bin/echo:
// instructions (callgrind: repeatable on a busy machine), spawn-and-wait latency (Google
// Benchmark, repetitions interleaved at random across the commands) and peak resident memory.
// Every command starts with no environment and standard output on /dev/null.
//
// Usage: startup-bench OUT NAME=FLOOR,PROGRAM_DIR... [--benchmark_... flags]
// Writes OUT/report.md and Google Benchmark's JSON as OUT/spawn.json.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

namespace {

using Argv = std::vector<std::string>;

struct Figures {
  double instructions = 0, spawnMicros = 0, peakKiB = 0; // 0: not measured
  bool median = false;
};
std::map<std::string, Figures> figures; // by benchmark name

char *noEnvironment[] = {nullptr};

std::vector<char *> pointers(const Argv &argv) {
  std::vector<char *> result;
  for (const auto &word : argv)
    result.push_back(const_cast<char *>(word.c_str()));
  result.push_back(nullptr);
  return result;
}

// Starts the command with standard output on `out` and waits for it; false if it did not start.
bool startAndWait(const Argv &argv, int out) {
  std::vector<char *> words = pointers(argv);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  pid_t pid;
  int status = 0;
  bool started = posix_spawn(&pid, words[0], &actions, nullptr, words.data(), noEnvironment) == 0;
  posix_spawn_file_actions_destroy(&actions);
  return started && waitpid(pid, &status, 0) == pid;
}

double countInstructions(const Argv &argv, const std::string &scratch, int out) {
  if (std::string(VALGRIND).empty())
    return 0;
  Argv command = {VALGRIND, "--tool=callgrind", "-q", "--callgrind-out-file=" + scratch};
  command.insert(command.end(), argv.begin(), argv.end());
  if (!startAndWait(command, out))
    return 0;
  std::ifstream in(scratch);
  for (std::string line; std::getline(in, line);)
    if (line.starts_with("summary: ") || line.starts_with("totals: "))
      return std::stod(line.substr(line.find(' ') + 1));
  return 0;
}

// The high-water mark of the started program's own memory, read just before it exits. (The
// child's ru_maxrss would report the parent's, since the child starts as a copy of it.)
double peakResidentKiB(const Argv &argv, int out) {
  std::vector<char *> words = pointers(argv);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out, 1);
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execve(words[0], words.data(), noEnvironment); // stops here, traced
    _exit(127);
  }
  double kib = 0;
  int status = 0;
  waitpid(pid, &status, 0);
  ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT);
  ptrace(PTRACE_CONT, pid, nullptr, nullptr);
  while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
    if (status >> 8 == (SIGTRAP | PTRACE_EVENT_EXIT << 8)) {
      std::ifstream statusFile("/proc/" + std::to_string(pid) + "/status");
      for (std::string line; std::getline(statusFile, line);)
        if (line.starts_with("VmHWM:"))
          kib = std::stod(line.substr(6));
    }
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
  }
  return kib;
}

void spawnAndWait(benchmark::State &state, const Argv &argv, int out) {
  for (auto _ : state) {
    if (!startAndWait(argv, out)) {
      state.SkipWithError(("cannot start " + argv[0]).c_str());
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
      if (run.error_occurred || (!median && (f.median || run.run_type != Run::RT_Iteration)))
        continue;
      f.median = median;
      f.spawnMicros = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

std::string fixed(double value, int decimals) {
  if (value == 0)
    return "n/a";
  std::ostringstream text;
  text.setf(std::ios::fixed);
  text.precision(decimals);
  text << value;
  return text.str();
}

std::string ratio(double value, double floor) {
  return value && floor ? fixed(value / floor, 3) + "x" : "n/a";
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

} // namespace

int main(int argc, char **argv) {
  std::vector<std::pair<std::string, std::string>> builds; // name, "FLOOR,DIR"
  int first = 2;
  for (; first < argc && !std::string(argv[first]).starts_with("--"); ++first) {
    std::string build = argv[first];
    builds.emplace_back(build.substr(0, build.find('=')), build.substr(build.find('=') + 1));
  }
  if (argc < 3 || builds.empty()) {
    std::cerr << "usage: " << argv[0] << " OUT NAME=FLOOR,PROGRAM_DIR... [--benchmark_...]\n";
    return 2;
  }
  std::filesystem::path out = argv[1];
  std::filesystem::create_directories(out);
  int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);

  const Argv small = {"alpha", "beta", "gamma"};
  const Argv large(12, std::string(131071, 'x'));
  auto with = [](std::string program, const Argv &args) {
    Argv argv = {std::move(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  };
  std::vector<std::pair<std::string, Argv>> commands = {
      {"/bin/true", with("/bin/true", small)},
      {"/bin/echo", with("/bin/echo", small)},
      {"/bin/echo large", with("/bin/echo", large)}};
  for (const auto &[name, paths] : builds) {
    std::string floor = paths.substr(0, paths.find(',')), dir = paths.substr(paths.find(',') + 1);
    commands.push_back({name + " floor", with(floor, small)});
    for (const char *program : {"print-args", "print-sentence", "exit-zero"})
      commands.push_back({name + " " + program, with(dir + "/" + program, small)});
    commands.push_back({name + " print-args large", with(dir + "/print-args", large)});
  }

  std::cerr << "Counting instructions with callgrind and reading peak memory...\n";
  for (const auto &[name, command] : commands) {
    figures[name].instructions = countInstructions(command, out / "callgrind.out", devNull);
    std::vector<double> peaks; // the median of a few reads: page-cache state makes them vary
    for (int read = 0; read < 11; ++read)
      peaks.push_back(peakResidentKiB(command, devNull));
    std::nth_element(peaks.begin(), peaks.begin() + 5, peaks.end());
    figures[name].peakKiB = peaks[5];
    benchmark::RegisterBenchmark(name.c_str(), spawnAndWait, command, devNull)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
  std::filesystem::remove(out / "callgrind.out");

  std::vector<std::string> flags = {argv[0],
                                    "--benchmark_repetitions=15",
                                    "--benchmark_enable_random_interleaving=true",
                                    "--benchmark_report_aggregates_only=true",
                                    "--benchmark_min_time=0.1",
                                    "--benchmark_out_format=json",
                                    "--benchmark_out=" + (out / "spawn.json").string()};
  flags.insert(flags.end(), argv + first, argv + argc);
  std::vector<char *> flagPointers = pointers(flags);
  int flagCount = int(flags.size());
  benchmark::Initialize(&flagCount, flagPointers.data());
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  std::ofstream report(out / "report.md");
  std::time_t now = std::time(nullptr);
  char today[16];
  std::strftime(today, sizeof today, "%Y-%m-%d", std::gmtime(&now));
  report << "# Start-up benchmark\n\n"
         << "Machine: " << machine() << ". Compiler: " << COMPILER << ". Date: " << today << ".\n\n"
         << "Every command gets three short arguments (`alpha beta gamma`), no environment and "
            "standard output on `/dev/null`. Instructions per start are counted by callgrind; "
            "spawn is `posix_spawn` plus wait, the median of interleaved repetitions; peak RSS "
            "is the started program's own high-water mark (`VmHWM` just before it exits). Ratios "
            "are to the floor: an empty `main` linked exactly as the programs are.\n";
  std::vector<std::string> targets;
  auto target = [&](const std::string &what, const std::string &figure, bool met) {
    targets.push_back("| " + what + " | " + figure + " | " + (met ? "met" : "missed") + " |");
  };
  for (const auto &[name, paths] : builds) {
    const Figures &floor = figures[name + " floor"];
    report << "\n## " << name << " build\n\n"
           << "| command | instructions | ratio | spawn (µs) | ratio | peak RSS (KiB) | ratio |\n"
           << "|---|---:|---:|---:|---:|---:|---:|\n";
    for (std::string row :
         {"floor", "print-args", "print-sentence", "exit-zero", "/bin/true", "/bin/echo"}) {
      const Figures &f = figures[row.starts_with("/") ? row : name + " " + row];
      report << "| " << row << " | " << fixed(f.instructions, 0) << " | "
             << ratio(f.instructions, floor.instructions) << " | " << fixed(f.spawnMicros, 1)
             << " | " << ratio(f.spawnMicros, floor.spawnMicros) << " | " << fixed(f.peakKiB, 0)
             << " | " << ratio(f.peakKiB, floor.peakKiB) << " |\n";
      if (name == "i386" && !row.starts_with("/") && row != "floor") {
        target("i386 " + row + ": instructions at most 1.05x the floor",
               ratio(f.instructions, floor.instructions),
               f.instructions <= 1.05 * floor.instructions);
        target("i386 " + row + ": spawn median within 5% of the floor",
               ratio(f.spawnMicros, floor.spawnMicros), f.spawnMicros <= 1.05 * floor.spawnMicros);
      }
    }
    if (name == "native")
      for (auto [program, peer] :
           {std::pair{"exit-zero", "/bin/true"}, {"print-args", "/bin/echo"}}) {
        double mine = figures[name + " " + program].instructions,
               theirs = figures[peer].instructions;
        target("native " + std::string(program) + ": fewer instructions than " + peer,
               fixed(mine, 0) + " vs " + fixed(theirs, 0), mine && mine < theirs);
      }
  }
  report << "\n## Large vector: 12 arguments of 128 KiB (1.5 MiB)\n\n"
         << "| command | instructions | spawn (µs) | peak RSS (KiB) |\n|---|---:|---:|---:|\n";
  std::vector<std::string> largeRows = {"/bin/echo large"};
  for (const auto &build : builds)
    largeRows.push_back(build.first + " print-args large");
  for (const auto &name : largeRows) {
    const Figures &f = figures[name];
    report << "| " << name.substr(0, name.size() - 6) << " | " << fixed(f.instructions, 0) << " | "
           << fixed(f.spawnMicros, 1) << " | " << fixed(f.peakKiB, 0) << " |\n";
  }
  report << "\n## Targets\n\n| target | figure | result |\n|---|---|---|\n";
  for (const auto &line : targets)
    report << line << "\n";
  std::cout << "\nReport: " << (out / "report.md").string() << "\n";
  return 0;
}
