"""One emulated PC: IDE disks, a floppy, the console on the first serial line
(pexpect), the second serial line and port 0xE9 into files, the monitor on a
socket, an e1000 on a loopback TCP segment. Leaving the `with` block ends QEMU;
if this process dies, QEMU loses its terminal and ends too."""
import os
import socket
import time

import pexpect

QEMU = "qemu-system-x86_64"
# Without RDRAND the kernel's random pool never becomes ready under TCG,
# and the disk tools stall waiting for it.
CPU = "qemu64,+rdrand"


class Transcript:
    """The console text, in a file and in memory, with when each piece came."""

    def __init__(self, path, started):
        self.file = open(path, "w", encoding="latin-1")
        self.started = started
        self.text = ""
        self.marks = []  # (offset where a piece ends, seconds since start)

    def write(self, piece):
        self.file.write(piece)
        self.text += piece
        self.marks.append((len(self.text), time.monotonic() - self.started))

    def flush(self):
        self.file.flush()

    def time_of(self, text):
        """Seconds from the start until text had appeared, or None."""
        at = self.text.find(text)
        if at < 0:
            return None
        return next(seconds for offset, seconds in self.marks if offset >= at + len(text))


class Machine:
    def __init__(self, work, name, memory=256):
        self.work = work
        self.name = name
        self.args = ["-machine", "pc", "-cpu", CPU, "-m", str(memory), "-display", "none",
                     "-no-reboot", "-net", "none",
                     "-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console",
                     "-monitor", f"unix:{self.path('monitor')},server=on,wait=off"]
        self.process = None
        self.transcript = None
        self.started = None

    @property
    def console_text(self):
        return self.transcript.text if self.transcript else ""

    def time_of(self, text):
        return self.transcript.time_of(text) if self.transcript else None

    def path(self, suffix):
        return os.path.join(self.work, f"{self.name}.{suffix}")

    def kernel(self, vmlinux, initrd, command_line):
        self.args += ["-kernel", vmlinux, "-initrd", initrd, "-append", command_line,
                      "-serial", f"file:{self.path('log')}"]

    def ide(self, index, image, cdrom=False, rules=None):
        """index 0 primary master .. 3 secondary slave; rules: blkdebug's."""
        source = f"blkdebug:{rules}:{image}" if rules else image
        media = ",media=cdrom,readonly=on" if cdrom else ""
        self.args += ["-drive", f"file={source},format=raw,if=ide,index={index}{media}"]

    def nic(self, mac, listen=None, connect=None):
        """connect= needs the other machine's QEMU already listening."""
        end = f"listen=127.0.0.1:{listen}" if listen else f"connect=127.0.0.1:{connect}"
        at = self.args.index("-net")
        del self.args[at:at + 2]  # "-net none"
        self.args += ["-netdev", f"socket,id=segment,{end}",
                      "-device", f"e1000,netdev=segment,mac={mac}"]

    def floppy(self, image):
        self.args += ["-drive", f"file={image},format=raw,if=floppy,index=0"]

    def bios_to_serial(self):
        """SeaBIOS's text on the console; port 0xE9 into a file, since the
        serial line can lose the last bytes before a reset."""
        port_file = self.path("sercon")
        with open(port_file, "wb") as out:
            out.write(b"\xf8\x03")
        self.args += ["-fw_cfg", f"name=etc/sercon-port,file={port_file}",
                      "-chardev", f"file,id=debugcon,path={self.path('e9')}",
                      "-device", "isa-debugcon,iobase=0xe9,chardev=debugcon"]

    def __enter__(self):
        for suffix in ("monitor", "log", "e9", "console"):
            if os.path.exists(self.path(suffix)):
                os.unlink(self.path(suffix))
        self.started = time.monotonic()
        self.process = pexpect.spawn(QEMU, self.args, encoding="latin-1", codec_errors="replace",
                                     timeout=60, echo=False)
        self.transcript = Transcript(self.path("console"), self.started)
        self.process.logfile_read = self.transcript
        return self

    def __exit__(self, *exc):
        if self.process.isalive():
            self.process.terminate(force=True)
        self.process.close(force=True)
        self.process.logfile_read = None
        self.transcript.file.close()
        return False

    def left(self, limit):
        """Seconds left of limit since QEMU's start, at least 5."""
        return max(5, limit - (time.monotonic() - self.started))

    def expect(self, pattern, timeout):
        return self.process.expect(pattern, timeout=timeout)

    def expect_beside(self, pattern, timeout, others, slice_seconds=0.1):
        """expect, reading the others' consoles meanwhile (their texts get
        their times, no terminal fills up); an other that ends is an error."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            try:
                return self.expect(pattern, timeout=max(0, min(slice_seconds, left)))
            except pexpect.TIMEOUT:
                if left <= slice_seconds:
                    raise
            finally:
                for other in others:
                    other.drain()
            for other in others:
                if not other.process.isalive():
                    raise pexpect.EOF(f"{other.name} ended while {self.name} waited for "
                                      f"{pattern!r}")

    def drain(self):
        if self.process is None or not self.process.isalive():
            return
        for _ in range(64):
            before = len(self.process.buffer)
            self.process.expect([pexpect.TIMEOUT, pexpect.EOF], timeout=0)
            if len(self.process.buffer) == before:
                break

    def send(self, text):
        self.process.send(text)

    def wait_end(self, timeout):
        try:
            self.process.expect(pexpect.EOF, timeout=timeout)
            return True
        except pexpect.TIMEOUT:
            return False

    def monitor(self, command, timeout=10):
        """Sends a monitor command and waits for its prompt again."""
        with socket.socket(socket.AF_UNIX) as connection:
            connection.settimeout(timeout)
            connection.connect(self.path("monitor"))
            for send in (None, command.encode() + b"\n"):
                if send:
                    connection.sendall(send)
                answer = b""
                while not answer.endswith(b"(qemu) "):
                    answer += connection.recv(4096)

    def read_file(self, suffix):
        try:
            with open(self.path(suffix), "rb") as data:
                return data.read().decode("latin-1")
        except OSError:
            return ""
