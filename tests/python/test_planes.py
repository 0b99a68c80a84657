"""Input planes: layout, history steps, perspective, and that encoding never
changes the game."""

import random

import pytest

import vexlor_go as vg
from conftest import QUICK, ko_game, play, snapshot

P = vg.Move.place


def grid(game):
    """The stones of the current position in point order."""
    w, h = game.width(), game.height()
    return [game.get_piece(i % w, i // w) for i in range(w * h)]


def expected_planes(boards, turn, area):
    """Planes built from the boards of the game so far (oldest first)."""
    out = [0.0] * (17 * area)
    for t in range(min(len(boards) - 1, 7) + 1):
        for i, piece in enumerate(boards[-1 - t]):
            if piece is not None:
                out[(2 * t + (piece != turn)) * area + i] = 1.0
    if turn == vg.BLACK:
        out[16 * area :] = [1.0] * area
    return out


def plane(planes, p, area):
    return planes[p * area : (p + 1) * area]


class TestLayout:
    def test_new_9x9(self, game9):
        result = game9.encode_game_planes()
        assert type(result) is tuple and len(result) == 4
        planes, count, h, w = result
        assert (count, h, w) == (17, 9, 9) and type(planes) is list
        assert len(planes) == 1377
        assert all(type(v) is float for v in planes)
        assert planes[:1296] == [0.0] * 1296
        assert planes[1296:] == [1.0] * 81

    def test_black_stone_at_action_29(self, game9):
        assert game9.apply_action(29)
        planes = game9.encode_game_planes()[0]
        assert plane(planes, 0, 81) == [0.0] * 81  # White, to move, has no stones
        p1 = plane(planes, 1, 81)
        assert p1[29] == 1.0 and sum(p1) == 1.0 and planes[110] == 1.0
        assert planes[2 * 81 : 4 * 81] == [0.0] * 162  # the empty board one move ago
        assert plane(planes, 16, 81) == [0.0] * 81

    def test_19x13(self):
        g = vg.Game(19, 13)
        play(g, (18, 0), (0, 12), (5, 7))  # Black, White, Black; White to move
        planes, count, h, w = g.encode_game_planes()
        assert (count, h, w) == (17, 13, 19) and len(planes) == 4199

        def at(p, c, r):
            return planes[p * 247 + r * 19 + c]

        assert at(0, 0, 12) == 1.0 and at(1, 18, 0) == 1.0 and at(1, 5, 7) == 1.0
        assert sum(plane(planes, 0, 247)) == 1.0 and sum(plane(planes, 1, 247)) == 2.0
        assert at(2, 0, 12) == 1.0 and at(3, 18, 0) == 1.0 and at(3, 5, 7) == 0.0
        assert at(4, 0, 12) == 0.0 and at(5, 18, 0) == 1.0
        assert sum(planes[6 * 247 : 16 * 247]) == 0.0

    @pytest.mark.parametrize("w, h", [(2, 2), (9, 9), (19, 19), (32, 32), (3, 30)])
    def test_plane_count(self, w, h):
        g = vg.Game(w, h)
        assert g.input_plane_count() == vg.TOTAL_INPUT_PLANES == 17
        assert len(g.encode_game_planes()[0]) == 17 * w * h


class TestHistory:
    def test_after_a_pass(self, passing_game):
        g = play(passing_game, (4, 4), (2, 2), None)  # White to move after Black's pass
        planes = g.encode_game_planes()[0]
        assert plane(planes, 2, 81) == plane(planes, 0, 81)
        assert plane(planes, 3, 81) == plane(planes, 1, 81)
        assert plane(planes, 0, 81)[2 * 9 + 2] == 1.0 and plane(planes, 1, 81)[4 * 9 + 4] == 1.0
        assert plane(planes, 16, 81) == [0.0] * 81
        play(g, None)  # the second pass in a row ends the game
        assert g.is_over()
        planes = g.encode_game_planes()[0]
        assert plane(planes, 16, 81) == [1.0] * 81
        assert plane(planes, 0, 81) == plane(planes, 2, 81) == plane(planes, 4, 81)

    def test_after_three_moves(self, game9):
        play(game9, (0, 0), (1, 1), (2, 2))
        planes = game9.encode_game_planes()[0]
        assert planes[8 * 81 : 16 * 81] == [0.0] * (8 * 81)
        assert sum(plane(planes, 6, 81)) + sum(plane(planes, 7, 81)) == 0.0  # empty start
        assert [sum(plane(planes, p, 81)) for p in range(6)] == [1.0, 2.0, 1.0, 1.0, 0.0, 1.0]

    def test_captured_stone_in_earlier_steps(self):
        g = ko_game()  # Black's last move at (2, 1) captured the white stone at (1, 1)
        planes = g.encode_game_planes()[0]
        captured = 1 * 4 + 1
        assert plane(planes, 0, 16)[captured] == 0.0  # White to move: plane 0 is White's
        for t in range(1, 8):
            assert plane(planes, 2 * t, 16)[captured] == (1.0 if t <= 5 else 0.0), t
        stone = 1 * 4 + 2
        assert plane(planes, 1, 16)[stone] == 1.0 and plane(planes, 3, 16)[stone] == 0.0

    @pytest.mark.parametrize("w, h", [(9, 9), (5, 13), (19, 19), (3, 3)])
    def test_random_games_match_reference(self, w, h):
        rng = random.Random(f"planes-{w}x{h}")
        g = vg.Game.with_options(w, h, 0.5, 5, 3 * w * h, rng.random() < 0.5)
        boards = [grid(g)]
        for _ in range(12 if QUICK else 40):
            if g.is_over():
                break
            planes, count, hh, ww = g.encode_game_planes()
            assert (count, hh, ww) == (17, h, w)
            assert planes == expected_planes(boards, g.turn(), w * h)
            actions = g.legal_action_indices()
            assert g.apply_action(rng.choice(actions[:-1] if len(actions) > 1 and rng.random() < 0.85 else actions))
            boards.append(grid(g))
        assert g.encode_game_planes()[0] == expected_planes(boards, g.turn(), w * h)


class TestGameUnchanged:
    @pytest.mark.parametrize(
        "make",
        [lambda: vg.Game(9, 9), ko_game, lambda: play(vg.Game(9, 9), *[(i % 9, i // 9 * 2) for i in range(20)]),
         lambda: play(vg.Game.with_options(4, 4, 7.5, 0, 100, True), (0, 0), None, None)],
        ids=["new", "ko", "twenty-moves", "finished"],
    )
    def test_call_leaves_the_game_as_it_was(self, make):
        g = make()
        before = snapshot(g) + (g.legal_moves(),)
        first = g.encode_game_planes()
        assert snapshot(g) + (g.legal_moves(),) == before
        assert g.encode_game_planes() == first

    def test_game_edited_after_moves(self):
        g = ko_game()
        g.set_piece(1, 1, vg.BLACK)  # where the captured stone stood
        g.set_piece(0, 3, vg.WHITE)  # a point no move touched
        g.set_piece(3, 3, None)  # a stone Black played earlier
        before = (str(g), hash(g), g.move_count(), g.legal_moves(), g.ko_point(), g.turn())
        planes = g.encode_game_planes()[0]
        assert (str(g), hash(g), g.move_count(), g.legal_moves(), g.ko_point(), g.turn()) == before
        assert g.encode_game_planes()[0] == planes
        # Earlier boards are rebuilt from the edited board: the edit on an untouched
        # point shows in every step, the captured stone comes back over the edit.
        for t in range(0, 8):
            assert plane(planes, 2 * t, 16)[3 * 4 + 0] == 1.0, t  # White's plane
        assert plane(planes, 1, 16)[5] == 1.0 and plane(planes, 2, 16)[5] == 1.0
        assert plane(planes, 3, 16)[5] == 0.0

    def test_clone_encodes_alike(self):
        g = play(vg.Game(7, 7), (3, 3), (3, 4), (4, 4), (2, 2))
        assert g.clone().encode_game_planes() == g.encode_game_planes()
