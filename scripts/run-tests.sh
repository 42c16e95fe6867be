#!/usr/bin/env bash
# Sets up, builds and runs every test: the ctest suite against SQLite and a
# throwaway PostgreSQL server on loopback (mail tests start their own SMTP
# servers), then each fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh -DMMS_BUILD_TESTS=ON -DMMS_BUILD_BENCH=ON

trap 'bash scripts/pg-test-server.sh stop' EXIT
while IFS= read -r line; do export "$line"; done < <(bash scripts/pg-test-server.sh start)
export MMS_REQUIRE_PG=1

status=0
(cd build && ctest --output-on-failure --timeout 600 -j2) || status=$?

if [ -x scripts/run-fuzz.sh ] || [ -f scripts/run-fuzz.sh ]; then
    bash scripts/run-fuzz.sh "${MMS_FUZZ_SECONDS:-60}" || status=1
fi
exit $status
