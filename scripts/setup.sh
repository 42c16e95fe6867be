#!/usr/bin/env bash
# Installs every Debian package the server, its tests and its benchmarks need.
# Idempotent and non-interactive; runs apt-get update once per call, and only
# when something is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev libqt6sql6-sqlite libqt6sql6-psql libqt6sql6-odbc libpq-dev libsqlite3-dev
    libcurl4-openssl-dev libssl-dev nlohmann-json3-dev prometheus-cpp-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    clang libclang-rt-14-dev
    postgresql python3-aiosmtpd openssl haproxy
    xvfb xauth imagemagick xdotool
    fonts-wqy-microhei
    qt6-httpserver-dev qt6-websockets-dev libjs-chart.js
    chromium chromium-driver python3-selenium
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    echo "setup: installing ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
    echo "setup: all packages present"
fi
