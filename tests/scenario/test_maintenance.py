"""installer: the maintenance jobs on a scratch root.

The queue job (removals queued under /var/deinstall, then the package files
waiting in /var/pckg), the parking of files that running processes use, and
file collection (--filegc). Every run passes -r <scratch root>. Packages
are written by pkgtools.raw: the tests need exact file sizes, lengths that
disagree with the file and bundles without members.
"""
import itertools
import os
import select
import shutil
import signal
import subprocess
import sys
import time

import pytest

import faults
from conftest import copy_with_libraries, program
from pkgtools import entry, file_data, raw, raw_bundle, raw_section, version

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")

MIB = 1 << 20
HALT_TEXT = "\nERROR: router installation failed!!!\nPlease, reinstall.\n"


def package(name, ver="1.0", files=None, **header):
    """A package with one data file of its own unless files are given."""
    if files is None:
        files = {f"/usr/share/{name}/data": f"{name} {ver}".encode()}
    return raw(name, files, version=ver, **header)


@pytest.fixture
def router(root):
    """A root with an empty /proc (no process is seen) and the package
    "base" installed, so that the queue job never finds the router empty
    unless a test means it to."""
    os.makedirs(root.p("/proc"))
    root.install(package("base"))
    return root


def job(root, *args, keep_postlog=False):
    """The queue job (or the job args select); returns (status, stdout).
    Unless keep_postlog, the previous "/postlog" is removed first, so that
    the log holds this run's messages only."""
    if not keep_postlog and root.exists("/postlog"):
        os.remove(root.p("/postlog"))
    status, out, _ = root.installer(*args, timeout=30)
    return status, out


def relength(data, delta):
    """The package with the file length in its header off by delta."""
    return data[:4] + (int.from_bytes(data[4:8], "little") + delta).to_bytes(4, "little") + data[8:]


def log(root):
    return root.postlog().splitlines()


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
        assert job(router)[0] == 0
    finally:
        if proc_mounted:
            subprocess.run(["umount", router.p("/proc")], check=True)
        for proc in holders:
            proc.stdin.close()
            proc.wait(timeout=10)
    assert log(router) == ["uninstalled held-1.0"]
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
        status, out = job(router)
    finally:
        holder.stdin.close()
        holder.wait(timeout=10)
    assert status == 0
    assert log(router) == ["WARNING: could not open /proc", "uninstalled held-1.0"]
    assert router.listing("/tmp") == [] and not router.exists("/opt/held/open.so")


# -- the removal queue ---------------------------------------------------------

def test_queue_entries_are_deleted_whatever_they_name(router):
    too_long = "b" * 65  # "/var/deinstall/" and 65 bytes do not fit 80
    router.queue("ghost", "base" + "x" * 60, too_long, ".hidden")
    assert job(router) == (0, "")
    assert router.listing("/var/deinstall") == [".hidden"]
    assert router.installed() == ["base"]
    assert log(router) == []


def test_queue_removes_a_bundle_with_its_members_and_with_its_last_member(router):
    suite = raw_bundle("suite", [package("m1", files={"/usr/m1": b"1"}),
                             package("m2", files={"/usr/m2": b"2"})])
    router.install(suite)
    assert router.installed() == ["base", "m1", "m2", "suite"]
    router.queue("suite")
    job(router)
    assert router.installed() == ["base"]
    assert sorted(log(router)) == ["uninstalled m1-1.0", "uninstalled m2-1.0",
                                    "uninstalled suite-1.0"]
    assert not router.exists("/usr/m1") and not router.exists("/usr/m2")

    router.install(suite)
    router.queue("m1")
    job(router)
    assert router.installed() == ["base", "m2", "suite"]
    router.queue("m2")
    job(router)
    assert router.installed() == ["base"]
    assert sorted(log(router)) == ["uninstalled m2-1.0", "uninstalled suite-1.0"]


def test_queued_package_that_another_needs_stays_with_a_warning(router):
    router.install(package("lib", files={"/usr/lib/lib.so": b"lib"}))
    # The dependent's uninstall script fails if its dependency went first.
    router.install(package("app", deps=[("lib", "1.0", 0)],
                           uninstall_script="test -e /usr/lib/lib.so || exit 3\n"))
    router.queue("lib")
    assert job(router) == (0, "WARNING: can not uninstall lib: app-1.0 depends on it\n")
    assert router.installed() == ["app", "base", "lib"]
    assert router.listing("/var/deinstall") == []

    router.queue("lib", "app")
    job(router)
    assert log(router) == ["uninstalled app-1.0", "uninstalled lib-1.0"]
    assert router.installed() == ["base"]

    # Keeping one bundle member keeps the whole bundle.
    router.install(raw_bundle("suite", [package("m1"), package("m2")]))
    router.install(package("app", deps=["m1"]))
    router.queue("suite", "m2")
    job(router)
    assert log(router) == ["WARNING: can not uninstall m1: app-1.0 depends on it"]
    assert router.installed() == ["app", "base", "m1", "m2", "suite"]

    # Queuing every package removes nothing.
    router.queue("base", "app", "m1", "m2", "suite")
    job(router)
    assert log(router) == ["ERROR: can not uninstall all packages"]
    assert router.installed() == ["app", "base", "m1", "m2", "suite"]
    assert router.listing("/var/deinstall") == []


# -- pending packages ----------------------------------------------------------

def test_both_suffixes_are_collected_and_other_names_ignored(router):
    router.drop("a.kpk", package("a"))
    router.drop("b.dpk", package("b"))
    # Installed without a record: still installed from its file.
    router.drop("u.kpk", package("tools", unrecorded=True))
    for ignored in ("C.KPK", "d.Dpk", ".e.kpk", ".kpk", "f.kpk.txt", "kpk"):
        router.drop(ignored, package("ignored"))
    assert job(router)[0] == 0
    assert router.installed() == ["a", "b", "base"]
    assert router.listing("/var/pckg") == [".e.kpk", ".kpk", "C.KPK", "d.Dpk", "f.kpk.txt", "kpk"]
    assert router.listing("/ram") == []
    assert router.exists("/usr/share/tools/data") and not router.exists("/var/pdb/tools")


def test_downgrade_marker_is_consumed_even_when_nothing_is_pending(router):
    open(router.p("/DOWNGRADE"), "w").close()
    assert job(router) == (0, "")
    assert not router.exists("/DOWNGRADE")

    router.install(package("p", "2.0"))
    router.drop("p.kpk", package("p", "1.0"))
    job(router)
    assert log(router) == ["WARNING: omitting package p-1.0: newer package p-2.0 is already installed"]
    assert router.listing("/var/pckg") == ["p.kpk"]
    open(router.p("/DOWNGRADE"), "w").close()
    job(router)
    assert log(router) == ["installed p-1.0"]
    assert router.read("/var/pdb/p/version").split()[0] == str(version("1.0"))
    assert router.listing("/var/pckg") == [] and not router.exists("/DOWNGRADE")


def test_of_two_files_of_one_name_the_newer_installs_and_the_other_stays(router):
    for old_name, new_name in (("a.kpk", "b.kpk"), ("b.kpk", "a.kpk")):
        router.drop(old_name, package("p", "1.0"))
        router.drop(new_name, package("p", "2.0"))
        job(router)
        assert log(router) == [
            "installed p-2.0",
            "WARNING: omitting package p-1.0: newer package p-2.0 is already installed"]
        # Refused although a package of its name is installed: it stays pending.
        assert router.listing("/var/pckg") == [old_name]
        assert router.listing("/ram") == []
        os.unlink(router.p("/var/pckg/" + old_name))
        router.queue("p")
        job(router)


def test_dependencies_install_first_whatever_the_directory_order(router):
    # A chain of three, dropped in every order under every name.
    chain = [package("app", deps=[("mid", "1.0", 0)]), package("mid", deps=["lib"]), package("lib")]
    for order in itertools.permutations(range(3)):
        for name, i in zip("123", order):
            router.drop(f"{name}.kpk", chain[i])
        job(router)
        assert log(router) == ["installed lib-1.0", "installed mid-1.0", "installed app-1.0"], order
        assert router.listing("/var/pckg") == []
        router.queue("app", "mid", "lib")
        job(router)
        assert router.installed() == ["base"]


def test_broken_files_are_reported_and_left_in_place(router):
    files = {
        "long.kpk": relength(package("long"), 1),   # the header says one byte more
        "short.kpk": relength(package("short"), -1),
        "junk.kpk": b"not a package at all",
        "empty.dpk": b"",
        "memberless.kpk": raw_bundle("suite", []),
    }
    for name, data in files.items():
        router.drop(name, data)
    router.drop("good.kpk", package("good"))
    job(router)
    assert sorted(log(router)) == sorted(
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
                       install_script=script, size=size)
        assert len(data) == size
        router.drop(f"{name}.kpk", data)
    job(router)
    assert log(router) == [f"installed {name}-1.0" for name in names]
    assert router.listing("/var/pckg") == [] and router.listing("/ram") == []
    return open(router.p("/where")).read().split()


@pytest.mark.parametrize("sizes,where", [
    ([6 * MIB, 3 * MIB, 2 * MIB], ["/ram/first.kpk", "/ram/second.kpk", "/var/pckg/third.kpk"]),
    # 6 MiB leave 4 MiB: a file of exactly 4 MiB stays, a later 2 MiB one fits.
    ([6 * MIB, 4 * MIB, 2 * MIB], ["/ram/first.kpk", "/ram/third.kpk", "/var/pckg/second.kpk"]),
])
def test_ram_budget_takes_files_below_what_is_left(router, sizes, where):
    assert _ram_budget_case(router, sizes) == where


def test_failures_go_back_under_their_old_names(router):
    router.drop("needs.kpk", package("needy", deps=["missing"]))
    router.drop("arm.dpk", package("armonly", arch="arm"))
    # File data cut short: the header reads, the install fails.
    cut = file_data([entry("/c", os.urandom(4000))])[:2000]
    corrupt = raw("corrupt", sections=[raw_section(4, cut)])
    router.drop("corrupt.kpk", corrupt)
    # A bundle whose only member is refused: status 3, its record written.
    router.drop("nomember.kpk", raw_bundle("suite", [package("m", arch="arm")]))
    router.drop("ok.kpk", raw_bundle("okbundle", [package("okm")]))
    job(router)
    said = log(router)
    assert "ERROR: can not install needy-1.0: missing is not installed, but is required" in said
    assert "ERROR: can not install armonly-1.0: it is not made for i386, but for arm" in said
    assert "ERROR: installation of corrupt-1.0 failed: broken package" in said
    assert "installed okbundle-1.0" in said
    assert router.listing("/var/pckg") == ["arm.dpk", "corrupt.kpk", "needs.kpk", "nomember.kpk"]
    assert router.listing("/ram") == []
    assert open(router.p("/var/pckg/corrupt.kpk"), "rb").read() == corrupt
    assert "okm" in router.installed() and "corrupt" not in router.installed()
    assert not router.exists("/c")


def test_a_file_that_cannot_go_back_from_the_ram_disk_is_reported(router, tmp_path):
    with faults.mounted_tmpfs(router.p("/var/pckg"), 1 << 20):
        router.drop("needy.kpk", package("needy", deps=["missing"]))
        subprocess.run(["mount", "-o", "remount,ro", router.p("/var/pckg")], check=True)
        job(router)
        assert log(router) == [
            "ERROR: can not install needy-1.0: missing is not installed, but is required",
            "ERROR: could not move /ram/needy.kpk back to /var/pckg/needy.kpk"]


def test_postlog_of_the_previous_run_is_kept(router):
    with open(router.p("/postlog"), "wb") as f:
        f.write(b"earlier one\n\nearlier two\ncut short")
    cp = shutil.which("cp")
    copy_with_libraries(cp, router.path)
    router.drop("p.kpk", package("p", install_script=f"{cp} /postlog /postlog.during\n"))
    job(router, keep_postlog=True)
    assert log(router) == ["earlier one", "", "earlier two", "installed p-1.0"]
    assert open(router.p("/postlog.during"), "rb").read() == bytes(4096)
    # Nothing pending: this run's messages only.
    router.queue("ghost")
    job(router, keep_postlog=True)
    assert router.postlog() == ""


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


def test_empty_router_halts_with_its_message(root):
    os.makedirs(root.p("/proc"))
    assert _run_until_halted(root, "-q") == HALT_TEXT
    assert _run_until_halted(root) == HALT_TEXT
    # Also after its pending package failed; the file stays pending.
    root.drop("p.kpk", package("p", deps=["missing"]))
    out = _run_until_halted(root)
    assert out.endswith("ERROR: can not install p-1.0: missing is not installed, "
                        "but is required\n" + HALT_TEXT)
    assert root.listing("/var/pckg") == ["p.kpk"] and root.listing("/ram") == []


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
    status, out = job(router, "--filegc", "/srv/data")
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
                "ERROR: file collection does not follow the symbolic link /srv/data/dirlink"),
               ("/dblink/owner", "ERROR: file collection does not follow the symbolic link "
                                 "/dblink/owner")]
    os.symlink("var/pdb", router.p("/dblink"))
    for argument, message in refused:
        status, out = job(router, "--filegc", argument)
        assert (status, out) == (0, message + "\n")
    assert router.exists("/srv/data/junk") and router.exists("/keep/precious")

    status, out = job(router, "--filegc", "//srv//data/")
    assert (status, out) == (0, "")
    assert not router.exists("/srv/data/junk") and router.exists("/srv/data/owned")
    assert router.exists("/srv/data/sub/owned") and router.exists("/etc/junk")

    own_state = ("/var/pckg/p.kpk", "/var/deinstall/ghost", "/DOWNGRADE", "/postlog")
    for path in own_state:
        open(router.p(path), "w").close()
    job(router, "--filegc", "/", keep_postlog=True)
    assert not router.exists("/etc/junk") and not router.exists("/keep/precious")
    # The installer's own state is no file to collect either.
    assert [p for p in own_state if not router.exists(p)] == []
    os.unlink(router.p("/postlog"))
    assert router.exists("/srv/data/owned") and router.exists("/srv/data/link")
    assert router.exists("/keep") and not router.exists("/postlog")
    # The package database is no file to collect: without it every package
    # would be removed at the next start.
    assert router.exists("/var/pdb/owner/version") and router.exists("/var/pdb/owner/files")
    assert router.exists("/var/pdb/base/version")
