"""TreeSearch over a GameBatch: the same trees as over copies of its games, reuse
across the batch's steps, and the batch's access respected."""

import threading

import pytest

import vexlor_go as vg

np = pytest.importorskip("numpy")

from search_reference import hash_evaluator  # noqa: E402


def evaluate(planes, masks):
    return hash_evaluator(planes.astype(np.uint8), masks)


def played_batch(n, size, moves, seed, **kwargs):
    batch = vg.GameBatch(n, size, size, seed=seed, **kwargs)
    for _ in range(moves):
        batch.step(batch.sample_actions())
    return batch


def assert_same(a, b):
    assert a.keys() == b.keys()
    for key in a:
        np.testing.assert_array_equal(a[key], b[key])


@pytest.mark.parametrize("rule", ["puct", "gumbel"])
def test_batch_roots_search_as_copies_of_its_games(rule):
    """Three searches, the batch stepped by the chosen actions between them: the
    trees follow the batch (reused subtrees, a fresh tree where a game restarted)."""
    options = dict(rule=rule, num_simulations=24, leaves_per_tree=2, seed=3, temperature=0.0)
    batch = played_batch(6, 5, 3, seed=1, max_moves=8)
    over_batch, over_list = vg.TreeSearch(5, 5, **options), vg.TreeSearch(5, 5, **options)
    reused = False
    for _ in range(4):
        copies = [batch.game(i) for i in range(len(batch))]
        got = over_batch.search(batch, evaluate)
        assert_same(got, over_list.search(copies, evaluate))
        assert over_batch._check_consistency()
        assert over_batch.tree_bytes() == over_list.tree_bytes()
        reused = reused or bool((got["visit_counts"].sum(axis=1) > 24).any())
        batch.step(got["actions"])
    assert reused or rule == "gumbel"  # Gumbel counts only this search's visits


def test_batch_sizes_and_finished_games():
    search = vg.TreeSearch(5, 5, num_simulations=4)
    with pytest.raises(ValueError, match="batch's games are 6x6"):
        search.search(vg.GameBatch(2, 6, 6), evaluate)
    with pytest.raises(ValueError, match="batch's games are 19x19"):  # another word count
        search.search(vg.GameBatch(2, 19, 19), evaluate)
    assert search.search(vg.GameBatch(3, 5, 5), evaluate)["actions"].shape == (3,)
    assert search.search(vg.GameBatch(1, 5, 5), evaluate)["actions"].shape == (1,)
    batch = vg.GameBatch(2, 5, 5, autoreset="disabled", min_moves_before_pass_possible=0)
    batch.step([25, 10])
    batch.step([25, 25])  # game 0 ends
    with pytest.raises(ValueError, match="game 0 is over"):
        search.search(batch, evaluate)
    finished = batch.game(0)
    assert finished.is_over()
    with pytest.raises(ValueError, match="game 0 is over"):
        search.search([finished], evaluate)
    assert search._check_consistency()


def test_batch_stepped_meanwhile_is_refused():
    """A step holds the batch until it is done; a search reading its games meanwhile is refused."""
    batch = played_batch(4, 5, 2, seed=2)
    search = vg.TreeSearch(5, 5, num_simulations=6)

    inner = vg.TreeSearch(5, 5, num_simulations=2)

    class Actions:
        def __index__(self):
            inner.search(batch, evaluate)
            return 25

    with pytest.raises(RuntimeError, match="being changed"):
        batch.step([Actions()] * 4)
    assert search.search(batch, evaluate)["simulations"].tolist() == [6] * 4
