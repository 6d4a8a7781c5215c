// The benchmark's report: every figure, each target met, missed or not measured.
#include "bench.hpp"

#include "process.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

namespace bench {

std::string fixed(std::optional<double> value, int decimals) {
  if (!value)
    return "not measured";
  std::ostringstream text;
  text.setf(std::ios::fixed);
  text.precision(decimals);
  text << *value;
  return text.str();
}

// The figure and its unit; "not measured" alone where there is none.
std::string inUnits(std::optional<double> value, int decimals, const std::string &unit) {
  return value ? fixed(value, decimals) + " " + unit : fixed(value, decimals);
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
                                 const std::vector<CheckerRun> &checks,
                                 const std::optional<ListRun> &list) {
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
    target("checker: every case, started directly, in under 1 s", inUnits(direct, 1, "ms"),
           within(direct, 1000));
    auto overFloor = ratio(direct, checks[0].floor);
    target("checker: every case, started directly, within 1.1x the floor", times(overFloor),
           within(overFloor, 1.1));
    auto throughFloor = ratio(through, checks[1].floor);
    target("checker: every case, " + checks[1].how + ", within 1.05x the floor",
           times(throughFloor), within(throughFloor, 1.05));
    target("checker: every case, " + checks[1].how + ", in under 3 s", inUnits(through, 1, "ms"),
           within(through, 3000));
  }
  if (list) {
    target("checker: --list in under 50 ms", inUnits(list->millis, 1, "ms"),
           within(list->millis, 50));
    target("checker: --list within 20 MiB", inUnits(list->peakKiB, 0, "KiB"),
           within(list->peakKiB, 20 * 1024));
  }
  return rows;
}

void writeReport(const std::filesystem::path &file, const std::vector<Build> &builds,
                 const std::vector<CheckerRun> &checks, const std::optional<ListRun> &list,
                 const std::vector<std::pair<std::string, CheckerRun>> &processors,
                 const std::vector<std::pair<std::string, std::string>> &processorDirs) {
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
      << std::thread::hardware_concurrency() << " jobs, " << medianOf(5)
      << "; and the floor, a bare loop on as many threads that starts the same processes as the "
         "checker does (each in an empty working folder of its own, under the name its case gives "
         "the program) and reads their output, judging nothing. A run in which cases failed (a "
         "runner's own faults, such as qemu's) ran every case and is timed too: the cases column "
         "says how many failed. A figure taken while other processes took more than a tenth of "
         "the machine's processors is not measured: it would time them too.\n\n"
         "| started | cases | wall time (ms) | floor (ms) | ratio |\n|---|---:|---:|---:|---:|\n";
  std::set<std::string> notTimed;
  for (const CheckerRun &run : checks) {
    report << "| " << run.how << " | " << run.cases << " | " << fixed(run.millis, 1) << " | "
           << fixed(run.floor, 1) << " | " << times(ratio(run.millis, run.floor)) << " |\n";
    if (!run.why.empty())
      notTimed.insert(run.why);
    if (!run.floorWhy.empty())
      notTimed.insert(run.floorWhy);
  }
  explain(notTimed);
  if (list) {
    report << "\n## Checker: reading its cases\n\n"
              "The checker listing every case (--list), which reads and checks the whole cases "
              "file and starts nothing: its wall time, "
           << medianOf(5)
           << ", and its peak resident "
              "memory.\n\n| wall time (ms) | peak memory (KiB) |\n|---:|---:|\n"
           << "| " << fixed(list->millis, 1) << " | " << fixed(list->peakKiB, 0) << " |\n";
    if (!list->why.empty())
      explain({list->why});
  }
  if (!processors.empty()) {
    report << "\n## Checker: every processor\n\n"
           << "Wall time of one whole run of the checker on each processor's programs, started as "
              "it decides from their ELF header, "
           << medianOf(3)
           << "; and the programs' "
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
  for (const auto &row : targets(builds, checks, list))
    report << row << "\n";
}

} // namespace bench
