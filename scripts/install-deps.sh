#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Idempotent and non-interactive; uses sudo when not run as root.
#
# Besides the build tools this brings the programs the integration tests drive
# (procmail, Dovecot's sieve-test, miltertest) and dpkg-dev for the package's dependency
# list. None of their services may start: a policy-rc.d that refuses every
# start is in place while apt-get runs, and a Dovecot installed here is
# disabled and stopped afterwards.
set -euo pipefail

Packages=(
  g++ cmake make pkg-config libgmime-3.0-dev libpcre3-dev libgtest-dev
  clang libclang-rt-14-dev    # the fuzz smoke run (scripts/fuzz-smoke.sh): libFuzzer and its sanitizers
  valgrind                    # the memcheck pass over the end-to-end tests (scripts/test.sh)
  dpkg-dev file               # the package's dependencies: dpkg-shlibdeps (tests/integration/package-test.sh)
  groff-base                  # the man page check (package-test.sh)
  procmail                    # tests/integration/procmail-test.sh
  dovecot-core dovecot-sieve  # tests/integration/sieve-test.sh: sieve-test, dovecot-lda, sieve_extprograms
  libmilter-dev               # bouncewarden-milter (src/milter): libmilter's header and library
  miltertest                  # tests/milter/milter-protocol-test.sh: plays the MTA against the milter
)

Missing=()
for Package in "${Packages[@]}"; do
  dpkg-query -W -f='${Status}' "$Package" 2>/dev/null | grep -q "install ok installed" || Missing+=("$Package")
done
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

echo "Installing: ${Missing[*]}"
"${Sudo[@]}" apt-get update -qq
"${Sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold "${Missing[@]}" >/dev/null

# The tests only need Dovecot's programs, never its daemon: when this run
# installed it, keep it from starting at boot or on a socket, and make sure it
# is not running now.
if [[ " ${Missing[*]} " == *" dovecot-core "* ]]; then
  if [ -d /run/systemd/system ] && command -v systemctl >/dev/null; then
    "${Sudo[@]}" systemctl disable --now dovecot.socket dovecot.service >/dev/null 2>&1 || true
  elif command -v update-rc.d >/dev/null; then
    "${Sudo[@]}" update-rc.d dovecot disable >/dev/null 2>&1 || true
  fi
  if [ -r /run/dovecot/master.pid ] && command -v doveadm >/dev/null; then
    "${Sudo[@]}" doveadm stop >/dev/null 2>&1 || true
  fi
fi
