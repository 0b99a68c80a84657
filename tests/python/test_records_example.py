"""The SGF-to-shards example, run as a user runs it."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")

SCRIPT = Path(__file__).resolve().parents[2] / "examples" / "sgf_to_shards.py"


def test_folder_to_shards(tmp_path):
    src = tmp_path / "games" / "sub"
    src.mkdir(parents=True)
    (src / "a.sgf").write_bytes(b"(;SZ[9]RE[B+3.5];B[ee];W[cc];B[gg])")
    (src / "b.SGF").write_bytes(b"(;SZ[9]RE[W+R];B[aa];W[bb])")
    (src / "bad.sgf").write_bytes(b"(;SZ[9]RE[W+R];B[aa];W[aa])")
    out = tmp_path / "shards"
    result = subprocess.run([sys.executable, str(SCRIPT), str(tmp_path / "games"), str(out), "--size", "9",
                             "--shard-size", "2", "--threads", "2"], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "skipped (illegal move)" in result.stderr and "records 3/3" in result.stderr
    shards = sorted(out.glob("shard-*.npz"))
    assert len(shards) == 3
    data = [np.load(s) for s in shards]
    action = np.concatenate([d["action"] for d in data])
    value = np.concatenate([d["value"] for d in data])
    assert action.tolist() == [40, 56, 24, 72, 64]
    assert value.tolist() == [1, -1, 1, -1, 1]
    assert data[0]["planes"].shape == (2, 17, 9, 9) and data[0]["planes"].dtype == np.uint8
