"""Looks at a disk image from outside, read-only: sector 0, the partition
table, and the ext2/ext3 file systems of its partitions.

No loop device and no mount: the machine's tools read the image file
directly, a partition addressed by its byte offset ("image?offset=N").
Partitions are numbered from 1 as in the table.
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


def _device(image, number):
    for entry in partitions(image):
        if entry["number"] == number:
            return f"{image}?offset={entry['start'] * SECTOR}"
    raise LookupError(f"{image} has no partition {number}")


def file_system_type(image, number):
    """"ext2", "ext3", ... or None when the partition holds none."""
    start = next(e["start"] for e in partitions(image) if e["number"] == number)
    result = subprocess.run(["blkid", "-p", "-O", str(start * SECTOR), "-o", "value",
                             "-s", "TYPE", image], capture_output=True, text=True)
    return result.stdout.strip() or None


def fsck(image, number):
    """e2fsck -fn of a partition: (exit status, output); 0 means clean."""
    result = subprocess.run(["e2fsck", "-fn", _device(image, number)], capture_output=True,
                            text=True)
    return result.returncode, result.stdout + result.stderr


def _debugfs(image, number, request):
    result = subprocess.run(["debugfs", "-R", request, _device(image, number)],
                            capture_output=True)
    return result.stdout, result.stderr.decode(errors="replace")


def read_file(image, number, path):
    """The contents of path on the partition, or None when it is not a file there."""
    if stat_path(image, number, path) is None:
        return None
    data, _ = _debugfs(image, number, f'cat "{path}"')
    return data


def stat_path(image, number, path):
    """{mode, uid, gid, size} of path on the partition, or None when it is missing."""
    parent, _, name = path.rstrip("/").rpartition("/")
    return list_dir(image, number, parent or "/").get(name)


def list_dir(image, number, path):
    """{name: {mode, uid, gid, size}} of a directory on the partition ({} if none)."""
    output, errors = _debugfs(image, number, f'ls -p "{path}"')
    entries = {}
    for line in output.decode(errors="replace").splitlines():
        # /inode/mode/uid/gid/name/size/
        fields = line.split("/")
        if len(fields) >= 7 and fields[5] not in (".", ".."):
            entries[fields[5]] = {"mode": int(fields[2], 8), "uid": int(fields[3]),
                                  "gid": int(fields[4]),
                                  "size": int(fields[6]) if fields[6] else 0}
    return entries
