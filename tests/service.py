"""What the service manager sees of the bridge, and what it gives it, for the
tests that run the bridge as systemd would (service_test.py: started by
root; package_test.py: the installed package, through its unit) on machines
where no systemd runs:

  - NotifySocket plays the manager's end of the notification protocol
    (sd_notify: READY=1, STATUS=..., STOPPING=1);
  - thread_rights() reads a process's identity and capabilities, thread by
    thread, from /proc;
  - Unit reads a unit file, and unit_command() turns it into the command
    line that gives a program what the unit gives it: its user and groups,
    its capabilities, no_new_privs, and its system call and address family
    filters (applied by unit_filter.py, just before the bridge starts);
  - ServiceCase is the run both tests share: ready, no capability left,
    traffic both ways in the status line, a device unplugged and plugged in
    again, a stop.
"""

import os
import re
import shutil
import socket
import struct
import subprocess
import threading
import time
import unittest

import lab as lab_

# The capabilities' numbers, as /proc shows them in its masks.
CAPABILITIES = {"CAP_NET_RAW": 13}
UNIT_FILTER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "unit_filter.py")
# An AF_UNIX datagram socket's credentials message (SCM_CREDENTIALS).
_SO_PASSCRED = 16
_SCM_CREDENTIALS = 2
# The kernel's stamp of a datagram's sending (SO_TIMESTAMPNS, CLOCK_REALTIME).
_SO_TIMESTAMPNS = 35


class NotifySocket:
    """The manager's end of the notification socket: an AF_UNIX datagram
    socket at a path, or with an abstract name ("@..."), which is local to
    the network namespace it is made in. Collects each datagram with the
    time it was sent and the sender's PID, as systemd checks it
    (NotifyAccess=main)."""

    def __init__(self, address, namespace=None):
        self.address = address
        if namespace is None:
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        else:
            with lab_.network_namespace(namespace):
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, _SO_PASSCRED, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, _SO_TIMESTAMPNS, 1)
        self.sock.bind("\0" + address[1:] if address.startswith("@") else address)
        if not address.startswith("@"):
            os.chmod(address, 0o777)
        # (when it was sent, in monotonic seconds, sender PID, text): the
        # kernel's stamp, so that a busy machine's late reads move nothing.
        self._messages = []
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._receive, daemon=True)
        self._thread.start()

    def _receive(self):
        while True:
            try:
                data, ancillary, _, _ = self.sock.recvmsg(4096, socket.CMSG_SPACE(12) + socket.CMSG_SPACE(16))
            except OSError:
                return
            pid = None
            sent = time.monotonic()
            for level, kind, payload in ancillary:
                if level == socket.SOL_SOCKET and kind == _SCM_CREDENTIALS:
                    pid = struct.unpack("=iII", payload[:12])[0]
                if level == socket.SOL_SOCKET and kind == _SO_TIMESTAMPNS:
                    seconds, nanoseconds = struct.unpack("=qq", payload[:16])
                    sent -= time.time() - (seconds + nanoseconds / 1e9)
            with self._changed:
                self._messages.append((sent, pid, data.decode(errors="replace")))
                self._changed.notify_all()

    def messages(self):
        with self._changed:
            return list(self._messages)

    def statuses(self):
        """The STATUS= lines so far, as (time, line)."""
        return [(at, text[len("STATUS="):]) for at, _, text in self.messages() if text.startswith("STATUS=")]

    def wait_for(self, predicate, timeout=lab_.DEADLINE):
        """Waits until predicate(messages) holds; returns the messages."""
        end = time.monotonic() + timeout
        with self._changed:
            while not predicate(self._messages):
                left = end - time.monotonic()
                if left <= 0:
                    break
                self._changed.wait(left)
            return list(self._messages)

    def wait_message(self, text, timeout=lab_.DEADLINE):
        """The first datagram that is exactly `text`, as (time, PID, text), or None."""
        found = [m for m in self.wait_for(lambda ms: any(m[2] == text for m in ms), timeout) if m[2] == text]
        return found[0] if found else None

    def wait_status(self, pattern, timeout=lab_.DEADLINE):
        """The first STATUS line that matches the regular expression, or None."""
        def match(messages):
            return [m[2][7:] for m in messages if m[2].startswith("STATUS=") and re.search(pattern, m[2][7:])]
        found = match(self.wait_for(lambda ms: match(ms), timeout))
        return found[0] if found else None

    def close(self):
        self.sock.close()
        if not self.address.startswith("@"):
            try:
                os.unlink(self.address)
            except FileNotFoundError:
                pass


def status_pattern(device=r"device /dev/ttyUSB0", to_device=r"\d+", dropped=r"\d+", to_network=r"\d+",
                   failed=r"\d+", universes=r"[0-9,.-]+|all", other=r"\d+", noise=r"\d+",
                   capturing=r"(?:nothing|[0-9.]+(?: [0-9.]+)*)"):
    """A regular expression for a whole status line."""
    return (rf"^artnet-serial-bridge [0-9][0-9.]*: {device}, capturing {capturing}, universes (?:{universes}), "
            rf"wire \d+%, to device {to_device}, dropped {dropped}, other universes {other}, "
            rf"to network {to_network}, failed sends {failed}, line noise {noise} bytes$")


def thread_rights(pid):
    """For each thread of process `pid`, the lines of /proc that say who it
    is and what it may do: Uid, Gid, Groups, the Cap* masks as numbers,
    NoNewPrivs and Seccomp."""
    rights = {}
    for task in sorted(os.listdir(f"/proc/{pid}/task")):
        fields = {}
        try:
            with open(f"/proc/{pid}/task/{task}/status") as status:
                for line in status:
                    key, _, value = line.partition(":")
                    fields[key] = value.strip()
        except FileNotFoundError:
            continue  # A thread that ended meanwhile.
        rights[int(task)] = {
            "Uid": fields["Uid"].split(), "Gid": fields["Gid"].split(),
            "Groups": sorted(int(g) for g in fields["Groups"].split()),
            **{key: int(fields[key], 16) for key in ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb")},
            "NoNewPrivs": int(fields["NoNewPrivs"]), "Seccomp": int(fields["Seccomp"]),
        }
    return rights


def mask(names):
    """The /proc mask of capabilities named as a unit names them."""
    value = 0
    for name in names:
        value |= 1 << CAPABILITIES[name.upper()]
    return value


class Unit:
    """A unit file's settings: each key's values in order, for keys given
    more than once (SystemCallFilter=) as for the others."""

    def __init__(self, path):
        self.path = path
        self.settings = {}
        with open(path) as unit:
            for line in unit:
                line = line.strip()
                if not line or line.startswith(("#", ";", "[")):
                    continue
                key, _, value = line.partition("=")
                self.settings.setdefault(key.strip(), []).append(value.strip())

    def get(self, key, default=None):
        values = self.settings.get(key)
        return values[-1] if values else default

    def words(self, key):
        return [word for value in self.settings.get(key, []) for word in value.split()]


def _syscall_groups():
    """systemd's system call groups ("@system-service": its calls and groups)."""
    listing = subprocess.run(["systemd-analyze", "syscall-filter"], check=True, capture_output=True,
                             text=True).stdout
    groups = {}
    current = None
    for line in listing.splitlines():
        if line.startswith("@"):
            current = groups.setdefault(line.strip(), [])
        elif current is not None and line.strip() and not line.strip().startswith("#"):
            current.append(line.strip())
    return groups


def allowed_syscalls(unit):
    """The system calls a unit's SystemCallFilter= lets through, as systemd
    reads it: the first line an allow list, each later line adding to it or,
    after "~", taking from it; plus the calls systemd always allows."""
    groups = _syscall_groups()

    def expand(names, seen=()):
        calls = set()
        for name in names:
            if name.startswith("@"):
                if name not in seen:
                    calls |= expand(groups[name], (*seen, name))
            else:
                calls.add(name)
        return calls

    allowed = set()
    for value in unit.settings.get("SystemCallFilter", []):
        if value.startswith("~"):
            allowed -= expand(value[1:].split())
        else:
            allowed |= expand(value.split())
    return allowed | {"execve", "exit", "exit_group", "getrlimit", "rt_sigreturn", "sigreturn"}


def unit_command(unit, enter=(), root=None, files=None):
    """The command (behind the prefix `enter`, and chrooted into `root` if
    given, whose files this process reads at `files`) that runs the unit's ExecStart= as systemd would run it, as far
    as the bridge can tell: as its User= and Group=, with the user's groups
    and SupplementaryGroups=, with AmbientCapabilities= within
    CapabilityBoundingSet=, with no_new_privs, and under its
    SystemCallFilter= and RestrictAddressFamilies= (through unit_filter.py,
    run by the root's own Python)."""
    files = files or root or "/"
    unit_filter = UNIT_FILTER
    if root:
        # The root has a /tmp of its own, and this checkout may be under the
        # host's: the filter goes into the root.
        unit_filter = "/run/artnet-unit-filter.py"
        shutil.copy(UNIT_FILTER, files + unit_filter)
    user = unit.get("User")
    group = unit.get("Group", user)
    groups = {gid for gid in _group_ids(files, user, unit.words("SupplementaryGroups"))}
    ambient = [name[4:].lower() for name in unit.words("AmbientCapabilities")]
    bounding = [name[4:].lower() for name in unit.words("CapabilityBoundingSet")]
    families = [str(getattr(socket, name)) for name in unit.words("RestrictAddressFamilies")]
    command = [*enter]
    if root:
        command += ["chroot", root]
    command += ["setpriv", f"--reuid={user}", f"--regid={group}", "--groups=" + ",".join(map(str, sorted(groups))),
                "--inh-caps=-all" + "".join(f",+{c}" for c in ambient),
                "--ambient-caps=-all" + "".join(f",+{c}" for c in ambient),
                "--bounding-set=-all" + "".join(f",+{c}" for c in bounding)]
    if unit.get("NoNewPrivileges") == "yes":
        command.append("--no-new-privs")
    command += ["--", "/usr/bin/python3", unit_filter, "--syscalls", ",".join(sorted(allowed_syscalls(unit))),
                "--families", ",".join(families), "--", *unit.get("ExecStart").split()]
    return command


def _group_ids(root, user, supplementary):
    """The ids of the groups `user` belongs to in `root`'s /etc/group, of its
    primary group and of the groups named in `supplementary`."""
    ids = set()
    with open(os.path.join(root, "etc/passwd")) as passwd:
        for line in passwd:
            fields = line.rstrip("\n").split(":")
            if fields[0] == user:
                ids.add(int(fields[3]))
    with open(os.path.join(root, "etc/group")) as group:
        for line in group:
            name, _, gid, members = line.rstrip("\n").split(":")
            if user in members.split(",") or name in supplementary:
                ids.add(int(gid))
    return ids


def group_id(root, name):
    with open(os.path.join(root, "etc/group")) as group:
        for line in group:
            fields = line.split(":")
            if fields[0] == name:
                return int(fields[2])
    return None


# The console's texts for a device that goes and comes back (UTF-8, as the
# bridge writes them under the C locale).
DEVICE_LOST = "设备连接已断开,正在等待设备.   Device connection lost, waiting for the device.\n".encode()
DEVICE_BACK = "设备已重新连接.   Device connected again.\n".encode()
STARTED = lab_.message("InitCompleted") + lab_.message("Running")


class ServiceCase(unittest.TestCase):
    """One bridge run as a service would run, seen as its manager sees it,
    through the cases in order: ready, without capabilities, traffic both
    ways in its status line, a device unplugged and plugged in again, a stop.

    A subclass says how the bridge is started and where its device is bound
    (start_bridge, bind_device, and prepare for anything before them), and
    what it should run as (check_identity)."""

    notify_address = None  # Set by the subclass: a path or "@name".

    @classmethod
    def setUpClass(cls):
        cls.lab = lab_.Lab()
        cls.lab.start()
        cls.notify = cls.controller = cls.peer = None
        try:
            cls.prepare()
            cls.controller = cls.lab.controller()
            cls.peer = cls.lab.socket("network")
            cls.peer.bind((lab_.PEER_ADDRESS, 0))
            cls.notify = NotifySocket(cls.notify_address, cls.lab.host_ns)
            cls.device = cls.plug()
            # As the lab starts the bridge, with the manager's socket added. A
            # sanitizer's options pass through to a sanitized build.
            environment = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C",
                           "NOTIFY_SOCKET": cls.notify_address}
            environment.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
            cls.bridge = cls.start_bridge(environment)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for thing in (cls.controller, cls.peer, cls.notify):
            if thing is not None:
                thing.close()
        cls.lab.close()

    @classmethod
    def prepare(cls):
        pass

    @classmethod
    def plug(cls):
        """Starts a simulated device and makes it /dev/ttyUSB0 where the
        bridge looks; returns it."""
        device = lab_.start_simulator("--address", lab_.BRIDGE_ADDRESS,
                                      enter=["nsenter", "-t", str(cls.lab.holder.pid), "-n", "-m", "-u", "--"])
        cls.lab.processes.append(device.process)
        cls.bind_device(device.path)
        return device

    def rights(self):
        """Every thread's rights, once all the bridge's threads run: the main
        one, capture, writer, status and the one that takes signals."""
        pid = self.bridge.process.pid
        rights = lab_.wait_until(lambda: len(thread_rights(pid)) >= 5 and thread_rights(pid))
        self.assertTrue(rights, "the bridge's threads did not all start")
        return rights

    def assert_holds_nothing(self):
        for thread, rights in self.rights().items():
            self.assertEqual({k: rights[k] for k in ("CapInh", "CapPrm", "CapEff", "CapAmb", "NoNewPrivs")},
                             {"CapInh": 0, "CapPrm": 0, "CapEff": 0, "CapAmb": 0, "NoNewPrivs": 1},
                             f"thread {thread}")
            self.check_identity(rights)

    def status(self, **counts):
        """Waits for the status line with these counts; returns it."""
        pattern = status_pattern(**{k: str(v) for k, v in counts.items()})
        line = self.notify.wait_status(pattern)
        self.assertIsNotNone(line, f"no status line like {pattern}; the last ones: {self.notify.statuses()[-3:]}")
        return line

    def test_1_ready_once_running(self):
        self.assertEqual(self.bridge.wait_output(STARTED), STARTED)
        ready = self.notify.wait_message("READY=1")
        self.assertIsNotNone(ready, "no READY=1")
        # The manager takes it only from the service's main process.
        self.assertEqual(ready[1], self.bridge.process.pid)
        first = self.notify.wait_status(status_pattern())
        self.assertIsNotNone(first, self.notify.messages())
        self.assertTrue(first.startswith(f"artnet-serial-bridge {built_version()}: device /dev/ttyUSB0, "), first)

    def test_2_no_capability_left_in_any_thread(self):
        self.assert_holds_nothing()

    def test_3_traffic_both_ways_shows_in_the_status(self):
        # The device's answer to the start-up probe reached the network.
        self.status(to_device=0, dropped=0, to_network=1, failed=0)
        # The probe's reply is taken first: the reply waited for here must
        # be the one to this poll, so that the device's next frame cannot
        # reach the bridge in the same read as the reply (and join it). A
        # drain alone could come before a busy machine has delivered it.
        self.assertIsNotNone(lab_.reply_from_bridge(self.controller), "the reply to the start-up probe")
        self.controller.drain()
        self.controller.send(lab_.art_poll())
        self.assertIsNotNone(lab_.reply_from_bridge(self.controller), "the ArtPollReply did not come back")
        dmx = lab_.art_dmx(530, seed=1)
        self.peer.sendto(dmx, (lab_.BRIDGE_ADDRESS, lab_.ARTNET_PORT))
        received = self.device.wait_received(len(lab_.ART_POLL_PROBE) + 14 + len(dmx))
        self.assertEqual(received[-len(dmx):].hex(), dmx.hex())
        frame = bytes(range(40)) + b"\r\n"
        self.device.send(frame)
        got = self.controller.receive(lambda data, sender: lab_.from_bridge(data, sender) and data == frame)
        self.assertIsNotNone(got, "the device's frame did not reach the network")
        self.status(to_device=2, dropped=0, to_network=3, failed=0, noise=0)
        # Line noise before an Art-Net frame: the frame arrives whole, the
        # noise is counted and nothing is said.
        noise = bytes(b for b in range(256) if b not in b"\rA") * 12
        frame = lab_.art_packet(0x2100, 239, seed=3) + b"\r\n"
        self.device.send(noise + frame)
        got = self.controller.receive(lambda data, sender: lab_.from_bridge(data, sender) and data == frame)
        self.assertIsNotNone(got, "the frame after the noise did not arrive whole")
        self.status(to_device=2, dropped=0, to_network=4, failed=0, noise=len(noise))

    def test_4_device_unplugged_and_back(self):
        self.device.stop()  # The pty hangs up, as an unplugged adapter's port does.
        self.status(device="waiting for the device", to_device=2, dropped=0, to_network=4)
        # The bridge has let go of the port: its node can go.
        self.unbind_device()
        self.peer.sendto(lab_.art_dmx(100, seed=2), (lab_.BRIDGE_ADDRESS, lab_.ARTNET_PORT))
        self.status(device="waiting for the device", to_device=2, dropped=1, to_network=4)
        # Found again without any capability: by the port's permissions.
        type(self).device = self.plug()
        self.assertEqual(self.device.wait_received(len(lab_.ART_POLL_PROBE)).hex(), lab_.ART_POLL_PROBE.hex())
        self.status(to_device=2, dropped=1, to_network=5)
        dmx = lab_.art_dmx(60, seed=3)
        self.peer.sendto(dmx, (lab_.BRIDGE_ADDRESS, lab_.ARTNET_PORT))
        self.assertEqual(self.device.wait_received(len(lab_.ART_POLL_PROBE) + len(dmx)).hex(),
                         (lab_.ART_POLL_PROBE + dmx).hex())
        self.status(to_device=3, dropped=1, to_network=5, failed=0)
        self.assertEqual(self.bridge.output(), STARTED + DEVICE_LOST + DEVICE_BACK)
        self.assert_holds_nothing()

    def test_4a_the_devices_universes_show_in_the_status(self):
        self.status(universes="all", to_device=3, other=0)
        # Its replies now name outputs 0 and 1: an ArtDmx for universe 5 is
        # left out, and counted.
        self.device.set_outputs("0-1")
        self.status(universes="0-1", to_device=3, other=0)
        dmx = bytearray(lab_.art_dmx(60, seed=4))
        dmx[14:16] = bytes([5, 0])
        self.peer.sendto(bytes(dmx), (lab_.BRIDGE_ADDRESS, lab_.ARTNET_PORT))
        self.status(universes="0-1", to_device=3, other=1)
        dmx[14] = 1
        self.peer.sendto(bytes(dmx), (lab_.BRIDGE_ADDRESS, lab_.ARTNET_PORT))
        self.status(universes="0-1", to_device=4, other=1)

    def test_5_status_at_most_once_a_second(self):
        times = [at for at, _ in self.notify.statuses()]
        self.assertGreaterEqual(len(times), 4, self.notify.statuses())
        gaps = [b - a for a, b in zip(times, times[1:])]
        # Steady-clock seconds in the bridge, a second at least; stamped as
        # they were sent, so that however late they were read.
        self.assertGreaterEqual(min(gaps), 0.9, gaps)

    def test_6_stops_on_sigterm(self):
        self.bridge.process.terminate()
        self.assertEqual(self.bridge.wait_exit(), 0)
        self.assertIsNotNone(self.notify.wait_message("STOPPING=1"), self.notify.messages()[-3:])
        self.assertEqual(self.bridge.stderr.data(), b"")


def built_version():
    """The version the build was configured with (project() in CMakeLists.txt)."""
    with open(os.path.join(lab_.BUILD_DIR, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.split("=", 1)[1].strip()
    raise RuntimeError("no CMAKE_PROJECT_VERSION in the build's cache")
