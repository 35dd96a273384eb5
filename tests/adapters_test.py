#!/usr/bin/env python3
"""The bridge on a host with two adapters, end to end: an office one (the
lab's veth pair, 10.77.0.1 and 10.77.0.2, the host name's address) and a
lighting one (2.0.0.1/8) with a console across it (2.0.0.50). Every adapter
is captured, each packet reaches the device once whichever way it came, and
the device's frames go to the controllers that polled, from the host's
address they can accept. Also with the host name at Debian's 127.0.1.1, an
adapter plugged in while the bridge runs, and OLA's olad on the lighting
adapter."""

import socket
import sys
import time
import unittest

import lab as lab_
from lab import (ART_POLL_PROBE, ARTNET_PORT, BRIDGE_ADDRESS, BROADCAST_ADDRESS, CONSOLE_ADDRESS,
                 CONTROLLER_ADDRESS, DEADLINE, LIGHTING_ADDRESS, LIGHTING_BROADCAST, PEER_ADDRESS, art_dmx,
                 art_poll, message)

FOLLOW_LIMIT = 2.0


def is_poll_reply(data):
    return data[8:10] == b"\x00\x21"


class Endpoint:
    """A UDP socket on port 6454 of one address, in one of the lab's
    namespaces: a console across a network, or a controller on the host
    bound to one of its addresses."""

    def __init__(self, lab, where, address):
        self.sock = lab.socket(where)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, ARTNET_PORT))
        self.address = address

    def send(self, packet, destination):
        self.sock.sendto(packet, (destination, ARTNET_PORT))

    def receive(self, accept, timeout=DEADLINE):
        self.sock.settimeout(0.1)
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                data, sender = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            if accept(data, sender):
                return data, sender
        return None

    def close(self):
        self.sock.close()


class TwoAdapters(lab_.BridgeCase):
    lab_options = {"broadcast": True, "lighting": True}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.console = Endpoint(cls.lab, "lighting", CONSOLE_ADDRESS)
        # A controller on the host, bound to its lighting address, as
        # lighting software is set up for the lighting adapter.
        cls.local = Endpoint(cls.lab, "host", LIGHTING_ADDRESS)
        cls.peer.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)

    @classmethod
    def tearDownClass(cls):
        cls.console.close()
        cls.local.close()
        super().tearDownClass()

    def reply_at(self, endpoint):
        return endpoint.receive(lambda data, sender: is_poll_reply(data) and sender[1] == ARTNET_PORT)

    def test_1_start(self):
        expected = message("InitCompleted") + message("Running")
        self.assertEqual(self.bridge.wait_output(expected), expected)
        self.expect_device(ART_POLL_PROBE)

    def test_2_a_controller_on_each_adapter_reaches_the_device(self):
        # Broadcast ArtDmx on each network, from a console across it and
        # from the host itself: twenty of each, each once.
        sent = []
        for number in range(20):
            packets = [(art_dmx(40, seed=4 * number), lambda p: self.peer.sendto(p, (BROADCAST_ADDRESS, ARTNET_PORT))),
                       (art_dmx(41, seed=4 * number + 1), lambda p: self.console.send(p, LIGHTING_BROADCAST)),
                       (art_dmx(42, seed=4 * number + 2), lambda p: self.local.send(p, LIGHTING_BROADCAST)),
                       (art_dmx(43, seed=4 * number + 3), lambda p: self.controller.send(p))]
            for packet, send in packets:
                send(packet)
                sent.append(packet)
        self.expect_device(*sent, note="80 broadcast ArtDmx from both networks and the host, each once")

    def test_3_a_console_on_the_lighting_network_finds_the_device_and_reaches_it(self):
        self.console.send(art_poll(), LIGHTING_BROADCAST)
        reply = self.reply_at(self.console)
        self.assertIsNotNone(reply, "no ArtPollReply reached the console")
        self.assertEqual(reply[1], (LIGHTING_ADDRESS, ARTNET_PORT), "from the host's lighting address")
        type(self).expected = self.device.wait_received(len(type(self).expected) + 14)
        # It found the node at the host's lighting address and sends it DMX.
        dmx = art_dmx(530, seed=30)
        self.console.send(dmx, LIGHTING_ADDRESS)
        self.expect_device(dmx, note="the console's unicast ArtDmx")

    def test_4_a_controller_on_the_hosts_lighting_address_gets_the_reply(self):
        # It ignores datagrams from its own address, as OLA does: the reply
        # comes from another of the host's addresses.
        self.local.send(art_poll(), LIGHTING_BROADCAST)
        reply = self.reply_at(self.local)
        self.assertIsNotNone(reply, "no ArtPollReply reached the controller bound to the lighting address")
        self.assertNotEqual(reply[1][0], LIGHTING_ADDRESS)
        self.assertEqual(reply[1], (self.expected_local_source(), ARTNET_PORT))
        type(self).expected = self.device.wait_received(len(type(self).expected) + 14)
        # And the console, which polled too, still gets the device's frames.
        self.assertIsNotNone(self.reply_at(self.console))

    def expected_local_source(self):
        return BRIDGE_ADDRESS

    def test_5_each_packet_once_on_both_adapters_and_the_loopback_path(self):
        time.sleep(0.3)
        packets = []
        # Across each network, to the host's address there.
        packets.append(art_dmx(50, seed=51))
        self.peer.sendto(packets[-1], (BRIDGE_ADDRESS, ARTNET_PORT))
        packets.append(art_dmx(50, seed=52))
        self.console.send(packets[-1], LIGHTING_ADDRESS)
        # From the host to its own addresses, over lo, both adapters'.
        packets.append(art_dmx(50, seed=53))
        self.local.send(packets[-1], LIGHTING_ADDRESS)
        packets.append(art_dmx(50, seed=54))
        self.local.send(packets[-1], BRIDGE_ADDRESS)
        packets.append(art_dmx(50, seed=55))
        self.controller.send(packets[-1], destination=LIGHTING_ADDRESS)
        # From the host across each network.
        packets.append(art_dmx(50, seed=56))
        self.local.send(packets[-1], CONSOLE_ADDRESS)
        packets.append(art_dmx(50, seed=57))
        self.controller.send(packets[-1], destination=PEER_ADDRESS)
        # 127.0.0.1 stays unseen.
        self.local.send(art_dmx(50, seed=58), "127.0.0.1")
        marker = art_dmx(20, seed=59)
        self.peer.sendto(marker, (BRIDGE_ADDRESS, ARTNET_PORT))
        self.expect_device(*packets, marker, note="each once, in order, nothing to 127.0.0.1")

    def test_6_a_frame_longer_than_the_lighting_network_carries_reaches_the_console_whole(self):
        # 2047 bytes do not fit one Ethernet packet: they go in fragments.
        self.console.send(art_poll(), LIGHTING_BROADCAST)
        self.assertIsNotNone(self.reply_at(self.console))
        type(self).expected = self.device.wait_received(len(type(self).expected) + 14)
        frame = bytes((i * 11 + 5) & 0xFF for i in range(2045)) + b"\r\n"
        self.device.send(frame)
        got = self.console.receive(lambda data, sender: data == frame)
        self.assertIsNotNone(got, "the 2047-byte frame did not reach the console whole")
        self.assertEqual(got[1], (LIGHTING_ADDRESS, ARTNET_PORT))

    def test_9_nothing_else_on_the_console(self):
        self.assert_console_holds_only()


class TwoAdaptersLoopbackName(TwoAdapters):
    """The same where the host name resolves to 127.0.1.1, as on Debian."""

    lab_options = {"broadcast": True, "lighting": True, "host_address": "127.0.1.1"}

    def test_1_start(self):
        super().test_1_start()
        # With no controller heard from yet, the reply to the probe goes from
        # and to the host name's address.
        reply = self.controller.receive(lambda data, sender: is_poll_reply(data))
        self.assertIsNotNone(reply)
        self.assertEqual(reply[1], ("127.0.1.1", ARTNET_PORT))

    def expected_local_source(self):
        # The first of the host's other addresses: the office adapter's.
        return BRIDGE_ADDRESS


class AnAdapterPluggedIn(lab_.BridgeCase):
    """The lighting adapter appears while the bridge runs, as a USB network
    adapter plugged in: captured within 2 s, and nothing said."""

    lab_options = {"broadcast": True}

    def test_1_start(self):
        expected = message("InitCompleted") + message("Running")
        self.assertEqual(self.bridge.wait_output(expected), expected)
        self.expect_device(ART_POLL_PROBE)

    def test_2_captured_within_two_seconds(self):
        lab_.add_lighting_adapter(self.lab)
        console = Endpoint(self.lab, "lighting", CONSOLE_ADDRESS)
        try:
            before = len(self.device.received())
            start = time.monotonic()
            taken = None
            number = 0
            while time.monotonic() - start < FOLLOW_LIMIT * 3:
                console.send(art_dmx(24, seed=number), LIGHTING_BROADCAST)
                number += 1
                if self.device.wait_received(before + 1, timeout=0.02)[before:]:
                    taken = time.monotonic() - start
                    break
            self.assertIsNotNone(taken, "nothing from the new adapter reached the device")
            print(f"\n  captured after {taken:.3f} s", file=sys.stderr, end=" ")
            self.assertLess(taken, FOLLOW_LIMIT)
            time.sleep(0.3)
            type(self).expected = self.device.received()
            # Its console finds the device there.
            console.send(art_poll(), LIGHTING_BROADCAST)
            reply = console.receive(lambda data, sender: is_poll_reply(data))
            self.assertIsNotNone(reply, "no ArtPollReply on the new adapter")
            self.assertEqual(reply[1], (LIGHTING_ADDRESS, ARTNET_PORT))
            type(self).expected = self.device.wait_received(len(type(self).expected) + 14)
        finally:
            console.close()

    def test_9_nothing_else_on_the_console(self):
        self.assert_console_holds_only()


class OladOnTheLightingAdapter(lab_.BridgeCase):
    """OLA's olad, with its default settings but for the adapter it uses,
    the lighting one, on a host that has another address too: it finds the
    node (its ArtPollReply comes from the host's other address, since olad
    ignores its own) and sends it DMX, by unicast to that address."""

    lab_options = {"broadcast": True, "lighting": True}
    # A node that outputs universe 0: olad sends a universe's DMX only to
    # the nodes whose replies say they output it.
    device_options = {"outputs": "0"}

    olad_address = LIGHTING_ADDRESS
    # Where olad sends its DMX, having found the node there.
    node_address = BRIDGE_ADDRESS

    def test_1_olad_lists_the_node_and_its_dmx_reaches_the_device(self):
        self.bridge.wait_output(message("InitCompleted") + message("Running"))
        self.device.wait_received(len(ART_POLL_PROBE))
        olad = lab_.Olad(self.lab, address=self.olad_address)
        try:
            capture = lab_.LoopbackCapture(self.lab,
                                           f"udp and dst port {ARTNET_PORT} and dst host {self.node_address}")
            olad.patch_output(0)
            self.assertTrue(olad.dmx_reaches(self.device, 0, [11, 22, 33, 44]),
                            "olad's ArtDmx never reached the device\n" + olad.log.data().decode())
            dmx = [row for row in capture.packets(count=1)
                   if row["udp.payload"].startswith((lab_.ARTNET_ID + b"\x00\x50").hex())]
            self.assertTrue(dmx, "no ArtDmx by unicast to the host's other address")
        finally:
            olad.stop()

    def test_9_nothing_else_on_the_console(self):
        self.assert_console_holds_only()


class OladOnAHostWithOneAddress(OladOnTheLightingAdapter):
    """A host with one address whose name resolves to 127.0.1.1, as Debian
    sets hosts up: the replies to olad come from 127.0.1.1, which it takes
    for a node, and its DMX to 127.0.1.1 is captured on lo. (With the name
    at the one address, olad would list no node and send no DMX at all:
    nothing can reach it from another address of the host.)"""

    lab_options = {"broadcast": True, "host_address": "127.0.1.1", "host_addresses": (BRIDGE_ADDRESS,)}
    olad_address = BRIDGE_ADDRESS
    node_address = "127.0.1.1"


if __name__ == "__main__":
    lab_.require_lab()
    if not lab_.shutil.which("olad"):
        del OladOnTheLightingAdapter, OladOnAHostWithOneAddress
        print("OLA is not installed (scripts/install-deps): its case is left out", file=sys.stderr)
    lab_.stop_on_sigterm()
    unittest.main(verbosity=2)
