#!/usr/bin/env bash
# smoke.sh FUZZER KIND SOURCE_DIR: runs one libFuzzer target for FUZZ_SECONDS
# (default 30), seeded from its minimised corpus, the test fixtures and, when
# present, the real bounce corpus. Any crash, leak, time-out or sanitizer
# report fails. Registered as a test of the fuzz build (ctest --preset fuzz).
set -euo pipefail
Fuzzer=$1 Kind=$2 Source=$3
Seconds=${FUZZ_SECONDS:-30}

Work=$(mktemp -d)
trap 'rm -rf "$Work"' EXIT
mkdir "$Work/seeds"
# Each target starts where its longer runs stopped.
if [ -d "$Source/fuzz/corpus/$Kind" ]; then cp "$Source"/fuzz/corpus/"$Kind"/* "$Work/seeds/"; fi
Extra=()
case $Kind in
  check | milter)
    cp "$Source"/examples/*.eml "$Source"/tests/data/*/*.eml "$Work/seeds/"
    if [ -d "$Source/../shared/corpus/mail" ]; then cp "$Source"/../shared/corpus/mail/*.eml "$Work/seeds/"; fi
    Extra=(-dict="$Source/fuzz/mime.dict" -max_len=524288)
    ;;
  stream)
    printf 'utf-8\nMessage-ID: <a@b>\n' >"$Work/seeds/utf8"
    printf 'unicode-1-1-utf-7\nMessage-ID: +ADw-a+AEA-b+AD4-\n' >"$Work/seeds/utf7"
    printf 'x-unknown\n\xff\xfeMessage-ID: <a@b>\n' >"$Work/seeds/unknown"
    Extra=(-dict="$Source/fuzz/mime.dict")
    ;;
esac

cd "$Work"
if ! "$Fuzzer" -max_total_time="$Seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "${Extra[@]}" \
  seeds 2>"$Work/log"; then
  tail -50 "$Work/log"
  exit 1
fi
grep -E 'stat::number_of_executed_units|Done [0-9]+ runs' "$Work/log" | tail -2
