#!/bin/sh
# quarlo: starts the desktop program Quarlo for this user. The service finds its base folder
# (settings database, log, service manager state) from the path of its own program, so each
# user gets a base folder of their own with copies of the programs: made at the first start,
# renewed after an upgrade. The desktop program then installs and starts the user's service.
set -eu
case "${1:-}" in
  --help|-h)
    echo "usage: quarlo [ARGUMENTS OF Quarlo]"
    echo "  Lays out your base folder \${XDG_DATA_HOME:-~/.local/share}/quarlo (programs, settings"
    echo "  database, log) when it is missing or older than the installed programs, then starts"
    echo "  the desktop program Quarlo from it, which starts your Quarlo service."
    exit 0 ;;
esac
LIB=$(dirname "$(readlink -f "$0")")/../lib/quarlo
BASE=${XDG_DATA_HOME:-$HOME/.local/share}/quarlo
mkdir -p "$BASE/bin/roaming" "$BASE/etc" "$BASE/log" "$BASE/system"
# A file is replaced by rename, so a running service keeps its program until it restarts.
renew() {
  if ! cmp -s "$1" "$2"; then
    cp -p "$1" "$2.new"
    mv -f "$2.new" "$2"
  fi
}
for f in "$LIB"/bin/* "$LIB"/bin/roaming/*; do
  [ -f "$f" ] && renew "$f" "$BASE/bin/${f#"$LIB"/bin/}"
done
for f in "$LIB"/system/*; do
  [ -f "$f" ] && renew "$f" "$BASE/system/${f##*/}"
done
if [ ! -f "$BASE/etc/Quarlo.db" ]; then
  "$BASE/bin/quarlo_dbinit" "$BASE/etc/Quarlo.db" >/dev/null
fi
exec "$BASE/bin/Quarlo" "$@"
