#!/usr/bin/env bash
# Builds the codec's libFuzzer targets with clang++ in build-fuzz and runs
# each one for SECONDS over a scratch copy of its seed corpus
# (tests/fuzz/corpus/<target>), so the repository stays clean. Exits non-zero
# when a target crashes, times out, runs out of memory or a sanitizer reports.
# Inputs that failed are kept in build-fuzz/artifacts/.
#
# Usage: scripts/run-fuzz.sh [SECONDS]   (default 60)
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
    -DMMS_BUILD_FUZZ=ON -DMMS_BUILD_TESTS=OFF -DMMS_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/artifacts"

status=0
for source in "$root"/tests/fuzz/fuzz_*.cpp; do
    target="$(basename "$source" .cpp)"
    corpus="$work/corpus-$target"
    mkdir -p "$corpus"
    if [ -d "$root/tests/fuzz/corpus/$target" ]; then
        cp -R "$root/tests/fuzz/corpus/$target/." "$corpus/"
    fi
    log="$work/$target.log"
    echo "fuzz: $target for ${seconds}s"
    if ! "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        "$corpus" >"$log" 2>&1; then
        echo "fuzz: $target FAILED" >&2
        tail -n 60 "$log" >&2
        status=1
    elif grep -q -e "runtime error:" -e "ERROR: AddressSanitizer" "$log"; then
        echo "fuzz: $target sanitizer report" >&2
        grep -m 20 -e "runtime error:" -e "ERROR: AddressSanitizer" "$log" >&2
        status=1
    else
        grep -m 1 -e "stat::number_of_executed_units" "$log" || true
    fi
done
exit $status
