"""TreeSearch from Python: the same searches as the literal reference, winning moves
in solved end-games, and every failed round taken back."""

import _thread
import pickle
import threading
import time

import pytest

import vexlor_go as vg

np = pytest.importorskip("numpy")

from search_reference import ReferenceSearch, f32, hash_evaluator, hash_probability_evaluator  # noqa: E402


def uniform(planes, masks):
    return np.zeros(masks.shape, np.float32), np.zeros(len(masks), np.float32)


def random_roots(size, count, seed, moves=4):
    rng = np.random.default_rng(seed)
    games = []
    for _ in range(count):
        g = vg.Game(size, size)
        for _ in range(int(rng.integers(0, moves + 1))):
            legal = g.legal_action_indices()
            assert g.apply_action(int(rng.choice(legal)))
        games.append(g)
    return games


# --- the reference, one leaf per tree per round --------------------------------------------

DIFFERENTIAL = [
    (3, dict(rule="puct", num_simulations=40, seed=1)),
    (4, dict(rule="puct", num_simulations=60, seed=2, fpu_reduction=0.25, temperature=0.0)),
    (5, dict(rule="puct", num_simulations=50, seed=3, fpu_absolute=True, fpu_value=0.0, dirichlet_fraction=0.0)),
    (6, dict(rule="puct", num_simulations=30, seed=4, c_init=2.0, c_base=50.0, dirichlet_alpha=0.3)),
    (7, dict(rule="puct", num_simulations=25, seed=5, policy="probabilities")),
    (3, dict(rule="gumbel", num_simulations=20, seed=6, max_considered_actions=4)),
    (4, dict(rule="gumbel", num_simulations=32, seed=7)),
    (5, dict(rule="gumbel", num_simulations=24, seed=8, gumbel_scale=0.5, c_visit=30.0, c_scale=0.2)),
    (6, dict(rule="gumbel", num_simulations=16, seed=9, rescale_values=False, mixed_value=False)),
    (7, dict(rule="gumbel", num_simulations=20, seed=10, policy="probabilities", max_considered_actions=8)),
]


@pytest.mark.parametrize("size,options", DIFFERENTIAL, ids=lambda x: str(x) if isinstance(x, int) else x["rule"])
def test_same_searches_as_reference(size, options):
    """Three trees, three moves each (the chosen move played, the tree reused)."""
    evaluate = hash_probability_evaluator if options.get("policy") == "probabilities" else hash_evaluator
    games = random_roots(size, 3, seed=size * 31 + options["seed"])
    refs = []
    for t, g in enumerate(games):
        ref = ReferenceSearch(evaluate=evaluate, tree=t, **options)
        ref.set_root(g)
        refs.append(ref)
    search = vg.TreeSearch(size, size, planes="uint8", **options)
    for _ in range(3):
        if any(g.is_over() for g in games):
            break
        got = search.search(games, evaluate)
        assert search._check_consistency()
        for t, ref in enumerate(refs):
            want = ref.search()
            assert got["actions"][t] == want["action"]
            assert got["visit_counts"][t].tolist() == want["visits"]
            assert got["simulations"][t] == want["simulations"]
            assert got["values"][t] == np.float32(f32(want["value"]))
            np.testing.assert_allclose(got["policy"][t], want["policy"], rtol=1e-5, atol=1e-7)
            ref.play(int(got["actions"][t]))
            assert games[t].apply_action(int(got["actions"][t]))


# --- solved end-games --------------------------------------------------------------------------


def solve(game, table):
    """Minimax value from the side to move (+1 win); records every evaluated
    position's value under the bytes the search hands its evaluator."""
    if game.is_over():
        w = game.outcome().winner()
        return 0 if w is None else (1 if w == game.turn() else -1)
    best = -2
    for a in game.legal_action_indices():
        assert game.apply_action(a)
        best = max(best, -solve(game, table))
        game.unmake_move()
    planes = np.zeros((1, vg.TOTAL_INPUT_PLANES, game.height(), game.width()), np.uint8)
    game.encode_planes_into(planes)
    key = planes.tobytes()
    assert table.setdefault(key, best) == best, "two positions with one encoding"
    return best


def end_games():
    """3x3 positions a few moves from the move limit that the side to move wins
    with some moves and not with others."""
    found = []
    rng = np.random.default_rng(11)
    while len(found) < 4:
        n = int(rng.integers(2, 5))
        g = vg.Game.with_options(3, 3, 0.5, 0, n + 3, True)
        for _ in range(n):
            legal = g.legal_action_indices()
            g.apply_action(int(rng.choice(legal)))
        if g.is_over():
            continue
        table = {}
        if solve(g, table) != 1:
            continue
        values = {}
        for a in g.legal_action_indices():
            g.apply_action(a)
            values[a] = -solve(g, table)
            g.unmake_move()
        if min(values.values()) < 1:
            found.append((g, values, table))
    return found


def perfect_evaluator(table):
    def evaluate(planes, masks):
        values = np.array([table[p.astype(np.uint8).tobytes()] for p in planes], np.float32)
        return np.zeros(masks.shape, np.float32), values

    return evaluate


@pytest.mark.parametrize("rule,sims", [("puct", 300), ("gumbel", 256)])
@pytest.mark.parametrize("informed", [False, True], ids=["outcomes-only", "solved-values"])
def test_end_game_search_finds_a_winning_move(rule, sims, informed):
    for game, values, table in end_games():
        search = vg.TreeSearch(3, 3, rule=rule, num_simulations=sims, temperature=0.0, dirichlet_fraction=0.0,
                               planes="uint8", seed=3)
        result = search.search([game], perfect_evaluator(table) if informed else uniform)
        action = int(result["actions"][0])
        assert values[action] == 1, (str(game), values, result["visit_counts"][0])
        assert result["values"][0] > 0 or not informed


# --- failed rounds -----------------------------------------------------------------------------


class Boom(Exception):
    pass


def failing(kind, on_call):
    calls = [0]

    def evaluate(planes, masks):
        calls[0] += 1
        policy, values = uniform(planes, masks)
        if calls[0] < on_call:
            return policy, values
        if kind == "raise":
            raise Boom("network down")
        if kind == "not-a-tuple":
            return [policy, values]
        if kind == "float64":
            return policy.astype(np.float64), values
        if kind == "short-policy":
            return np.zeros((len(masks), masks.shape[1] - 1), np.float32), values
        if kind == "transposed":
            return np.ascontiguousarray(policy.T), values
        if kind == "wrong-values":
            return policy, np.zeros(len(values) + 1, np.float32)
        if kind == "no-buffer":
            return policy.tolist(), values
        if kind == "strided":
            return np.zeros((len(masks), 2 * masks.shape[1]), np.float32)[:, ::2], values
        if kind == "nan-value":
            values[-1] = np.nan
            return policy, values
        if kind == "nan-logit":
            policy[0, np.flatnonzero(masks[0])[0]] = np.nan
            return policy, values
        if kind == "all-minus-inf":
            policy[:] = -np.inf
            return policy, values
        raise AssertionError(kind)

    return evaluate


ERRORS = [
    ("raise", Boom, "network down"),
    ("not-a-tuple", TypeError, "tuple"),
    ("float64", TypeError, "float32"),
    ("short-policy", ValueError, "shape"),
    ("transposed", ValueError, "shape"),
    ("wrong-values", ValueError, "shape"),
    ("no-buffer", TypeError, "buffer"),
    ("strided", ValueError, "contiguous"),
    ("nan-value", ValueError, "nan"),
    ("nan-logit", ValueError, "nan"),
    ("all-minus-inf", ValueError, "-inf"),
]


@pytest.mark.parametrize("rule", ["puct", "gumbel"])
@pytest.mark.parametrize("kind,error,text", ERRORS, ids=[e[0] for e in ERRORS])
def test_evaluator_errors_leave_the_trees_as_before_the_round(rule, kind, error, text):
    games = random_roots(5, 4, seed=1)
    options = dict(rule=rule, num_simulations=40, leaves_per_tree=2, seed=5)
    fresh = vg.TreeSearch(5, 5, **options).search(games, uniform)
    # Failing in the first round: nothing was there, nothing is.
    search = vg.TreeSearch(5, 5, **options)
    with pytest.raises(error, match=text):
        search.search(games, failing(kind, 1))
    assert search._check_consistency() and search.tree_bytes() == [0] * 4
    again = search.search(games, uniform)
    for key in fresh:
        np.testing.assert_array_equal(again[key], fresh[key])
    # Failing later: the rounds before stand, and the search goes on from them.
    search = vg.TreeSearch(5, 5, **options)
    with pytest.raises(error, match=text):
        search.search(games, failing(kind, 6))
    assert search._check_consistency() and all(b > 0 for b in search.tree_bytes())
    result = search.search(games, uniform)
    assert search._check_consistency()
    assert result["simulations"].tolist() == [40] * 4


def test_interrupt_stops_cleanly():
    games = random_roots(9, 8, seed=2)
    search = vg.TreeSearch(9, 9, num_simulations=100000, leaves_per_tree=4)
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            search.search(games, uniform)
    finally:
        timer.cancel()
    assert search._check_consistency()
    small = vg.TreeSearch(9, 9, num_simulations=20)
    assert small.search(games, failing("raise", 10 ** 9))["simulations"].tolist() == [20] * 8
    with pytest.raises(KeyboardInterrupt):
        small.search(games, lambda p, m: (_ for _ in ()).throw(KeyboardInterrupt))
    assert small._check_consistency()


def test_interrupt_between_rounds_without_the_evaluator():
    """After the root, every move ends the game: the rounds select only terminal leaves
    and no Python code runs, so the search itself has to notice Ctrl-C."""
    game = vg.Game.with_options(5, 5, 7.5, 0, 1, True)
    search = vg.TreeSearch(5, 5, num_simulations=10**8, max_tree_bytes=1 << 20)
    timer = threading.Timer(0.2, _thread.interrupt_main)
    start = time.perf_counter()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            search.search([game], uniform)
    finally:
        timer.cancel()
    assert time.perf_counter() - start < 10  # the whole search takes half a minute or more
    assert search._check_consistency()


def test_memory_bound():
    games = random_roots(9, 2, seed=3)
    search = vg.TreeSearch(9, 9, num_simulations=400, max_tree_bytes=20000)
    with pytest.raises(MemoryError, match="max_tree_bytes"):
        search.search(games, uniform)
    assert search._check_consistency()
    assert all(0 < b <= 20000 for b in search.tree_bytes())


def test_reentry_is_refused():
    search = vg.TreeSearch(5, 5, num_simulations=8)
    games = random_roots(5, 1, seed=4)

    def evaluate(planes, masks):
        search.tree_bytes()
        return uniform(planes, masks)

    with pytest.raises(RuntimeError, match="another call"):
        search.search(games, evaluate)
    assert search._check_consistency()


# --- reuse, determinism, arguments ----------------------------------------------------------------


@pytest.mark.parametrize("reuse", [True, False])
def test_tree_reuse_follows_the_played_move(reuse):
    games = random_roots(7, 3, seed=5)
    search = vg.TreeSearch(7, 7, num_simulations=64, reuse_tree=reuse, temperature=0.0)
    first = search.search(games, uniform)
    for g, a in zip(games, first["actions"]):
        assert g.apply_action(int(a))
    second = search.search(games, uniform)
    totals = second["visit_counts"].sum(axis=1)
    if reuse:
        assert (totals > 64).all()  # the visits under the played move count too
    else:
        assert (totals == 64).all()
    # The same game again (no move played) keeps the whole tree with reuse, and
    # starts afresh without.
    third = search.search(games, uniform)
    assert (third["visit_counts"].sum(axis=1) == (totals + 64 if reuse else 64)).all()


@pytest.mark.parametrize("rule", ["puct", "gumbel"])
def test_deterministic_from_seed(rule):
    def run(seed):
        games = random_roots(6, 5, seed=6)
        search = vg.TreeSearch(6, 6, rule=rule, num_simulations=48, leaves_per_tree=3, seed=seed,
                               dirichlet_alpha=0.3)
        out = []
        for _ in range(3):
            r = search.search(games, hash_evaluator_float)
            out.append(r)
            for g, a in zip(games, r["actions"]):
                g.apply_action(int(a))
        return out

    a, b, c = run(1), run(1), run(2)
    for x, y in zip(a, b):
        for key in x:
            np.testing.assert_array_equal(x[key], y[key])
    assert any(not np.array_equal(x["visit_counts"], z["visit_counts"]) for x, z in zip(a, c))


def hash_evaluator_float(planes, masks):
    return hash_evaluator(planes.astype(np.uint8), masks)


def test_evaluator_sees_planes_and_masks_of_each_leaf():
    games = random_roots(5, 3, seed=7)
    seen = []

    def evaluate(planes, masks):
        assert planes.dtype == np.float32 and planes.shape[1:] == (17, 5, 5)
        assert masks.dtype == np.bool_ and masks.shape == (len(planes), 26)
        assert len(planes) <= 3 * 4
        seen.append((planes.copy(), masks.copy()))
        return uniform(planes, masks)

    vg.TreeSearch(5, 5, num_simulations=10, leaves_per_tree=4).search(games, evaluate)
    # The first round evaluates the roots: exactly what the games encode.
    planes, masks = seen[0]
    for i, g in enumerate(games):
        want = np.zeros((17, 5, 5), np.float32)
        g.encode_planes_into(want)
        np.testing.assert_array_equal(planes[i], want)
        mask = np.zeros(26, np.bool_)
        g.legal_action_mask_into(mask)
        np.testing.assert_array_equal(masks[i], mask)


@pytest.mark.parametrize(
    "kwargs,error",
    [
        (dict(rule="alphazero"), ValueError),
        (dict(rule=1), TypeError),
        (dict(num_simulations=0), ValueError),
        (dict(num_simulations=2**32), OverflowError),
        (dict(leaves_per_tree=5000), ValueError),
        (dict(temperature=-1.0), ValueError),
        (dict(c_init="1"), TypeError),
        (dict(dirichlet_fraction=2.0), ValueError),
        (dict(reuse_tree=1), TypeError),
        (dict(max_tree_bytes=-1), OverflowError),
        (dict(planes="float16"), ValueError),
        (dict(speed=3), TypeError),
    ],
)
def test_bad_options(kwargs, error):
    with pytest.raises(error):
        vg.TreeSearch(9, 9, **kwargs)


def test_bad_arguments():
    search = vg.TreeSearch(5, 5, num_simulations=4)
    with pytest.raises(ValueError, match="Board width"):
        vg.TreeSearch(1, 5)
    with pytest.raises(ValueError, match="empty"):
        search.search([], uniform)
    with pytest.raises(TypeError, match="Game"):
        search.search([vg.Board(5, 5)], uniform)
    with pytest.raises(ValueError, match="is 6x6"):
        search.search([vg.Game(6, 6)], uniform)
    with pytest.raises(TypeError, match="callable"):
        search.search([vg.Game(5, 5)], None)
    over = vg.Game.with_options(5, 5, 7.5, 0, 100, True)
    assert over.apply_action(25) and over.apply_action(25) and over.is_over()
    with pytest.raises(ValueError, match="over"):
        search.search([over], uniform)
    assert search._check_consistency()


def test_replaced_numpy_functions_are_checked(monkeypatch):
    search = vg.TreeSearch(5, 5, num_simulations=4)
    monkeypatch.setattr(np, "zeros", lambda shape, dtype: bytearray(10))
    with pytest.raises(RuntimeError, match="numpy.zeros made an array of 10 bytes"):
        search.search([vg.Game(5, 5)], uniform)
    monkeypatch.undo()
    monkeypatch.setattr(np, "empty", lambda shape, dtype: bytearray(3))
    with pytest.raises(RuntimeError, match="numpy.empty"):
        search.search([vg.Game(5, 5)], uniform)
    monkeypatch.undo()
    assert search._check_consistency()
    assert search.search([vg.Game(5, 5)], uniform)["simulations"].tolist() == [4]


def test_pickling_is_refused():
    search = vg.TreeSearch(5, 5)
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(search)
    assert type(search).__module__ == "vexlor_go"
    assert "rule='puct'" in repr(search)


def test_reset_starts_over():
    games = random_roots(5, 2, seed=8)
    search = vg.TreeSearch(5, 5, num_simulations=16)
    first = search.search(games, uniform)
    search.reset()
    assert search.tree_bytes() == []
    again = search.search(games, uniform)
    for key in first:
        np.testing.assert_array_equal(first[key], again[key])
