"""The AlphaZero example, run as a user runs it, in its quick mode (seconds of
self-play and training); skipped without torch (the `alphazero` extra)."""

from __future__ import annotations

import json
import math
import os
import subprocess
import sys
from pathlib import Path

import pytest

if os.environ.get("VEXLOR_SANITIZED") == "1":
    pytest.skip("torch's own libraries do not run under the preloaded sanitizer runtime; the search is "
                "covered there by test_tree_search.py", allow_module_level=True)
pytest.importorskip("torch")
pytest.importorskip("numpy")

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "alphazero_9x9.py"


def test_quick_run_trains_and_reports_a_learning_curve(tmp_path):
    out = tmp_path / "curve.json"
    result = subprocess.run([sys.executable, str(EXAMPLE), "--quick", "--json", str(out)], capture_output=True,
                            text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    assert "self-play games 4/4" in result.stderr and "training on" in result.stderr  # progress bar
    assert "win rate against uniform random with search" in result.stdout
    curve = json.loads(out.read_text())
    assert [row["iteration"] for row in curve] == [0, 1]
    assert curve[1]["positions"] > 0 and math.isfinite(curve[1]["policy_loss"]) and curve[1]["value_loss"] >= 0
    assert all(0.0 <= row["vs_random"] <= 1.0 for row in curve)
