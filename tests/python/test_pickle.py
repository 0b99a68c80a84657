"""Pickling and copying of Game, Board, Move and GameOutcome: an unpickled game
is the same game (it continues, unmakes and hashes exactly as the original),
and corrupt or hostile states are refused with an exception."""

from __future__ import annotations

import copy
import math
import os
import pickle
import random
import struct
import subprocess
import sys

import pytest

import vexlor_go as vg
from conftest import QUICK, finished_game, ko_game, play, snapshot
from vexlor_go import Board, Game, GameOutcome, Move

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def state(obj) -> bytes:
    return obj.__reduce__()[1][0]


def komi_bits(g: Game) -> bytes:
    return struct.pack("<f", g.komi())


def full_view(g: Game):
    """What a caller sees, plus the planes and the complete saved state (as
    text where a NaN komi would make equal scores compare unequal)."""
    return repr(snapshot(g)), g.legal_moves(), g.encode_game_planes(), komi_bits(g), state(g)


def random_op(rng: random.Random, games, edits: bool) -> None:
    """One random step, applied alike to every game in `games`."""
    lead = games[0]
    roll = rng.random()
    if roll < 0.2 or lead.is_over():
        results = {g.unmake_move() for g in games}
    elif edits and roll < 0.26:
        col, row = rng.randrange(lead.width()), rng.randrange(lead.height())
        piece = rng.choice([vg.BLACK, vg.WHITE, None])
        results = {g.set_piece(col, row, piece) for g in games}
    else:
        move = rng.choice(lead.legal_moves())
        results = {g.make_move(move) for g in games}
    assert len(results) == 1


def some_games():
    """Games in states worth preserving: ko, both ways of ending, edited boards, odd komi."""
    edited = Game.with_options(5, 5, 7.5, 0, 75, True)
    edited.set_piece(2, 2, vg.WHITE)  # a set-up stone before the first move
    play(edited, (0, 0), (4, 4))
    edited.set_piece(0, 4, vg.BLACK)
    limited = Game.with_options(3, 3, 0.5, 0, 0, False)  # max_moves 0: over after one move
    play(limited, (1, 1))
    return {
        "new": Game(9, 9),
        "standard": Game.standard(),
        "ko": ko_game(),
        "over_passes": finished_game("white"),
        "over_limit": limited,
        "edited": edited,
        "rectangular": play(Game(7, 11), (6, 10), (0, 0), (3, 5)),
        "large": play(Game(32, 32), (31, 31), (0, 0)),
        "nan_komi": Game.with_options(9, 9, math.nan, 10, 20, True),
        "inf_komi": Game.with_options(4, 4, -math.inf, 0, 10, True),
        "negative_zero_komi": play(Game.with_options(4, 4, -0.0, 0, 10, True), None, None),
    }


GAMES = some_games()


class TestRoundTrip:
    @pytest.mark.parametrize("protocol", PROTOCOLS)
    @pytest.mark.parametrize("name", GAMES)
    def test_game_keeps_everything(self, name, protocol):
        g = GAMES[name]
        loaded = pickle.loads(pickle.dumps(g, protocol))
        assert type(loaded) is Game and loaded is not g
        assert full_view(loaded) == full_view(g)
        assert (loaded.min_moves_before_pass_possible(), loaded.max_moves(), loaded.superko()) == (
            g.min_moves_before_pass_possible(),
            g.max_moves(),
            g.superko(),
        )

    def test_nan_komi_keeps_its_payload(self):
        # A NaN with a payload cannot come through with_options (the float
        # conversion may quiet it), so build the state by hand.
        g = Game.with_options(4, 4, math.nan, 0, 10, True)
        raw = bytearray(state(g))
        raw[4:8] = struct.pack("<I", 0x7FC12345)
        loaded = Game._from_state(bytes(raw))
        assert struct.pack("<f", loaded.komi()) == struct.pack("<I", 0x7FC12345)
        assert state(pickle.loads(pickle.dumps(loaded))) == bytes(raw)

    @pytest.mark.parametrize("protocol", PROTOCOLS)
    def test_board_move_outcome(self, protocol):
        b = Board(9, 13)
        b.set_piece(8, 12, vg.WHITE)
        b.set_piece(0, 0, vg.BLACK)
        loaded = pickle.loads(pickle.dumps(b, protocol))
        assert type(loaded) is Board and str(loaded) == str(b) and repr(loaded) == repr(b)
        for m in [Move.place(3, 4), Move.place(255, 0), Move.pass_move()]:
            back = pickle.loads(pickle.dumps(m, protocol))
            assert back == m and hash(back) == hash(m) and repr(back) == repr(m)
        for kind in ("black", "white", "draw"):
            o = finished_game(kind).outcome()
            back = pickle.loads(pickle.dumps(o, protocol))
            assert back == o and repr(back) == repr(o)

    def test_containers_and_shared_references(self):
        g = GAMES["ko"]
        data = {"games": [g, g], "move": Move.place(1, 1), "outcome": GAMES["over_passes"].outcome()}
        back = pickle.loads(pickle.dumps(data))
        assert back["games"][0] is back["games"][1]  # pickle's memo still applies
        assert full_view(back["games"][0]) == full_view(g)

    def test_game_pickled_in_another_process(self):
        # States and hashes do not depend on the process (hash seed, address layout).
        code = (
            "import pickle, sys, vexlor_go as vg\n"
            "g = vg.Game(9, 9)\n"
            "for a in (40, 41, 31, 49): g.apply_action(a)\n"
            "sys.stdout.buffer.write(pickle.dumps(g))\n"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, check=True, env=_env("12345")).stdout
        g = Game(9, 9)
        for a in (40, 41, 31, 49):
            g.apply_action(a)
        assert full_view(pickle.loads(out)) == full_view(g)

    def test_state_is_compact(self):
        rng = random.Random(3)
        g = Game(19, 19)
        while not g.is_over():
            g.apply_action(rng.choice(g.legal_action_indices()))
        # About three bytes per move: no bitboards per history record.
        assert len(pickle.dumps(g)) < 200 + 4 * g.move_count()


def _env(hash_seed: str):
    env = dict(os.environ)
    env["PYTHONHASHSEED"] = hash_seed
    return env


SIZES = [(2, 2), (3, 3), (4, 4), (5, 5), (9, 9), (7, 11)] + ([] if QUICK else [(19, 19), (13, 5)])


class TestContinuation:
    """Pickle at random points, then drive original and copy with the same
    random moves, take-backs and edits, comparing everything after each step."""

    @pytest.mark.parametrize("edits", [False, True], ids=["play", "edits"])
    @pytest.mark.parametrize("size", SIZES, ids=lambda s: f"{s[0]}x{s[1]}")
    def test_unpickled_games_continue_alike(self, size, edits):
        width, height = size
        rng = random.Random(width * 100 + height + edits)
        steps = 60 if QUICK else 150
        for superko in (True, False):
            area = width * height
            g = Game.with_options(width, height, 7.5, rng.randrange(area), 3 * area, superko)
            twin = pickle.loads(pickle.dumps(g))
            for _ in range(steps):
                if rng.random() < 0.15:
                    twin = pickle.loads(pickle.dumps(g, rng.choice(PROTOCOLS)))
                random_op(rng, [g, twin], edits)
                assert full_view(twin) == full_view(g)
            # Every undo record survived: take everything back in step.
            while g.move_count():
                assert g.unmake_move() and twin.unmake_move()
                assert full_view(twin) == full_view(g)
            assert not twin.unmake_move()

    def test_positions_from_before_a_hand_edit_stay_forbidden(self):
        # The position after White's (2, 2) was recorded before the stone was
        # edited away; the history cannot lead back to it, yet replaying it
        # must stay a superko violation after a round trip.
        g = play(Game.with_options(3, 3, 7.5, 0, 27, True), (0, 0), (2, 2))
        g.set_piece(2, 2, None)
        play(g, None)
        assert not g.is_legal_move(Move.place(2, 2))
        twin = pickle.loads(pickle.dumps(g))
        assert not twin.is_legal_move(Move.place(2, 2))
        assert full_view(twin) == full_view(g)

    def test_superko_history_survives(self):
        # On 2x2 boards the superko record decides most moves: after pickling,
        # exactly the same repetitions must stay forbidden.
        rng = random.Random(5)
        for _ in range(20 if QUICK else 80):
            g = Game.with_options(2, 2, 0.5, 0, 60, True)
            for _ in range(rng.randrange(1, 25)):
                random_op(rng, [g], edits=False)
            twin = pickle.loads(pickle.dumps(g))
            for _ in range(30):
                assert twin.legal_moves() == g.legal_moves()
                random_op(rng, [g, twin], edits=False)


class TestCopy:
    @pytest.mark.parametrize("fn", [copy.copy, copy.deepcopy, Game.clone])
    def test_game_copies_are_independent(self, fn):
        g = GAMES["ko"].clone()
        c = fn(g)
        assert type(c) is Game and c is not g and full_view(c) == full_view(g)
        c.make_move(c.legal_moves()[0])
        c.set_piece(0, 3, vg.WHITE)
        assert full_view(g) == full_view(GAMES["ko"])
        assert g.unmake_move() and c.unmake_move() and c.unmake_move()

    @pytest.mark.parametrize("fn", [copy.copy, copy.deepcopy])
    def test_board_copies_are_independent(self, fn):
        b = Board(5, 5)
        b.set_piece(1, 1, vg.BLACK)
        c = fn(b)
        c.set_piece(1, 1, vg.WHITE)
        assert b.get_piece(1, 1) == vg.BLACK and c.get_piece(1, 1) == vg.WHITE

    @pytest.mark.parametrize("fn", [copy.copy, copy.deepcopy])
    def test_immutable_values_copy_to_themselves(self, fn):
        for v in (Move.place(2, 3), Move.pass_move(), GAMES["over_passes"].outcome()):
            assert fn(v) is v

    def test_deepcopy_of_a_structure(self):
        g = GAMES["edited"]
        tree = {"root": g, "children": [g, Move.pass_move()]}
        c = copy.deepcopy(tree)
        assert c["root"] is c["children"][0] and c["root"] is not g
        assert full_view(c["root"]) == full_view(g)


class TestApi:
    @pytest.mark.parametrize(
        "cls, names",
        [
            (Game, ["__reduce__", "_from_state", "__copy__", "__deepcopy__"]),
            (Board, ["__reduce__", "_from_state", "__copy__", "__deepcopy__"]),
            (Move, ["__reduce__", "__copy__", "__deepcopy__"]),
            (GameOutcome, ["__reduce__", "_from_code", "__copy__", "__deepcopy__"]),
        ],
        ids=lambda x: getattr(x, "__name__", ""),
    )
    def test_members_and_kinds(self, cls, names):
        assert all(n in cls.__dict__ for n in names)
        assert isinstance(cls.__dict__[names[1]], staticmethod) == (cls is not Move)

    def test_reduce_shapes(self):
        fn, args = Game(5, 5).__reduce__()
        assert fn == Game._from_state and type(args[0]) is bytes
        assert Move.place(1, 2).__reduce__() == (Move.place, (1, 2))
        assert Move.pass_move().__reduce__() == (Move.pass_move, ())
        assert GAMES["over_passes"].outcome().__reduce__() == (GameOutcome._from_code, (1,))

    @pytest.mark.parametrize("maker", [bytes, bytearray, memoryview])
    def test_states_from_any_bytes_like(self, maker):
        g = GAMES["ko"]
        assert full_view(Game._from_state(maker(state(g)))) == full_view(g)
        b = GAMES["ko"].board()
        assert str(Board._from_state(maker(state(b)))) == str(b)

    @pytest.mark.parametrize(
        "call, exc",
        [
            (lambda: Game._from_state("G\x01"), TypeError),
            (lambda: Game._from_state(None), TypeError),
            (lambda: Game._from_state(), TypeError),
            (lambda: Game._from_state(b""), ValueError),
            (lambda: Game._from_state(state(Board(9, 9))), ValueError),
            (lambda: Board._from_state(state(Game(9, 9))), ValueError),
            (lambda: Board._from_state(b"B\x01\x09\x09"), ValueError),
            (lambda: GameOutcome._from_code(3), ValueError),
            (lambda: GameOutcome._from_code(-1), OverflowError),
            (lambda: GameOutcome._from_code("1"), TypeError),
            (lambda: Game(5, 5).__deepcopy__(), TypeError),
            (lambda: Move.pass_move().__reduce__(1), TypeError),
        ],
    )
    def test_refused_calls(self, call, exc):
        with pytest.raises(exc):
            call()

    def test_error_names_the_problem(self):
        raw = bytearray(state(Game(9, 9)))
        raw[1] = 9
        with pytest.raises(ValueError, match="invalid Game state: unsupported state version 9"):
            Game._from_state(bytes(raw))


# --- corrupt and hostile states ------------------------------------------------------


def varint(v: int) -> bytes:
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    return bytes(out + bytes([v]))


def check_sound(g: Game) -> None:
    """Invariants a loaded game must keep, and it must keep working."""
    w, h = g.width(), g.height()
    assert 2 <= w <= 32 and 2 <= h <= 32
    assert g.is_over() == (g.outcome() is not None)
    assert g.turn() == (vg.BLACK if g.move_count() % 2 == 0 else vg.WHITE)
    assert g.move_count() <= max(g.max_moves(), 1)
    ko = g.ko_point()
    assert ko is None or (ko[0] < w and ko[1] < h)
    before = (str(g), hash(g))
    # The listing and the single-move test agree on every move.
    legal = g.legal_moves()
    for m in [Move.place(c, r) for r in range(h) for c in range(w)] + [Move.pass_move()]:
        assert g.is_legal_move(m) == (m in legal), m
    for m in g.legal_moves():
        assert g.make_move(m)
        g.encode_game_planes()
        assert g.unmake_move()
        assert (str(g), hash(g)) == before
    planes, n, rows, cols = g.encode_game_planes()
    assert (n, rows, cols) == (17, h, w) and len(planes) == 17 * w * h
    # The whole history can be taken back, leaving a sound board each time.
    c = g.clone()
    while c.unmake_move():
        for r in range(h):
            for col in range(w):
                c.get_piece(col, r)
    assert c.move_count() == 0 and c.turn() == vg.BLACK


def fuzz_sources():
    rng = random.Random(11)
    out = [GAMES["ko"], GAMES["edited"], GAMES["over_passes"], GAMES["over_limit"]]
    for size in [(3, 3), (5, 4), (9, 9)]:
        g = Game.with_options(*size, 6.5, 0, 3 * size[0] * size[1], True)
        for _ in range(rng.randrange(5, 40)):
            random_op(rng, [g], edits=True)
        out.append(g)
    return out


class TestCorruptStates:
    @pytest.mark.parametrize("source", range(len(fuzz_sources())))
    def test_flips_and_truncations_raise_or_load_sound_games(self, source):
        g = fuzz_sources()[source]
        good = state(g)
        rng = random.Random(source)
        accepted = 0
        for length in range(len(good)):
            with pytest.raises(ValueError):
                Game._from_state(good[:length])
        with pytest.raises(ValueError):
            Game._from_state(good + b"\x00")
        for _ in range(60 if QUICK else 400):
            raw = bytearray(good)
            for _ in range(rng.choice([1, 1, 2, 3])):
                i = rng.randrange(len(raw))
                raw[i] = raw[i] ^ (1 << rng.randrange(8)) if rng.random() < 0.7 else rng.randrange(256)
            try:
                loaded = Game._from_state(bytes(raw))
            except ValueError:
                continue
            accepted += 1
            assert state(loaded) == bytes(raw)  # one encoding per game
            check_sound(loaded)
        assert accepted > 0

    @pytest.mark.parametrize(
        "offset, value, why",
        [
            (2, 1, "board size out of range"),
            (3, 33, "board size out of range"),
            (13, 3, "consecutive pass count"),
            (12, 0x80, "unknown flags"),
        ],
    )
    def test_header_fields(self, offset, value, why):
        raw = bytearray(state(Game(4, 4)))
        raw[offset] = value
        with pytest.raises(ValueError, match=why):
            Game._from_state(bytes(raw))

    def test_overlapping_stones(self):
        raw = bytearray(state(Game(4, 4)))
        raw[14] = raw[16] = 1  # black and white bitmaps both hold point 0
        with pytest.raises(ValueError, match="both colours"):
            Game._from_state(bytes(raw))

    @pytest.mark.parametrize("counts, why", [([2**32], "out of range"), ([1, 0], "zero count")])
    def test_counts_the_tables_cannot_hold_are_refused(self, counts, why):
        raw = bytearray(state(Game(3, 3)))
        raw[12] |= 2  # explicit hash list, placed before the final (empty) Zobrist list
        body = raw[:-1] + bytes([len(counts)])
        for key, count in enumerate(counts):
            body += struct.pack("<Q", key) + varint(count)
        with pytest.raises(ValueError, match=why):
            Game._from_state(bytes(body + b"\x00"))

    def test_board_flips(self):
        b = Board(5, 5)
        b.set_piece(2, 2, vg.BLACK)
        good = state(b)
        for i in range(len(good)):
            for bit in range(8):
                raw = bytearray(good)
                raw[i] ^= 1 << bit
                try:
                    loaded = Board._from_state(bytes(raw))
                except ValueError:
                    continue
                assert state(loaded) == bytes(raw)
                cells = [loaded.get_piece(c, r) for r in range(5) for c in range(5)]
                assert set(cells) <= {None, vg.BLACK, vg.WHITE}


class TestHostileStates:
    """Stored lists a state may get wrong cannot switch a rule off."""

    @staticmethod
    def edited_state() -> bytes:
        # White's stone is taken off by hand after B (0,0), W (1,1): the position
        # after White's move stays recorded though no undo record leads back to
        # it; after a Black pass, White at (1,1) would repeat it. The state ends
        # with the Zobrist key saved for it: 8 key bytes, then its count.
        g = play(Game.with_options(4, 4, 7.5, 0, 100, True), (0, 0), (1, 1))
        g.set_piece(1, 1, None)
        return state(g)

    @pytest.mark.parametrize("tamper", ["none", "other key", "no key", "moved stone"])
    def test_stored_lists_cannot_switch_superko_off(self, tamper):
        raw = bytearray(self.edited_state())
        assert raw[-11] == 1  # one saved key
        if tamper == "other key":
            raw[-5] ^= 0x40  # a key nothing can confirm
        elif tamper == "no key":
            raw = raw[:-10]
            raw[-1] = 0
        elif tamper == "moved stone":
            raw[14] ^= 0b11  # Black's stone from (0,0) to (1,0): the stored positions no longer follow
        try:
            g = Game._from_state(bytes(raw))
        except ValueError:
            assert tamper in ("no key", "moved stone")
            return
        assert tamper != "no key"
        check_sound(g)
        if tamper != "moved stone":
            play(g, None)
            assert not g.is_legal_move(Move.place(1, 1))
            assert Move.place(1, 1) not in g.legal_moves()
            assert not g.make_move(Move.place(1, 1))

    def test_counts_at_the_limit_keep_pickling(self):
        # One position hash no move explains and its Zobrist key, each counted
        # as often as the tables allow: the game loads, plays and keeps pickling.
        raw = bytearray(state(Game(3, 3)))
        raw[12] |= 2
        body = bytes(raw[:-1])
        for key in (0x1234, 0x5678):
            body += b"\x01" + struct.pack("<Q", key) + varint(2**32 - 1)
        g = Game._from_state(body)
        for _ in range(6):
            play(g, (g.move_count() % 3, g.move_count() // 3))
            assert full_view(pickle.loads(pickle.dumps(g))) == full_view(g)
