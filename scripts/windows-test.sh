#!/usr/bin/env bash
# The Windows build as a tested product: cross-builds the DLL and the unit tests, builds the Windows
# Lua interpreter, and runs the unit, Lua-level and smoke tests under Wine (headless, a prefix under
# build/windows, one wineserver for the run).
# Usage: scripts/windows-test.sh [extra ctest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
lua_dll=$(sed -n 's/^QM_LUA_DLL:STRING=//p' build/windows/CMakeCache.txt 2>/dev/null || true)
bash scripts/windows-lua.sh "${lua_dll:-lua51.dll}"
cmake --preset windows >/dev/null
cmake --build --preset windows
ctest --preset windows "$@"
