"""Board symmetries on plane stacks, policies and single actions: checked against
NumPy's own rotations and flips, and against games replayed under the symmetry."""

import array
import ctypes
import random

import pytest

import vexlor_go as vg
from conftest import QUICK

np = pytest.importorskip("numpy")

G = vg.Game
PLANES = vg.TOTAL_INPUT_PLANES

# The documented numbering, on the last two axes (rows, columns).
REFERENCE = {
    0: lambda x: x,
    1: lambda x: np.rot90(x, 1, axes=(-2, -1)),
    2: lambda x: np.rot90(x, 2, axes=(-2, -1)),
    3: lambda x: np.rot90(x, 3, axes=(-2, -1)),
    4: lambda x: np.flip(x, -1),
    5: lambda x: np.flip(x, -2),
    6: lambda x: np.swapaxes(x, -1, -2),
    7: lambda x: np.swapaxes(np.rot90(x, 2, axes=(-2, -1)), -1, -2),
}
SQUARE = [0, 1, 2, 3, 4, 5, 6, 7]
RECT = [0, 2, 4, 5]
SHAPES = [(9, 9, SQUARE), (19, 19, SQUARE), (2, 2, SQUARE), (13, 19, RECT), (2, 3, RECT)]  # (height, width, ...)
CASES = [(h, w, t) for h, w, ts in SHAPES for t in ts]


def planes_of(g):
    h, w = g.board_shape()
    out = np.empty((PLANES, h, w), np.float32)
    g.encode_planes_into(out)
    return out


def mask_of(g):
    out = np.empty(g.action_size(), np.uint8)
    g.legal_action_mask_into(out)
    return out


def reference_policy(p, h, w, t):
    board = REFERENCE[t](p[..., :-1].reshape(p.shape[:-1] + (h, w)))
    return np.concatenate([board.reshape(p.shape[:-1] + (h * w,)), p[..., -1:]], axis=-1)


class TestAgainstNumpy:
    @pytest.mark.parametrize("h, w, t", CASES)
    @pytest.mark.parametrize("dtype", ["float32", "uint8", "bool", "float64", "int16"])
    def test_planes_match_numpy(self, h, w, t, dtype):
        rng = np.random.default_rng(h * 100 + w * 10 + t)
        for lead in [(PLANES,), (3, PLANES), (1,)]:
            x = (rng.random(lead + (h, w)) * 100).astype(dtype)
            out = np.empty_like(x)
            G.transform_planes(x, out, h, w, t)
            np.testing.assert_array_equal(out, REFERENCE[t](x))
            inplace = x.copy()
            G.transform_planes(inplace, inplace, h, w, t)
            np.testing.assert_array_equal(inplace, out)

    @pytest.mark.parametrize("h, w, t", CASES)
    def test_policy_matches_numpy_and_keeps_the_pass_last(self, h, w, t):
        rng = np.random.default_rng(t)
        p = rng.random((4, h * w + 1)).astype(np.float32)
        out = np.empty_like(p)
        G.transform_policy(p, out, h, w, t)
        np.testing.assert_array_equal(out, reference_policy(p, h, w, t))
        assert (out[:, -1] == p[:, -1]).all()
        G.transform_policy(p, p, h, w, t)  # in place
        np.testing.assert_array_equal(p, out)

    @pytest.mark.parametrize("h, w, t", CASES)
    def test_action_matches_the_policy(self, h, w, t):
        n = h * w
        for a in range(n + 1):
            onehot = np.zeros(n + 1, np.uint8)
            onehot[a] = 1
            out = np.empty_like(onehot)
            G.transform_policy(onehot, out, h, w, t)
            assert G.transform_action(a, h, w, t) == int(np.flatnonzero(out)[0])

    @pytest.mark.parametrize("h, w, t", CASES)
    def test_inverse_undoes(self, h, w, t):
        inv = G.inverse_transform(t)
        p = np.arange(3 * (h * w + 1), dtype=np.float64).reshape(3, -1)
        there, back = np.empty_like(p), np.empty_like(p)
        G.transform_policy(p, there, h, w, t)
        G.transform_policy(there, back, h, w, inv)
        np.testing.assert_array_equal(back, p)
        x = np.arange(PLANES * h * w, dtype=np.uint8).reshape(PLANES, h, w)
        y = x.copy()
        G.transform_planes(y, y, h, w, t)
        G.transform_planes(y, y, h, w, inv)
        np.testing.assert_array_equal(x, y)
        assert all(G.transform_action(G.transform_action(a, h, w, t), h, w, inv) == a for a in range(h * w + 1))


class TestNumbering:
    def test_inverses_and_valid_sets(self):
        assert [G.inverse_transform(t) for t in range(8)] == [0, 3, 2, 1, 4, 5, 6, 7]
        assert G.valid_transforms(19, 19) == (0, 1, 2, 3, 4, 5, 6, 7)
        assert G.valid_transforms(13, 19) == G.valid_transforms(19, 13) == (0, 2, 4, 5)

    @pytest.mark.parametrize(
        "t, expected",
        # Where the point (col 1, row 0) of a 3x3 board goes, as an action.
        [(0, 1), (1, 3), (2, 7), (3, 5), (4, 1), (5, 7), (6, 3), (7, 5)],
    )
    def test_one_point_on_3x3(self, t, expected):
        assert G.transform_action(1, 3, 3, t) == expected
        assert G.transform_action(9, 3, 3, t) == 9

    def test_errors(self):
        with pytest.raises(ValueError, match="transform 1 needs a square board"):
            G.transform_action(0, 13, 19, 1)
        for t in (1, 3, 6, 7):
            with pytest.raises(ValueError, match="square"):
                G.transform_policy(bytearray(248), bytearray(248), 13, 19, t)
        with pytest.raises(ValueError, match="between 0 and 7"):
            G.inverse_transform(8)
        with pytest.raises(OverflowError):
            G.inverse_transform(-1)
        with pytest.raises(ValueError, match="invalid action"):
            G.transform_action(82, 9, 9, 0)
        with pytest.raises(ValueError, match="Board height must be between 2 and 32"):
            G.valid_transforms(33, 9)
        with pytest.raises(ValueError, match="Board width must be between 2 and 32"):
            G.transform_planes(bytearray(1), bytearray(1), 9, 1, 0)
        with pytest.raises(TypeError):
            G.transform_action(0, 9, 9)


class TestBufferRules:
    def test_counts_formats_and_overlap(self):
        x = np.zeros((PLANES, 9, 9), np.float32)
        with pytest.raises(ValueError, match="multiple of 81"):
            G.transform_planes(x.ravel()[:-1], np.empty(PLANES * 81 - 1, np.float32), 9, 9, 1)
        with pytest.raises(ValueError, match="multiple of 82"):
            G.transform_policy(np.zeros(81, np.float32), np.zeros(81, np.float32), 9, 9, 1)
        with pytest.raises(ValueError, match="must hold 1377 items"):
            G.transform_planes(x, np.empty(PLANES * 81 + 81, np.float32), 9, 9, 1)
        with pytest.raises(TypeError, match="format"):
            G.transform_planes(x, np.empty_like(x, np.uint8), 9, 9, 1)
        with pytest.raises(TypeError, match="writable"):
            G.transform_planes(x, bytes(x.nbytes), 9, 9, 1)
        with pytest.raises(TypeError, match="plain numbers"):
            G.transform_planes(np.zeros(81, np.complex128), np.zeros(81, np.complex128), 9, 9, 0)
        buf = np.zeros(2 * 81, np.float32)
        with pytest.raises(ValueError, match="overlaps"):
            G.transform_planes(buf[:81], buf[40:121], 9, 9, 1)

    @pytest.mark.parametrize(
        "make",
        [lambda n: np.array([[i] for i in range(n)] + [None], dtype=object)[:n],
         lambda n: (ctypes.py_object * n)(*[[i] for i in range(n)])],
        ids=["numpy-object", "ctypes-py_object"],
    )
    @pytest.mark.parametrize("method, items", [("transform_planes", 81), ("transform_policy", 82)])
    def test_object_pointers_are_refused(self, make, method, items):
        """Copying object pointers without their reference counts would leave `out`
        pointing at freed objects once the input is gone."""
        src, out = make(items), make(items)
        before = [id(x) for x in out]
        with pytest.raises(TypeError, match="plain numbers.*format '<?O'"):
            getattr(G, method)(src, out, 9, 9, 1)
        del src
        assert [id(x) for x in out] == before

    @pytest.mark.parametrize("dtype", ["int8", "uint16", "int32", "uint64", "float16", "float64", "bool"])
    def test_every_plain_number_format(self, dtype):
        x = (np.arange(2 * 81) % 2).astype(dtype).reshape(2, 9, 9)
        out = np.empty_like(x)
        G.transform_planes(x, out, 9, 9, 3)
        np.testing.assert_array_equal(out, REFERENCE[3](x))

    def test_read_only_input_and_plain_buffers(self):
        h, w = 3, 4
        x = np.arange(2 * h * w, dtype=np.uint8).reshape(2, h, w)
        x.flags.writeable = False
        out = bytearray(x.nbytes)
        G.transform_planes(x, out, h, w, 5)
        assert list(out) == REFERENCE[5](x).ravel().tolist()
        a = array.array("f", range(h * w + 1))
        G.transform_policy(a, a, h, w, 2)
        assert list(a) == [float(v) for v in range(h * w - 1, -1, -1)] + [float(h * w)]

    def test_large_buffers_give_the_same_result(self):
        """Past the size at which the interpreter lock is released."""
        rng = np.random.default_rng(1)
        x = (rng.random((64, PLANES, 19, 19)) > 0.5).astype(np.float32)
        for t in SQUARE:
            out = np.empty_like(x)
            G.transform_planes(x, out, 19, 19, t)
            np.testing.assert_array_equal(out, REFERENCE[t](x))


def random_moves(w, h, n, seed, options):
    rng = random.Random(seed)
    g = G.with_options(w, h, *options)
    moves = []
    for _ in range(n):
        legal = g.legal_action_indices()
        if not legal:
            break
        a = rng.choice(legal)
        assert g.apply_action(a)
        moves.append(a)
    return g, moves


class TestGamesUnderSymmetry:
    @pytest.mark.parametrize("h, w, t", [c for c in CASES if c[0] * c[1] <= 361])
    def test_planes_and_mask_of_the_replayed_game(self, h, w, t):
        """Transforming a game's planes gives the planes of the game played at the
        transformed points, at every move: history planes, captures, ko and passes included."""
        options = (7.5, 0, 4 * w * h, True)
        moves = random_moves(w, h, min(3 * w * h, 40 if QUICK else 120), 7 * t + h, options)[1]
        a = G.with_options(w, h, *options)
        b = G.with_options(w, h, *options)
        out = np.empty((PLANES, h, w), np.float32)
        mask = np.empty(h * w + 1, np.uint8)
        step = 1 if h * w <= 81 else 7
        for i, m in enumerate(moves):
            assert a.apply_action(m) and b.apply_action(G.transform_action(m, h, w, t))
            if i % step:
                continue
            G.transform_planes(planes_of(a), out, h, w, t)
            np.testing.assert_array_equal(out, planes_of(b))
            G.transform_policy(mask_of(a), mask, h, w, t)
            np.testing.assert_array_equal(mask, mask_of(b))
            assert a.score() == b.score() and a.is_over() == b.is_over()
            ko = a.ko_point()
            assert b.ko_point() == (None if ko is None else
                                    divmod(G.transform_action(ko[1] * w + ko[0], h, w, t), w)[::-1])

    @pytest.mark.parametrize("t", SQUARE)
    def test_batched_planes_transform_like_single_ones(self, t):
        options = (7.5, 0, 300, True)
        games = [random_moves(9, 9, 10 + 5 * i, 50 + i, options)[0] for i in range(6)]
        batch = np.empty((len(games), PLANES, 9, 9), np.uint8)
        G.encode_planes_batch(games, batch)
        G.transform_planes(batch, batch, 9, 9, t)
        for i, g in enumerate(games):
            np.testing.assert_array_equal(batch[i], REFERENCE[t](planes_of(g)).astype(np.uint8))

    def test_a_network_policy_maps_back(self):
        """Augment with t, let the 'network' answer on the transformed board, map back with the inverse."""
        options = (7.5, 0, 300, True)
        g, _ = random_moves(9, 9, 30, 5, options)
        legal = mask_of(g)
        for t in SQUARE:
            seen = np.empty_like(legal)
            G.transform_policy(legal, seen, 9, 9, t)
            answer = seen.astype(np.float32)  # a policy that plays exactly the legal moves it was shown
            back = np.empty_like(answer)
            G.transform_policy(answer, back, 9, 9, G.inverse_transform(t))
            np.testing.assert_array_equal(back, legal)
