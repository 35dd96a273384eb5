"""The lab: a throwaway world in which the real, unmodified bridge runs with a
device on its serial port and Art-Net peers on its network. The end-to-end
tests (tests/*_test.py), the demo (scripts/demo) and the benchmark
(bench/run) are all built on it.

A Lab builds (as root) and always tears down:
  - two network namespaces joined by a veth pair. In the "host" one the bridge
    runs; its side of the pair holds the bridge's address (BRIDGE_ADDRESS, the
    first one) and a second one for a controller on the same host
    (CONTROLLER_ADDRESS): common controllers ignore Art-Net replies whose
    source is their own address. In the "network" one, across the wire, a peer
    holds PEER_ADDRESS. IPv6 is off in both, so nothing but what a test sends
    crosses the link the bridge captures.
  - the bridge's namespaces, held open by one process that everything started
    "inside" joins: that network namespace, a UTS namespace whose host name
    (HOST_NAME) resolves through a private /etc/hosts to the lab's address,
    and the mount namespace of tools/without-serial-ports, in which the
    machine's own serial ports can be neither seen nor opened. That script is
    the one place that hides them.
  - the device, as the only serial port there: a pty bound over /dev/ttyUSB0
    and listed under /sys/class/tty. Either the simulator's pty
    (start_device: artnet-device-sim is the device) or one whose two ends the
    caller holds (hold_port: the caller plays the device, as the benchmark's
    timing peer does).

Processes are started through the lab, or as Device and Bridge wrap them, and
ended by terminate(), by their PID only.
"""

from .plan import *  # noqa: F401,F403
from .packets import *  # noqa: F401,F403
from .processes import *  # noqa: F401,F403
from .namespaces import *  # noqa: F401,F403
from .bridge import *  # noqa: F401,F403
from .peers import *  # noqa: F401,F403
from .world import *  # noqa: F401,F403
from .cases import *  # noqa: F401,F403
