#!/bin/sh
# quarlo: starts the desktop program Quarlo for this user. The programs stay in the package's
# folder (/usr/lib/quarlo), shared by every user; the file per-user-base there sends each user's
# settings database, log and service state to a base folder of their own, laid out here at the
# first start. The desktop program then installs and starts the user's service.
set -eu
case "${1:-}" in
  --help|-h)
    echo "usage: quarlo [ARGUMENTS OF Quarlo]"
    echo "  Lays out your base folder \${XDG_DATA_HOME:-~/.local/share}/quarlo (settings database,"
    echo "  log, service state) when it is missing, then starts the desktop program Quarlo, which"
    echo "  starts your Quarlo service."
    exit 0 ;;
esac
LIB=$(readlink -f "$(dirname "$(readlink -f "$0")")/../lib/quarlo")
# The same folder the programs find (a relative XDG_DATA_HOME is ignored, as XDG says).
case "${XDG_DATA_HOME:-}" in
  /*) BASE=$XDG_DATA_HOME/quarlo ;;
  *) BASE=$HOME/.local/share/quarlo ;;
esac
mkdir -p "$BASE/bin" "$BASE/etc" "$BASE/log" "$BASE/system"
# Earlier versions ran copies of the programs from the base folder: their service is stopped
# and unregistered (the desktop program registers the shared one), the copies removed.
if [ -f "$BASE/bin/QuarloClient" ]; then
  "$LIB/system/net" stop Quarlo >/dev/null 2>&1 || true
  "$LIB/system/sc" delete Quarlo >/dev/null 2>&1 || true
  for f in "$LIB"/bin/* "$LIB"/system/*; do
    [ -f "$f" ] && rm -f "$BASE/${f#"$LIB"/}"
  done
  rm -rf "$BASE/bin/roaming"
  if "$LIB/system/reg" query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v Quarlo 2>/dev/null |
      grep -qF "$BASE/bin/Quarlo"; then
    "$LIB/system/reg" add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v Quarlo \
      /d "\"$LIB/bin/Quarlo\"" /f >/dev/null
  fi
fi
if [ ! -f "$BASE/etc/Quarlo.db" ]; then
  "$LIB/bin/quarlo_dbinit" "$BASE/etc/Quarlo.db" >/dev/null
fi
exec "$LIB/bin/Quarlo" "$@"
