#!/usr/bin/env bash
# Builds the programs for every processor this release's clang can build for (SUPPORT_ARCH=all)
# in ./build, through scripts/build.sh, checks each one (its link contract, random vectors and
# cases, through the runner this host needs for it), packages them, has lintian check every
# package, and prints the sums of the programs and packages, each line behind "sum: ".
#   CHECKS   which of each processor's tests run, as a CTest regular expression (default: all)
#   LINTIAN  0 to leave lintian out
# Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
scripts/build.sh -DSUPPORT_ARCH=all "$@"
echo "Processors: $(cached build SUPPORT_PROGRAMS_ARCHES)"
for folder in build/support/*/; do
  if [[ -x $folder/print-args ]]; then
    echo "$(basename "$folder"): $(stat -c %s "$folder"/{print-args,print-sentence,exit-zero} |
      paste -sd' ') bytes"
  fi
done
ctest --test-dir build --output-on-failure -j "$(nproc)" -R "${CHECKS:-/}"
rm -f build/support-programs*.deb
(cd build && cpack >/dev/null)
for deb in build/support-programs*.deb; do
  echo "$deb: $(dpkg-deb -f "$deb" Architecture) $(dpkg-deb -f "$deb" Depends Recommends | tr '\n' ' ')"
done
if [[ ${LINTIAN:-1} != 0 ]]; then
  ensure_packages lintian >/dev/null
  lintian --fail-on error,warning build/support-programs*.deb 2> >(grep -v 'root privileges' >&2)
  echo "lintian: no error or warning in $(ls build/support-programs*.deb | wc -l) packages"
fi
sed 's/^/sum: /' build/SHA256SUMS
