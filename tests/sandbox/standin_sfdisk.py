#!/usr/bin/python3
"""/sbin/sfdisk of the sandbox: the old tool's -g, -d -uC and -q -uC in
cylinders on the sandbox's loop disks (README.md, "The stand-ins")."""
import json
import os
import re
import stat
import subprocess
import sys

sys.path.insert(0, "/.sandbox")
from inner import partitions_of  # noqa: E402

DISK_TABLE = "/.sandbox/disktab"  # a disk a line: name cylinders heads sectors
REAL_SFDISK = "/usr/sbin/sfdisk"
PARTX = "/usr/bin/partx"
LISTED_DISKS = ("hda", "hdb", "hdc", "hdd")
BOOT_AREA = 446  # bytes of sector 0 in front of the partition table


def fail(message):
    print(f"sfdisk: {message}", file=sys.stderr)
    sys.exit(1)


def load_disks():
    """{name: (cylinders, heads, sectors)} of the sandbox's disks."""
    disks = {}
    with open(DISK_TABLE) as table:
        for line in table:
            name, cylinders, heads, sectors = line.split()
            disks[name] = (int(cylinders), int(heads), int(sectors))
    return disks


def disk_of(device, disks):
    name = os.path.basename(device)
    if not device.startswith("/dev/") or name not in disks:
        fail(f"{device}: not a disk of this machine")
    return name, disks[name]


def print_geometries(disks):
    for name in LISTED_DISKS:
        if name in disks:
            cylinders, heads, sectors = disks[name]
            print(f"/dev/{name}: {cylinders} cylinders, {heads} heads, {sectors} sectors/track")


def print_dump(device, geometry):
    cylinders, heads, sectors = geometry
    per_cylinder = heads * sectors
    result = subprocess.run([REAL_SFDISK, "-J", device], capture_output=True, text=True)
    partitions = []
    if result.returncode == 0 and result.stdout.strip():
        partitions = json.loads(result.stdout)["partitiontable"].get("partitions", [])
    print(f"# partition table of {device}")
    print("unit: cylinders")
    print()
    for entry in partitions:
        start = entry["start"] // per_cylinder
        size = (entry["start"] + entry["size"]) // per_cylinder - start
        boot = ", bootable" if entry.get("bootable") else ""
        print(f"{entry['node']} : start= {start:5d}, size= {size:5d}, Id={entry['type']:>2}{boot}")


def parse_layout(text, cylinders):
    """Cylinder-unit lines -> list of (start, size, type, bootable) or None (empty)."""
    entries = []
    for line in text.splitlines():
        line = line.strip()
        if not line:
            continue
        fields = [field.strip() for field in line.split(",")]
        if len(fields) not in (3, 4) or not all(re.fullmatch(r"\d+", f) for f in fields[:2]) \
                or not re.fullmatch(r"[0-9a-fA-F]{1,2}", fields[2]) \
                or (len(fields) == 4 and fields[3] not in ("*", "-", "")):
            fail(f"unrecognised input line: {line}")
        start, size, kind = int(fields[0]), int(fields[1]), int(fields[2], 16)
        if size == 0 or kind == 0:
            entries.append(None)
            continue
        if start + size > cylinders:
            fail(f"partition {len(entries) + 1} ends after the end of the disk")
        entries.append((start, size, kind, len(fields) == 4 and fields[3] == "*"))
    if len(entries) > 4:
        fail("more than four partitions need an extended partition")
    return entries


def chs_bytes(lba, heads, sectors):
    cylinder = lba // (heads * sectors)
    if cylinder > 1023:
        return bytes([heads - 1, 0xC0 | sectors, 0xFF])
    head = (lba // sectors) % heads
    sector = lba % sectors + 1
    return bytes([head, ((cylinder >> 2) & 0xC0) | sector, cylinder & 0xFF])


def with_geometry_chs(sector0, heads, sectors):
    """The table of sector0 with cylinder/head/sector values of this geometry."""
    sector0 = bytearray(sector0)
    for slot in range(4):
        at = BOOT_AREA + 16 * slot
        first, count = int.from_bytes(sector0[at + 8:at + 12], "little"), \
            int.from_bytes(sector0[at + 12:at + 16], "little")
        if count:
            sector0[at + 1:at + 4] = chs_bytes(first, heads, sectors)
            sector0[at + 5:at + 8] = chs_bytes(first + count - 1, heads, sectors)
    return bytes(sector0)


def write_table(device, geometry, entries):
    cylinders, heads, sectors = geometry
    per_cylinder = heads * sectors
    script = ["label: dos", "unit: sectors", ""]
    for number, entry in enumerate(entries, 1):
        if entry is None:
            continue
        start, size, kind, bootable = entry
        first = start * per_cylinder if start else sectors
        count = (start + size) * per_cylinder - first
        script.append(f"{device}{number} : start={first}, size={count}, type={kind:x}"
                      + (", bootable" if bootable else ""))
    with open(device, "rb") as disk:
        before = disk.read(512)
    result = subprocess.run([REAL_SFDISK, "-q", "--wipe", "never", "--wipe-partitions", "never",
                             "--no-reread", "--no-tell-kernel", device],
                            input="\n".join(script) + "\n", text=True)
    if result.returncode != 0:
        fail(f"{device}: the table was not written")
    descriptor = os.open(device, os.O_RDWR)
    try:
        after = os.pread(descriptor, 512, 0)
        sector0 = before[:BOOT_AREA] + with_geometry_chs(after, heads, sectors)[BOOT_AREA:]
        os.pwrite(descriptor, sector0, 0)
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def kernel_partitions(device):
    """{number: device number} of the partitions the kernel knows on device."""
    whole = os.stat(device).st_rdev
    return {number: os.makedev(major, minor)
            for number, major, minor in partitions_of(os.major(whole), os.minor(whole))}


def update_partition_nodes(device, name, entries):
    """Tells the kernel the new table (deleting first what partx -u would leave
    above its last entry) and makes /dev/<name>N follow it."""
    used = {number for number, entry in enumerate(entries, 1) if entry is not None}
    for number in sorted(set(kernel_partitions(device)) - used):
        if subprocess.run([PARTX, "-d", "--nr", str(number), device]).returncode != 0:
            fail(f"{device}{number} is in use")
    if used and subprocess.run([PARTX, "-u", device]).returncode != 0:
        fail(f"{device}: the kernel did not take the new table")
    present = {f"/dev/{name}{number}": rdev for number, rdev in kernel_partitions(device).items()}
    for node in os.listdir("/dev"):
        path = f"/dev/{node}"
        if re.fullmatch(rf"{name}\d+", node) and path not in present:
            os.unlink(path)
    for path, rdev in present.items():
        if os.path.exists(path):
            os.unlink(path)
        os.mknod(path, 0o660 | stat.S_IFBLK, rdev)


def main(args):
    disks = load_disks()
    if args == ["-g"]:
        print_geometries(disks)
        return 0
    options, devices = [a for a in args if a.startswith("-")], [a for a in args if a[0] != "-"]
    if len(devices) != 1 or "-uC" not in options:
        fail("usage: sfdisk -g | sfdisk -d -uC DEVICE | sfdisk -q -uC DEVICE < layout")
    name, geometry = disk_of(devices[0], disks)
    if "-d" in options:
        print_dump(devices[0], geometry)
        return 0
    entries = parse_layout(sys.stdin.read(), geometry[0])
    write_table(devices[0], geometry, entries)
    update_partition_nodes(devices[0], name, entries)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
