"""Training positions from records: planes equal the game's own encoding at
every position, actions and values are the record's, symmetries map both,
skipped records are reported, and thread counts do not change the result."""

from __future__ import annotations

import pytest

import vexlor_go as vg
from records_helpers import shared_sgf_files

np = pytest.importorskip("numpy")

GAMES = [
    b"(;SZ[9]KM[7]RE[B+3.5];B[ee];W[cc];B[gg];W[];B[dd])",
    b"(;SZ[9]RE[W+R]HA[2]AB[cc][gg];W[ee];B[ec];W[ce])",  # White first: a Black pass is inserted
    b"(;SZ[9]RE[0];B[aa];B[bb];W[cc])",  # two Black moves: a White pass is inserted
]


def arrays(ts, n, dtype=np.uint8):
    return (np.zeros((n, 17, ts.height, ts.width), dtype), np.zeros(n, np.int32), np.zeros(n, np.float32))


def reference(records_bytes):
    """Per position: (planes of the game before the move, action, value), by replaying in Python."""
    out = []
    for data in records_bytes:
        r = vg.GameRecord.parse(data)[0]
        winner = r.winner
        for n, (colour, move) in enumerate(r.moves()):
            g = r.to_game(n)
            if g.turn() != colour:  # the replay inserts the pass when the record's colour plays
                g.make_move(vg.Move.pass_move())
            planes = np.array(g.encode_game_planes()[0], np.float32).reshape(17, r.height, r.width)
            action = r.width * r.height if move.is_pass() else move.row() * r.width + move.col()
            out.append((planes, action, float(winner * colour)))
    return out


def test_positions_match_the_games_own_encoding():
    ts = vg.TrainingPositions(9)
    assert ts.add(GAMES) == 11
    expected = reference(GAMES)
    for dtype in (np.uint8, np.float32):
        planes, action, value = arrays(ts, len(ts), dtype)
        assert ts.write(planes, action, value) == len(ts)
        for i, (p, a, v) in enumerate(expected):
            np.testing.assert_array_equal(planes[i], p.astype(dtype), err_msg=f"position {i}")
            assert (action[i], value[i]) == (a, v), i
    # Chunks at any offset give the same rows.
    part = np.zeros((3, 17, 9, 9), np.uint8)
    ts.write(part, first=4)
    full, _, _ = arrays(ts, len(ts))
    ts.write(full)
    np.testing.assert_array_equal(part, full[4:7])


def test_skipped_records_are_reported_without_stopping():
    ts = vg.TrainingPositions(9)
    added = ts.add([b"(;SZ[9]RE[B+1];B[ee];W[ee])", b"garbage", b"(;SZ[13]RE[B+1];B[aa])",
                    b"(;SZ[9];B[aa])", GAMES[0]], names=["occupied", "junk", "big", "noresult", "good"])
    assert added == 5
    reasons = {r["message"].split(":")[0]: r["skipped"] for r in ts.records(skipped_only=True)}
    assert reasons == {"occupied": "illegal move", "junk": "unreadable", "big": "wrong size",
                       "noresult": "unknown result"}
    keep = vg.TrainingPositions(9, keep_unknown_results=True)
    keep.add([b"(;SZ[9];B[aa];W[bb])"])
    has_value = np.zeros(2, np.uint8)
    value = np.ones(2, np.float32)
    keep.write(value=value, has_value=has_value)
    assert list(has_value) == [0, 0] and list(value) == [0, 0]


def test_symmetry_maps_planes_and_action():
    ts = vg.TrainingPositions(9)
    ts.add(GAMES)
    n = len(ts)
    planes, action, _ = arrays(ts, n)
    transform = np.zeros(n, np.uint8)
    ts.write(planes, action, transform=transform, random_symmetry=True, seed=7)
    plain, plain_action, _ = arrays(ts, n)
    ts.write(plain, plain_action)
    assert len(set(transform.tolist())) > 1
    for i in range(n):
        t = int(transform[i])
        want = np.zeros_like(plain[i])
        vg.Game.transform_planes(plain[i], want, 9, 9, t)
        np.testing.assert_array_equal(planes[i], want)
        assert action[i] == vg.Game.transform_action(int(plain_action[i]), 9, 9, t)


def test_threads_give_the_same_result_and_progress_is_reported():
    files = shared_sgf_files() or []
    sources = [p.read_bytes() for p in files] or GAMES * 50
    size = 19 if files else 9
    one, two = vg.TrainingPositions(size, threads=1), vg.TrainingPositions(size, threads=2)
    calls = []
    one.add(sources)
    two.add(sources, progress=lambda done, total: calls.append((done, total)))
    assert calls and calls[-1] == (len(sources), len(sources))
    assert len(one) == len(two) > 0
    a = arrays(one, len(one))
    b = arrays(two, len(two))
    one.write(*a, random_symmetry=True, seed=1)
    two.write(*b, random_symmetry=True, seed=1, threads=2)
    for x, y in zip(a, b):
        np.testing.assert_array_equal(x, y)


def test_progress_cancels_and_errors_propagate():
    ts = vg.TrainingPositions(9)
    assert ts.add(GAMES, progress=lambda d, t: False) is None and len(ts) == 0
    with pytest.raises(ZeroDivisionError):
        ts.add(GAMES, progress=lambda d, t: 1 / 0)
    assert len(ts) == 0
    with pytest.raises(TypeError, match="progress"):
        ts.add(GAMES, progress=3)


def test_buffer_checks():
    ts = vg.TrainingPositions(9)
    ts.add(GAMES)
    with pytest.raises(TypeError, match="at least one"):
        ts.write()
    with pytest.raises(TypeError, match="int32"):
        ts.write(action=np.zeros(2, np.int64))
    with pytest.raises(ValueError, match="positions"):
        ts.write(action=np.zeros(2, np.int32), value=np.zeros(3, np.float32))
    with pytest.raises(ValueError, match="remain"):
        ts.write(action=np.zeros(len(ts) + 1, np.int32))
    with pytest.raises(TypeError, match="writable"):
        ts.write(action=np.zeros(2, np.int32).tobytes())
    with pytest.raises(ValueError, match="multiple"):
        ts.write(planes=np.zeros(17 * 81 + 1, np.uint8))
    with pytest.raises(ValueError):
        vg.TrainingPositions(40)
