#!/usr/bin/env bash
# examples/postfix/bouncewarden-filter as pipe(8) runs it: the message on
# standard input, "-f <sender> -- <recipient>..." as arguments (the empty
# sender as an empty argument, null_sender=). Postfix itself is not run: a
# stand-in sendmail records how the message would be handed back.
#
#   postfix-filter-test.sh <bouncewarden binary> <source tree>
set -uo pipefail
Binary=$(realpath "$1")
Source=$(realpath "$2")
. "$Source/tests/integration/lib.sh"

make_scratch
Data=$Source/tests/data/integration

# The stand-in records its arguments one per line and the message it reads;
# it fails when $Scratch/sendmail-fails exists.
cat >"$Scratch/sendmail" <<EOF
#!/bin/sh
printf '%s\n' "\$@" >"$Scratch/sendmail.args"
cat >"$Scratch/sendmail.message"
[ ! -e "$Scratch/sendmail-fails" ]
EOF
chmod 755 "$Scratch/sendmail"

# filter_with <program> <quarantine>: the filter as shipped with its settings
# pointed at <program>, the stand-in sendmail and <quarantine>.
filter_with() {
  sed -e "s|^Bouncewarden=/usr/bin/bouncewarden\$|Bouncewarden=$1|" \
    -e "s|^Sendmail=/usr/sbin/sendmail\$|Sendmail=$Scratch/sendmail|" \
    -e "s|^Quarantine=\$|Quarantine=$2|" \
    "$Source/examples/postfix/bouncewarden-filter" >"$Scratch/filter"
  chmod 755 "$Scratch/filter"
  [ "$(grep -c -x -e "Bouncewarden=$1" -e "Sendmail=$Scratch/sendmail" -e "Quarantine=$2" "$Scratch/filter")" -eq 3 ] ||
    { echo "FAIL: the filter's settings were not found to change"; exit 1; }
}

# run_filter <message> <arguments...>: the filter's exit code in $Status,
# its output in $Output; the stand-in's records are cleared first.
run_filter() {
  local Message=$1
  shift
  rm -f "$Scratch/sendmail.args" "$Scratch/sendmail.message"
  Output=$("$Scratch/filter" "$@" <"$Message")
  Status=$?
}

# handed_back <original> <expected arguments...>: sendmail got exactly these
# arguments and the unchanged message.
handed_back() {
  local Original=$1
  shift
  [ -e "$Scratch/sendmail.args" ] || { echo "  sendmail was not run"; return 1; }
  [ "$(cat "$Scratch/sendmail.args")" = "$(printf '%s\n' "$@")" ] ||
    { echo "  sendmail arguments:"; sed 's/^/    [/; s/$/]/' "$Scratch/sendmail.args"; return 1; }
  cmp -s "$Scratch/sendmail.message" "$Original" || { echo "  the message handed back differs"; return 1; }
}

not_handed_back() {
  [ ! -e "$Scratch/sendmail.args" ] || { echo "  sendmail was run:"; cat "$Scratch/sendmail.args"; return 1; }
}

status_is() {
  [ "$Status" -eq "$1" ] || { echo "  exit code $Status, output: $Output"; return 1; }
}

filter_with "$Binary" ""

run_filter "$Data/bounce-of-forged-message.eml" -f "" -- alice@example.com
check "a bounce of a forged message is dropped and the filter exits 0" status_is 0
check "a dropped bounce is not handed back" not_handed_back
check "a dropped bounce is logged" [ "$Output" = "bouncewarden: backscatter dropped" ]

run_filter "$Data/bounce-of-own-message.eml" -f "" -- alice@example.com bob@example.com
check "a bounce of our own message is handed back and the filter exits 0" status_is 0
check "it keeps the empty sender and every recipient" \
  handed_back "$Data/bounce-of-own-message.eml" -G -i -f "" -- alice@example.com bob@example.com

run_filter "$Data/forwarded-message.eml" -f carol@example.org -- alice@example.com
check "a message forwarded by an ordinary sender is handed back with its sender" \
  handed_back "$Data/forwarded-message.eml" -G -i -f carol@example.org -- alice@example.com

filter_with "$Binary" quarantine@example.com
run_filter "$Data/bounce-of-forged-message.eml" -f "" -- alice@example.com
check "with a quarantine address, backscatter goes there alone" \
  handed_back "$Data/bounce-of-forged-message.eml" -G -i -f "" -- quarantine@example.com
check "and the filter exits 0" status_is 0

# A check that cannot run never stops the mail.
filter_with "$Scratch/no-such-program" ""
run_filter "$Data/bounce-of-forged-message.eml" -f "" -- alice@example.com
check "with the program missing, the message is handed back" \
  handed_back "$Data/bounce-of-forged-message.eml" -G -i -f "" -- alice@example.com
check "and the failed check is logged" \
  [ "${Output#bouncewarden: check failed with exit code 127, message passed on: }" != "$Output" ]

# Postfix must keep the message and try again when it cannot be handed back.
filter_with "$Binary" ""
touch "$Scratch/sendmail-fails"
run_filter "$Data/bounce-of-own-message.eml" -f "" -- alice@example.com
check "when sendmail fails, the filter exits 75 (try again later)" status_is 75
rm -f "$Scratch/sendmail-fails"

run_filter "$Data/bounce-of-own-message.eml" alice@example.com
check "a command line without -f and -- exits 64" status_is 64
check "and hands nothing back" not_handed_back

finish
