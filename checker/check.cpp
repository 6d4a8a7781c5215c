// A whole run of the checker from its command line: options read, cases chosen, every case
// started and judged, the reports written. Exit status: 0 when every case passes, 1 when any
// fails, 2 for bad use or a report that is not whole.
#include "check.hpp"
#include "binfmt.hpp"
#include "cases.hpp"
#include "command.hpp"
#include "compare.hpp"
#include "elf.hpp"
#include "fatal.hpp"
#include "generated.hpp"
#include "interrupt.hpp"
#include "options.hpp"
#include "process.hpp"
#include "report.hpp"
#include "runner.hpp"
#include "schedule.hpp"
#include "selection.hpp"
#include "text.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <set>
#include <tuple>

namespace fs = std::filesystem;
using namespace std::chrono;
using text::shown;

namespace {

// The programs beside the checker, in a build; else the one processor's folder installed beside
// it (libexec/support-programs/<processor>/).
fs::path defaultPrograms(const fs::path &self) {
  std::error_code error;
  if (fs::exists(self / "exit-zero", error))
    return self;
  std::vector<std::string> found;
  for (const auto &entry : fs::directory_iterator(self, error))
    if (fs::exists(entry.path() / "exit-zero", error))
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

// Every processor's folder of programs beside the checker: those of a build's processors, or of
// the packages installed; else the checker's own folder, where the programs are beside it.
std::vector<fs::path> everyProcessor(const fs::path &self) {
  std::vector<fs::path> found;
  std::error_code error;
  for (auto it = fs::directory_iterator(self, error); !error && it != fs::directory_iterator();
       it.increment(error))
    if (fs::exists(it->path() / "exit-zero", error))
      found.push_back(it->path());
  std::sort(found.begin(), found.end());
  // A build of one processor alone (SUPPORT_ARCH=native) has its programs beside the checker.
  if (found.empty() && fs::exists(self / "exit-zero", error))
    found.push_back(self);
  if (found.empty())
    throw Fatal("--all: no processor's programs beside " + shown(self) + " or in a folder there");
  return found;
}

// The folder, made absolute (every process starts in a folder of its own), with the three
// programs; and the processor its ELF header names.
report::Target target(const fs::path &given) {
  std::error_code error;
  report::Target t;
  t.dir = fs::absolute(given, error).lexically_normal();
  if (!fs::is_directory(t.dir, error))
    throw Fatal("no folder " + shown(t.dir) + (error ? " (" + error.message() + ")" : "") +
                ": give --programs the programs' folder");
  for (const char *program : cases::programs)
    if (access((t.dir / program).c_str(), X_OK) != 0)
      throw Fatal("no program " + shown(t.dir / program) +
                  " that can be run: give --programs the programs' folder");
  // Programs of no processor known (scripts, say) are named by their folder, which goes into
  // case names and report lines: only letters, digits and "._+-" of it, each other byte '_'.
  const processors::Processor *p = elf::processorOf(t.dir / "exit-zero");
  if (p) {
    t.processor = p->debian;
  } else {
    for (unsigned char c : t.dir.filename().string())
      t.processor += std::isalnum(c) || std::strchr("._+-", c) ? char(c) : '_';
    if (t.processor.empty() || t.processor.find_first_not_of('.') == std::string::npos)
      t.processor = "programs";
  }
  return t;
}

// A case's resource limit that this process cannot give it: a soft limit above its own hard
// one, which no process may set. Refused before the run: it is the checker's, not the program's.
void checkLimits(const std::vector<report::Entry> &entries) {
  for (size_t i = 0; i < entries.size(); ++i)
    for (const process::Limit &limit : entries[i].c->start.limits) {
      struct rlimit own;
      if (limit.toHard || getrlimit(limit.resource, &own) != 0 || own.rlim_max == RLIM_INFINITY ||
          (limit.soft != RLIM_INFINITY && limit.soft <= own.rlim_max))
        continue;
      std::string which = cases::limitName(limit.resource);
      throw Fatal("cannot run case " + std::to_string(i + 1) + " (" + entries[i].name +
                  "): its limits." + which + ", " +
                  (limit.soft == RLIM_INFINITY ? "unlimited" : std::to_string(limit.soft)) +
                  ", is above the checker's own hard limit, " + std::to_string(own.rlim_max) +
                  ": raise that (ulimit -H), or leave the case out with --filter-out");
    }
}

// The files a run writes (the list of failures, the reports) can be written, and are apart from
// each other and from the known failures read (which the list of failures may write back).
void checkOutputs(const options::Options &o) {
  std::vector<std::pair<std::string, fs::path>> outputs;
  if (o.writeFailures)
    outputs.emplace_back("--write-failures", *o.writeFailures);
  for (const auto &[format, file] : o.reportFiles)
    if (!file.empty())
      outputs.emplace_back("--" + format, file);
  auto same = [](const fs::path &a, const fs::path &b) {
    std::error_code error;
    return fs::weakly_canonical(a, error) == fs::weakly_canonical(b, error) ||
           fs::equivalent(a, b, error);
  };
  for (size_t i = 0; i < outputs.size(); ++i) {
    selection::checkWritable(outputs[i].second, o.cases, outputs[i].first);
    for (size_t j = 0; j < i; ++j)
      if (same(outputs[i].second, outputs[j].second))
        throw Fatal(outputs[j].first + " and " + outputs[i].first + " name one file, " +
                    shown(outputs[i].second.string()) + ": give each its own");
    if (outputs[i].first != "--write-failures" && o.knownFailures &&
        same(outputs[i].second, *o.knownFailures))
      throw Fatal(outputs[i].first + " names the --known-failures file, " +
                  shown(o.knownFailures->string()) + ": give it a file of its own");
  }
}

// Writes the script that starts case `c` on target `t` as a run would: one line of bash, as long
// as the case needs; with what it does not arrange said in its comment.
int reproduce(const std::string &name, const cases::Case &c, report::Target &t,
              const options::Options &o, const std::string &startedAs) {
  runner::Chosen chosen = runner::choose(o.runner, t.dir, seconds(o.timeout), startedAs);
  std::string line = command::line(compare::startOf(c, chosen.words, t.dir), size_t(1) << 30);
  if (!t.binfmt.empty())
    line = command::noted(line, t.binfmt);
  report::emit("#!/usr/bin/env bash\n# Starts the case " + command::bashWord(name) + " of " +
               shown(o.cases.string()) + ", the programs started " + chosen.started +
               ". Its status and bytes are the program's. Run it in an empty folder, as the case "
               "ran in one.\n" +
               line + "\n");
  return 0;
}

} // namespace

int checkAll(int argc, char **argv) {
  // Where the checker is, for its defaults; with --programs and --cases given it is not needed.
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  std::string noSelf = "cannot tell where the checker is (/proc/self/exe: " + error.message() +
                       "): give --programs and --cases";
  fs::path dir = self.parent_path(), casesFile;
  // The cases beside it, in a build; else where the packages install them.
  if (!self.empty())
    casesFile = fs::exists(dir / "cases.jsonl", error)
                    ? dir / "cases.jsonl"
                    : (dir / CASES_FROM_PROGRAMS).lexically_normal();
  options::Options o = options::parse(argc, argv, casesFile);
  if (o.help)
    return 0;
  if ((o.programs.empty() || o.cases.empty()) && self.empty())
    throw Fatal(noSelf);
  std::vector<fs::path> folders = o.programs;
  if (o.all)
    folders = everyProcessor(dir);
  else if (folders.empty())
    folders = {defaultPrograms(dir)};
  std::vector<report::Target> targets;
  std::string startedAs; // how the programs are started, where not directly nor through a runner
  for (const fs::path &folder : folders) {
    targets.push_back(target(folder));
    for (size_t t = 0; t + 1 < targets.size(); ++t)
      if (targets[t].processor == targets.back().processor)
        throw Fatal("--programs " + shown(targets[t].dir) + " and " + shown(targets.back().dir) +
                    " hold programs of one processor, or are folders of one name, " +
                    targets.back().processor + ": give one of them");
  }
  // The binfmt_misc start: the namespaces are made while this process has one thread.
  if (o.binfmt) {
    std::string interpreter = runner::where(o.runner->front());
    if (interpreter.empty())
      throw Fatal("the runner " + shown(o.runner->front()) +
                  " is not found on the PATH or cannot be run");
    interpreter = fs::absolute(interpreter, error).lexically_normal();
    std::vector<const processors::Processor *> kinds;
    for (const report::Target &t : targets) {
      const processors::Processor *p = elf::processorOf(t.dir / "exit-zero");
      if (!p)
        throw Fatal("--binfmt: the programs in " + shown(t.dir) +
                    " have no ELF header of a processor this checker knows, for which to "
                    "register the interpreter");
      kinds.push_back(p);
    }
    binfmt::enter(kinds, interpreter, *o.binfmt);
    o.runner = std::vector<std::string>{};
    for (report::Target &t : targets)
      t.binfmt = "the checker started it " + binfmt::described(interpreter, *o.binfmt) +
                 ", registered in a user namespace of its own, which this command does not do: "
                 "--binfmt does";
    startedAs = binfmt::described(interpreter, *o.binfmt);
  }
  // Signals are taken by a thread of their own from here on, before any other thread starts.
  interrupt::watch();
  selection::Filter filter(o.filter, o.filterOut);
  // Before the run, which may take minutes, and again as they are written.
  if (!o.list && !o.reproduce)
    checkOutputs(o);
  std::vector<cases::Case> all = cases::read(o.cases, seconds(o.timeout));
  interrupt::check();
  std::optional<uint64_t> seed = o.seed;
  if (!seed && (o.shuffle || o.random))
    seed = std::random_device()() * (uint64_t(1) << 32) + std::random_device()();
  if (o.random) {
    std::vector<cases::Case> more = generated::random(o.random, *seed);
    all.insert(all.end(), std::make_move_iterator(more.begin()),
               std::make_move_iterator(more.end()));
  }
  // A case on each target, named with its processor where there are several; those listed as
  // known failures marked, each listed name one of them.
  std::vector<report::Entry> entries;
  std::vector<std::string> known;
  if (o.knownFailures)
    known = selection::readNames(*o.knownFailures);
  std::set<std::string> listed(known.begin(), known.end()), matched;
  for (size_t t = 0; t < targets.size(); ++t)
    for (const cases::Case &c : all) {
      report::Entry e{targets.size() > 1 ? targets[t].processor + "/" + c.name : c.name, &c, t};
      e.known = listed.contains(e.name);
      if (e.known)
        matched.insert(e.name);
      if (filter.keeps(e.name, c.name))
        entries.push_back(std::move(e));
    }
  for (const std::string &name : known)
    if (!matched.contains(name))
      throw Fatal(shown(o.knownFailures->string()) + ": " + selection::excerpt(name) +
                  " names no case: mend the list");
  if (o.reproduce) {
    for (report::Target &t : targets)
      for (const cases::Case &c : all)
        if ((targets.size() > 1 ? t.processor + "/" + c.name : c.name) == *o.reproduce)
          return reproduce(*o.reproduce, c, t, o, startedAs);
    throw Fatal("--reproduce: no case is named " + shown(*o.reproduce) +
                ": --list writes their names");
  }
  if (entries.empty())
    throw Fatal("no case is left to run: the filters leave none of " +
                std::to_string(all.size() * targets.size()));
  if (o.list) {
    std::string names;
    for (const report::Entry &e : entries)
      names += e.name + "\n";
    report::emit(names);
    return 0;
  }
  checkLimits(entries);

  for (report::Target &t : targets) {
    runner::Chosen chosen = runner::choose(o.runner, t.dir, seconds(o.timeout), startedAs);
    t.runner = chosen.words;
    t.started = chosen.started;
    if (!t.runner.empty())
      t.execOnly = "a runner is given the program's path and must read the program, which this "
                   "one's mode forbids: start the programs directly, or through --binfmt with O "
                   "or C, which has the kernel open it for the runner";
    else if (o.binfmt && o.binfmt->find_first_of("OC") == std::string::npos)
      t.execOnly = "without O or C, binfmt_misc gives the interpreter the program's path and it "
                   "must read the program, which this one's mode forbids: --binfmt with O or C "
                   "has the kernel open it for the interpreter";
    interrupt::check();
  }
  // The run, made once, and only read from here on.
  const model::Run run = [&] {
    model::Run made;
    made.targets = std::move(targets);
    made.cases = entries.size();
    made.repeat = o.repeat;
    made.seed = o.shuffle || o.random ? seed : std::nullopt;
    made.shuffled = o.shuffle;
    made.timeout = seconds(o.timeout);
    made.jobs = o.jobs;
    made.tapVersion = o.tapVersion;
    made.knownList = o.knownFailures.has_value();
    made.casesFile = o.cases.string();
    made.suiteName = o.suiteName;
    return made;
  }();
  // Standard output's report, and each one asked for a file, kept until the run has ended.
  std::vector<std::unique_ptr<report::Reporter>> reporters;
  reporters.push_back(report::made(o.format.empty() ? isatty(1) ? "text" : "tap" : o.format));
  std::vector<std::tuple<std::string, fs::path, std::unique_ptr<std::string>>> files;
  for (const auto &[format, file] : o.reportFiles)
    if (!file.empty()) {
      files.emplace_back(format, file, std::make_unique<std::string>());
      reporters.push_back(report::made(format));
      reporters.back()->kept = std::get<2>(files.back()).get();
    }
  auto reporter = report::several(std::move(reporters));
  auto start = steady_clock::now();
  schedule::ProgressLine progress;
  auto verdicts = schedule::runAll(entries, run, *reporter, progress);
  reporter->end(entries, verdicts, duration<double>(steady_clock::now() - start).count());
  size_t failedCases = 0, nowPass = 0;
  std::vector<std::string> failures;
  for (size_t i = 0; i < entries.size(); ++i) {
    report::Outcome outcome = report::outcome(entries[i], verdicts[i]);
    failedCases += outcome == report::Outcome::Failed;
    nowPass += outcome == report::Outcome::UnexpectedPass;
    if (!verdicts[i].passed())
      failures.push_back(entries[i].name);
  }
  bool failed = failedCases || nowPass;
  if (o.writeFailures)
    selection::writeNames(*o.writeFailures, failures,
                          std::to_string(failures.size()) + " of " +
                              std::to_string(entries.size()) + " cases failed, checked with " +
                              shown(o.cases.string()),
                          o.cases);
  for (const auto &[format, file, text] : files)
    selection::writeWhole(file, *text, o.cases, "--" + format);
  // A run that fails says so where a person looks first, in one line.
  if (failed)
    std::cerr << "support-programs-check: "
              << (failedCases ? std::to_string(failedCases) + " of " +
                                    std::to_string(entries.size()) + " cases failed"
                              : "")
              << (failedCases && nowPass ? ", and " : "")
              << (nowPass ? std::to_string(nowPass) +
                                " listed as known failures now pass (take them off the list)"
                          : "")
              << ": the report on standard output says how" << std::endl;
  return failed ? 1 : 0;
}
