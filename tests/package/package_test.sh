#!/usr/bin/env bash
# `make package`'s Debian package: made by CPack from this build, named and versioned by the
# project's version constant, holding the programs in their base-folder layout under
# /opt/quarlo, and taken by `QuarloCentral site publish`, whose update file names it with its
# MD5 and size.
set -euo pipefail
BUILD=$1 CPACK=$2 VERSION=$3
OUT=$(mktemp -d /tmp/quarlo-package-XXXXXX)
trap 'rm -rf "$OUT"' EXIT
cd "$BUILD"
"$CPACK" -G DEB -B "$OUT" >"$OUT/cpack.log" 2>&1 || { cat "$OUT/cpack.log"; exit 1; }
DEB="$OUT/quarlo_${VERSION}_amd64.deb"
[ -f "$DEB" ] || { echo "no $DEB:"; ls "$OUT"; exit 1; }
LIST=$(dpkg-deb -c "$DEB")
for f in bin/QuarloClient bin/QuarloCentral bin/Quarlo_Cmd bin/qv_hostednetwork \
         bin/English.qvl bin/ChineseSimplified.qvl bin/ChineseTrad.qvl \
         system/sc system/net system/taskkill system/reg; do
  grep -q " ./opt/quarlo/$f\$" <<<"$LIST" || { echo "the package lacks /opt/quarlo/$f:"; echo "$LIST"; exit 1; }
done
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
cmp "$DEB" "$OUT/central/site/download/quarlo_${VERSION}_amd64.deb"
echo "package $DEB: programs listed, version $VERSION, published"
