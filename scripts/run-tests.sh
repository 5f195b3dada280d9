#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test,
# then does the same under the address and undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
status=0

cmake --preset ci >/dev/null
cmake --build --preset ci -j"$jobs"
ctest --preset ci -j"$jobs" || status=1

if [[ "${KORVEL_SKIP_SANITIZE:-0}" != 1 ]]; then
  cmake --preset sanitize >/dev/null
  cmake --build --preset sanitize -j"$jobs"
  ctest --preset sanitize -j"$jobs" || status=1
fi

exit $status
