"""Fault tests' helpers: size-limited roots, installs paced and killed at chosen points, what is left."""
import contextlib
import fcntl
import os
import signal
import stat
import struct
import subprocess
import termios
import time

from conftest import EMULATOR, QUIET_LEAKS, program

F_SETPIPE_SZ = 1031


@contextlib.contextmanager
def mounted_tmpfs(path, size, inodes=None):
    """A tmpfs at path (in the test's scratch directory), always unmounted."""
    os.makedirs(path, exist_ok=True)
    options = f"size={size},mode=0755" + (f",nr_inodes={inodes}" if inodes else "")
    subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(path)], check=True)
    try:
        yield str(path)
    finally:
        unmount(path)


def unmount(path):
    for _ in range(20):
        if subprocess.run(["umount", str(path)], capture_output=True).returncode == 0:
            return
        time.sleep(0.1)
    subprocess.run(["umount", "-l", str(path)], check=True)


def leave_free(path, filler, leave, blocks):
    """Takes blocks (the file filler) or inodes (empty files in the folder filler) until leave stay free."""
    if blocks:
        st = os.statvfs(path)
        with open(filler, "wb") as f:
            if st.f_bavail > leave:
                os.posix_fallocate(f.fileno(), 0, (st.f_bavail - leave) * st.f_frsize)
    else:
        os.makedirs(filler, exist_ok=True)
        start = max(map(int, os.listdir(filler)), default=-1) + 1
        for index in range(start, start + os.statvfs(path).f_favail):
            os.close(os.open(os.path.join(filler, str(index)), os.O_CREAT | os.O_WRONLY, 0o644))
        for name in sorted(os.listdir(filler), key=int)[:leave]:
            os.unlink(os.path.join(filler, name))
    assert free(path, blocks) == leave


def free(path, blocks):
    return os.statvfs(path).f_bavail if blocks else os.statvfs(path).f_favail


# -- what the installer left -----------------------------------------------------

def read_database(root):
    """{name: {version: (version, build time) | None, files, bundle, raw: {file: bytes}}} of /var/pdb."""
    records = {}
    for name in root.installed():
        raw = {entry: root.read(f"/var/pdb/{name}/{entry}", "rb") for entry in root.listing("/var/pdb/" + name)}
        words = raw.get("version", b"").split()
        ok = len(words) >= 2 and all(w.isdigit() for w in words[:2])
        files = raw.get("files", b"").decode("latin-1").split("\n")
        bundle = raw.get("bundle", b"").split()
        records[name] = {"version": (int(words[0]), int(words[1])) if ok else None,
                         "files": sorted({"/" + line.lstrip("/") for line in files if line}),
                         "bundle": bundle[0].decode() if bundle else None, "raw": raw}
    return records


def contents_on_disk(root, paths):
    """As pkgtools.tree_contents for the given paths; None when missing."""
    def content(host):
        if not os.path.lexists(host):
            return None
        if os.path.islink(host):
            return ("link", os.readlink(host))
        if os.path.isfile(host):
            return open(host, "rb").read()
        return ("mode", stat.S_IFMT(os.lstat(host).st_mode))
    return {path: content(root.p(path)) for path in paths}


def unowned_files(root, folders, records=None):
    """Non-directories below the given root folders that no record lists."""
    records = read_database(root) if records is None else records
    owned = {path for record in records.values() for path in record["files"]}
    found = {os.path.join(folder, path) for folder in folders
             for path, (kind, _, _) in snapshot(root.p(folder)).items() if kind != stat.S_IFDIR}
    return sorted(found - owned)


def messages(stdout):
    """The message lines of the console output (the log can be cut short on a full disk)."""
    lines = [line.replace("\x1b[?25l", "").replace("\x1b[?25h", "").rsplit("\r", 1)[-1]
             for line in stdout.split("\n")[:-1]]
    return [m for m in lines if m and m != "WARNING: could not open /proc"]


def snapshot(folder, skip=()):
    """{relative path: (type, size, mtime)} below folder, not entering those in skip."""
    out = {}
    for top, dirs, files in os.walk(folder):
        dirs[:] = [d for d in dirs if os.path.join(top, d) not in map(str, skip)]
        for path in (os.path.join(top, name) for name in dirs + files):
            st = os.lstat(path)
            out[os.path.relpath(path, folder)] = (stat.S_IFMT(st.st_mode), st.st_size, st.st_mtime_ns)
    return out


# -- an install fed through a pipe, killed where the test chooses ------------------

class PacedInstall:
    """installer -r <root> - on a small pipe filled piece by piece; kill() ends its scripts too."""

    def __init__(self, root, data, log_path):
        self.data, self.sent = data, 0
        read_end, self.pipe = os.pipe()
        fcntl.fcntl(self.pipe, F_SETPIPE_SZ, 4096)
        self.log = open(log_path, "wb")
        self.proc = subprocess.Popen([*EMULATOR, program("installer"), "-r", root.path, "-"], stdin=read_end,
                                     stdout=self.log, stderr=self.log, start_new_session=True, env=QUIET_LEAKS)
        os.close(read_end)

    def deliver(self, upto, wait=True):
        """Writes up to byte upto (with wait: until the installer took it all); False if it stopped reading."""
        while self.sent < upto:
            try:
                self.sent += os.write(self.pipe, memoryview(self.data)[self.sent:upto])
            except BrokenPipeError:
                return False
        if wait:
            self.wait_for_read()
        return True

    def finish_input(self):
        """Delivers the rest and closes the pipe (may run in a thread of its own)."""
        ok = self.deliver(len(self.data), wait=False)
        self.close_input()
        return ok

    def close_input(self):
        if self.pipe is not None:
            os.close(self.pipe)
            self.pipe = None

    def wait_for_read(self, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            pending = struct.unpack("i", fcntl.ioctl(self.pipe, termios.FIONREAD, b"\0" * 4))[0]
            if self.proc.poll() is not None or pending == 0 and self._blocked_reading_input():
                return
            time.sleep(0.0005)
        raise TimeoutError("the installer neither read its input nor ended")

    def _blocked_reading_input(self):
        """Asleep in a read of the pipe: its only pipe is standard input."""
        try:
            with open(f"/proc/{self.proc.pid}/wchan") as f:
                if "pipe_read" in f.read():
                    return True
            with open(f"/proc/{self.proc.pid}/syscall") as f:
                words = f.read().split()
        except OSError:
            return False
        # Without kernel symbols: the number of read (x86-64, arm64) on descriptor 0.
        read = {"x86_64": "0", "aarch64": "63"}.get(os.uname().machine)
        return len(words) > 1 and words[0] == read and int(words[1], 16) == 0

    def kill_when(self, condition, timeout=30):
        """Kills the run once condition() holds; False if it ended before."""
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None and time.monotonic() < deadline and not condition():
            pass
        came = self.proc.poll() is None and time.monotonic() < deadline
        self.kill()
        return came

    def kill(self):
        if self.proc.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.proc.pid, signal.SIGKILL)
        return self.wait()

    def wait(self, timeout=60):
        status = self.proc.wait(timeout=timeout)
        self.log.close()
        return status


def traced_install(root, package, trace, *strace_args):
    """installer -r <root> - with its opens and flushes traced to trace; strace_args can kill it at a call."""
    return subprocess.run(["strace", "-f", "-qq", "-o", str(trace), "-e", "trace=open,openat,sync,fsync",
                           *strace_args, program("installer"), "-r", root.path, "-"],
                          input=package, capture_output=True, timeout=60, env=QUIET_LEAKS).returncode
