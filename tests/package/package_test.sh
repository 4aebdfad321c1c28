#!/usr/bin/env bash
# `make package`'s Debian package: made by CPack from this build, named and versioned by the
# project's version constant, laid out as Debian does (lintian finds no error), its launcher
# laying out a user's base folder at the first start, and taken by `QuarloCentral site
# publish`, whose update file names it with its MD5, size and signature.
set -euo pipefail
BUILD=$1 CPACK=$2 VERSION=$3 PUBLIC_KEY=$4
OUT=$(mktemp -d /tmp/quarlo-package-XXXXXX)
trap 'rm -rf "$OUT"' EXIT
cd "$BUILD"
"$CPACK" -G DEB -B "$OUT" >"$OUT/cpack.log" 2>&1 || { cat "$OUT/cpack.log"; exit 1; }
DEB="$OUT/quarlo_${VERSION}_amd64.deb"
[ -f "$DEB" ] || { echo "no $DEB:"; ls "$OUT"; exit 1; }
# Signed beside the package with the key whose public half the programs carry.
openssl dgst -sha256 -verify "$PUBLIC_KEY" -signature "$DEB.sig" "$DEB" >/dev/null ||
  { echo "$DEB.sig does not hold under $PUBLIC_KEY"; cat "$OUT/cpack.log"; exit 1; }
LIST=$(dpkg-deb -c "$DEB")
for f in usr/bin/quarlo usr/bin/QuarloCentral \
         usr/lib/quarlo/bin/QuarloClient usr/lib/quarlo/bin/Quarlo usr/lib/quarlo/bin/Quarlo_Cmd \
         usr/lib/quarlo/bin/qv_hostednetwork usr/lib/quarlo/bin/quarlo_dbinit \
         usr/lib/quarlo/bin/quarlo_update_install \
         usr/lib/quarlo/bin/English.qvl usr/lib/quarlo/bin/ChineseSimplified.qvl \
         usr/lib/quarlo/bin/ChineseTrad.qvl usr/lib/quarlo/bin/roaming/qv_config_3.4.0.cfg \
         usr/lib/quarlo/system/sc usr/lib/quarlo/system/net usr/lib/quarlo/system/taskkill \
         usr/lib/quarlo/system/reg usr/share/applications/Quarlo.desktop \
         usr/share/icons/hicolor/48x48/apps/Quarlo.png usr/share/icons/hicolor/scalable/apps/Quarlo.svg \
         usr/share/man/man1/quarlo.1.gz usr/share/man/man1/QuarloCentral.1.gz \
         usr/share/doc/quarlo/copyright usr/share/doc/quarlo/changelog.gz; do
  grep -q " ./$f\$" <<<"$LIST" || { echo "the package lacks /$f:"; echo "$LIST"; exit 1; }
done
if grep -q " ./opt/\| ./usr/local/" <<<"$LIST"; then echo "files outside /usr:"; echo "$LIST"; exit 1; fi
if command -v lintian >/dev/null; then
  lintian --fail-on error --tag-display-limit 0 "$DEB" >"$OUT/lintian.log" 2>&1 ||
    { echo "lintian:"; cat "$OUT/lintian.log"; exit 1; }
else
  echo "lintian is not installed (make deps): the package's Debian checks were skipped"
fi

# The desktop entry starts the launcher from the PATH, its icon from the theme.
ROOT="$OUT/root"
dpkg-deb -x "$DEB" "$ROOT"
grep -qx "Exec=quarlo" "$ROOT/usr/share/applications/Quarlo.desktop" || { cat "$ROOT/usr/share/applications/Quarlo.desktop"; exit 1; }
grep -qx "Icon=Quarlo" "$ROOT/usr/share/applications/Quarlo.desktop" || { cat "$ROOT/usr/share/applications/Quarlo.desktop"; exit 1; }
# A user's first start: the launcher lays out the base folder with copies of the programs and a
# settings database before it starts the desktop program (which, without a display, ends).
USERDATA="$OUT/home/.local/share"
"$ROOT/usr/bin/quarlo" --help | grep -q "usage: quarlo" || { echo "quarlo --help"; exit 1; }
env -u DISPLAY -u WAYLAND_DISPLAY HOME="$OUT/home" XDG_DATA_HOME="$USERDATA" XDG_CONFIG_HOME="$OUT/home/.config" \
  "$ROOT/usr/bin/quarlo" >"$OUT/first.log" 2>&1 || true
B="$USERDATA/quarlo"
for f in bin/QuarloClient bin/Quarlo bin/roaming/qv_config_3.4.0.cfg bin/English.qvl system/sc system/net etc/Quarlo.db; do
  [ -f "$B/$f" ] || { echo "the first start made no $B/$f:"; cat "$OUT/first.log"; exit 1; }
done
[ "$(sqlite3 "$B/etc/Quarlo.db" "select localport from qv_conf")" = 15002 ] || { echo "no settings in $B/etc/Quarlo.db"; exit 1; }
[ "$(stat -c %a "$B/etc/Quarlo.db")" = 600 ] || { echo "$B/etc/Quarlo.db is not 0600"; exit 1; }
cmp "$ROOT/usr/lib/quarlo/bin/QuarloClient" "$B/bin/QuarloClient"

[ "$(dpkg-deb -f "$DEB" Version)" = "$VERSION" ] || { echo "version $(dpkg-deb -f "$DEB" Version), not $VERSION"; exit 1; }
dpkg-deb -f "$DEB" Depends | grep -q libevent-openssl || { echo "no Depends on the libraries"; exit 1; }

"$BUILD/tools/centralserver/QuarloCentral" --data "$OUT/central" site publish "$DEB" \
  https://updates.example.org >"$OUT/publish.log" 2>&1 || { cat "$OUT/publish.log"; exit 1; }
INI="$OUT/central/site/update.ini"
expect() { grep -qx "$1" "$INI" || { echo "update.ini lacks $1:"; cat "$INI"; exit 1; }; }
expect "version=$VERSION"
expect "down=https://updates.example.org/quarlo/download/quarlo_${VERSION}_amd64.deb"
expect "md5=$(md5sum <"$DEB" | cut -c1-32)"
expect "size=$(stat -c %s "$DEB")"
expect "sig=https://updates.example.org/quarlo/download/quarlo_${VERSION}_amd64.deb.sig"
cmp "$DEB" "$OUT/central/site/download/quarlo_${VERSION}_amd64.deb"
cmp "$DEB.sig" "$OUT/central/site/download/quarlo_${VERSION}_amd64.deb.sig"
echo "package $DEB: laid out as Debian does, lintian clean, first start lays out the base, version $VERSION, published"
