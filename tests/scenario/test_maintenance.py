"""installer's start jobs: removal queue, waiting package files, files in use, file collection."""
import itertools
import os
import select
import shutil
import signal
import stat
import subprocess
import sys
import time

import pytest

import faults
from conftest import QUIET_LEAKS, copy_with_libraries, needs_root, program
from pkgtools import entry, file_data, raw, raw_bundle, raw_section, version

pytestmark = needs_root()

MIB = 1 << 20
HALT_TEXT = "\nERROR: router installation failed!!!\nPlease, reinstall.\n"


def package(name, ver="1.0", files=None, **header):
    """A package with one data file of its own unless files are given."""
    return raw(name, files or {f"/usr/share/{name}/data": f"{name} {ver}".encode()}, version=ver, **header)


@pytest.fixture
def router(root):
    """A root with an empty /proc (no process is seen) and "base", so that it is empty only where meant."""
    os.makedirs(root.p("/proc"))
    root.install(package("base"))
    return root


# -- files in use ------------------------------------------------------------

HOLD_OPEN = "import sys; f = open(sys.argv[1], 'rb'); print('ready', flush=True); sys.stdin.read()"
# mmap keeps a duplicate descriptor of the file; it is closed so that the mapping alone holds it.
HOLD_MAPPED = ("import mmap, os, sys; f = open(sys.argv[1], 'rb'); "
               "m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ); f.close(); "
               "[os.close(int(d)) for d in os.listdir('/proc/self/fd') "
               " if os.path.realpath('/proc/self/fd/' + d) == sys.argv[1]]; "
               "print('ready', flush=True); sys.stdin.read()")


def removed_while_held(router, files, held, mount_proc):
    """Runs the removal of "held" (files) while processes hold the given files open or mapped."""
    router.install(package("held", files=files))
    holders = []
    try:
        for script, path in held:
            holders.append(subprocess.Popen([sys.executable, "-c", script, router.p(path)],
                                            stdin=subprocess.PIPE, stdout=subprocess.PIPE))
            assert holders[-1].stdout.readline() == b"ready\n"
        if mount_proc:
            subprocess.run(["mount", "-t", "proc", "proc", router.p("/proc")], check=True)
        router.queue("held")
        router.run()
    finally:
        if mount_proc:
            subprocess.run(["umount", router.p("/proc")], check=True)
        for proc in holders:
            proc.stdin.close()
            proc.wait(timeout=10)


def test_files_in_use_are_parked_at_the_first_free_names(router):
    files = {"/opt/held/mapped.so": b"mapped " * 1000, "/opt/held/open.so": b"open " * 1000,
             "/opt/held/idle.so": b"idle"}
    open(router.p("/tmp/inst1"), "wb").write(b"taken")
    removed_while_held(router, files, [(HOLD_OPEN, "/opt/held/open.so"),
                                       (HOLD_MAPPED, "/opt/held/mapped.so")], True)
    assert router.postlog_lines() == ["uninstalled held-1.0"]
    # In file-list order: mapped.so before open.so; inst1 was taken.
    assert [router.read(f"/tmp/inst{i}", "rb") for i in (1, 2, 3)] == [
        b"taken", files["/opt/held/mapped.so"], files["/opt/held/open.so"]]
    assert router.listing("/tmp") == ["inst1", "inst2", "inst3"] and router.listing("/opt/held") == []
    # Without /proc nothing is parked, and a warning says so.
    os.rmdir(router.p("/proc"))
    removed_while_held(router, {"/opt/held/open.so": b"x"}, [(HOLD_OPEN, "/opt/held/open.so")], False)
    assert router.postlog_lines(keep_proc_warning=True) == [
        "WARNING: could not open /proc", "uninstalled held-1.0"]
    assert len(router.listing("/tmp")) == 3 and not router.exists("/opt/held/open.so")


# -- the removal queue ---------------------------------------------------------

def test_queue_entries_are_deleted_whatever_they_name(router):
    # "/var/deinstall/" and 65 bytes do not fit 80.
    router.queue("ghost", "base" + "x" * 60, "b" * 65, ".hidden")
    assert router.run(None, 0, []) == ""
    assert router.listing("/var/deinstall") == [".hidden"] and router.installed() == ["base"]


def test_queue_removes_a_bundle_with_its_members_and_with_its_last_member(router):
    suite = raw_bundle("suite", [package("m1", files={"/usr/m1": b"1"}), package("m2", files={"/usr/m2": b"2"})])
    gone = [f"uninstalled {n}-1.0" for n in ("m1", "m2", "suite")]
    for queued, remaining, log in [(["suite"], ["base"], gone), (["m1"], ["base", "m2", "suite"], gone[:1]),
                                   (["m2"], ["base"], gone[1:])]:
        if "suite" not in router.installed():
            router.install(suite)
        router.queue(*queued)
        router.run()
        assert (router.installed(), sorted(router.postlog_lines())) == (remaining, log), queued
    assert not router.exists("/usr/m1") and not router.exists("/usr/m2")


def test_queued_package_that_another_needs_stays_with_a_warning(router):
    router.install(package("lib", files={"/usr/lib/lib.so": b"lib"}))
    # The dependent's uninstall script fails if its dependency went first.
    router.install(package("app", deps=[("lib", "1.0", 0)], uninstall_script="test -e /usr/lib/lib.so || exit 3\n"))
    router.queue("lib")
    assert router.run() == "WARNING: can not uninstall lib: app-1.0 depends on it\n"
    assert router.installed() == ["app", "base", "lib"] and router.listing("/var/deinstall") == []
    router.queue("lib", "app")
    router.run(None, 0, ["uninstalled app-1.0", "uninstalled lib-1.0"])
    # Keeping one bundle member keeps the whole bundle.
    router.install(raw_bundle("suite", [package("m1"), package("m2")]))
    router.install(package("app", deps=["m1"]))
    router.queue("suite", "m2")
    router.run(None, 0, ["WARNING: can not uninstall m1: app-1.0 depends on it"])
    # Queuing every package removes nothing.
    router.queue("base", "app", "m1", "m2", "suite")
    router.run(None, 0, ["ERROR: can not uninstall all packages"])
    assert router.installed() == ["app", "base", "m1", "m2", "suite"] and router.listing("/var/deinstall") == []


# -- pending packages ----------------------------------------------------------

def test_both_suffixes_are_collected_and_other_names_ignored(router):
    router.drop("a.kpk", package("a"))
    router.drop("b.dpk", package("b"))
    router.drop("u.kpk", package("tools", unrecorded=True))  # installed from its file, without a record
    ignored = [".e.kpk", ".kpk", "C.KPK", "d.Dpk", "f.kpk.txt", "kpk"]
    for name in ignored:
        router.drop(name, package("ignored"))
    router.run()
    assert router.installed() == ["a", "b", "base"] and router.listing("/var/pckg") == ignored
    assert router.listing("/ram") == []
    assert router.exists("/usr/share/tools/data") and not router.exists("/var/pdb/tools")


def test_downgrade_marker_is_consumed_even_when_nothing_is_pending(router):
    open(router.p("/DOWNGRADE"), "w").close()
    assert router.run(None, 0, []) == "" and not router.exists("/DOWNGRADE")
    router.install(package("p", "2.0"))
    router.drop("p.kpk", package("p", "1.0"))
    router.run(None, 0, ["WARNING: omitting package p-1.0: newer package p-2.0 is already installed"])
    assert router.listing("/var/pckg") == ["p.kpk"]
    open(router.p("/DOWNGRADE"), "w").close()
    router.run(None, 0, ["installed p-1.0"])
    assert router.read("/var/pdb/p/version").split()[0] == str(version("1.0"))
    assert router.listing("/var/pckg") == [] and not router.exists("/DOWNGRADE")


def test_of_two_files_of_one_name_the_newer_installs_and_the_other_stays(router):
    for old_name, new_name in (("a.kpk", "b.kpk"), ("b.kpk", "a.kpk")):
        router.drop(old_name, package("p", "1.0"))
        router.drop(new_name, package("p", "2.0"))
        router.run(None, 0, ["installed p-2.0",
                             "WARNING: omitting package p-1.0: newer package p-2.0 is already installed"])
        # Refused although a package of its name is installed: it stays pending.
        assert router.listing("/var/pckg") == [old_name] and router.listing("/ram") == []
        os.unlink(router.p("/var/pckg/" + old_name))
        router.queue("p")
        router.run()


def test_dependencies_install_first_whatever_the_directory_order(router):
    # A chain of three, dropped in every order under every name.
    chain = [package("app", deps=[("mid", "1.0", 0)]), package("mid", deps=["lib"]), package("lib")]
    for order in itertools.permutations(range(3)):
        for name, i in zip("123", order):
            router.drop(f"{name}.kpk", chain[i])
        router.run(None, 0, ["installed lib-1.0", "installed mid-1.0", "installed app-1.0"])
        assert router.listing("/var/pckg") == []
        router.queue("app", "mid", "lib")
        router.run()
        assert router.installed() == ["base"]


def test_broken_files_are_reported_and_left_in_place(router):
    # The file length in the header one byte more or less than the file holds.
    relength = lambda data, delta: data[:4] + (len(data) - 8 + delta).to_bytes(4, "little") + data[8:]
    files = {"long.kpk": relength(package("long"), 1), "short.kpk": relength(package("short"), -1),
             "junk.kpk": b"not a package at all", "empty.dpk": b"", "memberless.kpk": raw_bundle("suite", [])}
    for name, data in [*files.items(), ("good.kpk", package("good"))]:
        router.drop(name, data)
    router.run()
    assert sorted(router.postlog_lines()) == sorted(
        ["installed good-1.0"] + [f"ERROR: broken package {name}" for name in files])
    assert {n: router.read("/var/pckg/" + n, "rb") for n in router.listing("/var/pckg")} == files
    assert router.installed() == ["base", "good"]


@pytest.mark.parametrize("sizes,where", [
    ([6 * MIB, 3 * MIB, 2 * MIB], ["/ram/first.kpk", "/ram/second.kpk", "/var/pckg/third.kpk"]),
    # 6 MiB leave 4 MiB: a file of exactly 4 MiB stays, a later 2 MiB one fits.
    ([6 * MIB, 4 * MIB, 2 * MIB], ["/ram/first.kpk", "/ram/third.kpk", "/var/pckg/second.kpk"]),
])
def test_ram_budget_takes_files_below_what_is_left(router, sizes, where):
    # Chained by dependencies so that they install in this order; the first records where the files were.
    names = ["first", "second", "third"]
    for i, (name, size) in enumerate(zip(names, sizes)):
        script = None if i else "echo /ram/* > /where; echo /var/pckg/* >> /where\n"
        data = package(name, files={f"/data/{name}": os.urandom(size - 4096)}, deps=names[:i][-1:],
                       install_script=script, size=size)
        assert len(data) == size
        router.drop(f"{name}.kpk", data)
    router.run(None, 0, [f"installed {name}-1.0" for name in names])
    assert router.listing("/var/pckg") == [] and router.listing("/ram") == []
    assert router.read("/where").split() == where


def test_failures_go_back_under_their_old_names(router):
    router.drop("needs.kpk", package("needy", deps=["missing"]))
    router.drop("arm.dpk", package("armonly", arch="arm"))
    # File data cut short: the header reads, the install fails.
    corrupt = raw("corrupt", sections=[raw_section(4, file_data([entry("/c", os.urandom(4000))])[:2000])])
    router.drop("corrupt.kpk", corrupt)
    # A bundle whose only member is refused: status 3, its record written.
    router.drop("nomember.kpk", raw_bundle("suite", [package("m", arch="arm")]))
    router.drop("ok.kpk", raw_bundle("okbundle", [package("okm")]))
    router.run()
    assert {"ERROR: can not install needy-1.0: missing is not installed, but is required",
            "ERROR: can not install armonly-1.0: it is not made for i386, but for arm",
            "ERROR: installation of corrupt-1.0 failed: broken package",
            "installed okbundle-1.0"} <= set(router.postlog_lines())
    assert router.listing("/var/pckg") == ["arm.dpk", "corrupt.kpk", "needs.kpk", "nomember.kpk"]
    assert router.listing("/ram") == [] and router.read("/var/pckg/corrupt.kpk", "rb") == corrupt
    assert "okm" in router.installed() and "corrupt" not in router.installed() and not router.exists("/c")


def test_a_file_that_cannot_go_back_from_the_ram_disk_is_reported(router):
    with faults.mounted_tmpfs(router.p("/var/pckg"), 1 << 20):
        router.drop("needy.kpk", package("needy", deps=["missing"]))
        subprocess.run(["mount", "-o", "remount,ro", router.p("/var/pckg")], check=True)
        router.run(None, 0, ["ERROR: can not install needy-1.0: missing is not installed, but is required",
                             "ERROR: could not move /ram/needy.kpk back to /var/pckg/needy.kpk"])


def test_postlog_of_the_previous_run_is_kept(router):
    open(router.p("/postlog"), "wb").write(b"earlier one\n\nearlier two\ncut short")
    cp = shutil.which("cp")
    copy_with_libraries(cp, router.path)
    router.drop("p.kpk", package("p", install_script=f"{cp} /postlog /postlog.during\n"))
    router.run(None, 0, ["earlier one", "", "earlier two", "installed p-1.0"], fresh=False)
    assert router.read("/postlog.during", "rb") == bytes(4096)
    # Nothing pending: this run's messages only.
    router.queue("ghost")
    router.run(fresh=False)
    assert router.postlog() == ""


def _run_until_halted(root, *args):
    """The queue job's output up to the halt text; the process must neither end nor use the processor."""
    proc = subprocess.Popen([program("installer"), "-r", root.path, *args], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=QUIET_LEAKS)
    try:
        out, deadline = b"", time.monotonic() + 30
        while not out.endswith(b"Please, reinstall.\n") and time.monotonic() < deadline:
            if select.select([proc.stdout], [], [], 0.5)[0]:
                chunk = os.read(proc.stdout.fileno(), 4096)
                if not chunk:
                    break
                out += chunk
        ticks = lambda: sum(map(int, open(f"/proc/{proc.pid}/stat").read().rsplit(")", 1)[1].split()[11:13]))
        before = ticks()
        time.sleep(1.0)
        assert proc.poll() is None, "the halt returned"
        assert (ticks() - before) / os.sysconf("SC_CLK_TCK") < 0.2
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
    assert _run_until_halted(root) == (
        "ERROR: can not install p-1.0: missing is not installed, but is required\n" + HALT_TEXT)
    assert root.listing("/var/pckg") == ["p.kpk"] and root.listing("/ram") == []


# -- file collection -----------------------------------------------------------

def test_file_collection(router):
    router.install(package("owner", files={
        "/srv/data/owned": b"o", "/srv/data/sub/owned": b"o", "/srv/data/link": ("link", "owned")}))
    for path in ("/srv/data/junk", "/srv/data/sub/junk", "/keep/precious", "/etc/junk", "/srv/data/empty/"):
        os.makedirs(os.path.dirname(router.p(path)), exist_ok=True)
        if not path.endswith("/"):
            open(router.p(path), "w").close()
    os.mkfifo(router.p("/srv/data/fifo"))
    os.symlink("/keep", router.p("/srv/data/dirlink"))
    os.symlink(router.p("/keep"), router.p("/srv/data/hostlink"))
    os.symlink("var/pdb", router.p("/dblink"))
    # Arguments that are not plain absolute paths are refused; so is one through a link anywhere.
    for argument, why in [("srv/data", "needs an absolute path: "),
                          ("/srv/../srv/data", "needs a path without . or ..: "),
                          ("/srv/./data", "needs a path without . or ..: "),
                          ("/srv/data/dirlink", "does not follow the symbolic link "),
                          ("/dblink/owner", "does not follow the symbolic link ")]:
        assert router.run(["--filegc", argument]) == f"ERROR: file collection {why}{argument}\n"
    assert router.exists("/srv/data/junk") and router.exists("/keep/precious")
    # Unowned files and FIFOs go, links are not followed, directories stay.
    assert router.run(["--filegc", "//srv//data/"]) == "" and not router.exists("/postlog")
    assert sorted(p + "/" * (k == stat.S_IFDIR) for p, (k, _, _) in faults.snapshot(router.p("/srv")).items()) == [
        "data/", "data/empty/", "data/link", "data/owned", "data/sub/", "data/sub/owned"]
    assert router.exists("/keep/precious") and router.exists("/etc/junk")
    # From the root: the package database and the installer's own state are no files to collect.
    own_state = ("/var/pckg/p.kpk", "/var/deinstall/ghost", "/DOWNGRADE", "/postlog")
    for path in own_state:
        open(router.p(path), "w").close()
    router.run(["--filegc", "/"], fresh=False)
    assert not router.exists("/etc/junk") and not router.exists("/keep/precious") and router.exists("/keep")
    assert all(router.exists(p) for p in own_state + (
        "/srv/data/owned", "/srv/data/link", "/var/pdb/owner/files", "/var/pdb/owner/version",
        "/var/pdb/base/version"))
