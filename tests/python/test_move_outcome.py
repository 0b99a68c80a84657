"""Move and GameOutcome: construction, texts, equality, hashing."""

import operator
import struct

import pytest

import vexlor_go as vg
from conftest import finished_game, python_hash, siphash13

P = vg.Move.place
PASS = vg.Move.pass_move
ORDERINGS = [operator.lt, operator.le, operator.gt, operator.ge]


class AlwaysEqual:
    def __eq__(self, other):
        return True

    __hash__ = None


OTHERS = [5, 0, None, (3, 4), "Pass", "Place(3, 4)", 1.0, vg.Move, AlwaysEqual()]


class TestMoveValues:
    @pytest.mark.parametrize(
        "move, text, rep, col, row, is_pass",
        [
            (P(3, 4), "Place(3, 4)", "Move.place(3, 4)", 3, 4, False),
            (P(0, 0), "Place(0, 0)", "Move.place(0, 0)", 0, 0, False),
            (P(255, 10), "Place(255, 10)", "Move.place(255, 10)", 255, 10, False),
            (PASS(), "Pass", "Move.pass_move()", None, None, True),
        ],
    )
    def test_texts_and_parts(self, move, text, rep, col, row, is_pass):
        assert str(move) == text and repr(move) == rep
        assert move.col() == col and move.row() == row
        assert move.is_pass() is is_pass
        if col is not None:
            assert type(move.col()) is int and type(move.row()) is int

    @pytest.mark.parametrize("args, exc, match", [
        ((-1, 0), OverflowError, None), ((0, -1), OverflowError, None),
        ((256, 0), OverflowError, None), ((0, 300), OverflowError, None),
        (("a", 0), TypeError, r"\bcol\b"), ((0, "a"), TypeError, r"\brow\b"),
    ])
    def test_place_refuses(self, args, exc, match):
        with pytest.raises(exc, match=match):
            P(*args)

    def test_each_call_makes_a_new_object(self):
        assert P(1, 2) is not P(1, 2)
        assert PASS() is not PASS()


class TestMoveEquality:
    @pytest.mark.parametrize(
        "a, b, equal",
        [
            (P(3, 4), P(3, 4), True),
            (P(3, 4), P(4, 3), False),
            (P(0, 0), PASS(), False),
            (PASS(), PASS(), True),
            (P(0, 0), P(0, 0), True),
            (PASS(), vg.Move.decode(81, 9, 9), True),
            (P(1, 1), vg.Move.decode(10, 9, 9), True),
        ],
    )
    def test_between_moves(self, a, b, equal):
        assert (a == b) is equal and (b == a) is equal
        assert (a != b) is (not equal) and (b != a) is (not equal)
        assert (hash(a) == hash(b)) or not equal

    @pytest.mark.parametrize("other", OTHERS, ids=lambda x: type(x).__name__)
    def test_other_types_fall_back_to_the_interpreter(self, other):
        m = P(3, 4)
        expected = isinstance(other, AlwaysEqual)  # its reflected __eq__ answers
        assert (m == other) is expected and (other == m) is expected
        assert (m != other) is (not expected)

    @pytest.mark.parametrize("op", ORDERINGS, ids=lambda o: o.__name__)
    def test_no_order(self, op):
        with pytest.raises(TypeError):
            op(P(3, 4), P(4, 4))
        with pytest.raises(TypeError):
            op(PASS(), PASS())

    def test_dunder_answers_not_implemented(self):
        assert P(3, 4).__eq__(5) is NotImplemented
        assert P(3, 4).__lt__(P(4, 4)) is NotImplemented

    def test_moves_from_a_game_equal_constructed_moves(self):
        g = vg.Game(5, 5)
        listed = g.legal_moves()
        assert listed[7] == P(2, 1) and hash(listed[7]) == hash(P(2, 1))
        assert g.decode_action(25) == PASS()


def move_reference_hash(move):
    data = struct.pack("<Q", 1 if move.is_pass() else 0)
    if not move.is_pass():
        data += bytes([move.col(), move.row()])
    return python_hash(siphash13(data))


class TestMoveHash:
    @pytest.mark.parametrize(
        "move, value",
        [(PASS(), 2206609067086327257), (P(0, 0), 764595047648559848), (P(3, 4), -8654779130179705044)],
    )
    def test_known_values(self, move, value):
        assert hash(move) == value

    def test_matches_reference_everywhere(self):
        for col in range(0, 256, 5):
            for row in (0, 1, 17, 31, 128, 255):
                m = P(col, row)
                assert hash(m) == move_reference_hash(m), m
        assert hash(PASS()) == move_reference_hash(PASS())

    def test_sets_and_dicts(self):
        assert len({P(3, 4), P(3, 4)}) == 1
        assert len({PASS(), PASS(), P(0, 0)}) == 2
        table = {P(3, 4): "a", PASS(): "b"}
        assert table[P(3, 4)] == "a" and table[vg.Move.decode(4, 2, 2)] == "b"


OUTCOMES = [
    ("black", vg.BLACK, False, "Black wins"),
    ("white", vg.WHITE, False, "White wins"),
    ("draw", None, True, "Draw"),
]


class TestGameOutcome:
    @pytest.mark.parametrize("kind, winner, is_draw, name", OUTCOMES)
    def test_values_and_texts(self, kind, winner, is_draw, name):
        o = finished_game(kind).outcome()
        assert o.winner() == winner and (winner is None or type(o.winner()) is int)
        assert o.is_draw() is is_draw
        assert o.name() == name and str(o) == name
        assert repr(o) == f"GameOutcome({name})"

    @pytest.mark.parametrize("kind", ["black", "white", "draw"])
    def test_equality(self, kind):
        a, b = finished_game(kind).outcome(), finished_game(kind).outcome()
        assert a == b and not (a != b)
        for other_kind in {"black", "white", "draw"} - {kind}:
            c = finished_game(other_kind).outcome()
            assert a != c and not (a == c)

    @pytest.mark.parametrize("other", OTHERS + [0, 1, 2, -1, "Draw", "White wins", PASS()], ids=lambda x: type(x).__name__)
    def test_never_equals_other_types(self, other):
        o = finished_game("white").outcome()
        expected = isinstance(other, AlwaysEqual)
        assert (o == other) is expected and (other == o) is expected
        assert (o != other) is (not expected)

    @pytest.mark.parametrize("op", ORDERINGS, ids=lambda o: o.__name__)
    def test_no_order(self, op):
        with pytest.raises(TypeError):
            op(finished_game("white").outcome(), finished_game("black").outcome())

    def test_unhashable(self):
        o = finished_game("draw").outcome()
        with pytest.raises(TypeError):
            hash(o)
        with pytest.raises(TypeError):
            {o}
        assert type(o).__hash__ is None
