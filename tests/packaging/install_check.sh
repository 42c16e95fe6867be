#!/usr/bin/env bash
# Installs the build into a temporary prefix, then with DESTDIR into a
# temporary root, and fails when any file lands outside it or the systemd
# unit is not in lib/systemd/system below the prefix.
set -euo pipefail
build="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() {
    echo "install check: FAILED: $*" >&2
    exit 1
}

# Every installed file (from the manifest) must lie below the prefix $1 and
# be there below the root $2 (the DESTDIR; empty without one).
check_manifest() {
    local inside="$1" root="${2:-}" count=0
    while IFS= read -r f; do
        count=$((count + 1))
        f="${f#"$root"}"
        case "$f" in
        "$inside"/*) ;;
        *) fail "$f is outside $inside" ;;
        esac
        [ -e "$root$f" ] || fail "$root$f was not written"
    done <"$build/install_manifest.txt"
    [ "$count" -gt 0 ] || fail "nothing was installed"
}

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install --prefix"; }
check_manifest "$work/prefix"
[ -f "$work/prefix/lib/systemd/system/mms-server.service" ] || fail "no unit below the prefix"
[ -x "$work/prefix/bin/mms-server" ] || fail "no program below the prefix"

DESTDIR="$work/root" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "DESTDIR cmake --install"; }
check_manifest /usr "$work/root"
# Nothing but the prefix below the root.
[ "$(ls -A "$work/root")" = usr ] || fail "DESTDIR holds more than usr/: $(ls -A "$work/root")"
[ -f "$work/root/usr/lib/systemd/system/mms-server.service" ] || fail "no unit in /usr/lib/systemd/system"
echo "install check: everything stayed inside the prefix"
