#!/usr/bin/env python3
"""The Windows bridge, unmodified, under Wine: Wine has no receive-all
capture, so start-up must end at the network step with the exact bytes of
NeedAdministrator and its code, then NetworkInitFailed, then the pause, which
waits for a key, and exit code 1. Run by ctest in the Windows build only."""

import os
import subprocess
import sys
import tempfile
import time
import unittest

import lab as lab_
from lab import HOST_NAME, message

# Wine hands socket(AF_INET, SOCK_RAW, IPPROTO_IP) to Linux, which has no raw
# socket for protocol 0 and refuses it: WSAEPROTONOSUPPORT. (Windows without
# administrator rights says WSAEACCES, 10013.)
WSAEPROTONOSUPPORT = 10043


class WindowsStartup(unittest.TestCase):
    def test_ends_at_the_network_step(self):
        exe = os.path.join(lab_.BUILD_DIR, "artnet-serial-bridge.exe")
        with tempfile.TemporaryDirectory() as directory:
            # The host name resolves, as on any Windows machine, whatever this
            # machine's own name does.
            hosts = os.path.join(directory, "hosts")
            with open(hosts, "w") as file:
                file.write(f"127.0.0.1\tlocalhost\n127.0.0.1\t{HOST_NAME}\n")
            script = 'hostname "$1" && mount --bind "$2" /etc/hosts && exec "$3" "$4"'
            process = subprocess.Popen(
                ["unshare", "--uts", "--mount", "--propagation", "private", "sh", "-c", script, "sh",
                 HOST_NAME, hosts, os.environ["ARTNET_WINE_RUN"], exe],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            try:
                stdout = lab_.Stream(process.stdout)
                messages = (message("NeedAdministrator", WSAEPROTONOSUPPORT, windows=True)
                            + message("NetworkInitFailed", windows=True))
                prompt = b"Press any key to continue"  # The words of Wine's cmd; Windows spaces the dots.
                output = stdout.wait_for(lambda data: prompt in data, timeout=60)
                self.assertEqual(output[:len(messages)], messages)
                self.assertEqual(output[len(messages):len(messages) + len(prompt)], prompt)
                time.sleep(0.5)
                self.assertIsNone(process.poll(), "the pause did not wait for a key")
                process.stdin.write(b"\r\n")
                process.stdin.close()
                self.assertEqual(process.wait(60), 1)
                output = stdout.wait_for(lambda _: False, timeout=10)
                self.assertTrue(output.startswith(messages + prompt), output)
            finally:
                lab_.terminate(process)
                process.stdout.close()


if __name__ == "__main__":
    if os.geteuid() != 0:
        lab_.skip("needs root (a private host name and hosts file)")
    if not os.environ.get("ARTNET_WINE_RUN") or not os.environ.get("WINEPREFIX"):
        lab_.skip("run through scripts/test-windows")
    lab_.stop_on_sigterm()
    unittest.main(verbosity=2)
