"""Where the lab finds the programs it runs, and the address plan of every
lab: the addresses, the host name, the port name, and how long to wait."""

import os


SKIP = 77

SOURCE_DIR = os.environ.get("ARTNET_SOURCE_DIR") or os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))
BUILD_DIR = os.environ.get("ARTNET_BUILD_DIR") or os.path.join(SOURCE_DIR, "build", "linux")
BRIDGE = os.path.join(BUILD_DIR, "artnet-serial-bridge")
SIMULATOR = os.path.join(BUILD_DIR, "tools", "artnet-device-sim")
WITHOUT_SERIAL_PORTS = os.path.join(SOURCE_DIR, "tools", "without-serial-ports")

# The address plan of every lab.
BRIDGE_ADDRESS = "10.77.0.1"
CONTROLLER_ADDRESS = "10.77.0.2"
PEER_ADDRESS = "10.77.0.3"
BROADCAST_ADDRESS = "10.77.0.255"
# A lab with a lighting network (Lab(lighting=True), add_lighting_adapter):
# a second adapter of the host, on Art-Net's 2.x.x.x network, with a
# console across it.
LIGHTING_ADDRESS = "2.0.0.1"
CONSOLE_ADDRESS = "2.0.0.50"
LIGHTING_BROADCAST = "2.255.255.255"
HOST_NAME = "artnet-lab"
ARTNET_PORT = 6454
PORT_NAME = "ttyUSB0"
# A second device's port, listed after the first: two bridges side by side.
SECOND_PORT_NAME = "ttyUSB1"

# How long to wait for anything that should happen at once. Generous: the
# machine may be busy, and a wait ends as soon as its event comes.
DEADLINE = 20.0
