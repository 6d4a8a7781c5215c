// One run of the checker as its options make it: the folders of programs and how each is
// started, the cases that run on each, and how they run.
#pragma once

#include "cases.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace model {

// One folder of programs and how its programs are started.
struct Target {
  std::filesystem::path dir;
  std::string processor;           // Debian's name, "" where the ELF header names none known
  std::vector<std::string> runner; // empty: directly
  // "directly", "through qemu-riscv64": every word from outside as text::shown shows it.
  std::string started;
  // Where the runner is the programs' binfmt_misc interpreter: what a reproducing command cannot
  // do, in words.
  std::string binfmt;
  // Where not empty, why a program that may be executed but not read cannot be started here.
  std::string execOnly;
};

// A case as it runs on one target; named with the target's processor where there are several.
struct Entry {
  std::string name;
  const cases::Case *c = nullptr;
  size_t target = 0;
  bool known = false; // listed as a known failure
};

// The whole run, made once from the options before anything starts, and read, never changed, by
// the scheduler and every report.
struct Run {
  std::vector<Target> targets;
  size_t cases = 0; // entries that run
  unsigned repeat = 1;
  std::optional<uint64_t> seed; // where the order or the cases came from one
  bool shuffled = false;        // the runs go in an order made from the seed
  std::chrono::seconds timeout{60};
  unsigned jobs = 1;
  unsigned tapVersion = 14;
  bool knownList = false; // whether known failures were given
  std::string casesFile;
  std::string suiteName = "support-programs"; // JUnit's name of the run; of each suite, before
                                              // its processor
};

} // namespace model
