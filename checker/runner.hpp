// The choice of runner: the one given, else directly where this host can start the programs,
// else qemu for the processor their ELF header names.
#pragma once

#include "process.hpp"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace runner {

struct Chosen {
  std::vector<std::string> words; // empty: directly
  std::string started;            // "directly", "through qemu-i386 -L /usr/i686-linux-gnu"
};

// `given`: the runner's words, where one was given (empty ones: directly). Refuses, with the
// reason, a runner that cannot be found or whose first start fails.
// `startedAs`, where not empty, says how the programs are started in place of "directly".
Chosen choose(const std::optional<std::vector<std::string>> &given,
              const std::filesystem::path &dir, std::chrono::seconds timeout,
              const std::string &startedAs = "");

// The bounds of a process started through `runner` that must write `out` and `err` bytes.
process::Bounds bounds(const std::vector<std::string> &runner, std::chrono::seconds timeout,
                       size_t out, size_t err);

// Where a command is: itself if it names a folder and can be run, else the first of that name
// in the PATH's folders; "" where there is none.
std::string where(const std::string &command);

} // namespace runner
