#!/usr/bin/env bash
# Measures the ledger's stores (bench/LedgerBench.cpp): builds ledger_bench in
# build-bench/ and runs it (on one thread, but for the durable records of 8
# and 32 threads).
#
#   bench/ledger.sh          every size: 10^4, 10^6 and 10^7 entries
#   bench/ledger.sh smoke    10^4 and 10^6 only, for a machine that is shared
#
# The 10^7 ledger is written to BW_LEDGER_BENCH_DIR (default: a folder under
# /tmp, removed afterwards) and takes about half a gigabyte; the script
# refuses to start with less than 3 GiB free there.
set -euo pipefail
cd "$(dirname "$0")/.."

Mode=${1:-full}
Dir=${BW_LEDGER_BENCH_DIR:-/tmp}
FreeKiB=$(df -Pk "$Dir" | awk 'NR == 2 { print $4 }')
if [ "$Mode" = full ] && [ "$FreeKiB" -lt $((3 * 1024 * 1024)) ]; then
  echo "ledger.sh: fewer than 3 GiB free in $Dir; run 'bench/ledger.sh smoke' or set BW_LEDGER_BENCH_DIR" >&2
  exit 1
fi
command -v redis-server >/dev/null || echo "ledger.sh: redis-server is not installed: the Redis lookups are skipped" >&2
command -v redis-sentinel >/dev/null || echo "ledger.sh: redis-sentinel is not installed: the lookup behind a sentinel is skipped" >&2

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBW_BUILD_TESTS=OFF -DBW_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target ledger_bench >/dev/null

Filter=.
[ "$Mode" = smoke ] && Filter='^BM_(KeyOf|RedisLookup|RedisSentinelLookup|LmdbRecordDurably|LmdbImport)|/(10000|1000000)(/|$)'
echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -r)"
build-bench/bench/ledger_bench --benchmark_filter="$Filter" --benchmark_counters_tabular=true
