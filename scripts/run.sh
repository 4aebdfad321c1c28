#!/usr/bin/env bash
# Lays out a base folder, installs the service into the project's own service manager, starts
# it with `net start`, follows its log, and stops it with `net stop` on Ctrl-C.
# The base folder is $QUARLO_BASE, by default run-base/ in the repository; a second run reuses
# it and keeps its settings.
set -euo pipefail
BUILD_DIR=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR="$ROOT/$BUILD_DIR" ;; esac
BASE=${QUARLO_BASE:-$ROOT/run-base}
NAME=Quarlo

mkdir -p "$BASE/bin" "$BASE/etc" "$BASE/log" "$BASE/system"
# Copies, not links: the service finds its base folder from its own path.
install -m 0755 "$BUILD_DIR/service/QuarloClient" "$BASE/bin/QuarloClient"
install -m 0755 "$BUILD_DIR/tools/hostednetwork/qv_hostednetwork" "$BASE/bin/qv_hostednetwork"
install -m 0755 "$BUILD_DIR/tools/cmd/Quarlo_Cmd" "$BASE/bin/Quarlo_Cmd"
# The language files live beside the programs that read them.
install -m 0644 "$BUILD_DIR"/tools/cmd/*.qvl "$BASE/bin/"
install -m 0755 "$BUILD_DIR/platform/tools/sc" "$BASE/system/sc"
install -m 0755 "$BUILD_DIR/platform/tools/net" "$BASE/system/net"

if [ ! -f "$BASE/etc/Quarlo.db" ]; then
  "$BUILD_DIR/tools/dbinit/quarlo_dbinit" "$BASE/etc/Quarlo.db"
  echo "Created the settings database $BASE/etc/Quarlo.db"
else
  echo "Reusing the settings database $BASE/etc/Quarlo.db"
fi

SC="$BASE/system/sc"
NET="$BASE/system/net"
if ! "$SC" query "$NAME" >/dev/null 2>&1; then
  "$BASE/bin/QuarloClient" -i "$NAME"
  "$SC" description "$NAME" "Lets your phones reach the folders of this computer." >/dev/null
  echo "Installed the service $NAME"
fi

if "$SC" query "$NAME" | grep -q "RUNNING"; then
  echo "The service $NAME is already running."
else
  "$NET" start "$NAME"
fi
"$SC" query "$NAME" | grep STATE || true

cat <<TXT
Base folder : $BASE
  bin/      QuarloClient
  etc/      Quarlo.db (settings)
  log/      Log.txt
  system/   the service manager and its sc and net tools
Log         : $BASE/log/Log.txt
Stop with Ctrl-C (runs "$NET stop $NAME").
TXT

stop() {
  trap - INT TERM
  [ -n "${TAIL_PID:-}" ] && kill "$TAIL_PID" 2>/dev/null || true
  "$NET" stop "$NAME" || true
  exit 0
}
trap stop INT TERM
tail -n 20 -F "$BASE/log/Log.txt" &
TAIL_PID=$!
wait "$TAIL_PID"
