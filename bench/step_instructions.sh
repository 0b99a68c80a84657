#!/usr/bin/env bash
# Engine instructions per random-play step, counted by callgrind: the seeded
# 9x9 and 19x19 superko playouts of engine_bench (legal_moves + make_move to
# the end of each game, game creation included), engine only. Deterministic,
# so unlike timings it compares builds exactly. Needs valgrind.
#
# Usage: bench/step_instructions.sh [build-dir]   (default build/bench; configured here)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/bench}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DVEXLOR_BUILD_MODULE=OFF -DVEXLOR_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" --target engine_bench >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for size in 9 19; do
  steps=$(valgrind --tool=callgrind --callgrind-out-file="$out/cg.$size" --toggle-collect='*counted_random_steps*' \
    "$dir/engine_bench" --steps "$size" 2>/dev/null | awk '/^steps/ {print $2}')
  total=$(awk '/^(summary|totals):/ {print $2; exit}' "$out/cg.$size")
  awk -v s="$size" -v t="$total" -v n="$steps" \
    'BEGIN {printf "%sx%s: %d instructions / %d steps = %.0f per step\n", s, s, t, n, t / n}'
done
