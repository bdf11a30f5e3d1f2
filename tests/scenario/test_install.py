"""installer: installing package files and bundles into a scratch root.

Every run passes -r <scratch root>. Packages come from kpk (pkgtools);
malformed ones from the raw writer in pkgtools.
"""
import os
import stat
import struct

import pytest

import pkgtools
from conftest import program, run
from pkgtools import T0, entry

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")

# -- command line and exit status -------------------------------------------

def test_usage_cases_touch_nothing(root, pkgs):
    p = pkgs.make("alpha", "1.0", {"a": "x"})
    usage = "usage: installer [-q] [--filegc] [-r <root>] [-]\n"
    for args in ([p, p], ["-r"], ["x.KPK"], ["bogus"], ["-x"]):
        status, out, _ = run([program("installer"), *args])
        assert (status, out) == (0, usage), args
    status, out, _ = root.installer(p, p)
    assert (status, out) == (0, usage)
    assert not root.exists("/postlog")
    assert root.installed() == []


def test_install_from_file_from_stdin_and_quietly(root, pkgs):
    a = pkgs.make("alpha", "1.0", {"usr/share/alpha": "alpha data"})
    status, out, _ = root.installer(a)
    assert status == 0
    assert root.read("/usr/share/alpha") == "alpha data"
    assert root.postlog_lines() == ["installed alpha-1.0"]
    assert "installed alpha-1.0\n" in out
    # "-" ends the options; a name after it is ignored: standard input is installed.
    b = pkgs.make("beta", "2.9.1", {"b": "b"})
    status, _, _ = root.installer("-", "ignored.kpk", stdin=b.data)
    assert status == 0
    assert root.installed() == ["alpha", "beta"]
    assert root.postlog_lines() == ["installed beta-2.9.1"]
    status, out, _ = root.installer("-q", pkgs.make("gamma", "1.0", {"c": "c"}))
    assert (status, out, root.postlog()) == (0, "", "")
    assert root.installed() == ["alpha", "beta", "gamma"]


def test_missing_file_unreadable_package_and_missing_database(root, pkgs):
    status, _, _ = root.installer("/nowhere.kpk")
    assert (status, root.postlog_lines()) == (1, [])
    for data in (b"", b"\0" * 8, b"\x1e\xf1\xd0\xba\x00", struct.pack("<II", 0, 100)):
        status, _, _ = root.installer(pkgs.raw(data))
        assert (status, root.postlog_lines()) == (1, []), data
    os.rmdir(root.p("/var/pdb"))
    status, _, _ = root.installer("/nowhere.kpk")
    assert status == 1
    assert root.postlog_lines(keep_proc_warning=True) == [
        "WARNING: could not open repo", "WARNING: could not open /proc"]


def test_root_that_cannot_be_entered_stops_the_run(tmp_path, pkgs):
    a = pkgs.make("alpha", "1.0", {"a": "a"})
    status, out, err = run([program("installer"), "-r", str(tmp_path / "missing"), a])
    assert status == 1
    assert err.startswith("chroot: ")
    assert out == ""


# -- the database -----------------------------------------------------------

def test_database_files_byte_for_byte(root, pkgs):
    base = pkgs.make("base", "1.2", {"etc/base": "b"})
    assert root.installer(base)[0] == 0
    p = pkgs.make("ppp", "2.9rc3", {"usr/sbin/pppd": "d", "etc/ppp/options": "o", "etc/ppp": None},
                  build_time=1234,
                  depends=[("base", "1.0", None), ("base", None, "2.0")],
                  conflicts=[("oldppp", None, None)])
    assert root.installer(p)[0] == 0
    db = "/var/pdb/ppp/"
    v = 2 << 24 | 9 << 16 | ord("c") << 8 | 3
    assert root.read(db + "version") == f"{v} 1234\n"
    one = 1 << 24 | ord("f") << 8
    two = 2 << 24 | ord("f") << 8
    assert root.read(db + "deps") == f"base {one} 0\nbase 0 {two}\n"
    assert root.read(db + "conflicts") == "oldppp 0 0\n"
    assert root.read(db + "files") == "etc/ppp/options\nusr/sbin/pppd\n"
    assert not root.exists(db + "bundle")
    assert oct(os.stat(root.p(db)).st_mode & 0o777) == oct(0o770 & ~0o022)
    assert root.read("/var/pdb/base/deps") == ""
    assert not root.exists("/var/pdb/base/conflicts")


def test_invalid_records_are_removed_at_start(root, pkgs):
    a = pkgs.make("alpha", "1.0", {"usr/a": "a"})
    assert root.installer(a)[0] == 0
    # A record without "version" (as a crash mid-write leaves it), and a
    # package whose dependency is missing.
    os.makedirs(root.p("/var/pdb/half"))
    with open(root.p("/var/pdb/half/files"), "w") as f:
        f.write("usr/half\n")
    open(root.p("/usr/half"), "w").close()
    os.makedirs(root.p("/var/pdb/needy"))
    with open(root.p("/var/pdb/needy/version"), "w") as f:
        f.write("16777216 0\n")
    with open(root.p("/var/pdb/needy/deps"), "w") as f:
        f.write("missing 0 0\n")
    os.makedirs(root.p("/var/pdb/.hidden"))
    status, out, _ = root.installer()
    assert status == 0
    assert root.installed() == ["alpha"]
    assert not root.exists("/usr/half")
    lines = root.postlog_lines()
    assert sorted(lines) == ["uninstalled half-0.0", "uninstalled needy-1.0"]
    assert "uninstalling " in out
    assert root.exists("/var/pdb/.hidden")


# -- versions -----------------------------------------------------------------

def test_upgrade_downgrade_and_reinstall(root, pkgs):
    old = pkgs.make("ppp", "2.9", {"usr/ppp-old": "old", "usr/ppp": "2.9"})
    new = pkgs.make("ppp", "2.9.1", {"usr/ppp": "2.9.1"})
    assert root.installer(old)[0] == 0
    assert root.installer(new)[0] == 0
    assert root.read("/usr/ppp") == "2.9.1"
    assert not root.exists("/usr/ppp-old")
    assert root.postlog_lines() == ["installed ppp-2.9.1"]

    status, _, _ = root.installer(old)
    assert status == 0
    assert root.postlog_lines() == [
        "WARNING: omitting package ppp-2.9: newer package ppp-2.9.1 is already installed"]
    status, _, _ = root.installer(new)
    assert root.postlog_lines() == ["WARNING: omitting package ppp-2.9.1: it is already installed"]

    assert root.installer("-down", old)[0] == 0
    assert root.read("/usr/ppp") == "2.9"
    assert root.installer("-down", new)[0] == 0
    assert root.postlog_lines() == [
        "WARNING: omitting package ppp-2.9.1: older package is already installed"]
    # Same version, later build: replaces without -down.
    rebuilt = pkgs.make("ppp", "2.9", {"usr/ppp": "rebuilt"}, build_time=T0 + 10)
    assert root.installer(rebuilt)[0] == 0
    assert root.read("/usr/ppp") == "rebuilt"
    assert root.read("/var/pdb/ppp/version").split()[1] == str(T0 + 10)


# -- checks -------------------------------------------------------------------

def test_dependencies_conflicts_and_architecture(root, pkgs):
    base = pkgs.make("base", "1.0", {"base": "b"})
    needs = pkgs.make("app", "1.0", {"app": "a"}, depends=[("base", "2.0", None)])
    status, _, _ = root.installer(needs)
    assert status == 1
    assert root.postlog_lines() == [
        "ERROR: can not install app-1.0: base-2.0 is not installed, but is required"]
    assert root.installer(base)[0] == 0
    assert root.installer(needs)[0] == 1
    any_base = pkgs.make("app", "1.0", {"app": "a"}, depends=[("base", None, None)])
    assert root.installer(any_base)[0] == 0

    # An installed package naming the new one in its conflicts refuses it.
    hater = pkgs.make("hater", "1.0", {"h": "h"}, conflicts=[("rival", "1.0", "1.5")])
    assert root.installer(hater)[0] == 0
    rival = pkgs.make("rival", "1.2", {"r": "r"})
    assert root.installer(rival)[0] == 1
    assert root.postlog_lines() == ["ERROR: can not install rival-1.2: it conflicts with hater-1.0"]
    assert root.installer(pkgs.make("rival", "1.6", {"r": "r"}))[0] == 0

    arm = pkgs.make("armpkg", "1.0", {"x": "x"}, arch="arm")
    assert root.installer(arm)[0] == 1
    assert root.postlog_lines() == [
        "ERROR: can not install armpkg-1.0: it is not made for i386, but for arm"]


def test_installs_take_out_conflicting_and_no_longer_satisfied_packages(root, pkgs):
    # Taken out silently while the new package is put in place.
    assert root.installer(pkgs.make("victim", "1.0", {"v": "v"}))[0] == 0
    killer = pkgs.make("killer", "1.0", {"k": "k"}, conflicts=[("victim", None, None)])
    assert root.installer(killer)[0] == 0
    assert root.installed() == ["killer"]
    assert root.postlog_lines() == ["installed killer-1.0"]
    assert not root.exists("/v")
    # An upgrade drops the dependents whose range no longer holds.
    assert root.installer(pkgs.make("lib", "1.0", {"lib1": "1"}))[0] == 0
    assert root.installer(pkgs.make("user", "1.0", {"user": "u"},
                                    depends=[("lib", None, "1.5")]))[0] == 0
    assert root.installer(pkgs.make("lib", "2.0", {"lib2": "2"}))[0] == 0
    assert root.installed() == ["killer", "lib"]
    assert not root.exists("/user")
    assert root.postlog_lines() == ["installed lib-2.0"]


def test_upgrade_that_would_invalidate_itself_changes_nothing(root, pkgs):
    # mid needs lib <= 1.5; top needs mid. Upgrading top to a version that
    # also needs lib 2.0... is refused earlier; the case that reaches the
    # replacement step: new top needs mid, and mid needs the old top's range.
    assert root.installer(pkgs.make("top", "1.0", {"top": "1"}))[0] == 0
    assert root.installer(pkgs.make("mid", "1.0", {"mid": "m"},
                                    depends=[("top", None, "1.5")]))[0] == 0
    new_top = pkgs.make("top", "2.0", {"top": "2"}, depends=[("mid", None, None)])
    status, _, _ = root.installer(new_top)
    assert status == 0  # the old version stays installed
    assert root.installed() == ["mid", "top"]
    assert root.read("/top") == "1"
    assert root.read("/var/pdb/top/version").split()[0] == str(1 << 24 | ord("f") << 8)
    assert root.postlog_lines() == [
        "ERROR: can not install top-2.0: mid is not installed, but is required"]
    # The database still loads cleanly afterwards.
    assert root.installer()[0] == 0
    assert root.installed() == ["mid", "top"]


# -- bundles ------------------------------------------------------------------

def test_bundle_install_and_member_dropped_by_new_version(root, pkgs):
    m1 = pkgs.make("m1", "1.0", {"m1": "1"})
    m2 = pkgs.make("m2", "1.0", {"m2": "2"})
    b1 = pkgs.bundle("suite", "1.0", [m1, m2])
    status, _, _ = root.installer(b1)
    assert status == 0
    assert root.installed() == ["m1", "m2", "suite"]
    assert root.read("/var/pdb/m1/bundle") == "suite\n"
    assert not root.exists("/var/pdb/suite/files")
    assert root.postlog_lines() == ["installed suite-1.0"]

    m1b = pkgs.make("m1", "1.1", {"m1": "1.1"})
    b2 = pkgs.bundle("suite", "1.1", [m1b])
    assert root.installer(b2)[0] == 0
    assert root.installed() == ["m1", "suite"]
    assert root.read("/m1") == "1.1"
    assert not root.exists("/m2")


def test_bundle_statuses(root, pkgs):
    arm = pkgs.make("armm", "1.0", {"a": "a"}, arch="arm")
    ok = pkgs.make("okm", "1.0", {"o": "o"})
    # A member for another architecture is skipped silently.
    assert root.installer(pkgs.bundle("mixed", "1.0", [arm, ok]))[0] == 0
    assert root.installed() == ["mixed", "okm"]
    assert root.postlog_lines() == ["installed mixed-1.0"]
    # Every member refused, none of their names installed: 3.
    assert root.installer(pkgs.bundle("armonly", "1.0", [arm]))[0] == 3
    # The bundle refused by its own checks: 2.
    assert root.installer(pkgs.bundle("mixed", "1.0", [ok]))[0] == 2
    armb = pkgs.bundle("armb", "1.0", [ok], arch="arm")
    assert root.installer(armb)[0] == 2


# -- failures and undo --------------------------------------------------------

def liar(section_type, length, payload):
    """A package whose last section claims length bytes but holds payload."""
    body = pkgtools.raw("liar", None) + struct.pack("<HI", section_type, length) + payload
    return body[:4] + struct.pack("<I", len(body) - 8) + body[8:]


BROKEN = [
    # (label, package bytes): each one fails as a broken package, and the
    # entry placed before the broken part is taken out again.
    ("dev-1.0", pkgtools.raw("dev", [entry("/ok", b"ok"), entry("/bad", bytes(8), 0o20644)])),
    ("sock-1.0", pkgtools.raw("sock", [entry("/ok", b"ok"), entry("/bad", b"", 0o140644)])),
    ("liar-1.0", liar(pkgtools.SECTION_INSTALL_SCRIPT, 0x7FFFFFF0, b"echo hi\n")),
    ("liar-1.0", liar(pkgtools.SECTION_FILE_DATA, 0xFFFFFFF0, b"x")),
    # Names that would leave the database.
    *[(name + "-1.0", pkgtools.raw(name, [entry("/ok", b"f")]))
      for name in ("", ".", "..", ".hidden", "a/b", "../../etc")],
]


@pytest.mark.parametrize("label,data", BROKEN, ids=[f"{i}:{label}" for i, (label, _) in enumerate(BROKEN)])
def test_broken_packages_are_refused_and_undone(root, pkgs, label, data):
    status, _, _ = root.installer(pkgs.raw(data))
    assert status == 1
    assert root.postlog_lines()[:1] == [f"ERROR: installation of {label} failed: broken package"]
    assert not root.exists("/ok") and root.listing("/var/pdb") == []
    assert root.listing("/var") == ["deinstall", "pckg", "pdb"]


def test_body_cut_short_is_undone_and_the_replaced_version_is_gone(root, pkgs):
    assert root.installer(pkgs.make("pkg", "1.0", {"old": "o"}))[0] == 0
    data = pkgtools.file_data([entry("/new1", b"one"), entry("/new2", os.urandom(5000))])
    body = pkgtools.raw("pkg", version="2.0", uninstall_script=": > /uninstall-ran\n",
                        sections=[pkgtools.raw_section(4, data[:-1000])])
    status, _, _ = root.installer(pkgs.raw(body))
    assert status == 1
    assert root.postlog_lines()[-1] == "ERROR: installation of pkg-2.0 failed: broken package"
    assert root.installed() == []
    for path in ("/old", "/new1", "/new2"):
        assert not root.exists(path), path
    assert root.exists("/uninstall-ran")


# -- file placement -----------------------------------------------------------

def test_attributes_of_every_entry_type(root, pkgs):
    # /dir keeps its time although files are created in it afterwards.
    entries = [
        pkgtools.FileEntry("/dir", b"", mode=0o40750, uid=12, gid=34, mtime=T0 - 500),
        pkgtools.FileEntry("/dir/file", b"data", mode=0o100640, uid=56, gid=78, mtime=T0 - 100),
        pkgtools.FileEntry("dir/link", b"file", mode=0o120777, uid=9, gid=10, mtime=T0),
        pkgtools.FileEntry("/dir/null", struct.pack("<I", (1 << 8) | 3), mode=0o20600,
                           uid=1, gid=2, mtime=T0 - 200),
        pkgtools.FileEntry("/dir/disk", struct.pack("<I", (3 << 8) | 1), mode=0o60660,
                           mtime=T0 - 300),
        pkgtools.FileEntry("/dir/fifo", b"", mode=0o10620, uid=3, gid=4, mtime=T0 - 400),
    ]
    root.install(pkgtools.raw("attrs", entries))
    st = os.lstat(root.p("/dir"))
    assert (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid, st.st_mtime) == (0o750, 12, 34, T0 - 500)
    st = os.lstat(root.p("/dir/file"))
    assert (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid, st.st_mtime) == (0o640, 56, 78, T0 - 100)
    st = os.lstat(root.p("/dir/link"))
    assert stat.S_ISLNK(st.st_mode) and (st.st_uid, st.st_gid) == (9, 10)
    assert os.readlink(root.p("/dir/link")) == "file"
    st = os.lstat(root.p("/dir/null"))
    assert stat.S_ISCHR(st.st_mode) and os.major(st.st_rdev) == 1 and os.minor(st.st_rdev) == 3
    assert (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid) == (0o600, 1, 2)
    st = os.lstat(root.p("/dir/disk"))
    assert stat.S_ISBLK(st.st_mode) and (os.major(st.st_rdev), os.minor(st.st_rdev)) == (3, 1)
    st = os.lstat(root.p("/dir/fifo"))
    assert stat.S_ISFIFO(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o620
    assert root.read("/var/pdb/attrs/files") == (
        "dir/disk\ndir/fifo\ndir/file\ndir/link\ndir/null\n")


def test_collisions_ghosts_and_existing_directories(root, pkgs):
    assert root.installer(pkgs.make("owner", "1.0", {"etc/shared": "owner's"}))[0] == 0
    with open(root.p("/etc/ghost"), "w") as f:
        f.write("left behind")
    t = os.stat(root.p("/etc")).st_mtime
    p = pkgs.make("newcomer", "1.0", {"etc/shared": "mine", "etc/ghost": "new", "etc/own": "own"})
    assert root.installer(p)[0] == 0
    assert root.read("/etc/shared") == "owner's"
    assert root.read("/etc/ghost") == "new"
    assert root.postlog_lines() == [
        "WARNING: ghost file /etc/ghost",
        "WARNING: file /etc/shared collides with owner package",
        "installed newcomer-1.0"]
    assert root.read("/var/pdb/newcomer/files") == "etc/ghost\netc/own\n"
    # A regular file where a directory stands cannot be created: undone.
    os.makedirs(root.p("/srv/data"))
    p = pkgs.make("clash", "1.0", {"srv/aaa": "a", "srv/data": "file"})
    assert root.installer(p)[0] == 1
    last = root.postlog_lines()[-1]
    assert last.startswith("ERROR: installation of clash-1.0 failed: could not create /srv/data: ")
    assert not root.exists("/srv/aaa") and "clash" not in root.installed()


def test_unrecorded_package(root, pkgs):
    assert root.installer(pkgs.make("tool", "1.0", {"usr/tool": "recorded"},
                                    install_script=": > /recorded-install-ran\n"))[0] == 0
    assert root.installer(pkgs.make("other", "1.0", {"usr/other": "o"}))[0] == 0
    loose = pkgs.make("loose", "1.0", {"usr/other": "overwritten", "usr/loose": "l"},
                      unrecorded=True)
    assert root.installer(loose)[0] == 0
    assert root.read("/usr/other") == "overwritten"
    assert "loose" not in root.installed()
    assert root.postlog_lines() == ["installed loose-1.0"]
    # Its scripts run from a file of its own; the record of the installed
    # package of its name, scripts included, stays as it was.
    record = {n: root.read("/var/pdb/tool/" + n, "rb") for n in root.listing("/var/pdb/tool")}
    newer = pkgs.make("tool", "2.0", {"usr/tool": "unrecorded"}, unrecorded=True,
                      install_script="echo $0 > /install-ran\n",
                      uninstall_script=": > /uninstall-ran\n")
    assert root.installer(newer)[0] == 0
    assert root.postlog_lines() == ["installed tool-2.0"]
    assert root.read("/install-ran").startswith("/tmp/")
    assert {n: root.read("/var/pdb/tool/" + n, "rb") for n in root.listing("/var/pdb/tool")} == record
    assert root.listing("/tmp") == [] and not root.exists("/uninstall-ran")


# -- scripts ------------------------------------------------------------------

def test_scripts_are_stored_and_run(root, pkgs):
    p = pkgs.make("scripted", "1.0", {"s": "s"},
                  install_script="echo installed > /install-ran\n",
                  uninstall_script="echo removed > /uninstall-ran\nexit 3\n")
    assert root.installer(p)[0] == 0
    stored = root.read("/var/pdb/scripted/oninstall", "rb")
    assert stored == (b"#!/bin/bash\n\n. /kest/lib/install/profile.sh\n\n"
                      b"echo installed > /install-ran\n")
    assert stat.S_IMODE(os.stat(root.p("/var/pdb/scripted/oninstall")).st_mode) == 0o755
    assert root.read("/install-ran") == "installed\n"
    # The failing uninstall script is only a warning; the removal goes on.
    with open(root.p("/var/deinstall/scripted"), "w"):
        pass
    assert root.installer(pkgs.make("keeper", "1.0", {"k": "k"}))[0] == 0
    status, _, _ = root.installer()
    assert status == 0
    assert root.installed() == ["keeper"]
    assert root.read("/uninstall-ran") == "removed\n"
    assert "WARNING: package scripted-1.0 onuninstall script failed" in root.postlog_lines()
    # A failing install script is only a warning too.
    assert root.installer(pkgs.make("grumpy", "1.0", {"g": "g"}, install_script="exit 1\n"))[0] == 0
    assert root.postlog_lines() == ["WARNING: package grumpy-1.0 oninstall script failed",
                                    "installed grumpy-1.0"]


# -- messages and the status line ---------------------------------------------

def test_progress_bar_and_warning_redraw(root, pkgs):
    assert root.installer(pkgs.make("owner", "1.0", {"f": "o"}))[0] == 0
    status, out, _ = root.installer(pkgs.make("pp", "1.0", {"f": "x", "g": "y"}))
    assert status == 0
    bar_start = "\x1b[?25l\rinstalling pp-1.0 ["
    assert bar_start in out
    full = "installing pp-1.0 [" + "#" * (76 - len("installing pp-1.0 [")) + "]"
    assert full in out
    # The warning blanks the bar, stands on its own line, and the bar is redrawn.
    i = out.index("WARNING: file /f collides with owner package\n")
    assert out[i - 81:i] == "\r" + " " * 79 + "\r"
    assert out[i + len("WARNING: file /f collides with owner package\n"):].startswith("installing pp-1.0 [")


def test_long_messages_are_cut(root, pkgs):
    long_path = "d/" + "x" * 200 + "/" + "y" * 60
    assert root.installer(pkgs.make("owner", "1.0", {long_path: "o"}))[0] == 0
    p = pkgs.make("second", "1.0", {long_path: "s"})
    root.installer(p)
    line = root.postlog_lines()[0]
    assert line.startswith("WARNING: file /d/xxx")
    assert len(line) == len("WARNING: ") + 255


def test_unrecorded_record_dropped_in_the_same_run_keeps_the_recorded_package(root, pkgs):
    recorded = pkgs.make("tool", "1.0", {"usr/tool1": "1"},
                         uninstall_script=": > /recorded-uninstall-ran\n")
    assert root.installer(recorded)[0] == 0
    # One run installs an unrecorded tool-2.0, then a package that conflicts
    # with it: the unrecorded record turns invalid and is removed.
    loose = pkgs.make("tool", "2.0", {"usr/tool2": "2"}, unrecorded=True)
    killer = pkgs.make("killer", "1.0", {"usr/killer": "k"}, unrecorded=True,
                       conflicts=[("tool", "2.0", None)])
    assert root.installer(pkgs.bundle("kit", "1.0", [loose, killer]))[0] == 0
    assert "uninstalled tool-2.0" in root.postlog_lines()
    assert not root.exists("/usr/tool2")
    # The recorded package of the same name is untouched: its record, its
    # files, and its uninstall script did not run.
    assert root.read("/var/pdb/tool/files") == "usr/tool1\n"
    assert root.exists("/usr/tool1")
    assert not root.exists("/recorded-uninstall-ran")
    assert root.installer()[0] == 0
    assert "tool" in root.installed()
