#!/usr/bin/env bash
# Sets up a Debian or Ubuntu machine for this project, builds it in ./build and runs each program
# once. Missing packages are installed when running as root or through sudo; otherwise the script
# stops and prints the apt-get line to run. Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ g++-multilib libgtest-dev libelf-dev libbenchmark-dev valgrind)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  if ((EUID == 0)); then
    sudo=()
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo=(sudo)
  else
    echo "Missing packages. Install them, then run this again:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing ${missing[*]}"
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build build -j "$(nproc)"

for command in "print-args one two" "print-sentence one two" "exit-zero one two"; do
  read -r -a words <<<"$command"
  echo "\$ build/support/$command"
  status=0
  "build/support/${words[0]}" "${words[@]:1}" || status=$?
  echo "(exit status $status)"
done
