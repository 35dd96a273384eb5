"""The bridge and its device: serial ports made of ptys, the simulated
device and what it logs, a port whose two ends a test holds, and the
running bridge."""

import bisect
import contextlib
import fcntl
import os
import subprocess
import termios

from .plan import DEADLINE, PORT_NAME, SIMULATOR
from .processes import Stream, terminate, whole_lines


def bind_port(pty, name=PORT_NAME, type_text=None, enter=()):
    """Makes the pty at `pty` the serial port /dev/NAME, listed under
    /sys/class/tty as a tty with a device behind it, as the kernel lists a USB
    adapter; `type_text` is the contents of its "type" file, as a UART has
    one. Only where tools/without-serial-ports has made /dev and
    /sys/class/tty private: this process's mount namespace, or the one that
    the command prefix `enter` enters."""
    script = ('touch "/dev/$1" && mount --bind "$2" "/dev/$1" && mkdir "/sys/class/tty/$1" && '
              'ln -s "../../devices/platform/lab/$1" "/sys/class/tty/$1/device" && '
              'if [ -n "$3" ]; then printf %s "$3" >"/sys/class/tty/$1/type"; fi')
    subprocess.run([*enter, "sh", "-c", script, "bind-port", name, pty, type_text or ""], check=True)


def unbind_port(name=PORT_NAME, enter=()):
    """Undoes bind_port."""
    script = 'umount "/dev/$1"; rm -f "/dev/$1"; rm -rf "/sys/class/tty/$1"'
    subprocess.run([*enter, "sh", "-c", script, "unbind-port", name], check=True)


# The serial link's line rate: 120,000 bytes a second at 8N1.
WIRE_BAUD = 1200000


def simulator_options(baud=None, buffer=None, chunk=None, latency_ms=None, ports=None, timestamps=False,
                      realtime=None):
    """The simulator's options for a device on a wire of `baud` (None: a pty
    that moves bytes at once) with an adapter of `buffer` bytes towards it,
    handing its bytes over in `chunk`s or after `latency_ms` of quiet; with
    `ports` replies to each ArtPoll, and timestamps on its log. On a wire
    it runs at a real-time priority unless `realtime` is False (as root:
    the timing it is there for must not depend on how busy the machine
    is)."""
    options = []
    if realtime or (realtime is None and baud is not None and os.geteuid() == 0):
        options.append("--realtime")
    for name, value in (("--baud", baud), ("--buffer", buffer), ("--chunk", chunk),
                        ("--latency-ms", latency_ms), ("--ports", ports)):
        if value is not None:
            options += [name, str(value)]
    if timestamps:
        options.append("--timestamps")
    return options


def start_simulator(*options, enter=(), **wire):
    """Starts artnet-device-sim with `options` and those simulator_options()
    makes of `wire` (behind the command prefix `enter`, if any); returns its
    Device."""
    options = [*options, *simulator_options(**wire)]
    baud = int(options[options.index("--baud") + 1]) if "--baud" in options else None
    return Device(subprocess.Popen([*enter, SIMULATOR, *options], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL), baud=baud)


class Device:
    """The simulated device: the pty it made (`path`), what it received from
    its port and what it sent, and frames to send. `baud` is its wire's line
    rate (None without one)."""

    def __init__(self, process, baud=None):
        self.process = process
        self.baud = baud
        # Byte by byte: a buffered read could take log lines the Stream
        # would then never see.
        first = b""
        while not first.endswith(b"\n") and (byte := os.read(process.stdout.fileno(), 1)):
            first += byte
        self.path = first.decode().strip()
        if not self.path.startswith("/dev/"):
            raise RuntimeError(f"the simulator did not start: {self.path!r}")
        self._log = Stream(process.stdout)

    @staticmethod
    def _entries(log, kind):
        """The log's lines of one kind ("rx", "tx", "stats") as (stamp, rest):
        the CLOCK_MONOTONIC nanoseconds that --timestamps puts first (else
        None) and the text after the kind."""
        entries = []
        for line in whole_lines(log):
            words = line.split(" ", 2)
            stamp = int(words[0]) if words[0].isdigit() else None
            if stamp is not None:
                words = words[1:]
            if words and words[0] == kind:
                entries.append((stamp, words[1] if len(words) > 1 else ""))
        return entries

    @staticmethod
    def _chunks(log, direction):
        return [bytes.fromhex(text) for _, text in Device._entries(log, direction)]

    def received(self):
        """Every byte the device has read from the port, in order."""
        return b"".join(self._chunks(self._log.data(), "rx"))

    def sent(self):
        """The frames the device has written, one per write (on a wire: one
        per frame, though they reach the port in chunks)."""
        return self._chunks(self._log.data(), "tx")

    def received_lines(self):
        """What was received as the log has it: (bytes, stamp) a line. On a
        wire each line is bytes that crossed back to back and the stamp
        (with timestamps) when the stop bit of the last one ended."""
        return [(bytes.fromhex(text), stamp) for stamp, text in self._entries(self._log.data(), "rx")]

    def byte_time(self):
        """Nanoseconds a byte takes on the wire: ten bits at the line rate."""
        return 10e9 / self.baud

    def received_with_times(self):
        """Every byte received, and for each the moment (CLOCK_MONOTONIC
        nanoseconds) its stop bit ended on the wire. Needs a wire and
        timestamps."""
        data = b""
        times = []
        for chunk, end in self.received_lines():
            data += chunk
            times += [end - (len(chunk) - 1 - i) * self.byte_time() for i in range(len(chunk))]
        return data, times

    def received_with_ends(self):
        """Every byte received, and where each log line ends: the offset just
        past its last byte, and its stamp. The byte at offset i of the line
        that ends at (end, stamp) left the wire at stamp - (end - 1 - i) *
        byte_time(). Needs a wire and timestamps; unlike
        received_with_times, cheap for megabytes (see exit_time)."""
        lines = self.received_lines()
        data = b"".join(chunk for chunk, _ in lines)
        ends, stamps, end = [], [], 0
        for chunk, stamp in lines:
            end += len(chunk)
            ends.append(end)
            stamps.append(stamp)
        return data, ends, stamps

    def exit_time(self, ends, stamps, offset):
        """When the byte at `offset` left the wire (CLOCK_MONOTONIC
        nanoseconds), from received_with_ends()'s `ends` and `stamps`."""
        line = bisect.bisect_right(ends, offset)
        return stamps[line] - (ends[line] - 1 - offset) * self.byte_time()

    def sent_with_times(self):
        """The frames sent, as (frame, stamp): with timestamps, when the
        write that put its last byte into the pty was made."""
        return [(bytes.fromhex(text), stamp) for stamp, text in self._entries(self._log.data(), "tx")]

    def log(self):
        return self._log.data().decode()

    def wait_received(self, size, timeout=DEADLINE):
        """Waits until at least `size` bytes have arrived; returns them all."""
        log = self._log.wait_for(lambda log: len(b"".join(self._chunks(log, "rx"))) >= size, timeout)
        return b"".join(self._chunks(log, "rx"))

    def wait_sent(self, count, timeout=DEADLINE):
        """Waits until the device has sent `count` frames; returns them all."""
        log = self._log.wait_for(lambda log: len(self._chunks(log, "tx")) >= count, timeout)
        return self._chunks(log, "tx")

    def command(self, line):
        """A line for the simulator's standard input: hex to send, "stall
        MS", "stats", "hangup" or "quit"."""
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def send(self, frame):
        """Has the device send `frame` (bytes): one write without a wire; on
        one, across it like every frame."""
        self.command(frame.hex())

    def stall(self, ms):
        """The device takes no bytes off the wire for `ms` milliseconds: its
        adapter's buffer fills, then the host's writes block."""
        self.command(f"stall {int(ms)}")

    def stats(self, timeout=DEADLINE):
        """The device's counts, now: bytes received ("received", off the
        wire) and sent ("sent", into the port), the nanoseconds the wire
        to the device was busy ("wire_busy_ns") and the stamp of the line
        ("at", None without timestamps)."""
        before = len(self._entries(self._log.data(), "stats"))
        self.command("stats")
        log = self._log.wait_for(lambda log: len(self._entries(log, "stats")) > before, timeout)
        entries = self._entries(log, "stats")
        if len(entries) <= before:
            raise RuntimeError("the simulator did not answer stats")
        stamp, text = entries[before]
        words = text.split()
        values = {words[i].replace("-", "_"): int(words[i + 1])
                  for i in range(0, len(words) - 1, 2)}
        values["at"] = stamp
        return values

    def hangup(self, timeout=DEADLINE):
        """Unplugs the device: the pty goes away (the port's holder sees
        POLLHUP and EIO) and the simulator ends; returns its exit code."""
        self.command("hangup")
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        """Ends the simulator and waits for the end of its log; returns its
        exit code."""
        if self.process.poll() is None:
            with contextlib.suppress(OSError):
                self.command("quit")
            try:
                self.process.wait(DEADLINE)
            except subprocess.TimeoutExpired:
                terminate(self.process)
        with contextlib.suppress(OSError):
            self.process.stdin.close()
        self._log.wait_closed()
        if self._log.closed:  # Never under the reader's feet.
            self.process.stdout.close()
        return self.process.returncode


class Port:
    """A pty that the caller holds both ends of: `master` is the device's end,
    `slave` the port's. Holding the slave keeps the master from reading EIO
    while no one else has the port open."""

    def __init__(self, master, slave):
        self.master = master
        self.slave = slave

    def clear_exclusive(self):
        # The bridge marks its port exclusive (TIOCEXCL), and on a pty the
        # mark outlives it as long as the master is open: lift it before the
        # next program opens the port.
        fcntl.ioctl(self.slave, termios.TIOCNXCL)

    def close(self):
        for fd in (self.master, self.slave):
            with contextlib.suppress(OSError):
                os.close(fd)



class Bridge:
    """The running bridge: its console output and its exit."""

    def __init__(self, process):
        self.process = process
        self.stdout = Stream(process.stdout)
        self.stderr = Stream(process.stderr)

    def output(self):
        return self.stdout.data()

    def wait_output(self, expected, timeout=DEADLINE):
        """Waits until the output is at least as long as `expected`; returns it."""
        return self.stdout.wait_for(lambda data: len(data) >= len(expected), timeout)

    def wait_exit(self, timeout=DEADLINE):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def running(self):
        return self.process.poll() is None
