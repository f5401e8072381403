#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice:
# a release build, and a build under AddressSanitizer (with leak checks) and
# UndefinedBehaviorSanitizer. Then the end-to-end tests once more with the
# release binary under valgrind's memcheck, the milter's concurrent checks
# under ThreadSanitizer, and a short fuzzing run of every libFuzzer target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
Jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBW_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$Jobs"
ctest --test-dir build --output-on-failure -j"$Jobs"

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DBW_SANITIZE=ON -DBW_BUILD_TESTS=ON >/dev/null
cmake --build build-sanitize -j"$Jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0 \
  ctest --test-dir build-sanitize --output-on-failure -j"$Jobs"

# Every exit path of the release binary under memcheck: any error or leak
# makes valgrind exit 97, which fails the test that ran it. The crafted
# files under the costly patterns stay with the sanitizer run: the same
# paths, in a fraction of the time.
BW_TOOL_WRAPPER="valgrind -q --error-exitcode=97 --leak-check=full --errors-for-leak-kinds=definite,indirect" \
  ctest --test-dir build --output-on-failure -j"$Jobs" -R 'UsageTest|CheckTest|HostileTest|StdinTest' \
  -E 'CostlyPatterns'

# Checks on eight threads at once, as libmilter runs them, under
# ThreadSanitizer: only the one suite that drives them is built.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBW_TSAN=ON -DBW_BUILD_TESTS=ON >/dev/null
cmake --build build-tsan -j"$Jobs" --target milter_tests
TSAN_OPTIONS="suppressions=$PWD/scripts/tsan.supp:halt_on_error=1" \
  ctest --test-dir build-tsan --output-on-failure -R 'MilterConcurrencyTest'

FUZZ_SECONDS=${FUZZ_SECONDS:-45} scripts/fuzz-smoke.sh
