"""The demo (scripts/demo, or `python3 -m lab` in tests/): an ArtPoll crosses
the bridge, its reply comes back, and everything that crossed is printed."""

import time

from .cases import require_lab
from .packets import ART_POLL_PROBE, ARTNET_ID, art_poll, message
from .peers import reply_from_bridge
from .plan import ARTNET_PORT, BRIDGE_ADDRESS, BROADCAST_ADDRESS, CONTROLLER_ADDRESS, HOST_NAME, PORT_NAME
from .processes import stop_on_sigterm, whole_lines
from .world import Lab


OPCODE_NAMES = {0x2000: "ArtPoll", 0x2100: "ArtPollReply", 0x5000: "ArtDmx", 0x5200: "ArtSync"}


def describe(data):
    """A short account of bytes that crossed the serial link."""
    what = f"{len(data)} bytes"
    if data.startswith(ARTNET_ID) and len(data) >= 10:
        opcode = data[8] | data[9] << 8
        what += f", Art-Net {OPCODE_NAMES.get(opcode, f'OpCode 0x{opcode:04x}')}"
    if data.endswith(b"\r\n"):
        what += ", ending in CR LF"
    return what


def _show(title, text):
    print(f"\n== {title}")
    print(text.rstrip("\n") if text else "(nothing)")


def _hex_lines(data, width=32):
    return "\n".join("    " + data[i:i + width].hex(" ") for i in range(0, len(data), width))


def demo():
    require_lab()
    stop_on_sigterm()
    print("Setting up throwaway namespaces: the bridge's host, and a network behind a veth pair.")
    with Lab() as lab:
        controller = lab.controller()
        device = lab.start_device()
        print(f"The simulated device is on {device.path}; the bridge finds it as /dev/{PORT_NAME}, "
              "the only serial port it can see.")
        print(f"Starting the bridge on host '{HOST_NAME}' ({BRIDGE_ADDRESS}).")
        bridge = lab.start_bridge()
        bridge.wait_output(message("InitCompleted") + message("Running"))
        startup_reply = reply_from_bridge(controller)
        poll = art_poll()
        print(f"A controller at {CONTROLLER_ADDRESS} broadcasts an ArtPoll to {BROADCAST_ADDRESS}:{ARTNET_PORT}.")
        controller.send(poll)
        received = device.wait_received(len(ART_POLL_PROBE) + len(poll))
        reply = reply_from_bridge(controller)
        time.sleep(0.2)

        _show("The bridge's console", bridge.output().decode("utf-8", errors="replace").replace("\r\n", "\n"))
        lines = []
        for line in whole_lines(device.log().encode()):
            direction, _, text = line.partition(" ")
            data = bytes.fromhex(text)
            arrow = "network -> device" if direction == "rx" else "device -> network"
            note = " (the bridge's start-up probe)" if not lines and data == ART_POLL_PROBE else ""
            lines.append(f"{arrow}: {describe(data)}{note}\n{_hex_lines(data)}")
        _show("What crossed the serial link (the device's log)", "\n".join(lines))
        if startup_reply is not None:
            _show("The controller received, after the start-up probe",
                  f"{describe(startup_reply[0])}; from {startup_reply[1][0]}:{startup_reply[1][1]}")
        if reply is None:
            _show("The controller received, after its ArtPoll", "")
            return 1
        data, sender = reply
        short_name = data[26:44].split(b"\0")[0].decode(errors="replace")
        _show("The controller received, after its ArtPoll",
              f"{describe(data)}; from {sender[0]}:{sender[1]} (node name '{short_name}')\n{_hex_lines(data)}")
        probe_ok = received[:len(ART_POLL_PROBE)] == ART_POLL_PROBE
        poll_ok = received[len(ART_POLL_PROBE):] == poll
        print(f"\nThe device got the 14-byte probe first: {'yes' if probe_ok else 'NO'}; "
              f"then the controller's ArtPoll, byte for byte: {'yes' if poll_ok else 'NO'}.")
        print("Removing the namespaces.")
        return 0 if probe_ok and poll_ok else 1
