"""installer under faults: a full disk, kills at any point, hostile packages, attacks on its own state."""
import os
import re
import resource
import shutil
import signal
import stat
import struct
import subprocess
import threading
import uuid
import zlib

import pytest

import faults
import pkgtools
from conftest import ScratchRoot, copy_with_libraries, make_root, needs_root, program
from pkgtools import (BLOCK, CHARACTER, DIRECTORY, FIFO, LINK, REGULAR, SOCKET, T0, entry, raw, raw_bundle,
                      raw_section, section_offsets)

pytestmark = needs_root()

COLLECTED = ("/opt", "/etc")  # where the test packages put their files
KEEPER_FILES = {"/etc/keeper.conf": b"keeper\n", "/opt/keeper/tool": b"tool"}


def random_files(prefix, count, size):
    return {f"{prefix}{i:04}": os.urandom(size) for i in range(count)}


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    """The packages of the kill and fill tests, built once with kpk."""
    factory = pkgtools.Packages(tmp_path_factory.mktemp("fault-packages"))
    build = factory.make
    big = {**random_files("opt/big/data/f", 40, 100_000), **random_files("opt/big/small/f", 100, 10_000),
           "etc/big.conf": b"big\n", "opt/big/current": ("link", "data/f0000")}
    p = {"big": build("big", "1.0", big, depends=[("keeper", "1.0", None)],
                      install_script=": > /markers/big-install-ran; sleep 0.05\n",
                      uninstall_script=": > /markers/big-uninstall-ran\n")}
    # Many small files, so that taking the old version out lasts a while.
    p["old"] = build("big", "0.9", {**random_files("opt/big/old/f", 1500, 100), "etc/big.conf": b"old\n"},
                     uninstall_script=": > /markers/old-uninstalling; sleep 0.05\n")
    p["members"] = [build(f"m{i}", "1.0", {**random_files(f"opt/m{i}/data", 3, 500_000),
                                           **random_files(f"opt/m{i}/small/f", 40, 3000)}, bundle="suite",
                          **({"install_script": ": > /markers/m2-install-ran\n"} if i == 2 else {}))
                    for i in (1, 2, 3)]
    p["suite"] = factory.bundle("suite", "1.0", p["members"])
    return p


def keeper_root(path, extra=(), with_bash=True):
    """A root with /markers, keeper and extra installed (and sleep, with bash)."""
    root = make_root(path, with_bash)
    if with_bash:
        copy_with_libraries("/bin/sleep", root.path)
    os.makedirs(root.p("/markers"))
    for package in (raw("keeper", KEEPER_FILES, uninstall_script=": > /markers/keeper-removed\n"), *extra):
        root.install(package)
    root.keeper = faults.read_database(root)["keeper"]
    return root


def copy_of(template, path):  # device nodes, owners and times kept
    subprocess.run(["cp", "-a", template.path, str(path)], check=True)
    root = ScratchRoot(path)
    root.keeper = template.keeper
    return root


def remove(host):
    (shutil.rmtree if os.path.isdir(host) and not os.path.islink(host) else os.unlink)(host)


def keeper_untouched(root, where):
    assert faults.read_database(root).get("keeper") == root.keeper, where
    assert faults.contents_on_disk(root, KEEPER_FILES) == KEEPER_FILES, where
    assert not root.exists("/markers/keeper-removed"), where


def release_fifos(root):
    """Opens every FIFO of the root once, so that a run hung on one ends."""
    for top, dirs, files in os.walk(root.path):
        for path in (os.path.join(top, name) for name in files):
            if stat.S_ISFIFO(os.lstat(path).st_mode):
                os.close(os.open(path, os.O_RDWR | os.O_NONBLOCK))


def job_ends(root, where, *args, stdin=None):
    """Runs the installer; it must end by itself. Returns (status, messages)."""
    try:
        status, out, err = root.installer(*args, stdin=stdin, timeout=20)
    except subprocess.TimeoutExpired:
        release_fifos(root)
        pytest.fail(f"{where}: the run never ended")
    assert "Sanitizer" not in err and "runtime error" not in err, f"{where}: {err}"
    return status, faults.messages(out)


def is_complete(root, records, package):
    record = records.get(package.name)
    return (record is not None and record["version"] == package.version
            and record["files"] == sorted(package.contents) and record["bundle"] == package.bundle
            and faults.contents_on_disk(root, package.contents) == package.contents)


def check_database(root, where):
    """Every record loads as valid, every file it lists is on disk, keeper untouched."""
    records = faults.read_database(root)
    for name, record in records.items():
        missing = [p for p in record["files"] if not root.exists(p)]
        assert record["version"] and not missing, f"{where}: {name} lacks its version or {missing[:5]}"
    keeper_untouched(root, where)
    return records


def recover_and_check(root, interrupted, where):
    """The next start and file collection leave each of interrupted ({name: [versions]}) whole or gone."""
    status, said = job_ends(root, where)
    names = "(" + "|".join(interrupted) + r")-\S+"
    allowed = re.compile(rf"uninstalled {names}|WARNING: package {names} onuninstall script failed")
    assert status == 0 and all(allowed.fullmatch(m) for m in said), f"{where}: recovery said {said}"
    records = check_database(root, where)
    for name, versions in interrupted.items():
        assert name not in records or any(is_complete(root, records, v) for v in versions), (
            f"{where}: {name} half installed after recovery")
    left = {path for versions in interrupted.values() for v in versions for path in v.contents}
    stray = faults.unowned_files(root, COLLECTED, records)
    assert set(stray) <= left, f"{where}: unowned files of no interrupted package: {stray[:5]}"
    assert job_ends(root, where + ", second run") == (0, [])
    assert root.installer("--filegc", *COLLECTED)[0] == 0
    assert faults.unowned_files(root, COLLECTED) == [], where
    assert check_database(root, where + " after file collection") == records, where
    return records


# -- kill -9 at any point ------------------------------------------------------------

def paced(upto):
    """Kill point: the first upto bytes delivered and consumed."""
    return lambda install, root: install.deliver(upto)


def when(predicate):
    """Kill point: fed in the background, killed once predicate(root) holds."""
    def action(install, root):
        feeder = threading.Thread(target=install.finish_input)
        feeder.start()
        try:
            return install.kill_when(lambda: predicate(root))
        finally:
            feeder.join()
    return action


def section_points(data, steps):
    """Kill points around every section header, at steps% of file data, mid other sections, at the end."""
    points = [("with every byte read", paced(len(data))),
              ("once the run ended", lambda install, root: install.finish_input() and install.wait())]
    for kind, start, length in section_offsets(data):
        points += [(f"before section {kind} at {start}", paced(start - 6)), (f"at {start}", paced(start))]
        points += [(f"at {p}% of section {kind} at {start}", paced(start + length * p // 100))
                   for p in (steps if kind == pkgtools.SECTION_FILE_DATA else (50,))]
    return points


@pytest.fixture
def tmpfs(tmp_path):
    with faults.mounted_tmpfs(tmp_path / "fs", 256 << 20) as path:
        yield path


@pytest.mark.parametrize("kind", ["install", "upgrade", "bundle"])
def test_kill_points(packages, tmpfs, kind):
    """Killed anywhere, started again: keeper whole, the rest whole or gone and installable."""
    old, big, suite, members = (packages[k] for k in ("old", "big", "suite", "members"))
    template = keeper_root(os.path.join(tmpfs, "template"), [old.data] if kind == "upgrade" else [])
    if kind == "bundle":
        watched, points = suite, section_points(suite.data, (50,)) + [(
            "once the last member's \"version\" exists", when(lambda r: r.exists("/var/pdb/m3/version")))]
        interrupted = {"suite": [suite], **{m.name: [m] for m in members}}
    else:
        watched, points = big, section_points(big.data, range(10, 100, 10)) + [
            ('once "files" exists', when(lambda r: r.exists("/var/pdb/big/files"))),
            ("while the install script runs", when(lambda r: r.exists("/markers/big-install-ran")))]
        interrupted = {"big": [old, big] if kind == "upgrade" else [big]}
        first, last = sorted(old.contents)[1], sorted(old.contents)[-1]
        points += [("while the old version's uninstall script runs",
                    when(lambda r: r.exists("/markers/old-uninstalling"))),
                   ("while the old files are removed", when(lambda r: not r.exists(first)),
                    lambda r: r.exists(last))] * (kind == "upgrade")
    outcomes, placed = set(), set()
    for label, action, *landed in points:
        where = f"kill {label}"
        for attempt in range(20):  # until the kill lands inside its window
            root = copy_of(template, os.path.join(tmpfs, "point"))
            install = faults.PacedInstall(root, watched.data, os.path.join(tmpfs, "log"))
            try:
                came = action(install, root) is not False
            finally:
                status = install.kill()
                install.close_input()
            assert status in (-9, 0), f"{where}: installer ended {status}"
            if came and (not landed or landed[0](root)):
                break
            shutil.rmtree(root.path)
        else:
            pytest.fail(f"{where}: the kill never came inside its window")
        placed.add(sum(1 for p in big.contents if root.exists(p)))
        records = recover_and_check(root, interrupted, where)
        outcomes.add(records[watched.name]["version"] if watched.name in records else None)
        # A bundle's record is completed after its members; cut short before, it goes with them all.
        present = {name for name in interrupted if name in records}
        assert kind != "bundle" or present in (set(), set(interrupted)), f"{where}: only {present} left"
        status, out, _ = root.installer("-", stdin=watched.data)
        records = check_database(root, where)
        assert all(is_complete(root, records, p) for p in [watched] + members * (kind == "bundle")), (
            f"{where}: installing again ended {status}: {faults.messages(out)}")
        shutil.rmtree(root.path)
    assert outcomes == {None, watched.version} | ({old.version} if kind == "upgrade" else set())
    assert kind == "bundle" or {0, len(big.contents)} <= placed and len(placed) >= 10, placed


# -- a full disk -----------------------------------------------------------------------

@pytest.fixture
def small_fs(tmp_path):
    with faults.mounted_tmpfs(tmp_path / "small", 24 << 20, inodes=2048) as path:
        yield path


@pytest.mark.parametrize("resource", ["blocks", "inodes"])
def test_every_fill_level_either_installs_or_undoes(small_fs, pkgs, resource):
    """The disk runs out at every step in turn: scripts, every kind of entry, the record, "version" last."""
    files = {**{f"opt/sweep/f{i}": os.urandom(4096 * i + 100) for i in range(1, 4)},
             "opt/sweep/sub/empty": b"", "opt/sweep/long-link": ("link", "t" * 300),
             "etc/sweep.conf": b"sweep\n", "opt/sweep/short-link": ("link", "f1")}
    sweep = pkgs.make("sweep", "1.0", files, depends=["keeper"], conflicts=["enemy"],
                      install_script=": > /markers/in\n", uninstall_script=": > /markers/out\n")
    root = keeper_root(os.path.join(small_fs, "root"))
    filler = os.path.join(small_fs, "filler")
    blocks = resource == "blocks"


    def install_at(level):
        faults.leave_free(small_fs, filler, level, blocks)
        status, out, _ = root.installer("-", stdin=sweep.data)
        os.unlink(filler) if blocks else faults.leave_free(small_fs, filler, 100, blocks)
        where = f"{level} {resource} free: {out}"
        records = check_database(root, where)
        # A script that cannot be stored is reported twice (writer, install step) and never run by the undo.
        full = "ERROR: installation of sweep-1.0 failed: disk is too small"
        assert faults.messages(out) in ([["installed sweep-1.0"]], [[full], [full, full]])[status != 0], where
        if status == 0:
            assert is_complete(root, records, sweep), where
            root.queue("sweep")
        else:
            assert status == 1 and sorted(records) == ["keeper"], where
            assert set(faults.contents_on_disk(root, sweep.contents).values()) == {None}, where
        assert job_ends(root, where)[1] == ["uninstalled sweep-1.0"] * (status == 0), where
        return status == 0

    assert install_at(200)  # leaves the package's directories in place
    before = faults.free(small_fs, blocks)
    root.install(sweep.data)
    need = before - faults.free(small_fs, blocks)
    root.queue("sweep")
    root.installer()
    outcomes = [install_at(level) for level in range(need + 2)]
    # The failures come first and the last level succeeds.
    assert outcomes == sorted(outcomes) and outcomes[-1] and outcomes.count(False) >= need - 1, outcomes


# -- hostile package files ----------------------------------------------------------------

class Nest:
    """Roots at a/b/root and files around them that no run may touch."""

    def __init__(self, top):
        self.top, self.middle = top, top / "b"
        self.template = keeper_root(str(top / "template"), with_bash=False)
        (self.middle / "etc").mkdir(parents=True)
        for path, text in (("sibling", "a's"), ("b/victim", "b's"), ("b/etc/keeper.conf", "outside")):
            (top / path).write_text(text)
        # Hostile names carry this tag, so an escape shows wherever it lands.
        self.tag = "escaped-" + uuid.uuid4().hex[:12]
        self.around = self.outside()

    def outside(self):  # directories by their names only: the roots come and go
        skip = (self.middle / "root", self.top / "template")
        return {path: kind if kind == stat.S_IFDIR else (kind, size, mtime)
                for path, (kind, size, mtime) in faults.snapshot(self.top, skip).items()}

    def check_outside(self, where):
        assert self.outside() == self.around, where
        for folder in [self.middle, *self.middle.parents, "/tmp"]:
            assert not [n for n in os.listdir(folder) if self.tag in n], f"{where}: in {folder}"


@pytest.fixture
def nest(tmp_path):
    # On a tmpfs: runs of the installer sync, and nothing of it need reach a disk.
    with faults.mounted_tmpfs(tmp_path / "a", 64 << 20):
        yield Nest(tmp_path / "a")


def requirements_claiming(count, present):
    """A requirement list whose count says `count` but holds `present` entries."""
    return struct.pack("<H", count) + pkgtools.requirement_list([f"r{i}" for i in range(present)])[2:]


def member(name):
    return raw(name, [entry(f"/opt/{name}", b"m")])


def deep_chain(*last):
    """Directories past the system's path limit, reached through short links; /s18 is the deepest."""
    d = "n" * 250
    return [entry("/s0", mode=DIRECTORY), *(e for i in range(1, 19) for e in (
        entry(f"/s{i - 1}/{d}", mode=DIRECTORY), entry(f"/s{i}", f"/s{i - 1}/{d}".encode(), LINK))), *last]


# Expected (status, messages as a pattern with {0} for the package name).
BROKEN = (1, "ERROR: installation of {0}-1.0 failed: broken package")
FAILS = (1, "(WARNING: ghost file .*\n)*ERROR: installation of {0}-1.0 failed: .*")
EITHER = (None, "(WARNING: ghost file .*\n)*(installed {0}-1.0|ERROR: installation of {0}-1.0 failed: .*)")
INSTALLED = (0, "installed {0}-1.0")
COLLIDES = (0, "WARNING: file /.*/keeper.conf collides with keeper package\ninstalled {0}-1.0")
U32 = 0xFFFFFFFF


def hostile_cases(nest):
    """(what, entries | bytes | build(name, root) -> bytes or a list installed in turn, expected, [check])."""
    tag, outside = nest.tag, str(nest.middle)

    def up(target, through, data=b"through the link\n", mode=REGULAR):
        return [entry("/up", target.encode(), LINK), entry(through, data, mode)]

    def after_one(name, mode=REGULAR, data=b"x", size=None):
        """After a file that is placed first, so that a failure undoes it."""
        return [entry("/opt/before", b"b"), entry(name, data, mode, size)]

    def prepared(prepare, entries):  # the root changed first
        return lambda n, root: prepare(root) or raw(n, entries)

    def through_links(root):
        # Reached through links (own's, base's): collection keeps both files, each removal takes its own.
        assert root.read("/var/pdb/own/files") == "l\nopt/x\n"
        root.installer("--filegc", "/opt", "/srv/lib")
        assert root.read("/opt/x") == "x" and root.read("/srv/lib/libu.so") == "u"
        root.queue("own", "user")
        root.installer()
        return not [p for p in ("/opt/x", "/l", "/srv/lib/libu.so") if root.exists(p)] and root.exists("/sl")

    def alone(tail):
        return lambda n, r: raw(n) + tail

    def section(kind, payload):
        return lambda n, r: raw(n, [], [raw_section(kind, payload)])

    only_keeper = lambda r: r.installed() == ["keeper"]  # noqa: E731
    return [
        # Links out of the root lead back into it.
        ("a relative link out of the root", up("../../..", f"/up/{tag}-r"), EITHER),
        ("a link through it", up("../..", f"/up/{tag}-l", (outside + "/victim").encode(), LINK), EITHER),
        ("a link to the host path of the root's parent", up(outside, "/up/victim"), EITHER),
        ("a dot-dot chain", up("../" * 40, f"/up/etc/{tag}-x"), EITHER),
        ("a link to a host path left by someone else", prepared(
            lambda r: os.symlink(outside, r.p("/var/outside")), [entry("/var/outside/victim", b"x")]),
         (1, "ERROR: installation of {0}-1.0 failed: could not .*")),
        # Other names for keeper's file do not reach it.
        ("keeper's file through dot-dot", [entry("/etc/../etc/keeper.conf", b"new\n")], BROKEN),
        ("keeper's file through dot", [entry("/etc/./keeper.conf", b"new\n")], COLLIDES),
        ("keeper's file after a double slash", [entry("//etc/keeper.conf", b"new\n")], COLLIDES),
        ("keeper's file through a link", [entry("/opt/way", b"/etc", LINK),
                                          entry("/opt/way/keeper.conf", b"x")], COLLIDES),
        ("keeper's file after a newline", [entry("/n\n", mode=DIRECTORY), entry("/n\n/etc", mode=DIRECTORY),
                                           entry("/n\n/etc/keeper.conf", b"mine\n")], BROKEN),
        # Names that leave the root or name no path (a ".." names none; a zero byte would cut it short).
        *[(f"the name {name[:30]!r} as {mode:o}", after_one(name, mode), BROKEN) for name, mode in (
            (f"/../../{tag}", REGULAR), (f"a/../../{tag}", DIRECTORY), (f"../{tag}", LINK),
            (f"/dev/../../../../{tag}", FIFO), ("/..", DIRECTORY), (b"/opt/a\0b", REGULAR), (b"\0", FIFO))],
        *[(f"the name {name[:30]!r} as {mode:o}", after_one(name, mode), FAILS) for name, mode in (
            ("/", REGULAR), ("/opt/dir/", REGULAR), ("/opt/" + "c" * 256, REGULAR),
            ("/" + "d/" * 2100 + "f", DIRECTORY), (b"/" + b"n" * 65534, LINK))],
        ("the root as a directory", after_one("", DIRECTORY), INSTALLED),
        ("a directory with a slash at its end", after_one("/opt/dir/", DIRECTORY), INSTALLED),
        # Sizes that do not fit the type (fewer bytes than said, or more: read as the next entry),
        # device numbers of another size, types that cannot be placed.
        *[(f"an entry of mode {mode:o} with {len(data)} bytes for {size}",
           after_one("/opt/odd", mode, data, size), BROKEN) for mode, data, size in (
            (REGULAR, b"y" * 10, 1000), (REGULAR, b"\x01" * 40, 10), (CHARACTER, b"abc", 3),
            (BLOCK, b"abcde", 5), (SOCKET, b"", 0), (0o644, b"x", 1), (0o170644, b"", 0))],
        ("a type that cannot be placed, over an unowned file", prepared(
            lambda r: open(r.p("/etc/odd"), "w").close(), [entry("/etc/odd", b"", 0o170644)]), BROKEN),
        ("a link with an empty target", after_one("/opt/odd", LINK, b""), FAILS),
        ("a character device", after_one("/opt/odd", CHARACTER, struct.pack("<I", (1 << 8) | 3)), INSTALLED),
        ("a FIFO with data", after_one("/opt/odd", FIFO, b"abcde"), INSTALLED),
        # Counts and lengths of up to 4 GiB.
        ("65535 dependencies promised, 2 there", section(3, requirements_claiming(65535, 2)), (1, "")),
        ("an architecture of 4 GiB", alone(struct.pack("<HI", 16, U32) + b"i386"), (1, "")),
        # The step that stores the script reports it once more.
        ("a script of 4 GiB", alone(struct.pack("<HI", 7, U32 - 15) + b"echo hi\n"), (1, BROKEN[1] + (
            "\nERROR: installation of {0}-1.0 failed: could not create oninstall: .*"))),
        ("file data of 4 GiB", alone(struct.pack("<HI", 4, U32) + pkgtools.file_data([entry("/x")])), BROKEN),
        ("an entry of 4 GiB", [entry("/opt/x", b"a little", REGULAR, U32)], BROKEN),
        ("a name of 65535 bytes promised, a few there", section(4, zlib.compress(
            struct.pack("<HHHHI12xIH", REGULAR, 0, 0, 0, T0, 1, 65535) + b"/opt/short")), BROKEN),
        ("a file length of 4 GiB", lambda n, r: struct.pack("<II", pkgtools.MAGIC_RECORDED, U32)
         + raw(n, [entry("/opt/x", b"x")])[8:], INSTALLED),
        ("65535 real conflicts, loaded again by every run", raw("many", [entry("/opt/x", b"x")], [
            raw_section(17, requirements_claiming(65535, 65535))]), (0, "installed many-1.0"),
         lambda r: r.read("/var/pdb/many/conflicts").count("\n") == 65535),
        # A bundle header where a member should be ends the bundle; an empty bundle's record stays.
        ("a bundle as the first member", raw_bundle("outer", [raw_bundle("inner", []), member("inm")]), (3, ""),
         lambda r: r.installed() == ["keeper", "outer"]),
        ("a bundle after a member", raw_bundle("outer", [member("m1"), raw_bundle("inner", []), member("m2")]),
         (0, "installed outer-1.0"), lambda r: r.installed() == ["keeper", "m1", "outer"]),
        # A failing member stops the bundle there: the members before it and the bundle stay.
        ("a broken member", raw_bundle("pack", [member("b1"), raw("b2", after_one("/b2", SOCKET)), member("b3")]),
         (0, "ERROR: installation of pack-1.0 failed: broken package\ninstalled pack-1.0"),
         lambda r: r.installed() == ["b1", "keeper", "pack"] and not r.exists("/opt/before")),
        ("a member named like its bundle", lambda n, r: raw_bundle(n, [member(n)]),
         (0, "WARNING: omitting package {0}-1.0: it is already installed\ninstalled {0}-1.0")),
        # Found by fuzzing: records written through whatever stands at their paths, read back as text.
        ("record files placed as links", lambda n, r: raw(n, [
            entry(f"/var/pdb/{n}/deps", b"/etc/keeper.conf", LINK),
            entry(f"/var/pdb/{n}/version", b"/new", LINK)]),
         BROKEN, lambda r: not r.exists("/new")),
        ("a member places another member's record as a link", raw_bundle(
            "set", [raw("evil", [entry("/var/pdb/victim", b"/etc", LINK)]), raw("victim", [entry("/v")])]),
         (3, "ERROR: installation of set-1.0 failed: broken package")),
        ("a bundle name with a blank", raw_bundle("my set", [member("member")]),
         (1, "ERROR: installation of my set-1.0 failed: broken package"), only_keeper),
        *[(f"a conflict named {name!r}", raw("tool", [entry("/tool", b"t")], conflicts=[name]),
           (1, "ERROR: installation of tool-1.0 failed: broken package"), only_keeper)
          for name in ("old tool", "", "tab\tname")],
        ("files placed through links", lambda n, r: [
            raw("base", [entry("/srv", b"", DIRECTORY), entry("/srv/lib", b"", DIRECTORY),
                         entry("/sl", b"srv/lib", LINK)]),
            raw("own", [entry("/opt", b"", DIRECTORY), entry("/l", b"/opt", LINK), entry("/l/x", b"x")]),
            raw("user", [entry("/sl/libu.so", b"u")])], (0, "installed user-1.0"), through_links),
        # Entries at the installer's own paths are refused as entries in the database are.
        *[(f"an entry at {path}", [entry(path, data, mode)], BROKEN) for path, data, mode in (
            ("/postlog", b"/var/pdb/keeper/version", LINK), ("/DOWNGRADE", b"", REGULAR),
            ("/var/deinstall/keeper", b"", REGULAR), ("/var/pckg/e.kpk", b"", REGULAR),
            ("/ram/e.kpk", b"/var/pdb/keeper/files", LINK), ("/var/deinstall", b"/var/pdb/keeper", LINK))],
        # The guards decide by what the walk reaches: the database, keeper's file, a path too long.
        ("into the database through a path too long", deep_chain(
            entry("/s18/db", b"/var/pdb/keeper", LINK), entry("/s18/etc", b"/etc", LINK),
            entry("/s18/db/files", b"opt/nothing\n"), entry("/s18/etc/keeper.conf", b"mine\n")), FAILS),
        ("a file at a path too long", deep_chain(entry("/s18/f", b"f")), BROKEN),
        ("into the database with /var a link", prepared(
            lambda r: os.rename(r.p("/var"), r.p("/data")) or os.symlink("data", r.p("/var")),
            [entry("/data/pdb/keeper/files", b"opt/nothing\n")]), BROKEN),
        # 32,767 components: refused in little memory (the peak of every program run so far).
        ("a name of 32,767 components", [entry(("/" + "a/" * 32767)[:65535], b"x")], BROKEN,
         lambda r: resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss < 400 << 10),
    ]


def files_of(root):
    """{path: type} of everything in the root but directories and the log."""
    return {path: kind for path, (kind, _, _) in faults.snapshot(root.path).items()
            if kind != stat.S_IFDIR and path != "postlog"}


def test_hostile_packages(nest):
    """Each case ends as expected, undone on failure; no run touches keeper or the outside."""
    for i, (what, build, (status, said), *check) in enumerate(hostile_cases(nest)):
        name = f"h{i}"
        shutil.rmtree(nest.middle / "root", ignore_errors=True)
        root = copy_of(nest.template, nest.middle / "root")
        packages = raw(name, build) if isinstance(build, list) else build(name, root) if callable(build) \
            else build
        *earlier, data = packages if isinstance(packages, list) else [packages]
        for package in earlier:
            assert root.installer("-", stdin=package)[0] == 0, what
        before = files_of(root)
        got, out = job_ends(root, what, "-", stdin=data)
        assert got == status if status is not None else got in (0, 1), f"{what}: {got} {out}"
        assert re.fullmatch(said.format(name), "\n".join(out)), f"{what}: {out}"
        assert got != 1 or files_of(root) == before, f"{what}: not undone"
        nest.check_outside(what)
        assert job_ends(root, what + ", next run") == (0, []), what
        check_database(root, what)
        assert all(c(root) for c in check), what
        root.queue(*(p for p in root.installed() if p != "keeper"))
        assert job_ends(root, what + ", removed")[0] == 0
        nest.check_outside(what + ", removed")
        keeper_untouched(root, what + ", removed")


# -- attacks on the installer's own state: unattended at every start, each run must end and keep the rest.

@pytest.fixture
def guarded(tmp_path):
    return keeper_root(str(tmp_path / "root"))


def own_state_cases():
    """(what, prepare(root), package on standard input or None, messages expected)."""
    scripted = raw("scripted", {"/opt/s": b"s"}, install_script="echo out; echo err >&2; : > /markers/ran\n")

    def replaced(path, make):  # a path of the root replaced by make(path), or by a link to make
        return lambda r: remove(r.p(path)) or (make(r.p(path)) if callable(make) else os.symlink(make, r.p(path)))

    return [
        ("/postlog a link to a record", replaced("/postlog", "/var/pdb/keeper/version"), None, []),
        ("/postlog a FIFO", replaced("/postlog", os.mkfifo), None, []),
        ("a waiting file a FIFO", lambda r: os.mkfifo(r.p("/var/pckg/fifo.kpk")), None,
         ["ERROR: broken package fifo.kpk"]),
        ("/dev/null a FIFO", replaced("/dev/null", os.mkfifo), scripted, ["installed scripted-1.0"]),
        ("the queue a link to a record", replaced("/var/deinstall", "/var/pdb/keeper"), None, []),
        ("a RAM-disk copy a link to a record", lambda r: os.symlink("/var/pdb/keeper/files", r.p("/ram/w.kpk"))
         or r.drop("w.kpk", raw("waiting", {"/opt/waiting": b"w"})), None, ["installed waiting-1.0"]),
    ]


def test_the_installers_own_paths_are_never_followed_or_waited_on(guarded):
    for what, prepare, data, expected in own_state_cases():
        root = copy_of(guarded, guarded.path + "-case")
        prepare(root)
        try:
            said = job_ends(root, what, *["-"] * bool(data), stdin=data)[1]
            assert all(m in said for m in expected), f"{what}: {said}"
            assert stat.S_ISREG(os.lstat(root.p("/postlog")).st_mode), f"{what}: /postlog"
            # The next run has nothing to do or hang on (a waiting file that is no regular file stays).
            broken = [m for m in expected if m.startswith("ERROR: broken")]
            assert job_ends(root, what + ", next run")[1] == broken, what
            keeper_untouched(root, what)
        finally:
            release_fifos(root)
            shutil.rmtree(root.path)


def test_requests_are_obeyed_once_and_survive_a_kill(guarded):
    root = guarded
    root.install(raw("p", {"/opt/p": b"2"}, version="2.0"))
    # A queue entry and a marker that cannot be removed are not obeyed.
    os.makedirs(root.p("/var/deinstall/p/left"))
    os.makedirs(root.p("/DOWNGRADE/left"))
    root.drop("p.kpk", raw("p", {"/opt/p": b"1"}, version="1.0"))
    for run in ("first", "second"):
        assert job_ends(root, run)[1] == [
            "WARNING: could not remove /var/deinstall/p: Directory not empty",
            "WARNING: could not remove /DOWNGRADE: Directory not empty",
            "WARNING: omitting package p-1.0: newer package p-2.0 is already installed"], run
        assert root.read("/opt/p") == "2" and "p" in root.installed(), run
    for path in ("/var/deinstall/p", "/DOWNGRADE", "/var/pckg/p.kpk"):
        remove(root.p(path))

    # Killed during the removal of a queued bundle: the next start finishes it.
    removals = [raw(f"m{i}", {f"/opt/m{i}": b"m"}, uninstall_script=f": > /markers/m{i}; sleep 0.3\n")
                for i in (1, 2, 3)]
    root.install(raw_bundle("suite", removals))
    root.queue("suite")
    proc = subprocess.Popen([program("installer"), "-r", root.path], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True, env=faults.QUIET_LEAKS)
    try:
        while not any(root.exists(f"/markers/m{i}") for i in (1, 2, 3)):
            assert proc.poll() is None, "the queue job ended before the first removal"
    finally:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    assert job_ends(root, "after the kill")[0] == 0 and root.installed() == ["keeper", "p"]
    assert not [p for p in ("/opt/m1", "/opt/m2", "/opt/m3") if root.exists(p)]
    assert root.listing("/var/deinstall") == []


def test_signals_and_a_closed_console_do_not_cut_an_upgrade(guarded, pkgs):
    root = guarded
    old = raw("up", {f"/opt/up/f{i}": b"old" for i in range(3)}, version="1.0",
              uninstall_script=": > /markers/old-uninstalling; sleep 1\n")
    new_files = {f"/opt/up/f{i}": b"new" for i in range(1000)}
    package = pkgs.raw(raw("up", new_files, version="2.0"))
    # A console closed after 20 bytes changes nothing (ghosts: more output than a pipe holds); signals wait.
    for cut in ("console", signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
        root.install(old, "-down")
        for path in (p for p in new_files if not root.exists(p)):
            open(root.p(path), "wb").write(b"ghost")
        with open(package, "rb") as data:
            console = subprocess.PIPE if cut == "console" else subprocess.DEVNULL
            proc = subprocess.Popen([program("installer"), "-r", root.path, "-"], stdin=data, stdout=console,
                                    stderr=subprocess.DEVNULL, env=faults.QUIET_LEAKS)
            if cut == "console":
                proc.stdout.read(20)
                proc.stdout.close()
            else:
                while not root.exists("/markers/old-uninstalling"):
                    assert proc.poll() is None
                proc.send_signal(cut)
            assert proc.wait(timeout=60) == (0 if cut == "console" else -cut), cut
        assert faults.read_database(root)["up"]["version"][0] == pkgtools.version("2.0"), cut
        assert faults.contents_on_disk(root, new_files) == new_files, cut
        os.unlink(root.p("/markers/old-uninstalling"))


def test_linked_and_undeletable_records(guarded):
    root = guarded
    # A record that links to another is removed as damaged at the next start, nothing done through it.
    os.symlink("keeper", root.p("/var/pdb/twin"))
    root.queue("twin")
    assert job_ends(root, "linked record") == (0, ["uninstalled twin-0.0"]) and root.installed() == ["keeper"]
    keeper_untouched(root, "linked record")

    # A record that cannot be deleted is reported once, then set aside.
    root.install(raw("stuck", {"/opt/stuck": b"s"}))
    os.makedirs(root.p("/var/pdb/stuck/mount"))
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", root.p("/var/pdb/stuck/mount")], check=True)
    try:
        root.queue("stuck")
        assert job_ends(root, "undeletable record")[1] == [
            "WARNING: could not remove the record of stuck-1.0: Directory not empty", "uninstalled stuck-1.0"]
        assert job_ends(root, "next start") == (0, [])
    finally:
        for where in ("/var/pdb/.stuck/mount", "/var/pdb/stuck/mount"):
            if os.path.ismount(root.p(where)):
                faults.unmount(root.p(where))
    assert root.installed() == ["keeper"] and not root.exists("/opt/stuck")


def test_script_names_are_no_shell_syntax_and_names_reach_no_console(guarded):
    root = guarded
    root.install(raw("system", {"/opt/system": b"s"}, install_script=": > /markers/system\n"))
    os.unlink(root.p("/markers/system"))
    for i, name in enumerate(("a(b)", "it's", "[s]ystem", "$(id)", "x;y")):
        package = raw(name, {f"/opt/n{i}": b"n"}, install_script=f": > /markers/n{i}\n")
        assert job_ends(root, name, "-", stdin=package) == (0, [f"installed {name}-1.0"]), name
        assert root.exists(f"/markers/n{i}"), name
    assert not root.exists("/markers/system")

    # Control bytes of names are shown escaped, on the console and in the log.
    name = b"/opt/\x1b[2J\x9b"
    open(root.p("/").encode() + name, "w").close()
    status, out, _ = root.installer("-", stdin=raw("esc", [entry(name, b"e")]))
    assert "WARNING: ghost file /opt/\\x1b[2J\\x9b\n" in out
    assert "\x1b" not in "".join(faults.messages(out))
    assert root.postlog_lines()[0] == "WARNING: ghost file /opt/\\x1b[2J\\x9b"


@pytest.mark.skipif(bool(os.environ.get("TESS_EMULATOR")) or not shutil.which("strace"),
                    reason="traced natively only")
def test_version_reaches_the_disk_last_and_a_run_stopped_before_it_is_dropped(guarded, tmp_path):
    root, trace = guarded, tmp_path / "trace"
    package = raw("late", {"/opt/late": b"l"}, deps=["keeper"], install_script=": \n")
    assert faults.traced_install(root, package, trace) == 0
    calls = ["sync" if "sync(" in line else "write " + line.split('"')[1]
             for line in trace.read_text().splitlines() if "sync(" in line or "O_WRONLY" in line]
    files, version = calls.index("write /var/pdb/late/files"), calls.index("write /var/pdb/late/version")
    assert "sync" in calls[files:version], calls
    # Killed as it opens "version": the next start drops the half record.
    root.queue("late")
    assert job_ends(root, "removal") == (0, ["uninstalled late-1.0"])
    status = faults.traced_install(root, package, os.devnull, "-P", "/var/pdb/late/version",
                                   "-e", "inject=open,openat:signal=KILL")
    assert status == -signal.SIGKILL
    assert root.exists("/var/pdb/late/files") and not root.exists("/var/pdb/late/version")
    assert job_ends(root, "next start") == (0, ["uninstalled late-0.0"])
    assert not root.exists("/opt/late") and root.installed() == ["keeper"]
