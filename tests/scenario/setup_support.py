"""What the scenario tests of setup share: the sandbox, the boot program,
packages and a read-only look at disk images from outside."""
import hashlib
import os
import struct
import subprocess
import sys

from conftest import BUILD_DIR, SOURCE_DIR, program

sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "sandbox"))
from sandbox import Disk, Sandbox  # noqa: E402,F401
from disk_inspect import at as fs, debugfs, e2fsck  # noqa: E402

BOOT_PROGRAM = os.path.join(BUILD_DIR, "setup", "boot", "boot_program.bin")
EXAMPLES = ("system", "ppp-2.9", "dhcp-1.2")
AUTORUN = b"#!/bin/bash\nhostname router-7\n"


def boot_program():
    with open(BOOT_PROGRAM, "rb") as f:
        return f.read().ljust(184, b"\0")


def mbr_file():
    """What a volume carries as "mbr": the boot program and a signature."""
    return boot_program() + bytes(510 - 184) + b"\x55\xaa"


def partitions(image):
    """(boot flag, type, first sector, sectors) of the four table entries."""
    with open(image, "rb") as f:
        sector = f.read(512)
    assert sector[510:] == b"\x55\xaa"
    return [(e[0], e[4], *struct.unpack("<II", e[8:16]))
            for e in (sector[446 + 16 * i:462 + 16 * i] for i in range(4))]


def e2fsck_clean(image, first_sector):
    status, report = e2fsck(fs(image, first_sector))
    return status == 0, report


def cat(image, first_sector, path):
    return debugfs(fs(image, first_sector), f"cat {path}")


def features(image, first_sector):
    result = subprocess.run(["dumpe2fs", "-h", fs(image, first_sector)], capture_output=True,
                            text=True)
    return result.stdout


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def reboot_at_prompt(box, timeout=60):
    """ENTER at setup's last prompt; how the run ended."""
    box.console.expect("Press ENTER to reboot")
    box.console.send("\n")
    return box.wait(timeout=timeout)


def write_files(folder, files):
    """Writes {name: bytes} into folder (made if missing); returns the folder."""
    os.makedirs(folder, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    return str(folder)


def build_examples(out, names=EXAMPLES):
    """The example packages of examples/, built with kpk into out."""
    kpk = program("kpk")
    for name in names:
        folder = os.path.join(SOURCE_DIR, "examples", name)
        subprocess.run([kpk, "build", "--reproducible", f"{folder}/package.desc",
                        f"{folder}/tree", os.path.join(out, f"{name}.kpk")],
                       check=True, capture_output=True)
    return out


def example_bytes(out):
    """{file name: bytes} of the example packages, built into out."""
    build_examples(out)
    return {f"{name}.kpk": (out / f"{name}.kpk").read_bytes() for name in EXAMPLES}


def inode_facts(image, first_sector, path):
    """(permission bits, uid, gid, mtime) of a path on a file system, or None."""
    fields = debugfs(fs(image, first_sector), f"stat {path}").decode(errors="replace").split()
    if "Mode:" not in fields:
        return None
    mode = int(fields[fields.index("Mode:") + 1], 8)
    uid = int(fields[fields.index("User:") + 1])
    gid = int(fields[fields.index("Group:") + 1])
    mtime = int(fields[fields.index("mtime:") + 1].split(":")[0], 16)
    return mode, uid, gid, mtime
