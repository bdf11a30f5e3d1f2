"""installer: package files and bundles into a scratch root; from kpk (pkgs) or, malformed, from pkgtools.raw."""
import os
import stat
import struct

import pytest

import pkgtools
from conftest import needs_root, program, run
from pkgtools import T0, FileEntry, entry

pytestmark = needs_root()

OMIT = "WARNING: omitting package "


def test_command_line_missing_files_and_unreadable_packages(root, pkgs, tmp_path):
    p = pkgs.make("alpha", "1.0", {"a": "x"})
    usage = "usage: installer [-q] [--filegc] [-r <root>] [-]\n"
    for args in ([p, p], ["-r"], ["x.KPK"], ["bogus"], ["-x"]):
        assert run([program("installer"), *args])[:2] == (0, usage), args
    assert root.installer(p, p)[:2] == (0, usage)
    assert not root.exists("/postlog") and root.installed() == []
    status, out, err = run([program("installer"), "-r", str(tmp_path / "missing"), p])
    assert (status, out, err[:8]) == (1, "", "chroot: ")
    # A file that is missing or no package fails silently.
    root.run("/nowhere.kpk", 1, [])
    for data in (b"", b"\0" * 8, b"\x1e\xf1\xd0\xba\x00", struct.pack("<II", 0, 100)):
        root.run(pkgs.raw(data), 1, [])
    os.rmdir(root.p("/var/pdb"))
    root.run("/nowhere.kpk", 1)
    assert root.postlog_lines(keep_proc_warning=True) == [
        "WARNING: could not open repo", "WARNING: could not open /proc"]


def test_from_a_file_from_standard_input_and_quietly(root, pkgs):
    out = root.run(pkgs.make("alpha", "1.0", {"usr/share/alpha": "data"}), 0, ["installed alpha-1.0"])
    assert "installed alpha-1.0\n" in out and root.read("/usr/share/alpha") == "data"
    # "-" ends the options; a name after it is ignored: standard input is installed.
    b = pkgs.make("beta", "2.9.1", {"b": "b"})
    root.run(["-", "ignored.kpk"], 0, ["installed beta-2.9.1"], stdin=b.data)
    assert root.run(["-q", pkgs.make("gamma", "1.0", {"c": "c"})], 0) == "" and root.postlog() == ""
    assert root.installed() == ["alpha", "beta", "gamma"]


def test_database_files_byte_for_byte(root, pkgs):
    root.run(pkgs.make("base", "1.2", {"etc/base": "b"}))
    root.run(pkgs.make("ppp", "2.9rc3", {"usr/sbin/pppd": "d", "etc/ppp/options": "o", "etc/ppp": None},
                       build_time=1234, depends=[("base", "1.0", None), ("base", None, "2.0")],
                       conflicts=[("oldppp", None, None)]))
    one, two = pkgtools.version("1.0"), pkgtools.version("2.0")
    assert {n: root.read("/var/pdb/ppp/" + n) for n in root.listing("/var/pdb/ppp")} == {
        "version": f"{2 << 24 | 9 << 16 | ord('c') << 8 | 3} 1234\n",
        "deps": f"base {one} 0\nbase 0 {two}\n", "conflicts": "oldppp 0 0\n",
        "files": "etc/ppp/options\nusr/sbin/pppd\n"}
    assert stat.S_IMODE(os.stat(root.p("/var/pdb/ppp")).st_mode) == 0o750
    assert root.listing("/var/pdb/base") == ["deps", "files", "version"]


def test_invalid_records_are_removed_at_start(root, pkgs):
    root.run(pkgs.make("alpha", "1.0", {"usr/a": "a"}))
    # A record without "version" (a crash mid-write leaves one) and one whose dependency is missing.
    for path, text in (("half/files", "usr/half\n"), ("needy/version", "16777216 0\n"),
                       ("needy/deps", "missing 0 0\n")):
        os.makedirs(root.p("/var/pdb/" + os.path.dirname(path)), exist_ok=True)
        open(root.p("/var/pdb/" + path), "w").write(text)
    open(root.p("/usr/half"), "w").close()
    os.makedirs(root.p("/var/pdb/.hidden"))
    assert "uninstalling " in root.run()
    assert sorted(root.postlog_lines()) == ["uninstalled half-0.0", "uninstalled needy-1.0"]
    assert root.installed() == ["alpha"] and not root.exists("/usr/half")
    assert root.exists("/var/pdb/.hidden")


def test_upgrade_downgrade_and_reinstall(root, pkgs):
    old = pkgs.make("ppp", "2.9", {"usr/ppp-old": "old", "usr/ppp": "2.9"})
    new = pkgs.make("ppp", "2.9.1", {"usr/ppp": "2.9.1"})
    rebuilt = pkgs.make("ppp", "2.9", {"usr/ppp": "rebuilt"}, build_time=T0 + 10)
    for args, log, content in [
            ([old], ["installed ppp-2.9"], "2.9"),
            ([new], ["installed ppp-2.9.1"], "2.9.1"),
            ([old], [OMIT + "ppp-2.9: newer package ppp-2.9.1 is already installed"], "2.9.1"),
            ([new], [OMIT + "ppp-2.9.1: it is already installed"], "2.9.1"),
            (["-down", old], ["installed ppp-2.9"], "2.9"),
            (["-down", new], [OMIT + "ppp-2.9.1: older package is already installed"], "2.9"),
            # Same version, later build: replaces without -down.
            ([rebuilt], ["installed ppp-2.9"], "rebuilt")]:
        root.run(args, 0, log)
        assert root.read("/usr/ppp") == content, args
    assert not root.exists("/usr/ppp-old")
    assert root.read("/var/pdb/ppp/version").split()[1] == str(T0 + 10)


def test_dependencies_conflicts_and_architecture(root, pkgs):
    make = pkgs.make
    cannot = "ERROR: can not install "
    for package, status, log in [
            (make("app", "1.0", depends=[("base", "2.0", None)]), 1,
             [cannot + "app-1.0: base-2.0 is not installed, but is required"]),
            (make("base", "1.0", {"base": "b"}), 0, ["installed base-1.0"]),
            (make("app", "1.0", depends=[("base", "2.0", None)]), 1,
             [cannot + "app-1.0: base-2.0 is not installed, but is required"]),
            (make("app", "1.0", {"app": "a"}, depends=["base"]), 0, None),
            # An installed package naming the new one in its conflicts refuses it.
            (make("hater", "1.0", conflicts=[("rival", "1.0", "1.5")]), 0, None),
            (make("rival", "1.2"), 1, [cannot + "rival-1.2: it conflicts with hater-1.0"]),
            (make("rival", "1.6"), 0, None),
            (make("armpkg", "1.0", arch="arm"), 1,
             [cannot + "armpkg-1.0: it is not made for i386, but for arm"]),
            # Conflicting packages go silently as the new one comes in ...
            (make("victim", "1.0", {"v": "v"}), 0, None),
            (make("killer", "1.0", conflicts=["victim"]), 0, ["installed killer-1.0"]),
            # ... and so do dependents whose range an upgrade leaves.
            (make("lib", "1.0"), 0, None),
            (make("user", "1.0", {"user": "u"}, depends=[("lib", None, "1.5")]), 0, None),
            (make("lib", "2.0"), 0, ["installed lib-2.0"])]:
        root.run(package, status, log)
    assert root.installed() == ["app", "base", "hater", "killer", "lib", "rival"]
    assert not root.exists("/v") and not root.exists("/user")


def test_upgrade_that_would_invalidate_itself_changes_nothing(root, pkgs):
    # The new top needs mid, which needs the old top's range.
    root.run(pkgs.make("top", "1.0", {"top": "1"}))
    root.run(pkgs.make("mid", "1.0", depends=[("top", None, "1.5")]))
    root.run(pkgs.make("top", "2.0", {"top": "2"}, depends=["mid"]), 0,
             ["ERROR: can not install top-2.0: mid is not installed, but is required"])
    assert root.read("/top") == "1" and root.read("/var/pdb/top/version")[:9] == "16803328 "
    root.run()
    assert root.installed() == ["mid", "top"]


def test_bundles_and_their_statuses(root, pkgs):
    m1, m2 = pkgs.make("m1", "1.0", {"m1": "1"}), pkgs.make("m2", "1.0", {"m2": "2"})
    root.run(pkgs.bundle("suite", "1.0", [m1, m2]), 0, ["installed suite-1.0"])
    assert root.installed() == ["m1", "m2", "suite"]
    assert root.read("/var/pdb/m1/bundle") == "suite\n" and not root.exists("/var/pdb/suite/files")
    # The new version drops a member.
    root.run(pkgs.bundle("suite", "1.1", [pkgs.make("m1", "1.1", {"m1": "1.1"})]))
    assert root.installed() == ["m1", "suite"] and root.read("/m1") == "1.1" and not root.exists("/m2")
    # A member for another architecture is skipped silently.
    arm, ok = pkgs.make("armm", "1.0", arch="arm"), pkgs.make("okm", "1.0", {"o": "o"})
    root.run(pkgs.bundle("mixed", "1.0", [arm, ok]), 0, ["installed mixed-1.0"])
    assert "okm" in root.installed() and "armm" not in root.installed()
    root.run(pkgs.bundle("armonly", "1.0", [arm]), 3)  # every member refused
    root.run(pkgs.bundle("mixed", "1.0", [ok]), 2)  # the bundle refused by its own checks
    root.run(pkgs.bundle("armb", "1.0", [ok], arch="arm"), 2)


def liar(section_type, length, payload):
    """A package whose last section claims length bytes but holds payload."""
    body = pkgtools.raw("liar", None) + struct.pack("<HI", section_type, length) + payload
    return body[:4] + struct.pack("<I", len(body) - 8) + body[8:]


BROKEN = [
    # Each fails as a broken package; the entry placed before the broken part goes again.
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
    root.run(pkgs.raw(data), 1)
    assert root.postlog_lines()[:1] == [f"ERROR: installation of {label} failed: broken package"]
    assert not root.exists("/ok") and root.listing("/var/pdb") == []
    assert root.listing("/var") == ["deinstall", "pckg", "pdb"]


def test_body_cut_short_is_undone_and_the_replaced_version_is_gone(root, pkgs):
    root.run(pkgs.make("pkg", "1.0", {"old": "o"}))
    data = pkgtools.file_data([entry("/new1", b"one"), entry("/new2", os.urandom(5000))])
    root.run(pkgs.raw(pkgtools.raw("pkg", version="2.0", uninstall_script=": > /uninstall-ran\n",
                                   sections=[pkgtools.raw_section(4, data[:-1000])])), 1)
    assert root.postlog_lines()[-1] == "ERROR: installation of pkg-2.0 failed: broken package"
    assert root.installed() == [] and root.exists("/uninstall-ran")
    assert not any(root.exists(p) for p in ("/old", "/new1", "/new2"))


def test_attributes_of_every_entry_type(root):
    # (entry, type, permissions, uid, gid, mtime, device); /dir keeps its time though filled afterwards.
    table = [(FileEntry("/dir", b"", 0o40750, 12, 34, T0 - 500), stat.S_ISDIR, 0o750, 12, 34, T0 - 500, None),
             (FileEntry("/dir/file", b"data", 0o100640, 56, 78, T0 - 100), stat.S_ISREG, 0o640, 56, 78,
              T0 - 100, None),
             (FileEntry("dir/link", b"file", 0o120777, 9, 10, T0), stat.S_ISLNK, 0o777, 9, 10, None, None),
             (FileEntry("/dir/null", struct.pack("<I", 1 << 8 | 3), 0o20600, 1, 2, T0 - 200), stat.S_ISCHR,
              0o600, 1, 2, T0 - 200, (1, 3)),
             (FileEntry("/dir/disk", struct.pack("<I", 3 << 8 | 1), 0o60660), stat.S_ISBLK, 0o660, 0, 0, T0,
              (3, 1)),
             (FileEntry("/dir/fifo", b"", 0o10620, 3, 4, T0 - 400), stat.S_ISFIFO, 0o620, 3, 4, T0 - 400, None)]
    root.install(pkgtools.raw("attrs", [row[0] for row in table]))
    for e, is_type, mode, uid, gid, mtime, device in table:
        st = os.lstat(root.p(e.name))
        assert is_type(st.st_mode) and (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid) == (mode, uid, gid)
        assert mtime in (None, st.st_mtime) and device in (None, (os.major(st.st_rdev), os.minor(st.st_rdev)))
    assert os.readlink(root.p("/dir/link")) == "file"
    assert root.read("/var/pdb/attrs/files") == "dir/disk\ndir/fifo\ndir/file\ndir/link\ndir/null\n"


def test_collisions_ghosts_and_existing_directories(root, pkgs):
    root.run(pkgs.make("owner", "1.0", {"etc/shared": "owner's"}))
    open(root.p("/etc/ghost"), "w").write("left behind")
    root.run(pkgs.make("newcomer", "1.0", {"etc/shared": "mine", "etc/ghost": "new", "etc/own": "own"}), 0,
             ["WARNING: ghost file /etc/ghost", "WARNING: file /etc/shared collides with owner package",
              "installed newcomer-1.0"])
    assert (root.read("/etc/shared"), root.read("/etc/ghost")) == ("owner's", "new")
    assert root.read("/var/pdb/newcomer/files") == "etc/ghost\netc/own\n"
    # A regular file where a directory stands cannot be created: undone.
    os.makedirs(root.p("/srv/data"))
    root.run(pkgs.make("clash", "1.0", {"srv/aaa": "a", "srv/data": "file"}), 1)
    assert root.postlog_lines()[-1].startswith(
        "ERROR: installation of clash-1.0 failed: could not create /srv/data: ")
    assert not root.exists("/srv/aaa") and "clash" not in root.installed()


def test_unrecorded_packages_leave_the_record_of_their_name_alone(root, pkgs):
    root.run(pkgs.make("tool", "1.0", {"usr/tool1": "1"}, install_script=": > /recorded-install-ran\n",
                       uninstall_script=": > /recorded-uninstall-ran\n"))
    root.run(pkgs.make("other", "1.0", {"usr/other": "o"}))
    root.run(pkgs.make("loose", "1.0", {"usr/other": "overwritten"}, unrecorded=True), 0,
             ["installed loose-1.0"])
    assert root.read("/usr/other") == "overwritten" and "loose" not in root.installed()
    # Its install script runs from a file of its own; the record of its name, scripts too, stays.
    record = {n: root.read("/var/pdb/tool/" + n, "rb") for n in root.listing("/var/pdb/tool")}
    root.run(pkgs.make("tool", "2.0", {"usr/tool": "u"}, unrecorded=True, install_script="echo $0 > /ran\n",
                       uninstall_script=": > /uninstall-ran\n"), 0, ["installed tool-2.0"])
    assert root.read("/ran").startswith("/tmp/") and root.listing("/tmp") == []
    assert {n: root.read("/var/pdb/tool/" + n, "rb") for n in root.listing("/var/pdb/tool")} == record
    # An unrecorded tool, then a package conflicting with it, in one run: only the tool's own files go.
    loose = pkgs.make("tool", "2.0", {"usr/tool2": "2"}, unrecorded=True)
    killer = pkgs.make("killer", "1.0", unrecorded=True, conflicts=[("tool", "2.0", None)])
    root.run(pkgs.bundle("kit", "1.0", [loose, killer]))
    assert "uninstalled tool-2.0" in root.postlog_lines() and not root.exists("/usr/tool2")
    assert root.read("/var/pdb/tool/files") == "usr/tool1\n" and root.exists("/usr/tool1")
    assert not root.exists("/uninstall-ran") and not root.exists("/recorded-uninstall-ran")
    root.run()
    assert "tool" in root.installed()


def test_scripts_are_stored_and_run_and_their_failure_is_a_warning(root, pkgs):
    root.run(pkgs.make("scripted", "1.0", install_script="echo installed > /install-ran\n",
                       uninstall_script="echo removed > /uninstall-ran\nexit 3\n"))
    assert root.read("/var/pdb/scripted/oninstall", "rb") == (
        b"#!/bin/bash\n\n. /kest/lib/install/profile.sh\n\necho installed > /install-ran\n")
    assert stat.S_IMODE(os.stat(root.p("/var/pdb/scripted/oninstall")).st_mode) == 0o755
    assert root.read("/install-ran") == "installed\n"
    root.run(pkgs.make("keeper", "1.0"))
    root.queue("scripted")
    root.run()
    assert "WARNING: package scripted-1.0 onuninstall script failed" in root.postlog_lines()
    assert root.installed() == ["keeper"] and root.read("/uninstall-ran") == "removed\n"
    root.run(pkgs.make("grumpy", "1.0", install_script="exit 1\n"), 0,
             ["WARNING: package grumpy-1.0 oninstall script failed", "installed grumpy-1.0"])


def test_progress_bar_warnings_and_long_messages(root, pkgs):
    long_path = "d/" + "x" * 200 + "/" + "y" * 60
    root.run(pkgs.make("owner", "1.0", {"f": "o", long_path: "o"}))
    out = root.run(pkgs.make("pp", "1.0", {"f": "x", "g": "y", long_path: "s"}))
    bar = "installing pp-1.0 ["
    assert "\x1b[?25l\r" + bar in out and bar + "#" * (76 - len(bar)) + "]" in out
    # A warning blanks the bar, stands on its own line, and the bar is redrawn.
    warning = "WARNING: file /f collides with owner package\n"
    i = out.index(warning)
    assert out[i - 81:i] == "\r" + " " * 79 + "\r" and out[i + len(warning):].startswith(bar)
    # Messages are cut at 255 bytes.
    cut = [line for line in root.postlog_lines() if line.startswith("WARNING: file /d/xxx")]
    assert [len(line) for line in cut] == [len("WARNING: ") + 255]
