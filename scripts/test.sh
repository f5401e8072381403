#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice:
# a release build, and a build under AddressSanitizer (with leak checks) and
# UndefinedBehaviorSanitizer. Then the end-to-end tests once more with the
# release binary under valgrind's memcheck, the milter's concurrent checks
# and the ledger's stores under ThreadSanitizer, a short fuzzing run of every
# libFuzzer target, and the Debian packages from build to purge.
# Each step is a preset of CMakePresets.json.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
Jobs=$(nproc)

for Preset in release sanitize; do
  cmake --preset $Preset --log-level=WARNING
  cmake --build --preset $Preset -j"$Jobs"
  ctest --preset $Preset -j"$Jobs"
done

# Every exit path of the release binary under memcheck: any error or leak
# makes valgrind exit 97, which fails the test that ran it. The crafted
# files under the costly patterns stay with the sanitizer run: the same
# paths, in a fraction of the time.
ctest --preset memcheck -j"$Jobs"

# Checks on eight threads at once, as libmilter runs them, and the ledger's
# stores with their writer and sweep threads: only the two suites that drive
# them are built.
cmake --preset tsan --log-level=WARNING
cmake --build --preset tsan -j"$Jobs"
ctest --preset tsan

scripts/fuzz-smoke.sh

# The Debian packages, built, checked by lintian, tested installed and taken
# from install to purge (skipped where it cannot run: not root). The one run
# of scripts/package-test.sh: the release preset above leaves it out.
ctest --preset package
