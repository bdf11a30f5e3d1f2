"""One emulated PC (Debian's qemu-system-x86, TCG): IDE disks and drives,
a floppy drive, the first serial line as the console driven with pexpect,
the second serial line and the debug port 0xE9 into files, the QEMU
monitor on a socket for swapping media, and an e1000 network card on a
segment shared with one other machine through a TCP connection on the
loopback address (QEMU's socket networking).

The machine is judged by what its console shows and what its disks hold,
never by QEMU's exit status. Leaving the `with` block ends QEMU whatever
happened; if this process dies, QEMU loses its terminal and ends too.
"""
import os
import socket
import time

import pexpect

QEMU = "qemu-system-x86_64"
# Without RDRAND the kernel's random pool never becomes ready under TCG,
# and the disk tools stall waiting for it.
CPU = "qemu64,+rdrand"


class Transcript:
    """The console text as it arrives, in a file and in memory, with the
    time of each piece, so that the stage can say when a text appeared."""

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

    def close(self):
        self.file.close()

    def time_of(self, text, after=0):
        """Seconds from the start until text had appeared (first at or after
        offset after), or None."""
        at = self.text.find(text, after)
        if at < 0:
            return None
        end = at + len(text)
        return next(seconds for offset, seconds in self.marks if offset >= end)


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
        self.console_text = ""

    def path(self, suffix):
        return os.path.join(self.work, f"{self.name}.{suffix}")

    # --- configuration, before start ---

    def kernel(self, vmlinux, initrd, command_line):
        self.args += ["-kernel", vmlinux, "-initrd", initrd, "-append", command_line]

    def log_serial(self):
        """The second serial line into a file (the installation system's log device)."""
        self.args += ["-serial", f"file:{self.path('log')}"]

    def ide(self, index, image, cdrom=False, rules=None):
        """A drive at IDE position index (0 primary master .. 3 secondary
        slave); rules: blkdebug rules file that injects errors into it."""
        source = f"blkdebug:{rules}:{image}" if rules else image
        media = ",media=cdrom,readonly=on" if cdrom else ""
        self.args += ["-drive", f"file={source},format=raw,if=ide,index={index}{media}"]

    def nic(self, mac, listen=None, connect=None):
        """An e1000 card with this MAC address, its segment a connection on
        127.0.0.1: listen=PORT on the first machine, connect=PORT on the
        second (QEMU then needs the first already listening)."""
        end = f"listen=127.0.0.1:{listen}" if listen else f"connect=127.0.0.1:{connect}"
        at = self.args.index("-net")
        del self.args[at:at + 2]  # "-net none"
        self.args += ["-netdev", f"socket,id=segment,{end}",
                      "-device", f"e1000,netdev=segment,mac={mac}"]

    def floppy(self, image):
        self.args += ["-drive", f"file={image},format=raw,if=floppy,index=0"]

    def bios_to_serial(self):
        """SeaBIOS's text (int 0x10 output included) on the console, and the
        debug port 0xE9 into a file: the last bytes before a reset can be lost
        on the serial line, never on that port."""
        port_file = self.path("sercon")
        with open(port_file, "wb") as out:
            out.write(b"\xf8\x03")
        self.args += ["-fw_cfg", f"name=etc/sercon-port,file={port_file}",
                      "-chardev", f"file,id=debugcon,path={self.path('e9')}",
                      "-device", "isa-debugcon,iobase=0xe9,chardev=debugcon"]

    # --- running ---

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
        self.stop()
        return False

    def elapsed(self):
        return time.monotonic() - self.started

    def expect(self, pattern, timeout):
        """Waits for pattern on the console; an index for a list of patterns.
        Raises pexpect's TIMEOUT or EOF with the console text kept."""
        try:
            return self.process.expect(pattern, timeout=timeout)
        finally:
            self.console_text = self._read_console()

    def expect_beside(self, pattern, timeout, others, slice_seconds=0.1):
        """expect, while the consoles of the other machines are read too (so
        that their texts get their times and no terminal fills up); an other
        machine that ends meanwhile is an error."""
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
        """Takes the console output that has arrived (kept for a later
        expect), so that a machine nobody waits on never stalls on a full
        terminal."""
        if self.process is None or not self.process.isalive():
            return
        for _ in range(64):
            before = len(self.process.buffer)
            self.process.expect([pexpect.TIMEOUT, pexpect.EOF], timeout=0)
            if len(self.process.buffer) == before:
                break
        self.console_text = self._read_console()

    def send(self, text):
        self.process.send(text)

    def wait_end(self, timeout):
        """True when QEMU ended by itself (the machine restarted) in time."""
        try:
            self.process.expect(pexpect.EOF, timeout=timeout)
            return True
        except pexpect.TIMEOUT:
            return False
        finally:
            self.console_text = self._read_console()

    def monitor(self, command, timeout=10):
        """Runs a monitor command and returns its answer."""
        deadline = time.monotonic() + timeout
        with socket.socket(socket.AF_UNIX) as connection:
            connection.settimeout(timeout)
            connection.connect(self.path("monitor"))
            answer = b""
            while not answer.endswith(b"(qemu) "):
                answer += connection.recv(4096)
            connection.sendall(command.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"(qemu) ") and time.monotonic() < deadline:
                answer += connection.recv(4096)
        lines = answer.decode(errors="replace").replace("\r", "").splitlines()
        return "\n".join(line for line in lines[1:-1] if not line.startswith("(qemu)"))

    def stop(self):
        if self.process is not None:
            if self.process.isalive():
                self.process.terminate(force=True)
            self.process.close(force=True)
            self.process.logfile_read = None
            self.transcript.close()
        self.console_text = self._read_console()

    def _read_console(self):
        return self.transcript.text if self.transcript else ""

    def time_of(self, text, after=0):
        return self.transcript.time_of(text, after) if self.transcript else None

    def read_file(self, suffix):
        try:
            with open(self.path(suffix), "rb") as data:
                return data.read().decode("latin-1")
        except OSError:
            return ""
