"""The benchmark's throwaway world: two network namespaces joined by a veth
pair, a pty whose slave is /dev/ttyUSB0, and the forwarders under test.

Runs inside tools/without-serial-ports (a private mount namespace with a /dev
and a /sys/class/tty of its own), so the bridge's port discovery finds only
the pty, and mounts made here (the port, the hosts file) vanish with it.

    bridge namespace  veth 10.77.0.1/24 (the bridge's address, its host name's)
                           10.77.0.3/24 (a second address, the flood's target)
    peer namespace    veth 10.77.0.2/24 (the controller across the wire)
"""

import contextlib
import fcntl
import json
import os
import re
import signal
import subprocess
import termios
import time
import tty

BRIDGE_ADDRESS = "10.77.0.1"
SECOND_ADDRESS = "10.77.0.3"
PEER_ADDRESS = "10.77.0.2"
HOST_NAME = "artnet-bench"
PORT_PATH = "/dev/ttyUSB0"


def run(*command, **kwargs):
    return subprocess.run(command, check=True, **kwargs)


class Lab:
    def __init__(self, build_dir, work_dir, log):
        self.build_dir = build_dir
        self.work_dir = work_dir
        self.log = log
        tag = "abn%d" % os.getpid()
        self.bridge_ns = tag + "b"
        self.peer_ns = tag + "p"
        self.bridge_ns_path = "/run/netns/" + self.bridge_ns
        self.peer_ns_path = "/run/netns/" + self.peer_ns
        self.veth = (tag + "b0", tag + "p0")
        self.master = self.slave = None
        self.peer_path = os.path.join(build_dir, "bench", "artnet-bench-peer")
        self.bridge_path = os.path.join(build_dir, "artnet-serial-bridge")

    # --- set-up and clean-up -------------------------------------------------

    def __enter__(self):
        try:
            self._make_network()
            self._make_port()
            self._make_host_name()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _make_network(self):
        run("ip", "netns", "add", self.bridge_ns)
        run("ip", "netns", "add", self.peer_ns)
        inside, outside = self.veth
        run("ip", "link", "add", inside, "netns", self.bridge_ns, "type", "veth",
            "peer", "name", outside, "netns", self.peer_ns)
        for ns, device, addresses in ((self.bridge_ns, inside, (BRIDGE_ADDRESS, SECOND_ADDRESS)),
                                      (self.peer_ns, outside, (PEER_ADDRESS,))):
            # No IPv6 chatter (router solicitations, DAD) on the captured link.
            self.in_ns(ns, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1")
            for address in addresses:
                run("ip", "-n", ns, "addr", "add", address + "/24", "dev", device)
            run("ip", "-n", ns, "link", "set", device, "up")
            run("ip", "-n", ns, "link", "set", "lo", "up")

    def _make_port(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        slave_path = os.ttyname(self.slave)
        with open(PORT_PATH, "w"):
            pass
        run("mount", "--bind", slave_path, PORT_PATH)
        # The bridge lists the ttys under /sys/class/tty that have a device
        # behind them, as a USB serial adapter has.
        os.makedirs("/sys/class/tty/ttyUSB0/device", exist_ok=True)

    def _make_host_name(self):
        hosts = os.path.join(self.work_dir, "hosts")
        with open(hosts, "w") as f:
            f.write("127.0.0.1 localhost\n%s %s\n" % (BRIDGE_ADDRESS, HOST_NAME))
        run("mount", "--bind", hosts, "/etc/hosts")

    def close(self):
        for ns in (self.bridge_ns, self.peer_ns):
            subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)
        for fd in (self.master, self.slave):
            if fd is not None:
                with contextlib.suppress(OSError):
                    os.close(fd)
        self.master = self.slave = None

    def in_ns(self, ns, *command, **kwargs):
        # nsenter, not "ip netns exec": that one remounts /sys, which would
        # bring the machine's real ports back into view.
        return run("nsenter", "--net=/run/netns/" + ns, *command, **kwargs)

    # --- the peer ------------------------------------------------------------

    def peer(self, subcommand, timeout=900, **options):
        """Runs the peer with the pty's two ends; returns its JSON line."""
        command = [self.peer_path, subcommand, "--device", str(self.master),
                   "--slave", str(self.slave)]
        for name, value in options.items():
            command += ["--" + name.replace("_", "-"), str(value)]
        result = subprocess.run(command, pass_fds=(self.master, self.slave),
                                stdout=subprocess.PIPE, timeout=timeout, check=True, text=True)
        lines = [line for line in result.stdout.splitlines() if line.startswith("{")]
        return json.loads(lines[-1])

    @staticmethod
    def pin(pid, cpu):
        """Keeps every thread of `pid` on processor `cpu` (None: on any)."""
        cpus = {cpu} if cpu is not None else os.sched_getaffinity(0)
        for task in os.listdir("/proc/%d/task" % pid):
            os.sched_setaffinity(int(task), cpus)

    def socket_drops(self, pid):
        """Packets the kernel dropped because a socket of `pid` (a packet or
        UDP socket in the bridge's namespace) had a full receive buffer."""
        return sum(drops for drops, _ in self._socket_memory(pid))

    def receive_buffer(self, pid):
        """The receive buffer size (bytes) of the first such socket."""
        sockets = self._socket_memory(pid)
        return sockets[0][1] if sockets else 0

    def _socket_memory(self, pid):
        out = subprocess.run(["nsenter", "--net=" + self.bridge_ns_path, "ss", "-0", "-u", "-a",
                              "-m", "-n", "-p"], capture_output=True, text=True).stdout
        # Each socket's skmem comes on its line, or (UDP) on the next one.
        sockets = []
        owner = False
        for line in out.splitlines():
            if not line.startswith((" ", "\t")):
                owner = "pid=%d," % pid in line
            found = re.search(r"skmem:\(.*\brb(\d+),.*\bd(\d+)\)", line)
            if owner and found:
                sockets.append((int(found.group(2)), int(found.group(1))))
        return sockets

    # --- forwarders ----------------------------------------------------------

    @contextlib.contextmanager
    def socat(self, *addresses):
        """socat -u in the bridge's namespace, for the life of the block."""
        process = subprocess.Popen(
            ["nsenter", "--net=" + self.bridge_ns_path, "socat", "-u", *addresses],
            stdin=subprocess.DEVNULL, stderr=self.log)
        try:
            self._wait_for_port_open(process.pid)
            yield process.pid
        finally:
            self._end(process)

    @contextlib.contextmanager
    def bridge(self):
        """The real bridge in the bridge's namespace, with a host name that
        resolves to its address. Yields its PID once it is running."""
        log_path = os.path.join(self.work_dir, "bridge-%d.log" % time.monotonic_ns())
        log = open(log_path, "wb")
        os.set_blocking(self.master, False)
        while _read_some(self.master):
            pass
        process = subprocess.Popen(
            ["nsenter", "--net=" + self.bridge_ns_path, "unshare", "--uts", "sh", "-c",
             'hostname "$0" && exec "$1"', HOST_NAME, self.bridge_path],
            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        try:
            self._wait_for_probe_and_running(process, log_path)
            yield process.pid
        finally:
            self._end(process)
            log.close()
            # The bridge marks its port exclusive, and on a pty the mark
            # outlives it while the other end is open: lift it for the next.
            fcntl.ioctl(self.slave, termios.TIOCNXCL)
            self.bridge_log = open(log_path, "rb").read()

    def _wait_for_probe_and_running(self, process, log_path):
        deadline = time.monotonic() + 20
        probe = b""
        while time.monotonic() < deadline:
            if process.poll() is not None:
                raise RuntimeError("the bridge ended at start-up: %r"
                                   % open(log_path, "rb").read())
            probe += _read_some(self.master)
            if len(probe) >= 14 and b"running normally" in open(log_path, "rb").read():
                return
            time.sleep(0.02)
        raise RuntimeError("the bridge did not start: probe %r, output %r"
                           % (probe, open(log_path, "rb").read()))

    def _wait_for_port_open(self, pid):
        slave_path = os.ttyname(self.slave)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with contextlib.suppress(OSError):
                for fd in os.listdir("/proc/%d/fd" % pid):
                    target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
                    if target in (slave_path, PORT_PATH):
                        time.sleep(0.1)  # Its socket is made before the port is opened.
                        return
            time.sleep(0.01)
        raise RuntimeError("socat did not open the port")

    @staticmethod
    def _end(process):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def _read_some(fd):
    try:
        return os.read(fd, 65536)
    except (BlockingIOError, OSError):
        return b""


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False
