#!/usr/bin/env bash
# Sets up, builds, creates the embedded database in data/ when it is missing
# and runs the server headless on it. Extra arguments go to mms-server.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh -DMMS_BUILD_TESTS=OFF -DMMS_BUILD_BENCH=OFF
home="${MMS_HOME:-$PWD/data}"
mkdir -p "$home"
if [ ! -f "$home/MonitorData.db" ]; then
    build/mms-server --init-db --home "$home"
fi
port=$(sed -n 's/^WebPort=\([0-9]*\).*/\1/p' "$home/Set.ini" 2>/dev/null | head -n 1)
port=${port:-5213}
if [ "$port" != 0 ]; then
    echo "Web console: http://127.0.0.1:$port/ (log in with a super user account; add a first one,"
    echo "  with the server stopped, by: build/mms-server --home \"$home\" --add-super-user admin"
    echo "  and the password as the line it reads)"
fi
exec build/mms-server --headless --home "$home" "$@"
