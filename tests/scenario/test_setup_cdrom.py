"""setup's CD-ROM mode in the sandbox, driven by keys at the package menu."""
import os

import pytest

from conftest import needs_root, program
from pkgtools import FileEntry, DIRECTORY, LINK, raw, version
from setup_support import (Disk, Sandbox, build_examples, cat, digest, e2fsck_clean,
                           inode_facts, partitions, reboot_at_prompt)

pytestmark = needs_root()



@pytest.fixture(scope="module")
def disc(tmp_path_factory):
    """A disc with the example packages."""
    return str(build_examples(tmp_path_factory.mktemp("disc")))


def cdrom(disks, disc_dir, drive="hdc"):
    return Sandbox(program("setup"), program("installer"), disks,
                   media=[(drive, "iso9660", disc_dir, True)], type_word="cdrom")


def install(box, keys, keep="n", answer="y"):
    """At the menu: the keys, 'i', the erase question and the keep question."""
    console = box.start(timeout=180)
    console.expect("Press 'i' to install locally")
    console.send(keys + "i")
    console.expect(r"Continue\? \[y/n\]:")
    console.send(answer)
    if answer == "y":
        console.expect(r"Do you want to keep old configuration\?  \[y/n\]:")
        console.send(keep)
    return reboot_at_prompt(box), box.console_text


KEPT = [
    FileEntry("/kest", mode=DIRECTORY),
    FileEntry("/kest/store", mode=0o40750, uid=7, gid=8, mtime=1_500_000_000),
    FileEntry("/kest/store/empty", b"", mode=0o100640, uid=1234, gid=5678, mtime=1_500_000_100),
    FileEntry("/kest/store/net", mode=0o40700, uid=0, gid=0, mtime=1_500_000_200),
    FileEntry("/kest/store/net/interfaces", b"eth0 10.0.0.1\n" * 3000, mode=0o100604,
              uid=2, gid=3, mtime=1_500_000_300),
    FileEntry("/kest/store/link", b"net/interfaces", mode=LINK),
]


def test_install_then_reinstall_keeping_the_old_configuration(tmp_path, disc):
    # The first installation, of everything from the disc in the primary
    # slave, puts a configuration under /kest/store.
    disc_with_config = tmp_path / "disc"
    disc_with_config.mkdir()
    for name in os.listdir(disc):
        os.link(os.path.join(disc, name), disc_with_config / name)
    (disc_with_config / "config.kpk").write_bytes(raw("config", entries=KEPT, deps=["system"]))
    target = Disk("hda", tmp_path / "hda.img", 100)
    with cdrom([target], str(disc_with_config), drive="hdb") as box:
        result, console = install(box, "a")  # everything
    assert result == "restarted", console
    assert "Found harddrive as IDE Primary master (disk C)" in console
    image = target.image_path
    assert partitions(image)[0][:2] == (0x80, 0x83)
    assert cat(image, 63, "/var/pdb/dhcp/version").split()[0] == str(version("1.2")).encode()
    assert inode_facts(image, 63, "/kest/store/link") is not None
    assert inode_facts(image, 63, "/CDINSTALL")[0] & 0o7777 == 0o600

    # The reinstallation, from the secondary master, installs only the
    # system and keeps the configuration.
    with cdrom([target], disc) as box:
        result, console = install(box, "", keep="y")
    assert result == "restarted", console
    assert "Reading old configuration..." in console
    assert "Writing back old configuration..." in console
    assert "ERROR" not in console
    clean, report = e2fsck_clean(image, 63)
    assert clean, report
    assert cat(image, 63, "/var/pdb/system/version").split()[0] == str(version("1.0")).encode()
    assert cat(image, 63, "/var/pdb/config/version") == b""
    for item in KEPT[1:5]:
        assert inode_facts(image, 63, item.name) == (item.mode & 0o7777, item.uid, item.gid,
                                                     item.mtime), \
            item.name
    assert cat(image, 63, "/kest/store/net/interfaces") == KEPT[4].data
    assert inode_facts(image, 63, "/kest/store/link") is None


def test_ways_out_leave_the_disk_untouched(tmp_path, disc):
    target = Disk("hda", tmp_path / "hda.img", 60)
    before = digest(target.image_path)
    with cdrom([target], disc) as box:
        result, console = install(box, "", answer="n")
    assert result == "restarted" and "Continue?" in console
    with cdrom([target], disc) as box:
        console = box.start(timeout=60)
        console.expect("Press 'i' to install locally")
        console.send("r")  # a server on no interface: 'q' brings the menu back
        console.expect("Looking for routers on 0 interfaces...")
        console.send("\n")  # no router to choose
        console.send("q")
        console.expect("Press 'i' to install locally")
        console.send("q")
        console.expect("Installation canceled")
        assert reboot_at_prompt(box) == "restarted"
    bad_disc = tmp_path / "bad"
    bad_disc.mkdir()
    (bad_disc / "system.kpk").write_bytes(raw("system", entries=[]))
    (bad_disc / "broken.kpk").write_bytes(raw("broken", entries=[])[:20])
    with cdrom([target], str(bad_disc)) as box:
        console = box.start(timeout=60)
        console.expect("FATAL ERROR: Bad package /floppy/broken.kpk")
        assert reboot_at_prompt(box) == "restarted"
    with cdrom([target], disc, drive="hdd") as box:
        box.media.clear()  # no disc at all
        console = box.start(timeout=60)
        console.expect("FATAL ERROR: no CD-ROM found")
        console.send("\n")
        box.wait(timeout=30)
    assert digest(target.image_path) == before
