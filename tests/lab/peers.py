"""Art-Net peers of the bridge and captures of what it sends: a controller
socket, tshark on the loopback interface, Ethernet frames sent by hand, and
OLA's olad as a controller on the bridge's host."""

import os
import select
import socket
import struct
import subprocess
import tempfile
import time

from .namespaces import link_mac, network_namespace
from .packets import dmx_with
from .plan import ARTNET_PORT, BROADCAST_ADDRESS, CONTROLLER_ADDRESS, DEADLINE
from .processes import Stream, terminate, wait_until


_IP_PKTINFO = 8


class Controller:
    def __init__(self, sock):
        self.sock = sock
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("0.0.0.0", ARTNET_PORT))

    def send(self, packet, destination=BROADCAST_ADDRESS, source=CONTROLLER_ADDRESS):
        # in_pktinfo: interface 0, the source address, and an unused field.
        info = struct.pack("=i4s4s", 0, socket.inet_aton(source), bytes(4))
        self.sock.sendmsg([packet], [(socket.IPPROTO_IP, _IP_PKTINFO, info)], 0,
                          (destination, ARTNET_PORT))

    def receive(self, accept=lambda data, sender: True, timeout=DEADLINE):
        """The first datagram `accept` takes, as (payload, (address, port)),
        or None when none comes."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                return None
            data, sender = self.sock.recvfrom(65536)
            if accept(data, sender):
                return data, sender

    def drain(self):
        while select.select([self.sock], [], [], 0)[0]:
            self.sock.recv(65536)

    def close(self):
        self.sock.close()


def from_bridge(data, sender):
    """Datagrams the bridge injected: from the bridge's address, port 6454."""
    return sender[1] == ARTNET_PORT and sender[0] != CONTROLLER_ADDRESS


def reply_from_bridge(controller, timeout=DEADLINE):
    """The next ArtPollReply the bridge passes on from the device."""
    return controller.receive(lambda data, sender: from_bridge(data, sender) and data[8:10] == b"\x00\x21",
                              timeout=timeout)


class LoopbackCapture:
    """tshark on the loopback interface of the bridge's namespace, validating
    IPv4 and UDP checksums of the packets that `capture_filter` takes."""

    FIELDS = ["ip.src", "ip.dst", "udp.srcport", "udp.dstport", "ip.checksum.status",
              "udp.checksum.status", "udp.payload"]
    # tshark says it is capturing a moment before it is: it is ready once it
    # has seen one of these.
    CANARY_PORT = 9

    def __init__(self, lab, capture_filter):
        self.process = lab.popen_in(
            lab.host_ns,
            ["tshark", "-i", "lo", "-n", "-l", "-f", f"({capture_filter}) or (udp dst port {self.CANARY_PORT})",
             "-o", "ip.check_checksum:TRUE", "-o", "udp.check_checksum:TRUE",
             "-T", "fields", "-E", "separator=,", *sum((["-e", f] for f in self.FIELDS), [])],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.stdout = Stream(self.process.stdout)
        with lab.socket("host") as canary:
            end = time.monotonic() + DEADLINE * 3
            while not self._rows(canaries=True) and time.monotonic() < end and self.process.poll() is None:
                canary.sendto(b"canary", ("127.0.0.1", self.CANARY_PORT))
                self.stdout.wait_for(lambda _: bool(self._rows(canaries=True)), timeout=0.1)
        if not self._rows(canaries=True):
            terminate(self.process)
            raise RuntimeError("tshark did not start capturing")

    def _rows(self, canaries=False):
        rows = [dict(zip(self.FIELDS, line.split(","))) for line in self.stdout.data().decode().splitlines()]
        return [row for row in rows if (row.get("udp.dstport") == str(self.CANARY_PORT)) == canaries]

    def packets(self, count=1, timeout=DEADLINE):
        """The fields of the packets caught, once there are `count` of them
        or the time is up."""
        self.stdout.wait_for(lambda _: len(self._rows()) >= count, timeout)
        terminate(self.process)
        return self._rows()


class EthernetSender:
    """Sends Ethernet frames as they are given, from the peer's side of the
    veth pair to the bridge's: a packet socket adds nothing to them, so a
    frame padded here arrives padded, as from a real Ethernet card (veth
    itself never pads)."""

    MIN_FRAME = 60  # Without the frame check sequence.

    def __init__(self, lab):
        with network_namespace(lab.network_ns):
            self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
        self.sock.bind((lab.network_link, 0))
        self.header = link_mac(lab.host_ns, lab.host_link) + link_mac(lab.network_ns, lab.network_link) + b"\x08\x00"

    def send(self, packet, trailer=None):
        """Sends the IPv4 `packet` in one frame, padded with zero bytes to the
        60-byte minimum, or followed by `trailer`."""
        frame = self.header + packet
        frame += trailer if trailer is not None else bytes(max(0, self.MIN_FRAME - len(frame)))
        self.sock.send(frame)
        return len(frame)

    def close(self):
        self.sock.close()


# What olad may use: Art-Net only. Every other plugin is turned off in its
# configuration, above all those that open serial ports (StageProfi's default
# is /dev/ttyUSB0: the device's port).
_OLA_PLUGINS = ["dmx4linux", "dummy", "e131", "espnet", "ftdidmx", "gpio", "karate", "kinet", "milinst",
                "opendmx", "openpixelcontrol", "osc", "pathport", "renard", "sandnet", "shownet", "spi",
                "stageprofi", "uartdmx", "usbdmx", "usbserial"]
# Where olad's clients reach it.
_OLA_RPC_PORT = 9010
# olad refuses to run as root.
_OLA_USER = 65534


class Olad:
    """OLA's daemon in the bridge's namespaces, with a configuration of its
    own: only its Art-Net plugin, on `address` (CONTROLLER_ADDRESS unless
    given; a node at its own address it would not list), otherwise OLA's
    defaults. It discovers nodes by broadcast ArtPoll and sends each patched
    universe's ArtDmx by unicast to the nodes that listen to it. Needs a lab
    with broadcast addresses."""

    def __init__(self, lab, address=CONTROLLER_ADDRESS):
        self.lab = lab
        self.config = tempfile.mkdtemp(prefix="olad-", dir=lab.directory)
        for plugin in _OLA_PLUGINS:
            self._write(f"ola-{plugin}.conf", "enabled = false\n")
        self._write("ola-artnet.conf", f"enabled = true\nip = {address}\n")
        os.chown(self.config, _OLA_USER, _OLA_USER)
        self.process = self._start(["olad", "--config-dir", self.config, "--no-http",
                                    "--no-register-with-dns-sd", "--log-level", "3"],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.log = Stream(self.process.stdout)
        # Ready once its RPC port takes a connection. OLA's clients are not
        # asked before that: one that finds no daemon starts one of its own
        # ("olad --daemon"), which would outlive the test, busy in the lab's
        # namespace long after it is gone.
        if not wait_until(self._listening, interval=0.2):
            raise RuntimeError("olad did not start:\n" + self.log.data().decode(errors="replace"))

    def _listening(self):
        with self.lab.socket("host", socket.SOCK_STREAM) as probe:
            return probe.connect_ex(("127.0.0.1", _OLA_RPC_PORT)) == 0

    def _write(self, name, text):
        path = os.path.join(self.config, name)
        with open(path, "w") as file:
            file.write(text)
        os.chown(path, _OLA_USER, _OLA_USER)

    def _start(self, command, **kwargs):
        return self.lab.popen_inside(["setpriv", f"--reuid={_OLA_USER}", f"--regid={_OLA_USER}",
                                      "--clear-groups", *command], stdin=subprocess.DEVNULL, **kwargs)

    def run(self, *command, check=True):
        """Runs one of OLA's clients against this daemon."""
        process = self._start(list(command), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out, _ = process.communicate(timeout=DEADLINE)
        result = subprocess.CompletedProcess(command, process.returncode, out.decode(errors="replace"))
        if check and result.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} failed: {result.stdout}")
        return result

    def patch_output(self, universe):
        """Patches the Art-Net device's first output port to `universe`."""
        devices = self.run("ola_dev_info").stdout
        device = next(line.split(":")[0].split()[-1] for line in devices.splitlines() if "ArtNet" in line)
        self.run("ola_patch", "--device", device, "--port", "0", "--universe", str(universe))

    def set_dmx(self, universe, values):
        self.run("ola_set_dmx", "--universe", str(universe), "--dmx", ",".join(str(v) for v in values))

    def dmx_reaches(self, device, universe, values, timeout=30):
        """Sets `values` on `universe` again and again (olad sends only once
        it has found a node for it) until the device has received an ArtDmx
        that starts with them; returns whether it did."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            self.set_dmx(universe, values)
            if wait_until(lambda: dmx_with(device.received(), values), timeout=1):
                return True
        return False

    def stop(self):
        terminate(self.process)
