"""installer under faults: a disk that fills mid-install, a run killed at
any point (fed through a small pipe), hostile package files and attacks on
its own state. Every run passes -r <scratch root>; filled or killed roots
live on a tmpfs in the test's scratch directory.
"""
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
from conftest import copy_with_libraries, make_root, program
from pkgtools import (BLOCK, CHARACTER, DIRECTORY, FIFO, LINK, REGULAR, SOCKET, T0, entry, raw,
                      raw_package, raw_section, section_offsets)

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")

COLLECTED = ("/opt", "/etc")  # where the kpk-built test packages put their files
PAGE = 4096


def random_files(prefix, count, size):
    return {f"{prefix}{i:04}": os.urandom(size) for i in range(count)}


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    """The packages of the kill and fill tests, built once with kpk."""
    factory = pkgtools.Packages(tmp_path_factory.mktemp("fault-packages"))
    build = factory.make
    p = {"keeper": build("keeper", "1.0", {"etc/keeper.conf": b"keeper configuration\n",
                                           "opt/keeper/bin/tool": os.urandom(20000),
                                           "opt/keeper/lib/tool.so": ("link", "../bin/tool")})}
    big = {**random_files("opt/big/data/f", 40, 100_000), **random_files("opt/big/small/f", 100, 10_000),
           "etc/big.conf": b"big\n", "opt/big/current": ("link", "data/f0000")}
    p["big"] = build("big", "1.0", big, depends=[("keeper", "1.0", None)],
                     install_script=": > /markers/big-install-ran; sleep 0.05\n",
                     uninstall_script=": > /markers/big-uninstall-ran\n")
    # Many small files, so that taking the old version out lasts a while.
    p["old"] = build("big", "0.9", {**random_files("opt/big/old/f", 1500, 100), "etc/big.conf": b"old\n"},
                     uninstall_script=": > /markers/old-uninstalling; sleep 0.05\n")
    p["members"] = [build(f"m{i}", "1.0", {**random_files(f"opt/m{i}/data", 3, 500_000),
                                           **random_files(f"opt/m{i}/small/f", 40, 3000)}, bundle="suite",
                          **({"install_script": ": > /markers/m2-install-ran\n"} if i == 2 else {}))
                    for i in (1, 2, 3)]
    p["suite"] = factory.bundle("suite", "1.0", p["members"])
    return p


def router_root(path, keeper, extra=()):
    """A root with bash, sleep and /markers, and keeper (and extra) installed."""
    root = make_root(path)
    copy_with_libraries("/bin/sleep", path)
    os.makedirs(root.p("/markers"))
    for package in (keeper, *extra):
        root.install(package.data)
    return root


def is_complete(root, records, package):
    record = records.get(package.name)
    return (record is not None and record["version"] == package.version
            and record["files"] == sorted(package.contents) and record["bundle"] == package.bundle
            and faults.contents_on_disk(root, package.contents) == package.contents)


def check_database(root, where):
    """Every record loads as valid and every file it lists is on disk."""
    records = faults.read_database(root)
    for name, record in records.items():
        assert record["version"] is not None, f"{where}: {name} has no version"
        missing = [p for p in record["files"] if not root.exists(p)]
        assert not missing, f"{where}: {name} is listed but lacks {missing[:5]} ({len(missing)})"
    return records


def recover_and_check(root, keeper, interrupted, where):
    """The normal run after a kill, then file collection. interrupted:
    {name: [versions it may be complete as]}, else gone; keeper untouched."""
    status, out, err = root.installer()
    assert status == 0, f"{where}: recovery run ended {status}: {out}{err}"
    names = "|".join(map(re.escape, interrupted))
    allowed = re.compile(rf"uninstalled ({names})-\S+|WARNING: package ({names})-\S+ onuninstall script failed")
    for message in faults.messages(out):
        assert allowed.fullmatch(message), f"{where}: recovery said {message!r}"
    records = check_database(root, where)
    assert is_complete(root, records, keeper), where
    left = set()
    for name, versions in interrupted.items():
        assert name not in records or any(is_complete(root, records, v) for v in versions), (
            f"{where}: {name} half installed after recovery")
        left.update(*(v.contents for v in versions))
    stray = faults.unowned_files(root, COLLECTED, records)
    assert set(stray) <= left, f"{where}: unowned files of no interrupted package: {stray[:5]}"
    status, out, _ = root.installer()
    assert (status, faults.messages(out)) == (0, []), f"{where}: second run: {out}"
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


def read_or_empty(root, path):
    try:
        return root.read(path)
    except OSError:
        return ""


def package_points(package, uninstalling):
    """Kill points of an install or an upgrade: in the header and script,
    across the file data, as the record is written, while the install
    script runs and (upgrade) as the old version goes."""
    (header,), (script,), (body,) = ([s for s in section_offsets(package.data) if s[0] == t] for t in (
        pkgtools.SECTION_PACKAGE_HEADER, pkgtools.SECTION_INSTALL_SCRIPT, pkgtools.SECTION_FILE_DATA))
    new_version = f"{package.version[0]} "
    points = [("before the first byte", paced(0)),
              ("inside the header record", paced(header[1] + 16)),
              ("inside the install script", paced(script[1] + script[2] // 2)),
              *[(f"at {p}% of the file data", paced(body[1] + body[2] * p // 100)) for p in range(0, 100, 10)],
              ("with every byte read, before the record", paced(len(package.data))),
              ('once "files" exists', when(lambda r: r.exists("/var/pdb/big/files"))),
              ('once the new "version" exists',
               when(lambda r: read_or_empty(r, "/var/pdb/big/version").startswith(new_version))),
              ("while the install script runs", when(lambda r: r.exists("/markers/big-install-ran")))]
    if uninstalling:
        points += [("while the old version's uninstall script runs",
                    when(lambda r: r.exists("/markers/old-uninstalling"))),
                   ("while the old files are removed", when(lambda r: not r.exists(uninstalling[0])),
                    lambda r: r.exists(uninstalling[1]))]
    return points


def bundle_points(suite, members):
    """Kill points of a bundle: its own header, and for every member the
    middle of its data, all its files placed (its record waits for the next
    section header) and its record written."""
    sections = section_offsets(suite.data)
    starts = [s for s in sections if s[0] == pkgtools.SECTION_PACKAGE_HEADER]
    bodies = [s for s in sections if s[0] == pkgtools.SECTION_FILE_DATA]
    points = [("inside the bundle header", paced(sections[0][1] + 10)),
              ("with the bundle's record written, no member yet", paced(starts[0][1]))]
    for member, body, following in zip(members, bodies, starts[1:] + [None]):
        points.append((f"in the middle of {member.name}'s data", paced(body[1] + body[2] // 2)))
        points.append((f"with {member.name}'s files placed", paced(body[1] + body[2])))
        if following:
            points.append((f"with {member.name} recorded", paced(following[1])))
    last = members[-1].name
    return points + [(f"once {last}'s \"version\" exists", when(lambda r: r.exists(f"/var/pdb/{last}/version"))),
                     ("once the run ended", lambda install, root: install.finish_input() and install.wait())]


@pytest.fixture
def tmpfs(tmp_path):
    with faults.mounted_tmpfs(tmp_path / "fs", 256 << 20) as path:
        yield path


@pytest.mark.parametrize("kind", ["install", "upgrade", "bundle"])
def test_kill_points(packages, tmpfs, kind):
    """Killed at points over the whole run, then started again: every other
    package is whole, the interrupted ones whole or gone, and the package
    installs again."""
    keeper, old, big, suite, members = (packages[k] for k in ("keeper", "old", "big", "suite", "members"))
    template = os.path.join(tmpfs, "template")
    router_root(template, keeper, [old] if kind == "upgrade" else [])
    if kind == "bundle":
        watched, points = suite, bundle_points(suite, members)
        interrupted = {"suite": [suite], **{m.name: [m] for m in members}}
    else:
        old_files = sorted(old.contents)
        watched, points = big, package_points(big, kind == "upgrade" and (old_files[1], old_files[-1]))
        interrupted = {"big": [old, big] if kind == "upgrade" else [big]}
    outcomes, placed = set(), set()
    for label, action, *landed in points:
        where = f"kill {label}"
        for attempt in range(20):
            root = faults.copy_root(template, os.path.join(tmpfs, "point"))
            install = faults.PacedInstall(root, watched.data, os.path.join(tmpfs, "log"))
            try:
                came = action(install, root) is not False
            finally:
                status = install.kill()
                install.close_input()
            assert status in (-9, 0), f"{where}: installer ended {status}: {install.output()}"
            if came and (not landed or landed[0](root)):
                break
            shutil.rmtree(root.path)
        else:
            pytest.fail(f"{where}: the kill never came inside its window")
        placed.add(sum(1 for p in big.contents if root.exists(p)))
        records = recover_and_check(root, keeper, interrupted, where)
        outcomes.add(records[watched.name]["version"] if watched.name in records else None)
        # A bundle's record is completed after its members: a run cut short
        # before that leaves it invalid, and it goes with them all.
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

DISK_FULL = "ERROR: installation of {} failed: disk is too small"


@pytest.fixture
def small_fs(tmp_path):
    with faults.mounted_tmpfs(tmp_path / "small", 24 << 20, inodes=2048) as path:
        yield path


@pytest.mark.parametrize("resource", ["blocks", "inodes"])
def test_every_fill_level_either_installs_or_undoes(packages, small_fs, pkgs, resource):
    """The disk runs out at every step in turn: the stored scripts, every
    kind of entry, each file of the record, "version" last."""
    keeper = packages["keeper"]
    files = {**{f"opt/sweep/f{i}": os.urandom(PAGE * i + 100) for i in range(1, 4)},
             "opt/sweep/sub/empty": b"", "opt/sweep/long-link": ("link", "t" * 300),
             "etc/sweep.conf": b"sweep\n", "opt/sweep/short-link": ("link", "f1")}
    sweep = pkgs.make("sweep", "1.0", files, depends=[("keeper", None, None)],
                      conflicts=[("enemy", None, None)], install_script=": > /markers/sweep-installed\n",
                      uninstall_script=": > /markers/sweep-removed\n")
    root = router_root(os.path.join(small_fs, "root"), keeper)
    filler = os.path.join(small_fs, "filler")

    def free():
        st = os.statvfs(small_fs)
        return st.f_bavail if resource == "blocks" else st.f_favail

    def install_at(level):
        if resource == "blocks":
            faults.fill_leaving(small_fs, filler, level * PAGE)
        else:
            faults.use_inodes_leaving(small_fs, filler, level)
        status, out, _ = root.installer("-", stdin=sweep.data)
        if resource == "blocks":
            os.unlink(filler)
        else:
            faults.use_inodes_leaving(small_fs, filler, 100)
        where = f"{level} {resource} free: {out}"
        records = check_database(root, where)
        assert is_complete(root, records, keeper), where
        if status == 0:
            assert faults.messages(out) == ["installed sweep-1.0"], where
            assert is_complete(root, records, sweep), where
            root.queue("sweep")
            assert root.installer()[0] == 0
        else:
            # A script that cannot be stored is reported by the writer and
            # by the install step: the same text twice. A script cut short
            # is removed, so the undo has nothing to run.
            full = DISK_FULL.format("sweep-1.0")
            assert status == 1 and faults.messages(out) in ([full], [full, full]), where
            assert sorted(records) == ["keeper"], where
            assert set(faults.contents_on_disk(root, sweep.contents).values()) == {None}, where
            again, out, _ = root.installer()
            assert (again, faults.messages(out)) == (0, []), f"{where}: {out}"
        return status == 0

    # What one install takes, with the directories of the package already there.
    assert install_at(200)
    before = free()
    root.install(sweep.data)
    need = before - free()
    root.queue("sweep")
    assert root.installer()[0] == 0
    outcomes = [install_at(level) for level in range(need + 2)]
    # The failures come first and the last level succeeds.
    assert outcomes == sorted(outcomes) and outcomes[-1] and outcomes.count(False) >= need - 1, (
        need, outcomes)


def test_disk_full_in_a_bundle_member_stops_the_bundle_there(packages, small_fs, pkgs):
    keeper = packages["keeper"]
    members = [pkgs.make("b1", "1.0", random_files("opt/b1/f", 4, 250_000), bundle="pack"),
               pkgs.make("b2", "1.0", random_files("opt/b2/f", 12, 250_000), bundle="pack"),
               pkgs.make("b3", "1.0", {"opt/b3/f": b"small"}, bundle="pack")]
    root = router_root(os.path.join(small_fs, "root"), keeper)
    faults.fill_leaving(small_fs, os.path.join(small_fs, "filler"), 2 << 20)  # b1 fits, b2 does not
    status, out, _ = root.installer("-", stdin=pkgs.bundle("pack", "1.0", members).data)
    # The member's failure names the bundle; the members before it stay, the
    # ones after it are not read, and the bundle counts as installed.
    assert (status, faults.messages(out)) == (0, [DISK_FULL.format("pack-1.0"), "installed pack-1.0"])
    records = check_database(root, "bundle on a full disk")
    assert sorted(records) == ["b1", "keeper", "pack"] and is_complete(root, records, members[0])
    for member in members[1:]:
        assert set(faults.contents_on_disk(root, member.contents).values()) == {None}
    assert faults.messages(root.installer()[1]) == []


# -- roots with the package keeper, which no run may touch -------------------------------

KEEPER_FILES = {"/etc/keeper.conf": b"keeper\n", "/opt/keeper/tool": b"tool"}


def keeper_root(path, with_bash=True):
    """A root with /markers and the package keeper (with bash: also sleep)."""
    root = make_root(path, with_bash)
    if with_bash:
        copy_with_libraries("/bin/sleep", root.path)
    os.makedirs(root.p("/markers"))
    root.install(raw("keeper", KEEPER_FILES, uninstall_script=": > /markers/keeper-removed\n"))
    root.keeper = faults.read_database(root)["keeper"]
    return root


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


def files_of(root):
    """{path: type} of everything in the root but directories and the log."""
    return {path: kind for path, (kind, _, _) in faults.snapshot(root.path).items()
            if kind != stat.S_IFDIR and path != "postlog"}


# -- hostile package files ----------------------------------------------------------------

class Nest:
    """Roots at a/b/root with keeper installed, fresh for every case, and
    files around them that no run may touch."""

    def __init__(self, top):
        self.top, self.middle = top, top / "b"
        self.template = keeper_root(str(top / "template"), with_bash=False)
        (top / "sibling").write_text("a's own file\n")
        (self.middle / "etc").mkdir(parents=True)
        (self.middle / "victim").write_text("b's own file\n")
        (self.middle / "etc" / "keeper.conf").write_text("outside\n")
        # Hostile names carry this tag, so an escape shows wherever it lands.
        self.tag = "escaped-" + uuid.uuid4().hex[:12]
        self.around = self.outside()

    def outside(self):  # directories by their names only: the roots come and go
        return {path: kind if kind == stat.S_IFDIR else (kind, size, mtime) for path, (kind, size, mtime)
                in faults.snapshot(self.top, skip=(self.middle / "root", self.top / "template")).items()}

    def check_outside(self, where):
        assert self.outside() == self.around, where
        for folder in [self.middle, *self.middle.parents, "/tmp"]:
            assert not [n for n in os.listdir(folder) if self.tag in n], f"{where}: in {folder}"

    def fresh(self):
        shutil.rmtree(self.middle / "root", ignore_errors=True)
        root = faults.copy_root(self.template.path, self.middle / "root")
        root.keeper = self.template.keeper
        return root


@pytest.fixture
def nest(tmp_path):
    # On a tmpfs: runs of the installer sync, and nothing of it need reach a disk.
    with faults.mounted_tmpfs(tmp_path / "a", 64 << 20):
        yield Nest(tmp_path / "a")


def requirements_claiming(count, present):
    """A requirement list whose count says `count` but holds `present` entries."""
    return struct.pack("<H", count) + b"".join(pkgtools.requirement_list([f"r{i}"])[2:] for i in range(present))


def chain(*packages):
    """One package file of the sections of the given ones, in turn."""
    return raw_package([p[8:] for p in packages])


def bundle_header(name):
    return raw(name, kind=pkgtools.SECTION_BUNDLE_HEADER)


def bundle(name, *members):
    return chain(bundle_header(name), *members)


def member(name, version="1.0"):
    return raw(name, [entry(f"/opt/{name}-{version}", b"m")], version=version)


BROKEN = "ERROR: installation of {0}-1.0 failed: broken package"
FAILS = "(WARNING: ghost file .*\n)*ERROR: installation of {0}-1.0 failed: .*"
EITHER = "(WARNING: ghost file .*\n)*(installed {0}-1.0|ERROR: installation of {0}-1.0 failed: .*)"
INSTALLED = "installed {0}-1.0"
COLLIDES = "WARNING: file /.*/keeper.conf collides with keeper package\ninstalled {0}-1.0"
U32 = 0xFFFFFFFF


def deep_chain():
    """Directories whose real path outgrows the system's limit, reached
    through links so that every name stays short: /s18 is the deepest."""
    long_name = "n" * 250
    out = [entry("/a", b"", DIRECTORY), entry(f"/a/{long_name}", b"", DIRECTORY),
           entry("/s1", f"/a/{long_name}".encode(), LINK)]
    for i in range(2, 19):
        out += [entry(f"/s{i - 1}/{long_name}", b"", DIRECTORY),
                entry(f"/s{i}", f"/s{i - 1}/{long_name}".encode(), LINK)]
    return out


def hostile_cases(nest):
    """(what, build(name, root) -> package bytes or a list installed in turn,
    status of the last (None: 0 or 1), its messages (a pattern with {} for
    the name), check(root) or None)."""
    tag, outside = nest.tag, str(nest.middle)

    def up(target, through, data=b"through the link\n", mode=REGULAR):
        return lambda n, r: raw(n, [entry("/up", target.encode(), LINK), entry(through, data, mode)])

    def after_one(name, mode=REGULAR, data=b"x", size=None):
        """The entry comes after a file that is placed first, so a failure undoes that."""
        return lambda n, r: raw(n, [entry("/opt/before", b"b"), entry(name, data, mode, size)])

    def with_conflict(name):
        return lambda n, r: raw("tool", [entry("/tool", b"t")], conflicts=[name])

    def var_a_link(n, root):
        shutil.move(root.p("/var"), root.p("/data"))
        os.symlink("data", root.p("/var"))
        return raw(n, [entry("/data/pdb/keeper/files", b"opt/nothing\n")])

    def left_link(n, root):
        os.symlink(outside, root.p("/var/outside"))
        return raw(n, [entry("/var/outside/victim", b"x")])

    def through_links(root):
        # "own" reaches /opt through a link it places itself; "user" reaches
        # /srv/lib through a link of "base". Collecting the real directories
        # keeps both files; removing each package removes its file only.
        assert root.read("/var/pdb/own/files") == "l\nopt/x\n"
        root.installer("--filegc", "/opt", "/srv/lib")
        assert root.read("/opt/x") == "x" and root.read("/srv/lib/libu.so") == "u"
        root.queue("own", "user")
        root.installer()
        return (not root.exists("/opt/x") and not root.exists("/l")
                and not root.exists("/srv/lib/libu.so") and os.path.islink(root.p("/sl")))

    def alone(tail):
        return lambda n, r: raw(n) + tail

    odd_device = struct.pack("<I", (1 << 8) | 3)
    return [
        # Links out of the root lead back into it.
        ("a relative link out of the root", up("../../..", f"/up/{tag}-r"), None, EITHER, None),
        ("a directory through it", up("../../..", f"/up/{tag}-d", b"", DIRECTORY), None, EITHER, None),
        ("a link through it", up("../..", f"/up/{tag}-l", (outside + "/victim").encode(), LINK),
         None, EITHER, None),
        ("an absolute link to /", up("/", f"/up/../{tag}-a"), None, EITHER, None),
        ("a link to the host path of the root's parent", up(outside, "/up/victim"), None, EITHER, None),
        ("a link to a host file, then a file at it", up(outside + "/victim", "/up"), None, EITHER, None),
        ("a dot-dot chain", up("../" * 40, f"/up/etc/{tag}-x"), None, EITHER, None),
        ("a link to a host path left by someone else", left_link, 1,
         "ERROR: installation of {0}-1.0 failed: could not .*", None),
        # Other names for keeper's file do not reach it.
        *[(f"keeper's file as {name!r}", lambda n, r, e=e: raw(n, e), status, said, None) for name, e, status, said in (
            ("dot-dot", [entry("/etc/../etc/keeper.conf", b"replaced\n")], 1, BROKEN),
            ("dot", [entry("/etc/./keeper.conf", b"replaced\n")], 0, COLLIDES),
            ("double slash", [entry("//etc/keeper.conf", b"replaced\n")], 0, COLLIDES),
            ("a link in the way", [entry("/opt/way", b"/etc", LINK), entry("/opt/way/keeper.conf", b"x")], 0, COLLIDES),
            ("a newline", [entry(b"/opt/n\n", b"", DIRECTORY), entry(b"/opt/n\n/etc", b"", DIRECTORY),
                           entry(b"/opt/n\n/etc/keeper.conf", b"mine\n")], 1, BROKEN))],
        # Names that leave the root or name no path: a ".." names no path of
        # the package; a zero byte would cut the name short.
        *[(f"the name {name[:30]!r} as {mode:o}", after_one(name, mode), 1, BROKEN, None) for name, mode in (
            (f"/../../{tag}", REGULAR), (f"a/../../{tag}", DIRECTORY), (f"../{tag}", LINK),
            (f"/dev/../../../../{tag}", FIFO), (f"../../{tag}/", DIRECTORY), ("/..", DIRECTORY),
            (b"/opt/a\0b", REGULAR), (b"\0", FIFO))],
        *[(f"the name {name[:30]!r} as {mode:o}", after_one(name, mode), 1, FAILS, None) for name, mode in (
            ("/", REGULAR), ("/opt/dir/", REGULAR), ("/opt/" + "c" * 256, REGULAR),
            ("/" + "d/" * 2100 + "f", DIRECTORY), (b"/" + b"n" * 65534, LINK))],
        ("the root as a directory", after_one("", DIRECTORY), 0, INSTALLED, None),
        ("a directory with a slash at its end", after_one("/opt/dir/", DIRECTORY), 0, INSTALLED, None),
        # Entries whose sizes do not fit their type: fewer bytes than the
        # size says (the stream ends), or more (the rest is read as the next
        # entry); device numbers of another size; no type that can be placed.
        *[(f"an entry of mode {mode:o} with {len(data)} bytes for {size}", after_one("/opt/odd", mode, data, size),
           1, BROKEN, None) for mode, data, size in (
            (REGULAR, b"y" * 10, 1000), (REGULAR, b"\x01" * 40, 10), (CHARACTER, b"abc", 3),
            (BLOCK, b"abcde", 5), (SOCKET, b"", 0), (0o644, b"x", 1), (0o170644, b"", 0))],
        ("a link with an empty target", after_one("/opt/odd", LINK, b""), 1, FAILS, None),
        ("a character device", after_one("/opt/odd", CHARACTER, odd_device), 0, INSTALLED, None),
        ("a FIFO with data", after_one("/opt/odd", FIFO, b"abcde"), 0, INSTALLED, None),
        # Counts and lengths of up to 4 GiB.
        ("65535 dependencies promised, 2 there",
         lambda n, r: raw(n, [], [raw_section(3, requirements_claiming(65535, 2))]), 1, "", None),
        ("65535 conflicts promised, 1 there",
         lambda n, r: raw(n, [], [raw_section(17, requirements_claiming(65535, 1))]), 1, "", None),
        ("an architecture of 4 GiB", alone(struct.pack("<HI", 16, U32) + b"i386"), 1, "", None),
        # The step that stores the script reports it once more.
        ("a script of 4 GiB", alone(struct.pack("<HI", 7, U32 - 15) + b"echo hi\n"), 1,
         BROKEN + "\nERROR: installation of {0}-1.0 failed: could not create oninstall: .*", None),
        ("file data of 4 GiB", alone(struct.pack("<HI", 4, U32) + pkgtools.file_data([entry("/opt/x", b"x")])),
         1, BROKEN, None),
        *[(f"an entry of mode {mode:o} and 4 GiB", lambda n, r, d=data, m=mode: raw(n, [entry("/opt/x", d, m, U32)]),
           1, BROKEN, None) for data, mode in ((b"a little", REGULAR), (b"target", LINK), (b"", DIRECTORY))],
        ("a name of 65535 bytes promised, a few there", lambda n, r: raw(n, sections=[raw_section(4, zlib.compress(
            struct.pack("<HHHHI12xIH", REGULAR, 0, 0, 0, T0, 1, 65535) + b"/opt/short"))]), 1, BROKEN, None),
        ("a file length of 4 GiB", lambda n, r: struct.pack("<II", pkgtools.MAGIC_RECORDED, U32)
         + raw(n, [entry("/opt/x", b"x")])[8:], 0, INSTALLED, None),
        ("65535 real conflicts, loaded again by every run", lambda n, r: raw("many", [entry("/opt/x", b"x")], [
            raw_section(17, requirements_claiming(65535, 65535))]), 0, "installed many-1.0",
         lambda r: r.read("/var/pdb/many/conflicts").count("\n") == 65535),
        # Bundles inside bundles: a bundle header where a member should be
        # ends the bundle; an empty bundle's record stays, as always.
        ("a bundle as the first member", lambda n, r: bundle("outer", bundle_header("inner"), member("inm")),
         3, "", lambda r: r.installed() == ["keeper", "outer"]),
        ("a bundle after a member", lambda n, r: bundle("outer", member("m1"), bundle_header("inner"),
                                                         member("m2")), 0, "installed outer-1.0",
         lambda r: r.installed() == ["keeper", "m1", "outer"]),
        ("a bundle after a single package", lambda n, r: chain(member("single"), bundle_header("after"),
                                                                member("m3")), 0, "installed single-1.0",
         lambda r: r.installed() == ["keeper", "single"]),
        # A member named like its own bundle replaces the bundle's record.
        ("a member named like its bundle, newer", lambda n, r: bundle("self", member("self", version="1.1")),
         0, "installed self-1.0", lambda r: r.installed() == ["keeper", "self"]),
        ("a member named like its bundle, the same version", lambda n, r: bundle(n, member(n)),
         0, "WARNING: omitting package {0}-1.0: it is already installed\ninstalled {0}-1.0", None),
        # Found by fuzzing: the installer writes its records through
        # whatever stands at their paths and reads them back as text.
        ("record files placed as links", lambda n, r: raw(n, [
            entry(f"/var/pdb/{n}/deps", b"/etc/keeper.conf", LINK), entry(f"/var/pdb/{n}/version", b"/created", LINK)]),
         1, BROKEN, lambda r: not r.exists("/created")),
        ("a member places another member's record as a link", lambda n, r: bundle(
            "set", raw("evil", [entry("/var/pdb/victim", b"/etc", LINK)]), raw("victim", [entry("/v", b"v")])),
         3, "ERROR: installation of set-1.0 failed: broken package", None),
        ("a bundle name with a blank", lambda n, r: bundle("my set", raw("member", [entry("/m", b"m")])),
         None, "(?s).*", lambda r: r.installed() == ["keeper"]),
        *[(f"a conflict named {name!r}", with_conflict(name), None, "(?s).*", lambda r: r.installed() == ["keeper"])
          for name in ("old tool", "", "tab\tname")],
        ("files placed through links", lambda n, r: [
            raw("base", [entry("/srv", b"", DIRECTORY), entry("/srv/lib", b"", DIRECTORY), entry("/sl", b"srv/lib", LINK)]),
            raw("own", [entry("/opt", b"", DIRECTORY), entry("/l", b"/opt", LINK), entry("/l/x", b"x")]),
            raw("user", [entry("/sl/libu.so", b"u")])], 0, "installed user-1.0", through_links),
        # The guards decide by what the walk reaches: through the deep chain
        # into the database, over keeper's file, and to a path too long.
        ("into the database through a path too long", lambda n, r: raw(n, deep_chain() + [
            entry("/s18/db", b"/var/pdb/keeper", LINK), entry("/s18/etc", b"/etc", LINK),
            entry("/s18/db/files", b"opt/nothing\n"), entry("/s18/etc/keeper.conf", b"mine\n")]), 1, FAILS, None),
        ("a file at a path too long", lambda n, r: raw(n, deep_chain() + [entry("/s18/f", b"f")]), 1, BROKEN, None),
        ("into the database with /var a link", var_a_link, 1, BROKEN, None),
        # One name of 32,767 components: refused at once, in little memory
        # (the children's peak covers every program the tests ran so far).
        ("a name of 32,767 components", lambda n, r: raw(n, [entry(("/" + "a/" * 32767)[:65535], b"x")]), 1, BROKEN,
         lambda r: resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss < 400 << 10),
    ]


def test_hostile_packages(nest):
    """Each case on a fresh root: the run ends as expected, touches nothing
    outside the root nor keeper, a failure leaves no file behind, the next
    run loads the database without a word, and removing what was installed
    keeps keeper and everything outside."""
    for i, (what, build, status, said, check) in enumerate(hostile_cases(nest)):
        name, root = f"h{i}", nest.fresh()
        *earlier, data = (lambda p: p if isinstance(p, list) else [p])(build(f"h{i}", root))
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
        keeper_untouched(root, what)
        assert check is None or check(root), what
        root.queue(*(p for p in root.installed() if p != "keeper"))
        assert job_ends(root, what + ", removed")[0] == 0
        nest.check_outside(what + ", removed")
        keeper_untouched(root, what + ", removed")


# -- attacks on the installer's own state: it runs unattended at every start,
# so it must end every run and keep every other package's record and files.

@pytest.fixture
def guarded(tmp_path):
    return keeper_root(str(tmp_path / "root"))


def own_state_cases():
    """(what, prepare(root), installer arguments, standard input, messages
    expected among the run's)."""
    waiting = raw("waiting", {"/opt/waiting": b"w"})
    scripted = raw("scripted", {"/opt/scripted": b"s"}, install_script="echo output; echo errors >&2; : > /markers/ran\n")

    def cleared(root, path):
        if root.exists(path):
            os.unlink(root.p(path))
        return root.p(path)

    def link(path, target):
        return lambda root: os.symlink(target, cleared(root, path))

    def fifo(path):
        return lambda root: os.mkfifo(cleared(root, path))

    def moved_queue(root):
        os.rmdir(root.p("/var/deinstall"))
        os.symlink("/var/pdb/keeper", root.p("/var/deinstall"))

    def ram_link(root):
        os.symlink("/var/pdb/keeper/files", root.p("/ram/waiting.kpk"))
        root.drop("waiting.kpk", waiting)

    return [
        ("/postlog a link to a record", link("/postlog", "/var/pdb/keeper/version"), (), None, []),
        ("/postlog a FIFO", fifo("/postlog"), (), None, []),
        ("a waiting file a FIFO", fifo("/var/pckg/fifo.kpk"), (), None, ["ERROR: broken package fifo.kpk"]),
        ("/dev/null a FIFO", fifo("/dev/null"), ("-",), scripted, ["installed scripted-1.0"]),
        ("the queue a link into a record", moved_queue, (), None, []),
        ("a RAM-disk copy a link to a record", ram_link, (), None, ["installed waiting-1.0"]),
        *[(f"an entry at {path}", lambda root: None, ("-",), raw("e", [entry(path, data, mode)]), [BROKEN.format("e")])
          for path, data, mode in (("/postlog", b"/var/pdb/keeper/version", LINK), ("/DOWNGRADE", b"", REGULAR),
                                   ("/var/deinstall/keeper", b"", REGULAR), ("/var/pckg/e.kpk", b"x", REGULAR),
                                   ("/ram/e.kpk", b"/var/pdb/keeper/files", LINK),
                                   ("/var/deinstall", b"/var/pdb/keeper", LINK))],
    ]


def test_the_installers_own_paths_are_never_followed_or_waited_on(guarded):
    for what, prepare, args, data, expected in own_state_cases():
        root = faults.copy_root(guarded.path, guarded.path + "-case")
        root.keeper = guarded.keeper
        prepare(root)
        try:
            said = job_ends(root, what, *args, stdin=data)[1]
            assert all(m in said for m in expected), f"{what}: {said}"
            assert stat.S_ISREG(os.lstat(root.p("/postlog")).st_mode), f"{what}: /postlog"
            # The next run finds nothing to do and nothing to hang on (a
            # waiting file that is no regular file stays, as broken).
            assert job_ends(root, what + ", next run")[1] == [m for m in expected if m.startswith("ERROR: broken")]
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
        (shutil.rmtree if os.path.isdir(root.p(path)) else os.unlink)(root.p(path))

    # Killed during the removal of a queued bundle: the next start finishes it.
    root.install(bundle("suite", *(raw(f"m{i}", {f"/opt/m{i}": b"m"},
                 uninstall_script=f": > /markers/m{i}; sleep 0.3\n") for i in (1, 2, 3))))
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

    def upgrade(stdout, then):
        with open(package, "rb") as data:
            proc = subprocess.Popen([program("installer"), "-r", root.path, "-"], stdin=data, stdout=stdout,
                                    stderr=subprocess.DEVNULL, env=faults.QUIET_LEAKS)
            status = then(proc)
        assert faults.read_database(root)["up"]["version"][0] == pkgtools.version("2.0"), status
        assert faults.contents_on_disk(root, new_files) == new_files, status
        return status

    # Standard output read for 20 bytes and closed: every file a ghost, so
    # that the run writes far more than the pipe holds and meets the closed
    # end long before its end.
    root.install(old)
    for path in new_files:
        if not root.exists(path):
            with open(root.p(path), "wb") as f:
                f.write(b"ghost")

    def close_console(proc):
        proc.stdout.read(20)
        proc.stdout.close()
        return proc.wait(timeout=60)
    assert upgrade(subprocess.PIPE, close_console) == 0

    # A hang-up, an interrupt or a termination request during the upgrade
    # takes effect once the upgrade is complete.
    for number in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
        root.install(old, "-down")
        os.unlink(root.p("/markers/old-uninstalling"))

        def signalled(proc):
            while not root.exists("/markers/old-uninstalling"):
                assert proc.poll() is None
            proc.send_signal(number)
            return proc.wait(timeout=60)
        assert upgrade(subprocess.DEVNULL, signalled) == -number


def test_linked_and_undeletable_records(guarded):
    root = guarded
    # A record that is a link to another record is removed as damaged at the
    # next start; nothing is run or removed through it.
    os.symlink("keeper", root.p("/var/pdb/twin"))
    root.queue("twin")
    assert job_ends(root, "linked record")[1] == ["uninstalled twin-0.0"]
    assert root.installed() == ["keeper"]
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
        said = job_ends(root, name, "-", stdin=raw(name, {f"/opt/n{i}": b"n"}, install_script=f": > /markers/n{i}\n"))
        assert said == (0, [f"installed {name}-1.0"]) and root.exists(f"/markers/n{i}"), name
    assert not root.exists("/markers/system")

    # Control bytes of names are shown escaped, on the console and in the log.
    name = b"/opt/\x1b[2J\x9b"
    open(root.p("/").encode() + name, "w").close()
    status, out, _ = root.installer("-", stdin=raw("esc", [entry(name, b"e")]))
    assert "WARNING: ghost file /opt/\\x1b[2J\\x9b\n" in out
    assert out.replace("\x1b[?25l", "").replace("\x1b[?25h", "").count("\x1b") == 0
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
