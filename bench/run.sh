#!/usr/bin/env bash
# Measures bouncewarden: the check in-process next to GMime's own parse, whole
# runs next to a floor program and cat, peak memory, and every crafted hostile
# file. Prints Markdown tables for bench/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."

Packages=(libbenchmark-dev hyperfine time)
Missing=()
for Package in "${Packages[@]}"; do
  dpkg-query -W -f='${Status}' "$Package" 2>/dev/null | grep -q "install ok installed" || Missing+=("$Package")
done
if [ ${#Missing[@]} -gt 0 ]; then
  Sudo=(); [ "$(id -u)" -eq 0 ] || Sudo=(sudo)
  "${Sudo[@]}" apt-get update -qq
  "${Sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${Missing[@]}" >/dev/null
fi
scripts/install-deps.sh

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBW_BUILD_TESTS=OFF -DBW_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" >/dev/null
Tool=$PWD/build-bench/bouncewarden
Floor=$PWD/build-bench/bench/floor
Work=$(mktemp -d)
trap 'rm -rf "$Work"' EXIT
build-bench/bench/make_inputs "$Work"
Pattern='.*@example\.com$'

echo "## Machine"
echo
echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -r)"
echo

echo "## In-process"
echo
echo '```'
build-bench/bench/check_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_filter='BM_Check|BM_GMimeParse' 2>/dev/null | grep -E '_median|Benchmark' || true
build-bench/bench/check_bench --benchmark_filter='BM_Pathological' 2>/dev/null | grep -E 'BM_|Benchmark' || true
echo '```'
echo

echo "## Whole process"
echo
cd "$Work"
for File in dsn-20k.eml dsn-511999.eml plain-bounce.eml; do
  hyperfine -N -i --warmup 20 --runs 300 --export-markdown "$Work/$File.md" \
    "$Tool -s $File $Pattern" "$Floor $File" "cat $File" >/dev/null 2>&1
  echo "### $File"
  echo
  cat "$Work/$File.md"
  echo
done

echo "## Peak memory (maximum resident set, KiB)"
echo
echo "| file | bouncewarden | floor |"
echo "|---|---|---|"
for File in dsn-20k.eml dsn-511999.eml plain-bounce.eml; do
  Ours=$( { /usr/bin/time -f '%M' "$Tool" -s "$File" "$Pattern" >/dev/null || true; } 2>&1 | tail -1)
  Base=$( { /usr/bin/time -f '%M' "$Floor" "$File" >/dev/null || true; } 2>&1 | tail -1)
  echo "| $File | $Ours | $Base |"
done
echo

echo "## Crafted hostile files (pattern that never matches)"
echo
echo "| file | bytes | output | seconds | max RSS KiB |"
echo "|---|---|---|---|---|"
for File in hostile-*.eml; do
  Output=$( { /usr/bin/time -f 'TIME %e %M' "$Tool" -s "$File" '(?!)' || true; } 2>&1 | tr -d '\r')
  Verdict=$(echo "$Output" | grep -v '^TIME' | head -1)
  read -r _ Seconds Rss < <(echo "$Output" | grep '^TIME')
  echo "| $File | $(stat -c %s "$File") | $Verdict | $Seconds | $Rss |"
done
