#!/usr/bin/env bash
# Checks what goes beyond the build in ./build (made by scripts/build.sh): the Debian packages,
# a build from another folder being identical to it, the other way of starting the programs than
# ./build chose, and the suite in ./build run against a native build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
ensure_packages dpkg-dev lintian git
arch=$(cached build SUPPORT_PROGRAMS_ARCHES)
read -ra launcher <<<"$(cached build SUPPORT_PROGRAMS_LAUNCHER)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
programs=(exit-zero print-args print-sentence)

# build_programs SOURCE BUILD CMAKE_ARGS...: configures and builds the programs alone (and the
# tests, given -DBUILD_TESTING=ON). The benchmark, which nothing here runs or packages, is left
# out but where the arguments turn it on: in the native build, the only one that compiles its way
# of measuring a native build's own programs.
build_programs() {
  cmake -S "$1" -B "$2" -DBUILD_TESTING=OFF -DSUPPORT_BENCHMARKS=OFF "${@:3}" >/dev/null
  cmake --build "$2" -j "$(nproc)" >/dev/null
}

# check_package BUILD: packages BUILD and has lintian check the .deb: no error or warning may
# pass without an override that gives its reason.
check_package() {
  rm -f "$1"/support-programs*.deb "$1"/support-programs*.tar.gz
  (cd "$1" && cpack >/dev/null)
  lintian --fail-on error,warning "$1"/support-programs*.deb 2> >(grep -v 'root privileges' >&2)
}

# check_with_suite BUILD ARCH [RUNNER]: runs the tests of the programs in ./build's suite (the
# rest of it, which does not take other programs, ran in the quick start) and its checker on the
# programs in BUILD.
check_with_suite() {
  SUPPORT_PROGRAMS_DIR=$PWD/$1/support SUPPORT_PROGRAMS_ARCH=$2 SUPPORT_PROGRAMS_RUNNER=${3:-} \
    ctest --test-dir build -L '^programs$' -j "$(nproc)" --output-on-failure
  build/support/support-programs-check --programs "$1/support" --runner "${3:-}" | tail -n 1
}

echo "== Packages"
check_package build
# support-programs, for this host, holds the checker and depends on libc6 at the version
# dpkg-shlibdeps names; each processor's package is Architecture: all and recommends what starts
# its programs.
tools=$(echo build/support-programs_*.deb)
depends=$(dpkg-deb -f "$tools" Depends)
echo "$tools: $(dpkg-deb -f "$tools" Architecture), depends on $depends"
[[ $(dpkg-deb -f "$tools" Architecture) == $(dpkg --print-architecture) && $depends == "libc6 (>= "* ]]
mkdir -p "$work/shlibs/debian"
touch "$work/shlibs/debian/control"
checker=$PWD/build/support/support-programs-check
shlibdeps=$(cd "$work/shlibs" && dpkg-shlibdeps -O "$checker" 2>/dev/null)
[[ $shlibdeps == "shlibs:Depends=$depends" ]] || { echo "dpkg-shlibdeps: $shlibdeps" >&2; exit 1; }
for deb in build/support-programs-*_all.deb; do
  recommends=$(dpkg-deb -f "$deb" Recommends)
  echo "$deb: $(dpkg-deb -f "$deb" Architecture), recommends $recommends"
  [[ $(dpkg-deb -f "$deb" Architecture) == all && $recommends == *"-cross (>= "*", qemu-user" ]]
  dpkg-deb -x "$deb" "$work/root"
done
dpkg-deb -x "$tools" "$work/root"
for folder in build/support/*/; do
  [[ -x $folder/exit-zero ]] || continue
  for program in "${programs[@]}"; do
    cmp "$folder/$program" "$work/root/usr/libexec/support-programs/$(basename "$folder")/$program"
  done
done
for package in $(cd "$work/root/usr/share/doc" && echo *); do
  test -f "$work/root/usr/share/doc/$package/copyright"
done
test -f "$work/root/usr/share/cmake/SupportPrograms/SupportProgramsConfig.cmake"
primary=${arch%% *}
[[ $primary != native ]] || primary=$(arch_table "$(uname -m)" debian)
[[ $("${launcher[@]}" "$work/root/usr/libexec/support-programs/$primary/print-args" from the package) == \
  "from the package" ]]
# The packaged checker, with no options, checks the packaged programs against the packaged cases
# where one processor's are installed; with --programs, any one's.
if (($(ls -d "$work"/root/usr/libexec/support-programs/*/ | wc -l) == 1)); then
  "$work/root/usr/libexec/support-programs/support-programs-check" | tail -n 1
fi
"$work/root/usr/libexec/support-programs/support-programs-check" \
  --programs "$work/root/usr/libexec/support-programs/$primary" | tail -n 1

echo "== Two builds from different folders, packaged minutes apart under different umasks"
# ./build, packaged above, and a copy of the sources built and packaged again, elsewhere, for the
# same processors with the same toolchains; compiled whole, with no compiler cache.
copy=$work/another/deeper/source
mkdir -p "$copy"
git ls-files -z | xargs -0 cp --parents -t "$copy"
cp -a .git "$copy/" # the packages take their times from the last commit
same=("-DSUPPORT_ARCH=${arch// /;}")
while IFS= read -r setting; do
  same+=("-D$setting")
done < <(grep -E '^SUPPORT_[A-Z0-9]+_TOOLCHAIN:' build/CMakeCache.txt)
(
  [[ $(umask) == 0027 ]] && umask 0022 || umask 0027
  unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
  build_programs "$copy" "$copy-build" "${same[@]}"
  cd "$copy-build" && cpack >/dev/null
)
outputs=("${programs[@]/#/support/}" SHA256SUMS)
outputs+=($(cd build && echo *.deb *.tar.gz))
for output in "${outputs[@]}"; do
  cmp "build/$output" "$copy-build/$output"
done
echo "identical: ${outputs[*]}"
(cd build && sha256sum --check --quiet SHA256SUMS)

# ./build starts its programs directly where the kernel can, and otherwise through their qemu.
# The other way is forced here: through qemu the whole suite must pass; directly, on a kernel
# that cannot start them, the suite must stop at its first test and say why.
if [[ $arch != native ]]; then
  ensure_packages qemu-user
  if ((${#launcher[@]} == 0)); then
    echo "== The suite with the programs started through $(arch_table "${arch%% *}" qemu)"
    build_programs . build-runner -DBUILD_TESTING=ON -DSUPPORT_PROGRAMS_START=runner
    ctest --test-dir build-runner -j "$(nproc)" --output-on-failure
  else
    echo "== The suite with the programs started directly, which this kernel cannot do"
    build_programs . build-direct -DBUILD_TESTING=ON -DSUPPORT_PROGRAMS_START=direct 2>/dev/null
    if ctest --test-dir build-direct --output-on-failure >"$work/direct.log" 2>&1; then
      echo "the suite passed, though this kernel cannot start 32-bit x86 programs" >&2
      exit 1
    fi
    grep -F "SUPPORT_PROGRAMS_START is direct: set it to auto or runner" "$work/direct.log"
    failed=$(grep -c '(Failed)' "$work/direct.log")
    ((failed == 1)) || { cat "$work/direct.log" >&2; exit 1; }
  fi
fi

echo "== Native build, checked by this suite"
build_programs . build-native -DSUPPORT_ARCH=native -DSUPPORT_BENCHMARKS=ON
check_package build-native
check_with_suite build-native "$(uname -m)"
