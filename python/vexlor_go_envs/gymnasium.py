"""Gymnasium 1.x environments over ``vexlor_go.GameBatch``.

``GoVectorEnv`` steps ``num_envs`` games in one call. Observations are the 17 input
planes of the side to move (num_envs x 17 x H x W), actions are ``row * W + col``
with ``H * W`` the pass, and ``infos["action_mask"]`` holds the legal actions.

Auto-reset follows Gymnasium's ``SameStep`` mode by default: a game that ends is
replaced at once, the step returns the new game's observation, and the ended game's
last observation is in ``infos["final_obs"]`` (rows flagged by ``infos["_final_obs"]``).
Every action of every step is then a move in a live game: no slot idles for a step,
and no action needs ignoring, which is what batched self-play wants. Self-play may
ask for ``NextStep`` (Gymnasium's default) instead.

Self-play: every action is the move of the side to move, and rewards are from that
side. Against an opponent: ``opponent(obs, mask) -> actions`` (or ``"random"``) answers
every agent move within the same step, so the agent may play either colour; a
new game starts with whoever's turn it is in the step's rhythm (Black one game,
White the next). Rewards are the agent's: +1 win, -1 loss, 0 draw, at the end only.

``GoEnv`` is one game as a plain ``gymnasium.Env`` (against an opponent or itself).
"""

from __future__ import annotations

from typing import Any, Callable

import gymnasium as gym
import numpy as np
from gymnasium import spaces
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

import vexlor_go

__all__ = ["GoVectorEnv", "GoEnv"]

Opponent = Callable[[np.ndarray, np.ndarray], Any]


class GoVectorEnv(VectorEnv):
    metadata = {"autoreset_mode": AutoresetMode.SAME_STEP, "render_modes": []}

    def __init__(
        self,
        num_envs: int,
        board_size: int | tuple[int, int] = 9,
        *,
        komi: float = 7.5,
        opponent: Opponent | str | None = None,
        autoreset_mode: AutoresetMode | str = AutoresetMode.SAME_STEP,
        illegal_action: str = "raise",
        obs_dtype: Any = np.float32,
        threads: int = 1,
        max_moves: int | None = None,
        min_moves_before_pass_possible: int | None = None,
    ):
        width, height = (board_size, board_size) if isinstance(board_size, int) else board_size
        mode = AutoresetMode(autoreset_mode)
        if mode == AutoresetMode.DISABLED or (opponent is not None and mode != AutoresetMode.SAME_STEP):
            raise ValueError("autoreset_mode must be SameStep, or NextStep in self-play")
        self.metadata = {**self.metadata, "autoreset_mode": mode}
        self.autoreset_mode = mode
        self.num_envs = int(num_envs)
        self.opponent = opponent
        self.batch = vexlor_go.GameBatch(
            self.num_envs,
            width,
            height,
            komi=komi,
            min_moves_before_pass_possible=min_moves_before_pass_possible,
            max_moves=max_moves,
            autoreset="same_step" if mode == AutoresetMode.SAME_STEP else "next_step",
            illegal_action=illegal_action,
            threads=threads,
        )
        self.obs_dtype = np.dtype(obs_dtype)
        self.width, self.height, self.num_actions = width, height, width * height + 1
        self.single_observation_space = spaces.Box(0, 1, (vexlor_go.TOTAL_INPUT_PLANES, height, width), self.obs_dtype)
        self.single_action_space = spaces.Discrete(self.num_actions)
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.action_space = batch_space(self.single_action_space, self.num_envs)
        self._started = False

    def _outputs(self) -> dict[str, np.ndarray]:
        n, shape = self.num_envs, (self.num_envs, vexlor_go.TOTAL_INPUT_PLANES, self.height, self.width)
        return {
            "obs": np.empty(shape, self.obs_dtype),
            "mask": np.empty((n, self.num_actions), np.bool_),
            "reward": np.empty(n, np.float32),
            "terminated": np.empty(n, np.bool_),
            "truncated": np.empty(n, np.bool_),
            "final_obs": np.zeros(shape, self.obs_dtype),
            "outcome": np.empty(n, np.int8),
        }

    def reset(self, *, seed: int | None = None, options: dict[str, Any] | None = None):
        super().reset(seed=seed)
        if seed is None:
            seed = int(self.np_random.integers(0, 2**63))
        self.batch.reset(seed=seed)
        self._started = True
        obs = np.empty(self.observation_space.shape, self.obs_dtype)
        mask = np.empty((self.num_envs, self.num_actions), np.bool_)
        if self.opponent is not None:  # the opponent opens every game: the agent starts as White
            self._reply(obs, mask)
        self.batch.observe(obs=obs, mask=mask)
        return obs, {"action_mask": mask}

    def _reply(self, obs: np.ndarray, mask: np.ndarray, out: dict[str, np.ndarray] | None = None) -> None:
        """The opponent's move in every game, written into `out` when given."""
        self.batch.observe(obs=obs, mask=mask)
        if self.opponent == "random":
            actions = self.batch.sample_actions()
        else:
            actions = np.asarray(self.opponent(obs, mask), np.int64)
        self.batch.step(actions, **(out or {}))

    def step(self, actions):
        if not self._started:
            raise RuntimeError("call reset() before step()")
        out = self._outputs()
        self.batch.step(actions, **out)
        reward, terminated, truncated = out["reward"], out["terminated"], out["truncated"]
        ended = terminated | truncated
        if self.opponent is not None:
            reply = self._outputs()
            self._reply(reply["obs"], reply["mask"], reply)
            by_reply = reply["terminated"] | reply["truncated"]
            reward = np.where(by_reply, -reply["reward"], reward)
            terminated = terminated | reply["terminated"]
            truncated = truncated | reply["truncated"]
            out["final_obs"][by_reply] = reply["final_obs"][by_reply]
            out["outcome"] = np.where(by_reply, reply["outcome"], out["outcome"])
            ended = ended | by_reply
            out["obs"], out["mask"] = reply["obs"], reply["mask"]
        infos: dict[str, Any] = {"action_mask": out["mask"]}
        if ended.any():
            infos["outcome"], infos["_outcome"] = out["outcome"], ended
            if self.autoreset_mode == AutoresetMode.SAME_STEP:
                infos["final_obs"], infos["_final_obs"] = out["final_obs"], ended
        return out["obs"], reward.astype(np.float64), terminated, truncated, infos

    def close_extras(self, **kwargs):
        self.batch = None


class GoEnv(gym.Env):
    """One game of Go as a Gymnasium environment, on a batch of one.

    ``illegal_action="lose"`` (the default here) ends the game with a loss for an
    illegal action instead of raising, so sampling from the full action space is safe.
    """

    metadata = {"render_modes": ["ansi"], "render_fps": 4}

    def __init__(
        self,
        board_size: int | tuple[int, int] = 9,
        *,
        opponent: Opponent | str | None = "random",
        illegal_action: str = "lose",
        render_mode: str | None = None,
        **kwargs: Any,
    ):
        self._vec = GoVectorEnv(1, board_size, opponent=opponent, illegal_action=illegal_action, **kwargs)
        self.observation_space = self._vec.single_observation_space
        self.action_space = self._vec.single_action_space
        self.render_mode = render_mode

    def reset(self, *, seed: int | None = None, options: dict[str, Any] | None = None):
        super().reset(seed=seed)
        obs, infos = self._vec.reset(seed=int(self.np_random.integers(0, 2**63)))
        return obs[0], {"action_mask": infos["action_mask"][0]}

    def step(self, action):
        obs, reward, terminated, truncated, infos = self._vec.step(np.asarray([action], np.int64))
        info: dict[str, Any] = {"action_mask": infos["action_mask"][0]}
        if "final_obs" in infos:  # the episode is over: hand back its last observation, not the next game's
            obs = infos["final_obs"]
            info["outcome"] = int(infos["outcome"][0])
        return obs[0], float(reward[0]), bool(terminated[0]), bool(truncated[0]), info

    def render(self):
        if self.render_mode == "ansi":
            return str(self._vec.batch.game(0))
        return None
