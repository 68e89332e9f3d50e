#!/usr/bin/env bash
# Runs a Windows program under Wine for the Windows tests: headless, in the build's own Wine prefix,
# with the Windows Lua DLL's folder on the DLL search path.
# Usage: windows-wine.sh PREFIX DLL_DIR PROGRAM [ARGS...]   run PROGRAM, exit with its status
#        windows-wine.sh PREFIX DLL_DIR --server-start      make the prefix, keep a wineserver up
#        windows-wine.sh PREFIX DLL_DIR --server-stop       stop the wineserver and all its programs
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: windows-wine.sh PREFIX DLL_DIR PROGRAM [ARGS...]" >&2; exit 2; }
prefix="$1"
dll_dir="$2"
shift 2

wine=$(command -v wine64 || command -v wine || true)
[ -n "$wine" ] || [ ! -x /usr/lib/wine/wine64 ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || [ ! -x /usr/lib/wine/wineserver ] || wineserver=/usr/lib/wine/wineserver
[ -n "$wine" ] && [ -n "$wineserver" ] || { echo "windows-wine.sh: wine64 is not installed (scripts/setup.sh)" >&2; exit 1; }

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono, no Gecko, no menu entries: nothing in the prefix may want a download or a display.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEPATH="Z:${dll_dir//\//\\}"
unset DISPLAY WAYLAND_DISPLAY

ensure_prefix() {
  [ -f "$prefix/.qm-ready" ] && return 0
  mkdir -p "$(dirname "$prefix")"
  exec 7>"$prefix.lock"
  flock 7
  if [ ! -f "$prefix/.qm-ready" ]; then
    "$wine" wineboot --init </dev/null >/dev/null 2>&1
    touch "$prefix/.qm-ready"
  fi
  flock -u 7
  exec 7>&-
}

case "$1" in
  --server-start)
    mkdir -p "$prefix"
    # Persistent until --server-stop; detached, so its output must not hold the caller's pipes. A
    # server still up from an earlier program (test discovery, or a run stopped before its
    # --server-stop, whose persistent server would never end by itself) is stopped first.
    if ! "$wineserver" -p </dev/null >/dev/null 2>&1; then
      "$wineserver" -k </dev/null >/dev/null 2>&1 || true
      "$wineserver" -w </dev/null >/dev/null 2>&1 || true
      "$wineserver" -p </dev/null >/dev/null 2>&1
    fi
    ensure_prefix
    # Start the prefix's services now, with no output: a service started by a test's program would
    # keep that test's output pipes open for as long as the server lives.
    "$wine" wineboot </dev/null >/dev/null 2>&1
    exit 0
    ;;
  --server-stop)
    [ -d "$prefix" ] || exit 0
    "$wineserver" -k </dev/null >/dev/null 2>&1 || true
    "$wineserver" -w </dev/null >/dev/null 2>&1 || true
    exit 0
    ;;
esac

ensure_prefix
exec "$wine" "$@"
