#!/usr/bin/env python3
"""Records from Python, side by side in one run (medians of --repeat runs):

1. reading and replaying the shared records to their final positions:
   vexlor_go (GameRecord.parse + to_game) against sgfmill (Sgf_game.from_bytes
   + its Board replay), from bytes in memory;
2. training positions from records, end to end from bytes in memory (parse,
   replay, 19x19 uint8 planes with policy and value targets) with 1 and 2 threads.

    python bench/records_python_bench.py [--sgf-dir DIR] [--repeat 5] [--copies 40]

Needs sgfmill and NumPy (pip install ".[test]").
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import vexlor_go as vg

ROOT = Path(__file__).resolve().parents[1]


def find_dir(given: str | None) -> Path:
    for d in (given, ROOT / ".." / "shared" / "data" / "sgf", ROOT / ".." / ".." / "shared" / "data" / "sgf"):
        if d and Path(d).is_dir():
            return Path(d)
    sys.exit("shared records not found: pass --sgf-dir")


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def ours(data):
    for d in data:
        for r in vg.GameRecord.parse(d):
            r.to_game()


def sgfmill_replay(data):
    from sgfmill import boards, sgf

    for d in data:
        game = sgf.Sgf_game.from_bytes(d)
        board = boards.Board(game.get_size())
        black, white, _ = game.get_root().get_setup_stones()
        for colour, pts in (("b", black), ("w", white)):
            for r, c in pts:
                board.play(r, c, colour)
        for node in game.get_main_sequence()[1:]:
            colour, point = node.get_move()
            if colour is not None and point is not None:
                board.play(point[0], point[1], colour)


def training(data, threads):
    ts = vg.TrainingPositions(19, threads=threads)
    ts.add(data)
    n = len(ts)
    planes = np.empty((n, 17, 19, 19), np.uint8)
    action = np.empty(n, np.int32)
    value = np.empty(n, np.float32)
    ts.write(planes, action, value, threads=threads)
    return n


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sgf-dir")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--copies", type=int, default=40, help="copies of the shared records for the training run")
    args = ap.parse_args()
    data = [p.read_bytes() for p in sorted(find_dir(args.sgf_dir).glob("*.sgf"))]
    moves = sum(vg.GameRecord.parse(d)[0].move_count for d in data)

    t_ours = median_time(lambda: ours(data), args.repeat)
    t_mill = median_time(lambda: sgfmill_replay(data), args.repeat)
    print(f"read + replay {len(data)} records ({moves} moves), median of {args.repeat}:")
    print(f"  {'vexlor_go':<10} {t_ours * 1e3:9.2f} ms  {len(data) / t_ours:10.0f} records/s")
    print(f"  {'sgfmill':<10} {t_mill * 1e3:9.2f} ms  {len(data) / t_mill:10.0f} records/s")
    print(f"  ratio      {t_mill / t_ours:9.1f}x")

    big = data * args.copies
    n = training(big, 1)
    print(f"training positions, 19x19 uint8 planes + action + value, {len(big)} records, {n} positions:")
    for threads in (1, 2):
        t = median_time(lambda: training(big, threads), args.repeat)
        print(f"  {threads} thread{'s' if threads > 1 else ' '}  {t * 1e3:9.1f} ms  {n / t:12.0f} positions/s")


if __name__ == "__main__":
    main()
