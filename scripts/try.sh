#!/usr/bin/env bash
# Installs what the build needs, builds a release binary and checks the bundled
# sample bounce with the usage text's first example pattern.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBW_BUILD_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" >/dev/null
set +e
build-release/bouncewarden -s"" examples/sample-bounce.eml '.*@example\.com$'
Status=$?
set -e
echo "exit code: $Status"
[ "$Status" -le 1 ]
