#!/usr/bin/env bash
# Walks the path of a new user on a fresh Debian or Ubuntu machine, as root, taking each command
# from the README itself, so that the README cannot say what does not work: the quick start; other
# processors into the same build/, and the tests; the packages, installed, and the checker
# examples; the find_package, add_subdirectory and FetchContent forms in a project of its own,
# with this release's CMake and, where the release has backports, the newest backported one. Then
# checks that the set-up left nothing in /tmp and installed no binfmt_misc handlers, that every
# skipped test gave its reason, and that a missing cross toolchain is one short message.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
project=$PWD
work=$(mktemp -d /var/tmp/newcomer.XXXXXX)
before=$(ls -A /tmp)

# readme_block LANGUAGE N prints the Nth fenced block of LANGUAGE in the README.
readme_block() {
  awk -v want="$1" -v n="$2" '/^```/ { if (on) { on = 0; next } if ($0 == "```" want) { on = (++seen == n) } next }
                              on' README.md
}
# readme_line TEXT prints the first line of the README that holds TEXT, or fails.
readme_line() {
  grep -m 1 -F -e "$1" README.md || { echo "the README no longer says: $1" >&2; return 1; }
}
step() {
  echo "---- $*"
  bash -euo pipefail -c "$*"
}

echo "== The quick start, then other processors into the same build/"
while read -r line; do step "$line"; done < <(readme_block sh 1)
skip_reasons build
others=$(readme_block sh 2)
grep -q 'SUPPORT_ARCH=riscv64,i386' <<<"$others" ||
  { echo "the README's second build is no longer riscv64,i386" >&2; exit 1; }
step "scripts/build.sh -DSUPPORT_ARCH=riscv64,i386"
step "$(sed -n 2p <<<"$others")"
skip_reasons build

echo "== A processor whose toolchain is missing: one short message that names what to install"
if configure=$(cmake -S . -B "$work/no-toolchain" -DSUPPORT_ARCH=s390x 2>&1); then
  echo "configure for s390x passed without its toolchain" >&2
  exit 1
fi
said=$(sed -n '/CMake Error/,/^Call Stack/p' <<<"$configure")
echo "$said"
if (($(grep -c . <<<"$said") > 8)) || grep -q CMAKE_CXX_COMPILER <<<"$said" ||
  ! grep -q 'apt-get install --no-install-recommends binutils-s390x-linux-gnu libc6-dev-s390x-cross' <<<"$said" ||
  grep -q 'install.* clang' <<<"$said"; then
  echo "the message is not one short one naming just the missing packages" >&2
  exit 1
fi

echo "== The packages, installed, and the checker's examples"
version=$(sed -n 's/^project(support-programs VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
host=$(dpkg --print-architecture)
step "$(readme_block sh 6)"
# The first example needs the 32-bit x86 programs' package and qemu-user, as the README says.
(cd build && apt-get install -y -q --no-install-recommends "./support-programs-i386_${version}_all.deb" \
  "./support-programs_${version}_${host}.deb" qemu-user libc6-i386-cross >/dev/null)
# Through qemu 7.2 the cases of its own faults fail (tests/qemu/faults.txt), as the README says:
# status 1 is the report's; anything else is not.
step "{ $(readme_block sh 3 | head -n 1) || [[ \$? == 1 ]]; } | tail -n 1"
[[ -f /usr/share/man/man1/support-programs-check.1.gz ]] ||
  { echo "no manual page: $(dpkg -L support-programs | grep man)" >&2; exit 1; }
install=$(readme_block sh 7 | sed 's/\\$//' | tr -d '\n')
# With no terminal to answer apt-get's question, yes is said for the user.
(cd build && step "$install -y -q | tail -n 1")
# Through qemu-riscv64 too, qemu's own faults fail their cases, as the README says: status 1.
step "{ $(readme_line '| amd64 |' | awk -F'`' '{ print $(NF - 1) }') || [[ \$? == 1 ]]; } | tail -n 1"

echo "== The CMake forms, in a project of its own"
# consumer NAME MINIMUM: the README's block NAME (find_package, add_subdirectory, FetchContent) in
# a project that enables testing, with cmake_minimum_required MINIMUM; built and tested.
consumer() {
  local dir=$work/consumer-$1-$2 block
  case $1 in
  find_package) block=$(readme_block cmake 1) ;;
  add_subdirectory) block=$(readme_block cmake 2) ;;
  FetchContent) block=$(readme_block cmake 3) ;;
  esac
  rm -rf "$dir" && mkdir -p "$dir"
  [[ $1 != add_subdirectory ]] || git clone -q "$project" "$dir/third_party/support-programs"
  {
    printf 'cmake_minimum_required(VERSION %s)\nproject(consumer LANGUAGES NONE)\nenable_testing()\n' "$2"
    sed "s|/path/to/support-programs|$project|" <<<"$block"
    echo 'set_tests_properties(harness-echo riscv64-echo PROPERTIES PASS_REGULAR_EXPRESSION "^hello world\n$")'
  } >"$dir/CMakeLists.txt"
  echo "---- $1, cmake_minimum_required $2, $(cmake --version | head -n 1)"
  cmake -S "$dir" -B "$dir/build" >"$dir.log" 2>&1 && cmake --build "$dir/build" >>"$dir.log" 2>&1 &&
    ctest --test-dir "$dir/build" --output-on-failure >>"$dir.log" 2>&1 ||
    { cat "$dir.log" >&2; return 1; }
  tail -n 3 "$dir.log" | head -n 1
}
readme_line 'FetchContent needs `git`' >/dev/null
ensure_packages git >/dev/null
for form in find_package add_subdirectory FetchContent; do
  consumer $form 3.16
done
mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list)
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
if [[ -n $mirror ]] && echo "deb $mirror $codename-backports main" >/etc/apt/sources.list.d/backports.list &&
  apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends -t "$codename-backports" cmake >/dev/null; then
  for form in find_package add_subdirectory FetchContent; do
    consumer $form 3.16
    consumer $form 3.31
  done
else
  echo "not checked with a backported CMake: $codename has none here"
fi

echo "== What the set-up left"
rm -rf "$work"
if dpkg-query -W -f='${Status}\n' qemu-user-binfmt 2>/dev/null | grep -q 'install ok installed'; then
  echo "qemu-user-binfmt is installed: it registers binfmt_misc handlers" >&2
  exit 1
fi
left=$(comm -13 <(echo "$before") <(ls -A /tmp))
[[ -z $left ]] || { echo "left in /tmp:"$'\n'"$left" >&2; exit 1; }
echo "nothing new in /tmp, no qemu-user-binfmt"
