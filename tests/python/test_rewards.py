"""Rewards of games and winner encodings of outcomes."""

import math

import numpy as np
import pytest

import vexlor_go as vg
from conftest import finished_game, play

# kind: (absolute, from Black, from White)
TABLE = {"black": (1.0, 1.0, -1.0), "white": (-1.0, -1.0, 1.0), "draw": (0.0, 0.0, 0.0)}


def exact(value, expected):
    """Same float, sign of zero included."""
    return type(value) is float and value == expected and math.copysign(1.0, value) == math.copysign(1.0, expected)


class TestPerspectiveConversion:
    @pytest.mark.parametrize("value", [200, 128, -129, 2**70], ids=str)
    @pytest.mark.parametrize("state", ["new", "black", "draw"])
    def test_out_of_range_overflows_first(self, value, state):
        g = vg.Game(9, 9) if state == "new" else finished_game(state)
        with pytest.raises(OverflowError):
            g.reward_from_perspective(value)
        if state != "new":
            with pytest.raises(OverflowError):
                g.outcome().encode_winner_from_perspective(value)

    @pytest.mark.parametrize("value", ["1", None, 1.0, vg.Move.pass_move()], ids=lambda v: type(v).__name__)
    def test_non_integers(self, value):
        with pytest.raises(TypeError, match=r"\bperspective\b"):
            vg.Game(9, 9).reward_from_perspective(value)
        with pytest.raises(TypeError, match=r"\bperspective\b"):
            finished_game("white").outcome().encode_winner_from_perspective(value)

    @pytest.mark.parametrize("value, column", [(True, 1), (np.int8(-1), 2), (np.int64(1), 1), (vg.WHITE, 2)],
                             ids=["True", "int8", "int64", "WHITE"])
    def test_integer_like(self, value, column):
        g = finished_game("black")
        assert g.reward_from_perspective(value) == TABLE["black"][column]
        assert g.outcome().encode_winner_from_perspective(perspective=value) == TABLE["black"][column]


class TestGameInPlay:
    @pytest.mark.parametrize("perspective", [1, -1, 0, 5, -128, 127])
    def test_zero_without_looking_at_the_perspective(self, perspective):
        g = vg.Game(9, 9)
        assert exact(g.reward_from_perspective(perspective), 0.0)
        assert exact(g.reward_absolute(), 0.0)

    def test_unfinished_game_with_a_wide_lead(self):
        g = play(vg.Game.with_options(9, 9, 7.5, 0, 100, True), (4, 4), None)
        b, w = g.score()
        assert b > w + 30
        assert g.reward_absolute() == 0.0
        assert g.reward_from_perspective(vg.BLACK) == g.reward_from_perspective(vg.WHITE) == 0.0

    @pytest.mark.parametrize("kind", ["black", "white", "draw"])
    def test_back_to_zero_after_taking_back_the_last_move(self, kind):
        g = finished_game(kind)
        assert g.unmake_move()
        assert exact(g.reward_absolute(), 0.0)
        assert exact(g.reward_from_perspective(1), 0.0) and exact(g.reward_from_perspective(0), 0.0)


class TestFinished:
    @pytest.mark.parametrize("kind", list(TABLE))
    def test_table(self, kind):
        absolute, black, white = TABLE[kind]
        g = finished_game(kind)
        o = g.outcome()
        assert exact(g.reward_absolute(), absolute) and exact(o.encode_winner_absolute(), absolute)
        for perspective, value in ((vg.BLACK, black), (vg.WHITE, white)):
            assert exact(g.reward_from_perspective(perspective), value)
            assert exact(g.reward_from_perspective(perspective=perspective), value)
            assert exact(o.encode_winner_from_perspective(perspective), value)

    @pytest.mark.parametrize("perspective", [0, 2, -2, 127, -128])
    @pytest.mark.parametrize("kind", list(TABLE))
    def test_other_perspectives_are_refused(self, kind, perspective):
        g = finished_game(kind)
        with pytest.raises(ValueError) as info:
            g.reward_from_perspective(perspective)
        assert str(info.value) == "Invalid perspective"
        with pytest.raises(ValueError) as info:
            g.outcome().encode_winner_from_perspective(perspective)
        assert str(info.value) == "Unrecognized perspective"
        assert g.is_over()

    def test_game_and_outcome_agree(self):
        for kind in TABLE:
            g = finished_game(kind)
            o = g.outcome()
            assert g.reward_absolute() == o.encode_winner_absolute()
            for p in (1, -1):
                assert g.reward_from_perspective(p) == o.encode_winner_from_perspective(p)

    def test_reward_follows_the_stored_outcome_not_the_board(self):
        g = finished_game("white")
        g.set_piece(0, 0, vg.BLACK)  # Black now leads on the board
        assert g.score()[0] > g.score()[1]
        assert g.reward_absolute() == -1.0 and g.reward_from_perspective(vg.WHITE) == 1.0

    def test_nan_komi_draws(self):
        g = play(vg.Game.with_options(4, 4, math.nan, 0, 10, True), (1, 1), None, None)
        assert g.outcome().is_draw()
        assert exact(g.reward_absolute(), 0.0) and exact(g.reward_from_perspective(-1), 0.0)
