#!/usr/bin/python3
"""The router's build installed in emulated PCs (README.md), judged by console
text and disk contents; exits 1 when any check failed."""
import argparse
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import pexpect

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import boot_checks  # noqa: E402
import checks  # noqa: E402
import installsys  # noqa: E402
from machine import Machine  # noqa: E402

DEFAULT_CACHE = "/var/cache/tess-emulator"
RUNS = ("cd", "keep", "volume", "floppies", "big", "net", "boot")
COMMAND_LINE = "console=ttyS0 panic=-1 rdinit=/sbin/init quiet"
RUN_TIMEOUT = 240  # seconds for one installation, from QEMU's start
NET_TIMEOUT = 120  # seconds for the network run, from the server's start (20 s when well)
EXAMPLES = {"system": ("system", "1.0"), "ppp": ("ppp-2.9.1", "2.9.1"),
            "dhcp": ("dhcp-1.3", "1.3")}
SERVER_MAC = "52:54:00:00:0E:01"
ROUTER_MAC = "52:54:00:00:0E:02"
# label.txt on the router's floppy; the server lists its printable characters.
ROUTER_LABEL_TEXT, ROUTER_LABEL = " bench 7\n", "bench7"
# The server's answers for the router; the baud rate keeps its default.
ROUTER_ANSWERS = (("IP address", "192.0.2.7"), ("netmask bit count", "16"),
                  ("default gateway address", "192.0.2.1"), ("baud rate", ""))
ROUTER_ENTRY = r"(?:\x1b\[[0-9;]*[mK])* ([0-9A-F:]{17}) \(([^)]*)\) "


def router_script(mac, address, bits, gateway, baud):
    return (":local eth\n:set eth [/interface ethernet get [/interface ethernet find "
            f"mac-address={mac}] name]\n/interface enable $eth\n"
            f"/ip address add address={address}/{bits} interface=$eth\n"
            f"/ip route add gateway={gateway}\n/port set [/port find] baud-rate={baud}\n").encode()


def free_loopback_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_listening(port, timeout):
    """From the kernel's table: a probe would take QEMU's one connection."""
    wanted = f"0100007F:{port:04X}"
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open("/proc/net/tcp") as table:
            for line in table.readlines()[1:]:
                fields = line.split()
                if fields[1] == wanted and fields[3] == "0A":
                    return True
        time.sleep(0.05)
    return False


def quiet(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)


def restarted(machine, timeout):
    if not machine.wait_end(timeout=timeout):
        raise pexpect.TIMEOUT(f"{machine.name} did not restart")
    if "Rebooting..." not in machine.console_text:
        raise pexpect.EOF(f"{machine.name}'s QEMU ended without \"Rebooting...\"")


def times_text(machine, marks):
    """marks: (label, console text[, another machine]), on machine's clock."""
    found = []
    for label, text, *other in marks:
        on = other[0] if other else machine
        seconds = on.time_of(text)
        if seconds is not None:
            found.append(f"{label} at {seconds + on.started - machine.started:.1f} s")
    return ", ".join(found)


def say(text):
    print(f"== {text}", flush=True)


class Stage:
    def __init__(self, options):
        self.options = options
        self.work = options.work
        self.failures = []
        self.figures = []

    def path(self, *names):
        return os.path.join(self.work, *names)

    def build_router_programs(self):
        build = self.options.router_build
        source = self.options.source
        quiet(os.path.join(source, "cmake", "unpack_musl_i386.sh"))
        # --fresh: else a build configured with another toolchain keeps its compiler.
        quiet("cmake", "--fresh", "-S", source, "-B", build, "-G", "Ninja",
              "-DCMAKE_BUILD_TYPE=MinSizeRel",
              f"-DCMAKE_TOOLCHAIN_FILE={source}/cmake/i386-static.cmake")
        quiet("cmake", "--build", build, "-j2", "--target", "setup", "installer")
        self.programs = {}
        for name, built in (("setup", "setup/setup"), ("installer", "installer/installer")):
            stripped = self.path(name)
            subprocess.run(["strip", "-o", stripped, os.path.join(build, built)], check=True)
            self.programs[name] = stripped
            self.figures.append(f"stripped size of the router's {name}: "
                                f"{os.path.getsize(stripped) / 1024:.0f} KiB")
        with open(os.path.join(build, "setup", "boot", "boot_program.bin"), "rb") as data:
            code = data.read()
        self.boot_program = code + bytes(checks.BOOT_PROGRAM_SIZE - len(code))

    def build_installation_system(self):
        cache = self.options.cache
        started = time.monotonic()
        self.kernel = installsys.prepare_kernel(cache)
        busybox = installsys.prepare_busybox(cache)
        for name, console in (("initrd", True), ("initrd-serial", False)):
            with open(self.path(name), "wb") as out:
                out.write(installsys.build_initramfs(self.kernel, busybox, self.programs["setup"],
                                                     self.programs["installer"], console))
        print(f"   kernel {self.kernel['version']}, initramfs "
              f"{os.path.getsize(self.path('initrd')) / 1048576:.1f} MiB "
              f"({time.monotonic() - started:.1f} s)", flush=True)

    def initrd_with(self, name, files, serial_only=False):
        with open(self.path("initrd-serial" if serial_only else "initrd"), "rb") as base:
            data = base.read()
        with open(self.path(name), "wb") as out:
            out.write(data + installsys.extra_archive(files))
        return self.path(name)

    def make_packages(self):
        """The examples, siteconf, firmware and the large set: {name: (version, tree)}."""
        examples = os.path.join(self.options.source, "examples")
        packages = self.path("packages")
        os.makedirs(packages)
        self.examples, self.versions = {}, {}
        for name, (folder, version) in EXAMPLES.items():
            quiet(self.options.kpk, "build", "--reproducible", os.path.join(examples, folder, "package.desc"),
                     os.path.join(examples, folder, "tree"),
                     os.path.join(packages, f"{name}-{version}.kpk"))
            self.examples[name] = self.versions[name] = (
                version, os.path.join(examples, folder, "tree"))
        self.siteconf = self.generated_package("siteconf", "1.0", {
            "kest/store/hostname": (b"router-7\n", 0o644),
            "kest/store/secrets": (b"pppsecret: 1f2e3d\n", 0o600),
            "kest/store/net/interfaces": (b"eth0 192.0.2.7/24\n", 0o640)})
        rng = random.Random(14)
        self.large = {}
        for number, name in enumerate(("base", "apps", "tools")):
            files = {}
            for index in range(24):
                noise = rng.randbytes(360 * 1024)
                text = b"".join(b"line %d of file %d of %s\n" % (i, index, name.encode())
                                for i in range(4000))
                files[f"usr/lib/{name}/file{index:02}"] = (noise + text, 0o755)
            self.large[name] = self.generated_package(name, f"2.{number}", files)
        self.firmware = self.generated_package("firmware", "1.0", {
            "lib/firmware/blob": (random.Random(7).randbytes(2 * 1024 * 1024), 0o644)})

    def generated_package(self, name, version, files):
        tree = self.path("trees", name)
        for path, (data, mode) in files.items():
            os.makedirs(os.path.dirname(os.path.join(tree, path)), exist_ok=True)
            with open(os.path.join(tree, path), "wb") as out:
                out.write(data)
            os.chmod(os.path.join(tree, path), mode)
        description = self.path("trees", f"{name}.desc")
        with open(description, "w") as out:
            out.write(f"name: {name}\nversion: {version}\nbuild-time: 1767312000\n"
                      f"description: {name} of the emulator stage\n")
        quiet(self.options.kpk, "build", "--reproducible", description, tree,
                 self.path("packages", f"{name}-{version}.kpk"))
        self.versions[name] = (version, tree)
        return version, tree

    def make_media(self):
        packages = self.path("packages")

        def medium_directory(name, package_names):
            directory = self.path("media", name)
            os.makedirs(directory)
            for package in package_names:
                version = self.versions[package][0]
                shutil.copy(os.path.join(packages, f"{package}-{version}.kpk"), directory)
            with open(os.path.join(directory, "autorun.scr"), "w") as out:
                out.write("#!/bin/bash\n# first start of the new router\nhostname router-1\n")
            return directory

        cd = medium_directory("cd", list(EXAMPLES) + ["siteconf"])
        quiet(self.options.mkmedia, "iso", cd, self.path("cd.iso"))
        volume = medium_directory("volume", list(EXAMPLES))
        quiet(self.options.mkmedia, "volume", volume, self.path("volume.img"))
        self.autorun = open(os.path.join(volume, "autorun.scr"), "rb").read()
        large = medium_directory("large", list(self.large))
        quiet(self.options.mkmedia, "iso", large, self.path("large.iso"))
        self.large_size = sum(os.path.getsize(os.path.join(large, name))
                              for name in os.listdir(large) if name.endswith(".kpk"))
        with open(self.path("bundle.desc"), "w") as out:
            out.write("name: router\nversion: 1.0\nbuild-time: 1767312000\n")
        quiet(self.options.kpk, "bundle", self.path("bundle.desc"), self.path("router-1.0.kpk"),
                 *[os.path.join(packages, f"{n}-{self.versions[n][0]}.kpk")
                   for n in list(EXAMPLES) + ["firmware"]])
        quiet(self.options.mkmedia, "floppies", self.path("router-1.0.kpk"), self.path("floppies"))
        self.floppies = sorted(os.path.join(self.path("floppies"), name)
                               for name in os.listdir(self.path("floppies")))
        quiet("mkfs.fat", "-C", "-n", "BOOT", self.path("boot-floppy.img"), "1440")

    def machine(self, name, initrd, command_line=COMMAND_LINE):
        machine = Machine(self.work, name)
        machine.kernel(self.kernel["vmlinux"], initrd, command_line)
        return machine

    def dialogue(self, machine, steps, restart=True):
        """steps: (text awaited on the console, keys to type or None)."""
        for awaited, keys in steps:
            machine.expect(awaited, machine.left(RUN_TIMEOUT))
            if keys:
                machine.send(keys)
        if restart:
            restarted(machine, machine.left(RUN_TIMEOUT))

    def attempt(self, name, function):
        """A failure is recorded with the consoles and log devices; the stage goes on."""
        say(name)
        started = time.monotonic()
        self.run_machines = []
        try:
            needs_cd = name in ("keep", "boot") and not os.path.exists(self.path("cd-target.img"))
            problems = ["needs the disk of the cd run"] if needs_cd else function()
        except (pexpect.TIMEOUT, pexpect.EOF) as error:
            problems = [f"{type(error).__name__}: {str(error).splitlines()[0]}"]
            for machine in self.run_machines:
                problems.append(f"{machine.name}: console (last 3000 characters):\n"
                                + machine.console_text[-3000:])
                problems.append(f"{machine.name}: log device:\n"
                                + machine.read_file("log")[-2000:])
        for problem in problems:
            print(f"   FAILED: {problem}", flush=True)
        if problems:
            self.failures.append(name)
        print(f"   {'FAILED' if problems else 'passed'} ({time.monotonic() - started:.1f} s)",
              flush=True)

    def install(self, name, initrd, steps, disks, command_line=COMMAND_LINE):
        """disks: {IDE index: (image, cdrom)}."""
        machine = self.machine(name, initrd, command_line)
        self.run_machines = [machine]
        for index, (image, cdrom) in sorted(disks.items()):
            machine.ide(index, image, cdrom=cdrom)
        with machine:
            self.dialogue(machine, steps)
        self.report_times(name, machine)
        return machine

    def report_times(self, name, machine):
        installed = machine.time_of("Software installed.")
        steps = times_text(machine, [
            ("menu or first question", "Found harddrive"), ("partitioning", "Creating partition..."),
            ("formatting", "Formatting disk..."), ("first package", "installing "),
            ("file system check", "Checking disk integrity..."),
            ("Software installed.", "Software installed.")])
        modules = sum(int(line.rsplit(":", 1)[1].split()[0])
                      for line in machine.read_file("log").splitlines()
                      if line.startswith("insmod ") and line.endswith(" ms"))
        loading = f"; module loading {modules / 1000:.1f} s" if modules else ""
        print(f"   times from QEMU's start: {steps}{loading}", flush=True)
        if installed is not None:
            self.figures.append(f"{name}: QEMU's start to \"Software installed.\" {installed:.1f} s"
                                f" ({steps}{loading})")

    def check_disk(self, image, cylinders, packages, markers, absent=(), kept=None):
        """markers: {path: contents, or None for any}."""
        layout = checks.Layout(cylinders)
        problems = checks.check_sector0(image, self.boot_program)
        problems += checks.check_partitions(image, layout)
        if problems:
            return problems
        with checks.RootTree(image, layout.root) as root:
            problems += checks.check_system_files(root, layout, markers, absent)
            problems += checks.check_packages(root, packages)
            if kept is not None:
                problems += checks.check_tree_copy(root, kept, "/kest/store")
        return problems

    def cd_install(self, name, disk, iso, steps):
        initrd = self.initrd_with("initrd-cd", {"/TYPE": b"cdrom\n"})
        self.install(name, initrd, steps + [("Software installed.", None),
                                            ("Press ENTER to reboot", "\n")],
                     {0: (disk, False), 2: (self.path(iso), True)})

    def run_cd(self):
        """Every package selected with 'a', erase, keep nothing."""
        self.cd_disk = checks.disk_image(self.path("cd-target.img"), 200)
        self.cd_install("cd", self.cd_disk, "cd.iso", [
            ("cancel and reboot", "a"), (r"\[X\] dhcp", "i"), (r"Continue\?", "y"),
            ("keep old configuration", "n")])
        packages = dict(self.examples, siteconf=self.siteconf)
        return self.check_disk(self.cd_disk, 200, packages, markers={"/CDINSTALL": None})

    def run_keep(self):
        """The cd run's disk again with dhcp (and system, which it needs),
        keeping what siteconf put in /kest/store."""
        disk = self.path("cd-target.img")
        self.cd_install("keep", disk, "cd.iso", [
            ("cancel and reboot", "n"), ("depends on", "n"), ("depends on", " "),
            (r"\[X\] dhcp", "i"), (r"Continue\?", "y"), ("keep old configuration", "y"),
            ("Reading old configuration", None), ("Writing back old configuration", None)])
        packages = {name: self.examples[name] for name in ("system", "dhcp")}
        return self.check_disk(disk, 200, packages, markers={"/CDINSTALL": None},
                               kept=os.path.join(self.siteconf[1], "kest", "store"))

    def run_volume(self):
        """Boot and root partitions; no dialogue at all."""
        disk = checks.disk_image(self.path("volume-target.img"), 1024)
        volume = self.path("volume-run.img")
        shutil.copy(self.path("volume.img"), volume)
        initrd = self.initrd_with("initrd-volume", {})
        steps = [("Software installed.", None)]
        self.install("volume", initrd, steps, {0: (disk, False), 2: (volume, False)},
                     command_line=COMMAND_LINE + " -- -hdd-install")
        problems = self.check_disk(disk, 1024, self.examples, {"/autorun.scr": self.autorun},
                                   absent=["/CDINSTALL"])
        with open(volume, "rb") as source:
            first = source.read(512)
        if first[:checks.BOOT_PROGRAM_SIZE] != self.boot_program[:checks.BOOT_PROGRAM_SIZE] \
                or first[510:] != b"\x55\xaa":
            problems.append("the volume's first sector is not its \"mbr\" file")
        if "Press ENTER to reboot" in self.run_machines[0].console_text:
            problems.append("a successful volume installation asked for ENTER")
        return problems

    def run_floppies(self):
        """Serial console only; the boot floppy still in at the first prompt."""
        disk = checks.disk_image(self.path("floppy-target.img"), 100)
        initrd = self.initrd_with("initrd-floppies", {}, serial_only=True)
        machine = self.machine("floppies", initrd)
        self.run_machines = [machine]
        machine.ide(0, disk)
        machine.floppy(self.path("boot-floppy.img"))
        with machine:
            timeout = lambda: machine.left(RUN_TIMEOUT)  # noqa: E731
            retries = 0
            self.dialogue(machine, [(r"Continue\?", "y"), ("keep old configuration", "n"),
                                    ("Please insert 2nd installation floppy", None),
                                    ("Press ENTER when ready", "\n"), ("Wrong floppy!", None)],
                          restart=False)
            for number, floppy in enumerate(self.floppies):
                if number:
                    machine.expect(f"Please insert {number + 2}", timeout())
                machine.expect("Press ENTER when ready", timeout())
                machine.monitor(f"change floppy0 {floppy} raw")
                machine.send("\n")
                # The first read after swapping a mounted floppy may fail; setup asks again.
                for _ in range(3):
                    if machine.expect([f"Installing part {number + 1} of {len(self.floppies)}",
                                       "ERROR: No floppy, or bad floppy"], timeout()) == 0:
                        break
                    retries += 1
                    machine.expect("Press ENTER when ready", timeout())
                    machine.send("\n")
            self.dialogue(machine, [("Software installed.", None), ("Remove boot floppy", None),
                                    ("Press ENTER to reboot", "\n")])
        self.report_times("floppies", machine)
        print(f"   {len(self.floppies)} floppies; ENTER pressed again after \"No floppy, or bad "
              f"floppy\" {retries} times", flush=True)
        # The set is one bundle: its members and a record of the bundle itself.
        packages = dict(self.examples, firmware=self.firmware, router=("1.0", []))
        return self.check_disk(disk, 100, packages, {}, absent=["/CDINSTALL"])

    def run_big(self):
        disk = checks.disk_image(self.path("big-target.img"), 200)
        self.cd_install("big", disk, "large.iso", [
            ("cancel and reboot", "a"), (r"\[X\] tools", "i"), (r"Continue\?", "y"),
            ("keep old configuration", "n")])
        self.figures[-1] = self.figures[-1].replace(
            "big:", f"big ({self.large_size / 1e6:.0f} MB of packages):")
        return self.check_disk(disk, 200, self.large, markers={"/CDINSTALL": None})

    def run_net(self):
        server_disk = checks.disk_image(self.path("net-server.img"), 40)
        router_disk = checks.disk_image(self.path("net-router.img"), 200)
        label_floppy = self.path("net-label.img")
        quiet("mkfs.fat", "-C", label_floppy, "1440")
        subprocess.run(["mcopy", "-i", label_floppy, "-", "::label.txt"], check=True,
                       input=ROUTER_LABEL_TEXT.encode())
        port = free_loopback_port()
        server = self.machine("net-server", self.initrd_with("initrd-net-server", {
            "/TYPE": b"cdrom\n", "/lib/installsys/builtin": b"e1000\n"}))
        server.ide(0, server_disk)
        server.ide(2, self.path("cd.iso"), cdrom=True)
        server.nic(SERVER_MAC, listen=port)
        router = self.machine("net-router", self.initrd_with("initrd-net-router",
                                                             {"/TYPE": b"net\n"}))
        router.ide(0, router_disk)
        router.floppy(label_floppy)
        router.nic(ROUTER_MAC, connect=port)
        self.run_machines = [server, router]
        with server:
            if not wait_listening(port, 10):
                return [f"the server's QEMU does not listen on 127.0.0.1:{port}"]
            with router:
                self.serve_router(server, router)
            with_router = server.console_text
            self.dialogue(server, [("Press 'i' to install locally", "q"),
                                   ("Press ENTER to reboot", "\n")])
        self.report_times("net-router", router)
        print("   from the server's start: " + times_text(server, [
            ("server's menu", "Press 'i' to install locally"),
            ("router announces itself", "Waiting for installation server", router),
            ("router listed", "Found 1 router"), ("offer sent", "Sending offer..."),
            ("first package sent", "Transfering: "),
            ("\"Software installed.\" on the router", "Software installed.", router)]), flush=True)
        problems = []
        for name, (version, _) in sorted(dict(self.examples, siteconf=self.siteconf).items()):
            if f"Transfering: {name}-{version}.kpk..." not in with_router:
                problems.append(f"the server did not send {name}-{version}.kpk")
        with open(server_disk, "rb") as image:
            if any(piece.strip(b"\0") for piece in iter(lambda: image.read(1 << 20), b"")):
                problems.append("the server wrote to its own disk")
        script = router_script(ROUTER_MAC, *(typed for _, typed in ROUTER_ANSWERS[:3]), 9600)
        return problems + self.check_disk(
            router_disk, 200, dict(self.examples, siteconf=self.siteconf),
            {"/CDINSTALL": None, "/autorun.scr": script})

    def serve_router(self, server, router):
        timeout = lambda: server.left(NET_TIMEOUT)  # noqa: E731
        for awaited, keys in (("Press 'i' to install locally", "a"), (r"\[X\] dhcp", "r"),
                              ("Found 1 router", None)):
            server.expect_beside(awaited, timeout(), [router])
            if keys:
                server.send(keys)
        server.expect_beside(ROUTER_ENTRY, timeout(), [router])
        mac, label = server.process.match.group(1), server.process.match.group(2)
        if (mac, label) != (ROUTER_MAC, ROUTER_LABEL):
            raise pexpect.EOF(f"the server lists {mac} ({label}), "
                              f"expected {ROUTER_MAC} ({ROUTER_LABEL})")
        server.send("\n")
        for awaited, keys in ([(r"Keep config\? \[y/n\]:", "n")] + [
                (prompt + ": ", typed + "\n") for prompt, typed in ROUTER_ANSWERS]):
            server.expect_beside(awaited, timeout(), [router])
            server.send(keys)
        server.expect_beside("Software installed.", timeout(), [router])
        for awaited in ("Software installed.", "Press ENTER to reboot"):
            router.expect_beside(awaited, timeout(), [server])
        router.send("\n")
        restarted(router, timeout())

    def run_boot(self):
        return boot_checks.run_all(self.work, self.path("cd-target.img"))

    def run(self, selected):
        say("the router's programs (i386, static) and the installation system")
        self.build_router_programs()
        self.build_installation_system()
        say("packages and media")
        self.make_packages()
        self.make_media()
        for name in RUNS:
            if name in selected:
                self.attempt(name, getattr(self, f"run_{name}"))
        say("figures")
        for figure in self.figures:
            print(f"   {figure}")
        if self.failures:
            print(f"emulator stage: FAILED: {' '.join(self.failures)}")
            return 1
        print(f"emulator stage: {len(selected)} passed, 0 failed")
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for name in ("--source", "--router-build", "--kpk", "--mkmedia"):
        parser.add_argument(name, required=True)
    parser.add_argument("--cache", default=os.environ.get("TESS_EMULATOR_CACHE", DEFAULT_CACHE))
    parser.add_argument("--work", help="kept afterwards; default a temporary directory")
    parser.add_argument("runs", nargs="*", metavar="RUN", help=f"some of {', '.join(RUNS)}")
    options = parser.parse_args()
    unknown = set(options.runs) - set(RUNS)
    if unknown:
        parser.error(f"no run {' '.join(sorted(unknown))}")
    keep = options.work is not None
    if keep:
        shutil.rmtree(options.work, ignore_errors=True)
        os.makedirs(options.work)
    else:
        options.work = tempfile.mkdtemp(prefix="tess-emulator-")
    try:
        return Stage(options).run(options.runs or list(RUNS))
    finally:
        if not keep:
            shutil.rmtree(options.work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
