"""A failed allocation inside any call that changes a game raises MemoryError
and leaves the game exactly as it was. A small shared library, preloaded into
a child interpreter, replaces C++ operator new so that the k-th allocation
from a chosen moment fails; each operation is tried with every k until it
completes."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

SHIM = r"""
#include <cstdlib>
#include <new>

static long countdown = 0;  // > 0: allocations left before one fails

extern "C" __attribute__((visibility("default"))) void vexlor_test_fail_allocation(long k) { countdown = k; }

static void* allocate(std::size_t n) {
  if (countdown > 0 && --countdown == 0) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try { return allocate(n); } catch (...) { return nullptr; }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try { return allocate(n); } catch (...) { return nullptr; }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
"""

CHILD = textwrap.dedent(
    """
    import ctypes, json, pickle, sys
    import vexlor_go as vg

    arm = ctypes.CDLL(None).vexlor_test_fail_allocation
    arm.argtypes = [ctypes.c_long]

    def view(g):
        return (g.__reduce__()[1][0], str(g), repr(g), hash(g), g.legal_action_indices(), g.is_over(),
                repr(g.outcome()), g.encode_game_planes())

    def fail_each_allocation(make, op):
        # Every k: a fresh game, the k-th allocation of op fails. Returns the failures.
        for k in range(1, 10000):
            g = make()
            before = view(g)
            arm(k)
            try:
                op(g)
            except MemoryError:
                arm(0)
                assert view(g) == before, f"allocation {k} failed and the game changed"
                # It keeps playing: every legal move makes and unmakes cleanly.
                for m in g.legal_moves():
                    assert g.make_move(m) and g.unmake_move()
                assert view(g) == before
                continue
            finally:
                arm(0)
            return k - 1
        raise AssertionError("the operation never completed")

    def mid_game(edits=False):
        # 32 placements: the next move outgrows every record a game keeps.
        g = vg.Game.with_options(9, 9, 7.5, 0, 243, True)
        for i in range(32):
            legal = g.legal_action_indices()
            assert g.apply_action(legal[(7 * i) % (len(legal) - 1)])
        if edits:
            g.set_piece(0, 8, vg.WHITE)
        return g

    saved = mid_game(edits=True).__reduce__()[1][0]

    ops = {
        "first placement": (lambda: vg.Game(19, 19), lambda g: g.make_move(vg.Move.place(3, 3))),
        "placement": (mid_game, lambda g: g.apply_action(23)),
        "pass": (mid_game, lambda g: g.make_move(vg.Move.pass_move())),
        "unmake after an edit": (lambda: mid_game(edits=True), lambda g: g.unmake_move()),
        "set_piece": (mid_game, lambda g: g.set_piece(4, 4, None)),
        "legal listing": (mid_game, lambda g: g.legal_moves()),
        "loading": (mid_game, lambda g: vg.Game._from_state(saved)),
        "pickling": (mid_game, lambda g: pickle.dumps(g)),
    }
    failures = {name: fail_each_allocation(make, op) for name, (make, op) in ops.items()}
    print(json.dumps(failures))
    """
)


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    if os.environ.get("VEXLOR_SANITIZED") == "1":
        pytest.skip("the sanitizer runtime owns operator new")
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the allocation shim")
    d = tmp_path_factory.mktemp("shim")
    (d / "shim.cpp").write_text(SHIM)
    lib = d / "libfailnew.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(lib), str(d / "shim.cpp")], check=True)
    return lib


def test_failed_allocations_leave_games_intact(shim):
    env = dict(os.environ)
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(shim)]))
    out = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr[-3000:]
    failures = json.loads(out.stdout.strip().splitlines()[-1])
    # Each operation that changes a game met failed allocations (the shim is live).
    assert all(n > 0 for name, n in failures.items() if name != "legal listing"), failures
