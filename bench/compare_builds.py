"""Two or more builds of vexlor_go side by side in one process, with OpenSpiel.

A change to the engine or the binding is judged by the README's Python figures;
run one after the other on a shared machine, two builds differ by more than the
change. Here each build is loaded from its own folder (the module keeps its state
per module object, so several load side by side), and every cell runs interleaved:
the random-play loop of python_bench.py on 9x9 and 19x19 and the search pattern.

    pip install --no-deps --target /tmp/old <old checkout>   # likewise /tmp/new
    python bench/compare_builds.py /tmp/old /tmp/new [--reps 7] [--budget 0.5]

Ratios are against the first build.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import python_bench as pb  # noqa: E402


def load_build(folder: str):
    """The vexlor_go extension found in `folder`, loaded under its own name but not registered."""
    for name in sorted(os.listdir(folder)):
        if name.startswith("vexlor_go") and name.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
            path = os.path.join(folder, name)
            loader = importlib.machinery.ExtensionFileLoader("vexlor_go", path)
            spec = importlib.util.spec_from_file_location("vexlor_go", path, loader=loader)
            module = importlib.util.module_from_spec(spec)
            loader.exec_module(module)
            return module
    sys.exit(f"no vexlor_go extension in {folder}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("builds", nargs="+", help="folders holding a built vexlor_go extension")
    ap.add_argument("--reps", type=int, default=7)
    ap.add_argument("--budget", type=float, default=0.5, help="seconds per cell and repetition")
    ap.add_argument("--sizes", type=int, nargs="+", default=[9, 19])
    args = ap.parse_args()

    builds = [(f"build {i}", load_build(folder)) for i, folder in enumerate(args.builds)]
    peers, missing = pb.import_peers()
    peers.pop("pettingzoo", None)

    cells = []
    for n in args.sizes:
        for label, vx in builds:
            cells.append(pb.Cell((label, f"{n}x{n} loop SK on"), pb.random_cell(pb.vexlor_player(vx, n, True))))
            cells.append(pb.Cell((label, f"{n}x{n} loop SK off"), pb.random_cell(pb.vexlor_player(vx, n, False))))
        if "openspiel" in peers:
            factory, _ = pb.openspiel_player(peers["openspiel"], n)
            cells.append(pb.Cell(("openspiel", f"{n}x{n} loop SK on"), pb.random_cell(factory)))
    search = {}
    for label, vx in builds:
        search[label] = [c for c in pb.search_cells(vx, {}, 0)[0] if "unmake" in c.key[1]]
        for c in search[label]:
            cells.append(pb.Cell((label, f"search {c.key[0]}"), c.run))
    pb.run_interleaved(cells, args.reps, args.budget, warmup=True)

    by_key = {c.key: c for c in cells}
    figures = sorted({k[1] for k in by_key}, key=lambda f: [k[1] for k in by_key].index(f))
    header = ["figure"] + [f"{label} ({folder})" for (label, _), folder in zip(builds, args.builds)]
    header += [f"{label} / build 0" for label, _ in builds[1:]] + ["build 0 / OpenSpiel", "last / OpenSpiel"]
    rows = []
    for f in figures:
        loop = "loop" in f
        metric = "steps_s" if loop else "us"
        vals = [by_key[(label, f)].median(metric) for label, _ in builds]
        row = [f + (" (steps/s)" if loop else " (µs per move)")]
        row += [pb.fmt(v, 0 if loop else 3) + " " + by_key[(label, f)].spread(metric) for v, (label, _) in zip(vals, builds)]
        # "times as fast as build 0": throughput over throughput, or time under time
        row += [pb.ratio(v, vals[0]) if loop else pb.ratio(vals[0], v) for v in vals[1:]]
        spiel = by_key.get(("openspiel", f))
        s = spiel.median("steps_s") if spiel else None
        row += [pb.ratio(vals[0], s), pb.ratio(vals[-1], s)] if loop else ["", ""]
        rows.append(row)
    print(pb.table(header, rows))
    if missing:
        print("\nnot measured: " + "; ".join(f"{k}: {v}" for k, v in missing.items()))


if __name__ == "__main__":
    main()
