#!/usr/bin/env bash
# Runs the checker through runners that Debian packages, on the build's programs and on the
# native copies the benchmark builds, and prints a Markdown table of what each gives: how many
# cases pass, and how the others end; or the one line with which the checker refuses the runner.
# Usage: scripts/known-runners.sh [BUILD]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
build=${1:-build}
ensure_packages qemu-user valgrind strace proot bubblewrap ltrace gdb firejail tini dumb-init \
  fakeroot fakechroot >/dev/null
cmake --build "$build" --target support-programs-check bench-native-exit-zero \
  bench-native-print-args bench-native-print-sentence >/dev/null 2>&1 ||
  cmake --build "$build" --target support-programs-check >/dev/null
check=$build/support/support-programs-check
log=$(mktemp -d)
trap 'rm -rf "$log"' EXIT
processor=$(cached "$build" SUPPORT_PROGRAMS_PROCESSOR)
qemu=$(arch_table "${processor:-i386}" qemu)
native_qemu=$(arch_table "$(uname -m)" qemu)

# result DIR OUT RUNNER...: one cell, from the checker's JSON results; OUT names its files.
result() {
  local dir=$1 out=$2 status=0 runner=(--runner=)
  [[ -x $dir/exit-zero ]] || { echo "not built"; return; }
  (($# == 2)) || runner=(-- "${@:3}")
  "$check" --programs "$dir" --timeout 30 --format json "${runner[@]}" >"$out.json" \
    2>"$out.err" || status=$?
  if ((status == 2)); then
    echo "refused: $(sed -E 's/^support-programs-check: cannot start .* (directly|through [^:]*): //;
      s/\|/\\|/g' "$out.err" | cut -c1-200)"
    return
  fi
  # How many passed, then how the failures end, each kind once, with the cases' number; then how
  # many were skipped.
  python3 - "$out.json" <<'PY' | sed 's/|/\\|/g'
import collections, json, sys
results = json.load(open(sys.argv[1]))
summary = results["summary"]
kinds = collections.Counter(c["message"] for c in results["cases"]
                            if c["outcome"] in ("failed", "known failure"))
print(f"{summary['passed']} of {summary['cases']}" +
      "".join(f"; {n}× {kind}" for kind, n in kinds.items()) +
      (f"; {summary['skipped']} skipped" if summary["skipped"] else ""))
PY
}

# row N NAME WORDS: the table's row N, written to $log/row-N.
row() {
  local runner
  read -ra runner <<<"$3"
  runner=("${runner[@]//@LOG@/$log/runner-$1.log}")
  echo "| \`$2\` | $(result "$build/support" "$log/$1-configured" "${runner[@]}") |" \
    "$(result "$build/benchmarks/native" "$log/$1-native" "${runner[@]}") |" >"$log/row-$1"
}

echo "| runner | ${processor:-configured} programs | native programs |"
echo "|---|---|---|"
# Three rows at a time: many runners mostly wait (on a signal's grace, a timeout).
rows=0
while IFS='|' read -r name words; do
  while (($(jobs -rp | wc -l) >= 3)); do
    wait -n || true
  done
  row "$rows" "$name" "$words" </dev/null &
  rows=$((rows + 1))
done <<EOF_RUNNERS
directly|
$qemu|$qemu
$native_qemu (native)|$native_qemu
valgrind -q|valgrind -q
valgrind -q --log-file=…|valgrind -q --log-file=@LOG@
strace -f|strace -f
strace -f -o /dev/null|strace -f -o /dev/null
proot|proot
bwrap --bind / / --dev /dev|bwrap --bind / / --dev /dev
ltrace -o /dev/null|ltrace -o /dev/null
gdb -batch -ex run --args|gdb -q -batch -ex run --args
setarch -R|setarch -R
unshare -r|unshare -r
env|env
nice|nice
timeout 60|timeout 60
stdbuf -o0|stdbuf -o0
firejail --quiet --noprofile|firejail --quiet --noprofile
tini -s --|tini -s --
dumb-init|dumb-init
fakeroot|fakeroot
fakechroot|fakechroot
EOF_RUNNERS
wait
for ((n = 0; n < rows; n++)); do
  cat "$log/row-$n"
done
