#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need. Idempotent.
set -euo pipefail
PKGS=(
  build-essential cmake ninja-build pkg-config
  libsqlite3-dev libevent-dev libudt-dev
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev
  iproute2 curl socat procps util-linux
  libwxgtk3.2-dev libwxgtk-webview3.2-dev libglib2.0-dev
  xvfb xauth xdotool imagemagick fonts-dejavu-core fonts-noto-cjk librsvg2-bin
  python3-pyatspi at-spi2-core dbus libglib2.0-bin
  lighttpd nginx-light apache2-utils
  paps ghostscript
  libjpeg62-turbo-dev imagemagick libimage-exiftool-perl libjpeg-turbo-progs
  libvips-tools exiv2
  libminiupnpc-dev libcrypt-dev miniupnpd miniupnpc nftables openssl sqlite3
  libcurl4-openssl-dev libjsoncpp-dev
  libssl-dev dpkg-dev
  e2fsprogs lintian
  libdbusmenu-glib-dev libnotify-dev
  xfwm4 xfce4-panel xfce4-notifyd x11-utils
  dbus dbus-x11 python3-dbus python3-gi at-spi2-core python3-pyatspi
)
# One query for all of them: a package that is not installed prints no "ok installed" line.
missing=()
# dpkg-query exits non-zero when any package is unknown to it: that is the case to handle, not fail on.
installed=$( { dpkg-query -W -f='${Package} ${Status}\n' "${PKGS[@]}" 2>/dev/null || true; } \
  | awk '$NF == "installed" && $(NF-1) == "ok" {print $1}')
for p in "${PKGS[@]}"; do
  grep -qx "$p" <<<"$installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
