#!/usr/bin/env python3
"""The Windows device side under Wine, against the simulated device on the real
link's wire: discovery, the writer's whole packets and the reader, through
DeviceLink as the bridge runs them (tests/drive_device-win32.cpp), at a COM
port of the test prefix that leads to the path where the simulator links its
pty (tests/wine-com-ports: COM91 to COM95, for these tests alone).

- A device that reads at the wire's pace, and stalls twice for 1.2 s while
  the writer offers more than the wire carries: every packet arrives whole
  and in order after the probe, and the console says SerialWriteTimeout once
  for each stall.
- A device that goes away (its pty hangs up) while a write waits for it, and
  comes back at the same COM port: the waiting write is given up, DeviceLost
  and DeviceReconnected are said once each, the reader idles meanwhile, and
  the new device gets the probe first, then writes and reads flow again.
- A device whose port starts failing every write with an error that says
  nothing of a lost device (ERROR_SEM_TIMEOUT, 121, as usbser.sys gives until
  its adapter is replugged; made by tests/fail_writes.c below Wine): after a
  second of failures the port counts as lost, is searched again and, as long
  as it refuses the probe, passed over; once it takes writes again it is found
  within two seconds, the probe first.
- The computer resumes from sleep (the windows of drive-device.exe are told so,
  as Windows tells every top-level window): the port is let go and found
  again, the probe first.
- The console holds every line (standard output a full pipe nobody reads):
  every message still reaches the device, and the reply the reader, and once
  the console lets go every line comes, in order.
- Ports listed under the names of Bluetooth, built-in and USB serial ports
  (COM41 to COM46, pty pairs) are tried USB first, then built-in, then
  Bluetooth, whatever the registry's order.

Run by ctest in the Windows build only, through scripts/test-windows.
"""

import fcntl
import os
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import lab as lab_
from lab import ART_POLL_PROBE, DEADLINE, MESSAGES, WIRE_BAUD, art_dmx

DRIVER = os.path.join(lab_.BUILD_DIR, "tests", "drive-device.exe")
# The simulated device is a Linux program: scripts/test-windows builds it in
# the Linux build.
SIMULATOR = os.path.join(lab_.SOURCE_DIR, "build", "linux", "tools", "artnet-device-sim")
STALL_MS = 1200


def link_path(port):
    """Where the test prefix's COM port leads: the path the simulator is to
    link its pty to."""
    with open(os.path.join(os.environ["WINEPREFIX"], ".artnet-com-ports")) as recorded:
        return dict(line.split(" ", 1) for line in recorded.read().splitlines())[port]


def start_device(port):
    """A simulated device on the real link's wire, at `port`."""
    options = ["--link", link_path(port), *lab_.simulator_options(baud=WIRE_BAUD, timestamps=True)]
    process = subprocess.Popen([SIMULATOR, *options], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
    return lab_.Device(process, baud=WIRE_BAUD)


def packet(number):
    """A 530-byte ArtDmx that carries its number in its first two channels."""
    data = bytearray(art_dmx(530, seed=number))
    data[18:20] = number.to_bytes(2, "little")
    return bytes(data)


def message_name(line):
    """The name of the bridge's message that a console line is (its code
    aside), or None."""
    for name, text in MESSAGES.items():
        text = text.encode("gbk")
        if line == text or (text.endswith(b"- ") and line.startswith(text)):
            return name
    return None


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Driver:
    """drive-device.exe under Wine on one COM port: what it prints, line by
    line, and the messages it is given to write."""

    def __init__(self, *arguments, environment=None):
        self.process = subprocess.Popen([os.environ["ARTNET_WINE_RUN"], DRIVER, *arguments], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=None if environment is None else {**os.environ, **environment})
        self.stdout = lab_.Stream(self.process.stdout)
        self.stderr = lab_.Stream(self.process.stderr)
        self.feeder = None

    @staticmethod
    def _lines(data):
        return data.split(b"\r\n")[:-1]

    def lines(self):
        return self._lines(self.stdout.data())

    def wait_lines(self, predicate, timeout=DEADLINE):
        """Waits until predicate(lines) holds; returns the lines."""
        return self._lines(self.stdout.wait_for(lambda data: predicate(self._lines(data)), timeout))

    def count(self, name, lines=None):
        """How many of the console's lines are the message `name`."""
        return sum(1 for line in (self.lines() if lines is None else lines) if message_name(line) == name)

    def messages(self):
        """The console's lines but for the driver's own: the names of the
        bridge's messages, and any other line as it is."""
        return [message_name(line) or line for line in self.lines()
                if not line.startswith((b"found ", b"write ", b"frame "))]

    def results(self, lines=None):
        """What became of each message written so far, in order."""
        return [line.split(b" ", 1)[1].decode() for line in (self.lines() if lines is None else lines)
                if line.startswith(b"write ")]

    def frames(self):
        return [bytes.fromhex(line.split(b" ", 1)[1].decode()) for line in self.lines()
                if line.startswith(b"frame ")]

    def send_line(self, line):
        """Hands the driver one line of its input as it is ("resume")."""
        if self.feeder is not None:
            self.feeder.join()
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def write(self, *messages):
        """Hands the messages over on a thread: the pipe holds far fewer."""
        if self.feeder is not None:
            self.feeder.join()
        text = b"".join(message.hex().encode() + b"\n" for message in messages)

        def feed():
            self.process.stdin.write(text)
            self.process.stdin.flush()
        self.feeder = threading.Thread(target=feed, daemon=True)
        self.feeder.start()

    def wait_results(self, count, timeout=DEADLINE):
        return self.results(self.wait_lines(lambda lines: len(self.results(lines)) >= count, timeout))

    def close(self):
        """Ends the input and waits for the end; returns the exit code."""
        if self.feeder is not None:
            self.feeder.join(DEADLINE)
        try:
            self.process.stdin.close()
            return self.process.wait(DEADLINE * 3)
        except (OSError, subprocess.TimeoutExpired):
            return None
        finally:
            lab_.terminate(self.process)
            for stream, pipe in ((self.stdout, self.process.stdout), (self.stderr, self.process.stderr)):
                stream.wait_closed()
                if stream.closed:  # Never under the reader's feet.
                    pipe.close()


class DeviceCase(unittest.TestCase):
    PORT = None

    def setUp(self):
        self.devices = []
        self.driver = None

    def tearDown(self):
        if self.driver is not None:
            self.driver.close()
        for device in self.devices:
            device.stop()

    def start_device(self):
        device = start_device(self.PORT)
        self.devices.append(device)
        return device

    def start_driver(self, environment=None):
        self.driver = Driver(self.PORT, environment=environment)
        lines = self.driver.wait_lines(lambda lines: len(lines) >= 1, timeout=DEADLINE * 3)
        self.assertEqual(lines[:1], [b"found " + self.PORT.encode()], self.driver.stderr.data())
        return self.driver


class WriterAtTheWiresPace(DeviceCase):
    PORT = "COM91"

    def test_whole_packets_in_order_and_one_timeout_a_stall(self):
        device = self.start_device()
        driver = self.start_driver()
        self.assertEqual(device.wait_received(len(ART_POLL_PROBE)).hex(), ART_POLL_PROBE.hex())
        # 1.8 s of the wire's time, all offered at once: the writer is held
        # by the device's adapter from the first packets on.
        packets = [packet(number) for number in range(400)]
        expected = ART_POLL_PROBE + b"".join(packets)
        driver.write(*packets)

        for stall, after in ((1, 60), (2, 200)):
            device.wait_received(len(ART_POLL_PROBE) + after * len(packets[0]))
            self.assertEqual(driver.count("SerialWriteTimeout"), stall - 1, "one line a stall, said in it")
            device.stall(STALL_MS)
            lines = driver.wait_lines(lambda lines: driver.count("SerialWriteTimeout", lines) >= stall,
                                      timeout=STALL_MS / 1000 + 2)
            self.assertEqual(driver.count("SerialWriteTimeout", lines), stall, "no timeout line in the stall")

        self.assertEqual(driver.wait_results(len(packets)), ["written"] * len(packets))
        received = device.wait_received(len(expected))
        time.sleep(0.1)  # Anything more on its way would show here.
        received = device.received()
        self.assertEqual(len(received), len(expected))
        for number, start in enumerate(range(len(ART_POLL_PROBE), len(expected), len(packets[0]))):
            self.assertEqual(received[start:start + len(packets[0])].hex(), packets[number].hex(),
                             f"packet {number} is not the one written, whole, in its place")
        # The writer kept the wire busy but for the stalls: never starved it
        # for long under Wine (a second of slack for a busy machine). Timed
        # from the end of the first packets' run to the end of the last.
        lines = device.received_lines()[1:]  # The probe's line comes first, alone.
        took = (lines[-1][1] - lines[0][1]) / 1e9
        wire = sum(len(data) for data, _ in lines[1:]) * device.byte_time() / 1e9
        print(f"the packets took {took:.2f} s, the wire {wire:.2f} s and the stalls {2 * STALL_MS / 1000:.1f} s",
              file=sys.stderr)
        self.assertLess(took, wire + 2 * STALL_MS / 1000 + 1.0)
        self.assertEqual(driver.close(), 0)
        self.assertEqual(driver.messages(), ["SerialWriteTimeout", "SerialWriteTimeout"])


class DeviceGoesAndComesBack(DeviceCase):
    PORT = "COM92"

    def test_given_up_said_once_idle_and_found_again(self):
        first = self.start_device()
        driver = self.start_driver()
        self.assertEqual(first.wait_received(len(ART_POLL_PROBE)).hex(), ART_POLL_PROBE.hex())
        reply = first.wait_sent(1)[0]
        driver.wait_lines(lambda lines: any(line.startswith(b"frame ") for line in lines))
        self.assertEqual(driver.frames(), [reply], "the reader hands over the reply to the probe")
        driver.write(packet(0), packet(1))
        self.assertEqual(driver.wait_results(2), ["written"] * 2)
        self.assertEqual(first.wait_received(len(ART_POLL_PROBE) + 2 * 530).hex(),
                         (ART_POLL_PROBE + packet(0) + packet(1)).hex())

        # The device stops taking bytes, the writer waits in a write (and
        # says so), and then the device is unplugged. More is offered than
        # the device's adapter and its pty hold between them (some 18 KB), so
        # that a write must wait however quickly the writer comes.
        offered = 62
        first.stall(60000)
        driver.write(*(packet(number) for number in range(2, offered)))
        driver.wait_lines(lambda lines: driver.count("SerialWriteTimeout", lines) >= 1)
        self.assertEqual(driver.count("SerialWriteTimeout"), 1, "the writer waits in a write")
        waiting = len(driver.results())
        first.hangup()
        unplugged = time.monotonic()
        driver.wait_lines(lambda lines: driver.count("DeviceLost", lines) >= 1)
        self.assertLess(time.monotonic() - unplugged, 1.0, "the reader notices a dead port at once")
        results = driver.wait_results(offered)
        # Wine ends the waiting write itself, with ERROR_NOT_READY, an error of
        # a lost port; a driver that leaves it waiting has it cancelled once
        # the reader finds the port gone.
        self.assertIn(results[waiting], ("lost", "abandoned"), f"the waiting write: {results}")
        self.assertEqual(results[waiting + 1:], ["lost"] * (offered - waiting - 1), "writes while there is no device")

        # While the device is gone, writes keep coming and the reader looks
        # for the device four times a second: neither spins.
        pid = driver.process.pid
        before, start = cpu_seconds(pid), time.monotonic()
        for number in range(offered, offered + 20):
            driver.write(packet(number))
            time.sleep(0.1)
        self.assertEqual(driver.wait_results(offered + 20)[offered:], ["lost"] * 20)
        share = (cpu_seconds(pid) - before) / (time.monotonic() - start)
        print(f"drive-device's processor time while the device was gone: {share:.1%} of a core", file=sys.stderr)
        self.assertLess(share, 0.05, "busy while the device is gone")

        second = self.start_device()
        appeared = time.monotonic()
        self.assertEqual(second.wait_received(len(ART_POLL_PROBE)).hex(), ART_POLL_PROBE.hex(), "the probe first")
        took = time.monotonic() - appeared
        self.assertLess(took, 1.0, "found again within a second")
        driver.wait_lines(lambda lines: driver.count("DeviceReconnected", lines) >= 1)
        reply = second.wait_sent(1)[0]
        driver.wait_lines(lambda lines: len([line for line in lines if line.startswith(b"frame ")]) >= 2)
        self.assertEqual(driver.frames()[1:], [reply], "the reader reads the new device")
        last = offered + 20
        driver.write(packet(last), packet(last + 1))
        self.assertEqual(driver.wait_results(last + 2)[last:], ["written"] * 2)
        self.assertEqual(second.wait_received(len(ART_POLL_PROBE) + 2 * 530).hex(),
                         (ART_POLL_PROBE + packet(last) + packet(last + 1)).hex())
        frame = art_dmx(100, seed=7) + b"\r\n"
        second.send(frame)
        driver.wait_lines(lambda lines: len([line for line in lines if line.startswith(b"frame ")]) >= 3)
        self.assertEqual(driver.frames()[2:], [frame])

        self.assertEqual(driver.close(), 0)
        self.assertEqual(driver.messages(), ["SerialWriteTimeout", "DeviceLost", "DeviceReconnected"])
        print(f"found again {took * 1000:.0f} ms after the device came back", file=sys.stderr)


# Wine turns a write() that fails with ETIME into ERROR_SEM_TIMEOUT (121), an
# error outside those that say at once that a port's device has gone.
ETIME = 62
ERROR_SEM_TIMEOUT = 121
FAIL_WRITES = os.path.join(lab_.SOURCE_DIR, "build", "linux", "tests", "fail-writes.so")


class WritesThatKeepFailing(DeviceCase):
    PORT = "COM93"

    def test_lost_after_a_second_and_found_again_once_it_takes_writes(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        fault = os.path.join(directory.name, "fail-writes")
        device = self.start_device()
        driver = self.start_driver(environment={"LD_PRELOAD": FAIL_WRITES, "ARTNET_FAIL_WRITES": fault})
        self.assertEqual(device.wait_received(len(ART_POLL_PROBE)).hex(), ART_POLL_PROBE.hex())
        driver.write(packet(0), packet(1))
        self.assertEqual(driver.wait_results(2), ["written"] * 2)
        before = ART_POLL_PROBE + packet(0) + packet(1)
        self.assertEqual(device.wait_received(len(before)).hex(), before.hex())

        # From now on every write to the device's pty fails, below Wine.
        pty = os.stat(os.path.realpath(link_path(self.PORT))).st_rdev
        with open(fault, "w") as file:
            file.write(f"{pty} {ETIME}")
        failing = time.monotonic()
        stop = threading.Event()

        def keep_writing():
            number = 2
            while not stop.is_set():
                driver.write(packet(number))
                number += 1
                time.sleep(0.05)
        writing = threading.Thread(target=keep_writing, daemon=True)
        writing.start()
        try:
            driver.wait_lines(lambda lines: driver.count("DeviceLost", lines) >= 1)
            took = time.monotonic() - failing
            time.sleep(1.0)  # Searching meanwhile, and passing the port over.
        finally:
            stop.set()
            writing.join()
        print(f"lost {took * 1000:.0f} ms after the writes started failing", file=sys.stderr)
        self.assertGreater(took, 1.0, "lost before its writes had failed for a second")
        self.assertLess(took, 3.0)
        failed = [line for line in driver.lines() if message_name(line) == "SerialWriteFailed"]
        self.assertEqual(failed, [lab_.message("SerialWriteFailed", ERROR_SEM_TIMEOUT, windows=True)[:-2]],
                         "said once, with its code")
        self.assertEqual(device.received().hex(), before.hex(), "no probe gets through a port that fails")

        # The port takes writes again: found within two seconds, probe first.
        os.unlink(fault)
        back = time.monotonic()
        self.assertEqual(device.wait_received(len(before) + len(ART_POLL_PROBE)).hex(),
                         (before + ART_POLL_PROBE).hex())
        found = time.monotonic() - back
        print(f"found again {found * 1000:.0f} ms after the port took writes again", file=sys.stderr)
        self.assertLess(found, 2.0)
        driver.wait_lines(lambda lines: driver.count("DeviceReconnected", lines) >= 1)
        written = len(driver.results())
        driver.write(packet(1000), packet(1001))
        self.assertEqual(driver.wait_results(written + 2)[written:], ["written"] * 2)
        after = before + ART_POLL_PROBE + packet(1000) + packet(1001)
        self.assertEqual(device.wait_received(len(after)).hex(), after.hex())
        self.assertEqual(driver.close(), 0)
        self.assertEqual(driver.messages(), ["SerialWriteFailed", "DeviceLost", "DeviceReconnected"])


class ResumeFromSleep(DeviceCase):
    PORT = "COM94"

    def test_the_port_is_let_go_and_found_again(self):
        device = self.start_device()
        driver = self.start_driver()
        self.assertEqual(device.wait_received(len(ART_POLL_PROBE)).hex(), ART_POLL_PROBE.hex())
        driver.send_line("resume")
        resumed = time.monotonic()
        self.assertEqual(device.wait_received(2 * len(ART_POLL_PROBE)).hex(), (ART_POLL_PROBE * 2).hex())
        took = time.monotonic() - resumed
        print(f"the port reopened {took * 1000:.0f} ms after the resume", file=sys.stderr)
        self.assertLess(took, 1.0)
        driver.wait_lines(lambda lines: driver.count("DeviceReconnected", lines) >= 1)
        driver.write(packet(0))
        self.assertEqual(driver.wait_results(1), ["written"])
        self.assertEqual(device.wait_received(2 * len(ART_POLL_PROBE) + 530).hex(),
                         (ART_POLL_PROBE * 2 + packet(0)).hex())
        self.assertEqual(driver.close(), 0)
        self.assertEqual(driver.messages(), ["DeviceLost", "DeviceReconnected"])


class BlockedConsole(DeviceCase):
    PORT = "COM95"

    def test_traffic_goes_on_while_the_console_holds_every_line(self):
        # Standard output is a pipe that is full and not read, as a console
        # window holds every write while a selection is made in it.
        device = self.start_device()
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        filler = b"f" * fcntl.fcntl(write_end, fcntl.F_GETPIPE_SZ)
        os.write(write_end, filler)
        process = subprocess.Popen([os.environ["ARTNET_WINE_RUN"], DRIVER, self.PORT], stdin=subprocess.PIPE,
                                   stdout=write_end, stderr=subprocess.DEVNULL)
        os.close(write_end)
        self.addCleanup(lab_.terminate, process)
        self.assertEqual(device.wait_received(len(ART_POLL_PROBE), timeout=DEADLINE * 3).hex(), ART_POLL_PROBE.hex())
        # Each message written makes a line ("write written") that the console
        # holds: the thread that wrote it goes on with the next message all
        # the same, and the reader's thread reads the device's reply.
        packets = [packet(number) for number in range(20)]
        process.stdin.write(b"".join(data.hex().encode() + b"\n" for data in packets))
        process.stdin.flush()
        expected = ART_POLL_PROBE + b"".join(packets)
        self.assertEqual(device.wait_received(len(expected)).hex(), expected.hex())
        reply = device.wait_sent(1)[0]

        # Let go of the console: every line comes, in order, and none is lost.
        process.stdin.close()
        output = b""
        while chunk := os.read(read_end, 65536):
            output += chunk
        self.assertEqual(process.wait(DEADLINE), 0)
        self.assertEqual(output[:len(filler)], filler)
        lines = output[len(filler):].split(b"\r\n")
        self.assertEqual(lines[-1], b"")
        lines = lines[:-1]
        frame = b"frame " + reply.hex().encode()
        self.assertIn(frame, lines, "the reader handed over the reply while the console was held")
        lines.remove(frame)
        self.assertEqual(lines, [b"found " + self.PORT.encode()] + [b"write written"] * len(packets))


class PortOrder(unittest.TestCase):
    """Which port discovery chooses, from ports listed under the names the
    drivers give them: the first usable one in the order USB adapters,
    built-in ports, Bluetooth and modem ports."""

    FAR_ENDS = {"COM41": "COM42", "COM43": "COM44", "COM45": "COM46"}

    def far_end(self, port):
        """The far end of a pty pair, opened on the Linux side."""
        with open(os.path.join(os.environ["WINEPREFIX"], ".artnet-com-ports")) as recorded:
            path = dict(line.split(" ", 1) for line in recorded.read().splitlines())[self.FAR_ENDS[port]]
        end = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
        self.addCleanup(os.close, end)
        return end

    @staticmethod
    def drain(end):
        data = b""
        while True:
            try:
                chunk = os.read(end, 4096)
            except BlockingIOError:
                return data
            if not chunk:
                return data
            data += chunk

    def test_usb_then_built_in_then_bluetooth(self):
        ends = {port: self.far_end(port) for port in self.FAR_ENDS}
        cases = [
            # Listed first, a Bluetooth port that works is still tried last.
            ([r"\Device\BthModem0=COM41", r"\Device\Serial0=COM43", r"\Device\VCP0=COM45"], "COM45"),
            # The USB adapter's port leads nowhere: the built-in port comes next.
            ([r"\Device\BthModem0=COM41", r"\Device\Silabser0=COM3", r"\Device\Serial0=COM43"], "COM43"),
            # Only the Bluetooth port is left.
            ([r"\Device\BthModem0=COM41", r"\Device\USBSER000=COM3"], "COM41"),
        ]
        for arguments, chosen in cases:
            with self.subTest(arguments=arguments):
                for end in ends.values():
                    self.drain(end)
                driver = Driver(*arguments)
                try:
                    lines = driver.wait_lines(lambda lines: len(lines) >= 1, timeout=DEADLINE * 3)
                    self.assertEqual(lines[:1], [b"found " + chosen.encode()], driver.stderr.data())
                    received = bytearray()

                    def whole_probe():
                        received.extend(self.drain(ends[chosen]))
                        return len(received) >= len(ART_POLL_PROBE)
                    lab_.wait_until(whole_probe)
                    self.assertEqual(bytes(received).hex(), ART_POLL_PROBE.hex())
                finally:
                    self.assertEqual(driver.close(), 0)
                time.sleep(0.2)
                for port, end in ends.items():
                    if port != chosen:
                        self.assertEqual(self.drain(end), b"", f"{port} got a byte")


if __name__ == "__main__":
    if not os.environ.get("WINEPREFIX") or not os.path.exists(os.path.join(os.environ["WINEPREFIX"],
                                                                           ".artnet-com-ports")):
        lab_.skip("run through scripts/test-windows")
    for program in (DRIVER, SIMULATOR, FAIL_WRITES):
        if not os.access(program, os.R_OK):
            print(f"missing {program}: scripts/test-windows builds it")
            sys.exit(1)
    lab_.stop_on_sigterm()
    unittest.main(verbosity=2)
