// The first start: exit-zero, started once as the cases will be, under the same deadline, must
// end with status 0 and write nothing, or the runner is refused before any case.
#pragma once

#include "process.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace first_start {

// How it went, in words, where it did not go as it must; "" where it did. `bounds` are the
// runner's for a case that writes nothing.
std::string whyNot(const std::vector<std::string> &runner, const std::filesystem::path &dir,
                   const process::Bounds &bounds);

// The first line of `err` that says anything, beyond white space and a process number (as the
// loader's LD_DEBUG lines begin), without the white space around it; with the next line too
// where it ends with a colon, as "error: unsupported executable; we need:" does.
std::string firstWords(const std::string &err);

} // namespace first_start
