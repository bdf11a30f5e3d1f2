"""Package files: Packages builds trees with kpk, raw() encodes what kpk refuses to make, parse_*() decode."""
import os
import re
import struct
import subprocess
import tempfile
import zlib
from dataclasses import dataclass

from conftest import EMULATOR, program

MAGIC_RECORDED, MAGIC_UNRECORDED = 0xBAD0F11E, 0xDA0BF11E
SECTION_PACKAGE_HEADER, SECTION_DEPENDENCIES, SECTION_FILE_DATA = 1, 3, 4
SECTION_INSTALL_SCRIPT, SECTION_UNINSTALL_SCRIPT = 7, 8
SECTION_ARCHITECTURE, SECTION_CONFLICTS, SECTION_BUNDLE_HEADER = 16, 17, 18
REGULAR, LINK, DIRECTORY, FIFO = 0o100644, 0o120777, 0o40755, 0o10644
CHARACTER, BLOCK, SOCKET = 0o20644, 0o60644, 0o140644
T0 = 1_600_000_000


def version(text):
    """The 32-bit value of a version as people write it: 2.9, 2.9.1, 2.9rc3."""
    major, minor, word, number = re.fullmatch(r"(\d+)\.(\d+)(\.|alpha|beta|rc|)(\d*)", text).groups()
    stage = {"alpha": "a", "beta": "b", "rc": "c"}.get(word, "f")
    return int(major) << 24 | int(minor) << 16 | ord(stage) << 8 | int(number or 0)


def _version_value(v):  # None -> 0, text -> version(text), a number as it is
    return version(v) if isinstance(v, str) else int(v or 0)


# -- through kpk ---------------------------------------------------------------

def _kpk(command, out_path, inputs, name, text, deps, conflicts, arch, build_time, scripts=(), extra=()):
    """Runs kpk on a description; scripts are (key, text); requirements (name, minimum, maximum) or text."""
    def line(key, r):
        if isinstance(r, str):
            return f"{key}: {r}"
        name, minimum, maximum = (tuple(r) + (None, None))[:3]
        return f"{key}: {name}" + (f" >= {minimum}" if minimum else "") + (f" <= {maximum}" if maximum else "")
    lines = [f"name: {name}", f"version: {text}"] + (
        [f"build-time: {build_time}"] if build_time is not None else []) + (
        [f"architecture: {arch}"] if arch is not None else []) + [
        line("depends", r) for r in deps] + [line("conflicts", r) for r in conflicts or []] + list(extra)
    with tempfile.TemporaryDirectory() as folder:
        for key, script in scripts:
            open(os.path.join(folder, key), "wb").write(script.encode() if isinstance(script, str) else script)
            lines.append(f"{key}: {os.path.join(folder, key)}")
        desc = os.path.join(folder, "package.desc")
        open(desc, "w").write("\n".join(lines) + "\n")
        tree, members = ([str(inputs)], []) if command == "build" else ([], [str(m) for m in inputs])
        proc = subprocess.run(EMULATOR + [program("kpk"), command, desc, *tree, str(out_path), *members],
                              capture_output=True, timeout=300)
        if proc.returncode != 0:
            raise RuntimeError(f"kpk {command} failed ({proc.returncode}): {proc.stderr.decode('latin-1')}")
    return out_path


def build_package(tree_dir, out_path, name, version, deps=None, conflicts=None, arch=None, install_script=None,
                  uninstall_script=None, unrecorded=False, build_time=T0, depends=None):
    """Builds out_path from tree_dir with kpk build; scripts as text."""
    scripts = [(k, s) for k, s in (("install-script", install_script), ("uninstall-script", uninstall_script))
               if s is not None]
    return _kpk("build", out_path, tree_dir, name, version, (deps or []) + (depends or []), conflicts, arch,
                build_time, scripts, ["recorded: no"] if unrecorded else [])


def build_bundle(out_path, name, version, members, deps=None, conflicts=None, arch=None, build_time=T0,
                 depends=None):
    """Builds the bundle out_path from member package files with kpk bundle."""
    return _kpk("bundle", out_path, members, name, version, (deps or []) + (depends or []), conflicts, arch,
                build_time)


def tree_contents(tree):
    """{absolute path: bytes | ("link", target)} of a tree's non-directories: what its package records."""
    out = {}
    for folder, dirs, files in os.walk(tree):
        for name in files + [d for d in dirs if os.path.islink(os.path.join(folder, d))]:
            host = os.path.join(folder, name)
            out["/" + os.path.relpath(host, tree)] = (
                ("link", os.readlink(host)) if os.path.islink(host) else open(host, "rb").read())
    return out


class Built:
    """A package file with what it leaves when completely installed; str() is its path."""

    def __init__(self, name, text, path, tree=None, bundle=None, build_time=T0):
        self.name, self.path, self.bundle = name, str(path), bundle
        self.version = (version(text), build_time)
        self.data = open(self.path, "rb").read()
        self.contents = tree_contents(tree) if tree else {}

    def __str__(self):
        return self.path

    __fspath__ = __str__


class Packages:
    """Builds package files into a folder: make() and bundle() through kpk, raw() of given bytes."""

    def __init__(self, base):
        self.base, self.count = str(base), 0
        os.makedirs(self.base, exist_ok=True)

    def _path(self, stem):
        self.count += 1
        return os.path.join(self.base, f"{stem}-{self.count}")

    def make(self, name, version, files=None, bundle=None, **options):
        """files: {relative path: bytes | str | ("link", target) | None (a directory)}."""
        tree = self._path("tree")
        os.makedirs(tree)
        for rel, content in (files or {}).items():
            path = os.path.join(tree, rel)
            os.makedirs(path if content is None else os.path.dirname(path), exist_ok=True)
            if isinstance(content, tuple):
                os.symlink(content[1], path)
            elif content is not None:
                open(path, "wb").write(content.encode() if isinstance(content, str) else content)
        out = build_package(tree, self._path(f"{name}-{version}") + ".kpk", name, version, **options)
        return Built(name, version, out, tree, bundle, options.get("build_time", T0))

    def bundle(self, name, version, members, **options):
        out = build_bundle(self._path(f"{name}-{version}") + ".kpk", name, version, members, **options)
        return Built(name, version, out, build_time=options.get("build_time", T0))

    def raw(self, data, name="raw"):
        out = self._path(name) + ".kpk"
        open(out, "wb").write(data)
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
    return (name.encode() if isinstance(name, str) else name)[:16].ljust(16, b"\0")


def header_record(name, version_value, build_time=T0):
    """The 32-byte header record; version as a number or text."""
    return _name_field(name) + struct.pack("<II8x", _version_value(version_value), build_time)


def requirement_list(entries):
    """A count and 32-byte entries from names or (name, minimum, maximum) tuples."""
    out = struct.pack("<H", len(entries))
    for e in entries:
        name, minimum, maximum = (e, None, None) if isinstance(e, str) else e
        out += _name_field(name) + struct.pack("<IIII", _version_value(minimum), 0, _version_value(maximum), 0)
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
    return struct.pack("<HHHHI12xIH", entry.mode, entry.uid, entry.gid, 0, entry.mtime, size,
                       len(name)) + name + entry.data


def file_data(entries):
    """The payload of a file data section: one zlib stream of the entries."""
    return zlib.compress(b"".join(file_entry_bytes(e) for e in entries), 6)


def _entries_of(files):
    """{path: bytes | ("link", target)} -> entries, parent directories first."""
    folders = []
    for path in files:
        parts = path.strip("/").split("/")[:-1]
        folders += [d for d in ("/" + "/".join(parts[:i + 1]) for i in range(len(parts))) if d not in folders]
    return [entry(d, mode=DIRECTORY) for d in folders] + [
        entry(path, c[1].encode(), LINK) if isinstance(c, tuple) else entry(path, c.encode() if isinstance(
            c, str) else c) for path, c in files.items()]


def raw(name, entries=None, sections=(), version="1.0", deps=(), conflicts=(), arch=None, install_script=None,
        uninstall_script=None, kind=SECTION_PACKAGE_HEADER, unrecorded=False, size=None, build_time=T0):
    """A package byte by byte; entries: FileEntry list or {path: bytes} (parents added); size pads it."""
    out = [raw_section(kind, header_record(name, version, build_time))]
    optional = [(SECTION_ARCHITECTURE, arch and arch.encode()),
                (SECTION_DEPENDENCIES, deps and requirement_list(list(deps))),
                (SECTION_CONFLICTS, conflicts and requirement_list(list(conflicts))),
                (SECTION_INSTALL_SCRIPT, install_script is not None and install_script.encode()),
                (SECTION_UNINSTALL_SCRIPT, uninstall_script is not None and uninstall_script.encode())]
    out += [raw_section(t, payload) for t, payload in optional if isinstance(payload, bytes)]
    out += sections
    if entries is not None:
        out.append(raw_section(SECTION_FILE_DATA, file_data(
            _entries_of(entries) if isinstance(entries, dict) else entries)))
    if size is not None:
        out.append(raw_section(5, bytes(size - 8 - 6 - sum(map(len, out)))))
    return raw_package(out, MAGIC_UNRECORDED if unrecorded else MAGIC_RECORDED)


def raw_bundle(name, members, version="1.0", **header):
    """A bundle of raw() packages: the bundle header, then the members' sections."""
    head = raw(name, None, version=version, kind=SECTION_BUNDLE_HEADER, **header)
    return raw_package([head[8:]] + [m[8:] for m in members])


# -- an independent decoder, to check what kpk writes ----------------------------

def section_offsets(data):
    """[(type, start of payload, payload length)] of a package file."""
    out, offset = [], 8
    while offset < len(data):
        section_type, size = struct.unpack_from("<HI", data, offset)
        assert offset + 6 + size <= len(data), f"section at {offset} is cut short"
        out.append((section_type, offset + 6, size))
        offset += 6 + size
    return out


def parse_package(data):
    """(magic, stored length, [(type, payload)]) of a well-formed package file."""
    magic, length = struct.unpack_from("<II", data, 0)
    return magic, length, [(t, data[start:start + size]) for t, start, size in section_offsets(data)]


def _name_of(field):
    return field[:16].split(b"\0", 1)[0].decode("latin-1")


def parse_header_record(payload):
    """(name, version, build time) of a header record."""
    return (_name_of(payload), *struct.unpack_from("<II", payload, 16))


def parse_requirement_list(payload):
    """[(name, minimum, maximum)] of a requirement list."""
    records = [payload[2 + 32 * i:34 + 32 * i] for i in range(struct.unpack_from("<H", payload)[0])]
    return [(_name_of(r), *struct.unpack_from("<I4xI", r, 16)) for r in records]


def parse_file_data(payload):
    """The FileEntry list of a file data section (the zlib stream must be whole)."""
    raw_bytes, entries, offset = zlib.decompress(payload), [], 0
    while offset + 30 <= len(raw_bytes):
        mode, uid, gid, _, mtime = struct.unpack_from("<HHHHI", raw_bytes, offset)
        size, name_length = struct.unpack_from("<IH", raw_bytes, offset + 24)
        start = offset + 30 + name_length
        name = raw_bytes[offset + 30:start].decode("latin-1")
        entries.append(FileEntry(name, raw_bytes[start:start + size], mode, uid, gid, mtime))
        offset = start + size
    assert offset == len(raw_bytes), "the file data ends inside an entry"
    return entries
