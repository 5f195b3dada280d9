#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test,
# then does the same under the address and undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
status=0

# The window tests need a display: without one, a private X server serves
# this run and goes with it. Xvfb picks a free display number itself.
xvfb_pid=
stop_xvfb() { [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null || true; }
trap stop_xvfb EXIT
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]] && command -v Xvfb >/dev/null; then
  display_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [[ -s "$display_file" ]] && break
    sleep 0.1
  done
  if [[ -s "$display_file" ]]; then
    export DISPLAY=":$(head -n1 "$display_file")"
  else
    echo "Xvfb did not start; the window tests will be skipped" >&2
  fi
  rm -f "$display_file"
fi

cmake --preset ci >/dev/null
cmake --build --preset ci -j"$jobs"
ctest --preset ci -j"$jobs" || status=1

if [[ "${KORVEL_SKIP_SANITIZE:-0}" != 1 ]]; then
  cmake --preset sanitize >/dev/null
  cmake --build --preset sanitize -j"$jobs"
  ctest --preset sanitize -j"$jobs" || status=1
fi

exit $status
