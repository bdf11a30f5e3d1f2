"""The scenario tier's fixtures: the built programs run black-box, every installer run with -r <scratch root>."""
import os
import shutil
import subprocess

import pytest

SOURCE_DIR = os.environ.get("TESS_SOURCE_DIR") or os.path.join(os.path.dirname(__file__), "..", "..")
BUILD_DIR = os.environ.get("TESS_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")
# Programs of the router's i386 build run through an emulator: TESS_EMULATOR=qemu-i386-static.
EMULATOR = os.environ.get("TESS_EMULATOR", "").split()
# The leak checker needs /proc, which a changed root does not have.
QUIET_LEAKS = dict(os.environ, ASAN_OPTIONS=(os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0").lstrip(":"))


def program(name):
    """Path of a built program: installer, kpk."""
    for sub in ("installer", "tools", "setup"):
        path = os.path.join(BUILD_DIR, sub, name)
        if os.path.exists(path):
            return path
    raise FileNotFoundError(f"{name} is not built under {BUILD_DIR}")


def run(args, stdin=None, timeout=60, cwd=None):
    """Runs a command; returns (status, stdout, stderr) as text."""
    if isinstance(stdin, str):
        stdin = stdin.encode()
    if EMULATOR and args and str(args[0]).startswith(os.path.abspath(BUILD_DIR)):
        args = EMULATOR + list(args)
    proc = subprocess.run(args, input=stdin, capture_output=True, timeout=timeout, cwd=cwd, env=QUIET_LEAKS)
    return (proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1"))


def needs_root():
    return pytest.mark.skipif(os.geteuid() != 0, reason="needs root")


def copy_with_libraries(binary, root):
    """Copies a program and the shared libraries it needs into root."""
    out = subprocess.run(["ldd", binary], capture_output=True, text=True).stdout
    paths = [binary] + [next(p for p in line.split() if p.startswith("/"))
                        for line in out.splitlines() if "/" in line]
    for path in paths:
        real = os.path.realpath(path)
        for name in {path, real}:
            target = os.path.join(root, name.lstrip("/"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if not os.path.exists(target):
                shutil.copy2(real, target)


class ScratchRoot:
    """A router root in a scratch directory, for installer -r."""

    def __init__(self, path):
        self.path = str(path)

    def p(self, relative):
        """Host path of a path inside the root."""
        return os.path.join(self.path, relative.lstrip("/"))

    def installer(self, *args, stdin=None, timeout=60):
        """installer -r <root> args -> (status, stdout, stderr); package files go into the root's /tmp."""
        args, copied = [str(a) for a in args], []
        for i, arg in enumerate(args):
            if (arg.endswith(".kpk") and os.path.isfile(arg)
                    and not os.path.realpath(arg).startswith(os.path.realpath(self.path) + "/")):
                args[i] = "/tmp/" + os.path.basename(arg)
                copied.append(shutil.copyfile(arg, self.p(args[i])))
        try:
            return run([program("installer"), "-r", self.path, *args], stdin=stdin, timeout=timeout)
        finally:
            for path in copied:
                if os.path.exists(path):
                    os.unlink(path)

    def run(self, what=None, status=0, log=None, fresh=True, stdin=None):
        """Runs the installer on a file, bytes, arguments or None (the start jobs); checks status and /postlog."""
        if fresh and self.exists("/postlog"):
            os.remove(self.p("/postlog"))
        args = what if isinstance(what, list) else [] if what is None else [
            "-" if isinstance(what, bytes) else what]
        got, out, err = self.installer(*args, stdin=what if isinstance(what, bytes) else stdin)
        assert got == status, out + err
        assert log is None or self.postlog_lines() == log, self.postlog_lines()
        return out

    def postlog(self):
        return self.read("/postlog", "rb").decode("latin-1")

    def postlog_lines(self, keep_proc_warning=False):
        """The lines of /postlog, but the warning that a scratch root lacks /proc."""
        return [line for line in self.postlog().splitlines()
                if keep_proc_warning or line != "WARNING: could not open /proc"]

    def installed(self):
        """Names of the package directories under /var/pdb."""
        return sorted(n for n in os.listdir(self.p("/var/pdb")) if not n.startswith("."))

    def read(self, relative, mode="r"):
        with open(self.p(relative), mode) as f:
            return f.read()

    def exists(self, relative):
        return os.path.lexists(self.p(relative))

    def listing(self, relative):
        return sorted(os.listdir(self.p(relative)))

    def install(self, data, *args):
        """Installs package bytes through standard input; they must install."""
        return self.run([*args, "-"], stdin=data, fresh=False)

    def queue(self, *names):
        """Queues packages for removal by the next run."""
        for name in names:
            open(self.p("/var/deinstall/" + name), "w").close()

    def drop(self, file_name, data):
        """Leaves a package file pending in /var/pckg."""
        open(self.p("/var/pckg/" + file_name), "wb").write(data)


def make_root(path, with_bash=True):
    """A router root: the installer's directories, /dev/null, an empty profile, bash for scripts (with_bash)."""
    for d in ("var/pdb", "var/deinstall", "var/pckg", "tmp", "ram", "dev", "kest/lib/install"):
        os.makedirs(os.path.join(path, d), exist_ok=True)
    open(os.path.join(path, "kest/lib/install/profile.sh"), "w").close()
    if os.geteuid() == 0:
        os.mknod(os.path.join(path, "dev/null"), 0o20666, os.makedev(1, 3))
        if with_bash:
            copy_with_libraries("/bin/bash", str(path))
    return ScratchRoot(path)


@pytest.fixture
def root(tmp_path):
    """A fresh router root in the test's scratch directory."""
    yield make_root(str(tmp_path / "root"))


@pytest.fixture
def pkgs(tmp_path):
    """Builds package files into the test's scratch directory."""
    import pkgtools
    return pkgtools.Packages(tmp_path / "packages")
