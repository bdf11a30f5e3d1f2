"""setup's floppy-set mode in the sandbox, with sets made by mkmedia
swapped, damaged and mixed up at the prompts."""
import os
import random
import subprocess

import pytest

from conftest import needs_root, program
from pkgtools import raw
from setup_support import Disk, Sandbox, cat, e2fsck_clean, reboot_at_prompt
from sandbox import unpack_fat_image

pytestmark = needs_root()

BLOCK, PER_GROUP = 1024, 16


def make_set(package_path, out_dir):
    """mkmedia floppies; the directories the floppies' files unpack to."""
    result = subprocess.run([program("mkmedia"), "floppies", package_path, out_dir],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    images = sorted(name for name in os.listdir(out_dir) if name.endswith(".img"))
    return [unpack_fat_image(os.path.join(out_dir, image), os.path.join(out_dir, image[:-4]))
            for image in images]


def damage(floppy_dir, blocks_by_group):
    """A copy of a floppy's files with bytes flipped in the given blocks."""
    copy = floppy_dir + "-damaged-" + "-".join(map(str, sum(blocks_by_group.values(), [])))
    os.makedirs(copy, exist_ok=True)
    for name in os.listdir(floppy_dir):
        with open(os.path.join(floppy_dir, name), "rb") as f:
            data = bytearray(f.read())
        if name.startswith("tessaron.n"):
            for group, blocks in blocks_by_group.items():
                for block in blocks:
                    data[32 + (group * PER_GROUP + block) * BLOCK + 100] ^= 0xFF
        with open(os.path.join(copy, name), "wb") as f:
            f.write(data)
    return copy


def floppy_sandbox(target, slot):
    return Sandbox(program("setup"), program("installer"), [target],
                   media=[("fd0", "vfat", slot, False)])


def start(box):
    console = box.start(timeout=120)
    console.expect("Welcome to Tessaron Router Software floppy installation")
    console.expect(r"Continue\? \[y/n\]:")
    console.send("y")
    console.expect(r"keep old configuration\?  \[y/n\]:")
    console.send("n")
    return console


def offer(box, console, ordinal, floppy, expect):
    """At the prompt for a floppy: put floppy (None: none) in and press ENTER."""
    console.expect(f"Please insert {ordinal} installation floppy.")
    console.expect("Press ENTER when ready")
    if floppy is None:
        box.eject("fd0")
    else:
        box.insert("fd0", floppy)
    console.send("\n")
    console.expect(expect)


def test_three_floppies_with_damage_and_mistakes(tmp_path):
    rng = random.Random(7)
    payload = bytes(rng.getrandbits(8) for _ in range(3_000_000))
    package = tmp_path / "big.kpk"
    package.write_bytes(raw("big", entries={"/opt/big.bin": payload}))
    floppies = make_set(str(package), str(tmp_path / "set"))
    assert len(floppies) == 3
    # A floppy of another set is told apart from the second part on: the
    # first part accepted decides the set.
    other = tmp_path / "other.kpk"
    other.write_bytes(raw("other", entries={"/opt/other.bin": payload[:1_500_000]}))
    foreign = make_set(str(other), str(tmp_path / "other-set"))[1]
    groups = (os.path.getsize(os.path.join(floppies[0], "tessaron.n00")) - 32) // (BLOCK * PER_GROUP)
    one_per_group = damage(floppies[0], {g: [g % PER_GROUP] for g in range(groups)})
    two_in_one = damage(floppies[1], {3: [0, 5]})

    target = Disk("hda", tmp_path / "hda.img", 200)
    slot = tmp_path / "drive"
    slot.mkdir()
    with floppy_sandbox(target, str(slot)) as box:
        console = start(box)
        offer(box, console, "2nd", None, "ERROR: No floppy, or bad floppy")
        offer(box, console, "2nd", one_per_group, "Installing part 1 of 3...")
        offer(box, console, "3rd", foreign, "ERROR: bad floppy, please replace it.")
        offer(box, console, "3rd", one_per_group, "Wrong floppy!")
        offer(box, console, "3rd", two_in_one, "ERROR: bad floppy, please replace it.")
        offer(box, console, "3rd", floppies[1], "Installing part 2 of 3...")
        offer(box, console, "4th", floppies[2], "Installing part 3 of 3...")
        console.expect("Software installed.")
        console.expect("Remove boot floppy")
        assert reboot_at_prompt(box) == "restarted"
        log = box.log_text
    # Every group had one damaged block; those in parity blocks need no repair.
    repaired = [g % PER_GROUP for g in range(groups) if g % PER_GROUP != PER_GROUP - 1]
    assert log.count("Recovering bad block #") == len(repaired), log
    clean, report = e2fsck_clean(target.image_path, 63)
    assert clean, report
    assert cat(target.image_path, 63, "/opt/big.bin") == payload
    assert cat(target.image_path, 63, "/var/pdb/big/files") != b""

