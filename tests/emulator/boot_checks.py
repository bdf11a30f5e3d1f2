"""The installed disk booted by SeaBIOS through our boot program: a test
sector in the active partition reports on port 0xE9 what it was handed;
blkdebug injects read errors, and QEMU's IDE trace counts the reads.
"""
import os
import re
import shutil
import subprocess

import pexpect

from machine import Machine

HERE = os.path.dirname(os.path.abspath(__file__))
SECTOR = 512
TABLE = 446
BOOT_TIMEOUT = 30
ERROR_LOADING = "Error loading operating system"
MISSING = "Missing operating system"
INT_18 = r"Booting from Hard Disk\.\.\.\s+Booting from"


def assemble_test_sector(work):
    source = os.path.join(HERE, "test_boot_sector.S")
    objects = os.path.join(work, "test_boot_sector.o")
    binary = os.path.join(work, "test_boot_sector.bin")
    subprocess.run(["as", "--32", "-o", objects, source], check=True)
    subprocess.run(["objcopy", "-O", "binary", "-j", ".text", objects, binary], check=True)
    with open(binary, "rb") as data:
        return data.read()


def active_entry(image):
    """(table slot, first sector, the 16 bytes)."""
    with open(image, "rb") as disk:
        sector0 = disk.read(SECTOR)
    for slot in range(4):
        entry = sector0[TABLE + 16 * slot:TABLE + 16 * slot + 16]
        if entry[0] == 0x80:
            return slot, int.from_bytes(entry[8:12], "little"), entry
    raise LookupError(f"{image} has no active partition")


def write_at(image, offset, data):
    with open(image, "r+b") as disk:
        disk.seek(offset)
        disk.write(data)


def boot(work, name, image, rules=None):
    """(port 0xE9 text, console text, sectors read in order)."""
    machine = Machine(work, name, memory=16)
    trace = machine.path("trace")
    machine.args += ["-boot", "c", "-trace", "ide_sector_read", "-D", trace]
    machine.ide(0, image, rules=rules)
    machine.bios_to_serial()
    with machine:
        # A boot program that halts runs until the time-out.
        try:
            machine.expect([pexpect.EOF, ERROR_LOADING, MISSING, "No bootable device"],
                           timeout=BOOT_TIMEOUT)
        except pexpect.TIMEOUT:
            pass
    with open(trace, errors="replace") as lines:
        reads = [int(line.split("sector=")[1].split()[0]) for line in lines
                 if "ide_sector_read" in line]
    return machine.read_file("e9"), machine.console_text, reads


def blkdebug_rules(work, name, sector, once):
    path = os.path.join(work, f"{name}.rules")
    with open(path, "w") as rules:
        rules.write(f'[inject-error]\nevent = "read_aio"\nerrno = "5"\nsector = "{sector}"\n'
                    f'once = "{"on" if once else "off"}"\n')
    return path


def run_all(work, installed_image):
    test_sector = assemble_test_sector(work)
    image = os.path.join(work, "boot.img")
    shutil.copyfile(installed_image, image)
    slot, first, entry = active_entry(image)
    write_at(image, first * SECTOR, test_sector)
    booted = f"BOOTED {entry.hex()}"

    def variant(name, change):
        copy = os.path.join(work, f"{name}.img")
        shutil.copyfile(image, copy)
        change(copy)
        return copy

    no_active = variant("boot-no-active", lambda path: write_at(path, TABLE + 16 * slot, b"\x00"))
    unsigned = variant("boot-unsigned",
                       lambda path: write_at(path, first * SECTOR + 510, b"\x00\x00"))
    cases = [
        # name, image, blkdebug once?, port 0xE9, console, reads of the sector
        ("boots", image, None, booted, None, 1),
        ("one failed read is retried", image, True, booted, None, 2),
        ("a read that always fails", image, False, "", ERROR_LOADING, 5),
        ("no active partition", no_active, None, "", INT_18, 0),
        ("no 55AA in the partition's sector", unsigned, None, "", MISSING, 1),
    ]
    problems = []
    for number, (name, disk, once, port, console, reads) in enumerate(cases):
        rules = blkdebug_rules(work, f"boot{number}", first, once) if once is not None else None
        port_text, console_text, sectors = boot(work, f"boot{number}", disk, rules)
        found = []
        if port_text.strip() != port:
            found.append(f"port 0xE9 shows {port_text.strip()!r}, expected {port!r}")
        if console and not re.search(console, console_text):
            found.append(f"the console lacks {console!r}: {console_text[-300:]!r}")
        if ERROR_LOADING in console_text and console != ERROR_LOADING or \
                MISSING in console_text and console != MISSING:
            found.append(f"unexpected message from the boot program: {console_text[-300:]!r}")
        if sectors.count(first) != reads:
            found.append(f"sector {first} read {sectors.count(first)} times, expected {reads}")
        print(f"   {name}: {'as expected' if not found else 'FAILED'}", flush=True)
        problems += [f"{name}: {text}" for text in found]
    return problems
