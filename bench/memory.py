#!/usr/bin/env python3
"""Peak memory (maximum RSS) of the installer for packages of different
sizes, from a file and from a pipe, on a tmpfs.

  small   about 10 MB in 1,000 files from /usr
  medium  about 100 MB in 10,000 files from /usr (the throughput tree)
  large   the medium tree and four files of 50 MB each: 3x the bytes, the
          same number of files

The file data streams through fixed buffers, so the peak must not follow the
bytes (medium -> large); what does grow with the number of files is the
package's file list, which the installer keeps to write the database record.
RSS is measured by GNU time (the command's own peak, wait4's ru_maxrss).

Run as root: bench/memory.py [--runs 3]
"""
import argparse
import os

import benchlib as B


def big_file(path, size):
    """size bytes of real program and library data from /usr/lib, the same
    on every run: the sorted regular files concatenated, from the start."""
    sources = []
    for top, dirs, files in os.walk("/usr/lib/x86_64-linux-gnu"):
        dirs.sort()
        for name in sorted(files):
            full = os.path.join(top, name)
            if os.path.isfile(full) and not os.path.islink(full):
                sources.append(full)
    left = size
    with open(path, "wb") as out:
        for source in sources:
            with open(source, "rb") as f:
                data = f.read(left)
            out.write(data)
            left -= len(data)
            if left == 0:
                break
    os.utime(path, (1700000000, 1700000000))


def build(scratch, src, kpk):
    packages = []
    for name, target in (("small", (10 * 10**6, 1000)), ("medium", (100 * 10**6, 10000))):
        paths, size, files, _ = B.select_usr_tree(*target)
        tree = scratch.sub("tree-" + name)
        B.copy_selection(paths, tree)
        B.kpk_build(kpk, tree, os.path.join(src, name + ".kpk"), name, workdir=scratch.path)
        packages.append((name, size, files))
    large_tree = tree  # the medium tree, grown by big files
    big = os.path.join(large_tree, "big")
    os.makedirs(big)
    for i in range(4):
        big_file(os.path.join(big, f"part{i}"), 50 * 10**6)
    os.utime(big, (1700000000, 1700000000))
    B.kpk_build(kpk, large_tree, os.path.join(src, "large.kpk"), "large", workdir=scratch.path)
    packages.append(("large", size + 200 * 10**6, files + 4))
    return packages


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    B.need_root()
    installer, kpk = B.program("installer"), B.program("kpk")
    print(f"load average at start: {B.load_average()}")
    with B.Scratch() as scratch:
        src = scratch.tmpfs("src", "1G")
        packages = build(scratch, src, kpk)
        target = scratch.tmpfs("target", "2G")
        print(f"\n{'package':<8} {'MB':>6} {'files':>6} {'kpk MB':>7} "
              f"{'file: max RSS KiB':>18} {'pipe: max RSS KiB':>18}")
        for name, size, files in packages:
            package = os.path.join(src, name + ".kpk")
            rss = {"file": [], "pipe": []}
            for r in range(args.runs):
                for mode in ("file", "pipe"):
                    root = os.path.join(target, "root")
                    B.make_router_root(root)
                    scratch.mount(["-t", "proc", "proc"], os.path.join(root, "proc"))
                    if mode == "file":
                        scratch.mount(["--bind", "-o", "ro", src], os.path.join(root, "src"))
                    try:
                        if mode == "file":
                            t = B.run_timed([installer, "-r", root, f"/src/{name}.kpk"], sync=False)
                        else:
                            t = B.run_timed([installer, "-r", root, "-"], pipe_from=package,
                                            sync=False)
                        if t.status != 0:
                            raise SystemExit(f"installer failed with status {t.status}")
                        rss[mode].append(t.maxrss_kib)
                    finally:
                        for sub in ("src", "proc"):
                            if os.path.ismount(os.path.join(root, sub)):
                                scratch.unmount(os.path.join(root, sub))
                        B.remove_tree(root)
            print(f"{name:<8} {size / 1e6:6.1f} {files:6d} {os.path.getsize(package) / 1e6:7.1f} "
                  f"{max(rss['file']):18d} {max(rss['pipe']):18d}", flush=True)
        # The floor: the same binary that only prints its usage line.
        t = B.run_timed([installer, "--usage"], sync=False)
        print(f"\ninstaller printing its usage line (no package): {t.maxrss_kib} KiB")
    print(f"load average at end: {B.load_average()}")


if __name__ == "__main__":
    main()
