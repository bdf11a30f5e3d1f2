"""Package files for the scenario tests.

build_package() and build_bundle() write a description file and call kpk,
so tests get the bytes the tool really makes. The raw writer below it
(raw_package, raw_section, header_record, requirement_list, file_data) is a
small independent encoder of the same layout for malformed packages that
kpk refuses to write.
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
SECTION_DESCRIPTION = 2
SECTION_DEPENDENCIES = 3
SECTION_FILE_DATA = 4
SECTION_INSTALL_SCRIPT = 7
SECTION_UNINSTALL_SCRIPT = 8
SECTION_ARCHITECTURE = 16
SECTION_CONFLICTS = 17
SECTION_BUNDLE_HEADER = 18

DEFAULT_BUILD_TIME = 1_600_000_000

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
    text = f"{key}: {name}"
    if minimum:
        text += f" >= {minimum}"
    if maximum:
        text += f" <= {maximum}"
    return text


def _script_file(folder, name, script):
    """Scripts are given as their text (str or bytes); kpk reads them from files."""
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(script.encode() if isinstance(script, str) else script)
    return path


def _run_kpk(args):
    proc = subprocess.run(EMULATOR + [program("kpk")] + args, capture_output=True, timeout=300)
    if proc.returncode != 0:
        raise RuntimeError(f"kpk {' '.join(args)} failed ({proc.returncode}): "
                           f"{proc.stderr.decode('latin-1')}")
    return proc


def build_package(tree_dir, out_path, name, version, deps=None, conflicts=None, arch=None,
                  install_script=None, uninstall_script=None, unrecorded=False,
                  build_time=DEFAULT_BUILD_TIME, description=None, root_owner=False,
                  depends=None):
    """Builds out_path from tree_dir with kpk build; returns out_path.

    deps (or depends) and conflicts: lists of (name, minimum, maximum) with
    versions as text or None, or of strings such as "ppp >= 2.9".
    """
    with tempfile.TemporaryDirectory() as folder:
        lines = [f"name: {name}", f"version: {version}"]
        if build_time is not None:
            lines.append(f"build-time: {build_time}")
        if arch is not None:
            lines.append(f"architecture: {arch}")
        for line in (description.splitlines() if description else []):
            lines.append(f"description: {line}")
        for requirement in (deps or []) + (depends or []):
            lines.append(_requirement_line("depends", requirement))
        for requirement in conflicts or []:
            lines.append(_requirement_line("conflicts", requirement))
        if install_script is not None:
            lines.append("install-script: " + _script_file(folder, "install", install_script))
        if uninstall_script is not None:
            lines.append("uninstall-script: " + _script_file(folder, "uninstall", uninstall_script))
        if unrecorded:
            lines.append("recorded: no")
        desc = os.path.join(folder, "package.desc")
        with open(desc, "w") as f:
            f.write("\n".join(lines) + "\n")
        _run_kpk(["build"] + (["--root-owner"] if root_owner else []) +
                 [desc, str(tree_dir), str(out_path)])
    return out_path


def build_bundle(out_path, name, version, members, deps=None, conflicts=None, arch=None,
                 build_time=DEFAULT_BUILD_TIME, depends=None):
    """Builds the bundle out_path from member package files with kpk bundle."""
    with tempfile.TemporaryDirectory() as folder:
        lines = [f"name: {name}", f"version: {version}"]
        if build_time is not None:
            lines.append(f"build-time: {build_time}")
        if arch is not None:
            lines.append(f"architecture: {arch}")
        for requirement in (deps or []) + (depends or []):
            lines.append(_requirement_line("depends", requirement))
        for requirement in conflicts or []:
            lines.append(_requirement_line("conflicts", requirement))
        desc = os.path.join(folder, "bundle.desc")
        with open(desc, "w") as f:
            f.write("\n".join(lines) + "\n")
        _run_kpk(["bundle", desc, str(out_path)] + [str(m) for m in members])
    return out_path


# -- the raw writer, for malformed packages -------------------------------------

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


def header_record(name, version_value, build_time=DEFAULT_BUILD_TIME):
    """The 32-byte header record; version as a number or text."""
    return _name_field(name) + struct.pack("<II8x", _version_value(version_value), build_time)


def requirement_list(entries):
    """A count and 32-byte entries from (name, minimum, maximum) tuples."""
    out = struct.pack("<H", len(entries))
    for name, minimum, maximum in entries:
        out += _name_field(name) + struct.pack("<IIII", _version_value(minimum), 0,
                                               _version_value(maximum), 0)
    return out


@dataclass
class FileEntry:
    name: str
    data: bytes = b""
    mode: int = 0o100644
    uid: int = 0
    gid: int = 0
    mtime: int = DEFAULT_BUILD_TIME
    size: int = None  # the stored data size; None: len(data)


def file_entry_bytes(entry):
    """One entry uncompressed: the 30-byte header, the name, the data."""
    name = entry.name.encode() if isinstance(entry.name, str) else entry.name
    size = len(entry.data) if entry.size is None else entry.size
    header = struct.pack("<HHHHI12xIH", entry.mode, entry.uid, entry.gid, 0, entry.mtime,
                         size, len(name))
    return header + name + entry.data


def file_data(entries, raw_tail=b""):
    """The payload of a file data section: one zlib stream of the entries."""
    return zlib.compress(b"".join(file_entry_bytes(e) for e in entries) + raw_tail, 6)


# -- an independent decoder, to check what kpk writes ----------------------------

def parse_package(data):
    """(magic, stored length, [(type, payload)]) of a well-formed package file."""
    magic, length = struct.unpack_from("<II", data, 0)
    sections, offset = [], 8
    while offset < len(data):
        section_type, size = struct.unpack_from("<HI", data, offset)
        payload = data[offset + 6:offset + 6 + size]
        assert len(payload) == size, f"section at {offset} is cut short"
        sections.append((section_type, payload))
        offset += 6 + size
    return magic, length, sections


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
        name = record[:16].split(b"\0", 1)[0].decode("latin-1")
        minimum, _, maximum, _ = struct.unpack_from("<IIII", record, 16)
        out.append((name, minimum, maximum))
    return out


def parse_file_data(payload):
    """The FileEntry list of a file data section (the zlib stream must be whole)."""
    raw = zlib.decompress(payload)
    entries, offset = [], 0
    while offset + 30 <= len(raw):
        mode, uid, gid, _, mtime = struct.unpack_from("<HHHHI", raw, offset)
        size, name_length = struct.unpack_from("<IH", raw, offset + 24)
        name = raw[offset + 30:offset + 30 + name_length].decode("latin-1")
        start = offset + 30 + name_length
        entries.append(FileEntry(name, raw[start:start + size], mode, uid, gid, mtime))
        offset = start + size
    assert offset == len(raw), "the file data ends inside an entry"
    return entries
