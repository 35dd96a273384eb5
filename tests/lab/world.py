"""The Lab: the throwaway world one bridge runs in (network namespaces joined
by a veth pair, the bridge's host name and hidden serial ports, its device),
and the bridge's network changing under it."""

import fcntl
import os
import random
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import tty

from .bridge import Bridge, Port, bind_port, start_simulator, unbind_port
from .namespaces import interface_index, ip, network_namespace, ns_path
from .peers import Controller
from .plan import (BRIDGE, BRIDGE_ADDRESS, CONSOLE_ADDRESS, CONTROLLER_ADDRESS, HOST_NAME, LIGHTING_ADDRESS,
                   PEER_ADDRESS, PORT_NAME, WITHOUT_SERIAL_PORTS)
from .processes import end_processes_in, terminate, wait_until

# The pty ioctls of unlockpt() and ptsname() (the generic encoding: x86, Arm).
_TIOCGPTN = 0x80045430
_TIOCSPTLCK = 0x40045431


class Lab:
    """Namespaces, veth pair, host name and serial port for one bridge at a
    time. Use as a context manager; everything it made is removed on leaving.
    `host_address` is what the host name resolves to; `default_route` gives
    the bridge's host a default route through the peer; `broadcast` gives
    the addresses their broadcast address, as DHCP does (OLA finds nodes
    only with one). `host_addresses` are those of the host's side of the
    pair. `lighting` gives the host a second adapter, on a lighting network
    of its own (add_lighting_adapter)."""

    def __init__(self, host_address=BRIDGE_ADDRESS, default_route=False, broadcast=False,
                 host_addresses=(BRIDGE_ADDRESS, CONTROLLER_ADDRESS), lighting=False):
        self.host_address = host_address
        self.default_route = default_route
        self.broadcast = broadcast
        self.host_addresses = tuple(host_addresses)
        self.lighting = lighting
        tag = f"{os.getpid() & 0xFFFF:04x}{random.randrange(0x10000):04x}"
        self.host_ns = f"artnet-lab-{tag}-host"
        self.network_ns = f"artnet-lab-{tag}-net"
        self.lighting_ns = f"artnet-lab-{tag}-light"
        self.host_link = f"alh{tag}"
        self.network_link = f"aln{tag}"
        self.lighting_link = f"all{tag}"
        self.console_link = f"alc{tag}"
        self.lighting_made = False
        self.directory = None
        self.holder = None
        self.processes = []
        self.device = None
        self.port = None

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self):
        self.directory = tempfile.mkdtemp(prefix="artnet-lab-")
        os.chmod(self.directory, 0o755)
        ip("netns", "add", self.host_ns)
        ip("netns", "add", self.network_ns)
        ip("link", "add", self.host_link, "netns", self.host_ns, "type", "veth",
            "peer", "name", self.network_link, "netns", self.network_ns)
        for namespace, link, addresses in ((self.host_ns, self.host_link, self.host_addresses),
                                           (self.network_ns, self.network_link, (PEER_ADDRESS,))):
            # Before the link comes up: no router solicitations, no duplicate
            # address detection.
            subprocess.run(["nsenter", f"--net={self.ns_path(namespace)}", "sysctl", "-qw",
                            "net.ipv6.conf.all.disable_ipv6=1"], check=True)
            ip("-n", namespace, "link", "set", "lo", "up")
            for address in addresses:
                ip("-n", namespace, "address", "add", f"{address}/24", *_broadcast(self), "dev", link)
            ip("-n", namespace, "link", "set", link, "up")
        if self.default_route:
            ip("-n", self.host_ns, "route", "add", "default", "via", PEER_ADDRESS)
        if self.lighting:
            add_lighting_adapter(self)
        self.set_hosts(resolves=True)

        # A process that holds the bridge's namespaces open; everything else
        # enters them through its PID. ip, unshare, the script and sh all exec
        # in turn, so the PID is that of the final sleep.
        script = 'hostname "$1" && mount --bind "$2" /etc/hosts && echo ready && exec sleep infinity'
        self.holder = subprocess.Popen(
            ["ip", "netns", "exec", self.host_ns, "unshare", "--uts", WITHOUT_SERIAL_PORTS,
             "sh", "-c", script, "holder", HOST_NAME, self.hosts_path],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        if self.holder.stdout.readline().strip() != b"ready":
            raise RuntimeError("could not set up the bridge's namespaces")
        # Wait until the peer side answers, so the first packets are not lost
        # to neighbour discovery on a slow machine.
        self.wait_link()

    def wait_link(self):
        up = _link_up
        if not wait_until(lambda: up(self.host_ns, self.host_link) and up(self.network_ns, self.network_link),
                          interval=0.02):
            raise RuntimeError("the veth pair did not come up")

    ns_path = staticmethod(ns_path)

    @property
    def hosts_path(self):
        return os.path.join(self.directory, "hosts")

    def set_hosts(self, resolves):
        """Writes the bridge's hosts file in place: the host name resolves to
        the lab's address, or not at all."""
        lines = "127.0.0.1\tlocalhost\n"
        if resolves:
            lines += f"{self.host_address}\t{HOST_NAME}\n"
        with open(self.hosts_path, "r+" if os.path.exists(self.hosts_path) else "w") as hosts:
            hosts.seek(0)
            hosts.write(lines)
            hosts.truncate()

    def _inside(self, *namespaces):
        """The command prefix that enters the bridge's namespaces."""
        return ["nsenter", "-t", str(self.holder.pid), *namespaces, "--"]

    def popen_inside(self, command, **kwargs):
        """Starts a command in the bridge's namespaces (network, mount, UTS).
        nsenter execs it: the process's PID is the command's."""
        process = subprocess.Popen([*self._inside("-n", "-m", "-u"), *command], **kwargs)
        self.processes.append(process)
        return process

    def popen_in(self, namespace, command, **kwargs):
        """Starts a command in one network namespace only (e.g. tshark)."""
        process = subprocess.Popen(["ip", "netns", "exec", namespace, *command], **kwargs)
        self.processes.append(process)
        return process

    def start_device(self, *options, name=PORT_NAME, **wire):
        """Starts the simulator as the device: its pty is the serial port
        /dev/NAME, the only one the bridge can find unless another device is
        started on another name (SECOND_PORT_NAME: two devices, for two
        bridges). `wire` is for simulator_options():
        start_device(baud=WIRE_BAUD, timestamps=True) is a device on the real
        link's wire. `device` is the last one started."""
        self.device = start_simulator("--address", self.host_address, *options,
                                      enter=self._inside("-n", "-m", "-u"), **wire)
        self.processes.append(self.device.process)
        bind_port(self.device.path, name=name, enter=self._inside("-m"))
        return self.device

    def plug_device(self, *options, name=PORT_NAME, **wire):
        """A device plugged in while the bridge runs: starts the simulator as
        start_device does, but binds its pty as /dev/NAME (the last device's
        port must have been unplugged). Returns the Device and the moment
        (CLOCK_MONOTONIC nanoseconds) just before its port appeared."""
        self.device = start_simulator("--address", self.host_address, *options,
                                      enter=self._inside("-n", "-m", "-u"), **wire)
        self.processes.append(self.device.process)
        appeared = time.monotonic_ns()
        bind_port(self.device.path, name=name, enter=self._inside("-m"))
        return self.device, appeared

    def unplug_port(self, name=PORT_NAME):
        """Removes /dev/NAME and its /sys/class/tty entry, as the kernel does
        when an adapter goes."""
        unbind_port(name, enter=self._inside("-m"))

    def hold_port(self):
        """Makes a pty whose two ends the caller holds (a Port) the only serial
        port the bridge can find, /dev/ttyUSB0."""
        # The pty must belong to the private /dev/pts of the bridge's mount
        # namespace, so it is opened through the holder's root.
        root = f"/proc/{self.holder.pid}/root"
        master = os.open(f"{root}/dev/ptmx", os.O_RDWR | os.O_NOCTTY)
        try:
            fcntl.ioctl(master, _TIOCSPTLCK, struct.pack("i", 0))
            number = struct.unpack("I", fcntl.ioctl(master, _TIOCGPTN, bytes(4)))[0]
            slave = os.open(f"{root}/dev/pts/{number}", os.O_RDWR | os.O_NOCTTY)
        except BaseException:
            os.close(master)
            raise
        self.port = Port(master, slave)
        tty.setraw(slave)
        bind_port(f"/dev/pts/{number}", enter=self._inside("-m"))
        return self.port

    def start_bridge(self, user=None, stdin=subprocess.DEVNULL, arguments=()):
        """Starts the real bridge, unmodified and (unless `arguments` are
        given, which it must ignore) without arguments. `user` runs it as an
        unprivileged user id instead of root."""
        command = [BRIDGE, *arguments]
        if user is not None:
            # Somewhere an unprivileged user may run it from.
            copy = os.path.join(self.directory, "artnet-serial-bridge")
            if not os.path.exists(copy):
                shutil.copy(BRIDGE, copy)
                os.chmod(copy, 0o755)
            command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", copy, *arguments]
        # The locale only chooses the console's encoding: the C locale gets
        # UTF-8. A sanitizer's options pass through to a sanitized build.
        environment = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C"}
        environment.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
        process = self.popen_inside(command, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    env=environment)
        return Bridge(process)

    def socket(self, where, kind=socket.SOCK_DGRAM):
        """An IPv4 socket in the "host", "network" or "lighting" namespace."""
        namespace = {"host": self.host_ns, "network": self.network_ns, "lighting": self.lighting_ns}[where]
        with network_namespace(namespace):
            return socket.socket(socket.AF_INET, kind)

    def controller(self):
        """A controller in the bridge's namespace, as lighting software runs:
        port 6454 on every address, broadcasts allowed, sending from
        CONTROLLER_ADDRESS."""
        return Controller(self.socket("host"))

    def close(self):
        for process in reversed(self.processes):
            terminate(process)
        # Whatever else still runs in the lab's network namespaces was
        # started there by the lab's user, directly or not (a daemon a client
        # forked): it ends with them, by its PID, instead of holding them
        # alive once their names are gone.
        for namespace in (self.host_ns, self.network_ns) + ((self.lighting_ns,) if self.lighting_made else ()):
            end_processes_in(namespace, spare=self.holder.pid if self.holder else None)
        terminate(self.holder)
        if self.port:
            self.port.close()
        for namespace in (self.host_ns, self.network_ns, self.lighting_ns):
            if namespace != self.lighting_ns or self.lighting_made:
                subprocess.run(["ip", "netns", "del", namespace], capture_output=True)
        if self.directory:
            shutil.rmtree(self.directory, ignore_errors=True)


def _link_up(namespace, link):
    """Whether the kernel has activated a link that came up: until it has,
    its queue drops every packet, a moment after "ip link set up" returns."""
    shown = subprocess.run(["ip", "-n", namespace, "-o", "link", "show", "dev", link],
                           capture_output=True, text=True).stdout
    return "state UP" in shown and "qdisc noop" not in shown


def _broadcast(lab):
    """The option that gives an address its broadcast address, where the lab
    wants one."""
    return ["brd", "+"] if lab.broadcast else []


def remove_host_link(lab):
    """Deletes the veth pair, as an adapter unplugged."""
    ip("-n", lab.host_ns, "link", "del", lab.host_link)  # Its peer goes with it.


def add_host_link(lab, addresses=(BRIDGE_ADDRESS, CONTROLLER_ADDRESS)):
    """Makes the veth pair again, with the same names, the host's side with
    `addresses`, as a replugged adapter comes back: its interface index is a
    new one. Returns the new index once the pair is up."""
    ip("link", "add", lab.host_link, "netns", lab.host_ns, "type", "veth",
        "peer", "name", lab.network_link, "netns", lab.network_ns)
    for namespace, link, held in ((lab.host_ns, lab.host_link, addresses),
                                  (lab.network_ns, lab.network_link, (PEER_ADDRESS,))):
        for address in held:
            ip("-n", namespace, "address", "add", f"{address}/24", *_broadcast(lab), "dev", link)
        ip("-n", namespace, "link", "set", link, "up")
    lab.wait_link()
    return interface_index(lab.host_ns, lab.host_link)


def add_lighting_adapter(lab):
    """Gives the bridge's host a second adapter, as a USB network adapter
    plugged in for the lighting network: a veth pair to a namespace of its
    own, the host's side holding LIGHTING_ADDRESS/8 and the console's side
    CONSOLE_ADDRESS/8, both with their broadcast address, as lighting
    networks are set up. Returns once the pair is up."""
    if not lab.lighting_made:
        ip("netns", "add", lab.lighting_ns)
        lab.lighting_made = True
        subprocess.run(["nsenter", f"--net={ns_path(lab.lighting_ns)}", "sysctl", "-qw",
                        "net.ipv6.conf.all.disable_ipv6=1"], check=True)
        ip("-n", lab.lighting_ns, "link", "set", "lo", "up")
    subprocess.run(["nsenter", f"--net={ns_path(lab.host_ns)}", "sysctl", "-qw",
                    "net.ipv6.conf.all.disable_ipv6=1"], check=True)
    ip("link", "add", lab.lighting_link, "netns", lab.host_ns, "type", "veth",
       "peer", "name", lab.console_link, "netns", lab.lighting_ns)
    for namespace, link, address in ((lab.host_ns, lab.lighting_link, LIGHTING_ADDRESS),
                                     (lab.lighting_ns, lab.console_link, CONSOLE_ADDRESS)):
        ip("-n", namespace, "address", "add", f"{address}/8", "brd", "+", "dev", link)
        ip("-n", namespace, "link", "set", link, "up")
    up = _link_up
    if not wait_until(lambda: up(lab.host_ns, lab.lighting_link) and up(lab.lighting_ns, lab.console_link),
                      interval=0.02):
        raise RuntimeError("the lighting adapter did not come up")
