#!/usr/bin/env python3
"""How the installer's run time grows with the number of installed packages.

Scratch roots hold 100, 300 and 1,000 installed packages of 100 files each
(the roots are made by installing the packages one by one into one root and
copying it at each size). Package pkgNNNN places 10 files in the shared
/usr/lib and 90 in its own /usr/share/pkgNNNN, and every package but pkg0000
depends on pkg0000. On each root the benchmark times:

  idle     `installer -r ROOT`: the queue job with nothing queued
  install  `installer -r ROOT /src/extra.kpk`: one more package of 100 files
  remove   `installer -r ROOT` with /var/deinstall/pkg0050: the queue job
           removing one package

Each figure is the median over fresh copies of the root, on a tmpfs, with
/proc mounted in the root (the installer scans it for files in use). Wall
time includes the installer's own sync() calls; CPU time is the installer's
user + system time, which the machine's other load disturbs less.

Run as root: bench/scale.py [--runs 5] [--sizes 100,300,1000]
"""
import argparse
import os
import time

import benchlib as B

FILES_PER_PACKAGE = 100
SHARED_FILES = 10
MTIME = 1700000000


def make_tree(tree, name):
    """The 100 files of one package: small text files of a few hundred bytes."""
    lib = os.path.join(tree, "usr/lib")
    share = os.path.join(tree, "usr/share", name)
    os.makedirs(lib)
    os.makedirs(share)
    for k in range(FILES_PER_PACKAGE):
        if k < SHARED_FILES:
            path = os.path.join(lib, f"lib{name}-{k}.so")
        else:
            path = os.path.join(share, f"file{k:02d}.conf")
        with open(path, "w") as f:
            f.write(f"# {name} file {k}\n" + "option value\n" * (k % 20 + 5))
        os.utime(path, (MTIME, MTIME))
    for d in (share, lib, os.path.dirname(share), os.path.dirname(lib), os.path.join(tree, "usr")):
        os.utime(d, (MTIME, MTIME))


def build_package(scratch, kpk, src, name, depends):
    tree = os.path.join(scratch.path, "trees", name)
    make_tree(tree, name)
    desc = os.path.join(scratch.path, "trees", name + ".desc")
    with open(desc, "w") as f:
        f.write(f"name: {name}\nversion: 1.0\nbuild-time: {MTIME}\n")
        if depends:
            f.write(f"depends: {depends} >= 1.0\n")
    B.sh(kpk, "build", "--reproducible", desc, tree, os.path.join(src, name + ".kpk"))
    B.remove_tree(tree)


class Root:
    """A router root with /proc and the package directory mounted while the
    installer runs in it."""

    def __init__(self, scratch, path, src):
        self.scratch, self.path, self.src = scratch, path, src

    def __enter__(self):
        B.make_router_root(self.path)
        self.scratch.mount(["-t", "proc", "proc"], os.path.join(self.path, "proc"))
        self.scratch.mount(["--bind", "-o", "ro", self.src], os.path.join(self.path, "src"))
        return self

    def __exit__(self, *exc):
        for sub in ("src", "proc"):
            self.scratch.unmount(os.path.join(self.path, sub))

    def installer(self, installer, *args, wrapper=()):
        t = B.run_timed(list(wrapper) + [installer, "-r", self.path] + list(args), sync=False)
        if t.status != 0:
            raise SystemExit(f"installer {' '.join(args)} failed with status {t.status} in {self.path}")
        return t


def make_snapshots(scratch, installer, src, sizes, target):
    """Installs pkg0000... one by one; copies the root at each size."""
    building = os.path.join(target, "building")
    snapshots = {}
    started = time.perf_counter()
    last_report = started
    installed = 0
    for n in sorted(sizes):
        with Root(scratch, building, src) as root:
            while installed < n:
                root.installer(installer, f"/src/pkg{installed:04d}.kpk")
                installed += 1
                if time.perf_counter() - last_report > 30:
                    last_report = time.perf_counter()
                    print(f"  {installed} installed, {last_report - started:.0f} s", flush=True)
        snapshots[n] = os.path.join(target, f"snapshot-{n}")
        B.sh("cp", "-a", building, snapshots[n])
        print(f"  snapshot of {n} packages after {time.perf_counter() - started:.0f} s", flush=True)
    B.remove_tree(building)
    return snapshots


def check_listed(root, name, expected):
    present = os.path.isdir(os.path.join(root, "var/pdb", name))
    if present != expected:
        raise SystemExit(f"{name} {'missing from' if expected else 'still in'} the database of {root}")


def run_job(scratch, installer, src, snapshot, target, job, wrapper=()):
    """One job on a fresh copy of the snapshot; returns the root's path
    (removed by the caller) and the timing."""
    root_path = os.path.join(target, "measured")
    B.sh("cp", "-a", snapshot, root_path)
    with Root(scratch, root_path, src) as root:
        if job == "idle":
            t = root.installer(installer, wrapper=wrapper)
        elif job == "install":
            t = root.installer(installer, "/src/extra.kpk", wrapper=wrapper)
            check_listed(root_path, "extra", True)
        else:
            open(os.path.join(root_path, "var/deinstall/pkg0050"), "w").close()
            t = root.installer(installer, wrapper=wrapper)
            check_listed(root_path, "pkg0050", False)
    return root_path, t


def measure(scratch, installer, src, snapshot, target, runs):
    results = {"idle": [], "install": [], "remove": []}
    for r in range(runs):
        for job in ("idle", "install", "remove"):
            root_path, t = run_job(scratch, installer, src, snapshot, target, job)
            results[job].append(t)
            B.remove_tree(root_path)
    return results


def profile(scratch, installer, src, snapshot, target, out_dir):
    """callgrind and strace -c of each job on the largest root. The installer
    changes root before callgrind writes its file, so the file is named by a
    path inside the root and copied out afterwards."""
    os.makedirs(out_dir, exist_ok=True)
    for job in ("idle", "install", "remove"):
        for tool, wrapper in (
                ("callgrind", ["valgrind", "--tool=callgrind",
                               "--callgrind-out-file=/tmp/bench-callgrind.out"]),
                ("strace", ["strace", "-c", "-f", "-o", os.path.join(out_dir, f"strace-{job}.txt")])):
            root_path, t = run_job(scratch, installer, src, snapshot, target, job, wrapper)
            if tool == "callgrind":
                out = os.path.join(out_dir, f"callgrind-{job}.out")
                B.sh("cp", os.path.join(root_path, "tmp/bench-callgrind.out"), out)
                with open(os.path.join(out_dir, f"callgrind-{job}-inclusive.txt"), "w") as f:
                    B.subprocess.run(["callgrind_annotate", "--inclusive=yes", out], stdout=f)
            print(f"  {job} under {tool}: {t.wall:.1f} s", flush=True)
            B.remove_tree(root_path)
    print(f"profiles in {out_dir}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="100,300,1000")
    parser.add_argument("--profile", metavar="DIR",
                        help="instead of timing: callgrind and strace -c of each job on the "
                             "largest root, into DIR")
    args = parser.parse_args()
    sizes = sorted(int(s) for s in args.sizes.split(","))
    B.need_root()
    installer, kpk = B.program("installer"), B.program("kpk")
    print(f"load average at start: {B.load_average()}")
    with B.Scratch() as scratch:
        src = scratch.tmpfs("src", "1G")
        target = scratch.tmpfs("target", "6G")
        started = time.perf_counter()
        for i in range(sizes[-1]):
            build_package(scratch, kpk, src, f"pkg{i:04d}", "pkg0000" if i else None)
        build_package(scratch, kpk, src, "extra", "pkg0000")
        print(f"built {sizes[-1] + 1} packages in {time.perf_counter() - started:.0f} s", flush=True)
        snapshots = make_snapshots(scratch, installer, src, sizes, target)

        if args.profile:
            profile(scratch, installer, src, snapshots[sizes[-1]], target,
                    os.path.abspath(args.profile))
            return
        table = {}
        for n in sizes:
            table[n] = measure(scratch, installer, src, snapshots[n], target, args.runs)
            print(f"  measured {n} packages (load {B.load_average()})", flush=True)

        print(f"\nmedian of {args.runs} runs; wall s / installer CPU s; files installed = packages x {FILES_PER_PACKAGE}")
        print(f"{'packages':>8} {'idle':>16} {'install one':>16} {'remove one':>16}")
        for n in sizes:
            cells = []
            for job in ("idle", "install", "remove"):
                ts = table[n][job]
                cells.append(f"{B.median([t.wall for t in ts]):.3f} / {B.median([t.cpu for t in ts]):.3f}")
            print(f"{n:8d} " + " ".join(f"{c:>16}" for c in cells))
        first, last = sizes[0], sizes[-1]
        print(f"\ngrowth from {first} to {last} packages ({last / first:.0f}x), CPU time:")
        for job in ("idle", "install", "remove"):
            a = B.median([t.cpu for t in table[first][job]])
            b = B.median([t.cpu for t in table[last][job]])
            per = (b - a) / (last - first) * 1000
            print(f"  {job:<8} {b / a:6.2f}x   {per:.3f} ms of CPU per added package")
        rss = {n: max(t.maxrss_kib for t in table[n]["idle"]) for n in sizes}
        print("max RSS of the idle run, KiB: " + ", ".join(f"{n}: {rss[n]}" for n in sizes))
    print(f"load average at end: {B.load_average()}")


if __name__ == "__main__":
    main()
