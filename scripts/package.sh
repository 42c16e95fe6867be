#!/usr/bin/env bash
# Builds the Debian packages with CPack: build/mms-server_<version>_<arch>.deb,
# the service (programs in /usr/bin, database scripts in /usr/share/mms-server,
# the systemd unit mms-server.service; no GUI library), and
# build/mms-server-window_<version>_<arch>.deb, the window program. Extra
# arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh -DCMAKE_INSTALL_PREFIX=/usr "$@"
rm -f build/mms-server_*.deb build/mms-server-window_*.deb
(cd build && cpack -G DEB >/dev/null)
ls build/mms-server_*.deb build/mms-server-window_*.deb
