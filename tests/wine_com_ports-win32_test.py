#!/usr/bin/env python3
"""Every COM port of the Windows tests' Wine prefix leads to a pty of this run.

scripts/test-windows maps the prefix's COM ports to ptys (tests/wine-com-ports).
On a default prefix COM1 is /dev/ttyS0, which on this machine is the console:
this test fails should any COM port, whether a DOS device of the prefix or a
value of HARDWARE\\DEVICEMAP\\SERIALCOMM, lead anywhere else.
"""
import os
import stat
import subprocess
import sys

# Linux numbers the slave ends of ptys with majors 136 to 143.
PTY_SLAVE_MAJORS = range(136, 144)


def main():
    prefix = os.environ.get("WINEPREFIX", "")
    recorded_path = os.path.join(prefix, ".artnet-com-ports")
    if not prefix or not os.path.exists(recorded_path):
        print("skipped: runs only in the prefix scripts/test-windows prepares")
        return 77
    with open(recorded_path) as recorded_file:
        recorded = dict(line.split(" ", 1) for line in recorded_file.read().splitlines())

    dosdevices = os.path.join(prefix, "dosdevices")
    links = {}
    for entry in os.listdir(dosdevices):
        if entry.lower().startswith("com"):
            links[entry.upper()] = os.readlink(os.path.join(dosdevices, entry))
    failures = []
    if links != recorded:
        failures.append(f"DOS devices {links} are not the ports the script made {recorded}")
    for name, target in sorted(links.items()):
        real = os.path.realpath(target)
        if name == "COM3":
            # The one port that leads nowhere, on purpose.
            if os.path.exists(target):
                failures.append(f"COM3 should lead to a missing path, leads to {real}")
            continue
        try:
            mode = os.stat(real)
        except OSError as error:
            failures.append(f"{name} leads to {real}: {error}")
            continue
        if not stat.S_ISCHR(mode.st_mode) or os.major(mode.st_rdev) not in PTY_SLAVE_MAJORS:
            failures.append(f"{name} leads to {real}, which is not a pty")

    query = subprocess.run(
        [os.environ["ARTNET_WINE_RUN"], "reg", "query", r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"],
        stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    listed = [line.split()[2] for line in query.stdout.splitlines() if "REG_SZ" in line]
    if sorted(listed) != sorted(links):
        failures.append(f"SERIALCOMM lists {listed}, the DOS devices are {sorted(links)}")
    if listed != os.environ.get("ARTNET_WINE_COM_PORTS", "").split():
        failures.append(f"SERIALCOMM lists {listed}, the tests were told otherwise")

    for failure in failures:
        print(failure)
    print(f"{len(links)} COM ports, all on ptys of this run" if not failures else "FAILED")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
