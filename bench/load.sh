#!/usr/bin/env bash
# Load through a real Postfix smtpd, against the floor of any milter. Three
# smtpd services of one private Postfix instance listen side by side: one
# without a milter, one with a no-op milter (bench/NoopMilter.c: the same
# steps negotiated away, ordinary mail accepted at end of headers, a null
# sender's body taken and the message discarded), and one with
# bouncewarden-milter --action=discard. Then recording: two more smtpd
# services, one with the no-op milter asking for the connect step and
# keeping the Message-ID too (its "record" mode), one with a second
# bouncewarden-milter that records every message's Message-ID in an LMDB
# ledger (--record-from=127.0.0.0/8), sent the same ordinary mail by turns.
# Then signing the same way: the no-op milter in its "sign" mode (record
# mode, the right to change the sender, and a fixed tagged sender set at
# the end of each message) against a third bouncewarden-milter that records
# and signs (--batv-sign).
# Postfix's smtp-source sends over
# loopback into the discard transport, so the figures are smtpd, cleanup and
# the milter, not a mailbox. The three are measured interleaved, the order
# turning each round, so that a slow moment of a shared machine falls on all
# of them (milter_default_action = tempfail: a milter that fails shows as
# refused mail instead of passing unseen).
#
#   bench/load.sh [<bouncewarden-milter> [<noop_milter>]]
#       (default: build/bouncewarden-milter and build-bench/bench/noop_milter;
#       without the latter, it is compiled with cc; bouncewarden-ledger is
#       taken from beside the milter)
#
# Loads (overridable in the environment):
#   LOAD_SESSIONS=20   parallel SMTP sessions
#   LOAD_MESSAGES=5000 messages per run, 20 kB each: ordinary mail from an
#                      ordinary sender, and forged bounces (backscatter) with
#                      MAIL FROM:<>, which both milters drop
#   LOAD_ROUNDS=4      rounds of the three services, for each kind of mail
#   LOAD_HOSTILE_PERCENT=1  crafted bounces (tens of thousands of MIME parts,
#                      the costliest check known) sent beside a run of
#                      ordinary mail through the milter, as a share of it
#   LOAD_CHECK_BENCH=build-bench/bench/check_bench  the in-process benchmark,
#                      run on the same bounce when it exists
#
# Needs root (the milter starts as root and drops to nobody; Postfix runs an
# instance of its own), Postfix with smtp-source, libmilter and the milter.
# Every loop is bounded; nothing leaves 127.0.0.1. Prints Markdown tables.
set -uo pipefail
Here=$(dirname "$(realpath "$0")")
Source=$(realpath "$Here/..")
Milter=$(realpath "${1:-$Source/build/bouncewarden-milter}" 2>/dev/null)
Noop=${2:-$Source/build-bench/bench/noop_milter}
Sessions=${LOAD_SESSIONS:-20}
Messages=${LOAD_MESSAGES:-5000}
Rounds=${LOAD_ROUNDS:-4}
HostilePercent=${LOAD_HOSTILE_PERCENT:-1}
CheckBench=${LOAD_CHECK_BENCH:-$Source/build-bench/bench/check_bench}
. "$Source/tests/integration/lib.sh"
. "$Source/tests/integration/postfix-lib.sh"
. "$Source/tests/integration/milter-lib.sh"

[ -n "$Milter" ] && [ -x "$Milter" ] || skip "no milter at ${1:-$Source/build/bouncewarden-milter} (build the target bouncewarden-milter)"
LedgerTool=$(dirname "$Milter")/bouncewarden-ledger
[ -x "$LedgerTool" ] || skip "no $LedgerTool (build the target bouncewarden-ledger)"
command -v smtp-source >/dev/null || skip "smtp-source (Postfix) is not installed"
pf_require "$0" "$@"
pf_make_scratch
NoopPid=
NoopRecordPid=
RecordPid=
NoopSignPid=
SignPid=
trap 'kill -KILL $NoopPid $NoopRecordPid $RecordPid $NoopSignPid $SignPid 2>/dev/null; milter_stop; pf_stop; rm -rf "$Scratch"' EXIT
if [ ! -x "$Noop" ]; then
  cc -O2 -Wall -o "$Scratch/noop_milter" "$Here/NoopMilter.c" -lmilter -lpthread ||
    skip "cannot build the no-op milter (libmilter-dev missing?)"
  Noop=$Scratch/noop_milter
fi

# --- The messages, 20000 bytes each.
pad_to() {
  # pad_to <bytes> <line>: lines of text until the total reaches <bytes>.
  local Size=$1 Have=$2
  local Line="The quick brown fox jumps over the lazy dog, and the load goes on and on."
  while [ $((Have + ${#Line} + 1)) -le "$Size" ]; do
    echo "$Line"
    Have=$((Have + ${#Line} + 1))
  done
  head -c $((Size - Have)) /dev/zero | tr '\0' 'x'
}
{
  printf 'From: Carol <carol@example.org>\nTo: alice@example.com\nSubject: Load\n'
  printf 'Message-ID: <load.1@example.org>\nDate: Mon, 7 Dec 2026 10:00:00 +0100\n'
  printf 'MIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n\n'
} >"$Scratch/ordinary.eml"
pad_to 20000 "$(wc -c <"$Scratch/ordinary.eml")" >>"$Scratch/ordinary.eml"
# The forged bounce of the tests, its returned message padded.
Bounce=$Source/tests/data/integration/bounce-of-forged-message.eml
Head=$(sed -n '1,/^Buy now\.$/p' "$Bounce")
Tail=$(sed -n '/^Buy now\.$/,$p' "$Bounce" | sed '1d')
{
  printf '%s\n' "$Head"
  pad_to $((20000 - ${#Head} - 1 - ${#Tail} - 1)) 0
  printf '\n%s\n' "$Tail"
} >"$Scratch/bounce.eml"

# A crafted bounce that the milter still examines: the returned headers,
# then tens of thousands of empty parts, which GMime parses one by one. The
# milter counts the message as it comes over SMTP, with CR LF line ends, so
# 340000 bytes of LF lines arrive as about 490000.
{
  printf 'From: MAILER-DAEMON@mx.example.org\nTo: alice@example.com\n'
  printf 'Content-Type: multipart/report; report-type=delivery-status; boundary="R"\n\n'
  printf -- '--R\nContent-Type: text/rfc822-headers\n\nMessage-ID: <x@returned.example>\n\n'
  awk 'BEGIN { while (Size < 340000) { printf "--R\n\nx\n"; Size += 7 } }'
  printf '\n--R--\n'
} >"$Scratch/hostile.eml"

# --- Postfix: discard everything; two more smtpd services, one per milter.
pf_setup
PortNoop=$(pf_free_port)
PortMilter=$(pf_free_port)
while [ "$PortMilter" = "$PortNoop" ]; do PortMilter=$(pf_free_port); done
Socket=$Scratch/milter/milter.sock
NoopSocket=$Scratch/noop/milter.sock
install -d -o nobody -g postfix -m 0750 "$Scratch/milter"
install -d -m 0755 "$Scratch/noop"
pf_conf "local_transport = discard:load" "default_transport = discard:load" "alias_maps =" \
  "in_flow_delay = 0s" "smtpd_client_connection_count_limit = 0" "smtpd_client_connection_rate_limit = 0"
pf_master_add "127.0.0.1:$PortNoop inet n - n - - smtpd
  -o smtpd_milters=unix:$NoopSocket -o milter_default_action=tempfail"
pf_master_add "127.0.0.1:$PortMilter inet n - n - - smtpd
  -o smtpd_milters=unix:$Socket -o milter_default_action=tempfail"
# Recording: the no-op milter in its record mode, and a second milter with a ledger.
PortNoopRecord=$(pf_free_port)
PortRecord=$(pf_free_port)
NoopRecordSocket=$Scratch/noop-record/milter.sock
RecordSocket=$Scratch/record/milter.sock
install -d -m 0755 "$Scratch/noop-record"
install -d -o nobody -g postfix -m 0750 "$Scratch/record"
install -d -o nobody -m 0700 "$Scratch/ledger"
runuser -u nobody -- "$LedgerTool" --ledger="lmdb:$Scratch/ledger/ledger" --ledger-key-file="$Scratch/ledger/key" init \
  >/dev/null || { echo "FAIL: bouncewarden-ledger init"; exit 1; }
pf_master_add "127.0.0.1:$PortNoopRecord inet n - n - - smtpd
  -o smtpd_milters=unix:$NoopRecordSocket -o milter_default_action=tempfail"
pf_master_add "127.0.0.1:$PortRecord inet n - n - - smtpd
  -o smtpd_milters=unix:$RecordSocket -o milter_default_action=tempfail"

# Signing: the no-op milter in its sign mode, and a third milter that records and signs.
PortNoopSign=$(pf_free_port)
PortSign=$(pf_free_port)
NoopSignSocket=$Scratch/noop-sign/milter.sock
SignSocket=$Scratch/sign/milter.sock
install -d -m 0755 "$Scratch/noop-sign"
install -d -o nobody -g postfix -m 0750 "$Scratch/sign"
(umask 077 && od -An -tx1 -v -N32 /dev/urandom | tr -d ' \n' >"$Scratch/ledger/batv.key" && echo >>"$Scratch/ledger/batv.key")
chown nobody "$Scratch/ledger/batv.key"
pf_master_add "127.0.0.1:$PortNoopSign inet n - n - - smtpd
  -o smtpd_milters=unix:$NoopSignSocket -o milter_default_action=tempfail"
pf_master_add "127.0.0.1:$PortSign inet n - n - - smtpd
  -o smtpd_milters=unix:$SignSocket -o milter_default_action=tempfail"

"$Milter" --pattern='.*@example\.com$' --listen="unix:$Socket" --action=discard --user=nobody \
  --socket-owner=nobody:postfix --socket-mode=0660 --log-stderr 2>"$Scratch/milter.log" &
MilterPid=$!
milter_wait_socket "$Socket" "$Scratch/milter.log" "the milter"
"$Noop" "unix:$NoopSocket" 2>"$Scratch/noop.log" &
NoopPid=$!
"$Noop" "unix:$NoopRecordSocket" record 2>"$Scratch/noop-record.log" &
NoopRecordPid=$!
"$Milter" --pattern='.*@example\.com$' --listen="unix:$RecordSocket" --action=discard --user=nobody \
  --socket-owner=nobody:postfix --socket-mode=0660 --log-stderr --ledger="lmdb:$Scratch/ledger/ledger" \
  --ledger-key-file="$Scratch/ledger/key" --record-from=127.0.0.0/8 2>"$Scratch/record.log" &
RecordPid=$!
"$Noop" "unix:$NoopSignSocket" sign 2>"$Scratch/noop-sign.log" &
NoopSignPid=$!
"$Milter" --pattern='.*@example\.com$' --listen="unix:$SignSocket" --action=discard --user=nobody \
  --socket-owner=nobody:postfix --socket-mode=0660 --log-stderr --ledger="lmdb:$Scratch/ledger/ledger" \
  --ledger-key-file="$Scratch/ledger/key" --record-from=127.0.0.0/8 --batv-sign \
  --batv-key-file="$Scratch/ledger/batv.key" 2>"$Scratch/sign.log" &
SignPid=$!
for Made in "$NoopSocket" "$NoopRecordSocket" "$RecordSocket" "$NoopSignSocket" "$SignSocket"; do
  for _ in $(seq 100); do [ -S "$Made" ] && break; sleep 0.1; done
  [ -S "$Made" ] || { cat "$Scratch"/noop*.log "$Scratch/record.log" "$Scratch/sign.log"; echo "FAIL: no socket $Made"; exit 1; }
done
pf_start

rss() {
  awk '/^VmRSS:/ { printf "%.1f MB", $2 / 1024 }' "/proc/$MilterPid/status"
}

# run <port> <sender> <file> <messages>: smtp-source, then the queue empty.
# Prints the seconds SMTP took; the SMTP errors smtp-source saw go to
# $Scratch/source.log.
run() {
  local Start End
  Start=$(date +%s.%N)
  timeout 900 smtp-source -s "$Sessions" -m "$4" -d -M client.example.org -f "$2" -t alice@example.com \
    -F "$3" "127.0.0.1:$1" >"$Scratch/source.log" 2>&1
  End=$(date +%s.%N)
  pf_wait_delivered >/dev/null || sleep 5
  awk -v S="$Start" -v E="$End" 'BEGIN { printf "%.2f", E - S }'
}

# The milter's own time per check, over the log lines from line $1 on:
# "p50 / p99" in milliseconds.
check_times() {
  tail -n +"$1" "$Scratch/milter.log" | grep -oE ', [0-9.]+ ms(, returned=|$)' | grep -oE '[0-9.]+ ms' | sort -n |
    awk '{ T[NR] = $1 } END { if (NR) printf "%.3f / %.3f", T[int(NR * 0.5 + 0.5)], T[int(NR * 0.99 + 0.5)]; else printf "-" }'
}

count() {  # the lines of the mail log that match $1
  grep -c "$1" "$PfLog"
}

# ratios <numerators> <denominators>: "min–max (median)" of their quotients.
ratios() {
  paste -d' ' <(tr ' ' '\n' <<<"$1") <(tr ' ' '\n' <<<"$2") | awk 'NF == 2 { print $1 / $2 }' | sort -n |
    awk '{ R[NR] = $1 } END { printf "%.2f–%.2f (median %.2f)", R[1], R[NR], (NR % 2) ? R[(NR + 1) / 2] : (R[NR / 2] + R[NR / 2 + 1]) / 2 }'
}

echo "## Load through Postfix's smtpd ($(date -u +%Y-%m-%d), $(nproc) cores, Postfix $(postconf -d -h mail_version))"
echo
echo "$Sessions sessions, $Messages messages of 20 kB per run, $Rounds rounds, over 127.0.0.1 into the discard transport;"
echo "the three services interleaved, the order turning each round."
echo
RssStart=$(rss)
# Warm-up: a few bounces through each milter.
run "$PortMilter" "" "$Scratch/bounce.eml" 200 >/dev/null
run "$PortNoop" "" "$Scratch/bounce.eml" 200 >/dev/null
RssWarm=$(rss)

declare -A Seconds=()
Services=(none noop ours)
declare -A Port=([none]=$PfPort [noop]=$PortNoop [ours]=$PortMilter)
BounceLogLine=
echo "| round | mail | no milter (s) | no-op milter (s) | bouncewarden-milter (s) | refused or failed |"
echo "|---:|---|---:|---:|---:|---:|"
for Round in $(seq "$Rounds"); do
  for Kind in ordinary bounce; do
    if [ "$Kind" = ordinary ]; then File=$Scratch/ordinary.eml Sender=carol@example.org
    else File=$Scratch/bounce.eml Sender=; fi
    Errors=0
    for Turn in 0 1 2; do
      Service=${Services[$(((Round + Turn) % 3))]}
      [ "$Kind" = bounce ] && [ "$Service" = ours ] && [ -z "$BounceLogLine" ] &&
        BounceLogLine=$(($(wc -l <"$Scratch/milter.log") + 1))
      Seconds[$Kind,$Service,$Round]=$(run "${Port[$Service]}" "$Sender" "$File" "$Messages")
      Errors=$((Errors + $(grep -c -i 'error\|fail\|refused\|4[0-9][0-9] ' "$Scratch/source.log")))
    done
    echo "| $Round | $Kind | ${Seconds[$Kind,none,$Round]} | ${Seconds[$Kind,noop,$Round]} | ${Seconds[$Kind,ours,$Round]} | $Errors |"
  done
done
CheckTimes=$(check_times "${BounceLogLine:-1}")

list() {  # list <kind> <service>: the seconds of every round
  local Round Out=
  for Round in $(seq "$Rounds"); do Out+="${Seconds[$1,$2,$Round]} "; done
  echo "${Out% }"
}
echo
echo "| mail | no-op ÷ no milter | ours ÷ no-op | ours, messages/s (best round) |"
echo "|---|---|---|---:|"
for Kind in ordinary bounce; do
  Best=$(tr ' ' '\n' <<<"$(list $Kind ours)" | sort -n | head -1)
  echo "| $Kind | $(ratios "$(list $Kind noop)" "$(list $Kind none)") | $(ratios "$(list $Kind ours)" "$(list $Kind noop)") | $(awk -v N="$Messages" -v S="$Best" 'BEGIN { printf "%.0f", N / S }') |"
done
echo
echo "The milter's own time per check over every timed bounce (p50 / p99): $CheckTimes ms."
if [ -x "$CheckBench" ]; then
  # The same bounce as the milter receives it: CR LF line ends.
  sed 's/$/\r/' "$Scratch/bounce.eml" >"$Scratch/bounce-crlf.eml"
  echo "In-process, the same bytes ($(wc -c <"$Scratch/bounce-crlf.eml") with CR LF), median of 5 (\`check_bench --benchmark_filter=BM_MilterCheck\`):"
  echo
  BW_BENCH_MESSAGE=$Scratch/bounce-crlf.eml "$CheckBench" --benchmark_filter=BM_MilterCheck \
    --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null |
    awk '/_median/ { printf "    %-40s %10s %s  %s %s %s\n", $1, $2, $3, $6, $7, $8 }'
fi

# by_turns <noop service> <noop port> <our service> <our port> <our log> <log marker> <what> <done> <noop heading>
#          <our heading>:
# the same ordinary mail through a no-op milter's mode and through one of
# ours, by turns, $Rounds rounds after a warm-up; a table of the seconds,
# their ratio, and how many timed messages our log marks as done.
by_turns() {
  local Noop=$1 NoopPort=$2 Ours=$3 OursPort=$4 Log=$5 Marker=$6 What=$7 Done=$8
  run "$OursPort" carol@example.org "$Scratch/ordinary.eml" 200 >/dev/null
  run "$NoopPort" carol@example.org "$Scratch/ordinary.eml" 200 >/dev/null
  local Before Round Turn Service Errors
  Before=$(grep -c "$Marker" "$Log")
  echo
  echo "| round | $9 (s) | ${10} (s) | refused or failed |"
  echo "|---:|---:|---:|---:|"
  local -A Port=([$Noop]=$NoopPort [$Ours]=$OursPort)
  local Services=("$Noop" "$Ours")
  for Round in $(seq "$Rounds"); do
    Errors=0
    for Turn in 0 1; do
      Service=${Services[$(((Round + Turn) % 2))]}
      Seconds[ordinary,$Service,$Round]=$(run "${Port[$Service]}" carol@example.org "$Scratch/ordinary.eml" "$Messages")
      Errors=$((Errors + $(grep -c -i 'error\|fail\|refused\|4[0-9][0-9] ' "$Scratch/source.log")))
    done
    echo "| $Round | ${Seconds[ordinary,$Noop,$Round]} | ${Seconds[ordinary,$Ours,$Round]} | $Errors |"
  done
  echo
  echo "$What ÷ no-op in its mode: $(ratios "$(list ordinary "$Ours")" "$(list ordinary "$Noop")") (target ≤ 1.05);"
  echo "$(($(grep -c "$Marker" "$Log") - Before)) of $((Messages * Rounds)) timed messages logged as $Done."
}

echo
echo "Recording: ordinary mail from 127.0.0.1, recorded by a second bouncewarden-milter (--record-from=127.0.0.0/8, LMDB),"
echo "against the no-op milter asking for the connect step and keeping the Message-ID:"
by_turns noop-record "$PortNoopRecord" record "$PortRecord" "$Scratch/record.log" ', recorded$' recording recorded \
  "no-op milter, record mode" "bouncewarden-milter recording"

echo
echo "Signing: ordinary mail from 127.0.0.1, recorded and signed by a third bouncewarden-milter (--record-from=127.0.0.0/8"
echo "--batv-sign, LMDB), against the no-op milter in its sign mode (the connect step, the Message-ID kept, the body"
echo "skipped, a fixed tagged sender set at the end):"
by_turns noop-sign "$PortNoopSign" sign "$PortSign" "$Scratch/sign.log" ', signed as <prvs=' signing signed \
  "no-op milter, sign mode" "bouncewarden-milter signing"
if [ -x "$CheckBench" ]; then
  echo
  echo "A bounce decided at RCPT against one judged by its content, through the milter's session in-process, median of 5"
  echo "(\`check_bench --benchmark_filter=BM_BounceAtRcpt\`):"
  echo
  "$CheckBench" --benchmark_filter=BM_BounceAtRcpt --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    2>/dev/null | awk '/_median/ { Label = ""; for (I = 6; I <= NF; ++I) Label = Label " " $I; printf "    %-28s %8s %s %s\n", $1, $2, $3, Label }'
fi

# Ordinary mail through the milter with crafted bounces beside it.
Hostile=$((Messages * HostilePercent / 100))
if [ "$Hostile" -gt 0 ]; then
  LogLine=$(($(wc -l <"$Scratch/milter.log") + 1))
  timeout 900 smtp-source -s 2 -m "$Hostile" -d -M client.example.org -f "" -t alice@example.com \
    -F "$Scratch/hostile.eml" "127.0.0.1:$PortMilter" >"$Scratch/hostile-source.log" 2>&1 &
  HostileSource=$!
  MixSeconds=$(run "$PortMilter" carol@example.org "$Scratch/ordinary.eml" "$Messages")
  OrdinaryErrors=$(wc -l <"$Scratch/source.log")
  wait "$HostileSource"
  HostileStatus=$?
  echo
  echo "Ordinary mail through the milter with $Hostile crafted bounces ($(wc -c <"$Scratch/hostile.eml") bytes each, $HostilePercent %) sent beside it:"
  echo "$MixSeconds s against $(tr ' ' '\n' <<<"$(list ordinary ours)" | sort -n | head -1) s for the best round without them;"
  echo "smtp-source reported $OrdinaryErrors line(s) of errors for the ordinary mail and exited $HostileStatus for the crafted bounces,"
  echo "whose checks took (p50 / p99) $(check_times "$LogLine") ms."
  RssHostile=$(rss)
fi

echo
echo "| the milter's resident set size | |"
echo "|---|---:|"
echo "| at the start | $RssStart |"
echo "| after the warm-up | $RssWarm |"
echo "| after the timed runs | ${RssHostile:-$(rss)} |"
if [ -s "$Scratch/source.log" ]; then
  echo
  echo "smtp-source's last run said:"
  sed 's/^/    /' "$Scratch/source.log"
fi
