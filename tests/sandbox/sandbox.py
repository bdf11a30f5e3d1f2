#!/usr/bin/python3
"""The sandbox that runs `setup` as the first process of its own machine;
README.md in this directory has the whole picture and an example.

With wait_for_network=True the program waits until the test has joined the
sandbox's network namespace to segments (`join`, `drop_randomly`) and called
network_ready(). Runs as root; nothing but the disk images outlives it.
"""
import argparse
import errno
import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time

import pexpect

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from inner import mounts_under  # noqa: E402
PYTHON = "/usr/bin/python3"  # Debian's, with pexpect; also the stand-ins' interpreter
CACHE_DIR = os.path.join(tempfile.gettempdir(), "tess-sandbox-cache")

LOOP_CTL_GET_FREE = 0x4C82
LOOP_CONFIGURE = 0x4C0A
LO_FLAGS_AUTOCLEAR = 4
LO_FLAGS_PARTSCAN = 8
LOOP_MAJOR = 7

# Drives that may hold a medium without being a sandbox disk get the device
# numbers of the old IDE and floppy drivers, which this kernel does not
# have: the node is there, opening it fails like an empty drive.
DRIVE_NUMBERS = {"hda": (3, 0), "hdb": (3, 64), "hdc": (22, 0), "hdd": (22, 64), "fd0": (2, 0)}

# The real tools, copied into the root's /sbin and /bin.
HOST_TOOLS = {
    "/bin/bash": "/usr/bin/bash",
    "/sbin/mke2fs": "/usr/sbin/mke2fs",
    "/sbin/fsck": "/usr/sbin/fsck",
    "/sbin/e2fsck": "/usr/sbin/e2fsck",
    "/sbin/fsck.ext2": "/usr/sbin/e2fsck",
    "/sbin/fsck.ext3": "/usr/sbin/e2fsck",
}
STAND_INS = {"/sbin/sfdisk": "standin_sfdisk.py", "/sbin/insmod": "standin_insmod.sh",
             "/.sandbox/inner.py": "inner.py"}  # the stand-in sfdisk reads partitions with it


class Disk:
    """A sparse image of cylinders × heads × sectors × 512 bytes on a loop
    device, /dev/<name> in the sandbox; the image is the test's, left behind."""

    def __init__(self, name, image_path, cylinders, heads=16, sectors=63):
        if not re.fullmatch(r"[a-z]{2,4}[a-z0-9]?", name):
            raise ValueError(f"disk name {name!r}")
        self.name = name
        self.image_path = os.path.abspath(image_path)
        self.cylinders, self.heads, self.sectors = cylinders, heads, sectors
        self.size = cylinders * heads * sectors * 512
        with open(self.image_path, "ab") as image:
            if os.fstat(image.fileno()).st_size != self.size:
                image.truncate(self.size)
        self.loop_index = None
        self._loop_fd = None

    def attach(self, node_dir):
        """Puts the image on a free self-detaching loop device, held open until release()."""
        control = os.open("/dev/loop-control", os.O_RDWR | os.O_CLOEXEC)
        try:
            for _ in range(50):
                index = fcntl.ioctl(control, LOOP_CTL_GET_FREE)
                loop = os.open(loop_node(index, node_dir), os.O_RDWR | os.O_CLOEXEC)
                backing = os.open(self.image_path, os.O_RDWR | os.O_CLOEXEC)
                try:
                    fcntl.ioctl(loop, LOOP_CONFIGURE, loop_config(backing, self.image_path))
                except OSError as error:
                    os.close(loop)
                    if error.errno == errno.EBUSY:
                        continue  # taken by someone else meanwhile
                    raise
                finally:
                    os.close(backing)
                self.loop_index, self._loop_fd = index, loop
                # The loop driver does not read an existing table here; partx does.
                subprocess.run(["partx", "-a", loop_node(index, node_dir)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                return
            raise OSError(errno.EBUSY, "no free loop device")
        finally:
            os.close(control)

    def release(self, timeout=10):
        """Lets the loop device go and waits until it has detached."""
        if self._loop_fd is None:
            return True
        os.close(self._loop_fd)
        self._loop_fd = None
        deadline = time.monotonic() + timeout
        while loop_backing_file(self.loop_index) == self.image_path:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)
        return True


def loop_node(index, node_dir):
    """A block node of loop device index: /dev/loopN, or one made here."""
    path = f"/dev/loop{index}"
    try:
        if os.stat(path).st_rdev == os.makedev(LOOP_MAJOR, index):
            return path
    except FileNotFoundError:
        pass
    path = os.path.join(node_dir, f"loop{index}")
    if not os.path.exists(path):
        os.mknod(path, 0o600 | stat.S_IFBLK, os.makedev(LOOP_MAJOR, index))
    return path


def loop_config(backing_fd, image_path):
    """struct loop_config: descriptor, block size, loop_info64, reserved."""
    info = struct.pack("<5Q4I64s64s32s2Q", 0, 0, 0, 0, 0, 0, 0, 0,
                       LO_FLAGS_AUTOCLEAR | LO_FLAGS_PARTSCAN,
                       image_path.encode()[-63:], b"", b"", 0, 0)
    return struct.pack("<II", backing_fd, 0) + info + bytes(64)


def loop_backing_file(index):
    try:
        with open(f"/sys/block/loop{index}/loop/backing_file") as backing:
            return backing.read().strip()
    except OSError:
        return None


def preload_library():
    """The media mount wrapper, compiled once per source text."""
    source = os.path.join(HERE, "mediamount.c")
    with open(source, "rb") as text:
        digest = hashlib.sha256(text.read()).hexdigest()[:16]
    library = os.path.join(CACHE_DIR, f"mediamount-{digest}.so")
    if not os.path.exists(library):
        os.makedirs(CACHE_DIR, exist_ok=True)
        partial = f"{library}.{os.getpid()}"
        subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-Wall", "-Werror", "-o", partial,
                        source, "-ldl"], check=True)
        os.rename(partial, library)
    return library


def drive_name(device):
    return device[len("/dev/"):] if device.startswith("/dev/") else device


class Transcript:
    """Keeps what the console printed; optionally passes it on."""

    def __init__(self, also=None):
        self.parts, self.also = [], also

    def write(self, text):
        self.parts.append(text)
        if self.also:
            self.also.write(text)

    def flush(self):
        if self.also:
            self.also.flush()


class Context:
    """`with` ends it: close() on the way out, whatever happened."""

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()
        return False


class Sandbox(Context):
    """Runs `setup` in new namespaces, changed root into a prepared root.
    Leaving the `with` block ends the run and removes all but the disk images."""

    def __init__(self, setup, installer, disks, media=(), type_word=None, args=(),
                 serial_console=False, program_name="/sbin/init", extra_files=None,
                 wait_for_network=False):
        names = [disk.name for disk in disks]
        self.setup, self.installer = os.path.abspath(setup), os.path.abspath(installer)
        self.disks = list(disks)
        self.media = [(f"/dev/{drive_name(d)}", kind, os.path.abspath(directory), bool(ro))
                      for d, kind, directory, ro in media]
        for device, kind, directory, _ in self.media:
            if kind not in ("vfat", "iso9660") or not os.path.isdir(directory):
                raise ValueError(f"medium {device}: {kind} {directory}")
            if drive_name(device) not in names and drive_name(device) not in DRIVE_NUMBERS:
                raise ValueError(f"medium in an unknown drive {device}")
        self.type_word, self.args = type_word, list(args)
        self.serial_console, self.program_name = serial_console, program_name
        self.extra_files = dict(extra_files or {})
        for path in self.extra_files:
            if re.match(r"/*(dev|usr|sys)(/|$)", path):
                raise ValueError(f"{path}: mounted over in the sandbox")
        self.wait_for_network = wait_for_network
        self.run_dir = self.console = self._result = None
        self.transcript = Transcript()

    @property
    def root(self):
        return os.path.join(self.run_dir, "root") if self.run_dir else None

    def _path(self, inner):
        return os.path.join(self.root, inner.lstrip("/"))

    def _write(self, inner, data, mode=0o644):
        path = self._path(inner)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as target:
            target.write(data if isinstance(data, bytes) else data.encode())
        os.chmod(path, mode)

    def _copy(self, inner, source, mode=0o755):
        with open(source, "rb") as data:
            self._write(inner, data.read(), mode)

    def _prepare_root(self):
        for directory in ("sbin", "bin", "usr", "dev", "proc", "sys", "mnt", "floppy", "tmp",
                          "etc", ".sandbox"):
            os.makedirs(self._path(directory), exist_ok=True)
        os.chmod(self._path("tmp"), 0o1777)
        for name in ("lib", "lib32", "lib64", "libx32"):
            if os.path.islink(f"/{name}"):
                os.symlink(os.readlink(f"/{name}"), self._path(name))
        self._copy(self.program_name, self.setup)
        self._copy("/sbin/installer", self.installer)
        for inner, host in HOST_TOOLS.items():
            self._copy(inner, host)
        for inner, name in STAND_INS.items():
            self._copy(inner, os.path.join(HERE, name))
        self._copy("/.sandbox/mediamount.so", preload_library(), 0o644)
        self._write("/etc/ld.so.preload", "/.sandbox/mediamount.so\n")
        os.symlink("/proc/self/mounts", self._path("/etc/mtab"))
        self._write("/.sandbox/disktab", "".join(
            f"{d.name} {d.cylinders} {d.heads} {d.sectors}\n" for d in self.disks))
        self.ejected = set()
        self._write_media_table()
        for index in range(len(self.media)):
            os.makedirs(self._path(f"/.sandbox/media/{index}"))
        open(self._path("/.sandbox/insmod.log"), "w").close()
        if self.type_word is not None:
            self._write("/TYPE", self.type_word + "\n")
        for inner, content in self.extra_files.items():
            data, mode = content if isinstance(content, tuple) else (content, 0o644)
            self._write(inner, data, mode)

    def _write_media_table(self):
        """The mount wrapper's medium table, renamed into place whole."""
        text = "".join(
            f"{device} {kind} /.sandbox/media/{index} {'ro' if ro else 'rw'}\n"
            for index, (device, kind, _, ro) in enumerate(self.media)
            if device not in self.ejected)
        self._write("/.sandbox/mediatab.new", text)
        os.rename(self._path("/.sandbox/mediatab.new"), self._path("/.sandbox/mediatab"))

    def eject(self, device):
        """Takes the medium out of a drive: its mounts fail as an empty drive's."""
        self.ejected.add(f"/dev/{drive_name(device)}")
        self._write_media_table()

    def insert(self, device, files_from=None):
        """Puts a medium into a drive, with files_from's files in place of its own."""
        device = f"/dev/{drive_name(device)}"
        if files_from is not None:
            directory = next(d for dev, _, d, _ in self.media if dev == device)
            for name in os.listdir(directory):
                path = os.path.join(directory, name)
                shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
            for name in os.listdir(files_from):
                shutil.copy2(os.path.join(files_from, name), directory)
        self.ejected.discard(device)
        self._write_media_table()

    def _configuration(self):
        asan = os.environ.get("ASAN_OPTIONS", "")
        environment = {
            "HOME": "/", "TERM": "linux", "PATH": "/sbin:/bin",
            # The preload library comes before the sanitizer's runtime, and the
            # leak checker cannot work in a process that ends by restarting.
            "ASAN_OPTIONS": (asan + ":verify_asan_link_order=0:detect_leaks=0").lstrip(":"),
        }
        if "UBSAN_OPTIONS" in os.environ:
            environment["UBSAN_OPTIONS"] = os.environ["UBSAN_OPTIONS"]
        disk_names = {disk.name for disk in self.disks}
        absent = sorted({drive_name(device) for device, _, _, _ in self.media} - disk_names)
        return {
            "parent_pid": os.getpid(),
            "outer_pid_namespace": os.readlink("/proc/self/ns/pid"),
            "run_dir": self.run_dir,
            "root": self.root,
            "status_path": os.path.join(self.run_dir, "status"),
            "log_path": os.path.join(self.run_dir, "log"),
            "program": self.program_name,
            "arguments": self.args,
            "environment": environment,
            "serial_console": self.serial_console,
            "network_gate": os.path.join(self.run_dir, "network-ready")
            if self.wait_for_network else None,
            "disks": [{"name": d.name, "major": LOOP_MAJOR, "minor": d.loop_index}
                      for d in self.disks],
            "absent_drives": [{"path": f"/dev/{name}", "major": DRIVE_NUMBERS[name][0],
                               "minor": DRIVE_NUMBERS[name][1]} for name in absent],
            "media": [{"directory": f"/.sandbox/media/{index}", "host_directory": directory,
                       "read_only": ro}
                      for index, (_, _, directory, ro) in enumerate(self.media)],
        }

    def start(self, timeout=120):
        """Starts the program; returns the console (pexpect, latin-1, timeout seconds)."""
        if self.console is not None:
            raise RuntimeError("a sandbox runs once")
        if os.geteuid() != 0:
            raise PermissionError("the sandbox needs root")
        self.run_dir = tempfile.mkdtemp(prefix="tess-sandbox-")
        self._prepare_root()
        for disk in self.disks:
            disk.attach(self.run_dir)
        config_path = os.path.join(self.run_dir, "config.json")
        with open(config_path, "w") as config:
            json.dump(self._configuration(), config)
        self.console = pexpect.spawn(PYTHON, [os.path.join(HERE, "inner.py"), config_path],
                                     timeout=timeout, encoding="latin-1",
                                     dimensions=(25, 80), env={"PATH": "/usr/sbin:/usr/bin"})
        self.console.logfile_read = self.transcript
        return self.console

    def network_pid(self, timeout=10):
        """The inner stage, once it has its own network namespace."""
        return own_namespace_pid(self.console.pid, timeout)

    def network_ready(self):
        """Lets a sandbox made with wait_for_network start its program."""
        open(os.path.join(self.run_dir, "network-ready"), "w").close()

    def wait(self, timeout=120):
        """Waits for the end of the run: "restarted", "halted", "exited N",
        "killed by SIGNAME", "refused: ...", "timeout", or "failed: ..."."""
        if self._result is None:
            try:
                self.console.expect(pexpect.EOF, timeout=timeout)
                self.console.close()
                self._result = self._read_status()
            except pexpect.TIMEOUT:
                self._stop()
                self._result = "timeout"
        return self._result

    def _read_status(self):
        try:
            with open(os.path.join(self.run_dir, "status")) as status:
                return status.read().strip()
        except FileNotFoundError:
            return f"failed: the sandbox ended with status {self.console.exitstatus}" \
                   f" (signal {self.console.signalstatus}) before its program did"

    def _stop(self):
        """SIGTERM to the inner stage (it ends the namespace), SIGKILL if it lingers."""
        if self.console is None or self.console.closed:
            return
        if self.console.isalive():
            os.kill(self.console.pid, signal.SIGTERM)
            try:
                self.console.expect(pexpect.EOF, timeout=15)
            except pexpect.TIMEOUT:
                pass
        self.console.close(force=True)

    def close(self):
        """Ends the run if needed, detaches the disks and removes the root."""
        self._stop()
        stuck = [disk.name for disk in self.disks if not disk.release()]
        if self.run_dir and not mounts_under(self.run_dir):
            shutil.rmtree(self.run_dir, ignore_errors=True)
        if stuck:
            raise RuntimeError(f"loop devices of {stuck} did not detach")

    @property
    def console_text(self):
        """Everything the console printed so far."""
        return "".join(self.transcript.parts)

    def _run_file(self, name):
        try:
            with open(os.path.join(self.run_dir, name), "rb") as text:
                return text.read().decode("latin-1")
        except (FileNotFoundError, TypeError):
            return ""

    @property
    def log_text(self):
        """What reached the log device (/dev/tty9) so far."""
        return self._run_file("log")

    @property
    def insmod_names(self):
        """Module names /sbin/insmod was called with, in order."""
        return self._run_file("root/.sandbox/insmod.log").split()


def own_namespace_pid(pid, timeout=10):
    """pid, once its network namespace is no longer the test's own."""
    deadline = time.monotonic() + timeout
    own = os.readlink("/proc/self/ns/net")
    while os.readlink(f"/proc/{pid}/ns/net") == own:
        if time.monotonic() > deadline:
            raise TimeoutError(f"process {pid} has no network namespace of its own")
        time.sleep(0.01)
    return pid


def in_namespace(holder, *command, input=None):
    """Runs a command in the network namespace of holder (a Sandbox or a Peer)."""
    return subprocess.run(["nsenter", f"--net=/proc/{holder.network_pid()}/ns/net", *command],
                          input=input, check=True, capture_output=True, text=True)


def join(a, b, mac_a=None, mac_b=None, name_a="eth0", name_b="eth0"):
    """A veth pair made in a's network namespace with its other end in b's."""
    command = ["ip", "link", "add", name_a]
    command += ["address", mac_a] if mac_a else []
    command += ["type", "veth", "peer", "name", name_b]
    command += ["address", mac_b] if mac_b else []
    in_namespace(a, *command, "netns", str(b.network_pid()))


def drop_randomly(holder, percent):
    """Drops percent of the datagrams arriving in holder's namespace at random
    (on arrival: a drop on the way out would fail the sender's send call)."""
    rules = f"""table inet tess_loss {{
  chain incoming {{ type filter hook input priority 0; policy accept; numgen random mod 100 < {percent} counter drop; }}
}}
"""
    in_namespace(holder, "nft", "-f", "-", input=rules)


class Peer(Context):
    """A test's own program (argv) in a network namespace of its own; leaving
    the `with` block ends it."""

    def __init__(self, argv):
        self.process = subprocess.Popen(["unshare", "--net", "--", *argv],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True)

    def network_pid(self, timeout=10):
        return own_namespace_pid(self.process.pid, timeout)

    def wait(self, timeout=60):
        """Its exit status and everything it printed."""
        output, _ = self.process.communicate(timeout=timeout)
        return self.process.returncode, output

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.communicate()


def unpack_fat_image(image, directory):
    """The files of a FAT image, as a directory for a drive of the sandbox."""
    os.makedirs(directory, exist_ok=True)
    subprocess.run(["mcopy", "-n", "-i", image, "::/*", directory + "/"], check=True,
                   capture_output=True)
    return directory


def unpack_iso_image(image, directory):
    """The files of an ISO 9660 image, as a directory."""
    os.makedirs(directory, exist_ok=True)
    subprocess.run(["xorriso", "-osirrox", "on", "-indev", image, "-extract", "/", directory],
                   check=True, capture_output=True)
    return directory


def parse_disk(text):
    """hda=IMAGE:CYLINDERS[:HEADS:SECTORS]"""
    name, value = text.split("=", 1)
    image, *numbers = value.split(":")
    return Disk(name, image, *[int(number) for number in numbers])


def parse_medium(text):
    """hdb=vfat:DIRECTORY[:ro]"""
    device, value = text.split("=", 1)
    kind, directory, *access = value.split(":")
    return (device, kind, directory, access == ["ro"])


def main(argv):
    parser = argparse.ArgumentParser(description="Runs setup in the sandbox on this terminal.")
    parser.add_argument("--setup", required=True)
    parser.add_argument("--installer", required=True)
    parser.add_argument("--disk", action="append", default=[], type=parse_disk,
                        help="hda=IMAGE:CYLINDERS[:HEADS:SECTORS]")
    parser.add_argument("--medium", action="append", default=[], type=parse_medium,
                        help="hdb=vfat:DIRECTORY or hdc=iso9660:DIRECTORY:ro")
    parser.add_argument("--arg", action="append", default=[], help="an argument for setup")
    parser.add_argument("--type", help="the mode word in /TYPE")
    parser.add_argument("--serial", action="store_true", help="a serial console, no /dev/tty0")
    parser.add_argument("--program-name", default="/sbin/init")
    parser.add_argument("--log", help="where to copy what reached the log device")
    parser.add_argument("--timeout", type=float, default=600)
    # "--arg -hdd-install": the value looks like an option to argparse.
    argv = list(argv)
    for index in range(len(argv) - 1):
        if argv[index] == "--arg":
            argv[index:index + 2] = [f"--arg={argv[index + 1]}", ""]
    options = parser.parse_args([word for word in argv if word != ""])
    with Sandbox(options.setup, options.installer, options.disk, options.medium,
                 options.type, options.arg, options.serial, options.program_name) as box:
        console = box.start(timeout=options.timeout)
        if sys.stdin.isatty():
            console.interact(escape_character=None)
        else:
            console.logfile_read = Transcript(also=sys.stdout)
        result = box.wait(timeout=options.timeout)
        if options.log:
            with open(options.log, "w") as log:
                log.write(box.log_text)
    print(f"\nsandbox: {result}")
    return 0 if result == "restarted" else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
