"""Hashes, planes and text do not depend on the process: the same fixed games give
the same values under different PYTHONHASHSEED values, and the published ones."""

from __future__ import annotations

import contextlib
import io
import json
import os
import subprocess
import sys

import pytest

import vexlor_go as vg

# Printed by a fresh interpreter as one JSON object: everything about a few
# fixed games that could leak per-process state (hash seeds, addresses).
PROBE = r"""
import hashlib, json, random
import vexlor_go as vg

def digest(game):
    planes, n, h, w = game.encode_game_planes()
    return [hashlib.sha256(bytes(int(v) for v in planes)).hexdigest(), n, h, w]

out = {}
for width, height, superko in ((9, 9, True), (19, 13, False), (32, 32, True), (2, 2, True)):
    game = vg.Game.with_options(width, height, 7.5, 0, 4 * width * height, superko)
    rng = random.Random(width * 100 + height)
    record = {"game": [], "clone": [], "planes": [], "str": []}
    while not game.is_over() and game.move_count() < 120:
        assert game.apply_action(rng.choice(game.legal_action_indices()))
        clone = game.clone()
        record["game"].append(hash(game))
        record["clone"].append(hash(clone))
        if game.move_count() % 10 == 0:
            record["planes"].append(digest(game))
            record["str"].append(str(game))
    record["final"] = [str(game), repr(game), game.score(), game.legal_action_indices()]
    out[game.name()] = record

# The ko point is part of the game's hash.
ko = vg.Game.with_options(4, 4, 7.5, 0, 100, True)
for c, r in ((1, 0), (2, 0), (0, 1), (1, 1), (1, 2), (2, 2), (3, 3), (3, 1), (2, 1)):
    assert ko.make_move(vg.Move.place(c, r))
out["ko"] = [ko.ko_point(), hash(ko), hash(ko.clone()), digest(ko)]

moves = [vg.Move.pass_move()] + [vg.Move.place(c, r) for c in range(0, 256, 17) for r in range(0, 256, 51)]
out["moves"] = [hash(m) for m in moves]
out["move_set_order"] = [repr(m) for m in set(moves)]
out["new_games"] = {f"{w}x{h}": hash(vg.Game(w, h)) for w, h in ((2, 2), (9, 9), (19, 19), (13, 7), (32, 32))}
print(json.dumps(out, sort_keys=True))
"""


def probe(hash_seed: str) -> dict:
    env = dict(os.environ, PYTHONHASHSEED=hash_seed)
    result = subprocess.run([sys.executable, "-c", PROBE], capture_output=True, text=True, env=env, timeout=300)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.fixture(scope="module")
def probes():
    return {seed: probe(seed) for seed in ("0", "1", "4242")}


def test_same_values_in_every_process(probes):
    first, *others = probes.values()
    for other in others:
        assert other == first
    # And in this process, whatever its own hash seed.
    captured = io.StringIO()
    with contextlib.redirect_stdout(captured):
        exec(PROBE, {})
    assert json.loads(captured.getvalue()) == first


def test_clones_hash_like_their_source(probes):
    record = probes["0"]
    for name in ("go_9x9", "go_19x13", "go_32x32", "go_2x2"):
        assert record[name]["clone"] == record[name]["game"], name
        assert len(set(record[name]["game"])) > 1, name
    ko_point, ko_hash, clone_hash, _ = record["ko"]
    assert ko_point == [1, 1] and clone_hash == ko_hash


@pytest.mark.parametrize(
    "expression,value",
    [
        ("hash(vg.Game(9, 9))", -8835035137159090291),
        ("hash(vg.Game(19, 19))", -4486896139707710359),
        ("hash(vg.Move.pass_move())", 2206609067086327257),
        ("hash(vg.Move.place(0, 0))", 764595047648559848),
        ("hash(vg.Move.place(3, 4))", -8654779130179705044),
    ],
)
def test_published_hash_values(probes, expression, value):
    assert eval(expression) == value
    if expression.startswith("hash(vg.Game("):
        size = expression.split("(")[2].split(",")[0]
        assert probes["1"]["new_games"][f"{size}x{size}"] == value
    elif expression == "hash(vg.Move.pass_move())":
        assert probes["1"]["moves"][0] == value


def test_hash_sees_position_and_ko_only():
    # Same stones and side to move by different roads and rules: same hash.
    a = vg.Game.with_options(9, 9, 0.5, 0, 500, False)
    b = vg.Game(9, 9)
    for game, actions in ((a, (10, 20, 30, 40)), (b, (30, 40, 10, 20))):
        for action in actions:
            assert game.apply_action(action)
    assert hash(a) == hash(b)
    assert a.make_move(vg.Move.pass_move())
    assert hash(a) != hash(b)  # the side to move differs

    # The ko point counts: the same stones placed by hand carry none.
    ko = vg.Game.with_options(4, 4, 7.5, 0, 100, True)
    for c, r in ((1, 0), (2, 0), (0, 1), (1, 1), (1, 2), (2, 2), (3, 3), (3, 1), (2, 1)):
        assert ko.make_move(vg.Move.place(c, r))
    edited = vg.Game.with_options(4, 4, 7.5, 0, 100, True)
    assert edited.make_move(vg.Move.pass_move())  # White to move, as in the ko game
    for r in range(4):
        for c in range(4):
            edited.set_piece(c, r, ko.get_piece(c, r))
    assert str(edited.board()) == str(ko.board()) and edited.ko_point() is None
    assert hash(edited) != hash(ko)
