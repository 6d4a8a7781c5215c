#!/usr/bin/env bash
# Sets up a Debian or Ubuntu machine for this project, builds it in ./build and runs each program
# once, the way the build decided to start them on this host. Missing packages are installed when
# running as root or through sudo; otherwise the script stops and prints the apt-get line to run.
# Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/common.sh
ensure_packages cmake make g++ libgtest-dev libelf-dev libbenchmark-dev valgrind nlohmann-json3-dev \
  libcli11-dev libre2-dev pkgconf python3 python3-jsonschema perl libxml2-utils
# For each processor, by default clang with Debian's cross sysroot for it, which works on any
# host and installs beside g++-multilib (with SUPPORT_<ARCH>_TOOLCHAIN=multilib, g++-multilib,
# only when g++ -m32 cannot already build: it conflicts with Debian's cross compilers); the
# package with which this host starts them itself where the table names one; and qemu-user
# where it cannot.
host=$(dpkg --print-architecture)
all=0
case " $* " in *SUPPORT_ARCH=all*) all=1 && ensure_packages clang ;; esac
# all_known PACKAGE...: whether the package sources have every one (apt-cache show succeeds
# when any one is known).
all_known() {
  local package
  for package; do
    apt-cache show "$package" >/dev/null 2>&1 || return 1
  done
}
needed=()
for arch in $(chosen_arches "$@"); do
  [[ $arch != native ]] || continue
  case " $* " in
  *SUPPORT_${arch^^}_TOOLCHAIN=multilib*)
    g++ -m32 cmake/probe.cpp -o /dev/null 2>/dev/null || needed+=(g++-multilib)
    ;;
  *)
    read -ra packages <<<"$(cross_packages "$arch")"
    # For all, only the processors whose toolchain this release has for this host.
    if ((all)) && ! all_known "${packages[@]}"; then
      echo "all: $arch is left out, its cross toolchain is not among this host's packages"
      continue
    fi
    needed+=("${packages[@]}")
    ;;
  esac
  biarch=$(arch_table "$arch" biarch)
  if [[ ${biarch%%:*} == "$host" ]]; then
    needed+=("${biarch#*:}")
  elif [[ $arch != "$host" ]]; then
    needed+=(qemu-user)
  fi
done
((${#needed[@]} == 0)) || ensure_packages $(printf '%s\n' "${needed[@]}" | sort -u)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "$@"
# Where this host cannot start the programs (another processor, or a kernel without 32-bit
# support), configure says so, and they are started through qemu.
read -ra launcher <<<"$(cached build SUPPORT_PROGRAMS_LAUNCHER)"
if [[ -n $(cached build SUPPORT_PROGRAMS_PROBLEM) ]] ||
  { ((${#launcher[@]})) && [[ ${launcher[0]} == qemu-* ]] && ! command -v "${launcher[0]}" >/dev/null; }; then
  echo "This host cannot start the programs itself (as configure said): getting qemu-user if it" \
    "is missing, and configuring again to start them through it."
  ensure_packages qemu-user
  cmake -S . -B build
  read -ra launcher <<<"$(cached build SUPPORT_PROGRAMS_LAUNCHER)"
fi
cmake --build build -j "$(nproc)"

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
