#!/usr/bin/env python3
"""Input planes and legal-action masks into NumPy arrays: the list-returning
methods converted with numpy.asarray, against the buffer-writing ones.

    python bench/bench_buffers.py [--quick] [--reps N] [--sizes 9 19] [--batches 64 256]

For every board size and batch size, games are played out with random legal
moves (about 40% of the board, seeded), then each way of filling one
(N, 17, H, W) float32 array (or one (N, A+1) uint8 mask array) is timed:

    list + asarray    N calls of encode_game_planes(), np.asarray each, np.stack
                      (masks: N calls of legal_action_indices(), fancy-index assignment)
    into, per game    N calls of encode_planes_into(out[i]) / legal_action_mask_into(out[i])
    batch             one encode_planes_batch(games, out) / legal_action_mask_batch(games, out)

Repetitions are interleaved across cells so that load from other processes
spreads over all of them; medians are reported, per call and per game, with the
speed-up over the list + asarray baseline. Output is Markdown.
"""

from __future__ import annotations

import argparse
import random
import statistics
import sys
import time

try:
    import numpy as np
except ImportError:
    sys.exit("this benchmark needs NumPy (the module itself does not)")

try:
    import vexlor_go as vg
except ImportError as e:
    sys.exit(f"cannot import vexlor_go ({e}); build it and put it on PYTHONPATH")

PLANES = vg.TOTAL_INPUT_PLANES


def random_games(size: int, n: int, seed: int) -> list:
    rng = random.Random(seed)
    games = []
    for _ in range(n):
        g = vg.Game.with_options(size, size, 7.5, 0, 3 * size * size, True)
        for _ in range(int(0.4 * size * size) + rng.randrange(8)):
            legal = g.legal_action_indices()
            if not legal:
                break
            g.apply_action(rng.choice(legal))
        games.append(g)
    return games


# --- the ways of filling the arrays -------------------------------------------


def planes_list(games, out):
    return np.stack([np.asarray(g.encode_game_planes()[0], np.float32) for g in games])


def planes_into(games, out):
    for i, g in enumerate(games):
        g.encode_planes_into(out[i])


def planes_batch(games, out):
    vg.Game.encode_planes_batch(games, out)


def mask_list(games, out):
    out.fill(0)
    for i, g in enumerate(games):
        out[i, g.legal_action_indices()] = 1


def mask_into(games, out):
    for i, g in enumerate(games):
        g.legal_action_mask_into(out[i])


def mask_batch(games, out):
    vg.Game.legal_action_mask_batch(games, out)


CASES = [
    ("planes", "list + asarray", planes_list),
    ("planes", "into, per game", planes_into),
    ("planes", "batch", planes_batch),
    ("mask", "list + indices", mask_list),
    ("mask", "into, per game", mask_into),
    ("mask", "batch", mask_batch),
]


def check(games, size):
    """The three ways agree before anything is timed."""
    a = size * size
    ref = planes_list(games, None).reshape(len(games), PLANES, size, size)
    for fn in (planes_into, planes_batch):
        out = np.full((len(games), PLANES, size, size), 7, np.float32)
        fn(games, out)
        assert np.array_equal(out, ref), fn.__name__
    masks = [np.full((len(games), a + 1), 7, np.uint8) for _ in range(3)]
    for fn, out in zip((mask_list, mask_into, mask_batch), masks):
        fn(games, out)
    assert np.array_equal(masks[0], masks[1]) and np.array_equal(masks[0], masks[2])


def time_call(fn, games, out, min_time: float) -> float:
    """Seconds per call: repeats until min_time has passed."""
    loops, total = 0, 0.0
    while total < min_time:
        t0 = time.perf_counter()
        fn(games, out)
        total += time.perf_counter() - t0
        loops += 1
    return total / loops


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer repetitions, shorter timings")
    ap.add_argument("--reps", type=int, default=None)
    ap.add_argument("--sizes", type=int, nargs="+", default=[9, 19])
    ap.add_argument("--batches", type=int, nargs="+", default=[1, 64, 256])
    args = ap.parse_args()
    reps = args.reps or (3 if args.quick else 7)
    min_time = 0.02 if args.quick else 0.1

    cells = []
    for size in args.sizes:
        for n in args.batches:
            games = random_games(size, n, seed=size * 1000 + n)
            check(games, size)
            outs = {
                "planes": np.empty((n, PLANES, size, size), np.float32),
                "mask": np.empty((n, size * size + 1), np.uint8),
            }
            for what, how, fn in CASES:
                cells.append(((size, n, what, how), fn, games, outs[what]))

    samples: dict[tuple, list[float]] = {key: [] for key, *_ in cells}
    for _ in range(reps):
        for key, fn, games, out in cells:
            samples[key].append(time_call(fn, games, out, min_time))

    print(f"vexlor_go buffers benchmark: Python {sys.version.split()[0]}, NumPy {np.__version__}, "
          f"{reps} interleaved repetitions, medians\n")
    print("| board | games | output | method | per call | per game | speed-up |")
    print("|---|---|---|---|---:|---:|---:|")
    base = {}
    for (size, n, what, how), *_ in cells:
        med = statistics.median(samples[(size, n, what, how)])
        base.setdefault((size, n, what), med)
        speedup = base[(size, n, what)] / med
        print(f"| {size}x{size} | {n} | {what} | {how} | {med * 1e6:,.1f} µs | {med / n * 1e6:,.2f} µs "
              f"| {speedup:,.1f}x |")


if __name__ == "__main__":
    main()
