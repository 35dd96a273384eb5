"""The lab: a throwaway world in which the real, unmodified bridge runs with a
device on its serial port and Art-Net peers on its network. The end-to-end
tests (tests/*_test.py), the demo (scripts/demo) and the benchmark
(bench/run) are all built on it.

A Lab builds (as root) and always tears down:
  - two network namespaces joined by a veth pair. In the "host" one the bridge
    runs; its side of the pair holds the bridge's address (BRIDGE_ADDRESS, the
    first one) and a second one for a controller on the same host
    (CONTROLLER_ADDRESS): common controllers ignore Art-Net replies whose
    source is their own address. In the "network" one, across the wire, a peer
    holds PEER_ADDRESS. IPv6 is off in both, so nothing but what a test sends
    crosses the link the bridge captures.
  - the bridge's namespaces, held open by one process that everything started
    "inside" joins: that network namespace, a UTS namespace whose host name
    (HOST_NAME) resolves through a private /etc/hosts to the lab's address,
    and the mount namespace of tools/without-serial-ports, in which the
    machine's own serial ports can be neither seen nor opened. That script is
    the one place that hides them.
  - the device, as the only serial port there: a pty bound over /dev/ttyUSB0
    and listed under /sys/class/tty. Either the simulator's pty
    (start_device: artnet-device-sim is the device) or one whose two ends the
    caller holds (hold_port: the caller plays the device, as the benchmark's
    timing peer does).

Processes are started through the lab, or as Device and Bridge wrap them, and
ended by terminate(), by their PID only.
"""

import bisect
import contextlib
import ctypes
import fcntl
import os
import random
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty
import unittest

SKIP = 77

SOURCE_DIR = os.environ.get("ARTNET_SOURCE_DIR") or os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_DIR = os.environ.get("ARTNET_BUILD_DIR") or os.path.join(SOURCE_DIR, "build", "linux")
BRIDGE = os.path.join(BUILD_DIR, "artnet-serial-bridge")
SIMULATOR = os.path.join(BUILD_DIR, "tools", "artnet-device-sim")
WITHOUT_SERIAL_PORTS = os.path.join(SOURCE_DIR, "tools", "without-serial-ports")

# The address plan of every lab.
BRIDGE_ADDRESS = "10.77.0.1"
CONTROLLER_ADDRESS = "10.77.0.2"
PEER_ADDRESS = "10.77.0.3"
BROADCAST_ADDRESS = "10.77.0.255"
HOST_NAME = "artnet-lab"
ARTNET_PORT = 6454
PORT_NAME = "ttyUSB0"

# How long to wait for anything that should happen at once. Generous: the
# machine may be busy, and a wait ends as soon as its event comes.
DEADLINE = 20.0

# ---------------------------------------------------------------------------
# Art-Net packets and the bridge's console texts.

ARTNET_ID = b"Art-Net\x00"
# The bridge's start-up probe: an ArtPoll, its first write to the device.
ART_POLL_PROBE = ARTNET_ID + bytes([0x00, 0x20, 0x00, 14, 0x02, 0x10])


def art_packet(opcode, size, seed=0):
    """An Art-Net packet of `size` bytes (at least 10) with `opcode`; the bytes
    after the OpCode count up from `seed`."""
    body = bytes((seed + i) & 0xFF for i in range(size - 10))
    return ARTNET_ID + struct.pack("<H", opcode) + body


def art_poll():
    return ARTNET_ID + bytes([0x00, 0x20, 0x00, 14, 0x06, 0x10])


def art_dmx(size, seed=0):
    return art_packet(0x5000, size, seed)


# The console's texts, as the bridge writes them under the C locale on Linux
# (converted to UTF-8) and to a pipe on Windows (GBK bytes).
MESSAGES = {
    "NetworkInitFailed": "网络初始化失败.   Network initialization failed.",
    "NoDeviceFound": "未发现设备连接.   No device connection found.",
    "Running": "程序运行中\r\nWhen the program is running normally.\r\n关闭窗口可以退出程序\r\n"
               "close the window to exit the program.",
    "InitCompleted": "初始化完成\r\nInitialization completed",
    "NeedAdministrator": "需要管理员权限启动程序.   Requires administrator privileges to start the "
                         "program.    code - ",
    "CommunicationError": "通信错误,请重新启动程序.  Communication error, please restart the "
                          "program.    code - ",
    "SendProblem": "遇到了一些问题,请重新启动此程序.  encountered some problems, please restart the "
                   "program. code - ",
    "SerialWriteFailed": "串口写入失败.    Serial port write failed.   code - ",
    "SerialWriteTimeout": "串口写入超时.    Serial write timeout.   code - ",
    "DeviceLost": "设备连接已断开,正在等待设备.   Device connection lost, waiting for the device.",
    "DeviceReconnected": "设备已重新连接.   Device connected again.",
    "AdapterNotCaptured": "无法在此网卡上捕获数据,已跳过此网卡.   Cannot capture on an adapter, going on without "
                          "it.    code - ",
}
LINUX_PAUSE_PROMPT = b"Press any key to continue . . . \n"


def message(key, code=None, windows=False, address=None):
    """One message line, as bytes; `address` is the tail of a message about
    one adapter."""
    text = MESSAGES[key] + ("" if code is None else str(code))
    if address is not None:
        text += f", address - {address}"
    if windows:
        return text.encode("gbk") + b"\r\n"
    return text.encode("utf-8") + b"\n"


# ---------------------------------------------------------------------------
# Skipping, waiting, reading and ending processes.

def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(SKIP)


def require_lab(programs=(BRIDGE, SIMULATOR)):
    """Exits with the skip code unless this process can build a Lab, and with
    1 when one of `programs` has not been built."""
    if os.geteuid() != 0:
        skip("needs root (network, mount and UTS namespaces)")
    for tool in ("ip", "nsenter", "unshare", "hostname"):
        if shutil.which(tool) is None:
            skip(f"{tool} is not installed")
    for program in programs:
        if not os.access(program, os.X_OK):
            print(f"missing {program}: build first (cmake --build --preset linux)")
            sys.exit(1)
    trial = f"artnet-check-{os.getpid()}"
    if subprocess.run(["ip", "netns", "add", trial], capture_output=True).returncode != 0:
        skip("cannot create network namespaces here")
    subprocess.run(["ip", "netns", "del", trial], capture_output=True)


def run_tests():
    """Runs the calling test program's cases in a lab, or exits with the skip
    code where no lab can be built."""
    require_lab()
    stop_on_sigterm()
    unittest.main(verbosity=2)


def stop_on_sigterm():
    """Turns SIGTERM (a test runner's time-out) into an exception, so that
    cleanup code runs."""
    def handler(signum, frame):
        raise SystemExit(f"stopped by signal {signum}")
    signal.signal(signal.SIGTERM, handler)


def wait_until(predicate, timeout=DEADLINE, interval=0.01):
    """Polls `predicate` until it returns something true or the time is up;
    returns its last value."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= end:
            return value
        time.sleep(interval)


def whole_lines(data):
    """The lines of `data` (bytes) that have ended; the last may still be on
    its way."""
    return data.decode(errors="replace").split("\n")[:-1]


class Stream:
    """Collects what a process writes to one of its pipes, on a thread."""

    def __init__(self, pipe):
        self._data = bytearray()
        self._lock = threading.RLock()  # Predicates may read the data again.
        self._changed = threading.Condition(self._lock)
        self.closed = False
        self._thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self._thread.start()

    def _read(self, pipe):
        while True:
            chunk = os.read(pipe.fileno(), 65536)
            with self._lock:
                if not chunk:
                    self.closed = True
                else:
                    self._data += chunk
                self._changed.notify_all()
            if not chunk:
                return

    def data(self):
        with self._lock:
            return bytes(self._data)

    def wait_for(self, predicate, timeout=DEADLINE):
        """Waits until predicate(data) holds or the stream ends; returns the data."""
        end = time.monotonic() + timeout
        with self._lock:
            while not predicate(bytes(self._data)) and not self.closed:
                left = end - time.monotonic()
                if left <= 0:
                    break
                self._changed.wait(left)
            return bytes(self._data)

    def wait_closed(self, timeout=DEADLINE):
        """Waits until the writer has closed the pipe; returns all it wrote."""
        return self.wait_for(lambda _: False, timeout)


def terminate(process, timeout=5):
    """Ends a process the lab's user started, by its PID: SIGTERM, then
    SIGKILL if it has not ended within `timeout` seconds."""
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


_libc = ctypes.CDLL(None, use_errno=True)
_CLONE_NEWNET = 0x40000000


@contextlib.contextmanager
def network_namespace(name):
    """Runs the block with this thread in the named network namespace: sockets
    made there stay in it."""
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    target = os.open(f"/run/netns/{name}", os.O_RDONLY)
    try:
        if _libc.setns(target, _CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), f"setns into {name}")
        yield
    finally:
        _libc.setns(own, _CLONE_NEWNET)
        os.close(own)
        os.close(target)


def _ip(*args):
    subprocess.run(["ip", *args], check=True, capture_output=True)


# ---------------------------------------------------------------------------
# Serial ports and the simulated device.

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


# The pty ioctls of unlockpt() and ptsname() (the generic encoding: x86, Arm).
_TIOCGPTN = 0x80045430
_TIOCSPTLCK = 0x40045431


# ---------------------------------------------------------------------------
# The bridge and the lab.

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


class Lab:
    """Namespaces, veth pair, host name and serial port for one bridge at a
    time. Use as a context manager; everything it made is removed on leaving.
    `host_address` is what the host name resolves to; `default_route` gives
    the bridge's host a default route through the peer; `broadcast` gives
    the addresses their broadcast address, as DHCP does (OLA finds nodes
    only with one)."""

    def __init__(self, host_address=BRIDGE_ADDRESS, default_route=False, broadcast=False):
        self.host_address = host_address
        self.default_route = default_route
        self.broadcast = broadcast
        tag = f"{os.getpid() & 0xFFFF:04x}{random.randrange(0x10000):04x}"
        self.host_ns = f"artnet-lab-{tag}-host"
        self.network_ns = f"artnet-lab-{tag}-net"
        self.host_link = f"alh{tag}"
        self.network_link = f"aln{tag}"
        self.directory = None
        self.holder = None
        self.processes = []
        self.device = None
        self.port = None

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self):
        self.directory = tempfile.mkdtemp(prefix="artnet-lab-")
        os.chmod(self.directory, 0o755)
        _ip("netns", "add", self.host_ns)
        _ip("netns", "add", self.network_ns)
        _ip("link", "add", self.host_link, "netns", self.host_ns, "type", "veth",
            "peer", "name", self.network_link, "netns", self.network_ns)
        for namespace, link, addresses in ((self.host_ns, self.host_link, (BRIDGE_ADDRESS, CONTROLLER_ADDRESS)),
                                           (self.network_ns, self.network_link, (PEER_ADDRESS,))):
            # Before the link comes up: no router solicitations, no duplicate
            # address detection.
            subprocess.run(["nsenter", f"--net={self.ns_path(namespace)}", "sysctl", "-qw",
                            "net.ipv6.conf.all.disable_ipv6=1"], check=True)
            _ip("-n", namespace, "link", "set", "lo", "up")
            for address in addresses:
                _ip("-n", namespace, "address", "add", f"{address}/24", *_broadcast(self), "dev", link)
            _ip("-n", namespace, "link", "set", link, "up")
        if self.default_route:
            _ip("-n", self.host_ns, "route", "add", "default", "via", PEER_ADDRESS)
        self.set_hosts(resolves=True)

        # A process that holds the bridge's namespaces open; everything else
        # enters them through its PID. ip, unshare, the script and sh all exec
        # in turn, so the PID is that of the final sleep.
        script = 'hostname "$1" && mount --bind "$2" /etc/hosts && echo ready && exec sleep infinity'
        self.holder = subprocess.Popen(
            ["ip", "netns", "exec", self.host_ns, "unshare", "--uts", WITHOUT_SERIAL_PORTS,
             "sh", "-c", script, "holder", HOST_NAME, self.hosts_path],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        if self.holder.stdout.readline().strip() != b"ready":
            raise RuntimeError("could not set up the bridge's namespaces")
        # Wait until the peer side answers, so the first packets are not lost
        # to neighbour discovery on a slow machine.
        self.wait_link()

    def wait_link(self):
        # Until the kernel has activated a link that came up, its queue drops
        # every packet; that happens a moment after "ip link set up" returns.
        def up(namespace, link):
            shown = subprocess.run(["ip", "-n", namespace, "-o", "link", "show", "dev", link],
                                   capture_output=True, text=True).stdout
            return "state UP" in shown and "qdisc noop" not in shown
        if not wait_until(lambda: up(self.host_ns, self.host_link) and up(self.network_ns, self.network_link),
                          interval=0.02):
            raise RuntimeError("the veth pair did not come up")

    @staticmethod
    def ns_path(namespace):
        """The file that names a network namespace, for setns() and nsenter."""
        return f"/run/netns/{namespace}"

    @property
    def hosts_path(self):
        return os.path.join(self.directory, "hosts")

    def set_hosts(self, resolves):
        """Writes the bridge's hosts file in place: the host name resolves to
        the lab's address, or not at all."""
        lines = "127.0.0.1\tlocalhost\n"
        if resolves:
            lines += f"{self.host_address}\t{HOST_NAME}\n"
        with open(self.hosts_path, "r+" if os.path.exists(self.hosts_path) else "w") as hosts:
            hosts.seek(0)
            hosts.write(lines)
            hosts.truncate()

    def _inside(self, *namespaces):
        """The command prefix that enters the bridge's namespaces."""
        return ["nsenter", "-t", str(self.holder.pid), *namespaces, "--"]

    def popen_inside(self, command, **kwargs):
        """Starts a command in the bridge's namespaces (network, mount, UTS).
        nsenter execs it: the process's PID is the command's."""
        process = subprocess.Popen([*self._inside("-n", "-m", "-u"), *command], **kwargs)
        self.processes.append(process)
        return process

    def popen_in(self, namespace, command, **kwargs):
        """Starts a command in one network namespace only (e.g. tshark)."""
        process = subprocess.Popen(["ip", "netns", "exec", namespace, *command], **kwargs)
        self.processes.append(process)
        return process

    def start_device(self, *options, **wire):
        """Starts the simulator as the device: its pty is the only serial
        port the bridge can find, /dev/ttyUSB0. `wire` is for
        simulator_options(): start_device(baud=WIRE_BAUD, timestamps=True)
        is a device on the real link's wire."""
        self.device = start_simulator("--address", self.host_address, *options,
                                      enter=self._inside("-n", "-m", "-u"), **wire)
        self.processes.append(self.device.process)
        bind_port(self.device.path, enter=self._inside("-m"))
        return self.device

    def plug_device(self, *options, name=PORT_NAME, **wire):
        """A device plugged in while the bridge runs: starts the simulator as
        start_device does, but binds its pty as /dev/NAME (the last device's
        port must have been unplugged). Returns the Device and the moment
        (CLOCK_MONOTONIC nanoseconds) just before its port appeared."""
        self.device = start_simulator("--address", self.host_address, *options,
                                      enter=self._inside("-n", "-m", "-u"), **wire)
        self.processes.append(self.device.process)
        appeared = time.monotonic_ns()
        bind_port(self.device.path, name=name, enter=self._inside("-m"))
        return self.device, appeared

    def unplug_port(self, name=PORT_NAME):
        """Removes /dev/NAME and its /sys/class/tty entry, as the kernel does
        when an adapter goes."""
        unbind_port(name, enter=self._inside("-m"))

    def hold_port(self):
        """Makes a pty whose two ends the caller holds (a Port) the only serial
        port the bridge can find, /dev/ttyUSB0."""
        # The pty must belong to the private /dev/pts of the bridge's mount
        # namespace, so it is opened through the holder's root.
        root = f"/proc/{self.holder.pid}/root"
        master = os.open(f"{root}/dev/ptmx", os.O_RDWR | os.O_NOCTTY)
        try:
            fcntl.ioctl(master, _TIOCSPTLCK, struct.pack("i", 0))
            number = struct.unpack("I", fcntl.ioctl(master, _TIOCGPTN, bytes(4)))[0]
            slave = os.open(f"{root}/dev/pts/{number}", os.O_RDWR | os.O_NOCTTY)
        except BaseException:
            os.close(master)
            raise
        self.port = Port(master, slave)
        tty.setraw(slave)
        bind_port(f"/dev/pts/{number}", enter=self._inside("-m"))
        return self.port

    def start_bridge(self, user=None, stdin=subprocess.DEVNULL, arguments=()):
        """Starts the real bridge, unmodified and (unless `arguments` are
        given, which it must ignore) without arguments. `user` runs it as an
        unprivileged user id instead of root."""
        command = [BRIDGE, *arguments]
        if user is not None:
            # Somewhere an unprivileged user may run it from.
            copy = os.path.join(self.directory, "artnet-serial-bridge")
            if not os.path.exists(copy):
                shutil.copy(BRIDGE, copy)
                os.chmod(copy, 0o755)
            command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", copy, *arguments]
        # The locale only chooses the console's encoding: the C locale gets
        # UTF-8. A sanitizer's options pass through to a sanitized build.
        environment = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C"}
        environment.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
        process = self.popen_inside(command, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    env=environment)
        return Bridge(process)

    def socket(self, where, kind=socket.SOCK_DGRAM):
        """An IPv4 socket in the "host" or "network" namespace."""
        with network_namespace(self.host_ns if where == "host" else self.network_ns):
            return socket.socket(socket.AF_INET, kind)

    def controller(self):
        """A controller in the bridge's namespace, as lighting software runs:
        port 6454 on every address, broadcasts allowed, sending from
        CONTROLLER_ADDRESS."""
        return Controller(self.socket("host"))

    def close(self):
        for process in reversed(self.processes):
            terminate(process)
        terminate(self.holder)
        if self.port:
            self.port.close()
        for namespace in (self.host_ns, self.network_ns):
            subprocess.run(["ip", "netns", "del", namespace], capture_output=True)
        if self.directory:
            shutil.rmtree(self.directory, ignore_errors=True)


# ---------------------------------------------------------------------------
# Art-Net peers and captures.

_IP_PKTINFO = 8


class Controller:
    def __init__(self, sock):
        self.sock = sock
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("0.0.0.0", ARTNET_PORT))

    def send(self, packet, destination=BROADCAST_ADDRESS, source=CONTROLLER_ADDRESS):
        # in_pktinfo: interface 0, the source address, and an unused field.
        info = struct.pack("=i4s4s", 0, socket.inet_aton(source), bytes(4))
        self.sock.sendmsg([packet], [(socket.IPPROTO_IP, _IP_PKTINFO, info)], 0,
                          (destination, ARTNET_PORT))

    def receive(self, accept=lambda data, sender: True, timeout=DEADLINE):
        """The first datagram `accept` takes, as (payload, (address, port)),
        or None when none comes."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                return None
            data, sender = self.sock.recvfrom(65536)
            if accept(data, sender):
                return data, sender

    def drain(self):
        while select.select([self.sock], [], [], 0)[0]:
            self.sock.recv(65536)

    def close(self):
        self.sock.close()


def from_bridge(data, sender):
    """Datagrams the bridge injected: from the bridge's address, port 6454."""
    return sender[1] == ARTNET_PORT and sender[0] != CONTROLLER_ADDRESS


def reply_from_bridge(controller, timeout=DEADLINE):
    """The next ArtPollReply the bridge passes on from the device."""
    return controller.receive(lambda data, sender: from_bridge(data, sender) and data[8:10] == b"\x00\x21",
                              timeout=timeout)


class LoopbackCapture:
    """tshark on the loopback interface of the bridge's namespace, validating
    IPv4 and UDP checksums of the packets that `capture_filter` takes."""

    FIELDS = ["ip.src", "ip.dst", "udp.srcport", "udp.dstport", "ip.checksum.status",
              "udp.checksum.status", "udp.payload"]
    # tshark says it is capturing a moment before it is: it is ready once it
    # has seen one of these.
    CANARY_PORT = 9

    def __init__(self, lab, capture_filter):
        self.process = lab.popen_in(
            lab.host_ns,
            ["tshark", "-i", "lo", "-n", "-l", "-f", f"({capture_filter}) or (udp dst port {self.CANARY_PORT})",
             "-o", "ip.check_checksum:TRUE", "-o", "udp.check_checksum:TRUE",
             "-T", "fields", "-E", "separator=,", *sum((["-e", f] for f in self.FIELDS), [])],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.stdout = Stream(self.process.stdout)
        with lab.socket("host") as canary:
            end = time.monotonic() + DEADLINE * 3
            while not self._rows(canaries=True) and time.monotonic() < end and self.process.poll() is None:
                canary.sendto(b"canary", ("127.0.0.1", self.CANARY_PORT))
                self.stdout.wait_for(lambda _: bool(self._rows(canaries=True)), timeout=0.1)
        if not self._rows(canaries=True):
            terminate(self.process)
            raise RuntimeError("tshark did not start capturing")

    def _rows(self, canaries=False):
        rows = [dict(zip(self.FIELDS, line.split(","))) for line in self.stdout.data().decode().splitlines()]
        return [row for row in rows if (row.get("udp.dstport") == str(self.CANARY_PORT)) == canaries]

    def packets(self, count=1, timeout=DEADLINE):
        """The fields of the packets caught, once there are `count` of them
        or the time is up."""
        self.stdout.wait_for(lambda _: len(self._rows()) >= count, timeout)
        terminate(self.process)
        return self._rows()


class BridgeCase(unittest.TestCase):
    """One lab and one running bridge for all the cases of a class, run in
    order: each case adds to what the device has received, and `expected` is
    the whole of it so far. `lab_options` are the Lab's arguments."""

    lab_options = {}

    @classmethod
    def setUpClass(cls):
        cls.lab = Lab(**cls.lab_options)
        cls.lab.start()
        try:
            cls.controller = cls.lab.controller()
            cls.peer = cls.lab.socket("network")
            cls.peer.bind((PEER_ADDRESS, 0))
            cls.device = cls.lab.start_device()
            cls.bridge = cls.lab.start_bridge()
        except BaseException:
            cls.lab.close()
            raise
        cls.expected = b""

    @classmethod
    def tearDownClass(cls):
        cls.controller.close()
        cls.peer.close()
        cls.lab.close()

    def assert_console_holds_only(self, expected=None):
        """The bridge still runs, has written `expected` (by default the two
        lines of a good start) and nothing else, and nothing to stderr."""
        if expected is None:
            expected = message("InitCompleted") + message("Running")
        self.assertTrue(self.bridge.running())
        self.assertEqual(self.bridge.output(), expected)
        self.assertEqual(self.bridge.stderr.data(), b"")

    def expect_device(self, *packets, note=""):
        """Asserts the device has received exactly what it had plus `packets`."""
        expected = type(self).expected + b"".join(packets)
        self.device.wait_received(len(expected))
        # Anything still on its way (a second copy, say) would show up here.
        time.sleep(0.05)
        received = self.device.received()
        type(self).expected = received  # One failure must not fail every later case.
        self.assertEqual(received.hex(), expected.hex(), note)


# ---------------------------------------------------------------------------
# The bridge's network changing under it, Ethernet frames made by hand, and
# OLA's olad as a controller on the bridge's host.

def set_sysctl(namespace, setting):
    subprocess.run(["nsenter", f"--net={Lab.ns_path(namespace)}", "sysctl", "-qw", setting], check=True)


def _broadcast(lab):
    """The option that gives an address its broadcast address, where the lab
    wants one."""
    return ["brd", "+"] if lab.broadcast else []


def remove_host_link(lab):
    """Deletes the veth pair, as an adapter unplugged."""
    _ip("-n", lab.host_ns, "link", "del", lab.host_link)  # Its peer goes with it.


def add_host_link(lab, addresses=(BRIDGE_ADDRESS, CONTROLLER_ADDRESS)):
    """Makes the veth pair again, with the same names, the host's side with
    `addresses`, as a replugged adapter comes back: its interface index is a
    new one. Returns the new index once the pair is up."""
    _ip("link", "add", lab.host_link, "netns", lab.host_ns, "type", "veth",
        "peer", "name", lab.network_link, "netns", lab.network_ns)
    for namespace, link, held in ((lab.host_ns, lab.host_link, addresses),
                                  (lab.network_ns, lab.network_link, (PEER_ADDRESS,))):
        for address in held:
            _ip("-n", namespace, "address", "add", f"{address}/24", *_broadcast(lab), "dev", link)
        _ip("-n", namespace, "link", "set", link, "up")
    lab.wait_link()
    return interface_index(lab.host_ns, lab.host_link)


def interface_index(namespace, link):
    shown = subprocess.run(["ip", "-n", namespace, "-o", "link", "show", "dev", link],
                           capture_output=True, text=True, check=True).stdout
    return int(shown.split(":", 1)[0])


def link_mac(namespace, link):
    """The link's Ethernet address, as 6 bytes."""
    shown = subprocess.run(["ip", "-n", namespace, "-o", "link", "show", "dev", link],
                           capture_output=True, text=True, check=True).stdout
    return bytes.fromhex(shown.split("link/ether ", 1)[1].split()[0].replace(":", ""))


def _checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4_udp_packet(source, destination, payload, source_port=ARTNET_PORT, destination_port=ARTNET_PORT):
    """An IPv4 packet (header checksum right) carrying `payload` as UDP
    without a checksum."""
    udp = struct.pack("!HHHH", source_port, destination_port, 8 + len(payload), 0) + payload
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0,
                         socket.inet_aton(source), socket.inet_aton(destination))
    header = header[:10] + struct.pack("!H", _checksum(header)) + header[12:]
    return header + udp


class EthernetSender:
    """Sends Ethernet frames as they are given, from the peer's side of the
    veth pair to the bridge's: a packet socket adds nothing to them, so a
    frame padded here arrives padded, as from a real Ethernet card (veth
    itself never pads)."""

    MIN_FRAME = 60  # Without the frame check sequence.

    def __init__(self, lab):
        with network_namespace(lab.network_ns):
            self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
        self.sock.bind((lab.network_link, 0))
        self.header = link_mac(lab.host_ns, lab.host_link) + link_mac(lab.network_ns, lab.network_link) + b"\x08\x00"

    def send(self, packet, trailer=None):
        """Sends the IPv4 `packet` in one frame, padded with zero bytes to the
        60-byte minimum, or followed by `trailer`."""
        frame = self.header + packet
        frame += trailer if trailer is not None else bytes(max(0, self.MIN_FRAME - len(frame)))
        self.sock.send(frame)
        return len(frame)

    def close(self):
        self.sock.close()


# What olad may use: Art-Net only. Every other plugin is turned off in its
# configuration, above all those that open serial ports (StageProfi's default
# is /dev/ttyUSB0: the device's port).
_OLA_PLUGINS = ["dmx4linux", "dummy", "e131", "espnet", "ftdidmx", "gpio", "karate", "kinet", "milinst",
                "opendmx", "openpixelcontrol", "osc", "pathport", "renard", "sandnet", "shownet", "spi",
                "stageprofi", "uartdmx", "usbdmx", "usbserial"]
# olad refuses to run as root.
_OLA_USER = 65534


class Olad:
    """OLA's daemon in the bridge's namespaces, with a configuration of its
    own: only its Art-Net plugin, on CONTROLLER_ADDRESS (a node at its own
    address it would not list), otherwise OLA's defaults. It discovers
    nodes by broadcast ArtPoll and sends each patched universe's ArtDmx by
    unicast to the nodes that listen to it. Needs a lab with broadcast
    addresses."""

    def __init__(self, lab):
        self.lab = lab
        self.config = tempfile.mkdtemp(prefix="olad-", dir=lab.directory)
        for plugin in _OLA_PLUGINS:
            self._write(f"ola-{plugin}.conf", "enabled = false\n")
        self._write("ola-artnet.conf", f"enabled = true\nip = {CONTROLLER_ADDRESS}\n")
        os.chown(self.config, _OLA_USER, _OLA_USER)
        self.process = self._start(["olad", "--config-dir", self.config, "--no-http",
                                    "--no-register-with-dns-sd", "--log-level", "3"],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.log = Stream(self.process.stdout)
        # Ready once its RPC port answers.
        if not wait_until(lambda: self.run("ola_dev_info", check=False).returncode == 0, interval=0.2):
            raise RuntimeError("olad did not start:\n" + self.log.data().decode(errors="replace"))

    def _write(self, name, text):
        path = os.path.join(self.config, name)
        with open(path, "w") as file:
            file.write(text)
        os.chown(path, _OLA_USER, _OLA_USER)

    def _start(self, command, **kwargs):
        return self.lab.popen_inside(["setpriv", f"--reuid={_OLA_USER}", f"--regid={_OLA_USER}",
                                      "--clear-groups", *command], stdin=subprocess.DEVNULL, **kwargs)

    def run(self, *command, check=True):
        """Runs one of OLA's clients against this daemon."""
        process = self._start(list(command), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out, _ = process.communicate(timeout=DEADLINE)
        result = subprocess.CompletedProcess(command, process.returncode, out.decode(errors="replace"))
        if check and result.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} failed: {result.stdout}")
        return result

    def patch_output(self, universe):
        """Patches the Art-Net device's first output port to `universe`."""
        devices = self.run("ola_dev_info").stdout
        device = next(line.split(":")[0].split()[-1] for line in devices.splitlines() if "ArtNet" in line)
        self.run("ola_patch", "--device", device, "--port", "0", "--universe", str(universe))

    def set_dmx(self, universe, values):
        self.run("ola_set_dmx", "--universe", str(universe), "--dmx", ",".join(str(v) for v in values))

    def stop(self):
        terminate(self.process)


# ---------------------------------------------------------------------------
# Run as a program (scripts/demo), the lab is the demo: an ArtPoll crosses
# the bridge, its reply comes back, and everything that crossed is printed.

OPCODE_NAMES = {0x2000: "ArtPoll", 0x2100: "ArtPollReply", 0x5000: "ArtDmx", 0x5200: "ArtSync"}


def describe(data):
    """A short account of bytes that crossed the serial link."""
    what = f"{len(data)} bytes"
    if data.startswith(ARTNET_ID) and len(data) >= 10:
        opcode = data[8] | data[9] << 8
        what += f", Art-Net {OPCODE_NAMES.get(opcode, f'OpCode 0x{opcode:04x}')}"
    if data.endswith(b"\r\n"):
        what += ", ending in CR LF"
    return what


def _show(title, text):
    print(f"\n== {title}")
    print(text.rstrip("\n") if text else "(nothing)")


def _hex_lines(data, width=32):
    return "\n".join("    " + data[i:i + width].hex(" ") for i in range(0, len(data), width))


def demo():
    require_lab()
    stop_on_sigterm()
    print("Setting up throwaway namespaces: the bridge's host, and a network behind a veth pair.")
    with Lab() as lab:
        controller = lab.controller()
        device = lab.start_device()
        print(f"The simulated device is on {device.path}; the bridge finds it as /dev/{PORT_NAME}, "
              "the only serial port it can see.")
        print(f"Starting the bridge on host '{HOST_NAME}' ({BRIDGE_ADDRESS}).")
        bridge = lab.start_bridge()
        bridge.wait_output(message("InitCompleted") + message("Running"))
        startup_reply = reply_from_bridge(controller)
        poll = art_poll()
        print(f"A controller at {CONTROLLER_ADDRESS} broadcasts an ArtPoll to {BROADCAST_ADDRESS}:{ARTNET_PORT}.")
        controller.send(poll)
        received = device.wait_received(len(ART_POLL_PROBE) + len(poll))
        reply = reply_from_bridge(controller)
        time.sleep(0.2)

        _show("The bridge's console", bridge.output().decode("utf-8", errors="replace").replace("\r\n", "\n"))
        lines = []
        for line in whole_lines(device.log().encode()):
            direction, _, text = line.partition(" ")
            data = bytes.fromhex(text)
            arrow = "network -> device" if direction == "rx" else "device -> network"
            note = " (the bridge's start-up probe)" if not lines and data == ART_POLL_PROBE else ""
            lines.append(f"{arrow}: {describe(data)}{note}\n{_hex_lines(data)}")
        _show("What crossed the serial link (the device's log)", "\n".join(lines))
        if startup_reply is not None:
            _show("The controller received, after the start-up probe",
                  f"{describe(startup_reply[0])}; from {startup_reply[1][0]}:{startup_reply[1][1]}")
        if reply is None:
            _show("The controller received, after its ArtPoll", "")
            return 1
        data, sender = reply
        short_name = data[26:44].split(b"\0")[0].decode(errors="replace")
        _show("The controller received, after its ArtPoll",
              f"{describe(data)}; from {sender[0]}:{sender[1]} (node name '{short_name}')\n{_hex_lines(data)}")
        probe_ok = received[:len(ART_POLL_PROBE)] == ART_POLL_PROBE
        poll_ok = received[len(ART_POLL_PROBE):] == poll
        print(f"\nThe device got the 14-byte probe first: {'yes' if probe_ok else 'NO'}; "
              f"then the controller's ArtPoll, byte for byte: {'yes' if poll_ok else 'NO'}.")
        print("Removing the namespaces.")
        return 0 if probe_ok and poll_ok else 1


if __name__ == "__main__":
    sys.exit(demo())
