// The processors the project knows, a row each of its table (cmake/processors.txt), which the
// build turns into processors.inc.
#pragma once

namespace processors {

struct Processor {
  const char *processor; // CMake's name for it, as uname -m says it
  const char *debian, *triple;
  int bits;
  bool bigEndian;
  int machine;
  const char *loader, *qemu, *kind;
};

inline constexpr Processor all[] = {
#include "processors.inc"
};

} // namespace processors
