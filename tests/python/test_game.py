"""Game: construction and options, play and query methods, text, hash, copies
and the access rule."""

import math

import pytest

import vexlor_go as vg
from conftest import finished_game, ko_game, play, reference_game_hash, snapshot

P = vg.Move.place
PASS = vg.Move.pass_move


class TestConstruction:
    @pytest.mark.parametrize(
        "w, h, min_pass, max_moves",
        [(9, 9, 40, 243), (19, 19, 180, 1083), (3, 3, 4, 27), (2, 2, 2, 12), (5, 13, 32, 195), (32, 32, 512, 3072)],
    )
    def test_defaults(self, w, h, min_pass, max_moves):
        g = vg.Game(w, h)
        assert (g.width(), g.height()) == (w, h)
        assert g.komi() == 7.5 and type(g.komi()) is float
        assert g.superko() is True
        assert g.min_moves_before_pass_possible() == min_pass
        assert g.max_moves() == max_moves

    def test_standard_is_the_default_19x19(self):
        s, d = vg.Game.standard(), vg.Game.with_options(19, 19, 7.5, 180, 1083, True)
        assert snapshot(s) == snapshot(d) == snapshot(vg.Game(19, 19))
        assert (s.komi(), s.min_moves_before_pass_possible(), s.max_moves(), s.superko()) == (7.5, 180, 1083, True)

    def test_with_options_reports_its_values(self):
        g = vg.Game.with_options(9, 9, 6.5, 0, 100, False)
        assert (g.width(), g.height(), g.komi(), g.min_moves_before_pass_possible(), g.max_moves(), g.superko()) == (
            9, 9, 6.5, 0, 100, False)
        assert repr(g) == "Game(width=9, height=9, turn=Black, over=false, superko=false)"

    @pytest.mark.parametrize(
        "komi, expected",
        [(0.1, 0.10000000149011612), (6.4, 6.400000095367432), (-3.0, -3.0), (-math.inf, -math.inf),
         # The largest double that still rounds to the largest float, and the one above it rounding to infinity.
         (float.fromhex("0x1.fffffefffffffp127"), float.fromhex("0x1.fffffep127")),
         (-float.fromhex("0x1.fffffefffffffp127"), -float.fromhex("0x1.fffffep127"))],
    )
    def test_komi_is_single_precision(self, komi, expected):
        assert vg.Game.with_options(9, 9, komi, 0, 10, True).komi() == expected

    @pytest.mark.parametrize("komi", [1e39, -1e308, float.fromhex("0x1.ffffffp127"), 2**200, -(2**128)])
    def test_finite_komi_beyond_single_precision_overflows(self, komi):
        with pytest.raises(OverflowError, match=r"\bkomi\b"):
            vg.Game.with_options(9, 9, komi, 0, 10, True)

    def test_nan_komi_is_kept(self):
        assert math.isnan(vg.Game.with_options(9, 9, math.nan, 0, 10, True).komi())

    @pytest.mark.parametrize(
        "w, h, message",
        [
            (1, 19, "Board width must be between 2 and 32"),
            (33, 9, "Board width must be between 2 and 32"),
            (40, 40, "Board width must be between 2 and 32"),
            (40, 1, "Board width must be between 2 and 32"),
            (9, 1, "Board height must be between 2 and 32"),
            (9, 33, "Board height must be between 2 and 32"),
            (9, 265, "Board height must be between 2 and 32"),
        ],
    )
    def test_size_out_of_range(self, w, h, message):
        for make in (lambda: vg.Game(w, h), lambda: vg.Game.with_options(w, h, 7.5, 0, 10, True)):
            with pytest.raises(ValueError) as info:
                make()
            assert str(info.value) == message

    @pytest.mark.parametrize(
        "args, exc, match",
        [((-1, 9), OverflowError, None), (("9", 9), TypeError, r"\bwidth\b"), ((9, 9.0), TypeError, r"\bheight\b"),
         ((True, 9), ValueError, "^Board width must be between 2 and 32$")],
    )
    def test_argument_failures(self, args, exc, match):
        with pytest.raises(exc, match=match):
            vg.Game(*args)

    @pytest.mark.parametrize("w, h", [(2, 2), (8, 8), (5, 13), (9, 9), (13, 13), (19, 19), (32, 32), (32, 31)])
    def test_word_count_enters_the_hash(self, w, h):
        # The hash stream starts with the word count, so it tells which instantiation the game holds.
        g = play(vg.Game(w, h), (0, 0), (w - 1, h - 1))
        assert hash(g) == reference_game_hash(g)


class TestNewGame:
    def test_state(self, game9):
        assert game9.turn() == vg.BLACK and type(game9.turn()) is int
        assert game9.move_count() == 0
        assert game9.is_over() is False
        assert game9.outcome() is None
        assert game9.ko_point() is None
        assert game9.unmake_move() is False

    def test_text(self, game9):
        assert str(game9) == "Game(turn: Black, is_over: false, outcome: None)\n" + str(vg.Board(9, 9))

    @pytest.mark.parametrize(
        "w, h, text",
        [(19, 19, "Game(width=19, height=19, turn=Black, over=false, superko=true)"),
         (9, 13, "Game(width=9, height=13, turn=Black, over=false, superko=true)")],
    )
    def test_repr(self, w, h, text):
        assert repr(vg.Game(w, h)) == text

    @pytest.mark.parametrize("w, h, name", [(9, 13, "go_9x13"), (19, 19, "go_19x19"), (2, 32, "go_2x32")])
    def test_name(self, w, h, name):
        assert vg.Game(w, h).name() == name

    @pytest.mark.parametrize("w, h, value", [(9, 9, -8835035137159090291), (19, 19, -4486896139707710359)])
    def test_hash(self, w, h, value):
        assert hash(vg.Game(w, h)) == value

    def test_empty_score(self, game9):
        assert game9.score() == (0.0, 7.5)
        assert all(type(s) is float for s in game9.score())


class TestTextAndHash:
    def test_after_a_move(self, game9):
        play(game9, (2, 3))
        assert str(game9).startswith("Game(turn: White, is_over: false, outcome: None)\n")
        assert repr(game9) == "Game(width=9, height=9, turn=White, over=false, superko=true)"
        assert str(game9).split("\n")[1 + 8 - 3] == "|.|.|B|.|.|.|.|.|.|"

    @pytest.mark.parametrize(
        "kind, turn, debug",
        [("black", "White", "BlackWin"), ("white", "Black", "WhiteWin"), ("draw", "Black", "Draw")],
    )
    def test_finished(self, kind, turn, debug):
        g = finished_game(kind)
        first = str(g).split("\n", 1)[0]
        assert first == f"Game(turn: {turn}, is_over: true, outcome: Some({debug}))"
        assert f"turn={turn}, over=true, superko=true)" in repr(g)

    def test_hash_ignores_options_and_history(self):
        a = play(vg.Game(9, 9), (0, 0), (1, 1), (2, 2), (3, 3))
        b = play(vg.Game.with_options(9, 9, -2.0, 0, 9, False), (2, 2), (3, 3), (0, 0), (1, 1))
        assert hash(a) == hash(b) == reference_game_hash(a)
        assert a != b

    def test_hash_depends_on_side_and_size(self):
        a = play(vg.Game(9, 9), (0, 0))
        b = vg.Game(9, 9)
        b.set_piece(0, 0, vg.BLACK)  # same stones, Black to move
        assert str(a.board()) == str(b.board())
        assert hash(a) != hash(b)
        assert hash(b) == reference_game_hash(b)
        c = vg.Game(9, 10)
        c.set_piece(0, 0, vg.BLACK)
        assert hash(c) != hash(b)

    def test_hash_includes_the_ko_point(self):
        g = ko_game()
        twin = play(vg.Game(4, 4), (3, 3))  # White to move, no ko
        for c in range(4):
            for r in range(4):
                twin.set_piece(c, r, g.get_piece(c, r))
        assert str(twin.board()) == str(g.board()) and twin.turn() == g.turn()
        assert hash(g) == reference_game_hash(g)
        assert hash(twin) == reference_game_hash(twin)
        assert hash(g) != hash(twin)


class TestPoints:
    @pytest.mark.parametrize("col, row", [(9, 0), (0, 9), (258, 0), (0, 256), (2**32, 0), (0, 2**32), (2**64 - 1, 0)])
    def test_off_board(self, game9, col, row):
        play(game9, (0, 0))
        before = snapshot(game9)
        assert game9.get_piece(col, row) is None
        assert game9.set_piece(col, row, vg.WHITE) is None
        assert snapshot(game9) == before

    def test_set_piece_changes_only_the_board(self):
        g = ko_game()
        moves, turn, ko, legal_before = g.move_count(), g.turn(), g.ko_point(), g.is_legal_move(P(1, 1))
        for piece in (vg.BLACK, vg.WHITE, None):
            assert g.set_piece(0, 3, piece) is None
            assert g.get_piece(0, 3) == piece
            assert (g.move_count(), g.turn(), g.ko_point(), g.is_over()) == (moves, turn, ko, False)
            assert hash(g) == reference_game_hash(g)
        assert legal_before is False and g.is_legal_move(P(1, 1)) is False

    @pytest.mark.parametrize("listing", ["legal_action_indices", "legal_moves"])
    def test_an_edit_after_a_listing_decides_the_next_move(self, listing):
        # A listed move that an edit made illegal is refused; one it made legal is played.
        g = vg.Game.with_options(3, 3, 0.0, 0, 20, True)
        play(g, (1, 0), (0, 0))  # Black (1, 0), White (0, 0)
        getattr(g, listing)()
        g.set_piece(2, 2, vg.WHITE)
        assert g.apply_action(8) is False
        getattr(g, listing)()
        g.set_piece(1, 0, None)  # frees White's corner stone and the point
        assert g.is_legal_move(P(1, 0)) and g.apply_action(1) is True
        assert g.get_piece(1, 0) == vg.BLACK

    @pytest.mark.parametrize("piece", [0, 2, -2, 100, False])
    @pytest.mark.parametrize("point", [(0, 0), (4, 4), (99, 0)])
    def test_invalid_player_value(self, piece, point):
        g = play(vg.Game(9, 9), (4, 4))
        before = snapshot(g)
        with pytest.raises(ValueError) as info:
            g.set_piece(*point, piece)
        assert str(info.value) == "Invalid player value"
        assert snapshot(g) == before

    def test_unmaking_a_capture_after_an_edit_replaces_the_stone(self):
        g = ko_game()  # Black at (2, 1) captured the white stone at (1, 1)
        g.set_piece(1, 1, vg.BLACK)
        assert g.unmake_move() is True
        assert g.get_piece(1, 1) == vg.WHITE
        assert g.get_piece(2, 1) is None
        before_capture = ko_game()
        before_capture.unmake_move()
        assert str(g) == str(before_capture)
        assert hash(g) == reference_game_hash(g)


class TestMoves:
    def test_occupied_point_is_refused(self, game9):
        play(game9, (4, 4))
        before = snapshot(game9)
        for m in (P(4, 4), P(9, 0), P(0, 9), P(255, 255)):
            assert game9.is_legal_move(m) is False
            assert game9.make_move(m) is False
        assert snapshot(game9) == before

    def test_pass_is_refused_before_the_minimum(self, game9):
        assert game9.is_legal_move(PASS()) is False
        assert game9.make_move(PASS()) is False
        assert game9.move_count() == 0

    def test_two_passes_end_the_game(self, passing_game):
        g = passing_game
        assert g.make_move(PASS()) is True
        assert not g.is_over() and g.turn() == vg.WHITE
        assert g.make_move(PASS()) is True
        assert g.is_over() is True and g.move_count() == 2
        assert type(g.outcome()) is vg.GameOutcome
        assert g.outcome().name() == "White wins"
        assert g.legal_moves() == [] and g.legal_action_indices() == []
        before = snapshot(g)
        for m in (PASS(), P(0, 0)):
            assert g.is_legal_move(m) is False and g.make_move(m) is False
        assert snapshot(g) == before

    def test_placement_between_passes_keeps_the_game_going(self, passing_game):
        play(passing_game, None, (3, 3), None)
        assert not passing_game.is_over() and passing_game.outcome() is None

    def test_unmaking_the_final_pass_resumes_play(self, passing_game):
        g = play(passing_game, (0, 0), None)
        mid = snapshot(g)
        play(g, None)
        assert g.is_over()
        assert g.unmake_move() is True
        assert snapshot(g) == mid
        assert g.is_over() is False and g.outcome() is None
        play(g, None)  # still one pass behind: a second pass ends it again
        assert g.is_over()

    def test_taking_back_a_placement_keeps_a_preceding_pass(self, passing_game):
        # Make then unmake restores the pass count too: pass, X, back, pass ends
        # the game as two passes played directly do.
        g = play(passing_game, None)
        probe = g.clone()
        play(probe, (0, 0))
        probe.unmake_move()
        assert snapshot(probe) == snapshot(g)
        play(g, None)
        play(probe, None)
        assert g.is_over() is True
        assert probe.is_over() is True
        assert snapshot(probe) == snapshot(g)

    @pytest.mark.parametrize("limit, length", [(0, 1), (1, 1), (3, 3)])
    def test_move_limit(self, limit, length):
        g = vg.Game.with_options(9, 9, 7.5, 100, limit, True)
        for i in range(length):
            assert not g.is_over()
            play(g, (i, 0))
        assert g.is_over() and g.move_count() == length
        assert g.outcome() is not None and g.legal_moves() == []

    def test_capture_and_ko(self):
        g = ko_game()
        assert g.get_piece(1, 1) is None and g.get_piece(2, 1) == vg.BLACK
        assert g.turn() == vg.WHITE
        assert g.is_legal_move(P(1, 1)) is False and g.make_move(P(1, 1)) is False
        assert P(1, 1) not in g.legal_moves()
        play(g, (0, 3))
        assert g.ko_point() is None

    def test_unmake_restores_the_capture_and_ko(self):
        g = ko_game()
        g.unmake_move()
        assert g.get_piece(1, 1) == vg.WHITE and g.get_piece(2, 1) is None
        assert g.turn() == vg.BLACK and g.ko_point() is None and g.move_count() == 8
        g2 = ko_game()
        play(g2, (0, 3))
        assert g2.unmake_move() and g2.ko_point() == (1, 1)

    def test_superko_forbids_a_repetition_the_ko_rule_misses(self):
        # 2x2: after these moves Black at (1, 0) would capture three stones and
        # recreate the position after the first move.
        seq = [(1, 0), (0, 1), (1, 1), (0, 0), (1, 0), (1, 1)]
        on = play(vg.Game.with_options(2, 2, 0.5, 0, 50, True), *seq)
        off = play(vg.Game.with_options(2, 2, 0.5, 0, 50, False), *seq)
        assert on.ko_point() is None
        assert on.is_legal_move(P(1, 0)) is False and on.make_move(P(1, 0)) is False
        assert P(1, 0) not in on.legal_moves()
        assert off.is_legal_move(P(1, 0)) is True and off.make_move(P(1, 0)) is True
        assert hash(off) == hash(play(vg.Game(2, 2), (1, 0)))

    def test_first_move_never_violates_superko(self):
        g = vg.Game(5, 5)
        assert g.legal_action_indices() == list(range(25))

    def test_score_counts_area(self):
        g = vg.Game(9, 9)
        play(g, (4, 4))
        assert g.score() == (81.0, 7.5)
        play(g, (0, 0))
        assert g.score() == (1.0, 8.5)

    @pytest.mark.parametrize("w, h", [(9, 9), (19, 19)])
    def test_legal_moves_of_a_new_game(self, w, h):
        g = vg.Game(w, h)
        moves = g.legal_moves()
        assert moves == [P(i % w, i // w) for i in range(w * h)]
        assert all(type(m) is vg.Move for m in moves)
        assert [hash(m) for m in moves] == [hash(P(i % w, i // w)) for i in range(w * h)]
        g0 = vg.Game.with_options(w, h, 7.5, 0, 3 * w * h, True)
        assert g0.legal_moves() == moves + [PASS()]

    def test_pass_allowed_when_no_placement_is(self):
        # White to move on a 2x2 board where every empty point is suicide for White.
        g = vg.Game.with_options(2, 2, 7.5, 100, 100, True)
        play(g, (0, 0))
        g.set_piece(1, 1, vg.BLACK)
        assert g.legal_moves() == [PASS()]
        assert g.is_legal_move(PASS()) and g.make_move(PASS())

    def test_outcome_objects_are_new_values(self):
        g = finished_game("black")
        a, b = g.outcome(), g.outcome()
        assert a is not b and a == b


class TestCopies:
    def test_clone_is_equal_and_independent(self):
        g = ko_game()
        c = g.clone()
        assert type(c) is vg.Game and c is not g
        assert snapshot(c) == snapshot(g)
        before = snapshot(g)
        play(c, (0, 3), (0, 2))
        c.set_piece(3, 3, None)
        assert snapshot(g) == before
        play(g, (0, 2))
        assert c.get_piece(0, 2) == vg.BLACK and g.get_piece(0, 2) == vg.WHITE
        assert c.move_count() == 11 and g.move_count() == 10

    def test_clone_keeps_history_options_and_superko_record(self):
        seq = [(1, 0), (0, 1), (1, 1), (0, 0), (1, 0), (1, 1)]
        g = play(vg.Game.with_options(2, 2, -1.5, 7, 50, True), *seq)
        c = g.clone()
        assert (c.komi(), c.min_moves_before_pass_possible(), c.max_moves(), c.superko()) == (-1.5, 7, 50, True)
        assert c.is_legal_move(P(1, 0)) is False
        for _ in seq:
            assert c.unmake_move() is True
        assert c.unmake_move() is False
        assert snapshot(c) == snapshot(vg.Game.with_options(2, 2, -1.5, 7, 50, True))
        assert g.move_count() == len(seq)

    def test_clone_of_a_finished_game(self):
        g = finished_game("white")
        c = g.clone()
        assert c.is_over() and c.outcome() == g.outcome()
        c.unmake_move()
        assert g.is_over() and not c.is_over()

    def test_board_copy(self):
        g = play(vg.Game(9, 9), (4, 4))
        b = g.board()
        b.set_piece(4, 4, vg.WHITE)
        assert g.get_piece(4, 4) == vg.BLACK
        assert g.board() is not g.board()


def _refused(call):
    try:
        call()
    except RuntimeError:
        return True
    return False


# Outer calls that run caller code (__index__) while holding the game.
OUTER = {
    "set_piece": (True, lambda g, idx: g.set_piece(idx, 0, vg.WHITE)),
    "apply_action": (True, lambda g, idx: g.apply_action(idx)),
    "get_piece": (False, lambda g, idx: g.get_piece(idx, 0)),
    "decode_action": (False, lambda g, idx: g.decode_action(idx)),
    "reward_from_perspective": (False, lambda g, idx: g.reward_from_perspective(idx)),
}
# Calls made from inside that code.
INNER = {
    "make_move": (True, lambda g: g.make_move(P(8, 8))),
    "unmake_move": (True, lambda g: g.unmake_move()),
    "set_piece": (True, lambda g: g.set_piece(7, 7, vg.BLACK)),
    "apply_action": (True, lambda g: g.apply_action(80)),
    "encode_game_planes": (False, lambda g: g.encode_game_planes()),  # reads only: earlier boards on a copy
    "move_count": (False, lambda g: g.move_count()),
    "legal_moves": (False, lambda g: g.legal_moves()),
    "str": (False, lambda g: str(g)),
    "hash": (False, lambda g: hash(g)),
    "clone": (False, lambda g: g.clone()),
}


class TestAccess:
    @pytest.mark.parametrize("outer", list(OUTER))
    @pytest.mark.parametrize("inner", list(INNER))
    def test_re_entrant_calls(self, outer, inner):
        outer_exclusive, outer_call = OUTER[outer]
        inner_exclusive, inner_call = INNER[inner]
        g = play(vg.Game(9, 9), (0, 1))
        seen = []

        class Idx:
            def __index__(self):
                seen.append(_refused(lambda: inner_call(g)))
                return 1

        ref = play(vg.Game(9, 9), (0, 1))
        expected = outer_call(ref, 1)
        result = outer_call(g, Idx())
        assert seen == [outer_exclusive or inner_exclusive]
        # A refused inner call changed nothing; an allowed one only read.
        assert repr(result) == repr(expected)
        assert snapshot(g) == snapshot(ref)

    @pytest.mark.parametrize(
        "outer",
        [lambda g, i: g.set_piece(i, 0, vg.WHITE), lambda g, i: g.apply_action(i)],
        ids=["set_piece", "apply_action"],
    )
    def test_refusal_propagates_and_changes_nothing(self, outer):
        g = play(vg.Game(9, 9), (4, 4))
        before = snapshot(g)

        class Idx:
            def __index__(self):
                g.make_move(P(0, 0))
                return 2

        with pytest.raises(RuntimeError):
            outer(g, Idx())
        assert snapshot(g) == before
        assert g.make_move(P(0, 0)) is True  # access released

    def test_other_games_are_free(self):
        g, other = vg.Game(9, 9), vg.Game(9, 9)

        class Idx:
            def __index__(self):
                assert other.make_move(P(1, 1))
                return 3

        assert g.apply_action(Idx()) is True
        assert g.get_piece(3, 0) == vg.BLACK and other.get_piece(1, 1) == vg.BLACK

    def test_read_inside_read_sees_the_game(self):
        g = play(vg.Game(9, 9), (2, 0))

        class Idx:
            def __index__(self):
                return g.move_count() + 1

        assert g.get_piece(Idx(), 0) == vg.BLACK
