#!/usr/bin/env python3
"""The Windows bridge, unmodified, under Wine: Wine has no receive-all
capture, so start-up must end at the network step with the exact bytes of
NeedAdministrator and its code, then NetworkInitFailed, then the bridge's own
key prompt, which waits for a key read from its console, and exit code 1.

Standard input is a terminal, of which Wine makes the bridge's console, and
standard output a pipe, which gets the bytes as they are. No command
interpreter is started for the prompt, so none of its words show; Ctrl+C at
the prompt still ends the bridge. Run by ctest in the Windows build only."""

import fcntl
import os
import subprocess
import tempfile
import termios
import threading
import time
import unittest

import lab as lab_
from lab import HOST_NAME, message, pause_prompt

# Wine hands socket(AF_INET, SOCK_RAW, IPPROTO_IP) to Linux, which has no raw
# socket for protocol 0 and refuses it: WSAEPROTONOSUPPORT. (Windows without
# administrator rights says WSAEACCES, 10013.)
WSAEPROTONOSUPPORT = 10043
EXPECTED = (message("NeedAdministrator", WSAEPROTONOSUPPORT, windows=True) + message("NetworkInitFailed", windows=True)
            + pause_prompt(windows=True))


class WindowsStartup(unittest.TestCase):
    def start_bridge(self):
        """The bridge, its console on a terminal of this test's and its
        standard output a pipe; returns the process, the terminal's end to
        type on, and the output's Stream."""
        exe = os.path.join(lab_.BUILD_DIR, "artnet-serial-bridge.exe")
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        # The host name resolves, as on any Windows machine, whatever this
        # machine's own name does.
        hosts = os.path.join(directory.name, "hosts")
        with open(hosts, "w") as file:
            file.write(f"127.0.0.1\tlocalhost\n127.0.0.1\t{HOST_NAME}\n")
        keyboard, terminal = os.openpty()

        def own_terminal():
            # The terminal is the bridge's controlling terminal, as a user's
            # is: Ctrl+C typed there becomes SIGINT, which Wine hands the
            # bridge as the console's CTRL_C_EVENT.
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)
        script = 'hostname "$1" && mount --bind "$2" /etc/hosts && exec "$3" "$4"'
        process = subprocess.Popen(
            ["unshare", "--uts", "--mount", "--propagation", "private", "sh", "-c", script, "sh",
             HOST_NAME, hosts, os.environ["ARTNET_WINE_RUN"], exe],
            stdin=terminal, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, preexec_fn=own_terminal)
        os.close(terminal)
        self.addCleanup(process.stdout.close)
        self.addCleanup(lab_.terminate, process)
        self.addCleanup(os.close, keyboard)

        # What Wine's console shows on the terminal is read away, so that it
        # never waits for room there.
        def drain():
            try:
                while os.read(keyboard, 4096):
                    pass
            except OSError:
                pass
        threading.Thread(target=drain, daemon=True).start()
        return process, keyboard, lab_.Stream(process.stdout)

    def wait_for_prompt(self, process, stdout):
        output = stdout.wait_for(lambda data: data.startswith(EXPECTED) or len(data) > len(EXPECTED), timeout=60)
        self.assertEqual(output, EXPECTED)
        time.sleep(0.5)
        self.assertIsNone(process.poll(), "the prompt did not wait for a key")
        self.assertEqual(stdout.data(), EXPECTED, "nothing more while it waits")

    def test_1_a_key_ends_the_prompt(self):
        process, keyboard, stdout = self.start_bridge()
        self.wait_for_prompt(process, stdout)
        os.write(keyboard, b"x")
        self.assertEqual(process.wait(30), 1)
        # The key ends the prompt's line, as the command interpreter's does.
        self.assertEqual(stdout.wait_closed(), EXPECTED + b"\r\n")

    def test_2_ctrl_c_at_the_prompt_ends_the_bridge(self):
        process, keyboard, stdout = self.start_bridge()
        self.wait_for_prompt(process, stdout)
        os.write(keyboard, b"\x03")
        process.wait(30)
        # No line end: Ctrl+C ended the process, not the prompt.
        self.assertEqual(stdout.wait_closed(), EXPECTED, "ended by Ctrl+C, not by a key")


if __name__ == "__main__":
    if os.geteuid() != 0:
        lab_.skip("needs root (a private host name and hosts file)")
    if not os.environ.get("ARTNET_WINE_RUN") or not os.environ.get("WINEPREFIX"):
        lab_.skip("run through scripts/test-windows")
    lab_.stop_on_sigterm()
    unittest.main(verbosity=2)
