"""Running a test program's cases in a lab: whether this machine can build
one, and the case class that shares one lab and one bridge among its cases."""

import os
import shutil
import subprocess
import sys
import time
import unittest

from .packets import message
from .plan import BRIDGE, PEER_ADDRESS, SIMULATOR
from .processes import skip, stop_on_sigterm
from .world import Lab


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


class BridgeCase(unittest.TestCase):
    """One lab and one running bridge for all the cases of a class, run in
    order: each case adds to what the device has received, and `expected` is
    the whole of it so far. `lab_options` are the Lab's arguments,
    `device_options` the device's (start_device's)."""

    lab_options = {}
    device_options = {}

    @classmethod
    def setUpClass(cls):
        cls.lab = Lab(**cls.lab_options)
        cls.lab.start()
        try:
            cls.controller = cls.lab.controller()
            cls.peer = cls.lab.socket("network")
            cls.peer.bind((PEER_ADDRESS, 0))
            cls.device = cls.lab.start_device(**cls.device_options)
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
