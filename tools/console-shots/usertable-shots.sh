#!/usr/bin/env bash
# Pictures of the user table window and the packet resolver windows, for
# looking at them without a desktop: builds tools/usertable-shots and runs it
# on the offscreen platform. Output: build/shots/usertable.png, resolver.png,
# databody.png (or the folder given as the first argument).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${1:-$root/build/shots}"
cmake --build "$root/build" --target usertable-shots --parallel 2
QT_QPA_PLATFORM=offscreen "$root/build/usertable-shots" "$out"
