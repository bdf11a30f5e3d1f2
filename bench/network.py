#!/usr/bin/python3
"""Network installation throughput: one package set sent by the real setup
server (CD-ROM mode, the menu's 'r') to the real setup client (network
mode), each in its sandbox, over one veth pair between their namespaces.
Beside it, on the same pair and in the same round, before the two setups
start: the stop-and-wait bound (1452-byte blocks over the median round trip
of a 1472-byte UDP ping-pong) and a TFTP download of the same files with
Debian's atftp/atftpd, block sizes 512 and 1468. Rounds alternate; medians
and ratios at the end, also for a client whose installer only reads (so
that the transfer alone shows); then one round with 5% loss both ways (throughput,
and the datagrams the loss dropped, each of which cost one retry).

    sudo BENCH_BUILD_DIR=build /usr/bin/python3 bench/network.py [--rounds 3] [--megabytes 24]

Every datagram stays inside the two namespaces the run made (and their
link-local addresses exist only there, only before setup starts).
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
BUILD_DIR = os.environ.get("BENCH_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "sandbox"))
from sandbox import Disk, Sandbox, drop_randomly, join  # noqa: E402

SERVER_IP, CLIENT_IP = "169.254.77.1", "169.254.77.2"
PING_PORT, TFTP_PORT = 7000, 6969

ECHO = """
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], int(sys.argv[2])))
print("ready", flush=True)
while True:
    data, peer = s.recvfrom(2048)
    if data == b"stop":
        break
    s.sendto(data, peer)
"""

PING = """
import socket, statistics, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(1)
target = (sys.argv[1], int(sys.argv[2]))
payload = bytes(1472)
times = []
for _ in range(int(sys.argv[3])):
    start = time.perf_counter()
    s.sendto(payload, target)
    s.recv(2048)
    times.append(time.perf_counter() - start)
s.sendto(b"stop", target)
print(statistics.median(times))
"""


def program(name):
    for sub in ("setup", "installer", "tools"):
        path = os.path.join(BUILD_DIR, sub, name)
        if os.path.exists(path):
            return path
    sys.exit(f"{name} is not built under {BUILD_DIR}")


def in_ns(box, *command, **kwargs):
    return subprocess.run(["nsenter", f"--net=/proc/{box.network_pid()}/ns/net", *command],
                          check=True, capture_output=True, text=True, **kwargs)


def make_disc(directory, megabytes):
    """Three packages of incompressible files, megabytes in all."""
    kpk = program("kpk")
    rng = random.Random(1452)
    for index, share in enumerate((0.5, 0.3, 0.2)):
        name = ("system", "bulk", "extra")[index]
        tree = os.path.join(directory, f"tree-{name}")
        os.makedirs(os.path.join(tree, "var", name))
        with open(os.path.join(tree, "var", name, "data"), "wb") as out:
            out.write(rng.randbytes(int(megabytes * share * 1_000_000)))
        desc = os.path.join(directory, f"{name}.desc")
        with open(desc, "w") as out:
            out.write(f"name: {name}\nversion: 1.0\nbuild-time: 1767225600\ndescription: Benchmark data.\n")
        subprocess.run([kpk, "build", "--reproducible", desc, tree,
                        os.path.join(directory, "disc", f"{name}.kpk")], check=True,
                       capture_output=True)
    return os.path.join(directory, "disc")


def measure_links(server, client, files, scratch):
    """Round trip of a 1472-byte datagram and TFTP downloads, with
    link-local addresses that are removed again before setup starts."""
    for box, address in ((server, SERVER_IP), (client, CLIENT_IP)):
        in_ns(box, "ip", "link", "set", "lo", "up")
        in_ns(box, "ip", "link", "set", "eth0", "up")
        in_ns(box, "ip", "addr", "add", f"{address}/24", "dev", "eth0")
    echo = subprocess.Popen(["nsenter", f"--net=/proc/{client.network_pid()}/ns/net",
                             sys.executable, "-c", ECHO, CLIENT_IP, str(PING_PORT)],
                            stdout=subprocess.PIPE, text=True)
    echo.stdout.readline()
    rtt = float(in_ns(server, sys.executable, "-c", PING, CLIENT_IP, str(PING_PORT),
                      "3000").stdout)
    echo.wait(timeout=10)
    served = os.path.join(scratch, "tftp")
    os.makedirs(served, exist_ok=True)
    for path in files:
        shutil.copy(path, served)
    os.chmod(served, 0o777)
    daemon = subprocess.Popen(["nsenter", f"--net=/proc/{client.network_pid()}/ns/net",
                               "atftpd", "--daemon", "--no-fork", "--logfile", "/dev/null",
                               "--port", str(TFTP_PORT), "--bind-address", CLIENT_IP,
                               "--user", "root", "--group", "root", served])
    time.sleep(0.3)
    tftp = {}
    for block in (512, 1468):
        start = time.perf_counter()
        for path in files:
            name = os.path.basename(path)
            target = os.path.join(scratch, f"got-{name}")
            in_ns(server, "atftp", "--option", f"blksize {block}", "-g", "-r", name, "-l",
                  target, CLIENT_IP, str(TFTP_PORT))
            if os.path.getsize(target) != os.path.getsize(path):
                sys.exit(f"tftp: {name} came short")
            os.unlink(target)
        tftp[block] = time.perf_counter() - start
    daemon.kill()
    daemon.wait()
    for box, address in ((server, SERVER_IP), (client, CLIENT_IP)):
        in_ns(box, "ip", "addr", "del", f"{address}/24", "dev", "eth0")
    return rtt, tftp


def install(server, client, at_end=lambda: None, at_start=lambda: None):
    """Drives the server: every package, 'r', the router, answers; the
    seconds from the first package's header to the configuration's, and
    what at_end returns once the transfer is over. at_start runs when the
    first header goes out, its result (a function) when the last block is
    acknowledged."""
    console = server.console
    console.expect("Press 'i' to install locally")
    console.send("ar")
    console.expect(r"\(tessaron\)")
    console.send("\n")
    console.expect(r"Keep config\? \[y/n\]:")
    console.send("n")
    for text in ("192.0.2.7\n", "24\n", "192.0.2.1\n", "\n"):
        console.expect(": ")
        console.send(text)
    console.expect("Transfering: ")
    stop = at_start() or (lambda: None)
    start = time.perf_counter()
    console.expect("Transfering: configuration", timeout=600)
    seconds = time.perf_counter() - start
    stop()
    console.expect("Software installed.")
    client.console.expect("Press ENTER to reboot")
    measured = at_end()
    client.console.send("\n")
    if client.wait(timeout=60) != "restarted":
        sys.exit("client: " + client.console_text[-2000:])
    console.expect("Press 'i' to install locally")
    console.send("q")
    console.expect("Press ENTER to reboot")
    console.send("\n")
    server.wait(timeout=30)
    return seconds, measured


def dropped(box):
    text = in_ns(box, "nft", "list", "table", "inet", "tess_loss").stdout
    return int(text.split("packets")[1].split()[0])


def sink(scratch):
    """An installer that only reads its package: the client's side of the
    transfer without the cost of installing."""
    path = os.path.join(scratch, "sink")
    with open(path, "w") as out:
        out.write("#!/bin/bash\nexec /usr/bin/cat > /dev/null\n")
    os.chmod(path, 0o755)
    return path


def setup_pids(box):
    """The setup processes (/sbin/init in the sandbox) of box's network
    namespace: the first process and the child that does the work."""
    namespace = os.readlink(f"/proc/{box.network_pid()}/ns/net")
    pids = []
    for entry in os.listdir("/proc"):
        try:
            if (entry.isdigit() and os.readlink(f"/proc/{entry}/ns/net") == namespace
                    and open(f"/proc/{entry}/comm").read().strip() == "init"):
                pids.append(entry)
        except OSError:
            pass
    return pids


def profiler(server, client, directory, tool):
    """An at_start for install: attaches tool ("strace": system call
    counts, "perf": task clock, context switches and migrations, "record":
    perf's call-graph profile) to both
    setups and, with -f, to the installers the client starts; the function
    it returns stops the tracers, whose reports go to directory."""
    def start():
        tracers = []
        for name, box in (("server", server), ("client", client)):
            pids = setup_pids(box)
            output = os.path.join(directory, f"{name}.{tool}")
            if tool == "strace":
                command = ["strace", "-c", "-f", "-o", output]
            elif tool == "record":
                command = ["perf", "record", "-g", "-o", output + ".data"]
            else:
                command = ["perf", "stat", "-e",
                           "task-clock,context-switches,cpu-migrations", "-o", output]
            command += ["-p", ",".join(pids)]
            tracers.append(subprocess.Popen(command, stderr=subprocess.DEVNULL))
        time.sleep(0.2 if tool == "strace" else 0)

        def stop():
            for tracer in tracers:
                tracer.send_signal(2)
                tracer.wait(timeout=30)
        return stop
    return start


def round_trip(scratch, disc, files, loss=0, installer=None, profile=None, setup=None,
               measure=True):
    """One installation between two fresh sandboxes, with setup (default:
    the build's) on both sides; measure adds the round trip and TFTP
    figures of the pair (not with loss)."""
    setup = setup or program("setup")
    server = Sandbox(setup, program("installer"),
                     [Disk("hda", os.path.join(scratch, "server.img"), 20)],
                     media=[("hdc", "iso9660", disc, True)], type_word="cdrom",
                     wait_for_network=True)
    client = Sandbox(setup, installer or program("installer"),
                     [Disk("hda", os.path.join(scratch, "client.img"), 400)], type_word="net",
                     wait_for_network=True)
    with server, client:
        server.start(timeout=300)
        client.start(timeout=300)
        join(server, client, "02:00:00:00:00:01", "02:00:00:00:00:02")
        links = measure_links(server, client, files, scratch) if measure and not loss else None
        if loss:
            drop_randomly(server, loss)
            drop_randomly(client, loss)
        server.network_ready()
        client.network_ready()
        at_start = profiler(server, client, *profile) if profile else lambda: None
        seconds, lost = install(server, client,
                                lambda: dropped(server) + dropped(client) if loss else 0,
                                at_start)
    for image in ("server.img", "client.img"):
        os.unlink(os.path.join(scratch, image))
    return seconds, links, lost


def compare(scratch, disc, files, total, old_setup, rounds):
    """Another setup build against this one, taking turns in every round,
    into a sink and with the installer."""
    rates = {}
    for number in range(rounds):
        for installer in (sink(scratch), None):
            for name, setup in (("old", old_setup), ("new", program("setup"))):
                seconds, _, _ = round_trip(scratch, disc, files, installer=installer,
                                           setup=setup, measure=False)
                kind = "sink" if installer else "installer"
                rates.setdefault((name, kind), []).append(total / seconds)
                print(f"round {number + 1}: {name} into {'a sink' if installer else 'the installer'}"
                      f" {total / seconds / 1e6:.2f} MB/s", flush=True)
    m = statistics.median
    for kind in ("sink", "installer"):
        old, new = m(rates[("old", kind)]), m(rates[("new", kind)])
        print(f"medians into {kind}: old {old / 1e6:.2f} MB/s, new {new / 1e6:.2f} MB/s, "
              f"new / old {new / old:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--megabytes", type=float, default=24)
    parser.add_argument("--compare", metavar="OLD_SETUP",
                        help="instead of measuring: another setup binary against the "
                        "build's, taking turns")
    parser.add_argument("--profile", metavar="DIR",
                        help="instead of measuring: system call counts (strace -c) and "
                        "then task clock and context switches (perf stat), then a "
                        "call-graph profile (perf record) of both sides during one "
                        "installation each, into DIR")
    options = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("run as root: the sandboxes need namespaces and loop devices")
    for tool in ("atftp", "atftpd", "nft", "nsenter"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is missing (apt-get install atftp atftpd nftables util-linux)")
    scratch = tempfile.mkdtemp(prefix="tess-bench-net.", dir=os.environ.get("BENCH_SCRATCH",
                                                                             "/var/tmp"))
    try:
        os.makedirs(os.path.join(scratch, "disc"))
        disc = make_disc(scratch, options.megabytes)
        files = sorted(os.path.join(disc, name) for name in os.listdir(disc))
        total = sum(os.path.getsize(path) for path in files)
        if options.compare:
            compare(scratch, disc, files, total, os.path.abspath(options.compare),
                    options.rounds)
            return
        if options.profile:
            os.makedirs(options.profile, exist_ok=True)
            for tool in ("strace", "perf", "record"):
                seconds, _, _ = round_trip(scratch, disc, files, loss=0,
                                           profile=(options.profile, tool))
                print(f"{tool}: setup {total / seconds / 1e6:.2f} MB/s under the tracer; "
                      f"reports in {options.profile}")
            return
        print(f"package set: {len(files)} files, {total / 1e6:.1f} MB; "
              f"load {open('/proc/loadavg').read().split()[0]}")
        setup_rates, sink_rates, bounds, tftp512, tftp1468 = [], [], [], [], []
        for number in range(options.rounds):
            seconds, _, _ = round_trip(scratch, disc, files, installer=sink(scratch))
            sink_rates.append(total / seconds)
            print(f"round {number + 1}: setup into a sink {total / seconds / 1e6:.2f} MB/s")
            seconds, (rtt, tftp), _ = round_trip(scratch, disc, files)
            setup_rates.append(total / seconds)
            bounds.append(1452 / rtt)
            tftp512.append(total / tftp[512])
            tftp1468.append(total / tftp[1468])
            print(f"round {number + 1}: setup {total / seconds / 1e6:.2f} MB/s, rtt "
                  f"{rtt * 1e6:.0f} us (bound {1452 / rtt / 1e6:.2f} MB/s), tftp 512 "
                  f"{total / tftp[512] / 1e6:.2f} MB/s, tftp 1468 {total / tftp[1468] / 1e6:.2f} MB/s",
                  flush=True)
        m = statistics.median
        print(f"\nmedians: setup {m(setup_rates) / 1e6:.2f} MB/s; stop-and-wait bound "
              f"{m(bounds) / 1e6:.2f} MB/s; tftp 512 {m(tftp512) / 1e6:.2f} MB/s; "
              f"tftp 1468 {m(tftp1468) / 1e6:.2f} MB/s")
        print(f"setup into a sink (no installing): {m(sink_rates) / 1e6:.2f} MB/s")
        print(f"setup / bound     = {m(setup_rates) / m(bounds):.2f}  (goal >= 0.85); "
              f"into a sink {m(sink_rates) / m(bounds):.2f}")
        print(f"setup / tftp 512  = {m(setup_rates) / m(tftp512):.2f}  (goal >= 3); "
              f"into a sink {m(sink_rates) / m(tftp512):.2f}")
        print(f"setup / tftp 1468 = {m(setup_rates) / m(tftp1468):.2f}; "
              f"into a sink {m(sink_rates) / m(tftp1468):.2f}")
        seconds, _, lost = round_trip(scratch, disc, files, loss=5)
        print(f"\nwith 5% loss both ways: setup {total / seconds / 1e6:.2f} MB/s, "
              f"{lost} datagrams dropped (each one retry) for about "
              f"{total // 1452 * 2} sent")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
