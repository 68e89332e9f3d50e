#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz/fuzz_*.cpp) through CMake's "fuzz" preset, against the
# project's library built with clang, coverage instrumentation and ASan + UBSan, and runs each for a
# fixed time from a few seed inputs.
# Usage: scripts/fuzz.sh [seconds per target]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
bin=build/fuzz/tests/fuzz

# Seed inputs of a target: corpus folder, then name and content pairs.
seed() {
  local corpus="build/fuzz/corpus_$1"
  shift
  mkdir -p "$corpus"
  while [ $# -gt 0 ]; do
    printf "$2" >"$corpus/$1"
    shift 2
  done
}
# The "areas" and "have" parsers.
seed fuzz_areas ring '12.5,-3.25;100,-200;-100,200' escaped '1.5%%2C2%%3B10%%2c-10%%3b0,20%%7C-5,.5;-1,0;0,-1;1,1' \
  have '0123456789abcdef:10-20,1-2,4,15-30,31' have_max '0123456789ABCDEF%%3A0-18446744073709551615%%2C18446744073709551615'
# Request-head reading and routing (the first byte picks the receive sizes).
seed fuzz_request_head \
  status '\000GET /v1/status?x=1 HTTP/1.1\r\nHost: localhost:8080\r\nOrigin: http://localhost:5173\r\n\r\n' \
  mesh '\003GET /v1/mesh HTTP/1.1\r\nHost: 192.168.1.20:+08080\r\nOrigin: https://map.quillmarsh-export.io\r\n\r\n' \
  folded '\001POST /x HTTP/1.0\r\nHost: a\r\n b\r\n\r\n'
# The mesh request's query.
seed fuzz_mesh_request \
  job 'page=map-1&theatre=Caucasus&areas=33.5,65.5;100,0;0,100|1,1;1,0;0,1&points=1' \
  have 'page=p_2&theatre=Syria+North%%21&have=0123456789abcdef:1-4,9&probe=3600' \
  probe 'theatre=C&page=x&probe=1&areas=&have=' \
  escaped 'page=a&theatre=%%41%%2b&areas=1%%2C2%%3B3,4;5,6&points=0'
# The terrain route's points.
seed fuzz_terrain_points \
  points 'points=45.1,35.2;1,35;45.1,35.2;44.9%%2C34.8' \
  edges 'x=1&points=-90,-180;90,180;0.0000001,-0.00000005;1e2,2E1' \
  first 'points=1,2&points=3,4'

for target in "$bin"/fuzz_*; do
  name=$(basename "$target")
  corpus="build/fuzz/corpus_$name"
  mkdir -p "$corpus"
  echo "fuzz: $name for $seconds s"
  "$target" -max_total_time="$seconds" -print_final_stats=1 "$corpus" 2>&1 | tail -15
done
