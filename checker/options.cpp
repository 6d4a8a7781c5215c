#include "options.hpp"

#include "binfmt.hpp"
#include "report.hpp"

#include "fatal.hpp"
#include "process.hpp"
#include "text.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>
#include <thread>

namespace options {
namespace {

// Takes the runner from --runner, or from the words after "--", before CLI11 sees the rest: it
// would take an empty runner, which says "directly", for no value at all.
std::vector<std::string> arguments(int argc, char **argv, std::optional<std::string> &runnerLine,
                                   std::optional<std::vector<std::string>> &runnerWords) {
  std::vector<std::string> options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      if (i + 1 == argc)
        throw Fatal("-- is followed by no runner: give its words after it, or --runner '' to "
                    "start the programs directly");
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

// Decimal whole numbers only, leading zeros dropped, so that the conversion after takes none as
// octal or hexadecimal; none past 2^64 - 1, which the conversion would take as that.
const CLI::Validator decimal(
    [](std::string &value) {
      if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
        return value + " is not a whole number";
      value.erase(0, std::min(value.find_first_not_of('0'), value.size() - 1));
      const std::string most = "18446744073709551615";
      if (value.size() > most.size() || (value.size() == most.size() && value > most))
        return value + " is past the largest whole number taken, " + most;
      return std::string();
    },
    "", "decimal");

} // namespace

Options parse(int argc, char **argv, const std::filesystem::path &casesDefault) {
  CLI::App app{"Starts each case of the cases file, directly or through a runner, and compares "
               "what the program writes and how it ends with what the case expects.\n"
               "The runner is --runner's words, or every word after --, which need no quoting: "
               "support-programs-check -- qemu-i386 -L '/a path'.\n"
               "Exit status: 0 when every case passes, 1 when any fails, 2 for bad use or a "
               "report that is not whole.",
               "support-programs-check"};
  Options o;
  o.cases = casesDefault;
  o.jobs = std::max(1u, std::thread::hardware_concurrency());
  std::optional<std::string> runnerLine, described;
  std::optional<std::vector<std::string>> runnerWords;
  app.add_option("--runner", described,
                 "Command line that starts each program, split at white space, e.g. 'qemu-i386 "
                 "-L /usr/i686-linux-gnu'; '' starts them directly (default: directly where this "
                 "host can, else qemu for the processor their ELF header names)");
  app.add_option("--programs", o.programs,
                 "Folder of the programs to check (default: beside the checker, or the one "
                 "processor's folder installed there); give it again for more processors in one "
                 "run")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_flag("--all", o.all, "Checks every processor's programs installed beside the checker")
      ->excludes("--programs");
  app.add_option("--cases", o.cases, "The cases file")->capture_default_str();
  std::vector<std::string> formats;
  for (const report::Format &f : report::formats)
    formats.push_back(f.name);
  app.add_option("--format", o.format,
                 "Report as text for a person (the default where standard output is a "
                 "terminal), as TAP (the default otherwise), as JUnit XML or as one JSON document")
      ->check(CLI::IsMember(formats));
  for (const report::Format &f : report::formats)
    app.add_option(std::string("--") + f.name, o.reportFiles[f.name],
                   std::string("Also writes ") + f.what +
                       " to this file, whole once the run has ended: a regular file, or a new "
                       "one; never the cases file")
        ->type_name("FILE");
  app.add_option("--suite-name", o.suiteName,
                 "JUnit's name of the run, and of each processor's suite before its name, so that "
                 "the reports of two runs merged keep their suites apart")
      ->capture_default_str()
      ->check([](const std::string &name) {
        return !name.empty() && name.size() <= 200 &&
                       std::all_of(name.begin(), name.end(),
                                   [](unsigned char c) { return c >= 0x20 && c < 0x7f; })
                   ? std::string()
                   : std::string("a suite's name is 1 to 200 printable ASCII characters");
      });
  app.add_option("--tap-version", o.tapVersion,
                 "TAP's version line: 14, or 13 for consumers that know no later one (Debian "
                 "12's prove)")
      ->check(CLI::IsMember({13u, 14u}))
      ->capture_default_str();
  app.add_option("--jobs", o.jobs, "Cases run side by side")
      ->transform(decimal)
      ->check(CLI::Range(1u, 1024u))
      ->capture_default_str();
  app.add_option("--timeout", o.timeout,
                 "Seconds a case, the first start or the reading of the cases may take")
      ->transform(decimal)
      ->check(CLI::Range(1u, 86400u))
      ->capture_default_str();
  app.add_option("--repeat", o.repeat,
                 "Starts every case this many times, each a fresh process; a case that fails in "
                 "some runs only is flaky, and fails")
      ->transform(decimal)
      ->check(CLI::Range(1u, 100000u))
      ->capture_default_str();
  app.add_flag("--shuffle", o.shuffle, "Starts the cases and their runs in a random order");
  app.add_option("--seed", o.seed,
                 "Seed of --shuffle's order and of --random's cases (default: a new one, which "
                 "the report gives)")
      ->transform(decimal);
  app.add_option("--random", o.random,
                 "Adds this many cases of random argument vectors for print-args and "
                 "print-sentence, their output computed")
      ->transform(decimal)
      ->check(CLI::Range(size_t(0), size_t(100000)));
  app.add_option("--filter", o.filter,
                 "Runs only the cases whose name this regular expression (RE2's syntax, at most "
                 "4096 bytes) matches a part of");
  app.add_option("--filter-out", o.filterOut,
                 "Leaves out the cases whose name this regular expression matches a part of");
  app.add_option("--known-failures", o.knownFailures,
                 "File of the names of cases expected to fail, one a line, '#' starting a "
                 "comment: they are reported but do not fail the run, unless they pass");
  app.add_option("--write-failures", o.writeFailures,
                 "Writes the names of the cases that failed to this file, in that format: a "
                 "regular file (it may be --known-failures'), or a new one; never the cases "
                 "file");
  app.add_option("--binfmt", o.binfmt,
                 "Registers the runner (one word) as the programs' binfmt_misc interpreter with "
                 "these flags, any of P, O, C and F, in a user namespace of the checker's own "
                 "(Linux 6.7 and later), and starts the programs themselves, so that the kernel "
                 "starts the runner");
  app.add_option("--reproduce", o.reproduce,
                 "Writes a bash script that starts the case of this name (as --list names it) as "
                 "the run would, whatever its size, and runs nothing");
  app.add_flag("--list", o.list, "Writes the names of the cases that would run, and nothing else");
  app.set_version_flag("--version", SUPPORT_VERSION, "Writes the version");
  std::vector<std::string> words = arguments(argc, argv, runnerLine, runnerWords);
  try {
    app.parse(words);
  } catch (const CLI::CallForVersion &) {
    std::cout << SUPPORT_VERSION << "\n";
    if (!(std::cout << std::flush))
      throw Fatal("cannot write the version to standard output");
    o.help = true;
    return o;
  } catch (const CLI::CallForHelp &help) {
    app.exit(help);
    if (!(std::cout << std::flush))
      throw Fatal("cannot write the help to standard output");
    o.help = true;
    return o;
  } catch (const CLI::ParseError &error) {
    throw Fatal(std::string(error.what()) + " (see --help)");
  }
  if (runnerLine && runnerWords)
    throw Fatal("give the runner either as --runner or after --, not both");
  if (runnerWords)
    o.runner = *runnerWords;
  else if (runnerLine)
    o.runner = process::words(*runnerLine);
  if (runnerLine && !runnerLine->empty() && o.runner->empty())
    throw Fatal("--runner " + text::shown(*runnerLine) +
                " holds no command: give the runner's words, or --runner '' to start the "
                "programs directly");
  if (o.binfmt) {
    binfmt::checked(*o.binfmt);
    if (!o.runner || o.runner->size() != 1)
      throw Fatal("--binfmt takes a runner of one word, the interpreter the kernel starts, "
                  "which it gives no words of its own: --binfmt FLAGS -- /usr/bin/qemu-i386");
  }
  return o;
}

} // namespace options
