#!/usr/bin/env bash
# examples/procmailrc under the real procmail: included from a user's rcfile,
# it files backscatter into its own maildir folder and lets every other
# message, and every message whose check went wrong, fall through to the
# user's delivery.
#
#   procmail-test.sh <bouncewarden binary> <source tree>
set -uo pipefail
Binary=$(realpath "$1")
Source=$(realpath "$2")
. "$Source/tests/integration/lib.sh"

command -v procmail >/dev/null || skip "procmail is not installed"
make_scratch
Data=$Source/tests/data/integration

# The recipe as a user would include it; procmail wants rcfiles that only
# their owner can write.
cp "$Source/examples/procmailrc" "$Scratch/bouncewarden.rc"
chmod 644 "$Scratch/bouncewarden.rc"

# deliver <case> <message file> [rcfile lines before the INCLUDERC]: runs
# procmail -m with a fresh MAILDIR $Scratch/<case>, whose rcfile includes the
# recipe and then delivers to inbox/.
deliver() {
  local Case=$1 Message=$2 Before=${3:-}
  local Home=$Scratch/$Case
  mkdir -p "$Home"
  printf 'LOGFILE=%s\n%s\nINCLUDERC=%s\n:0\ninbox/\n' "$Home/procmail.log" "$Before" "$Scratch/bouncewarden.rc" \
    >"$Home/rc"
  chmod 644 "$Home/rc"
  HOME=$Home procmail -m MAILDIR="$Home" BOUNCEWARDEN="$Binary" "$Home/rc" <"$Message"
  local Status=$?
  [ "$Status" -eq 0 ] || fail "$Case: procmail exited with $Status"
}

# landed_in <case> <folder> <original message>: exactly one message, in
# <folder>/new, none in the other folder, with the original's content.
landed_in() {
  local Case=$1 Folder=$2 Original=$3 Other
  [ "$Folder" = inbox ] && Other=backscatter || Other=inbox
  local Home=$Scratch/$Case
  if [ "$(count_files "$Home/$Folder/new")" -ne 1 ] || [ "$(count_files "$Home/$Other/new")" -ne 0 ]; then
    echo "  $Case: $(count_files "$Home/$Folder/new") in $Folder/new, $(count_files "$Home/$Other/new") in $Other/new"
    sed 's/^/  log: /' "$Home/procmail.log" 2>/dev/null
    return 1
  fi
  cmp -s "$Home/$Folder/new/"* "$Original" || { echo "  $Case: the filed message differs from the original"; return 1; }
}

deliver forged "$Data/bounce-of-forged-message.eml"
check "a bounce of a forged message is filed into backscatter/" \
  landed_in forged backscatter "$Data/bounce-of-forged-message.eml"

deliver own "$Data/bounce-of-own-message.eml"
check "a bounce of our own message goes to the inbox" \
  landed_in own inbox "$Data/bounce-of-own-message.eml"

# With an empty sender this message would count as a bounce and be
# backscatter: only the sender from Return-Path: keeps it in the inbox.
deliver forwarded "$Data/forwarded-message.eml"
check "a message forwarded by an ordinary sender goes to the inbox" \
  landed_in forwarded inbox "$Data/forwarded-message.eml"

# An mbox "From " line in front, as procmail may be handed the message.
{ echo "From MAILER-DAEMON  Mon Dec  7 10:02:41 2026"; cat "$Data/bounce-of-forged-message.eml"; } \
  >"$Scratch/forged-with-from-line.eml"
deliver from-line "$Scratch/forged-with-from-line.eml"
check "a bounce of a forged message behind a From line is filed into backscatter/" \
  landed_in from-line backscatter "$Data/bounce-of-forged-message.eml"

# No Return-Path: the sender is unknown and the message is not checked.
grep -v '^Return-Path:' "$Data/bounce-of-forged-message.eml" >"$Scratch/forged-without-return-path.eml"
deliver no-return-path "$Scratch/forged-without-return-path.eml"
check "a message without Return-Path: is not checked and goes to the inbox" \
  landed_in no-return-path inbox "$Scratch/forged-without-return-path.eml"

# A pattern that does not compile: exit 254, logged, and the mail goes on.
deliver bad-pattern "$Data/bounce-of-forged-message.eml" "BW_OWN_MSGIDS='('"
check "a refused pattern lets the bounce through to the inbox" \
  landed_in bad-pattern inbox "$Data/bounce-of-forged-message.eml"
check "a refused pattern is logged with its reason" \
  grep -q 'bouncewarden: exit code 254: Invalid Message-ID regular expression "(": missing ) at offset 1.' \
  "$Scratch/bad-pattern/procmail.log"

# The program missing: the mail goes on all the same.
deliver missing-program "$Data/bounce-of-forged-message.eml" "BOUNCEWARDEN=$Scratch/no-such-program"
check "a missing program lets the bounce through to the inbox" \
  landed_in missing-program inbox "$Data/bounce-of-forged-message.eml"

finish
