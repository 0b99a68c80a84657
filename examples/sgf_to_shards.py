#!/usr/bin/env python3
"""Turn a folder of SGF game records into compressed training shards.

Every position of every record's main line becomes one example:

    planes   uint8   (N, 17, H, W)  input planes, seen from the side to move
    action   int32   (N,)           the move played there (H * W is a pass): policy target
    value    float32 (N,)           the record's result for the player to move: 1, -1 or 0

written to shard-00000.npz, shard-00001.npz, ... of at most --shard-size positions:

    python examples/sgf_to_shards.py games/ shards/ --size 19 --threads 2 --shard-size 100000
    data = numpy.load("shards/shard-00000.npz"); data["planes"].shape

Records that cannot be used (unreadable, another board size, no result, an
illegal move) are skipped and listed at the end. Needs NumPy.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

try:
    import numpy as np
except ImportError:
    sys.exit("this example needs NumPy: pip install numpy")

import vexlor_go as vg


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("source", type=Path, help="folder searched recursively for *.sgf")
    ap.add_argument("out", type=Path, help="folder for the shards")
    ap.add_argument("--size", type=int, default=19, help="board size of the records kept (default 19)")
    ap.add_argument("--shard-size", type=int, default=100_000, help="positions per shard")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--symmetry", action="store_true", help="a random board symmetry per position")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--no-progress", action="store_true")
    args = ap.parse_args(argv)

    files = sorted(p for p in args.source.rglob("*") if p.suffix.lower() == ".sgf")
    if not files:
        print(f"no .sgf files under {args.source}", file=sys.stderr)
        return 1
    start = time.perf_counter()
    positions = vg.TrainingPositions(args.size, threads=args.threads)
    progress = None if args.no_progress else sys.stderr.isatty() or (lambda done, total: print(
        f"records {done}/{total}", file=sys.stderr))
    positions.add(files, progress=progress)
    args.out.mkdir(parents=True, exist_ok=True)
    total, shards = len(positions), 0
    for first in range(0, total, args.shard_size):
        n = min(args.shard_size, total - first)
        planes = np.empty((n, vg.TOTAL_INPUT_PLANES, args.size, args.size), np.uint8)
        action = np.empty(n, np.int32)
        value = np.empty(n, np.float32)
        positions.write(planes, action, value, first=first, random_symmetry=args.symmetry, seed=args.seed,
                        threads=args.threads)
        np.savez_compressed(args.out / f"shard-{shards:05d}.npz", planes=planes, action=action, value=value)
        shards += 1
        print(f"shards {shards} ({first + n}/{total} positions)", file=sys.stderr)
    skipped = positions.records(skipped_only=True)
    for r in skipped:
        print(f"skipped ({r['skipped']}): {r['message']}", file=sys.stderr)
    elapsed = time.perf_counter() - start
    print(f"records    {len(files)} files, {len(positions.records()) - len(skipped)} games used, "
          f"{len(skipped)} skipped")
    print(f"positions  {total} in {shards} shards under {args.out}")
    print(f"time       {elapsed:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
