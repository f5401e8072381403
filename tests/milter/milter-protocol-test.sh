#!/usr/bin/env bash
# The built bouncewarden-milter as a daemon, with miltertest playing the MTA
# and small raw peers: one behaviour of the process per check (what a
# session decides is tested through its reply interface in
# MilterSessionTest.cpp). Each daemon listens on a unix socket in a scratch
# folder and is stopped with a signal, which must end it with exit code 0.
#
# Usage: milter-protocol-test.sh <bouncewarden-milter> <source tree> [sanitized]
# Exits 77 (a skip for CTest) when miltertest or the daemon is missing.
set -uo pipefail
Binary=$1
Source=$2
Sanitized=${3:-}
Lua=$Source/tests/milter/lua
Pattern='.*@example\.com$'
DefaultReply='550|5.7.1|Backscatter: the returned message was not sent from here'

command -v miltertest >/dev/null || { echo "SKIP: miltertest is not installed"; exit 77; }
[ -x "$Binary" ] || { echo "SKIP: $Binary was not built (libmilter-dev missing)"; exit 77; }

. "$Source/tests/integration/lib.sh"  # pass, fail, check, finish

Scratch=$(mktemp -d "${TMPDIR:-/tmp}/bw-milter.XXXXXX")
chmod 755 "$Scratch"  # the daemon, once it is another user, must reach its socket's folder
declare -A Pids=()
stop_all() {
  local Name
  for Name in "${!Pids[@]}"; do kill -KILL "${Pids[$Name]}" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$Scratch"
}
trap stop_all EXIT
trap 'exit 1' INT TERM

# Started as root, the daemon must be told whom to become.
UserOption=()
[ "$(id -u)" -eq 0 ] && UserOption=(--user=nobody)

# start <name> <option...>: a daemon listening on $Scratch/<name>.sock.
start() {
  local Name=$1
  shift
  "$Binary" --listen="unix:$Scratch/$Name.sock" --log-stderr --workers=2 "${UserOption[@]}" "$@" \
    2>"$Scratch/$Name.log" &
  Pids[$Name]=$!
}

wait_socket() {  # wait_socket <name>: up to 5 s for the socket to answer
  for _ in $(seq 100); do
    [ -S "$Scratch/$1.sock" ] && grep -q ' started: ' "$Scratch/$1.log" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

# run <daemon> <script> [NAME=VALUE...]: the script against that daemon.
run() {
  local Name=$1 Script=$2
  shift 2
  local Defines=(-D "SOCK=$Scratch/$Name.sock" -D "LIB=$Lua/lib.lua" -D "DATA=$Source/tests/data"
                 -D "PID=${Pids[$Name]}")
  local Define
  for Define in "$@"; do Defines+=(-D "$Define"); done
  if miltertest "${Defines[@]}" -s "$Lua/$Script" >"$Scratch/out" 2>&1; then
    pass "$Script on $Name $*"
    grep -v '^$' "$Scratch/out" | sed 's/^/    /'
  else
    fail "$Script on $Name $*"
    sed 's/^/    /' "$Scratch/out"
  fi
}

logged() {  # logged <daemon> <fixed string>: the daemon logged such a line
  grep -qF -- "$2" "$Scratch/$1.log"
}

# stop <daemon> <signal>: the daemon ends within 40 s with exit code 0 and
# its last line names the signal. Sets StopSeconds.
stop() {
  local Name=$1 Signal=$2 Pid=${Pids[$1]} Start Code
  Start=$(date +%s.%N)
  kill -"$Signal" "$Pid"
  for _ in $(seq 400); do kill -0 "$Pid" 2>/dev/null || break; sleep 0.1; done
  StopSeconds=$(awk -v S="$Start" -v E="$(date +%s.%N)" 'BEGIN { printf "%.1f", E - S }')
  if kill -0 "$Pid" 2>/dev/null; then
    fail "$Name did not stop within 40 s of SIG$Signal"
    return
  fi
  wait "$Pid"
  Code=$?
  unset "Pids[$Name]"
  if [ $Code -eq 0 ] && tail -1 "$Scratch/$Name.log" | grep -q "^stopped on SIG$Signal after "; then
    pass "$Name stopped on SIG$Signal in $StopSeconds s, exit 0: $(tail -1 "$Scratch/$Name.log")"
  else
    fail "$Name: exit code $Code after SIG$Signal; log: $(tail -3 "$Scratch/$Name.log")"
  fi
}

# Started as root without --user, the daemon refuses before it opens anything.
if [ "$(id -u)" -eq 0 ]; then
  "$Binary" --pattern="$Pattern" --listen="unix:$Scratch/root.sock" --log-stderr 2>"$Scratch/root.err"
  Code=$?
  if [ $Code -eq 78 ] && grep -q "refusing to keep running as root" "$Scratch/root.err" && [ ! -e "$Scratch/root.sock" ]; then
    pass "root without --user: exit 78, no socket"
  else
    fail "root without --user: exit $Code, $(cat "$Scratch/root.err")"
  fi
fi

# --- A start-up failure reaches the mail log too, as an error of facility
# mail with the exit code: in a mount namespace of its own, a datagram
# socket of the test's stands in for /dev/log.
if [ "$(id -u)" -eq 0 ] && command -v python3 >/dev/null && unshare --mount --propagation private true 2>/dev/null; then
  unshare --mount --propagation private bash -c '
    mount -t tmpfs tmpfs /dev && mknod -m 666 /dev/null c 1 3 || exit 1
    python3 -c "
import socket, sys
Log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
Log.bind(\"/dev/log\")
Log.settimeout(10)
print(Log.recv(65536).decode(\"utf-8\", \"replace\"))" >"$1" &
    for _ in $(seq 50); do [ -S /dev/log ] && break; sleep 0.1; done
    "$2" --pattern="(a" --listen="unix:$3/never.sock" 2>"$3/never.err"
    echo "$?" >"$3/never.code"
    wait' bash "$Scratch/syslog" "$Binary" "$Scratch"
  check "a start-up failure goes to standard error and the mail log (mail.err), with its exit code: $(cat "$Scratch/syslog")" \
    eval '[ "$(cat "$Scratch/never.code")" = 78 ] &&
      grep -q "^bouncewarden-milter: Invalid Message-ID regular expression .* (exit 78)$" "$Scratch/never.err" &&
      grep -q "^<19>.*bouncewarden-milter\[[0-9]*\]: Invalid Message-ID regular expression .* (exit 78)$" "$Scratch/syslog"'
fi

# --- Sockets. A daemon killed outright leaves its socket file behind; the
# next start replaces it. A start on a socket that answers is refused and
# leaves the running daemon serving.
start reject --pattern="$Pattern"
wait_socket reject
kill -KILL "${Pids[reject]}"
wait "${Pids[reject]}" 2>/dev/null
check "a killed daemon leaves a stale socket" [ -S "$Scratch/reject.sock" ]
start reject --pattern="$Pattern"
check "the next start replaces the stale socket" wait_socket reject
"$Binary" --pattern="$Pattern" --listen="unix:$Scratch/reject.sock" --log-stderr "${UserOption[@]}" \
  2>"$Scratch/second.err"
Code=$?
check "a second start on the live socket exits 69: $(cat "$Scratch/second.err")" \
  eval '[ $Code -eq 69 ] && grep -q "another process answers on the socket" "$Scratch/second.err"'
: >"$Scratch/regular"
"$Binary" --pattern="$Pattern" --listen="unix:$Scratch/regular" --log-stderr "${UserOption[@]}" 2>"$Scratch/regular.err"
check "a regular file at the socket path is refused by name: $(cat "$Scratch/regular.err")" \
  eval '! grep -q Success "$Scratch/regular.err" && grep -q "exists and is not a socket" "$Scratch/regular.err"'
check "socket mode 0660 by default" [ "$(stat -c %a "$Scratch/reject.sock")" = 660 ]
start private --pattern="$Pattern" --socket-mode=0600 --action=tag
wait_socket private
check "--socket-mode=0600" [ "$(stat -c %a "$Scratch/private.sock")" = 600 ]

# --- The protocol: negotiation, the reply, and the first daemon still
# serving after the second start was refused.
run reject reject.lua "REPLY=$DefaultReply"
check "one line per checked bounce, the queue ID first" \
  logged reject 'FORGED1: sender=<>, verdict=backscatter, message-ids=1, rule=pattern, action=reject, '
check "the start line has no queue ID" eval 'grep -q "^bouncewarden-milter .* started: socket=unix:" "$Scratch/reject.log"'
check "no check line for a message accepted at end of headers" eval '! logged reject FWD1'
run private tag.lua
check "a flood of the tag is refused and logged as such" \
  logged private 'FLOOD1: sender=<carol@example.org>, verdict=refused (21 X-Bouncewarden headers, more than 20)'
if [ "$Sanitized" = sanitized ]; then run reject memory.lua SANITIZED=1; else run reject memory.lua; fi

# --- Log injection: one line each for the sender and the queue ID, with no
# raw control byte on any line.
run reject injection.lua
check "a sender and a queue ID with CR, LF, ESC, BEL and DEL give one escaped line" \
  logged reject 'INJ1\x0D\x0AFAKE2: forged\x1B]0;x\x07: sender=<evil\x0D\x0AFAKE1: sender=<\x3E, verdict=not backscatter\x1B[2J\x07\x7F@example.org>, verdict=backscatter'
check "no line of the log holds a control byte" eval '! LC_ALL=C grep -q "[[:cntrl:]]" "$Scratch/reject.log"'
check "no forged line" eval '! grep -q "^FAKE" "$Scratch/reject.log"'
check "a quoted local part cannot close the sender's field: one '>, verdict=' on its line, the real one" \
  eval '[ "$(grep "^INJ2: " "$Scratch/reject.log" | grep -o ">, verdict=[a-z ]*" )" = ">, verdict=backscatter" ]'

# --- Stalled peers, with --timeout=2: half a packet, a packet sent a byte
# a second, and a connection that goes quiet after its negotiation are
# each closed within a few seconds (libmilter itself waits between packets
# for ever).
# Its pattern is a long alternation, which the start line shortens.
LongPattern="$Pattern$(printf '|.*@host%03d\\.example\\.org$' $(seq 200))"
start timeout --pattern="$LongPattern" --timeout=2
wait_socket timeout
check "the start line shortens a long pattern and gives its length" \
  eval 'grep -q "pattern=.\{100\}\.\.\. (${#LongPattern} bytes)$" "$Scratch/timeout.log"'
# stalled <half|dribble|idle>: seconds until the daemon closed the connection.
stalled() {
  perl -MIO::Socket::UNIX -MTime::HiRes=time,sleep -e '
    my ($Socket, $Kind) = @ARGV;
    my $Peer = IO::Socket::UNIX->new(Peer => $Socket) or die "connect: $!";
    $Peer->autoflush(1);
    my $Negotiation = "\0\0\0\x0dO" . pack("NNN", 6, 0x1ff, 0x1fffff);
    my $Start = time;
    local $SIG{ALRM} = sub { print "60"; exit };
    local $SIG{PIPE} = "IGNORE";
    alarm 20;
    if ($Kind eq "half") {
      print $Peer substr($Negotiation, 0, 5);
    } elsif ($Kind eq "dribble") {
      for my $Byte (split //, $Negotiation) { last unless print $Peer $Byte; sleep 1 }
    } else {
      print $Peer $Negotiation;
      sysread($Peer, my $Reply, 64) or die "no negotiation";
      $Start = time;
    }
    1 while sysread($Peer, my $Buffer, 64);
    printf "%.1f", time - $Start;' "$Scratch/timeout.sock" "$1"
}
for Kind in half dribble idle; do
  Seconds=$(stalled $Kind)
  check "a stalled peer ($Kind) is disconnected after ${Seconds}s (--timeout=2)" \
    awk -v S="$Seconds" 'BEGIN { exit !(S >= 1.5 && S < 6) }'
done
check "the closes are logged with their reason" eval '[ "$(grep -c "^connection closed: silent for " "$Scratch/timeout.log")" -ge 2 ]'
stop timeout TERM

# --- Signals. SIGHUP is logged and ignored. SIGTERM with eight costly
# checks in flight on two workers: every peer gets its answer, exit 0. Then
# the same with a grace time shorter than the checks: the unfinished ones get
# --on-error's tempfail, still an answer each.
inflight() {  # inflight <daemon> <signal>: 8 peers, the signal once all sent
  local Name=$1 Signal=$2 I Peers=()
  rm -f "$Scratch"/ready.* "$Scratch"/peer.*
  for I in 1 2 3 4 5 6 7 8; do
    miltertest -D "SOCK=$Scratch/$Name.sock" -D "LIB=$Lua/lib.lua" -D "DATA=$Source/tests/data" \
      -D "QUEUE_ID=FLIGHT$I" -D "READY=$Scratch/ready.$I" -s "$Lua/inflight.lua" >"$Scratch/peer.$I" 2>&1 &
    Peers+=($!)
  done
  for _ in $(seq 300); do [ "$(ls "$Scratch"/ready.* 2>/dev/null | wc -l)" -eq 8 ] && break; sleep 0.1; done
  Answered=$(grep -c ': verdict=' "$Scratch/$Name.log")
  stop "$Name" "$Signal"
  Got=0
  for I in 1 2 3 4 5 6 7 8; do
    wait "${Peers[$((I - 1))]}" && grep -q '^answer: ' "$Scratch/peer.$I" && Got=$((Got + 1))
  done
  Answers=$(cat "$Scratch"/peer.* | sed -n 's/^answer: //p' | sort | uniq -c | tr -s ' \n' ' ')
}
printf 'pattern = %s\n' "$Pattern" >"$Scratch/reload.conf"
start signals --config="$Scratch/reload.conf"
wait_socket signals
run signals reload.lua "CONF=$Scratch/reload.conf" "LOG=$Scratch/signals.log"
check "SIGHUP leaves the daemon running" kill -0 "${Pids[signals]}"
check "a bad file is one line naming the file and the line" \
  logged signals "SIGHUP: the running settings stay: $Scratch/reload.conf:1: invalid value"
printf 'pattern = %s\nsocket-mode = 0600\n' "$Pattern" >"$Scratch/reload.conf"
kill -HUP "${Pids[signals]}"
sleep 0.5
check "a socket's mode changed in the file is named and kept until a restart" \
  logged signals 'SIGHUP: changed, but only a restart applies it, so the running value stays: socket-mode'
run signals reject.lua "REPLY=$DefaultReply"
inflight signals TERM
check "SIGTERM with 8 checks in flight ($Answered answered before it): every peer got an answer ($Answers)" [ "$Got" -eq 8 ]
[ "$Got" -eq 8 ] || cat "$Scratch"/peer.*
# One worker for eight costly checks: more work than the grace time.
start grace --pattern="$Pattern" --stop-grace=1 --on-error=tempfail --workers=1
wait_socket grace
inflight grace INT
# The stop also waits for libmilter to close its socket (up to 5 s) and for
# the connections to be quiet.
check "SIGINT with --stop-grace=1: every peer got an answer ($Answers) within ${StopSeconds} s" \
  eval '[ "$Got" -eq 8 ] && [[ "$Answers" == *tempfail* ]] && awk -v S="$StopSeconds" "BEGIN { exit !(S < 9) }"'
# (A check may have ended before the signal came: then 7 were in progress.)
check "the stop line counts the messages in progress, every one answered: $(tail -1 "$Scratch/grace.log")" \
  eval 'tail -1 "$Scratch/grace.log" | sed -n "s/.*: \([0-9]*\) message(s) in progress, \([0-9]*\) answered, 0 left .*/\1 \2/p" |
    awk "{ exit !(\$1 == \$2 && \$1 >= 7) } END { if (NR == 0) exit 1 }"'

# A stop paced like an MTA's traffic: twelve connections sending message
# after message, 10 ms between steps, each message lasting some 3 s (far
# beyond the second after which libmilter drops its sessions once told to
# stop). Every message begun before the stop is served to its answer, a
# MAIL FROM after it gets a 4xx (or finds the daemon gone), and the stop
# takes no longer than its messages.
start paced --pattern="$Pattern"
wait_socket paced
Peers=()
for I in $(seq 12); do
  miltertest -D "SOCK=$Scratch/paced.sock" -D "LIB=$Lua/lib.lua" -D "DATA=$Source/tests/data" -D "QUEUE_ID=PACED$I" \
    -s "$Lua/paced.lua" >"$Scratch/paced.$I" 2>&1 &
  Peers+=($!)
done
sleep 1
stop paced TERM
Served=0
for I in $(seq 12); do
  wait "${Peers[$((I - 1))]}" && grep -q '^answer: reject' "$Scratch/paced.$I" &&
    grep -q '^mail from: \(tempfail\|connection closed\)$' "$Scratch/paced.$I" && Served=$((Served + 1))
done
check "a paced stop in ${StopSeconds} s: all 12 peers had every message answered and then a 4xx or the end ($Served)" \
  eval '[ "$Served" -eq 12 ] && awk -v S="$StopSeconds" "BEGIN { exit !(S < 8) }"'
[ "$Served" -eq 12 ] || tail -n 3 "$Scratch"/paced.*
check "the paced stop's line counts what it served" logged paced ' answered, 0 left by their MTA'

stop reject TERM
check "a stop with nothing in progress ends at once (${StopSeconds} s)" awk -v S="$StopSeconds" 'BEGIN { exit !(S < 1) }'
check "and writes the summary of its counts before its last line" \
  eval 'tail -2 "$Scratch/reject.log" | grep -q "^summary of the last [0-9]* s: messages=[0-9]* (bounces=[0-9]*), verdicts: backscatter="'

# --- The hourly summary: an hour passes in five seconds under libfaketime
# (not with the sanitizers, whose run-time must be loaded first).
FakeTime=$(ls /usr/lib/*/faketime/libfaketimeMT.so.1 2>/dev/null | head -1)
if [ -n "$FakeTime" ] && [ "$Sanitized" != sanitized ]; then
  LD_PRELOAD=$FakeTime FAKETIME="+0 x720" start hourly --pattern="$Pattern" --timeout=86400
  wait_socket hourly
  run hourly reject.lua "REPLY=$DefaultReply"
  for _ in $(seq 100); do logged hourly 'summary of the last ' && break; sleep 0.1; done
  # The daemon looks at its clock every second: twelve minutes of this one.
  check "an hour's summary counts by verdict, rule and action: $(grep -m1 '^summary' "$Scratch/hourly.log")" \
    eval 'grep -m1 "^summary" "$Scratch/hourly.log" | grep -q -E "^summary of the last (3[6-9]|4[0-3])[0-9]{2} s: messages=4 \(bounces=3\), verdicts: backscatter=1 not-backscatter=2, rules: pattern=3, actions: accept=2 reject=1, errors: none$"'
  # Killed, not stopped: under libfaketime a SIGTERM was once taken by
  # libmilter's own signal thread, and this daemon is here for its summary.
  kill -KILL "${Pids[hourly]}"
  wait "${Pids[hourly]}" 2>/dev/null
  unset "Pids[hourly]"
fi
stop private INT

finish
