#!/bin/bash
# Runs a command inside a desktop session as a user of XFCE has it: the window manager xfwm4
# (it frames every window), xfce4-panel with its notification area (a StatusNotifierItem host)
# and the notification daemon xfce4-notifyd, on a session bus of its own. Every call of
# org.freedesktop.Notifications.Notify on that bus is recorded in $QUARLO_NOTIFY_LOG.
# Run under an X server (xvfb-run):  wm_session.sh COMMAND [ARGS...]
set -u
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${QUARLO_WM_INNER:-}" ]; then
  root=$(mktemp -d /tmp/quarlo_wm_XXXXXX)
  trap 'rm -rf "$root"' EXIT
  # The desktop's own settings live apart from the program's (the test keeps its own).
  export QUARLO_WM_ROOT=$root QUARLO_WM_INNER=1 QUARLO_WM_USER_CONFIG=${XDG_CONFIG_HOME:-$HOME/.config}
  export XDG_CONFIG_HOME=$root/config NO_AT_BRIDGE=1
  mkdir -p "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml"
  cp "$here/xfce4-panel.xml" "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml/"
  dbus-run-session -- "$0" "$@"
  exit $?
fi

root=$QUARLO_WM_ROOT
export QUARLO_NOTIFY_LOG=$root/notify.log
: > "$QUARLO_NOTIFY_LOG"
pids=()
dbus-monitor --session "type='method_call',interface='org.freedesktop.Notifications',member='Notify'" \
  > "$QUARLO_NOTIFY_LOG" 2>/dev/null &
pids+=($!)
xfwm4 --compositor=off > "$root/xfwm4.log" 2>&1 &
pids+=($!)
xfce4-panel --disable-wm-check > "$root/panel.log" 2>&1 &
pids+=($!)
/usr/lib/x86_64-linux-gnu/xfce4/notifyd/xfce4-notifyd > "$root/notifyd.log" 2>&1 &
pids+=($!)
stop() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; }
trap stop EXIT

names() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.ListNames 2>/dev/null
}
# What has not come up yet, empty once all of it has.
missing() {
  local list
  list=$(names)
  grep -q 'window id' <<<"$(xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null)" || echo -n "the window manager; "
  grep -q org.kde.StatusNotifierWatcher <<<"$list" || echo -n "the panel's tray; "
  grep -q org.freedesktop.Notifications <<<"$list" || echo -n "the notification daemon; "
}
# A deadline, not a count of tries: with every core busy one try alone takes seconds, and the
# session starts while the other desktop tests start theirs.
deadline=$((SECONDS + 180))
while left=$(missing) && [ -n "$left" ] && [ "$SECONDS" -lt "$deadline" ]; do
  sleep 0.1
done
if [ -n "$left" ]; then
  echo "wm_session: not up after $((SECONDS)) s: $left" >&2
  for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null || echo "wm_session: process $p has exited" >&2; done
  cat "$root"/*.log >&2
  exit 1
fi
export XDG_CONFIG_HOME=$QUARLO_WM_USER_CONFIG
"$@"
