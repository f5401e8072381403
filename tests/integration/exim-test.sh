#!/usr/bin/env bash
# The DATA ACL statement of examples/exim.md, as written, under the real Exim
# in host-checking mode (exim -bh): an SMTP session on standard input and
# output, ACLs run, nothing accepted, delivered or listened for.
#
# Exim's Debian package conflicts with Postfix's, so it is not installed:
# exim4-daemon-heavy (the build with content scanning), exim4-base and the
# libraries the daemon needs that this machine lacks are downloaded with
# apt-get download into <build dir>/exim-debs (kept, so a rerun downloads
# nothing), unpacked there with dpkg -x and run with LD_LIBRARY_PATH and a
# minimal configuration (-C). Exim needs its system user, Debian-exim; the
# test creates it when it is missing, as exim4-base's postinst would.
#
#   exim-test.sh <bouncewarden binary> <source tree> <build dir>
set -uo pipefail
Binary=$(realpath "$1")
Source=$(realpath "$2")
Build=$(realpath "$3")
. "$Source/tests/integration/lib.sh"

[ "$(id -u)" -eq 0 ] || skip "exim -bh with an unpacked Exim needs root (and Exim's system user)"
for Program in apt-get apt-cache dpkg dpkg-deb ldd; do
  command -v "$Program" >/dev/null || skip "$Program is missing"
done
Cache=$Build/exim-debs
Root=$Cache/root
Exim=$Root/usr/sbin/exim4

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# The packages to download: the daemon, exim4-base, and the libraries (lib*
# packages) it depends on that are not installed, following their own
# library dependencies three levels down.
packages_to_fetch() {
  local -A Seen=()
  local Package Dependency Next
  local Current=(exim4-daemon-heavy)
  echo exim4-base
  for _ in 1 2 3 4; do
    Next=()
    for Package in "${Current[@]}"; do
      [ -n "${Seen[$Package]:-}" ] && continue
      Seen[$Package]=1
      echo "$Package"
      # The first of each set of alternatives, real packages only.
      for Dependency in $(apt-cache depends --no-recommends --no-suggests --no-conflicts --no-breaks \
        --no-replaces --no-enhances "$Package" 2>/dev/null |
        awk '/^ *\|?Depends: [^<]/ { if (!Alt) print $2; Alt = ($1 ~ /^\|/) } /^ *Depends: </ { Alt = 0 }' |
        sed 's/:.*//'); do
        case $Dependency in lib*) ;; *) continue ;; esac
        installed "$Dependency" || Next+=("$Dependency")
      done
    done
    [ ${#Next[@]} -eq 0 ] && break
    Current=("${Next[@]}")
  done
}

if [ ! -x "$Exim" ] || [ ! -e "$Cache/unpacked.stamp" ]; then
  mkdir -p "$Cache"
  Wanted=$(packages_to_fetch | sort -u)
  [ -n "$Wanted" ] || skip "apt-cache knows no exim4-daemon-heavy (run apt-get update)"
  Fetch=()
  for Package in $Wanted; do
    compgen -G "$Cache/${Package}_*_*.deb" >/dev/null || Fetch+=("$Package")
  done
  if [ ${#Fetch[@]} -gt 0 ]; then
    echo "downloading into $Cache: ${Fetch[*]}"
    (cd "$Cache" && apt-get download -q "${Fetch[@]}" >"$Cache/download.log" 2>&1) ||
      { cat "$Cache/download.log"; skip "apt-get download could not fetch Exim's packages"; }
  fi
  rm -rf "$Root"
  mkdir -p "$Root"
  for Deb in "$Cache"/*.deb; do
    dpkg -x "$Deb" "$Root" || { echo "FAIL: dpkg -x $Deb"; exit 1; }
  done
  touch "$Cache/unpacked.stamp"
fi
[ -x "$Exim" ] || { echo "FAIL: no $Exim after unpacking"; exit 1; }
# Every folder of the unpacked tree that holds shared libraries.
LD_LIBRARY_PATH=$(find "$Root" -name 'lib*.so.*' -printf '%h\n' | sort -u | paste -sd:)
export LD_LIBRARY_PATH
Missing=$(ldd "$Exim" | awk '/not found/ { print $1 }')
[ -z "$Missing" ] || { echo "FAIL: libraries still missing for $Exim: $Missing"; exit 1; }

if ! getent passwd Debian-exim >/dev/null; then
  command -v adduser >/dev/null || skip "Exim's user Debian-exim is missing and adduser is not installed"
  adduser --system --group --quiet --home /var/spool/exim4 --no-create-home --disabled-login \
    --allow-bad-names Debian-exim || { echo "FAIL: could not create the user Debian-exim"; exit 1; }
  echo "note: created the system user Debian-exim (Exim's user), as exim4-base would; it is left in place"
fi

make_scratch
chmod 755 "$Scratch"
Data=$Source/tests/data/integration
Doc=$Source/examples/exim.md

check "this Exim has content scanning, as the document says to check" \
  grep -q '^Support for:.*Content_Scanning' <<<"$("$Exim" -C /dev/null -bV 2>/dev/null)"

# The document's ACL statement, with only the program's path changed.
Statement=$(awk '/^    # bouncewarden: refuse bounces/ { In = 1 } In && !/^    / { exit } In { print substr($0, 5) }' "$Doc")
[ -n "$Statement" ] || { echo "FAIL: no ACL statement in $Doc"; exit 1; }
mkdir -p "$Scratch/bin"
install -m 755 "$Binary" "$Scratch/bin/bouncewarden"
Statement=${Statement//\/usr\/bin\/bouncewarden/$Scratch/bin/bouncewarden}
grep -q "run{$Scratch/bin/bouncewarden " <<<"$Statement" ||
  { echo "FAIL: the program's path was not found to change in:"; echo "$Statement"; exit 1; }

mkdir -p "$Scratch/spool" "$Scratch/log"
chown Debian-exim:Debian-exim "$Scratch/spool" "$Scratch/log"
cat >"$Scratch/exim.conf" <<EOF
primary_hostname = mail.example.com
domainlist local_domains = example.com
exim_user = Debian-exim
exim_group = Debian-exim
spool_directory = $Scratch/spool
log_file_path = $Scratch/log/%slog
keep_environment = LD_LIBRARY_PATH
acl_smtp_rcpt = acl_check_rcpt
acl_smtp_data = acl_check_data

begin acl

acl_check_rcpt:
  accept domains = +local_domains
  deny   message = relay not permitted

acl_check_data:
$Statement
  accept

begin routers

begin transports
EOF
"$Exim" -C "$Scratch/exim.conf" -bV >"$Scratch/bV.log" 2>&1 ||
  { cat "$Scratch/bV.log"; echo "FAIL: Exim refuses the configuration"; exit 1; }

# session <from> <message>: exim -bh with one message; the replies.
session() {
  {
    printf 'EHLO mx.example.org\r\nMAIL FROM:<%s>\r\nRCPT TO:<alice@example.com>\r\nDATA\r\n' "$1"
    sed -e 's/\r$//' -e 's/^\./../' -e 's/$/\r/' "$2"
    printf '.\r\nQUIT\r\n'
  } | timeout 30 "$Exim" -C "$Scratch/exim.conf" -bh 192.0.2.1 2>"$Scratch/bh.log" | tr -d '\r' | grep -E '^[0-9]{3}[ -]'
}

# data_reply <replies>: the reply to the end of the message (the last one
# before QUIT's 221).
data_reply() {
  grep -v '^221 ' <<<"$1" | tail -1
}

Replies=$(session "" "$Data/bounce-of-forged-message.eml")
check "a forged bounce with MAIL FROM:<> gets 550 Backscatter... at the end of data" \
  [ "$(data_reply "$Replies")" = "550 Backscatter: the returned message was not sent from here" ]
[ "$(data_reply "$Replies")" = "550 Backscatter: the returned message was not sent from here" ] ||
  { echo "$Replies"; cat "$Scratch/bh.log"; }

Replies=$(session "" "$Data/bounce-of-own-message.eml")
check "a genuine bounce with MAIL FROM:<> gets 250" grep -q '^250 ' <<<"$(data_reply "$Replies")"
grep -q '^250 ' <<<"$(data_reply "$Replies")" || { echo "$Replies"; cat "$Scratch/bh.log"; }

Replies=$(session carol@example.org "$Data/forwarded-message.eml")
check "an ordinary sender's message that carries a forged one gets 250 (-s keeps the sender)" \
  grep -q '^250 ' <<<"$(data_reply "$Replies")"

# The scan file must exist for the check: without the regex condition
# bouncewarden gets no file and answers 255, which lets the bounce through.
sed -i 's/^deny    regex     = ^$/deny/' "$Scratch/exim.conf"
grep -q 'regex' "$Scratch/exim.conf" && { echo "FAIL: the regex condition was not found to remove"; exit 1; }
Replies=$(session "" "$Data/bounce-of-forged-message.eml")
check "without 'regex = ^' the scan file is missing and even a forged bounce gets 250" \
  grep -q '^250 ' <<<"$(data_reply "$Replies")"

check "no Exim process is left" [ -z "$(pgrep -f "^$Exim " || true)" ]
finish
