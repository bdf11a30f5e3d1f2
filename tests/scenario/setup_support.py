"""What the scenario tests of setup share: the sandbox, the boot program
as built, and a look at a disk image from outside (read-only, through the
file system tools' "image?offset=" form, no loop device)."""
import hashlib
import os
import struct
import subprocess
import sys

from conftest import BUILD_DIR, SOURCE_DIR, program

sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "sandbox"))
from sandbox import Disk, Sandbox  # noqa: E402,F401

BOOT_PROGRAM = os.path.join(BUILD_DIR, "setup", "boot", "boot_program.bin")


def boot_program():
    with open(BOOT_PROGRAM, "rb") as f:
        code = f.read()
    return code + bytes(184 - len(code))


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


def fs(image, first_sector):
    return f"{image}?offset={first_sector * 512}"


def e2fsck_clean(image, first_sector):
    result = subprocess.run(["e2fsck", "-fn", fs(image, first_sector)], capture_output=True,
                            text=True)
    return result.returncode == 0, result.stdout + result.stderr


def cat(image, first_sector, path):
    result = subprocess.run(["debugfs", "-R", f"cat {path}", fs(image, first_sector)],
                            capture_output=True)
    return result.stdout


def features(image, first_sector):
    result = subprocess.run(["dumpe2fs", "-h", fs(image, first_sector)], capture_output=True,
                            text=True)
    return result.stdout


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def build_examples(out, names):
    """The example packages of examples/, built with kpk into out."""
    kpk = program("kpk")
    for name in names:
        folder = os.path.join(SOURCE_DIR, "examples", name)
        subprocess.run([kpk, "build", "--reproducible", f"{folder}/package.desc",
                        f"{folder}/tree", os.path.join(out, f"{name}.kpk")],
                       check=True, capture_output=True)
    return out


def inode_facts(image, first_sector, path):
    """(permission bits, uid, gid, mtime) of a path on a file system, or None."""
    result = subprocess.run(["debugfs", "-R", f"stat {path}", fs(image, first_sector)],
                            capture_output=True, text=True)
    fields = result.stdout.split()
    if "Mode:" not in fields:
        return None
    mode = int(fields[fields.index("Mode:") + 1], 8)
    uid = int(fields[fields.index("User:") + 1])
    gid = int(fields[fields.index("Group:") + 1])
    mtime = int(fields[fields.index("mtime:") + 1].split(":")[0], 16)
    return mode, uid, gid, mtime
