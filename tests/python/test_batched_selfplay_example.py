"""The batched self-play example, run as a user runs it."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("numpy")

SCRIPT = Path(__file__).resolve().parents[2] / "examples" / "batched_selfplay.py"


@pytest.mark.parametrize("threads", [1, 2])
def test_runs_and_reports(threads):
    command = [sys.executable, str(SCRIPT), "--games", "32", "--size", "5", "--steps", "200", "--threads", str(threads)]
    run = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "steps 200/200" in run.stderr  # the progress bar reached the end
    assert "6,400 moves" in run.stdout and "moves/s" in run.stdout
    ended = re.search(r"games ended  ([\d,]+): Black ([\d,]+), White ([\d,]+), draw ([\d,]+)", run.stdout)
    total, black, white, draw = (int(x.replace(",", "")) for x in ended.groups())
    assert total == black + white + draw > 0


def test_same_seed_same_results():
    def results(threads):
        command = [sys.executable, str(SCRIPT), "--games", "16", "--size", "5", "--steps", "150", "--threads",
                   str(threads), "--seed", "3"]
        out = subprocess.run(command, capture_output=True, text=True, timeout=300, check=True).stdout
        return re.search(r"games ended .*", out).group(0)

    assert results(1) == results(2)
