#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a short time
# (FUZZ_SECONDS, default 30; see fuzz/smoke.sh). Any crash, leak, time-out or
# sanitizer report fails.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset fuzz --log-level=WARNING
cmake --build --preset fuzz -j"$(nproc)"
ctest --preset fuzz -j"$(nproc)"
