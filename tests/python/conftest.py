"""Shared helpers for the Python suites: game builders, state snapshots, hostile
argument objects, and a reference SipHash-1-3 so hashes can be checked
independently of the module."""

import os
import random
import struct
import sys
import threading

import pytest

import vexlor_go as vg

# Secondary interpreters and sanitizer runs set this; slow loops shrink.
QUICK = os.environ.get("VEXLOR_QUICK") == "1"

_MASK = (1 << 64) - 1


def _rotl(x, b):
    return ((x << b) | (x >> (64 - b))) & _MASK


def siphash13(data: bytes) -> int:
    """SipHash-1-3 under the all-zero key, as an unsigned 64-bit value."""
    v0, v1, v2, v3 = 0x736F6D6570736575, 0x646F72616E646F6D, 0x6C7967656E657261, 0x7465646279746573

    def rnd():
        nonlocal v0, v1, v2, v3
        v0 = (v0 + v1) & _MASK
        v1 = _rotl(v1, 13) ^ v0
        v0 = _rotl(v0, 32)
        v2 = (v2 + v3) & _MASK
        v3 = _rotl(v3, 16) ^ v2
        v0 = (v0 + v3) & _MASK
        v3 = _rotl(v3, 21) ^ v0
        v2 = (v2 + v1) & _MASK
        v1 = _rotl(v1, 17) ^ v2
        v2 = _rotl(v2, 32)

    tail_len = len(data) % 8
    blocks = [struct.unpack_from("<Q", data, i)[0] for i in range(0, len(data) - tail_len, 8)]
    last = int.from_bytes(data[len(data) - tail_len :], "little") | ((len(data) & 0xFF) << 56)
    for m in blocks + [last]:
        v3 ^= m
        rnd()
        v0 ^= m
    v2 ^= 0xFF
    for _ in range(3):
        rnd()
    return v0 ^ v1 ^ v2 ^ v3


def python_hash(h: int) -> int:
    """Unsigned 64-bit hash as the interpreter sees it: signed, -1 replaced by -2."""
    s = h - (1 << 64) if h >= 1 << 63 else h
    return -2 if s == -1 else s


def reference_game_hash(game) -> int:
    """hash(game) rebuilt from what the game reports: stones, size, side to move, ko point."""
    w, h = game.width(), game.height()
    nw = (w * h + 63) // 64
    black = white = 0
    for r in range(h):
        for c in range(w):
            p = game.get_piece(c, r)
            if p == vg.BLACK:
                black |= 1 << (r * w + c)
            elif p == vg.WHITE:
                white |= 1 << (r * w + c)
    data = struct.pack("<Q", nw) + black.to_bytes(8 * nw, "little")
    data += struct.pack("<Q", nw) + white.to_bytes(8 * nw, "little")
    data += bytes([w, h, 0x01 if game.turn() == vg.BLACK else 0xFF])
    ko = game.ko_point()
    data += struct.pack("<Q", 0 if ko is None else 1)
    if ko is not None:
        data += bytes(ko)
    return python_hash(siphash13(data))


def snapshot(game):
    """Everything a caller can observe about a game, in comparable form (a NaN komi included)."""
    return (
        str(game),
        repr(game),
        hash(game),
        game.move_count(),
        game.turn(),
        game.ko_point(),
        game.is_over(),
        repr(game.outcome()),
        repr(game.score()),
        game.reward_absolute(),
        game.legal_action_indices(),
    )


def play(game, *moves):
    """Plays (col, row) placements and None passes; every one must be accepted."""
    for m in moves:
        move = vg.Move.pass_move() if m is None else vg.Move.place(*m)
        assert game.make_move(move), f"{move!r} refused on\n{game}"
    return game


def random_game(w, h, moves, seed, **options):
    """A game after up to `moves` random legal actions (captures and passes included)."""
    rng = random.Random(seed)
    g = vg.Game.with_options(w, h, 7.5, options.get("min_pass", 0), options.get("max_moves", 4 * w * h), True)
    for _ in range(moves):
        legal = g.legal_action_indices()
        if not legal:
            break
        assert g.apply_action(rng.choice(legal))
    return g


def finished_game(kind: str):
    """A game that has ended with the given result: 'black', 'white' or 'draw'."""
    if kind == "black":
        # A lone black stone owns the whole board: 25 to 0.5.
        return play(vg.Game.with_options(5, 5, 0.5, 0, 100, True), (2, 2), None, None)
    if kind == "white":
        return play(vg.Game.with_options(4, 4, 7.5, 0, 100, True), None, None)
    if kind == "draw":
        return play(vg.Game.with_options(4, 4, 0.0, 0, 100, True), None, None)
    raise ValueError(kind)


def ko_game():
    """4x4 game right after Black's capture at (2, 1) set the ko point (1, 1)."""
    g = vg.Game.with_options(4, 4, 7.5, 0, 100, True)
    # Black surrounds (1, 1) from three sides, White surrounds (2, 1) from three.
    play(g, (1, 0), (2, 0), (0, 1), (1, 1), (1, 2), (2, 2), (3, 3), (3, 1))
    assert g.make_move(vg.Move.place(2, 1))
    assert g.ko_point() == (1, 1)
    return g


@pytest.fixture
def game9():
    return vg.Game(9, 9)


@pytest.fixture
def passing_game():
    """9x9 game in which passes are legal from the first move."""
    return vg.Game.with_options(9, 9, 7.5, 0, 243, True)


# --- hostile and unusual argument objects ------------------------------------------------


class IntLike:
    """A well-behaved non-int integer (the index protocol only)."""

    def __init__(self, value: int):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IntLike({self.value})"


class RaisingIndex:
    """An integer-like whose conversion fails with the given exception."""

    def __init__(self, exc: type[BaseException]):
        self.exc = exc

    def __index__(self):
        raise self.exc("refused by __index__")

    def __repr__(self):
        return f"RaisingIndex({self.exc.__name__})"


class Reenter:
    """An integer whose conversion calls back into some object first, counting the calls."""

    def __init__(self, callback, value: int = 0):
        self.callback = callback
        self.value = value
        self.calls = 0

    def __index__(self):
        self.calls += 1
        self.callback()
        return self.value

    def __repr__(self):
        return f"Reenter({getattr(self.callback, '__name__', self.callback)!r})"


def run_in_subinterpreter(code: str) -> None:
    """Runs code in a new interpreter (with its own lock from 3.12 on) and destroys it."""
    if sys.version_info >= (3, 13):
        import _interpreters as interpreters

        run = interpreters.exec
    else:
        import _xxsubinterpreters as interpreters

        run = interpreters.run_string
    interp = interpreters.create()
    try:
        failure = run(interp, code)
        assert failure is None, failure
    finally:
        interpreters.destroy(interp)


def run_beside(background, workers, stop) -> None:
    """Runs each of `workers` in a thread of its own while `background` runs in another;
    when the workers are done, sets `stop` (an Event that `background` watches) and joins it."""
    beside = threading.Thread(target=background)
    threads = [threading.Thread(target=w) for w in workers]
    beside.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    stop.set()
    beside.join()
