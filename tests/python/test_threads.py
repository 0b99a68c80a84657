"""Threads against the batch calls that run without the interpreter lock.

Batches (planes, masks) and large symmetries run without the lock while other
threads play and take back moves on the same games and read them. A call that
conflicts with a batch holding a game is refused with RuntimeError; nothing
crashes, and every row a batch writes is one whole state of its game (before or
after the move under way), never a mix. scripts/test.sh also runs this file
under ThreadSanitizer, which reports any data race the module lets through.
"""

import json
import sys
import threading
import time

import pytest

import vexlor_go as vg
from conftest import QUICK, random_game, run_in_subinterpreter

np = pytest.importorskip("numpy")

PLANES = vg.TOTAL_INPUT_PLANES
N = 64  # well above the batch size that releases the lock: long lock-free stretches
SIZE = 19
ROUNDS = 20 if QUICK else 80


def planes_of(g):
    return np.asarray(g.encode_game_planes()[0], np.float32)


def mask_of(g):
    m = np.zeros(g.action_size(), np.uint8)
    m[g.legal_action_indices()] = 1
    return m


class Toggler:
    """Plays one move on a game and takes it back, again and again, letting other threads see
    the game in between (its new position's hash still pending); a refused call is retried
    (a refused apply_action has not played, so it must not be taken back)."""

    def __init__(self, game, action):
        self.game, self.action = game, action
        self.refusals = self.toggles = 0

    def toggle(self):
        try:
            assert self.game.apply_action(self.action)
        except RuntimeError as e:
            assert "another call" in str(e)
            self.refusals += 1
            return
        time.sleep(0)
        while True:
            try:
                assert self.game.unmake_move()
                break
            except RuntimeError as e:
                assert "another call" in str(e)
                self.refusals += 1
        self.toggles += 1


@pytest.fixture(autouse=True)
def frequent_switches():
    """Hand the interpreter lock over often, so that calls meet batches under way."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def run_threads(targets, stop):
    failures = []

    def guard(fn):
        def run():
            try:
                fn()
            except BaseException as e:  # noqa: BLE001 - reported to the main thread
                failures.append(e)
                stop.set()

        return run

    threads = [threading.Thread(target=guard(t)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
    assert not any(t.is_alive() for t in threads), "a thread hangs"
    if failures:
        raise failures[0]


def test_batches_see_whole_states_while_games_change():
    games = [random_game(SIZE, SIZE, 40 + i, 500 + i) for i in range(N)]
    actions = [g.legal_action_indices()[i % 7] for i, g in enumerate(games)]
    # The two states each game can be in: as built, and after its toggled move.
    before_planes = np.stack([planes_of(g) for g in games])
    before_masks = np.stack([mask_of(g) for g in games])
    after_planes, after_masks = [], []
    for g, a in zip(games, actions):
        assert g.apply_action(a)
        after_planes.append(planes_of(g))
        after_masks.append(mask_of(g))
        assert g.unmake_move()
    after_planes, after_masks = np.stack(after_planes), np.stack(after_masks)
    togglers = [Toggler(g, a) for g, a in zip(games, actions)]
    stop = threading.Event()
    batches = []

    def encoder():
        planes = np.empty((N, PLANES * SIZE * SIZE), np.float32)
        masks = np.empty((N, SIZE * SIZE + 1), np.uint8)
        for _ in range(ROUNDS):
            vg.Game.encode_planes_batch(games, planes)
            vg.Game.legal_action_mask_batch(games, masks)
            for k in range(N):
                assert np.array_equal(planes[k], before_planes[k]) or np.array_equal(planes[k], after_planes[k]), k
                assert np.array_equal(masks[k], before_masks[k]) or np.array_equal(masks[k], after_masks[k]), k
            batches.append(1)
        stop.set()

    def toggler(share):
        while not stop.is_set():
            for t in share:
                t.toggle()

    def reader():
        # Shared calls meet a batch's shared access without waiting; they may fill the
        # game's own caches (the remembered legal set, pending position hashes).
        while not stop.is_set():
            for g in games:
                g.legal_action_indices()
                g.is_legal_move(vg.Move.place(3, 3))
                hash(g)
                g.encode_game_planes()
                g.__reduce__()  # settles the pending hashes

    run_threads(
        [encoder, encoder, reader, lambda: toggler(togglers[::2]), lambda: toggler(togglers[1::2])],
        stop,
    )
    assert len(batches) == 2 * ROUNDS
    assert sum(t.toggles + t.refusals for t in togglers) > 0
    # Every game is back as it was built.
    assert np.array_equal(np.stack([planes_of(g) for g in games]), before_planes)


def test_transforms_run_side_by_side():
    """Large symmetries (without the lock) on shared inputs and private outputs, some in place."""
    rng = np.random.default_rng(3)
    src = (rng.random((40, PLANES, SIZE, SIZE)) > 0.5).astype(np.float32)  # past the lock-free size
    policy = rng.random((2000, SIZE * SIZE + 1)).astype(np.float32)
    expected = {t: np.rot90(src, t, axes=(-2, -1)) for t in (1, 2, 3)}
    stop = threading.Event()

    def worker(t):
        out = np.empty_like(src)
        own = src.copy()
        pol = np.empty_like(policy)
        for _ in range(ROUNDS // 4):
            vg.Game.transform_planes(src, out, SIZE, SIZE, t)
            assert np.array_equal(out, expected[t])
            vg.Game.transform_planes(own, own, SIZE, SIZE, t)
            vg.Game.transform_policy(policy, pol, SIZE, SIZE, t)
            vg.Game.transform_policy(pol, pol, SIZE, SIZE, vg.Game.inverse_transform(t))
            assert np.array_equal(pol, policy)
        assert np.array_equal(own, np.rot90(src, t * (ROUNDS // 4), axes=(-2, -1)))

    run_threads([lambda t=t: worker(t) for t in (1, 2, 3)], stop)


# Every board size, a few moves each: a digest of the games' hashes.
EVERY_SIZE = """
import json, random, vexlor_go as vg
digest = []
for w in range(2, 33, 3):
    for h in range(2, 33, 5):
        g = vg.Game(w, h)
        rng = random.Random(w * 100 + h)
        for _ in range(min(40, w * h)):
            legal = g.legal_action_indices()
            if not legal:
                break
            g.apply_action(rng.choice(legal))
        digest.append(hash(g))
"""


def test_interpreters_side_by_side(tmp_path):
    """Interpreters (each with its own lock from 3.12 on) use the module at the same time:
    each has its own classes, and the engine's shared tables serve them all."""
    namespace = {}
    exec(EVERY_SIZE, namespace)
    paths = [tmp_path / f"digest{i}.json" for i in range(2)]
    stop = threading.Event()
    codes = [EVERY_SIZE + f"json.dump(digest, open({str(p)!r}, 'w'))\n" for p in paths]
    targets = [lambda code=code: run_in_subinterpreter(code) for code in codes]
    targets.append(lambda: exec(EVERY_SIZE, {}))
    run_threads(targets, stop)
    for p in paths:
        assert json.loads(p.read_text()) == namespace["digest"]
