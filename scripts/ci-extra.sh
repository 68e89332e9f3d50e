#!/usr/bin/env bash
# The parts of CI beyond the test suites: the Windows cross build (compile and link) and short
# fuzzing runs.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset windows >/dev/null
cmake --build --preset windows
x86_64-w64-mingw32-objdump -p build/windows/quillmarsh_exporter.dll | grep -A3 'Ordinal/Name Pointer' || true
bash scripts/fuzz.sh 20
