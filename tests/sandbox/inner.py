"""The sandbox's inner stage, started by sandbox.py on the console with the
run's configuration file: new namespaces, the root's mounts, the program as
process 1, its log and its end (README.md, "How a run goes")."""
import ctypes
import json
import os
import select
import shutil
import signal
import socket
import stat
import sys
import time
import tty

CLONE_NEWNS = 0x00020000
CLONE_NEWUTS = 0x04000000
CLONE_NEWIPC = 0x08000000
CLONE_NEWPID = 0x20000000
CLONE_NEWNET = 0x40000000
MS_RDONLY, MS_NOSUID, MS_NODEV, MS_NOEXEC = 1, 2, 4, 8
MS_REMOUNT, MS_BIND, MS_REC, MS_PRIVATE = 32, 4096, 16384, 1 << 18
MNT_DETACH = 2
PR_SET_PDEATHSIG = 1

libc = ctypes.CDLL(None, use_errno=True)
terminate_requested = False


def check(result, what):
    if result != 0:
        error = ctypes.get_errno()
        raise OSError(error, f"{what}: {os.strerror(error)}")


def mount(source, target, fstype, flags, data=None):
    encode = lambda text: text.encode() if text is not None else None
    check(libc.mount(encode(source), encode(target), encode(fstype), ctypes.c_ulong(flags),
                     encode(data)), f"mount {source} on {target}")


def bind(source, target, read_only=False):
    mount(source, target, None, MS_BIND | MS_REC)
    if read_only:
        mount(None, target, None, MS_REMOUNT | MS_BIND | MS_RDONLY)


def make_node(path, kind, major, minor, mode=0o660):
    os.mknod(path, mode | kind, os.makedev(major, minor))


def partitions_of(major, minor):
    """(number, major, minor) of the partitions the kernel found on a disk."""
    sysfs = f"/sys/dev/block/{major}:{minor}"
    found = []
    for entry in os.listdir(sysfs):
        if os.path.exists(os.path.join(sysfs, entry, "partition")):
            with open(os.path.join(sysfs, entry, "partition")) as number, \
                    open(os.path.join(sysfs, entry, "dev")) as dev:
                found.append((int(number.read()), *map(int, dev.read().split(":"))))
    return found


def bind_file(source, target):
    """Bind-mounts source at target: a pseudo-terminal must keep its own file system."""
    open(target, "w").close()
    bind(source, target)


def prepare_root(config, log_slave_path, console_path):
    root = config["root"]
    path = lambda inner: os.path.join(root, inner.lstrip("/"))
    mount(None, "/", None, MS_REC | MS_PRIVATE)
    bind("/usr", path("/usr"), read_only=True)
    mount("sysfs", path("/sys"), "sysfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC)
    mount("tmpfs", path("/dev"), "tmpfs", MS_NOSUID, "mode=755")
    for name, major, minor in (("null", 1, 3), ("zero", 1, 5), ("tty", 5, 0)):
        make_node(path("/dev/" + name), stat.S_IFCHR, major, minor, 0o666)
    for disk in config["disks"]:
        make_node(path("/dev/" + disk["name"]), stat.S_IFBLK, disk["major"], disk["minor"])
        for number, major, minor in partitions_of(disk["major"], disk["minor"]):
            make_node(path(f"/dev/{disk['name']}{number}"), stat.S_IFBLK, major, minor)
    for node in config["absent_drives"]:
        make_node(path(node["path"]), stat.S_IFBLK, node["major"], node["minor"])
    bind_file(log_slave_path, path("/dev/tty9"))
    bind_file(console_path, path("/dev/ttyS0" if config["serial_console"] else "/dev/tty0"))
    for medium in config["media"]:
        bind(medium["host_directory"], path(medium["directory"]), medium["read_only"])


def mounts_under(directory):
    prefix = directory.rstrip("/") + "/"
    with open("/proc/self/mountinfo") as table:
        return [line.split()[4] for line in table if line.split()[4].startswith(prefix)]


def run_first_process(config):
    """Runs in the forked child; never returns."""
    try:
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
        if os.getpid() != 1 or os.readlink("/proc/self/ns/pid") == config["outer_pid_namespace"]:
            write_status(config, "refused: not the first process of a new PID namespace")
            os._exit(125)
        os.chroot(config["root"])
        os.chdir("/")
        # A kernel starts its first process with every signal at its default;
        # this stage and Python ignore some (SIGINT, SIGPIPE, SIGXFSZ).
        for number in signal.valid_signals() - {signal.SIGKILL, signal.SIGSTOP}:
            try:
                signal.signal(number, signal.SIG_DFL)
            except (OSError, ValueError):
                pass  # numbers the C library keeps for itself
        signal.pthread_sigmask(signal.SIG_SETMASK, [])
        program = config["program"]
        os.execve(program, [program] + config["arguments"], config["environment"])
    except BaseException as error:  # reported on the console, then the stage ends
        os.write(2, f"sandbox: could not start {config['program']}: {error}\n".encode())
    os._exit(127)


def write_status(config, text):
    with open(config["status_path"], "w") as status:
        status.write(text + "\n")


def describe_end(wait_status):
    if os.WIFSIGNALED(wait_status):
        number = os.WTERMSIG(wait_status)
        # The kernel ends a PID namespace whose process called reboot(2) as if
        # its first process had died of SIGHUP (restart) or SIGINT (halt).
        if number == signal.SIGHUP:
            return "restarted"
        if number == signal.SIGINT:
            return "halted"
        return f"killed by {signal.Signals(number).name}"
    return f"exited {os.WEXITSTATUS(wait_status)}"


def copy_log(master, log):
    while select.select([master], [], [], 0)[0]:
        try:
            data = os.read(master, 65536)
        except OSError:
            return
        if not data:
            return
        log.write(data)
        log.flush()


def supervise(config, child, log_master):
    """Copies the log device and waits for the first process; returns its end."""
    killed = False
    with open(config["log_path"], "ab") as log:
        while True:
            if terminate_requested and not killed:
                os.kill(child, signal.SIGKILL)
                killed = True
            select.select([log_master], [], [], 0.1)
            copy_log(log_master, log)
            pid, wait_status = os.waitpid(child, os.WNOHANG)
            if pid == child:
                copy_log(log_master, log)
                return "killed by the sandbox" if killed else describe_end(wait_status)


def request_termination(number, frame):
    global terminate_requested
    terminate_requested = True


def wait_for_network(config):
    """Waits for the test's gate file; false when told to end first."""
    gate = config.get("network_gate")
    while gate and not os.path.exists(gate):
        if terminate_requested:
            return False
        time.sleep(0.02)
    return True


def main(config_path):
    with open(config_path) as source:
        config = json.load(source)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    if os.getppid() != config["parent_pid"]:
        return 1  # the test is already gone
    for number in (signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP):
        signal.signal(number, signal.SIG_IGN)
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, request_termination)
    console_path = os.ttyname(0)
    log_master, log_slave = os.openpty()
    tty.setraw(log_slave)
    check(libc.unshare(CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWNET),
          "unshare")
    socket.sethostname("router")
    try:
        prepare_root(config, os.ttyname(log_slave), console_path)
        if not wait_for_network(config):
            write_status(config, "killed by the sandbox")
            return 0
        child = os.fork()
        if child == 0:
            run_first_process(config)
        end = supervise(config, child, log_master)
        if not os.path.exists(config["status_path"]):
            write_status(config, end)
    finally:
        for point in sorted(set(mounts_under(config["root"])), key=len, reverse=True):
            libc.umount2(point.encode(), MNT_DETACH)  # deepest first
    if os.getppid() != config["parent_pid"] and not mounts_under(config["run_dir"]):
        shutil.rmtree(config["run_dir"], ignore_errors=True)  # nobody else will
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
