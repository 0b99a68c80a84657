"""The self-play example, run as a user runs it: a subprocess writing an .npz."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

import vexlor_go as vg

np = pytest.importorskip("numpy")

SELFPLAY = Path(__file__).resolve().parents[2] / "examples" / "selfplay.py"


def run_selfplay(*args: str) -> subprocess.CompletedProcess:
    command = [sys.executable, str(SELFPLAY), *args]
    result = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result


def split_games(data):
    ends = np.cumsum(data["game_lengths"])
    return zip(*(np.split(data[key], ends[:-1]) for key in ("planes", "actions", "rewards")))


@pytest.mark.parametrize(
    "size,games,rules",
    [(5, 6, []), (4, 5, ["--no-superko", "--komi", "0"]), (7, 2, ["--superko", "--komi", "-3.5"])],
)
def test_selfplay_writes_consistent_data(tmp_path, size, games, rules):
    out = tmp_path / "data.npz"
    result = run_selfplay("--size", str(size), "--games", str(games), "--seed", "7", "--out", str(out), *rules)
    assert f"games {games}/{games}" in result.stderr  # progress line
    summary = result.stdout
    for needle in (f"games      {games}", "positions", "moves/s", "Black", "White", "draw", str(out)):
        assert needle in summary, summary
    assert ("superko off" in summary) == ("--no-superko" in rules)

    with np.load(out) as data:
        planes, actions, rewards = data["planes"], data["actions"], data["rewards"]
        n = len(actions)
        assert int(data["board_size"]) == size
        assert planes.shape == (n, vg.TOTAL_INPUT_PLANES, size, size) and planes.dtype == np.uint8
        assert actions.shape == rewards.shape == (n,)
        assert actions.dtype.kind == "i" and rewards.dtype == np.float32
        assert data["game_lengths"].sum() == n and len(data["game_lengths"]) == games
        assert f"positions  {n:,}" in summary
        assert set(np.unique(planes)) <= {0, 1}
        assert 0 <= actions.min() and actions.max() <= size * size

        komi = float(rules[rules.index("--komi") + 1]) if "--komi" in rules else 7.5
        area = size * size
        for game_planes, game_actions, game_rewards in split_games(data):
            # Plane 16 says who moved; the reward is the final result from that side.
            movers = np.where(game_planes[:, 16, 0, 0] == 1, vg.BLACK, vg.WHITE)
            assert set(np.unique(game_planes[:, 16])) <= {0, 1}
            assert set(np.unique(game_rewards)) <= {-1.0, 0.0, 1.0}
            absolute = game_rewards * movers
            assert (absolute == absolute[0]).all()

            # The planes are those of the game that the actions replay, which
            # must end with the recorded result.
            game = vg.Game.with_options(size, size, komi, area // 2, 3 * area, "--no-superko" not in rules)
            for planes_here, action in zip(game_planes, game_actions):
                expected = np.asarray(game.encode_game_planes()[0], dtype=np.uint8).reshape(planes_here.shape)
                assert (planes_here == expected).all()
                assert game.apply_action(int(action))
            assert game.is_over() and game.reward_absolute() == absolute[0]


def test_selfplay_is_reproducible_and_quiet(tmp_path):
    outputs = []
    for name in ("a", "b.npz"):
        out = tmp_path / name
        result = run_selfplay("--size", "5", "--games", "3", "--seed", "11", "--quiet", "--out", str(out))
        assert result.stderr == ""
        outputs.append(tmp_path / (name if name.endswith(".npz") else name + ".npz"))
        assert str(outputs[-1]) in result.stdout  # the file actually written
    with np.load(outputs[0]) as a, np.load(outputs[1]) as b:
        assert sorted(a.files) == sorted(b.files)
        for key in a.files:
            assert np.array_equal(a[key], b[key]), key


@pytest.mark.parametrize("args", [["--size", "1"], ["--size", "33"], ["--games", "0"]])
def test_selfplay_rejects_bad_options(args):
    command = [sys.executable, str(SELFPLAY), *args]
    result = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert result.returncode == 2 and "error" in result.stderr


def test_selfplay_without_numpy_says_so():
    code = (
        "import runpy, sys; sys.modules['numpy'] = None; "
        f"sys.argv = [{str(SELFPLAY)!r}]; runpy.run_path({str(SELFPLAY)!r}, run_name='__main__')"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert "NumPy" in result.stderr and "pip install" in result.stderr
