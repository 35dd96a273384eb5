#!/usr/bin/env python3
"""Every COM port of the Windows tests' Wine prefix leads to a pty of this run.

scripts/test-windows maps the prefix's COM ports to ptys (tests/wine-com-ports).
On a default prefix COM1 is /dev/ttyS0, which on this machine is the console:
this test fails should any COM port, whether a DOS device of the prefix or a
value of HARDWARE\\DEVICEMAP\\SERIALCOMM, lead anywhere else. A port may
also lead to the path of this run where a simulated device links its pty: that
path is missing while no simulator runs, or a link to a pty of this run.
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

    # The ptys of this run are those of the private /dev/pts that
    # tools/without-serial-ports mounted for it.
    run_ptys = os.stat("/dev/pts").st_dev
    run_directory = os.path.dirname(recorded.get("COM3", ""))

    def pty_failure(name, path):
        """Why `path` is not a pty of this run, or None."""
        try:
            mode = os.stat(path)
        except OSError as error:
            return f"{name} leads to {path}: {error}"
        if (not stat.S_ISCHR(mode.st_mode) or os.major(mode.st_rdev) not in PTY_SLAVE_MAJORS
                or mode.st_dev != run_ptys):
            return f"{name} leads to {path}, which is not a pty of this run"
        return None

    def simulator_link_failure(name, target):
        """A simulated device's port leads to the path where the simulator
        links its pty: nothing is there while no simulator runs (or one has
        just hung up, and its pty is gone), else a link to a pty of this run."""
        try:
            pty = os.readlink(target)
        except FileNotFoundError:
            return None
        except OSError:
            return f"{name} leads to {target}, which is not a simulator's link"
        if not pty.startswith("/dev/pts/"):
            return f"{name} leads to {target}, a link to {pty}, which is not a pty"
        failure = pty_failure(name, pty)
        return failure if os.path.exists(pty) else None

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
        if run_directory and os.path.dirname(target) == run_directory:
            failure = simulator_link_failure(name, target)
        else:
            failure = pty_failure(name, real)
        if failure:
            failures.append(failure)

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
