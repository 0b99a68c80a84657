"""Batched stepping from Python: GameBatch against a Python loop over Game
objects, and the PettingZoo adapter against PettingZoo's go_v5.

Every cell plays random legal actions and writes observations and legal masks
every step. Repetitions are interleaved (one of every cell, then the next) so
that load from other processes falls on all cells alike; figures are medians,
ratios are throughput over the baseline's (the Python loop with the same
observation type, or go_v5).

    python bench/batch_python_bench.py                 # about 2 minutes
    python bench/batch_python_bench.py --quick         # smoke run
"""

from __future__ import annotations

import argparse
import os
import platform
import random
import statistics
import sys
import time
import warnings

import numpy as np

import vexlor_go as vg

PLANES = vg.TOTAL_INPUT_PLANES


# --- batch cells: moves per second over a batch of games ------------------------------


def batch_cell(n: int, size: int, threads: int, dtype):
    batch = vg.GameBatch(n, size, size, threads=threads, seed=1)
    obs = np.zeros((n, PLANES, size, size), dtype)
    mask = np.zeros((n, size * size + 1), np.uint8)
    actions = np.zeros(n, np.int64)
    reward = np.zeros(n, np.float32)
    term, trunc = np.zeros(n, np.bool_), np.zeros(n, np.bool_)

    def step():
        batch.sample_actions(out=actions)
        batch.step(actions, obs=obs, mask=mask, reward=reward, terminated=term, truncated=trunc)

    return step


def loop_cell(n: int, size: int, dtype):
    """The same work as a Python loop over Game objects with the batched writers."""
    games = [vg.Game(size, size) for _ in range(n)]
    obs = np.zeros((n, PLANES, size, size), dtype)
    mask = np.zeros((n, size * size + 1), np.uint8)
    rng = np.random.default_rng(1)
    vg.Game.legal_action_mask_batch(games, mask)

    def step():
        actions = (rng.random(mask.shape) * mask).argmax(1).tolist()
        for i, g in enumerate(games):
            g.apply_action(actions[i])
            if g.is_over():
                games[i] = vg.Game(size, size)
        vg.Game.encode_planes_batch(games, obs)
        vg.Game.legal_action_mask_batch(games, mask)

    return step


def measure(step, moves_per_call: int, budget: float) -> tuple[float, float]:
    """Moves per wall-clock second and per CPU second of this process (all its threads)."""
    prepare = getattr(step, "prepare", None)
    if prepare:
        prepare()
    step()  # warm
    calls, start, cpu = 0, time.perf_counter(), time.process_time()
    while (elapsed := time.perf_counter() - start) < budget:
        step()
        calls += 1
    cpu_elapsed = max(time.process_time() - cpu, 1e-9)
    return calls * moves_per_call / elapsed, calls * moves_per_call / cpu_elapsed


# --- AEC cells: steps per second through the same AEC calls ---------------------------


def aec_cell(make_env, seed: int):
    env = make_env()
    rng = random.Random(seed)
    state = {"iter": None}
    size = env.unwrapped._N
    # go_v5 keeps its board size in module globals, which the last environment made sets.
    own_globals = getattr(env.unwrapped, "_overwrite_go_global_variables", None)

    def restart():
        env.reset(seed=seed)
        state["iter"] = iter(env.agent_iter())

    restart()

    def step():
        # One AEC step as users write it: last(), choose from the mask, step().
        try:
            next(state["iter"])
        except StopIteration:
            restart()
            next(state["iter"])
        observation, reward, termination, truncation, info = env.last()
        if termination or truncation:
            action = None
        else:
            legal = np.flatnonzero(observation["action_mask"])
            action = int(legal[rng.randrange(len(legal))])
        env.step(action)

    step.prepare = (lambda: own_globals(size)) if own_globals else None
    return step


def load_go_v5():
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            from pettingzoo.classic import go_v5
        return go_v5
    except ImportError as e:
        print(f"PettingZoo go_v5 unavailable ({e}): skipped", file=sys.stderr)
        return None


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--games", type=int, default=1024)
    p.add_argument("--sizes", type=int, nargs="+", default=[9, 19])
    p.add_argument("--reps", type=int, default=5)
    p.add_argument("--budget", type=float, default=1.0, help="seconds per cell and repetition")
    p.add_argument("--quick", action="store_true", help="2 short repetitions")
    p.add_argument("--sections", nargs="+", default=["batch", "aec"], choices=["batch", "aec"])
    args = p.parse_args()
    if args.quick:
        args.reps, args.budget = 2, 0.25

    cells: dict[tuple[str, str], tuple] = {}
    for size in args.sizes:
        if "batch" in args.sections:
            for dtype in (np.float32, np.uint8):
                tag = f"{size}x{size} {np.dtype(dtype).name}"
                for t in (1, 2):
                    cells[("batch", f"{tag} GameBatch threads={t}")] = (batch_cell(args.games, size, t, dtype), args.games)
                cells[("batch", f"{tag} Python loop over Game")] = (loop_cell(args.games, size, dtype), args.games)
        if "aec" in args.sections:
            from vexlor_go_envs import pettingzoo as ours

            cells[("aec", f"{size}x{size} vexlor_go_envs.pettingzoo")] = (
                aec_cell(lambda s=size: ours.env(board_size=s), 1), 1)
            go_v5 = load_go_v5()
            if go_v5 is not None:
                cells[("aec", f"{size}x{size} PettingZoo go_v5")] = (aec_cell(lambda s=size: go_v5.env(board_size=s), 1), 1)

    results: dict[tuple[str, str], list[tuple[float, float]]] = {k: [] for k in cells}
    for rep in range(args.reps):
        for key, (step, per_call) in cells.items():
            results[key].append(measure(step, per_call, args.budget))
        print(f"repetition {rep + 1}/{args.reps} done", file=sys.stderr)

    def median(key, k):
        return statistics.median(r[k] for r in results[key])

    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"# Batched stepping from Python ({time.strftime('%Y-%m-%d %H:%M')}, {platform.processor() or platform.machine()}, "
          f"{os.cpu_count()} cores, load {load:.1f}, Python {platform.python_version()}, batch of {args.games})")
    print()
    print("Per CPU second counts the CPU time of every thread of the process: on a loaded machine it")
    print("tracks what an idle one would give, for one thread; wall-clock rates show what threads add.")
    print()
    print("| cell | moves/s (wall, median) | spread | ratio | moves per CPU second | ratio |")
    print("|---|---:|---:|---:|---:|---:|")
    for key in cells:
        section, name = key
        walls = [r[0] for r in results[key]]
        med, cpu = median(key, 0), median(key, 1)
        spread = (max(walls) - min(walls)) / 2 / med if med else float("nan")
        words = name.split()
        base = (f"{words[0]} {words[1]} Python loop over Game" if section == "batch" else f"{words[0]} PettingZoo go_v5")
        ratio = cpu_ratio = ""
        if (section, base) in results and base != name:
            ratio = f"{med / median((section, base), 0):.1f}x"
            cpu_ratio = f"{cpu / median((section, base), 1):.1f}x"
        print(f"| {name} | {med:,.0f} | {spread:.0%} | {ratio} | {cpu:,.0f} | {cpu_ratio} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
