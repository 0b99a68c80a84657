#!/usr/bin/env python3
"""Python-level benchmarks of vexlor_go against the Go engines users would pick instead.

    python bench/python_bench.py [--quick] [--reps N] [--sizes 9 19]

Peers: OpenSpiel's Go (C++ behind pybind11) and PettingZoo's go_v5 (NumPy).
A peer that cannot be imported is reported and skipped. Everything runs in one
process; repetitions are interleaved (rep 1 of every cell, then rep 2, ...) so
that load from other processes spreads over all engines alike, and the medians
are reported. Output is Markdown (see bench/README.md for the meaning of rows).
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import gc
import importlib.metadata
import os
import platform
import random
import statistics
import sys
import time
from dataclasses import dataclass, field
from typing import Callable

perf_counter = time.perf_counter

SEARCH_SIZE = 19
SEARCH_MOVES = 150
MEMORY_MOVES = (0, 300)
KOMI = 7.5
QUICK_PETTINGZOO_MAX = 13


# --- engines -------------------------------------------------------------------


def import_vexlor():
    try:
        import vexlor_go
    except ImportError as e:
        sys.exit(f"cannot import vexlor_go ({e}); build it and put it on PYTHONPATH")
    return vexlor_go


def import_peers() -> tuple[dict, dict]:
    """Returns ({name: module handle}, {name: reason it is unavailable})."""
    found, missing = {}, {}
    try:
        import pyspiel

        pyspiel.load_game("go", {"board_size": 9, "komi": KOMI}).new_initial_state().legal_actions()
        found["openspiel"] = pyspiel
    except Exception as e:  # any failure to load or run means: skip this peer
        missing["openspiel"] = f"{type(e).__name__}: {e}"
    try:
        import numpy as np
        from pettingzoo.classic import go_v5

        env = go_v5.env(board_size=9, komi=KOMI)
        env.reset(seed=0)
        env.last()
        found["pettingzoo"] = (go_v5, np)
    except Exception as e:
        missing["pettingzoo"] = f"{type(e).__name__}: {e}"
    return found, missing


def vexlor_new(vx, n: int, superko: bool) -> Callable[[], object]:
    if superko:
        return lambda: vx.Game(n, n)
    return lambda: vx.Game.with_options(n, n, KOMI, n * n // 2, 3 * n * n, False)


def openspiel_game(pyspiel, n: int, max_length: int):
    """OpenSpiel's Go with its length cap set to ours; its default cap (2*n*n) if it refuses."""
    try:
        return pyspiel.load_game("go", {"board_size": n, "komi": KOMI, "max_game_length": max_length})
    except Exception:
        return pyspiel.load_game("go", {"board_size": n, "komi": KOMI})


# Each player factory does its setup when called and returns play(seed) ->
# (steps, hit_cap): one random game, counting the steps of the engine's own loop.


def vexlor_player(vx, n: int, superko: bool):
    new = vexlor_new(vx, n, superko)

    def factory():
        def play(seed):
            choice = random.Random(seed).choice
            g = new()
            steps = 0
            while not g.is_over():
                g.apply_action(choice(g.legal_action_indices()))
                steps += 1
            return steps, steps >= g.max_moves()

        return play

    return factory


def openspiel_player(pyspiel, n: int):
    game = openspiel_game(pyspiel, n, 3 * n * n)
    cap = game.max_game_length()

    def factory():
        def play(seed):
            choice = random.Random(seed).choice
            st = game.new_initial_state()
            steps = 0
            while not st.is_terminal():
                st.apply_action(choice(st.legal_actions()))
                steps += 1
            return steps, steps >= cap

        return play

    return factory, cap


def pettingzoo_player(handle, n: int):
    go_v5, np = handle
    cap = 3 * n * n  # go_v5 has no cap of its own: the harness stops the game here

    def factory():
        # go_v5 keeps the board size in module globals, set when an env is
        # built: build it right before use, after the other size's cell ran.
        env = go_v5.env(board_size=n, komi=KOMI)

        def play(seed):
            choice = random.Random(seed).choice
            env.reset(seed=seed)
            steps = 0
            while steps < cap:
                obs, _, term, trunc, _ = env.last()
                if term or trunc:
                    return steps, False
                env.step(choice(np.flatnonzero(obs["action_mask"])))
                steps += 1
            return steps, True

        return play

    return factory, cap


# --- timing helpers --------------------------------------------------------------


def seconds_per_call(fn: Callable[[], object], budget: float) -> float:
    """Calls fn for about `budget` seconds (at least once); seconds per call."""
    calls, batch = 0, 1
    t0 = perf_counter()
    while True:
        for _ in range(batch):
            fn()
        calls += batch
        elapsed = perf_counter() - t0
        if elapsed >= budget:
            return elapsed / calls
        per_call = elapsed / calls
        batch = max(1, min(calls, int((budget - elapsed) / per_call) + 1))


@dataclass
class Cell:
    """One measured configuration; run(budget) -> {metric: value} for one rep."""

    key: tuple
    run: Callable[[float], dict]
    samples: list = field(default_factory=list)
    error: str | None = None

    def rep(self, budget: float, keep: bool = True) -> None:
        if self.error:
            return
        gc.collect()
        try:
            result = self.run(budget)
        except Exception as e:  # a peer failing mid-run is reported, not fatal
            self.error = f"{type(e).__name__}: {e}"
            return
        if keep:
            self.samples.append(result)

    def median(self, metric: str) -> float | None:
        values = [s[metric] for s in self.samples if s.get(metric) is not None]
        return statistics.median(values) if values else None

    def spread(self, metric: str) -> str:
        values = [s[metric] for s in self.samples if s.get(metric) is not None]
        if len(values) < 2:
            return "n/a"
        return f"±{50 * (max(values) - min(values)) / statistics.median(values):.0f}%"


def run_interleaved(cells: list[Cell], reps: int, budget: float, warmup: bool) -> None:
    if warmup:
        for c in cells:
            c.rep(min(budget, 0.05), keep=False)
    for _ in range(reps):
        for c in cells:
            c.rep(budget)


def failure(error: str) -> str:
    return error if error.startswith("skipped") else f"failed: {error}"


def fmt(x: float | None, digits: int = 0) -> str:
    if x is None:
        return "n/a"
    return f"{x:,.{digits}f}"


def ratio(ours: float | None, theirs: float | None) -> str:
    if not ours or not theirs:
        return "n/a"
    return f"{ours / theirs:.2f}"


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


# --- 1. random-play loop -------------------------------------------------------------


def random_cell(factory) -> Callable[[float], dict]:
    def run(budget):
        play = factory()
        steps = games = capped = 0
        t0 = perf_counter()
        while True:
            s, hit_cap = play(games)
            steps += s
            games += 1
            capped += hit_cap
            elapsed = perf_counter() - t0
            if elapsed >= budget:
                break
        return {
            "steps_s": steps / elapsed,
            "games_s": games / elapsed,
            "steps_game": steps / games,
            "capped": capped / games,
        }

    return run


def random_cells(vx, peers, sizes, quick: bool) -> tuple[list[Cell], list[str]]:
    cells, caps = [], []
    for n in sizes:
        cells.append(Cell(("vexlor SK on", n), random_cell(vexlor_player(vx, n, True))))
        cells.append(Cell(("vexlor SK off", n), random_cell(vexlor_player(vx, n, False))))
        caps.append(f"{n}x{n}: vexlor max_moves = {3 * n * n}")
        for name, make, cap_text in (
            ("openspiel", openspiel_player, "OpenSpiel max_game_length = {}"),
            ("pettingzoo", pettingzoo_player, "PettingZoo has no cap; the harness stops a game after {} steps"),
        ):
            if name not in peers:
                continue
            if quick and name == "pettingzoo" and n > QUICK_PETTINGZOO_MAX:
                # one game takes about a second: it alone would blow a smoke run's time
                cell = Cell((name, n), lambda budget: {})
                cell.error = "skipped with --quick"
                cells.append(cell)
                continue
            try:
                factory, cap = make(peers[name], n)
            except Exception as e:  # e.g. a board size the peer does not support
                cell = Cell((name, n), lambda budget: {})
                cell.error = f"{type(e).__name__}: {e}"
                cells.append(cell)
                continue
            cells.append(Cell((name, n), random_cell(factory)))
            caps.append(f"{n}x{n}: " + cap_text.format(cap))
    return cells, caps


def report_random(cells: list[Cell], sizes) -> str:
    by_key = {c.key: c for c in cells}
    rows = []
    for n in sizes:
        on = by_key[("vexlor SK on", n)].median("steps_s")
        off = by_key[("vexlor SK off", n)].median("steps_s")
        for c in cells:
            engine, size = c.key
            if size != n:
                continue
            if c.error:
                rows.append([f"{n}x{n}", engine, failure(c.error)] + [""] * 6)
                continue
            sps = c.median("steps_s")
            rows.append(
                [
                    f"{n}x{n}",
                    engine,
                    fmt(sps),
                    fmt(c.median("games_s"), 1),
                    fmt(c.median("steps_game"), 0),
                    f"{100 * (c.median('capped') or 0):.0f}%",
                    c.spread("steps_s"),
                    ratio(on, sps),
                    ratio(off, sps),
                ]
            )
    header = ["board", "engine", "steps/s", "games/s", "steps/game", "games at cap", "spread",
              "vexlor SK on / this", "vexlor SK off / this"]
    return table(header, rows)


# --- 2. search pattern -------------------------------------------------------------------


def search_position(vx, seed: int):
    """19x19 game after SEARCH_MOVES seeded random placements (no passes)."""
    n = SEARCH_SIZE
    g = vx.Game(n, n)
    rng = random.Random(seed)
    actions = []
    for _ in range(SEARCH_MOVES):
        legal = [a for a in g.legal_action_indices() if a != n * n]
        a = rng.choice(legal)
        g.apply_action(a)
        actions.append(a)
    return g, actions


def stone_counts_vexlor(g, n):
    pieces = [g.get_piece(c, r) for r in range(n) for c in range(n)]
    return pieces.count(1), pieces.count(-1)


def search_cells(vx, peers, seed) -> tuple[list[Cell], list[str]]:
    n = SEARCH_SIZE
    g_on, actions = search_position(vx, seed)
    g_off = vexlor_new(vx, n, False)()
    for a in actions:
        g_off.apply_action(a)
    notes = [f"position: {n}x{n} after {SEARCH_MOVES} seeded random placements (seed {seed})"]
    cells = []

    def vexlor_unmake(g):
        legal = g.legal_action_indices()
        before = hash(g), g.move_count()

        def sweep():
            for a in legal:
                g.apply_action(a)
                g.legal_action_indices()
                g.unmake_move()

        def run(budget):
            t = seconds_per_call(sweep, budget)
            if (hash(g), g.move_count()) != before:
                raise RuntimeError("make/unmake sweep did not restore the game")
            return {"us": 1e6 * t / len(legal), "legal": len(legal)}

        return run

    def vexlor_clone(g):
        legal = g.legal_action_indices()

        def sweep():
            for a in legal:
                c = g.clone()
                c.apply_action(a)
                c.legal_action_indices()

        return lambda budget: {"us": 1e6 * seconds_per_call(sweep, budget) / len(legal), "legal": len(legal)}

    cells.append(Cell(("vexlor SK on", "apply_action + legal_action_indices + unmake_move"), vexlor_unmake(g_on)))
    cells.append(Cell(("vexlor SK off", "apply_action + legal_action_indices + unmake_move"), vexlor_unmake(g_off)))
    cells.append(Cell(("vexlor SK on", "clone + apply_action + legal_action_indices"), vexlor_clone(g_on)))

    if "openspiel" in peers:
        pyspiel = peers["openspiel"]
        st = openspiel_game(pyspiel, n, 3 * n * n).new_initial_state()
        same = True
        for a in actions:
            if a not in st.legal_actions():
                same = False
                break
            st.apply_action(a)
        if not same:  # numbering differs: fall back to OpenSpiel's own seeded game
            rng = random.Random(seed)
            st = openspiel_game(pyspiel, n, 3 * n * n).new_initial_state()
            for _ in range(SEARCH_MOVES):
                st.apply_action(rng.choice([a for a in st.legal_actions() if a != n * n]))
        legal = st.legal_actions()
        # OpenSpiel's str() lists the board; it must be back to this after a sweep
        before = str(st)
        black, white = stone_counts_vexlor(g_on, n)
        notes.append(
            "OpenSpiel replays the same action sequence: "
            + ("yes" if same else "no (it plays its own seeded game)")
            + f"; vexlor has {black} black / {white} white stones and {len(g_on.legal_action_indices())} legal"
            f" actions, OpenSpiel {len(legal)} (its pass is always legal;"
            f" vexlor's pass is not before move {n * n // 2})"
        )

        def os_clone_sweep():
            for a in legal:
                c = st.clone()
                c.apply_action(a)
                c.legal_actions()

        def os_clone(budget):
            return {"us": 1e6 * seconds_per_call(os_clone_sweep, budget) / len(legal), "legal": len(legal)}

        cells.append(Cell(("openspiel", "clone + apply_action + legal_actions"), os_clone))

        player = st.current_player()

        def os_undo_sweep():
            for a in legal:
                st.apply_action(a)
                st.legal_actions()
                st.undo_action(player, a)

        def os_undo(budget):
            t = seconds_per_call(os_undo_sweep, budget)
            if str(st) != before:
                raise RuntimeError("undo_action sweep did not restore the state")
            return {"us": 1e6 * t / len(legal), "legal": len(legal)}

        try:
            probe = st.clone()
            probe.apply_action(legal[0])
            probe.undo_action(player, legal[0])
            if str(probe) != before:
                raise RuntimeError("undo_action does not restore the state")
            cells.append(Cell(("openspiel", "apply_action + legal_actions + undo_action"), os_undo))
        except Exception as e:
            notes.append(f"OpenSpiel undo_action unusable here ({type(e).__name__}: {e}); clone() only")
    notes.append("PettingZoo offers neither undo nor a cheap copy of an env, so it has no row here")
    return cells, notes


def report_search(cells: list[Cell]) -> str:
    ours = next(c for c in cells if c.key[0] == "vexlor SK on" and "unmake" in c.key[1]).median("us")
    os_cells = [c for c in cells if c.key[0] == "openspiel" and not c.error and c.median("us")]
    best_os = min(os_cells, key=lambda c: c.median("us")) if os_cells else None
    rows = []
    for c in cells:
        engine, method = c.key
        if c.error:
            rows.append([engine, method, failure(c.error)] + [""] * 4)
            continue
        us = c.median("us")
        mark = " (OpenSpiel's faster way)" if c is best_os and len(os_cells) > 1 else ""
        rows.append(
            [
                engine,
                method + mark,
                fmt(c.median("legal")),
                fmt(us, 2),
                fmt(us * c.median("legal") / 1000, 2),
                c.spread("us"),
                ratio(us, ours),  # time ratio: >1 means vexlor (unmake) is faster
            ]
        )
    header = ["engine", "per legal move", "legal moves", "µs/iteration", "ms/sweep", "spread",
              "this / vexlor SK on unmake (time)"]
    out = table(header, rows)
    if best_os is not None:
        out += (
            f"\n\nvexlor (SK on, make/unmake) vs OpenSpiel's faster way ({best_os.key[1]}): "
            f"vexlor is {ratio(best_os.median('us'), ours)}x as fast per iteration."
        )
    return out


# --- 3. memory and clone ---------------------------------------------------------------------


class Malloc:
    """glibc's view of the heap: bytes in use, and returning free pages to the system."""

    def __init__(self):
        self.libc = None
        try:
            libc = ctypes.CDLL("libc.so.6")

            class MallInfo2(ctypes.Structure):
                _fields_ = [(name, ctypes.c_size_t) for name in
                            ("arena", "ordblks", "smblks", "hblks", "hblkhd",
                             "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

            libc.mallinfo2.restype = MallInfo2
            libc.mallinfo2()
            libc.malloc_trim.argtypes = [ctypes.c_size_t]
            self.libc = libc
        except (OSError, AttributeError):
            pass

    def in_use(self) -> int | None:
        if self.libc is None:
            return None
        m = self.libc.mallinfo2()
        return m.uordblks + m.hblkhd

    def trim(self) -> None:
        if self.libc is not None:
            self.libc.malloc_trim(0)


def rss_bytes() -> int | None:
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError):
        return None


def bytes_per_copy(make_copy: Callable[[], object], count: int, malloc: Malloc):
    """RSS and malloc growth per copy over `count` live copies; the copies are returned
    so that the next measurement cannot reuse their memory."""
    keep = [None] * count
    gc.collect()
    malloc.trim()
    r0, m0 = rss_bytes(), malloc.in_use()
    for i in range(count):
        keep[i] = make_copy()
    r1, m1 = rss_bytes(), malloc.in_use()
    rss = (r1 - r0) / count if r0 is not None and r1 is not None else None
    heap = (m1 - m0) / count if m0 is not None and m1 is not None else None
    return keep, rss, heap


def vexlor_played(vx, n: int, moves: int, superko: bool, seed: int):
    """A game with `moves` random moves; passes only when no placement is legal."""
    for attempt in range(100):
        g = vx.Game.with_options(n, n, KOMI, 65535, 65535, superko)
        rng = random.Random(seed + attempt)
        while g.move_count() < moves and not g.is_over():
            legal = g.legal_action_indices()
            places = [a for a in legal if a != n * n] or legal
            g.apply_action(rng.choice(places))
        if g.move_count() == moves:
            return g
    raise RuntimeError(f"no {moves}-move game found on {n}x{n}")


def openspiel_played(pyspiel, n: int, moves: int, seed: int):
    game = openspiel_game(pyspiel, n, max(1000, 2 * moves))
    for attempt in range(100):
        st = game.new_initial_state()
        rng = random.Random(seed + attempt)
        for _ in range(moves):
            if st.is_terminal():
                break
            legal = st.legal_actions()
            places = [a for a in legal if a != n * n] or legal
            st.apply_action(rng.choice(places))
        if len(st.history()) == moves and not st.is_terminal():
            return st
    raise RuntimeError(f"no {moves}-move OpenSpiel game found on {n}x{n}")


def memory_setup(vx, peers, sizes, seed):
    """[(key, object to copy)] for the memory table and the clone timings."""
    subjects = []
    for n in sizes:
        for moves in MEMORY_MOVES:
            subjects.append(((n, moves, "vexlor SK on"), vexlor_played(vx, n, moves, True, seed)))
            subjects.append(((n, moves, "vexlor SK off"), vexlor_played(vx, n, moves, False, seed)))
            if "openspiel" in peers:
                try:
                    subjects.append(((n, moves, "openspiel"), openspiel_played(peers["openspiel"], n, moves, seed)))
                except Exception as e:
                    subjects.append(((n, moves, "openspiel"), e))
    return subjects


def measure_memory(subjects, count: int) -> dict:
    malloc = Malloc()
    held, result = [], {}
    for key, obj in subjects:
        if isinstance(obj, Exception):
            continue
        keep, rss, heap = bytes_per_copy(obj.clone, count, malloc)
        held.append(keep)
        result[key] = (rss, heap)
    del held
    gc.collect()
    malloc.trim()
    return result


def clone_cells(subjects) -> list[Cell]:
    cells = []
    for key, obj in subjects:
        if isinstance(obj, Exception):
            cell = Cell(key, lambda budget: {})
            cell.error = f"{type(obj).__name__}: {obj}"
        else:
            cell = Cell(key, lambda budget, obj=obj: {"us": 1e6 * seconds_per_call(obj.clone, budget)})
        cells.append(cell)
    return cells


def report_memory(cells: list[Cell], memory: dict, count: int) -> str:
    by_key = {c.key: c for c in cells}
    rows = []
    for c in cells:
        n, moves, engine = c.key
        if c.error:
            rows.append([f"{n}x{n}", str(moves), engine, failure(c.error)] + [""] * 5)
            continue
        rss, heap = memory.get(c.key, (None, None))
        ours = by_key[(n, moves, "vexlor SK on")]
        ours_heap = memory.get(ours.key, (None, None))[1]
        rows.append(
            [
                f"{n}x{n}",
                str(moves),
                engine,
                fmt(rss),
                fmt(heap),
                fmt(c.median("us"), 2),
                c.spread("us"),
                ratio(c.median("us"), ours.median("us")),
                ratio(heap, ours_heap),
            ]
        )
    header = ["board", "moves", "engine", f"bytes/game (RSS over {count} clones)", "bytes/game (malloc in use)",
              "clone µs", "spread", "this / vexlor SK on (clone time)", "this / vexlor SK on (bytes)"]
    return table(header, rows)


# --- 4. where the time goes ------------------------------------------------------------------


def timer_overhead() -> float:
    """Seconds that one perf_counter() pair adds to an interval it brackets."""
    pairs = []
    for _ in range(2001):
        t0 = perf_counter()
        pairs.append(perf_counter() - t0)
    return statistics.median(pairs)


def profile_cells(vx, peers, seed) -> list[Cell]:
    """Per engine: the plain random loop, and the same loop with a clock read around each call."""
    n = SEARCH_SIZE
    engines = [("vexlor SK on", vexlor_player(vx, n, True), vexlor_new(vx, n, True),
                "legal_action_indices", "apply_action", "is_over"),
               ("vexlor SK off", vexlor_player(vx, n, False), vexlor_new(vx, n, False),
                "legal_action_indices", "apply_action", "is_over")]
    if "openspiel" in peers:
        factory, _ = openspiel_player(peers["openspiel"], n)
        game = openspiel_game(peers["openspiel"], n, 3 * n * n)
        engines.append(("openspiel", factory, game.new_initial_state, "legal_actions", "apply_action", "is_terminal"))
    cells = []
    for name, factory, new, legal_name, apply_name, over_name in engines:

        def plain(budget, factory=factory):
            play = factory()
            steps = 0
            t0 = perf_counter()
            while True:
                steps += play(seed)[0]
                elapsed = perf_counter() - t0
                if elapsed >= budget:
                    return {"full": 1e9 * elapsed / steps}

        def instrumented(budget, new=new, legal_name=legal_name, apply_name=apply_name, over_name=over_name):
            over_t = legal_t = pick_t = apply_t = 0.0
            steps = games = 0
            start = perf_counter()
            while True:
                choice = random.Random(seed).choice
                g = new()
                legal, apply, over = getattr(g, legal_name), getattr(g, apply_name), getattr(g, over_name)
                while True:
                    t0 = perf_counter()
                    done = over()
                    t1 = perf_counter()
                    over_t += t1 - t0
                    if done:
                        break
                    actions = legal()
                    t2 = perf_counter()
                    a = choice(actions)
                    t3 = perf_counter()
                    apply(a)
                    t4 = perf_counter()
                    legal_t += t2 - t1
                    pick_t += t3 - t2
                    apply_t += t4 - t3
                    steps += 1
                games += 1
                if perf_counter() - start >= budget:
                    break
            oh = timer_overhead()
            return {
                "steps": steps / games,
                "over": 1e9 * (over_t / steps - oh * (steps + games) / steps),
                "legal": 1e9 * (legal_t / steps - oh),
                "pick": 1e9 * (pick_t / steps - oh),
                "apply": 1e9 * (apply_t / steps - oh),
            }

        extra = (legal_name, over_name)
        cells.append(Cell((name, "plain") + extra, plain))
        cells.append(Cell((name, "instrumented") + extra, instrumented))
    return cells


def report_profile(cells: list[Cell]) -> str:
    groups: dict[str, dict] = {}
    for c in cells:
        name, part, legal_name, over_name = c.key
        g = groups.setdefault(name, {"legal_name": legal_name, "over_name": over_name, "error": None})
        for metric in ("full", "steps", "over", "legal", "pick", "apply"):
            if c.median(metric) is not None:
                g[metric] = c.median(metric)
        g["error"] = g["error"] or c.error
    rows = []
    for name, g in groups.items():
        if g["error"] or any(g.get(p) is None for p in ("full", "steps", "over", "legal", "pick", "apply")):
            rows.append([name, failure(g["error"] or "no result")] + [""] * 6)
            continue
        full = g["full"]
        rest = full - g["over"] - g["legal"] - g["pick"] - g["apply"]

        def cell(x):
            return f"{x:,.0f} ({100 * x / full:.0f}%)"

        rows.append([name, f"{g['steps']:,.0f}", f"{full:,.0f}", f"{g['legal_name']}: " + cell(g["legal"]),
                     "apply_action: " + cell(g["apply"]), f"{g['over_name']}: " + cell(g["over"]),
                     "random.choice: " + cell(g["pick"]), cell(rest)])
    header = ["engine", "steps/game", "ns/step", "legal list", "apply", "end test", "pick (harness)",
              "rest: loop, attribute look-ups, new game"]
    return table(header, rows)


# --- main --------------------------------------------------------------------------------------


def machine_info(vx, peers, missing) -> list[str]:
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass

    def version(dist):
        try:
            return importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            return "not installed"

    load = os.getloadavg() if hasattr(os, "getloadavg") else None
    lines = [
        f"- date: {datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d %H:%M UTC')}",
        f"- CPU: {cpu}, {os.cpu_count()} logical CPUs"
        + (f", load average {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f}" if load else ""),
        f"- Python {platform.python_version()} ({platform.python_implementation()}), {platform.platform()}",
        f"- vexlor_go from {getattr(vx, '__file__', '?')}",
        f"- open_spiel {version('open_spiel')}, pettingzoo {version('pettingzoo')}, numpy {version('numpy')}",
    ]
    for name, why in missing.items():
        lines.append(f"- **{name} skipped**: {why}")
    return lines



def finish(started: float) -> int:
    """Prints the run's length and the load at its end (a figure's context); exit status 0."""
    load = os.getloadavg() if hasattr(os, "getloadavg") else None
    print(f"_finished in {perf_counter() - started:.1f} s"
          + (f", load average {load[0]:.2f} at the end_" if load else "_"))
    return 0


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smoke run: 2 short reps, small counts (< 15 s)")
    ap.add_argument("--reps", type=int, help="interleaved repetitions (default 5; 2 with --quick)")
    ap.add_argument("--sizes", type=int, nargs="+", default=[9, 19], help="board sizes for sections 1 and 3")
    ap.add_argument("--budget", type=float, help="seconds per cell and rep (default 0.5; 0.04 with --quick)")
    ap.add_argument("--clones", type=int, help="copies held for the memory measure (default 2000; 200 with --quick)")
    ap.add_argument("--seed", type=int, default=2024)
    ap.add_argument("--sections", nargs="+", default=["random", "search", "memory", "profile"],
                    choices=["random", "search", "memory", "profile"])
    args = ap.parse_args(argv)
    reps = args.reps or (2 if args.quick else 5)
    budget = args.budget or (0.04 if args.quick else 0.5)
    clones = args.clones or (200 if args.quick else 2000)
    if reps < 1 or budget <= 0 or clones < 1 or any(not 2 <= n <= 32 for n in args.sizes):
        ap.error("--reps and --clones must be positive, --budget > 0, sizes 2 to 32")
    sizes = list(dict.fromkeys(args.sizes))
    started = perf_counter()

    vx = import_vexlor()
    peers, missing = import_peers()
    out = ["# vexlor_go Python benchmarks", ""]
    out += machine_info(vx, peers, missing)
    out += [f"- mode: {'quick' if args.quick else 'full'}; {reps} interleaved reps, {budget} s per cell and rep,"
            f" medians reported; seed {args.seed}", ""]
    print("\n".join(out), flush=True)

    def section(title, body):
        print(f"## {title}\n\n{body}\n", flush=True)

    # Memory first: the heap is least fragmented before the timing sections run.
    if "memory" in args.sections:
        subjects = memory_setup(vx, peers, sizes, args.seed)
        memory = measure_memory(subjects, clones)
        mem_cells = clone_cells(subjects)
        run_interleaved(mem_cells, reps, min(budget, 0.2), warmup=not args.quick)
        section("Memory and clone()", report_memory(mem_cells, memory, clones)
                + "\n\nGames played with random placements (a pass only when nothing else is legal);"
                " each copy is `clone()` of that game. RSS growth counts whole pages;"
                " 'malloc in use' is glibc's count of allocated bytes (object, board, history, hash set).")
        del subjects, mem_cells

    if "random" in args.sections:
        cells, caps = random_cells(vx, peers, sizes, args.quick)
        run_interleaved(cells, reps, budget, warmup=not args.quick)
        section("Random-play loop", report_random(cells, sizes) + "\n\nGame-length caps: " + "; ".join(caps)
                + ". vexlor allows a pass only from move n*n/2 on; OpenSpiel and PettingZoo always do, so"
                " their random games end earlier by two passes. Compare steps/s; games/s follows game length.")

    if "search" in args.sections:
        cells, notes = search_cells(vx, peers, args.seed)
        run_interleaved(cells, reps, budget, warmup=not args.quick)
        section("Search pattern (make, list legal moves, unmake, for every legal move)",
                report_search(cells) + "\n\n" + "\n".join(f"- {x}" for x in notes))

    if "profile" in args.sections:
        cells = profile_cells(vx, peers, args.seed)
        run_interleaved(cells, reps, min(budget, 0.3), warmup=not args.quick)
        section(f"Where the time goes ({SEARCH_SIZE}x{SEARCH_SIZE} random loop, ns per step)",
                report_profile(cells)
                + "\n\nns/step is the plain loop of the random-play section on one seeded game; the parts are"
                " timed in the same loop with a clock read around each call (the clock's own cost taken off);"
                " 'rest' is what the parts leave of ns/step.")

    return finish(started)


if __name__ == "__main__":
    sys.exit(main())
