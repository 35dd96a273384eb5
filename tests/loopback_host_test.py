#!/usr/bin/env python3
"""The bridge on a Linux host whose name resolves to a loopback address
(Debian's 127.0.1.1): it captures the loopback interface and the interface of
the default route, and sees traffic from the host to itself once."""

import unittest

import lab as lab_
from lab import (ART_POLL_PROBE, ARTNET_PORT, BRIDGE_ADDRESS, art_dmx, art_poll,
                       message)

HOST_ADDRESS = "127.0.1.1"


class LoopbackHost(lab_.BridgeCase):
    lab_options = {"host_address": HOST_ADDRESS, "default_route": True}

    def reply(self, size, sender_address=HOST_ADDRESS):
        return self.controller.receive(
            lambda data, sender: sender == (sender_address, ARTNET_PORT) and len(data) == size)

    def test_1_start(self):
        expected = message("InitCompleted") + message("Running")
        self.assertEqual(self.bridge.wait_output(expected), expected)
        self.expect_device(ART_POLL_PROBE)
        # The reply to the probe goes from and to 127.0.1.1. Captured on lo,
        # it is an OpPollReply, which the device never gets back.
        self.assertIsNotNone(self.reply(241), "no reply to the start-up probe")

    def test_2_the_default_route_interface_is_captured(self):
        from_network = art_dmx(300, seed=1)
        self.peer.sendto(from_network, (BRIDGE_ADDRESS, ARTNET_PORT))
        self.expect_device(from_network, note="an ArtDmx arriving on the default route's interface")
        poll = art_poll()
        self.controller.send(poll)
        self.expect_device(poll, note="a broadcast leaving on the default route's interface")

    def test_3_host_to_itself_once(self):
        local = art_dmx(200, seed=2)
        self.controller.send(local, destination=HOST_ADDRESS, source=HOST_ADDRESS)
        self.expect_device(local, note="one copy of a datagram from the host to itself")

    def test_4_the_devices_own_artnet_comes_back_once(self):
        # The bridge's datagrams to the host's own addresses pass the same
        # filter as any packet: an ArtDmx from the device (CR LF included)
        # goes back to it. The controller polled (test 2) from its address
        # on the network's adapter: the frame goes there, from the host's
        # other address on that adapter, over lo.
        frame = art_dmx(98, seed=3) + b"\r\n"
        self.device.send(frame)
        self.assertIsNotNone(self.reply(len(frame), sender_address=BRIDGE_ADDRESS))
        self.expect_device(frame, note="the device's own ArtDmx, back once")

    def test_5_a_64k_datagram_on_lo_does_not_stop_the_capture(self):
        with self.lab.socket("host") as sender:
            sender.sendto(art_dmx(65507, seed=4), (HOST_ADDRESS, ARTNET_PORT))
        poll = art_poll()
        self.controller.send(poll, destination=HOST_ADDRESS, source=HOST_ADDRESS)
        self.expect_device(poll)

    def test_9_nothing_else_on_the_console(self):
        self.assert_console_holds_only()


if __name__ == "__main__":
    lab_.run_tests()
