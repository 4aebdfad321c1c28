#!/bin/sh
# Runs a command on a session bus of its own whose accessibility bus is up and answering.
# The accessibility bus's socket lives in $XDG_RUNTIME_DIR (else ~/.cache), so each run gets a
# runtime folder of its own: runs at the same time would otherwise share and break one socket.
set -eu
RUNTIME=$(mktemp -d)
trap 'rm -rf "$RUNTIME"' EXIT
chmod 0700 "$RUNTIME"
export XDG_RUNTIME_DIR="$RUNTIME"
dbus-run-session -- sh -c '
  # Starting the accessibility bus and its registry before the program makes the program
  # register at once; 200 tries 0.1 s apart.
  address=""
  for _ in $(seq 1 200); do
    reply=$(gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus \
              --method org.a11y.Bus.GetAddress 2>/dev/null) && {
      address=$(printf "%s" "$reply" | sed "s/^(.\(.*\).,)\$/\1/")
      gdbus call --address "$address" --dest org.a11y.atspi.Registry \
        --object-path /org/a11y/atspi/accessible/root \
        --method org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1 && break
    }
    sleep 0.1
  done
  exec "$@"' sh "$@"
