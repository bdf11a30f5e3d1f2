#!/usr/bin/env python3
"""Install throughput: the installer beside `tar -xzf` and `dpkg -i` on the
same tree of about 100 MB and 10,000 files taken from the machine's /usr.

Each tool unpacks into a fresh target root on a tmpfs and on an ext4 file
system in an image on a loop device; every timing runs from the start of the
command to the end of the `sync` that follows it. The tools take turns in
each round (the order rotates), so a change in the machine's load falls on
all of them. Prints medians of wall time and of the tool's own CPU time
(user + system, from wait4), its peak RSS, and the ratios.

Run as root: bench/throughput.py [--runs 5] [--fs tmpfs,ext4] [--no-xz] [--cpus LIST]
             bench/throughput.py --profile DIR   (strace -c and callgrind instead)
"""
import argparse
import os
import sys

import benchlib as B

TREE_BYTES = 100 * 10**6
TREE_FILES = 10000
PACKAGE = "benchtree"

CONTROL = f"""Package: {PACKAGE}
Version: 1.0
Architecture: all
Maintainer: bench <bench@example.invalid>
Description: benchmark tree
"""


def build_inputs(scratch, src, kpk, with_xz):
    paths, size, files, dirs = B.select_usr_tree(TREE_BYTES, TREE_FILES)
    tree = scratch.sub("tree")
    B.copy_selection(paths, tree)
    print(f"tree: {len(paths)} directories of /usr, {size / 1e6:.1f} MB in {files} files "
          f"and symbolic links, {dirs} directories")

    B.kpk_build(kpk, tree, os.path.join(src, "bench.kpk"), PACKAGE, workdir=scratch.path)
    # Same order, owners and times as the package; gzip at its default level 6.
    B.sh("sh", "-c", f"tar --sort=name --owner=0 --group=0 --numeric-owner -C '{tree}' -cf - . "
         f"| gzip -6 -n > '{src}/bench.tar.gz'")
    debroot = scratch.sub("debroot")
    B.sh("cp", "-a", tree + "/.", debroot)
    os.makedirs(os.path.join(debroot, "DEBIAN"))
    with open(os.path.join(debroot, "DEBIAN", "control"), "w") as f:
        f.write(CONTROL)
    B.sh("dpkg-deb", "--root-owner-group", "-Zgzip", "-z6", "--build", debroot,
         os.path.join(src, "bench-gz.deb"), stderr=open(os.devnull, "w"))
    if with_xz:  # dpkg-deb's own default compression
        B.sh("dpkg-deb", "--root-owner-group", "--build", debroot,
             os.path.join(src, "bench-xz.deb"), stderr=open(os.devnull, "w"))
    B.remove_tree(debroot)
    for name in sorted(os.listdir(src)):
        print(f"  {name}: {os.path.getsize(os.path.join(src, name)) / 1e6:.1f} MB")
    return tree


class Tools:
    """One prepare/command/cleanup per tool; the root is fresh every time."""

    def __init__(self, scratch, src, installer, with_xz):
        self.scratch, self.src, self.installer = scratch, src, installer
        self.names = ["installer-file", "installer-pipe", "tar -xzf", "dpkg -i (gzip)"]
        if with_xz:
            self.names.append("dpkg -i (xz)")

    def prepare(self, name, root):
        os.makedirs(root)
        if name.startswith("installer"):
            # The router's root: database, /tmp, and /proc for the scan of
            # files in use; the package file is reached through a read-only
            # bind mount, since the installer opens it after changing root.
            B.make_router_root(root)
            self.scratch.mount(["-t", "proc", "proc"], os.path.join(root, "proc"))
            if name == "installer-file":
                self.scratch.mount(["--bind", "-o", "ro", self.src], os.path.join(root, "src"))
        elif name.startswith("dpkg"):
            admin = os.path.join(root, "var/lib/dpkg")
            for d in ("info", "updates"):
                os.makedirs(os.path.join(admin, d))
            open(os.path.join(admin, "status"), "w").close()

    def command(self, name, root):
        """(argv, keyword arguments of run_timed) of one tool."""
        if name == "installer-file":
            return [self.installer, "-r", root, "/src/bench.kpk"], {}
        if name == "installer-pipe":
            return [self.installer, "-r", root, "-"], {"pipe_from": os.path.join(self.src, "bench.kpk")}
        if name == "tar -xzf":
            return ["tar", "-xzf", os.path.join(self.src, "bench.tar.gz"), "-C", root], {}
        deb = "bench-gz.deb" if "gzip" in name else "bench-xz.deb"
        # This machine's dpkg is configured for unsafe I/O; the peer is the
        # stock one, which syncs each unpacked file.
        return ["dpkg", f"--root={root}", f"--admindir={root}/var/lib/dpkg",
                f"--log={self.scratch.path}/dpkg.log", "--no-force-unsafe-io",
                "-i", os.path.join(self.src, deb)], {}

    def run(self, name, root, wrapper=()):
        argv, kwargs = self.command(name, root)
        return B.run_timed(list(wrapper) + argv, **kwargs)

    def cleanup(self, name, root):
        for sub in ("src", "proc"):
            path = os.path.join(root, sub)
            if os.path.ismount(path):
                self.scratch.unmount(path)
        B.remove_tree(root)
        os.sync()


def count_entries(path):
    n = 0
    for _, dirs, files in os.walk(path):
        n += len(dirs) + len(files)
    return n


def measure(tools, target, runs, expected_entries):
    results = {name: [] for name in tools.names}
    for r in range(runs):
        order = tools.names[r % len(tools.names):] + tools.names[:r % len(tools.names)]
        for name in order:
            root = os.path.join(target, f"root-{r}-{name.split()[0]}")
            tools.prepare(name, root)
            os.sync()
            try:
                t = tools.run(name, root)
                if t.status != 0:
                    sys.exit(f"{name} failed with status {t.status} in {root}")
                if r == 0:  # the tools must have unpacked the same tree
                    got = count_entries(os.path.join(root, "usr"))
                    if got != expected_entries:
                        sys.exit(f"{name}: {got} entries under /usr, expected {expected_entries}")
                results[name].append(t)
            finally:
                tools.cleanup(name, root)
        print(f"  round {r + 1}: " + ", ".join(
            f"{n} {results[n][-1].wall:.2f}s" for n in tools.names) + f"  (load {B.load_average()})",
            flush=True)
    return results


def report(fs, results):
    med = {n: B.median([t.wall for t in ts]) for n, ts in results.items()}
    cpu = {n: B.median([t.cpu for t in ts]) for n, ts in results.items()}
    rss = {n: max(t.maxrss_kib for t in ts) for n, ts in results.items()}
    print(f"\n{fs}: median of {len(next(iter(results.values())))} runs, each including the final sync")
    print(f"  {'tool':<16} {'wall s':>8} {'cpu s':>8} {'max RSS KiB':>12}   all wall times")
    for n in results:
        walls = " ".join(f"{t.wall:.2f}" for t in results[n])
        print(f"  {n:<16} {med[n]:8.3f} {cpu[n]:8.3f} {rss[n]:12d}   {walls}")
    inst, pipe, tar = med["installer-file"], med["installer-pipe"], med["tar -xzf"]
    print(f"  installer / (tar -xzf && sync):     {inst / tar:.3f}  (cpu {cpu['installer-file'] / cpu['tar -xzf']:.3f})")
    print(f"  dpkg -i (gzip) / installer:         {med['dpkg -i (gzip)'] / inst:.3f}")
    if "dpkg -i (xz)" in med:
        print(f"  dpkg -i (xz) / installer:           {med['dpkg -i (xz)'] / inst:.3f}")
    print(f"  installer pipe / file:              {pipe / inst:.3f}  (cpu {cpu['installer-pipe'] / cpu['installer-file']:.3f})")


def profile(scratch, src, installer, out_dir):
    """Where the installer's time goes on a tmpfs: system calls (strace -c),
    beside tar's, and instructions by function (callgrind)."""
    os.makedirs(out_dir, exist_ok=True)
    target = scratch.tmpfs("target-profile", "2G")
    tools = Tools(scratch, src, installer, False)
    runs = [
        ("installer-file", "strace-installer.txt",
         ["strace", "-c", "-f", "-o", os.path.join(out_dir, "strace-installer.txt")]),
        ("installer-pipe", "strace-installer-pipe.txt",
         ["strace", "-c", "-f", "-o", os.path.join(out_dir, "strace-installer-pipe.txt")]),
        ("tar -xzf", "strace-tar.txt",
         ["strace", "-c", "-f", "-o", os.path.join(out_dir, "strace-tar.txt")]),
        ("installer-file", "callgrind.out",
         # The installer changes root before callgrind writes its file, so
         # the file is named by a path inside the root.
         ["valgrind", "--tool=callgrind", "--callgrind-out-file=/tmp/bench-callgrind.out"]),
    ]
    for name, output, wrapper in runs:
        root = os.path.join(target, "root")
        tools.prepare(name, root)
        try:
            t = tools.run(name, root, wrapper)
            print(f"  {name} under {wrapper[0]}: status {t.status}, {t.wall:.1f} s -> {output}",
                  flush=True)
            written = os.path.join(root, "tmp/bench-callgrind.out")
            if wrapper[0] == "valgrind" and os.path.exists(written):
                B.sh("cp", written, os.path.join(out_dir, output))
        finally:
            tools.cleanup(name, root)
    scratch.unmount(target)
    annotated = os.path.join(out_dir, "callgrind-annotate.txt")
    with open(annotated, "w") as f:
        B.subprocess.run(["callgrind_annotate", "--inclusive=no", os.path.join(out_dir, "callgrind.out")],
                         stdout=f, check=False)
    with open(os.path.join(out_dir, "callgrind-inclusive.txt"), "w") as f:
        B.subprocess.run(["callgrind_annotate", "--inclusive=yes", os.path.join(out_dir, "callgrind.out")],
                         stdout=f, check=False)
    print(f"profiles in {out_dir}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--fs", default="tmpfs,ext4", help="tmpfs, ext4 or both (comma-separated)")
    parser.add_argument("--no-xz", action="store_true", help="skip dpkg -i of the xz-compressed .deb")
    parser.add_argument("--cpus", metavar="LIST",
                        help="run every tool on these CPUs only (taskset -c LIST); with one CPU, "
                             "tar and gzip can no longer overlap, as on a one-processor router")
    parser.add_argument("--profile", metavar="DIR",
                        help="instead of timing: strace -c and callgrind profiles of one install into DIR")
    args = parser.parse_args()
    B.need_root()
    installer, kpk = B.program("installer"), B.program("kpk")
    print(f"load average at start: {B.load_average()}")
    if args.cpus:
        B.PIN_CPUS = args.cpus
        print(f"every tool runs on CPU(s) {args.cpus} only")
    with B.Scratch() as scratch:
        src = scratch.tmpfs("src", "1G")
        tree = build_inputs(scratch, src, kpk, not args.no_xz)
        expected = count_entries(os.path.join(tree, "usr"))
        B.remove_tree(tree)
        tools = Tools(scratch, src, installer, not args.no_xz)
        if args.profile:
            profile(scratch, src, installer, os.path.abspath(args.profile))
            return
        for fs in args.fs.split(","):
            print(f"\n== {fs}", flush=True)
            if fs == "tmpfs":
                target = scratch.tmpfs("target-tmpfs", "2G")
            elif fs == "ext4":
                target = scratch.ext4("target-ext4", 2048)
            else:
                sys.exit(f"unknown file system {fs}")
            results = measure(tools, target, args.runs, expected)
            scratch.unmount(target)
            report(fs, results)
    print(f"\nload average at end: {B.load_average()}")


if __name__ == "__main__":
    main()
