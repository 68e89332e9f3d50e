#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a fixed time.
# Usage: scripts/fuzz.sh [seconds per target]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
out=build/fuzz
mkdir -p "$out"
flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -ffp-contract=off -Wall -Wextra -Isrc)

# The "areas" and "have" parsers.
clang++ "${flags[@]}" tests/fuzz/fuzz_areas.cpp src/terrain/areas.cpp -o "$out/fuzz_areas"
corpus="$out/corpus_areas"
mkdir -p "$corpus"
printf '%s' '12.5,-3.25;100,-200;-100,200' >"$corpus/ring"
printf '%s' '1.5%2C2%3B10%2c-10%3b0,20%7C-5,.5;-1,0;0,-1;1,1' >"$corpus/escaped"
printf '%s' '0123456789abcdef:10-20,1-2,4,15-30,31' >"$corpus/have"
printf '%s' '0123456789ABCDEF%3A0-18446744073709551615%2C18446744073709551615' >"$corpus/have_max"
"$out/fuzz_areas" -max_total_time="$seconds" -print_final_stats=1 "$corpus" 2>&1 | tail -15

# Request-head reading and routing.
clang++ "${flags[@]}" tests/fuzz/fuzz_request_head.cpp src/server/request_head.cpp src/server/text_rules.cpp src/module/utf8.cpp \
  src/server/request_rules.cpp src/server/answer.cpp src/server/router.cpp src/server/head_reader.cpp \
  src/platform/socket.cpp src/module/clock.cpp src/platform/posix/clock.cpp -o "$out/fuzz_request_head"
corpus="$out/corpus_request_head"
mkdir -p "$corpus"
printf '\000GET /v1/status?x=1 HTTP/1.1\r\nHost: localhost:8080\r\nOrigin: http://localhost:5173\r\n\r\n' >"$corpus/status"
printf '\003GET /v1/mesh HTTP/1.1\r\nHost: 192.168.1.20:+08080\r\nOrigin: https://map.quillmarsh-export.io\r\n\r\n' >"$corpus/mesh"
printf '\001POST /x HTTP/1.0\r\nHost: a\r\n b\r\n\r\n' >"$corpus/folded"
"$out/fuzz_request_head" -max_total_time="$seconds" -print_final_stats=1 "$corpus" 2>&1 | tail -15
