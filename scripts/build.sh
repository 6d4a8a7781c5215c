#!/usr/bin/env bash
# Sets up a Debian or Ubuntu machine for this project, builds it in ./build and runs each program
# once, the way the build decided to start them on this host. Missing packages are installed when
# running as root or through sudo; otherwise the script stops and prints the apt-get line to run.
# Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/common.sh
ensure_packages cmake make g++ libgtest-dev libelf-dev libbenchmark-dev valgrind
# The 32-bit toolchain only when it is not already there: g++-multilib and Debian's cross
# compilers conflict, while the versioned packages that provide -m32 may well be present. And an
# emulator where this kernel cannot start the 32-bit programs it builds. (Elsewhere configure says
# what to build instead.)
probe=$(mktemp)
trap 'rm -f "$probe"' EXIT
build_probe() {
  printf '#include <cstdio>\nint main() { return std::puts("") < 0; }\n' |
    g++ -m32 -x c++ - -o "$probe" 2>/dev/null
}
if [[ $(uname -m) =~ ^(x86_64|i.86)$ ]]; then
  build_probe || ensure_packages g++-multilib
  if build_probe && ! "$probe" >/dev/null 2>&1; then
    ensure_packages qemu-user
  fi
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build build -j "$(nproc)"

read -ra launcher <<<"$(cached build SUPPORT_PROGRAMS_LAUNCHER)"
how=directly
((${#launcher[@]} == 0)) || how="through ${launcher[*]}"
echo "Starting the programs $how, as configured for this host:"
failed=0
for program in print-args print-sentence exit-zero; do
  echo "\$ ${launcher[*]:+${launcher[*]} }build/support/$program one two"
  status=0
  "${launcher[@]}" "build/support/$program" one two || status=$?
  echo "(exit status $status)"
  ((status == 0)) || failed=1
done
if ((failed)); then
  problem=$(cached build SUPPORT_PROGRAMS_PROBLEM)
  echo "The programs cannot be started on this host${problem:+: $problem}." >&2
  exit 1
fi
