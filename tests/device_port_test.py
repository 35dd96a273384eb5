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
import struct
import subprocess
import sys
import termios
import time
import unittest

import lab
from lab import ART_POLL_PROBE as PROBE, DEADLINE

FIND = os.path.join(lab.BUILD_DIR, "tests", "find-device")


def untouched(device):
    """True when nothing configured, locked or wrote to the simulated
    device's port."""
    fd = os.open(device.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        speed = termios.tcgetattr(fd)[2] & termios.CBAUD
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # raises when locked
        return speed == termios.B38400 and device.received() == b""
    finally:
        os.close(fd)


class Bridge:
    """find-device: the bridge's discovery, writer and reader."""

    def __init__(self, *options):
        self.process = subprocess.Popen([FIND] + list(options), stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE)
        self.output = lab.Stream(self.process.stdout)

    def _lines(self, prefix, data):
        return [line[len(prefix):] for line in lab.whole_lines(data) if line.startswith(prefix)]

    def found(self):
        data = self.output.wait_for(lambda data: self._lines("found ", data))
        found = self._lines("found ", data)
        if not found:
            raise AssertionError("timed out waiting for discovery")
        return found[0]

    def frames(self, count):
        data = self.output.wait_for(lambda data: len(self._lines("frame ", data)) >= count)
        frames = [bytes.fromhex(frame) for frame in self._lines("frame ", data)]
        if len(frames) < count:
            raise AssertionError("timed out waiting for %d frames" % count)
        return frames

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        lab.terminate(self.process)
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
        for name, device in self.devices:
            device.stop()
            lab.unbind_port(name)
        subprocess.run(["rm", "-rf", "/sys/class/tty/console"], check=True)

    def device(self, name, type_text=None):
        """A simulated device whose pty is the serial port /dev/NAME."""
        device = lab.start_simulator()
        self.devices.append((name, device))
        lab.bind_port(device.path, name, type_text)
        device.port = "/dev/" + name
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

        self.assertTrue(untouched(later))

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
        fd = os.open(first.port, os.O_RDWR | os.O_NOCTTY)
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
        # Someone else's settings on the port: a terminal's cooked mode.
        fd = os.open(rounding.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            settings = termios.tcgetattr(fd)
            settings[0] |= termios.ICRNL | termios.IXON
            settings[1] |= termios.OPOST | termios.ONLCR
            settings[3] |= termios.ECHO | termios.ICANON | termios.ISIG
            termios.tcsetattr(fd, termios.TCSANOW, settings)
            before = termios.tcgetattr(fd)
            self.assertEqual(run_to_end("--round-speed", "/dev/ttyUSB0"), "/dev/ttyUSB1")
            # Tried and given up, the port has its settings back.
            self.assertEqual(termios.tcgetattr(fd), before)
        finally:
            os.close(fd)
        self.assertEqual(good.wait_received(len(PROBE)), PROBE)
        self.assertEqual(rounding.received(), b"")
        # Given up, it is not left exclusive: the next bridge takes it.
        self.assertEqual(run_to_end(), "/dev/ttyUSB0")

    def test_ports_other_programs_have_locked_are_not_opened(self):
        # minicom, cu and their kind leave a lock file in /var/lock holding
        # their PID. This namespace gets a lock directory of its own.
        subprocess.run(["mount", "-t", "tmpfs", "lab-locks", "/run/lock"], check=True)
        self.addCleanup(subprocess.run, ["umount", "/run/lock"], check=True)
        locked = self.device("ttyUSB0")
        free = self.device("ttyUSB1")
        lock = "/var/lock/LCK..ttyUSB0"
        ended = subprocess.Popen(["true"])
        ended.wait()
        alive = lab.start_simulator()  # any process that lives meanwhile
        self.addCleanup(alive.stop)
        for holder, text in ((alive.process.pid, "%10d\n" % alive.process.pid),
                             (alive.process.pid, struct.pack("i", alive.process.pid))):  # old binary form
            with open(lock, "wb") as f:
                f.write(text.encode() if isinstance(text, str) else text)
            self.assertEqual(run_to_end(), "/dev/ttyUSB1", "a lock of live process %d" % holder)
        self.assertEqual(free.wait_received(2 * len(PROBE)), 2 * PROBE)
        self.assertTrue(untouched(locked), "a locked port is not even opened")
        # A lock its process has left behind is stale.
        with open(lock, "w") as f:
            f.write("%10d\n" % ended.pid)
        self.assertEqual(run_to_end(), "/dev/ttyUSB0")

    def test_console_and_ghost_ports_are_never_opened(self):
        console = self.device("ttyS0", "4\n")
        ghost = self.device("ttyS1", "0\n")
        os.mkdir("/sys/class/tty/console")
        with open("/sys/class/tty/console/active", "w") as f:
            f.write("tty0 ttyS0\n")
        self.assertEqual(run_to_end(), "none")
        self.assertTrue(untouched(console))
        self.assertTrue(untouched(ghost))

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
        lab.skip("needs root for a private mount namespace")
    if subprocess.run([lab.WITHOUT_SERIAL_PORTS, "true"], stderr=subprocess.DEVNULL).returncode != 0:
        lab.skip("cannot make a private mount namespace here")
    sys.exit(subprocess.run([lab.WITHOUT_SERIAL_PORTS, sys.executable, os.path.abspath(__file__),
                             "--inside"]).returncode)


if __name__ == "__main__":
    main()
