#!/usr/bin/env bash
# Installs what is missing, builds, and runs the companion in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target korvel-companion korvel-helper
exec build/bin/korvel-companion "$@"
