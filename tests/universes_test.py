#!/usr/bin/env python3
"""The real bridge sends its device only the universes the device outputs,
as the device's own ArtPollReplies say, on the real link's wire (the
simulator at 1,200,000 baud): a 4-universe device on a network of 24, a
device whose universes change while it runs and one that replaces it, two
bridges with a device each side by side, and a device whose replies
describe no output, which gets everything."""

import struct
import time
import unittest

import lab as lab_
from lab import ARTNET_ID, ARTNET_PORT, BRIDGE_ADDRESS, PEER_ADDRESS, WIRE_BAUD, art_poll, message

RUNNING = message("InitCompleted") + message("Running")
STALL = message("SerialWriteTimeout", 11)
DMX_SIZE = 530


def without_stalls(console):
    """The console without "Serial write timeout" lines. A machine busy on
    every core can keep the simulated device's pty from draining for the
    half second that the bridge reports as a stall; that line says nothing
    of universes, and the stall tests judge it."""
    return console.replace(STALL, b"")


def dmx(universe, number):
    """An ArtDmx of 512 channels to `universe` whose data opens with
    `number` and the universe, so that each packet can be told apart."""
    header = ARTNET_ID + bytes([0x00, 0x50, 0x00, 14, 0, 0, universe & 0xFF, universe >> 8, 0x02, 0x00])
    data = struct.pack(">IH", number, universe)
    return header + data + bytes((number * 7 + i) & 0xFF for i in range(512 - len(data)))


class Stream:
    """A controller across the network sending ArtDmx for `universes`, each
    `rate` times a second, evenly spaced, with an ArtPoll a second, and what
    it sent."""

    def __init__(self, lab):
        self.peer = lab.socket("network")
        self.peer.bind((PEER_ADDRESS, 0))
        self.sent = {}  # packet -> (universe, number, send time)
        self.polls = 0
        self.number = 0

    def send(self, universes, rate, seconds, at=None):
        """Sends for `seconds`; calls at[t]() once `t` seconds have gone."""
        at = dict(at or {})
        interval = 1.0 / (len(universes) * rate)
        start = time.monotonic()
        for n in range(int(len(universes) * rate * seconds)):
            due = start + n * interval
            time.sleep(max(0.0, due - time.monotonic()))
            for when in sorted(t for t in at if t <= due - start):
                at.pop(when)()
            if n % (len(universes) * rate) == 0:
                self.peer.sendto(art_poll(), (BRIDGE_ADDRESS, ARTNET_PORT))
                self.polls += 1
            packet = dmx(universes[n % len(universes)], self.number)
            self.sent[packet] = (universes[n % len(universes)], self.number, time.monotonic_ns())
            self.number += 1
            self.peer.sendto(packet, (BRIDGE_ADDRESS, ARTNET_PORT))

    def close(self):
        self.peer.close()


def arrivals(device, sent, since=0):
    """What the device read off its wire from byte `since` on: the ArtDmx
    that were sent, as (universe, number, moment its last byte left the
    wire), the ArtPolls, and the bytes that are neither."""
    data, times = device.received_with_times()
    found, polls, stray, at = [], 0, 0, since
    poll = art_poll()
    while at < len(data):
        packet = data[at:at + DMX_SIZE]
        if packet in sent:
            universe, number, _ = sent[packet]
            found.append((universe, number, times[at + DMX_SIZE - 1]))
            at += DMX_SIZE
        elif data.startswith(poll, at):
            polls += 1
            at += len(poll)
        else:
            stray += 1
            at += 1
    return found, polls, stray


def stream_to(lab, device, universes, rate, seconds, stream=None):
    """Sends ArtDmx for `universes` (`stream`, or a new one) and returns the
    Stream and what the device read meanwhile, as arrivals() has it."""
    since = len(device.received())
    stream = stream or Stream(lab)
    stream.send(universes, rate, seconds)
    time.sleep(0.3)  # What the bridge still held crosses.
    return (stream, *arrivals(device, stream.sent, since))


def median_gap_ms(found, universe):
    """The median time between two of a universe's packets at the device."""
    exits = [exit_ for u, _, exit_ in found if u == universe]
    gaps = sorted((b - a) / 1e6 for a, b in zip(exits, exits[1:]))
    return gaps[len(gaps) // 2] if gaps else float("inf")


def start_bridge(lab, device):
    """A bridge that has found `device`, said it runs, and had the device's
    answers to its probe."""
    bridge = lab.start_bridge()
    if bridge.wait_output(RUNNING) != RUNNING:
        raise AssertionError(f"the bridge did not start: {bridge.output()!r}")
    device.wait_received(len(lab_.ART_POLL_PROBE))
    device.wait_sent(1)
    time.sleep(0.1)  # The rest of its pages, and the bridge's read of them.
    return bridge


class OwnUniversesOnly(unittest.TestCase):
    """A device that outputs universes 0-3 (one page of four) on a network
    of 24 at 44 Hz, 4.7 times what the wire carries: the wire carries its
    four, whose frames all reach it, and no other."""

    def test_only_its_universes_reach_it_and_all_of_theirs(self):
        with lab_.Lab() as lab:
            device = lab.start_device(outputs="0-3", ports_per_reply=4, baud=WIRE_BAUD, timestamps=True)
            bridge = start_bridge(lab, device)
            stream, found, polls, stray = stream_to(lab, device, list(range(24)), 44, 3)
            stream.close()
            console = bridge.output()
            device.stop()

        self.assertEqual(stray, 0, "bytes of cut or unknown packets at the device")
        self.assertEqual(polls, stream.polls, "an ArtPoll was lost")
        self.assertEqual(sorted({u for u, _, _ in found}), [0, 1, 2, 3], "the universes at the device")
        for universe in range(4):
            offered = sum(1 for u, _, _ in stream.sent.values() if u == universe)
            arrived = sum(1 for u, _, _ in found if u == universe)
            # The wire has room for all of them; a busy machine may let a
            # frame give way to the next of its universe now and then.
            self.assertGreaterEqual(arrived, 0.8 * offered, f"universe {universe}")
            # Every frame, 22.7 ms apart: sharing the wire with the other 20
            # universes, each would come only every 110 ms or so.
            self.assertLess(median_gap_ms(found, universe), 30, f"universe {universe}")
        self.assertEqual(without_stalls(console), RUNNING, "nothing said of the other universes")


class UniversesChange(unittest.TestCase):
    """The device's universes change while it runs (as after an ArtAddress,
    or at its front panel): its replies say so at once, and the bridge sends
    its new universes from then on. Then it is unplugged, and a device whose
    replies describe no output takes its place: the bridge knows nothing of
    the new one and sends it every universe."""

    def test_new_universes_from_the_next_reply_and_a_new_device_starts_unknown(self):
        with lab_.Lab() as lab:
            device = lab.start_device(outputs="0-3", baud=WIRE_BAUD, timestamps=True)
            bridge = start_bridge(lab, device)
            stream = Stream(lab)
            changed = []

            def change():
                before = len(device.sent())
                device.set_outputs("4-7")
                sent = device.wait_sent(before + 4)
                changed.append(device.sent_with_times()[len(sent) - 1][1])
            since = len(device.received())
            stream.send(list(range(8)), 20, 4, at={2: change})
            time.sleep(0.3)
            found, _, stray = arrivals(device, stream.sent, since)

            # Unplugged; a device of no described outputs in its place.
            device.hangup()
            bridge.stdout.wait_for(lambda out: message("DeviceLost") in out)
            lab.unplug_port()
            replacement, _ = lab.plug_device(outputs="none", baud=WIRE_BAUD, timestamps=True)
            bridge.stdout.wait_for(lambda out: message("DeviceReconnected") in out)
            replacement.wait_sent(1)
            time.sleep(0.1)
            first_after = stream.number
            _, after_replug, _, replug_stray = stream_to(lab, replacement, list(range(8)), 10, 1.5, stream)
            stream.close()
            console = bridge.output()
            replacement.stop()

        self.assertEqual(stray + replug_stray, 0, "bytes of cut or unknown packets at the device")
        self.assertEqual(len(changed), 1, "the device did not tell of its change")
        # What went before the reply came may still cross the wire for a
        # few milliseconds; nothing for the old universes after that.
        settled = changed[0] + 50e6
        before = {u for u, _, exit_ in found if exit_ < changed[0]}
        after = {u for u, _, exit_ in found if exit_ > settled}
        self.assertEqual(before, {0, 1, 2, 3})
        self.assertEqual(after, {4, 5, 6, 7})
        self.assertEqual(sorted((u, n) for u, n, _ in after_replug),
                         sorted((u, n) for u, n, _ in stream.sent.values() if n >= first_after),
                         "every universe's every packet reached the new device")
        self.assertEqual(without_stalls(console), RUNNING + message("DeviceLost") + message("DeviceReconnected"))


class TwoBridges(unittest.TestCase):
    """Two devices, /dev/ttyUSB0 outputting universes 0-3 and /dev/ttyUSB1
    outputting 4-7, each with a bridge of its own on one host: each bridge
    takes the first port free, sends its device only that device's
    universes, and both devices' replies reach the controller."""

    def test_each_device_its_own_universes_and_both_replies_reach_the_controller(self):
        with lab_.Lab() as lab:
            left = lab.start_device("--short-name", "Left", outputs="0-3", ports_per_reply=4, baud=WIRE_BAUD,
                                    timestamps=True)
            right = lab.start_device("--short-name", "Right", name=lab_.SECOND_PORT_NAME, outputs="4-7",
                                     ports_per_reply=4, baud=WIRE_BAUD, timestamps=True)
            first = start_bridge(lab, left)
            second = start_bridge(lab, right)
            controller = lab.controller()
            stream = Stream(lab)
            since = (len(left.received()), len(right.received()))
            stream.send(list(range(8)), 25, 3)
            time.sleep(0.3)
            stream.close()
            at_left, _, left_stray = arrivals(left, stream.sent, since[0])
            at_right, _, right_stray = arrivals(right, stream.sent, since[1])

            controller.drain()
            controller.send(art_poll())
            names = set()
            end = time.monotonic() + lab_.DEADLINE
            while len(names) < 2 and time.monotonic() < end:
                reply = lab_.reply_from_bridge(controller, timeout=max(0.01, end - time.monotonic()))
                if reply is None:
                    break
                names.add(reply[0][26:44].split(b"\0")[0].decode())
            controller.close()
            consoles = (first.output(), second.output())
            left.stop()
            right.stop()

        self.assertEqual(left_stray + right_stray, 0, "bytes of cut or unknown packets at a device")
        self.assertEqual({u for u, _, _ in at_left}, {0, 1, 2, 3}, "the first device's universes")
        self.assertEqual({u for u, _, _ in at_right}, {4, 5, 6, 7}, "the second device's universes")
        for found, universes in ((at_left, range(4)), (at_right, range(4, 8))):
            for universe in universes:
                offered = sum(1 for u, _, _ in stream.sent.values() if u == universe)
                self.assertGreaterEqual(sum(1 for u, _, _ in found if u == universe), 0.8 * offered)
        self.assertEqual(names, {"Left", "Right"}, "the replies that reached the controller")
        self.assertEqual(tuple(without_stalls(c) for c in consoles), (RUNNING, RUNNING))


class NoOutputsDescribed(unittest.TestCase):
    """A device whose replies describe no output, an input on universe 5
    only: the bridge cannot tell which universes are its, and sends it every
    one."""

    def test_every_universe_still_reaches_it(self):
        with lab_.Lab() as lab:
            device = lab.start_device(outputs="none", inputs="5", baud=WIRE_BAUD, timestamps=True)
            bridge = start_bridge(lab, device)
            # 96 a second, well within the wire.
            stream, found, polls, stray = stream_to(lab, device, list(range(24)), 4, 2)
            stream.close()
            console = bridge.output()
            device.stop()

        self.assertEqual(stray, 0)
        self.assertEqual(polls, stream.polls)
        self.assertEqual(sorted((u, n) for u, n, _ in found), sorted((u, n) for u, n, _ in stream.sent.values()))
        self.assertEqual(console, RUNNING)


if __name__ == "__main__":
    lab_.run_tests()
