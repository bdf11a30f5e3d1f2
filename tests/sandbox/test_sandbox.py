"""The sandbox's own checks, with small scripts in place of setup. Needs root."""
import os
import re
import signal
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import disk_inspect  # noqa: E402
import inner  # noqa: E402
from sandbox import Disk, Sandbox  # noqa: E402

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")
HERE = os.path.dirname(os.path.abspath(__file__))
BOOT_AREA = bytes(range(256)) + bytes(range(190))  # bytes 0..445 of sector 0


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    binary = tmp_path_factory.mktemp("probe") / "probe"
    subprocess.run(["cc", "-O2", "-o", str(binary), os.path.join(HERE, "probe.c")], check=True)
    return (binary.read_bytes(), 0o755)


def init_script(tmp_path, script):
    init = tmp_path / "init.sh"
    init.write_text("#!/bin/bash\nexport PATH=/sbin:/bin:/usr/bin\n" + script)
    return str(init)


def sandbox(tmp_path, script, probe, disks, **options):
    return Sandbox(init_script(tmp_path, script), "/usr/bin/true", disks,
                   extra_files={"/sbin/probe": probe}, **options)


def lines(box):
    return box.console_text.replace("\r\n", "\n").splitlines()


DISK_SCRIPT = r"""
sfdisk -g
printf '0,21,83,*\n21,40,83\n61,39,82\n' | sfdisk -q -uC /dev/hda
sfdisk -d -uC /dev/hda | grep -c '^/dev/'
mke2fs -q /dev/hda2 && probe mount /dev/hda2 /mnt ext2 rw && echo kept > /mnt/file
umount /mnt
printf '0,21,83,*\n21,40,83\n0,0,0\n' | sfdisk -q -uC /dev/hda
echo nodes: /dev/hd*
probe mount /dev/hdb /floppy vfat rw && cat /floppy/hello && umount /floppy
probe mount /dev/hdb /floppy iso9660 ro
probe mount /dev/hda /floppy vfat rw
probe mount /dev/hdc /floppy iso9660 rw
probe mount /dev/hdc /floppy iso9660 ro && (echo x > /floppy/x || echo cd-is-read-only)
umount /floppy
insmod vfat; insmod isofs
probe reboot
"""


def test_disks_media_and_restart(tmp_path, probe):
    """Partitioning, partition nodes, ext2, media with a kernel's errors, insmod, reboot."""
    volume, cd = tmp_path / "volume", tmp_path / "cd"
    volume.mkdir()
    cd.mkdir()
    (volume / "hello").write_text("from the volume\n")
    hda = Disk("hda", tmp_path / "hda.img", 100)
    with open(hda.image_path, "r+b") as image:
        image.write(BOOT_AREA)
    disks = [hda, Disk("hdb", tmp_path / "hdb.img", 50, 4, 32)]
    media = [("hdb", "vfat", str(volume), False), ("/dev/hdc", "iso9660", str(cd), True)]
    with sandbox(tmp_path, DISK_SCRIPT, probe, disks, media=media) as box:
        box.start(timeout=30)
        assert box.wait(timeout=60) == "restarted"
        output = lines(box)
        assert box.insmod_names == ["vfat", "isofs"]
    assert output[:3] == ["/dev/hda: 100 cylinders, 16 heads, 63 sectors/track",
                          "/dev/hdb: 50 cylinders, 4 heads, 32 sectors/track", "3"]
    for expected in ["nodes: /dev/hda /dev/hda1 /dev/hda2 /dev/hdb /dev/hdc",
                     "mount /dev/hdb vfat rw: ok", "from the volume",
                     "mount /dev/hdb iso9660 ro: EINVAL", "mount /dev/hda vfat rw: ENXIO",
                     "mount /dev/hdc iso9660 rw: EACCES", "mount /dev/hdc iso9660 ro: ok",
                     "cd-is-read-only"]:
        assert expected in output
    image = hda.image_path
    table = [(p["number"], p["start"], p["size"], p["bootable"])
             for p in disk_inspect.partitions(image)]
    assert table == [(1, 63, 21 * 1008 - 63, True), (2, 21 * 1008, 40 * 1008, False)]
    sector0 = disk_inspect.sector0(image)
    assert sector0[:446] == BOOT_AREA
    assert sector0[446 + 16 + 1:446 + 16 + 4] == bytes([0, 1, 21])  # cylinder 21, head 0, sector 1
    assert disk_inspect.read_file(image, 2, "/file") == b"kept\n"
    assert disk_inspect.fsck(image, 2)[0] == 0
    assert not os.listdir(volume / ".." / "cd")


CONSOLE_SCRIPT = r"""
trap 'echo caught-interrupt; probe reboot' INT
[ -e /dev/tty0 ] && echo has-tty0 || echo no-tty0
[ -e /dev/ttyS0 ] && echo via-ttyS0 > /dev/ttyS0
bash -c '[ -t 1 ] && echo log-is-a-terminal' > /dev/tty9
echo ready
while :; do sleep 0.2; done
"""


@pytest.mark.parametrize("serial", [False, True])
def test_console_interrupt_and_log_device(tmp_path, probe, serial):
    with sandbox(tmp_path, CONSOLE_SCRIPT, probe, [], serial_console=serial) as box:
        console = box.start(timeout=20)
        console.expect("ready")
        console.sendcontrol("c")
        console.expect("caught-interrupt")
        assert box.wait(timeout=20) == "restarted"
        assert ("no-tty0" if serial else "has-tty0") in lines(box)
        assert ("via-ttyS0" in lines(box)) == serial
        assert box.log_text == "log-is-a-terminal\n"


def test_first_process_refuses_outside_a_new_pid_namespace(tmp_path):
    config = {"outer_pid_namespace": os.readlink("/proc/self/ns/pid"), "root": str(tmp_path),
              "status_path": str(tmp_path / "status"), "program": "/bin/true",
              "arguments": [], "environment": {}}
    child = os.fork()
    if child == 0:
        inner.run_first_process(config)
    _, status = os.waitpid(child, 0)
    assert os.WEXITSTATUS(status) == 125
    assert (tmp_path / "status").read_text().startswith("refused")


BUSY_SCRIPT = r"""
printf '0,100,83\n' | sfdisk -q -uC /dev/hda && mke2fs -q /dev/hda1 &&
  probe mount /dev/hda1 /mnt ext2 rw && echo mounted
sleep 1000 & wait
"""

KILLED_TEST = """
import sys
sys.path.insert(0, sys.argv[1])
from sandbox import Disk, Sandbox
box = Sandbox(sys.argv[2], "/usr/bin/true", [Disk("hda", sys.argv[3], 100)],
              extra_files={"/sbin/probe": (open(sys.argv[4], "rb").read(), 0o755)})
box.start(timeout=30).expect("mounted")
print(box.run_dir, flush=True)
sys.stdin.read()
"""


def assert_nothing_left(image, run_dir):
    deadline = time.monotonic() + 10
    while True:
        loops = subprocess.run(["losetup", "-j", image], capture_output=True, text=True).stdout
        mounts = open("/proc/self/mountinfo").read()
        sleepers = subprocess.run(["pgrep", "-xf", "sleep 1000"], capture_output=True).stdout
        if not loops and not sleepers and not os.path.exists(run_dir):
            break
        assert time.monotonic() < deadline, (loops, sleepers, os.path.exists(run_dir))
        time.sleep(0.1)
    assert run_dir not in mounts


@pytest.mark.parametrize("end", ["timeout", "test killed"])
def test_nothing_left_behind(tmp_path, probe, end):
    image = str(tmp_path / "hda.img")
    if end == "timeout":
        with sandbox(tmp_path, BUSY_SCRIPT, probe, [Disk("hda", image, 100)]) as box:
            box.start(timeout=30).expect("mounted")
            assert box.wait(timeout=1) == "timeout"
            run_dir = box.run_dir
    else:
        probe_file = tmp_path / "probe"
        probe_file.write_bytes(probe[0])
        test = subprocess.Popen(["/usr/bin/python3", "-c", KILLED_TEST, HERE,
                                 init_script(tmp_path, BUSY_SCRIPT), image,
                                 str(probe_file)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                text=True)
        run_dir = test.stdout.readline().strip()
        assert re.search("tess-sandbox-", run_dir)
        test.send_signal(signal.SIGKILL)
        test.wait()
    assert_nothing_left(image, run_dir)
