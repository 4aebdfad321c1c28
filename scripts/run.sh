#!/usr/bin/env bash
# Lays out a base folder, starts the central server QuarloCentral on loopback, installs the
# service into the project's own service manager, starts it with `net start`, follows its log,
# and stops both on Ctrl-C. The first run also makes a local account (stored in the service's
# settings as the desktop program would) and shares one folder, so a phone has something to see.
# The base folder is $QUARLO_BASE, by default run-base/ in the repository; a second run reuses
# it and keeps its settings.
set -euo pipefail
# Started with SIGINT or SIGTERM ignored (from a script with "&", some launchers), bash could not
# trap them and Ctrl-C would leave the service running: start over with both at their default.
# SIGHUP stays as it came, so a run under nohup outlives its terminal as asked.
if [ -z "${QUARLO_RUN_SIGNALS:-}" ]; then
  QUARLO_RUN_SIGNALS=1 exec env --default-signal=INT,TERM bash "$0" "$@"
fi
unset QUARLO_RUN_SIGNALS
BUILD_DIR=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR="$ROOT/$BUILD_DIR" ;; esac
BASE=${QUARLO_BASE:-$ROOT/run-base}
NAME=Quarlo

mkdir -p "$BASE/bin" "$BASE/etc" "$BASE/log" "$BASE/system"
# One `make run` per base folder: a second one would half-start and its Ctrl-C would stop the
# first one's service. The lock is held while this script (or what it started) runs.
exec 9>"$BASE/system/run.lock"
if ! flock -n 9; then
  echo "make run is already running with the base folder $BASE (stop it with Ctrl-C there)." >&2
  exit 1
fi
# Copies, not links: the service finds its base folder from its own path.
install -m 0755 "$BUILD_DIR/service/QuarloClient" "$BASE/bin/QuarloClient"
install -m 0755 "$BUILD_DIR/tools/hostednetwork/qv_hostednetwork" "$BASE/bin/qv_hostednetwork"
install -m 0755 "$BUILD_DIR/tools/cmd/Quarlo_Cmd" "$BASE/bin/Quarlo_Cmd"
install -m 0755 "$BUILD_DIR/desktop/app/Quarlo" "$BASE/bin/Quarlo"
install -m 0755 "$BUILD_DIR/platform/tools/quarlo_update_install" "$BASE/bin/quarlo_update_install"
# The language files live beside the programs that read them, the per-user defaults too.
install -m 0644 "$BUILD_DIR"/tools/cmd/*.qvl "$BASE/bin/"
# The help documents the data folder gets, one a language.
install -m 0644 "$BUILD_DIR"/desktop/app/*.pdf "$BASE/bin/"
mkdir -p "$BASE/bin/roaming"
install -m 0644 "$BUILD_DIR"/desktop/app/roaming/* "$BASE/bin/roaming/"
install -m 0755 "$BUILD_DIR/platform/tools/sc" "$BASE/system/sc"
# The application icon in the hicolor layout beside the program (<base>/share is the shared
# folder), and the desktop entry there too; its Icon= is the whole path, as bin/icons is on no
# icon search path.
ICONS="$BASE/bin/icons/hicolor"
for dir in "$BUILD_DIR"/desktop/foundation/icons/*x*; do
  install -D -m 0644 "$dir/Quarlo.png" "$ICONS/$(basename "$dir")/apps/Quarlo.png"
done
install -D -m 0644 "$ROOT/resources/skin/128.svg" "$ICONS/scalable/apps/Quarlo.svg"
sed -e "s|@QUARLO_EXEC@|\"$BASE/bin/Quarlo\"|" -e "s|@QUARLO_ICON@|$ICONS/scalable/apps/Quarlo.svg|" \
  "$ROOT/resources/desktop/Quarlo.desktop.in" > "$BASE/bin/Quarlo.desktop"
install -m 0755 "$BUILD_DIR/platform/tools/net" "$BASE/system/net"
install -m 0755 "$BUILD_DIR/platform/tools/taskkill" "$BASE/system/taskkill"
install -m 0755 "$BUILD_DIR/platform/tools/reg" "$BASE/system/reg"

FIRST_RUN=0
if [ ! -f "$BASE/etc/Quarlo.db" ]; then
  "$BUILD_DIR/tools/dbinit/quarlo_dbinit" "$BASE/etc/Quarlo.db"
  echo "Created the settings database $BASE/etc/Quarlo.db"
  FIRST_RUN=1
else
  echo "Reusing the settings database $BASE/etc/Quarlo.db"
fi

# The central server, on the address and ports the settings database names (loopback).
CENTRAL="$BUILD_DIR/central/QuarloCentral"
CENTRAL_DIR="$BASE/central"
mkdir -p "$CENTRAL_DIR"
chmod 0700 "$CENTRAL_DIR"
install -m 0755 "$CENTRAL" "$BASE/bin/QuarloCentral"
CENTRAL="$BASE/bin/QuarloCentral"
sql_text() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/''/g")"; }
if [ "$FIRST_RUN" = 1 ] || [ -z "$("$CENTRAL" --data "$CENTRAL_DIR" account list)" ]; then
  EMAIL="me@quarlo.lan"  # an address the log-in dialog takes (a top-level name of 2 or 3 letters)
  PASSWORD=$(od -An -N7 -tx1 /dev/urandom | tr -d ' \n')
  "$CENTRAL" --data "$CENTRAL_DIR" account remove "$EMAIL" >/dev/null 2>&1 || true
  printf '%s\n' "$PASSWORD" | "$CENTRAL" --data "$CENTRAL_DIR" account add "$EMAIL" >/dev/null
  # What the desktop program stores after a log-in: the MD5-crypt text, its setting cut off.
  PC_TEXT=$(printf '%s' "$PASSWORD" | openssl passwd -1 -salt bramle -stdin | cut -c11-)
  sqlite3 "$BASE/etc/Quarlo.db" "delete from qv_user; insert into qv_user (email, psw) values ($(sql_text "$EMAIL"), $(sql_text "$PC_TEXT"));"
  SHARE="$BASE/share"
  mkdir -p "$SHARE/Pictures/Instant" "$SHARE/Music" "$SHARE/Videos" "$SHARE/Documents"
  [ -f "$SHARE/hello.txt" ] || echo "Hello from $(hostname). Files you put here, a phone can fetch." > "$SHARE/hello.txt"
  sqlite3 "$BASE/etc/Quarlo.db" "delete from qv_share; insert into qv_share (path) values ($(sql_text "$SHARE"));
    delete from qv_defshare; insert into qv_defshare (def, def_pic, def_music, def_video, def_doc, def_instant)
    values ($(sql_text "$SHARE"), $(sql_text "$SHARE/Pictures"), $(sql_text "$SHARE/Music"),
            $(sql_text "$SHARE/Videos"), $(sql_text "$SHARE/Documents"), $(sql_text "$SHARE/Pictures/Instant"));"
  # The desktop program keeps a remembered account signed in (it signs out one that is not).
  SETTINGS="${XDG_CONFIG_HOME:-$HOME/.config}/Quarlo/qv_config_3.4.0.cfg"
  if [ ! -f "$SETTINGS" ]; then
    mkdir -p "$(dirname "$SETTINGS")"
    printf '[qv_config]\nRemPass=true\n' > "$SETTINGS"
  fi
  echo "Made the account $EMAIL on the local central server; its password is: $PASSWORD"
  echo "(the service is signed in with it; shared folder: $SHARE)"
fi
# Its web site (registration, update page, banner) beside it, plain HTTP on loopback.
SITE_PORT=${QUARLO_SITE_PORT:-15180}
SITE="http://127.0.0.1:$SITE_PORT"
export QUARLO_SITE_ORIGIN="$SITE"  # what the desktop program started from here reaches
"$CENTRAL" --data "$CENTRAL_DIR" --listen 127.0.0.1:15100 --p2p 127.0.0.1:15101 \
  --site "127.0.0.1:$SITE_PORT" &
CENTRAL_PID=$!
SC="$BASE/system/sc"
NET="$BASE/system/net"
QUARLO_PID=""
# From here on a signal stops what this run started (closing the terminal is like Ctrl-C).
stop() {
  trap - INT TERM HUP
  [ -n "${TAIL_PID:-}" ] && kill "$TAIL_PID" 2>/dev/null || true
  if [ -n "$QUARLO_PID" ]; then
    kill "$QUARLO_PID" 2>/dev/null || true
    wait "$QUARLO_PID" 2>/dev/null || true
  fi
  "$NET" stop "$NAME" || true
  kill "$CENTRAL_PID" 2>/dev/null || true
  wait "$CENTRAL_PID" 2>/dev/null || true
  exit 0
}
trap stop INT TERM HUP
for _ in $(seq 1 50); do
  grep -q "listening on" "$CENTRAL_DIR/central.log" 2>/dev/null && break
  kill -0 "$CENTRAL_PID" 2>/dev/null || { echo "QuarloCentral did not start (see $CENTRAL_DIR/central.log)"; exit 1; }
  sleep 0.1
done

if ! "$SC" query "$NAME" >/dev/null 2>&1; then
  "$BASE/bin/QuarloClient" -i "$NAME"
  "$SC" description "$NAME" "Lets your phones reach the folders of this computer." >/dev/null
  echo "Installed the service $NAME"
fi

# The log from here on is this run's: what the follow below shows.
LOG_START=$(( $(stat -c %s "$BASE/log/Log.txt" 2>/dev/null || echo 0) + 1 ))
if "$SC" query "$NAME" | grep -q "RUNNING"; then
  echo "The service $NAME is already running."
else
  if ! "$NET" start "$NAME"; then
    # Nothing of this run stays behind: the next `make run` starts from a clean slate.
    echo "The service did not start: see $BASE/log/Log.txt and $BASE/system/scm/$NAME/stdout.log"
    kill "$CENTRAL_PID" 2>/dev/null || true
    wait "$CENTRAL_PID" 2>/dev/null || true
    exit 1
  fi
fi
"$SC" query "$NAME" | grep STATE || true

cat <<TXT
Base folder : $BASE
  bin/      QuarloClient, QuarloCentral, Quarlo.desktop (the desktop entry), icons/
  central/  the central server's database and log (QuarloCentral --data $CENTRAL_DIR status),
            and site/, the files of its web site (update.ini, notes-en.txt, download/)
  etc/      Quarlo.db (settings)
  log/      Log.txt
  share/    the shared folder of the first run
  system/   the service manager and its sc and net tools
Log         : $BASE/log/Log.txt
Site        : $SITE/  (the desktop program: QUARLO_SITE_ORIGIN=$SITE)
Try it      : $BUILD_DIR/tests/quarlo-phone ls
              $BUILD_DIR/tests/quarlo-phone ls $BASE/share
              $BUILD_DIR/tests/quarlo-phone get $BASE/share/hello.txt /tmp/hello.txt
              $BUILD_DIR/tests/quarlo-phone put /etc/os-release '\$DEFAULT_DOC\$/os-release'
TXT

# The desktop program, where there is a desktop to show it on. It finds the service running,
# signed in with the account above, and shows its state in the tray.
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  "$BASE/bin/Quarlo" >>"$BASE/log/Quarlo.txt" 2>&1 &
  QUARLO_PID=$!
  echo "Desktop     : started $BASE/bin/Quarlo (its icon is in the tray; output in $BASE/log/Quarlo.txt)"
else
  echo "Desktop     : no display here; on a desktop session run QUARLO_SITE_ORIGIN=$SITE $BASE/bin/Quarlo"
fi
echo "Stop with Ctrl-C (ends Quarlo, runs \"$NET stop $NAME\" and stops QuarloCentral)."

tail -c "+$LOG_START" -F "$BASE/log/Log.txt" &
TAIL_PID=$!
wait "$TAIL_PID"
