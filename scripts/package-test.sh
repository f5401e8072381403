#!/usr/bin/env bash
# The Debian packages end to end, as root on a machine without them: built
# with dpkg-buildpackage from a copy of this tree, checked by lintian, tested
# installed by autopkgtest (debian/tests, on this machine), then installed
# again, purged, installed at a lower version and upgraded, removed and
# purged, with what is left checked after each step. Whatever it installed
# is purged on every path; no service is started.
#
#   scripts/package-test.sh      (exit 77 where it cannot run)
set -uo pipefail
Source=$(realpath "$(dirname "$0")/..")
. "$Source/tests/integration/lib.sh"
Packages=(bouncewarden bouncewarden-milter)
Unit=bouncewarden-milter.service
Settings=/etc/bouncewarden/bouncewarden-milter.conf
OldSettings=/etc/default/bouncewarden-milter

[ "$(id -u)" -eq 0 ] || skip "needs root: it installs and purges the packages"
for Program in dpkg-buildpackage dh lintian autopkgtest miltertest procmail systemd-analyze; do
  command -v "$Program" >/dev/null || skip "$Program is not installed (scripts/install-deps.sh test brings it)"
done
for Package in "${Packages[@]}"; do
  Status=$(dpkg-query -W -f='${db:Status-Status}' "$Package" 2>/dev/null)
  [ -z "$Status" ] || [ "$Status" = not-installed ] || skip "$Package is on this machine ($Status): left alone"
done
getent passwd bouncewarden >/dev/null || getent group bouncewarden >/dev/null &&
  skip "a user or group bouncewarden exists already: left alone"

Started=$SECONDS
Scratch=$(mktemp -d "${TMPDIR:-/tmp}/bw-package.XXXXXX")
Chroot=/var/spool/postfix/bouncewarden
MadeChroot=
# autopkgtest's apt source for the packages, which an interrupted run leaves.
AptFiles=()
for File in /etc/apt/sources.list.d/autopkgtest.list /etc/apt/preferences.d/90autopkgtest; do
  [ -e $File ] || AptFiles+=($File)
done
restore() {
  [ -d /run/systemd/system ] && systemctl stop "$Unit" >/dev/null 2>&1
  dpkg --purge "${Packages[@]}" >/dev/null 2>&1
  # A user that a failed purge left behind: there was none before.
  getent passwd bouncewarden >/dev/null && deluser --system bouncewarden >/dev/null 2>&1
  getent group bouncewarden >/dev/null && delgroup --system bouncewarden >/dev/null 2>&1
  [ -n "$MadeChroot" ] && rmdir "$Chroot"
  rm -f "${AptFiles[@]}"
  rm -rf "$Scratch"
}
trap restore EXIT
trap 'exit 1' INT TERM

apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -y -q --no-install-recommends -o Dpkg::Options::=--force-confold "$@" \
    >>"$Scratch/apt.log" 2>&1 || { tail -20 "$Scratch/apt.log"; fail "apt-get $*"; }
}

# --- Build, from a copy: dpkg-buildpackage writes beside the tree.
mkdir "$Scratch/src"
if git -C "$Source" rev-parse --git-dir >/dev/null 2>&1; then
  git -C "$Source" ls-files -z -co --exclude-standard |
    tar -C "$Source" --null --ignore-failed-read -cf - -T - 2>/dev/null | tar -xf - -C "$Scratch/src"
else
  tar -C "$Source" --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$Scratch/src"
fi
cd "$Scratch/src" || exit 1
Version=$(dpkg-parsechangelog -S Version)
Arch=$(dpkg --print-architecture)
Old=$Version~old
build() {
  dpkg-buildpackage -us -uc -b -j"$(nproc)" "$@" >>"$Scratch/build.log" 2>&1 ||
    { tail -40 "$Scratch/build.log"; echo "FAIL: dpkg-buildpackage $*"; exit 1; }
}
build
# The same build at a lower version, to upgrade from: only the packaging
# steps run again (-nc keeps the build).
cp debian/changelog "$Scratch/changelog"
sed -i "1s/($Version)/($Old)/" debian/changelog
build -nc
cp "$Scratch/changelog" debian/changelog
Debs=("$Scratch/bouncewarden_${Version}_$Arch.deb" "$Scratch/bouncewarden-milter_${Version}_$Arch.deb")
OldDebs=("$Scratch/bouncewarden_${Old}_$Arch.deb" "$Scratch/bouncewarden-milter_${Old}_$Arch.deb")
echo "built ${Debs[*]##*/} and the $Old pair ($((SECONDS - Started)) s)"

# --- lintian: no error, warning or informational tag that is not overridden.
Lintian=$(lintian --fail-on error,warning,info --display-info "$Scratch/bouncewarden_${Version}_$Arch.changes" 2>&1)
check "lintian passes the .changes and its packages" [ $? -eq 0 ]
grep -v 'running with root privileges' <<<"$Lintian"

# --- autopkgtest installs the packages on this machine and runs
# debian/tests; they stay installed for the next steps.
autopkgtest "$Scratch/src/" "${Debs[@]}" -- null >"$Scratch/autopkgtest.log" 2>&1
Code=$?
check "autopkgtest passes every test (exit $Code)" [ $Code -eq 0 ]
[ $Code -eq 0 ] || tail -60 "$Scratch/autopkgtest.log"
awk '/@@@@ summary/ { In = 1; next } /^autopkgtest \[/ { In = 0 } In' "$Scratch/autopkgtest.log"

for Program in bouncewarden bouncewarden-milter; do
  check "$Program links GMime, GLib and PCRE as shared libraries" \
    [ "$(ldd /usr/bin/$Program | grep -c -E '^\s(libgmime-3\.0|libglib-2\.0|libpcre)\.so')" -eq 3 ]
done
check "the milter is of the package's version" [ "$(bouncewarden-milter --version)" = "bouncewarden-milter $Version" ]

# What the packages leave on the machine. The key's digest shows that no
# step but the purge makes it anew.
Key=/etc/bouncewarden/ledger.key
BatvKey=/etc/bouncewarden/batv.key
state() {
  dpkg-query -W -f='${Package} ${Version} ${db:Status-Status}\n' "${Packages[@]}" 2>/dev/null
  getent passwd bouncewarden
  getent group bouncewarden
  [ -f $Settings ] && echo "settings: $(grep -v '^#' $Settings | grep .)"
  [ -e $Key ] && echo "key: $(stat -c '%U:%G %a %s' $Key) $(sha256sum <$Key | cut -c1-16)"
  [ -e $BatvKey ] && echo "batv key: $(stat -c '%U:%G %a %s' $BatvKey) $(sha256sum <$BatvKey | cut -c1-16)"
  [ -e /var/lib/bouncewarden ] && echo "state: $(stat -c '%U:%G %a' /var/lib/bouncewarden)"
  ls /etc/systemd/system/*/$Unit 2>/dev/null
  pgrep -a -f '^/usr/bin/bouncewarden-milter'
  [ -d /run/systemd/system ] && systemctl is-active --quiet $Unit && echo "$Unit is active"
}
Installed=$(state)
Expected="bouncewarden $Version installed
bouncewarden-milter $Version installed
bouncewarden:x:$(id -u bouncewarden 2>/dev/null):$(id -g bouncewarden 2>/dev/null):bouncewarden milter,,,:/nonexistent:/usr/sbin/nologin
bouncewarden:x:$(id -g bouncewarden 2>/dev/null):
settings: 
key: bouncewarden:bouncewarden 600 65 $(sha256sum <$Key 2>/dev/null | cut -c1-16)
batv key: bouncewarden:bouncewarden 600 65 $(sha256sum <$BatvKey 2>/dev/null | cut -c1-16)
state: bouncewarden:bouncewarden 750"
check "installed: the user and group, the settings with no pattern, the ledger's key (the user's alone) and state folder, the unit neither enabled nor running" \
  [ "$Installed" = "$Expected" ]
check "the keys are 64 hexadecimal digits, and not the same" \
  eval 'grep -q -x "[0-9a-f]\{64\}" $Key && grep -q -x "[0-9a-f]\{64\}" $BatvKey && ! cmp -s $Key $BatvKey'
[ "$Installed" = "$Expected" ] || printf '%s\n' "$Installed"
check "the settings file is a conffile" grep -q " $Settings " <<<"$(dpkg-query -W -f='${Conffiles}' bouncewarden-milter)"

apt_get install --reinstall "${Debs[@]}"
check "installed again, nothing changes" [ "$(state)" = "$Installed" ]

# --- Upgrade from the lower version, with the administrator's pattern set
# and the unit enabled.
apt_get purge "${Packages[@]}"
apt_get install "${OldDebs[@]}"
echo 'pattern = .*@example\.com$' >>$Settings
systemctl enable $Unit >/dev/null 2>&1
Before=$(state)
apt_get install "${Debs[@]}"
After=$(state)
check "upgraded from $Old: the administrator's settings, the enabled unit, the user and the key stay, nothing runs" \
  eval '[ "$After" = "${Before//$Old/$Version}" ] && grep -q "^settings: pattern = " <<<"$Before" &&
    grep -q "/multi-user.target.wants/$Unit$" <<<"$Before"'
[ "$After" = "${Before//$Old/$Version}" ] || diff <(echo "${Before//$Old/$Version}") <(echo "$After")

# --- Remove: the conffile, the user, the key and the ledger stay.
apt_get remove "${Packages[@]}"
Removed=$(state)
check "removed: the programs go, the settings, the user, the key and the state folder stay" \
  eval '[ ! -e /usr/bin/bouncewarden ] && [ ! -e /usr/bin/bouncewarden-milter ] &&
    grep -q "^bouncewarden-milter $Version config-files$" <<<"$Removed" &&
    grep -q "^settings: pattern = " <<<"$Removed" && grep -q "^bouncewarden:x:.*:bouncewarden milter," <<<"$Removed" &&
    grep -q "^key: bouncewarden:bouncewarden 600 " <<<"$Removed" && grep -q "^batv key: bouncewarden:bouncewarden 600 " <<<"$Removed" &&
    grep -q "^state: " <<<"$Removed"'

# --- Purge: nothing of ours is left. The chroot folder an administrator
# would have made for Postfix stays theirs, and the purge says so; Postfix's
# membership of the group goes with the group, and the purge says so too.
# Not ours either: the backups that the shadow tools keep of the user
# database (/etc/passwd- and the like) hold the removed user, as they do for
# any.
if [ -d /var/spool/postfix ] && [ ! -e $Chroot ]; then
  mkdir $Chroot && MadeChroot=$Chroot
fi
Member=
if getent passwd postfix >/dev/null; then
  adduser --quiet postfix bouncewarden && Member=postfix
fi
apt_get purge "${Packages[@]}"
check "purged: no package state, user, group, settings, key, state folder or enabled unit" [ -z "$(state)" ]
Left=$(find /etc /var/lib /run -name '*bouncewarden*' 2>/dev/null)
check "purged: nothing named bouncewarden in /etc, /var/lib or /run" [ -z "$Left" ]
[ -z "$Left" ] || printf '  %s\n' $Left
if [ -n "$MadeChroot" ]; then
  check "the purge names the chroot folder it leaves" grep -q "^bouncewarden-milter: purged; .* $Chroot" "$Scratch/apt.log"
fi
check "and never the key's folder as the administrator's" eval '! grep -q "purged; .*/etc/bouncewarden" "$Scratch/apt.log"'
if [ -n "$Member" ]; then
  check "the purge took postfix's membership with the group, and says so" \
    eval '! id -nG postfix | grep -qw bouncewarden &&
      grep -q "^bouncewarden-milter: the group bouncewarden is gone, and with it the membership of: postfix" "$Scratch/apt.log"'
fi

# --- Upgrade from the /etc/default layout (0.1.0): a package of this
# version made into one of that layout (the defaults file its conffile, no
# configuration file), the administrator's settings in it as variables, the
# unit enabled. The upgrade converts them into the new file once, keeps the
# old file as a backup, and the milter takes the settings; the purge then
# leaves nothing.
LayoutDeb=$Scratch/bouncewarden-milter_0.1.0~default_$Arch.deb
rm -rf "$Scratch/layout"
dpkg-deb -R "${Debs[1]}" "$Scratch/layout"
rm "$Scratch/layout$Settings"
install -d "$Scratch/layout/etc/default"
printf '%s\n' "# Settings of bouncewarden-milter.service; see bouncewarden-milter(8)." "#PATTERN='.*@example\.com\$'" \
  "#OPTIONS=--workers=8 --timeout=300" >"$Scratch/layout$OldSettings"
sed -i "s|^$Settings\$|$OldSettings|" "$Scratch/layout/DEBIAN/conffiles"
sed -i "\|${Settings#/}\$|d" "$Scratch/layout/DEBIAN/md5sums"
sed -i 's/^Version: .*/Version: 0.1.0~default/' "$Scratch/layout/DEBIAN/control"
dpkg-deb -b "$Scratch/layout" "$LayoutDeb" >/dev/null
apt_get install "${Debs[0]}" "$LayoutDeb"
cat >>$OldSettings <<'EOT'
PATTERN='.*@(example\.com|example\.net)$'
LISTEN=unix:/var/spool/postfix/bouncewarden/milter.sock
ACTION=tag
OPTIONS=--ledger-only --retention=20 --record-from=auth,local
EOT
systemctl enable $Unit >/dev/null 2>&1
apt_get install "${Debs[@]}"
Converted=$(grep -v '^#' $Settings | grep .)
check "upgraded from the /etc/default layout: the settings converted into $Settings once" [ "$Converted" = "pattern = .*@(example\.com|example\.net)\$
listen = unix:/var/spool/postfix/bouncewarden/milter.sock
action = tag
ledger-only = yes
retention = 20
record-from = auth,local" ]
[ -n "$Converted" ] || cat $Settings
check "the old file kept as a backup, nothing else of it" eval '[ -f $OldSettings.dpkg-bak ] && [ ! -e $OldSettings ] &&
  [ ! -e $Settings.from-default ]'
check "the unit stays enabled" eval 'ls /etc/systemd/system/*/$Unit >/dev/null 2>&1'
Checked=$(bouncewarden-milter --config=$Settings --check-config 2>&1)
check "and the milter reads them: $(tr '\n' ' ' <<<"$Checked")" grep -q '^ledger-only = yes$' <<<"$Checked"
apt_get install --reinstall "${Debs[@]}"
check "installed again, the settings are not converted twice" [ "$(grep -v '^#' $Settings | grep .)" = "$Converted" ]
apt_get purge "${Packages[@]}"
Left=$(find /etc /var/lib /run -name '*bouncewarden*' 2>/dev/null)
check "purged after the upgrade: nothing named bouncewarden in /etc, /var/lib or /run" [ -z "$Left" ]
[ -z "$Left" ] || printf '  %s\n' $Left

echo "package test: $((SECONDS - Started)) s"
finish
