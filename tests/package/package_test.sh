#!/usr/bin/env bash
# `make package`'s Debian package: made by CPack from this build, named and versioned by the
# project's version constant, laid out as Debian does (lintian finds no error), installed by
# dpkg into a scratch root, used there by a user (whose launcher lays out the base folder at the
# first start) and purged, and taken by `QuarloCentral site publish`, whose update file names
# it with its MD5, size and signature. Runs in a network namespace of its own (the service binds its ports).
set -euo pipefail
# Checks read a command's whole output before grep -q looks at it: under pipefail, grep
# leaving at its first match kills a writer still writing (SIGPIPE) and fails the check.
BUILD=$1 CPACK=$2 VERSION=$3 PUBLIC_KEY=$4
OUT=$(mktemp -d /tmp/quarlo-package-XXXXXX)
end_desktop() {
  for pid in /proc/[0-9]*; do
    if [ "$(readlink "$pid/exe" 2>/dev/null)" = "${LIB:-/nonexistent}/bin/Quarlo" ]; then
      kill "${pid#/proc/}" 2>/dev/null || true
    fi
  done
}
# A failed check leaves no desktop program or service of the scratch user running.
cleanup() {
  if [ -n "${XVFB_RUN:-}" ]; then
    end_desktop
    wait "$XVFB_RUN" 2>/dev/null || true
  fi
  if [ -n "${U:-}" ] && [ -x "${LIB:-/nonexistent}/system/net" ]; then
    as_user "$LIB/system/net" stop Quarlo >/dev/null 2>&1 || true
  fi
  rm -rf "$OUT"
}
trap cleanup EXIT
cd "$BUILD"
"$CPACK" -G DEB -B "$OUT" >"$OUT/cpack.log" 2>&1 || { cat "$OUT/cpack.log"; exit 1; }
DEB="$OUT/quarlo_${VERSION}_amd64.deb"
[ -f "$DEB" ] || { echo "no $DEB:"; ls "$OUT"; exit 1; }
# Signed beside the package with the key whose public half the programs carry.
openssl dgst -sha256 -verify "$PUBLIC_KEY" -signature "$DEB.sig" "$DEB" >/dev/null ||
  { echo "$DEB.sig does not hold under $PUBLIC_KEY"; cat "$OUT/cpack.log"; exit 1; }
LIST=$(dpkg-deb -c "$DEB")
for f in usr/bin/quarlo usr/bin/QuarloCentral \
         usr/lib/quarlo/bin/QuarloClient usr/lib/quarlo/bin/Quarlo usr/lib/quarlo/bin/Quarlo_Cmd \
         usr/lib/quarlo/bin/qv_hostednetwork usr/lib/quarlo/bin/quarlo_dbinit \
         usr/lib/quarlo/bin/quarlo_update_install \
         usr/lib/quarlo/bin/English.qvl usr/lib/quarlo/bin/ChineseSimplified.qvl \
         usr/lib/quarlo/bin/ChineseTrad.qvl usr/lib/quarlo/bin/roaming/qv_config_3.4.0.cfg \
         usr/lib/quarlo/system/sc usr/lib/quarlo/system/net usr/lib/quarlo/system/taskkill \
         usr/lib/quarlo/system/reg usr/lib/quarlo/per-user-base usr/share/applications/Quarlo.desktop \
         usr/share/icons/hicolor/48x48/apps/Quarlo.png usr/share/icons/hicolor/scalable/apps/Quarlo.svg \
         usr/share/man/man1/quarlo.1.gz usr/share/man/man1/QuarloCentral.1.gz \
         usr/share/doc/quarlo/copyright usr/share/doc/quarlo/changelog.gz; do
  grep -q " ./$f\$" <<<"$LIST" || { echo "the package lacks /$f:"; echo "$LIST"; exit 1; }
done
if grep -q " ./opt/\| ./usr/local/" <<<"$LIST"; then echo "files outside /usr:"; echo "$LIST"; exit 1; fi
if command -v lintian >/dev/null; then
  lintian --fail-on error --tag-display-limit 0 "$DEB" >"$OUT/lintian.log" 2>&1 ||
    { echo "lintian:"; cat "$OUT/lintian.log"; exit 1; }
else
  echo "lintian is not installed (make deps): the package's Debian checks were skipped"
fi

# The package installed into a scratch root by dpkg itself, used by a user there and purged:
# nothing of it may stay outside that user's own data.
ROOT="$OUT/root"
mkdir -p "$ROOT/var/lib/dpkg/info" "$ROOT/var/lib/dpkg/updates" "$ROOT/var/lib/dpkg/triggers"
: >"$ROOT/var/lib/dpkg/status"
: >"$ROOT/var/lib/dpkg/available"
# The scratch root holds no libraries (the programs run on this machine's) and no shell for
# maintainer scripts (the package has none).
DPKG=(dpkg --root="$ROOT" --force-depends --force-script-chrootless --log=/dev/null)
[ "$(id -u)" = 0 ] || DPKG+=(--force-not-root)
"${DPKG[@]}" -i "$DEB" >"$OUT/install.log" 2>&1 || { echo "dpkg -i:"; cat "$OUT/install.log"; exit 1; }
grep -qx "install ok installed" <<<"$(dpkg-query --root="$ROOT" -W -f '${Status}\n' quarlo)" ||
  { echo "dpkg does not list quarlo as installed"; exit 1; }
LIB="$ROOT/usr/lib/quarlo"

# The desktop entry starts the launcher from the PATH, its icon from the theme.
grep -qx "Exec=quarlo" "$ROOT/usr/share/applications/Quarlo.desktop" || { cat "$ROOT/usr/share/applications/Quarlo.desktop"; exit 1; }
grep -qx "Icon=Quarlo" "$ROOT/usr/share/applications/Quarlo.desktop" || { cat "$ROOT/usr/share/applications/Quarlo.desktop"; exit 1; }
HELP=$("$ROOT/usr/bin/quarlo" --help) && grep -q "usage: quarlo" <<<"$HELP" || { echo "quarlo --help"; exit 1; }

# A user of the scratch root starts the menu entry's command on a display of its own: the
# launcher lays out the base folder, the desktop program installs and starts the service.
U="$ROOT/home/user"
B="$U/.local/share/quarlo"
mkdir -p "$U"
as_user() {
  env -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u QUARLO_SYSTEM_DIR -u QUARLO_SCM_SERVICE HOME="$U" "$@"
}
# A base folder of an earlier version, with its own copy of the service registered: the
# launcher retires it for the shared programs.
mkdir -p "$B/bin" "$B/etc"
cp "$LIB/bin/QuarloClient" "$B/bin/QuarloClient"
echo "pc-identity" >"$B/bin/.uuid"
as_user "$B/bin/QuarloClient" -i Quarlo >"$OUT/old.log" 2>&1 || { echo "the old copy would not install:"; cat "$OUT/old.log"; exit 1; }
as_user env -u WAYLAND_DISPLAY xvfb-run -a -s "-screen 0 1280x800x24" "$ROOT/usr/bin/quarlo" >"$OUT/first.log" 2>&1 &
XVFB_RUN=$!
running() { grep -q "4  RUNNING" <<<"$(as_user "$LIB/system/sc" query Quarlo 2>/dev/null)"; }
DEADLINE=$((SECONDS + 120))
until running || [ "$SECONDS" -ge "$DEADLINE" ] || ! kill -0 "$XVFB_RUN" 2>/dev/null; do sleep 0.1; done
running || {
  echo "the desktop program started no service:"; cat "$OUT/first.log"; as_user "$LIB/system/sc" qc Quarlo || true
  # What the session's programs were doing then, and what the base folder logged, for the next look.
  ps -e -o pid,ppid,stat,etime,wchan:24,args | grep -E "quarlo|Quarlo|Xvfb|xvfb|sc |net " | grep -v grep || true
  for f in "$B"/log/*.txt "$LIB"/system/scm/*/stdout.log; do [ -f "$f" ] && { echo "== $f"; tail -n 40 "$f"; }; done
  exit 1
}
QC=$(as_user "$LIB/system/sc" qc Quarlo 2>&1 || true)
grep -qF "BINARY_PATH_NAME   : \"$LIB/bin/QuarloClient\" \"-r\" \"Quarlo\"" <<<"$QC" ||
  { echo "the service is not the shared program: $QC"; exit 1; }
[ -f "$B/etc/Quarlo.db" ] || { echo "the first start made no $B/etc/Quarlo.db:"; cat "$OUT/first.log"; exit 1; }
for d in log system; do [ -d "$B/$d" ] || { echo "the first start made no $B/$d"; exit 1; }; done
if find "$B" -type f -perm -u+x | grep .; then echo "programs in the user's base folder"; exit 1; fi
[ "$(cat "$B/bin/.uuid")" = pc-identity ] || { echo "the device identity was lost"; exit 1; }
# The running service may hold the write lock for a moment: wait for it as its own readers do.
[ "$(sqlite3 -cmd ".timeout 10000" "$B/etc/Quarlo.db" "select localport from qv_conf")" = 15002 ] || { echo "no settings in $B/etc/Quarlo.db"; exit 1; }
[ "$(stat -c %a "$B/etc/Quarlo.db")" = 600 ] || { echo "$B/etc/Quarlo.db is not 0600"; exit 1; }
grep -q "starting: base folder $B, command port" "$B/log/Log.txt" || { echo "the service's log:"; cat "$B/log/Log.txt"; exit 1; }
# The user quits: the desktop program ends, and with it its display; the service is stopped.
end_desktop
wait "$XVFB_RUN" 2>/dev/null || true
XVFB_RUN=""
# The start with the computer, as the desktop program's setting stores it.
as_user "$LIB/system/reg" add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v Quarlo \
  /d "\"$LIB/bin/Quarlo\"" /f >>"$OUT/svc.log" 2>&1 || { echo "reg add:"; cat "$OUT/svc.log"; exit 1; }
AUTO="$U/.config/autostart"
for entry in "quarlo-service-Quarlo.desktop:$LIB/system/net" "Quarlo.desktop:$LIB/bin/Quarlo"; do
  grep -qx "TryExec=${entry#*:}" "$AUTO/${entry%%:*}" || { echo "${entry%%:*}:"; cat "$AUTO/${entry%%:*}"; exit 1; }
done
as_user "$LIB/system/net" stop Quarlo >>"$OUT/svc.log" 2>&1 || { echo "net stop:"; cat "$OUT/svc.log"; exit 1; }
grep -q "1  STOPPED" <<<"$(as_user "$LIB/system/sc" query Quarlo)" || { echo "the service still runs"; exit 1; }

"${DPKG[@]}" --purge quarlo >"$OUT/purge.log" 2>&1 || { echo "dpkg --purge:"; cat "$OUT/purge.log"; exit 1; }
LEFT=$(cd "$ROOT" && find . -mindepth 1 ! -path ./var ! -path './var/lib' ! -path './var/lib/dpkg*' \
  ! -path ./home ! -path ./home/user ! -path './home/user/*' | sort)
[ -z "$LEFT" ] || { echo "left after the purge:"; echo "$LEFT"; exit 1; }
if grep -q '^quarlo\.' <<<"$(ls "$ROOT/var/lib/dpkg/info")"; then echo "dpkg still keeps quarlo's files"; exit 1; fi
for pid in /proc/[0-9]*; do
  case "$(readlink "$pid/exe" 2>/dev/null)" in "$ROOT"/*) echo "still running: $(cat "$pid/cmdline" | tr '\0' ' ')"; exit 1 ;; esac
done
# What stays is the user's own data; the log-in entries name programs that are gone, so a
# session skips them.
for entry in "$AUTO"/*.desktop; do
  exe=$(sed -n 's/^TryExec=//p' "$entry")
  [ -n "$exe" ] && [ ! -e "$exe" ] || { echo "$entry would still run:"; cat "$entry"; exit 1; }
done
echo "after the purge the user keeps:"
(cd "$U" && find . -type f | sort)

[ "$(dpkg-deb -f "$DEB" Version)" = "$VERSION" ] || { echo "version $(dpkg-deb -f "$DEB" Version), not $VERSION"; exit 1; }
grep -q libevent-openssl <<<"$(dpkg-deb -f "$DEB" Depends)" || { echo "no Depends on the libraries"; exit 1; }

"$BUILD/central/QuarloCentral" --data "$OUT/central" site publish "$DEB" \
  https://updates.example.org >"$OUT/publish.log" 2>&1 || { cat "$OUT/publish.log"; exit 1; }
INI="$OUT/central/site/update.ini"
expect() { grep -qx "$1" "$INI" || { echo "update.ini lacks $1:"; cat "$INI"; exit 1; }; }
expect "version=$VERSION"
expect "down=https://updates.example.org/quarlo/download/quarlo_${VERSION}_amd64.deb"
expect "md5=$(md5sum <"$DEB" | cut -c1-32)"
expect "size=$(stat -c %s "$DEB")"
expect "sig=https://updates.example.org/quarlo/download/quarlo_${VERSION}_amd64.deb.sig"
cmp "$DEB" "$OUT/central/site/download/quarlo_${VERSION}_amd64.deb"
cmp "$DEB.sig" "$OUT/central/site/download/quarlo_${VERSION}_amd64.deb.sig"
echo "package $DEB: laid out as Debian does, lintian clean, installed, used and purged leaving only the user's data, version $VERSION, published with its signature"
