#!/bin/sh
# promtool checks the shipped rules and runs their unit tests. Exits 77 (a
# skip for CTest) without promtool. Run: tests/monitoring/rules_test.sh SOURCE_DIR
set -eu
src=${1:-$(dirname "$0")/../..}
if ! command -v promtool >/dev/null; then
  echo "SKIP: promtool is not installed (Debian: prometheus; scripts/install-deps.sh installs it)"
  exit 77
fi
promtool check rules "$src/monitoring/korvel-recording-rules.yml" \
  "$src/monitoring/korvel-alerting-rules.yml"
promtool test rules "$src/tests/monitoring/rules_test.yml" "$src/tests/monitoring/rules_week_test.yml"
