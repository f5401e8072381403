#!/usr/bin/env bash
# Signed envelope senders (BATV) and the recipient rules of
# bouncewarden-milter behind a private instance of the real Postfix, set up
# as README.md says: the milter signs the mail of a client of ours
# (--record-from=127.0.0.2/32) and verifies every bounce at RCPT, and
# recipient_canonical_maps (examples/postfix/batv-recipient-canonical)
# delivers a bounce to a tagged address into the untagged one's mailbox.
# local_recipient_maps is Debian's kind ($alias_maps), so that Postfix itself
# refuses unknown recipients and a tagged one must pass its check too.
#
# Scripted SMTP dialogues: our mail signed as the receiving side sees it;
# mail to an exempt address left unsigned; a bounce that Postfix itself makes
# of our signed mail (relayed to a transport that fails), delivered to the
# untagged mailbox and then sent back through smtpd as another MTA would
# return it, accepted by rule=batv; a forged bounce with a bad tag and one
# with an expired tag (made by bouncewarden-ledger under faketime) refused at
# RCPT, with no DATA sent; a sender-verification callout (MAIL FROM:<>, RCPT
# TO tagged, QUIT) accepted; a null sender's second recipient deferred with
# 452 except from our client; a report to a --never-refuse address accepted
# whatever it holds; then, under --batv-require, an untagged bounce refused
# and one to an exempt address accepted.
#
#   milter-batv-postfix-test.sh <build dir> <source tree>
set -uo pipefail
Build=$(realpath "$1")
Source=$(realpath "$2")
. "$Source/tests/integration/lib.sh"
. "$Source/tests/integration/postfix-lib.sh"
. "$Source/tests/integration/milter-lib.sh"

milter_require "$Build"
Tool=$Build/bouncewarden-ledger
[ -x "$Tool" ] || skip "$Tool is not built"
command -v faketime >/dev/null || skip "faketime is not installed"
command -v perl >/dev/null || skip "perl is not installed"
pf_require "$0" "$@"
pf_make_scratch
trap 'milter_stop; pf_stop; [ -n "${BW_KEEP:-}" ] || rm -rf "$Scratch"' EXIT
Data=$Source/tests/data/integration

pf_setup
install -d -o nobody -g postfix -m 0750 "$Scratch/milter"
install -d -o nobody -m 0700 "$Scratch/keys"
Socket=$Scratch/milter/milter.sock
Keys=$Scratch/keys
runuser -u nobody -- "$Tool" --ledger="lmdb:$Keys/ledger" --ledger-key-file="$Keys/ledger.key" init >/dev/null ||
  { echo "FAIL: bouncewarden-ledger init"; exit 1; }
# The BATV key as the package makes it: 32 random bytes in hex, the milter's user's alone.
(umask 077 && od -An -tx1 -v -N32 /dev/urandom | tr -d ' \n' >"$Keys/batv.key" && echo >>"$Keys/batv.key")
chown nobody "$Keys/batv.key"
printf '# mail to them is not signed, and --batv-require spares them\nrelay@example.com\n@lists.example.org\n' \
  >"$Scratch/exempt"
printf 'postmaster@\nabuse@\n' >"$Scratch/never-refuse"
printf 'noreply@example.com\n' >"$Scratch/no-bounces-to"
printf 'relay %s\nnoreply %s\n' "$PfMailbox" "$PfMailbox" >>"$PfConfig/aliases"
# Mail to example.org is taken, then fails for good (pipe(8) takes a status
# outside sysexits' temporary ones as final), so that Postfix bounces it.
printf 'example.org fail:\n' >"$PfConfig/transport"
pf_master_add "fail unix - n n - - pipe user=nobody argv=/bin/false"
pf_conf "smtpd_milters = unix:$Socket" "milter_default_action = tempfail" \
  "transport_maps = texthash:$PfConfig/transport" 'local_recipient_maps = $alias_maps' \
  "recipient_canonical_maps = regexp:$Source/examples/postfix/batv-recipient-canonical" \
  "recipient_canonical_classes = envelope_recipient"
pf_start

# milter_start <option...>: the milter as README.md sets it up for BATV.
Starts=0
: >"$Scratch/milter.log"
milter_start() {
  "$Milter" --pattern='.*@example\.com$' --listen="unix:$Socket" --user=nobody --socket-owner=nobody:postfix \
    --log-stderr --ledger="lmdb:$Keys/ledger" --ledger-key-file="$Keys/ledger.key" --record-from=127.0.0.2/32 \
    --batv-sign --batv-verify --batv-key-file="$Keys/batv.key" --batv-exempt="$Scratch/exempt" \
    --bounce-one-recipient --never-refuse="$Scratch/never-refuse" --no-bounces-to="$Scratch/no-bounces-to" \
    "$@" 2>>"$Scratch/milter.log" &
  MilterPid=$!
  Starts=$((Starts + 1))
  for _ in $(seq 100); do
    [ "$(grep -c ' started: ' "$Scratch/milter.log")" -ge "$Starts" ] && return 0
    kill -0 "$MilterPid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$Scratch/milter.log"
  echo "FAIL: the milter did not start"
  exit 1
}

# dialogue <client address> <command>...: one SMTP session from that
# address (all of 127.0.0.0/8 is this host's). A command "DATA <file>" sends
# the file as the message. Replies holds the last line of the greeting's and
# of each command's reply; QUIT ends every session.
dialogue() {
  local Local=$1
  shift
  mapfile -t Replies < <(perl -MIO::Socket::INET -e '
    my ($Local, $Port, @Commands) = @ARGV;
    my $Peer = IO::Socket::INET->new(PeerAddr => "127.0.0.1", PeerPort => $Port, LocalAddr => $Local, Timeout => 30)
      or die "connect: $!";
    sub reply { my $Line; do { $Line = <$Peer> } while (defined $Line && substr($Line, 3, 1) eq "-");
                $Line = "000 (no reply)" unless defined $Line; $Line =~ s/\r?\n$//; $Line }
    print reply(), "\n";
    for my $Command (@Commands, "QUIT") {
      if ($Command =~ /^DATA (.*)$/) {
        my $File = $1;
        print $Peer "DATA\r\n";
        my $Go = reply();
        if ($Go !~ /^354/) { print "$Go\n"; next }
        open(my $In, "<", $File) or die "$File: $!";
        while (my $Line = <$In>) { $Line =~ s/\r?\n$//; $Line =~ s/^\./../; print $Peer "$Line\r\n" }
        print $Peer ".\r\n";
      } else {
        print $Peer "$Command\r\n";
      }
      print reply(), "\n";
    }' "$Local" "$PfPort" "$@")
  printf '%s\n' "${Replies[@]}" >>"$Scratch/smtp.log"
}
code() { echo "${Replies[$1]:0:3}"; }
queue_id() { echo "${Replies[$1]##* }"; }
milter_line() { grep "^$1: " "$Scratch/milter.log" | tail -1; }
last_milter_line() { tail -1 "$Scratch/milter.log"; }
# The last message of the mailbox, without the "From " line local(8) put before it.
last_message() { perl -ne '$M = "" if /^From /; $M .= $_ unless /^From /; END { print $M }' "$PfMailbox"; }
delivered() { pf_wait_delivered && [ "$(mailbox_messages)" -eq "$1" ]; }

milter_start
check "the start line names what is on" \
  grep -q 'batv=sign,verify (key 0, lifetime 7 days), bounce-one-recipient, never-refuse=' "$Scratch/milter.log"
Hello="EHLO client.example.org"
printf 'From: alice@example.com\nTo: bob@example.com\nSubject: ours\nMessage-ID: <ours.1@example.com>\n\nhello\n' \
  >"$Scratch/ours.eml"

# --- Our mail: signed, as the receiving side sees it.
dialogue 127.0.0.2 "$Hello" "MAIL FROM:<alice@example.com>" "RCPT TO:<bob@example.com>" "DATA $Scratch/ours.eml"
Signed=$(milter_line "$(queue_id 4)" | sed -n 's/.*, signed as <\(prvs=0[0-9]\{3\}[0-9a-f]\{6\}=alice@example.com\)>$/\1/p')
check "mail of 127.0.0.2 is accepted and its sender signed: <$Signed>" eval '[ "$(code 4)" = 250 ] && [ -n "$Signed" ]'
check "the receiving side sees the tagged sender" \
  eval 'delivered 1 && last_message | grep -q -x "Return-Path: <$Signed>"'
check "bouncewarden-ledger batv verify takes it" eval '"$Tool" --batv-key-file="$Keys/batv.key" batv verify "$Signed" >/dev/null'
dialogue 127.0.0.2 "$Hello" "MAIL FROM:<alice@example.com>" "RCPT TO:<relay@example.com>" "DATA $Scratch/ours.eml"
check "mail to an exempt address is left unsigned, and logged so" \
  eval 'delivered 2 && last_message | grep -q -x "Return-Path: <alice@example.com>" &&
        [[ "$(milter_line "$(queue_id 4)")" == *"not signed (mail to the exempt <relay@example.com>)" ]]'

# --- A bounce made by Postfix itself of our signed mail.
dialogue 127.0.0.2 "$Hello" "MAIL FROM:<alice@example.com>" "RCPT TO:<carol@example.org>" "DATA $Scratch/ours.eml"
delivered 3
last_message >"$Scratch/postfix-bounce.eml"
Tag=$(sed -n 's/^X-Original-To: \(prvs=.*=alice@example.com\)$/\1/p' "$Scratch/postfix-bounce.eml")
check "Postfix's own bounce of it goes to the tagged sender <$Tag> and reaches alice's mailbox" \
  eval '[ -n "$Tag" ] && grep -q -x "Delivered-To: alice@example.com" "$Scratch/postfix-bounce.eml" &&
        grep -q "^From: .*<MAILER-DAEMON@example.com>$" "$Scratch/postfix-bounce.eml"'
# The same bounce as another MTA would send it back: without the headers of its delivery here.
sed -e '1,/^$/{/^Return-Path:/d;/^Delivered-To:/d;/^X-Original-To:/d}' "$Scratch/postfix-bounce.eml" >"$Scratch/returned.eml"
dialogue 127.0.0.1 "$Hello" "MAIL FROM:<>" "RCPT TO:<$Tag>" "DATA $Scratch/returned.eml"
check "sent back through smtpd, it is accepted at RCPT and after its data by rule=batv" \
  eval '[ "$(code 3)" = 250 ] && [ "$(code 4)" = 250 ] &&
        [[ "$(milter_line "$(queue_id 4)")" == *"verdict=not backscatter, message-ids=0, rule=batv (valid tag of <$Tag>), action=accept"* ]]'
check "and delivered to the untagged mailbox" \
  eval 'delivered 4 && last_message | grep -q -x "X-Original-To: $Tag" && last_message | grep -q -x "Delivered-To: alice@example.com"'

# --- Forged and expired tags: refused at RCPT, before any data.
Forged=${Tag:0:14}$([ "${Tag:14:1}" = 0 ] && echo 1 || echo 0)${Tag:15}
dialogue 127.0.0.1 "$Hello" "MAIL FROM:<>" "RCPT TO:<$Forged>"
check "a forged bounce with a bad tag is refused at RCPT: ${Replies[3]}" \
  eval '[ "${Replies[3]}" = "550 5.7.1 Backscatter: the bounce address tag is not valid" ] &&
        [[ "$(last_milter_line)" == *"recipient=<$Forged>, verdict=backscatter, rule=batv (invalid tag), action=reject" ]]'
check "Postfix logs the refusal at RCPT" \
  grep -q "NOQUEUE: milter-reject: RCPT from .*: 550 5.7.1 Backscatter: the bounce address tag is not valid; from=<> to=<$Forged>" "$PfLog"
Expired=$(faketime -f -10d "$Tool" --batv-key-file="$Keys/batv.key" batv sign alice@example.com)
"$Tool" --batv-key-file="$Keys/batv.key" batv verify "$Expired" >/dev/null
check "a tag made ten days ago is expired for bouncewarden-ledger (exit 2): $Expired" [ $? -eq 2 ]
dialogue 127.0.0.1 "$Hello" "MAIL FROM:<>" "RCPT TO:<$Expired>"
check "and refused at RCPT: ${Replies[3]}" \
  eval '[ "${Replies[3]}" = "550 5.7.1 Backscatter: the bounce address tag has expired" ] &&
        [[ "$(last_milter_line)" == *"rule=batv (expired tag), action=reject" ]]'
check "no refused message was delivered" delivered 4

# --- A sender-verification callout, and a null sender's second recipient.
dialogue 127.0.0.1 "$Hello" "MAIL FROM:<>" "RCPT TO:<$Signed>"
check "a callout to the tagged sender (MAIL FROM:<>, RCPT TO, QUIT) is accepted: ${Replies[3]}" [ "$(code 3)" = 250 ]
Bob=$("$Tool" --batv-key-file="$Keys/batv.key" batv sign bob@example.com)
dialogue 127.0.0.1 "$Hello" "MAIL FROM:<>" "RCPT TO:<$Signed>" "RCPT TO:<$Bob>"
check "a null sender's second recipient waits: ${Replies[4]}" \
  eval '[ "$(code 3)" = 250 ] && [ "${Replies[4]}" = "452 4.5.3 A bounce has one recipient: send the others one at a time" ]'
dialogue 127.0.0.2 "$Hello" "MAIL FROM:<>" "RCPT TO:<$Signed>" "RCPT TO:<$Bob>"
check "but not from a client of ours" eval '[ "$(code 3)" = 250 ] && [ "$(code 4)" = 250 ]'

# --- Reports and receive-only addresses.
dialogue 127.0.0.1 "$Hello" "MAIL FROM:<>" "RCPT TO:<postmaster@example.com>" "DATA $Data/bounce-of-forged-message.eml"
check "a report to a --never-refuse address is accepted whatever it holds" \
  eval '[ "$(code 4)" = 250 ] && [[ "$(milter_line "$(queue_id 4)")" == *"verdict=not checked, message-ids=0, rule=never-refuse (<postmaster@example.com>), action=accept"* ]] && delivered 5'
dialogue 127.0.0.1 "$Hello" "MAIL FROM:<>" "RCPT TO:<noreply@example.com>"
check "a bounce to a --no-bounces-to address is refused at RCPT: ${Replies[3]}" \
  [ "${Replies[3]}" = "550 5.7.1 Backscatter: this address sends only and takes no bounces" ]
dialogue 127.0.0.1 "$Hello" "MAIL FROM:<>" "RCPT TO:<alice@example.com>" "DATA $Data/bounce-of-forged-message.eml"
check "without --batv-require an untagged forged bounce is still judged by its content: ${Replies[4]}" \
  [ "${Replies[4]}" = "550 5.7.1 Backscatter: the returned message was not sent from here" ]
milter_stop
check "SIGTERM ends the milter with exit code 0" [ "${MilterStatus:-}" = 0 ]

# --- Once signing has run a lifetime: --batv-require.
milter_start --batv-require
dialogue 127.0.0.1 "$Hello" "MAIL FROM:<>" "RCPT TO:<alice@example.com>"
check "under --batv-require an untagged bounce is refused at RCPT: ${Replies[3]}" \
  [ "${Replies[3]}" = "550 5.7.1 Backscatter: a bounce to this address must carry its tag" ]
dialogue 127.0.0.1 "$Hello" "MAIL FROM:<>" "RCPT TO:<relay@example.com>" "DATA $Data/bounce-of-own-message.eml"
check "and one to an exempt address is accepted and delivered" eval '[ "$(code 4)" = 250 ] && delivered 6'
dialogue 127.0.0.1 "$Hello" "MAIL FROM:<>" "RCPT TO:<$Signed>" "DATA $Scratch/returned.eml"
check "a tagged bounce still is" eval '[ "$(code 4)" = 250 ] && delivered 7'
[ "$Failures" -eq 0 ] || { echo "--- SMTP"; cat "$Scratch/smtp.log"; echo "--- milter"; cat "$Scratch/milter.log"; }
pf_stop
milter_stop
finish
