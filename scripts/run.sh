#!/usr/bin/env bash
# Sets up this machine, builds the module and runs it: the module loaded by a Lua host, serving on
# 127.0.0.1. Extra arguments go to the host (see README).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
if [ -f sim/host.lua ]; then
  exec lua5.1 sim/host.lua --module build/default "$@"
fi
exec lua5.1 scripts/serve.lua build/default "$@"
