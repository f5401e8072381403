#!/usr/bin/env bash
# The milter as dist/bouncewarden-milter.service starts it, without systemd:
# the unit's ExecStart on a copy of dist/bouncewarden-milter.conf with the
# site's settings added (as an administrator sets them), run as an
# unprivileged user from the start (User=) with no_new_privs
# (NoNewPrivileges=), its socket in a runtime directory of that user's
# (RuntimeDirectory=), its metrics served and scraped, and reloaded with the
# unit's ExecReload= signal. Mail comes through a private Postfix instance.
# Under strace, every system call the milter makes is checked against the
# unit's SystemCallFilter=, every socket's family against
# RestrictAddressFamilies= and every mapping against
# MemoryDenyWriteExecute=, so the hardening cannot break the service
# unseen.
#
#   milter-unit-test.sh <build dir> <source tree>
set -uo pipefail
Build=$(realpath "$1")
Source=$(realpath "$2")
. "$Source/tests/integration/lib.sh"
. "$Source/tests/integration/postfix-lib.sh"
. "$Source/tests/integration/milter-lib.sh"

Unit=$Source/dist/bouncewarden-milter.service
milter_require "$Build"
for Program in strace setpriv systemd-analyze; do
  command -v "$Program" >/dev/null || skip "$Program is not installed"
done
pf_require "$0" "$@"
pf_make_scratch
# $MilterPid runs strace, which runs the milter and exits with its exit code.
MilterSignalsChild=1
trap 'milter_stop; pf_stop; [ -n "${BW_KEEP:-}" ] || rm -rf "$Scratch"' EXIT
Data=$Source/tests/data/integration
RunUser=nobody
RunGroup=$(id -gn nobody)

# --- The unit's command line, on a copy of the shipped configuration file
# with the site's settings: the pattern, and for the test a socket in the
# scratch runtime directory that Postfix (not in the user's group) may open.
unit_values() {
  # The values of key $1, continuation lines joined.
  sed -e ':a' -e '/\\$/N; s/\\\n//; ta' "$Unit" | sed -n "s/^$1=//p"
}
Runtime=$Scratch/run/bouncewarden
State=$Scratch/lib/bouncewarden
mkdir -p "$Runtime" "$State"
chown "$RunUser:$RunGroup" "$Runtime" "$State"
chmod 0755 "$Runtime"
chmod 0750 "$State"  # StateDirectoryMode=
check "the unit has a state directory for the ledger" [ "$(unit_values StateDirectory)" = bouncewarden ]
# The key file as the package makes it: the user's, mode 0600.
setpriv --reuid="$RunUser" --regid="$RunGroup" --clear-groups "$Build/bouncewarden-ledger" \
  --ledger-key-file="$State/ledger.key" --ledger="lmdb:$State/made-by-init" init >/dev/null
MetricsPort=$(pf_free_port)
Conf=$Scratch/bouncewarden-milter.conf
cp "$Source/dist/bouncewarden-milter.conf" "$Conf"
# Everything from 127.0.0.1 is recorded: the outgoing message and the bounces.
cat >>"$Conf" <<EOT
pattern = .*@example\\.com\$
listen = unix:$Runtime/milter.sock
socket-owner = $RunUser:$RunGroup
socket-mode = 0666
ledger = lmdb:$State/ledger
ledger-key-file = $State/ledger.key
record-from = 127.0.0.0/8
add-message-id = yes
metrics = 127.0.0.1:$MetricsPort
EOT
chmod 0644 "$Conf"

read -r -a Command <<<"$(unit_values ExecStart)"
check "the unit runs the milter on its configuration file alone" \
  eval '[ "${Command[*]}" = "/usr/bin/bouncewarden-milter --config=/etc/bouncewarden/bouncewarden-milter.conf" ]'
check "and reloads it with SIGHUP" [ "$(unit_values ExecReload)" = '/bin/kill -HUP $MAINPID' ]
Command=("$Milter" "--config=$Conf")
echo "command: ${Command[*]}"

# strace runs as the user too, so the milter is its child with no rights
# more than the unit gives; its trace file is made for it.
install -o "$RunUser" -m 0600 /dev/null "$Scratch/trace"
setpriv --reuid="$RunUser" --regid="$RunGroup" --clear-groups --no-new-privs \
  strace -f -qq -o "$Scratch/trace" "${Command[@]}" 2>"$Scratch/milter.log" &
MilterPid=$!
milter_wait_socket "$Runtime/milter.sock" "$Scratch/milter.log" "the milter started as the unit starts it"
check "it makes its socket as its user, in the runtime directory" \
  [ "$(stat -c '%U %a' "$Runtime/milter.sock")" = "$RunUser 666" ]

pf_setup
# Postfix adds no Message-ID to this client's mail, so the milter adds one.
pf_conf "smtpd_milters = unix:$Runtime/milter.sock" "milter_default_action = tempfail" "local_header_rewrite_clients ="
pf_start
smtp_send "" alice@example.com "$Data/bounce-of-forged-message.eml"
check "a forged bounce is refused with the default reply" \
  [ "$SmtpDataReply" = "550 5.7.1 Backscatter: the returned message was not sent from here" ]
smtp_send "" alice@example.com "$Data/bounce-of-own-message.eml"
check "a genuine bounce passes" [ "${SmtpDataReply:0:3}" = 250 ]
# Our message, given a Message-ID by the milter and recorded; then its
# bounce, which only the ledger can let through: the ID's domain,
# mail.example.com, is not the pattern's. (The unit logs to syslog, so the
# ID is read from the delivered copy.)
printf 'From: alice@example.com\nTo: bob@example.com\nSubject: no ID\n\nhello\n' >"$Scratch/bare.eml"
smtp_send alice@example.com bob@example.com "$Scratch/bare.eml"
pf_wait_delivered
Added=$(sed -n 's/^Message-ID: <\(.*@mail\.example\.com\)>$/\1/p' "$PfMailbox" | tail -1)
sed "s/<20261207091508.4F2A1@example.com>/<$Added>/" "$Data/bounce-of-own-message.eml" >"$Scratch/bounce.eml"
smtp_send "" alice@example.com "$Scratch/bounce.eml"
check "a message given a Message-ID <$Added> is recorded, and its bounce let through by the ledger" \
  eval '[ -n "$Added" ] && [ "${SmtpDataReply:0:3}" = 250 ]'
check "its metrics are served" eval 'curl -sf "http://127.0.0.1:$MetricsPort/metrics" | grep -q "^bouncewarden_messages_total{kind=\"bounce\"} 3$"'
# systemctl reload: the file read again as the unit's user, under the filter.
echo 'action = log' >>"$Conf"
kill -HUP "$(pgrep -P "$MilterPid")"
smtp_send "" alice@example.com "$Data/bounce-of-forged-message.eml"
check "reloaded, a forged bounce passes under action = log" [ "${SmtpDataReply:0:3}" = 250 ]
pf_stop
milter_stop
check "SIGTERM (systemctl stop) ends it with exit code 0" [ "${MilterStatus:-}" = 0 ]

# --- The trace against the unit's hardening. Everything after the milter's
# own execve is the milter (setpriv's calls come before).
Trace=$(awk -v Program="execve(\"$Milter\"" 'index($0, Program) { In = 1 } In' "$Scratch/trace")
[ -n "$Trace" ] || { echo "FAIL: no trace of the milter"; exit 1; }
# strace pads the thread id with spaces.
Used=$(sed -n 's/^[0-9]*  *\([a-z_0-9]*\)(.*/\1/p' <<<"$Trace" | sort -u)

# expand <set>: the system calls of a set of systemd's, nested sets opened.
expand() {
  systemd-analyze syscall-filter "$1" 2>/dev/null | sed '1d; /^ *#/d; s/^ *//; /^$/d' | while read -r Name; do
    case $Name in @*) expand "$Name" ;; *) echo "$Name" ;; esac
  done
}
# Each SystemCallFilter= line allows its sets, or with "~" denies them.
Allowed=$(mktemp)
Denied=$(mktemp)
while IFS= read -r Line; do
  case $Line in
    "~"*) for Set in ${Line#\~}; do expand "$Set"; done >>"$Denied" ;;
    *) for Set in $Line; do expand "$Set"; done >>"$Allowed" ;;
  esac
done < <(unit_values SystemCallFilter)
Permitted=$(comm -23 <(sort -u "$Allowed") <(sort -u "$Denied"))
rm -f "$Allowed" "$Denied"
Allowed=$Permitted
Outside=$(comm -23 <(printf '%s\n' $Used | sort -u) <(printf '%s\n' $Permitted))
check "every system call the milter made ($(wc -w <<<"$Used") kinds) is allowed by SystemCallFilter= ($(wc -w <<<"$Allowed") calls)" [ -z "$Outside" ]
[ -z "$Outside" ] || echo "  refused: $(tr '\n' ' ' <<<"$Outside")"

Families=$(grep -o 'socket(AF_[A-Z0-9]*' <<<"$Trace" | sed 's/socket(//' | sort -u)
Allowed=$(unit_values RestrictAddressFamilies)
Outside=
for Family in $Families; do
  [[ " $Allowed " == *" $Family "* ]] || Outside+=" $Family"
done
check "every socket family it opened is in RestrictAddressFamilies= ($(tr '\n' ' ' <<<"$Families"))" [ -z "$Outside" ]

writable_and_executable() {
  grep -E '^[0-9]+ +(mmap|mprotect|pkey_mprotect)\(' <<<"$Trace" | grep -E 'PROT_WRITE\|PROT_EXEC|PROT_EXEC\|PROT_WRITE'
}
check "no mapping is writable and executable (MemoryDenyWriteExecute=)" eval '[ -z "$(writable_and_executable)" ]'
# ProtectSystem=strict leaves it the runtime and state directories (and
# /dev, /tmp); ProtectHome= hides /home and /root.
written_elsewhere() {
  grep -E '^[0-9]+ +(open|openat|creat|mkdir|mkdirat|unlink|unlinkat|rename|renameat2?|bind|chown|lchown|fchownat|chmod|fchmodat)\(' <<<"$Trace" |
    grep -E '^[0-9]+ +(creat|mkdir|unlink|rename|bind|chown|lchown|fchownat|chmod|fchmodat)|O_WRONLY|O_RDWR|O_CREAT' |
    grep -o '"/[^"]*"' | tr -d '"' | grep -v -E "^($Runtime/|$State/|/dev/|/tmp/)"
}
check "the trace shows the socket bound in the runtime directory" \
  grep -q -E "^[0-9]+ +bind\(.*\"$Runtime/milter.sock\"" <<<"$Trace"
Elsewhere=$(written_elsewhere)
check "the trace shows the ledger opened for writing in the state directory" \
  grep -q -E "^[0-9]+ +openat\(.*\"$State/ledger\".*O_RDWR" <<<"$Trace"
check "it writes nothing outside its runtime and state directories (ProtectSystem=strict)" [ -z "$Elsewhere" ]
[ -z "$Elsewhere" ] || printf '  %s\n' $Elsewhere
check "it opens nothing in /home or /root (ProtectHome=)" \
  eval '! grep -q -E "^[0-9]+ +[a-z_0-9]+\([^\"]*\"/(home|root)(/|\")" <<<"$Trace"'
finish
