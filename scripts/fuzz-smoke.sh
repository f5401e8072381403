#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a short time
# (FUZZ_SECONDS, default 60), seeded from the test fixtures and, when present,
# the real bounce corpus. Any crash, leak, time-out or sanitizer report fails.
set -euo pipefail
cd "$(dirname "$0")/.."
Seconds=${FUZZ_SECONDS:-60}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBW_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null

Work=$(mktemp -d)
trap 'rm -rf "$Work"' EXIT
mkdir -p "$Work/check" "$Work/regex" "$Work/stream" "$Work/milter"
# Each target starts where its longer runs stopped.
for Target in check regex stream milter; do
  if [ -d "fuzz/corpus/$Target" ]; then cp fuzz/corpus/"$Target"/* "$Work/$Target/"; fi
done
cp examples/*.eml tests/data/*/*.eml "$Work/check/"
if [ -d ../shared/corpus/mail ]; then cp ../shared/corpus/mail/*.eml "$Work/check/"; fi
cp "$Work/check/"*.eml "$Work/milter/"
printf 'utf-8\nMessage-ID: <a@b>\n' >"$Work/stream/utf8"
printf 'unicode-1-1-utf-7\nMessage-ID: +ADw-a+AEA-b+AD4-\n' >"$Work/stream/utf7"
printf 'x-unknown\n\xff\xfeMessage-ID: <a@b>\n' >"$Work/stream/unknown"

Options=(-max_total_time="$Seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1)
run() {
  local Target=$1 Corpus=$2
  shift 2
  echo "== $Target: ${Seconds}s"
  (cd "$Work" && "$OLDPWD/build-fuzz/fuzz/$Target" "${Options[@]}" "$@" "$Corpus" 2>"$Work/$Target.log") || {
    tail -50 "$Work/$Target.log"
    echo "$Target failed"
    exit 1
  }
  grep -E 'stat::number_of_executed_units|Done [0-9]+ runs' "$Work/$Target.log" | tail -2
}
run check_fuzzer "$Work/check" -dict="$PWD/fuzz/mime.dict" -max_len=524288
run regex_fuzzer "$Work/regex"
run stream_text_fuzzer "$Work/stream" -dict="$PWD/fuzz/mime.dict"
run milter_message_fuzzer "$Work/milter" -dict="$PWD/fuzz/mime.dict" -max_len=524288
echo "fuzz smoke: all targets ran clean"
