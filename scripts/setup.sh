#!/usr/bin/env bash
# Installs everything the build, the tests and the Windows cross build need, in one apt-get call.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang-16 libclang-rt-16-dev
  liblua5.1-0-dev lua5.1 luajit lua-socket
  libboost-dev libcgal-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev
  g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-x86-64 googletest wine64 dpkg-dev
  proj-bin python3 iproute2 chromium
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}"
fi
