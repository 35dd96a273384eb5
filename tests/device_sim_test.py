#!/usr/bin/env python3
"""artnet-device-sim, the simulated device, seen from the bridge's side of its
pty: its ArtPollReply (checked by Wireshark's Art-Net dissector where tshark
is installed), its reading of a byte stream whose write boundaries the pty
does not keep, its log, its link and how it stops.
"""
import os
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import tty
import unittest

import lab
from lab import DEADLINE

POLL = lab.art_poll()
DMX = lab.art_dmx(20, seed=1)


class Sim:
    """The simulator, and the bridge's end of its pty, opened as the bridge
    has it."""

    def __init__(self, *options):
        self.device = lab.start_simulator(*options)
        self.process = self.device.process
        self.pty = self.device.path
        self.fd = os.open(self.pty, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def read(self, size):
        data = b""
        end = time.monotonic() + DEADLINE
        while len(data) < size and time.monotonic() < end:
            if select.select([self.fd], [], [], 0.1)[0]:
                data += os.read(self.fd, size - len(data))
        return data

    def quiet(self, seconds=0.3):
        return not select.select([self.fd], [], [], seconds)[0]

    def stop(self):
        os.close(self.fd)
        return self.device.stop()


def tshark_fields(payload, fields):
    """Wireshark's reading of `payload` as a UDP datagram to port 6454."""
    udp = struct.pack("!HHHH", 6454, 6454, 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0,
                     bytes([127, 0, 0, 1]), bytes([127, 0, 0, 1])) + udp
    # pcap, link type 101: raw IPv4.
    pcap = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101)
    pcap += struct.pack("<IIII", 0, 0, len(ip), len(ip)) + ip
    with tempfile.NamedTemporaryFile(suffix=".pcap") as f:
        f.write(pcap)
        f.flush()
        command = ["tshark", "-r", f.name, "-T", "fields", "-E", "separator=|"]
        for field in fields:
            command += ["-e", field]
        out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    return dict(zip(fields, out.rstrip("\n").split("|")))


class DeviceSimTest(unittest.TestCase):
    def test_answers_artpoll_with_a_valid_artpollreply(self):
        sim = Sim("--address", "10.1.2.3", "--short-name", "Bench node",
                  "--long-name", "A long name for the bench node")
        os.write(sim.fd, POLL)
        frame = sim.read(241)
        self.assertTrue(sim.quiet())
        self.assertEqual(sim.stop(), 0)
        self.assertEqual(len(frame), 241)
        self.assertEqual(frame[-2:], b"\r\n")
        reply = frame[:-2]
        self.assertEqual(reply[:10], b"Art-Net\0\x00\x21")       # OpCode low byte first
        self.assertEqual(reply[10:14], bytes([10, 1, 2, 3]))      # address as given
        self.assertEqual(reply[14:16], bytes([0x36, 0x19]))       # 6454, low byte first
        self.assertEqual(reply[26:37], b"Bench node\0")
        self.assertEqual(reply[172:174], b"\x00\x01")             # one port
        self.assertEqual(reply[174], 0x80)                        # it outputs DMX512

        if shutil.which("tshark") is None:
            self.skipTest("tshark is not installed: the layout is checked by hand only")
        fields = tshark_fields(reply, [
            "artnet.header.opcode", "artnet.poll_reply.ip_address", "artnet.poll_reply.port_nr",
            "artnet.poll_reply.short_name", "artnet.poll_reply.long_name",
            "artnet.poll_reply.node_report", "artnet.poll_reply.num_ports",
            "artnet.poll_reply.port_types_1", "artnet.poll_reply.esta_man",
            "artnet.poll_reply.bind_ip_address", "artnet.poll_reply.bind_index", "_ws.malformed"])
        self.assertEqual(fields["artnet.header.opcode"], "0x2100")
        self.assertEqual(fields["artnet.poll_reply.ip_address"], "10.1.2.3")
        self.assertEqual(fields["artnet.poll_reply.port_nr"], "6454")
        self.assertEqual(fields["artnet.poll_reply.short_name"], "Bench node")
        self.assertEqual(fields["artnet.poll_reply.long_name"], "A long name for the bench node")
        self.assertTrue(fields["artnet.poll_reply.node_report"].startswith("#0001 [0000] "))
        self.assertEqual(fields["artnet.poll_reply.num_ports"], "1")
        self.assertEqual(fields["artnet.poll_reply.port_types_1"], "0x80")
        self.assertEqual(fields["artnet.poll_reply.esta_man"], "0x7ff0")
        self.assertEqual(fields["artnet.poll_reply.bind_ip_address"], "10.1.2.3")
        self.assertEqual(fields["artnet.poll_reply.bind_index"], "0x01")
        self.assertEqual(fields["_ws.malformed"], "")

    def test_finds_every_artpoll_in_the_byte_stream(self):
        sim = Sim()
        os.write(sim.fd, POLL + DMX + POLL)     # two polls in one read
        self.assertEqual(len(sim.read(2 * 241)), 2 * 241)
        os.write(sim.fd, DMX)                   # not a poll: no answer
        self.assertTrue(sim.quiet())
        os.write(sim.fd, POLL[:5])              # a poll across two reads
        self.assertTrue(sim.quiet(0.1))
        os.write(sim.fd, POLL[5:])
        self.assertEqual(len(sim.read(241)), 241)
        self.assertTrue(sim.quiet())
        sim.stop()
        self.assertEqual(sim.device.received(), POLL + DMX + POLL + DMX + POLL)
        self.assertEqual(len(sim.device.sent()), 3)

    def test_sends_frames_as_given(self):
        sim = Sim("--send-hex", "4f4b0d0a")
        self.assertTrue(sim.quiet(0.2))         # held back until the bridge speaks
        os.write(sim.fd, DMX)
        self.assertEqual(sim.read(4), b"OK\r\n")
        sim.device.command("61 62 0d 0a")
        self.assertEqual(sim.read(4), b"ab\r\n")
        every_byte = bytes(range(256))
        sim.device.command(every_byte.hex())
        self.assertEqual(sim.read(256), every_byte)
        sim.device.command("not hex")           # ignored, the simulator carries on
        sim.device.command("0d0a")
        self.assertEqual(sim.read(2), b"\r\n")
        self.assertEqual(sim.stop(), 0)

    def test_log_link_and_stop(self):
        with tempfile.TemporaryDirectory() as directory:
            link = os.path.join(directory, "ttyUSB0")
            log = os.path.join(directory, "log")
            sim = Sim("--link", link, "--log", log)
            self.assertEqual(os.readlink(link), sim.pty)
            os.write(sim.fd, DMX)
            os.close(sim.fd)
            # Nobody on the slave now: the simulator must idle, not spin.
            time.sleep(1)
            with open("/proc/%d/stat" % sim.process.pid) as f:
                ticks = sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])
            self.assertLess(ticks / os.sysconf("SC_CLK_TCK"), 0.2)  # over its whole life
            sim.process.send_signal(signal.SIGTERM)
            self.assertEqual(sim.process.wait(DEADLINE), 0)
            sim.device.stop()                          # already ended: only waits for its output
            self.assertEqual(sim.device.log(), "")     # the log went to the file
            self.assertFalse(os.path.lexists(link))
            with open(log) as f:
                self.assertEqual(f.read(), "rx " + DMX.hex() + "\n")

    def test_with_simulated_device_gives_a_command_the_device(self):
        if os.geteuid() != 0:
            self.skipTest("needs root for a private mount namespace")
        script = os.path.join(lab.SOURCE_DIR, "tools", "with-simulated-device")
        find = os.path.join(lab.BUILD_DIR, "tests", "find-device")
        with tempfile.TemporaryDirectory() as directory:
            log = os.path.join(directory, "log")
            run = subprocess.run([script, "--log", log, "--", find], capture_output=True, text=True,
                                 env=dict(os.environ, ARTNET_DEVICE_SIM=lab.SIMULATOR), timeout=60)
            if run.returncode == 77 or "unshare" in run.stderr:
                self.skipTest("cannot make a private mount namespace here")
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(run.stdout, "found /dev/ttyUSB0\n")
            with open(log) as f:
                self.assertEqual(f.readline(), "rx " + lab.ART_POLL_PROBE.hex() + "\n")


if __name__ == "__main__":
    unittest.main()
