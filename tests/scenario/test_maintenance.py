"""installer: the maintenance jobs on a scratch root.

The queue job (removals queued under /var/deinstall, then the package files
waiting in /var/pckg), the parking of files that running processes use, and
file collection (--filegc). Every run passes -r <scratch root>.

Packages are written here byte by byte: the tests need exact file sizes,
lengths that disagree with the file, bundles without members and unrecorded
files, which a package tool is right to refuse to make.
"""
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import time
import zlib

import pytest

from conftest import _copy_with_libraries, program

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")

T0 = 1_600_000_000
MIB = 1 << 20
MAGIC_RECORDED = 0xBAD0F11E
MAGIC_UNRECORDED = 0xDA0BF11E
HALT_TEXT = "\nERROR: router installation failed!!!\nPlease, reinstall.\n"


# -- package files, byte by byte ---------------------------------------------

def version(major, minor, number=0, stage="f"):
    return major << 24 | minor << 16 | ord(stage) << 8 | number


V1, V2 = version(1, 0), version(2, 0)


def _name16(name):
    return name.encode().ljust(16, b"\0")[:16]


def _section(kind, payload):
    return struct.pack("<HI", kind, len(payload)) + payload


def _requirements(entries):
    """entries: names, or (name, minimum, maximum)."""
    out = struct.pack("<H", len(entries))
    for entry in entries:
        name, low, high = (entry, 0, 0) if isinstance(entry, str) else entry
        out += _name16(name) + struct.pack("<IIII", low, 0, high, 0)
    return out


def _entry(path, mode, data):
    name = path.lstrip("/").encode()
    return struct.pack("<HHHHI12sIH", mode, 0, 0, 0, T0, b"", len(data), len(name)) + name + data


def _file_data(files):
    """files: {path: bytes}; a value ("link", target) makes a symbolic link.
    Parent directories are added in front."""
    entries, directories = [], []
    for path in files:
        parts = path.strip("/").split("/")[:-1]
        for i in range(1, len(parts) + 1):
            d = "/".join(parts[:i])
            if d not in directories:
                directories.append(d)
    for d in directories:
        entries.append(_entry(d, 0o40755, b""))
    for path, content in files.items():
        if isinstance(content, tuple):
            entries.append(_entry(path, 0o120777, content[1].encode()))
        else:
            entries.append(_entry(path, 0o100644, content))
    return zlib.compress(b"".join(entries))


def sections(name, ver=V1, files=None, deps=(), conflicts=(), build=T0, arch=None,
             oninstall=None, onuninstall=None, kind=1, file_data=None):
    """The sections of one package; file_data replaces the compressed file
    entries with raw bytes."""
    out = _section(kind, _name16(name) + struct.pack("<II", ver, build) + bytes(8))
    if arch:
        out += _section(16, arch.encode())
    if deps:
        out += _section(3, _requirements(deps))
    if conflicts:
        out += _section(17, _requirements(conflicts))
    if oninstall:
        out += _section(7, oninstall.encode())
    if onuninstall:
        out += _section(8, onuninstall.encode())
    if file_data is not None:
        out += _section(4, file_data)
    elif files is not None:
        out += _section(4, _file_data(files))
    return out


def wrap(body, unrecorded=False, size=None, length_delta=0):
    """The file header over the sections; size pads the file to exactly that
    many bytes with a section of a type every reader skips."""
    if size is not None:
        pad = size - 8 - len(body) - 6
        assert pad >= 0
        body += _section(5, bytes(pad))
    magic = MAGIC_UNRECORDED if unrecorded else MAGIC_RECORDED
    return struct.pack("<II", magic, len(body) + length_delta) + body


def package(name, ver=V1, files=None, unrecorded=False, size=None, length_delta=0, **header):
    if files is None:
        files = {f"/usr/share/{name}/data": f"{name} {ver}".encode()}
    return wrap(sections(name, ver, files, **header), unrecorded, size, length_delta)


def bundle(name, members, ver=V1, **header):
    return wrap(sections(name, ver, None, kind=18, **header) + b"".join(members))


# -- the router --------------------------------------------------------------

class Router:
    """A scratch root with one package "base" installed, so that the queue
    job never finds the router empty unless a test means it to."""

    def __init__(self, root):
        self.root = root
        os.makedirs(root.p("/proc"), exist_ok=True)  # empty: no process is seen

    def p(self, path):
        return self.root.p(path)

    def install(self, data, *args):
        status, out, _ = self.root.installer(*args, "-", stdin=data)
        assert status == 0, out
        return out

    def drop(self, file_name, data):
        with open(self.p("/var/pckg/" + file_name), "wb") as f:
            f.write(data)

    def queue(self, *names):
        for name in names:
            open(self.p("/var/deinstall/" + name), "w").close()

    def run(self, *args, keep_postlog=False, timeout=30):
        """The queue job (or the job args select); returns (status, stdout).
        Unless keep_postlog, the previous "/postlog" is removed first, so
        that the log holds this run's messages only."""
        if not keep_postlog and os.path.lexists(self.p("/postlog")):
            os.remove(self.p("/postlog"))
        status, out, _ = self.root.installer(*args, timeout=timeout)
        return status, out

    def installed(self):
        return self.root.installed()

    def read_version(self, name):
        return int(self.root.read(f"/var/pdb/{name}/version").split()[0])

    def log(self):
        """Every line of "/postlog" (the scratch roots of these tests have a
        /proc directory, so no warning about it is expected)."""
        return self.root.postlog().splitlines()

    def listing(self, directory):
        return sorted(os.listdir(self.p(directory)))

    def exists(self, path):
        return os.path.lexists(self.p(path))


@pytest.fixture
def router(root):
    r = Router(root)
    r.install(package("base"))
    return r


# -- files in use ------------------------------------------------------------

HOLD_OPEN = "import sys; f = open(sys.argv[1], 'rb'); print('ready', flush=True); sys.stdin.read()"
# Python's mmap keeps a duplicate descriptor of the file; it is closed so
# that the mapping alone holds the file.
HOLD_MAPPED = ("import mmap, os, sys; f = open(sys.argv[1], 'rb'); "
               "m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ); f.close(); "
               "[os.close(int(d)) for d in os.listdir('/proc/self/fd') "
               " if os.path.realpath('/proc/self/fd/' + d) == sys.argv[1]]; "
               "print('ready', flush=True); sys.stdin.read()")


def hold(script, path):
    proc = subprocess.Popen([sys.executable, "-c", script, path], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)
    assert proc.stdout.readline() == b"ready\n"
    return proc


def test_files_in_use_are_parked_at_the_first_free_names(router):
    files = {"/opt/held/mapped.so": b"mapped " * 1000, "/opt/held/open.so": b"open " * 1000,
             "/opt/held/idle.so": b"idle"}
    router.install(package("held", files=files))
    with open(router.p("/tmp/inst1"), "wb") as f:
        f.write(b"taken")
    holders = [hold(HOLD_OPEN, router.p("/opt/held/open.so")),
               hold(HOLD_MAPPED, router.p("/opt/held/mapped.so"))]
    proc_mounted = False
    try:
        subprocess.run(["mount", "-t", "proc", "proc", router.p("/proc")], check=True)
        proc_mounted = True
        router.queue("held")
        assert router.run()[0] == 0
    finally:
        if proc_mounted:
            subprocess.run(["umount", router.p("/proc")], check=True)
        for proc in holders:
            proc.stdin.close()
            proc.wait(timeout=10)
    assert router.log() == ["uninstalled held-1.0"]
    # In file-list order: mapped.so before open.so; inst1 was taken.
    assert open(router.p("/tmp/inst1"), "rb").read() == b"taken"
    assert open(router.p("/tmp/inst2"), "rb").read() == files["/opt/held/mapped.so"]
    assert open(router.p("/tmp/inst3"), "rb").read() == files["/opt/held/open.so"]
    assert router.listing("/tmp") == ["inst1", "inst2", "inst3"]
    assert router.listing("/opt/held") == []
    assert router.installed() == ["base"]


def test_without_proc_nothing_is_parked_and_a_warning_says_so(router):
    router.install(package("held", files={"/opt/held/open.so": b"x"}))
    os.rmdir(router.p("/proc"))
    holder = hold(HOLD_OPEN, router.p("/opt/held/open.so"))
    try:
        router.queue("held")
        status, out = router.run()
    finally:
        holder.stdin.close()
        holder.wait(timeout=10)
    assert status == 0
    assert router.log() == ["WARNING: could not open /proc", "uninstalled held-1.0"]
    assert router.listing("/tmp") == [] and not router.exists("/opt/held/open.so")


# -- the removal queue ---------------------------------------------------------

def test_queue_entries_are_deleted_whatever_they_name(router):
    too_long = "b" * 65  # "/var/deinstall/" and 65 bytes do not fit 80
    router.queue("ghost", "base" + "x" * 60, too_long, ".hidden")
    assert router.run() == (0, "")
    assert router.listing("/var/deinstall") == [".hidden"]
    assert router.installed() == ["base"]
    assert router.log() == []


def test_queue_removes_a_bundle_with_its_members_and_with_its_last_member(router):
    suite = bundle("suite", [sections("m1", files={"/usr/m1": b"1"}),
                             sections("m2", files={"/usr/m2": b"2"})])
    router.install(suite)
    assert router.installed() == ["base", "m1", "m2", "suite"]
    router.queue("suite")
    router.run()
    assert router.installed() == ["base"]
    assert sorted(router.log()) == ["uninstalled m1-1.0", "uninstalled m2-1.0",
                                    "uninstalled suite-1.0"]
    assert not router.exists("/usr/m1") and not router.exists("/usr/m2")

    router.install(suite)
    router.queue("m1")
    router.run()
    assert router.installed() == ["base", "m2", "suite"]
    router.queue("m2")
    router.run()
    assert router.installed() == ["base"]
    assert sorted(router.log()) == ["uninstalled m2-1.0", "uninstalled suite-1.0"]


def test_queued_package_that_another_needs_stays_with_a_warning(router):
    router.install(package("lib", files={"/usr/lib/lib.so": b"lib"}))
    # The dependent's uninstall script fails if its dependency went first.
    router.install(package("app", deps=[("lib", V1, 0)],
                           onuninstall="test -e /usr/lib/lib.so || exit 3\n"))
    router.queue("lib")
    assert router.run() == (0, "WARNING: can not uninstall lib: app-1.0 depends on it\n")
    assert router.installed() == ["app", "base", "lib"]
    assert router.listing("/var/deinstall") == []

    router.queue("lib", "app")
    router.run()
    assert router.log() == ["uninstalled app-1.0", "uninstalled lib-1.0"]
    assert router.installed() == ["base"]


def test_keeping_one_bundle_member_keeps_the_whole_bundle(router):
    router.install(bundle("suite", [sections("m1"), sections("m2")]))
    router.install(package("app", deps=["m1"]))
    router.queue("suite", "m2")
    router.run()
    assert router.log() == ["WARNING: can not uninstall m1: app-1.0 depends on it"]
    assert router.installed() == ["app", "base", "m1", "m2", "suite"]


def test_queuing_every_package_removes_nothing(router):
    router.install(package("lib"))
    router.queue("base", "lib")
    router.run()
    assert router.log() == ["ERROR: can not uninstall all packages"]
    assert router.installed() == ["base", "lib"]
    assert router.listing("/var/deinstall") == []


# -- pending packages ----------------------------------------------------------

def test_both_suffixes_are_collected_and_other_names_ignored(router):
    router.drop("a.kpk", package("a"))
    router.drop("b.dpk", package("b"))
    # Installed without a record: still installed from its file.
    router.drop("u.kpk", package("tools", unrecorded=True))
    for ignored in ("C.KPK", "d.Dpk", ".e.kpk", ".kpk", "f.kpk.txt", "kpk"):
        router.drop(ignored, package("ignored"))
    assert router.run()[0] == 0
    assert router.installed() == ["a", "b", "base"]
    assert router.listing("/var/pckg") == [".e.kpk", ".kpk", "C.KPK", "d.Dpk", "f.kpk.txt", "kpk"]
    assert router.listing("/ram") == []
    assert router.exists("/usr/share/tools/data") and not router.exists("/var/pdb/tools")


def test_downgrade_marker_is_consumed_even_when_nothing_is_pending(router):
    open(router.p("/DOWNGRADE"), "w").close()
    assert router.run() == (0, "")
    assert not router.exists("/DOWNGRADE")

    router.install(package("p", V2))
    router.drop("p.kpk", package("p", V1))
    router.run()
    assert router.log() == ["WARNING: omitting package p-1.0: newer package p-2.0 is already installed"]
    assert router.listing("/var/pckg") == ["p.kpk"]
    open(router.p("/DOWNGRADE"), "w").close()
    router.run()
    assert router.log() == ["installed p-1.0"]
    assert router.read_version("p") == V1
    assert router.listing("/var/pckg") == [] and not router.exists("/DOWNGRADE")


def test_of_two_files_of_one_name_the_newer_installs_and_the_other_stays(router):
    for old_name, new_name in (("a.kpk", "b.kpk"), ("b.kpk", "a.kpk")):
        router.drop(old_name, package("p", V1))
        router.drop(new_name, package("p", V2))
        router.run()
        assert router.log() == [
            "installed p-2.0",
            "WARNING: omitting package p-1.0: newer package p-2.0 is already installed"]
        # Refused although a package of its name is installed: it stays pending.
        assert router.listing("/var/pckg") == [old_name]
        assert router.listing("/ram") == []
        os.unlink(router.p("/var/pckg/" + old_name))
        router.queue("p")
        router.run()


def test_dependencies_install_first_whatever_the_directory_order(router):
    for app_file, lib_file in (("1.kpk", "2.kpk"), ("2.kpk", "1.kpk")):
        router.drop(app_file, package("app", deps=[("lib", V1, 0)]))
        router.drop(lib_file, package("lib"))
        router.run()
        assert router.log() == ["installed lib-1.0", "installed app-1.0"]
        assert router.listing("/var/pckg") == []
        router.queue("app", "lib")
        router.run()
        assert router.installed() == ["base"]


def test_broken_files_are_reported_and_left_in_place(router):
    files = {
        "long.kpk": package("long", length_delta=1),   # header says one byte more
        "short.kpk": package("short", length_delta=-1),
        "junk.kpk": b"not a package at all",
        "empty.dpk": b"",
        "memberless.kpk": bundle("suite", []),
    }
    for name, data in files.items():
        router.drop(name, data)
    router.drop("good.kpk", package("good"))
    router.run()
    assert sorted(router.log()) == sorted(
        ["installed good-1.0"] + [f"ERROR: broken package {name}" for name in files])
    assert router.listing("/var/pckg") == sorted(files)
    for name, data in files.items():
        assert open(router.p("/var/pckg/" + name), "rb").read() == data
    assert router.installed() == ["base", "good"]


def _ram_budget_case(router, sizes):
    """Three random files chained by dependencies so that they install in the
    given order; the first to install records where the files were."""
    names = ["first", "second", "third"]
    for i, (name, size) in enumerate(zip(names, sizes)):
        deps = [names[i - 1]] if i else []
        script = "echo /ram/* > /where; echo /var/pckg/* >> /where\n" if i == 0 else None
        data = package(name, files={f"/data/{name}": os.urandom(size - 4096)}, deps=deps,
                       oninstall=script, size=size)
        assert len(data) == size
        router.drop(f"{name}.kpk", data)
    router.run()
    assert router.log() == [f"installed {name}-1.0" for name in names]
    assert router.listing("/var/pckg") == [] and router.listing("/ram") == []
    return open(router.p("/where")).read().split()


def test_ram_budget_takes_files_below_what_is_left(router):
    where = _ram_budget_case(router, [6 * MIB, 3 * MIB, 2 * MIB])
    assert where == ["/ram/first.kpk", "/ram/second.kpk", "/var/pckg/third.kpk"]


def test_ram_budget_file_of_exactly_what_is_left_stays(router):
    # 6 MiB leave 4 MiB: a file of exactly 4 MiB stays, a later 2 MiB one fits.
    where = _ram_budget_case(router, [6 * MIB, 4 * MIB, 2 * MIB])
    assert where == ["/ram/first.kpk", "/ram/third.kpk", "/var/pckg/second.kpk"]


def test_failures_go_back_under_their_old_names(router):
    router.drop("needs.kpk", package("needy", deps=["missing"]))
    router.drop("arm.dpk", package("armonly", arch="arm"))
    # File data cut short: the header reads, the install fails.
    cut = _file_data({"/c": os.urandom(4000)})[:2000]
    corrupt = wrap(sections("corrupt", file_data=cut))
    router.drop("corrupt.kpk", corrupt)
    # A bundle whose only member is refused: status 3, its record written.
    router.drop("nomember.kpk", bundle("suite", [sections("m", arch="arm")]))
    router.drop("ok.kpk", bundle("okbundle", [sections("okm")]))
    router.run()
    log = router.log()
    assert "ERROR: can not install needy-1.0: missing is not installed, but is required" in log
    assert "ERROR: can not install armonly-1.0: it is not made for i386, but for arm" in log
    assert "ERROR: installation of corrupt-1.0 failed: broken package" in log
    assert "installed okbundle-1.0" in log
    assert router.listing("/var/pckg") == ["arm.dpk", "corrupt.kpk", "needs.kpk", "nomember.kpk"]
    assert router.listing("/ram") == []
    assert open(router.p("/var/pckg/corrupt.kpk"), "rb").read() == corrupt
    assert "okm" in router.installed() and "corrupt" not in router.installed()
    assert not router.exists("/c")


def test_postlog_of_the_previous_run_is_kept(router):
    with open(router.p("/postlog"), "wb") as f:
        f.write(b"earlier one\n\nearlier two\ncut short")
    cp = shutil.which("cp")
    _copy_with_libraries(cp, router.root.path)
    router.drop("p.kpk", package("p", oninstall=f"{cp} /postlog /postlog.during\n"))
    router.run(keep_postlog=True)
    assert router.log() == ["earlier one", "", "earlier two", "installed p-1.0"]
    assert open(router.p("/postlog.during"), "rb").read() == bytes(4096)
    # Nothing pending: this run's messages only.
    router.queue("ghost")
    router.run(keep_postlog=True)
    assert router.root.postlog() == ""


def _cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _run_until_halted(root, *args):
    """Starts the queue job, waits for the halt text, checks that the process
    neither ends nor uses the processor, then kills it. Returns stdout."""
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    proc = subprocess.Popen([program("installer"), "-r", root.path, *args],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    try:
        out = b""
        deadline = time.monotonic() + 30
        while not out.endswith(b"Please, reinstall.\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([proc.stdout], [], [], 0.5)
            if ready:
                chunk = os.read(proc.stdout.fileno(), 4096)
                if not chunk:
                    break
                out += chunk
        before = _cpu_seconds(proc.pid)
        time.sleep(1.0)
        assert proc.poll() is None, "the halt returned"
        assert _cpu_seconds(proc.pid) - before < 0.2
        return out.decode("latin-1")
    finally:
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=10)


def test_empty_router_halts_with_its_message_even_in_quiet_mode(root):
    Router(root)
    assert _run_until_halted(root, "-q") == HALT_TEXT
    assert _run_until_halted(root) == HALT_TEXT


def test_empty_router_halts_after_its_pending_package_failed(root):
    router = Router(root)
    router.drop("p.kpk", package("p", deps=["missing"]))
    out = _run_until_halted(root)
    assert out.endswith("ERROR: can not install p-1.0: missing is not installed, "
                        "but is required\n" + HALT_TEXT)
    assert router.listing("/var/pckg") == ["p.kpk"] and router.listing("/ram") == []


# -- file collection -----------------------------------------------------------

def _collection_tree(router):
    router.install(package("owner", files={
        "/srv/data/owned": b"o", "/srv/data/sub/owned": b"o", "/srv/data/link": ("link", "owned")}))
    os.makedirs(router.p("/srv/data/empty"))
    os.makedirs(router.p("/keep"))
    for path in ("/srv/data/junk", "/srv/data/sub/junk", "/keep/precious", "/etc/junk"):
        os.makedirs(os.path.dirname(router.p(path)), exist_ok=True)
        open(router.p(path), "w").close()
    os.mkfifo(router.p("/srv/data/fifo"))
    os.symlink("/keep", router.p("/srv/data/dirlink"))
    os.symlink(router.p("/keep"), router.p("/srv/data/hostlink"))


def _walk(router, top):
    found = []
    for directory, dirs, files in os.walk(router.p(top)):
        rel = os.path.relpath(directory, router.p("/"))
        found += [os.path.join(rel, n) + "/" for n in dirs] + [os.path.join(rel, n) for n in files]
    return sorted(found)


def test_collection_keeps_owned_files_and_directories_and_follows_no_link(router):
    _collection_tree(router)
    status, out = router.run("--filegc", "/srv/data")
    assert (status, out) == (0, "")
    assert _walk(router, "/srv") == ["srv/data/", "srv/data/empty/", "srv/data/link",
                                     "srv/data/owned", "srv/data/sub/", "srv/data/sub/owned"]
    assert router.exists("/keep/precious") and router.exists("/etc/junk")
    assert not router.exists("/postlog")


def test_collection_arguments_are_normalised_or_refused(router):
    _collection_tree(router)
    refused = [("srv/data", "ERROR: file collection needs an absolute path: srv/data"),
               ("/srv/../srv/data", "ERROR: file collection needs a path without . or ..: "
                                    "/srv/../srv/data"),
               ("/srv/./data", "ERROR: file collection needs a path without . or ..: /srv/./data"),
               ("/srv/data/dirlink",
                "ERROR: file collection does not follow the symbolic link /srv/data/dirlink")]
    for argument, message in refused:
        status, out = router.run("--filegc", argument)
        assert (status, out) == (0, message + "\n")
    assert router.exists("/srv/data/junk") and router.exists("/keep/precious")

    status, out = router.run("--filegc", "//srv//data/")
    assert (status, out) == (0, "")
    assert not router.exists("/srv/data/junk") and router.exists("/srv/data/owned")
    assert router.exists("/srv/data/sub/owned") and router.exists("/etc/junk")

    router.run("--filegc", "/")
    assert not router.exists("/etc/junk") and not router.exists("/keep/precious")
    assert router.exists("/srv/data/owned") and router.exists("/srv/data/link")
    assert router.exists("/keep") and not router.exists("/postlog")
    # The package database is no file to collect: without it every package
    # would be removed at the next start.
    assert router.exists("/var/pdb/owner/version") and router.exists("/var/pdb/owner/files")
    assert router.exists("/var/pdb/base/version")
