#!/usr/bin/env bash
# Builds the checker and its tests with AddressSanitizer and UndefinedBehaviorSanitizer in
# ./build-sanitize and runs them, then fuzzes with libFuzzer for SECONDS in all (default 60): two
# thirds for the cases reader, seeded with the shipped cases and the tests' malformed files, and
# a third for the reproducing command. Any finding fails.
# Usage: scripts/sanitize.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
seconds=${1:-60}
ensure_packages clang libclang-rt-dev python3 perl cmake make libgtest-dev libelf-dev \
  nlohmann-json3-dev libcli11-dev libre2-dev pkgconf

build=build-sanitize
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DSUPPORT_SANITIZE=ON -DSUPPORT_FUZZ=ON -DSUPPORT_ARCH=native >/dev/null
cmake --build "$build" -j "$(nproc)" --target support-programs-check checker-tests support-tests \
  cases-fuzz command-fuzz support-programs support-cases-file >/dev/null
# Leaks count too; the checker's threads and the tests' processes are all ended by then. The test
# that starts 3,000 cases on a machine kept busy is one of timing, which the other builds run:
# here it would reach no code that the rest does not.
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$build" --output-on-failure -j "$(nproc)" \
  -R 'Checker|check-programs|Programs' -E 'AThousandTimesInAThousand'

# Seeds: each line of the cases (those made too, with every kind of field), each malformed file
# of the tests up to 64 KiB, and lines of many small values.
seeds=$build/fuzz-seeds corpus=$build/fuzz-corpus
rm -rf "$seeds" && mkdir -p "$seeds" "$corpus"
split -l 1 -d -a 3 "$build/support/cases.jsonl" "$seeds/case-"
python3 - tests/malformed.json "$seeds" <<'PY'
import json, sys
for row in json.load(open(sys.argv[1])):
    text = row["text"]
    pieces = [text] if isinstance(text, str) else text
    data = "".join(p if isinstance(p, str) else p[0] * p[1] for p in pieces).encode("latin-1")
    if len(data) <= 65536:
        open(f"{sys.argv[2]}/malformed-{row['file']}", "wb").write(data)
# Lines of many small values, as hostile files hold them: the reader must stay linear.
for name, value in (("objects", "{}"), ("lists", "[]"), ("empty-arguments", '""')):
    values = ",".join([value] * (60000 // (len(value) + 1)))
    open(f"{sys.argv[2]}/many-{name}", "w").write(
        '{"name": "a", "program": "print-args", "args": [' + values + '], "stdin": "/dev/null", '
        '"stdout": "pipe", "stderr": "pipe", "expect": {"stdout": "\\n", "stderr": "", "exit": 0}}\n')
PY
command_seconds=$((seconds / 3)) seconds=$((seconds - seconds / 3))
echo "Fuzzing the cases reader for $seconds s from $(ls "$seeds" | wc -l) seeds"
"$build/tests/cases-fuzz" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
  -print_final_stats=1 "$corpus" "$seeds" 2>"$build/fuzz.log" ||
  { tail -n 60 "$build/fuzz.log" >&2; exit 1; }
grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' \
  "$build/fuzz.log"
echo "Fuzzing the reproducing command for $command_seconds s"
mkdir -p "$build/fuzz-command-corpus"
"$build/tests/command-fuzz" -max_total_time="$((command_seconds > 0 ? command_seconds : 1))" \
  -max_len=4096 -rss_limit_mb=2048 -print_final_stats=1 "$build/fuzz-command-corpus" \
  2>"$build/fuzz-command.log" || { tail -n 60 "$build/fuzz-command.log" >&2; exit 1; }
grep -E '^(Done|stat::number_of_executed_units)' "$build/fuzz-command.log"
