#!/usr/bin/env bash
# Load through a real Postfix smtpd, with and without bouncewarden-milter,
# side by side in one run. Postfix's smtp-source sends over loopback to a
# private Postfix instance (tests/integration/postfix-lib.sh) whose every
# message goes to the discard transport, so the figures are smtpd, cleanup
# and the milter, not a mailbox. Two smtpd services listen: one without the
# milter, one with it (milter_default_action = tempfail, so a milter that
# fails shows as refused mail instead of passing unseen).
#
#   bench/load.sh [<bouncewarden-milter>]     (default: build/bouncewarden-milter)
#
# Loads (overridable in the environment):
#   LOAD_SESSIONS=20  parallel SMTP sessions
#   LOAD_MESSAGES=20000  messages per run, 20 kB each: ordinary mail from an
#                     ordinary sender, and forged bounces (backscatter) with
#                     MAIL FROM:<>, which the milter drops
#   LOAD_HOSTILE_PERCENT=1  crafted bounces (tens of thousands of MIME parts,
#                     the costliest check known) sent beside a run of
#                     ordinary mail through the milter, as a share of it
#   LOAD_RSS_BOUNCES="1000 100000"  the milter's resident set size after
#                     this many bounces in all: the first number before the
#                     timed runs (which warms the milter up), the others
#                     after them, the timed runs' bounces counted
#
# Needs root (the milter starts as root and drops to nobody; Postfix runs an
# instance of its own), Postfix with smtp-source, and the milter. Every loop
# is bounded; nothing leaves 127.0.0.1. Prints Markdown tables.
set -uo pipefail
Here=$(dirname "$(realpath "$0")")
Source=$(realpath "$Here/..")
Milter=$(realpath "${1:-$Source/build/bouncewarden-milter}" 2>/dev/null)
Sessions=${LOAD_SESSIONS:-20}
Messages=${LOAD_MESSAGES:-20000}
RssAfter=${LOAD_RSS_BOUNCES:-1000 100000}
HostilePercent=${LOAD_HOSTILE_PERCENT:-1}
. "$Source/tests/integration/lib.sh"
. "$Source/tests/integration/postfix-lib.sh"
. "$Source/tests/integration/milter-lib.sh"

[ -n "$Milter" ] && [ -x "$Milter" ] || skip "no milter at ${1:-$Source/build/bouncewarden-milter} (build the target bouncewarden-milter)"
command -v smtp-source >/dev/null || skip "smtp-source (Postfix) is not installed"
pf_require "$0" "$@"
pf_make_scratch
trap 'milter_stop; pf_stop; rm -rf "$Scratch"' EXIT

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

# --- Postfix: discard everything; a second smtpd with the milter.
pf_setup
PortMilter=$(pf_free_port)
Socket=$Scratch/milter/milter.sock
install -d -o nobody -g postfix -m 0750 "$Scratch/milter"
pf_conf "local_transport = discard:load" "default_transport = discard:load" "alias_maps =" \
  "in_flow_delay = 0s" "smtpd_client_connection_count_limit = 0" "smtpd_client_connection_rate_limit = 0"
pf_master_add "127.0.0.1:$PortMilter inet n - n - - smtpd
  -o smtpd_milters=unix:$Socket -o milter_default_action=tempfail"

"$Milter" --pattern='.*@example\.com$' --listen="unix:$Socket" --action=discard --user=nobody \
  --socket-owner=nobody:postfix --socket-mode=0660 --log-stderr 2>"$Scratch/milter.log" &
MilterPid=$!
milter_wait_socket "$Socket" "$Scratch/milter.log" "the milter"
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
  tail -n +"$1" "$Scratch/milter.log" | grep -o '[0-9.]* ms$' | sort -n |
    awk '{ T[NR] = $1 } END { if (NR) printf "%.3f / %.3f", T[int(NR * 0.5 + 0.5)], T[int(NR * 0.99 + 0.5)]; else printf "-" }'
}

# The counters of the mail log, to tell accepted from refused.
count() {
  grep -c "$1" "$PfLog"
}

echo "## Load through Postfix's smtpd ($(date -u +%Y-%m-%d), $(nproc) cores, Postfix $(postconf -d -h mail_version))"
echo
echo "$Sessions sessions, $Messages messages of 20 kB per run, over 127.0.0.1 into the discard transport."
echo
echo "| mail | milter | seconds | messages/s | delivered | dropped by the milter | sent with MAIL FROM:<> |"
echo "|---|---|---:|---:|---:|---:|---:|"
# The milter's memory at the start and after the first bounces.
read -r -a RssTargets <<<"$RssAfter"
RssTable="| 0 | $(rss) |"$'\n'
run "$PortMilter" "" "$Scratch/bounce.eml" "${RssTargets[0]}" >/dev/null
Bounces=${RssTargets[0]}
RssTable+="| $Bounces | $(rss) |"$'\n'

for Kind in ordinary bounce; do
  if [ "$Kind" = ordinary ]; then File=$Scratch/ordinary.eml Sender=carol@example.org
  else File=$Scratch/bounce.eml Sender=; fi
  for With in no yes; do
    Port=$PfPort
    [ "$With" = yes ] && Port=$PortMilter
    Accepted=$(count 'status=sent')
    Dropped=$(count 'milter-discard: END-OF-MESSAGE')
    Null=$(count 'qmgr.*: from=<>,\|milter-discard: END-OF-MESSAGE.* from=<>')
    LogLine=$(($(wc -l <"$Scratch/milter.log") + 1))
    Seconds=$(run "$Port" "$Sender" "$File" "$Messages")
    [ "$Kind" = ordinary ] && [ "$With" = no ] && OrdinarySeconds=$Seconds
    [ "$Kind" = bounce ] && [ "$With" = yes ] && BounceTimes=$(check_times "$LogLine") BounceSeconds=$Seconds
    Accepted=$(($(count 'status=sent') - Accepted))
    Dropped=$(($(count 'milter-discard: END-OF-MESSAGE') - Dropped))
    Null=$(($(count 'qmgr.*: from=<>,\|milter-discard: END-OF-MESSAGE.* from=<>') - Null))
    echo "| $Kind | $With | $Seconds | $(awk -v N="$Messages" -v S="$Seconds" 'BEGIN { printf "%.0f", N / S }') | $Accepted | $Dropped | $Null |"
    [ "$Kind" = bounce ] && [ "$With" = yes ] && Bounces=$((Bounces + Messages))
  done
done

echo
echo "The milter's own time per check during the timed bounce run (p50 / p99): $BounceTimes ms;"
echo "bounces checked per second through Postfix on these $(nproc) cores: $(awk -v N="$Messages" -v S="$BounceSeconds" 'BEGIN { printf "%.0f", N / S }')."

# And after so many bounces in all.
RssTable+="| $Bounces | $(rss) |"$'\n'
for Target in "${RssTargets[@]:1}"; do
  if [ "$Target" -gt "$Bounces" ]; then
    run "$PortMilter" "" "$Scratch/bounce.eml" $((Target - Bounces)) >/dev/null
    Bounces=$Target
    RssTable+="| $Bounces | $(rss) |"$'\n'
  fi
done
# Ordinary mail through the milter with crafted bounces beside it.
Hostile=$((Messages * HostilePercent / 100))
if [ "$Hostile" -gt 0 ]; then
  LogLine=$(($(wc -l <"$Scratch/milter.log") + 1))
  timeout 900 smtp-source -s 2 -m "$Hostile" -d -M client.example.org -f "" -t alice@example.com \
    -F "$Scratch/hostile.eml" "127.0.0.1:$PortMilter" >"$Scratch/hostile-source.log" 2>&1 &
  HostileSource=$!
  Seconds=$(run "$PortMilter" carol@example.org "$Scratch/ordinary.eml" "$Messages")
  OrdinaryErrors=$(wc -l <"$Scratch/source.log")
  wait "$HostileSource"
  HostileStatus=$?
  Bounces=$((Bounces + Hostile))
  RssTable+="| $Bounces, of which $Hostile crafted | $(rss) |"$'\n'
  echo
  echo "Ordinary mail through the milter with $Hostile crafted bounces ($(wc -c <"$Scratch/hostile.eml") bytes each, $HostilePercent %) sent beside it:"
  echo "$Seconds s, $(awk -v S="$Seconds" -v O="$OrdinarySeconds" 'BEGIN { printf "%.2f", S / O }') times the run without the milter;"
  echo "smtp-source reported $OrdinaryErrors line(s) of errors for the ordinary mail and exited $HostileStatus for the crafted bounces,"
  echo "whose checks took (p50 / p99) $(check_times "$LogLine") ms."
fi

echo
echo "| bounces through the milter | its resident set size |"
echo "|---:|---:|"
printf '%s' "$RssTable"
if [ -s "$Scratch/source.log" ]; then
  echo
  echo "smtp-source's last run said:"
  sed 's/^/    /' "$Scratch/source.log"
fi
