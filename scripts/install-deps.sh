#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Idempotent and non-interactive; uses sudo when not run as root.
set -euo pipefail

Packages=(g++ cmake make pkg-config libgmime-3.0-dev libpcre3-dev libgtest-dev)

Missing=()
for Package in "${Packages[@]}"; do
  dpkg-query -W -f='${Status}' "$Package" 2>/dev/null | grep -q "install ok installed" || Missing+=("$Package")
done
[ ${#Missing[@]} -eq 0 ] && exit 0

Sudo=()
[ "$(id -u)" -eq 0 ] || Sudo=(sudo)
echo "Installing: ${Missing[*]}"
"${Sudo[@]}" apt-get update -qq
"${Sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${Missing[@]}" >/dev/null
