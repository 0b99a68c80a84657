"""GameBatch against a plain Python loop over Game objects fed the same actions:
observations, masks, rewards, flags and results agree step for step; every
thread count writes the same bytes; a refused call changes no game and writes
no byte."""

import math
import pickle
import random
import threading

import pytest

import vexlor_go as vg
from conftest import QUICK

np = pytest.importorskip("numpy")

PLANES = vg.TOTAL_INPUT_PLANES
OUTCOME_CODE = {"Black wins": 0, "White wins": 1, "Draw": 2}


def new_game(w, h, opts):
    n = w * h
    return vg.Game.with_options(
        w,
        h,
        opts.get("komi", 7.5),
        opts.get("min_moves_before_pass_possible", n // 2),
        opts.get("max_moves", 3 * n),
        opts.get("superko", True),
    )


def planes(g):
    out = np.zeros((PLANES, g.height(), g.width()), np.float32)
    g.encode_planes_into(out)
    return out


def mask(g):
    out = np.zeros(g.action_size(), np.uint8)
    if not g.is_over():
        g.legal_action_mask_into(out)
    return out


class Reference:
    """The batch's rules written as a loop over Game objects."""

    def __init__(self, n, w, h, autoreset="same_step", **opts):
        self.w, self.h, self.opts, self.autoreset = w, h, opts, autoreset
        self.games = [new_game(w, h, opts) for _ in range(n)]
        self.passes = [0] * n  # passes in a row at the end of each game

    def step(self, actions):
        n, area = len(self.games), self.w * self.h
        out = {
            "obs": np.zeros((n, PLANES, self.h, self.w), np.float32),
            "mask": np.zeros((n, area + 1), np.uint8),
            "reward": np.zeros(n, np.float32),
            "reward_black": np.zeros(n, np.float32),
            "terminated": np.zeros(n, bool),
            "truncated": np.zeros(n, bool),
            "outcome": np.full(n, -1, np.int8),
            "score": np.full((n, 2), np.nan, np.float32),
            "final_obs": {},
        }
        for i, a in enumerate(actions):
            g = self.games[i]
            if g.is_over():  # next_step: this step starts a new game and ignores the action
                g = self.games[i] = new_game(self.w, self.h, self.opts)
                self.passes[i] = 0
            else:
                mover = g.turn()
                g.apply_action(int(a))
                self.passes[i] = self.passes[i] + 1 if a == area else 0
                if g.is_over():
                    out["reward"][i] = g.reward_from_perspective(mover)
                    out["reward_black"][i] = g.reward_absolute()
                    out["terminated"][i] = self.passes[i] >= 2
                    out["truncated"][i] = self.passes[i] < 2
                    out["outcome"][i] = OUTCOME_CODE[g.outcome().name()]
                    out["score"][i] = g.score()
                    out["final_obs"][i] = planes(g)
                    if self.autoreset == "same_step":
                        g = self.games[i] = new_game(self.w, self.h, self.opts)
                        self.passes[i] = 0
            out["obs"][i] = planes(g)
            out["mask"][i] = mask(g)
        return out


def buffers(n, w, h, dtype=np.float32):
    return {
        "obs": np.zeros((n, PLANES, h, w), dtype),
        "mask": np.zeros((n, w * h + 1), np.uint8),
        "reward": np.zeros(n, np.float32),
        "reward_black": np.zeros(n, np.float32),
        "terminated": np.zeros(n, bool),
        "truncated": np.zeros(n, bool),
        "final_obs": np.full((n, PLANES, h, w), 7, dtype),
        "outcome": np.zeros(n, np.int8),
        "score": np.zeros((n, 2), np.float32),
    }


def snapshot(batch):
    return pickle.dumps(batch)


CASES = [
    # (games, width, height, options): short limits make games end, by passes and by the move limit.
    (6, 5, 5, {"min_moves_before_pass_possible": 0, "max_moves": 12}),
    (5, 4, 3, {"min_moves_before_pass_possible": 2, "max_moves": 40, "komi": 0.0}),
    (4, 7, 6, {"superko": False, "max_moves": 30, "min_moves_before_pass_possible": 5}),
    (3, 9, 9, {}),
]


class TestAgainstGameLoop:
    @pytest.mark.parametrize("autoreset", ["same_step", "next_step"])
    @pytest.mark.parametrize("n, w, h, opts", CASES, ids=[f"{c[1]}x{c[2]}" for c in CASES])
    @pytest.mark.parametrize("seed", [0, 11])
    def test_step_for_step(self, n, w, h, opts, autoreset, seed):
        batch = vg.GameBatch(n, w, h, autoreset=autoreset, seed=seed, **opts)
        ref = Reference(n, w, h, autoreset, **opts)
        rng = random.Random(seed)
        ends = 0
        for _ in range(60 if QUICK else 150):
            # The batch's own sampler, or a Python choice among the reference's legal actions.
            if rng.random() < 0.5:
                actions = np.asarray(batch.sample_actions(), np.int64)
            else:
                actions = [rng.choice(g.legal_action_indices()) if not g.is_over() else 0 for g in ref.games]
            got = buffers(n, w, h)
            batch.step(actions, **got)
            want = ref.step(actions)
            for key in ("obs", "mask", "reward", "reward_black", "terminated", "truncated", "outcome"):
                np.testing.assert_array_equal(got[key], want[key], err_msg=key)
            np.testing.assert_array_equal(got["score"], want["score"])
            for i in range(n):
                if i in want["final_obs"]:
                    np.testing.assert_array_equal(got["final_obs"][i], want["final_obs"][i])
                    ends += 1
                else:
                    assert (got["final_obs"][i] == 7).all()  # rows of games in play are left alone
            for i in range(n):
                assert batch.game(i).encode_game_planes() == ref.games[i].encode_game_planes()
        if w * h <= 30:
            assert ends > 0

    @pytest.mark.parametrize("dtype", [np.uint8, np.bool_, np.float32])
    def test_plane_types_agree(self, dtype):
        got = []
        for dt in (np.float32, dtype):
            batch = vg.GameBatch(4, 5, 5, seed=3, max_moves=10, min_moves_before_pass_possible=0)
            rows = []
            for _ in range(25):
                out = buffers(4, 5, 5, dt)
                batch.step(batch.sample_actions(), obs=out["obs"], final_obs=out["final_obs"])
                rows.append(out["obs"].astype(np.float32))
            got.append(rows)
        np.testing.assert_array_equal(got[0], got[1])

    def test_observe_matches_the_games(self):
        batch = vg.GameBatch(5, 6, 6, seed=2)
        for _ in range(10):
            batch.step(batch.sample_actions())
        obs, m = np.zeros((5, PLANES, 6, 6), np.float32), np.zeros((5, 37), np.bool_)
        batch.observe(obs=obs, mask=m)
        for i in range(5):
            np.testing.assert_array_equal(obs[i], planes(batch.game(i)))
            np.testing.assert_array_equal(m[i], mask(batch.game(i)).astype(bool))


def run_steps(threads, steps=40, n=64, w=9, h=9, **kw):
    batch = vg.GameBatch(n, w, h, threads=threads, seed=5, max_moves=60, **kw)
    trace = []
    for k in range(steps):
        out = buffers(n, w, h, np.uint8)
        actions = batch.sample_actions()
        batch.step(actions, **out)
        trace.append(np.asarray(actions).tobytes() + b"".join(v.tobytes() for v in out.values()))
    lengths = np.zeros(n, np.uint32)
    batch.rollout(seed=9, length=lengths)
    trace.append(lengths.tobytes())
    return trace, snapshot(batch)


class TestThreads:
    @pytest.mark.parametrize("kw", [{}, {"autoreset": "next_step"}], ids=["same_step", "next_step"])
    def test_identical_bytes_for_every_thread_count(self, kw):
        one = run_steps(1, **kw)
        for t in (2, 4):
            other = run_steps(t, **kw)
            assert other[0] == one[0]
            # The saved state records the thread count: compare the games instead.
            a, b = pickle.loads(one[1]), pickle.loads(other[1])
            assert [a.game(i).encode_game_planes() for i in range(64)] == [
                b.game(i).encode_game_planes() for i in range(64)
            ]


class TestAutoreset:
    def test_next_step_returns_the_ended_game_then_a_new_one(self):
        batch = vg.GameBatch(2, 3, 3, autoreset="next_step", min_moves_before_pass_possible=0)
        out = buffers(2, 3, 3)
        batch.step([9, 0], **out)
        batch.step([9, 9], **out)  # game 0 ends by two passes
        assert out["terminated"].tolist() == [True, False]
        assert out["outcome"][0] == 1 and out["reward"][0] == 1.0  # White's pass ended a 0-0 game: komi wins
        np.testing.assert_array_equal(out["obs"][0], planes(batch.game(0)))
        assert batch.game(0).is_over() and not out["mask"][0].any()
        before_other = batch.game(1).move_count()
        batch.step([0, 4], **out)  # game 0's action is ignored (in range)
        assert out["terminated"].tolist() == [False, False] and out["reward"][0] == 0 and out["outcome"][0] == -1
        assert batch.game(0).move_count() == 0 and batch.game(1).move_count() == before_other + 1
        assert batch.finished_game(0).is_over()

    def test_same_step_keeps_the_final_observation_and_starts_anew(self):
        batch = vg.GameBatch(1, 3, 3, min_moves_before_pass_possible=0)
        out = buffers(1, 3, 3)
        batch.step([4], **out)
        ended = batch.game(0)
        ended.apply_action(9)
        ended.apply_action(9)
        batch.step([9], **out)
        batch.step([9], **out)
        assert out["terminated"][0] and out["outcome"][0] == 0 and out["reward"][0] == 1.0
        assert out["reward_black"][0] == 1.0
        np.testing.assert_array_equal(out["final_obs"][0], planes(ended))
        np.testing.assert_array_equal(out["obs"][0], planes(new_game(3, 3, {"min_moves_before_pass_possible": 0})))
        assert batch.game(0).move_count() == 0
        assert batch.finished_game(0).encode_game_planes() == ended.encode_game_planes()
        assert out["score"][0].tolist() == list(ended.score())

    def test_disabled_refuses_ended_games_until_reset(self):
        batch = vg.GameBatch(2, 3, 3, autoreset="disabled", min_moves_before_pass_possible=0)
        batch.step([9, 9])
        batch.step([9, 0])
        with pytest.raises(ValueError, match="game 0 is over"):
            batch.step([9, 9])
        batch.reset()
        assert batch.game(0).move_count() == batch.game(1).move_count() == 0

    def test_illegal_move_loses_when_asked(self):
        batch = vg.GameBatch(2, 5, 5, illegal_action="lose", autoreset="next_step")
        batch.step([0, 1])
        out = buffers(2, 5, 5)
        batch.step([0, 2], **out)  # White plays on Black's stone in game 0
        assert out["terminated"].tolist() == [True, False]
        assert out["reward"][0] == -1.0 and out["reward_black"][0] == 1.0 and out["outcome"][0] == 0
        assert batch.game(0).move_count() == 1  # the forfeited move is not played
        with pytest.raises(ValueError, match="out of range"):
            batch.step([0, 26])


class TestRefusals:
    @pytest.mark.parametrize(
        "actions, text",
        [
            ([0, 0, -1], "game 2: action -1 is out of range"),
            ([0, 26, 0], "game 1: action 26 is out of range"),
            ([12, 0, 0], "game 0: action 12 is illegal"),
            ([0, 0, 2**70], "game 2: action"),
        ],
    )
    def test_bad_action_changes_nothing(self, actions, text):
        batch = vg.GameBatch(3, 5, 5, seed=1)
        batch.step([12, 3, 4])
        before = snapshot(batch)
        out = buffers(3, 5, 5)
        for v in out.values():
            v.view(np.uint8).fill(0xAB)
        with pytest.raises(ValueError, match=text.replace("(", r"\(")):
            batch.step(actions, **out)
        assert snapshot(batch) == before
        assert all((v.view(np.uint8) == 0xAB).all() for v in out.values())

    @pytest.mark.parametrize(
        "name, make, error",
        [
            ("obs", lambda: np.zeros((3, PLANES, 5, 4), np.float32), ValueError),
            ("obs", lambda: np.zeros((3, PLANES, 5, 5), np.float64), TypeError),
            ("obs", lambda: np.frombuffer(bytearray(3 * PLANES * 25 * 4 + 1), np.uint8)[1:].view(np.float32), ValueError),
            ("obs", lambda: np.zeros((3, PLANES, 5, 10), np.float32)[:, :, :, ::2], ValueError),
            ("obs", lambda: bytes(3 * PLANES * 25), TypeError),
            ("mask", lambda: np.zeros((3, 26), np.int32), TypeError),
            ("mask", lambda: np.zeros((3, 25), np.uint8), ValueError),
            ("reward", lambda: np.zeros(3, np.float64), TypeError),
            ("reward", lambda: np.zeros(4, np.float32), ValueError),
            ("terminated", lambda: np.zeros(3, np.int16), TypeError),
            ("outcome", lambda: np.zeros(3, np.uint8), TypeError),
            ("score", lambda: np.zeros(3, np.float32), ValueError),
            ("final_obs", lambda: [0.0] * 3 * PLANES * 25, TypeError),
        ],
    )
    def test_bad_buffer_writes_nothing(self, name, make, error):
        batch = vg.GameBatch(3, 5, 5)
        before = snapshot(batch)
        out = buffers(3, 5, 5)
        for v in out.values():
            v.view(np.uint8).fill(0xAB)
        out[name] = make()
        with pytest.raises(error, match=name):
            batch.step([0, 1, 2], **out)
        assert snapshot(batch) == before
        for k, v in out.items():
            if isinstance(v, np.ndarray) and v.flags.c_contiguous and k != name:
                assert (v.view(np.uint8) == 0xAB).all(), k

    def test_read_only_buffer(self):
        batch = vg.GameBatch(2, 3, 3)
        m = np.zeros((2, 10), np.uint8)
        m.flags.writeable = False
        with pytest.raises(TypeError, match="writable"):
            batch.step([0, 1], mask=m)
        assert batch.game(0).move_count() == 0

    @pytest.mark.parametrize(
        "actions",
        [np.array([3, 4], np.int8), np.array([3, 4], np.uint16), np.array([3, 4], np.uint64), [3, np.int32(4)], (3, 4)],
    )
    def test_action_forms(self, actions):
        batch = vg.GameBatch(2, 3, 3)
        batch.step(actions)
        assert [batch.game(i).move_count() for i in range(2)] == [1, 1]

    @pytest.mark.parametrize("actions, error", [(np.zeros(2, np.float32), TypeError), (["a", 1], TypeError),
                                                (5, TypeError), ([1, 2, 3], ValueError)])
    def test_bad_action_containers(self, actions, error):
        batch = vg.GameBatch(2, 3, 3)
        with pytest.raises(error):
            batch.step(actions)
        assert batch.game(0).move_count() == 0

    @pytest.mark.parametrize(
        "kwargs, error",
        [
            ({"num_games": 0}, ValueError),
            ({"num_games": 2**40}, OverflowError),
            ({"width": 1}, ValueError),
            ({"width": 33}, ValueError),
            ({"threads": 0}, ValueError),
            ({"threads": 1000}, OverflowError),
            ({"autoreset": "sometimes"}, ValueError),
            ({"illegal_action": "ignore"}, ValueError),
            ({"max_moves": 70000}, OverflowError),
            ({"komi": 1e39}, OverflowError),
            ({"seed": -1}, OverflowError),
            ({"superko": 1}, TypeError),
            ({"bogus": 1}, TypeError),
        ],
    )
    def test_constructor_refusals(self, kwargs, error):
        args = {"num_games": 2, "width": 5, "height": 5} | kwargs
        with pytest.raises(error):
            vg.GameBatch(**args)

    def test_defaults_match_game(self):
        batch = vg.GameBatch(1, 7, 5)
        g, ref = batch.game(0), vg.Game(7, 5)
        assert (g.komi(), g.min_moves_before_pass_possible(), g.max_moves(), g.superko()) == (
            ref.komi(), ref.min_moves_before_pass_possible(), ref.max_moves(), ref.superko())
        assert (batch.width(), batch.height(), batch.action_size(), len(batch)) == (7, 5, 36, 1)


class TestGamesInAndOut:
    def test_game_is_a_copy_and_set_game_puts_one_back(self):
        batch = vg.GameBatch(3, 5, 5, seed=4)
        for _ in range(6):
            batch.step(batch.sample_actions())
        g = batch.game(-1)
        assert g.encode_game_planes() == batch.game(2).encode_game_planes()
        g.apply_action(g.legal_action_indices()[0])
        assert batch.game(2).move_count() == 6
        batch.set_game(0, g)
        got = batch.game(0)
        assert got.encode_game_planes() == g.encode_game_planes() and got.move_count() == 7
        # Play on from the game put in, against the same game played directly.
        a = batch.sample_actions()
        out = buffers(3, 5, 5)
        batch.step(a, **out)
        g.apply_action(a[0])
        np.testing.assert_array_equal(out["obs"][0], planes(g))
        np.testing.assert_array_equal(out["mask"][0], mask(g))

    @pytest.mark.parametrize(
        "game, text",
        [
            (lambda: vg.Game(6, 5), "5x5"),
            (lambda: vg.Game(19, 19), "19x19"),
            (lambda: vg.Game.with_options(5, 5, 6.5, 12, 75, True), "komi"),
            (lambda: vg.Game.with_options(5, 5, 7.5, 12, 75, False), "superko"),
        ],
    )
    def test_set_game_refuses_other_rules(self, game, text):
        batch = vg.GameBatch(2, 5, 5)
        before = snapshot(batch)
        with pytest.raises(ValueError, match=text):
            batch.set_game(1, game())
        assert snapshot(batch) == before

    def test_set_game_refusals(self):
        batch = vg.GameBatch(2, 3, 3, min_moves_before_pass_possible=0)
        over = vg.Game.with_options(3, 3, 7.5, 0, 27, True)
        over.apply_action(9)
        over.apply_action(9)
        with pytest.raises(ValueError, match="ended"):
            batch.set_game(0, over)
        with pytest.raises(IndexError):
            batch.set_game(2, vg.Game(3, 3))
        with pytest.raises(IndexError):
            batch.game(-3)
        with pytest.raises(TypeError):
            batch.set_game(0, vg.Board(3, 3))
        vg.GameBatch(1, 3, 3, autoreset="disabled", min_moves_before_pass_possible=0).set_game(0, over)


class TestSampling:
    def test_legal_reproducible_and_thread_independent(self):
        runs = []
        for threads in (1, 2, 4):
            batch = vg.GameBatch(40, 7, 7, seed=123, threads=threads)
            seq = []
            for _ in range(30):
                m = np.zeros((40, 50), np.uint8)
                batch.observe(mask=m)
                a = np.zeros(40, np.int32)
                batch.sample_actions(out=a)
                assert m[np.arange(40), a].all()
                seq.append(a.tolist())
                batch.step(a)
            runs.append(seq)
        assert runs[0] == runs[1] == runs[2]
        batch.reset(seed=123)
        assert batch.sample_actions() == runs[0][0]
        batch.reset(seed=124)
        assert batch.sample_actions() != runs[0][0]

    def test_rollout_plays_copies_to_the_end(self):
        batch = vg.GameBatch(8, 5, 5, seed=1)
        batch.step(batch.sample_actions())
        before = snapshot(batch)
        outcome, score, length = np.zeros(8, np.int8), np.zeros((8, 2), np.float32), np.zeros(8, np.uint32)
        batch.rollout(seed=3, outcome=outcome, score=score, length=length)
        assert snapshot(batch) == before
        assert [o.name() for o in batch.rollout(seed=3)] == [
            ["Black wins", "White wins", "Draw"][c] for c in outcome]
        for i in range(8):
            assert length[i] > 0
            assert outcome[i] == (0 if score[i, 0] > score[i, 1] else 1 if score[i, 1] > score[i, 0] else 2)
        again = np.zeros(8, np.int8)
        vg.GameBatch(8, 5, 5, seed=1, threads=3)  # other batches do not matter
        batch.rollout(seed=3, outcome=again)
        np.testing.assert_array_equal(again, outcome)

    def test_bad_sample_buffer(self):
        batch = vg.GameBatch(2, 3, 3)
        for bad, error in [(np.zeros(2, np.int8), TypeError), (np.zeros(3, np.int64), ValueError),
                           (np.zeros(2, np.float64), TypeError)]:
            with pytest.raises(error):
                batch.sample_actions(out=bad)


class TestPickling:
    @pytest.mark.parametrize("kw", [{}, {"autoreset": "next_step", "illegal_action": "lose", "threads": 2}])
    def test_round_trip_keeps_every_game_and_stream(self, kw):
        batch = vg.GameBatch(6, 5, 5, seed=8, max_moves=30, **kw)
        for _ in range(25):
            batch.step(batch.sample_actions())
        copy = pickle.loads(pickle.dumps(batch))
        assert copy.threads() == batch.threads() and copy.autoreset() == batch.autoreset()
        for _ in range(20):
            a, b = buffers(6, 5, 5), buffers(6, 5, 5)
            acts = batch.sample_actions()
            assert copy.sample_actions() == acts
            batch.step(acts, **a)
            copy.step(acts, **b)
            for k in a:
                np.testing.assert_array_equal(a[k], b[k])
        for i in range(6):
            assert copy.game(i).encode_game_planes() == batch.game(i).encode_game_planes()

    def test_corrupt_states_are_refused(self):
        batch = vg.GameBatch(3, 4, 4, seed=8)
        batch.step(batch.sample_actions())
        state = batch.__reduce__()[1][0]
        rng = random.Random(0)
        for cut in range(0, len(state), 7):
            with pytest.raises(ValueError):
                vg.GameBatch._from_state(state[:cut])
        for _ in range(300):
            b = bytearray(state)
            b[rng.randrange(len(b))] ^= 1 << rng.randrange(8)
            try:
                other = vg.GameBatch._from_state(bytes(b))
            except ValueError:
                continue
            other.step(other.sample_actions())  # whatever loads works
        with pytest.raises(TypeError):
            vg.GameBatch._from_state("text")


class TestConcurrentUse:
    def test_calls_during_a_step_are_refused_never_torn(self):
        n = 256
        batch = vg.GameBatch(n, 9, 9, seed=1, threads=2, max_moves=80)
        obs = np.zeros((n, PLANES, 9, 9), np.uint8)
        stop = threading.Event()
        refused = []

        def meddle():
            g = vg.Game(9, 9)
            while not stop.is_set():
                for call in (lambda: batch.game(3), lambda: batch.set_game(5, g), lambda: batch.step([0] * n),
                             lambda: batch.reset(), lambda: batch.observe(obs=obs), lambda: pickle.dumps(batch),
                             lambda: len(batch)):
                    try:
                        call()
                    except RuntimeError as e:
                        refused.append(str(e))
                    except ValueError:
                        pass  # a step of fixed actions may be illegal: refused before any change

        t = threading.Thread(target=meddle)
        t.start()
        try:
            for _ in range(40 if QUICK else 200):
                try:
                    a = batch.sample_actions()
                    batch.step(a, obs=obs)
                except RuntimeError as e:
                    refused.append(str(e))
        finally:
            stop.set()
            t.join()
        for i in range(n):
            batch.game(i)._check_consistency()
        assert all("in use" in r or "being changed" in r for r in refused)


class TestClass:
    def test_like_the_other_classes(self):
        import weakref

        assert vg.GameBatch.__module__ == "vexlor_go" and vg.GameBatch.__qualname__ == "GameBatch"
        assert vg.GameBatch.__text_signature__.startswith("(num_games, width, height, *, komi=7.5")
        with pytest.raises(TypeError):
            type("Sub", (vg.GameBatch,), {})
        b = vg.GameBatch(2, 3, 3)
        with pytest.raises(AttributeError):
            b.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(b)
        assert repr(b) == "<vexlor_go.GameBatch of 2 3x3 games, autoreset=same_step, threads=1>"

    @pytest.mark.parametrize(
        "call",
        [
            lambda b: b.step(),
            lambda b: b.step([0, 1], [0]),
            lambda b: b.step([0, 1], bogus=None),
            lambda b: b.game(),
            lambda b: b.width(1),
            lambda b: b.reset(1, 2),
            lambda b: vg.GameBatch(2, 3, 3, 7.5),
            lambda b: vg.GameBatch(2, 3),
        ],
    )
    def test_argument_binding(self, call):
        with pytest.raises(TypeError):
            call(vg.GameBatch(2, 3, 3))
