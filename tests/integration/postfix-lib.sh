# A private Postfix instance for the integration tests: sourced after lib.sh,
# never run.
#
# The instance lives in the scratch folder: its configuration ($PfConfig), its
# queue ($PfQueue), its log ($PfLog) and a mailbox file ($PfMailbox) that
# every message to any address of $PfDomain is delivered into. Its smtpd
# listens on 127.0.0.1:$PfPort, a free port; nothing else listens. The
# system's own Postfix configuration is only read, never changed.
#
#   pf_require "$0" "$@"       skip unless Postfix can run here; then run
#                              the script again in a mount namespace of its
#                              own (see pf_setup)
#   pf_make_scratch            make_scratch, with a trap that stops the
#                              instance before the folder goes
#   pf_setup [chroot]          write the configuration; "chroot" runs smtpd
#                              chrooted into the queue, as Debian does
#   pf_conf name=value...      change main.cf
#   pf_master_add <line>...    add lines to master.cf
#   pf_start / pf_stop         start (and wait until smtpd answers) / stop
#   pf_stopped                 whether its master has ended
#   smtp_send <from> <rcpt> <message file>
#                              one SMTP session; the replies in $SmtpLog,
#                              the reply to the end of data in $SmtpDataReply
#   pf_wait_delivered          wait until the queue is empty
#   mailbox_messages           the number of messages in the mailbox

PfDomain=example.com
PfStarted=false

# Skips (exit 77) unless this machine can run a private Postfix: as root, with
# Postfix installed, and no other mail server in its place.
pf_require() {
  [ "$(id -u)" -eq 0 ] || skip "a private Postfix instance needs root"
  command -v postfix >/dev/null && command -v postconf >/dev/null || skip "Postfix is not installed"
  local Others
  Others=$(dpkg-query -W -f='${Package}\t${Status}\t${Provides}\n' 2>/dev/null |
    awk -F'\t' '$2 ~ /install ok installed/ && $3 ~ /(^|[ ,])mail-transport-agent([ ,(]|$)/ && $1 != "postfix" { print $1 }' |
    tr '\n' ' ')
  [ -z "$Others" ] || skip "another mail server is installed (${Others% }), so Postfix is not"
  getent passwd postfix >/dev/null && getent group postdrop >/dev/null ||
    skip "the postfix user or the postdrop group is missing"
  [ -f /etc/postfix/main.cf ] || skip "Postfix has no /etc/postfix/main.cf"
  # sendmail run by a user other than root (by pipe(8), say) hands the
  # message to the set-gid postdrop, which accepts a configuration directory
  # other than the default only when the default main.cf lists it. Rather
  # than change the system's main.cf, the script runs in a mount namespace
  # where a copy that lists the instance's directory is mounted over it.
  if [ -z "${BW_POSTFIX_NAMESPACE:-}" ]; then
    unshare --mount --propagation private true 2>/dev/null ||
      skip "cannot make a mount namespace (unshare --mount)"
    BW_POSTFIX_NAMESPACE=1 exec unshare --mount --propagation private bash "$@"
  fi
}

pf_make_scratch() {
  Scratch=$(mktemp -d "${TMPDIR:-/tmp}/bw-postfix.XXXXXX")
  # Postfix's users walk through it.
  chmod 755 "$Scratch"
  trap 'pf_stop; rm -rf "$Scratch"' EXIT
  trap 'exit 1' HUP INT TERM
}

# A TCP port on 127.0.0.1 that nothing listens on, below the range the
# kernel hands out to outgoing connections (so that none of the suite's
# clients holds it by the time a server binds it).
pf_free_port() {
  local Port Low=32768
  read -r Low _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || true
  [ "$Low" -gt 12000 ] || Low=32768
  for _ in $(seq 1 50); do
    Port=$((10000 + RANDOM % (Low - 10000)))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$Port") 2>/dev/null; then
      echo "$Port"
      return 0
    fi
  done
  return 1
}

pf_conf() {
  postconf -c "$PfConfig" -e "$@"
}

pf_master_add() {
  printf '%s\n' "$@" >>"$PfConfig/master.cf"
}

pf_setup() {
  local Chroot=n
  [ "${1:-}" = chroot ] && Chroot=y
  PfConfig=$Scratch/postfix-config
  PfQueue=$Scratch/postfix-queue
  PfLog=$Scratch/maillog
  PfMailbox=$Scratch/mail/mailbox
  PfPort=$(pf_free_port) || { echo "FAIL: no free port on 127.0.0.1"; exit 1; }
  mkdir -p "$PfConfig" "$PfQueue" "$Scratch/postfix-data" "$Scratch/mail"
  chown postfix "$Scratch/postfix-data"
  # local(8) writes into files named by a root-owned alias table as
  # default_privs (nobody).
  chown nobody "$Scratch/mail"
  : >"$PfLog"
  cp /etc/postfix/main.cf "$Scratch/default-main.cf"
  printf '\n# bouncewarden tests: the private instance.\nalternate_config_directories = %s\n' "$PfConfig" \
    >>"$Scratch/default-main.cf"
  mount --bind "$Scratch/default-main.cf" /etc/postfix/main.cf ||
    { echo "FAIL: cannot mount over /etc/postfix/main.cf in the test's namespace"; exit 1; }
  printf 'postmaster root\nroot %s\nalice %s\nbob %s\n' "$PfMailbox" "$PfMailbox" "$PfMailbox" \
    >"$PfConfig/aliases"

  cat >"$PfConfig/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $PfQueue
data_directory = $Scratch/postfix-data
mail_owner = postfix
setgid_group = postdrop
myhostname = mail.$PfDomain
mydomain = $PfDomain
myorigin = \$mydomain
mydestination = \$mydomain, \$myhostname, localhost
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
biff = no
alias_maps = texthash:$PfConfig/aliases
alias_database =
local_recipient_maps =
local_transport = local
default_privs = nobody
default_transport = error:no mail leaves this test instance
maillog_file_prefixes = $Scratch
maillog_file = $PfLog
smtputf8_enable = no
EOF
  # smtpd on the test port alone; every other service as Debian ships it,
  # except that only smtpd may be chrooted.
  cat >"$PfConfig/master.cf" <<EOF
127.0.0.1:$PfPort inet n - $Chroot - - smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
EOF
  if [ "$Chroot" = y ]; then
    # What a chrooted smtpd looks up, copied in as Debian's start script does.
    mkdir -p "$PfQueue/etc"
    local File
    for File in hosts services nsswitch.conf resolv.conf host.conf localtime; do
      [ -e "/etc/$File" ] && cp -L "/etc/$File" "$PfQueue/etc/"
    done
  fi
}

# Starts the instance and waits (10 s at most) until its smtpd greets.
pf_start() {
  # Set first: a signal during the start still stops it.
  PfStarted=true
  # A port taken between its choice and the bind (the suite runs tests side
  # by side) is chosen again.
  local Try
  for Try in 1 2 3; do
    postfix -c "$PfConfig" start >"$Scratch/postfix-start.log" 2>&1 && break
    if [ "$Try" -lt 3 ] &&
      grep -qs "bind 127.0.0.1 port $PfPort: Address already in use" "$PfLog" "$Scratch/postfix-start.log"; then
      local Port
      Port=$(pf_free_port) || { echo "FAIL: no free port on 127.0.0.1"; exit 1; }
      sed -i "s/^127\.0\.0\.1:$PfPort /127.0.0.1:$Port /" "$PfConfig/master.cf"
      PfPort=$Port
      continue
    fi
    cat "$Scratch/postfix-start.log" "$PfLog"
    echo "FAIL: Postfix did not start"
    exit 1
  done
  local Greeting
  for _ in $(seq 1 100); do
    if exec {PfProbe}<>"/dev/tcp/127.0.0.1/$PfPort" 2>/dev/null; then
      Greeting=
      read -r -t 5 -u "$PfProbe" Greeting || true
      exec {PfProbe}>&-
      [ "${Greeting:0:3}" = 220 ] && return 0
    fi
    sleep 0.1
  done
  cat "$PfLog"
  echo "FAIL: Postfix's smtpd does not answer on 127.0.0.1:$PfPort"
  exit 1
}

# Stops the instance and waits for its master to end; safe to call twice.
pf_stop() {
  $PfStarted || return 0
  PfStarted=false
  local Pid
  Pid=$(tr -d ' ' <"$PfQueue/pid/master.pid" 2>/dev/null)
  postfix -c "$PfConfig" stop >/dev/null 2>&1
  [ -n "$Pid" ] || return 0
  for _ in $(seq 1 100); do
    kill -0 "$Pid" 2>/dev/null || return 0
    sleep 0.1
  done
  echo "note: Postfix's master ($Pid) did not stop in 10 s; killed"
  postfix -c "$PfConfig" abort >/dev/null 2>&1 || kill -KILL "$Pid" 2>/dev/null
}

# Whether the instance's master has ended (its pid file stays).
pf_stopped() {
  local Pid
  Pid=$(tr -d ' ' <"$PfQueue/pid/master.pid" 2>/dev/null)
  [ -z "$Pid" ] || ! kill -0 "$Pid" 2>/dev/null
}

# smtp_reply: reads one (possibly multi-line) reply; its code in $SmtpCode,
# its last line in $SmtpLine. Fails on a timeout or a closed connection.
smtp_reply() {
  local Line
  while :; do
    IFS= read -r -t 30 -u "$SmtpFd" Line || { SmtpCode=000; SmtpLine="(no reply)"; return 1; }
    Line=${Line%$'\r'}
    printf 'S: %s\n' "$Line" >>"$SmtpLog"
    [ "${Line:3:1}" = - ] || break
  done
  SmtpCode=${Line:0:3}
  SmtpLine=$Line
}

smtp_command() {
  printf 'C: %s\n' "$1" >>"$SmtpLog"
  printf '%s\r\n' "$1" 1>&"$SmtpFd"
  smtp_reply
}

# smtp_send <from> <rcpt> <message>: one message in one session. <from> is
# the address inside MAIL FROM:<...>, empty for a bounce. Returns 0 when the
# server accepted the message; $SmtpDataReply holds the reply to the end of
# the data (or to the command that was refused), $SmtpLog the conversation.
smtp_send() {
  local From=$1 Rcpt=$2 Message=$3
  SmtpLog=$Scratch/smtp.log
  : >"$SmtpLog"
  SmtpDataReply=
  exec {SmtpFd}<>"/dev/tcp/127.0.0.1/$PfPort" || { SmtpDataReply="(cannot connect)"; return 1; }
  local Ok=false
  if smtp_reply && [ "$SmtpCode" = 220 ] &&
    smtp_command "EHLO client.example.org" && [ "$SmtpCode" = 250 ] &&
    smtp_command "MAIL FROM:<$From>" && [ "$SmtpCode" = 250 ] &&
    smtp_command "RCPT TO:<$Rcpt>" && [ "$SmtpCode" = 250 ] &&
    smtp_command "DATA" && [ "$SmtpCode" = 354 ]; then
    # CR LF line ends, and a leading dot doubled.
    sed -e 's/\r$//' -e 's/^\./../' -e 's/$/\r/' "$Message" 1>&"$SmtpFd"
    printf '.\r\n' 1>&"$SmtpFd"
    smtp_reply
    [ "$SmtpCode" = 250 ] && Ok=true
  fi
  SmtpDataReply=$SmtpLine
  printf 'QUIT\r\n' 1>&"$SmtpFd" 2>/dev/null
  exec {SmtpFd}>&-
  $Ok
}

# Waits (20 s at most) until nothing is left in the queue.
pf_wait_delivered() {
  for _ in $(seq 1 200); do
    [ -z "$(find "$PfQueue/maildrop" "$PfQueue/incoming" "$PfQueue/active" "$PfQueue/deferred" \
      -type f 2>/dev/null | head -1)" ] && return 0
    sleep 0.1
  done
  echo "  the queue is not empty after 20 s:"
  postqueue -c "$PfConfig" -p | sed 's/^/    /'
  return 1
}

mailbox_messages() {
  if [ -f "$PfMailbox" ]; then
    grep -c '^From ' "$PfMailbox"
  else
    echo 0
  fi
}
