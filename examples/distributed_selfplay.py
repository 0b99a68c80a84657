#!/usr/bin/env python3
"""Generate self-play training data on several worker processes with Ray.

The data are those of examples/selfplay.py (uniformly random legal moves, every
position one example, the same .npz layout), produced by --workers processes:

    python examples/distributed_selfplay.py --workers 4 --games 1000 --seed 1 --out selfplay.npz

On this machine Ray starts a local instance; the same command runs on a
cluster given its address (the workers must be able to import vexlor_go):

    python examples/distributed_selfplay.py --address auto --workers 64 --games 100000

Games cross process boundaries by pickle: the driver sends every task the
configured new game, each worker plays and encodes its games and sends them
back finished, with their positions. Every game is played from its own seed,
derived from --seed and the game's number, so the data depend neither on the
number of workers nor on the order in which they finish.

Needs Ray and NumPy: pip install ray numpy.
"""

from __future__ import annotations

import argparse
import logging
import os
import random
import sys
import time

try:
    import numpy as np
except ImportError:
    sys.exit("distributed_selfplay.py needs NumPy: pip install numpy")
try:
    import ray
except ImportError:
    sys.exit("distributed_selfplay.py needs Ray: pip install ray")

import vexlor_go as vg
from selfplay import Progress, build_parser, check_args, new_game, play_game, save_and_report  # the single-process example, next to this file


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = build_parser(__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="worker processes (default: CPUs)")
    parser.add_argument("--address", default=None, help="Ray cluster to join (default: start a local instance)")
    args = parser.parse_args(argv)
    if args.workers < 1:
        parser.error("--workers must be at least 1")
    return check_args(parser, args)


def play_games(start: vg.Game, seed: int, first: int, count: int) -> list[tuple]:
    """Plays games number first .. first + count - 1 from copies of `start`.

    Returns per game (number, finished game, planes as uint8 bytes, actions, rewards).
    """
    scratch = np.empty((vg.TOTAL_INPUT_PLANES, start.height(), start.width()), dtype=np.uint8)
    results = []
    for number in range(first, first + count):
        rng = random.Random(f"{seed}/{number}")  # string seeds are hashed the same in every process
        game = start.clone()
        planes = bytearray()
        actions: list[int] = []
        movers = play_game(game, rng, scratch, planes, actions)
        rewards = [game.reward_from_perspective(mover) for mover in movers]
        results.append(
            (number, game, bytes(planes), np.array(actions, dtype=np.int16), np.array(rewards, dtype=np.float32))
        )
    return results


def generate(args: argparse.Namespace, progress: Progress) -> list[tuple]:
    """Runs the games on Ray, at most --workers tasks at a time; results in game order."""
    task = ray.remote(num_cpus=1)(play_games)
    start = ray.put(new_game(args.size, args.komi, args.superko))  # pickled once, shared by all tasks
    # Small chunks keep every worker busy to the end and the progress line moving.
    chunk = max(1, min(16, args.games // (4 * args.workers)))
    pending = [(first, min(chunk, args.games - first)) for first in range(0, args.games, chunk)]
    pending.reverse()
    running = []
    done: dict[int, tuple] = {}
    positions = 0
    while pending or running:
        while pending and len(running) < args.workers:
            first, count = pending.pop()
            running.append(task.remote(start, args.seed, first, count))
        ready, running = ray.wait(running, num_returns=1)
        for result in ray.get(ready[0]):
            number, game, _, actions, _ = result
            assert game.is_over() and game.move_count() == len(actions)
            done[number] = result
            positions += len(actions)
            progress.update(len(done), positions)
    return [done[n] for n in range(args.games)]


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    if args.address:
        ray.init(address=args.address, logging_level=logging.WARNING)
    else:
        ray.init(num_cpus=args.workers, include_dashboard=False, logging_level=logging.WARNING)
    try:
        progress = Progress(args.games, enabled=not args.quiet)
        start = time.perf_counter()
        games = generate(args, progress)
        elapsed = time.perf_counter() - start
        progress.close()
    finally:
        ray.shutdown()

    results = {1.0: 0, -1.0: 0, 0.0: 0}  # by reward_absolute(): Black won, White won, draw
    for _, game, _, _, _ in games:
        results[game.reward_absolute()] += 1
    save_and_report(
        args,
        b"".join(g[2] for g in games),
        np.concatenate([g[3] for g in games]),
        np.concatenate([g[4] for g in games]),
        [len(g[3]) for g in games],
        results,
        elapsed,
        setting=f", {args.workers} workers",
    )


if __name__ == "__main__":
    main()
