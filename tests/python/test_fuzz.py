"""Stateful fuzzing of the whole Python API (Game, Board, Move, GameOutcome).

Hypothesis drives random sequences of calls on random board sizes and options,
mixing in hostile arguments (wrong types, negatives, huge integers, NumPy
scalars, objects whose ``__index__`` raises or calls back into the object under
way), and checks after every step that every call ended in a result or a Python
exception, that a call that raised changed nothing, and that the game's views of
itself agree (legal_moves / is_legal_move / legal_action_indices, make then
unmake, clones, input planes).

Profiles, chosen by the environment variable VEXLOR_FUZZ_PROFILE:

* ``ci`` (default): fixed seed, about a minute; the test command's other runs
  pick a shorter one, ``quick`` when VEXLOR_QUICK=1 and ``sanitized`` when
  VEXLOR_SANITIZED=1 (each 10 to 15 seconds).
* ``quick``, ``sanitized``: those short runs explicitly.
* ``long``: a random seed and many more, longer examples, for soak runs::

      VEXLOR_FUZZ_PROFILE=long python -m pytest tests/python/test_fuzz.py

No profile writes to the Hypothesis example database.
"""

from __future__ import annotations

import copy
import math
import operator
import os
import random
import pickle
import struct
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import vexlor_go as vg
from conftest import IntLike, RaisingIndex, Reenter, snapshot
from vexlor_go import BLACK, WHITE, Board, Game, GameOutcome, Move

_COMMON = dict(
    database=None,
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)
settings.register_profile("ci", derandomize=True, max_examples=1000, stateful_step_count=40, **_COMMON)
settings.register_profile("quick", derandomize=True, max_examples=300, stateful_step_count=30, **_COMMON)
# Under ASan and UBSan every call costs several times more.
settings.register_profile("sanitized", derandomize=True, max_examples=120, stateful_step_count=30, **_COMMON)
settings.register_profile("long", derandomize=False, max_examples=5000, stateful_step_count=120, **_COMMON)


def _profile_name() -> str:
    name = os.environ.get("VEXLOR_FUZZ_PROFILE")
    if name:
        return name
    if os.environ.get("VEXLOR_SANITIZED") == "1":
        return "sanitized"
    return "quick" if os.environ.get("VEXLOR_QUICK") == "1" else "ci"


PROFILE = settings.get_profile(_profile_name())
U64_MAX = 2**64 - 1


# --- hostile argument objects -------------------------------------------------


class _Refused(Exception):
    """The expected outcome of an argument conversion that must fail."""

    def __init__(self, exc_type: type[BaseException]):
        self.exc_type = exc_type


_RANGES = {"u": (0, U64_MAX), "i8": (-128, 127), "u16": (0, 65535)}


def convert(kind: str, value):
    """The value a parameter of `kind` receives, or _Refused with the error expected."""
    if kind == "piece" and value is None:
        return None
    if kind == "bool":
        if value is True or value is False or type(value) is np.bool_:
            return bool(value)
        raise _Refused(TypeError)
    if kind == "float":
        if isinstance(value, (str, bytes)) or not (
            hasattr(type(value), "__float__") or hasattr(type(value), "__index__")
        ):
            raise _Refused(TypeError)
        try:
            x = float(value) if hasattr(type(value), "__float__") else float(operator.index(value))
        except Exception as e:  # noqa: BLE001 - the interpreter's own verdict
            raise _Refused(type(e)) from None
        if math.isfinite(x) and math.isinf(f32(x)):
            raise _Refused(OverflowError)  # no silent infinity
        return x
    try:
        i = operator.index(value)
    except Exception as e:  # noqa: BLE001
        raise _Refused(type(e)) from None
    lo, hi = _RANGES["i8" if kind == "piece" else kind]
    if not lo <= i <= hi:
        raise _Refused(OverflowError)
    return i


def convert_all(kinds, values):
    """Converts in parameter order; the first failure wins, as in the module."""
    return [convert(k, v) for k, v in zip(kinds, values)]


HOSTILE_SCALARS = [
    "3",
    b"3",
    1.5,
    float("nan"),
    None,
    [],
    (1,),
    object(),
    -1,
    -(2**63),
    2**63,
    2**64,
    2**64 - 1,
    2**200,
    -(2**200),
    np.int64(-1),
    np.int64(3),
    np.int8(-1),
    np.uint8(3),
    np.uint64(U64_MAX),
    np.bool_(True),
    np.float32(1.0),
    True,
    False,
    RaisingIndex(ValueError),
    RaisingIndex(TypeError),
    RaisingIndex(OverflowError),
    IntLike(1),
    IntLike(-1),
    IntLike(2**70),
]


def any_int_arg(upper: int):
    """Mostly plausible integers (some off-board), the rest hostile."""
    return st.one_of(
        st.integers(0, upper),
        st.integers(250, 260),
        st.integers(0, U64_MAX),
        st.sampled_from(HOSTILE_SCALARS),
    )


PIECES = st.sampled_from([BLACK, WHITE, None, np.int8(1), np.int64(-1), IntLike(1), True])
BAD_PIECES = st.sampled_from([0, 2, -2, 127, -128, 128, 300, -129, "B", 1.0, np.float32(1), RaisingIndex(ValueError)])


# --- game observation ----------------------------------------------------------


def picture_pieces(text: str, width: int, height: int):
    """{(col, row): piece} parsed from a board picture (top row printed first)."""
    lines = text.split("\n")
    assert lines[-1] == "" and len(lines) == height + 2
    assert lines[height] == " " + "".join(f"{c} " for c in range(width))
    out = {}
    for i, line in enumerate(lines[:height]):
        row = height - 1 - i
        cells = line.split("|")
        assert cells[0] == "" and cells[-1] == "" and len(cells) == width + 2, line
        for col, ch in enumerate(cells[1:-1]):
            assert ch in "BW.", line
            if ch != ".":
                out[(col, row)] = BLACK if ch == "B" else WHITE
    return out


def f32(x: float) -> float:
    """x rounded to single precision (overflowing to infinity)."""
    try:
        return struct.unpack("f", struct.pack("f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def game_picture(g: Game) -> str:
    return str(g).split("\n", 1)[1]


def call_result(fn, *args, **kwargs):
    """('ok', repr(result)) or ('raise', type, message) of one call."""
    try:
        return ("ok", repr(fn(*args, **kwargs)))
    except Exception as e:  # noqa: BLE001 - compared, never swallowed
        return ("raise", type(e), str(e))


def outcome_debug(o) -> str:
    return "None" if o is None else {"Black wins": "Some(BlackWin)", "White wins": "Some(WhiteWin)", "Draw": "Some(Draw)"}[o.name()]


# Game methods taking integer arguments: (parameter names, conversion kinds).
GAME_INT_METHODS = {
    "get_piece": (("col", "row"), ("u", "u")),
    "set_piece": (("col", "row", "piece"), ("u", "u", "piece")),
    "apply_action": (("action",), ("u",)),
    "decode_action": (("action",), ("u",)),
    "reward_from_perspective": (("perspective",), ("i8",)),
}
GAME_MUTATORS = {"set_piece", "apply_action", "make_move", "unmake_move"}
GAME_NULLARY = [
    "komi", "min_moves_before_pass_possible", "max_moves", "move_count", "score", "width", "height", "turn",
    "is_over", "legal_action_indices", "action_size", "board_shape", "input_plane_count", "reward_absolute",
    "name", "outcome", "legal_moves", "unmake_move", "board", "superko", "ko_point", "clone",
    "encode_game_planes", "total_actions",
]  # fmt: skip


# --- the Game machine ---------------------------------------------------------------

SIZES = st.one_of(st.integers(2, 5), st.integers(2, 7), st.integers(2, 32))
KOMI = st.one_of(
    st.sampled_from([7.5, 0.0, -0.0, 0.5, -7.5, float("nan"), float("inf"), float("-inf"), 1e30, -1e300]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-100, 100),
    st.sampled_from([np.float32(6.5), np.int64(3), IntLike(2)]),
)
MIN_MOVES = st.one_of(st.integers(0, 6), st.integers(0, 65535))
MAX_MOVES = st.one_of(st.just(0), st.integers(1, 40), st.integers(40, 65535))
SUPERKO = st.sampled_from([True, False, np.bool_(True), np.bool_(False)])


class GameMachine(RuleBasedStateMachine):
    """One game under a model of its move count, side to move and past states."""

    @initialize(kind=st.sampled_from(["plain", "options", "options", "options", "standard"]),
                width=SIZES, height=SIZES, komi=KOMI, min_moves=MIN_MOVES, max_moves=MAX_MOVES, superko=SUPERKO)  # fmt: skip
    def create(self, kind, width, height, komi, min_moves, max_moves, superko):
        if kind == "standard":
            self.g = Game.standard()
            width = height = 19
        elif kind == "plain":
            self.g = Game(width, height)
        else:
            if _fails("float", komi):
                with pytest.raises(OverflowError, match=r"\bkomi\b"):
                    Game.with_options(width, height, komi, min_moves, max_moves, superko)
                komi = 0.5
            self.g = Game.with_options(width, height, komi, min_moves, max_moves, superko)
            want, got = f32(float(komi)), self.g.komi()
            assert got == want or (math.isnan(got) and math.isnan(want))
            assert (self.g.min_moves_before_pass_possible(), self.g.max_moves()) == (min_moves, max_moves)
            assert self.g.superko() is bool(superko)
        if kind != "options":
            n = width * height
            assert (self.g.komi(), self.g.superko()) == (7.5, True)
            assert (self.g.min_moves_before_pass_possible(), self.g.max_moves()) == (n // 2, 3 * n)
        self.w, self.h = width, height
        self.area = width * height
        assert (self.g.width(), self.g.height()) == (width, height)
        assert self.g.board_shape() == (height, width)
        assert self.g.action_size() == self.g.total_actions() == self.area + 1
        assert self.g.input_plane_count() == vg.TOTAL_INPUT_PLANES == 17
        assert self.g.name() == f"go_{width}x{height}"
        self.count = 0
        self.turn = BLACK
        # Per move made: the snapshot before it (None once a hand edit made it unreachable).
        self.undo: list = []
        # (picture, side to move) of every position so far; valid while the game is unedited.
        self.positions = [(game_picture(self.g), BLACK)]
        self.edited = False
        self.clones: list = []

    # --- helpers -------------------------------------------------------------

    def expect_unchanged_after_error(self, fn, *args, exc=Exception, **kwargs):
        before = snapshot(self.g)
        with pytest.raises(exc) as info:
            fn(*args, **kwargs)
        assert snapshot(self.g) == before
        return info.value

    def record_move(self, before, placed, mover):
        """Model update after a successful move, with the cheap board checks."""
        self.count += 1
        self.turn = -self.turn
        self.undo.append(before)
        after = picture_pieces(game_picture(self.g), self.w, self.h)
        prior = picture_pieces(before[0].split("\n", 1)[1], self.w, self.h)
        if placed is None:
            assert after == prior
        else:
            assert placed not in prior and after[placed] == mover
            for pt, piece in prior.items():
                if pt != placed and after.get(pt) != piece:
                    # Only opponent stones leave the board, and only by capture.
                    assert piece == -mover and pt not in after
            assert all(prior.get(pt) == piece for pt, piece in after.items() if pt != placed)
        pos = (game_picture(self.g), self.turn)
        if placed is not None and self.g.superko() and not self.edited:
            assert pos not in self.positions, "a placement recreated an earlier position"
        self.positions.append(pos)
        if self.g.move_count() >= max(self.g.max_moves(), 1):
            assert self.g.is_over()

    def play(self, move, expected=None):
        before = snapshot(self.g)
        legal = self.g.is_legal_move(move)
        if expected is not None:
            assert legal == expected
        mover = self.g.turn()
        ok = self.g.make_move(move)
        assert ok is legal
        if ok:
            self.record_move(before, None if move.is_pass() else (move.col(), move.row()), mover)
        else:
            assert snapshot(self.g) == before
        return ok

    # --- play ----------------------------------------------------------------------

    @rule(steps=st.integers(1, 60), seed=st.integers(0, 2**32))
    def play_on(self, steps, seed):
        # Many moves per step, picked by a seeded generator to keep examples small,
        # so that games reach captures, ko and their end; a finished game is first
        # taken back a little so the step is not wasted.
        rng = random.Random(seed)
        if self.g.is_over():
            for _ in range(rng.randint(1, 8)):
                self.unmake_checked()
        for _ in range(steps):
            moves = self.g.legal_moves()
            if not moves:
                break
            # Passing rarely: long games fill the board and capture.
            placements = [m for m in moves if not m.is_pass()]
            self.play(rng.choice(placements if placements and rng.random() > 0.05 else moves), expected=True)

    @rule(col=st.integers(0, 40), row=st.integers(0, 40), is_pass=st.booleans())
    def make_any_move(self, col, row, is_pass):
        self.play(Move.pass_move() if is_pass else Move.place(col, row))

    @rule(data=st.data())
    def apply_any_action(self, data):
        action = data.draw(st.one_of(st.integers(0, self.area + 3), st.integers(0, U64_MAX)))
        before = snapshot(self.g)
        decoded = self.g.decode_action(action)
        if action > self.area:
            assert decoded is None
            assert self.g.apply_action(action) is False
            assert snapshot(self.g) == before
            return
        assert decoded == Move.decode(action, self.w, self.h)
        assert decoded.encode(self.w, self.h) == action
        legal = self.g.is_legal_move(decoded)
        mover = self.g.turn()
        assert self.g.apply_action(action) is legal
        if legal:
            self.record_move(before, None if decoded.is_pass() else (decoded.col(), decoded.row()), mover)
        else:
            assert snapshot(self.g) == before

    @rule()
    def unmake(self):
        self.unmake_checked()

    def unmake_checked(self):
        before = snapshot(self.g)
        ok = self.g.unmake_move()
        assert ok is (self.count > 0)
        if not ok:
            assert snapshot(self.g) == before
            return
        self.count -= 1
        self.turn = -self.turn
        self.positions.pop()
        expected = self.undo.pop()
        if expected is not None:
            assert snapshot(self.g) == expected
        assert self.g.outcome() is None and not self.g.is_over()

    @rule(data=st.data())
    def make_then_unmake(self, data):
        moves = self.g.legal_moves()
        if moves and data.draw(st.booleans()):
            move = data.draw(st.sampled_from(moves))
        else:
            move = Move.place(data.draw(st.integers(0, 33)), data.draw(st.integers(0, 33)))
        before = snapshot(self.g)
        if self.g.make_move(move):
            assert self.g.move_count() == self.count + 1
            assert self.g.unmake_move() is True
        assert snapshot(self.g) == before

    @rule()
    def pass_twice(self):
        for _ in range(2):
            self.play(Move.pass_move())

    # --- points ------------------------------------------------------------------

    @rule(col=any_int_arg(40), row=any_int_arg(40), piece=PIECES)
    def set_piece(self, col, row, piece):
        try:
            c, r, p = convert_all(("u", "u", "piece"), (col, row, piece))
        except _Refused as refused:
            self.expect_unchanged_after_error(self.g.set_piece, col, row, piece, exc=refused.exc_type)
            return
        before = snapshot(self.g)
        assert self.g.set_piece(col, row, piece) is None
        if c >= self.w or r >= self.h:
            assert snapshot(self.g) == before
            assert self.g.get_piece(col, row) is None
            return
        assert self.g.get_piece(c, r) == p
        after = snapshot(self.g)
        # Only the stones may change: move count, turn, ko point and end state (snapshot[3:8]) stay.
        assert after[3:8] == before[3:8]
        if after[0] != before[0]:
            self.edited = True
            self.undo = [None] * len(self.undo)

    @precondition(lambda self: self.w >= 4 and self.h >= 3 and not self.g.is_over())
    @rule(data=st.data())
    def set_up_ko(self, data):
        """Edits a ko shape onto the board and takes the stone, so ko states come up often."""
        ox, oy = data.draw(st.integers(0, self.w - 4)), data.draw(st.integers(0, self.h - 3))
        me = self.g.turn()
        shape = {(1, 0): me, (0, 1): me, (1, 2): me, (2, 0): -me, (3, 1): -me, (2, 2): -me, (1, 1): -me, (2, 1): None}
        for (c, r), piece in shape.items():
            self.g.set_piece(ox + c, oy + r, piece)
        self.edited = True
        self.undo = [None] * len(self.undo)
        stones = len(picture_pieces(game_picture(self.g), self.w, self.h))
        if not self.play(Move.place(ox + 2, oy + 1)) or self.g.is_over():
            return
        # Stones next to the shape may join the taken chain; a lone stone taken makes a ko.
        if len(picture_pieces(game_picture(self.g), self.w, self.h)) == stones:
            assert self.g.ko_point() == (ox + 1, oy + 1)
            assert self.g.get_piece(ox + 1, oy + 1) is None
            assert not self.g.is_legal_move(Move.place(ox + 1, oy + 1))

    @rule(col=any_int_arg(40), row=any_int_arg(40), piece=BAD_PIECES)
    def set_bad_piece(self, col, row, piece):
        try:
            convert_all(("u", "u", "piece"), (col, row, piece))
        except _Refused as refused:
            self.expect_unchanged_after_error(self.g.set_piece, col, row, piece, exc=refused.exc_type)
            return
        # Converts, but names no player.
        e = self.expect_unchanged_after_error(self.g.set_piece, col, row, piece, exc=ValueError)
        assert str(e) == "Invalid player value"

    @rule(col=any_int_arg(40), row=any_int_arg(40))
    def get_piece(self, col, row):
        try:
            c, r = convert_all(("u", "u"), (col, row))
        except _Refused as refused:
            self.expect_unchanged_after_error(self.g.get_piece, col, row, exc=refused.exc_type)
            return
        got = self.g.get_piece(col, row)
        if c >= self.w or r >= self.h:
            assert got is None
        else:
            assert got == self.g.board().get_piece(c, r)

    @rule()
    def board_copy(self):
        b = self.g.board()
        assert (b.width(), b.height()) == (self.w, self.h)
        assert repr(b) == f"Board(width={self.w}, height={self.h})"
        assert str(b) == game_picture(self.g)
        pieces = picture_pieces(str(b), self.w, self.h)
        for (c, r), p in list(pieces.items())[:50]:
            assert self.g.get_piece(c, r) == p == b.get_piece(c, r)
        before = snapshot(self.g)
        b.set_piece(0, 0, WHITE if b.get_piece(0, 0) != WHITE else BLACK)
        b.clear()
        assert snapshot(self.g) == before

    # --- queries -----------------------------------------------------------------------

    @rule(data=st.data())
    def decode_actions(self, data):
        action = data.draw(st.one_of(st.integers(0, self.area + 2), st.integers(0, U64_MAX)))
        m = self.g.decode_action(action)
        if action > self.area:
            assert m is None
            with pytest.raises(ValueError, match="^invalid action$"):
                Move.decode(action, self.w, self.h)
        elif action == self.area:
            assert m == Move.pass_move() and m.is_pass()
        else:
            assert (m.col(), m.row()) == (action % self.w, action // self.w)

    @rule()
    def encode_planes(self):
        before = snapshot(self.g)
        planes, n, h, w = self.g.encode_game_planes()
        assert snapshot(self.g) == before
        assert (n, h, w) == (17, self.h, self.w)
        a = self.area
        assert len(planes) == 17 * a and all(x in (0.0, 1.0) for x in planes)
        me = self.g.turn()
        pieces = picture_pieces(game_picture(self.g), self.w, self.h)
        mine = {c + r * self.w for (c, r), p in pieces.items() if p == me}
        theirs = {c + r * self.w for (c, r), p in pieces.items() if p == -me}
        assert {i for i in range(a) if planes[i]} == mine
        assert {i for i in range(a) if planes[a + i]} == theirs
        assert set(planes[16 * a:]) == {1.0 if me == BLACK else 0.0}
        # History planes beyond the moves made stay empty.
        k = min(self.count, 7)
        assert not any(planes[(2 * k + 2) * a:16 * a])
        # Earlier positions whose snapshot is still exact (no hand edit since).
        for t in range(1, k + 1):
            if self.undo[-t] is None:
                break
            earlier = picture_pieces(self.undo[-t][0].split("\n", 1)[1], self.w, self.h)
            for plane, colour in ((2 * t, me), (2 * t + 1, -me)):
                want = {c + r * self.w for (c, r), p in earlier.items() if p == colour}
                assert {i for i in range(a) if planes[plane * a + i]} == want
        assert self.g.encode_game_planes()[0] == planes

    @rule(perspective=st.one_of(st.sampled_from([BLACK, WHITE, 0, 2, -128, 127]), st.sampled_from(HOSTILE_SCALARS)))
    def rewards(self, perspective):
        o = self.g.outcome()
        absolute = self.g.reward_absolute()
        assert absolute == (0.0 if o is None else o.encode_winner_absolute())
        try:
            p = convert("i8", perspective)
        except _Refused as refused:
            self.expect_unchanged_after_error(self.g.reward_from_perspective, perspective, exc=refused.exc_type)
            return
        if o is None:
            assert self.g.reward_from_perspective(perspective) == 0.0
        elif p in (1, -1):
            assert self.g.reward_from_perspective(perspective) == absolute * p
        else:
            e = self.expect_unchanged_after_error(self.g.reward_from_perspective, perspective, exc=ValueError)
            assert str(e) == "Invalid perspective"

    @rule()
    def outcome_api(self):
        o = self.g.outcome()
        first = str(self.g).split("\n", 1)[0]
        assert first == (
            f"Game(turn: {'Black' if self.turn == BLACK else 'White'}, "
            f"is_over: {'true' if o else 'false'}, outcome: {outcome_debug(o)})"
        )
        if o is None:
            return
        winner = o.winner()
        assert winner in (BLACK, WHITE, None)
        assert o.is_draw() is (winner is None)
        assert o.name() == str(o) == {BLACK: "Black wins", WHITE: "White wins", None: "Draw"}[winner]
        assert repr(o) == f"GameOutcome({o.name()})"
        value = {BLACK: 1.0, WHITE: -1.0, None: 0.0}[winner]
        assert o.encode_winner_absolute() == value
        assert o.encode_winner_from_perspective(1) == value
        assert o.encode_winner_from_perspective(perspective=-1) == -value
        for bad, exc in ((0, ValueError), (3, ValueError), (200, OverflowError), ("1", TypeError), (None, TypeError)):
            with pytest.raises(exc):
                o.encode_winner_from_perspective(bad)
        assert o == self.g.outcome() and not (o != self.g.outcome())
        assert o != 0 and o != o.name() and not (o == winner)
        with pytest.raises(TypeError):
            hash(o)
        with pytest.raises(TypeError):
            _ = o < self.g.outcome()
        with pytest.raises(TypeError):
            GameOutcome()
        with pytest.raises(TypeError):
            o.winner(1)

    @rule()
    def text_forms(self):
        turn = "Black" if self.turn == BLACK else "White"
        over = "true" if self.g.is_over() else "false"
        superko = "true" if self.g.superko() else "false"
        assert repr(self.g) == f"Game(width={self.w}, height={self.h}, turn={turn}, over={over}, superko={superko})"
        assert hash(self.g) == hash(self.g) != -1
        b, w = self.g.score()
        assert isinstance(b, float) and isinstance(w, float)
        ko = self.g.ko_point()
        if ko is not None:
            assert self.g.get_piece(*ko) is None or self.edited
            assert not self.g.is_legal_move(Move.place(*ko))

    @rule(steps=st.integers(0, 3), data=st.data())
    def clone_evolves_independently(self, steps, data):
        c = self.g.clone()
        assert type(c) is Game and c is not self.g
        assert snapshot(c) == snapshot(self.g)
        assert repr(c) == repr(self.g)
        options = lambda g: (g.komi(), g.superko(), g.max_moves(), g.min_moves_before_pass_possible())  # noqa: E731
        assert repr(options(c)) == repr(options(self.g))
        before = snapshot(self.g)
        for _ in range(steps):
            moves = c.legal_moves()
            if moves:
                assert c.make_move(data.draw(st.sampled_from(moves)))
        if data.draw(st.booleans()):
            c.set_piece(0, 0, BLACK)
        assert snapshot(self.g) == before
        self.clones = (self.clones + [(c, snapshot(c))])[-2:]

    # --- Move values ----------------------------------------------------------------------

    @rule(col=st.one_of(st.integers(0, 300), st.sampled_from(HOSTILE_SCALARS)), row=st.integers(0, 300))
    def move_values(self, col, row):
        try:
            c, r = convert_all(("u", "u"), (col, row))
        except _Refused as refused:
            with pytest.raises(refused.exc_type):
                Move.place(col, row)
            return
        if c > 255 or r > 255:
            with pytest.raises(OverflowError):
                Move.place(col, row)
            return
        m = Move.place(col, row)
        assert (m.col(), m.row(), m.is_pass()) == (c, r, False)
        assert str(m) == f"Place({c}, {r})" and repr(m) == f"Move.place({c}, {r})"
        same = Move.place(row=r, col=c)
        assert m == same and not (m != same) and hash(m) == hash(same) and len({m, same}) == 1
        assert m != Move.pass_move() and m != (c, r)
        with pytest.raises(TypeError):
            _ = m < same
        action = m.encode(self.w, self.h)
        assert action == r * self.w + c
        if c < self.w and r < self.h:
            assert Move.decode(action, self.w, self.h) == m
            assert self.g.decode_action(action) == m
        p = Move.pass_move()
        assert p.encode(board_width=self.w, board_height=self.h) == self.area
        assert (p.col(), p.row(), p.is_pass(), str(p), repr(p)) == (None, None, True, "Pass", "Move.pass_move()")
        for size in (256, 2**64, -1):
            with pytest.raises(OverflowError):
                m.encode(size, self.h)
            with pytest.raises(OverflowError):
                Move.decode(0, self.w, size)
        with pytest.raises(TypeError):
            Move()

    # --- hostile calls ---------------------------------------------------------------------

    @rule(method=st.sampled_from(sorted(GAME_INT_METHODS)), data=st.data())
    def hostile_int_call(self, method, data):
        """Any argument gives the same result as its plain int, or an error that changes nothing."""
        names, kinds = GAME_INT_METHODS[method]
        values = [data.draw(PIECES if k == "piece" else any_int_arg(40)) for k in kinds]
        values = [data.draw(st.sampled_from(HOSTILE_SCALARS)) if data.draw(st.booleans()) else v for v in values]
        by_keyword = data.draw(st.booleans())
        call = (lambda fn: fn(**dict(zip(names, values)))) if by_keyword else (lambda fn: fn(*values))
        try:
            plain = convert_all(kinds, values)
        except _Refused as refused:
            e = self.expect_unchanged_after_error(call, getattr(self.g, method), exc=refused.exc_type)
            if refused.exc_type is TypeError:
                failed = next(n for n, k, v in zip(names, kinds, values) if _fails(k, v))
                assert failed in str(e)
            return
        reference = self.g.clone()
        expected = call_result(getattr(reference, method), *plain)
        before = snapshot(self.g)
        got = call_result(call, getattr(self.g, method))
        assert got == expected
        assert snapshot(self.g) == snapshot(reference)
        if got[0] == "raise":
            assert snapshot(self.g) == before
        elif method == "apply_action" and got[1] == "True":
            self.record_move(before, None if plain[0] == self.area else (plain[0] % self.w, plain[0] // self.w),
                             -self.g.turn())
        elif method == "set_piece" and snapshot(self.g)[0] != before[0]:
            self.edited = True
            self.undo = [None] * len(self.undo)

    @rule(arg=st.sampled_from(HOSTILE_SCALARS + [(3, 4), 0, "pass", Board(2, 2)]),
          method=st.sampled_from(["make_move", "is_legal_move"]))  # fmt: skip
    def non_move_argument(self, arg, method):
        e = self.expect_unchanged_after_error(getattr(self.g, method), arg, exc=TypeError)
        assert "move_" in str(e)

    @rule(method=st.sampled_from(GAME_NULLARY + sorted(GAME_INT_METHODS) + ["make_move", "is_legal_move"]),
          shape=st.sampled_from(["extra", "keyword", "missing", "duplicate"]))  # fmt: skip
    def bad_call_shape(self, method, shape):
        fn = getattr(self.g, method)
        names = GAME_INT_METHODS.get(method, (("move_",), None))[0] if method not in GAME_NULLARY else ()
        if shape == "missing" and not names:
            shape = "extra"
        if shape == "duplicate" and not names:
            shape = "keyword"
        args = [Move.pass_move() if method in ("make_move", "is_legal_move") else 0 for _ in names]
        if shape == "extra":
            call = lambda: fn(*args, 0)  # noqa: E731
        elif shape == "keyword":
            call = lambda: fn(*args, bogus=1)  # noqa: E731
        elif shape == "missing":
            call = lambda: fn(*args[:-1])  # noqa: E731
        else:
            call = lambda: fn(*args, **{names[0]: args[0]})  # noqa: E731
        self.expect_unchanged_after_error(call, exc=TypeError)

    @rule(outer=st.sampled_from(["set_piece", "apply_action", "get_piece", "decode_action", "reward_from_perspective"]),
          callback=st.sampled_from(["make_move", "apply_action", "set_piece", "unmake_move", "encode_game_planes",
                                    "get_piece", "legal_moves", "str", "hash", "clone", "board", "score"]),
          position=st.integers(0, 2), other_game=st.booleans())  # fmt: skip
    def reentrant_call(self, outer, callback, position, other_game):
        """A conversion that calls back into a game: refused when it conflicts with the call under way."""
        target = self.g.clone() if other_game else self.g
        target_before = snapshot(target)
        callbacks = {
            "make_move": lambda: target.make_move(Move.pass_move()),
            "apply_action": lambda: target.apply_action(0),
            "set_piece": lambda: target.set_piece(0, 0, BLACK),
            "unmake_move": target.unmake_move,
            "encode_game_planes": target.encode_game_planes,
            "get_piece": lambda: target.get_piece(0, 0),
            "legal_moves": target.legal_moves,
            "str": lambda: str(target),
            "hash": lambda: hash(target),
            "clone": target.clone,
            "board": target.board,
            "score": target.score,
        }
        names, kinds = GAME_INT_METHODS[outer]
        position = min(position, len(names) - 1)
        plain = [1 if k == "piece" or k == "i8" else 0 for k in kinds]
        args = list(plain)
        probe = Reenter(callbacks[callback], plain[position])
        args[position] = probe
        conflict = not other_game and (outer in GAME_MUTATORS or callback in GAME_MUTATORS)
        if conflict:
            e = self.expect_unchanged_after_error(getattr(self.g, outer), *args, exc=RuntimeError)
            assert "another call" in str(e)
            assert probe.calls == 1
            return
        if other_game:
            # The callback changes only the other game; the call itself goes through.
            reference = self.g.clone()
            expected = call_result(getattr(reference, outer), *plain)
            before = snapshot(self.g)
            got = call_result(getattr(self.g, outer), *args)
            assert got == expected and probe.calls == 1
            if snapshot(self.g) != before:
                assert snapshot(self.g) == snapshot(reference)
                if outer == "apply_action":
                    self.record_move(before, (0, 0), -self.g.turn())
                else:
                    self.edited = True
                    self.undo = [None] * len(self.undo)
            return
        # Shared access nests: a read inside a read is fine.
        before = snapshot(self.g)
        expected = call_result(getattr(self.g, outer), *plain)
        assert call_result(getattr(self.g, outer), *args) == expected
        assert probe.calls == 1 and snapshot(self.g) == before == target_before

    @rule(args=st.tuples(*[st.sampled_from([9, 2, 33, 1, -1, 2**64, "9", IntLike(5), np.uint8(4), None])] * 2),
          komi=st.sampled_from([7.5, "x", None, 2**2000, np.float32(1), IntLike(3), RaisingIndex(ValueError)]),
          counts=st.tuples(*[st.sampled_from([0, 65535, 65536, 2**64, -1, np.int64(5), "0"])] * 2),
          superko=st.sampled_from([True, np.bool_(False), 1, 0, None, "True"]))  # fmt: skip
    def with_options_arguments(self, args, komi, counts, superko):
        values = (*args, komi, *counts, superko)
        kinds = ("u", "u", "float", "u16", "u16", "bool")
        try:
            w, h, *_ = convert_all(kinds, values)
        except _Refused as refused:
            with pytest.raises(refused.exc_type):
                Game.with_options(*values)
            return
        if not (2 <= w <= 32 and 2 <= h <= 32):
            which = "width" if not 2 <= w <= 32 else "height"
            with pytest.raises(ValueError, match=f"^Board {which} must be between 2 and 32$"):
                Game.with_options(*values)
            return
        g = Game.with_options(*values)
        assert (g.width(), g.height(), g.move_count()) == (w, h, 0)

    # --- buffers, batches and symmetries ---------------------------------------------------------

    @rule(dtype=st.sampled_from([np.float32, np.uint8, np.bool_, "bytearray"]), fill=st.integers(0, 255))
    def planes_and_mask_into(self, dtype, fill):
        n, a = 17 * self.area, self.area + 1
        planes = np.asarray(self.g.encode_game_planes()[0], np.float32)
        mask = np.zeros(a, np.uint8)
        mask[self.g.legal_action_indices()] = 1
        before = snapshot(self.g)

        def buffer(size):
            if dtype == "bytearray":
                return bytearray([fill % 2]) * size
            return np.full(size, fill % 2, dtype)

        out = buffer(n)
        assert self.g.encode_planes_into(out) is None
        assert np.array_equal(np.asarray(out, np.float32), planes)
        if dtype != np.float32:
            out = buffer(a)
            self.g.legal_action_mask_into(out=out)
            assert np.array_equal(np.asarray(out, np.uint8), mask)
        assert snapshot(self.g) == before

    @rule(case=st.integers(0, 7), which=st.sampled_from(["planes", "mask"]))
    def refused_buffers(self, case, which):
        n = 17 * self.area if which == "planes" else self.area + 1
        read_only = np.full(n, 7, np.uint8)
        read_only.flags.writeable = False
        backing = bytearray(b"\x07") * (2 * n)
        out, exc = [
            (bytearray(b"\x07") * (n - 1), ValueError),
            (bytearray(b"\x07") * (n + 1), ValueError),
            (bytes(n), TypeError),
            (read_only, TypeError),
            (np.full(n, 7, np.float64), TypeError),
            (memoryview(backing)[::2], ValueError),
            ([0] * n, TypeError),
            (np.full(n, 7, np.int8), TypeError),
        ][case]
        snap = bytes(out) if isinstance(out, (bytes, bytearray, memoryview, np.ndarray)) else None
        fn = self.g.encode_planes_into if which == "planes" else self.g.legal_action_mask_into
        self.expect_unchanged_after_error(fn, out, exc=exc)
        if snap is not None:
            assert bytes(out) == snap, "a refused buffer was written"

    @rule(copies=st.integers(0, 20), seed=st.integers(0, 2**16), odd=st.sampled_from([None, "size", "type"]),
          as_generator=st.booleans(), mutate=st.booleans())  # fmt: skip
    def batches(self, copies, seed, odd, as_generator, mutate):
        rng = random.Random(seed)
        games = [self.g]
        for _ in range(copies):
            c = self.g.clone()
            for _ in range(rng.randint(0, 5)):
                legal = c.legal_action_indices()
                if legal:
                    c.apply_action(rng.choice(legal))
            games.append(c)
        rng.shuffle(games)
        if odd == "size":
            games.insert(rng.randrange(len(games) + 1), Game(self.w + 1 if self.w < 32 else 2, self.h))
        elif odd == "type":
            games.insert(rng.randrange(len(games) + 1), rng.choice([None, Board(self.w, self.h), 3, "g"]))
        inner = []

        def items():
            # The sequence is consumed while the call is under way; changing a
            # game from here is either refused or seen by the batch.
            for x in games:
                yield x
            if mutate:
                try:
                    inner.append(self.play(Move.pass_move()))
                except RuntimeError:
                    inner.append("refused")
                    raise

        n, a = 17 * self.area, self.area + 1
        planes = np.full((len(games), n), 9, np.uint8)
        masks = np.full((len(games), a), 9, np.uint8)
        before = snapshot(self.g)
        arg = items if as_generator else (lambda: games)
        if odd is not None:
            exc = ValueError if odd == "size" else TypeError
            with pytest.raises((exc, RuntimeError)) as info:
                Game.encode_planes_batch(arg(), planes)
            if odd == "type":
                bad = next(i for i, x in enumerate(games) if type(x) is not Game)
            else:
                sizes = [(x.width(), x.height()) for x in games]
                bad = next(i for i, sz in enumerate(sizes) if sz != sizes[0])
            assert f"games[{bad}]" in str(info.value) or inner == ["refused"]
            with pytest.raises(exc):
                Game.legal_action_mask_batch(games, masks)
            assert (planes == 9).all() and (masks == 9).all()
            if inner != [True]:
                assert snapshot(self.g) == before
            return
        try:
            Game.encode_planes_batch(arg(), planes)
        except RuntimeError:
            assert inner == ["refused"] and snapshot(self.g) == before
            return
        Game.legal_action_mask_batch(games, out=masks)
        for row, g in enumerate(games):
            assert planes[row].tolist() == [int(x) for x in g.encode_game_planes()[0]]
            assert np.flatnonzero(masks[row]).tolist() == g.legal_action_indices()

    @precondition(lambda self: sys.version_info >= (3, 12))  # Python-level __buffer__
    @rule(which=st.sampled_from(["planes", "mask", "batch"]), callback=st.sampled_from(["make_move", "set_piece", "str"]))
    def reentrant_buffer(self, which, callback):
        """A buffer whose export calls back into the game."""
        g = self.g
        n = 17 * self.area if which != "mask" else self.area + 1
        calls = []

        class Exporter:
            def __buffer__(self, flags):
                calls.append(callback)
                {"make_move": lambda: g.make_move(Move.pass_move()), "set_piece": lambda: g.set_piece(0, 0, BLACK),
                 "str": lambda: str(g)}[callback]()  # fmt: skip
                return memoryview(bytearray(n))

        call = {"planes": lambda: g.encode_planes_into(Exporter()), "mask": lambda: g.legal_action_mask_into(Exporter()),
                "batch": lambda: Game.encode_planes_batch([g], Exporter())}[which]  # fmt: skip
        if callback == "str":
            before = snapshot(g)
            call()
            assert snapshot(g) == before and calls
        else:
            self.expect_unchanged_after_error(call, exc=RuntimeError)

    @rule(data=st.data())
    def symmetries(self, data):
        h, w = self.h, self.w
        valid = Game.valid_transforms(h, w)
        assert valid == (tuple(range(8)) if h == w else (0, 2, 4, 5))
        t = data.draw(st.sampled_from(valid))
        inv = Game.inverse_transform(t)
        planes = np.asarray(self.g.encode_game_planes()[0], np.float32)
        out = np.empty_like(planes)
        Game.transform_planes(planes, out, h, w, t)
        back = out.copy()
        Game.transform_planes(back, back, h, w, inv)
        assert np.array_equal(back, planes)
        a = data.draw(st.integers(0, self.area))
        policy = np.zeros(self.area + 1, np.uint8)
        policy[a] = 1
        moved = np.empty_like(policy)
        Game.transform_policy(policy, moved, h, w, t)
        assert np.flatnonzero(moved).tolist() == [Game.transform_action(a, h, w, t)]
        assert Game.transform_action(Game.transform_action(a, h, w, t), h, w, inv) == a
        assert Game.transform_action(self.area, h, w, t) == self.area
        bad = data.draw(st.sampled_from([8, 2**64, -1, "1", None, np.float32(0), RaisingIndex(ValueError)]
                                        + ([] if h == w else [1, 3, 6, 7])))  # fmt: skip
        with pytest.raises((ValueError, TypeError, OverflowError)):
            Game.transform_planes(planes, out, h, w, bad)
        with pytest.raises((ValueError, TypeError, OverflowError)):
            Game.transform_action(0, h, w, bad)
        with pytest.raises(ValueError):
            Game.transform_planes(planes, out[:-1], h, w, t)
        with pytest.raises(ValueError):
            Game.transform_action(self.area + 1, h, w, t)

    # --- pickling and saved states ------------------------------------------------------------

    @rule(how=st.sampled_from(["pickle", "copy", "deepcopy"]), seed=st.integers(0, 2**16))
    def copies_continue_alike(self, how, seed):
        c = {"pickle": lambda g: pickle.loads(pickle.dumps(g)), "copy": copy.copy, "deepcopy": copy.deepcopy}[how](self.g)
        assert type(c) is Game and c is not self.g
        assert snapshot(c) == snapshot(self.g)
        options = lambda g: repr((g.komi(), g.superko(), g.max_moves(), g.min_moves_before_pass_possible()))  # noqa: E731
        assert options(c) == options(self.g)
        before = snapshot(self.g)
        # The copy plays on exactly like a clone would, take-backs included.
        twin = self.g.clone()
        rng = random.Random(seed)
        for _ in range(8):
            if rng.random() < 0.3:
                assert c.unmake_move() == twin.unmake_move()
            else:
                legal = twin.legal_action_indices()
                if not legal:
                    break
                a = rng.choice(legal)
                assert c.apply_action(a) and twin.apply_action(a)
            assert snapshot(c) == snapshot(twin)
        assert snapshot(self.g) == before

    @rule(data=st.data())
    def corrupt_states(self, data):
        """Damaged saved states load as sound games or raise ValueError, never worse."""
        state = bytearray(self.g.__reduce__()[1][0])
        assert Game._from_state(bytes(state)) is not None
        for _ in range(data.draw(st.integers(1, 3))):
            kind = data.draw(st.sampled_from(["flip", "byte", "cut", "grow"]))
            if kind == "cut":
                del state[data.draw(st.integers(0, max(0, len(state) - 1))):]
            elif kind == "grow":
                state += bytes(data.draw(st.binary(min_size=1, max_size=16)))
            elif state:
                i = data.draw(st.integers(0, len(state) - 1))
                state[i] = state[i] ^ (1 << data.draw(st.integers(0, 7))) if kind == "flip" else data.draw(
                    st.integers(0, 255))
        try:
            g = Game._from_state(bytes(state))
        except ValueError:
            return
        check_sound(g)

    @rule(state=st.binary(max_size=64), cls=st.sampled_from([Game, Board]))
    def arbitrary_states(self, state, cls):
        try:
            loaded = cls._from_state(state)
        except ValueError:
            return
        if cls is Game:
            check_sound(loaded)
        else:
            picture_pieces(str(loaded), loaded.width(), loaded.height())

    # --- invariants --------------------------------------------------------------------------

    @invariant()
    def model_agrees(self):
        if not hasattr(self, "g"):
            return
        assert self.g.move_count() == self.count
        assert self.g.turn() == self.turn
        assert self.g.is_over() is (self.g.outcome() is not None)

    @invariant()
    def legality_views_agree(self):
        if not hasattr(self, "g"):
            return
        moves = self.g.legal_moves()
        by_test = [m for a in range(self.area + 1) if self.g.is_legal_move(m := self.g.decode_action(a))]
        assert moves == by_test
        assert self.g.legal_action_indices() == [m.encode(self.w, self.h) for m in moves]
        if self.g.is_over():
            assert moves == []
            return
        # Passing is open once enough moves were made, or when nothing else is legal.
        assert moves
        placements = [m for m in moves if not m.is_pass()]
        pass_open = not placements or self.count >= self.g.min_moves_before_pass_possible()
        assert moves[-1].is_pass() is pass_open

    @invariant()
    def engine_consistent(self):
        """Every derived table of the engine agrees with the board and history, after every step."""
        if hasattr(self, "g"):
            assert self.g._check_consistency() is None

    @invariant()
    def clones_untouched(self):
        for c, snap in getattr(self, "clones", ()):
            assert snapshot(c) == snap


def _fails(kind, value) -> bool:
    try:
        convert(kind, value)
    except _Refused:
        return True
    return False


def check_sound(g: Game):
    """A game from a saved state behaves like any game: its views agree and it plays and unplays cleanly."""
    w, h = g.width(), g.height()
    assert 2 <= w <= 32 and 2 <= h <= 32
    area = w * h
    moves = g.legal_moves()
    assert moves == [m for a in range(area + 1) if g.is_legal_move(m := g.decode_action(a))]
    assert g.legal_action_indices() == [m.encode(w, h) for m in moves]
    before = snapshot(g)
    planes = g.encode_game_planes()
    assert len(planes[0]) == 17 * area and snapshot(g) == before
    g._check_consistency()
    for m in moves[:5] + moves[-2:]:
        if g.make_move(m):
            g._check_consistency()
            g.unmake_move()
        assert snapshot(g) == before
        g._check_consistency()
    assert pickle.loads(pickle.dumps(g)).legal_moves() == moves
    while g.unmake_move():
        g.legal_moves()
        g.encode_game_planes()
    assert g.move_count() == 0


# --- the Board machine ----------------------------------------------------------------------


class BoardMachine(RuleBasedStateMachine):
    """A stand-alone Board against a dict of its stones."""

    @initialize(width=SIZES, height=SIZES, standard=st.booleans())
    def create(self, width, height, standard):
        if standard:
            width = height = 19
            self.b = Board.standard()
        else:
            self.b = Board(width=width, height=height)
        self.w, self.h = width, height
        self.stones: dict = {}

    @rule(col=any_int_arg(40), row=any_int_arg(40), piece=st.one_of(PIECES, BAD_PIECES))
    def set_piece(self, col, row, piece):
        try:
            c, r, p = convert_all(("u", "u", "piece"), (col, row, piece))
        except _Refused as refused:
            with pytest.raises(refused.exc_type):
                self.b.set_piece(col, row, piece)
            return
        if p not in (None, 1, -1):
            with pytest.raises(ValueError, match="^Invalid player value$"):
                self.b.set_piece(col, row, piece)
            return
        assert self.b.set_piece(col, row, piece=piece) is None
        if c < self.w and r < self.h:
            self.stones.pop((c, r), None)
            if p is not None:
                self.stones[(c, r)] = p

    @rule(col=any_int_arg(40), row=any_int_arg(40))
    def get_piece(self, col, row):
        try:
            c, r = convert_all(("u", "u"), (col, row))
        except _Refused as refused:
            with pytest.raises(refused.exc_type):
                self.b.get_piece(col, row)
            return
        assert self.b.get_piece(col, row) == self.stones.get((c, r))

    @rule()
    def clear(self):
        assert self.b.clear() is None
        self.stones.clear()

    @rule(callback=st.sampled_from(["clear", "set_piece", "get_piece", "str"]),
          outer=st.sampled_from(["set_piece", "get_piece"]), position=st.integers(0, 2))  # fmt: skip
    def reentrant_call(self, callback, outer, position):
        b = self.b
        fn = {
            "clear": b.clear,
            "set_piece": lambda: b.set_piece(0, 0, WHITE),
            "get_piece": lambda: b.get_piece(0, 0),
            "str": lambda: str(b),
        }[callback]
        args = [0, 0, BLACK][: 3 if outer == "set_piece" else 2]
        position = min(position, len(args) - 1)
        probe = Reenter(fn, args[position])
        args[position] = probe
        before = str(b)
        if outer == "set_piece" or callback in ("clear", "set_piece"):
            with pytest.raises(RuntimeError):
                getattr(b, outer)(*args)
            assert str(b) == before and probe.calls == 1
        else:
            assert getattr(b, outer)(*args) == self.stones.get((0, 0))

    @rule(method=st.sampled_from(["width", "height", "clear", "get_piece", "set_piece"]), extra=st.booleans())
    def bad_call_shape(self, method, extra):
        before = str(self.b)
        n = {"get_piece": 2, "set_piece": 3}.get(method, 0)
        with pytest.raises(TypeError):
            getattr(self.b, method)(*([0] * (n + 1 if extra or n == 0 else n - 1)))
        assert str(self.b) == before

    @invariant()
    def matches_model(self):
        if not hasattr(self, "b"):
            return
        assert (self.b.width(), self.b.height()) == (self.w, self.h)
        assert repr(self.b) == f"Board(width={self.w}, height={self.h})"
        assert picture_pieces(str(self.b), self.w, self.h) == self.stones


TestGameFuzz = GameMachine.TestCase
TestGameFuzz.settings = PROFILE
TestBoardFuzz = BoardMachine.TestCase
TestBoardFuzz.settings = settings(PROFILE, max_examples=max(10, PROFILE.max_examples // 4))
