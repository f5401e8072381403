#!/usr/bin/env bash
# bouncewarden-milter with its ledger, as a daemon under miltertest (playing
# the MTA): the milter and bouncewarden-ledger import writing one LMDB
# ledger at once; a ledger that is missing, unreadable or full, with mail
# flowing all the same; a Redis ledger stopped and restarted under a stream
# of bounces (skipped without redis-server). What a session decides is
# tested through its reply interface in MilterLedgerTest.cpp.
#
# Usage: milter-ledger-test.sh <bouncewarden-milter> <bouncewarden-ledger> <source tree>
# Exits 77 (a skip for CTest) when miltertest or a program is missing.
set -uo pipefail
Binary=$1
Tool=$2
Source=$3
Lua=$Source/tests/milter/lua
Pattern='.*@example\.com$'

command -v miltertest >/dev/null || { echo "SKIP: miltertest is not installed"; exit 77; }
[ -x "$Binary" ] && [ -x "$Tool" ] || { echo "SKIP: $Binary or $Tool was not built"; exit 77; }

. "$Source/tests/integration/lib.sh"  # pass, fail, check, finish

Scratch=$(mktemp -d "${TMPDIR:-/tmp}/bw-ledger.XXXXXX")
chmod 755 "$Scratch"
MilterPid=
RedisPid=
Submit=
LinkPid=
stop_all() {
  local Pid
  for Pid in "$MilterPid" "$RedisPid" "$Submit" "$LinkPid"; do
    [ -n "$Pid" ] && kill -KILL "$Pid" 2>/dev/null
  done
  wait 2>/dev/null
  [ -n "${BW_KEEP:-}" ] || rm -rf "$Scratch"
}
trap stop_all EXIT
trap 'exit 1' INT TERM

# Started as root, the milter becomes nobody, and its ledger must be
# nobody's: every ledger lives in a folder of the user's, and the tool runs
# as that user too.
UserOption=()
AsUser=()
if [ "$(id -u)" -eq 0 ]; then
  UserOption=(--user=nobody)
  AsUser=(runuser -u nobody --)
fi
Ledgers=$Scratch/ledgers
mkdir "$Ledgers"
[ ${#AsUser[@]} -gt 0 ] && chown nobody "$Ledgers"
Key=$Ledgers/key
ledger() { "${AsUser[@]}" "$Tool" --ledger-key-file="$Key" "$@"; }

# start <name> <option...>: the milter on $Scratch/<name>.sock, its log in
# $Scratch/<name>.log; waits until it says it started.
start() {
  local Name=$1
  shift
  "$Binary" --listen="unix:$Scratch/$Name.sock" --log-stderr --workers=2 --ledger-key-file="$Key" \
    "${UserOption[@]}" "$@" 2>"$Scratch/$Name.log" &
  MilterPid=$!
  for _ in $(seq 100); do
    grep -q ' started: ' "$Scratch/$Name.log" 2>/dev/null && return 0
    sleep 0.05
  done
  fail "$Name did not start: $(cat "$Scratch/$Name.log")"
}

stop() {  # SIGTERM, which commits the ledger's queued records; exit code 0
  kill -TERM "$MilterPid"
  wait "$MilterPid"
  local Code=$?
  MilterPid=
  [ $Code -eq 0 ] || fail "the milter ended with exit code $Code"
}

# run <name> <script> [NAME=VALUE...]: prints the script's output; fails the
# check when the script does.
run() {
  local Name=$1 Script=$2
  shift 2
  local Defines=(-D "SOCK=$Scratch/$Name.sock" -D "LIB=$Lua/lib.lua" -D "DATA=$Source/tests/data")
  local Define
  for Define in "$@"; do Defines+=(-D "$Define"); done
  miltertest ${BW_MT_VERBOSE:-} "${Defines[@]}" -s "$Lua/$Script" >"$Scratch/out" 2>&1 || { fail "$Script on $Name $*"; cat "$Scratch/out"; }
  grep -v '^$' "$Scratch/out"
}

logged() {  # logged <name> <fixed string>: how many lines of its log hold it
  grep -cF -- "$2" "$Scratch/$1.log"
}

# An mbox of sent mail: <count> messages <prefix>.N@example.com dated now.
sent_mbox() {
  awk -v Count="$1" -v Prefix="$2" -v Date="$(date -R)" 'BEGIN {
    for (N = 1; N <= Count; ++N)
      printf "From alice@example.com Mon Dec  7 10:00:00 2026\nMessage-ID: <%s.%d@example.com>\nDate: %s\n\nx\n\n", Prefix, N, Date
  }'
}

ledger --ledger="lmdb:$Ledgers/shared" init >/dev/null

# --- LMDB: the milter records the mail of a client network while
# bouncewarden-ledger imports two thousand sent messages into the same file.
Lmdb=$Ledgers/shared  # made by init above
sent_mbox 2000 imported >"$Scratch/sent.mbox"
chmod 644 "$Scratch/sent.mbox"
start shared --pattern="$Pattern" --ledger="lmdb:$Lmdb" --record-from=10.0.0.0/8
ledger --ledger="lmdb:$Lmdb" import "$Scratch/sent.mbox" >"$Scratch/import.out" 2>&1 &
Import=$!
run shared record.lua IP=10.1.2.3 COUNT=300 PREFIX=milter
wait $Import
check "the import ran beside the milter: $(cat "$Scratch/import.out")" grep -q '^Recorded 2000 IDs of 2000 messages' "$Scratch/import.out"
check "the milter logged 300 recorded messages" [ "$(logged shared ', recorded')" -eq 300 ]
stop
Ids=()
for N in $(seq 300); do Ids+=("milter.$N@example.com"); done
for N in $(seq 2000); do Ids+=("imported.$N@example.com"); done
ledger --ledger="lmdb:$Lmdb" lookup "${Ids[@]}" >"$Scratch/lookup.out"
check "every ID of both writers is in the ledger ($(grep -c ': found$' "$Scratch/lookup.out") of ${#Ids[@]})" \
  [ "$(grep -c ': found$' "$Scratch/lookup.out")" -eq ${#Ids[@]} ]

# --- A ledger that cannot be used: mail flows, under the union as under
# --ledger-only (where a bounce only the ledger could rescue gets 4xx), and
# each outage is one line.
# flows <name> <recorded ID> [<answer>]: a message recorded and two bounces,
# both given <answer> (accept).
flows() {
  run "$1" record.lua IP=10.0.0.1 COUNT=1 PREFIX=flow
  local Counts
  Counts=$(run "$1" stream.lua "RECORDED=$2" COUNT=2)
  echo "$Counts"
  [[ $Counts == *" ${3:-accept}=2 "* ]]
}
start missing --pattern="$Pattern" --ledger="lmdb:$Ledgers/none/ledger" --record-from=10.0.0.0/8 --on-error=tempfail
check "a ledger whose folder is missing: mail flows" flows missing imported.1@example.com
check "once logged as unreadable" [ "$(logged missing 'cannot be read, bounces are checked without it')" -eq 1 ]
check "the bounces fell back to the pattern" [ "$(logged missing 'rule=pattern (ledger unavailable), action=accept')" -eq 2 ]
stop
cp "$Lmdb" "$Ledgers/locked"
chmod 000 "$Ledgers/locked"
start locked --pattern="$Pattern" --ledger="lmdb:$Ledgers/locked" --ledger-only --record-from=10.0.0.0/8
check "an unreadable ledger under --ledger-only: the bounces get 4xx" flows locked imported.1@example.com tempfail
check "as the outage answer" [ "$(logged locked 'verdict=deferred, message-ids=1, rule=ledger (ledger unavailable), action=tempfail')" -eq 2 ]
stop
# Full: a map of 1 MiB filled by an import until the ledger refuses more.
sent_mbox 40000 filler >"$Scratch/filler.mbox"
chmod 644 "$Scratch/filler.mbox"
ledger --ledger="lmdb:$Ledgers/full" --ledger-map-size=1 import "$Scratch/filler.mbox" >/dev/null 2>&1
check "the import filled the ledger (exit 74)" [ $? -eq 74 ]
start full --pattern="$Pattern" --ledger="lmdb:$Ledgers/full" --ledger-map-size=1 --record-from=10.0.0.0/8
check "a full ledger: mail flows" flows full filler.1@example.com
# (What the milter logs once its own records no longer fit is shown in
# MilterLedgerTest: filling a map through synced commits takes minutes.)
check "and what it holds is still found" [ "$(logged full 'rule=ledger, action=accept')" -eq 1 ]
stop

# --- Durable before answered: SIGKILL at once after the last answer loses
# none of the records answered.
start killed --pattern="$Pattern" --ledger="lmdb:$Ledgers/shared" --record-from=10.0.0.0/8
run killed record.lua IP=10.0.0.1 COUNT=200 PREFIX=killed >/dev/null
kill -KILL "$MilterPid"
wait "$MilterPid" 2>/dev/null
MilterPid=
Ids=()
for N in $(seq 200); do Ids+=("killed.$N@example.com"); done
check "SIGKILL right after the answers: every answered record is there" \
  eval '[ "$(ledger --ledger="lmdb:$Lmdb" lookup "${Ids[@]}" | grep -c ": found$")" -eq 200 ]'

# --- Redis stopped and restarted under a stream of bounces.
if ! command -v redis-server >/dev/null; then
  echo "skipped: redis-server is not installed (the Redis part)"
else
  mkdir "$Scratch/redis"
  redis_start() {
    redis-server --port 0 --unixsocket "$Scratch/redis/redis.sock" --unixsocketperm 777 --dir "$Scratch/redis" \
      --save "" --appendonly yes --logfile "$Scratch/redis/log" &
    RedisPid=$!
    for _ in $(seq 100); do [ -S "$Scratch/redis/redis.sock" ] && return 0; sleep 0.05; done
    fail "redis-server did not start"
  }
  redis_start
  Redis="redis+unix:$Scratch/redis/redis.sock"
  # A stopped Redis is refused at once; the timeout only keeps a busy
  # machine's slow answer from counting as a second outage.
  start redis --pattern="$Pattern" --ledger="$Redis" --record-from=10.0.0.0/8 --on-error=tempfail --ledger-recorder=stream \
    --ledger-timeout=1000
  run redis record.lua IP=10.0.0.1 COUNT=1 PREFIX=stream
  run redis stream.lua RECORDED=stream.1@example.com "STOP=$Scratch/stop" >"$Scratch/stream.out" &
  Stream=$!
  sleep 2
  kill -TERM "$RedisPid"  # a clean stop: what it holds is in its append-only file
  wait "$RedisPid"
  RedisPid=
  sleep 3
  redis_start
  sleep 4  # the store tries again 2 s after a failure
  touch "$Scratch/stop"
  wait $Stream
  Counts=$(cat "$Scratch/stream.out")
  check "Redis stopped and restarted under a stream of bounces: every one accepted ($Counts)" \
    eval '[[ $Counts =~ bounces=([0-9]+)\ accept=([0-9]+)\ tempfail=0\ reject=0\ other=0 ]] && [ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ]'
  check "the outage is one line when it starts and one when it ends" \
    eval '[ "$(logged redis "cannot be reached, bounces are checked without it")" -eq 1 ] &&
      [ "$(logged redis "can be reached again after")" -eq 1 ]'
  # The genuine bounce by the ledger before the outage, by the pattern during
  # it, and by the ledger again after it.
  Rules=$(sed -n -e 's/.*rule=ledger,.*/ledger/p' -e 's/.*rule=pattern (ledger unavailable).*/fallback/p' \
    -e '/can be reached again/s/.*/back/p' "$Scratch/redis.log" | uniq | tr '\n' ' ')
  check "lookups resume: $Rules" eval '[[ "$Rules" == "ledger fallback back ledger " ]]'
  stop

  # Two hosts on the Redis: a submission host that reaches it through a
  # link that is cut for a while, and an MX host under --ledger-only. The
  # MX never refuses the bounce of mail sent while the link was cut.
  if command -v python3 >/dev/null; then
    cat >"$Scratch/link.py" <<'PY'
import socket, sys, threading
port_file, target = sys.argv[1], sys.argv[2]
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    server.bind(("127.0.0.1", int(open(port_file).read())))
except FileNotFoundError:
    server.bind(("127.0.0.1", 0))
    open(port_file, "w").write(str(server.getsockname()[1]))
server.listen()
def pipe(source, sink):
    try:
        while data := source.recv(65536):
            sink.sendall(data)
    except OSError:
        pass
    source.close()
    sink.close()
while True:
    client, _ = server.accept()
    upstream = socket.socket(socket.AF_UNIX)
    upstream.connect(target)
    for ends in ((client, upstream), (upstream, client)):
        threading.Thread(target=pipe, args=ends, daemon=True).start()
PY
    link_up() {
      python3 "$Scratch/link.py" "$Scratch/link.port" "$Scratch/redis/redis.sock" &
      LinkPid=$!
      for _ in $(seq 100); do
        [ -s "$Scratch/link.port" ] && (exec 3<>"/dev/tcp/127.0.0.1/$(cat "$Scratch/link.port")") 2>/dev/null && return
        sleep 0.05
      done
    }
    link_up
    ledger --ledger="$Redis" cover --since=2020-01-01 >/dev/null
    ledger --ledger="$Redis" retire stream >/dev/null  # the host above, gone for good
    start submit --pattern="$Pattern" --ledger="redis://127.0.0.1:$(cat "$Scratch/link.port")" \
      --record-from=10.0.0.0/8 --ledger-recorder=submit
    Submit=$MilterPid
    run submit record.lua IP=10.0.0.1 COUNT=1 PREFIX=before >/dev/null
    kill -KILL "$LinkPid"; wait "$LinkPid" 2>/dev/null
    run submit record.lua IP=10.0.0.1 COUNT=1 PREFIX=cut >/dev/null
    check "the cut link: the submission host could not record" [ "$(logged submit 'not recorded (the ledger is unavailable)')" -eq 1 ]
    link_up
    sleep 2.5  # the store's retry delay, after which the next write also writes the gap
    run submit record.lua IP=10.0.0.1 COUNT=1 PREFIX=after >/dev/null
    start mx --pattern="$Pattern" --ledger="$Redis" --ledger-only --record-from=198.51.100.0/24 --ledger-recorder=mx
    Now=$(date -R)
    Counts=$(run mx stream.lua RECORDED=before.1@example.com COUNT=2)
    check "the MX: a bounce of recorded mail accepted, a forged one refused ($Counts)" \
      eval '[[ $Counts == "bounces=2 accept=1 tempfail=0 reject=1 other=0" ]]'
    Counts=$(run mx stream.lua RECORDED=cut.1@example.com "DATE=$Now" COUNT=2)
    check "the bounce of mail sent during the cut is not refused ($Counts)" \
      eval '[[ $Counts == "bounces=2 accept=1 tempfail=0 reject=1 other=0" ]]'
    check "but left to the pattern for the gap" [ "$(logged mx 'rule=pattern (ledger gap), action=accept')" -eq 1 ]
    check "which stats lists" eval 'ledger --ledger="$Redis" stats | grep -q ", submit: "' 
    stop
    MilterPid=$Submit
    Submit=
    stop
    kill -KILL "$LinkPid"; wait "$LinkPid" 2>/dev/null
    LinkPid=
  else
    echo "skipped: python3 is not installed (two hosts with a cut link)"
  fi
fi

finish
