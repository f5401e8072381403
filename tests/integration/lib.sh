# Shared by the integration test scripts: sourced, never run.
#
# Each script takes the built binary and the source tree as its arguments,
# works in a scratch folder that is removed at the end, exits 77 (a skip for
# CTest) when a program it drives is not installed, and 1 on the first
# failed check.

Failures=0

skip() {
  echo "SKIP: $*"
  exit 77
}

fail() {
  echo "FAIL: $*"
  Failures=$((Failures + 1))
}

pass() {
  echo "ok: $*"
}

# check <description> <command...>: a check that passes when the command does.
check() {
  local What=$1
  shift
  if "$@"; then pass "$What"; else fail "$What"; fi
}

# Ends the script with the verdict of all checks.
finish() {
  if [ "$Failures" -ne 0 ]; then
    echo "$Failures check(s) failed"
    exit 1
  fi
  echo "all checks passed"
  exit 0
}

make_scratch() {
  Scratch=$(mktemp -d "${TMPDIR:-/tmp}/bw-integration.XXXXXX")
  trap 'rm -rf "$Scratch"' EXIT
}

# The file with LF line ends turned into CR LF.
to_crlf() {
  sed 's/$/\r/' "$1"
}

# The number of files directly in folder $1 (0 when it does not exist).
count_files() {
  if [ -d "$1" ]; then
    find "$1" -mindepth 1 -maxdepth 1 -type f | wc -l
  else
    echo 0
  fi
}
