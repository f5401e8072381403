#!/usr/bin/env bash
# examples/sieve under Dovecot's real Sieve interpreter, with the shipped
# configuration snippet included as it is (only its paths are pointed into a
# scratch folder): sieve-test shows the action the script takes on CR LF
# input, and dovecot-lda delivers with the empty envelope sender that
# bounces carry, running the script before a user's own, as in service.
# Nothing here starts a Dovecot service.
#
#   sieve-test.sh <bouncewarden binary> <source tree>
set -uo pipefail
Binary=$(realpath "$1")
Source=$(realpath "$2")
. "$Source/tests/integration/lib.sh"

command -v sieve-test >/dev/null || skip "sieve-test (dovecot-sieve) is not installed"
Lda=/usr/lib/dovecot/dovecot-lda
[ -x "$Lda" ] || skip "dovecot-lda (dovecot-core) is not installed"
[ -e /usr/lib/dovecot/modules/sieve/lib90_sieve_extprograms_plugin.so ] ||
  skip "the sieve_extprograms plugin is not installed"
make_scratch
Data=$Source/tests/data/integration

# Dovecot refuses mail access as root: run as nobody then, with every file it
# needs inside the scratch folder.
RunAs=()
RunUser=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
  RunAs=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
  RunUser=nobody
fi
run() {
  "${RunAs[@]}" env -i HOME="$Scratch" USER="$RunUser" PATH=/usr/bin:/bin "$@"
}

mkdir -p "$Scratch/prog" "$Scratch/sieve-execute"
cp "$Binary" "$Scratch/prog/bouncewarden"
# install_wrapper <program>: the wrapper as shipped, with only its program
# path changed.
install_wrapper() {
  sed "s|^Bouncewarden=/usr/bin/bouncewarden\$|Bouncewarden=$1|" \
    "$Source/examples/sieve/bouncewarden-sieve" >"$Scratch/sieve-execute/bouncewarden-sieve"
  grep -qx "Bouncewarden=$1" "$Scratch/sieve-execute/bouncewarden-sieve" ||
    { echo "FAIL: the wrapper's program path was not found to change"; exit 1; }
  chmod 755 "$Scratch/sieve-execute/bouncewarden-sieve"
}
install_wrapper "$Scratch/prog/bouncewarden"
cp "$Source/examples/sieve/bouncewarden.sieve" "$Source/examples/sieve/90-bouncewarden.conf" "$Scratch/"
# A user's own script, run after ours unless ours stops.
printf 'require ["fileinto", "mailbox"];\nfileinto :create "UserScript";\n' >"$Scratch/user.sieve"

cat >"$Scratch/dovecot.conf" <<EOF
base_dir = $Scratch/run
state_dir = $Scratch/state
log_path = /dev/stderr
info_log_path = /dev/stderr
ssl = no
mail_location = maildir:$Scratch/Maildir
protocol lda {
  mail_plugins = sieve
}
!include $Scratch/90-bouncewarden.conf
plugin {
  sieve_execute_bin_dir = $Scratch/sieve-execute
  sieve_before = $Scratch/bouncewarden.sieve
  sieve = file:$Scratch/sieve;active=$Scratch/user.sieve
}
EOF

for Name in bounce-of-forged-message bounce-of-own-message forwarded-message; do
  to_crlf "$Data/$Name.eml" >"$Scratch/$Name.crlf.eml"
done
[ ${#RunAs[@]} -eq 0 ] || chown -R nobody "$Scratch"

# sieve_result <sender> <message>: the actions sieve-test reports, one line
# each, "keep: " in front of those of the implicit keep.
sieve_result() {
  local Output
  Output=$(run sieve-test -c "$Scratch/dovecot.conf" -C -f "$1" "$Scratch/bouncewarden.sieve" "$2" 2>"$Scratch/sieve-test.log")
  local Status=$?
  [ "$Status" -eq 0 ] || { echo "sieve-test exited with $Status"; cat "$Scratch/sieve-test.log"; }
  printf '%s\n' "$Output" | awk '/^Implicit keep:/ { Keep = "keep: " } /^ \* / { sub(/^ \* /, ""); print Keep $0 }'
}

# expect_equal <description> <actual> <expected>
expect_equal() {
  if [ "$2" = "$3" ]; then
    pass "$1"
  else
    fail "$1"
    printf '  expected: %s\n  actual:   %s\n' "$3" "$2"
  fi
}

# sieve-test cannot give the empty sender; MAILER-DAEMON@ makes any message
# count as a bounce all the same.
expect_equal "sieve-test: a bounce of a forged message is filed into Junk" \
  "$(sieve_result MAILER-DAEMON@mx.example.org "$Scratch/bounce-of-forged-message.crlf.eml")" \
  "store message in folder: Junk"
expect_equal "sieve-test: a bounce of our own message is kept" \
  "$(sieve_result MAILER-DAEMON@mx.example.org "$Scratch/bounce-of-own-message.crlf.eml")" \
  "keep: store message in folder: INBOX"
expect_equal "sieve-test: a message forwarded by an ordinary sender is kept" \
  "$(sieve_result carol@example.org "$Scratch/forwarded-message.crlf.eml")" \
  "keep: store message in folder: INBOX"

# A check that cannot run keeps the message, and says why in the log.
install_wrapper "$Scratch/no-such-program"
expect_equal "sieve-test: with the program missing, a bounce of a forged message is kept" \
  "$(sieve_result MAILER-DAEMON@mx.example.org "$Scratch/bounce-of-forged-message.crlf.eml")" \
  "keep: store message in folder: INBOX"
check "and the wrapper logs the failed check" \
  grep -q "bouncewarden-sieve: check failed with exit code 127" "$Scratch/sieve-test.log"
install_wrapper "$Scratch/prog/bouncewarden"

# deliver <sender> <message>: dovecot-lda into a fresh maildir; prints the
# folders that got a message, one line each (INBOX as ".").
deliver() {
  rm -rf "$Scratch/Maildir"
  run "$Lda" -c "$Scratch/dovecot.conf" -f "$1" -a alice@example.com <"$2" 2>"$Scratch/lda.log"
  local Status=$?
  [ "$Status" -eq 0 ] || { echo "dovecot-lda exited with $Status"; cat "$Scratch/lda.log"; }
  (cd "$Scratch/Maildir" && find . -path '*/new/*' -type f | sed 's|/new/.*||' | sort)
}

expect_equal "dovecot-lda, empty sender: a bounce of a forged message is filed into Junk, the user's script skipped" \
  "$(deliver "" "$Scratch/bounce-of-forged-message.crlf.eml")" "./.Junk"
expect_equal "dovecot-lda, empty sender: a bounce of our own message goes on to the user's script" \
  "$(deliver "" "$Scratch/bounce-of-own-message.crlf.eml")" "./.UserScript"
expect_equal "dovecot-lda: a message forwarded by an ordinary sender goes on to the user's script" \
  "$(deliver carol@example.org "$Scratch/forwarded-message.crlf.eml")" "./.UserScript"

finish
