#!/usr/bin/env bash
# The Debian package of this build (through scripts/package.sh, lintian included) and an install
# under another prefix: the files they hold, the programs run from the extracted tree, the user
# unit pointing at the installed engine, and manual pages that cover every command of the help.
# Usage: package_test.sh BUILD_DIR VERSION
set -uo pipefail
build=$1 version=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

deb=$("$here/../../scripts/package.sh" "$build" | tail -n 1) || fail "scripts/package.sh failed (lintian above)"
[ -f "$deb" ] || { echo "FAIL: no package" >&2; exit 1; }
[ "$(basename "$deb")" = "vantrell_${version}_$(dpkg --print-architecture).deb" ] || fail "package name: $deb"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version field: $(dpkg-deb -f "$deb" Version)"
head -n 1 "$here/../../contrib/debian/changelog" | grep -q "^vantrell ($version)" ||
  fail "contrib/debian/changelog has no entry for $version"
# Computed from the binaries: the audio libraries must be there, not only libc.
expect_words "Depends" "libc6 libstdc++6 libpulse0 libzita-resampler1 librtaudio6 libasound2" "$(dpkg-deb -f "$deb" Depends)"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no Maintainer field"

files="./usr/bin/vantrell ./usr/bin/vantrellctl ./usr/lib/systemd/user/vantrell.service
  ./usr/share/man/man1/vantrell.1.gz ./usr/share/man/man1/vantrellctl.1.gz
  ./usr/share/bash-completion/completions/vantrellctl ./usr/share/doc/vantrell/copyright
  ./usr/share/doc/vantrell/changelog.gz ./usr/share/doc/vantrell/README.md.gz
  ./usr/share/doc/vantrell/docs/console.md.gz ./usr/share/doc/vantrell/docs/vantrellctl.md.gz"
listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for file in $files; do grep -qx -- "$file" <<<"$listing" || fail "package lacks $file"; done

tree=$tmp/tree
dpkg-deb -x "$deb" "$tree"
for program in vantrell vantrellctl; do
  [ "$("$tree/usr/bin/$program" --version)" = "$program $version" ] || fail "$program --version"
  "$tree/usr/bin/$program" --help >/dev/null || fail "$program --help exits $?"
done
grep -qx 'ExecStart=/usr/bin/vantrell' "$tree/usr/lib/systemd/user/vantrell.service" || fail "packaged ExecStart"
# Snapshots land in a state folder of the service's own, made on start, not in the home folder.
grep -qx 'StateDirectory=vantrell' "$tree/usr/lib/systemd/user/vantrell.service" || fail "no StateDirectory"
grep -qx 'WorkingDirectory=%S/vantrell' "$tree/usr/lib/systemd/user/vantrell.service" || fail "working directory"

# Each man page holds every command its program's help lists (roff writes '-' as '\-').
man_text() { gzip -dc "$tree/usr/share/man/man1/$1.1.gz" | sed 's/\\-/-/g'; }
expect_words "vantrellctl(1)" "$(ctl_commands "$tree/usr/bin/vantrellctl")" "$(man_text vantrellctl)"
expect_words "vantrell(1)" "$(console_commands "$tree/usr/bin/vantrell")" "$(man_text vantrell)"
[ "$(ctl_commands "$tree/usr/bin/vantrellctl" | wc -l)" -ge 10 ] || fail "vantrellctl --help lists too few commands"
[ "$(console_commands "$tree/usr/bin/vantrell" | wc -w)" -ge 20 ] || fail "vantrell --help lists too few commands"

# Installed elsewhere, the unit follows the prefix and DESTDIR stays out of it.
DESTDIR=$tmp/destdir cmake --install "$build" --prefix /opt/vantrell >/dev/null || fail "cmake --install"
grep -qx 'ExecStart=/opt/vantrell/bin/vantrell' "$tmp/destdir/opt/vantrell/lib/systemd/user/vantrell.service" ||
  fail "ExecStart under another prefix"

[ $failures -eq 0 ]
