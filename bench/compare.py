#!/usr/bin/env python3
"""Two installer builds side by side: the same ~100 MB tree of the
throughput benchmark, installed by each build from the package file and from
a pipe, taking turns in every round, on a tmpfs (or ext4 on a loop device).
Prints the medians of wall and CPU time and the ratios new / old, so a change
can be judged on the same data in the same run.

Run as root: bench/compare.py OLD-INSTALLER NEW-INSTALLER [--runs 9] [--fs tmpfs|ext4] [--cpus LIST]
"""
import argparse
import os
import sys

import benchlib as B
import throughput as T


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--fs", default="tmpfs", choices=("tmpfs", "ext4"))
    parser.add_argument("--cpus")
    args = parser.parse_args()
    B.need_root()
    B.PIN_CPUS = args.cpus
    builds = {"old": os.path.abspath(args.old), "new": os.path.abspath(args.new)}
    for path in builds.values():
        if not os.access(path, os.X_OK):
            sys.exit(f"{path} is not an executable")

    with B.Scratch() as scratch:
        src = scratch.sub("src")
        data = scratch.tmpfs("data", "400m")
        tree = os.path.join(data, "tree")
        paths, size, files, dirs = B.select_usr_tree(T.TREE_BYTES, T.TREE_FILES)
        B.copy_selection(paths, tree)
        B.kpk_build(B.program("kpk"), tree, os.path.join(src, "bench.kpk"), T.PACKAGE,
                    workdir=scratch.path)
        B.remove_tree(tree)
        print(f"tree: {size / 1e6:.1f} MB in {files} files, {dirs} directories; "
              f"load {B.load_average()}")
        target = scratch.tmpfs("target", "600m") if args.fs == "tmpfs" else scratch.ext4("target", 1024)

        # One Tools object per build; each knows how to prepare a router root.
        tools = {label: T.Tools(scratch, src, path, with_xz=False) for label, path in builds.items()}
        runs = {(label, mode): [] for label in builds for mode in ("file", "pipe")}
        for r in range(args.runs):
            order = list(runs)
            order = order[r % len(order):] + order[:r % len(order)]
            for label, mode in order:
                name = "installer-" + mode
                root = os.path.join(target, f"root-{label}-{mode}")
                tools[label].prepare(name, root)
                os.sync()
                try:
                    t = tools[label].run(name, root)
                    if t.status != 0:
                        sys.exit(f"{label} {mode} failed with status {t.status}")
                    runs[(label, mode)].append(t)
                finally:
                    tools[label].cleanup(name, root)
            print(f"  round {r + 1}: " + ", ".join(
                f"{l}-{m} {v[-1].wall:.3f}s/{v[-1].cpu:.3f}" for (l, m), v in runs.items()) +
                f"  (load {B.load_average()})", flush=True)

    print(f"\n{args.fs}, median of {args.runs} runs (wall s / CPU s, each with the final sync)")
    med = {}
    for key, ts in runs.items():
        med[key] = (B.median([t.wall for t in ts]), B.median([t.cpu for t in ts]))
        print(f"  {key[0]:>3} {key[1]:<4}  {med[key][0]:.3f} / {med[key][1]:.3f}")
    for mode in ("file", "pipe"):
        (ow, oc), (nw, nc) = med[("old", mode)], med[("new", mode)]
        print(f"  new / old, {mode}: wall {nw / ow:.3f}, CPU {nc / oc:.3f}")
    for label in builds:
        (fw, fc), (pw, pc) = med[(label, "file")], med[(label, "pipe")]
        print(f"  {label} pipe / file: wall {pw / fw:.3f}, CPU {pc / fc:.3f}")


if __name__ == "__main__":
    main()
