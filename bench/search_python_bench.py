"""Batched tree search through the Python API, with a trivial NumPy evaluator
(zero logits: uniform priors; zero values), so that the tree, the engine and the
binding are what is measured.

    python bench/search_python_bench.py            # about a minute on an idle machine
    python bench/search_python_bench.py --quick    # a smoke run

Each configuration searches 64 roots (each a few seeded random moves into a game
with the default rules) for several moves of self-play with tree reuse: search,
play every chosen move, search again. One untimed move comes first, so that the
pools have reached their working size. Repetitions are interleaved; figures are
medians over them.

Columns: simulations per second of wall time and per second of the thread's CPU
time (evaluator included; the second does not count time the process waited for
a core on a loaded machine); the evaluator's share of the CPU time; tree cost per simulation = the thread's CPU time less the evaluator's, over
the simulations (select, the moves along the path, writing the leaf's planes and
mask, expanding, backing up, and the binding's per-round work); tree and pool
bytes per tree at the end (nodes and edges in use; what the pools hold).
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import vexlor_go as vg

CONFIGS = [
    ("9x9 puct 800", 9, dict(rule="puct", num_simulations=800)),
    ("9x9 gumbel 32", 9, dict(rule="gumbel", num_simulations=32)),
    ("19x19 puct 800", 19, dict(rule="puct", num_simulations=800)),
    ("19x19 gumbel 32", 19, dict(rule="gumbel", num_simulations=32)),
]


class Evaluator:
    """Uniform priors and zero values; keeps the time spent inside it."""

    def __init__(self):
        self.wall = 0.0
        self.cpu = 0.0
        self.calls = 0

    def __call__(self, planes, masks):
        w, c = time.perf_counter(), time.thread_time()
        out = np.zeros(masks.shape, np.float32), np.zeros(len(masks), np.float32)
        self.wall += time.perf_counter() - w
        self.cpu += time.thread_time() - c
        self.calls += 1
        return out


def roots(size, count, seed):
    rng = np.random.default_rng(seed)
    games = []
    for _ in range(count):
        g = vg.Game(size, size)
        for _ in range(int(rng.integers(2, 8))):
            g.apply_action(int(rng.choice(g.legal_action_indices())))
        games.append(g)
    return games


def run(size, options, roots_count, moves, leaves, planes, threads, seed):
    """One repetition: an untimed move, then `moves` timed ones."""
    games = roots(size, roots_count, seed)
    extra = {"threads": threads} if threads > 1 else {}
    search = vg.TreeSearch(size, size, leaves_per_tree=leaves, planes=planes, seed=seed, **options, **extra)
    sims = 0
    wall = cpu = eval_wall = eval_cpu = 0.0
    for move in range(moves + 1):
        ev = Evaluator()
        w, c = time.perf_counter(), time.thread_time()
        result = search.search(games, ev)
        w, c = time.perf_counter() - w, time.thread_time() - c
        if move > 0:
            sims += int(result["simulations"].sum())
            wall, cpu = wall + w, cpu + c
            eval_wall, eval_cpu = eval_wall + ev.wall, eval_cpu + ev.cpu
        for g, a in zip(games, result["actions"]):
            g.apply_action(int(a))
        games = [roots(size, 1, seed + 1000 * move + i)[0] if g.is_over() else g for i, g in enumerate(games)]
    return dict(
        sims_per_s=sims / wall,
        sims_per_cpu_s=sims / cpu,
        eval_share=eval_cpu / cpu,
        tree_ns=(cpu - eval_cpu) / sims * 1e9,
        tree_bytes=statistics.mean(search.tree_bytes()),
        pool_bytes=statistics.mean(search.pool_bytes()),
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--moves", type=int, default=3, help="timed moves per repetition")
    parser.add_argument("--roots", type=int, default=64)
    parser.add_argument("--leaves", type=int, default=1, help="leaves per tree and round")
    parser.add_argument("--threads", type=int, default=1, help="TreeSearch threads (the CPU columns count the"
                        " calling thread only)")
    parser.add_argument("--planes", choices=["float32", "uint8"], default="float32")
    parser.add_argument("--only", default="", help="configurations whose name contains this")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.quick:
        args.reps, args.moves, args.roots = 1, 1, 8
    configs = [c for c in CONFIGS if args.only in c[0]]
    samples = {name: [] for name, _, _ in configs}
    for rep in range(args.reps):
        for name, size, options in configs:
            samples[name].append(run(size, options, args.roots, args.moves, args.leaves, args.planes, args.threads,
                                     seed=rep + 1))
    print(f"{args.roots} roots, {args.leaves} leaf/tree/round, {args.planes} planes, {args.threads} thread(s), "
          f"median of {args.reps} x {args.moves} moves")
    print(f"{'configuration':<18} {'sims/s wall':>11} {'sims/CPU-s':>10} {'evaluator':>9} {'tree ns/sim':>11} "
          f"{'tree KiB':>9} {'pool KiB':>9}")
    for name, _, _ in configs:
        med = {k: statistics.median(s[k] for s in samples[name]) for k in samples[name][0]}
        print(f"{name:<18} {med['sims_per_s']:>11,.0f} {med['sims_per_cpu_s']:>10,.0f} {med['eval_share']:>9.1%} "
              f"{med['tree_ns']:>11,.0f} "
              f"{med['tree_bytes'] / 1024:>9,.0f} {med['pool_bytes'] / 1024:>9,.0f}")


if __name__ == "__main__":
    main()
