#!/usr/bin/env python3
"""The bridge's start-up failures: each writes its messages, waits for a key,
and ends with exit code 1. One lab serves every case, one bridge run each."""

import errno
import os
import time
import unittest

import lab as lab_
from lab import ART_POLL_PROBE, LINUX_PAUSE_PROMPT, message, pause_prompt

NOBODY = 65534


class StartupFailures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = lab_.Lab()
        cls.lab.start()

    @classmethod
    def tearDownClass(cls):
        cls.lab.close()

    def finished(self, bridge):
        """The bridge's exit code and everything it wrote."""
        code = bridge.wait_exit()
        if code is None:
            lab_.terminate(bridge.process)
        bridge.stdout.wait_for(lambda _: False, timeout=lab_.DEADLINE)  # Until the pipe closes.
        return code, bridge.output()

    def test_1_host_name_does_not_resolve(self):
        self.lab.set_hosts(resolves=False)
        try:
            code, output = self.finished(self.lab.start_bridge())
        finally:
            self.lab.set_hosts(resolves=True)
        self.assertEqual(output, message("NetworkInitFailed") + LINUX_PAUSE_PROMPT)
        self.assertEqual(code, 1)

    def test_2_no_device_waits_for_a_key(self):
        # A terminal for standard input, so that the pause really waits.
        keyboard, terminal = os.openpty()
        try:
            # Arguments change nothing.
            bridge = self.lab.start_bridge(stdin=terminal, arguments=["--help", "/dev/ttyUSB0", "COM3"])
            expected = message("InitCompleted") + message("NoDeviceFound") + pause_prompt()
            self.assertEqual(bridge.wait_output(expected), expected)
            time.sleep(0.3)
            self.assertTrue(bridge.running(), "the pause did not wait for a key")
            os.write(keyboard, b"x")
            code, output = self.finished(bridge)
        finally:
            os.close(keyboard)
            os.close(terminal)
        self.assertEqual(output, expected + b"\n")
        self.assertEqual(code, 1)

    def test_3_not_root_touches_no_port(self):
        device = self.lab.start_device()
        code, output = self.finished(self.lab.start_bridge(user=NOBODY))
        self.assertEqual(output, message("NeedAdministrator", errno.EPERM) + message("NetworkInitFailed")
                         + LINUX_PAUSE_PROMPT)
        self.assertEqual(code, 1)
        # The port was never opened: a bridge with the rights now finds it,
        # and its probe is the first thing the device ever received.
        bridge = self.lab.start_bridge()
        expected = message("InitCompleted") + message("Running")
        self.assertEqual(bridge.wait_output(expected), expected)
        self.assertEqual(device.wait_received(len(ART_POLL_PROBE)).hex(), ART_POLL_PROBE.hex())
        lab_.terminate(bridge.process)


if __name__ == "__main__":
    lab_.run_tests()
