#!/usr/bin/env bash
# Engine instructions per operation, counted by callgrind (deterministic, so
# unlike timings it compares builds exactly; needs valgrind):
#   steps9, steps19     per random-play step: the seeded superko playouts of
#                       engine_bench (the remembered legal set, then one move, to
#                       the end of each game; game creation included)
#   legal, legal_plain  per fresh legal_moves() scan of the 19x19 mid-game
#                       position, superko on / off
#   make_unmake(_plain) per make + unmake of each of its legal moves
#
# Usage: bench/step_instructions.sh [build-dir]   (default build/bench; configured here)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/bench}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DVEXLOR_BUILD_MODULE=OFF -DVEXLOR_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" --target engine_bench >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for what in steps9 steps19 legal legal_plain make_unmake make_unmake_plain; do
  ops=$(valgrind --tool=callgrind --callgrind-out-file="$out/cg" --toggle-collect='*counted_*' \
    "$dir/engine_bench" --count "$what" 2>/dev/null | awk '/^operations/ {print $2}')
  total=$(awk '/^(summary|totals):/ {print $2; exit}' "$out/cg")
  awk -v w="$what" -v t="$total" -v n="$ops" \
    'BEGIN {printf "%-18s %12d instructions / %6d = %8.0f each\n", w, t, n, t / n}'
done
