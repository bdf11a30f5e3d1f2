"""kpk, black-box: build, bundle and show on real trees, decoded by pkgtools'
own Python decoder; damaged files diagnosed; bad input refused, leaving no file."""
import os
import re
import socket
import stat
import struct
import zlib

import pytest

import pkgtools
from conftest import program, run

T0 = 1_600_000_000
needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="devices, owners and FIFOs need root")


def kpk(*args, stdin=None):
    return run([program("kpk"), *map(str, args)], stdin=stdin)


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(text.encode() if isinstance(text, str) else text)
    return path


def description(folder, *lines, name="ppp", version="2.9.1", build_time=T0):
    head = [f"name: {name}", f"version: {version}"] + ([f"build-time: {build_time}"] if build_time else [])
    return write(os.path.join(folder, "package.desc"), "\n".join(head + list(lines)) + "\n")


def listing(show_output):
    """The file lines of kpk show: {path: (mode, owner, size, time)}."""
    rows = {}
    for line in show_output.split("files:\n", 1)[1].splitlines():
        m = re.match(r"^(\S{10}) (\S+)\s+(\S+) (\d{4}-\d\d-\d\d \d\d:\d\d) (.*)$", line)
        if m:
            rows[m.group(5)] = m.group(1, 2, 3, 4)
    return rows


def entries_of(path):
    return pkgtools.parse_file_data(pkgtools.parse_package(open(path, "rb").read())[2][-1][1])


@pytest.fixture
def every_type_tree(tmp_path):
    """A tree with every entry type kpk packages, with set owners and times."""
    tree = tmp_path / "tree"
    write(tree / "etc/ppp/options", "lock\n")
    write(tree / "usr/bin/pppd", bytes(range(256)) * 40)
    write(tree / "name with spaces", "s")
    os.symlink("../../etc/ppp/options", tree / "usr/bin/options-link")
    os.mkfifo(tree / "var-fifo")
    os.mknod(tree / "dev-null", 0o620 | stat.S_IFCHR, os.makedev(1, 3))
    os.mknod(tree / "dev-hda1", 0o660 | stat.S_IFBLK, os.makedev(3, 1))
    os.chown(tree / "etc/ppp/options", 12, 34)  # before chmod: chown drops set-id bits
    for path, mode in (("dev-null", 0o620), ("dev-hda1", 0o660), ("etc/ppp/options", 0o4640),
                       ("etc/ppp", 0o750)):
        os.chmod(tree / path, mode)  # past the umask
    os.lchown(tree / "usr/bin/options-link", 56, 78)
    for root, dirs, files in os.walk(tree):
        for n in dirs + files:
            os.utime(os.path.join(root, n), (T0, T0 + 60), follow_symlinks=False)
    return tree


@needs_root
def test_every_entry_type_is_built_listed_and_reproducible(tmp_path, every_type_tree):
    out = tmp_path / "ppp.kpk"
    assert kpk("build", description(tmp_path), every_type_tree, out)[0] == 0
    magic, length, sections = pkgtools.parse_package(out.read_bytes())
    assert magic == pkgtools.MAGIC_RECORDED and length == out.stat().st_size - 8
    assert [t for t, _ in sections] == [1, 4]
    entries = {e.name: e for e in entries_of(out)}
    assert list(entries) == [  # sorted, each directory before its contents
        "/dev-hda1", "/dev-null", "/etc", "/etc/ppp", "/etc/ppp/options", "/name with spaces",
        "/usr", "/usr/bin", "/usr/bin/options-link", "/usr/bin/pppd", "/var-fifo"]
    assert entries["/usr/bin/pppd"].data == bytes(range(256)) * 40
    assert entries["/usr/bin/options-link"].data == b"../../etc/ppp/options"
    assert entries["/dev-hda1"].data == struct.pack("<I", os.makedev(3, 1))
    options = entries["/etc/ppp/options"]
    assert (options.mode, options.uid, options.gid, options.mtime) == (0o104640, 12, 34, T0 + 60)

    status, text, err = kpk("show", out)
    assert status == 0, err
    rows = listing(text)
    assert rows["/etc/ppp/options"] == ("-rwSr-----", "12/34", "5", "2020-09-13 12:27")
    assert rows["/dev-hda1"][:3] == ("brw-rw----", "0/0", "3,1")
    assert rows["/usr/bin/options-link -> ../../etc/ppp/options"][:2] == ("lrwxrwxrwx", "56/78")
    assert "11 entries, 10275 bytes of data" in text

    # Reproducible: the same bytes under other owners, with the time given
    # either way; owners become 0/0, and a build time is required.
    a, b = tmp_path / "a.kpk", tmp_path / "b.kpk"
    no_time = description(tmp_path / "no_time", build_time=None)
    assert kpk("build", "--reproducible", "--build-time", T0, no_time, every_type_tree, a)[0] == 0
    for root, dirs, files in os.walk(every_type_tree):
        for n in dirs + files:
            path = os.path.join(root, n)
            mode = os.lstat(path).st_mode
            os.lchown(path, 4321, 4321)
            if not stat.S_ISLNK(mode):
                os.chmod(path, stat.S_IMODE(mode))  # chown dropped the set-id bits
    assert kpk("build", "--reproducible", description(tmp_path / "again"), every_type_tree, b)[0] == 0
    assert a.read_bytes() == b.read_bytes()
    assert {(e.uid, e.gid) for e in entries_of(a)} == {(0, 0)}
    status, _, err = kpk("build", "--reproducible", no_time, every_type_tree, tmp_path / "d.kpk")
    assert status == 1 and "build-time" in err and not (tmp_path / "d.kpk").exists()


def test_header_requirements_and_scripts_are_shown_from_a_file_or_a_pipe(tmp_path):
    write(tmp_path / "tree/f", "f")
    write(tmp_path / "scripts/in.sh", "echo installed\n")
    desc = description(
        tmp_path, "architecture: i386", "description: Point-to-point daemon.",
        "description: Second line.", "depends: base >= 1.0 <= 2.0", "depends: libc",
        "conflicts: oldppp = 2.9rc3", "install-script: scripts/in.sh",
        "uninstall-script: " + write(str(tmp_path / "out.sh"), "rm -f /x\n"), version="2.9beta10")
    out = tmp_path / "ppp.kpk"
    assert kpk("build", desc, tmp_path / "tree", out)[0] == 0
    _, _, sections = pkgtools.parse_package(out.read_bytes())
    assert [t for t, _ in sections] == [1, 2, 16, 3, 17, 7, 8, 4]
    assert pkgtools.parse_header_record(sections[0][1]) == ("ppp", pkgtools.version("2.9beta10"), T0)
    assert pkgtools.parse_requirement_list(sections[3][1]) == [
        ("base", pkgtools.version("1.0"), pkgtools.version("2.0")), ("libc", 0, 0)]
    status, text, _ = kpk("show", "--scripts", "-", stdin=out.read_bytes())
    assert status == 0 and text.startswith("recorded package file")
    for line in ("package: ppp-2.9beta10", "build time: 2020-09-13 12:26:40 UTC (1600000000)",
                 "  Point-to-point daemon.\n  Second line.", "architecture: i386",
                 "depends: base >= 1.0 <= 2.0", "depends: libc", "conflicts: oldppp = 2.9rc3",
                 "install script: 15 bytes\n  echo installed", "uninstall script: 9 bytes\n  rm -f /x"):
        assert line in text, line
    status, text, _ = kpk("show", "--no-files", out)
    assert status == 0 and "echo installed" not in text and "-rw" not in text
    assert "1 entries, 1 bytes of data" in text
    unrecorded = pkgtools.build_package(tmp_path / "tree", tmp_path / "u.kpk", "tool", "1.0",
                                        unrecorded=True)
    status, text, _ = kpk("show", unrecorded)
    assert text.startswith("unrecorded package file") and "architecture: i386 (none recorded)" in text


def test_bundles_copy_their_members_and_refuse_mixed_nested_and_damaged_ones(tmp_path):
    write(tmp_path / "t1/a", "a")
    write(tmp_path / "t2/b", "b")
    m1 = pkgtools.build_package(tmp_path / "t1", tmp_path / "m1.kpk", "m1", "1.0",
                                install_script="echo m1\n")
    m2 = pkgtools.build_package(tmp_path / "t2", tmp_path / "m2.kpk", "m2", "2.0rc1",
                                deps=[("m1", "1.0", None)])
    out = pkgtools.build_bundle(tmp_path / "suite.kpk", "suite", "3.1", [m1, m2], arch="i386",
                                deps=[("base", None, "9.0")], conflicts=["oldsuite"])
    data = open(out, "rb").read()
    sections = pkgtools.parse_package(data)[2]
    assert [t for t, _ in sections[:4]] == [18, 16, 3, 17]
    members = b"".join(open(m, "rb").read()[8:] for m in (m1, m2))
    assert data.endswith(members), "member sections are copied unchanged"
    status, text, err = kpk("show", out)
    assert status == 0, err
    order = [text.index(s) for s in ("bundle: suite-3.1", "depends: base <= 9.0",
                                     "conflicts: oldsuite", "package: m1-1.0", "/a",
                                     "package: m2-2.0rc1", "depends: m1 >= 1.0", "/b")]
    assert order == sorted(order)

    unrec = pkgtools.build_package(tmp_path / "t1", tmp_path / "unrec.kpk", "unrec", "1.0",
                                   unrecorded=True)
    cut = write(str(tmp_path / "cut.kpk"), open(m1, "rb").read()[:-5])
    desc = write(str(tmp_path / "b.desc"), "name: b\nversion: 1.0\n")
    for members, message in (([m1, unrec], "recorded and unrecorded"), ([out], "bundle"),
                             ([m1, cut], "cut short")):
        status, _, err = kpk("bundle", desc, tmp_path / "b.kpk", *members)
        assert status == 1 and message in err, (members, err)
        assert not (tmp_path / "b.kpk").exists()


def test_damaged_files_say_where_and_what_from_a_file_or_a_pipe(tmp_path):
    write(tmp_path / "tree/etc/conf", "setting=1\n" * 500)
    good = open(pkgtools.build_package(tmp_path / "tree", tmp_path / "good.kpk", "tool", "1.0",
                                       deps=[("base", "1.0", None)]), "rb").read()
    at = {t: start - 6 for t, start, _ in pkgtools.section_offsets(good)}
    header = pkgtools.raw_section(1, pkgtools.header_record("bad", "1.0"))

    def with_data(payload):
        return pkgtools.raw_package([header, pkgtools.raw_section(4, payload)])

    raw_entries = pkgtools.file_entry_bytes(pkgtools.FileEntry("/a", b"a" * 100))
    device = pkgtools.file_data([pkgtools.FileEntry("/ok", b"ok"), pkgtools.FileEntry("/dev/x", b"12345678", 0o20600)])
    for data, message in [
        (b"\0\0\0\0" + good[4:], "offset 0: bad magic 0x00000000"),
        (good[:at[3] + 3], f"offset {at[3]}: a section header is cut short (3 of 6 bytes)"),
        (good[:at[4] + 10], f"offset {at[4]}: file data section"),
        (with_data(device), "bad entry 2 (/dev/x): device entry"),
        (with_data(zlib.compress(raw_entries[:-10])), "bad entry 1 (/a): the data of an entry is cut short"),
        (with_data(zlib.compress(raw_entries) + b"junk"), "4 bytes follow the end of the compressed data"),
    ]:
        status, _, err = kpk("show", write(str(tmp_path / "damaged.kpk"), data))
        assert status == 1 and message in err and err.count("\n") == 1, (message, err)
        status, _, piped = kpk("show", "-", stdin=data)
        assert status == 1 and message in piped, (message, piped)


def test_bad_input_is_refused_and_leaves_no_file(tmp_path):
    def sock(tree):
        s = socket.socket(socket.AF_UNIX)
        s.bind(str(tree / "ctl.sock"))
        s.close()

    cases = [  # (description lines, name and version, tree change, expected message)
        (["color: blue"], None, None, "unknown key: color"),
        ([], ("seventeen-chars-x", "1.0"), None, "at most 16 bytes"),
        ([], (".hidden", "1.0"), None, "cannot begin with"),
        ([], ("a\x1bb", "1.0"), None, "cannot contain white space or control"),
        (["depends: base >= 2.0 <= 1.0"], None, None, "above the maximum"),
        (["install-script: nowhere.sh"], None, None, "cannot read the script"),
        ([], None, sock, "a socket cannot be put in a package"),
    ]
    out_dir = tmp_path / "out"
    previous = write(str(out_dir / "kept.kpk"), b"an older build")
    for i, (lines, name, change, message) in enumerate(cases):
        case = tmp_path / str(i)
        write(case / "tree/file", "x" * 100000)
        if change:
            change(case / "tree")
        name, version = name or ("ok", "1.0")
        desc = description(case, *lines, name=name, version=version)
        for out in (out_dir / "new.kpk", out_dir / "kept.kpk"):
            status, _, err = kpk("build", desc, case / "tree", out)
            assert status == 1 and message in err and err.startswith("kpk: "), (message, err)
        assert sorted(os.listdir(out_dir)) == ["kept.kpk"], message
        assert open(previous, "rb").read() == b"an older build"


def test_usage_errors_and_help():
    status, text, _ = kpk("--help")
    assert status == 0 and all(c in text for c in ("build", "bundle", "show"))
    accepted = {"build": ["--root-owner", "--build-time", "--reproducible"],
                "bundle": ["--build-time"], "show": ["--scripts", "--no-files"]}
    for command, options in accepted.items():
        status, text, _ = kpk(command, "--help")
        documented = set(re.findall(r"^\s+(--[a-z-]+)", text, re.M)) - {"--help"}
        assert status == 0 and documented == set(options), command
    for args in ((), ("frobnicate",), ("build", "--bogus", "a", "b", "c"), ("build", "a", "b"),
                 ("show",), ("bundle", "d", "o"), ("build", "--build-time", "soon", "a", "b", "c")):
        status, out, err = kpk(*args)
        assert status == 2 and out == "" and "--help" in err, args
