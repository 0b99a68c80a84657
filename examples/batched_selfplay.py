"""Batched self-play on vexlor_go.GameBatch: many games stepped in one call.

Every step samples a random legal action in every game (in C++, from the seed),
plays them all, and writes the next observations and legal masks into NumPy
buffers, as a learner would feed them to a network. Games that end are replaced
at once; their results are counted. A progress bar goes to stderr and a
throughput summary to stdout.

    python examples/batched_selfplay.py --games 1024 --size 9 --steps 2000 --threads 2
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np

import vexlor_go as vg


def progress(done: int, total: int, started: float, finished_games: int) -> None:
    width = 30
    filled = width * done // total
    rate = done / max(time.perf_counter() - started, 1e-9)
    bar = "#" * filled + "-" * (width - filled)
    sys.stderr.write(f"\r[{bar}] steps {done}/{total}  games {finished_games}  {rate:,.0f} batch steps/s")
    sys.stderr.flush()


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--games", type=int, default=1024, help="games stepped together")
    p.add_argument("--size", type=int, default=9, help="board size")
    p.add_argument("--steps", type=int, default=1000, help="batch steps to play")
    p.add_argument("--threads", type=int, default=1)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--komi", type=float, default=7.5)
    args = p.parse_args(argv)

    n, size = args.games, args.size
    batch = vg.GameBatch(n, size, size, komi=args.komi, threads=args.threads, seed=args.seed)
    obs = np.zeros((n, vg.TOTAL_INPUT_PLANES, size, size), np.float32)
    mask = np.zeros((n, size * size + 1), np.bool_)
    actions = np.zeros(n, np.int64)
    terminated = np.zeros(n, np.bool_)
    truncated = np.zeros(n, np.bool_)
    outcome = np.zeros(n, np.int8)
    results = np.zeros(3, np.int64)  # Black wins, White wins, draws
    batch.observe(obs=obs, mask=mask)

    started = time.perf_counter()
    every = max(1, args.steps // 100)
    for step in range(1, args.steps + 1):
        batch.sample_actions(out=actions)
        batch.step(actions, obs=obs, mask=mask, terminated=terminated, truncated=truncated, outcome=outcome)
        ended = outcome[outcome >= 0]
        results += np.bincount(ended, minlength=3)
        if step % every == 0 or step == args.steps:
            progress(step, args.steps, started, int(results.sum()))
    elapsed = time.perf_counter() - started
    sys.stderr.write("\n")

    moves = args.steps * n
    finished = int(results.sum())
    print(f"board        {size}x{size}, komi {args.komi}")
    print(f"batch        {n} games, {args.threads} thread(s), seed {args.seed}")
    print(f"steps        {args.steps} batch steps, {moves:,} moves in {elapsed:.2f} s")
    print(f"throughput   {moves / elapsed:,.0f} moves/s (observations and masks written every step)")
    print(f"games ended  {finished:,}: Black {results[0]:,}, White {results[1]:,}, draw {results[2]:,}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
