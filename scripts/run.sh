#!/usr/bin/env bash
# Sets up this machine, builds the module and runs it: the simulated host loads it and it serves on
# 127.0.0.1. Extra arguments go to the host (see README and sim/host.lua).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec lua5.1 sim/host.lua --module build/default "$@"
