#!/usr/bin/env python3
"""Ethernet frames made by hand, end to end, as other machines send them and
a peer's own stack would not.

Short frames: Ethernet pads every frame to 60 bytes, so a short IPv4 packet
from another machine arrives with zero bytes after it; a packet socket hands
over the frame's payload, a raw IPv4 socket (the Windows build's) the packet
alone. The device must get the Art-Net packet as sent, and the filter judge
the packet, not the frame. veth never pads: the peer sends whole Ethernet
frames through a packet socket of its own.

Fragments: pieces of a datagram are not datagrams, and the device sees none
of them, however much their bytes look like Art-Net."""

import socket
import struct
import unittest

import lab as lab_
from lab import (ART_POLL_PROBE, ARTNET_PORT, BRIDGE_ADDRESS, PEER_ADDRESS, art_dmx, art_poll,
                 message)


class PaddedFrames(lab_.BridgeCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.wire = lab_.EthernetSender(cls.lab)

    @classmethod
    def tearDownClass(cls):
        cls.wire.close()
        super().tearDownClass()

    def send(self, payload, trailer=None, source_port=ARTNET_PORT):
        packet = lab_.ipv4_udp_packet(PEER_ADDRESS, BRIDGE_ADDRESS, payload, source_port=source_port)
        return self.wire.send(packet, trailer)

    def test_1_start(self):
        expected = message("InitCompleted") + message("Running")
        self.assertEqual(self.bridge.wait_output(expected), expected)
        self.expect_device(ART_POLL_PROBE)

    def test_2_short_packets_arrive_without_the_padding(self):
        poll = art_poll()  # 14 bytes: 42 with its headers, 60 on the wire.
        smallest = art_dmx(10)
        self.assertEqual(self.send(poll), 60)
        self.assertEqual(self.send(smallest), 60)
        self.expect_device(poll, smallest, note="the ArtPoll and the 10-byte packet, unpadded")

    def test_3_a_padded_short_payload_is_still_dropped(self):
        # Nine bytes of payload: with the padding they would be 17, or more
        # with a trailer.
        nine = art_dmx(10)[:9]
        self.assertEqual(self.send(nine), 60)
        self.assertEqual(self.send(nine, trailer=b"Art-Net\x00" * 4), 14 + 37 + 32)
        marker = art_dmx(20, seed=1)
        self.send(marker)
        self.expect_device(marker, note="only the marker")

    def test_4_any_trailer_is_cut_off(self):
        # Frames longer than the packet for other reasons (a trailer some
        # equipment adds), and a packet long enough to need no padding.
        poll = art_poll()
        self.send(poll, trailer=bytes(range(0xA0, 0xC0)))
        full = art_dmx(530, seed=2)
        self.send(full, trailer=b"\xff" * 4)
        exact = art_dmx(18, seed=3)  # 46 bytes with its headers: no padding.
        self.assertEqual(self.send(exact), 60)
        self.expect_device(poll, full, exact)

    def test_5_fragments_never_reach_the_device(self):
        # The first fragment of an ArtDmx whose rest never comes: its UDP
        # header to 6454 and 112 bytes of the payload, the ID first.
        dmx = art_dmx(530, seed=4)
        udp = struct.pack("!HHHH", ARTNET_PORT, ARTNET_PORT, 8 + len(dmx), 0) + dmx
        self.wire.send(ipv4_fragment(udp[:120], more=True, offset=0))
        # A later fragment whose bytes merely look like UDP to 6454 and an
        # ArtDmx, the last of its datagram and a middle one.
        lookalike = struct.pack("!HHHH", ARTNET_PORT, ARTNET_PORT, 38, 0) + art_dmx(30, seed=5)
        self.wire.send(ipv4_fragment(lookalike, more=False, offset=15))
        self.wire.send(ipv4_fragment(lookalike, more=True, offset=185))
        # Don't Fragment says the datagram is whole: it passes.
        whole = art_dmx(40, seed=6)
        udp = struct.pack("!HHHH", ARTNET_PORT, ARTNET_PORT, 8 + len(whole), 0) + whole
        self.wire.send(ipv4_fragment(udp, more=False, offset=0, dont_fragment=True))
        self.expect_device(whole, note="only the datagram sent whole")

    def test_9_nothing_else_on_the_console(self):
        self.assert_console_holds_only()


def ipv4_fragment(data, more, offset, dont_fragment=False):
    """An IPv4 packet from the peer to the bridge carrying `data` as a
    fragment of a UDP datagram: More Fragments set when `more`, at `offset`
    units of 8 bytes; offset 0 and not `more` is a whole datagram."""
    field = (0x4000 if dont_fragment else 0) | (0x2000 if more else 0) | offset
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(data), 0x0A47, field, 64, 17, 0,
                         socket.inet_aton(PEER_ADDRESS), socket.inet_aton(BRIDGE_ADDRESS))
    header = header[:10] + struct.pack("!H", header_checksum(header)) + header[12:]
    return header + data


def header_checksum(header):
    """The IPv4 header checksum of `header` (its checksum field 0)."""
    total = sum(struct.unpack(f"!{len(header) // 2}H", header))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


if __name__ == "__main__":
    lab_.run_tests()
