"""The Ray self-play example, run as a user runs it: two local workers, a few
games. Skipped unless Ray (and NumPy) are installed."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import vexlor_go as vg

if os.environ.get("VEXLOR_SANITIZED") == "1":
    pytest.skip("Ray's own processes do not run under the preloaded sanitizer runtime", allow_module_level=True)
np = pytest.importorskip("numpy")
pytest.importorskip("ray")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
SCRIPT = EXAMPLES / "distributed_selfplay.py"


@pytest.fixture(scope="module")
def example(tmp_path_factory):
    """The example's module (for its game function) and one run's output."""
    out = tmp_path_factory.mktemp("distributed") / "data.npz"
    args = ["--workers", "2", "--games", "5", "--size", "5", "--seed", "3", "--komi", "0.5", "--out", str(out)]
    # Ray's start-up dominates: a few seconds, well under a minute here.
    result = subprocess.run([sys.executable, str(SCRIPT), *args], capture_output=True, text=True, timeout=180)
    assert result.returncode == 0, result.stderr
    sys.path.insert(0, str(EXAMPLES))
    try:
        import distributed_selfplay as module
    finally:
        sys.path.remove(str(EXAMPLES))
    return module, result, out


def test_summary_and_progress(example):
    _, result, out = example
    assert "games 5/5" in result.stderr
    summary = result.stdout
    for needle in ("games      5 (5x5, komi 0.5, superko on, seed 3, 2 workers)", "positions", "moves/s", str(out)):
        assert needle in summary, summary


def test_data_equal_a_single_process_run_and_replay(example):
    module, result, out = example
    # Games are seeded by number: playing them here, in one process, must give
    # the very data the workers produced, in game order.
    games = module.play_games(module.new_game(5, 0.5, True), 3, 0, 5)
    with np.load(out) as data:
        assert list(data["game_lengths"]) == [len(g[3]) for g in games]
        assert (data["actions"] == np.concatenate([g[3] for g in games])).all()
        assert (data["rewards"] == np.concatenate([g[4] for g in games])).all()
        planes = data["planes"]
        assert planes.shape == (len(data["actions"]), vg.TOTAL_INPUT_PLANES, 5, 5)
        assert planes.tobytes() == b"".join(g[2] for g in games)
        assert f"positions  {len(data['actions']):,}" in result.stdout

    # The planes are those of the game the actions replay, ending in the recorded result.
    first = games[0]
    game = module.new_game(5, 0.5, True)
    for row, action in zip(planes[: len(first[3])], first[3]):
        expected = np.asarray(game.encode_game_planes()[0], dtype=np.uint8).reshape(row.shape)
        assert (row == expected).all()
        assert game.apply_action(int(action))
    assert str(game) == str(first[1]) and game.reward_absolute() == first[1].reward_absolute()
