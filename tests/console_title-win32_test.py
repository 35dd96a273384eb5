#!/usr/bin/env python3
"""The console window's title under Wine: the unit test that has the
status reporter change it and reads it back (GetConsoleTitleW) runs here on
a terminal, where Wine gives the process a console with a title (with the
pipes of ctest it has none and skips). Wine's console also shows each new
title to the terminal, as an xterm title sequence: those are read too."""

import os
import re
import select
import subprocess
import time
import unittest

import lab as lab_

TITLE = re.compile(rb"\x1b\]0;([^\x07]*)\x07")


class ConsoleTitle(unittest.TestCase):
    def test_title_follows_the_counts(self):
        tests = os.path.join(lab_.BUILD_DIR, "artnet_tests.exe")
        terminal, console = os.openpty()
        process = subprocess.Popen([os.environ["ARTNET_WINE_RUN"], tests,
                                    "--gtest_filter=Status.ConsoleTitleFollowsTheCounts"],
                                   stdin=console, stdout=console, stderr=console)
        os.close(console)
        output = b""
        end = time.monotonic() + 120
        try:
            while time.monotonic() < end:
                if select.select([terminal], [], [], 0.2)[0]:
                    try:
                        chunk = os.read(terminal, 65536)
                    except OSError:  # The terminal's other end closed.
                        break
                    if not chunk:
                        break
                    output += chunk
                elif process.poll() is not None:
                    break
            code = process.wait(30)
        finally:
            lab_.terminate(process)
            os.close(terminal)
        titles = [t.decode() for t in TITLE.findall(output)]
        self.assertEqual(code, 0, output[-2000:])
        statuses = [t for t in titles if t.startswith("artnet-serial-bridge ")]
        self.assertGreaterEqual(len(statuses), 3, titles)
        for title in statuses:
            self.assertRegex(title, r"^artnet-serial-bridge [0-9.]+: device COM5, capturing nothing, universes all, "
                                    r"wire \d+%, to device \d+, dropped 1, other universes 0, to network 2, "
                                    r"failed sends 0, line noise 0 bytes$")
        counts = [int(re.search(r"to device (\d+)", t).group(1)) for t in statuses]
        self.assertEqual(counts, sorted(set(counts)), "each title newer than the one before")


if __name__ == "__main__":
    if not os.environ.get("ARTNET_WINE_RUN") or not os.environ.get("WINEPREFIX"):
        lab_.skip("run through scripts/test-windows")
    lab_.stop_on_sigterm()
    unittest.main(verbosity=2)
