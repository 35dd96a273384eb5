#!/usr/bin/env python3
"""How the real bridge ends: SIGTERM, SIGINT and SIGHUP end it within a
second with exit code 0 and leave its port free (the exclusive mark too, which
on a pty outlives the descriptor); a closed standard output does not end it;
a stop at the start-up failure's key prompt puts the terminal back."""

import errno
import fcntl
import os
import select
import signal
import struct
import subprocess
import termios
import time
import unittest

import lab as lab_
from lab import ART_POLL_PROBE, message

RUNNING = message("InitCompleted") + message("Running")
TIOCGEXCL = 0x80045440


def exclusive(fd):
    return struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, bytes(4)))[0] != 0


def read_available(fd, size):
    data = b""
    end = time.monotonic() + lab_.DEADLINE
    while len(data) < size and time.monotonic() < end:
        if select.select([fd], [], [], 0.1)[0]:
            data += os.read(fd, 65536)
    return data


class Stopping(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = lab_.Lab()
        cls.lab.start()
        cls.port = None

    @classmethod
    def tearDownClass(cls):
        cls.lab.close()

    def release_port(self):
        lab_.unbind_port(enter=self.lab._inside("-m"))

    def test_1_signals_end_it_promptly_and_free_the_port(self):
        port = self.lab.hold_port()
        self.addCleanup(port.close)
        self.addCleanup(self.release_port)
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=signal.Signals(number).name):
                bridge = self.lab.start_bridge()
                self.assertEqual(bridge.wait_output(RUNNING), RUNNING)
                self.assertEqual(read_available(port.master, len(ART_POLL_PROBE)), ART_POLL_PROBE)
                self.assertTrue(exclusive(port.slave), "the bridge holds its port exclusively")
                asked = time.monotonic()
                os.kill(bridge.process.pid, number)
                code = bridge.wait_exit(5)
                took = time.monotonic() - asked
                self.assertEqual(code, 0)
                self.assertLess(took, 1.0)
                # Free: no exclusive mark left, no lock, and the next start
                # finds the same port (the loop's next turn).
                self.assertFalse(exclusive(port.slave))
                fd = os.open(f"/proc/{self.lab.holder.pid}/root/dev/ttyUSB0", os.O_RDWR | os.O_NOCTTY)
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                finally:
                    os.close(fd)
                self.assertEqual(bridge.output(), RUNNING)

    def test_2_a_closed_standard_output_does_not_end_it(self):
        # Its console goes to a pipe whose reader ends, as a logger might.
        device = self.lab.start_device()
        reader, writer = os.pipe()
        environment = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C"}
        environment.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
        process = self.lab.popen_inside([lab_.BRIDGE], stdin=subprocess.DEVNULL, stdout=writer,
                                        stderr=subprocess.DEVNULL, env=environment)
        os.close(writer)
        output = b""
        while len(output) < len(RUNNING):
            chunk = os.read(reader, 4096)
            if not chunk:
                break
            output += chunk
        self.assertEqual(output, RUNNING)
        os.close(reader)
        # Something to say: the device goes (and packets for it come), then it
        # comes back.
        device.stop()
        with self.lab.socket("network") as peer:
            for seed in range(20):
                peer.sendto(lab_.art_dmx(100, seed=seed), (lab_.BRIDGE_ADDRESS, lab_.ARTNET_PORT))
                time.sleep(0.01)
        time.sleep(1)
        self.assertIsNone(process.poll(), f"ended with {process.returncode} when its output closed")
        self.release_port()
        again = self.lab.start_device()
        self.addCleanup(self.release_port)
        self.addCleanup(again.stop)
        self.assertEqual(again.wait_received(len(ART_POLL_PROBE)), ART_POLL_PROBE)
        self.assertIsNone(process.poll())
        lab_.terminate(process)

    def test_3_a_stop_at_the_key_prompt_puts_the_terminal_back(self):
        # No device: start-up ends at the prompt, which turns echo and line
        # mode off while it waits.
        keyboard, terminal = os.openpty()
        try:
            before = termios.tcgetattr(terminal)
            self.assertTrue(before[3] & termios.ECHO and before[3] & termios.ICANON)
            bridge = self.lab.start_bridge(stdin=terminal)
            prompt = lab_.pause_prompt()
            self.assertTrue(bridge.stdout.wait_for(lambda data: data.endswith(prompt)).endswith(prompt))
            lab_.wait_until(lambda: not termios.tcgetattr(terminal)[3] & termios.ECHO)
            self.assertFalse(termios.tcgetattr(terminal)[3] & termios.ECHO, "the prompt did not wait")
            os.kill(bridge.process.pid, signal.SIGINT)
            self.assertEqual(bridge.wait_exit(5), 1)
            self.assertEqual(termios.tcgetattr(terminal), before)
        finally:
            os.close(keyboard)
            os.close(terminal)


if __name__ == "__main__":
    lab_.run_tests()
