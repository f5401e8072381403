# Starting and stopping bouncewarden-milter from a test or a benchmark:
# sourced, never run. The caller starts the milter in the background and
# sets MilterPid; when that process only runs the milter (strace does), it
# also sets MilterSignalsChild=1 so that the signal goes to the milter itself.
MilterPid=
MilterStatus=

# milter_require <build dir>: Milter is the built milter, or the script skips.
milter_require() {
  Milter=$1/bouncewarden-milter
  [ -x "$Milter" ] || skip "$Milter is not built (it needs libmilter-dev)"
}

# SIGTERM, up to 30 s to end in order (libmilter's listen loop alone takes a
# few), then SIGKILL. MilterStatus is the exit code.
milter_stop() {
  [ -n "$MilterPid" ] || return 0
  local Target=$MilterPid
  [ -n "${MilterSignalsChild:-}" ] && Target=$(pgrep -P "$MilterPid")
  [ -n "$Target" ] && kill -TERM $Target 2>/dev/null
  for _ in $(seq 1 300); do
    kill -0 "$MilterPid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$Target" ] && kill -KILL $Target 2>/dev/null
  kill -KILL "$MilterPid" 2>/dev/null
  wait "$MilterPid" 2>/dev/null
  MilterStatus=$?
  MilterPid=
}

# milter_wait_socket <socket> <log> <who>: waits up to 10 s for the socket;
# without one, prints the milter's log and fails the script.
milter_wait_socket() {
  for _ in $(seq 1 100); do
    [ -S "$1" ] && return 0
    kill -0 "$MilterPid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$2"
  echo "FAIL: $3 made no socket"
  exit 1
}
