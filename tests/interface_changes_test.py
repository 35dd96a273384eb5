#!/usr/bin/env python3
"""The bridge's interface and address changing while it runs, end to end: a
USB adapter replugged or a driver reloaded makes the interface again with a
new index, and DHCP may move the address. Capture must follow within 2 s,
and the device's frames go to the controller that polled, from the host's
address on its adapter. While the adapter is gone the bridge captures
nothing there, says nothing, and goes on with the device."""

import errno
import sys
import time

import lab as lab_
from lab import ART_POLL_PROBE, ARTNET_PORT, BRIDGE_ADDRESS, art_dmx, art_poll, from_bridge, message

# Where the host's address moves to.
MOVED_ADDRESS = "10.77.0.9"
# How soon capture must follow a change.
FOLLOW_LIMIT = 2.0
ENETUNREACH = errno.ENETUNREACH


class FollowingCase(lab_.BridgeCase):
    """What the cases below check after each change."""

    def time_until_captured(self, address, seed, limit=FOLLOW_LIMIT * 3):
        """Sends numbered ArtDmx from across the wire to `address`, one every
        20 ms, until the device has received one; returns how long that took
        (None when none came within `limit` s) and settles what the device
        has received so far."""
        before = len(self.device.received())
        start = time.monotonic()
        taken = None
        number = 0
        while time.monotonic() - start < limit:
            self.peer.sendto(art_dmx(24, seed=seed + number), (address, ARTNET_PORT))
            number += 1
            if self.device.wait_received(before + 1, timeout=0.02)[before:]:
                taken = time.monotonic() - start
                break
        # Anything still on its way, then a clean count.
        time.sleep(0.3)
        type(self).expected = self.device.received()
        if taken is not None:
            print(f"\n  capture followed in {taken:.3f} s", file=sys.stderr, end=" ")
        return taken

    def expect_followed(self, address, seed, what):
        taken = self.time_until_captured(address, seed)
        self.assertIsNotNone(taken, f"no ArtDmx reached the device after {what}")
        self.assertLess(taken, FOLLOW_LIMIT, f"capture took {taken:.2f} s to follow {what}")
        # Exactly once, and the host's own broadcasts leave on the interface.
        marker = art_dmx(30, seed=seed)
        self.peer.sendto(marker, (address, ARTNET_PORT))
        poll = art_poll()
        self.controller.send(poll)
        self.expect_device(marker, poll, note=f"after {what}")

    def expect_frame_from(self, address, seed):
        """A frame from the device reaches the host's Art-Net port from
        `address`, and comes back to the device once."""
        self.controller.drain()
        frame = art_dmx(60, seed=seed) + b"\r\n"
        self.device.send(frame)
        got = self.controller.receive(lambda data, sender: from_bridge(data, sender) and data == frame)
        self.assertIsNotNone(got, "the device's frame did not reach the host's port")
        self.assertEqual(got[1], (address, ARTNET_PORT))
        self.expect_device(frame, note="the device's frame, back once over lo")


class InterfaceChanges(FollowingCase):
    """The host name resolves to the address of the bridge's interface."""

    def test_1_start(self):
        expected = message("InitCompleted") + message("Running")
        self.assertEqual(self.bridge.wait_output(expected), expected)
        self.expect_device(ART_POLL_PROBE)
        self.expect_followed(BRIDGE_ADDRESS, 10, "the start")

    def test_2_a_recreated_interface(self):
        before = lab_.interface_index(self.lab.host_ns, self.lab.host_link)
        lab_.remove_host_link(self.lab)
        after = lab_.add_host_link(self.lab)
        self.assertNotEqual(after, before, "the interface kept its index: the test shows nothing")
        self.expect_followed(BRIDGE_ADDRESS, 20, "the interface was made again")
        self.expect_frame_from(BRIDGE_ADDRESS, 21)

    def test_3_an_interface_gone_for_a_while(self):
        # Gone longer than the once-a-second look for the address, which
        # finds nothing meanwhile. The device's side goes on: a frame it
        # sends cannot reach an address that is gone, and the bridge says so
        # as of any failed send (ENETUNREACH), once.
        lab_.remove_host_link(self.lab)
        self.device.send(art_dmx(40, seed=30) + b"\r\n")
        expected = message("InitCompleted") + message("Running") + message("SendProblem", ENETUNREACH)
        self.assertEqual(self.bridge.wait_output(expected), expected)
        time.sleep(2.5)
        self.assertTrue(self.bridge.running())
        lab_.add_host_link(self.lab)
        self.expect_followed(BRIDGE_ADDRESS, 31, "the interface came back")
        self.expect_frame_from(BRIDGE_ADDRESS, 32)

    def test_4_the_address_moves_name_first(self):
        # As DHCP moves it: the name resolves to the new address, the
        # interface takes it and lets the old one go (the controller's
        # address, a secondary one, stays).
        lab_.set_sysctl(self.lab.host_ns, f"net.ipv4.conf.{self.lab.host_link}.promote_secondaries=1")
        self.lab.host_address = MOVED_ADDRESS
        self.lab.set_hosts(resolves=True)
        lab_.ip("-n", self.lab.host_ns, "address", "add", f"{MOVED_ADDRESS}/24", "dev", self.lab.host_link)
        lab_.ip("-n", self.lab.host_ns, "address", "del", f"{BRIDGE_ADDRESS}/24", "dev", self.lab.host_link)
        self.expect_followed(MOVED_ADDRESS, 40, "the address moved")
        self.expect_frame_from(MOVED_ADDRESS, 41)

    def test_5_the_address_moves_first_then_the_name(self):
        # Now the interface changes first: every address of an adapter is
        # captured, so what comes to the address the interface took reaches
        # the device at once, though the name still resolves to one that no
        # interface holds...
        lab_.ip("-n", self.lab.host_ns, "address", "add", f"{BRIDGE_ADDRESS}/24", "dev", self.lab.host_link)
        lab_.ip("-n", self.lab.host_ns, "address", "del", f"{MOVED_ADDRESS}/24", "dev", self.lab.host_link)
        self.expect_followed(BRIDGE_ADDRESS, 50, "the address moved before the name")
        # ...and when the name follows, which no interface change announces,
        # nothing changes for the controller that polled.
        self.lab.host_address = BRIDGE_ADDRESS
        self.lab.set_hosts(resolves=True)
        self.expect_followed(BRIDGE_ADDRESS, 60, "the host name moved")
        self.expect_frame_from(BRIDGE_ADDRESS, 61)

    def test_9_nothing_else_on_the_console(self):
        self.assert_console_holds_only(
            message("InitCompleted") + message("Running") + message("SendProblem", ENETUNREACH))


class LoopbackHostInterfaceChanges(FollowingCase):
    """The host name resolves to 127.0.1.1: the interface of the default
    route is captured beside lo, and followed as the route comes back."""

    lab_options = {"host_address": "127.0.1.1", "default_route": True}

    def test_1_start(self):
        expected = message("InitCompleted") + message("Running")
        self.assertEqual(self.bridge.wait_output(expected), expected)
        self.expect_device(ART_POLL_PROBE)
        self.expect_followed(BRIDGE_ADDRESS, 110, "the start")

    def test_2_a_recreated_interface(self):
        before = lab_.interface_index(self.lab.host_ns, self.lab.host_link)
        lab_.remove_host_link(self.lab)  # The default route goes with it.
        self.assertNotEqual(lab_.add_host_link(self.lab), before)
        lab_.ip("-n", self.lab.host_ns, "route", "add", "default", "via", lab_.PEER_ADDRESS)
        self.expect_followed(BRIDGE_ADDRESS, 120, "the interface and its default route came back")

    def test_9_nothing_else_on_the_console(self):
        self.assert_console_holds_only()


if __name__ == "__main__":
    lab_.run_tests()
