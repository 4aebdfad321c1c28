#!/usr/bin/env bash
# Fails when a test run left a program of the system running. A run marks itself with
# QUARLO_TEST_RUN=<mark> (.ci/run sets it); every program it starts inherits the mark, so only
# that run's processes are looked at, never those of another run on the same machine.
#   leftovers.sh MARK
set -u
mark="${1:?usage: leftovers.sh MARK}"
programs=" QuarloClient Quarlo QuarloCentral Quarlo_Cmd qv_hostednetwork sc net taskkill reg netsh miniupnpd "

list() {
  local env pid exe name
  for env in /proc/[0-9]*/environ; do
    pid=${env#/proc/}
    pid=${pid%/environ}
    [ "$pid" = "$$" ] && continue
    { tr '\0' '\n' < "$env"; } 2>/dev/null | grep -qxF "QUARLO_TEST_RUN=$mark" || continue
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
    exe=${exe% (deleted)}
    name=${exe##*/}
    case "$programs" in *" $name "*) echo "  pid $pid: $exe";; esac
  done
}

# Programs killed at the very end of the run may take a moment to go.
for _ in $(seq 1 40); do
  left=$(list)
  [ -z "$left" ] && exit 0
  sleep 0.25
done
echo "The test run left programs of the system running:"
echo "$left"
exit 1
