#!/usr/bin/env bash
# The content-filter recipe of examples/postfix.md, run as written in a
# private instance of the real Postfix: its install and useradd lines, and
# its master.cf entries with only the smtpd address and the filter's path
# changed (smtpd chrooted, as on Debian). Mail comes in by SMTP on
# 127.0.0.1; what the filter hands back goes through sendmail, pickup and
# local delivery into a mailbox file.
#
#   postfix-recipe-test.sh <bouncewarden binary> <source tree>
set -uo pipefail
Binary=$(realpath "$1")
Source=$(realpath "$2")
. "$Source/tests/integration/lib.sh"
. "$Source/tests/integration/postfix-lib.sh"

pf_require "$0" "$@"
command -v useradd >/dev/null || skip "useradd is missing"
pf_make_scratch
pf_setup chroot
Data=$Source/tests/data/integration
Doc=$Source/examples/postfix.md

# The indented lines of the document's code block that starts with $1.
doc_block() {
  awk -v First="$1" '
    index($0, "    " First) == 1 { In = 1 }
    In && !/^    / && !/^$/ { exit }
    In { print substr($0, 5) }' "$Doc"
}

# --- Installation, as the document says, into the scratch folder.
Filter=$Scratch/usr/local/libexec/bouncewarden-filter
InstallLine=$(doc_block "install " | head -1)
[ -n "$InstallLine" ] || { echo "FAIL: no install line in $Doc"; exit 1; }
# The folder does not exist yet: the line must create it.
(cd "$Source/examples/postfix" && eval "${InstallLine//\/usr\/local\/libexec/$Scratch/usr/local/libexec}") ||
  fail "the document's install line works where its folder is missing: $InstallLine"
check "the filter is installed, executable" [ -x "$Filter" ]
# The settings at the top: the program's path (the pattern is the test's).
mkdir -p "$Scratch/bin"
install -m 755 "$Binary" "$Scratch/bin/bouncewarden"
sed -i "s|^Bouncewarden=/usr/bin/bouncewarden\$|Bouncewarden=$Scratch/bin/bouncewarden|" "$Filter"
grep -qx "Bouncewarden=$Scratch/bin/bouncewarden" "$Filter" ||
  { echo "FAIL: the filter's program path was not found to change"; exit 1; }

UserLine=$(doc_block "useradd " | head -1)
FilterUser=${UserLine##* }
[ -n "$FilterUser" ] || { echo "FAIL: no useradd line in $Doc"; exit 1; }
if ! getent passwd "$FilterUser" >/dev/null; then
  eval "$UserLine" || { echo "FAIL: $UserLine"; exit 1; }
  echo "note: created the system user $FilterUser ($UserLine); it is left in place"
fi

# master.cf: the document's entries in place of the instance's smtpd.
MasterLines=$(doc_block "# Mail from outside" | grep -v '^#')
sed -i '1d' "$PfConfig/master.cf"
Entries=$(sed -e "s|^smtp      inet |127.0.0.1:$PfPort inet |" -e "s|/usr/local/libexec/bouncewarden-filter|$Filter|" \
  <<<"$MasterLines")
[ "$(grep -c -e "^127.0.0.1:$PfPort inet .* smtpd$" -e "argv=$Filter " <<<"$Entries")" -eq 2 ] ||
  { echo "FAIL: the document's master.cf entries were not found:"; echo "$MasterLines"; exit 1; }
pf_master_add "$Entries"
pf_start

# received_with_return_path <message> <return path>: the mailbox's newest
# message has this Return-Path and the original's Message-ID.
newest_message_is() {
  local Original=$1 ReturnPath=$2 Newest
  Newest=$(awk '/^From / { Text = "" } { Text = Text $0 "\n" } END { printf "%s", Text }' "$PfMailbox")
  grep -qx "Return-Path: <$ReturnPath>" <<<"$Newest" ||
    { echo "  Return-Path:"; grep '^Return-Path:' <<<"$Newest"; return 1; }
  grep -qx "$(grep -m1 '^Message-ID:' "$Original")" <<<"$Newest" || { echo "  another message"; return 1; }
}

# send <from> <message>: sent by SMTP and the queue empty again.
send() {
  smtp_send "$1" alice@example.com "$2" || { echo "  SMTP: $SmtpDataReply"; cat "$SmtpLog"; return 1; }
  pf_wait_delivered
}

check "a forged bounce with MAIL FROM:<> is accepted by SMTP" send "" "$Data/bounce-of-forged-message.eml"
check "and dropped by the filter, not delivered" [ "$(mailbox_messages)" -eq 0 ]
check "pipe(8) logs the filter's verdict" grep -q 'relay=bouncewarden, .*status=sent (delivered via bouncewarden service (bouncewarden: backscatter dropped))' "$PfLog"

check "a genuine bounce with MAIL FROM:<> goes through the filter" send "" "$Data/bounce-of-own-message.eml"
check "and is delivered" [ "$(mailbox_messages)" -eq 1 ]
check "with Return-Path: <>" newest_message_is "$Data/bounce-of-own-message.eml" ""
# The copy handed back by sendmail comes in through pickup; the queue
# manager logs its sender.
ReinjectedId=$(sed -n 's/.* postfix\/pickup\[[0-9]*\]: \([0-9A-F]*\): uid=.*/\1/p' "$PfLog" | tail -1)
check "the queue manager logs the handed-back bounce with from=<>" \
  grep -q " postfix/qmgr\[[0-9]*\]: $ReinjectedId: from=<>," "$PfLog"

check "an ordinary message goes through the filter" send carol@example.org "$Data/forwarded-message.eml"
check "and is delivered with its sender" newest_message_is "$Data/forwarded-message.eml" carol@example.org

# Without null_sender= the filter gets the word MAILER-DAEMON as sender,
# which is not the empty sender: a bounce that is not a multipart/report
# (here a message with the forged one attached) is no longer checked.
check "with null_sender= a null-sender message that returns a forged one is dropped" \
  send "" "$Data/forwarded-message.eml"
check "and not delivered" [ "$(mailbox_messages)" -eq 2 ]
sed -i 's/ null_sender=$//' "$PfConfig/master.cf"
grep -q 'null_sender' "$PfConfig/master.cf" && { echo "FAIL: null_sender= was not found to remove"; exit 1; }
postfix -c "$PfConfig" reload >/dev/null 2>&1
sleep 1
check "without null_sender= the same message gets through" send "" "$Data/forwarded-message.eml"
check "and is delivered" [ "$(mailbox_messages)" -eq 3 ]
check "still with Return-Path: <> (sendmail -f MAILER-DAEMON is the null sender)" \
  newest_message_is "$Data/forwarded-message.eml" ""

pf_stop
check "Postfix has stopped" pf_stopped
finish
