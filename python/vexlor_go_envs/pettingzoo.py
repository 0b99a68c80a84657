"""A drop-in for PettingZoo's ``classic.go_v5`` AEC environment on the vexlor_go engine.

Same agents (``black_0``, ``white_0``), spaces, observation layout (N x N x 17 bool:
planes 2k and 2k+1 hold the position k moves ago from the side of the player who
made that move, plane 16 is 0 for ``black_0`` and 1 for ``white_0``), action numbering
(row * N + col, N * N passes), rewards and ``env()``/``raw_env()`` factories.

Where the rules differ from go_v5: positional superko (go_v5 forbids only simple
ko); a tie scores a draw (0 to both) where go_v5 gives it to White; the game is
truncated after ``max_moves`` moves (default 65535, the engine's largest; go_v5 has no limit); and
``render_mode="human"`` prints the board as text instead of opening a pygame window.
"""

from __future__ import annotations

import numpy as np
from gymnasium import spaces
from gymnasium.utils import EzPickle
from pettingzoo import AECEnv
from pettingzoo.utils import AgentSelector
from pettingzoo.utils.env_logger import EnvLogger

import vexlor_go

__all__ = ["env", "raw_env"]


def env(**kwargs):
    """The environment as go_v5's env() gives it: an illegal move loses (-1), an action out of
    the space asserts, reset() comes first. The behaviour of PettingZoo's three wrappers
    is built in rather than stacked, as their attribute forwarding costs more than a move."""
    return _Env(**kwargs)


def _history_order() -> np.ndarray:
    # Our planes take the side to move's view at every step; go_v5's take the view of
    # the player who made that step's move, which swaps the pair of every even step.
    order = np.arange(17)
    for k in range(0, 8, 2):
        order[2 * k], order[2 * k + 1] = 2 * k + 1, 2 * k
    return order  # plane 16 (whose turn) is set per observing agent


_ORDER = _history_order()
_UINT8, _INT8 = np.dtype(np.uint8), np.dtype(np.int8)  # dtype objects: cheaper than the type per call


class raw_env(AECEnv, EzPickle):
    metadata = {
        "render_modes": ["human", "rgb_array"],
        "name": "go_v5",
        "is_parallelizable": False,
        "render_fps": 2,
    }

    def __init__(
        self,
        board_size: int = 19,
        komi: float = 7.5,
        render_mode: str | None = None,
        screen_height: int | None = 800,
        max_moves: int | None = None,
    ):
        EzPickle.__init__(self, board_size, komi, render_mode, screen_height, max_moves)
        super().__init__()
        n = self._N = int(board_size)
        self._komi = komi
        self._max_moves = 65535 if max_moves is None else int(max_moves)
        self._new_game()  # refuses a bad size or komi now
        self.agents = ["black_0", "white_0"]
        self.possible_agents = self.agents[:]
        obs_space = spaces.Dict(
            {
                "observation": spaces.Box(low=0, high=1, shape=(n, n, 17), dtype=bool),
                "action_mask": spaces.Box(low=0, high=1, shape=(n * n + 1,), dtype=np.int8),
            }
        )
        self.observation_spaces = {a: obs_space for a in self.possible_agents}
        self.action_spaces = {a: spaces.Discrete(n * n + 1) for a in self.possible_agents}
        self._agent_selector = AgentSelector(self.agents)
        self.render_mode = render_mode
        self.screen_width = self.screen_height = screen_height
        self._planes = np.zeros((17, n, n), np.uint8)
        self._planes_bool = self._planes.view(bool)

    def observation_space(self, agent):
        return self.observation_spaces[agent]

    def action_space(self, agent):
        return self.action_spaces[agent]

    def _new_game(self):
        # Passes are legal from the first move, as in go_v5.
        return vexlor_go.Game.with_options(self._N, self._N, self._komi, 0, self._max_moves, True)

    def observe(self, agent):
        g = self._game
        g.encode_planes_into(self._planes)
        planes = self._planes_bool[_ORDER]  # a new array: callers may keep it
        planes[16] = agent == "white_0"
        if agent == self.agent_selection and not g.is_over():
            action_mask = np.empty(self._N * self._N + 1, _UINT8)
            g.legal_action_mask_into(action_mask)  # writes every entry
        else:
            action_mask = np.zeros(self._N * self._N + 1, _UINT8)
            if agent == self.agent_selection:
                action_mask[-1] = 1  # after the end, only the pass
        return {"observation": planes.transpose(1, 2, 0), "action_mask": action_mask.view(_INT8)}

    def step(self, action):
        if self.terminations[self.agent_selection] or self.truncations[self.agent_selection]:
            return self._was_dead_step(action)
        g = self._game
        g.apply_action(int(action))
        next_player = self._agent_selector.next()
        if g.is_over():
            if g.move_count() >= self._max_moves and not self._two_passes(action):
                self.truncations = dict.fromkeys(self.agents, True)
            else:
                self.terminations = dict.fromkeys(self.agents, True)
            black = g.reward_absolute()
            self.rewards = {"black_0": black, "white_0": -black}
        self._last_action = int(action)
        self.agent_selection = next_player
        self._accumulate_rewards()
        if self.render_mode == "human":
            self.render()

    def _two_passes(self, action) -> bool:
        pass_action = self._N * self._N
        return int(action) == pass_action and self._last_action == pass_action

    def reset(self, seed=None, options=None):
        self._game = self._new_game()
        self._last_action = -1
        self.agents = self.possible_agents[:]
        self._agent_selector.reinit(self.agents)
        self.agent_selection = self._agent_selector.reset()
        self._cumulative_rewards = dict.fromkeys(self.agents, 0.0)
        self.rewards = dict.fromkeys(self.agents, 0.0)
        self.terminations = dict.fromkeys(self.agents, False)
        self.truncations = dict.fromkeys(self.agents, False)
        self.infos = {a: {} for a in self.agents}

    def render(self):
        if self.render_mode is None:
            import gymnasium

            gymnasium.logger.warn("You are calling render method without specifying any render mode.")
            return None
        if self.render_mode == "human":
            print(self._game)
            return None
        return self._picture()

    def _picture(self) -> np.ndarray:
        """The board as an RGB image of screen_height pixels a side: wood, grid lines, stones."""
        n, side = self._N, int(self.screen_height or 800)
        tile = side / n
        img = np.empty((side, side, 3), np.uint8)
        img[:] = (220, 179, 92)
        centres = ((np.arange(n) + 0.5) * tile).astype(int)
        lo, hi = centres[0], centres[-1]
        for c in centres:
            img[lo : hi + 1, c] = 0
            img[c, lo : hi + 1] = 0
        yy, xx = np.mgrid[0:side, 0:side]
        radius2 = (tile * 0.42) ** 2
        for row in range(n):
            for col in range(n):
                piece = self._game.get_piece(col, row)
                if piece is None:
                    continue
                cy, cx = centres[row], centres[col]
                y0, y1 = max(0, int(cy - tile / 2)), min(side, int(cy + tile / 2) + 1)
                x0, x1 = max(0, int(cx - tile / 2)), min(side, int(cx + tile / 2) + 1)
                disc = (yy[y0:y1, x0:x1] - cy) ** 2 + (xx[y0:y1, x0:x1] - cx) ** 2 <= radius2
                img[y0:y1, x0:x1][disc] = (0, 0, 0) if piece == vexlor_go.BLACK else (255, 255, 255)
        return img

    def close(self):
        pass


class _Env(raw_env):
    """raw_env with the behaviour of go_v5's wrappers: TerminateIllegalWrapper(illegal_reward=-1),
    AssertOutOfBoundsWrapper and OrderEnforcingWrapper."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._has_reset = False

    def reset(self, seed=None, options=None):
        self._has_reset = True
        super().reset(seed=seed, options=options)

    def observe(self, agent):
        if not self._has_reset:
            EnvLogger.error_observe_before_reset()
        return super().observe(agent)

    def render(self):
        if not self._has_reset:
            EnvLogger.error_render_before_reset()
        return super().render()

    def agent_iter(self, max_iter=2**63):
        if not self._has_reset:
            EnvLogger.error_agent_iter_before_reset()
        return super().agent_iter(max_iter)

    def step(self, action):
        if not self._has_reset:
            EnvLogger.error_step_before_reset()
        if not self.agents:
            EnvLogger.warn_step_after_terminated_truncated()
            return
        agent = self.agent_selection
        dead = self.terminations[agent] or self.truncations[agent]
        # Discrete.contains, without its dtype checks for the integers agents pass
        if isinstance(action, (int, np.integer)):
            in_space = 0 <= action <= self._N * self._N
        else:
            in_space = action is not None and self.action_spaces[agent].contains(action)
        assert (action is None and dead) or in_space, "action is not in action space"
        if dead:
            return self._was_dead_step(action)
        g = self._game
        if not g.is_legal_move(g.decode_action(int(action))):
            # As TerminateIllegalWrapper: the mover gets -1, the other 0, and both are done.
            EnvLogger.warn_on_illegal_move()
            self._cumulative_rewards[agent] = 0
            self.terminations = dict.fromkeys(self.agents, True)
            self.truncations = dict.fromkeys(self.agents, True)
            self.rewards = dict.fromkeys(self.truncations, 0)
            self.rewards[agent] = -1.0
            self._accumulate_rewards()
            self._deads_step_first()
            return
        super().step(action)
