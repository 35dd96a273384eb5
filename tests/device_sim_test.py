#!/usr/bin/env python3
"""artnet-device-sim, the simulated device, seen from the bridge's side of its
pty: its ArtPollReply (checked by Wireshark's Art-Net dissector where tshark
is installed), its reading of a byte stream whose write boundaries the pty
does not keep, its log, its link and how it stops; and on a wire (--baud)
the link's pace, its adapter's buffer that blocks a host writing too fast,
a device that stalls, replies that come in a USB adapter's chunks, and an
adapter that is unplugged.
"""
import bisect
import contextlib
import errno
import os
import select
import shutil
import signal
import statistics
import struct
import subprocess
import tempfile
import threading
import time
import tty
import unittest

import lab
from lab import DEADLINE

POLL = lab.art_poll()
DMX = lab.art_dmx(20, seed=1)


class Sim:
    """The simulator, and the bridge's end of its pty, opened as the bridge
    has it (non-blocking when `nonblocking`)."""

    def __init__(self, *options, nonblocking=False, **wire):
        self.device = lab.start_simulator(*options, **wire)
        self.process = self.device.process
        self.pty = self.device.path
        self.fd = os.open(self.pty, os.O_RDWR | os.O_NOCTTY | (os.O_NONBLOCK if nonblocking else 0))
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

    def cpu_seconds(self):
        """The simulator's CPU time so far, user and system."""
        with open("/proc/%d/stat" % self.process.pid) as f:
            ticks = sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])
        return ticks / os.sysconf("SC_CLK_TCK")


def tshark_fields(payload, fields):
    """Wireshark's reading of `payload` as a UDP datagram to port 6454."""
    return tshark_packets([payload], fields)[0]


def tshark_packets(payloads, fields):
    """Wireshark's reading of each payload, as in tshark_fields."""
    pcap = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101)  # link type 101: raw IPv4
    for payload in payloads:
        ip = ipv4_udp(payload)
        pcap += struct.pack("<IIII", 0, 0, len(ip), len(ip)) + ip
    with tempfile.NamedTemporaryFile(suffix=".pcap") as f:
        f.write(pcap)
        f.flush()
        command = ["tshark", "-r", f.name, "-T", "fields", "-E", "separator=|"]
        for field in fields:
            command += ["-e", field]
        out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    return [dict(zip(fields, line.split("|"))) for line in out.rstrip("\n").split("\n")]


def ipv4_udp(payload):
    udp = struct.pack("!HHHH", 6454, 6454, 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0,
                     bytes([127, 0, 0, 1]), bytes([127, 0, 0, 1])) + udp
    return ip


class DeviceSimTest(unittest.TestCase):
    def test_answers_artpoll_with_a_valid_artpollreply(self):
        sim = Sim("--address", "10.1.2.3", "--short-name", "Bench node",
                  "--long-name", "A long name for the bench node", "--outputs", "0")
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

    def test_replies_describe_its_outputs_page_by_page_and_tell_of_changes(self):
        # Outputs 0-5 and 16, an input on 0x123, four ports a page: a page
        # ends where it is full or where Net and Sub-Net change.
        sim = Sim("--outputs", "0-5,16", "--inputs", str(0x123),
                  "--ports-per-reply", "4")
        os.write(sim.fd, POLL)
        first = [sim.read(241) for _ in range(4)]
        self.assertTrue(sim.quiet())
        # Its outputs change: it says so at once, unasked, on every page it
        # had, those left without a port included.
        sim.device.command("outputs 32767")
        changed = [sim.read(241) for _ in range(4)]
        self.assertTrue(sim.quiet())
        sim.device.command("outputs 1-")  # Not a list: ignored.
        self.assertTrue(sim.quiet(0.2))
        os.write(sim.fd, POLL)
        self.assertEqual([sim.read(241) for _ in range(4)], changed, "the next ArtPoll's answers")
        self.assertEqual(sim.stop(), 0)

        def ports(frame):
            """(output?, Port-Address) of each port the reply describes."""
            found = []
            for i in range(frame[173]):
                kind = frame[174 + i]
                nibble = frame[190 + i] if kind & 0x80 else frame[186 + i]
                found.append((bool(kind & 0x80), frame[18] << 8 | frame[19] << 4 | nibble))
            return found
        self.assertEqual([frame[211] for frame in first + changed], [1, 2, 3, 4] * 2, "BindIndex")
        self.assertEqual([ports(frame) for frame in first],
                         [[(True, 0), (True, 1), (True, 2), (True, 3)], [(True, 4), (True, 5)], [(True, 16)],
                          [(False, 0x123)]])
        self.assertEqual([ports(frame) for frame in changed], [[(True, 32767)], [(False, 0x123)], [], []])

        if shutil.which("tshark") is None:
            self.skipTest("tshark is not installed: the replies are checked by hand only")
        fields = ["artnet.poll_reply.num_ports", "artnet.poll_reply.port_types_1", "artnet.poll_reply.port_types_2",
                  "artnet.poll_reply.swout_1_universe", "artnet.poll_reply.swout_2_universe",
                  "artnet.poll_reply.swin_1_universe", "artnet.poll_reply.bind_index", "_ws.malformed"]
        readings = tshark_packets([frame[:-2] for frame in first + changed], fields)
        self.assertEqual([r["artnet.poll_reply.num_ports"] for r in readings], ["4", "2", "1", "1", "1", "1", "0", "0"])
        self.assertEqual([r["artnet.poll_reply.port_types_2"] for r in readings][:2], ["0x80", "0x80"])
        self.assertEqual([r["artnet.poll_reply.port_types_1"] for r in readings][3], "0x40")
        self.assertEqual([r["artnet.poll_reply.swout_2_universe"] for r in readings][:2], ["1", "5"])
        self.assertEqual([r["artnet.poll_reply.swout_1_universe"] for r in readings][2], "16")
        self.assertEqual([r["artnet.poll_reply.swin_1_universe"] for r in readings][3], str(0x123))
        self.assertEqual([r["artnet.poll_reply.swout_1_universe"] for r in readings][4], "32767")
        self.assertEqual([r["_ws.malformed"] for r in readings], [""] * 8)

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


BAUD = lab.WIRE_BAUD
BYTES_A_SECOND = BAUD // 10
BUFFER = 4096


def feed(fd, data, rate=None, piece=530, deadline=DEADLINE):
    """Writes `data` to the non-blocking `fd` as the bridge does: `piece`
    bytes a write, each at least piece/rate seconds after the one before
    (rate None: at once), waiting for POLLOUT after EAGAIN. Returns the
    writes, as (monotonic ns after it, bytes written so far), and the
    refusals, as (ns before it, bytes written so far, whether poll said
    writable): each moment on the side of it that a host descheduled
    between the call and the clock cannot move against the checks."""
    poller = select.poll()
    poller.register(fd, select.POLLOUT)
    writes, refusals = [], []
    sent = 0
    end = time.monotonic() + deadline
    with prompt_reader():  # Keeps to its pace on a busy machine.
        while sent < len(data) and time.monotonic() < end:
            if rate is not None and writes:
                wait = writes[-1][0] / 1e9 + piece / rate - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
            before = time.monotonic_ns()
            try:
                sent += os.write(fd, data[sent:sent + piece])
            except BlockingIOError:
                refusals.append((before, sent, bool(poller.poll(0))))
                poller.poll(1000)
                continue
            writes.append((time.monotonic_ns(), sent))
    return writes, refusals


@contextlib.contextmanager
def prompt_reader():
    """Runs the block at a real-time priority where allowed, as the
    simulator on a wire runs: a test that times what a host reads or
    writes must not be late to do it on a busy machine."""
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(5))
    except PermissionError:
        yield
        return
    try:
        yield
    finally:
        os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))


def packets(count):
    """`count` ArtDmx of 512 channels, each told from its neighbours."""
    return b"".join(lab.art_dmx(530, seed=i) for i in range(count))


class WireTest(unittest.TestCase):
    """The device on a wire of 1,200,000 baud, as the bridge's real link."""

    def start(self, *options, **wire):
        sim = Sim(*options, nonblocking=True, baud=BAUD, timestamps=True, **wire)
        self.addCleanup(lambda: sim.device.process.poll() is None and sim.stop())
        return sim

    def wait_all(self, sim, size, seconds):
        """Waits for `size` bytes to come off the wire; returns them and the
        moment each did."""
        sim.device.wait_received(size, timeout=seconds + DEADLINE)
        return sim.device.received_with_times()

    def test_bytes_cross_at_the_line_rate(self):
        sim = self.start()
        idle = sim.cpu_seconds()
        data = bytes(i * 7 & 0xFF for i in range(BYTES_A_SECOND))  # One second of wire.
        started = time.monotonic_ns()
        writes, refusals = feed(sim.fd, data, piece=4096)
        self.assertEqual(writes[-1][1], len(data))
        received, times = self.wait_all(sim, len(data), 1)
        busy = sim.cpu_seconds() - idle
        stats = sim.device.stats()
        self.assertEqual(sim.stop(), 0)

        self.assertEqual(received, data)
        first_start = times[0] - 1e10 / BAUD
        self.assertGreaterEqual(first_start, started)  # Not before the host wrote it.
        # No faster anywhere: the wire's every tenth of it takes its time.
        # (The stamps are the wire model's, so this holds on a busy machine.)
        for i in range(0, len(data), len(data) // 10):
            self.assertGreaterEqual(times[i + len(data) // 10 - 1] - times[i],
                                    (len(data) // 10 - 1) * 1e10 / BAUD - 2)
        self.assertGreaterEqual((times[-1] - first_start) / 1e9, 1.0 - 1e-6)
        # And no slower while bytes wait: within a run the log's lines end
        # exactly their bytes' wire time apart. The wire stands idle only
        # where the host was late to refill the buffer (it has 2 ms once let
        # go), between some lines on a busy machine, never between most: a
        # byte of 11 bits, or a pause after every piece, would leave none.
        lines = sim.device.received_lines()
        back_to_back = sum(1 for (_, end), (chunk, next_end) in zip(lines, lines[1:])
                           if abs(next_end - end - len(chunk) * 1e10 / BAUD) <= 2)
        self.assertGreater(back_to_back, (len(lines) - 1) / 2, f"of {len(lines)} lines")
        # Timing is the benchmark's to judge; here only that a late host's
        # pauses did not add up to as long as the wire carried bytes.
        self.assertLess((times[-1] - first_start) / 1e9, 2.0)
        # The host could get only a buffer ahead of the wire.
        self.assertTrue(refusals)
        self.assertGreater((writes[-1][0] - started) / 1e9, 0.8)
        self.assertEqual(stats["received"], len(data))
        self.assertEqual(stats["wire_busy_ns"], 1000000000)
        self.assertEqual(stats["sent"], 0)
        # Waiting for the wire costs a wake-up a millisecond; spinning for it
        # would cost the whole second.
        self.assertLess(busy, 0.3, "the simulator must wait for the wire, not spin")

    def test_a_full_buffer_blocks_a_host_that_writes_too_fast(self):
        sim = self.start()
        data = packets(160)                              # 0.7 s of wire, written in 0.35 s
        writes, refusals = feed(sim.fd, data, rate=2 * BYTES_A_SECOND)
        received, times = self.wait_all(sim, len(data), 1)
        self.assertEqual(received.hex(), data.hex())     # Nothing lost, nothing reordered.

        def in_flight(at, sent):
            return sent - bisect.bisect_right(times, at)
        self.assertTrue(refusals, "the host was never held")
        at, sent, writable = refusals[0]
        self.assertFalse(writable)                       # Poll withholds POLLOUT too.
        # Held once the buffer is full, not before (less what crossed the
        # wire until the host came to write again: a piece or two); and each
        # time no further ahead than a buffer and the write that filled it.
        # The pty hands the host's bytes to the device through a kernel
        # worker of normal priority, which a busy machine may hold up for a
        # tenth of a second: meanwhile the device cannot know to hold the
        # host, which gets further ahead once or twice; so the median hold.
        self.assertGreaterEqual(in_flight(at, sent), BUFFER - 2 * 530)
        written_at = {sent: at for at, sent in writes}
        peaks = [in_flight(written_at[sent], sent) for _, sent, _ in refusals if sent in written_at]
        self.assertLessEqual(statistics.median(peaks), BUFFER + 2 * 530, f"{len(peaks)} holds")
        self.assertEqual(sim.stop(), 0)

    def test_a_stall_holds_the_host_for_as_long(self):
        sim = self.start()
        data = packets(100)                              # 0.44 s of wire
        # Early in the 0.22 s of writing, when the buffer has just filled:
        # a timer late on a busy machine still comes while the host writes.
        stall = threading.Timer(0.05, sim.device.stall, args=(1200,))
        stall.start()
        writes, _ = feed(sim.fd, data, rate=2 * BYTES_A_SECOND)
        stall.join()
        received, times = self.wait_all(sim, len(data), 2)
        self.assertEqual(received.hex(), data.hex())
        gaps = [b - a for a, b in zip(times, times[1:])]
        # The wire stood still for the stall, and then went on at its pace
        # (longer only had the host let the buffer run dry before it).
        self.assertGreaterEqual(max(gaps) / 1e9, 1.2)
        self.assertLess(max(gaps) / 1e9, 1.3)
        # Any other gap is a host late to refill (it has 2 ms once let go).
        self.assertLess(sorted(gaps)[-2] / 1e9, 0.1)
        # The host's writes were held for about as long: the stall, less the
        # moment it took to fill the buffer, and the drain to let it go.
        held = max(b[0] - a[0] for a, b in zip(writes, writes[1:])) / 1e9
        self.assertGreater(held, 1.0)
        self.assertLess(held, 1.4)
        self.assertEqual(sim.stop(), 0)

    def test_replies_of_four_ports_come_back_to_back_in_chunks(self):
        sim = self.start("--address", "10.1.2.3", ports=4)
        poller = select.poll()
        poller.register(sim.fd, select.POLLIN)

        def poll_once():
            """The reads that bring the answers to one ArtPoll, as (data, ns
            after the read), and when the ArtPoll was written."""
            reads = []
            with prompt_reader():
                written = time.monotonic_ns()
                os.write(sim.fd, POLL)
                end = time.monotonic() + DEADLINE
                while sum(len(data) for data, _ in reads) < 4 * 241 and time.monotonic() < end:
                    if poller.poll(100):
                        reads.append((os.read(sim.fd, 4096), time.monotonic_ns()))
            self.assertTrue(sim.quiet(0.05))
            return reads, written

        # A reader late by a millisecond or two (the pty hands bytes on
        # through a kernel worker of normal priority, which a busy machine
        # delays) finds chunks run together, or the last late: then ask
        # again, up to ten times, a fifth of a second apart so that one busy
        # spell does not spoil them all. Whole frames or a late end each
        # time would be the simulator's fault.
        wire = (len(POLL) + 4 * 241) / BYTES_A_SECOND
        for attempt in range(10):
            if attempt:
                time.sleep(0.2)
            reads, written = poll_once()
            if (max(len(data) for data, _ in reads) < 241
                    and (reads[-1][1] - written) / 1e9 < wire + 0.001 + 0.015):
                break
        sent = sim.device.sent_with_times()
        polls = sim.device.received_lines()
        self.assertEqual(sim.stop(), 0)

        replies = b"".join(data for data, _ in reads)
        self.assertEqual(replies, b"".join(frame for frame, _ in sent[-4:]))
        frames = [replies[i:i + 241] for i in range(0, len(replies), 241)]
        self.assertEqual([len(f) for f in frames], [241] * 4)
        self.assertTrue(all(f.endswith(b"\r\n") for f in frames))
        # A USB adapter's chunks: no read holds a whole frame.
        self.assertLess(max(len(data) for data, _ in reads), 241, f"after {attempt + 1} tries")
        # Back to back, seen from the host: the last byte comes as soon as
        # the poll and four replies can cross, plus the adapter's latency
        # timer, and no sooner.
        last = (reads[-1][1] - written) / 1e9
        self.assertGreaterEqual(last, wire)
        self.assertLess(last, wire + 0.001 + 0.015)
        self.assertLess((reads[-1][1] - reads[0][1]) / 1e9, 4 * 241 / BYTES_A_SECOND + 0.001 + 0.015)
        # And from the device: frame k is in the pty once the chunk holding
        # its last byte is full (the last frame's, once the latency timer
        # has run), each chunk timed from the moment the ArtPoll crossed.
        (poll, poll_end) = polls[-1]
        self.assertEqual(poll, POLL)
        for k, (_, stamp) in enumerate(sent[-4:], 1):
            chunk_end = min(-(-241 * k // 62) * 62, 964)
            due = poll_end + chunk_end * 1e10 / BAUD + (1e6 if k == 4 else 0)
            self.assertGreaterEqual(stamp, due - 1)
            self.assertLess(stamp - due, 2e6, f"frame {k}")

        if shutil.which("tshark") is None:
            self.skipTest("tshark is not installed: the replies are checked by hand only")
        fields = ["artnet.poll_reply.bind_index", "artnet.poll_reply.num_ports",
                  "artnet.poll_reply.swout_1_universe", "artnet.poll_reply.ip_address",
                  "artnet.poll_reply.bind_ip_address", "_ws.malformed"]
        readings = tshark_packets([f[:-2] for f in frames], fields)
        self.assertEqual([r["artnet.poll_reply.bind_index"] for r in readings], ["0x01", "0x02", "0x03", "0x04"])
        self.assertEqual([r["artnet.poll_reply.swout_1_universe"] for r in readings], ["0", "1", "2", "3"])
        for reading in readings:
            self.assertEqual(reading["artnet.poll_reply.num_ports"], "1")
            self.assertEqual(reading["artnet.poll_reply.ip_address"], "10.1.2.3")
            self.assertEqual(reading["artnet.poll_reply.bind_ip_address"], "10.1.2.3")
            self.assertEqual(reading["_ws.malformed"], "")

    def test_frames_given_cross_the_wire_too(self):
        sim = self.start("--send-hex", "4f4b0d0a")
        os.write(sim.fd, DMX)
        self.assertEqual(sim.read(4), b"OK\r\n")
        sim.device.command("61 62 0d 0a")
        sim.device.command(bytes(range(256)).hex())
        self.assertEqual(sim.read(260), b"ab\r\n" + bytes(range(256)))
        sent = sim.device.wait_sent(3)
        stats = sim.device.stats()
        (dmx, dmx_end), = sim.device.received_lines()
        self.assertEqual(sim.stop(), 0)
        self.assertEqual(dmx, DMX)
        self.assertEqual(sent, [b"OK\r\n", b"ab\r\n", bytes(range(256))])  # One line a frame.
        # The frame the bridge's first bytes release goes out once the first
        # of them has crossed; it ends four bytes and a latency timer later.
        (_, ok_at), = sim.device.sent_with_times()[:1]
        first_end = dmx_end - (len(DMX) - 1) * 1e10 / BAUD
        self.assertGreaterEqual(ok_at, first_end + 4 * 1e10 / BAUD + 1e6 - 1)
        self.assertEqual((stats["received"], stats["sent"]), (len(DMX), 264))

    def test_hangup_is_an_unplugged_adapter(self):
        with tempfile.TemporaryDirectory() as directory:
            link = os.path.join(directory, "ttyUSB0")
            sim = self.start("--link", link)
            time.sleep(0.5)
            self.assertLess(sim.cpu_seconds(), 0.1, "an idle wire must cost nothing")
            # A host held by a stalled device...
            sim.device.stall(10000)
            _, refusals = feed(sim.fd, packets(60), deadline=1)
            self.assertTrue(refusals)
            # ...sees the port hang up: reads find its end, writes fail with EIO.
            self.assertEqual(sim.device.hangup(), 0)
            poller = select.poll()
            poller.register(sim.fd, select.POLLIN | select.POLLOUT)
            events = poller.poll(1000)
            self.assertTrue(events and events[0][1] & select.POLLHUP, events)
            self.assertEqual(os.read(sim.fd, 100), b"")
            with self.assertRaises(OSError) as caught:
                os.write(sim.fd, POLL)
            self.assertEqual(caught.exception.errno, errno.EIO)
            self.assertFalse(os.path.lexists(link))
            self.assertEqual(sim.stop(), 0)


class OptionsTest(unittest.TestCase):
    def test_wire_options_need_a_wire_and_sane_numbers(self):
        for options in (["--buffer", "100"], ["--chunk", "8"], ["--latency-ms", "2"],
                        ["--baud", "0"], ["--baud", "12x"], ["--ports", "0"], ["--ports", "256"],
                        ["--outputs", "3-1"], ["--outputs", ""], ["--inputs", "32768"],
                        ["--ports-per-reply", "5"], ["--outputs", "0-255", "--ports-per-reply", "1", "--inputs", "9"],
                        ["--baud", "1200000", "--chunk", "0"], ["--baud", "-1"]):
            run = subprocess.run([lab.SIMULATOR, *options], capture_output=True, timeout=DEADLINE,
                                 stdin=subprocess.DEVNULL)
            self.assertEqual(run.returncode, 2, options)

    def test_timestamps_and_stats_without_a_wire(self):
        sim = Sim("--timestamps")
        before = time.monotonic_ns()
        os.write(sim.fd, POLL)
        self.assertEqual(len(sim.read(241)), 241)
        stats = sim.device.stats()
        self.assertEqual(sim.stop(), 0)
        (rx, rx_at), = sim.device.received_lines()
        (tx, tx_at), = sim.device.sent_with_times()
        self.assertEqual(rx, POLL)
        self.assertLessEqual(before, rx_at)
        self.assertLessEqual(rx_at, tx_at)
        self.assertLessEqual(tx_at, stats["at"])
        self.assertEqual((stats["received"], stats["sent"], stats["wire_busy_ns"]), (len(POLL), 241, 0))


if __name__ == "__main__":
    unittest.main()
