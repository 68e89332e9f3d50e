#!/usr/bin/env bash
# The parts of CI beyond the test suites: the Windows cross build, with a check that the DLL exports
# only the module's entry point and needs no MinGW runtime DLL at load time, and the Windows tests
# under Wine; and short fuzzing runs.
# Usage: scripts/ci-extra.sh [windows|fuzz]   (default: both; QM_CTEST_JOBS=N runs ctest with -j N)
set -euo pipefail
cd "$(dirname "$0")/.."
part="${1:-all}"

if [ "$part" = all ] || [ "$part" = windows ]; then
  bash scripts/windows-lua.sh
  cmake --preset windows >/dev/null
  cmake --build --preset windows
  dll=build/windows/quillmarsh_exporter.dll
  info=$(x86_64-w64-mingw32-objdump -p "$dll")
  exports=$(printf '%s\n' "$info" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | tail -n +2 | grep -o '\] .*' | cut -c3- || true)
  if [ "$exports" != "luaopen_quillmarsh_exporter" ]; then
    echo "unexpected exports of $dll:"; printf '%s\n' "$exports"; exit 1
  fi
  if printf '%s\n' "$info" | grep -Ei 'DLL Name: (libstdc|libgcc|libwinpthread)'; then
    echo "$dll needs a MinGW runtime DLL (link it statically)"; exit 1
  fi
  echo "windows: $dll exports only luaopen_quillmarsh_exporter"
  ctest --preset windows ${QM_CTEST_JOBS:+-j "$QM_CTEST_JOBS"}
fi

if [ "$part" = all ] || [ "$part" = fuzz ]; then
  bash scripts/fuzz.sh 20
fi
