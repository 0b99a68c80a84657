"""The Gymnasium adapters: Gymnasium's own environment checker on the single-game
environment, and the vector environment's autoreset, rewards and opponent turns."""

import os

import pytest

if os.environ.get("VEXLOR_SANITIZED") == "1":
    # Pure-Python adapters; the engine calls they make are covered by the module's own suites there.
    pytest.skip("third-party RL libraries are not loaded under the sanitizers", allow_module_level=True)
np = pytest.importorskip("numpy")
pytest.importorskip("gymnasium")

from gymnasium.utils.env_checker import check_env  # noqa: E402
from gymnasium.vector import AutoresetMode  # noqa: E402

import vexlor_go as vg  # noqa: E402
from vexlor_go_envs.gymnasium import GoEnv, GoVectorEnv  # noqa: E402


def random_legal(rng, mask):
    return np.array([rng.choice(np.flatnonzero(row)) for row in mask])


@pytest.mark.filterwarnings("ignore:.*alternative render modes")  # the checker cannot try other render modes without a registry entry
@pytest.mark.parametrize("kw", [{}, {"opponent": None}, {"render_mode": "ansi"}, {"obs_dtype": np.uint8}])
def test_gymnasium_checker(kw):
    check_env(GoEnv(5, max_moves=30, **kw), skip_render_check=False)


class TestVectorEnv:
    @pytest.mark.parametrize("opponent", [None, "random", lambda obs, mask: mask.shape[1] - 1 - mask[:, ::-1].argmax(1)])
    def test_spaces_flags_and_rewards(self, opponent):
        env = GoVectorEnv(6, 5, opponent=opponent, max_moves=30, min_moves_before_pass_possible=0)
        assert env.metadata["autoreset_mode"] == AutoresetMode.SAME_STEP
        obs, info = env.reset(seed=3)
        assert env.observation_space.contains(obs) and info["action_mask"].shape == (6, 26)
        rng = np.random.default_rng(0)
        ends = 0
        for _ in range(120):
            obs, reward, terminated, truncated, info = env.step(random_legal(rng, info["action_mask"]))
            assert env.observation_space.contains(obs)
            ended = terminated | truncated
            assert set(np.unique(reward[ended])) <= {-1.0, 0.0, 1.0} and (reward[~ended] == 0).all()
            if ended.any():
                ends += int(ended.sum())
                assert (info["_final_obs"] == ended).all()
                assert ((info["outcome"][ended] >= 0) & (info["outcome"][ended] <= 2)).all()
        assert ends > 5

    def test_same_seed_same_run(self):
        def run():
            env = GoVectorEnv(4, 5, opponent="random", max_moves=20)
            obs, info = env.reset(seed=11)
            rng = np.random.default_rng(1)
            trace = [obs.tobytes()]
            for _ in range(40):
                obs, reward, term, trunc, info = env.step(random_legal(rng, info["action_mask"]))
                trace.append(obs.tobytes() + reward.tobytes() + term.tobytes() + trunc.tobytes())
            return trace

        assert run() == run()

    def test_agent_reward_is_its_own(self):
        # An opponent that passes at once, against an agent that passes back: the agent, White, wins on komi.
        env = GoVectorEnv(2, 3, opponent=lambda obs, mask: np.full(2, 9), min_moves_before_pass_possible=0)
        env.reset(seed=0)
        assert all(env.batch.game(i).turn() == vg.WHITE for i in range(2))
        _, reward, terminated, _, info = env.step(np.array([9, 9]))
        assert terminated.all() and (reward == 1.0).all()
        assert (info["outcome"] == 1).all()

    def test_game_ended_by_the_opponent(self):
        # The opponent (Black) takes a corner, then passes after the agent's pass: Black wins the 3x3 board.
        env = GoVectorEnv(2, 3, opponent=lambda obs, mask: np.where(mask[:, 0], 0, 9), min_moves_before_pass_possible=0)
        env.reset(seed=0)
        obs, reward, terminated, _, info = env.step(np.array([9, 4]))
        assert terminated.tolist() == [True, False] and reward.tolist() == [-1.0, 0.0]
        assert info["outcome"][0] == 0 and info["_final_obs"].tolist() == [True, False]
        new = env.batch.game(0)  # the agent opens the next game, as Black
        assert new.move_count() == 0 and new.turn() == vg.BLACK

    def test_next_step_in_self_play(self):
        env = GoVectorEnv(1, 3, autoreset_mode="NextStep", min_moves_before_pass_possible=0)
        env.reset(seed=0)
        env.step([9])
        obs, reward, terminated, _, info = env.step([9])
        assert terminated[0] and reward[0] == 1.0 and "final_obs" not in info
        assert not info["action_mask"].any()
        obs, reward, terminated, _, info = env.step([0])  # ignored: the reset step
        assert not terminated[0] and reward[0] == 0 and info["action_mask"][0].sum() == 10

    def test_refusals(self):
        with pytest.raises(ValueError):
            GoVectorEnv(2, 5, opponent="random", autoreset_mode="NextStep")
        with pytest.raises(ValueError):
            GoVectorEnv(2, 5, autoreset_mode="Disabled")
        env = GoVectorEnv(2, 5)
        with pytest.raises(RuntimeError):
            env.step([0, 1])
        env.reset(seed=0)
        env.step([12, 12])
        with pytest.raises(ValueError, match="game 1: action 12"):
            env.step([13, 12])
