#!/bin/bash
# Stand-in for NetworkManager's nmcli, put first in PATH by the tests. It records every argv
# (each argument followed by \x1f, one call a line) in $FAKE_NM_DIR/calls and keeps a small
# NetworkManager state in $FAKE_NM_DIR: profiles ("name:uuid" lines) and active (uuids).
#   FAKE_NM_RUNNING=no     NetworkManager is not running
#   FAKE_NM_DEVICES=...    the "device status" lines (default: one Wi-Fi, one Ethernet)
#   FAKE_NM_AP=no          the Wi-Fi devices cannot be access points
#   FAKE_NM_UP_FAIL=1      activation fails
# On activation the passwd-file's content and mode are kept in secret-seen and secret-mode.
set -u
# The tool runs us with PATH holding only our folder.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
dir=${FAKE_NM_DIR:?}
{ for a in "$@"; do printf '%s\x1f' "$a"; done; printf '\n'; } >>"$dir/calls"
touch "$dir/profiles" "$dir/active"

while [ $# -gt 0 ]; do
  case "$1" in
    -t|--terse) shift ;;
    -f|--fields|-w|--wait) shift 2 ;;
    *) break ;;
  esac
done
object=${1:-}; command=${2:-}
shift 2 2>/dev/null || shift $#

case "$object $command" in
  "general "*)
    if [ "${FAKE_NM_RUNNING:-yes}" = no ]; then
      echo "Error: NetworkManager is not running." >&2; exit 8
    fi
    echo running ;;
  "device status")
    printf '%b\n' "${FAKE_NM_DEVICES:-wlan0:wifi:disconnected\neth0:ethernet:connected\nlo:loopback:unmanaged}" ;;
  "device show")
    echo "WIFI-PROPERTIES.AP:${FAKE_NM_AP:-yes}" ;;
  "connection show")
    if [ "${1:-}" = --active ]; then
      while IFS= read -r line; do
        grep -qx "${line##*:}" "$dir/active" && echo "$line"
      done <"$dir/profiles"
    else
      cat "$dir/profiles"
    fi ;;
  "connection add")
    name=""
    while [ $# -gt 0 ]; do
      [ "$1" = con-name ] && name=$2
      shift
    done
    uuid=$(cat /proc/sys/kernel/random/uuid)
    echo "$name:$uuid" >>"$dir/profiles"
    echo "Connection '$name' ($uuid) successfully added." ;;
  "connection up")
    uuid=$2; file=""
    while [ $# -gt 0 ]; do
      [ "$1" = passwd-file ] && file=$2
      shift
    done
    if ! grep -q ":$uuid\$" "$dir/profiles"; then
      echo "Error: unknown connection '$uuid'." >&2; exit 10
    fi
    if [ -n "$file" ]; then
      cat "$file" >"$dir/secret-seen"
      stat -c %a "$file" >"$dir/secret-mode"
    fi
    if [ "${FAKE_NM_UP_FAIL:-0}" = 1 ]; then
      echo "Error: Connection activation failed: IP configuration could not be reserved." >&2
      exit 4
    fi
    echo "$uuid" >>"$dir/active"
    echo "Connection successfully activated (D-Bus active path: /org/freedesktop/NetworkManager/ActiveConnection/7)" ;;
  "connection delete")
    uuid=$2
    if ! grep -q ":$uuid\$" "$dir/profiles"; then
      echo "Error: unknown connection '$uuid'." >&2; exit 10
    fi
    grep -v ":$uuid\$" "$dir/profiles" >"$dir/profiles.new"; mv "$dir/profiles.new" "$dir/profiles"
    grep -vx "$uuid" "$dir/active" >"$dir/active.new"; mv "$dir/active.new" "$dir/active"
    echo "Connection '$uuid' successfully deleted." ;;
  *)
    echo "Error: fake nmcli does not know '$object $command'." >&2; exit 2 ;;
esac
exit 0
