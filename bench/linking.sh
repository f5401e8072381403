#!/usr/bin/env bash
# What a whole run of bouncewarden costs with GMime, GLib, PCRE and the C++
# run-time linked statically (the from-source default) against the shared
# libraries (the Debian package), both built here with the same compiler
# flags and measured in the same run: instructions (callgrind, the whole
# process from the loader's first instruction; repeatable on a busy
# machine), page faults and shared libraries mapped, and wall time side by
# side (hyperfine). Prints a Markdown table for bench/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh bench

# Only the program (and, in one tree, the writer of the measured files).
Options=(-DCMAKE_BUILD_TYPE=Release -DBW_BUILD_TESTS=OFF)
cmake -S . -B build-bench-static "${Options[@]}" -DBW_BENCH=ON >/dev/null
cmake -S . -B build-bench-shared "${Options[@]}" -DBW_STATIC_GMIME=OFF -DBW_STATIC_RUNTIME=OFF >/dev/null
cmake --build build-bench-static -j"$(nproc)" --target bouncewarden make_inputs >/dev/null
cmake --build build-bench-shared -j"$(nproc)" --target bouncewarden >/dev/null
Static=$PWD/build-bench-static/bouncewarden
Shared=$PWD/build-bench-shared/bouncewarden
Work=$(mktemp -d)
trap 'rm -rf "$Work"' EXIT
build-bench-static/bench/make_inputs "$Work"
Pattern='.*@example\.com$'

instructions() {  # instructions <program> <file>: callgrind's count for the whole process
  valgrind -q --tool=callgrind --callgrind-out-file="$Work/callgrind.out" "$1" -s "$2" "$Pattern" >/dev/null || true
  awk '/^summary:/ { print $2 }' "$Work/callgrind.out"
}
faults() {  # faults <program> <file>: minor page faults of one run
  { /usr/bin/time -f '%R' "$1" -s "$2" "$Pattern" >/dev/null || true; } 2>&1 | tail -1
}

echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -r)"
echo
echo "shared libraries mapped: static $(ldd "$Static" | grep -c '=>'), shared $(ldd "$Shared" | grep -c '=>')"
echo
echo "| file | instructions static | instructions shared | page faults static / shared | wall static | wall shared |"
echo "|---|---:|---:|---:|---:|---:|"
cd "$Work"
for File in dsn-20k.eml dsn-511999.eml plain-bounce.eml; do
  hyperfine -N -i --warmup 20 --runs 300 --export-csv "$Work/$File.csv" \
    "$Static -s $File $Pattern" "$Shared -s $File $Pattern" >/dev/null 2>&1
  # command,mean,stddev,... in seconds, one line per command.
  Wall=$(awk -F, 'NR > 1 { printf "%.2f ± %.2f ms\n", $2 * 1000, $3 * 1000 }' "$Work/$File.csv")
  printf '| %s | %s M | %s M | %s / %s | %s | %s |\n' "$File" \
    "$(awk -v N="$(instructions "$Static" "$File")" 'BEGIN { printf "%.2f", N / 1e6 }')" \
    "$(awk -v N="$(instructions "$Shared" "$File")" 'BEGIN { printf "%.2f", N / 1e6 }')" \
    "$(faults "$Static" "$File")" "$(faults "$Shared" "$File")" \
    "$(sed -n 1p <<<"$Wall")" "$(sed -n 2p <<<"$Wall")"
done
