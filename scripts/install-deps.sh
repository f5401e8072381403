#!/usr/bin/env bash
# Installs the Debian packages that are missing, non-interactively; uses sudo
# when not run as root.
#
#   install-deps.sh build   what the build needs (scripts/try.sh; the
#                           default)
#   install-deps.sh test    that, plus every program the test command drives
#                           (scripts/test.sh)
#   install-deps.sh bench   the build's, plus what bench/run.sh and
#                           bench/linking.sh time with
#
# No service may be left running: a policy-rc.d that refuses every start is
# in place while apt-get runs, and a Dovecot, Postfix, Redis or Prometheus
# installed here is disabled at boot and stopped afterwards. An installed mail server is never
# replaced: Postfix is installed only when no package that provides
# mail-transport-agent is, and apt-get may remove nothing (--no-remove).
set -euo pipefail

Variant=${1:-build}
BuildPackages=(g++ cmake make pkg-config libgmime-3.0-dev libpcre3-dev libmilter-dev
  liblmdb-dev libhiredis-dev  # the ledger's two stores
  prometheus-cpp-dev)         # the milter's metrics endpoint
BenchPackages=(libbenchmark-dev hyperfine time valgrind)
TestPackages=(
  libgtest-dev
  clang libclang-rt-14-dev    # the fuzz smoke run (scripts/fuzz-smoke.sh): libFuzzer and its sanitizers
  valgrind                    # the memcheck pass over the end-to-end tests (scripts/test.sh)
  build-essential debhelper   # the Debian packages, built by dpkg-buildpackage (scripts/package-test.sh)
  lintian                     # their policy checks (package-test.sh)
  autopkgtest                 # debian/tests run against the installed packages (package-test.sh)
  systemd                     # systemd-analyze verify on the milter's unit (debian/tests/milter, milter-unit-test.sh)
  procmail                    # tests/integration/procmail-test.sh, debian/tests/recipes
  dovecot-core dovecot-sieve  # tests/integration/sieve-test.sh: sieve-test, dovecot-lda, sieve_extprograms
  miltertest                  # the milter's protocol tests (tests/milter/, debian/tests/milter): plays the MTA
  strace                      # the milter's unit checked against its system-call filter (milter-unit-test.sh)
  procps                      # pgrep and ps in the milter's tests (not in every minimal Debian image)
  redis-server                # the ledger's Redis tests start one of their own on a unix socket
  redis-sentinel              # and sentinels of their own, for a failover (RedisStoreTest, LedgerBench)
  prometheus curl             # the milter's metrics scraped by a Prometheus of the test's own (milter-prometheus-test.sh)
  faketime                    # an expired BATV tag made days back; an hour in seconds for the hourly summary
  python3                     # the cut link between two hosts and the socket-swap race in the milter's tests (skipped without it)
)
case $Variant in
  build) Packages=("${BuildPackages[@]}") ;;
  test) Packages=("${BuildPackages[@]}" "${TestPackages[@]}") ;;
  bench) Packages=("${BuildPackages[@]}" "${BenchPackages[@]}") ;;
  *) echo "usage: install-deps.sh [build|test|bench]" >&2; exit 64 ;;
esac

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# The installed packages, other than Postfix, that provide
# mail-transport-agent (exim4-daemon-light, for one).
other_mail_servers() {
  dpkg-query -W -f='${Package}\t${Status}\t${Provides}\n' 2>/dev/null |
    awk -F'\t' '$2 ~ /install ok installed/ && $3 ~ /(^|[ ,])mail-transport-agent([ ,(]|$)/ && $1 != "postfix" { print $1 }'
}

Missing=()
for Package in "${Packages[@]}"; do
  installed "$Package" || Missing+=("$Package")
done

# The Postfix tests run a private instance of the real Postfix.
InstallPostfix=false
if [ "$Variant" = test ] && ! installed postfix; then
  Others=$(other_mail_servers | tr '\n' ' ')
  if [ -n "$Others" ]; then
    echo "Postfix is not installed, and another mail server is (${Others% }): leaving it alone; the Postfix tests will be skipped."
  else
    InstallPostfix=true
    Missing+=(postfix)
  fi
fi
[ ${#Missing[@]} -eq 0 ] && exit 0

Sudo=()
[ "$(id -u)" -eq 0 ] || Sudo=(sudo)

# Keep maintainer scripts from starting any service (invoke-rc.d and
# deb-systemd-invoke both ask policy-rc.d; 101 means "action forbidden").
PolicyFile=/usr/sbin/policy-rc.d
if [ ! -e "$PolicyFile" ]; then
  printf '#!/bin/sh\n# Written by bouncewarden scripts/install-deps.sh while it installs packages.\nexit 101\n' |
    "${Sudo[@]}" tee "$PolicyFile" >/dev/null
  "${Sudo[@]}" chmod 755 "$PolicyFile"
  trap '"${Sudo[@]}" rm -f "$PolicyFile"' EXIT
fi

if $InstallPostfix; then
  # Delivery on this machine only, without questions.
  MailName=$(hostname --fqdn 2>/dev/null || hostname)
  printf '%s\n' \
    "postfix postfix/main_mailer_type select Local only" \
    "postfix postfix/mailname string ${MailName:-localhost}" |
    "${Sudo[@]}" debconf-set-selections
fi

echo "Installing: ${Missing[*]}"
"${Sudo[@]}" apt-get update -qq
"${Sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --no-remove \
  -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold "${Missing[@]}" >/dev/null

# disable_at_boot <service> <unit...>: neither at boot nor on a socket.
disable_at_boot() {
  local Service=$1
  shift
  if [ -d /run/systemd/system ] && command -v systemctl >/dev/null; then
    "${Sudo[@]}" systemctl disable --now "$@" >/dev/null 2>&1 || true
  elif command -v update-rc.d >/dev/null; then
    "${Sudo[@]}" update-rc.d "$Service" disable >/dev/null 2>&1 || true
  fi
}

# The tests only need Dovecot's programs, never its daemon.
if [[ " ${Missing[*]} " == *" dovecot-core "* ]]; then
  disable_at_boot dovecot dovecot.socket dovecot.service
  if [ -r /run/dovecot/master.pid ] && command -v doveadm >/dev/null; then
    "${Sudo[@]}" doveadm stop >/dev/null 2>&1 || true
  fi
fi

# The ledger's tests start a redis-server (and sentinels) of their own in a
# scratch folder; the system's would only listen on ports 6379 and 26379 for
# nobody, and hold memory on a machine the tests share.
if [[ " ${Missing[*]} " == *" redis-server "* ]]; then
  disable_at_boot redis-server redis-server.service
  if [ -x /etc/init.d/redis-server ]; then
    "${Sudo[@]}" /etc/init.d/redis-server stop >/dev/null 2>&1 || true
  fi
fi
if [[ " ${Missing[*]} " == *" redis-sentinel "* ]]; then
  disable_at_boot redis-sentinel redis-sentinel.service
  if [ -x /etc/init.d/redis-sentinel ]; then
    "${Sudo[@]}" /etc/init.d/redis-sentinel stop >/dev/null 2>&1 || true
  fi
fi

# The metrics test starts a Prometheus of its own on a scratch folder; the
# system's would scrape and store for nobody.
if [[ " ${Missing[*]} " == *" prometheus "* ]]; then
  disable_at_boot prometheus prometheus.service
  if [ -x /etc/init.d/prometheus ]; then
    "${Sudo[@]}" /etc/init.d/prometheus stop >/dev/null 2>&1 || true
  fi
fi

# The Postfix tests start and stop instances of their own; the system's
# instance stays off.
if $InstallPostfix; then
  disable_at_boot postfix postfix.service
  if "${Sudo[@]}" postfix status >/dev/null 2>&1; then
    "${Sudo[@]}" postfix stop >/dev/null 2>&1 || true
  fi
fi
