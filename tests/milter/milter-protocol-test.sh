#!/usr/bin/env bash
# The built bouncewarden-milter under miltertest, which plays the MTA: one
# daemon per configuration on a unix socket in a scratch folder, each Lua
# script in lua/ run against the daemon it is written for, then every daemon
# stopped with SIGTERM, which must end it with exit code 0.
#
# Usage: milter-protocol-test.sh <bouncewarden-milter> <source tree> [sanitized]
# Exits 77 (a skip for CTest) when miltertest or the daemon is missing.
set -uo pipefail
Binary=$1
Source=$2
Sanitized=${3:-}
Lua=$Source/tests/milter/lua
Pattern='.*@example\.com$'
Failing='(a|b)*@x$'
DefaultReply='550|5.7.1|Backscatter: the returned message was not sent from here'

command -v miltertest >/dev/null || { echo "SKIP: miltertest is not installed"; exit 77; }
[ -x "$Binary" ] || { echo "SKIP: $Binary was not built (libmilter-dev missing)"; exit 77; }

Failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; Failures=$((Failures + 1)); }

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

# A daemon killed outright leaves its socket file behind; the next start
# replaces it.
start reject --pattern="$Pattern"
for _ in $(seq 100); do [ -S "$Scratch/reject.sock" ] && break; sleep 0.05; done
kill -KILL "${Pids[reject]}"
wait "${Pids[reject]}" 2>/dev/null
[ -S "$Scratch/reject.sock" ] && pass "a killed daemon leaves a stale socket" || fail "no stale socket to replace"
start reject --pattern="$Pattern"
start discard --pattern="$Pattern" --action=discard
start quarantine --pattern="$Pattern" --action=quarantine
start tag --pattern="$Pattern" --action=tag
start log --pattern="$Pattern" --action=log --socket-mode=0600
start tempfail --pattern="$Failing" --on-error=tempfail --reject-reply="554 5.7.0 Not one of ours"
start accept --pattern="$Failing"

for Name in "${!Pids[@]}"; do
  for _ in $(seq 100); do [ -S "$Scratch/$Name.sock" ] && break; sleep 0.05; done
done

# The socket gets its mode after it is opened, before the daemon drops privileges.
[ "$(stat -c %a "$Scratch/reject.sock")" = 660 ] && pass "socket mode 0660 by default" ||
  fail "socket mode $(stat -c %a "$Scratch/reject.sock")"
[ "$(stat -c %a "$Scratch/log.sock")" = 600 ] && pass "--socket-mode=0600" ||
  fail "--socket-mode=0600 gave $(stat -c %a "$Scratch/log.sock")"

run reject reject.lua "REPLY=$DefaultReply"
run reject unexamined.lua
for Action in discard quarantine tag log; do
  run $Action actions.lua ACTION=$Action
done
run tempfail failing-check.lua EXPECT=tempfail 'REPLY=554|5.7.0|Not one of ours' 
run accept failing-check.lua EXPECT=accept
if [ "$Sanitized" = sanitized ]; then run reject memory.lua SANITIZED=1; else run reject memory.lua; fi

# One line per checked message, the queue ID first.
logged reject 'FORGED1: sender=<>, verdict=backscatter, message-ids=1, action=reject, ' &&
  pass "log line of a rejected bounce" || fail "log line of a rejected bounce"
logged reject 'OWN1: sender=<>, verdict=not backscatter, message-ids=1, action=accept, ' &&
  pass "log line of a genuine bounce" || fail "log line of a genuine bounce"
logged reject 'OWN2: sender=<MAILER-DAEMON@mx.example.org>, verdict=not backscatter, message-ids=1, action=accept' &&
  pass "log line names the sender" || fail "log line names the sender"
logged reject 'BIG1: sender=<>, verdict=not examined (512000 bytes or more), message-ids=0, action=accept' &&
  pass "log line of an oversize bounce" || fail "log line of an oversize bounce"
logged log 'FORGED1: sender=<>, verdict=backscatter, message-ids=1, action=accept (log only, would reject)' &&
  pass "log line of --action=log" || fail "log line of --action=log"
logged accept 'LONG1: sender=<>, verdict=error ERegexMatchError "Message-ID regular expression' &&
  pass "log line of a failed check" || fail "log line of a failed check"
grep -q 'FWD1' "$Scratch/reject.log" && fail "a message accepted at end of headers was logged as checked" ||
  pass "no check line for a message accepted at end of headers"

# SIGTERM (SIGINT for one) ends every daemon in order, with exit code 0.
for Name in "${!Pids[@]}"; do
  if [ "$Name" = log ]; then kill -INT "${Pids[$Name]}"; else kill -TERM "${Pids[$Name]}"; fi
done
for Name in "${!Pids[@]}"; do
  Pid=${Pids[$Name]}
  for _ in $(seq 300); do kill -0 "$Pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$Pid" 2>/dev/null; then
    fail "$Name did not stop within 30 seconds of SIGTERM"
    continue
  fi
  wait "$Pid"
  Code=$?
  unset "Pids[$Name]"
  [ $Code -eq 0 ] && logged "$Name" 'NOQUEUE: stopped' && pass "$Name stopped on its signal, exit 0" ||
    fail "$Name exit code $Code after its signal; log: $(tail -3 "$Scratch/$Name.log")"
done

if [ $Failures -ne 0 ]; then
  echo "$Failures check(s) failed"
  exit 1
fi
echo "all checks passed"
