"""Leak checks: long loops over every method of every class, the calls that raise
included, with the process's memory measured before and after.

Each scenario runs a warm-up, is measured, runs its loop, and is measured again;
the growth must stay under small bounds on:

* live objects tracked by the collector (``len(gc.get_objects())``),
* blocks held by the interpreter's allocator (``sys.getallocatedblocks()``),
* bytes in use from the C heap (glibc ``mallinfo2``), which is where the
  engine's own storage (move history, position counts) lives,
* resident memory (``/proc/self/statm``).

A leaked reference or object shows in the first two, a leaked C++ allocation in
the third. Under the sanitizers (VEXLOR_SANITIZED=1) the allocator is replaced
and freed memory is quarantined, so only the object count is bounded there;
LeakSanitizer judges the C++ side. VEXLOR_QUICK=1 shortens the loops.
"""

from __future__ import annotations

import array
import copy
import ctypes
import ctypes.util
import gc
import os
import pickle
import random
import sys

import pytest

import vexlor_go as vg
from conftest import RaisingIndex, Reenter
from vexlor_go import BLACK, WHITE, Board, Game, GameOutcome, Move

try:
    import numpy as np
except ImportError:  # the dedicated LeakSanitizer run keeps NumPy out (see scripts/test.sh)
    np = None

SANITIZED = os.environ.get("VEXLOR_SANITIZED") == "1"
QUICK = SANITIZED or os.environ.get("VEXLOR_QUICK") == "1"
# Rounds per scenario; each round makes tens to hundreds of calls.
ROUNDS = 40 if SANITIZED else 1000 if QUICK else 5000
# Caches of the interpreter and of pickle fill during the first few hundred calls.
WARMUP = 10 if SANITIZED else 300

# Bounds on growth over the loop, whatever its length: a leak of one object or
# a few bytes per round exceeds them many times over.
MAX_OBJECTS = 64
MAX_BLOCKS = 512
MAX_HEAP_BYTES = 96 * 1024
# Resident memory also counts freed memory that malloc keeps rather than returns
# (its per-thread arenas, after the batch and search tests' threads, fragment):
# 2 MB of such growth was seen with no byte more in use. The heap bound above is
# the exact one for everything that goes through malloc; this one is for the rest.
MAX_RSS_BYTES = 8 * 1024 * 1024


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]  # fmt: skip


def _heap_meter():
    """Bytes in use from malloc (small chunks plus mmap'ed ones), or None."""
    if SANITIZED:
        return None
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2

    def meter():
        info = fn()
        return info.uordblks + info.hblkhd

    return meter


HEAP_IN_USE = _heap_meter()
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def measure():
    gc.collect()
    gc.collect()
    return {
        "objects": len(gc.get_objects()),
        "blocks": sys.getallocatedblocks(),
        "heap": HEAP_IN_USE() if HEAP_IN_USE else 0,
        "rss": rss(),
    }


def expect_error(fn, *args, exc=Exception, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{getattr(fn, '__name__', fn)}{args} did not raise {exc}")


# --- scenarios: each makes one round of calls ---------------------------------------


def play_games(rng: random.Random):
    size = rng.choice([2, 3, 5, 9, 13, 19, 32])
    g = Game.with_options(size, rng.choice([size, 9]), 7.5, 0, 3 * size * size, rng.random() < 0.8)
    w, h = g.width(), g.height()
    for _ in range(rng.randint(5, 40)):
        legal = g.legal_action_indices()
        if not legal:
            break
        g.apply_action(rng.choice(legal))
        moves = g.legal_moves() or [Move.pass_move()]
        g.is_legal_move(moves[0])
        g.make_move(moves[-1]) and g.unmake_move()
        g.decode_action(rng.randrange(w * h + 2))
    g.apply_action(w * h + 5)
    g.make_move(Move.place(w, 0))
    c = g.clone()
    c.make_move(Move.pass_move())
    g.encode_game_planes()
    g.board()
    g.score(), g.turn(), g.ko_point(), g.outcome(), g.is_over(), g.move_count(), g.name()
    g.komi(), g.superko(), g.max_moves(), g.min_moves_before_pass_possible(), g.width(), g.height()
    g.action_size(), g.total_actions(), g.board_shape(), g.input_plane_count()
    g.reward_absolute(), g.reward_from_perspective(BLACK), g.reward_from_perspective(WHITE)
    g.set_piece(0, 0, BLACK), g.get_piece(0, 0), g.set_piece(300, 0, None), g.get_piece(2**40, 1)
    g._check_consistency()
    str(g), repr(g), hash(g)
    while g.unmake_move():
        pass
    Game.standard()
    Game(size, size)


def finished_games(rng: random.Random):
    for komi in (0.5, 7.5, 0.0, float("nan")):
        g = Game.with_options(4, 4, komi, 0, 100, True)
        if komi == 0.5:
            g.make_move(Move.place(1, 1))
        g.make_move(Move.pass_move())
        g.make_move(Move.pass_move())
        o = g.outcome()
        o.winner(), o.is_draw(), o.name(), str(o), repr(o)
        o.encode_winner_absolute(), o.encode_winner_from_perspective(1), o.encode_winner_from_perspective(-1)
        expect_error(o.encode_winner_from_perspective, 0, exc=ValueError)
        expect_error(o.encode_winner_from_perspective, 300, exc=OverflowError)
        expect_error(o.encode_winner_from_perspective, "1", exc=TypeError)
        expect_error(hash, o, exc=TypeError)
        expect_error(lambda: o < o, exc=TypeError)
        o == g.outcome(), o != 3, o == "Draw"
        g.reward_absolute(), g.reward_from_perspective(-1)
        expect_error(g.reward_from_perspective, 0, exc=ValueError)
        g.legal_moves(), g.legal_action_indices(), g.apply_action(0)
        g.unmake_move()


def refused_calls(rng: random.Random):
    g = Game(9, 9)
    g.apply_action(40)
    hostile = ["3", 1.5, None, [], -1, 2**64, 2**200, RaisingIndex(ValueError), RaisingIndex(TypeError)]
    if np is not None:
        hostile += [np.float32(1), np.bool_(True)]
    for bad in hostile:
        expect_error(g.apply_action, bad)
        expect_error(g.decode_action, bad)
        expect_error(g.get_piece, bad, 0)
        expect_error(g.set_piece, 0, bad, BLACK)
        expect_error(g.reward_from_perspective, bad if bad != -1 else 200)
        expect_error(g.make_move, bad, exc=TypeError)
        expect_error(g.is_legal_move, bad, exc=TypeError)
        expect_error(Move.place, bad, 0)
        expect_error(Move.decode, bad, 9, 9)
        expect_error(Game, bad, 9)
        expect_error(Board, 9, bad)
        expect_error(Game.with_options, 9, 9, 7.5, bad, 10, True)
    for piece in (0, 2, -128, 300, "B"):
        expect_error(g.set_piece, 0, 0, piece)
    expect_error(Move.decode, 83, 9, 9, exc=ValueError)
    expect_error(Move.place(1, 1).encode, 256, 9, exc=OverflowError)
    expect_error(Move.place, 256, 0, exc=OverflowError)
    expect_error(Game, 1, 9, exc=ValueError)
    expect_error(Game, 9, 33, exc=ValueError)
    expect_error(Game.with_options, 9, 9, "x", 0, 0, True, exc=TypeError)
    expect_error(Game.with_options, 9, 9, 7.5, 70000, 0, True, exc=OverflowError)
    expect_error(Game.with_options, 9, 9, 7.5, 0, 0, 1, exc=TypeError)
    expect_error(g.make_move, exc=TypeError)
    expect_error(g.make_move, Move.pass_move(), 1, exc=TypeError)
    expect_error(g.make_move, move_=Move.pass_move(), bogus=1, exc=TypeError)
    expect_error(g.get_piece, 0, col=0, exc=TypeError)
    expect_error(g.turn, 1, exc=TypeError)
    expect_error(g.legal_moves, x=1, exc=TypeError)
    expect_error(Move, exc=TypeError)
    expect_error(GameOutcome, exc=TypeError)
    expect_error(lambda: Move.place(1, 1) < Move.pass_move(), exc=TypeError)
    # Re-entry from an argument's conversion, into the same game.
    for outer in (lambda r: g.set_piece(r, 0, 1), lambda r: g.apply_action(r), lambda r: g.get_piece(r, 0)):
        for inner in (lambda: g.make_move(Move.pass_move()), lambda: g.set_piece(0, 0, 1)):
            expect_error(outer, Reenter(inner), exc=RuntimeError)
    expect_error(g.apply_action, Reenter(g.encode_game_planes), exc=RuntimeError)
    expect_error(g.set_piece, Reenter(g.legal_moves), 0, 1, exc=RuntimeError)
    expect_error(g.apply_action, Reenter(lambda: hash(g)), exc=RuntimeError)
    b = Board(5, 5)
    expect_error(b.set_piece, Reenter(b.clear), 0, 1, exc=RuntimeError)
    expect_error(b.get_piece, Reenter(b.clear), 0, exc=RuntimeError)


def boards(rng: random.Random):
    b = Board(rng.randint(2, 32), rng.randint(2, 32))
    for _ in range(20):
        b.set_piece(rng.randrange(40), rng.randrange(40), rng.choice([BLACK, WHITE, None]))
        b.get_piece(rng.randrange(40), rng.randrange(300))
    b.width(), b.height(), str(b), repr(b)
    expect_error(b.set_piece, 0, 0, 5, exc=ValueError)
    expect_error(b.get_piece, -1, 0, exc=OverflowError)
    expect_error(b.width, 1, exc=TypeError)
    copy.copy(b), copy.deepcopy(b)
    b.clear()
    Board.standard()
    expect_error(Board, 40, 40, exc=ValueError)


def moves(rng: random.Random):
    seen = set()
    for _ in range(30):
        c, r = rng.randrange(256), rng.randrange(256)
        m = Move.place(c, r)
        seen.add(m)
        m.col(), m.row(), m.is_pass(), str(m), repr(m), hash(m)
        a = m.encode(19, 19)
        m == Move.place(c, r), m != Move.pass_move(), m == (c, r)
        if a <= 361:
            Move.decode(a, 19, 19)
    p = Move.pass_move()
    p.col(), p.row(), p.encode(9, 9), Move.decode(81, 9, 9), str(p), repr(p)
    copy.copy(p), copy.deepcopy(p)


def buffers(rng: random.Random):
    size = rng.choice([3, 9, 19])
    games = [Game.with_options(size, size, 7.5, 0, 400, True) for _ in range(rng.choice([1, 3, 17]))]
    for g in games:
        for _ in range(rng.randint(0, 10)):
            legal = g.legal_action_indices()
            if legal:
                g.apply_action(rng.choice(legal))
    n, a = 17 * size * size, size * size + 1
    g = games[0]
    g.encode_planes_into(array.array("f", bytes(4 * n)))
    g.encode_planes_into(bytearray(n))
    g.legal_action_mask_into(memoryview(bytearray(a)).cast("?"))
    Game.encode_planes_batch(games, bytearray(len(games) * n))
    Game.legal_action_mask_batch(tuple(games), array.array("B", bytes(len(games) * a)))
    if np is not None:
        g.encode_planes_into(np.zeros(n, np.float32))
        Game.legal_action_mask_batch(games, np.zeros((len(games), a), np.bool_))
    expect_error(g.encode_planes_into, bytearray(n - 1), exc=ValueError)
    expect_error(g.encode_planes_into, array.array("d", bytes(8 * n)), exc=TypeError)
    expect_error(g.legal_action_mask_into, [0] * a, exc=TypeError)
    expect_error(Game.encode_planes_batch, games + [Game(2, 2)], bytearray((len(games) + 1) * n))
    expect_error(Game.encode_planes_batch, games + [None], bytearray((len(games) + 1) * n), exc=TypeError)
    expect_error(Game.legal_action_mask_batch, 5, bytearray(1), exc=TypeError)
    # The batch holds its games: the conversion of a later item cannot change them.
    expect_error(g.set_piece, Reenter(lambda: Game.encode_planes_batch([g], bytearray(n))), 0, 1, exc=RuntimeError)


def refused_buffers(rng: random.Random):
    """Buffers refused after they were exported: read-only or not contiguous."""
    g = Game(9, 9)
    n, a = 17 * 81, 82
    read_only = [bytes(n), memoryview(bytearray(n)).toreadonly()]
    scattered = [memoryview(bytearray(2 * a))[::2], memoryview(bytearray(2 * a))[1::2]]
    if np is not None:
        frozen = np.zeros(n, np.uint8)
        frozen.flags.writeable = False
        read_only.append(frozen)
        scattered.append(np.zeros((a, 2), np.uint8)[:, 0])
    for out in read_only:
        expect_error(g.encode_planes_into, out, exc=TypeError)
        expect_error(Game.encode_planes_batch, [g], out, exc=TypeError)
        expect_error(Game.transform_planes, bytearray(n), out, 9, 9, 0, exc=TypeError)
    for out in scattered:
        expect_error(g.legal_action_mask_into, out, exc=ValueError)
        expect_error(Game.legal_action_mask_batch, [g], out, exc=ValueError)
        expect_error(Game.transform_policy, out, bytearray(a), 9, 9, 0, exc=ValueError)


def symmetries(rng: random.Random):
    h = w = rng.choice([2, 5, 9])
    planes = array.array("f", range(17 * h * w))
    out = array.array("f", planes)
    policy = bytearray(range(h * w + 1))
    for t in Game.valid_transforms(h, w):
        Game.transform_planes(planes, out, h, w, t)
        Game.transform_planes(out, out, h, w, Game.inverse_transform(t))
        Game.transform_policy(policy, bytearray(len(policy)), h, w, t)
        Game.transform_action(rng.randrange(h * w + 1), h, w, t)
    Game.valid_transforms(3, 5)
    expect_error(Game.transform_planes, planes, out, h, w, 8, exc=ValueError)
    expect_error(Game.transform_planes, planes, out[:-1], h, w, 0, exc=ValueError)
    if np is not None:
        Game.transform_planes(np.asarray(planes), np.empty(len(planes), np.float32), h, w, 0)
    expect_error(Game.transform_policy, policy, policy, 3, 5, 1, exc=ValueError)
    expect_error(Game.transform_action, 10_000, h, w, 0, exc=Exception)
    expect_error(Game.transform_action, 0, 1, 1, 0, exc=ValueError)
    expect_error(Game.inverse_transform, 9, exc=ValueError)
    expect_error(Game.valid_transforms, -1, 3, exc=OverflowError)


def pickling(rng: random.Random):
    g = Game.with_options(rng.choice([2, 7, 19]), 7, 6.5, 0, 300, True)
    for _ in range(rng.randint(0, 30)):
        legal = g.legal_action_indices()
        if not legal:
            break
        g.apply_action(rng.choice(legal))
    data = pickle.dumps(g)
    pickle.loads(data).legal_moves()
    copy.copy(g), copy.deepcopy([g, g])
    pickle.loads(pickle.dumps([Board(3, 3), Move.place(1, 2), Move.pass_move()]))
    state = g.__reduce__()[1][0]
    for _ in range(5):
        bad = bytearray(state)
        if rng.random() < 0.5:
            bad[rng.randrange(len(bad))] ^= 1 << rng.randrange(8)
        else:
            del bad[rng.randrange(len(bad)):]
        try:
            Game._from_state(bytes(bad)).legal_moves()
        except ValueError:
            pass
    expect_error(Game._from_state, b"", exc=ValueError)
    expect_error(Game._from_state, 5, exc=TypeError)
    expect_error(Board._from_state, b"\x00" * 3, exc=ValueError)
    expect_error(GameOutcome._from_code, 3, exc=ValueError)
    GameOutcome._from_code(rng.randrange(3))


def edited_action_lists(rng: random.Random):
    """Lists of legal actions edited by their user, kept or dropped, the game itself put into one."""
    g = Game(9, 9)
    kept = []
    for _ in range(rng.randint(5, 30)):
        legal = g.legal_action_indices()
        action = rng.choice(legal)
        edit = rng.randrange(8)
        if edit == 0:
            legal.append(g)  # a cycle through the list the game keeps for reuse
        elif edit == 1:
            legal.insert(0, object())
        elif edit == 2:
            legal.extend([10**30, "x"])
        elif edit == 3:
            legal.clear()
        elif edit == 4:
            kept.append(legal)
        del legal
        g.apply_action(action)
    del g, kept


def game_batches(rng: random.Random):
    """Every GameBatch method, refusals and re-entry included, with buffers that are not NumPy."""
    size, n = rng.choice([3, 5]), rng.choice([1, 4])
    b = vg.GameBatch(n, size, size, max_moves=12, min_moves_before_pass_possible=0, seed=rng.randrange(100),
                     autoreset=rng.choice(["same_step", "next_step"]), illegal_action=rng.choice(["raise", "lose"]))
    a, planes = size * size + 1, 17 * size * size
    outs = {"obs": bytearray(n * planes), "mask": bytearray(n * a), "reward": array.array("f", bytes(4 * n)),
            "terminated": bytearray(n), "final_obs": array.array("f", bytes(4 * n * planes)),
            "outcome": array.array("b", bytes(n)), "score": array.array("f", bytes(8 * n))}
    for _ in range(rng.randint(1, 6)):
        b.step(b.sample_actions(), **outs)
    b.observe(obs=outs["obs"], mask=outs["mask"])
    b.sample_actions(out=array.array("q", bytes(8 * n)))
    b.rollout(seed=1, outcome=outs["outcome"], length=array.array("I", bytes(4 * n)))
    b.rollout()
    g = b.game(-1)
    b.finished_game(0)
    if not g.is_over():
        b.set_game(0, g)
    b.reset(seed=2), len(b), repr(b), b.width(), b.height(), b.action_size(), b.threads(), b.autoreset()
    pickle.loads(pickle.dumps(b))
    expect_error(b.step, [a] * (n + 1), exc=ValueError)
    expect_error(b.step, [a + 1] * n, exc=ValueError)
    expect_error(b.step, [0] * n, obs=bytearray(1), exc=ValueError)
    expect_error(b.step, [0] * n, mask=bytes(n * a), exc=TypeError)
    expect_error(b.step, ["x"] * n, exc=TypeError)
    expect_error(b.step, [Reenter(lambda: b.game(0))] * n, exc=RuntimeError)
    expect_error(b.set_game, 0, vg.Game(7, 7), exc=ValueError)
    expect_error(b.game, n, exc=IndexError)
    expect_error(vg.GameBatch, 0, 5, 5, exc=ValueError)
    expect_error(vg.GameBatch, 2, 5, 5, autoreset="x", exc=ValueError)
    expect_error(vg.GameBatch._from_state, b"N\x01\x05", exc=ValueError)



_RECORDS = [b"(;SZ[9]KM[6.5]RE[B+R]PB[x\\]y]C[\xff];B[ee](;W[cc];B[])(;W[dd]))", b"(;SZ[9]RE[W+1];B[aa];W[aa])",
            b"(;SZ[0])", b"(;B[aa", b"(;KM[abc]HA[-1];B[aa])"]


def game_records(rng: random.Random):
    data = rng.choice(_RECORDS)
    try:
        records = vg.GameRecord.parse(data, name="leak")
    except ValueError:
        return
    for r in records:
        r.root_properties(), r.main_line(), r.setup(), r.to_sgf(), repr(r), r.notes, r.result
        r.replay(strict=False)
        if data == _RECORDS[0]:
            r.to_game(1).to_sgf(black="b", properties={"EV": ["a", "b"]})
        else:
            expect_error(r.to_game, exc=ValueError)
    g = Game(5, 5)
    g.to_svg(), g._repr_svg_(), Board(3, 4).to_svg(cell=9, coordinates=False)
    expect_error(g.to_sgf, properties={"SZ": "3"}, exc=ValueError)
    expect_error(g.to_svg, cell=2, exc=ValueError)
    ts = vg.TrainingPositions(9)
    ts.add([data, b"junk"], progress=lambda d, t: None)
    n = len(ts)
    if n:
        planes, action = bytearray(n * 17 * 81), array.array("i", bytes(4 * n))
        ts.write(planes, action, random_symmetry=True)
    ts.records()
    expect_error(ts.write, exc=TypeError)
    expect_error(ts.add, [data], progress=lambda d, t: 1 / 0, exc=ZeroDivisionError)


def tree_searches(rng: random.Random):
    """Searches made, run (with NumPy), failed in every way, reset and dropped."""
    from vexlor_go import TreeSearch

    size = rng.choice([3, 5, 9])
    rule = rng.choice(["puct", "gumbel"])
    search = TreeSearch(size, size, rule=rule, num_simulations=rng.randint(1, 12), leaves_per_tree=rng.randint(1, 3),
                        seed=rng.randrange(100))
    expect_error(TreeSearch, size, size, rule="mcts", exc=ValueError)
    expect_error(TreeSearch, size, size, bogus=1, exc=TypeError)
    expect_error(search.search, [], len, exc=ValueError)
    expect_error(search.search, [Board(size, size)], len, exc=TypeError)
    expect_error(pickle.dumps, search, exc=TypeError)
    games = [Game(size, size) for _ in range(rng.randint(1, 4))]
    try:
        import numpy as np
    except ImportError:
        expect_error(search.search, games, len, exc=ImportError)
        return

    def evaluate(planes, masks):
        kind = rng.randrange(4)
        if kind == 0:
            raise KeyError("evaluator")
        if kind == 1:
            return np.zeros(masks.shape), np.zeros(len(masks))
        return np.zeros(masks.shape, np.float32), np.full(len(masks), np.nan if kind == 2 else 0.0, np.float32)

    for _ in range(3):
        try:
            search.search(games, evaluate)
        except (KeyError, TypeError, ValueError):
            pass
    if rng.random() < 0.5:
        search.reset()
    search.tree_bytes()

SCENARIOS = [play_games, edited_action_lists, finished_games, refused_calls, boards, moves, buffers, refused_buffers, symmetries, pickling,
             game_records, game_batches, tree_searches]


@pytest.mark.parametrize("scenario", SCENARIOS, ids=lambda f: f.__name__)
def test_no_growth(scenario):
    rng = random.Random(scenario.__name__)
    for _ in range(WARMUP):
        scenario(rng)
    before = measure()
    for _ in range(ROUNDS):
        scenario(rng)
    after = measure()
    growth = {k: after[k] - before[k] for k in before}
    assert growth["objects"] <= MAX_OBJECTS, growth
    if SANITIZED:
        return
    assert growth["blocks"] <= MAX_BLOCKS, growth
    assert growth["heap"] <= MAX_HEAP_BYTES, growth
    assert growth["rss"] <= MAX_RSS_BYTES, growth


def test_the_meters_see_a_leak():
    """The bounds are not vacuous: objects kept alive, or C heap kept, move the meters."""
    before = measure()
    kept = [(Game(19, 19), []) for _ in range(max(ROUNDS, 200))]
    for g, lists in kept:
        for a in range(60):
            g.apply_action(a)
        lists.append(g.legal_moves())
    after = measure()
    assert after["objects"] - before["objects"] > MAX_OBJECTS or SANITIZED
    if not SANITIZED:
        assert after["blocks"] - before["blocks"] > MAX_BLOCKS
        if HEAP_IN_USE:
            assert after["heap"] - before["heap"] > MAX_HEAP_BYTES
    del kept
