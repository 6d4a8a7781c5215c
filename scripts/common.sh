# Sourced by the other scripts.

# ensure_packages PACKAGE... installs the Debian packages that are missing, as root or through
# sudo; otherwise it stops and prints the apt-get line to run. Never their recommends: those of
# qemu-user (qemu-user-binfmt) would make the kernel start every foreign program through qemu,
# machine-wide.
ensure_packages() {
  local missing=() package sudo=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  if ((EUID != 0)); then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
      sudo=(sudo)
    else
      echo "Missing packages. Install them, then run this again:" >&2
      echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
      exit 1
    fi
  fi
  echo "Installing ${missing[*]}"
  local start=$SECONDS
  "${sudo[@]}" apt-get update -q
  # Another apt-get may be at work: wait for it rather than fail.
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -o DPkg::Lock::Timeout=600 -y -q \
    --no-install-recommends "${missing[@]}"
  echo "Installed ${#missing[@]} packages in $((SECONDS - start)) s"
}

# timed COMMAND...: runs COMMAND, then says how long it took; its status is COMMAND's.
timed() {
  local start=$SECONDS status=0
  "$@" || status=$?
  echo "-- ${*:1:3}: $status, after $((SECONDS - start)) s"
  return "$status"
}

# cached BUILD NAME prints the value of NAME in BUILD's CMake cache, a list as words.
cached() {
  sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt" | tr ';' ' '
}

# table_rows COLUMN... prints those columns of every row of cmake/processors.txt, a row a line,
# separated by tabs (a cell may hold spaces).
table_rows() {
  awk -F '\t+' -v OFS='\t' -v columns="$*" '
    /^#/ || NF == 0 { next }
    !header { for (i = 1; i <= NF; i++) at[$i] = i; n = split(columns, want, " "); header = 1; next }
    { line = $at[want[1]]; for (i = 2; i <= n; i++) line = line OFS $at[want[i]]; print line }' \
    "$(dirname "${BASH_SOURCE[0]}")/../cmake/processors.txt"
}

# arch_table PROCESSOR COLUMN prints COLUMN of cmake/processors.txt for PROCESSOR, given by its
# own name or Debian's (i386, x86_64 or amd64, aarch64 or arm64); nothing for an unknown one.
arch_table() {
  table_rows processor debian "$2" |
    awk -F '\t' -v key="$1" '$1 == key || $2 == key { print $3; exit }'
}

# chosen_arches CMAKE_ARGUMENT... prints the processors a configure with these arguments builds
# the programs for, by Debian name, as configure chooses them (cmake/query.cmake): SUPPORT_ARCH's,
# i386 by default, every row whose back end clang has for all (clang must be there), or native.
chosen_arches() {
  local arches=i386 arg
  for arg; do
    case $arg in -DSUPPORT_ARCH=* | -DSUPPORT_ARCH:*=*) arches=${arg#*=} ;; esac
  done
  cmake "-DSUPPORT_ARCH=$arches" -P cmake/query.cmake
}

# cross_packages ARCH prints the Debian packages that build ARCH's programs with clang, as
# configure names them where they are missing.
cross_packages() {
  cmake "-DPACKAGES_OF=$1" -P cmake/query.cmake
}

# skip_reasons BUILD prints each test that CTest's last run in BUILD skipped, with the reason it
# gave, and fails where one gave none.
skip_reasons() {
  awk '/^[0-9]+\/[0-9]+ Test: / { test = $3 }
       saying { saying = 0; if ($0 == "") { print "skipped without a reason: " test; bad = 1 }
                else print "skipped: " test ": " $0 }
       /: Skipped$/ { saying = 1 }
       END { exit bad }' "$1/Testing/Temporary/LastTest.log"
}
