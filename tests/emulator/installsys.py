"""The router's installation system for the emulated PC (README.md); downloads are cached."""
import glob
import lzma
import os
import re
import shutil
import stat
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
KERNEL_META_PACKAGE = "linux-image-amd64"
BUSYBOX_PACKAGE = "busybox-static"

# Built into a router's kernel, modules here: insmod loads them first.
BASE_MODULES = ["ata_piix", "sd_mod", "floppy", "crc32c_generic", "ext4"]
# setup's module names as this kernel calls them; others (old USB host
# drivers) fail, as on a router that lacks them.
MODULE_NAMES = {"fat": ["fat"], "vfat": ["vfat", "nls_cp437", "nls_ascii"], "isofs": ["isofs"],
                "cdrom": ["cdrom"], "ide-cd": ["sr_mod"], "e1000": ["e1000"]}

HOST_PROGRAMS = {"/bin/bash": "/bin/bash", "/sbin/mke2fs": "/usr/sbin/mke2fs",
                 "/sbin/e2fsck": "/usr/sbin/e2fsck", "/sbin/fsck": "/usr/sbin/fsck",
                 "/usr/sbin/sfdisk": "/usr/sbin/sfdisk"}


class BuildError(Exception):
    pass


def run(args, **kwargs):
    result = subprocess.run(args, capture_output=True, **kwargs)
    if result.returncode != 0:
        raise BuildError(f"{' '.join(args)}: {result.stderr.decode(errors='replace').strip()}")
    return result.stdout


def cached_package(cache, pattern, name_for_download):
    debs = os.path.join(cache, "debs")
    os.makedirs(debs, exist_ok=True)
    found = sorted(glob.glob(os.path.join(debs, pattern)))
    if found:
        return found[-1]
    name = name_for_download()
    print(f"   downloading {name} into {debs}", flush=True)
    # apt's own download user may not write into a cache under /root or /work.
    download = ["apt-get", "download", "-o", "APT::Sandbox::User=root", name]
    if subprocess.run(download, cwd=debs, capture_output=True).returncode != 0:
        run(["apt-get", "update", "-qq"])  # a fresh machine may have no package lists yet
        run(download, cwd=debs)
    found = sorted(glob.glob(os.path.join(debs, pattern)))
    if not found:
        raise BuildError(f"apt-get download {name} left no {pattern}")
    return found[-1]


def kernel_package_name():
    if subprocess.run(["apt-cache", "show", KERNEL_META_PACKAGE], capture_output=True).returncode:
        run(["apt-get", "update", "-qq"])
    output = run(["apt-cache", "depends", KERNEL_META_PACKAGE]).decode()
    match = re.search(r"Depends: (linux-image-\S+-amd64)\b", output)
    if not match:
        raise BuildError(f"{KERNEL_META_PACKAGE} names no kernel image package")
    return match.group(1)


def uncompressed_kernel(bzimage):
    """The ELF image inside a bzImage: QEMU starts it through its PVH entry."""
    with open(bzimage, "rb") as source:
        data = source.read()
    at = data.find(b"\xfd7zXZ\x00")
    while at >= 0:
        try:
            elf = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[at:])
            if elf.startswith(b"\x7fELF"):
                return elf
        except lzma.LZMAError:
            pass
        at = data.find(b"\xfd7zXZ\x00", at + 1)
    raise BuildError(f"{bzimage}: no xz-compressed ELF image inside")


def module_dependencies(path):
    with open(path, "rb") as module:
        data = module.read()
    match = re.search(rb"\x00depends=([^\x00]*)\x00", data)
    return [name for name in match.group(1).decode().split(",") if name] if match else []


def load_order(names, index):
    """names, each after the modules it depends on."""
    ordered, seen = [], set()

    def visit(name):
        name = name.replace("-", "_")
        if name in seen:
            return
        seen.add(name)
        if name not in index:
            raise BuildError(f"the kernel has no module {name}")
        for dependency in module_dependencies(index[name]):
            visit(dependency)
        ordered.append(name)

    for name in names:
        visit(name)
    return ordered


def prepare_kernel(cache):
    """{"version", "vmlinux", "modules": {name: file}, "table": module table}."""
    deb = cached_package(cache, "linux-image-*-amd64_*.deb", kernel_package_name)
    version = os.path.basename(deb).split("_")[0][len("linux-image-"):]
    target = os.path.join(cache, f"kernel-{version}")
    done = os.path.join(target, "table")
    if not os.path.exists(done):
        shutil.rmtree(target, ignore_errors=True)
        unpacked = target + ".unpacking"
        shutil.rmtree(unpacked, ignore_errors=True)
        os.makedirs(unpacked)
        run(["dpkg-deb", "-x", deb, unpacked])
        with open(os.path.join(target + ".vmlinux"), "wb") as out:
            out.write(uncompressed_kernel(os.path.join(unpacked, "boot", f"vmlinuz-{version}")))
        index = {os.path.basename(path)[:-3].replace("-", "_"): path for path in glob.glob(
            f"{unpacked}/lib/modules/{version}/kernel/**/*.ko", recursive=True)}
        wanted = BASE_MODULES + [m for names in MODULE_NAMES.values() for m in names]
        os.makedirs(os.path.join(target, "modules"))
        for name in load_order(wanted, index):
            shutil.copy(index[name], os.path.join(target, "modules", name + ".ko"))
        lines = ["# name setup asks for, then the module files to load, in order"]
        module_dir = f"/lib/modules/{version}"
        for old_name, names in [("-base", BASE_MODULES)] + sorted(MODULE_NAMES.items()):
            files = [f"{module_dir}/{name}.ko" for name in load_order(names, index)]
            lines.append(" ".join([old_name] + files))
        os.rename(target + ".vmlinux", os.path.join(target, "vmlinux"))
        shutil.rmtree(unpacked)
        with open(done, "w") as table:
            table.write("\n".join(lines) + "\n")
    modules = {os.path.basename(p)[:-3]: p for p in glob.glob(f"{target}/modules/*.ko")}
    with open(done) as table:
        return {"version": version, "vmlinux": os.path.join(target, "vmlinux"),
                "modules": modules, "table": table.read()}


def prepare_busybox(cache):
    deb = cached_package(cache, "busybox-static_*.deb", lambda: BUSYBOX_PACKAGE)
    target = os.path.join(cache, "busybox")
    if not os.path.exists(target):
        unpacked = target + ".unpacking"
        shutil.rmtree(unpacked, ignore_errors=True)
        run(["dpkg-deb", "-x", deb, unpacked])
        os.rename(os.path.join(unpacked, "bin", "busybox"), target)
        shutil.rmtree(unpacked)
    return target


class Cpio:
    """A "newc" archive from memory: owners, modes and devices as given."""

    def __init__(self):
        self.parts = []
        self.inode = 1000
        self.names = set()

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        name = name.lstrip("/")
        self.names.add(name)
        self.inode += 1
        fields = [self.inode, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1],
                  len(name) + 1, 0]
        header = b"070701" + b"".join(b"%08X" % value for value in fields)
        encoded = header + name.encode() + b"\x00"
        encoded += b"\x00" * (-len(encoded) % 4) + data
        self.parts.append(encoded + b"\x00" * (-len(encoded) % 4))

    def directory(self, name, mode=0o755):
        path = ""
        for component in name.strip("/").split("/"):
            path += "/" + component
            if path.lstrip("/") not in self.names:
                self._entry(path, stat.S_IFDIR | mode)

    def file(self, name, data, mode=0o644):
        self.directory(os.path.dirname(name))
        self._entry(name, stat.S_IFREG | mode, data)

    def host_file(self, name, path, mode=None):
        with open(path, "rb") as source:
            self.file(name, source.read(), mode or os.stat(path).st_mode & 0o7777)

    def symlink(self, name, target):
        self.directory(os.path.dirname(name))
        self._entry(name, stat.S_IFLNK | 0o777, target.encode())

    def device(self, name, kind, major, minor, mode=0o600):
        self._entry(name, kind | mode, rdev=(major, minor))

    def bytes(self):
        self._entry("TRAILER!!!", 0)
        data = b"".join(self.parts)
        return data + b"\x00" * (-len(data) % 512)


def add_host_program(archive, name, path):
    """The program and the shared libraries ldd names for it."""
    archive.host_file(name, path)
    for library in sorted(set(re.findall(r"(/\S+) \(0x", run(["ldd", path]).decode()))):
        if library.lstrip("/") not in archive.names:
            archive.host_file(library, os.path.realpath(library))


def build_initramfs(kernel, busybox, setup, installer, with_virtual_console=True):
    """With a virtual console setup keeps the kernel's console (ttyS0) and
    logs to /dev/tty9, here the second serial line; without, it switches to
    /dev/ttyS0 itself and discards the disk tools' output."""
    archive = Cpio()
    for directory in ("/proc", "/sys", "/mnt", "/floppy", "/tmp", "/etc", "/root", "/dev"):
        archive.directory(directory)
    devices = [("console", 5, 1, 0o600), ("null", 1, 3, 0o666), ("zero", 1, 5, 0o666),
               ("random", 1, 8, 0o666), ("urandom", 1, 9, 0o666), ("tty", 5, 0, 0o666),
               ("ttyS0", 4, 64, 0o600)]
    if with_virtual_console:
        devices += [("tty0", 4, 0, 0o600), ("tty9", 4, 65, 0o600)]
    for name, major, minor, mode in devices:
        archive.device(f"/dev/{name}", stat.S_IFCHR, major, minor, mode)
    archive.device("/dev/fd0", stat.S_IFBLK, 2, 0, 0o660)
    archive.symlink("/dev/fd", "/proc/self/fd")
    archive.symlink("/etc/mtab", "/proc/mounts")
    archive.host_file("/etc/mke2fs.conf", "/etc/mke2fs.conf")

    archive.host_file("/sbin/init", setup, 0o755)
    archive.host_file("/sbin/installer", installer, 0o755)
    for name, path in HOST_PROGRAMS.items():
        add_host_program(archive, name, path)
    archive.symlink("/bin/sh", "bash")
    for name in ("fsck.ext2", "fsck.ext3"):
        archive.symlink(f"/sbin/{name}", "e2fsck")
    archive.host_file("/bin/busybox", busybox, 0o755)
    for name in ("sfdisk", "insmod"):
        archive.host_file(f"/sbin/{name}", os.path.join(HERE, "installsys", name), 0o755)
    archive.host_file("/lib/installsys/ide.sh", os.path.join(HERE, "installsys", "ide.sh"), 0o644)

    module_dir = f"/lib/modules/{kernel['version']}"
    for name, path in sorted(kernel["modules"].items()):
        archive.host_file(f"{module_dir}/{name}.ko", path, 0o644)
    archive.file("/lib/installsys/modules", kernel["table"].encode())
    return archive.bytes()


def extra_archive(files):
    archive = Cpio()
    for name, data in files.items():
        archive.file(name, data)
    return archive.bytes()
