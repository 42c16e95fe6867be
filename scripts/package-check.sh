#!/usr/bin/env bash
# Builds the Debian package and checks it on this machine, as root: install
# with dpkg -i, the files, the user and the home, the systemd unit (where
# systemd-analyze is present), the installed program run as the service user
# on the installed home for a few seconds with a simulated unit heartbeating
# and answered, an upgrade over itself that leaves the database alone, then
# removal and purge, after which the database must still be there.
# The program is started directly as the service user (setpriv, which execs
# it, so the signal reaches the server itself), not through systemctl, so the
# check also runs where systemd is not PID 1.
set -euo pipefail
export PATH="$PATH:/usr/sbin:/sbin"
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "package-check: skipped (needs root to install the package)"
    exit 0
fi

fail() {
    echo "package-check: FAILED: $*" >&2
    exit 1
}

home=/var/lib/mms-server
db="$home/MonitorData.db"
work="$(mktemp -d)"
server_pid=""
ini_written=0
had_ini=0
cleanup() {
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
    # The home's own Set.ini comes back (or none, when it had none).
    if [ "$ini_written" -eq 1 ]; then
        if [ "$had_ini" -eq 1 ]; then cp -p "$work/Set.ini" "$home/Set.ini"; else rm -f "$home/Set.ini"; fi
ini_written=0
    fi
    rm -rf "$work"
}
trap cleanup EXIT

bash scripts/package.sh >"$work/package.log" 2>&1 || { cat "$work/package.log" >&2; fail "cpack"; }
deb="$(ls build/mms-server_*.deb)"
window_deb="$(ls build/mms-server-window_*.deb)"
echo "package-check: $deb $window_deb"
# The service needs no GUI library; the window package carries them.
if dpkg-deb -f "$deb" Depends | grep -Eq 'libqt6(gui|widgets)'; then
    fail "the service package depends on a GUI library: $(dpkg-deb -f "$deb" Depends)"
fi
dpkg-deb -f "$window_deb" Depends | grep -q 'libqt6widgets' ||
    fail "the window package does not depend on Qt Widgets"
dpkg-deb -f "$window_deb" Depends | grep -q 'mms-server' ||
    fail "the window package does not depend on mms-server"

# A machine that runs the service itself: stop it, the check starts its own.
if [ -d /run/systemd/system ]; then systemctl stop mms-server.service 2>/dev/null || true; fi

dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i"; }

for f in /usr/bin/mms-server /usr/bin/equipment-sim \
    /usr/share/mms-server/db/sqlite/schema.sql /usr/share/mms-server/db/postgresql/schema.sql \
    /usr/share/mms-server/db/sqlserver/schema.sql /usr/share/mms-server/db/data.sql \
    /usr/share/doc/mms-server/README.md /usr/share/doc/mms-server/Set.ini \
    /usr/share/doc/mms-server/haproxy.cfg \
    /usr/lib/systemd/system/mms-server.service; do
    [ -f "$f" ] || fail "$f is not installed"
done
/usr/bin/mms-server --version | grep -q '^mms-server ' || fail "--version"
if ldd /usr/bin/mms-server | grep -Eq 'libQt6(Gui|Widgets)'; then
    fail "/usr/bin/mms-server loads a GUI library"
fi
getent passwd mms-server >/dev/null || fail "no user mms-server"
[ "$(stat -c %U "$home")" = mms-server ] || fail "$home is not owned by mms-server"
[ -f "$db" ] || fail "$db was not created"
[ "$(stat -c %U "$db")" = mms-server ] || fail "$db is not owned by mms-server"

# Everything below /usr, nothing in /usr/local; the unit where systemd looks,
# as a notify service with a watchdog.
if dpkg -c "$deb" | awk '{print $6}' | grep -q '^\./usr/local/'; then
    fail "the package writes below /usr/local"
fi
grep -q '^Type=notify$' /usr/lib/systemd/system/mms-server.service || fail "unit is not Type=notify"
grep -q '^WatchdogSec=' /usr/lib/systemd/system/mms-server.service || fail "unit has no WatchdogSec"
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /usr/lib/systemd/system/mms-server.service ||
        fail "systemd-analyze verify"
    echo "package-check: unit verified"
fi

# Free loopback ports for this run, in a Set.ini that is removed afterwards
# (when the home had none).
ports=($(/usr/bin/python3 -c '
import socket
socks = [socket.socket() for _ in range(3)]
for s in socks: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in socks])'))
if [ -e "$home/Set.ini" ]; then had_ini=1 && cp -p "$home/Set.ini" "$work/Set.ini"; fi
ini_written=1
printf '[Set]\nDeviceConnectPort=%s\nDataBasePort=%s\nClientConnectPort=%s\nWebPort=0\n' "${ports[@]}" \
    >"$home/Set.ini"
chown mms-server:mms-server "$home/Set.ini"

setpriv --reuid=mms-server --regid=mms-server --init-groups --reset-env \
    /usr/bin/mms-server --headless --home "$home" \
    >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 100); do
    grep -q "^mms-server .*equipment 0.0.0.0:${ports[0]}" "$work/server.err" && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
grep -q "^mms-server .*equipment 0.0.0.0:${ports[0]}" "$work/server.err" || {
    cat "$work/server.err" >&2
    fail "the installed server did not start"
}
echo "package-check: $(head -n 1 "$work/server.err")"

/usr/bin/equipment-sim --port "${ports[0]}" --count 1 --heartbeat 1 --stats 1 --duration 4 \
    --quiet >"$work/sim.out" 2>&1 || true
grep -Eq 'heartbeats sent [1-9][0-9]* answered [1-9]' "$work/sim.out" || {
    cat "$work/sim.out" >&2
    fail "no heartbeat was answered"
}
echo "package-check: $(grep 'status:' "$work/sim.out" | tail -n 1)"

kill -TERM "$server_pid"
rc=0
wait "$server_pid" || rc=$?
server_pid=""
[ "$rc" -eq 0 ] || { cat "$work/server.err" >&2; fail "the server exited $rc on SIGTERM"; }
if [ "$had_ini" -eq 1 ]; then cp -p "$work/Set.ini" "$home/Set.ini"; else rm -f "$home/Set.ini"; fi
ini_written=0

# The window package beside it, then removed again.
dpkg -i "$window_deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i window"; }
[ -x /usr/bin/mms-server-window ] || fail "/usr/bin/mms-server-window is not installed"
/usr/bin/mms-server-window --version | grep -q '^mms-server ' || fail "window --version"
dpkg -r mms-server-window >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -r window"; }

# Installed again over itself (the upgrade path): the database stays as it is.
sum="$(sha256sum "$db")"
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i again"; }
[ "$(sha256sum "$db")" = "$sum" ] || fail "reinstalling changed the database"

dpkg -r mms-server >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -r"; }
[ ! -e /usr/bin/mms-server ] || fail "/usr/bin/mms-server is still there after removal"
[ "$(sha256sum "$db")" = "$sum" ] || fail "removal changed the database"
dpkg -P mms-server >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -P"; }
[ "$(sha256sum "$db")" = "$sum" ] || fail "purge removed or changed the database"
echo "package-check: passed (the database $db stays after purge)"
