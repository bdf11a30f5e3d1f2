"""Package files for the scenario tests.

Packages (the pkgs fixture) builds real trees into package files with kpk,
so tests get the bytes the tool really makes. raw() is a small independent
encoder of the same layout, fast and able to write the malformed packages
kpk refuses to make; parse_*() decode what kpk wrote.
"""
import os
import struct
import subprocess
import tempfile
import zlib
from dataclasses import dataclass

from conftest import EMULATOR, program

MAGIC_RECORDED = 0xBAD0F11E
MAGIC_UNRECORDED = 0xDA0BF11E

SECTION_PACKAGE_HEADER = 1
SECTION_DEPENDENCIES = 3
SECTION_FILE_DATA = 4
SECTION_INSTALL_SCRIPT = 7
SECTION_UNINSTALL_SCRIPT = 8
SECTION_ARCHITECTURE = 16
SECTION_CONFLICTS = 17
SECTION_BUNDLE_HEADER = 18

REGULAR, LINK, DIRECTORY, FIFO = 0o100644, 0o120777, 0o40755, 0o10644
CHARACTER, BLOCK, SOCKET = 0o20644, 0o60644, 0o140644

T0 = 1_600_000_000

_STAGES = {"alpha": ord("a"), "beta": ord("b"), "rc": ord("c")}


def version(text):
    """The 32-bit value of a version as people write it: 2.9, 2.9.1, 2.9rc3."""
    major, rest = text.split(".", 1)
    digits = ""
    while rest and rest[0].isdigit():
        digits, rest = digits + rest[0], rest[1:]
    stage, number = ord("f"), 0
    if rest.startswith("."):
        number = int(rest[1:])
    elif rest:
        word = rest.rstrip("0123456789")
        stage = _STAGES[word]
        number = int(rest[len(word):] or 0)
    return int(major) << 24 | int(digits) << 16 | stage << 8 | number


def _version_value(v):
    """None or 0 -> 0, text -> version(text), a number as it is."""
    if v is None:
        return 0
    return version(v) if isinstance(v, str) else int(v)


# -- through kpk ---------------------------------------------------------------

def _requirement_line(key, requirement):
    """("ppp", "2.9", None) or "ppp >= 2.9" -> "depends: ppp >= 2.9"."""
    if isinstance(requirement, str):
        return f"{key}: {requirement}"
    name, minimum, maximum = (tuple(requirement) + (None, None))[:3]
    return f"{key}: {name}" + (f" >= {minimum}" if minimum else "") + (
        f" <= {maximum}" if maximum else "")


def _run_kpk(args):
    proc = subprocess.run(EMULATOR + [program("kpk")] + args, capture_output=True, timeout=300)
    if proc.returncode != 0:
        raise RuntimeError(f"kpk {' '.join(args)} failed ({proc.returncode}): "
                           f"{proc.stderr.decode('latin-1')}")


def _describe(folder, name, version, build_time, arch, depends, conflicts, extra=()):
    lines = [f"name: {name}", f"version: {version}"]
    if build_time is not None:
        lines.append(f"build-time: {build_time}")
    if arch is not None:
        lines.append(f"architecture: {arch}")
    lines += [_requirement_line("depends", r) for r in depends or []]
    lines += [_requirement_line("conflicts", r) for r in conflicts or []]
    path = os.path.join(folder, "package.desc")
    with open(path, "w") as f:
        f.write("\n".join(lines + list(extra)) + "\n")
    return path


def build_package(tree_dir, out_path, name, version, deps=None, conflicts=None, arch=None,
                  install_script=None, uninstall_script=None, unrecorded=False,
                  build_time=T0, depends=None):
    """Builds out_path from tree_dir with kpk build; returns out_path.
    deps (or depends) and conflicts: (name, minimum, maximum) tuples with
    versions as text or None, or strings such as "ppp >= 2.9"; scripts as text."""
    with tempfile.TemporaryDirectory() as folder:
        extra = []
        for key, script in (("install-script", install_script),
                            ("uninstall-script", uninstall_script)):
            if script is not None:
                path = os.path.join(folder, key)
                with open(path, "wb") as f:
                    f.write(script.encode() if isinstance(script, str) else script)
                extra.append(f"{key}: {path}")
        if unrecorded:
            extra.append("recorded: no")
        desc = _describe(folder, name, version, build_time, arch, (deps or []) + (depends or []),
                         conflicts, extra)
        _run_kpk(["build", desc, str(tree_dir), str(out_path)])
    return out_path


def build_bundle(out_path, name, version, members, deps=None, conflicts=None, arch=None,
                 build_time=T0, depends=None):
    """Builds the bundle out_path from member package files with kpk bundle."""
    with tempfile.TemporaryDirectory() as folder:
        desc = _describe(folder, name, version, build_time, arch, (deps or []) + (depends or []),
                         conflicts)
        _run_kpk(["bundle", desc, str(out_path)] + [str(m) for m in members])
    return out_path


def tree_contents(tree):
    """{absolute path: bytes, or ("link", target)} of the non-directories of
    a package tree: what the package records and places."""
    out = {}
    for folder, dirs, files in os.walk(tree):
        for name in files + [d for d in dirs if os.path.islink(os.path.join(folder, d))]:
            host = os.path.join(folder, name)
            rel = "/" + os.path.relpath(host, tree)
            if os.path.islink(host):
                out[rel] = ("link", os.readlink(host))
            else:
                with open(host, "rb") as f:
                    out[rel] = f.read()
    return out


class Built:
    """A package file with what it leaves when it is completely installed.
    str() is its path, so it goes wherever a file name does."""

    def __init__(self, name, text, path, tree=None, bundle=None, build_time=T0):
        self.name, self.label, self.path, self.bundle = name, f"{name}-{text}", str(path), bundle
        self.version = (version(text), build_time)
        with open(self.path, "rb") as f:
            self.data = f.read()
        self.contents = tree_contents(tree) if tree else {}

    def __str__(self):
        return self.path

    __fspath__ = __str__


class Packages:
    """Builds package files into a folder: make() and bundle() through kpk,
    raw() writes given bytes."""

    def __init__(self, base):
        self.base = str(base)
        os.makedirs(self.base, exist_ok=True)
        self.count = 0

    def _path(self, stem):
        self.count += 1
        return os.path.join(self.base, f"{stem}-{self.count}")

    def tree(self, files):
        """files: {relative path: bytes | str | ("link", target) | None (a directory)}."""
        tree = self._path("tree")
        os.makedirs(tree)
        for rel, content in (files or {}).items():
            path = os.path.join(tree, rel)
            if content is None:
                os.makedirs(path, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if isinstance(content, tuple):
                os.symlink(content[1], path)
            else:
                with open(path, "wb") as f:
                    f.write(content.encode() if isinstance(content, str) else content)
        return tree

    def make(self, name, version, files=None, bundle=None, **options):
        tree = self.tree(files)
        out = self._path(f"{name}-{version}") + ".kpk"
        build_package(tree, out, name, version, **options)
        return Built(name, version, out, tree, bundle, options.get("build_time", T0))

    def bundle(self, name, version, members, **options):
        out = self._path(f"{name}-{version}") + ".kpk"
        build_bundle(out, name, version, members, **options)
        return Built(name, version, out, build_time=options.get("build_time", T0))

    def raw(self, data, name="raw"):
        out = self._path(name) + ".kpk"
        with open(out, "wb") as f:
            f.write(data)
        return out


# -- the raw writer ----------------------------------------------------------------

def raw_section(section_type, payload):
    """A section: 2-byte type, 4-byte length, payload."""
    return struct.pack("<HI", section_type, len(payload)) + payload


def raw_package(sections, magic=MAGIC_RECORDED):
    """The 8-byte file header with an honest length, then the sections."""
    body = b"".join(sections)
    return struct.pack("<II", magic, len(body)) + body


def _name_field(name):
    name = name.encode() if isinstance(name, str) else name
    return name[:16].ljust(16, b"\0")


def header_record(name, version_value, build_time=T0):
    """The 32-byte header record; version as a number or text."""
    return _name_field(name) + struct.pack("<II8x", _version_value(version_value), build_time)


def requirement_list(entries):
    """A count and 32-byte entries from names or (name, minimum, maximum) tuples."""
    out = struct.pack("<H", len(entries))
    for e in entries:
        name, minimum, maximum = (e, None, None) if isinstance(e, str) else e
        out += _name_field(name) + struct.pack("<IIII", _version_value(minimum), 0,
                                               _version_value(maximum), 0)
    return out


@dataclass
class FileEntry:
    name: str
    data: bytes = b""
    mode: int = REGULAR
    uid: int = 0
    gid: int = 0
    mtime: int = T0
    size: int = None  # the stored data size; None: len(data)


def entry(name, data=b"", mode=REGULAR, size=None):
    return FileEntry(name, data, mode=mode, size=size)


def file_entry_bytes(entry):
    """One entry uncompressed: the 30-byte header, the name, the data."""
    name = entry.name.encode() if isinstance(entry.name, str) else entry.name
    size = len(entry.data) if entry.size is None else entry.size
    header = struct.pack("<HHHHI12xIH", entry.mode, entry.uid, entry.gid, 0, entry.mtime,
                         size, len(name))
    return header + name + entry.data


def file_data(entries):
    """The payload of a file data section: one zlib stream of the entries."""
    return zlib.compress(b"".join(file_entry_bytes(e) for e in entries), 6)


def _entries_of(files):
    """{path: bytes | ("link", target)} -> entries, parent directories first."""
    folders = []
    for path in files:
        parts = path.strip("/").split("/")[:-1]
        folders += ["/" + "/".join(parts[:i + 1]) for i in range(len(parts))
                    if "/" + "/".join(parts[:i + 1]) not in folders]
    out = [entry(d, mode=DIRECTORY) for d in folders]
    for path, content in files.items():
        if isinstance(content, tuple):
            out.append(entry(path, content[1].encode(), LINK))
        else:
            out.append(entry(path, content.encode() if isinstance(content, str) else content))
    return out


def raw(name, entries=None, sections=(), version="1.0", deps=(), conflicts=(), arch=None,
        install_script=None, uninstall_script=None, kind=SECTION_PACKAGE_HEADER,
        unrecorded=False, size=None, build_time=T0):
    """A package written byte by byte: the header, then architecture,
    requirements, scripts, extra sections and the file data. entries: a
    list of FileEntry, or {path: bytes} (parent directories are added).
    size pads the file to exactly that many bytes with a section every
    reader skips."""
    out = [raw_section(kind, header_record(name, version, build_time))]
    if arch:
        out.append(raw_section(SECTION_ARCHITECTURE, arch.encode()))
    if deps:
        out.append(raw_section(SECTION_DEPENDENCIES, requirement_list(list(deps))))
    if conflicts:
        out.append(raw_section(SECTION_CONFLICTS, requirement_list(list(conflicts))))
    for section_type, script in ((SECTION_INSTALL_SCRIPT, install_script),
                                 (SECTION_UNINSTALL_SCRIPT, uninstall_script)):
        if script is not None:
            out.append(raw_section(section_type, script.encode()))
    out += sections
    if isinstance(entries, dict):
        entries = _entries_of(entries)
    if entries is not None:
        out.append(raw_section(SECTION_FILE_DATA, file_data(entries)))
    if size is not None:
        out.append(raw_section(5, bytes(size - 8 - 6 - sum(map(len, out)))))
    return raw_package(out, MAGIC_UNRECORDED if unrecorded else MAGIC_RECORDED)


def raw_bundle(name, members, version="1.0", **header):
    """A bundle of raw() packages: the bundle header, then the members' sections."""
    head = raw(name, None, version=version, kind=SECTION_BUNDLE_HEADER, **header)
    return raw_package([head[8:]] + [m[8:] for m in members])


# -- an independent decoder, to check what kpk writes ----------------------------

def parse_package(data):
    """(magic, stored length, [(type, payload)]) of a well-formed package file."""
    magic, length = struct.unpack_from("<II", data, 0)
    return magic, length, [(t, data[start:start + size])
                           for t, start, size in section_offsets(data)]


def section_offsets(data):
    """[(type, start of payload, payload length)] of a package file."""
    out, offset = [], 8
    while offset < len(data):
        section_type, size = struct.unpack_from("<HI", data, offset)
        assert offset + 6 + size <= len(data), f"section at {offset} is cut short"
        out.append((section_type, offset + 6, size))
        offset += 6 + size
    return out


def parse_header_record(payload):
    """(name, version, build time) of a header record."""
    name = payload[:16].split(b"\0", 1)[0].decode("latin-1")
    v, build_time = struct.unpack_from("<II", payload, 16)
    return name, v, build_time


def parse_requirement_list(payload):
    """[(name, minimum, maximum)] of a requirement list."""
    (count,) = struct.unpack_from("<H", payload, 0)
    out = []
    for i in range(count):
        record = payload[2 + 32 * i:2 + 32 * (i + 1)]
        minimum, _, maximum, _ = struct.unpack_from("<IIII", record, 16)
        out.append((record[:16].split(b"\0", 1)[0].decode("latin-1"), minimum, maximum))
    return out


def parse_file_data(payload):
    """The FileEntry list of a file data section (the zlib stream must be whole)."""
    raw_bytes = zlib.decompress(payload)
    entries, offset = [], 0
    while offset + 30 <= len(raw_bytes):
        mode, uid, gid, _, mtime = struct.unpack_from("<HHHHI", raw_bytes, offset)
        size, name_length = struct.unpack_from("<IH", raw_bytes, offset + 24)
        name = raw_bytes[offset + 30:offset + 30 + name_length].decode("latin-1")
        start = offset + 30 + name_length
        entries.append(FileEntry(name, raw_bytes[start:start + size], mode, uid, gid, mtime))
        offset = start + size
    assert offset == len(raw_bytes), "the file data ends inside an entry"
    return entries
