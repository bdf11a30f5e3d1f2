"""setup's hard-disk volume mode in the sandbox, the disk checked from
outside afterwards; failures must leave the target disk as it was."""
import os

import pytest

from conftest import needs_root, program
from pkgtools import raw, version
from setup_support import (AUTORUN, Disk, Sandbox, boot_program, cat, digest, e2fsck_clean,
                           example_bytes, features, mbr_file, partitions, reboot_at_prompt,
                           write_files)
import disk_inspect  # noqa: E402  (tests/sandbox, on the path through setup_support)

pytestmark = needs_root()

@pytest.fixture(scope="module")
def example_packages(tmp_path_factory):
    return example_bytes(tmp_path_factory.mktemp("examples"))


def make_volume(path, packages, autorun=AUTORUN, mbr=None):
    """A volume directory: package files, "autorun.scr" and "mbr" (False leaves one out)."""
    extra = {"autorun.scr": autorun, "mbr": mbr_file() if mbr is None else mbr}
    return write_files(path, {**packages, **{n: d for n, d in extra.items() if d is not False}})


def hdd_box(disks, volume, volume_drive="hdb", **options):
    media = [(volume_drive, "vfat", volume, False)] if volume_drive else []
    return Sandbox(program("setup"), program("installer"), disks, media=media,
                   args=["-hdd-install"], **options)


def run_hdd(disks, volume, volume_drive, **options):
    """Runs the hard-disk mode; returns (result, console text, log text)."""
    with hdd_box(disks, volume, volume_drive, **options) as box:
        console = box.start(timeout=180)
        index = console.expect(["Rebooting...", "Press ENTER to reboot"])
        if index == 1:
            console.send("\n")
        return box.wait(timeout=60), box.console_text, box.log_text


# -- the installation ----------------------------------------------------------------

def test_volume_on_another_disk_installs_a_two_partition_router(tmp_path, example_packages):
    volume = make_volume(tmp_path / "volume", example_packages)
    target = Disk("hda", tmp_path / "hda.img", 1024)
    source = Disk("hdb", tmp_path / "hdb.img", 20)
    result, console, _ = run_hdd([target, source], volume, "hdb")
    assert result == "restarted", console
    assert "Welcome to Tessaron Router Software hard disk installation" in console
    assert "Found harddrive as IDE Primary master (disk C)" in console
    assert "Press ENTER to reboot" not in console
    assert "Software installed." in console
    for name in ("system", "ppp", "dhcp"):
        assert f"Reading: {name}..." in console

    # The volume's first sector is its "mbr"; the target got the boot program.
    with open(source.image_path, "rb") as f:
        assert f.read(512) == mbr_file()
    with open(target.image_path, "rb") as f:
        sector = f.read(512)
    assert sector[:184] == boot_program()
    assert sector[184:256] == bytes(72) and sector[336:446] == bytes(110)

    # 1024 cylinders of 16 x 63: a boot partition of 21 cylinders, the rest root.
    table = partitions(target.image_path)
    cylinder = 16 * 63
    assert table[0] == (0x80, 0x83, 63, 21 * cylinder - 63)
    assert table[1] == (0x80, 0x83, 21 * cylinder, 1003 * cylinder)
    assert table[2][1] == table[3][1] == 0
    boot, root = table[0][2], table[1][2]
    for start in (boot, root):
        clean, report = e2fsck_clean(target.image_path, start)
        assert clean, report
    assert "has_journal" in features(target.image_path, root)
    assert "has_journal" not in features(target.image_path, boot)

    assert cat(target.image_path, root, "/etc/lilo.conf") == (
        b"boot=/dev/hda1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\nimage=/boot/vmlinuz\n"
        b"  label=System\n  root=/dev/hda2\n  read-only\n")
    assert cat(target.image_path, root, "/etc/fstab").startswith(
        b"/dev/hda2  /     ext3 defaults 1 1\n/dev/hda1  /boot ext2 defaults 1 2\n")
    assert cat(target.image_path, root, "/autorun.scr") == AUTORUN
    for name, text in (("system", "1.0"), ("ppp", "2.9"), ("dhcp", "1.2")):
        recorded = cat(target.image_path, root, f"/var/pdb/{name}/version")
        assert recorded.split()[0] == str(version(text)).encode(), name
    assert cat(target.image_path, root, "/var/pdb/ppp/deps").startswith(b"system")
    listing = disk_inspect.list_dir(target.image_path, 2, "/")
    assert {"proc", "kest", "var", "boot", "etc", ".nofsck"} <= set(listing), listing


def test_volume_on_the_target_disk_keeps_its_own_boot_sector(tmp_path, example_packages):
    packages = dict(example_packages)
    del packages["dhcp-1.2.kpk"]
    mbr = mbr_file()[:256] + bytes(range(80)) + mbr_file()[336:]  # bytes 256-335 carry data
    volume = make_volume(tmp_path / "volume", packages, autorun=b"", mbr=mbr)
    target = Disk("hda", tmp_path / "hda.img", 100)
    result, console, _ = run_hdd([target], volume, "hda")
    assert result == "restarted", console
    with open(target.image_path, "rb") as f:
        sector = f.read(512)
    assert sector[:446] == mbr[:446]  # provided by the volume, not written again
    table = partitions(target.image_path)
    assert table[0] == (0x80, 0x83, 63, 100 * 16 * 63 - 63)
    assert table[1][1] == 0
    clean, report = e2fsck_clean(target.image_path, 63)
    assert clean, report
    assert cat(target.image_path, 63, "/autorun.scr") == b""
    assert cat(target.image_path, 63, "/etc/lilo.conf").endswith(b"  root=/dev/hda1\n  read-only\n")
    assert cat(target.image_path, 63, "/var/pdb/ppp/version").split()[0] == str(version("2.9")).encode()


# -- failures leave the target as it was ------------------------------------------

FAILURES = [
    # (name, volume contents, expected line, serial console)
    ("no autorun.scr", dict(autorun=False), "FATAL ERROR: could not read configuration", False),
    ("no mbr", dict(mbr=False), "FATAL ERROR: Couldn't open mbr file", False),
    ("short mbr", dict(mbr=b"\x00" * 511), "FATAL ERROR: Couldn't read mbr file", True),
    ("51 packages", dict(count=51), "FATAL ERROR: too many packages on the volume (51, at most 50)",
     False),
    ("a bad package", dict(bad=True), "FATAL ERROR: Bad package /floppy/bad.kpk", False),
    ("no volume", dict(drive=None), "FATAL ERROR: No hard disk found", False),
    # a volume in a drive that is no disk: its first sector cannot be written
    ("volume on no disk", dict(drive="hdc"), "FATAL ERROR: Couldn't open disk", False),
]


@pytest.mark.parametrize("name,contents,expected,serial", FAILURES, ids=[f[0] for f in FAILURES])
def test_failures_leave_the_target_untouched(tmp_path, name, contents, expected, serial):
    contents = dict(contents)
    count = contents.pop("count", 2)
    drive = contents.pop("drive", "hda")
    packages = {f"p{i:02d}.kpk": raw(f"p{i:02d}", entries=[]) for i in range(count)}
    if contents.pop("bad", False):
        packages["bad.kpk"] = b"\x1e\xf1\xd0\xba\x10\x00"
    volume = make_volume(tmp_path / "volume", packages, **contents)
    target = Disk("hda", tmp_path / "hda.img", 60)
    with open(target.image_path, "r+b") as f:
        f.write(b"old disk" * 64)
    before = digest(target.image_path)
    result, console, log = run_hdd([target], volume, drive, serial_console=serial)
    assert result == "restarted"
    assert expected in console, console
    assert "Press ENTER to reboot" in console
    assert digest(target.image_path) == before
    if serial:  # child output is discarded without a virtual console
        assert log == ""


def test_ctrl_c_during_the_mode_aborts_and_restarts(tmp_path):
    volume = make_volume(tmp_path / "volume", {"a.kpk": raw("a", entries=[])})
    target = Disk("hda", tmp_path / "hda.img", 60)
    source = Disk("hdb", tmp_path / "hdb.img", 10)
    before = digest(target.image_path)
    slow_listing = "#!/bin/bash\n/usr/bin/sleep 30\n"  # the drive search takes its time
    with hdd_box([target, source], volume, extra_files={"/sbin/sfdisk": (slow_listing, 0o755)}) as box:
        console = box.start(timeout=60)
        console.expect(r"Looking for harddrives\.\.\.\.")  # one dot a second
        console.sendcontrol("c")
        console.expect("Installation aborted")
        console.expect("Press ENTER to reboot")
        console.send("x")
        console.expect("\a")
        console.send("\n")
        assert box.wait(timeout=30) == "restarted"
    assert digest(target.image_path) == before


def test_choice_mode_shows_the_menu_and_keeps_the_volume(tmp_path, example_packages):
    """With "CHOOSE" the person picks; the volume keeps its first sector, needs no "mbr"."""
    volume = make_volume(tmp_path / "volume", example_packages, mbr=False)
    open(os.path.join(volume, "CHOOSE"), "w").close()
    target = Disk("hda", tmp_path / "hda.img", 100)
    source = Disk("hdb", tmp_path / "hdb.img", 10)
    with open(source.image_path, "r+b") as f:
        f.write(b"FAT volume boot sector".ljust(512, b"."))
    with hdd_box([target, source], volume) as box:
        console = box.start(timeout=180)
        console.expect("Press 'i' to install locally")
        console.send("nn i")  # dhcp, and with it system
        console.expect("Software installed.")
        assert box.wait(timeout=60) == "restarted"
    with open(source.image_path, "rb") as f:
        assert f.read(22) == b"FAT volume boot sector"
    assert cat(target.image_path, 63, "/var/pdb/dhcp/version") != b""
    assert cat(target.image_path, 63, "/var/pdb/ppp/version") == b""
    assert cat(target.image_path, 63, "/autorun.scr") == AUTORUN
