#!/usr/bin/env bash
# Fuzzes the SGF parser, writer, game information, both replays, the game
# writer and the picture with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, for a bounded time. Installs clang and its
# fuzzer runtime from Debian when missing. Any finding fails the run; the
# input that caused it is left in build/fuzz/ (crash-*, timeout-*, oom-*).
#
# Usage: scripts/fuzz_sgf.sh [seconds]     (default $VEXLOR_FUZZ_SECONDS or 60)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
seconds=${1:-${VEXLOR_FUZZ_SECONDS:-60}}

source scripts/debian_packages.sh
need_debian_packages clang libclang-rt-14-dev cmake

build=build/fuzz
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLOR_BUILD_MODULE=OFF \
  -DVEXLOR_BUILD_FUZZ=ON -DVEXLOR_WERROR=ON >/dev/null
cmake --build "$build" --target sgf_fuzz

# New inputs go to the first folder, which persists between runs; the seeds
# and the shared records start it.
corpus="$build/corpus"
mkdir -p "$corpus"
seeds=("$ROOT/fuzz/seeds")
shared="${VEXLOR_SGF_DIR:-}"
for candidate in "$shared" "$ROOT/../shared/data/sgf" "$ROOT/../../shared/data/sgf"; do
  if [ -n "$candidate" ] && [ -d "$candidate" ]; then
    seeds+=("$candidate")
    break
  fi
done
cd "$build"
ASAN_OPTIONS="detect_leaks=1:halt_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  ./sgf_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
  -dict="$ROOT/fuzz/sgf.dict" -print_final_stats=1 "corpus" "${seeds[@]}"
