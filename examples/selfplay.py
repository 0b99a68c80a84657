#!/usr/bin/env python3
"""Generate self-play training data with uniformly random legal moves.

Every position of every game becomes one training example:

    planes        uint8   (N, 17, H, W)  input planes, seen from the side to move
    actions       int16   (N,)           action played there (H * W is the pass)
    rewards       float32 (N,)           final result for the player who moved: 1, -1 or 0
    game_lengths  int32   (games,)       positions per game, in order, to split the games
    board_size    int32   ()             H (= W)

written to a compressed NumPy archive:

    python examples/selfplay.py --games 200 --seed 1 --out selfplay.npz
    data = numpy.load("selfplay.npz"); data["planes"].shape

Needs NumPy: pip install "vexlor_go[examples]".
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import time

try:
    import numpy as np
except ImportError:
    sys.exit('selfplay.py needs NumPy: pip install "vexlor_go[examples]" (or pip install numpy)')

import vexlor_go as vg


def build_parser(description: str) -> argparse.ArgumentParser:
    """The options every self-play job shares."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--size", type=int, default=9, help="board width and height, 2 to 32 (default 9)")
    parser.add_argument("--games", type=int, default=250, help="number of games (default 250)")
    parser.add_argument("--seed", type=int, default=None, help="random seed (default: a fresh one, printed)")
    parser.add_argument(
        "--superko",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="forbid any repetition of an earlier position (default on)",
    )
    parser.add_argument("--komi", type=float, default=7.5, help="points added to White's score (default 7.5)")
    parser.add_argument("--out", default="selfplay.npz", help="output file (default selfplay.npz)")
    parser.add_argument("--quiet", action="store_true", help="no progress display")
    return parser


def check_args(parser: argparse.ArgumentParser, args: argparse.Namespace) -> argparse.Namespace:
    if not 2 <= args.size <= 32:
        parser.error("--size must be between 2 and 32")
    if args.games < 1:
        parser.error("--games must be at least 1")
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(2**32)
    return args


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = build_parser(__doc__.splitlines()[0])
    return check_args(parser, parser.parse_args(argv))


def new_game(size: int, komi: float, superko: bool) -> vg.Game:
    # Same pass and length limits as vg.Game(size, size): passing is allowed
    # after half the board's area in moves, and a game lasts at most 3x its area.
    area = size * size
    return vg.Game.with_options(size, size, komi, area // 2, 3 * area, superko)


def play_game(game: vg.Game, rng: random.Random, scratch, planes: bytearray, actions: list[int]) -> list[int]:
    """Plays `game` to its end with uniformly random legal moves, appending each
    position's planes (via `scratch`, a uint8 array of one position) and the action
    taken there; returns the side to move at each position."""
    movers = []
    while not game.is_over():
        game.encode_planes_into(scratch)
        planes += memoryview(scratch).cast("B")
        action = rng.choice(game.legal_action_indices())
        movers.append(game.turn())
        actions.append(action)
        game.apply_action(action)
    return movers


class Progress:
    """One status line on stderr, rewritten in place on a terminal."""

    def __init__(self, total: int, enabled: bool):
        self.total, self.enabled = total, enabled
        tty = sys.stderr.isatty()
        self.end = "\r" if tty else "\n"
        self.every = max(1, total // (100 if tty else 10))  # logs get ten lines
        self.start = time.perf_counter()

    def update(self, games: int, positions: int) -> None:
        if not self.enabled or (games % self.every and games != self.total):
            return
        rate = positions / max(time.perf_counter() - self.start, 1e-9)
        print(
            f"games {games}/{self.total}  positions {positions:,}  moves/s {rate:,.0f}",
            end=self.end,
            file=sys.stderr,
            flush=True,
        )

    def close(self) -> None:
        if self.enabled and self.end == "\r":
            print(file=sys.stderr)


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    rng = random.Random(args.seed)
    size = args.size
    # The engine writes each position's planes straight into this uint8 array,
    # with no intermediate list of floats.
    scratch = np.empty((vg.TOTAL_INPUT_PLANES, size, size), dtype=np.uint8)

    planes = bytearray()
    actions: list[int] = []
    rewards: list[float] = []
    game_lengths: list[int] = []
    results = {1.0: 0, -1.0: 0, 0.0: 0}  # by reward_absolute(): Black won, White won, draw

    progress = Progress(args.games, enabled=not args.quiet)
    start = time.perf_counter()
    for played in range(1, args.games + 1):
        game = new_game(size, args.komi, args.superko)
        movers = play_game(game, rng, scratch, planes, actions)
        rewards.extend(game.reward_from_perspective(mover) for mover in movers)
        game_lengths.append(len(movers))
        results[game.reward_absolute()] += 1
        progress.update(played, len(actions))
    elapsed = time.perf_counter() - start
    progress.close()

    save_and_report(args, planes, actions, rewards, game_lengths, results, elapsed)


def save_and_report(args, planes, actions, rewards, game_lengths, results, elapsed, setting=""):
    """Writes the archive and prints the summary; `planes` holds the uint8 planes back to back."""
    size = args.size
    np.savez_compressed(
        args.out,
        planes=np.frombuffer(planes, dtype=np.uint8).reshape(-1, vg.TOTAL_INPUT_PLANES, size, size),
        actions=np.asarray(actions, dtype=np.int16),
        rewards=np.asarray(rewards, dtype=np.float32),
        game_lengths=np.asarray(game_lengths, dtype=np.int32),
        board_size=np.int32(size),
    )
    out = args.out if args.out.endswith(".npz") else args.out + ".npz"  # NumPy adds the suffix

    black, white, draw = (f"{100 * results[r] / args.games:.1f}%" for r in (1.0, -1.0, 0.0))
    rules = f"{size}x{size}, komi {args.komi}, superko {'on' if args.superko else 'off'}, seed {args.seed}"
    print(f"games      {args.games} ({rules}{setting})")
    print(f"positions  {len(actions):,}")
    print(f"moves/s    {len(actions) / elapsed:,.0f} ({elapsed:.2f} s)")
    print(f"results    Black {black}, White {white}, draw {draw}")
    print(f"written    {out} ({os.path.getsize(out) / 1e6:.2f} MB)")


if __name__ == "__main__":
    main()
