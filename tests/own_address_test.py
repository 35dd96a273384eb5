#!/usr/bin/env python3
"""Traffic from the bridge's host to its own address, end to end. The device
shows up at the host's address (its replies come from there, its
ArtPollReply names it), so a controller on the same computer sends to that
address, and Linux carries such traffic over the loopback interface, not
the interface that holds the address. It must reach the device once, the
bridge's own datagrams to that address included; OLA's olad, finding the
node and sending it DMX by unicast, is the real case."""

import shutil
import unittest

import lab as lab_
from lab import (ART_POLL_PROBE, ARTNET_ID, ARTNET_PORT, BRIDGE_ADDRESS, CONTROLLER_ADDRESS, art_dmx,
                 art_packet, art_poll, from_bridge, message)


class OwnAddress(lab_.BridgeCase):
    lab_options = {"broadcast": True}

    def marker(self, seed):
        """An ArtDmx from across the wire, sent last: anything let through
        before it arrives before it."""
        marker = art_dmx(20, seed=seed)
        self.peer.sendto(marker, (BRIDGE_ADDRESS, ARTNET_PORT))
        return marker

    def test_1_start(self):
        expected = message("InitCompleted") + message("Running")
        self.assertEqual(self.bridge.wait_output(expected), expected)
        # The reply to the probe goes from and to the host's address over lo:
        # an OpPollReply, which the device never gets back.
        self.assertIsNotNone(lab_.reply_from_bridge(self.controller), "no reply to the start-up probe")
        self.expect_device(ART_POLL_PROBE, self.marker(1))

    def test_2_a_controller_on_the_host_reaches_the_device_once(self):
        from_controller = art_dmx(120, seed=2)
        self.controller.send(from_controller, destination=BRIDGE_ADDRESS, source=CONTROLLER_ADDRESS)
        from_itself = art_poll()
        self.controller.send(from_itself, destination=BRIDGE_ADDRESS, source=BRIDGE_ADDRESS)
        self.expect_device(from_controller, from_itself, note="each once, in order")
        # What is not the host's address stays unseen, as before: 127.0.0.1,
        # and the Art-Net rules hold on lo as anywhere.
        with self.lab.socket("host") as local:
            local.sendto(art_dmx(100, seed=3), ("127.0.0.1", ARTNET_PORT))
        self.controller.send(art_packet(0x2100, 239, seed=4), destination=BRIDGE_ADDRESS)  # OpPollReply
        self.controller.send(art_packet(0x5200, 14), destination=BRIDGE_ADDRESS)  # OpSync
        self.controller.send(art_dmx(531, seed=5), destination=BRIDGE_ADDRESS)
        self.controller.send(art_dmx(10)[:9], destination=BRIDGE_ADDRESS)
        self.expect_device(self.marker(6), note="only the marker")

    def test_3_the_devices_own_frames_come_back_by_the_filters_rules(self):
        # The last ArtPoll (test 2) came from the host's address: the frames
        # go there, from the host's other address, over lo.
        self.controller.drain()
        # Frames of 10 to 530 bytes (CR LF included) that are Art-Net but no
        # ArtPollReply go back to the device, after reaching the host's port.
        smallest = art_dmx(8, seed=7) + b"\r\n"
        largest = art_dmx(528, seed=8) + b"\r\n"
        too_long = art_dmx(529, seed=9) + b"\r\n"
        # A reply that describes no port (PortTypes zero), so that the bridge
        # still sends the device every universe.
        poll_reply = art_packet(0x2100, 237, seed=10)
        poll_reply = poll_reply[:174] + bytes(4) + poll_reply[178:] + b"\r\n"
        for frame in (smallest, largest, too_long, poll_reply):
            self.device.send(frame)
            got = self.controller.receive(lambda data, sender, frame=frame: sender[1] == ARTNET_PORT
                                          and data == frame)
            self.assertIsNotNone(got, f"the {len(frame)}-byte frame did not reach the host's port")
            self.assertEqual(got[1], (CONTROLLER_ADDRESS, ARTNET_PORT))
        self.expect_device(smallest, largest, self.marker(11),
                           note="the 10- and 530-byte frames back once, the others not")

    def test_4_olad_finds_the_node_and_sends_it_dmx(self):
        olad = lab_.Olad(self.lab)
        try:
            capture = lab_.LoopbackCapture(self.lab, f"udp and dst host {BRIDGE_ADDRESS} and dst port {ARTNET_PORT}")
            olad.patch_output(0)
            # olad polls by broadcast; the device answers that it outputs
            # universe 0, from the host's address.
            self.device.wait_received(len(type(self).expected) + 1)
            self.assertTrue(olad.dmx_reaches(self.device, 0, [201, 202, 203, 204]),
                            "olad's ArtDmx never reached the device\n" + olad.log.data().decode())
            # It went by unicast to the host's address, over lo.
            # The first row is the device's reply to olad's ArtPoll.
            dmx = [row for row in capture.packets(count=2)
                   if row["udp.payload"].startswith((ARTNET_ID + b"\x00\x50").hex())]
            self.assertTrue(dmx, "no ArtDmx to the host's address on lo")
            self.assertTrue(all(row["ip.dst"] == BRIDGE_ADDRESS for row in dmx))
        finally:
            olad.stop()
        type(self).expected = self.device.received()

    def test_9_nothing_else_on_the_console(self):
        self.assert_console_holds_only()


if __name__ == "__main__":
    lab_.require_lab()
    if not shutil.which("olad"):
        lab_.skip("OLA is not installed (scripts/install-deps)")
    lab_.stop_on_sigterm()
    unittest.main(verbosity=2)
