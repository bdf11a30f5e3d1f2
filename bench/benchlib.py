"""Helpers shared by the benchmarks: scratch directories with their mounts,
timed runs, scratch router roots and tree selection.

Everything happens below one scratch directory made with mkdtemp; every
mount and loop device made here is undone when the scratch closes, also
after a failure or Ctrl-C. The installer always runs with "-r <scratch root>".
"""
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
BUILD_DIR = os.environ.get("BENCH_BUILD_DIR") or os.path.join(SOURCE_DIR, "build-bench")


def program(name):
    for sub in ("installer", "tools"):
        path = os.path.join(BUILD_DIR, sub, name)
        if os.path.exists(path):
            return path
    sys.exit(f"{name} is not built under {BUILD_DIR}; build it first (see bench/README.md)")


def need_root():
    if os.geteuid() != 0:
        sys.exit("run as root: the installer changes root, and the benchmarks mount file systems")


def sh(*args, **kwargs):
    """Runs a command that must succeed; returns its standard output."""
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, **kwargs).stdout


def load_average():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def median(values):
    return statistics.median(values)


class Scratch:
    """A scratch directory that remembers its mounts and loop devices and
    undoes them (newest first) when closed."""

    def __init__(self, prefix="tess-bench."):
        base = os.environ.get("BENCH_SCRATCH") or "/var/tmp"
        self.path = tempfile.mkdtemp(prefix=prefix, dir=base)
        self._undo = []  # (kind, argument), newest last

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def sub(self, *parts):
        path = os.path.join(self.path, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    def mount(self, args, target):
        """mount ARGS... TARGET, with TARGET inside the scratch directory."""
        self._check_inside(target)
        os.makedirs(target, exist_ok=True)
        sh("mount", *args, target)
        self._undo.append(("umount", target))
        return target

    def unmount(self, target):
        for i in range(len(self._undo) - 1, -1, -1):
            if self._undo[i] == ("umount", target):
                del self._undo[i]
                subprocess.run(["umount", target], check=True)
                return
        raise ValueError(f"{target} was not mounted here")

    def tmpfs(self, name, size):
        return self.mount(["-t", "tmpfs", "-o", f"size={size}", "tmpfs"], self.sub(name))

    def ext4(self, name, size_mib):
        """An ext4 file system in an image file on a loop device, mounted."""
        image = os.path.join(self.path, name + ".img")
        with open(image, "wb") as f:
            f.truncate(size_mib << 20)
        sh("mkfs.ext4", "-q", "-F", image)
        # Direct I/O keeps the image's pages out of the host's page cache
        # twice over, so the loop device writes through like a disk.
        try:
            device = sh("losetup", "--find", "--show", "--direct-io=on", image,
                        stderr=subprocess.DEVNULL).decode().strip()
        except subprocess.CalledProcessError:
            device = sh("losetup", "--find", "--show", image).decode().strip()
        self._undo.append(("detach", device))
        return self.mount([device], self.sub(name))

    def close(self):
        errors = []
        while self._undo:
            kind, arg = self._undo.pop()
            command = ["umount", arg] if kind == "umount" else ["losetup", "-d", arg]
            for attempt in range(5):
                if subprocess.run(command, stderr=subprocess.DEVNULL).returncode == 0:
                    break
                time.sleep(0.5)
            else:
                errors.append(" ".join(command))
        if errors:
            print("could not undo: " + "; ".join(errors) + f" (scratch kept: {self.path})",
                  file=sys.stderr)
            return
        shutil.rmtree(self.path, ignore_errors=True)

    def _check_inside(self, path):
        real = os.path.realpath(path)
        if not (real + "/").startswith(os.path.realpath(self.path) + "/"):
            raise ValueError(f"{path} is outside the scratch directory")


def make_router_root(root):
    """The directories the installer needs in a root: the database, /tmp for
    parked files, the queues, and /proc for the scan of files in use."""
    for d in ("var/pdb", "var/deinstall", "var/pckg", "tmp", "proc", "dev"):
        os.makedirs(os.path.join(root, d), exist_ok=True)


def remove_tree(path):
    """rm -rf; faster than shutil on large trees."""
    if os.path.exists(path):
        subprocess.run(["rm", "-rf", "--one-file-system", path], check=True)


class Timed:
    """Result of one timed command: wall seconds (including the sync that
    followed), the child's user+system CPU seconds and its peak RSS in KiB."""

    def __init__(self, wall, cpu, maxrss_kib, status):
        self.wall, self.cpu, self.maxrss_kib, self.status = wall, cpu, maxrss_kib, status


# When set (a taskset CPU list such as "1"), every timed command and the
# `cat` that feeds a pipe run on these CPUs only.
PIN_CPUS = None


def run_timed(argv, stdin_path=None, pipe_from=None, sync=True, cwd=None):
    """Runs argv with stdout and stderr to /dev/null and waits with wait4.

    stdin_path: a file on standard input (a regular file descriptor);
    pipe_from: a file fed through `cat` and a pipe. The wall time runs from
    the start to the end of the final sync when sync is set."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    rss_fd, rss_file = tempfile.mkstemp(prefix="bench-rss.")
    os.close(rss_fd)
    stdin_fd = None
    feeder = None
    try:
        start = time.perf_counter()
        pin = ["taskset", "-c", PIN_CPUS] if PIN_CPUS else []
        if pipe_from:
            feeder = subprocess.Popen(pin + ["cat", pipe_from], stdout=subprocess.PIPE)
            stdin_fd = feeder.stdout
        elif stdin_path:
            stdin_fd = open(stdin_path, "rb")
        else:
            stdin_fd = subprocess.DEVNULL
        # GNU time reports the peak RSS of the command alone: a child forked
        # by this Python process would carry the interpreter's RSS over exec.
        child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", rss_file] + pin + argv,
                                 stdin=stdin_fd, stdout=devnull, stderr=devnull, cwd=cwd)
        if feeder:
            feeder.stdout.close()
        _, wait_status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(wait_status)
        if feeder:
            feeder.wait()
        if sync:
            os.sync()
        wall = time.perf_counter() - start
        with open(rss_file) as f:
            maxrss = int(f.read().split()[-1]) if child.returncode == 0 else -1
    finally:
        os.close(devnull)
        os.unlink(rss_file)
        if stdin_path and stdin_fd:
            stdin_fd.close()
    return Timed(wall, usage.ru_utime + usage.ru_stime, maxrss, child.returncode)


# ------------------------------------------------------------ tree selection

def _directory_stats(path):
    """(bytes of regular files, count of non-directory entries, directories),
    or None when the directory holds something a package cannot carry."""
    size = files = dirs = 0
    for top, subdirs, names in os.walk(path, followlinks=False):
        dirs += 1
        for name in subdirs:
            full = os.path.join(top, name)
            if os.path.islink(full):
                files += 1
        for name in names:
            full = os.path.join(top, name)
            try:
                st = os.lstat(full)
            except OSError:
                return None
            if os.path.islink(full):
                files += 1
            elif os.path.isfile(full):
                if not os.access(full, os.R_OK) or st.st_size >= 1 << 31:
                    return None
                size += st.st_size
                files += 1
            else:
                return None  # sockets, devices, FIFOs: not in this benchmark
    return size, files, dirs


def select_usr_tree(target_bytes, target_files, tops=("/usr/include", "/usr/lib", "/usr/share")):
    """Chooses whole subdirectories of the machine's /usr until about
    target_bytes and target_files are reached.

    Candidates are the subdirectories two levels down (/usr/share/X), taken
    in the order of the SHA-1 of their paths, which mixes headers, libraries
    and data and is the same on every run on the same machine. A candidate
    is taken when neither total then exceeds its target by more than 5%,
    when it is no larger than a sixth of a target, and when it keeps the
    totals' shares of their targets within 10% of each other (or brings them
    closer); the choice ends when both totals reach 95% of their targets. Returns (paths, bytes, files, directories)."""
    candidates = []
    for top in tops:
        for name in sorted(os.listdir(top)):
            full = os.path.join(top, name)
            if os.path.isdir(full) and not os.path.islink(full):
                candidates.append(full)
    candidates.sort(key=lambda p: hashlib.sha1(p.encode()).hexdigest())
    chosen, size, files, dirs = [], 0, 0, 0
    for path in candidates:
        if size >= 0.95 * target_bytes and files >= 0.95 * target_files:
            break
        stats = _directory_stats(path)
        if not stats:
            continue
        s, f, d = stats
        if s > target_bytes / 6 or f > target_files / 6:
            continue
        if size + s > 1.05 * target_bytes or files + f > 1.05 * target_files:
            continue
        # Keep the two totals in step, so that neither fills up first.
        gap = size / target_bytes - files / target_files
        new_gap = (size + s) / target_bytes - (files + f) / target_files
        if abs(new_gap) > 0.1 and abs(new_gap) >= abs(gap):
            continue
        chosen.append(path)
        size, files, dirs = size + s, files + f, dirs + d
    return sorted(chosen), size, files, dirs


def copy_selection(paths, tree):
    """Copies the chosen directories to tree/<same path>, keeping modes and
    times; hard links become separate files (a package has no hard links)."""
    for path in paths:
        target = os.path.join(tree, path.lstrip("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copytree(path, target, symlinks=True)
    # Parent directories made above get the times of their sources, so the
    # tree's bytes are the same on every run.
    parents = set()
    for path in paths:
        parent = os.path.dirname(path)
        while parent != "/":
            parents.add(parent)
            parent = os.path.dirname(parent)
    for parent in sorted(parents, key=len, reverse=True):
        st = os.stat(parent)
        os.utime(os.path.join(tree, parent.lstrip("/")), (st.st_mtime, st.st_mtime))


def write_description(path, name, version="1.0"):
    with open(path, "w") as f:
        f.write(f"name: {name}\nversion: {version}\nbuild-time: 1700000000\n"
                f"description: benchmark package\n")


def kpk_build(kpk, tree, output, name, version="1.0", workdir=None):
    desc = os.path.join(workdir or os.path.dirname(output), name + ".desc")
    write_description(desc, name, version)
    sh(kpk, "build", "--reproducible", desc, tree, output)
    return output
