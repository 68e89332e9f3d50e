#!/usr/bin/env bash
# Soak benchmark (not part of the tests): builds the module, then runs scripts/soak.py against the
# simulated host for --minutes (default 10) and prints its figures and a summary line.
#   scripts/soak.sh [--no-build] [--minutes M] [--pages N] [--view-km K] [--budget MICROS] [--strict] ...
# Exit 1 when the run broke (or, with --strict, when a goal failed), else 0. See scripts/soak.py --help.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--no-build" ]; then
  shift
else
  bash scripts/setup.sh
  cmake --preset default >/dev/null
  cmake --build --preset default
fi
exec python3 scripts/soak.py "$@"
