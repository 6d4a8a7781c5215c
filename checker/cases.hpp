// The cases file: one JSON object a line, each a program to start, how, and what it must do.
#pragma once

#include "process.hpp"

#include <stdexcept>
#include <string>
#include <vector>

namespace cases {

// The programs a case may name.
inline const char *const programs[] = {"print-args", "print-sentence", "exit-zero"};

struct Case {
  int line = 0;
  std::string name, program;
  std::vector<std::string> args;
  process::Streams streams;
  std::string out, err; // expected on the streams set up as pipes
  std::string ending;   // expected as process::ending says it: "exit 0", "signal SIGPIPE"
};

// Says what is wrong with a cases file, and where: "FILE:LINE: what".
struct Malformed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::vector<Case> read(const std::string &path);

} // namespace cases
