#!/usr/bin/env bash
# bouncewarden-milter behind a private instance of the real Postfix in
# Debian's layout, set up as README.md and bouncewarden-milter(8) say: smtpd
# chrooted into the queue directory, the milter's socket in
# <queue>/bouncewarden/ with the milter's own group, the user postfix a
# member of that group (never the milter a member of postfix), and main.cf
# naming the socket by its path inside the chroot (smtpd_milters =
# unix:/bouncewarden/...). The milter starts as root, makes the socket and
# drops to nobody; a group made for the test stands for the package's
# group bouncewarden. A forged bounce is refused with 550 during SMTP; a
# genuine bounce and an ordinary message are delivered.
#
#   milter-postfix-test.sh <build dir> <source tree>
set -uo pipefail
Build=$(realpath "$1")
Source=$(realpath "$2")
. "$Source/tests/integration/lib.sh"
. "$Source/tests/integration/postfix-lib.sh"
. "$Source/tests/integration/milter-lib.sh"

milter_require "$Build"
pf_require "$0" "$@"
pf_make_scratch
# The milter's group, for this run only.
MilterGroup=bwtest$$
groupadd "$MilterGroup" || { echo "FAIL: cannot make the group $MilterGroup"; exit 1; }
trap 'milter_stop; pf_stop; groupdel "$MilterGroup"; rm -rf "$Scratch"' EXIT
usermod -a -G "$MilterGroup" postfix
pf_setup chroot
Data=$Source/tests/data/integration
Pattern='.*@example\.com$'
Reply="550 5.7.1 Backscatter: the returned message was not sent from here"

# The socket's folder inside the chroot: the milter's user may replace the
# socket, the milter's group (Postfix among it) may reach it.
install -d -o nobody -g "$MilterGroup" -m 0750 "$PfQueue/bouncewarden"
"$Milter" --pattern="$Pattern" --listen="unix:$PfQueue/bouncewarden/milter.sock" \
  --user=nobody --socket-owner="nobody:$MilterGroup" --socket-mode=0660 --log-stderr \
  2>"$Scratch/milter.log" &
MilterPid=$!
milter_wait_socket "$PfQueue/bouncewarden/milter.sock" "$Scratch/milter.log" "the milter"
check "the socket has the milter's group and mode 0660" \
  [ "$(stat -c '%G %a' "$PfQueue/bouncewarden/milter.sock")" = "$MilterGroup 660" ]
check "no warning about the socket's folder" eval '! grep -q "warning" "$Scratch/milter.log"'
# The milter drops root once the socket exists.
sleep 0.2
check "the milter runs as nobody" [ "$(ps -o user= -p "$MilterPid" | tr -d ' ')" = nobody ]

pf_conf "smtpd_milters = unix:/bouncewarden/milter.sock" "milter_default_action = accept"
pf_start

# send <from> <message>: accepted by SMTP and delivered.
delivered() {
  local Before
  Before=$(mailbox_messages)
  smtp_send "$1" alice@example.com "$2" || { echo "  SMTP: $SmtpDataReply"; return 1; }
  pf_wait_delivered || return 1
  [ "$(mailbox_messages)" -eq $((Before + 1)) ] || { echo "  not in the mailbox"; return 1; }
}

smtp_send "" alice@example.com "$Data/bounce-of-forged-message.eml"
check "a forged bounce with MAIL FROM:<> is refused at the end of data: $Reply" \
  [ "$SmtpDataReply" = "$Reply" ]
[ "$SmtpDataReply" = "$Reply" ] || { cat "$SmtpLog"; tail -5 "$Scratch/milter.log"; }
pf_wait_delivered
check "and nothing is delivered" [ "$(mailbox_messages)" -eq 0 ]
check "Postfix logs the milter's reject" grep -q "milter-reject: END-OF-MESSAGE .*: 5.7.1 Backscatter: .*from=<>" "$PfLog"

check "a genuine bounce with MAIL FROM:<> is delivered" delivered "" "$Data/bounce-of-own-message.eml"
check "an ordinary message is delivered" delivered carol@example.org "$Data/forwarded-message.eml"

pf_stop
milter_stop
check "SIGTERM ends the milter with exit code 0" [ "${MilterStatus:-}" = 0 ]
finish
