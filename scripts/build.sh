#!/usr/bin/env bash
# Sets up a Debian or Ubuntu machine for this project, builds it in ./build and runs each program
# once. Missing packages are installed when running as root or through sudo; otherwise the script
# stops and prints the apt-get line to run. Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/packages.sh
ensure_packages cmake make g++ libgtest-dev libelf-dev libbenchmark-dev valgrind
# The 32-bit toolchain only when it is not already there: g++-multilib and Debian's cross
# compilers conflict, while the versioned packages that provide -m32 may well be present.
printf '#include <cstdio>\nint main() { return std::puts(""); }\n' |
  g++ -m32 -x c++ - -o /dev/null 2>/dev/null || ensure_packages g++-multilib

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build build -j "$(nproc)"

for program in print-args print-sentence exit-zero; do
  echo "\$ build/support/$program one two"
  status=0
  "build/support/$program" one two || status=$?
  echo "(exit status $status)"
done
