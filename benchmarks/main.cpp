// Start-up benchmark: the programs' start against the floor and the system's own, and the
// checker's whole run over its cases. Prints what it measures and writes OUT/report.md, with
// Google Benchmark's JSON as OUT/spawn.json. A figure that cannot be measured here is reported
// as not measured, with why.
//
// Usage: startup-bench --out OUT --build NAME=FLOOR,PROGRAM_DIR... [--checker PATH [--runner
//        'WORDS'] [--processor NAME=DIR...]] [--benchmark_...]
#include "bench.hpp"

#include <CLI/CLI.hpp>

#include <fcntl.h>

#include <iostream>

namespace {

// "NAME=REST", split at the first '='; throws CLI11's own error for anything else.
std::pair<std::string, std::string> named(const std::string &option, const std::string &value) {
  size_t equals = value.find('=');
  if (equals == 0 || equals == std::string::npos)
    throw CLI::ValidationError(option, value + " is not NAME=...");
  return {value.substr(0, equals), value.substr(equals + 1)};
}

} // namespace

int main(int argc, char **argv) {
  CLI::App app{"Measures the programs' start-up and the checker's whole run", "startup-bench"};
  app.allow_extras(); // Google Benchmark's own --benchmark_... flags, passed on
  std::filesystem::path out;
  std::vector<std::string> buildsGiven, processorsGiven;
  std::string checker, runner;
  app.add_option("--out", out, "Folder of the report")->required();
  app.add_option("--build", buildsGiven, "A build: NAME=FLOOR,PROGRAM_DIR")->required();
  app.add_option("--checker", checker, "The checker, timed on its own programs");
  app.add_option("--runner", runner, "What the checker is also timed through");
  app.add_option("--processor", processorsGiven, "A processor's programs: NAME=DIR");
  CLI11_PARSE(app, argc, argv);
  if (std::string problem = bench::roundsProblem(); !problem.empty()) {
    std::cerr << "startup-bench: " << problem << "\n";
    return 2;
  }

  std::vector<bench::Build> builds;
  std::vector<std::pair<std::string, std::string>> processorDirs;
  try {
    for (const auto &given : buildsGiven) {
      auto [name, rest] = named("--build", given);
      size_t comma = rest.find(',');
      if (comma == std::string::npos)
        throw CLI::ValidationError("--build", given + " is not NAME=FLOOR,PROGRAM_DIR");
      builds.push_back({name, rest.substr(0, comma), rest.substr(comma + 1), ""});
    }
    for (const auto &given : processorsGiven)
      processorDirs.push_back(named("--processor", given));
  } catch (const CLI::Error &error) {
    return app.exit(error);
  }

  std::filesystem::create_directories(out);
  int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (bench::Build &build : builds)
    if (!(build.notMeasured = bench::whyNotMeasured(build, devNull)).empty())
      std::cerr << build.name << " build not measured: " << build.notMeasured << "\n";
  std::vector<bench::Command> commands = bench::commandsFor(builds);
  bench::countAndReadPeaks(commands, out, devNull);
  bench::timeSpawns(commands, out, argv[0], app.remaining());
  std::vector<bench::CheckerRun> checks;
  std::vector<std::pair<std::string, bench::CheckerRun>> processors;
  std::optional<bench::ListRun> list;
  if (!checker.empty()) {
    list = bench::timeList(checker, devNull);
    checks = bench::timeChecker(checker, runner);
    processors = bench::timeProcessors(checker, processorDirs);
  }
  bench::writeReport(out / "report.md", builds, checks, list, processors, processorDirs);
  std::cout << "\nReport: " << (out / "report.md").string() << "\n";
  return 0;
}
