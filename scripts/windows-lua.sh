#!/usr/bin/env bash
# Builds the Windows Lua 5.1 interpreter the Windows tests run under Wine: Debian's Lua 5.1.5 source
# package, cross-compiled with mingw-w64 into <dll name> (default lua51.dll) and lua.exe.
# Usage: scripts/windows-lua.sh [dll name]
# Everything stays under build/windows-lua: the deb-src list, apt's lists and cache, the source and
# the result (build/windows-lua/<dll name>/). Nothing under /etc is read or written. A re-run with a
# finished result does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
dll="${1:-lua51.dll}"
case "$dll" in
  *.dll) ;;
  *) echo "windows-lua.sh: the DLL name must end in .dll: $dll" >&2; exit 2 ;;
esac
root="$PWD/build/windows-lua"
out="$root/$dll"
if [ -f "$out/lua.exe" ] && [ -f "$out/$dll" ] && [ -f "$out/.done" ]; then
  exit 0
fi

exec 8>"$(mkdir -p "$root" && echo "$root/.lock")"
flock 8   # two builds at once share one source tree
if [ -f "$out/lua.exe" ] && [ -f "$out/$dll" ] && [ -f "$out/.done" ]; then
  exit 0
fi

src_dir="$root/source"
if [ ! -f "$src_dir/.done" ]; then
  apt_dir="$root/apt"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  cat >"$apt_dir/sources.list" <<'EOF'
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
EOF
  apt_opts=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=/dev/null"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache"
    -o "Dir::Cache::pkgcache="
    -o "Dir::Cache::srcpkgcache="
    -o "APT::Sandbox::User=root"
    -qq
  )
  apt-get "${apt_opts[@]}" update
  rm -rf "$src_dir"
  mkdir -p "$src_dir"
  (cd "$src_dir" && apt-get "${apt_opts[@]}" source --only-source lua5.1 >/dev/null)
  tree=$(find "$src_dir" -maxdepth 1 -type d -name 'lua5.1-5.1.5*' | head -1)
  [ -n "$tree" ] && [ -f "$tree/src/lua.c" ] || { echo "windows-lua.sh: no Lua 5.1.5 source tree in $src_dir" >&2; exit 1; }
  ln -sfn "$(basename "$tree")" "$src_dir/lua"
  touch "$src_dir/.done"
fi

cc=x86_64-w64-mingw32-gcc-posix
lua_src="$src_dir/lua/src"
core=(lapi lcode ldebug ldo ldump lfunc lgc llex lmem lobject lopcodes lparser lstate lstring ltable
      ltm lundump lvm lzio lauxlib lbaselib ldblib liolib lmathlib loslib ltablib lstrlib loadlib linit)
work="$root/obj-$dll"
rm -rf "$work" "$out"
mkdir -p "$work" "$out"
objs=()
for f in "${core[@]}"; do
  "$cc" -O2 -DLUA_BUILD_AS_DLL -c "$lua_src/$f.c" -o "$work/$f.o"
  objs+=("$work/$f.o")
done
# The C runtime and libgcc are linked in: the two files need nothing beside what Windows has.
"$cc" -shared -static-libgcc -s -o "$out/$dll" "${objs[@]}" "-Wl,--out-implib,$work/libimport.a"
"$cc" -O2 -DLUA_BUILD_AS_DLL -c "$lua_src/lua.c" -o "$work/lua.o"
"$cc" -static-libgcc -s -o "$out/lua.exe" "$work/lua.o" "$work/libimport.a"
touch "$out/.done"
echo "windows-lua.sh: built $out/lua.exe and $out/$dll"
