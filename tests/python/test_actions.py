"""The action space: sizes, decoding and encoding, applying actions, legal
action lists, and a seeded random-play cross-check of the legality views."""

import random

import pytest

import vexlor_go as vg
from conftest import QUICK, finished_game, ko_game, play, reference_game_hash, snapshot

P = vg.Move.place
PASS = vg.Move.pass_move


class TestSizes:
    @pytest.mark.parametrize(
        "w, h, size", [(2, 2, 5), (9, 9, 82), (19, 19, 362), (32, 32, 1025), (19, 13, 248), (2, 32, 65)]
    )
    def test_action_size_and_shape(self, w, h, size):
        g = vg.Game(w, h)
        assert g.action_size() == g.total_actions() == size
        assert g.board_shape() == (h, w)
        assert type(g.board_shape()) is tuple


class TestDecodeAction:
    @pytest.mark.parametrize(
        "action, expected",
        [(0, P(0, 0)), (20, P(1, 1)), (18, P(18, 0)), (19, P(0, 1)), (246, P(18, 12)), (247, PASS()),
         (248, None), (10**6, None), (2**64 - 1, None)],
    )
    def test_19x13(self, action, expected):
        assert vg.Game(19, 13).decode_action(action) == expected

    def test_is_the_inverse_of_encode(self):
        for w, h in [(2, 2), (19, 13), (7, 11), (32, 32)]:
            g = vg.Game(w, h)
            for i in range(w * h + 1):
                m = g.decode_action(i)
                assert m.encode(w, h) == i
                assert m == vg.Move.decode(i, w, h)
                if i < w * h:
                    assert (m.col(), m.row()) == (i % w, i // w)


class TestMoveCodec:
    @pytest.mark.parametrize(
        "args, expected",
        [
            ((81, 9, 9), PASS()),
            ((10, 9, 9), P(1, 1)),
            ((0, 0, 9), PASS()),
            ((0, 9, 0), PASS()),
            ((0, 0, 0), PASS()),
            ((5, 3, 9), P(2, 1)),
            ((65025, 255, 255), PASS()),
            ((65024, 255, 255), P(254, 254)),
            ((246, 19, 13), P(18, 12)),
        ],
    )
    def test_decode(self, args, expected):
        assert vg.Move.decode(*args) == expected

    @pytest.mark.parametrize("args", [(82, 9, 9), (1, 0, 9), (1, 9, 0), (2**64 - 1, 255, 255), (65026, 255, 255)])
    def test_decode_invalid_action(self, args):
        with pytest.raises(ValueError) as info:
            vg.Move.decode(*args)
        assert str(info.value) == "invalid action"

    @pytest.mark.parametrize(
        "move, size, action",
        [
            (P(3, 2), (9, 9), 21),
            (PASS(), (9, 9), 81),
            (PASS(), (19, 13), 247),
            (P(10, 0), (9, 9), 10),
            (P(0, 9), (9, 9), 81),
            (P(255, 255), (255, 255), 65280),
            (P(255, 255), (0, 0), 255),
            (PASS(), (0, 7), 0),
            (PASS(), (255, 255), 65025),
        ],
    )
    def test_encode_checks_nothing(self, move, size, action):
        assert move.encode(*size) == action


class TestApplyAction:
    @pytest.mark.parametrize("action", [82, 83, 1000, 2**64 - 1])
    def test_out_of_range(self, game9, action):
        play(game9, (4, 4))
        before = snapshot(game9)
        assert game9.apply_action(action) is False
        assert snapshot(game9) == before

    def test_illegal_actions_change_nothing(self, game9):
        assert game9.apply_action(40) is True
        before = snapshot(game9)
        assert game9.apply_action(40) is False  # occupied
        assert game9.apply_action(81) is False  # pass before the minimum
        assert snapshot(game9) == before

    def test_pass_when_legal(self, passing_game):
        assert passing_game.apply_action(81) is True
        assert passing_game.move_count() == 1 and passing_game.turn() == vg.WHITE

    def test_ko_point_is_refused(self):
        g = ko_game()
        assert g.apply_action(1 * 4 + 1) is False
        assert g.ko_point() == (1, 1)

    def test_same_as_make_move(self):
        a, b = vg.Game(5, 5), vg.Game(5, 5)
        for action in (12, 7, 13, 0, 24):
            assert a.apply_action(action) == b.make_move(b.decode_action(action))
            assert snapshot(a) == snapshot(b)


class TestLegalActionIndices:
    @pytest.mark.parametrize("w, h", [(9, 9), (19, 13), (2, 2)])
    def test_new_game(self, w, h):
        assert vg.Game(w, h).legal_action_indices() == list(range(w * h))
        g0 = vg.Game.with_options(w, h, 7.5, 0, 100, True)
        assert g0.legal_action_indices() == list(range(w * h + 1))

    @pytest.mark.parametrize("kind", ["black", "white", "draw"])
    def test_finished(self, kind):
        assert finished_game(kind).legal_action_indices() == []

    def test_results_are_ints(self):
        assert all(type(i) is int for i in vg.Game.with_options(3, 3, 7.5, 0, 10, True).legal_action_indices())

    @pytest.mark.parametrize("edit", ["none", "keep", "append", "insert", "clear", "shrink", "reverse", "big int"])
    def test_each_result_is_the_callers_own(self, edit):
        # A dropped result may be refilled by the next call; a kept or edited one
        # must not change, and an edit must not reach the next result.
        g = vg.Game(5, 5)
        rng = random.Random(edit)
        kept = []
        for _ in range(12):
            legal = g.legal_action_indices()
            expected = [m.encode(5, 5) for m in g.legal_moves()]
            assert legal == expected
            action = rng.choice(legal)
            if edit == "keep":
                kept.append((legal, list(legal)))
            elif edit == "append":
                legal.append(g)
            elif edit == "insert":
                legal.insert(1, "x")
            elif edit == "clear":
                legal.clear()
            elif edit == "shrink":
                del legal[1:]
            elif edit == "reverse":
                legal.reverse()
            elif edit == "big int":
                legal[0] = 10**40
            del legal
            assert g.apply_action(action)
        for held, copy in kept:
            assert held == copy


def check_position(g, w, h, rng, probes, after_pass=False):
    """Cross-checks every view of legality at one position, then make/unmake round trips."""
    area = w * h
    moves = g.legal_moves()
    actions = g.legal_action_indices()
    assert actions == [m.encode(w, h) for m in moves]
    assert actions == sorted(actions) and len(set(actions)) == len(actions)
    legal = set(actions)
    for i in range(area + 1):
        m = g.decode_action(i)
        assert m.encode(w, h) == i
        assert g.is_legal_move(m) is (i in legal)
    assert g.decode_action(area + 1) is None
    ko = g.ko_point()
    if ko is not None:
        assert ko[1] * w + ko[0] not in legal and g.get_piece(*ko) is None
    if g.is_over():
        assert actions == []
    elif actions and actions[-1] == area:
        assert g.move_count() >= g.min_moves_before_pass_possible() or actions == [area]
    else:
        assert actions and g.move_count() < g.min_moves_before_pass_possible()

    before = snapshot(g)
    assert hash(g) == reference_game_hash(g)
    if area <= 30:
        # make_move agrees with the legality test on every action.
        for i in range(area + 2):
            assert g.clone().apply_action(i) is (i in legal)
    illegal = [i for i in range(area + 1) if i not in legal]
    if illegal:
        assert g.apply_action(rng.choice(illegal)) is False
        assert snapshot(g) == before
    # Undo records keep no pass count, so taking back a placement made right
    # after a pass forgets that pass; probe only the pass there.
    candidates = [a for a in actions if a == area] if after_pass else actions
    for i in rng.sample(candidates, min(probes, len(candidates))):
        assert g.apply_action(i) is True
        assert g.move_count() == before[3] + 1
        assert g.unmake_move() is True
        assert snapshot(g) == before


def check_outcome(g):
    b, w = g.score()
    expected = "Black wins" if b > w else "White wins" if w > b else "Draw"
    assert g.outcome().name() == expected


SIZES = [(2, 2), (3, 3), (4, 3), (5, 5), (8, 8), (5, 13), (9, 9), (19, 19)]


@pytest.mark.parametrize("superko", [True, False], ids=["superko", "no-superko"])
@pytest.mark.parametrize("w, h", SIZES, ids=[f"{w}x{h}" for w, h in SIZES])
def test_random_play(w, h, superko):
    rng = random.Random(f"{w}x{h}:{superko}")
    area = w * h
    budget = 30 if QUICK else 150
    probes = 3 if area > 100 else 6
    if QUICK:
        probes = 1
    # Short move limits on small boards so games also end by the limit and by passes.
    g = vg.Game.with_options(w, h, 0.5, area // 4, 2 * area if area > 16 else 30, superko)
    shadow = g.clone()  # receives only the chosen moves
    played = 0
    after_pass = False
    while played < budget and not g.is_over():
        check_position(g, w, h, rng, probes, after_pass)
        actions = g.legal_action_indices()
        # Favour placements so that captures and ko arise.
        choice = rng.choice(actions[:-1] if len(actions) > 1 and rng.random() < 0.9 else actions)
        assert g.apply_action(choice) and shadow.apply_action(choice)
        played += 1
        after_pass = choice == area
        assert snapshot(g) == snapshot(shadow)
    check_position(g, w, h, rng, probes, after_pass)
    if g.is_over():
        check_outcome(g)
        assert g.unmake_move() and not g.is_over() and g.outcome() is None


def test_small_boards_reach_the_end():
    # Random games on tiny boards run into both end conditions and into superko refusals.
    ends = set()
    for seed in range(12 if QUICK else 40):
        rng = random.Random(seed)
        g = vg.Game.with_options(2, 2, 0.5, 2, 16, True)
        while not g.is_over():
            actions = g.legal_action_indices()
            g.apply_action(rng.choice(actions))
        check_outcome(g)
        ends.add("limit" if g.move_count() == 16 else "passes")
    assert ends == {"limit", "passes"}
