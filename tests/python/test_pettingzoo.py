"""The PettingZoo adapter: PettingZoo's own checks, and the same game as go_v5
move for move (observations, masks, rewards, ends) when the rules agree."""

import os
import pickle
import random
import warnings

import pytest

if os.environ.get("VEXLOR_SANITIZED") == "1":
    # Pure-Python adapters; the engine calls they make are covered by the module's own suites there.
    pytest.skip("third-party RL libraries are not loaded under the sanitizers", allow_module_level=True)
np = pytest.importorskip("numpy")
pytest.importorskip("pettingzoo")
pytest.importorskip("pygame")  # PettingZoo's test utilities and go_v5 import it

with warnings.catch_warnings():
    # Newer PettingZoo releases deprecate importing environment modules (its own tests do so).
    warnings.simplefilter("ignore", DeprecationWarning)
    from pettingzoo.classic import go_v5 as _go_v5
    from pettingzoo.test import api_test, render_test, seed_test

from vexlor_go_envs import pettingzoo as vz  # noqa: E402


def go_v5():
    return _go_v5


@pytest.mark.filterwarnings("ignore")  # PettingZoo's checks warn about what they test
class TestPettingZooChecks:
    @pytest.mark.parametrize("size", [5, 9, 19])
    def test_api(self, size):
        api_test(vz.env(board_size=size), num_cycles=300)

    def test_seed(self):
        seed_test(lambda **kw: vz.env(board_size=7, **kw), num_cycles=200)

    def test_render(self):
        render_test(lambda render_mode=None: vz.env(board_size=5, render_mode=render_mode, screen_height=100))

    def test_pickles(self):
        e = vz.env(board_size=5)
        e.reset()
        e.step(12)
        copy = pickle.loads(pickle.dumps(e.unwrapped))
        assert copy.unwrapped._N == 5


def play_both(ours, theirs, rng, illegal_rate=0.0):
    """Steps both environments with the same random actions through the AEC calls; returns the step count."""
    ours.reset()
    theirs.reset()
    steps = 0
    for agent in theirs.agent_iter():
        assert ours.agent_selection == agent
        oa, ra, ta, tra, _ = ours.last()
        ob, rb, tb, trb, _ = theirs.last()
        np.testing.assert_array_equal(oa["action_mask"], ob["action_mask"])
        np.testing.assert_array_equal(oa["observation"], ob["observation"])
        assert oa["observation"].dtype == ob["observation"].dtype and oa["action_mask"].dtype == ob["action_mask"].dtype
        assert (ra, ta, tra) == (rb, tb, trb)
        for other in theirs.agents:  # the other agent's view too
            np.testing.assert_array_equal(ours.observe(other)["observation"], theirs.observe(other)["observation"])
        if tb or trb:
            action = None
        elif rng.random() < illegal_rate:
            action = rng.randrange(ob["action_mask"].size)
        else:
            action = int(rng.choice(np.flatnonzero(ob["action_mask"])))
        ours.step(action)
        theirs.step(action)
        steps += 1
    assert ours.agents == theirs.agents == []
    return steps


class TestSameGameAsGoV5:
    @pytest.mark.parametrize("size, seed", [(5, 0), (5, 1), (7, 2), (9, 3)])
    def test_random_games(self, size, seed):
        steps = play_both(vz.env(board_size=size), go_v5().env(board_size=size), random.Random(seed))
        assert steps > size

    @pytest.mark.filterwarnings("ignore")
    @pytest.mark.parametrize("seed", range(3))
    def test_illegal_moves_lose_as_in_go_v5(self, seed):
        play_both(vz.env(board_size=5), go_v5().env(board_size=5), random.Random(seed), illegal_rate=0.2)

    def test_code_written_for_go_v5_runs_unchanged(self):
        def selfplay(go_module, seed):
            # PettingZoo's documented AEC loop, as users write it for go_v5.
            env = go_module.env(board_size=9, komi=7.5, render_mode=None)
            env.reset(seed=seed)
            rng = np.random.default_rng(seed)
            total = {a: 0.0 for a in env.possible_agents}
            for agent in env.agent_iter():
                observation, reward, termination, truncation, info = env.last()
                total[agent] += reward
                if termination or truncation:
                    action = None
                else:
                    legal = np.flatnonzero(observation["action_mask"])
                    action = int(rng.choice(legal))
                env.step(action)
            env.close()
            return total

        assert selfplay(go_v5(), 4) == selfplay(vz, 4)

    @pytest.mark.parametrize(
        "action",
        [0, 25, -1, 26, 3.0, None, "3", np.int64(25), np.int8(-1), np.uint16(26), np.bool_(True), np.array(4),
         np.array([4]), np.float32(2)],
        ids=repr,
    )
    def test_action_space_check_as_go_v5(self, action):
        def outcome(module):
            e = module.env(board_size=5)
            e.reset()
            try:
                e.step(action)
            except AssertionError:
                return "refused"
            except Exception as exc:  # past the check, a value the game cannot take
                return type(exc).__name__
            return "played"

        assert outcome(vz) == outcome(go_v5())

    def test_spaces_match(self):
        ours, theirs = vz.raw_env(board_size=9), go_v5().raw_env(board_size=9)
        assert ours.possible_agents == theirs.possible_agents
        for a in ours.possible_agents:
            assert ours.observation_space(a) == theirs.observation_space(a)
            assert ours.action_space(a) == theirs.action_space(a)
        assert ours.metadata == theirs.metadata


class TestOwnRules:
    def test_tie_is_a_draw(self):
        e = vz.env(board_size=5, komi=0.0)
        e.reset()
        e.step(25)
        e.step(25)
        assert e.rewards == {"black_0": 0.0, "white_0": 0.0}
        assert all(e.terminations.values())

    def test_move_limit_truncates(self):
        e = vz.env(board_size=5, max_moves=4)
        e.reset()
        for a in (0, 24, 1, 23):
            e.step(a)
        assert all(e.truncations.values()) and not any(e.terminations.values())
        assert e.rewards["black_0"] == -e.rewards["white_0"] != 0
