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
exec build/mms-server --headless --home "$home" "$@"
