"""mkmedia black-box: media read back with xorriso and mtools, floppy parts
with a model of setup's reader; refusals leave nothing behind."""
import functools
import math
import operator
import os
import pathlib
import struct
import subprocess
import zlib

import pytest

from conftest import program
import pkgtools
from pkgtools import raw, raw_bundle, raw_package, raw_section, entry
from setup_support import AUTORUN, example_bytes, mbr_file, write_files as write
CYLINDER = 16 * 63 * 512
FLOPPY_IMAGE = 1474560


def mkmedia(*args, env=None, cwd=None):
    proc = subprocess.run([program("mkmedia"), *map(str, args)], capture_output=True, timeout=300,
                          env=env, cwd=cwd)
    return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")


def tool(*args):
    return subprocess.run(list(map(str, args)), check=True, capture_output=True).stdout


def tree_bytes(folder):
    return {os.path.relpath(os.path.join(base, name), folder): pathlib.Path(base, name).read_bytes()
            for base, _, names in os.walk(folder) for name in names}


@pytest.fixture(scope="module")
def examples(tmp_path_factory):
    return example_bytes(tmp_path_factory.mktemp("examples"))


# -- CD-ROM image and hard-disk volume -------------------------------------------------

def test_iso_holds_the_directory(tmp_path, examples):
    # Names beginning with "-" reach xorriso as paths, not options.
    source = write(tmp_path / "-cd", {**examples, "defpacks": b"system ppp\n"})
    write(tmp_path / "-cd" / "docs", {"README": b"read me\n"})
    os.symlink("system.kpk", tmp_path / "-cd" / "base.kpk")
    status, out, err = mkmedia("iso", "--", "-cd", "-out.iso", cwd=tmp_path)
    assert status == 0, err
    assert "system.kpk: system-1.0" in out and "base.kpk: system-1.0" in out
    tool("xorriso", "-osirrox", "on", "-indev", tmp_path / "-out.iso", "-extract", "/",
         tmp_path / "back")
    expected = tree_bytes(source)
    assert tree_bytes(tmp_path / "back") == expected
    assert not os.path.islink(tmp_path / "back" / "base.kpk")  # stored as the file itself


@pytest.mark.parametrize("options,extra_packages", [((), 0), (("--choose", "--size", "40"), 48)])
def test_volume_holds_the_medium(tmp_path, examples, options, extra_packages):
    packages = dict(examples)
    packages.update({f"extra{i:02}.kpk": raw(f"extra{i}") for i in range(extra_packages)})
    source = write(tmp_path / "dir", {**packages, "autorun.scr": AUTORUN,
                                      "CHOOSE": b"not taken", "notes.txt": b"left out"})
    image = tmp_path / "vol.img"
    status, out, err = mkmedia("volume", *options, source, image)
    assert status == 0, err
    size = os.path.getsize(image)
    assert size % CYLINDER == 0 and f", {size // CYLINDER} cylinders of 16 heads" in out
    assert size >= 32 * CYLINDER and (not options or size <= 40 << 20)
    with open(image, "rb") as f:
        sector = f.read(512)
    assert sector[510:] == b"\x55\xaa" and b"FAT" in sector[0x36:0x5A]  # no partition table
    names = [line[3:] for line in tool("mdir", "-b", "-i", image, "::").decode().split()]
    expected = {**packages, "autorun.scr": AUTORUN, "mbr": mbr_file()}
    if options:
        expected["CHOOSE"] = b""
    # Directory order is the order of independent packages in an installation.
    assert names == sorted(packages) + ["autorun.scr", "mbr"] + (["CHOOSE"] if options else [])
    os.makedirs(tmp_path / "back")
    tool("mcopy", "-n", "-i", image, "::/*", tmp_path / "back")
    assert tree_bytes(tmp_path / "back") == expected


# -- floppy sets ------------------------------------------------------------------------

PART_MAGIC = 0x72847299


class Part:
    """One part file as setup's floppy-set mode reads it."""

    def __init__(self, data, held=None):
        """self.payload is None for a bad floppy; held: the part before."""
        self.payload = None
        if len(data) < 32:
            return
        (magic, self.size, self.set_id, self.index, self.count, self.block, self.per_group,
         self.parity) = struct.unpack_from("<IIIHHHHH", data)
        if (magic != PART_MAGIC or (held and held.set_id != self.set_id) or self.block <= 4
                or not 0 <= self.parity < self.per_group or self.size == 0
                or self.block * self.per_group > 1 << 20):
            return
        carrying = self.per_group - self.parity
        groups = math.ceil(math.ceil(self.size / (self.block - 4)) / carrying)
        if 32 + groups * self.per_group * self.block > len(data):
            return
        payload = bytearray()
        for g in range(groups):
            start = 32 + g * self.per_group * self.block
            blocks = [data[start + b * self.block:start + (b + 1) * self.block]
                      for b in range(self.per_group)]
            group = self.check_group(blocks, carrying)
            if group is None:
                return
            payload += b"".join(group[:carrying])
        self.payload = bytes(payload[:self.size])

    def check_group(self, blocks, carrying):
        """The blocks' data with one damaged block rebuilt; None if beyond repair."""
        data = [b[:-4] for b in blocks]
        bad = [i for i, b in enumerate(blocks) if zlib.crc32(b[:-4]) != struct.unpack("<I", b[-4:])[0]]
        if len(bad) > 1 or (bad and bad[0] < carrying and self.parity != 1):
            return None
        if bad and bad[0] < carrying:
            others = [int.from_bytes(d, "little") for i, d in enumerate(data) if i != bad[0]]
            data[bad[0]] = functools.reduce(operator.xor, others).to_bytes(len(data[0]), "little")
        return data


def floppy_parts(folder):
    """The part files of a set, in order, from the floppy images."""
    images = sorted(n for n in os.listdir(folder) if n.startswith("floppy-"))
    parts = []
    for i, name in enumerate(images):
        image = os.path.join(folder, name)
        assert os.path.getsize(image) == FLOPPY_IMAGE
        assert tool("mdir", "-b", "-i", image, "::").decode().split() == [f"::/tessaron.n{i:02}"]
        parts.append(tool("mtype", "-i", image, f"::tessaron.n{i:02}"))
    return parts


def read_set(parts):
    held, payload = None, b""
    for i, data in enumerate(parts):
        part = Part(data, held)
        assert part.payload is not None, f"part {i} is a bad floppy"
        assert (part.index, part.count) == (i, len(parts))
        held, payload = part, payload + part.payload
    return payload


def corrupt(data, block_size, per_group, group, block):
    offset = 32 + (group * per_group + block) * block_size + block_size // 2
    return data[:offset] + bytes([data[offset] ^ 0x5A]) + data[offset + 1:]


@pytest.fixture(scope="module")
def big_package(tmp_path_factory):
    """A package of about 3 MB that does not compress: three floppies."""
    pkgs = pkgtools.Packages(tmp_path_factory.mktemp("big"))
    return pkgs.make("big", "1.0", {"data": os.urandom(3_000_000)}).path


# Sets of several floppies, damaged blocks and foreign sets are read by setup
# itself in test_setup_floppy.
@pytest.mark.parametrize("size,layout,floppies", [
    (1346400, (), 1), (1346401, (), 2),  # 88 groups of 15 blocks of 1020 bytes fill a floppy
    (None, (5, 2, 1), 1), (None, (1024, 1024, 1), 1), (None, (65535, 16, 1), 1),
    (None, (512, 3, 0), 1)])
def test_floppy_layouts(tmp_path, size, layout, floppies):
    package = write(tmp_path, {"p.kpk": raw("p", {"/a": b"a" * 600}, size=size)}) + "/p.kpk"
    options = [a for pair in zip(("--block-size", "--group", "--parity"), layout) for a in pair]
    status, out, err = mkmedia("floppies", *options, package, tmp_path / "set")
    assert status == 0, err
    parts = floppy_parts(tmp_path / "set")
    assert f"on {floppies} flopp" in out
    with open(package, "rb") as f:
        assert len(parts) == floppies and read_set(parts) == f.read()
    block, per_group, parity = layout or (1024, 16, 1)
    header = Part(parts[0])
    assert (header.block, header.per_group, header.parity) == (block, per_group, parity)
    # Without parity a damaged block is found, not repaired.
    assert (Part(corrupt(parts[0], block, per_group, 0, 0)).payload is None) == (parity == 0)


# -- refusals ---------------------------------------------------------------------------

def good():
    return raw("good", {"/etc/good": b"x"})


def with_last_section_longer(data):
    offset = pkgtools.section_offsets(data)[-1][1] - 4
    (length,) = struct.unpack_from("<I", data, offset)
    return data[:offset] + struct.pack("<I", length + 1) + data[offset + 4:]


def cut_file_data():
    """File data whose zlib stream stops after a whole entry: the installer
    would take that for the end and install half the package."""
    packer = zlib.compressobj()
    payload = packer.compress(pkgtools.file_entry_bytes(entry("/a", b"a" * 100)))
    payload += packer.flush(zlib.Z_FULL_FLUSH)
    return raw("cut", sections=[raw_section(pkgtools.SECTION_FILE_DATA, payload)])


def out_of_order():
    header = raw_section(pkgtools.SECTION_PACKAGE_HEADER, pkgtools.header_record("late", "1.0"))
    data = raw_section(pkgtools.SECTION_FILE_DATA, pkgtools.file_data([entry("/a", b"a")]))
    script = raw_section(pkgtools.SECTION_INSTALL_SCRIPT, b"true\n")
    return raw_package([header, data, script])


def corrupt_zlib():
    data = raw("z", {"/a": os.urandom(2000)})
    return data[:-100] + bytes(b ^ 0xFF for b in data[-100:-50]) + data[-50:]


REFUSALS = [
    # command, options, files of DIR (PACKAGE for floppies), expected message
    ("iso", (), {"a.kpk": good(), "b.kpk": good()[:-3]}, "b.kpk: the file header gives"),
    ("iso", (), {"b.kpk": b"\0" * 20}, "b.kpk: bad magic 0x00000000"),
    ("iso", (), {"b.kpk": with_last_section_longer(good())}, "runs past the end of the file"),
    ("iso", (), {"b.kpk": corrupt_zlib()}, "corrupt compressed file data"),
    ("iso", (), {"b.kpk": cut_file_data()}, "the compressed file data stops before its end"),
    ("iso", (), {"b.kpk": raw("dev", [entry("/dev/x", bytes(8), pkgtools.CHARACTER)])},
     "bad file entry 1"),
    ("iso", (), {"b.kpk": raw("../x")}, "a name the package database cannot hold"),
    ("iso", (), {"b.kpk": out_of_order()}, "a section of type 7 stands out of order"),
    ("iso", (), {"b.kpk": raw_bundle("b", [raw("system", {"/etc/rc": b"x"})], deps=["system"])},
     "setup's package menu cannot read it"),
    ("iso", (), {"b.kpk": raw("b", kind=pkgtools.SECTION_BUNDLE_HEADER)}, "a bundle without packages"),
    ("iso", (), {"readme": b"x", "sub.kpk/": None}, "sub.kpk: not a regular file"),
    ("iso", (), {"readme": b"x"}, "no package files"),
    ("iso", ("inside",), {"a.kpk": good()}, "must lie outside"),
    ("iso", ("no-path",), {"a.kpk": good()}, "install the Debian package xorriso"),
    ("volume", (), {**{f"p{i:02}.kpk": raw(f"p{i}") for i in range(51)}, "autorun.scr": AUTORUN},
     "51 packages; setup installs at most 50"),
    ("volume", (), {"a.kpk": good()}, "has no autorun.scr"),
    ("volume", (), {"a.kpk": good(), "A.kpk": good(), "autorun.scr": AUTORUN},
     "a.kpk: has the same FAT name as A.kpk"),
    ("volume", ("--size", "1"), {"a.kpk": good(), "autorun.scr": os.urandom(1 << 20)},
     "--size 1: too small"),
    ("volume", (), {"a.kpk": good()[:-1], "autorun.scr": AUTORUN}, "a.kpk: the file header"),
    ("floppies", (), {"p.kpk": good()[:-1]}, "p.kpk: the file header gives"),
    ("floppies", ("--block-size", "4"), {"p.kpk": good()}, "larger than its 4-byte CRC"),
    ("floppies", ("--group", "1", "--parity", "1"), {"p.kpk": good()}, "more blocks than parity"),
    ("floppies", ("--parity", "2"), {"p.kpk": good()}, "exactly one parity block"),
    ("floppies", ("--block-size", "2048", "--group", "513"), {"p.kpk": good()}, "above 1 MiB"),
    ("floppies", ("taken",), {"p.kpk": good()}, "holds floppy images already"),
]


@pytest.mark.parametrize("command,options,files,message", REFUSALS,
                         ids=[f"{c[0]}-{c[3][:30]}" for c in REFUSALS])
def test_refusals_write_nothing(tmp_path, command, options, files, message):
    source = tmp_path / "dir"
    write(source, {n: d for n, d in files.items() if d is not None})
    for name in (n for n, d in files.items() if d is None):
        os.makedirs(source / name)
    out_dir = tmp_path / "out"
    os.makedirs(out_dir)
    env, args = None, [o for o in options if o not in ("inside", "no-path", "taken")]
    output = out_dir / ("media.iso" if command == "iso" else "media.img")
    if "inside" in options:
        output = source / "media.iso"
    if "no-path" in options:
        env = dict(os.environ, PATH="/nonexistent")
    if "taken" in options:
        write(out_dir, {"floppy-07.img": b""})
    if command == "floppies":
        operands = [source / next(iter(files)), out_dir]
    else:
        operands = [source, output]
    status, out, err = mkmedia(command, *args, *operands, env=env)
    assert status == (2 if command == "floppies" and args else 1)
    assert message in err, err
    leftovers = sorted(os.listdir(out_dir)) + [n for n in os.listdir(source) if "mkmedia" in n
                                              or n == "media.iso"]
    assert leftovers == (["floppy-07.img"] if "taken" in options else [])


FAKE = """#!/bin/sh
n=$(cat "$0.count" 2>/dev/null || echo 0); echo $((n + 1)) > "$0.count"
[ "$n" -lt {succeed} ] && exec {real} "$@"
echo boom
{interrupt}exit 3
"""


@pytest.mark.parametrize("command,name,succeed,interrupt", [
    ("iso", "xorriso", 0, False), ("volume", "mcopy", 0, True),
    ("floppies", "mcopy", 1, False), ("floppies", "mcopy", 2, True)])
def test_failed_or_interrupted_programs_leave_nothing(tmp_path, examples, big_package, command,
                                                      name, succeed, interrupt):
    fake = tmp_path / "bin" / name
    write(tmp_path / "bin", {name: FAKE.format(succeed=succeed, real=tool("which", name).decode()
                                               .strip(), interrupt="kill -INT $PPID; " * interrupt)
                             .encode()})
    os.chmod(fake, 0o755)
    env = dict(os.environ, PATH=f"{fake.parent}:{os.environ['PATH']}")
    source = write(tmp_path / "dir", {**examples, "autorun.scr": AUTORUN})
    first = big_package if command == "floppies" else source
    os.makedirs(tmp_path / "out")
    status, _, err = mkmedia(command, first, tmp_path / "out" / "media", env=env)
    assert status == 1
    assert ("interrupted; nothing was written" if interrupt else "exit status 3; it printed:\nboom") in err
    assert os.listdir(tmp_path / "out") == []
