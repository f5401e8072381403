#!/usr/bin/env bash
# The milter as a hostile peer and an impatient operator would try it, in
# figures: threads and memory with many stalled peers (each sent half a
# packet), the resident size after a burst of costly bounces and after a
# quiet minute, and the time a stop takes with checks in flight, with the
# answers the peers got. Nothing leaves the machine: a unix socket in a
# scratch folder, miltertest and a small Python peer.
#
#   bench/adversarial.sh [<bouncewarden-milter>...]   (default: build/bouncewarden-milter)
#
# Several binaries (say the build before a change and after it) are measured
# one after the other, each with the same loads:
#   ADV_STALLED=1000  stalled peers
#   ADV_TIMEOUT=10    --timeout for the stalled peers, where the binary has it
#   ADV_BURST=20      costly bounces sent at once (about 450 kB and 50000
#                     MIME parts each)
#   ADV_IDLE=60       seconds of quiet after the burst
#   ADV_WORKERS="1 default"  --workers for the burst
#   ADV_INFLIGHT=16   costly checks in flight on one worker when SIGTERM comes
#                     (more work than the 5 s libmilter takes to leave its loop)
# Needs miltertest and python3; as root, the milter drops to nobody. Prints
# Markdown tables.
set -uo pipefail
Here=$(dirname "$(realpath "$0")")
Source=$(realpath "$Here/..")
Stalled=${ADV_STALLED:-1000}
Timeout=${ADV_TIMEOUT:-10}
Burst=${ADV_BURST:-20}
Idle=${ADV_IDLE:-60}
read -r -a WorkerSettings <<<"${ADV_WORKERS:-1 default}"
Inflight=${ADV_INFLIGHT:-16}
[ $# -gt 0 ] || set -- "$Source/build/bouncewarden-milter"
command -v miltertest >/dev/null || { echo "miltertest is not installed"; exit 77; }
command -v python3 >/dev/null || { echo "python3 is not installed"; exit 77; }
ulimit -n $((Stalled + 1000)) 2>/dev/null || ulimit -n "$(ulimit -Hn)"

Scratch=$(mktemp -d "${TMPDIR:-/tmp}/bw-adversarial.XXXXXX")
chmod 755 "$Scratch"
MilterPid=
cleanup() {
  [ -n "$MilterPid" ] && kill -KILL "$MilterPid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$Scratch"
}
trap cleanup EXIT
UserOption=()
[ "$(id -u)" -eq 0 ] && UserOption=(--user=nobody)
Lua=$Source/tests/milter/lua

# start <binary> <option...>: the milter on $Scratch/m.sock, log in $Scratch/log.
start() {
  local Binary=$1
  shift
  rm -f "$Scratch/m.sock"
  "$Binary" --pattern='.*@example\.com$' --listen="unix:$Scratch/m.sock" --log-stderr "${UserOption[@]}" "$@" \
    2>"$Scratch/log" &
  MilterPid=$!
  for _ in $(seq 100); do [ -S "$Scratch/m.sock" ] && break; sleep 0.05; done
  sleep 0.3
}
stop_now() {
  kill -KILL "$MilterPid" 2>/dev/null
  wait "$MilterPid" 2>/dev/null
  MilterPid=
}
status() {  # status <field>: from /proc/<milter>/status, in MB for Vm* fields
  awk -v F="$1:" '$1 == F { if (F == "Threads:") print $2; else printf "%.1f\n", $2 / 1024 }' \
    "/proc/$MilterPid/status" 2>/dev/null
}
has_option() { "$1" --help 2>/dev/null | grep -q -- "$2"; }

# costly <count> <prefix>: that many costly bounces at once (tests/milter/
# lua/inflight.lua), their answers in $Scratch/<prefix>.N; waits until all
# are sent. The peers' pids are in Peers.
costly() {
  local I
  Peers=()
  rm -f "$Scratch"/ready.*
  for I in $(seq "$1"); do
    miltertest -D "SOCK=$Scratch/m.sock" -D "LIB=$Lua/lib.lua" -D "DATA=$Source/tests/data" -D "QUEUE_ID=C$I" \
      -D "READY=$Scratch/ready.$I" -s "$Lua/inflight.lua" >"$Scratch/$2.$I" 2>&1 &
    Peers+=($!)
  done
  for _ in $(seq 600); do [ "$(ls "$Scratch"/ready.* 2>/dev/null | wc -l)" -ge "$1" ] && break; sleep 0.1; done
}

echo "## The milter under hostile peers ($(date -u +%Y-%m-%d), $(nproc) cores)"
for Binary in "$@"; do
  Binary=$(realpath "$Binary")
  echo
  echo "### $Binary"
  echo

  # --- Stalled peers.
  TimeoutOption=()
  has_option "$Binary" --timeout= && TimeoutOption=(--timeout="$Timeout")
  start "$Binary" "${TimeoutOption[@]}"
  Before="$(status Threads) threads, $(status VmSize) MB virtual, $(status VmRSS) MB resident"
  python3 - "$Scratch/m.sock" "$Stalled" "$((Timeout + 5))" <<'EOF' &
import socket, sys, time
Path, Count, Hold = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
Peers = []
for _ in range(Count):
    Peer = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    Peer.connect(Path)
    Peer.sendall(b"\0\0\0\x0dO")  # a negotiation packet that never ends
    Peers.append(Peer)
time.sleep(Hold)
EOF
  Holder=$!
  sleep 3
  During="$(status Threads) threads, $(status VmSize) MB virtual, $(status VmRSS) MB resident"
  sleep "$Timeout"
  After="$(status Threads) threads, $(status VmSize) MB virtual, $(status VmRSS) MB resident"
  CPU=$(ps -o %cpu= -p "$MilterPid" | tr -d ' ')
  wait "$Holder"
  stop_now
  echo "| $Stalled stalled peers | the milter |"
  echo "|---|---|"
  echo "| before they came | $Before |"
  echo "| 3 s after they came | $During |"
  echo "| $((Timeout + 3)) s after they came (${TimeoutOption[*]:-no --timeout}) | $After |"
  echo "| CPU over the run | $CPU % |"
  echo

  # --- A burst of costly bounces, then quiet.
  echo "| --workers | idle before | after $Burst costly bounces at once | after $Idle s idle | seconds for the burst |"
  echo "|---|---:|---:|---:|---:|"
  for Workers in "${WorkerSettings[@]}"; do
    WorkersOption=()
    [ "$Workers" != default ] && WorkersOption=(--workers="$Workers")
    start "$Binary" --action=log "${WorkersOption[@]}"
    IdleBefore=$(status VmRSS)
    Start=$(date +%s.%N)
    costly "$Burst" burst
    wait "${Peers[@]}"
    Seconds=$(awk -v S="$Start" -v E="$(date +%s.%N)" 'BEGIN { printf "%.1f", E - S }')
    AfterBurst=$(status VmRSS)
    sleep "$Idle"
    echo "| $Workers | $IdleBefore MB | $AfterBurst MB | $(status VmRSS) MB | $Seconds |"
    stop_now
  done
  echo

  # --- SIGTERM with checks in flight: once every peer sent its message,
  # and once only the first has (the others still sending theirs).
  for When in all first; do
    start "$Binary" --workers=1
    if [ "$When" = all ]; then
      costly "$Inflight" flight
    else
      costly 1 flight >/dev/null
      Early=("${Peers[@]}")
      rm -f "$Scratch"/ready.*
      rm -f "$Scratch"/started.*
      for I in $(seq 2 "$Inflight"); do
        miltertest -D "SOCK=$Scratch/m.sock" -D "LIB=$Lua/lib.lua" -D "DATA=$Source/tests/data" -D "QUEUE_ID=C$I" \
          -D "READY=$Scratch/ready.$I" -D "STARTED=$Scratch/started.$I" -s "$Lua/inflight.lua" \
          >"$Scratch/flight.$I" 2>&1 &
        Early+=($!)
      done
      Peers=("${Early[@]}")
      # Every peer's transaction under way before the signal.
      for _ in $(seq 300); do [ "$(ls "$Scratch"/started.* 2>/dev/null | wc -l)" -ge $((Inflight - 1)) ] && break; sleep 0.02; done
    fi
    Start=$(date +%s.%N)
    kill -TERM "$MilterPid"
    wait "$MilterPid"
    Code=$?
    Seconds=$(awk -v S="$Start" -v E="$(date +%s.%N)" 'BEGIN { printf "%.1f", E - S }')
    MilterPid=
    wait "${Peers[@]}" 2>/dev/null
    Answers=$(cat "$Scratch"/flight.* | sed -n 's/^answer: //p' | sort | uniq -c | tr -s ' \n' ' ')
    Missing=$((Inflight - $(cat "$Scratch"/flight.* | grep -c '^answer: ')))
    if [ "$When" = all ]; then
      echo "SIGTERM with $Inflight costly checks in flight on 1 worker: exit $Code after $Seconds s;"
    else
      echo
      echo "SIGTERM once the first of $Inflight peers sent its costly bounce (the others past MAIL FROM, still sending): exit $Code after $Seconds s;"
    fi
    echo "answers:${Answers:- none}; peers without an answer: $Missing; last line: $(tail -1 "$Scratch/log")"
    for Peer in "$Scratch"/flight.*; do
      grep -q '^answer: ' "$Peer" || echo "    ${Peer##*/}: $(tr '\n' ' ' <"$Peer")"
      [ -n "${ADV_DEBUG:-}" ] && ! grep -q '^answer: ' "$Peer" && grep -F "C${Peer##*.}:" "$Scratch/log" | sed 's/^/      log: /' 
    done
    rm -f "$Scratch"/flight.*
  done
done
