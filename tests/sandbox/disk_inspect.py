"""Looks at a disk image from outside, read-only, with no loop device or
mount: sector 0, the table, and the ext2/ext3 file systems of partitions
(numbered from 1), which the tools read at a byte offset ("image?offset=N").
"""
import json
import subprocess

SECTOR = 512


def sector0(image):
    with open(image, "rb") as disk:
        return disk.read(SECTOR)


def partitions(image):
    """Entries of the table, in sectors: [{number, start, size, type, bootable}]."""
    result = subprocess.run(["sfdisk", "-J", image], capture_output=True, text=True)
    if result.returncode != 0 or not result.stdout.strip():
        return []
    entries = json.loads(result.stdout)["partitiontable"].get("partitions", [])
    return [{"number": int(entry["node"][len(image):]), "start": entry["start"],
             "size": entry["size"], "type": entry["type"],
             "bootable": bool(entry.get("bootable"))} for entry in entries]


def _offset(image, number):
    for entry in partitions(image):
        if entry["number"] == number:
            return entry["start"] * SECTOR
    raise LookupError(f"{image} has no partition {number}")


def at(image, first_sector):
    """The tools' name of the file system that starts at first_sector."""
    return f"{image}?offset={first_sector * SECTOR}"


def _device(image, number):
    return at(image, _offset(image, number) // SECTOR)


def file_system_type(image, number):
    """"ext2", "ext3", ... or None when the partition holds none."""
    result = subprocess.run(["blkid", "-p", "-O", str(_offset(image, number)), "-o", "value",
                             "-s", "TYPE", image], capture_output=True, text=True)
    return result.stdout.strip() or None


def e2fsck(device):
    """e2fsck -fn: (exit status, output); 0 means clean."""
    result = subprocess.run(["e2fsck", "-fn", device], capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


def fsck(image, number):
    return e2fsck(_device(image, number))


def debugfs(device, request):
    """What debugfs printed for one request, as bytes."""
    return subprocess.run(["debugfs", "-R", request, device], capture_output=True).stdout


def read_file(image, number, path):
    """The contents of path on the partition, or None when it is not a file there."""
    if stat_path(image, number, path) is None:
        return None
    return debugfs(_device(image, number), f'cat "{path}"')


def stat_path(image, number, path):
    """{mode, uid, gid, size} of path on the partition, or None when it is missing."""
    parent, _, name = path.rstrip("/").rpartition("/")
    return list_dir(image, number, parent or "/").get(name)


def list_dir(image, number, path):
    """{name: {mode, uid, gid, size}} of a directory on the partition ({} if none)."""
    output = debugfs(_device(image, number), f'ls -p "{path}"')
    entries = {}
    for line in output.decode(errors="replace").splitlines():
        # /inode/mode/uid/gid/name/size/
        fields = line.split("/")
        if len(fields) >= 7 and fields[5] not in (".", ".."):
            entries[fields[5]] = {"mode": int(fields[2], 8), "uid": int(fields[3]),
                                  "gid": int(fields[4]),
                                  "size": int(fields[6]) if fields[6] else 0}
    return entries
