#!/usr/bin/env bash
# bouncewarden-milter recording and checking with its ledger behind a private
# instance of the real Postfix (smtpd_milters and non_smtpd_milters).
#
# Our mail: a message with a Message-ID of its own and one without, both
# through smtpd from a client at 127.0.0.2 (--record-from=127.0.0.2/32;
# that client is outside local_header_rewrite_clients, so Postfix adds no
# Message-ID and --add-message-id does), and one submitted with Postfix's
# sendmail(1) (--record-from=local; Postfix's cleanup adds its Message-ID,
# which reaches the milter). Then their bounces come in through smtpd from
# 127.0.0.1, in real MTA formats from the corpus beside the clone
# (BW_CORPUS_DIR or ../shared/corpus; only the bundled Postfix-format bounce
# when it is absent) with the returned Message-ID replaced by each of ours:
# every one is accepted by rule=ledger. A forged bounce returning an ID of
# our domain that was never sent is let through by rule=pattern under the
# union; with a Redis ledger (skipped without redis-server) that covers its
# retention and --ledger-only, it is refused as backscatter by rule=ledger.
#
#   milter-ledger-postfix-test.sh <build dir> <source tree>
set -uo pipefail
Build=$(realpath "$1")
Source=$(realpath "$2")
. "$Source/tests/integration/lib.sh"
. "$Source/tests/integration/postfix-lib.sh"
. "$Source/tests/integration/milter-lib.sh"

milter_require "$Build"
Tool=$Build/bouncewarden-ledger
[ -x "$Tool" ] || skip "$Tool is not built"
pf_require "$0" "$@"
pf_make_scratch
RedisPid=
trap '[ -n "$RedisPid" ] && kill -KILL "$RedisPid" 2>/dev/null; milter_stop; pf_stop; [ -n "${BW_KEEP:-}" ] || rm -rf "$Scratch"' EXIT
Data=$Source/tests/data/integration
Corpus=${BW_CORPUS_DIR:-$Source/../shared/corpus}
Pattern='.*@example\.com$'
Reply="550 5.7.1 Backscatter: the returned message was not sent from here"

pf_setup
install -d -o nobody -g postfix -m 0750 "$Scratch/milter"
install -d -o nobody -m 0700 "$Scratch/ledger"
Socket=$Scratch/milter/milter.sock
Key=$Scratch/ledger/key
Lmdb=lmdb:$Scratch/ledger/ledger
runuser -u nobody -- "$Tool" --ledger="$Lmdb" --ledger-key-file="$Key" init >/dev/null ||
  { echo "FAIL: bouncewarden-ledger init"; exit 1; }
pf_conf "smtpd_milters = unix:$Socket" "non_smtpd_milters = unix:$Socket" "milter_default_action = tempfail"
pf_start

# milter_start <option...>: the milter as the test's MTA reaches it.
milter_start() {
  "$Milter" --listen="unix:$Socket" --user=nobody --socket-owner=nobody:postfix --log-stderr \
    --ledger-key-file="$Key" "$@" 2>>"$Scratch/milter.log" &
  MilterPid=$!
  for _ in $(seq 100); do
    [ "$(grep -c ' started: ' "$Scratch/milter.log")" -gt "$Starts" ] && break
    sleep 0.1
  done
  Starts=$((Starts + 1))
}
Starts=0
: >"$Scratch/milter.log"

# smtp_send_from <address> <from> <rcpt> <message>: smtp_send from a client
# bound to <address> (all of 127.0.0.0/8 is this host's); the reply to the
# end of data in $SmtpDataReply.
smtp_send_from() {
  SmtpDataReply=$(perl -MIO::Socket::INET -e '
    my ($Local, $Port, $From, $Rcpt, $File) = @ARGV;
    my $Peer = IO::Socket::INET->new(PeerAddr => "127.0.0.1", PeerPort => $Port, LocalAddr => $Local, Timeout => 30)
      or die "connect: $!";
    sub reply { my $Line; do { $Line = <$Peer> } while (defined $Line && substr($Line, 3, 1) eq "-"); $Line =~ s/\r?\n$//; $Line }
    sub command { print $Peer "$_[0]\r\n"; reply() }
    reply();
    command($_) for ("EHLO submit.example.com", "MAIL FROM:<$From>", "RCPT TO:<$Rcpt>", "DATA");
    open(my $In, "<", $File) or die "$File: $!";
    while (my $Line = <$In>) { $Line =~ s/\r?\n$//; $Line =~ s/^\./../; print $Peer "$Line\r\n" }
    print $Peer ".\r\n";
    print reply();
    command("QUIT");' "$1" "$PfPort" "$2" "$3" "$4")
}

queue_id() { echo "${SmtpDataReply##* }"; }
# The milter's line about a queue ID (empty when there is none).
milter_line() { grep "^$1: " "$Scratch/milter.log" | tail -1; }

# --- Our mail, recorded.
milter_start --pattern="$Pattern" --ledger="$Lmdb" --record-from=local,127.0.0.2/32 --add-message-id
printf 'From: alice@example.com\nTo: bob@example.com\nSubject: with an ID\nMessage-ID: <Given.Test.1@Example.COM>\n\nhello\n' \
  >"$Scratch/given.eml"
printf 'From: alice@example.com\nTo: bob@example.com\nSubject: without an ID\n\nhello\n' >"$Scratch/bare.eml"
smtp_send_from 127.0.0.2 alice@example.com bob@example.com "$Scratch/given.eml"
Given=$(queue_id)
check "a message with its own ID from 127.0.0.2 is accepted and recorded as the bounce will return it" \
  eval '[ "${SmtpDataReply:0:3}" = 250 ] && [[ "$(milter_line "$Given")" == *", origin=127.0.0.2/32, message-id=<given.test.1@example.com>, recorded" ]]'
smtp_send_from 127.0.0.2 alice@example.com bob@example.com "$Scratch/bare.eml"
Bare=$(queue_id)
Added=$(milter_line "$Bare" | sed -n 's/.*, message-id=<\([^>]*\)> (added), recorded$/\1/p')
check "one without an ID gets one from the milter, logged, and recorded: <$Added>" \
  eval '[ "${SmtpDataReply:0:3}" = 250 ] && [ -n "$Added" ]'
sendmail -C "$PfConfig" -f alice@example.com bob@example.com <"$Scratch/bare.eml"
pf_wait_delivered
Local=$(grep -o '^[0-9A-F]*: sender=<alice@example.com>, origin=local, ' "$Scratch/milter.log" | cut -d: -f1)
LocalId=$(sed -n "s/.* $Local: message-id=<\(.*\)>$/\1/p" "$PfLog" | head -1)
check "one from sendmail(1) gets its Message-ID from Postfix's cleanup, which the milter records: <$LocalId>" \
  eval '[ -n "$LocalId" ] && [[ "$(milter_line "$Local")" == *", message-id=<${LocalId,,}>, recorded" ]]'
check "the delivered copy carries the added Message-ID, once" \
  [ "$(grep -c -i "^Message-ID: <$Added>$" "$PfMailbox")" -eq 1 ]
check "only those three were recorded (the bounces that follow come from 127.0.0.1)" \
  [ "$(grep -c ', origin=' "$Scratch/milter.log")" -eq 3 ]

# --- Their bounces in several MTAs' formats: the bundled one of Postfix,
# and real ones from the corpus, each with its returned ID replaced.
Templates=("$Data/bounce-of-own-message.eml=20261207091508.4F2A1@example.com")
if [ -f "$Corpus/expected.tsv" ]; then
  for Name in postfix-03 exim-01 sendmail-02 qmail-03 exchange2007-02 gmail-03 opensmtpd-06; do
    File=$Corpus/mail/lhost-$Name.eml
    Id=$(awk -F'\t' -v F="mail/lhost-$Name.eml" '$1 == F { print $3 }' "$Corpus/expected.tsv")
    [ -f "$File" ] && [ -n "$Id" ] && Templates+=("$File=$Id")
  done
else
  echo "note: no corpus at $Corpus: the bundled bounce alone"
fi
# bounce_of <template=ID> <our ID>: the template with its ID replaced (any
# case) and no mbox "From " line, in $Scratch/bounce.eml.
bounce_of() {
  Old=${1#*=} New=$2 perl -ne 'next if $. == 1 && /^From /; s/\Q$ENV{Old}\E/$ENV{New}/gi; print' "${1%%=*}" \
    >"$Scratch/bounce.eml"
}
Genuine=0 ByLedger=0
for Ours in Given.Test.1@Example.COM "$Added" "$LocalId"; do
  for Template in "${Templates[@]}"; do
    bounce_of "$Template" "$Ours"
    smtp_send "" alice@example.com "$Scratch/bounce.eml"
    Genuine=$((Genuine + 1))
    if [ "${SmtpDataReply:0:3}" = 250 ] && [[ "$(milter_line "$(queue_id)")" == *"verdict=not backscatter, message-ids=1, rule=ledger, action=accept"* ]]; then
      ByLedger=$((ByLedger + 1))
    else
      echo "  $(basename "${Template%%=*}") returning <$Ours>: $SmtpDataReply; $(milter_line "$(queue_id)")"
    fi
  done
done
check "every genuine bounce ($ByLedger of $Genuine, ${#Templates[@]} formats) is accepted by rule=ledger" [ "$ByLedger" -eq "$Genuine" ]

Forged=("$Data/bounce-of-forged-message.eml=7c41e0d2.90fa@forged-sender.example.net" never.sent.1@example.com)
bounce_of "${Forged[@]}"
smtp_send "" alice@example.com "$Scratch/bounce.eml"
check "under the union, a forged bounce with an ID of our domain passes, logged with rule=pattern" \
  eval '[ "${SmtpDataReply:0:3}" = 250 ] && [[ "$(milter_line "$(queue_id)")" == *"verdict=not backscatter, message-ids=1, rule=pattern, action=accept"* ]]'
milter_stop
check "SIGTERM ends the milter with exit code 0" [ "${MilterStatus:-}" = 0 ]
check "bouncewarden-ledger finds what the milter recorded" \
  runuser -u nobody -- "$Tool" --ledger="$Lmdb" --ledger-key-file="$Key" lookup "<Given.Test.1@Example.COM>" "<$Added>" "<$LocalId>"

# --- One Redis for several hosts, covering its retention, --ledger-only.
if ! command -v redis-server >/dev/null || ! command -v redis-cli >/dev/null; then
  echo "skipped: redis-server is not installed (the --ledger-only part)"
  pf_stop
  finish
fi
mkdir "$Scratch/redis"
redis-server --port 0 --unixsocket "$Scratch/redis/redis.sock" --unixsocketperm 777 --dir "$Scratch/redis" \
  --save "" --appendonly no --logfile "$Scratch/redis/log" &
RedisPid=$!
for _ in $(seq 100); do [ -S "$Scratch/redis/redis.sock" ] && break; sleep 0.05; done
Redis=redis+unix:$Scratch/redis/redis.sock
runuser -u nobody -- "$Tool" --ledger="$Redis" --ledger-key-file="$Key" init >/dev/null
# As if the hosts had recorded into it for fifteen days.
redis-cli -s "$Scratch/redis/redis.sock" SET bwl-start $(($(date +%s) - 15 * 86400)) >/dev/null
milter_start --pattern="$Pattern" --ledger="$Redis" --ledger-only --record-from=127.0.0.2/32
check "the start line names the ledger and the rule" \
  grep -q "ledger=$Redis (ledger only, retention 14 days), record-from=127.0.0.2/32$" "$Scratch/milter.log"
smtp_send_from 127.0.0.2 alice@example.com bob@example.com "$Scratch/given.eml"
bounce_of "${Templates[-1]}" Given.Test.1@Example.COM
smtp_send "" alice@example.com "$Scratch/bounce.eml"
check "under --ledger-only, the genuine bounce is accepted by rule=ledger" \
  eval '[ "${SmtpDataReply:0:3}" = 250 ] && [[ "$(milter_line "$(queue_id)")" == *"rule=ledger, action=accept"* ]]'
bounce_of "${Forged[@]}"
smtp_send "" alice@example.com "$Scratch/bounce.eml"
check "and the forged one is refused as backscatter by rule=ledger: $SmtpDataReply" \
  eval '[ "$SmtpDataReply" = "$Reply" ] && grep -q "verdict=backscatter, message-ids=1, rule=ledger, action=reject" "$Scratch/milter.log"'
pf_stop
milter_stop
finish
