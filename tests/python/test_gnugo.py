"""Differential play against GNU Go, driven over GTP.

Seeded random games are played into a vexlor_go game and, move for move, into
GNU Go (`gnugo --mode gtp`, both colours by `play`; GNU Go never chooses a
move). After every move, and after taking one to three moves back in both
(`unmake_move` / GTP `undo`), the two must agree on every point of the board
and on the legality of a placement on every point for the side to move.

Why the comparison is exact. GNU Go runs with its default rules:
`--forbid-suicide` and `--simple-ko` (see `gnugo --help`).

- Suicide: GNU Go refuses a placement that has no empty neighbour, no
  adjacent opponent string with exactly one liberty and no adjacent friendly
  string with more than one liberty. On positions reached by play this is
  exactly our test (the new chain keeps no liberty and captures nothing).
- Simple ko: GNU Go forbids only the immediate recapture that would recreate
  the previous position: a single stone captured by a lone stone left with one
  liberty. That is our ko point, and in both engines the next move, a pass
  included, clears it.
- Superko: with simple ko, GNU Go's `is_legal` allows every other repetition
  (`test_gnugo_rules`), as our games do when created with superko off; most
  games here are. A second GNU Go runs with `--situational-superko`, which
  forbids recreating an earlier position with the same side to move, and
  plays small boards against our games with superko on.
- Passes: GNU Go accepts a pass at any time; our games use
  min_moves_before_pass_possible = 0, and only placements are compared.

Coordinates: GTP columns are letters without "I"; our row 0 is GTP row 1
(checked against both board pictures in `test_orientation`).

A disagreement fails with the operations that reproduce it, as a Python list
of actions in which -1 stands for `unmake_move()`; `replay()` plays such a list.

Not compared: how games end. GTP never ends a game; our game ends after two
consecutive passes (from then on it must list no legal action).
"""

from __future__ import annotations

import os
import random
import shutil
import subprocess

import pytest

import vexlor_go as vg

GNUGO = shutil.which("gnugo") or next(
    (p for p in ("/usr/games/gnugo", "/usr/bin/gnugo") if os.access(p, os.X_OK)), None
)
pytestmark = pytest.mark.skipif(GNUGO is None, reason="GNU Go not installed (Debian package gnugo)")

QUICK = os.environ.get("VEXLOR_QUICK") == "1" or os.environ.get("VEXLOR_SANITIZED") == "1"
LETTERS = "ABCDEFGHJKLMNOPQRST"  # GTP skips "I"
UNDO = -1

# (superko, board size, games, move limit per game); about 40 s in total on two
# cores. Superko cuts into legality mostly on the smallest boards.
SCHEDULE = [
    (False, 2, 30, 200), (False, 3, 20, 300), (False, 4, 15, 300), (False, 5, 12, 400),
    (False, 7, 6, 400), (False, 9, 5, 400), (False, 13, 3, 400), (False, 19, 2, 400),
    (True, 2, 30, 200), (True, 3, 15, 300), (True, 4, 10, 300), (True, 5, 6, 300),
]
QUICK_SCHEDULE = [
    (False, 2, 10, 100), (False, 3, 6, 150), (False, 5, 4, 200), (False, 9, 2, 200), (False, 19, 1, 150),
    (True, 2, 10, 100), (True, 3, 8, 200),
]
UNDO_CHANCE = 0.2
# Uniform choice would pass as often as it plays any one point, and two passes
# end the game long before the crowded, capture-rich positions are reached.
PASS_CHANCE = 0.02


class Gtp:
    """A GNU Go process; commands are sent in batches and answered in order."""

    def __init__(self, path: str, rules: list[str]):
        self.proc = subprocess.Popen(
            [path, "--mode", "gtp", *rules],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
            bufsize=1,
        )

    def batch(self, commands: list[str]) -> list[str]:
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.proc.stdin.write("".join(c + "\n" for c in commands))
        self.proc.stdin.flush()
        answers = []
        for command in commands:
            lines = []
            while True:
                line = self.proc.stdout.readline()
                if line == "":
                    raise RuntimeError(f"GNU Go exited during {command!r}")
                if line == "\n":
                    break
                lines.append(line.rstrip("\n"))
            text = "\n".join(lines)
            if not text.startswith("="):
                raise RuntimeError(f"GNU Go refused {command!r}: {text}")
            answers.append(text[1:].strip())
        return answers

    def __call__(self, command: str) -> str:
        return self.batch([command])[0]

    def close(self) -> None:
        if self.proc.poll() is None:
            try:
                self("quit")
            except (RuntimeError, OSError):
                self.proc.kill()
        self.proc.communicate(timeout=10)  # also closes both pipes


@pytest.fixture(scope="module")
def gnugo():
    """GNU Go by rules: gnugo(superko) gives the process matching our option."""
    assert GNUGO is not None
    engines: dict[bool, Gtp] = {}

    def get(superko: bool) -> Gtp:
        if superko not in engines:
            engines[superko] = Gtp(GNUGO, ["--situational-superko"] if superko else [])
        return engines[superko]

    yield get
    for engine in engines.values():
        engine.close()


@pytest.fixture
def gtp(gnugo):
    return gnugo(False)


def vertex(point: int, size: int) -> str:
    return f"{LETTERS[point % size]}{point // size + 1}"


def colour(player: int) -> str:
    return "black" if player == vg.BLACK else "white"


def new_game(size: int, superko: bool = False) -> vg.Game:
    return vg.Game.with_options(size, size, 7.5, 0, 65535, superko)


def replay(size: int, ops: list[int], superko: bool = False) -> vg.Game:
    """Plays a reproduction list (actions, -1 for unmake_move) into a new game."""
    game = new_game(size, superko)
    for op in ops:
        assert game.unmake_move() if op == UNDO else game.apply_action(op), op
    return game


class Duel:
    """One game played into both engines, with the operations that led here."""

    def __init__(self, gtp: Gtp, size: int, superko: bool = False):
        self.gtp, self.size, self.superko = gtp, size, superko
        self.game = new_game(size, superko)
        # Without superko, the same game tells which placements superko forbids.
        self.mirror = new_game(size) if superko else None
        self.ops: list[int] = []
        self.line: list[int] = []  # actions now on the board, in order
        self.vertices = [vertex(p, size) for p in range(size * size)]
        gtp.batch([f"boardsize {size}", "clear_board", "komi 7.5"])
        self.kos_seen = self.suicides_seen = self.repetitions_seen = 0

    def fail(self, what: str) -> None:
        pytest.fail(
            f"{what}\nboard size {self.size}, superko {self.superko}\n"
            f"reproduce: replay({self.size}, {self.ops!r}, superko={self.superko})\n"
            f"moves on the board: {self.line!r}\n{self.game}",
            pytrace=False,
        )

    def play(self, action: int) -> None:
        mover = colour(self.game.turn())
        if not self.game.apply_action(action):
            self.fail(f"our game refused its own legal action {action}")
        if self.mirror is not None and not self.mirror.apply_action(action):
            self.fail(f"a superko-free game refused action {action}")
        self.ops.append(action)
        self.line.append(action)
        area = self.size * self.size
        move = "pass" if action == area else self.vertices[action]
        self.gtp(f"play {mover} {move}")

    def undo(self, count: int) -> None:
        for _ in range(count):
            if not self.game.unmake_move():
                self.fail("unmake_move returned False with moves on the board")
            if self.mirror is not None:
                self.mirror.unmake_move()
            self.ops.append(UNDO)
            self.line.pop()
        self.gtp.batch(["undo"] * count)

    def compare(self) -> None:
        game, size, area = self.game, self.size, self.size * self.size
        if game.move_count() != len(self.line):
            self.fail(f"move_count {game.move_count()} but {len(self.line)} moves on the board")
        black_list, white_list = self.gtp.batch(["list_stones black", "list_stones white"])
        theirs = {v: vg.BLACK for v in black_list.split()} | {v: vg.WHITE for v in white_list.split()}
        ours = {}
        for p in range(area):
            piece = game.get_piece(p % size, p // size)
            if piece is not None:
                ours[self.vertices[p]] = piece
        if ours != theirs:
            diff = sorted(set(ours.items()) ^ set(theirs.items()))
            self.fail(f"boards differ (vertex, colour) in exactly one engine: {diff}")
        if game.is_over():
            if game.legal_action_indices():
                self.fail("a finished game lists legal actions")
            return

        player = colour(game.turn())
        answers = self.gtp.batch([f"is_legal {player} {v}" for v in self.vertices])
        legal_theirs = {p for p, a in enumerate(answers) if a == "1"}
        legal_ours = {p for p in range(area) if game.is_legal_move(vg.Move.place(p % size, p // size))}
        if legal_ours != legal_theirs:
            only_ours = sorted(self.vertices[p] for p in legal_ours - legal_theirs)
            only_theirs = sorted(self.vertices[p] for p in legal_theirs - legal_ours)
            self.fail(
                f"legal placements for {player} differ: legal only for us {only_ours}, "
                f"legal only for GNU Go {only_theirs}"
            )
        listed = set(game.legal_action_indices()) - {area}
        if listed != legal_ours:
            self.fail("legal_action_indices disagrees with is_legal_move")
        if game.ko_point() is not None:
            self.kos_seen += 1
        legal_without_superko = legal_ours
        if self.mirror is not None:
            legal_without_superko = set(self.mirror.legal_action_indices()) - {area}
            if not legal_ours <= legal_without_superko:
                self.fail("superko made a placement legal")
            self.repetitions_seen += legal_ours != legal_without_superko
        self.suicides_seen += area - len(ours) - len(legal_without_superko) - (game.ko_point() is not None)


def random_action(game: vg.Game, rng: random.Random) -> int:
    *placements, last = game.legal_action_indices()
    area = game.width() * game.height()
    if last != area:  # no pass listed
        placements.append(last)
    if not placements or (last == area and rng.random() < PASS_CHANCE):
        return area
    return rng.choice(placements)


def play_random_game(gtp: Gtp, size: int, seed: int, max_plies: int, superko: bool = False) -> Duel:
    rng = random.Random(seed)
    duel = Duel(gtp, size, superko)
    duel.compare()
    while len(duel.line) < max_plies and not duel.game.is_over():
        duel.play(random_action(duel.game, rng))
        duel.compare()
        if rng.random() < UNDO_CHANCE:
            taken = duel.line[-rng.randint(1, min(3, len(duel.line))) :]
            duel.undo(len(taken))
            duel.compare()
            if rng.random() < 0.5:  # same line again, else a new branch
                for action in taken:
                    duel.play(action)
                duel.compare()
    return duel


def test_orientation(gtp):
    # An asymmetric shape must look the same in both board pictures.
    size = 5
    duel = Duel(gtp, size)
    for action in (1, 7, 13, 23):  # B (1,0), W (2,1), B (3,2), W (3,4)
        duel.play(action)
    duel.compare()
    picture = gtp("showboard").splitlines()
    rows = [line.split() for line in picture if line.split() and line.split()[0].isdigit()]
    theirs = ["".join({"X": "B", "O": "W"}.get(c, ".") for c in row[1 : size + 1]) for row in rows]
    ours = [line.replace("|", "") for line in str(duel.game.board()).splitlines()[:size]]
    assert theirs == ours
    assert ours[-1] == ".B..."  # row 0 is printed last, GTP row 1 likewise


@pytest.mark.parametrize("superko,size,games,max_plies", QUICK_SCHEDULE if QUICK else SCHEDULE)
def test_random_games_agree(gnugo, superko, size, games, max_plies):
    kos = suicides = repetitions = 0
    for index in range(games):
        seed = 1000 * size + index + (500 if superko else 0)
        duel = play_random_game(gnugo(superko), size, seed, max_plies, superko)
        kos += duel.kos_seen
        suicides += duel.suicides_seen
        repetitions += duel.repetitions_seen
    # The games must have reached the rules under test, or agreement proves little.
    if 3 <= size <= 9:  # no ko fits on 2x2
        assert kos > 0 and suicides > 0, (kos, suicides)
    if superko:
        assert repetitions > 0


def test_gnugo_rules(gnugo):
    # The rules the comparison relies on. On 4x4, Black takes a ko at C2; after
    # two passes White may retake at B2 under simple ko (the ko point is gone)
    # but not under situational superko (Black to move on the earlier board).
    setup = ["B1", "C1", "A2", "B2", "B3", "C3", "D4", "D2", "C2"]
    for superko, legal in ((False, "1"), (True, "0")):
        gtp = gnugo(superko)
        gtp.batch(["boardsize 4", "clear_board"])
        gtp.batch([f"play {colour(vg.BLACK if i % 2 == 0 else vg.WHITE)} {v}" for i, v in enumerate(setup)])
        assert gtp("is_legal white B2") == "0"  # the ko point
        assert gtp.batch(["play white pass", "play black pass", "is_legal white B2"])[-1] == legal
        # Suicide is refused: a lone white stone at A1 would have no liberty.
        assert gtp("is_legal white A1") == "0"


def test_long_game_undo(gtp):
    # Deep into a 19x19 game (past GNU Go's short move history, if any),
    # taking moves back must still agree.
    rng = random.Random(19)
    duel = Duel(gtp, 19)
    plies = 120 if QUICK else 600
    while len(duel.line) < plies and not duel.game.is_over():
        duel.play(random_action(duel.game, rng))
    duel.compare()
    for count in (1, 3, 2):
        duel.undo(count)
        duel.compare()
