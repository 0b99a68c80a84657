#!/usr/bin/env python3
"""Side-by-side benchmarks of vexlor_go against pgx, mctx, OpenSpiel and PettingZoo.

    pip install ".[bench]"
    python bench/peers/run.py [--quick] [--reps N] [--sections batch search openspiel pettingzoo]

One process, one table per section, medians of interleaved repetitions (rep 1 of
every cell, then rep 2, ...), so that load from other processes falls on all
engines alike. A peer or a vexlor class that is missing is reported and skipped.
See bench/README.md for what each row measures.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from typing import Callable

os.environ.setdefault("JAX_PLATFORMS", "cpu")  # before jax is imported: no accelerator probing

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from python_bench import (  # noqa: E402  (the shared harness of bench/python_bench.py)
    Cell,
    failure,
    finish,
    fmt,
    import_vexlor,
    machine_info,
    pettingzoo_player,
    random_cell,
    run_interleaved,
    table,
)

perf_counter = time.perf_counter
KOMI = 7.5
C_PUCT = 1.25  # AlphaZero's c_init, mctx's pb_c_init and vexlor's default alike


def ratio(ours: float | None, theirs: float | None) -> str:
    if not ours or not theirs:
        return "n/a"
    return f"{ours / theirs:,.1f}x"


def timed_calls(fn: Callable[[], float], budget: float) -> dict:
    """Calls fn (which returns the work units it did) until `budget` seconds have passed, at least once."""
    done = 0.0
    t0 = perf_counter()
    while True:
        done += fn()
        elapsed = perf_counter() - t0
        if elapsed >= budget:
            return {"rate": done / elapsed}


class Skipped(Exception):
    pass


def skipped(why: str) -> Callable[[float], dict]:
    def run(budget):
        raise Skipped(why)

    return run


class Lazy:
    """A cell's run, built (and for jax compiled, with one untimed call) by prepare(); at most max_reps timed."""

    def __init__(self, build: Callable[[], Callable[[float], dict]], max_reps: int | None = None):
        self.build, self.run, self.max_reps, self.reps = build, None, max_reps, 0

    def prepare(self) -> None:
        if self.run is None:
            self.run = self.build()

    def __call__(self, budget: float) -> dict:
        self.prepare()
        self.reps += 1
        if self.max_reps is not None and self.reps > self.max_reps:
            return {}
        return self.run(budget)


def prepare(cells: list[Cell]) -> None:
    for c in cells:
        if isinstance(c.run, Lazy) and not c.error:
            try:
                c.run.prepare()
            except Exception as e:  # a peer failing to build is reported in its row, not fatal
                c.error = f"{type(e).__name__}: {e}"


def why(cell: Cell | None) -> str:
    error = (cell.error if cell else None) or "no samples"
    return error.replace("Skipped: ", "skipped: ", 1) if error.startswith("Skipped: ") else failure(error)


def shown(cell: Cell | None, metric: str = "rate") -> str:
    value = cell.median(metric) if cell else None
    return fmt(value) if value else why(cell)


# --- peers ----------------------------------------------------------------------


def import_jax():
    import jax
    import jax.numpy as jnp

    return jax, jnp


def pgx_env(n: int):
    import pgx

    return pgx.make(f"go_{n}x{n}")


def pgx_random_steps(n: int, batch: int, seed: int):
    """pgx Go under jit + vmap with its auto-reset wrapper: one call samples a legal action per game and steps."""
    jax, jnp = import_jax()
    from pgx.experimental import auto_reset

    env = pgx_env(n)
    step_one = auto_reset(env.step, env.init)

    def step(state, key):
        key, k_act, k_step = jax.random.split(key, 3)
        logits = jnp.where(state.legal_action_mask, 0.0, -jnp.inf)
        actions = jax.random.categorical(k_act, logits, axis=-1)
        state = jax.vmap(step_one)(state, actions, jax.random.split(k_step, batch))
        return state, key

    step = jax.jit(step)
    key = jax.random.PRNGKey(seed)
    state = jax.jit(jax.vmap(env.init))(jax.random.split(key, batch))
    holder = {"state": state, "key": key}
    for _ in range(2):  # compile, then one step at the working shape
        holder["state"], holder["key"] = step(holder["state"], holder["key"])
    jax.block_until_ready(holder["state"])

    def one():
        holder["state"], holder["key"] = step(holder["state"], holder["key"])
        # what a learner consumes each step: observations and masks, ready
        jax.block_until_ready((holder["state"].observation, holder["state"].legal_action_mask))
        return batch

    return lambda budget: timed_calls(one, budget)


def pgx_roots(n: int, batch: int, moves: int, seed: int):
    """Root states a few seeded random moves into the game, as a batched pgx state."""
    jax, jnp = import_jax()
    env = pgx_env(n)
    state = jax.jit(jax.vmap(env.init))(jax.random.split(jax.random.PRNGKey(seed), batch))
    step = jax.jit(jax.vmap(env.step))
    key = jax.random.PRNGKey(seed + 1)
    for _ in range(moves):
        key, sub = jax.random.split(key)
        logits = jnp.where(state.legal_action_mask, 0.0, -jnp.inf)
        # no pass, so that every root is a live game
        logits = logits.at[:, -1].set(-jnp.inf)
        state = step(state, jax.random.categorical(sub, logits, axis=-1))
    return env, state


def mctx_search(n: int, batch: int, sims: int, rule: str, seed: int):
    """mctx's muzero_policy (PUCT) or gumbel_muzero_policy over pgx, with a trivial evaluator, jit-compiled."""
    jax, jnp = import_jax()
    import mctx

    env, roots = pgx_roots(n, batch, 4, seed)
    lowest = jnp.finfo(jnp.float32).min

    def uniform_logits(mask):
        return jnp.where(mask, 0.0, lowest)

    def recurrent_fn(params, rng_key, action, state):
        mover = state.current_player
        state = jax.vmap(env.step)(state, action)
        out = mctx.RecurrentFnOutput(
            reward=state.rewards[jnp.arange(batch), mover],
            discount=jnp.where(state.terminated, 0.0, -1.0),
            prior_logits=uniform_logits(state.legal_action_mask),
            value=jnp.zeros(batch),
        )
        return out, state

    def search(state, key):
        root = mctx.RootFnOutput(
            prior_logits=uniform_logits(state.legal_action_mask), value=jnp.zeros(batch), embedding=state
        )
        common = dict(params=None, rng_key=key, root=root, recurrent_fn=recurrent_fn, num_simulations=sims,
                      invalid_actions=~state.legal_action_mask)
        if rule == "puct":
            out = mctx.muzero_policy(**common, pb_c_init=C_PUCT)
        else:
            out = mctx.gumbel_muzero_policy(**common, max_num_considered_actions=16)
        return out.action, out.action_weights

    holder = {"key": jax.random.PRNGKey(seed)}
    search = jax.jit(search).lower(roots, holder["key"]).compile()  # ahead of time: no search spent on it

    def one():
        holder["key"], sub = jax.random.split(holder["key"])
        jax.block_until_ready(search(roots, sub))
        return batch * sims

    return lambda budget: timed_calls(one, budget)


def openspiel_game(n: int):
    import pyspiel

    return pyspiel, pyspiel.load_game("go", {"board_size": n, "komi": KOMI})


def openspiel_roots(game, count: int, moves: int, seed: int):
    import random

    rng = random.Random(seed)
    pass_action = game.num_distinct_actions() - 1
    roots = []
    for _ in range(count):
        st = game.new_initial_state()
        for _ in range(moves):
            st.apply_action(rng.choice([a for a in st.legal_actions() if a != pass_action]))
        roots.append(st)
    return roots


def openspiel_cpp_mcts(n: int, sims: int, seed: int):
    """pyspiel.MCTSBot (C++) with PUCT selection and one random rollout per leaf, its cheapest evaluator:
    its bindings accept no evaluator written in Python, and zero rollouts crash it."""
    pyspiel, game = openspiel_game(n)
    evaluator = pyspiel.RandomRolloutEvaluator(1, seed)
    bot = pyspiel.MCTSBot(game, evaluator, C_PUCT, sims, 1000, False, seed, False, pyspiel.ChildSelectionPolicy.PUCT)
    roots = openspiel_roots(game, 4, 4, seed)
    turn = {"i": 0}

    def one(evaluator=evaluator):  # the bot only borrows the evaluator: keep it alive with the closure
        bot.step(roots[turn["i"] % len(roots)])
        turn["i"] += 1
        return sims

    one()
    return lambda budget: timed_calls(one, budget)


def openspiel_python_mcts(n: int, sims: int, seed: int):
    """open_spiel.python.algorithms.mcts.MCTSBot with PUCT and a trivial evaluator (zero value, uniform prior)."""
    import numpy as np
    from open_spiel.python.algorithms import mcts

    _, game = openspiel_game(n)

    class Trivial(mcts.Evaluator):
        def evaluate(self, state):
            return np.zeros(2)

        def prior(self, state):
            legal = state.legal_actions()
            p = 1.0 / len(legal)
            return [(a, p) for a in legal]

    bot = mcts.MCTSBot(game, C_PUCT, sims, Trivial(), solve=False, random_state=np.random.RandomState(seed),
                       child_selection_fn=mcts.SearchNode.puct_value)
    roots = openspiel_roots(game, 4, 4, seed)
    turn = {"i": 0}

    def one():
        bot.step(roots[turn["i"] % len(roots)])
        turn["i"] += 1
        return sims

    return lambda budget: timed_calls(one, budget)


# --- vexlor ------------------------------------------------------------------------


def vexlor_batch_steps(vx, n: int, batch: int, threads: int, seed: int):
    """GameBatch: sample a legal action per game in C++, step them all, observations and masks into our buffers."""
    import numpy as np

    if not hasattr(vx, "GameBatch"):
        return skipped("vexlor_go.GameBatch is not in this build")
    b = vx.GameBatch(batch, n, n, komi=KOMI, threads=threads, seed=seed)
    area = n * n
    actions = np.empty(batch, np.int64)
    obs = np.empty((batch, 17, n, n), np.bool_)
    mask = np.empty((batch, area + 1), np.bool_)
    reward = np.empty(batch, np.float32)
    terminated = np.empty(batch, np.bool_)
    truncated = np.empty(batch, np.bool_)

    def one():
        b.sample_actions(out=actions)
        b.step(actions, obs=obs, mask=mask, reward=reward, terminated=terminated, truncated=truncated)
        return batch

    one()
    return lambda budget: timed_calls(one, budget)


def vexlor_roots(vx, n: int, count: int, moves: int, seed: int):
    import random

    rng = random.Random(seed)
    area = n * n
    roots = []
    for _ in range(count):
        g = vx.Game(n, n)
        for _ in range(moves):
            g.apply_action(rng.choice([a for a in g.legal_action_indices() if a != area]))
        roots.append(g)
    return roots


def vexlor_search(vx, n: int, batch: int, sims: int, rule: str, seed: int, threads: int = 1):
    """TreeSearch over `batch` roots with a trivial NumPy evaluator (zero logits, zero values), no tree reuse."""
    import numpy as np

    if not hasattr(vx, "TreeSearch"):
        return skipped("vexlor_go.TreeSearch is not in this build")
    options = {"threads": threads} if threads > 1 else {}
    try:
        search = vx.TreeSearch(n, n, rule=rule, num_simulations=sims, seed=seed, reuse_tree=False, **options)
    except TypeError:
        return skipped("vexlor_go.TreeSearch has no threads option in this build")
    roots = vexlor_roots(vx, n, batch, 4, seed)
    logits = np.zeros((batch, n * n + 1), np.float32)
    values = np.zeros(batch, np.float32)
    spent = {"eval": 0.0}

    def evaluate(planes, masks):
        t0 = perf_counter()
        k = len(planes)
        out = logits[:k], values[:k]
        spent["eval"] += perf_counter() - t0
        return out

    def one():
        search.reset()  # a fresh tree every time, as mctx builds one: the same roots are searched again
        search.search(roots, evaluate)
        return batch * sims

    one()

    def run(budget):
        spent["eval"] = 0.0
        t0 = perf_counter()
        result = timed_calls(one, budget)
        result["eval_share"] = spent["eval"] / (perf_counter() - t0)
        if hasattr(search, "tree_bytes"):  # nodes and edges in use, per tree, after the last search
            result["tree_bytes"] = statistics.median(search.tree_bytes())
        return result

    return run


def vexlor_adapter():
    try:
        import numpy as np
        from vexlor_go_envs import pettingzoo as adapter
    except ImportError as e:
        return None, f"{type(e).__name__}: {e}"
    return (adapter, np), None


# --- sections ------------------------------------------------------------------------


def batch_section(vx, sizes, args) -> tuple[list[Cell], Callable[[], str]]:
    batch = args.batch
    cells = []
    for n in sizes:
        cells.append(Cell(("pgx", n), Lazy(lambda n=n: pgx_random_steps(n, batch, args.seed))))
        for t in (1, 2):
            cells.append(Cell(("vexlor", n, t), Lazy(lambda n=n, t=t: vexlor_batch_steps(vx, n, batch, t, args.seed))))

    def report():
        by = {c.key: c for c in cells}
        rows = []
        for n in sizes:
            theirs = by[("pgx", n)]
            rows.append([f"{n}x{n}", "pgx jit+vmap, auto_reset", shown(theirs), theirs.spread("rate"), ""])
            for t in (1, 2):
                c = by[("vexlor", n, t)]
                rows.append([f"{n}x{n}", f"vexlor GameBatch, threads={t}", shown(c), c.spread("rate"),
                             ratio(c.median("rate"), theirs.median("rate"))])
        return (table(["board", "engine", "steps/s", "spread", "vexlor / pgx"], rows)
                + f"\n\nBatch {batch}; a uniformly random legal action per game each step, drawn inside the"
                " engine (in the jitted function for pgx, `sample_actions` for vexlor); games that end restart"
                " (pgx.experimental.auto_reset; vexlor's autoreset); observations and legal masks of every game"
                " produced every step. steps/s counts single-game steps.")

    return cells, report


def search_section(vx, sizes, args) -> tuple[list[Cell], Callable[[], str]]:
    batch = args.roots
    configs = [("puct", args.puct_sims), ("gumbel", args.gumbel_sims)]
    cells = []
    for n in sizes:
        for rule, sims in configs:
            slow = rule == "puct" and n >= 19 and not args.quick
            run = Lazy(lambda n=n, rule=rule, sims=sims: mctx_search(n, batch, sims, rule, args.seed),
                       max_reps=1 if slow else None)
            cells.append(Cell(("mctx", n, rule), run))
            for t in (1, 2):
                cells.append(Cell(("vexlor", n, rule, t), Lazy(lambda n=n, rule=rule, sims=sims, t=t:
                                                                  vexlor_search(vx, n, batch, sims, rule, args.seed, t))))

    def report():
        by = {c.key: c for c in cells}
        rows = []
        for n in sizes:
            for rule, sims in configs:
                for t in (1, 2):
                    theirs, ours = by[("mctx", n, rule)], by[("vexlor", n, rule, t)]
                    share, tree = ours.median("eval_share"), ours.median("tree_bytes")
                    rows.append([f"{n}x{n}", f"{'PUCT' if rule == 'puct' else 'Gumbel'} {sims}, threads={t}",
                                 shown(theirs), theirs.spread("rate"), shown(ours), ours.spread("rate"),
                                 "n/a" if share is None else f"{100 * share:.1f}%",
                                 "n/a" if tree is None else fmt(tree / 1024, 1),
                                 ratio(ours.median("rate"), theirs.median("rate"))])
        return (table(["board", "rule, simulations", "mctx+pgx sims/s", "spread", "vexlor sims/s", "spread",
                       "vexlor evaluator share", "vexlor KiB/tree", "vexlor / mctx"], rows)
                + f"\n\n{batch} roots, each 4 seeded random placements into the game; one search per call, no"
                " tree reuse; mctx `muzero_policy` / `gumbel_muzero_policy` (16 considered actions) with pgx's"
                " Go as the model, jit-compiled (compile time and the first search excluded); a trivial"
                " evaluator (uniform priors over legal actions, value 0) on both sides: vexlor's is a Python"
                " callable returning preallocated zero arrays, and 'evaluator share' is the wall time spent"
                " inside it; 'KiB/tree' is the median tree's nodes and edges in use after a search (`tree_bytes()`)."
                " sims/s = roots x simulations / wall time of one search."
                + ("" if args.quick else " mctx PUCT on 19x19 takes about a minute a search: one rep only."))

    return cells, report


def openspiel_section(vx, args) -> tuple[list[Cell], Callable[[], str]]:
    n, sims, py_sims, many = 9, args.puct_sims, args.python_mcts_sims, args.roots
    cells = [
        Cell(("os-cpp",), Lazy(lambda: openspiel_cpp_mcts(n, sims, args.seed))),
        Cell(("os-cpp-1",), Lazy(lambda: openspiel_cpp_mcts(n, 1, args.seed))),
        Cell(("os-py",), Lazy(lambda: openspiel_python_mcts(n, py_sims, args.seed))),
        Cell(("vexlor", 1), Lazy(lambda: vexlor_search(vx, n, 1, sims, "puct", args.seed))),
        Cell(("vexlor", many), Lazy(lambda: vexlor_search(vx, n, many, sims, "puct", args.seed))),
        Cell(("vexlor", many, 2), Lazy(lambda: vexlor_search(vx, n, many, sims, "puct", args.seed, 2))),
    ]

    def report():
        by = {c.key: c for c in cells}
        ours = [by[("vexlor", *key)].median("rate") for key in ((1,), (many,), (many, 2))]
        rows = []
        for label, c in [(f"OpenSpiel C++ MCTSBot, PUCT {sims}, 1 random rollout per leaf", by[("os-cpp",)]),
                         ("the same with 1 simulation: about one playout", by[("os-cpp-1",)]),
                         (f"OpenSpiel Python MCTSBot, PUCT {py_sims}, trivial evaluator", by[("os-py",)])]:
            rate = c.median("rate")
            rows.append([label, shown(c), c.spread("rate")] + [ratio(o, rate) for o in ours])
        for key in ((1,), (many,), (many, 2)):
            c = by[("vexlor", *key)]
            threads = f", threads={key[1]}" if len(key) > 1 else ""
            rows.append([f"vexlor TreeSearch, PUCT {sims}, {key[0]} root{'s' if key[0] > 1 else ''}{threads},"
                         " trivial evaluator", shown(c), c.spread("rate"), "", "", ""])
        return (table(["engine (9x9)", "sims/s", "spread", "vexlor 1 root / it", f"vexlor {many} roots / it",
                       f"vexlor {many} roots, threads=2 / it"], rows)
                + "\n\nOpenSpiel searches one tree at a time, one leaf per simulation. Its C++ bot accepts no"
                " evaluator written in Python (pyspiel.Evaluator has no constructor there) and crashes with zero"
                " rollouts, so it runs its cheapest evaluator, one uniformly random playout to the end of the"
                " game per leaf. Its 1-simulation row is a search that is nearly all one playout: where it"
                " runs at about the rate of the 800-simulation row, the playout is nearly all of the bot's time"
                " per simulation and the ratio against that row says little about its tree. The Python bot runs a truly trivial evaluator"
                " (value 0, uniform prior). Roots are 4 seeded random placements into the game; vexlor runs no"
                " tree reuse and calls its evaluator from Python.")

    return cells, report


class NullAEC:
    """Stands in for go_v5's module: env() gives an environment that does no work, to time the AEC loop itself."""

    @staticmethod
    def env(board_size: int, komi: float):
        import numpy as np

        class Env:
            def __init__(self):
                obs = {"observation": np.zeros((board_size, board_size, 17), bool),
                       "action_mask": np.ones(board_size * board_size + 1, np.int8)}
                self.result = (obs, 0.0, False, False, {})

            def reset(self, seed=None):
                pass

            def last(self):
                return self.result

            def step(self, action):
                pass

        return Env()


def pettingzoo_section(sizes, args) -> tuple[list[Cell], Callable[[], str]]:
    cells = []
    try:
        import numpy as np
        from pettingzoo.classic import go_v5

        peer, peer_why = (go_v5, np), None
    except ImportError as e:
        peer, peer_why = None, f"{type(e).__name__}: {e}"
    adapter, adapter_why = vexlor_adapter()
    for n in sizes:
        for key, handle, reason in [("go_v5", peer, peer_why), ("adapter", adapter, adapter_why),
                                    ("harness", (NullAEC, np) if peer else None, peer_why)]:
            if handle:
                cells.append(Cell((key, n), random_cell(pettingzoo_player(handle, n)[0])))
            else:
                cells.append(Cell((key, n), skipped(f"cannot import it ({reason})")))

    def report():
        by = {c.key: c for c in cells}
        rows = []
        for n in sizes:
            theirs, ours, floor = by[("go_v5", n)], by[("adapter", n)], by[("harness", n)]
            rows.append([f"{n}x{n}", shown(theirs, "steps_s"), theirs.spread("steps_s"), shown(ours, "steps_s"),
                         ours.spread("steps_s"), ratio(ours.median("steps_s"), theirs.median("steps_s")),
                         shown(floor, "steps_s"), ratio(floor.median("steps_s"), theirs.median("steps_s"))])
        return (table(["board", "go_v5 steps/s", "spread", "vexlor_go_envs adapter steps/s", "spread",
                       "adapter / go_v5", "the loop alone steps/s", "loop alone / go_v5"], rows)
                + "\n\nThe same AEC loop on both (bench/python_bench.py's): `env.last()`, a seeded random choice"
                " among the actions of `observation['action_mask']`, `env.step()`, until the game ends (the"
                " harness stops a game after 3n² steps). 'The loop alone' runs it on an environment that does"
                " nothing (a fixed observation with every action legal, a step that returns at once): no"
                " environment can be faster through these calls.")

    return cells, report


# --- main --------------------------------------------------------------------------------


def versions() -> str:
    import importlib.metadata

    names = ["jax", "jaxlib", "pgx", "mctx", "open_spiel", "pettingzoo", "gymnasium", "numpy"]
    parts = []
    for name in names:
        try:
            parts.append(f"{name} {importlib.metadata.version(name)}")
        except importlib.metadata.PackageNotFoundError:
            parts.append(f"{name} not installed")
    return "- " + ", ".join(parts)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smoke run: small batches and simulation counts, 1 rep")
    ap.add_argument("--reps", type=int, help="interleaved repetitions (default 3; 1 with --quick)")
    ap.add_argument("--budget", type=float, help="seconds per cell and rep (default 3; 0.2 with --quick)")
    ap.add_argument("--sizes", type=int, nargs="+", default=[9, 19], choices=[9, 19])
    ap.add_argument("--batch", type=int, help="games stepped at once (default 1024; 64 with --quick)")
    ap.add_argument("--roots", type=int, help="roots searched at once (default 64; 4 with --quick)")
    ap.add_argument("--puct-sims", type=int, help="PUCT simulations per search (default 800; 16 with --quick)")
    ap.add_argument("--gumbel-sims", type=int, help="Gumbel simulations per search (default 32; 8 with --quick)")
    ap.add_argument("--python-mcts-sims", type=int,
                    help="simulations of OpenSpiel's Python MCTS (default: --puct-sims)")
    ap.add_argument("--seed", type=int, default=2024)
    ap.add_argument("--sections", nargs="+", default=["batch", "search", "openspiel", "pettingzoo"],
                    choices=["batch", "search", "openspiel", "pettingzoo"])
    args = ap.parse_args(argv)
    q = args.quick
    reps = args.reps or (1 if q else 3)
    budget = args.budget or (0.2 if q else 3.0)
    args.batch = args.batch or (64 if q else 1024)
    args.roots = args.roots or (4 if q else 64)
    args.puct_sims = args.puct_sims or (16 if q else 800)
    args.gumbel_sims = args.gumbel_sims or (8 if q else 32)
    args.python_mcts_sims = args.python_mcts_sims or args.puct_sims
    if min(reps, args.batch, args.roots, args.puct_sims, args.gumbel_sims, args.python_mcts_sims) < 1 or budget <= 0:
        ap.error("counts must be positive and --budget > 0")
    sizes = list(dict.fromkeys(args.sizes))
    started = perf_counter()

    vx = import_vexlor()
    out = ["# vexlor_go against its peers", ""]
    out += machine_info(vx, {}, {})
    out += [versions(), f"- mode: {'quick' if q else 'full'}; {reps} interleaved reps, {budget} s per cell and rep"
            f" (at least one call), medians reported; seed {args.seed}", ""]
    print("\n".join(out), flush=True)

    sections = {
        "batch": ("Batch stepping: random legal actions, observations and masks every step",
                  lambda: batch_section(vx, sizes, args)),
        "search": (f"Batched search: {args.roots} roots, trivial evaluator", lambda: search_section(vx, sizes, args)),
        "openspiel": ("Search against OpenSpiel's MCTS bots (9x9)", lambda: openspiel_section(vx, args)),
        "pettingzoo": ("PettingZoo AEC loop", lambda: pettingzoo_section(sizes, args)),
    }
    for name in args.sections:
        title, build = sections[name]
        cells, report = build()
        prepare(cells)  # builds, compiles and runs each once, untimed
        run_interleaved(cells, reps, budget, warmup=False)
        print(f"## {title}\n\n{report()}\n", flush=True)

    return finish(started)


if __name__ == "__main__":
    sys.exit(main())
