#!/usr/bin/env python3
"""The bridge's device port on Linux, end to end: discovery, the probe, writes
and frames, against simulated devices on ptys.

Runs itself inside tools/without-serial-ports: a private /dev and an empty
/sys/class/tty, which each case fills with fake tty entries whose device nodes
are simulated devices' ptys bound over /dev/ttyUSB0 and the like. The
machine's own serial ports cannot be seen there. Needs root.
"""
import fcntl
import os
import subprocess
import sys
import termios
import threading
import time
import unittest

SOURCE = os.environ.get("ARTNET_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("ARTNET_BUILD_DIR", os.path.join(SOURCE, "build", "linux"))
SIM = os.path.join(BUILD, "tools", "artnet-device-sim")
FIND = os.path.join(BUILD, "tests", "find-device")
SANDBOX = os.path.join(SOURCE, "tools", "without-serial-ports")
TTY_CLASS = "/sys/class/tty"

PROBE = bytes.fromhex("4172742d4e6574000020000e0210")
DEADLINE = 20  # seconds: generous, the machine may be busy


def wait_for(condition, what, timeout=DEADLINE):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.01)
    raise AssertionError("timed out waiting for " + what)


class Lines:
    """Collects a process's standard output lines as they come."""

    def __init__(self, stream):
        self.lines = []
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._collect, args=(stream,), daemon=True)
        self._thread.start()

    def _collect(self, stream):
        for line in stream:
            with self._lock:
                self.lines.append(line.rstrip("\n"))
        stream.close()

    def snapshot(self):
        with self._lock:
            return list(self.lines)


class Device:
    """A simulated device whose pty is /dev/NAME, listed under /sys/class/tty."""

    def __init__(self, name, type_text=None):
        self.name = name
        self.path = "/dev/" + name
        self.sim = subprocess.Popen([SIM], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, text=True)
        self.pty = self.sim.stdout.readline().strip()
        self.output = Lines(self.sim.stdout)
        open(self.path, "w").close()
        subprocess.run(["mount", "--bind", self.pty, self.path], check=True)
        entry = os.path.join(TTY_CLASS, name)
        os.mkdir(entry)
        os.symlink("../../devices/platform/fake/" + name, os.path.join(entry, "device"))
        if type_text is not None:
            with open(os.path.join(entry, "type"), "w") as f:
                f.write(type_text)

    def received(self):
        return b"".join(bytes.fromhex(line[3:]) for line in self.output.snapshot()
                        if line.startswith("rx "))

    def wait_received(self, size):
        return wait_for(lambda: len(self.received()) >= size and self.received(),
                        "%d bytes at %s" % (size, self.name))

    def send(self, data):
        self.sim.stdin.write(data.hex() + "\n")
        self.sim.stdin.flush()

    def untouched(self):
        """True when nothing configured, locked or wrote to the port."""
        fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            speed = termios.tcgetattr(fd)[2] & termios.CBAUD
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # raises when locked
            return speed == termios.B38400 and self.received() == b""
        finally:
            os.close(fd)

    def stop(self):
        if self.sim.poll() is None:
            self.sim.terminate()
            self.sim.wait(DEADLINE)
        self.sim.stdin.close()

    def remove(self):
        self.stop()
        subprocess.run(["umount", self.path], check=False)
        os.unlink(self.path)
        subprocess.run(["rm", "-rf", os.path.join(TTY_CLASS, self.name)], check=True)


class Bridge:
    """find-device: the bridge's discovery, writer and reader."""

    def __init__(self, *options):
        self.process = subprocess.Popen([FIND] + list(options), stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        self.output = Lines(self.process.stdout)

    def found(self):
        line = wait_for(lambda: next((l for l in self.output.snapshot() if l.startswith("found ")), None),
                        "discovery")
        return line[len("found "):]

    def frames(self, count):
        def enough():
            frames = [bytes.fromhex(l[6:]) for l in self.output.snapshot() if l.startswith("frame ")]
            return frames if len(frames) >= count else None
        return wait_for(enough, "%d frames" % count)

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(DEADLINE)
        self.process.stdin.close()


def run_to_end(*options):
    bridge = Bridge(*options)
    bridge.process.stdin.close()
    bridge.process.wait(DEADLINE)
    return bridge.found()


class DevicePortTest(unittest.TestCase):
    def setUp(self):
        self.devices = []
        self.bridges = []

    def tearDown(self):
        for bridge in self.bridges:
            bridge.stop()
        for device in self.devices:
            device.remove()
        subprocess.run(["rm", "-rf", os.path.join(TTY_CLASS, "console")], check=True)

    def device(self, name, type_text=None):
        device = Device(name, type_text)
        self.devices.append(device)
        return device

    def bridge(self, *options):
        bridge = Bridge(*options)
        self.bridges.append(bridge)
        return bridge

    def test_first_usable_port_carries_the_traffic(self):
        later = self.device("ttyUSB10")
        first = self.device("ttyUSB2")  # natural order: ttyUSB2 comes first
        packet = bytes((i * 7 + i // 256) % 256 for i in range(530))
        bridge = self.bridge("--write-hex", packet.hex(), "--read")
        self.assertEqual(bridge.found(), "/dev/ttyUSB2")
        # The probe first and alone, then the packet, each byte for byte.
        self.assertEqual(first.wait_received(len(PROBE) + len(packet)), PROBE + packet)

        # The device's answer to the probe: an ArtPollReply and CR LF.
        reply = bridge.frames(1)[0]
        self.assertEqual(len(reply), 241)
        self.assertEqual(reply[:10], b"Art-Net\0\x00\x21")
        self.assertEqual(reply[-2:], b"\r\n")

        first.send(b"O")
        first.send(b"K\r\n")
        self.assertEqual(bridge.frames(2)[1], b"OK\r\n")

        self.assertTrue(later.untouched())

    def test_port_held_elsewhere_is_skipped(self):
        first = self.device("ttyUSB0")
        second = self.device("ttyUSB1")
        holder = self.bridge("--hold")
        self.assertEqual(holder.found(), "/dev/ttyUSB0")
        self.assertEqual(run_to_end(), "/dev/ttyUSB1")
        self.assertEqual(second.wait_received(len(PROBE)), PROBE)
        holder.process.stdin.close()
        holder.process.wait(DEADLINE)
        self.assertEqual(first.received(), PROBE)  # the second bridge wrote nothing there

        # A program that only locks the port.
        fd = os.open(first.path, os.O_RDWR | os.O_NOCTTY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            self.assertEqual(run_to_end(), "/dev/ttyUSB1")
        finally:
            os.close(fd)
        # Given back, the port is found again: the first bridge's exclusive
        # mark did not outlive it.
        self.assertEqual(run_to_end(), "/dev/ttyUSB0")

    def test_port_that_does_not_keep_the_speed_is_skipped(self):
        rounding = self.device("ttyUSB0")
        good = self.device("ttyUSB1")
        self.assertEqual(run_to_end("--round-speed", "/dev/ttyUSB0"), "/dev/ttyUSB1")
        self.assertEqual(good.wait_received(len(PROBE)), PROBE)
        self.assertEqual(rounding.received(), b"")
        # Given up, it is not left exclusive: the next bridge takes it.
        self.assertEqual(run_to_end(), "/dev/ttyUSB0")

    def test_console_and_ghost_ports_are_never_opened(self):
        console = self.device("ttyS0", "4\n")
        ghost = self.device("ttyS1", "0\n")
        os.mkdir(os.path.join(TTY_CLASS, "console"))
        with open(os.path.join(TTY_CLASS, "console", "active"), "w") as f:
            f.write("tty0 ttyS0\n")
        self.assertEqual(run_to_end(), "none")
        self.assertTrue(console.untouched())
        self.assertTrue(ghost.untouched())

    def test_lost_device_leaves_the_reader_idle(self):
        device = self.device("ttyACM0")
        bridge = self.bridge("--read")
        self.assertEqual(bridge.found(), "/dev/ttyACM0")
        bridge.frames(1)  # the reader is running
        device.stop()  # the device is unplugged: the pty hangs up
        time.sleep(0.2)
        cpu_before, wall_before = bridge.cpu_seconds(), time.monotonic()
        time.sleep(2)
        share = (bridge.cpu_seconds() - cpu_before) / (time.monotonic() - wall_before)
        self.assertLess(share, 0.2)
        self.assertIsNone(bridge.process.poll(), "the reader must not die")


def main():
    if "--inside" in sys.argv:
        sys.argv.remove("--inside")
        unittest.main()
        return
    if os.geteuid() != 0:
        print("skipped: needs root for a private mount namespace")
        sys.exit(77)
    if subprocess.run([SANDBOX, "true"], stderr=subprocess.DEVNULL).returncode != 0:
        print("skipped: cannot make a private mount namespace here")
        sys.exit(77)
    sys.exit(subprocess.run([SANDBOX, sys.executable, os.path.abspath(__file__), "--inside"]).returncode)


if __name__ == "__main__":
    main()
