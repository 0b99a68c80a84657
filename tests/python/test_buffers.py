"""Planes and legal masks written into caller buffers, one game or a batch:
equal to the list-returning methods, strict about the buffer, and safe with
respect to the games' access flags and other threads."""

import array
import sys
import threading

import pytest

import vexlor_go as vg
from conftest import QUICK, finished_game, ko_game, random_game, run_beside, snapshot

try:
    import numpy as np
except ImportError:  # the module itself never needs NumPy
    np = None

needs_numpy = pytest.mark.skipif(np is None, reason="NumPy not installed")

PLANES = vg.TOTAL_INPUT_PLANES


def planes_list(g):
    return [int(x) for x in g.encode_game_planes()[0]]


def mask_list(g):
    mask = [0] * g.action_size()
    for a in g.legal_action_indices():
        mask[a] = 1
    return mask


GAMES = [
    pytest.param(lambda: vg.Game(9, 9), id="new9"),
    pytest.param(lambda: random_game(9, 9, 60, 1), id="9x9-60"),
    pytest.param(lambda: random_game(5, 5, 40, 2), id="5x5-captures"),
    pytest.param(lambda: random_game(19, 13, 30, 3), id="19x13"),
    pytest.param(lambda: random_game(2, 2, 5, 4), id="2x2"),
    pytest.param(lambda: random_game(19, 19, 3, 5), id="19x19-3"),
    pytest.param(ko_game, id="ko"),
    pytest.param(lambda: finished_game("black"), id="over"),
    pytest.param(lambda: random_game(9, 9, 41, 13, min_pass=40), id="min-pass"),
]


class TestIntoWithoutNumpy:
    @pytest.mark.parametrize("make", GAMES)
    @pytest.mark.parametrize("kind", ["bytearray", "array-B", "array-f"])
    def test_planes_equal_the_list(self, make, kind):
        g = make()
        n = PLANES * g.width() * g.height()
        out = {"bytearray": lambda: bytearray(b"\x07" * n), "array-B": lambda: array.array("B", [7] * n),
               "array-f": lambda: array.array("f", [7.0] * n)}[kind]()
        before = snapshot(g)
        assert g.encode_planes_into(out) is None
        assert [int(x) for x in out] == planes_list(g)
        assert snapshot(g) == before

    @pytest.mark.parametrize("make", GAMES)
    def test_mask_equals_the_legal_indices(self, make):
        g = make()
        out = bytearray(b"\x05" * g.action_size())
        g.legal_action_mask_into(out)
        assert list(out) == mask_list(g)

    def test_pass_follows_the_minimum_move_count(self):
        g = vg.Game(9, 9)  # passing is allowed after 40 moves
        out = bytearray(82)
        g.legal_action_mask_into(out)
        assert out[81] == 0 and sum(out) == 81
        assert g.apply_action(81) is False

    def test_a_repeated_call_overwrites_the_previous_planes(self):
        g = random_game(9, 9, 20, 6)
        out = bytearray(PLANES * 81)
        g.encode_planes_into(out)
        g.unmake_move()
        g.encode_planes_into(out)
        assert list(out) == planes_list(g)


def _bad_buffers(n):
    """(buffer, exception, text in the message) for a 9x9 planes or mask call needing n items."""
    cases = [
        (bytearray(n - 1), ValueError, f"must hold {n} items"),
        (bytearray(n + 1), ValueError, f"must hold {n} items"),
        (bytes(n), TypeError, "writable"),
        (array.array("d", bytes(8 * n)), TypeError, "format 'd'"),
        (array.array("b", bytes(n)), TypeError, "format 'b'"),
        (array.array("i", bytes(4 * n)), TypeError, "format 'i'"),
        (memoryview(bytearray(2 * n))[::2], ValueError, "C-contiguous"),
        ([0] * n, TypeError, "buffer protocol"),
        (None, TypeError, "buffer protocol"),
    ]
    if np is not None:
        ro = np.zeros(n, np.uint8)
        ro.flags.writeable = False
        cases += [
            (ro, TypeError, "read-only"),
            (np.zeros((n, 2), np.uint8)[:, 0], ValueError, "C-contiguous"),
            (np.zeros(n, ">f4" if np.little_endian else "<f4"), TypeError, "format"),
            (np.zeros(n, np.float64), TypeError, "format"),
        ]
    return cases


class TestBufferChecks:
    @pytest.mark.parametrize("case", range(len(_bad_buffers(82))))
    def test_mask_refuses_and_writes_nothing(self, case):
        g = vg.Game(9, 9)
        buf, exc, text = _bad_buffers(82)[case]
        before = bytes(buf) if isinstance(buf, (bytearray, memoryview)) else None
        with pytest.raises(exc, match=text):
            g.legal_action_mask_into(buf)
        if before is not None:
            assert bytes(buf) == before

    @pytest.mark.parametrize("case", range(len(_bad_buffers(PLANES * 81))))
    def test_planes_refuse_and_write_nothing(self, case):
        g = vg.Game(9, 9)
        buf, exc, text = _bad_buffers(PLANES * 81)[case]
        with pytest.raises(exc, match=text):
            g.encode_planes_into(buf)

    def test_float_masks_are_refused(self):
        with pytest.raises(TypeError, match=r"uint8 \('B'\) or bool"):
            vg.Game(9, 9).legal_action_mask_into(array.array("f", bytes(4 * 82)))

    def test_a_refused_buffer_is_given_back(self):
        # A bytearray cannot grow while an export is held: refusals must release it.
        backing = bytearray(2 * 82)
        scattered = memoryview(backing)[::2]
        with pytest.raises(ValueError, match="C-contiguous"):
            vg.Game(9, 9).legal_action_mask_into(scattered)
        scattered.release()
        backing.extend(b"x")

    def test_a_refused_call_leaves_a_sentinel_intact(self):
        g = random_game(9, 9, 10, 7)
        out = array.array("f", [3.0] * (PLANES * 81 + 1))
        with pytest.raises(ValueError):
            g.encode_planes_into(out)
        assert set(out) == {3.0}

    def test_arguments_follow_the_module_rules(self):
        g = vg.Game(9, 9)
        g.encode_planes_into(out=bytearray(PLANES * 81))
        with pytest.raises(TypeError):
            g.encode_planes_into()
        with pytest.raises(TypeError):
            g.encode_planes_into(bytearray(PLANES * 81), 1)
        with pytest.raises(TypeError):
            g.legal_action_mask_into(buf=bytearray(82))


@needs_numpy
class TestIntoNumpy:
    @pytest.mark.parametrize("make", GAMES)
    @pytest.mark.parametrize("dtype", ["float32", "uint8", "bool"])
    def test_any_shape_with_the_right_count(self, make, dtype):
        g = make()
        h, w = g.board_shape()
        expected = np.asarray(g.encode_game_planes()[0], np.float32).reshape(PLANES, h, w)
        for shape in [(PLANES, h, w), (PLANES * h * w,), (1, PLANES, h * w)]:
            out = np.full(shape, 1, dtype)
            g.encode_planes_into(out)
            np.testing.assert_array_equal(out.reshape(PLANES, h, w).astype(np.float32), expected)

    @pytest.mark.parametrize("offset", [1, 2, 3])
    @pytest.mark.parametrize("n", [1, 3, 20], ids=lambda n: f"{n}games")  # 20: past the lock release
    def test_float_planes_at_any_alignment(self, offset, n):
        """A float32 view at an odd address (a slice of a byte buffer) gets the same planes;
        the sanitizer run checks that no float is stored to it directly."""
        games = [random_game(9, 9, 7 * i, 30 + i) for i in range(n)]
        count = n * PLANES * 81
        expected = np.stack([np.asarray(g.encode_game_planes()[0], np.float32) for g in games])
        raw = np.full(4 * count + offset, 0xAB, np.uint8)
        out = raw[offset:].view(np.float32)
        assert out.ctypes.data % 4 != 0
        if n == 1:
            games[0].encode_planes_into(out)
        else:
            vg.Game.encode_planes_batch(games, out)
        np.testing.assert_array_equal(out.reshape(n, -1), expected)
        assert set(raw[:offset].tolist()) == {0xAB}

    @pytest.mark.parametrize("dtype", ["uint8", "bool"])
    def test_mask(self, dtype):
        g = random_game(19, 19, 50, 8)
        out = np.ones(g.action_size(), dtype)
        g.legal_action_mask_into(out)
        assert np.flatnonzero(out).tolist() == g.legal_action_indices()


class TestBatch:
    @pytest.mark.parametrize("n", [0, 1, 5, 16, 40])
    @pytest.mark.parametrize("w, h", [(9, 9), (19, 13)])
    def test_batch_equals_one_call_per_game(self, n, w, h):
        games = [random_game(w, h, i * 3 % 50, 100 + i) for i in range(n)]
        before = [snapshot(g) for g in games]
        planes = bytearray(b"\x09" * (n * PLANES * w * h))
        masks = bytearray(b"\x09" * (n * (w * h + 1)))
        vg.Game.encode_planes_batch(games, planes)
        vg.Game.legal_action_mask_batch(games, masks)
        assert list(planes) == [x for g in games for x in planes_list(g)]
        assert list(masks) == [x for g in games for x in mask_list(g)]
        assert [snapshot(g) for g in games] == before

    def test_any_sequence_and_duplicates(self):
        a, b = random_game(9, 9, 7, 9), random_game(9, 9, 12, 10)
        seq = [a, b, a, a, b] * 4  # 20: past the size at which the lock is released
        expected = [x for g in seq for x in planes_list(g)]
        for games in (seq, tuple(seq), (g for g in seq)):
            out = array.array("f", bytes(4 * len(seq) * PLANES * 81))
            vg.Game.encode_planes_batch(games, out)
            assert [int(x) for x in out] == expected
        masks = bytearray(len(seq) * 82)
        vg.Game.legal_action_mask_batch(seq, masks)
        assert list(masks) == [x for g in seq for x in mask_list(g)]
        # Every shared access was given back: the games can be changed again.
        assert a.apply_action(a.legal_action_indices()[0]) and b.unmake_move()

    @pytest.mark.parametrize("method", ["encode_planes_batch", "legal_action_mask_batch"])
    def test_mixed_sizes_and_non_games_are_named(self, method):
        call = getattr(vg.Game, method)
        g19, g9 = vg.Game(19, 19), vg.Game(9, 9)
        out = bytearray(10**6)
        with pytest.raises(ValueError, match=r"^games\[3\] is 9x9, expected 19x19$"):
            call([g19, g19, g19, g9, g19], out)
        with pytest.raises(ValueError, match=r"^games\[1\] is 19x13, expected 13x19$"):
            call([vg.Game(13, 19), vg.Game(19, 13)], out)
        with pytest.raises(TypeError, match=r"^games\[2\] must be Game, not vexlor_go.Board$"):
            call([g19, g19, vg.Board(19, 19)], out)
        with pytest.raises(TypeError, match=r"games\[0\] must be Game, not str"):
            call("ab", out)
        with pytest.raises(TypeError, match="sequence of Game"):
            call(5, out)
        with pytest.raises(ValueError, match=r"must hold 0 items"):
            call([], bytearray(1))
        # The games are free again after every refusal.
        assert g19.apply_action(0) and g9.apply_action(0)

    @pytest.mark.parametrize("n", [3, 20])
    def test_wrong_buffer_writes_nothing(self, n):
        games = [vg.Game(9, 9)] * n
        out = bytearray(b"\x02" * (n * PLANES * 81 - 1))
        with pytest.raises(ValueError, match=rf"must hold {n * PLANES * 81} items \({n} games x 17 x 9 x 9\)"):
            vg.Game.encode_planes_batch(games, out)
        assert set(out) == {2}
        with pytest.raises(TypeError, match="format"):
            vg.Game.legal_action_mask_batch(games, array.array("f", bytes(4 * n * 82)))

    @pytest.mark.parametrize("method, size", [("encode_planes_batch", PLANES * 16), ("legal_action_mask_batch", 17)])
    def test_a_game_being_changed_is_refused_and_the_others_released(self, method, size):
        """A batch started from inside a call that changes one of its games."""
        first, busy = vg.Game(4, 4), vg.Game(4, 4)
        seen = []

        class Col:
            def __index__(self):
                with pytest.raises(RuntimeError, match=r"games\[1\] is being changed"):
                    getattr(vg.Game, method)([first, busy, first], bytearray(3 * size))
                seen.append(True)
                return 0

        busy.set_piece(Col(), 0, vg.BLACK)  # set_piece holds exclusive access while converting col
        assert seen and busy.get_piece(0, 0) == vg.BLACK
        assert first.apply_action(5)  # its shared access was given back

    def test_a_batch_meets_a_buffer_export_that_changes_a_game(self):
        """Python code run while exporting the buffer cannot change a game of the batch."""
        if sys.version_info < (3, 12):
            pytest.skip("Python classes export buffers from 3.12 on")
        g = vg.Game(9, 9)
        attempts = []

        class Exporter:
            def __buffer__(self, flags):
                with pytest.raises(RuntimeError):
                    g.apply_action(0)
                attempts.append(g.encode_game_planes())  # a reader, like the batch
                return memoryview(self.data)

        e = Exporter()
        e.data = bytearray(82)
        vg.Game.legal_action_mask_batch([g], e)
        assert attempts and list(e.data) == mask_list(g)
        assert g.apply_action(0)

    def test_the_list_may_change_while_the_buffer_is_exported(self):
        if sys.version_info < (3, 12):
            pytest.skip("Python classes export buffers from 3.12 on")
        games = [random_game(9, 9, 10, 11), random_game(9, 9, 20, 12)]
        expected = [x for g in games for x in mask_list(g)]

        class Exporter:
            data = bytearray(2 * 82)

            def __buffer__(self, flags):
                games.clear()  # drops the caller's references; the batch holds its own
                return memoryview(self.data)

        vg.Game.legal_action_mask_batch(games, Exporter())
        assert list(Exporter.data) == expected


@needs_numpy
class TestBatchThreads:
    def test_threads_see_exact_results(self):
        """Batches run without the lock while other threads call changing methods on their games;
        those either wait their turn or are refused, and never show through."""
        games = [random_game(19, 19, 30 + i, 200 + i) for i in range(32)]
        expected = np.stack([np.asarray(g.encode_game_planes()[0], np.float32) for g in games])
        expected_masks = np.stack([np.asarray(mask_list(g), np.uint8) for g in games])
        stop = threading.Event()
        failures = []

        def encoder():
            out = np.empty((len(games), PLANES * 361), np.float32)
            masks = np.empty((len(games), 362), np.uint8)
            for _ in range(10 if QUICK else 60):
                vg.Game.encode_planes_batch(games, out)
                vg.Game.legal_action_mask_batch(games, masks)
                if not (np.array_equal(out, expected) and np.array_equal(masks, expected_masks)):
                    failures.append("mismatch")

        def mutator():
            # Exclusive calls that leave the game as it was, so every batch must see `expected`.
            g = games[7]
            while not stop.is_set():
                for col in range(19):
                    try:
                        g.set_piece(col, 3, g.get_piece(col, 3))
                    except RuntimeError:
                        pass

        run_beside(mutator, [encoder, encoder], stop)
        assert not failures
        np.testing.assert_array_equal(np.asarray(games[7].encode_game_planes()[0], np.float32), expected[7])
