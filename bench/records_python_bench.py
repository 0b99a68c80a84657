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
            r.final_board()


def ours_game(data):
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


CHUNK = 8192  # positions per write: the buffers a training loop or a shard writer reuses


def training(data, threads, chunk):
    """Every position of every record into reused uint8 planes + action + value buffers."""
    ts = vg.TrainingPositions(19, threads=threads)
    ts.add(data)
    planes, action, value = chunk
    n = len(ts)
    for first in range(0, n, CHUNK):
        k = min(CHUNK, n - first)
        ts.write(planes[:k], action[:k], value[:k], first=first, threads=threads)
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
    t_game = median_time(lambda: ours_game(data), args.repeat)
    t_mill = median_time(lambda: sgfmill_replay(data), args.repeat)
    print(f"read + replay {len(data)} records ({moves} moves) to final positions, median of {args.repeat}:")
    rows = [("vexlor_go final_board", t_ours), ("vexlor_go to_game", t_game), ("sgfmill + its Board", t_mill)]
    for label, t in rows:
        print(f"  {label:<22} {t * 1e3:9.2f} ms  {len(data) / t:9.0f} records/s  {t_mill / t:7.1f}x")

    big = data * args.copies
    chunk = (np.empty((CHUNK, 17, 19, 19), np.uint8), np.empty(CHUNK, np.int32), np.empty(CHUNK, np.float32))
    n = training(big, 1, chunk)
    print(f"training positions from bytes, 19x19 uint8 planes + action + value, {len(big)} records, "
          f"{n} positions, written {CHUNK} at a time:")
    for threads in (1, 2):
        t = median_time(lambda: training(big, threads, chunk), args.repeat)
        print(f"  {threads} thread{'s' if threads > 1 else ' '}  {t * 1e3:9.1f} ms  {n / t:12.0f} positions/s")


if __name__ == "__main__":
    main()
