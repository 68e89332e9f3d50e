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
