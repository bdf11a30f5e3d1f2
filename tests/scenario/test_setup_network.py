"""Network installation between sandboxes: a setup server (CD-ROM mode, 'r')
installs setup clients over veth pairs, also with loss; a test peer plays a
hostile server or a silent router."""
import os
import random
import textwrap

import pytest

from conftest import needs_root, program
from pkgtools import FileEntry, DIRECTORY, raw
from setup_support import (Disk, Sandbox, build_examples, cat, e2fsck_clean, inode_facts,
                           reboot_at_prompt)

from sandbox import Peer, drop_randomly, join

pytestmark = needs_root()

SERVER_MAC = "02:00:00:00:00:01"
CLIENT_MAC = "02:00:00:00:00:02"
OTHER_MAC = "02:00:00:00:00:03"
# Printed into the scripts only; no datagram ever carries an IP address.
ANSWERS = {"address": "192.0.2.7", "bits": "16", "gateway": "192.0.2.1", "baud": ""}
BLOB = random.Random(5000).randbytes(300_000)  # about 200 blocks


def script_for(mac, address, bits, gateway, baud):
    return (":local eth\n:set eth [/interface ethernet get [/interface ethernet find "
            f"mac-address={mac}] name]\n/interface enable $eth\n"
            f"/ip address add address={address}/{bits} interface=$eth\n"
            f"/ip route add gateway={gateway}\n/port set [/port find] baud-rate={baud}\n").encode()


KEPT = [
    FileEntry("/kest", mode=DIRECTORY),
    FileEntry("/kest/store", mode=0o40750),
    FileEntry("/kest/store/interfaces", b"ether1 198.51.100.1\n" * 200, mode=0o100640),
]


@pytest.fixture(scope="module")
def disc(tmp_path_factory):
    """system, ppp, dhcp, a configuration package and a package of random bytes."""
    folder = tmp_path_factory.mktemp("disc")
    build_examples(folder)
    (folder / "config.kpk").write_bytes(raw("config", entries=KEPT, deps=["system"]))
    (folder / "blob.kpk").write_bytes(raw("blob", entries={"/var/blob": BLOB}, deps=["system"]))
    return str(folder)


def server_box(tmp_path, disc):
    return Sandbox(program("setup"), program("installer"), [Disk("hda", tmp_path / "srv.img", 20)],
                   media=[("hdc", "iso9660", disc, True)], type_word="cdrom",
                   wait_for_network=True)


def client_box(tmp_path, name, label=None):
    media = []
    if label is not None:
        floppy = tmp_path / f"{name}-floppy"
        floppy.mkdir()
        (floppy / "label.txt").write_text(label)
        media = [("fd0", "vfat", str(floppy), False)]
    return Sandbox(program("setup"), program("installer"), [Disk("hda", tmp_path / f"{name}.img", 100)],
                   media=media, type_word="net", wait_for_network=True)


def bring_up(boxes, *links, loss=0):
    """Starts the boxes, joins each link (join's arguments), applies the loss."""
    for box in boxes:
        box.start(timeout=120)
    for link in links:
        join(*link)
    for box in boxes if loss else ():
        drop_randomly(box, loss)
    for box in boxes:
        box.network_ready()


ENTRY = r"(?:\x1b\[[0-9;]*[mK])* ([0-9A-F:]{17}) \(([^)]*)\) "


def choose_router(console, label, count=1):
    """Selects label among count routers listed newest first (the first found is selected)."""
    console.expect(f"Found {count} router")
    console.expect(r": \r\n\r\n" + r"\r\n".join([ENTRY] * count))
    labels = [console.match.group(2 * i + 2) for i in range(count)]
    console.send("p" * (count - 1 - labels.index(label)) + "\n")
    return console.match.group(2 * labels.index(label) + 1)


def answer(console, keep=False, address="", bits="", gateway="", baud=""):
    console.expect(r"Keep config\? \[y/n\]:")
    console.send("y" if keep else "n")
    if keep:
        return
    for prompt, text in (("IP address", address), ("netmask bit count", bits),
                         ("default gateway address", gateway), ("baud rate", baud)):
        console.expect(prompt + ": ")
        console.send(text + "\n")


def remote_install(server_console, client, label, keys="", keep=False, count=1, **answers):
    """From the menu: keys, 'r', the router, the answers; the client restarts."""
    server_console.expect("Press 'i' to install locally")
    server_console.send(keys + "r")
    mac = choose_router(server_console, label, count)
    answer(server_console, keep, **answers)
    server_console.expect("Software installed.")
    assert reboot_at_prompt(client) == "restarted", client.console_text
    return mac


def leave_menu(server):
    server.console.expect("Press 'i' to install locally")
    server.console.send("q")
    assert reboot_at_prompt(server) == "restarted"


def installed_version(image, name):
    return cat(image, 63, f"/var/pdb/{name}/version")


def test_install_with_loss_then_reinstall_keeping_the_configuration(tmp_path, disc):
    server, client = server_box(tmp_path, disc), client_box(tmp_path, "client", "  lab one\n")
    with server, client:
        bring_up((server, client), (server, client, SERVER_MAC, CLIENT_MAC), loss=10)
        client.console.expect("disk label: labone")
        remote_install(server.console, client, "labone", keys="a", **ANSWERS)
        assert "Transfering: config.kpk..." in server.console_text
        assert "8139too" in client.insmod_names
        assert server.insmod_names.count("e1000") == 1  # the server loads the drivers too
        leave_menu(server)
    assert "FATAL" not in server.console_text + client.console_text
    image = client.disks[0].image_path
    clean, report = e2fsck_clean(image, 63)
    assert clean, report
    for name in ("system", "ppp", "dhcp", "config", "blob"):
        assert installed_version(image, name) != b"", name
    assert cat(image, 63, "/var/blob") == BLOB
    assert cat(image, 63, "/autorun.scr") == script_for(CLIENT_MAC, "192.0.2.7", 16, "192.0.2.1",
                                                        9600)
    assert inode_facts(image, 63, "/CDINSTALL")[0] & 0o7777 == 0o600
    assert "network card found" not in client.console_text

    # Again, keeping the configuration: only the system is sent, no script.
    server, client = server_box(tmp_path, disc), client_box(tmp_path, "client")
    with server, client:
        bring_up((server, client), (server, client, SERVER_MAC, CLIENT_MAC))
        remote_install(server.console, client, "tessaron", keep=True)
        leave_menu(server)
    assert "Reading old configuration..." in client.console_text
    assert "Writing configuration..." not in client.console_text
    assert installed_version(image, "system") != b""
    assert installed_version(image, "ppp") == b""
    assert cat(image, 63, "/kest/store/interfaces") == KEPT[2].data
    assert inode_facts(image, 63, "/autorun.scr") is None


def test_one_server_installs_two_routers_each_with_its_own_script(tmp_path, disc):
    server = server_box(tmp_path, disc)
    first, second = client_box(tmp_path, "first", "first"), client_box(tmp_path, "second", "second")
    with server, first, second:
        bring_up((server, first, second), (server, first, SERVER_MAC, CLIENT_MAC),
                 (server, second, "02:00:00:00:00:11", OTHER_MAC, "eth1"))
        # blob only, which brings system along
        assert remote_install(server.console, second, "second", "nnn ", count=2,
                              address="192.0.2.20", bits="24", gateway="192.0.2.1") == OTHER_MAC
        assert remote_install(server.console, first, "first", address="198.51.100.5",
                              bits="30", gateway="198.51.100.6", baud="115200") == CLIENT_MAC
        leave_menu(server)
    assert "Looking for routers on 2 interfaces..." in server.console_text
    image = second.disks[0].image_path
    assert cat(image, 63, "/var/blob") == BLOB and installed_version(image, "ppp") == b""
    assert cat(image, 63, "/autorun.scr") == script_for(OTHER_MAC, "192.0.2.20", 24, "192.0.2.1", 9600)
    assert cat(first.disks[0].image_path, 63, "/autorun.scr") == \
        script_for(CLIENT_MAC, "198.51.100.5", 30, "198.51.100.6", 115200)


# A test peer that speaks the protocol from the other side: it offers an
# installation to the first router it hears (server) or only announces
# itself (router). Written here, run in its own namespace.
PEER = textwrap.dedent(r'''
    import socket, struct, subprocess, sys, time
    role, argument = sys.argv[1], sys.argv[2]
    ME = bytes.fromhex("020000000099")
    while True:
        try:
            socket.if_nametoindex("eth0")
            break
        except OSError:
            time.sleep(0.01)
    subprocess.run(["ip", "link", "set", "eth0", "up"], check=True)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"eth0\0")
    s.bind(("0.0.0.0", 5000))

    def send(to, seq, payload=b"", ack=None, kind=0):
        header = ME + to + bytes([1 if ack is not None else 0, kind])
        s.sendto(header + struct.pack("<HHH", len(payload), seq, ack or 0) + payload,
                 ("255.255.255.255", 5000))

    def receive(tag=None):
        while True:
            data = s.recv(4096)
            if data[:6] != ME and (tag is None or data[20:24] == tag):
                return data

    if role == "router":
        deadline = time.time() + 30
        while time.time() < deadline:
            send(bytes(6), 1, b"DSCV\nsilent\n\0")
            time.sleep(1)
        sys.exit(0)
    router = receive(b"DSCV")[:6]
    send(router, 1, b"OFFR\n\0", ack=1)
    receive(b"YACK")
    send(router, 2, ack=2)
    receive(b"STRT")
    send(router, 2, ack=3)
    send(router, 2, b"FILE\n%s\n100\n" % argument.encode())
    print("acknowledged" if struct.unpack("<H", receive()[18:20])[0] == 2 else "?")
''')


def peer_program(tmp_path, role, argument):
    (tmp_path / "peer.py").write_text(PEER)
    return Peer(["/usr/bin/python3", str(tmp_path / "peer.py"), role, argument])


@pytest.mark.parametrize("name, message", [(n, "bad network connection") for n in (
    "..", "lib/evil.kpk", "", "x" * 28 + ".kpk")] + [("../autorun.scr", "couldn't make script")])
def test_router_refuses_a_file_name_that_is_no_plain_name(tmp_path, name, message):
    client = client_box(tmp_path, "client")
    with client, peer_program(tmp_path, "server", name) as peer:
        bring_up((client,), (peer, client, None, CLIENT_MAC))
        client.console.expect(f"FATAL ERROR: {message}")
        assert reboot_at_prompt(client) == "restarted"
        assert peer.wait(timeout=10) == (0, "acknowledged\n")
        assert not os.path.exists(os.path.join(client.root, "autorun.scr"))
    assert inode_facts(client.disks[0].image_path, 63, "/autorun.scr") is None


def test_router_that_does_not_answer_the_offer(tmp_path, disc):
    server = server_box(tmp_path, disc)
    with server, peer_program(tmp_path, "router", "") as peer:
        bring_up((server,), (server, peer, SERVER_MAC, None))
        server.console.expect("Press 'i' to install locally")
        server.console.send("r")
        choose_router(server.console, "silent")
        answer(server.console, keep=True)
        server.console.expect("Sending offer...", timeout=5)
        server.console.expect(r"No response from router \(press any key\)", timeout=20)
        server.console.send("x")
        leave_menu(server)
