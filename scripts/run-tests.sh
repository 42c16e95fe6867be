#!/usr/bin/env bash
# Sets up, builds and runs every test: each fuzz target of the codec for a
# bounded time (MMS_FUZZ_SECONDS, default 60), then the ctest suite against
# SQLite and a throwaway PostgreSQL server on loopback (the mail tests start
# their own SMTP servers on loopback), then the Debian package on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh -DMMS_BUILD_TESTS=ON -DMMS_BUILD_BENCH=ON

status=0
bash scripts/run-fuzz.sh "${MMS_FUZZ_SECONDS:-60}" || status=1

trap 'bash scripts/pg-test-server.sh stop' EXIT
pgenv="$(bash scripts/pg-test-server.sh start)"
while IFS= read -r line; do export "$line"; done <<<"$pgenv"
export MMS_REQUIRE_PG=1

(cd build && ctest --output-on-failure --timeout 600 -j2) || status=1
# The Debian package installed, run as the service and removed (as root).
bash scripts/package-check.sh || status=1
if [ "$status" -ne 0 ]; then
    echo "run-tests: FAILED" >&2
fi
exit $status
