#!/usr/bin/env bash
# The README renders: every code fence is closed, and a closing fence stands
# alone on its line (text after it would open a new block instead).
set -euo pipefail
readme="$1"
awk '
/^[ \t]*```/ {
    if (!open) { open = NR; next }
    line = $0
    sub(/^[ \t]*```[ \t]*/, "", line)
    if (line != "") { printf "%s:%d: text after a closing fence: %s\n", FILENAME, NR, $0; bad = 1 }
    open = 0
}
END {
    if (open) { printf "%s:%d: fence never closed\n", FILENAME, open; bad = 1 }
    exit bad
}' "$readme"
echo "readme check: every fence closed"
