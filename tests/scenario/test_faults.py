"""installer under faults: a disk that fills mid-install, a run killed at
any point (fed through a small pipe), and hostile package files. Filled or
killed roots live on a tmpfs in the test's scratch directory; every run
passes -r <scratch root>.
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
import time
import uuid
import zlib

import pytest

import faults
import pkgtools
from conftest import copy_with_libraries, make_root, program
from pkgtools import (BLOCK, CHARACTER, DIRECTORY, FIFO, LINK, REGULAR, SOCKET, T0, entry, raw,
                      raw_bundle, section_offsets)

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")

COLLECTED = ("/opt", "/etc")  # where the test packages put their files
PAGE = 4096


def random_files(prefix, count, size):
    return {f"{prefix}{i:04}": os.urandom(size) for i in range(count)}


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    """The packages of the fault tests, built once."""
    factory = pkgtools.Packages(tmp_path_factory.mktemp("fault-packages"))
    build = factory.make
    p = {}
    p["keeper"] = build("keeper", "1.0", {
        "etc/keeper.conf": b"keeper configuration\n",
        "opt/keeper/bin/tool": os.urandom(20000),
        "opt/keeper/lib/tool.so": ("link", "../bin/tool")})
    big = random_files("opt/big/data/f", 40, 100_000)
    big.update(random_files("opt/big/small/f", 100, 10_000))
    big["etc/big.conf"] = b"big\n"
    big["opt/big/current"] = ("link", "data/f0000")
    p["big"] = build("big", "1.0", big, depends=[("keeper", "1.0", None)],
                     install_script=": > /markers/big-install-ran; sleep 0.05\n",
                     uninstall_script=": > /markers/big-uninstall-ran\n")
    # Many small files, so that taking the old version out lasts a while.
    old = random_files("opt/big/old/f", 1500, 100)
    old["etc/big.conf"] = b"old big\n"
    p["old"] = build("big", "0.9", old,
                     uninstall_script=": > /markers/old-uninstalling; sleep 0.05\n")
    members = []
    for i in (1, 2, 3):
        files = random_files(f"opt/m{i}/data", 3, 500_000)
        files.update(random_files(f"opt/m{i}/small/f", 40, 3000))
        script = {"install_script": ": > /markers/m2-install-ran\n"} if i == 2 else {}
        members.append(build(f"m{i}", "1.0", files, bundle="suite", **script))
    p["suite"] = factory.bundle("suite", "1.0", members)
    p["members"] = members
    return p


@pytest.fixture
def tmpfs(tmp_path):
    """A 256 MiB tmpfs in the test's scratch directory."""
    with faults.mounted_tmpfs(tmp_path / "fs", 256 << 20) as path:
        yield path


def router_root(path, keeper, extra=()):
    """A root with bash, sleep and /markers, and keeper (and extra) installed."""
    root = make_root(path)
    copy_with_libraries("/bin/sleep", path)
    os.makedirs(root.p("/markers"))
    for package in (keeper, *extra):
        status, out, _ = root.installer("-", stdin=package.data)
        assert status == 0, out
    return root


# -- checks ------------------------------------------------------------------------

def is_complete(root, records, package):
    record = records.get(package.name)
    return (record is not None and record["version"] == package.version
            and record["files"] == sorted(package.contents)
            and record["bundle"] == package.bundle
            and faults.contents_on_disk(root, package.contents) == package.contents)


def describe(root, records, name):
    record = records.get(name)
    if record is None:
        return f"{name}: no record"
    missing = [p for p in record["files"] if not root.exists(p)]
    return f"{name}: version {record['version']}, {len(record['files'])} files, missing {missing[:3]}"


def check_intact(root, records, package, where):
    assert is_complete(root, records, package), f"{where}: {describe(root, records, package.name)}"


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
    allowed = re.compile(rf"(uninstalled ({names})-\S+|"
                         rf"WARNING: package ({names})-\S+ onuninstall script failed)")
    for message in faults.messages(out):
        assert allowed.fullmatch(message), f"{where}: recovery said {message!r}"
    records = check_database(root, where)
    check_intact(root, records, keeper, where)
    left = set()
    for name, versions in interrupted.items():
        if name in records:
            assert any(is_complete(root, records, v) for v in versions), (
                f"{where}: half installed after recovery: {describe(root, records, name)}")
        for v in versions:
            left.update(v.contents)
    stray = faults.unowned_files(root, COLLECTED, records)
    assert set(stray) <= left, f"{where}: unowned files of no interrupted package: {stray[:5]}"

    status, out, _ = root.installer()
    assert (status, faults.messages(out)) == (0, []), f"{where}: second run: {out}"
    status, out, _ = root.installer("--filegc", *COLLECTED)
    assert status == 0
    assert faults.unowned_files(root, COLLECTED) == [], where
    after = check_database(root, where + " after file collection")
    assert after == records, f"{where}: file collection changed the database"
    check_intact(root, after, keeper, where)
    return after


def progress(root, package):
    """(files on disk, record directory present, "version" present)."""
    placed = sum(1 for p in package.contents if root.exists(p))
    folder = f"/var/pdb/{package.name}"
    return (placed, root.exists(folder), root.exists(folder + "/version"))


def run_crash_points(tmpfs, points, keeper, interrupted, watched, then=None):
    """Every kill point on a fresh copy of tmpfs/template: feed, kill,
    recover, check, then(root, records, label). A point (label, action[,
    landed]) is retried until landed(root) says the kill hit its window.
    Returns {label: (progress of watched at the kill, records after)}."""
    results = {}
    for label, action, *landed in points:
        for attempt in range(20):
            root = faults.copy_root(os.path.join(tmpfs, "template"), os.path.join(tmpfs, "point"))
            install = faults.PacedInstall(root, watched.data, os.path.join(tmpfs, "log"))
            try:
                came = action(install, root) is not False
            finally:
                status = install.kill()
                install.close_input()
            assert status in (-9, 0), f"{label}: installer ended {status}: {install.output()}"
            if came and (not landed or landed[0](root)):
                break
            shutil.rmtree(root.path)
        else:
            pytest.fail(f"{label}: the kill never came inside its window")
        state = progress(root, watched)
        records = recover_and_check(root, keeper, interrupted, f"kill {label}")
        if then:
            then(root, records, f"kill {label}")
        results[label] = (state, records)
        shutil.rmtree(root.path)
    return results


def paced(upto):
    """Kill point: the first upto bytes delivered and consumed."""
    def action(install, root):
        install.deliver(upto)
    return action


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


def after(seconds):
    """Kill point: the whole package fed, killed after a delay."""
    def action(install, root):
        feeder = threading.Thread(target=install.finish_input)
        feeder.start()
        time.sleep(seconds)
        install.kill()
        feeder.join()
    return action


def section_of(data, section_type):
    return next((start, length) for t, start, length in section_offsets(data) if t == section_type)


def measured_duration(tmpfs, package, done):
    """Seconds from the start of an install of package until done(root)."""
    root = faults.copy_root(os.path.join(tmpfs, "template"), os.path.join(tmpfs, "timing"))
    install = faults.PacedInstall(root, package.data, os.path.join(tmpfs, "log"))
    feeder = threading.Thread(target=install.finish_input)
    feeder.start()
    while not done(root) and install.proc.poll() is None:
        pass
    duration = time.monotonic() - install.started
    assert install.wait() == 0
    feeder.join()
    shutil.rmtree(root.path)
    return duration


# -- kill -9 at any point ------------------------------------------------------------

def read_or_empty(root, path):
    try:
        return root.read(path)
    except OSError:
        return ""


def package_points(package, uninstalling):
    """Kill points of an install or an upgrade of package: in its header and
    script, before and across its file data, as the old version goes, as
    the record is written and while the install script runs."""
    header = section_of(package.data, pkgtools.SECTION_PACKAGE_HEADER)
    script = section_of(package.data, pkgtools.SECTION_INSTALL_SCRIPT)
    body = section_of(package.data, pkgtools.SECTION_FILE_DATA)
    new_version = f"{package.version[0]} "
    points = [("before the first byte", paced(0)),
              ("inside the header record", paced(header[0] + 16)),
              ("inside the install script", paced(script[0] + script[1] // 2)),
              ("at the start of the file data", paced(body[0])),
              *[(f"at {p}% of the file data", paced(body[0] + body[1] * p // 100))
                for p in range(5, 100, 10)],
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
    """Kill points of the suite bundle: its own header, and for every member
    the middle of its data, all its files placed (its record not yet written,
    since that waits for the next section header) and its record written."""
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
    return points + [(f"once {last}'s \"version\" exists",
                      when(lambda r: r.exists(f"/var/pdb/{last}/version")))]


@pytest.mark.parametrize("kind", ["install", "upgrade", "bundle"])
def test_kill_points(packages, tmpfs, kind):
    """An install, an upgrade and a bundle, killed at points spread over the
    whole run: afterwards every other package is whole, the interrupted
    ones are whole or gone, and the package installs again."""
    keeper, old, big, suite, members = (packages[k] for k in ("keeper", "old", "big", "suite", "members"))
    router_root(os.path.join(tmpfs, "template"), keeper, [old] if kind == "upgrade" else [])
    if kind == "bundle":
        watched, done = suite, lambda r: r.exists(f"/var/pdb/{members[-1].name}/version")
        points = bundle_points(suite, members)
        interrupted = {"suite": [suite], **{m.name: [m] for m in members}}
    else:
        watched, done = big, lambda r: r.exists("/markers/big-install-ran")
        old_files = sorted(old.contents)
        points = package_points(big, kind == "upgrade" and (old_files[1], old_files[-1]))
        interrupted = {"big": [old, big] if kind == "upgrade" else [big]}
    duration = measured_duration(tmpfs, watched, done)
    points += [(f"after {p}% of {duration:.2f}s", after(duration * p / 100))
               for p in (5, 10, 20, 35, 50, 65, 80, 95, 110)]
    failures = []

    def whole_or_gone_and_installable(root, records, where):
        # A bundle's record is completed after its members: a run cut short
        # anywhere before leaves it invalid, and it goes with them all.
        present = {name for name in interrupted if name in records}
        if kind == "bundle" and present not in (set(), set(interrupted)):
            failures.append(f"{where}: only {sorted(present)} left")
        status, out, _ = root.installer("-", stdin=watched.data)
        records = check_database(root, where)
        if not all(is_complete(root, records, p) for p in [watched] + members * (kind == "bundle")):
            failures.append(f"{where}: installing again ended {status}: {faults.messages(out)}")

    results = run_crash_points(tmpfs, points, keeper, interrupted, watched,
                               whole_or_gone_and_installable)
    assert failures == [], "\n".join(failures)
    name = watched.name
    outcomes = {records[name]["version"] if name in records else None for _, records in results.values()}
    assert outcomes == {None, watched.version} | ({old.version} if kind == "upgrade" else set())
    placed = {state[0] for state, _ in results.values()}
    assert kind == "bundle" or {0, len(big.contents)} <= placed and len(placed) >= 10, (
        {label: state for label, (state, _) in results.items()})


# -- a full disk -----------------------------------------------------------------------

DISK_FULL = "ERROR: installation of {} failed: disk is too small"


@pytest.fixture
def small_fs(tmp_path):
    """A tmpfs of 24 MiB and 2048 inodes in the test's scratch directory."""
    with faults.mounted_tmpfs(tmp_path / "small", 24 << 20, inodes=2048) as path:
        yield path


@pytest.mark.parametrize("resource", ["blocks", "inodes"])
def test_every_fill_level_either_installs_or_undoes(packages, small_fs, pkgs, resource):
    """The disk runs out at every step in turn: the stored scripts, every
    kind of entry, each file of the record, "version" last."""
    keeper = packages["keeper"]
    files = {f"opt/sweep/f{i}": os.urandom(PAGE * i + 100) for i in range(1, 4)}
    files.update({"opt/sweep/sub/empty": b"", "opt/sweep/long-link": ("link", "t" * 300),
                  "etc/sweep.conf": b"sweep\n", "opt/sweep/short-link": ("link", "f1")})
    sweep = pkgs.make("sweep", "1.0", files, depends=[("keeper", None, None)],
                  conflicts=[("enemy", None, None)],
                  install_script=": > /markers/sweep-installed\n",
                  uninstall_script=": > /markers/sweep-removed\n")
    root = router_root(os.path.join(small_fs, "root"), keeper)
    filler = os.path.join(small_fs, "filler")

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
        where = f"{level} {resource} free"
        if status == 0:
            assert faults.messages(out) == ["installed sweep-1.0"], f"{where}: {out}"
            check_intact(root, check_database(root, where), sweep, where)
            root.queue("sweep")
            status, out, _ = root.installer()
            assert (status, faults.messages(out)) == (0, ["uninstalled sweep-1.0"]), where
        else:
            # A script failing to be stored is reported by the writer and by
            # the install step: the same text twice. A script cut short is
            # removed, so the undo has nothing to run.
            full = DISK_FULL.format("sweep-1.0")
            assert status == 1, f"{where}: {out}"
            assert faults.messages(out) in ([full], [full, full]), where
            records = check_database(root, where)
            assert sorted(records) == ["keeper"], f"{where}: {out}"
            check_intact(root, records, keeper, where)
            assert set(faults.contents_on_disk(root, sweep.contents).values()) == {None}, where
            again, out, _ = root.installer()
            assert (again, faults.messages(out)) == (0, []), f"{where}: {out}"
        return status == 0

    # What one install takes, with the directories of the package already there.
    assert install_at(200)
    st = os.statvfs(small_fs)
    before = st.f_bavail if resource == "blocks" else st.f_favail
    assert root.installer("-", stdin=sweep.data)[0] == 0
    st = os.statvfs(small_fs)
    need = before - (st.f_bavail if resource == "blocks" else st.f_favail)
    root.queue("sweep")
    assert root.installer()[0] == 0

    outcomes = [install_at(level) for level in range(need + 2)]
    # Too little room fails at every level, enough room installs: the
    # failures come first and the last level succeeds.
    assert outcomes == sorted(outcomes) and outcomes[-1] and outcomes.count(False) >= need - 1, (
        need, outcomes)


def test_disk_full_in_a_bundle_member_stops_the_bundle_there(packages, small_fs, pkgs):
    keeper = packages["keeper"]
    members = [pkgs.make("b1", "1.0", random_files("opt/b1/f", 4, 250_000), bundle="pack"),
               pkgs.make("b2", "1.0", random_files("opt/b2/f", 12, 250_000), bundle="pack"),
               pkgs.make("b3", "1.0", {"opt/b3/f": b"small"}, bundle="pack")]
    pack = pkgs.bundle("pack", "1.0", members)
    root = router_root(os.path.join(small_fs, "root"), keeper)
    # b1 fits, b2 does not.
    faults.fill_leaving(small_fs, os.path.join(small_fs, "filler"), 2 << 20)
    status, out, _ = root.installer("-", stdin=pack.data)
    # The member's failure names the bundle; the members before it stay, the
    # ones after it are not read, and the bundle counts as installed.
    assert (status, faults.messages(out)) == (
        0, [DISK_FULL.format("pack-1.0"), "installed pack-1.0"])
    records = check_database(root, "bundle on a full disk")
    assert sorted(records) == ["b1", "keeper", "pack"]
    check_intact(root, records, members[0], "b1")
    for member in members[1:]:
        assert all(c is None for c in faults.contents_on_disk(root, member.contents).values())
    status, out, _ = root.installer()
    assert (status, faults.messages(out)) == (0, [])


# -- hostile package files ----------------------------------------------------------------

def header(kind, name, version="1.0"):
    return pkgtools.raw_section(kind, pkgtools.header_record(name, version))


def member(name, *entries, version="1.0", extra=()):
    """The header and file data of one package (a bundle member or not)."""
    entries = entries or [entry(f"/opt/{name}-{version}", b"m")]
    return [header(pkgtools.SECTION_PACKAGE_HEADER, name, version), *extra,
            pkgtools.raw_section(pkgtools.SECTION_FILE_DATA, pkgtools.file_data(list(entries)))]


class Nest:
    """A root at a/b/root, keeper installed, files around it no install may touch."""

    def __init__(self, tmp_path, keeper):
        self.top = tmp_path / "a"
        self.middle = self.top / "b"
        self.middle.mkdir()
        self.root = make_root(str(self.middle / "root"), with_bash=False)
        (self.top / "sibling").write_text("a's own file\n")
        (self.middle / "victim").write_text("b's own file\n")
        (self.middle / "etc").mkdir()
        (self.middle / "etc" / "keeper.conf").write_text("outside\n")
        status, out, _ = self.root.installer("-", stdin=keeper.data)
        assert status == 0, out
        self.keeper = keeper
        # Hostile names carry this tag, so an escape shows wherever it lands.
        self.tag = "escaped-" + uuid.uuid4().hex[:12]
        self.around = faults.snapshot(self.top, skip=self.middle / "root")

    def check_outside(self, where):
        assert faults.snapshot(self.top, skip=self.middle / "root") == self.around, where
        for folder in [self.middle, *self.middle.parents, "/tmp"]:
            assert not [n for n in os.listdir(folder) if self.tag in n], f"{where}: in {folder}"

    def install(self, data, where, keeper_intact=True):
        """Installs hostile bytes; checks that the run ended by itself with a
        status of the table, wrote nothing outside, and that the next run
        loads the database without a word. Returns (status, messages)."""
        status, out, err = self.root.installer("-", stdin=data)
        assert status in (0, 1, 2, 3), f"{where}: ended {status}: {err}"
        assert "Sanitizer" not in err and "runtime error" not in err, f"{where}: {err}"
        self.check_outside(where)
        again, again_out, _ = self.root.installer()
        assert (again, faults.messages(again_out)) == (0, []), f"{where}: next run: {again_out}"
        records = check_database(self.root, where)
        if keeper_intact:
            check_intact(self.root, records, self.keeper, where)
        return status, faults.messages(out)

    def clear(self, label, entries, where, expected_status=None, take_out=False):
        """install() of raw(label, entries), which must install or fail
        with one error naming it (after ghost-file warnings only)."""
        status, said = self.install(raw(label, entries), where)
        *warnings, last = said or [""]
        assert all(w.startswith("WARNING: ghost file ") for w in warnings), f"{where}: {said}"
        assert status in (0, 1) and expected_status in (None, status), f"{where}: {status} {said}"
        assert last == f"installed {label}-1.0" if status == 0 else last.startswith(
            f"ERROR: installation of {label}-1.0 failed: "), f"{where}: {said}"
        if take_out and status == 0:
            self.root.queue(label)
            assert self.root.installer()[0] == 0
        return said


@pytest.fixture
def nest(tmp_path, packages):
    # On a tmpfs: runs of the installer sync, and nothing of it need reach a disk.
    with faults.mounted_tmpfs(tmp_path / "a", 64 << 20):
        n = Nest(tmp_path, packages["keeper"])
        yield n
        n.check_outside("at the end")


def test_symbolic_links_out_of_the_root_lead_back_into_it(nest):
    tag, outside = nest.tag, str(nest.middle)
    cases = [
        ("relative", "../../..", f"/up/{tag}-r", REGULAR),
        ("relative, a directory through it", "../../..", f"/up/{tag}-d", DIRECTORY),
        ("relative, a link through it", "../..", f"/up/{tag}-l", LINK),
        ("absolute to /", "/", f"/up/../{tag}-a", REGULAR),
        ("absolute, the host path of the parent", outside, "/up/victim", REGULAR),
        ("absolute, the host path of a file", outside + "/victim", "/up", REGULAR),
        ("dot-dot chain", "../" * 40, f"/up/etc/{tag}-x", REGULAR),
    ]
    for i, (what, target, through, mode) in enumerate(cases):
        label = f"s{i}"
        data = outside + "/victim" if mode == LINK else "through the link\n"
        # Taken out again, so the next case makes its own link.
        nest.clear(label, [entry("/up", target.encode(), LINK), entry(through, data.encode(), mode)],
                   what, take_out=True)
        assert not nest.root.exists("/up"), what
    # A link left in the root by someone else, to a host path.
    os.symlink(outside, nest.root.p("/var/outside"))
    status, said = nest.install(raw("s9", [entry("/var/outside/victim", b"x")]), "left link")
    assert status == 1 and said[-1].startswith("ERROR: installation of s9-1.0 failed: could not")


def test_other_names_for_another_packages_file_do_not_reach_it(nest):
    conf = nest.root.p("/etc/keeper.conf")
    cases = {
        "dot-dot": [entry("/etc/../etc/keeper.conf", b"replaced\n")],
        "dot": [entry("/etc/./keeper.conf", b"replaced\n")],
        "double slash": [entry("//etc/keeper.conf", b"replaced\n")],
        "a link in the way": [entry("/opt/way", b"/etc", LINK),
                              entry("/opt/way/keeper.conf", b"replaced\n")],
        "a newline": [entry(b"/opt/n\n", b"", DIRECTORY), entry(b"/opt/n\n/etc", b"", DIRECTORY),
                      entry(b"/opt/n\n/etc/keeper.conf", b"mine\n")],
    }
    failures = []
    for i, (what, entries) in enumerate(cases.items()):
        label = f"o{i}"
        try:
            status, said = nest.install(raw(label, entries), what, keeper_intact=False)
        except AssertionError as e:
            failures.append(f"{what}: {e}")
            said = None
        with open(conf, "rb") as f:
            if f.read() != b"keeper configuration\n":
                failures.append(f"{what}: replaced ({said})")
        nest.root.queue(label)
        assert nest.root.installer()[0] == 0
        if not os.path.exists(conf):
            failures.append(f"{what}: deleted with {label}")
        # keeper whole again for the next case
        assert nest.root.installer("-down", "-", stdin=nest.keeper.data)[0] == 0
    assert failures == [], "\n".join(failures)


def test_names_that_leave_the_root_or_name_no_path(nest):
    tag = nest.tag
    escaping = ["/../../{}", "../{}", "a/../../{}", "/opt/../../../{}", "./../{}",
                "/dev/../../../../{}", "../../{}/", "..", "/..", "/../"]
    names = [p.format(f"{tag}-{i}").encode() for i, p in enumerate(escaping)] + [
        b"", b"/", b"/opt/a\0b", b"\0", b"/opt/dir/", ("/opt/" + "c" * 256).encode(),
        ("/" + "d/" * 2100 + "f").encode(), b"/" + b"n" * 65534]
    for i, name in enumerate(names):
        for mode in (REGULAR, DIRECTORY, LINK, FIFO):
            label = f"n{i}m{mode >> 12:o}"
            before = f"/opt/before-{label}"
            where = f"{name[:40]!r} as {mode:o}"
            data = b"/etc/keeper.conf" if mode == LINK else b"x"
            # Only a directory entry for a directory that is there (or can be
            # made) goes through; nothing else can be placed, and is undone.
            placeable = mode == DIRECTORY and name in (b"", b"/", b"/opt/dir/")
            said = nest.clear(label, [entry(before, b"b"), entry(name, data, mode)], where,
                              0 if placeable else 1)
            assert nest.root.exists(before) == placeable, where
            # A ".." names no path of the package; a zero byte would cut the name short.
            if b".." in name.split(b"/") or b"\0" in name:
                assert said == [f"ERROR: installation of {label}-1.0 failed: broken package"], where
    assert not nest.root.exists("/opt/a")
    assert not [n for n in os.listdir(nest.root.p("/")) if n.startswith(tag)]


def requirements_claiming(count, present):
    """A requirement list whose count says `count` but holds `present` entries."""
    return struct.pack("<H", count) + pkgtools.requirement_list(
        [(f"r{i}", None, None) for i in range(present)])[2:]


def test_huge_counts_and_lengths(nest):
    broken = "ERROR: installation of {}-1.0 failed: broken package"
    u32 = 0xFFFFFFFF
    alone = lambda name: pkgtools.raw_package([header(pkgtools.SECTION_PACKAGE_HEADER, name)])
    cases = [
        # name, package bytes, status, messages
        ("deps65535", raw("deps65535", [], [pkgtools.raw_section(3, requirements_claiming(65535, 2))]),
         1, []),
        ("conf65535", raw("conf65535", [], [pkgtools.raw_section(17, requirements_claiming(65535, 1))]),
         1, []),
        ("arch4g", alone("arch4g") + struct.pack("<HI", 16, u32) + b"i386", 1, []),
        # The step that stores the script reports it once more.
        ("script4g", alone("script4g") + struct.pack("<HI", 7, u32 - 15)
         + b"echo hi\n", 1, [broken.format("script4g"), "could not create oninstall"]),
        ("data4g", alone("data4g") + struct.pack("<HI", 4, u32)
         + pkgtools.file_data([entry("/opt/data4g", b"x")]), 1, [broken.format("data4g")]),
        *[(f"{k}4g", raw(f"{k}4g", [entry(f"/opt/{k}4g", data, mode, size=u32)]), 1,
           [broken.format(f"{k}4g")]) for k, data, mode in (
              ("file", b"only a little", REGULAR), ("link", b"target", LINK),
              ("dir", b"", DIRECTORY), ("fifo", b"", FIFO))],
        # An entry header promising 65535 bytes of name, followed by a few.
        ("name64k", raw("name64k", sections=[pkgtools.raw_section(4, zlib.compress(
            struct.pack("<HHHHI12xIH", REGULAR, 0, 0, 0, T0, 1, 65535) + b"/opt/short"))]),
         1, [broken.format("name64k")]),
        # A file length of 4 GiB in the file header changes nothing else.
        ("length4g", struct.pack("<II", pkgtools.MAGIC_RECORDED, u32)
         + raw("length4g", [entry("/opt/length4g", b"x")])[8:], 0, ["installed length4g-1.0"]),
        # 65535 real conflicts: installed, and loaded again by every run.
        ("many", raw("many", [entry("/opt/many", b"x")], [pkgtools.raw_section(
            17, pkgtools.requirement_list([(f"c{i}", None, None) for i in range(65535)]))]),
         0, ["installed many-1.0"]),
    ]
    for name, data, status, said in cases:
        got_status, got = nest.install(data, name)
        assert got_status == status and len(got) == len(said), (name, got)
        for message, expected in zip(got, said):
            if expected.startswith("could not create"):
                expected = f"ERROR: installation of {name}-1.0 failed: {expected}: "
            assert message.startswith(expected), (name, got)
        assert (name in nest.root.installed()) == (status == 0), name
    assert nest.root.read("/var/pdb/many/conflicts").count("\n") == 65535


def test_entries_of_every_type_with_sizes_that_do_not_fit(nest):
    """Sizes of 0, the right size, fewer bytes than the size says (the
    stream ends), and more (the rest is read as the next entry)."""
    device = struct.pack("<I", (1 << 8) | 3)
    types = {"regular": REGULAR, "link": LINK, "directory": DIRECTORY, "character": CHARACTER,
             "block": BLOCK, "fifo": FIFO, "socket": SOCKET, "type 0": 0o644, "type 0xF000": 0o170644}
    # (data, stored size) per variant; None: the entry's own fitting data.
    variants = {"zero": (b"", 0), "fitting": (None, None), "short data": (b"y" * 10, 1000),
                "long data": (b"\x01" * 40, 10), "device of 3": (b"abc", 3),
                "device of 5": (b"abcde", 5)}
    fitting = {"regular": b"contents", "link": b"target", "character": device, "block": device}

    def placeable(kind, variant):
        if kind in ("socket", "type 0", "type 0xF000") or variant in ("short data", "long data"):
            return False
        if kind in ("character", "block"):
            return variant == "fitting"
        return not (kind == "link" and variant == "zero")  # an empty link target

    for i, (kind, mode) in enumerate(types.items()):
        for j, (variant, (data, size)) in enumerate(variants.items()):
            label = f"z{i}v{j}"
            if data is None:
                data = fitting.get(kind, b"")
            where = f"{kind} entry, {variant}"
            status = 0 if placeable(kind, variant) else 1
            said = nest.clear(label, [entry(f"/opt/ok-{label}", b"ok"),
                                      entry(f"/opt/{label}", data, mode, size)], where, status)
            assert nest.root.exists(f"/opt/ok-{label}") == (status == 0), where
            if status == 1 and kind != "link":
                assert said == [f"ERROR: installation of {label}-1.0 failed: broken package"], where


def test_bundles_inside_bundles(nest):
    b = lambda name: header(pkgtools.SECTION_BUNDLE_HEADER, name)
    cases = [
        # A bundle header where the first member should be: no member at
        # all; the outer bundle's record stays, as for every empty bundle.
        ("a bundle as the first member", [b("outer"), b("inner"), *member("inm")], 3, [], ["outer"]),
        # Members up to the inner bundle header are installed; it ends the bundle.
        ("a bundle after a member", [b("outer2"), *member("m1"), b("inner2"), *member("m2")],
         0, ["installed outer2-1.0"], ["m1", "outer2"]),
        ("a bundle after a single package", [*member("single"), b("after"), *member("m3")],
         0, ["installed single-1.0"], ["single"]),
        # A member named like its own bundle replaces the bundle's record.
        ("named like its bundle, newer", [b("self"), *member("self", version="1.1")],
         0, ["installed self-1.0"], ["self"]),
        ("named like its bundle, the same version", [b("same"), *member("same")],
         0, ["WARNING: omitting package same-1.0: it is already installed", "installed same-1.0"],
         ["same"]),
    ]
    for what, sections, status, said, installed in cases:
        before = set(nest.root.installed())
        assert nest.install(pkgtools.raw_package(sections), what) == (status, said), what
        assert set(nest.root.installed()) - before == set(installed), what


# -- attacks on the installer's own state: it runs unattended at every start,
# so it must end every run and keep every other package's record and files.

KEEPER_FILES = {"/etc/keeper.conf": b"keeper\n", "/opt/keeper/tool": b"tool"}


@pytest.fixture
def guarded(tmp_path):
    """A root with bash, sleep, /markers and the package keeper installed."""
    root = make_root(str(tmp_path / "root"))
    copy_with_libraries("/bin/sleep", root.path)
    os.makedirs(root.p("/markers"))
    root.install(raw("keeper", KEEPER_FILES, uninstall_script=": > /markers/keeper-removed\n"))
    root.keeper = faults.read_database(root)["keeper"]
    return root


def keeper_untouched(root, where):
    records = faults.read_database(root)
    assert records.get("keeper") == root.keeper, f"{where}: {records.get('keeper')}"
    assert faults.contents_on_disk(root, KEEPER_FILES) == KEEPER_FILES, where
    assert not root.exists("/markers/keeper-removed"), where


def release_fifos(root):
    """Opens every FIFO of the root once, so that a run hung on one ends."""
    for top, dirs, files in os.walk(root.path):
        for name in files:
            path = os.path.join(top, name)
            if stat.S_ISFIFO(os.lstat(path).st_mode):
                os.close(os.open(path, os.O_RDWR | os.O_NONBLOCK))


def job_ends(root, where, *args, stdin=None):
    """Runs the installer; it must end by itself. Returns (status, messages)."""
    try:
        status, out, err = root.installer(*args, stdin=stdin, timeout=20)
    except subprocess.TimeoutExpired:
        release_fifos(root)
        pytest.fail(f"{where}: the run never ended")
    assert "Sanitizer" not in err, f"{where}: {err}"
    return status, faults.messages(out)


def own_state_cases():
    """(what, prepare(root), installer arguments, standard input, messages
    expected among the run's)."""
    waiting = raw("waiting", {"/opt/waiting": b"w"})
    scripted = raw("scripted", {"/opt/scripted": b"s"},
                   install_script="echo output; echo errors >&2; : > /markers/ran\n")
    broken = "ERROR: installation of {}-1.0 failed: broken package"

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
        ("a waiting file a FIFO", fifo("/var/pckg/fifo.kpk"), (), None,
         ["ERROR: broken package fifo.kpk"]),
        ("/dev/null a FIFO", fifo("/dev/null"), ("-",), scripted, ["installed scripted-1.0"]),
        ("the queue a link into a record", moved_queue, (), None, []),
        ("a RAM-disk copy a link to a record", ram_link, (), None, ["installed waiting-1.0"]),
        *[(f"an entry at {path}", lambda root: None, ("-",), raw("e", [entry(path, data, mode)]),
           [broken.format("e")])
          for path, data, mode in (("/postlog", b"/var/pdb/keeper/version", LINK),
                                   ("/DOWNGRADE", b"", REGULAR),
                                   ("/var/deinstall/keeper", b"", REGULAR),
                                   ("/var/pckg/e.kpk", b"x", REGULAR),
                                   ("/ram/e.kpk", b"/var/pdb/keeper/files", LINK),
                                   ("/var/deinstall", b"/var/pdb/keeper", LINK))],
    ]


def test_the_installers_own_paths_are_never_followed_or_waited_on(guarded):
    failures = []
    for what, prepare, args, data, expected in own_state_cases():
        root = faults.copy_root(guarded.path, guarded.path + "-case")
        root.keeper = guarded.keeper
        prepare(root)
        try:
            status, said = job_ends(root, what, *args, stdin=data)
            missing = [m for m in expected if m not in said]
            if missing:
                failures.append(f"{what}: {said} lacks {missing}")
            # The log was written, as a regular file of its own.
            if not stat.S_ISREG(os.lstat(root.p("/postlog")).st_mode):
                failures.append(f"{what}: /postlog is no regular file")
            # A second run finds nothing to do and nothing left to hang on
            # (a waiting file that is no regular file stays, as broken).
            status, again = job_ends(root, what + ", next run")
            if again != [m for m in expected if m.startswith("ERROR: broken package ")]:
                failures.append(f"{what}: next run said {again}")
            keeper_untouched(root, what)
        except (AssertionError, pytest.fail.Exception) as e:
            failures.append(str(e))
        finally:
            release_fifos(root)
            shutil.rmtree(root.path)
    assert failures == [], "\n".join(failures)


def test_guards_decide_by_what_the_walk_reaches(guarded):
    # A directory chain whose real path outgrows the system's limit, built
    # through links so that every name stays short, then an entry into the
    # database and one over keeper's file through it.
    long_name = "n" * 250
    entries = [entry("/a", b"", DIRECTORY), entry(f"/a/{long_name}", b"", DIRECTORY),
               entry("/s1", f"/a/{long_name}".encode(), LINK)]
    for i in range(2, 19):
        entries += [entry(f"/s{i - 1}/{long_name}", b"", DIRECTORY),
                    entry(f"/s{i}", f"/s{i - 1}/{long_name}".encode(), LINK)]
    entries += [entry("/s18/db", b"/var/pdb/keeper", LINK), entry("/s18/etc", b"/etc", LINK),
                entry("/s18/db/files", b"opt/nothing\n"), entry("/s18/etc/keeper.conf", b"mine\n")]
    status, said = job_ends(guarded, "a path too long for the system", "-",
                            stdin=raw("deep", entries))
    assert status == 1 and said[-1].startswith("ERROR: installation of deep-1.0 failed: "), said
    keeper_untouched(guarded, "a path too long for the system")

    # With /var itself a link, the database is known by what it is.
    shutil.move(guarded.p("/var"), guarded.p("/data"))
    os.symlink("data", guarded.p("/var"))
    status, said = job_ends(guarded, "/var a link", "-", stdin=raw(
        "through", [entry("/data/pdb/keeper/files", b"opt/nothing\n")]))
    assert (status, said) == (1, ["ERROR: installation of through-1.0 failed: broken package"])
    keeper_untouched(guarded, "/var a link")

    # One name of 32,767 components: refused at once, in little memory (the
    # children's peak covers every program the tests ran so far).
    name = ("/" + "a/" * 32767)[:65535]
    status, said = job_ends(guarded, "a long name", "-", stdin=raw("long", [entry(name, b"x")]))
    assert (status, said) == (1, ["ERROR: installation of long-1.0 failed: broken package"])
    assert resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss < 400 << 10


def test_requests_are_obeyed_once_and_survive_a_kill(guarded):
    root = guarded
    root.install(raw("p", {"/opt/p": b"2"}, version="2.0"))
    # A queue entry and a marker that cannot be removed are not obeyed.
    os.makedirs(root.p("/var/deinstall/p/left"))
    os.makedirs(root.p("/DOWNGRADE/left"))
    root.drop("p.kpk", raw("p", {"/opt/p": b"1"}, version="1.0"))
    for run in ("first", "second"):
        status, said = job_ends(root, run)
        assert said == [
            "WARNING: could not remove /var/deinstall/p: Directory not empty",
            "WARNING: could not remove /DOWNGRADE: Directory not empty",
            "WARNING: omitting package p-1.0: newer package p-2.0 is already installed"], run
        assert root.read("/opt/p") == "2" and "p" in root.installed(), run
    shutil.rmtree(root.p("/var/deinstall/p"))
    shutil.rmtree(root.p("/DOWNGRADE"))
    os.unlink(root.p("/var/pckg/p.kpk"))

    # A run killed during the removal of a queued bundle leaves the request:
    # the next start finishes it.
    members = [raw(f"m{i}", {f"/opt/m{i}": b"m"},
                   uninstall_script=f": > /markers/m{i}; sleep 0.3\n") for i in (1, 2, 3)]
    root.install(raw_bundle("suite", members))
    root.queue("suite")
    proc = subprocess.Popen([program("installer"), "-r", root.path], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True,
                            env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
    try:
        while not any(root.exists(f"/markers/m{i}") for i in (1, 2, 3)):
            assert proc.poll() is None, "the queue job ended before the first removal"
    finally:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    status, said = job_ends(root, "after the kill")
    assert status == 0 and sorted(root.installed()) == ["keeper", "p"], said
    assert not [p for p in ("/opt/m1", "/opt/m2", "/opt/m3") if root.exists(p)]
    assert root.listing("/var/deinstall") == []


def test_signals_and_a_closed_console_do_not_cut_an_upgrade(guarded, pkgs):
    root = guarded
    old = raw("up", {f"/opt/up/f{i}": b"old" for i in range(3)}, version="1.0",
              uninstall_script=": > /markers/old-uninstalling; sleep 1\n")
    new_files = {f"/opt/up/f{i}": b"new" for i in range(1000)}
    new = raw("up", new_files, version="2.0")
    package = pkgs.raw(new)
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")

    def check_upgraded(where):
        record = faults.read_database(root)["up"]
        assert record["version"][0] == pkgtools.version("2.0"), where
        assert faults.contents_on_disk(root, new_files) == new_files, where

    # Standard output read for 20 bytes and closed: every file a ghost, so
    # that the run writes far more than the pipe holds and meets the closed
    # end long before its end.
    root.install(old)
    for path in new_files:
        if not root.exists(path):
            with open(root.p(path), "wb") as f:
                f.write(b"ghost")
    with open(package, "rb") as data:
        proc = subprocess.Popen([program("installer"), "-r", root.path, "-"], stdin=data,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        proc.stdout.read(20)
        proc.stdout.close()
        assert proc.wait(timeout=60) == 0
    check_upgraded("console closed")

    # A hang-up, an interrupt or a termination request during the upgrade
    # takes effect once the upgrade is complete.
    for number in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
        root.install(old, "-down")
        os.unlink(root.p("/markers/old-uninstalling"))
        with open(package, "rb") as data:
            proc = subprocess.Popen([program("installer"), "-r", root.path, "-"], stdin=data,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
            while not root.exists("/markers/old-uninstalling"):
                assert proc.poll() is None
            proc.send_signal(number)
            assert proc.wait(timeout=60) == -number
        check_upgraded(signal.Signals(number).name)


def test_linked_and_undeletable_records(guarded, tmp_path):
    root = guarded
    # A record that is a link to another record is removed as damaged at the
    # next start; nothing is run or removed through it.
    os.symlink("keeper", root.p("/var/pdb/twin"))
    root.queue("twin")
    status, said = job_ends(root, "linked record")
    assert said == ["uninstalled twin-0.0"]
    assert root.installed() == ["keeper"]
    keeper_untouched(root, "linked record")

    # A record that cannot be deleted is reported once, then set aside.
    root.install(raw("stuck", {"/opt/stuck": b"s"}))
    os.makedirs(root.p("/var/pdb/stuck/mount"))
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", root.p("/var/pdb/stuck/mount")], check=True)
    try:
        root.queue("stuck")
        status, said = job_ends(root, "undeletable record")
        assert said == ["WARNING: could not remove the record of stuck-1.0: Directory not empty",
                        "uninstalled stuck-1.0"]
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
        status, said = job_ends(root, name, "-", stdin=raw(
            name, {f"/opt/n{i}": b"n"}, install_script=f": > /markers/n{i}\n"))
        assert (status, said) == (0, [f"installed {name}-1.0"]), name
        assert root.exists(f"/markers/n{i}"), name
    assert not root.exists("/markers/system")

    # Control bytes of names are shown escaped, on the console and in the log.
    name = b"/opt/\x1b[2J\x9b"
    open(root.p("/").encode() + name, "w").close()
    status, out, _ = root.installer("-", stdin=raw("esc", [entry(name, b"e")]))
    assert "WARNING: ghost file /opt/\\x1b[2J\\x9b\n" in out
    assert out.replace("\x1b[?25l", "").replace("\x1b[?25h", "").count("\x1b") == 0
    assert root.postlog_lines()[0] == "WARNING: ghost file /opt/\\x1b[2J\\x9b"


@pytest.mark.skipif(bool(os.environ.get("TESS_EMULATOR")), reason="no preloading into a static program")
def test_version_reaches_the_disk_last_and_a_run_stopped_before_it_is_dropped(guarded, tmp_path):
    root = guarded
    library = faults.build_shim(str(tmp_path))
    log = tmp_path / "calls"
    package = raw("late", {"/opt/late": b"l"}, deps=["keeper"], install_script=": \n")
    status, out, err = faults.run_with_env(
        [program("installer"), "-r", root.path, "-"], package, faults.shim_environment(library, log))
    assert status == 0, out + err
    calls = log.read_text().split("\n")
    version = calls.index("write /var/pdb/late/version")
    files = calls.index("write /var/pdb/late/files")
    assert "sync" in calls[files:version], calls

    # Killed as it opens "version": the next start drops the half record.
    root.queue("late")
    assert job_ends(root, "removal") == (0, ["uninstalled late-1.0"])
    status, _, _ = faults.run_with_env([program("installer"), "-r", root.path, "-"], package,
                                       faults.shim_environment(library, log, kill_at_version=True))
    assert status == -signal.SIGKILL
    assert root.exists("/var/pdb/late/files") and not root.exists("/var/pdb/late/version")
    assert job_ends(root, "next start") == (0, ["uninstalled late-0.0"])
    assert not root.exists("/opt/late") and root.installed() == ["keeper"]


# -- cases found by the fuzz work ---------------------------------------------------------

def fuzz_found_cases():
    """(what, packages installed in turn, names queued afterwards, check(root)
    after the next run). A package places entries anywhere in the root, and
    the installer writes its records through whatever stands at their paths
    and reads them back from text files."""
    one, bundle = pkgtools.raw_package, pkgtools.SECTION_BUNDLE_HEADER
    return [
        ("record files placed as links", [one(member(
            "dup", entry("/var/pdb/dup/deps", b"/etc/passwd", LINK),
            entry("/var/pdb/dup/version", b"/etc/created", LINK)))], [],
         lambda root: root.read("/etc/passwd") == "root\n" and not root.exists("/etc/created")),
        ("a member places another member's record as a link", [one(
            [header(bundle, "set"), *member("evil", entry("/var/pdb/victim", b"/etc", LINK)),
             *member("victim", entry("/v", b"v"))])], ["victim"],
         lambda root: root.listing("/etc") == ["passwd"]),
        ("a file name with a newline", [one(member(
            "nl", entry("/x\n", b"", DIRECTORY), entry("/x\n/etc", b"", DIRECTORY),
            entry("/x\n/etc/passwd", b"mine")))], ["nl"],
         lambda root: root.read("/etc/passwd") == "root\n"),
        ("a bundle name with a blank", [one(
            [header(bundle, "my set"), *member("member", entry("/member", b"m"))])], [],
         lambda root: "other" in root.installed()),
        *[(f"a conflict named {name!r}", [one(member(
            "tool", entry("/tool", b"t"), extra=[pkgtools.raw_section(
                pkgtools.SECTION_CONFLICTS, pkgtools.requirement_list([(name, "1.0", None)]))]))],
           [], lambda root: "tool" not in root.installed()) for name in ("old tool", "", "tab\tname")],
        # "own" reaches /opt through a link it places itself; "user" reaches
        # /srv/lib through a link of "base". Collecting the real directories
        # keeps both files; removing each package removes its file.
        ("files placed through links", [
            one(member("base", entry("/srv", b"", DIRECTORY), entry("/srv/lib", b"", DIRECTORY),
                        entry("/sl", b"srv/lib", LINK))),
            one(member("own", entry("/opt", b"", DIRECTORY), entry("/l", b"/opt", LINK),
                        entry("/l/x", b"x"))),
            one(member("user", entry("/sl/libu.so", b"u")))], ["own", "user"],
         lambda root: (not root.exists("/opt/x") and not root.exists("/l")
                       and not root.exists("/srv/lib/libu.so") and os.path.islink(root.p("/sl")))),
    ]


plain_package = raw("other", [entry("/other", b"x")])


def test_fuzz_found_cases(root):
    failures = []
    for what, installs, queued, check in fuzz_found_cases():
        case = make_root(root.path + "-case", with_bash=False)
        os.makedirs(case.p("/etc"))
        with open(case.p("/etc/passwd"), "w") as f:
            f.write("root\n")
        # "other" first, so that no run finds the router empty.
        for data in [plain_package] + installs:
            case.installer("-", stdin=data)
        if what == "files placed through links":
            assert case.read("/var/pdb/own/files") == "l\nopt/x\n", what
            case.installer("--filegc", "/opt", "/srv/lib")
            assert case.read("/opt/x") == "x" and case.read("/srv/lib/libu.so") == "u", what
        installed = case.installed()
        case.queue(*queued)
        case.installer()
        if not check(case) or (not queued and case.installed() != installed):
            failures.append(f"{what}: {case.installed()} {case.postlog_lines()}")
        shutil.rmtree(case.path)
    assert failures == [], "\n".join(failures)
