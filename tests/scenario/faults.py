"""Helpers of the fault tests: size-limited roots, installs fed through a
paced pipe and killed at chosen points, and checks of what is left on disk.
"""
import contextlib
import errno
import fcntl
import os
import signal
import stat
import struct
import subprocess
import termios
import time

from conftest import EMULATOR, ScratchRoot, program

F_SETPIPE_SZ = 1031


# -- size-limited file systems ---------------------------------------------------

@contextlib.contextmanager
def mounted_tmpfs(path, size, inodes=None):
    """A tmpfs at path (in the test's scratch directory), always unmounted."""
    os.makedirs(path, exist_ok=True)
    options = f"size={size},mode=0755"
    if inodes is not None:
        options += f",nr_inodes={inodes}"
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


def copy_root(template, path):
    """A copy of a prepared root (device nodes, owners and times kept)."""
    subprocess.run(["cp", "-a", str(template), str(path)], check=True)
    return ScratchRoot(path)


def fill_leaving(path, filler, leave_bytes):
    """Grows filler until exactly leave_bytes (in whole blocks) stay free."""
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        chunk = b"\0" * (1 << 20)
        while True:
            try:
                os.write(fd, chunk)
            except OSError as e:
                if e.errno != errno.ENOSPC:
                    raise
                break
    finally:
        os.close(fd)
    # The last write may have landed in part; what is free now is exact.
    st = os.statvfs(path)
    avail, block = st.f_bavail, st.f_frsize
    size = os.path.getsize(filler)
    os.truncate(filler, max(0, size - (leave_bytes - avail * block)))


def use_inodes_leaving(path, folder, leave):
    """Empty files in folder until exactly `leave` inodes stay free."""
    os.makedirs(folder, exist_ok=True)
    index = 0
    while True:
        name = os.path.join(folder, str(index))
        index += 1
        if os.path.exists(name):
            continue
        try:
            os.close(os.open(name, os.O_CREAT | os.O_WRONLY, 0o644))
        except OSError as e:
            if e.errno != errno.ENOSPC:
                raise
            break
    for name in sorted(os.listdir(folder), key=int)[:leave]:
        os.unlink(os.path.join(folder, name))
    assert os.statvfs(path).f_favail == leave


# -- what the installer left -----------------------------------------------------

def read_database(root):
    """{name: {version: (version, build time) or None, files: sorted paths,
    bundle: name or None, raw: {file name: bytes}}} from /var/pdb."""
    base = root.p("/var/pdb")
    records = {}
    for name in sorted(os.listdir(base)):
        if name.startswith("."):
            continue
        folder = os.path.join(base, name)
        raw = {}
        for entry in os.listdir(folder):
            with open(os.path.join(folder, entry), "rb") as f:
                raw[entry] = f.read()
        words = raw.get("version", b"").split()
        version = None
        if len(words) >= 2 and all(w.isdigit() for w in words[:2]):
            version = (int(words[0]), int(words[1]))
        files = sorted({("/" + line.lstrip("/")) for line in
                        raw.get("files", b"").decode("latin-1").split("\n") if line})
        bundle_words = raw.get("bundle", b"").split()
        records[name] = {"version": version, "files": files,
                         "bundle": bundle_words[0].decode() if bundle_words else None, "raw": raw}
    return records


def contents_on_disk(root, paths):
    """As pkgtools.tree_contents for the given paths; None when missing."""
    out = {}
    for path in paths:
        host = root.p(path)
        if not os.path.lexists(host):
            out[path] = None
        elif os.path.islink(host):
            out[path] = ("link", os.readlink(host))
        elif os.path.isfile(host):
            with open(host, "rb") as f:
                out[path] = f.read()
        else:
            out[path] = ("mode", stat.S_IFMT(os.lstat(host).st_mode))
    return out


def unowned_files(root, folders, records=None):
    """Non-directories below the given root folders that no record lists."""
    records = read_database(root) if records is None else records
    owned = set()
    for record in records.values():
        owned.update(record["files"])
    out = []
    for folder in folders:
        for top, dirs, files in os.walk(root.p(folder)):
            for name in files + [d for d in dirs if os.path.islink(os.path.join(top, d))]:
                path = "/" + os.path.relpath(os.path.join(top, name), root.path)
                if path not in owned:
                    out.append(path)
    return sorted(out)


def messages(stdout):
    """The message lines of a run's output, without the status line (the
    console rather than the log: the log can be cut short on a full disk)."""
    out = []
    for line in stdout.split("\n")[:-1]:
        line = line.replace("\x1b[?25l", "").replace("\x1b[?25h", "")
        out.append(line.rsplit("\r", 1)[-1])
    return [m for m in out if m and m != "WARNING: could not open /proc"]


def snapshot(folder, skip=None):
    """{relative path: (type, size, mtime)} of everything below folder, not
    entering skip (a path below folder)."""
    out = {}
    for top, dirs, files in os.walk(folder):
        if skip:
            dirs[:] = [d for d in dirs if os.path.join(top, d) != str(skip)]
        for name in dirs + files:
            st = os.lstat(os.path.join(top, name))
            out[os.path.relpath(os.path.join(top, name), folder)] = (
                stat.S_IFMT(st.st_mode), st.st_size, st.st_mtime_ns)
    return out


# -- an install fed through a pipe, killed where the test chooses ------------------

class PacedInstall:
    """installer -r <root> [args] - on a small pipe filled piece by piece; a
    process group of its own, so that kill() also ends a package script."""

    def __init__(self, root, data, log_path, args=()):
        self.data = data
        self.sent = 0
        read_end, self.pipe = os.pipe()
        fcntl.fcntl(self.pipe, F_SETPIPE_SZ, 4096)
        self.log = open(log_path, "wb")
        self.started = time.monotonic()
        env = dict(os.environ)
        # As in conftest.run: the leak checker needs /proc, which the root lacks.
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":detect_leaks=0").lstrip(":")
        self.proc = subprocess.Popen([*EMULATOR, program("installer"), "-r", root.path, *args, "-"],
                                     stdin=read_end, stdout=self.log, stderr=self.log,
                                     start_new_session=True, env=env)
        os.close(read_end)

    def deliver(self, upto, wait=True):
        """Writes up to byte upto; with wait, returns once the installer has
        taken it all and blocks for more. False when it stopped reading."""
        view = memoryview(self.data)
        while self.sent < upto:
            try:
                self.sent += os.write(self.pipe, view[self.sent:upto])
            except BrokenPipeError:
                return False
        if wait:
            self.wait_for_read()
        return True

    def finish_input(self):
        """Delivers the rest and closes the pipe: the installer runs on alone.
        May run in a thread of its own while the test watches the root; it
        ends when the installer has read everything or is killed."""
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
            if self.proc.poll() is not None:
                return
            pending = struct.unpack("i", fcntl.ioctl(self.pipe, termios.FIONREAD, b"\0" * 4))[0]
            if pending == 0 and self._blocked_reading_input():
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
        while self.proc.poll() is None and time.monotonic() < deadline:
            if condition():
                self.kill()
                return True
        self.kill()
        return False

    def kill(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        return self.wait()

    def wait(self, timeout=60):
        status = self.proc.wait(timeout=timeout)
        if not self.log.closed:
            self.log.close()
        return status

    def output(self):
        with open(self.log.name, "rb") as f:
            return f.read().decode("latin-1")


# -- a library preloaded into the installer ------------------------------------------

# Records the opening of database files and the calls that flush the disk,
# in order, to the file named by TESS_SHIM_LOG (opened before the run
# changes root); with TESS_SHIM_KILL set, kills the run when it opens a
# record's "version" for writing.
SHIM_SOURCE = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int log_fd = -1;
static int kill_at_version;

__attribute__((constructor)) static void start(void) {
  const char* path = getenv("TESS_SHIM_LOG");
  if (path) log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  kill_at_version = getenv("TESS_SHIM_KILL") != NULL;
}

static void note(const char* what, const char* path) {
  if (log_fd < 0) return;
  char line[4200];
  size_t n = strlen(what);
  memcpy(line, what, n);
  if (path) {
    size_t m = strnlen(path, 4096);
    line[n++] = ' ';
    memcpy(line + n, path, m);
    n += m;
  }
  line[n++] = '\n';
  if (write(log_fd, line, n) < 0) {}
}

static void opening(const char* path, int flags) {
  if (!strstr(path, "/var/pdb/")) return;
  if ((flags & O_ACCMODE) != O_RDONLY) {
    note("write", path);
    const char* last = strrchr(path, '/');
    if (kill_at_version && last && strcmp(last, "/version") == 0) kill(getpid(), SIGKILL);
  }
}

#define FORWARD_OPEN(name, ...)                                         \
  int name(__VA_ARGS__, int flags, ...) {                               \
    static int (*real)();                                               \
    if (!real) real = (int (*)())dlsym(RTLD_NEXT, #name);               \
    va_list list;                                                       \
    va_start(list, flags);                                              \
    int mode = va_arg(list, int);                                       \
    va_end(list);

FORWARD_OPEN(open, const char* path) opening(path, flags); return real(path, flags, mode); }
FORWARD_OPEN(open64, const char* path) opening(path, flags); return real(path, flags, mode); }
FORWARD_OPEN(openat, int at, const char* path) opening(path, flags); return real(at, path, flags, mode); }
FORWARD_OPEN(openat64, int at, const char* path) opening(path, flags); return real(at, path, flags, mode); }

void sync(void) {
  static void (*real)(void);
  if (!real) real = (void (*)(void))dlsym(RTLD_NEXT, "sync");
  note("sync", NULL);
  real();
}

int fsync(int fd) {
  static int (*real)(int);
  if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  note("fsync", NULL);
  return real(fd);
}
"""


def build_shim(folder):
    """The preload library, built from SHIM_SOURCE in folder; its path."""
    source = os.path.join(folder, "shim.c")
    library = os.path.join(folder, "shim.so")
    with open(source, "w") as f:
        f.write(SHIM_SOURCE)
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", library, source, "-ldl"], check=True)
    return library


def shim_environment(library, log, kill_at_version=False):
    env = dict(os.environ, LD_PRELOAD=library, TESS_SHIM_LOG=str(log))
    # The sanitizers' runtime wants to be first; the library only forwards.
    env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") +
                           ":detect_leaks=0:verify_asan_link_order=0").lstrip(":")
    if kill_at_version:
        env["TESS_SHIM_KILL"] = "1"
    return env


def run_with_env(args, stdin, env, timeout=60):
    proc = subprocess.run(args, input=stdin, capture_output=True, timeout=timeout, env=env)
    return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")
