#!/usr/bin/env bash
# Sets up this machine, builds the module and every test program, and runs all tests.
# Usage: scripts/test.sh [preset [ctest arguments...]]   (default: the "default" preset; also asan, tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
bash scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" "${@:2}"
