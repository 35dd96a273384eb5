#!/usr/bin/env python3
"""The Windows bridge, unmodified, under Wine on a host with two adapters: an
office one (10.77.0.1/24) and a lighting one (a veth pair
to a console's namespace, 2.0.0.1/8), whose host name resolves to the office
address.

Wine lists the adapters (GetAdaptersAddresses) but has no receive-all mode,
and no raw socket of protocol 0 either: a wineserver of the test's own, in
the host's network namespace, gets tests/wine_raw_ip.c for that, so the raw
socket of each address delivers the UDP datagrams to it, as a raw socket of
Windows does whose receive-all mode was refused. So:
  - the console says, for each address of the adapter list the bridge built
    (both, in the system's order; never 127.0.0.1), that it cannot capture
    there, with Wine's code (WSAEOPNOTSUPP) and the address; no
    InitCompleted; and the start still reaches Running;
  - the device gets its probe first; a console on the lighting network that
    polls gets the device's ArtPollReply from the host's lighting address,
    and its ArtDmx to that address reaches the device, byte for byte.

Its own Wine prefix, in a network namespace of its own, with one COM port,
which leads to the simulated device's pty. Run by ctest in the Windows build
only, through scripts/test-windows (where the machine's serial ports are
hidden)."""

import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

import lab as lab_
from lab import ART_POLL_PROBE, ARTNET_PORT, DEADLINE, HOST_NAME, art_dmx, art_poll, message

EXE = os.path.join(lab_.BUILD_DIR, "artnet-serial-bridge.exe")
LINUX_BUILD = os.path.join(lab_.SOURCE_DIR, "build", "linux")
SIMULATOR = os.path.join(LINUX_BUILD, "tools", "artnet-device-sim")
RAW_IP = os.path.join(LINUX_BUILD, "tests", "wine-raw-ip.so")

OFFICE_ADDRESS = "10.77.0.1"
LIGHTING_ADDRESS = "2.0.0.1"
CONSOLE_ADDRESS = "2.0.0.50"
WSAEOPNOTSUPP = 10045


class WindowsAdapters(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        tag = f"{os.getpid() & 0xFFFF:04x}"
        cls.host_ns = f"artnet-wine-{tag}-host"
        cls.network_ns = f"artnet-wine-{tag}-net"
        cls.directory = tempfile.mkdtemp(prefix="artnet-wine-adapters-")
        cls.prefix = os.path.join(cls.directory, "prefix")
        cls.processes = []
        cls.device = None
        try:
            cls.build_network()
            cls.start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def build_network(cls):
        lab_.ip("netns", "add", cls.host_ns)
        lab_.ip("netns", "add", cls.network_ns)
        for namespace in (cls.host_ns, cls.network_ns):
            lab_.set_sysctl(namespace, "net.ipv6.conf.all.disable_ipv6=1")
            lab_.ip("-n", namespace, "link", "set", "lo", "up")
        lab_.ip("link", "add", "office", "netns", cls.host_ns, "type", "veth",
                 "peer", "name", "office-peer", "netns", cls.network_ns)
        lab_.ip("-n", cls.host_ns, "address", "add", f"{OFFICE_ADDRESS}/24", "dev", "office")
        lab_.ip("-n", cls.host_ns, "link", "set", "office", "up")
        lab_.ip("-n", cls.network_ns, "link", "set", "office-peer", "up")
        lab_.ip("link", "add", "lighting", "netns", cls.host_ns, "type", "veth",
                 "peer", "name", "console", "netns", cls.network_ns)
        lab_.ip("-n", cls.host_ns, "address", "add", f"{LIGHTING_ADDRESS}/8", "brd", "+", "dev", "lighting")
        lab_.ip("-n", cls.network_ns, "address", "add", f"{CONSOLE_ADDRESS}/8", "brd", "+", "dev", "console")
        lab_.ip("-n", cls.host_ns, "link", "set", "lighting", "up")
        lab_.ip("-n", cls.network_ns, "link", "set", "console", "up")

    @classmethod
    def start(cls):
        # The simulated device; its pty is the prefix's only COM port.
        link = os.path.join(cls.directory, "device")
        process = subprocess.Popen([SIMULATOR, "--address", LIGHTING_ADDRESS, "--link", link],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        cls.processes.append(process)
        cls.device = lab_.Device(process)
        with open(os.path.join(cls.directory, "ports.reg"), "w") as ports:
            ports.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"
                        f"\"COM1\"=\"{link}\"\n")
        with open(os.path.join(cls.directory, "hosts"), "w") as hosts:
            hosts.write(f"127.0.0.1\tlocalhost\n{OFFICE_ADDRESS}\t{HOST_NAME}\n")

        # Everything Wine runs, its wineserver first, in the host's network
        # namespace with the lab's host name. The prefix is made for this
        # test; its services read the COM port's mapping when they start
        # again. Then the bridge, in the foreground of the script.
        script = '''
            set -e
            hostname "$1"
            mount --bind "$2/hosts" /etc/hosts
            export WINEPREFIX="$2/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
            export LD_PRELOAD="$3"
            wineboot -i </dev/null >/dev/null 2>&1
            wine regedit /S "$2/ports.reg" </dev/null >/dev/null 2>&1
            wineserver -k
            wineserver -w
            wineboot </dev/null >/dev/null 2>&1
            echo ready >&2
            exec wine "$4"
        '''
        cls.bridge_process = subprocess.Popen(
            ["ip", "netns", "exec", cls.host_ns, "unshare", "--uts", "--mount", "--propagation", "private",
             "sh", "-c", script, "wine-bridge", HOST_NAME, cls.directory, RAW_IP, EXE],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        cls.processes.append(cls.bridge_process)
        cls.stdout = lab_.Stream(cls.bridge_process.stdout)
        cls.stderr = lab_.Stream(cls.bridge_process.stderr)

    @classmethod
    def tearDownClass(cls):
        for process in reversed(cls.processes):
            lab_.terminate(process)
        if os.path.isdir(cls.prefix):
            # The prefix's wineserver, which may outlive the bridge a moment.
            subprocess.run(["wineserver", "-k"], env={**os.environ, "WINEPREFIX": cls.prefix},
                           capture_output=True)
        if cls.device is not None:
            cls.device.stop()
        for namespace in (cls.host_ns, cls.network_ns):
            subprocess.run(["ip", "netns", "del", namespace], capture_output=True)
        shutil.rmtree(cls.directory, ignore_errors=True)

    def test_1_every_address_refused_then_running(self):
        refusals = (message("AdapterNotCaptured", WSAEOPNOTSUPP, windows=True, address=OFFICE_ADDRESS)
                    + message("AdapterNotCaptured", WSAEOPNOTSUPP, windows=True, address=LIGHTING_ADDRESS))
        # GetAdaptersAddresses lists adapters by interface index, and the
        # office interface was made first.
        expected = refusals + message("Running", windows=True)
        output = self.stdout.wait_for(lambda data: len(data) >= len(expected), timeout=DEADLINE * 6)
        self.assertEqual(output, expected, self.stderr.data().decode(errors="replace")[-2000:])
        self.assertIsNone(self.bridge_process.poll(), "the bridge ended")
        self.assertEqual(self.device.wait_received(len(ART_POLL_PROBE)), ART_POLL_PROBE,
                         "the probe, first")

    def test_2_a_console_on_the_lighting_network_finds_the_device_and_reaches_it(self):
        with lab_.network_namespace(self.network_ns):
            console = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        with console:
            console.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
            console.bind((CONSOLE_ADDRESS, ARTNET_PORT))
            console.settimeout(1)
            poll = art_poll()
            reply = None
            end = time.monotonic() + DEADLINE
            # Unicast to the host's address: the raw socket bound to it sees it.
            while reply is None and time.monotonic() < end:
                console.sendto(poll, (LIGHTING_ADDRESS, ARTNET_PORT))
                try:
                    while True:
                        data, sender = console.recvfrom(2048)
                        if data[8:10] == b"\x00\x21":
                            reply = data, sender
                            break
                except socket.timeout:
                    pass
            self.assertIsNotNone(reply, "no ArtPollReply reached the console")
            self.assertEqual(reply[1], (LIGHTING_ADDRESS, ARTNET_PORT), "from the host's lighting address")
            before = len(self.device.received())
            dmx = art_dmx(530, seed=7)
            console.sendto(dmx, (LIGHTING_ADDRESS, ARTNET_PORT))
            received = lab_.wait_until(lambda: dmx in self.device.received()[before:])
            self.assertTrue(received, "the console's ArtDmx did not reach the device")


if __name__ == "__main__":
    if os.geteuid() != 0:
        lab_.skip("needs root (network namespaces)")
    if not os.environ.get("ARTNET_WINE_RUN") or not os.environ.get("WINEPREFIX"):
        lab_.skip("run through scripts/test-windows")
    for needed in (SIMULATOR, RAW_IP):
        if not os.access(needed, os.R_OK):
            lab_.skip(f"{needed} is not built (scripts/test-windows builds it)")
    lab_.stop_on_sigterm()
    unittest.main(verbosity=2)
