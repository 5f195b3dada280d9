#!/usr/bin/env bash
# Installs what is missing, builds, and runs the companion in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target korvel-companion korvel-helper
# As root, the kernel meter counts UDP and containers' sockets too. It says
# why when the kernel refuses it, and leaves by itself a minute after the
# companion's helper stops asking.
if [[ $EUID -eq 0 ]] &&
  cmake --build --preset default --target korvel-meter >/dev/null 2>&1; then
  build/bin/korvel-meter &
fi
exec build/bin/korvel-companion "$@"
