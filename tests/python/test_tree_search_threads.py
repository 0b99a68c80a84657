"""TreeSearch with its trees split over threads: every result and every row the
evaluator sees is the same for every thread count, and a failed round leaves
the trees as one thread would. scripts/test.sh also runs this file under
ThreadSanitizer."""

import hashlib
import threading
import time

import pytest

import vexlor_go as vg

np = pytest.importorskip("numpy")

from conftest import run_beside  # noqa: E402
from search_reference import hash_evaluator  # noqa: E402


def random_roots(size, count, seed):
    rng = np.random.default_rng(seed)
    games = []
    for _ in range(count):
        g = vg.Game.with_options(size, size, 7.5, 0, 40, True)  # passes allowed: terminal leaves
        for _ in range(int(rng.integers(0, 6))):
            assert g.apply_action(int(rng.choice(g.legal_action_indices())))
        games.append(g)
    return games


class Recorder:
    """The hash evaluator, with a digest of every array it was handed."""

    def __init__(self):
        self.digest = hashlib.sha256()

    def __call__(self, planes, masks):
        self.digest.update(np.ascontiguousarray(planes).tobytes())
        self.digest.update(np.ascontiguousarray(masks).tobytes())
        self.digest.update(str(planes.shape).encode())
        return hash_evaluator(planes.astype(np.uint8), masks)


def play_out(threads, moves=3, trees=7, **options):
    """`moves` searches, the chosen moves played between them (trees reused)."""
    games = random_roots(6, trees, seed=4)
    search = vg.TreeSearch(6, 6, threads=threads, **options)
    record = Recorder()
    results = []
    for _ in range(moves):
        live = [g for g in games if not g.is_over()]
        r = search.search(live, record)
        assert search._check_consistency()
        results.append(r)
        for g, a in zip(live, r["actions"]):
            assert g.apply_action(int(a))
    return results, record.digest.hexdigest(), search.tree_bytes()


@pytest.mark.parametrize("leaves", [1, 4])
@pytest.mark.parametrize("rule", ["puct", "gumbel"])
def test_same_bytes_for_every_thread_count(rule, leaves):
    options = dict(rule=rule, num_simulations=40, leaves_per_tree=leaves, seed=11, dirichlet_alpha=0.3)
    want, want_rows, want_bytes = play_out(1, **options)
    for threads in (2, 3, 8):  # 8: more threads than trees once games end
        got, rows, tree_bytes = play_out(threads, **options)
        assert rows == want_rows and tree_bytes == want_bytes
        for a, b in zip(got, want):
            for key in b:
                assert a[key].tobytes() == b[key].tobytes(), key


def failing_after(calls):
    count = [0]

    def evaluate(planes, masks):
        count[0] += 1
        policy, values = hash_evaluator(planes.astype(np.uint8), masks)
        if count[0] == calls:
            policy[len(masks) - 1, np.flatnonzero(masks[-1])[0]] = np.nan  # the last row: the last slice's
        return policy, values

    return evaluate


@pytest.mark.parametrize("rule", ["puct", "gumbel"])
def test_failed_rounds_leave_the_same_trees(rule):
    """An evaluator error in the last slice's row, and a memory bound met by some
    trees, leave every thread count with the trees of the last whole round."""
    games = random_roots(6, 7, seed=5)
    outcomes = set()
    for threads in (1, 2, 3):
        search = vg.TreeSearch(6, 6, rule=rule, num_simulations=30, leaves_per_tree=2, threads=threads)
        with pytest.raises(ValueError, match="nan") as bad:
            search.search(games, failing_after(4))
        assert search._check_consistency()
        after_error = search.tree_bytes()
        again = search.search(games, hash_evaluator_u8)
        small = vg.TreeSearch(6, 6, rule=rule, num_simulations=300, max_tree_bytes=30000, threads=threads)
        with pytest.raises(MemoryError, match="max_tree_bytes") as memory:
            small.search(games, hash_evaluator_u8)
        assert small._check_consistency()
        outcomes.add((str(bad.value), tuple(after_error), again["visit_counts"].tobytes(), str(memory.value),
                      tuple(small.tree_bytes())))
    assert len(outcomes) == 1


def hash_evaluator_u8(planes, masks):
    return hash_evaluator(planes.astype(np.uint8), masks)


def test_searches_side_by_side():
    """Threaded searches in several Python threads at once, one over a batch that
    another thread keeps trying to step (refused while the search reads it)."""
    batch = vg.GameBatch(32, 9, 9, seed=3)  # enough games for its steps to release the lock
    done = threading.Event()
    errors = []

    def search_batch():
        search = vg.TreeSearch(9, 9, rule="gumbel", num_simulations=16, threads=2)
        searched = 0
        while searched < 4:
            try:
                r = search.search(batch, hash_evaluator_u8)
            except RuntimeError as e:
                assert "being changed" in str(e)
                continue
            assert r["simulations"].tolist() == [16] * 32
            searched += 1

    def search_list():
        search = vg.TreeSearch(9, 9, num_simulations=32, leaves_per_tree=2, threads=3)
        games = [vg.Game(9, 9) for _ in range(5)]
        for _ in range(3):
            search.search(games, hash_evaluator_u8)

    def stepper():
        while not done.is_set():
            try:
                batch.step(batch.sample_actions())
            except RuntimeError:
                pass
            time.sleep(0.002)  # room for the searches to read the batch between steps

    def guarded(f):
        def run():
            try:
                f()
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)
        return run

    run_beside(guarded(stepper), [guarded(search_batch), guarded(search_list)], done)
    assert not errors


@pytest.mark.parametrize("threads", [0, 257, -1])
def test_bad_thread_counts(threads):
    with pytest.raises((ValueError, OverflowError)):
        vg.TreeSearch(5, 5, threads=threads)
