#!/usr/bin/env bash
# Measures bouncewarden: the check in-process next to GMime's own parse, whole
# runs next to a floor program and cat, peak memory, and every crafted hostile
# file. Prints Markdown tables for bench/README.md.
#
# BW_BENCH_BASELINE=<build-bench folder of another checkout> measures that
# build's check_bench and bouncewarden side by side with this one, in the
# same run, for before-and-after figures.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh bench

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBW_BUILD_TESTS=OFF -DBW_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" >/dev/null
Tool=$PWD/build-bench/bouncewarden
Floor=$PWD/build-bench/bench/floor
Work=$(mktemp -d)
trap 'rm -rf "$Work"' EXIT
build-bench/bench/make_inputs "$Work"
Pattern='.*@example\.com$'
Baseline=${BW_BENCH_BASELINE:-}

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
if [ -n "$Baseline" ]; then
  echo "# baseline: $Baseline"
  "$Baseline/bench/check_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_filter='BM_Check|BM_GMimeParse' 2>/dev/null | grep -E '_median|Benchmark' || true
fi
echo '```'
echo

echo "## Whole process"
echo
cd "$Work"
for File in dsn-20k.eml dsn-511999.eml plain-bounce.eml; do
  Commands=("$Tool -s $File $Pattern" "$Floor $File" "cat $File")
  [ -n "$Baseline" ] && Commands+=("$Baseline/bouncewarden -s $File $Pattern")
  hyperfine -N -i --warmup 20 --runs 300 --export-markdown "$Work/$File.md" "${Commands[@]}" >/dev/null 2>&1
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

echo "## Crafted hostile files next to the typical ones (user+system CPU seconds, one core)"
echo
# The patterns: the README's, one that never matches, one that backtracks
# exponentially, one that recurses deeply, a hosting provider's 1000-domain
# alternation. Targets: at most 0.3 s with the README's pattern, 1 s with any.
Alternation=".*@($(seq 0 999 | sed 's/.*/customer&\\.example\\.net/' | paste -sd'|'))\$"
Patterns=('.*@example\.com$' '(?!)' '.*@(.*\.)*example\.com$' '(a|b)*@x$' "$Alternation")
Names=(readme never backtracking recursion alternation)
echo "| file | bytes | output (README pattern) | $(IFS='|'; echo "${Names[*]}" | sed 's/|/ | /g') | worst | max RSS KiB |"
echo "|---|---:|---|$(printf -- '---:|%.0s' "${Names[@]}")---:|---:|"
for File in dsn-20k.eml dsn-511999.eml plain-bounce.eml hostile-*.eml; do
  Row="| $File | $(stat -c %s "$File") |"
  Worst=0
  Rss=0
  Cells=""
  for I in "${!Patterns[@]}"; do
    Output=$( { /usr/bin/time -f 'TIME %U %S %M' "$Tool" -s "$File" "${Patterns[$I]}" || true; } 2>&1 | tr -d '\r')
    read -r _ User System Max < <(echo "$Output" | grep '^TIME')
    Cpu=$(awk -v U="$User" -v S="$System" 'BEGIN { printf "%.2f", U + S }')
    Worst=$(awk -v C="$Cpu" -v W="$Worst" 'BEGIN { print (C > W ? C : W) }')
    [ "$Max" -gt "$Rss" ] && Rss=$Max
    if [ "$I" -eq 0 ]; then
      Verdict=$(echo "$Output" | grep -v '^TIME' | head -1 | cut -c1-40)
      Row="$Row $Verdict |"
    fi
    Cells="$Cells $Cpu |"
  done
  echo "$Row$Cells $Worst | $Rss |"
done
