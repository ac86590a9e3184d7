#!/bin/sh
# The Debian package of a build (what `make package` makes): built by cpack into a temporary
# folder and unpacked; it must hold the program, the manual page, the desktop entry, the icons,
# the metainfo and the user unit, and they must pass their validators.
# Usage: package_test.sh BUILD_DIR
set -eu
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack -G DEB -B "$tmp" --config "$1/CPackConfig.cmake" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log"; fail "cpack"; }
deb=$(ls "$tmp"/talkcircle_*.deb)
dpkg-deb -x "$deb" "$tmp/root"
cd "$tmp/root"
for file in usr/bin/talkcircle usr/share/man/man1/talkcircle.1.gz \
    usr/share/applications/talkcircle.desktop usr/share/icons/hicolor/scalable/apps/talkcircle.svg \
    usr/share/icons/hicolor/256x256/apps/talkcircle.png \
    usr/share/metainfo/org.talkcircle.Talkcircle.metainfo.xml \
    usr/lib/systemd/user/talkcircle-server.service usr/share/doc/talkcircle/copyright; do
    [ -s "$file" ] || fail "no $file in the package"
done
dpkg-deb -f "$deb" Depends | grep -q libportaudio2 || fail "no shared library dependencies"
[ "$(usr/bin/talkcircle --version)" = "TALKCIRCLE CONSOLE  Version 1.1" ] || fail "program"

desktop-file-validate usr/share/applications/talkcircle.desktop || fail "desktop entry"
appstreamcli validate --no-net --strict usr/share/metainfo/org.talkcircle.Talkcircle.metainfo.xml ||
    fail "metainfo"
warnings=$(MANWIDTH=80 man --warnings -l usr/share/man/man1/talkcircle.1.gz 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "manual page: $warnings"
unit=usr/lib/systemd/user/talkcircle-server.service
for line in 'ExecStart=/usr/bin/talkcircle --headless --audio=null $TALKCIRCLE_ARGS' \
    'EnvironmentFile=-%h/.config/talkcircle/server.env' 'Restart=on-failure'; do
    grep -qxF "$line" "$unit" || fail "$unit has no $line"
done
echo "package ok: $(basename "$deb")"
