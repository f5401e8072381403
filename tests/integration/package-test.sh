#!/usr/bin/env bash
# The Debian package and the installation, from a release build tree,
# without installing anything into the system: cpack builds the package into
# a scratch folder, dpkg-deb shows its contents and control fields and
# unpacks it there, and "cmake --install" installs into a scratch prefix.
# The installed and the unpacked binary each check a bounce.
#
#   package-test.sh [<build dir> [<source tree>]]    (defaults: build, this tree)
set -uo pipefail
Here=$(dirname "$(realpath "$0")")
Build=$(realpath "${1:-$Here/../../build}")
Source=$(realpath "${2:-$Here/../..}")
. "$Source/tests/integration/lib.sh"

for Program in cpack dpkg-deb dpkg groff unshare; do
  command -v "$Program" >/dev/null || skip "$Program is not installed"
done
[ -f "$Build/CPackConfig.cmake" ] || { echo "FAIL: $Build is not a configured build tree"; exit 1; }
make_scratch
Data=$Source/tests/data/integration
Pattern='.*@example\.com$'

# verdicts_are_right <binary>: its verdicts on a forged and an own bounce,
# from a path, and on the forged one from a pipe.
verdicts_are_right() {
  local Binary=$1 Output
  Output=$("$Binary" -s "$Data/bounce-of-forged-message.eml" "$Pattern")
  [ $? -eq 1 ] && [ "$Output" = $'Backscatter DSN.\r' ] || { echo "  forged bounce: $Output"; return 1; }
  Output=$("$Binary" -s "$Data/bounce-of-own-message.eml" "$Pattern")
  [ $? -eq 0 ] && [ "$Output" = $'Not backscatter DSN.\r' ] || { echo "  own bounce: $Output"; return 1; }
  Output=$(cat "$Data/bounce-of-forged-message.eml" | "$Binary" -s - "$Pattern")
  [ $? -eq 1 ] && [ "$Output" = $'Backscatter DSN.\r' ] || { echo "  forged bounce from a pipe: $Output"; return 1; }
}

# --- The package.
if ! cpack -G DEB -B "$Scratch/package" --config "$Build/CPackConfig.cmake" >"$Scratch/cpack.log" 2>&1; then
  cat "$Scratch/cpack.log"
  echo "FAIL: cpack could not build the package"
  exit 1
fi
Packages=("$Scratch"/package/*.deb)
[ ${#Packages[@]} -eq 1 ] && [ -f "${Packages[0]}" ] || { echo "FAIL: cpack made ${#Packages[@]} packages"; exit 1; }
Package=${Packages[0]}
echo "package: $(basename "$Package")"

Contents=$(dpkg-deb -c "$Package" | awk '{ print $1, $6 }')
check "the package holds the binary, executable, in /usr/bin" \
  grep -qx -- '-rwxr-xr-x ./usr/bin/bouncewarden' <<<"$Contents"
check "the package holds the man page in /usr/share/man/man1" \
  grep -qx -- '-rw-r--r-- ./usr/share/man/man1/bouncewarden.1' <<<"$Contents"
check "the package holds the recipes' wrappers, executable" \
  [ "$(grep -c -E -- '^-rwxr-xr-x \./usr/share/doc/bouncewarden/examples/(sieve/bouncewarden-sieve|postfix/bouncewarden-filter)$' <<<"$Contents")" -eq 2 ]

# The milter's service files, at the system's places.
check "the package holds the milter's man page in /usr/share/man/man8" \
  grep -qx -- '-rw-r--r-- ./usr/share/man/man8/bouncewarden-milter.8' <<<"$Contents"
check "the package holds the milter's unit in /lib/systemd/system" \
  grep -qx -- '-rw-r--r-- ./lib/systemd/system/bouncewarden-milter.service' <<<"$Contents"
check "the package holds the milter's settings in /etc/default" \
  grep -qx -- '-rw-r--r-- ./etc/default/bouncewarden-milter' <<<"$Contents"
# The milter is built where libmilter's headers are; when this build tree
# has it, so must the package.
if [ -x "$Build/bouncewarden-milter" ]; then
  check "the package holds the milter, executable, in /usr/bin" \
    grep -qx -- '-rwxr-xr-x ./usr/bin/bouncewarden-milter' <<<"$Contents"
else
  echo "note: $Build has no bouncewarden-milter; the package is checked without it"
fi

mkdir "$Scratch/control"
dpkg-deb -e "$Package" "$Scratch/control"
check "the settings file is a conffile, and the only one" \
  [ "$(cat "$Scratch/control/conffiles")" = /etc/default/bouncewarden-milter ]
for Script in postinst prerm postrm; do
  check "the package's $Script is executable and passes sh -n" \
    eval '[ -x "$Scratch/control/$Script" ] && sh -n "$Scratch/control/$Script"'
done
check "the package depends on adduser, which postinst runs" grep -qx adduser <<<"$(dpkg-deb -f "$Package" Depends | tr ',' '\n' | sed 's/(.*)//; s/[[:space:]]//g')"

check "the package is bouncewarden for this machine's architecture" \
  [ "$(dpkg-deb -f "$Package" Package Architecture)" = "$(printf 'Package: bouncewarden\nArchitecture: %s' "$(dpkg --print-architecture)")" ]
Depends=$(dpkg-deb -f "$Package" Depends)
echo "Depends: $Depends"
# The names in Depends, without versions.
DependNames=$(tr ',' '\n' <<<"$Depends" | sed 's/(.*)//; s/[[:space:]]//g' | sort)
# Every shared library the packaged binaries need must come from a package in
# Depends, whether GMime and GLib were linked statically or not.
for Program in bouncewarden bouncewarden-milter; do
  grep -qx -- "-rwxr-xr-x ./usr/bin/$Program" <<<"$Contents" || continue
  Needed=$(dpkg-deb --fsys-tarfile "$Package" | tar -xO "./usr/bin/$Program" >"$Scratch/$Program.bin" &&
    objdump -p "$Scratch/$Program.bin" | awk '$1 == "NEEDED" { print $2 }')
  check "the packaged $Program needs shared libraries" [ -n "$Needed" ]
  for Library in $Needed; do
    Provider=$(dpkg -S "*/$Library" 2>/dev/null | head -1 | cut -d: -f1)
    check "Depends names $Provider, which provides $Library to $Program" grep -qx -- "$Provider" <<<"$DependNames"
  done
done

mkdir "$Scratch/unpacked"
dpkg-deb -x "$Package" "$Scratch/unpacked"
check "the packaged binary gives the right verdicts" verdicts_are_right "$Scratch/unpacked/usr/bin/bouncewarden"
check "the packaged man page is the source's" \
  cmp -s "$Scratch/unpacked/usr/share/man/man1/bouncewarden.1" "$Source/man/bouncewarden.1"
check "the packaged settings file is the source's" \
  cmp -s "$Scratch/unpacked/etc/default/bouncewarden-milter" "$Source/dist/bouncewarden-milter.default"
check "the packaged unit is the source's" \
  cmp -s "$Scratch/unpacked/lib/systemd/system/bouncewarden-milter.service" "$Source/dist/bouncewarden-milter.service"

# systemd-analyze verify on the packaged unit, with its program pointed at the
# unpacked milter (or, without one, at a stand-in: verify checks only that
# it can be executed) and man looking in the unpacked tree.
if command -v systemd-analyze >/dev/null; then
  Milter=$Scratch/unpacked/usr/bin/bouncewarden-milter
  [ -x "$Milter" ] || Milter=$Scratch/unpacked/usr/bin/bouncewarden
  mkdir "$Scratch/units"
  sed "s|/usr/bin/bouncewarden-milter|$Milter|" "$Scratch/unpacked/lib/systemd/system/bouncewarden-milter.service" \
    >"$Scratch/units/bouncewarden-milter.service"
  Verify=$(MANPATH=$Scratch/unpacked/usr/share/man systemd-analyze verify "$Scratch/units/bouncewarden-milter.service" 2>&1)
  check "systemd-analyze verify accepts the unit" [ -z "$Verify" ]
  [ -z "$Verify" ] || printf '%s\n' "$Verify"
  Exposure=$(systemd-analyze security --offline=yes "$Scratch/units/bouncewarden-milter.service" 2>/dev/null |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p')
  echo "systemd-analyze security: exposure $Exposure"
  check "the unit's exposure is low (under 2.0 of 10)" awk -v E="$Exposure" 'BEGIN { exit !(E != "" && E < 2.0) }'
else
  echo "note: systemd-analyze is not installed; the unit is not verified"
fi

# The maintainer scripts as dpkg runs them, against a copy of /etc mounted
# over the real one in a mount namespace of their own: the system's users
# stay as they are.
if [ "$(id -u)" -eq 0 ] && unshare --mount --propagation private true 2>/dev/null &&
  command -v adduser >/dev/null && command -v deluser >/dev/null; then
  cp -a /etc "$Scratch/etc"
  # Only this package's user is touched: drop one left by anything else.
  sed -i '/^bouncewarden:/d' "$Scratch/etc/passwd" "$Scratch/etc/group" "$Scratch/etc/shadow" "$Scratch/etc/gshadow" 2>/dev/null
  Users=$(unshare --mount --propagation private bash -c '
    mount --bind "$1/etc" /etc || exit 1
    sh "$1/control/postinst" configure && getent passwd bouncewarden | cut -d: -f1,6,7 && getent group bouncewarden | cut -d: -f1
    echo "--"
    sh "$1/control/postinst" configure && echo "again"
    echo "--"
    sh "$1/control/prerm" remove && sh "$1/control/postrm" remove && getent passwd bouncewarden | cut -d: -f1
    echo "--"
    sh "$1/control/postrm" purge && getent passwd bouncewarden; getent group bouncewarden; echo "purged"
  ' bash "$Scratch" 2>&1)
  Expected='bouncewarden:/nonexistent:/usr/sbin/nologin
bouncewarden
--
again
--
bouncewarden
--
purged'
  check "postinst creates the user and group bouncewarden (a second time changes nothing), remove keeps them, purge removes them" \
    [ "$Users" = "$Expected" ]
  [ "$Users" = "$Expected" ] || printf '%s\n' "$Users"
else
  echo "note: the maintainer scripts are not run (needs root, unshare --mount, adduser)"
fi

Version=$(dpkg-deb -f "$Package" Version)
check "the man page is of the package's version ($Version)" \
  grep -q "^\.TH BOUNCEWARDEN 1 \"[^\"]*\" \"bouncewarden $Version\"" "$Source/man/bouncewarden.1"

# --- The installation into a scratch prefix.
Prefix=$Scratch/prefix
if ! cmake --install "$Build" --prefix "$Prefix" >"$Scratch/install.log" 2>&1; then
  cat "$Scratch/install.log"
  echo "FAIL: cmake --install failed"
  exit 1
fi
check "cmake --install puts the binary in bin/" [ -x "$Prefix/bin/bouncewarden" ]
check "cmake --install puts the man page in share/man/man1/" [ -f "$Prefix/share/man/man1/bouncewarden.1" ]
check "the installed binary gives the right verdicts" verdicts_are_right "$Prefix/bin/bouncewarden"
Warnings=$(groff -man -Tutf8 -ww -z "$Prefix/share/man/man1/bouncewarden.1" 2>&1)
check "the man page formats without warnings" [ -z "$Warnings" ]
[ -z "$Warnings" ] || printf '%s\n' "$Warnings"
Warnings=$(groff -man -Tutf8 -ww -z "$Prefix/share/man/man8/bouncewarden-milter.8" 2>&1)
check "the milter's man page formats without warnings" [ -z "$Warnings" ]
[ -z "$Warnings" ] || printf '%s\n' "$Warnings"
check "the milter's man page is of the package's version ($Version)" \
  grep -q "^\.TH BOUNCEWARDEN-MILTER 8 \"[^\"]*\" \"bouncewarden $Version\"" "$Source/man/bouncewarden-milter.8"
check "cmake --install into a prefix keeps the service files as documentation" \
  [ -f "$Prefix/share/doc/bouncewarden/service/bouncewarden-milter.service" ] && [ ! -e "$Prefix/etc" ] && [ ! -e "$Prefix/lib/systemd" ]
check "the man page has its sections" \
  [ "$(groff -man -Tutf8 -P-cbou "$Prefix/share/man/man1/bouncewarden.1" 2>/dev/null |
    grep -c -x -E 'NAME|SYNOPSIS|DESCRIPTION|ARGUMENTS|EXIT STATUS|EXAMPLES|MAIL SYSTEMS')" -eq 7 ]

finish
