#!/usr/bin/python3
"""The README's demonstration: routers installed in the sandbox from a CD
image and a hard-disk volume made by mkmedia, console shown, disks examined.

    demo.py BUILD_DIR WORK_DIR
"""
import os
import sys

import pexpect

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import disk_inspect  # noqa: E402
from sandbox import Disk, Sandbox, Transcript, unpack_fat_image, unpack_iso_image  # noqa: E402


def say(text):
    print(f"\n== {text}", flush=True)


def version_text(word):
    """A recorded version number as people write it: 1.0, 2.9.1, 0.9beta2."""
    value = int(word)
    major, minor, stage, number = value >> 24, value >> 16 & 255, value >> 8 & 255, value & 255
    if chr(stage) == "f":
        return f"{major}.{minor}" + (f".{number}" if number else "")
    return f"{major}.{minor}{ {'a': 'alpha', 'b': 'beta', 'c': 'rc'}.get(chr(stage), '?') }{number}"


def show_disk(image):
    """What a person would check on the installed disk."""
    for entry in disk_inspect.partitions(image):
        print(f"   partition {entry['number']}: start sector {entry['start']}, "
              f"{entry['size']} sectors, type {entry['type']}"
              f"{', bootable' if entry['bootable'] else ''}, "
              f"{disk_inspect.file_system_type(image, entry['number'])}, "
              f"e2fsck -fn status {disk_inspect.fsck(image, entry['number'])[0]}")
    root = disk_inspect.partitions(image)[-1]["number"]
    for path in ("/etc/lilo.conf", "/etc/fstab"):
        print(f"   {path}:")
        for line in (disk_inspect.read_file(image, root, path) or b"").decode().splitlines():
            print(f"      {line}")
    print("   the package database /var/pdb:")
    for name in sorted(disk_inspect.list_dir(image, root, "/var/pdb")):
        version = (disk_inspect.read_file(image, root, f"/var/pdb/{name}/version") or b"").split()
        files = (disk_inspect.read_file(image, root, f"/var/pdb/{name}/files") or b"").splitlines()
        print(f"      {name:8} {version_text(version[0]) if version else '-':8} "
              f"{len(files)} files")
    sector = disk_inspect.sector0(image)
    print(f"   sector 0: boot program {sector[:8].hex()}..., signature {sector[510:].hex()}")


def install(box, target, keys=()):
    """Runs the sandbox with its console shown (keys: (awaited, typed) pairs),
    then what the target disk holds; true when setup restarted."""
    with box:
        console = box.start(timeout=240)
        console.logfile_read = Transcript(also=sys.stdout)
        for awaited, typed in keys:
            console.expect(awaited)
            console.send(typed)
        result = box.wait(timeout=240)
        print(f"\n   (the sandbox ended: {result})")
    if result == "restarted":
        say(f"what the disk {target.image_path} holds")
        show_disk(target.image_path)
    return result == "restarted"


def main(build, work):
    setup = os.path.join(build, "setup", "setup")
    installer = os.path.join(build, "installer", "installer")
    say("a CD-ROM installation: the disc is in the secondary master, the target disk is new")
    disc = unpack_iso_image(os.path.join(work, "router.iso"), os.path.join(work, "disc"))
    target = Disk("hda", os.path.join(work, "cd-target.img"), 1024)
    # Move down twice to dhcp, select it (its dependency system comes along),
    # install, erase the disk, keep no configuration.
    keys = [("cancel and reboot", "n"), ("depends on", "n"), ("depends on", " "),
            ("depends on", "i"), (r"Continue\?", "y"), ("keep old configuration", "n"),
            ("Press ENTER to reboot", "\n")]
    if not install(Sandbox(setup, installer, [target], media=[("hdc", "iso9660", disc, True)],
                           type_word="cdrom"), target, keys):
        return 1

    say("a hard-disk volume installation: the volume is the second disk, no dialogue at all")
    volume = unpack_fat_image(os.path.join(work, "volume.img"), os.path.join(work, "volume"))
    cylinders = os.path.getsize(os.path.join(work, "volume.img")) // (16 * 63 * 512)
    target = Disk("hda", os.path.join(work, "hd-target.img"), 200)
    source = Disk("hdb", os.path.join(work, "volume.img"), cylinders)
    return 0 if install(Sandbox(setup, installer, [target, source],
                                media=[("hdb", "vfat", volume, False)], args=["-hdd-install"]),
                        target) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
