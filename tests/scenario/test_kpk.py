"""kpk, black-box: build, bundle and show on real trees, reproducible builds,
damaged files diagnosed, and bad input refused without leaving a file.

What kpk writes is decoded by pkgtools' own Python decoder, independent of
the C++ reader that kpk show uses.
"""
import os
import re
import socket
import stat
import struct
import subprocess
import time
import zlib

import pytest

import pkgtools
from conftest import program, run

T0 = 1_600_000_000
is_root = os.geteuid() == 0
needs_root = pytest.mark.skipif(not is_root, reason="devices, owners and FIFOs need root")


def kpk(*args, stdin=None):
    return run([program("kpk"), *map(str, args)], stdin=stdin)


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(text.encode() if isinstance(text, str) else text)
    return path


def description(folder, *lines, name="ppp", version="2.9.1", build_time=T0):
    head = [f"name: {name}", f"version: {version}"]
    if build_time is not None:
        head.append(f"build-time: {build_time}")
    return write(os.path.join(folder, "package.desc"), "\n".join(head + list(lines)) + "\n")


def listing(show_output):
    """The file lines of kpk show: {path: (mode, owner, size, time)}."""
    lines = show_output.split("files:\n", 1)[1].splitlines()
    rows = {}
    for line in lines:
        m = re.match(r"^(\S{10}) (\S+)\s+(\S+) (\d{4}-\d\d-\d\d \d\d:\d\d) (.*)$", line)
        if not m:
            break
        rows[m.group(5)] = m.group(1, 2, 3, 4)
    return rows


@pytest.fixture
def every_type_tree(tmp_path):
    """A tree with every entry type kpk packages, with set owners and times."""
    tree = tmp_path / "tree"
    write(tree / "etc/ppp/options", "lock\n")
    write(tree / "etc/ppp/empty", "")
    write(tree / "usr/bin/pppd", bytes(range(256)) * 40)
    write(tree / "name with spaces", "s")
    os.symlink("../../etc/ppp/options", tree / "usr/bin/options-link")
    os.mkfifo(tree / "var-fifo")
    os.mknod(tree / "dev-null", 0o620 | stat.S_IFCHR, os.makedev(1, 3))
    os.mknod(tree / "dev-hda1", 0o660 | stat.S_IFBLK, os.makedev(3, 1))
    os.chmod(tree / "dev-null", 0o620)  # past the umask
    os.chmod(tree / "dev-hda1", 0o660)
    os.chown(tree / "etc/ppp/options", 12, 34)  # before chmod: chown drops set-id bits
    os.chmod(tree / "etc/ppp/options", 0o4640)
    os.chmod(tree / "etc/ppp", 0o750)
    os.lchown(tree / "usr/bin/options-link", 56, 78)
    for root, dirs, files in os.walk(tree):
        for n in dirs + files:
            os.utime(os.path.join(root, n), (T0, T0 + 60), follow_symlinks=False)
    return tree


# -- build and show -------------------------------------------------------------

@needs_root
def test_every_entry_type_is_built_and_listed(tmp_path, every_type_tree):
    desc = description(tmp_path)
    out = tmp_path / "ppp.kpk"
    assert kpk("build", desc, every_type_tree, out)[0] == 0

    magic, length, sections = pkgtools.parse_package(out.read_bytes())
    assert magic == pkgtools.MAGIC_RECORDED and length == out.stat().st_size - 8
    assert [t for t, _ in sections] == [1, 4]
    entries = {e.name: e for e in pkgtools.parse_file_data(sections[1][1])}
    assert list(entries) == sorted(entries), "sorted, each directory before its contents"
    assert list(entries) == [
        "/dev-hda1", "/dev-null", "/etc", "/etc/ppp", "/etc/ppp/empty", "/etc/ppp/options",
        "/name with spaces", "/usr", "/usr/bin", "/usr/bin/options-link", "/usr/bin/pppd",
        "/var-fifo"]
    assert entries["/usr/bin/pppd"].data == bytes(range(256)) * 40
    assert entries["/usr/bin/options-link"].data == b"../../etc/ppp/options"
    assert entries["/dev-null"].data == struct.pack("<I", os.makedev(1, 3))
    assert entries["/dev-hda1"].data == struct.pack("<I", os.makedev(3, 1))
    options = entries["/etc/ppp/options"]
    assert (options.mode, options.uid, options.gid, options.mtime) == (0o104640, 12, 34, T0 + 60)

    status, text, err = kpk("show", out)
    assert status == 0, err
    rows = listing(text)
    assert rows["/etc/ppp/options"] == ("-rwSr-----", "12/34", "5", "2020-09-13 12:27")
    assert rows["/etc/ppp"] == ("drwxr-x---", "0/0", "0", "2020-09-13 12:27")
    assert rows["/dev-null"][:3] == ("crw--w----", "0/0", "1,3")
    assert rows["/dev-hda1"][:3] == ("brw-rw----", "0/0", "3,1")
    assert rows["/var-fifo"][0].startswith("p")
    assert rows["/usr/bin/options-link -> ../../etc/ppp/options"][:2] == ("lrwxrwxrwx", "56/78")
    assert rows["/usr/bin/pppd"][2] == "10240"
    assert "12 entries, 10275 bytes of data" in text


def test_header_requirements_and_scripts_are_shown(tmp_path):
    tree = tmp_path / "tree"
    write(tree / "f", "f")
    write(tmp_path / "scripts/in.sh", "echo installed\n")
    desc = description(
        tmp_path, "architecture: i386", "description: Point-to-point daemon.",
        "description: Second line.", "depends: base >= 1.0 <= 2.0", "depends: libc",
        "conflicts: oldppp = 2.9rc3", "install-script: scripts/in.sh",
        "uninstall-script: " + write(str(tmp_path / "out.sh"), "rm -f /x\n"),
        version="2.9beta10")
    out = tmp_path / "ppp.kpk"
    assert kpk("build", desc, tree, out)[0] == 0
    _, _, sections = pkgtools.parse_package(out.read_bytes())
    assert [t for t, _ in sections] == [1, 2, 16, 3, 17, 7, 8, 4]
    assert pkgtools.parse_header_record(sections[0][1]) == ("ppp", pkgtools.version("2.9beta10"), T0)
    assert pkgtools.parse_requirement_list(sections[3][1]) == [
        ("base", pkgtools.version("1.0"), pkgtools.version("2.0")), ("libc", 0, 0)]

    status, text, _ = kpk("show", "--scripts", out)
    assert status == 0
    for line in ("package: ppp-2.9beta10", "build time: 2020-09-13 12:26:40 UTC (1600000000)",
                 "  Point-to-point daemon.\n  Second line.", "architecture: i386",
                 "depends: base >= 1.0 <= 2.0", "depends: libc", "conflicts: oldppp = 2.9rc3",
                 "install script: 15 bytes\n  echo installed", "uninstall script: 9 bytes\n  rm -f /x"):
        assert line in text, line
    status, text, _ = kpk("show", "--no-files", out)
    assert status == 0 and "echo installed" not in text and "-rw" not in text
    assert "1 entries, 1 bytes of data" in text


def test_show_reads_a_pipe_and_marks_unrecorded_packages(tmp_path):
    tree = tmp_path / "tree"
    write(tree / "big", os.urandom(300_000))
    out = tree / "u.kpk"  # inside the tree, yet not packaged
    pkgtools.build_package(tree, out, "tool", "1.0", unrecorded=True,
                           uninstall_script="x" * 20000)
    status, text, err = kpk("show", "-", stdin=out.read_bytes())
    assert status == 0, err
    assert text.startswith("unrecorded package file")
    assert "architecture: i386 (none recorded)" in text
    assert listing(text).keys() == {"/big"}


# -- reproducible builds ----------------------------------------------------------

@needs_root
def test_reproducible_builds_are_byte_identical_and_need_a_build_time(tmp_path, every_type_tree):
    desc = description(tmp_path, build_time=None)
    a, b, c = (tmp_path / n for n in ("a.kpk", "b.kpk", "c.kpk"))
    assert kpk("build", "--reproducible", "--build-time", T0, desc, every_type_tree, a)[0] == 0
    # The same tree under other owners, with the time given another way.
    for root, dirs, files in os.walk(every_type_tree):
        for n in dirs + files:
            path = os.path.join(root, n)
            mode = os.lstat(path).st_mode
            os.lchown(path, 4321, 4321)
            if not stat.S_ISLNK(mode):
                os.chmod(path, stat.S_IMODE(mode))  # chown dropped the set-id bits
    desc2 = description(tmp_path / "again", build_time=T0)
    assert kpk("build", "--reproducible", desc2, every_type_tree, b)[0] == 0
    assert a.read_bytes() == b.read_bytes()
    entries = pkgtools.parse_file_data(pkgtools.parse_package(a.read_bytes())[2][1][1])
    assert {(e.uid, e.gid) for e in entries} == {(0, 0)}
    # Without the option the owners are recorded.
    assert kpk("build", "--build-time", T0, desc, every_type_tree, c)[0] == 0
    entries = pkgtools.parse_file_data(pkgtools.parse_package(c.read_bytes())[2][1][1])
    assert {(e.uid, e.gid) for e in entries} == {(4321, 4321)}
    # A reproducible build needs a fixed build time.
    status, _, err = kpk("build", "--reproducible", description(tmp_path / "none", build_time=None),
                         every_type_tree, tmp_path / "d.kpk")
    assert status == 1 and "build-time" in err
    assert not (tmp_path / "d.kpk").exists()


# -- bundles ----------------------------------------------------------------------

def test_bundle_copies_members_and_shows_them(tmp_path):
    write(tmp_path / "t1/a", "a")
    write(tmp_path / "t2/b", "b")
    m1 = pkgtools.build_package(tmp_path / "t1", tmp_path / "m1.kpk", "m1", "1.0",
                                install_script="echo m1\n")
    m2 = pkgtools.build_package(tmp_path / "t2", tmp_path / "m2.kpk", "m2", "2.0rc1",
                                deps=[("m1", "1.0", None)])
    out = pkgtools.build_bundle(tmp_path / "suite.kpk", "suite", "3.1", [m1, m2], arch="i386",
                                deps=[("base", None, "9.0")], conflicts=["oldsuite"])
    data = open(out, "rb").read()
    magic, _, sections = pkgtools.parse_package(data)
    assert [t for t, _ in sections[:4]] == [18, 16, 3, 17]
    assert pkgtools.parse_header_record(sections[0][1])[:2] == ("suite", pkgtools.version("3.1"))
    members = b"".join(open(m, "rb").read()[8:] for m in (m1, m2))
    assert data.endswith(members), "member sections are copied unchanged"

    status, text, err = kpk("show", out)
    assert status == 0, err
    order = [text.index(s) for s in ("bundle: suite-3.1", "depends: base <= 9.0",
                                     "conflicts: oldsuite", "package: m1-1.0", "/a",
                                     "package: m2-2.0rc1", "depends: m1 >= 1.0", "/b")]
    assert order == sorted(order)


def test_bundle_refuses_mixed_nested_and_damaged_members(tmp_path):
    write(tmp_path / "t/a", "a")
    rec = pkgtools.build_package(tmp_path / "t", tmp_path / "rec.kpk", "rec", "1.0")
    unrec = pkgtools.build_package(tmp_path / "t", tmp_path / "unrec.kpk", "unrec", "1.0",
                                   unrecorded=True)
    nested = pkgtools.build_bundle(tmp_path / "nested.kpk", "nested", "1.0", [rec])
    cut = write(str(tmp_path / "cut.kpk"), open(rec, "rb").read()[:-5])
    desc = write(str(tmp_path / "b.desc"), "name: b\nversion: 1.0\n")
    out = tmp_path / "b.kpk"
    for members, message in (([rec, unrec], "recorded and unrecorded"),
                             ([nested], "bundle"), ([rec, cut], "cut short"),
                             ([desc], "not a package")):
        status, _, err = kpk("bundle", desc, out, *members)
        assert status == 1 and message in err, (members, err)
        assert not out.exists()
    status, _, err = kpk("bundle", write(str(tmp_path / "bad.desc"), "name: b\nversion: 1.0\n"
                                          "install-script: x\n"), out, rec)
    assert status == 1 and "unknown key" in err


# -- damaged files ------------------------------------------------------------------

@pytest.fixture
def good_package(tmp_path):
    write(tmp_path / "tree/etc/conf", "setting=1\n" * 500)
    write(tmp_path / "tree/bin/tool", os.urandom(20000))
    out = tmp_path / "good.kpk"
    pkgtools.build_package(tmp_path / "tree", out, "tool", "1.0", deps=[("base", "1.0", None)],
                           install_script="echo hi\n")
    return out.read_bytes()


def damaged_variants(good):
    at = {t: start - 6 for t, start, _ in pkgtools.section_offsets(good)}
    data_start = at[4] + 6
    flipped = bytearray(good)
    for i in range(data_start + 40, data_start + 60):
        flipped[i] ^= 0x5A
    header = pkgtools.raw_section(1, pkgtools.header_record("bad", "1.0"))

    def with_entries(*entries):
        return pkgtools.raw_package([header, pkgtools.raw_section(4, pkgtools.file_data(entries))])

    def with_data(payload):
        return pkgtools.raw_package([header, pkgtools.raw_section(4, payload)])

    raw_entries = pkgtools.file_entry_bytes(pkgtools.FileEntry("/a", b"a" * 100))
    return [
        ("bad magic", b"\0\0\0\0" + good[4:], "offset 0: bad magic 0x00000000"),
        ("short file header", good[:5], "offset 0: 5 bytes, too short"),
        ("cut in a section header", good[:at[3] + 3],
         f"offset {at[3]}: a section header is cut short (3 of 6 bytes)"),
        ("cut in the dependencies", good[:at[3] + 20],
         f"offset {at[3]}: dependencies section (type 3) of 34 bytes is cut short"),
        ("cut in the file data", good[:-100], f"offset {at[4]}: file data section"),
        ("corrupt compressed data", bytes(flipped), "corrupt compressed data"),
        ("device entry of 8 bytes", with_entries(pkgtools.FileEntry("/ok", b"ok"),
                                                 pkgtools.FileEntry("/dev/x", b"12345678", 0o20600)),
         "bad entry 2 (/dev/x): device entry"),
        ("socket entry", with_entries(pkgtools.FileEntry("/s", b"", 0o140644)), "bad entry 1 (/s)"),
        ("data cut inside an entry", with_data(zlib.compress(raw_entries[:-10])),
         "bad entry 1 (/a): the data of an entry is cut short"),
        ("zlib stream without its end", with_data(zlib.compress(raw_entries)[:-6]),
         "file data"),
        ("trailing bytes after the stream", with_data(zlib.compress(raw_entries) + b"junk"),
         "4 bytes follow the end of the compressed data"),
        ("count beyond the list", pkgtools.raw_package(
            [header, pkgtools.raw_section(3, struct.pack("<H", 3) + bytes(32))]),
         "dependencies section (type 3): holds fewer entries than its count says"),
        ("stored length lies", good[:4] + struct.pack("<I", len(good)) + good[8:],
         f"the file header gives {len(good) + 8} bytes, the sections end at {len(good)}"),
        ("no header first", pkgtools.raw_package([pkgtools.raw_section(2, b"text")]),
         "offset 8: the first section is not a package or bundle header"),
    ]


def test_damaged_files_say_where_and_what(tmp_path, good_package):
    assert kpk("show", write(str(tmp_path / "good.kpk"), good_package))[0] == 0
    for name, data, message in damaged_variants(good_package):
        path = write(str(tmp_path / "damaged.kpk"), data)
        status, _, err = kpk("show", path)
        assert status == 1, name
        assert message in err, (name, err)
        assert err.count("\n") == 1, f"{name}: one message: {err!r}"
        # The same through a pipe.
        status, _, piped = kpk("show", "-", stdin=data)
        assert status == 1 and message in piped, (name, piped)


# -- bad input ----------------------------------------------------------------------

def bad_build_inputs(tmp_path):
    """(what, description lines, tree changes, expected message)."""
    def sock(tree):
        s = socket.socket(socket.AF_UNIX)
        s.bind(str(tree / "ctl.sock"))
        s.close()

    return [
        ("unknown key", ["color: blue"], None, "unknown key: color"),
        ("bad version", [], None, "not a version"),
        ("name of 17 bytes", [], None, "at most 16 bytes"),
        ("hidden name", [], None, "cannot begin with"),
        ("name with a slash", [], None, "cannot begin with"),
        ("name with a blank", [], None, "cannot contain white space or control"),
        ("name with a control byte", [], None, "cannot contain white space or control"),
        ("bad requirement", ["depends: base >= 1.x"], None, "expected a version"),
        ("inverted range", ["depends: base >= 2.0 <= 1.0"], None, "above the maximum"),
        ("missing script", ["install-script: nowhere.sh"], None, "cannot read the script"),
        ("socket in the tree", [], sock, "a socket cannot be put in a package"),
        ("line without a key", ["just words"], None, 'expected "key: value"'),
    ]


NAMES = {"bad version": ("ok", "2.9.x"), "name of 17 bytes": ("seventeen-chars-x", "1.0"),
         "hidden name": (".hidden", "1.0"), "name with a slash": ("a/b", "1.0"),
         "name with a blank": ("a b", "1.0"), "name with a control byte": ("a\x1bb", "1.0")}


def test_bad_input_is_refused_and_leaves_no_file(tmp_path):
    out_dir = tmp_path / "out"
    os.makedirs(out_dir)
    previous = write(str(out_dir / "kept.kpk"), b"an older build")
    for what, lines, change, message in bad_build_inputs(tmp_path):
        case = tmp_path / what.replace(" ", "-")
        write(case / "tree/file", "x" * 100000)
        if change:
            change(case / "tree")
        name, version = NAMES.get(what, ("ok", "1.0"))
        desc = description(case, *lines, name=name, version=version)
        for out in (out_dir / "new.kpk", out_dir / "kept.kpk"):
            status, _, err = kpk("build", desc, case / "tree", out)
            assert status == 1, what
            assert message in err and err.startswith("kpk: "), (what, err)
        assert sorted(os.listdir(out_dir)) == ["kept.kpk"], what
        assert open(previous, "rb").read() == b"an older build"


@needs_root
def test_unreadable_entry_is_refused(tmp_path):
    write(tmp_path / "tree/a/secret", "s")
    write(tmp_path / "tree/b", "b")
    os.chmod(tmp_path / "tree/a/secret", 0)
    desc = description(tmp_path)
    out = tmp_path / "o.kpk"
    # Root reads everything; without these capabilities it meets the mode.
    drop = ["setpriv", "--bounding-set=-dac_override,-dac_read_search",
            "--inh-caps=-dac_override,-dac_read_search"]
    status, _, err = run(drop + [program("kpk"), "build", desc, tmp_path / "tree", out])
    assert status == 1
    assert "/a/secret: cannot read: Permission denied" in err
    assert not out.exists() and sorted(os.listdir(tmp_path)) == ["package.desc", "tree"]


def test_usage_errors_and_help(tmp_path):
    status, text, _ = kpk("--help")
    assert status == 0 and all(c in text for c in ("build", "bundle", "show"))
    accepted = {"build": ["--root-owner", "--build-time", "--reproducible"],
                "bundle": ["--build-time"], "show": ["--scripts", "--no-files"]}
    for command, options in accepted.items():
        status, text, _ = kpk(command, "--help")
        assert status == 0
        documented = set(re.findall(r"^\s+(--[a-z-]+)", text, re.M)) - {"--help"}
        assert documented == set(options), command
    for args in ((), ("frobnicate",), ("build", "--bogus", "a", "b", "c"), ("build", "a", "b"),
                 ("show",), ("bundle", "d", "o"), ("build", "--build-time", "soon", "a", "b", "c")):
        status, out, err = kpk(*args)
        assert status == 2 and out == "" and "--help" in err, args


def peak_memory_kib(args):
    """The highest resident size the program reached, sampled while it runs.

    Sampling its /proc entry measures the program alone; the resource usage
    of a child would include the forking Python process.
    """
    proc = subprocess.Popen(args)
    peak = 0
    while proc.poll() is None:
        try:
            with open(f"/proc/{proc.pid}/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.002)
    assert proc.returncode == 0
    return peak


def test_memory_stays_flat_as_files_grow(tmp_path):
    desc = description(tmp_path)
    peaks = []
    for size in (1 << 20, 128 << 20):
        tree = tmp_path / f"tree{size}"
        os.makedirs(tree)
        chunk = os.urandom(1 << 16)
        with open(tree / "big", "wb") as f:
            for _ in range(size >> 16):
                f.write(chunk)
        peaks.append(peak_memory_kib([program("kpk"), "build", desc, tree, tmp_path / "o.kpk"]))
    assert 0 < peaks[1] < peaks[0] + 2048, f"peak resident KiB: {peaks}"
