"""What an installed disk image must hold, read on the host without loop
devices or mounts. Each check returns a list of problems (empty: good)."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sandbox"))
import disk_inspect  # noqa: E402

SECTOR = 512
HEADS = 16
SECTORS = 63
CYLINDER_BYTES = HEADS * SECTORS * SECTOR
BOOT_PROGRAM_SIZE = 184


def disk_image(path, cylinders):
    with open(path, "wb") as image:
        image.truncate(cylinders * CYLINDER_BYTES)
    return path


class Layout:
    """From 1024 cylinders a 10 MiB ext2 boot partition before the root;
    ext3 above 40 MiB."""

    def __init__(self, cylinders):
        self.cylinders = cylinders
        self.separate_boot = cylinders >= 1024
        self.journaled = cylinders * CYLINDER_BYTES > 40 * 1024 * 1024
        per_cylinder = HEADS * SECTORS
        if self.separate_boot:
            boot = (CYLINDER_BYTES + 10 * 1024 * 1024 - 1) // CYLINDER_BYTES
            self.partitions = [(SECTORS, boot * per_cylinder - SECTORS),
                               (boot * per_cylinder, (cylinders - boot) * per_cylinder)]
        else:
            self.partitions = [(SECTORS, cylinders * per_cylinder - SECTORS)]
        self.root = len(self.partitions)
        self.root_type = "ext3" if self.journaled else "ext2"

    def lilo_conf(self, disk="/dev/hda"):
        return (f"boot={disk}1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\n"
                f"image=/boot/vmlinuz\n  label=System\n  root={disk}{self.root}\n  read-only\n")

    def fstab(self, disk="/dev/hda"):
        if self.separate_boot:
            text = (f"{disk}2  /     {self.root_type} defaults 1 1\n"
                    f"{disk}1  /boot ext2 defaults 1 2\n")
        else:
            text = f"{disk}1  /     {self.root_type} defaults 1 1\n"
        return text + "none /proc proc defaults 0 0\nnone /dev/pts devpts gid=5,mode=620 0 0\n"


def check_sector0(image, boot_program):
    sector = disk_inspect.sector0(image)
    problems = []
    if sector[:BOOT_PROGRAM_SIZE] != boot_program[:BOOT_PROGRAM_SIZE]:
        problems.append("sector 0 does not begin with the boot program")
    if any(sector[184:256]) or any(sector[336:446]):
        problems.append("sector 0: bytes 184..255 or 336..445 are not zero")
    if sector[510:] != b"\x55\xaa":
        problems.append(f"sector 0 ends with {sector[510:].hex()}, not 55aa")
    return problems


def check_partitions(image, layout):
    found = [(e["number"], e["start"], e["size"], e["type"], e["bootable"])
             for e in disk_inspect.partitions(image)]
    wanted = [(n, start, size, "83", True) for n, (start, size) in enumerate(layout.partitions, 1)]
    if found != wanted:
        return [f"partition table {found}, expected {wanted}"]
    problems = []
    for number in range(1, len(wanted) + 1):
        kind = disk_inspect.file_system_type(image, number)
        expected = layout.root_type if number == layout.root else "ext2"
        if kind != expected:
            problems.append(f"partition {number} holds {kind}, expected {expected}")
        status, output = disk_inspect.fsck(image, number)
        if status != 0:
            problems.append(f"e2fsck -fn of partition {number}: status {status}\n{output}")
    return problems


class RootTree:
    """The root file system copied out once with debugfs's rdump (modes kept)."""

    def __init__(self, image, number):
        self.image, self.number = image, number

    def __enter__(self):
        self.directory = tempfile.mkdtemp(prefix="tess-emulator-root-")
        start = next(e["start"] for e in disk_inspect.partitions(self.image)
                     if e["number"] == self.number)
        subprocess.run(["debugfs", "-R", f"rdump / {self.directory}",
                        f"{self.image}?offset={start * SECTOR}"], capture_output=True, check=True)
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.directory)

    def path(self, name):
        return os.path.join(self.directory, name.lstrip("/"))

    def read(self, name):
        try:
            with open(self.path(name), "rb") as data:
                return data.read()
        except OSError:
            return None

    def exists(self, name):
        return os.path.lexists(self.path(name))


def check_system_files(root, layout, markers, absent):
    """markers: {path: the contents it must have, or None for any}."""
    problems = []
    expected = dict(markers, **{"/etc/lilo.conf": layout.lilo_conf().encode(),
                                "/etc/fstab": layout.fstab().encode()})
    for name, data in expected.items():
        if data is not None and root.read(name) != data:
            problems.append(f"{name} is {root.read(name)!r}, expected {data!r}")
    if root.exists("/.nofsck") != layout.journaled:
        problems.append(f"/.nofsck {'missing' if layout.journaled else 'present'}")
    for name in ("/proc", "/kest/etc", "/var/pdb", "/postlog") + tuple(markers):
        if not root.exists(name):
            problems.append(f"{name} is missing")
    problems += [f"{name} should not be there" for name in absent if root.exists(name)]
    return problems


def version_word(text):
    """The database's number for a version text: 2.9.1, 1.0, 0.9beta2, 2.9rc3."""
    match = re.fullmatch(r"(\d+)\.(\d+)(?:\.(\d+)|(alpha|beta|rc)(\d*))?", text)
    major, minor, patch, stage, number = match.groups()
    letter = {"alpha": "a", "beta": "b", "rc": "c"}.get(stage, "f")
    return int(major) << 24 | int(minor) << 16 | ord(letter) << 8 | int(patch or number or 0)


def check_packages(root, packages):
    """packages: {name: (version, tree or list of trees)}, exactly the
    installed set, every entry of each tree on the disk with its contents and mode."""
    problems = []
    installed = set(os.listdir(root.path("/var/pdb"))) if root.exists("/var/pdb") else set()
    if installed != set(packages):
        problems.append(f"the database holds {sorted(installed)}, expected {sorted(packages)}")
    for name, (version, trees) in sorted(packages.items()):
        record = (root.read(f"/var/pdb/{name}/version") or b"").split()
        if not record or int(record[0]) != version_word(version):
            problems.append(f"/var/pdb/{name}/version is {record}, expected {version}")
        listed = set((root.read(f"/var/pdb/{name}/files") or b"").decode().splitlines())
        for tree in [trees] if isinstance(trees, str) else trees:
            problems += check_tree_copy(root, tree, "/", f"{name}: ", listed)
    return problems


def check_tree_copy(root, tree, below, label="", listed=None):
    """Every entry of tree is at below/... on the disk with its contents and
    mode; listed: the package's file list, which must name every file."""
    problems = []
    originals = sorted(os.path.join(top, name) for top, directories, files in os.walk(tree)
                       for name in directories + files)
    for original in originals:
        path, info = os.path.relpath(original, tree), os.lstat(original)
        name = os.path.join(below, path)
        on_disk = root.path(name)
        if not os.path.lexists(on_disk):
            problems.append(f"{label}{name} is missing")
        elif os.path.islink(original):
            if not os.path.islink(on_disk) or os.readlink(on_disk) != os.readlink(original):
                problems.append(f"{label}{name} is not the expected link")
        elif (os.lstat(on_disk).st_mode ^ info.st_mode) & 0o7777:
            problems.append(f"{label}{name} has mode {os.lstat(on_disk).st_mode:o}, "
                            f"expected {info.st_mode:o}")
        elif os.path.isfile(original):
            if listed is not None and path not in listed:
                problems.append(f"{label}{name} is not in its file list")
            with open(original, "rb") as data:
                if root.read(name) != data.read():
                    problems.append(f"{label}{name} differs from the package's file")
    return problems
