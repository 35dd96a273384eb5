#!/usr/bin/env python3
"""The device comes and goes while the real bridge runs: its pty hangs up and
a new device appears at the same path, or the port vanishes with its sysfs
entry and a new one appears under another name. Each time the bridge says so
once, idles while it waits, and within a second of the port's return gives
the new device its probe first and carries traffic both ways again."""

import os
import time
import unittest

import lab as lab_
from lab import ART_POLL_PROBE, ARTNET_PORT, BRIDGE_ADDRESS, art_dmx, art_poll, message

RUNNING = message("InitCompleted") + message("Running")


def cpu_seconds(pid):
    """The processor time of the process's threads so far, to the
    nanosecond: /proc/PID/stat counts in ticks of 10 ms, and a hundredth of
    two seconds is two of them."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as stat:
                total += int(stat.read().split()[0])
        except FileNotFoundError:
            pass  # A thread that ended meanwhile.
    return total / 1e9


def is_poll_reply(data, sender):
    return lab_.from_bridge(data, sender) and data[8:10] == b"\x00\x21"


class DeviceComesAndGoes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = lab_.Lab()
        cls.lab.start()
        try:
            cls.controller = cls.lab.controller()
            cls.peer = cls.lab.socket("network")
            cls.peer.bind((lab_.PEER_ADDRESS, 0))
            cls.device = cls.lab.start_device()
            cls.bridge = cls.lab.start_bridge()
        except BaseException:
            cls.lab.close()
            raise
        cls.console = RUNNING

    @classmethod
    def tearDownClass(cls):
        cls.controller.close()
        cls.peer.close()
        cls.lab.close()

    def expect_console(self, *lines):
        type(self).console += b"".join(lines)
        expected = type(self).console
        self.assertEqual(self.bridge.stdout.wait_for(lambda data: len(data) >= len(expected)), expected)

    def flowing(self, device, seed):
        """DMX reaches `device` and the device's reply reaches the controller."""
        dmx = art_dmx(530, seed=seed)
        self.peer.sendto(dmx, (BRIDGE_ADDRESS, ARTNET_PORT))
        received = device.wait_received(len(ART_POLL_PROBE) + len(dmx))
        self.assertEqual(received[len(ART_POLL_PROBE):].hex(), dmx.hex())
        self.controller.drain()
        frame = art_dmx(100, seed=seed) + b"\r\n"
        device.send(frame)
        got = self.controller.receive(lambda data, sender: lab_.from_bridge(data, sender) and data == frame)
        self.assertIsNotNone(got, "the device's frame did not reach the controller")

    def lose_device(self):
        """The device's pty hangs up: the simulator ends. The bridge says so
        once; while it waits, captured packets change nothing on the console
        and it stays idle."""
        self.lab.device.stop()
        self.expect_console(message("DeviceLost"))
        pid = self.bridge.process.pid
        before, start = cpu_seconds(pid), time.monotonic()
        for i in range(200):
            self.peer.sendto(art_dmx(530, seed=i), (BRIDGE_ADDRESS, ARTNET_PORT))
        time.sleep(2)
        share = (cpu_seconds(pid) - before) / (time.monotonic() - start)
        self.assertLess(share, 0.01, "busy while waiting for the device")
        self.assertEqual(self.bridge.output(), type(self).console, "lines while the device is gone")

    def return_device(self, name):
        """A new simulated device as /dev/NAME; returns it and how long after
        its port appeared its probe came."""
        device = lab_.start_simulator("--address", self.lab.host_address, enter=self.lab._inside("-n", "-m", "-u"))
        self.lab.processes.append(device.process)
        self.lab.device = device
        lab_.bind_port(device.path, name=name, enter=self.lab._inside("-m"))
        # Timed from the port's last piece (bind_port makes it last of all):
        # the processes that make it start slowly on a busy machine.
        appeared = time.monotonic()
        probe = device.wait_received(len(ART_POLL_PROBE))
        took = time.monotonic() - appeared
        self.assertEqual(probe.hex(), ART_POLL_PROBE.hex(), "the probe comes first, alone")
        self.expect_console(message("DeviceReconnected"))
        return device, took

    def test_1_start(self):
        self.expect_console()
        self.assertEqual(self.device.wait_received(len(ART_POLL_PROBE)).hex(), ART_POLL_PROBE.hex())
        self.assertIsNotNone(self.controller.receive(is_poll_reply), "no reply to the probe")

    def test_2_hang_up_and_a_new_device_at_the_same_path(self):
        self.lose_device()
        lab_.unbind_port(enter=self.lab._inside("-m"))
        device, took = self.return_device("ttyUSB0")
        self.assertLess(took, 1.0)
        self.flowing(device, seed=1)

    def test_3_the_port_vanishes_and_comes_back_as_ttyUSB1(self):
        self.lose_device()
        lab_.unbind_port(enter=self.lab._inside("-m"))
        device, took = self.return_device("ttyUSB1")
        self.assertLess(took, 1.0)
        self.flowing(device, seed=2)
        # An ArtPoll from the controller reaches the new device, and its
        # answer the controller.
        self.controller.drain()
        self.controller.send(art_poll())
        self.assertIsNotNone(self.controller.receive(is_poll_reply))

    def test_9_nothing_else_on_the_console(self):
        self.assertTrue(self.bridge.running())
        self.assertEqual(self.bridge.output(), type(self).console)
        self.assertEqual(self.bridge.stderr.data(), b"")


if __name__ == "__main__":
    lab_.run_tests()
