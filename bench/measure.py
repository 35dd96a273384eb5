"""The measurements of bench/run, in the order they run, and the bench they
run on: the lab of the end-to-end tests (tests/lab.py), whose serial port is a
pty that the peer (artnet-bench-peer) holds as the device, with the bridge or
socat forwarding. Writes the latency samples (one file per series,
nanoseconds) into the work directory and returns the rest of the results."""

import contextlib
import json
import os
import re
import subprocess
import time

import lab
from lab import BRIDGE_ADDRESS, CONTROLLER_ADDRESS, PORT_NAME

PEER = os.path.join(lab.BUILD_DIR, "bench", "artnet-bench-peer")
ARTNET = "%s:6454" % BRIDGE_ADDRESS
TTY = "/dev/%s,raw,echo=0" % PORT_NAME
# socat in the bridge's place, one direction each.
SOCAT_N2D = ("UDP4-RECV:6454", TTY)
SOCAT_D2N = (TTY, "UDP4-SENDTO:" + ARTNET)


class Settings:
    def __init__(self, quick):
        self.latency_count = 2000 if quick else 10000
        self.latency_rounds = 5
        cpus = sorted(os.sched_getaffinity(0))
        self.placements = {"free": None, "one": (cpus[0], cpus[0])}
        if len(cpus) > 1:
            self.placements["two"] = (cpus[0], cpus[1])
        self.memory_rate = 20000
        self.rates = [5000, 10000, 20000, 30000, 40000, 50000, 75000, 100000]
        self.rate_seconds = 1 if quick else 2
        self.idle_seconds = 5 if quick else 30
        self.load_seconds = 3 if quick else 10
        self.load_noise_rate = 100000
        self.load_artnet_rate = 100
        self.memory_packets = 100000 if quick else 1000000
        self.flood_packets = 100000 if quick else 1000000


def _read_some(fd):
    try:
        return os.read(fd, 65536)
    except OSError:  # Nothing there (EAGAIN), or nobody at the other end.
        return b""


class Bench:
    """The measurements, in a lab whose device is a pty held here for the peer
    to play the device at its master, and the forwarders they run in the
    bridge's namespaces. `results` collects what they find."""

    def __init__(self, lab_, settings, out_dir, log, say):
        self.lab = lab_
        self.settings = settings
        self.out_dir = out_dir
        self.log = log
        self.say = say
        self.results = {}
        self.port = lab_.hold_port()
        self.bridge_ns_path = lab_.ns_path(lab_.host_ns)
        self.peer_ns_path = lab_.ns_path(lab_.network_ns)
        self.bridge_log = b""  # The console of the last bridge that ran.

    # --- the peer, the forwarders and what the kernel says of them --------

    def peer(self, subcommand, timeout=900, **options):
        """Runs the peer with the pty's two ends; returns its JSON line."""
        command = [PEER, subcommand, "--device", str(self.port.master),
                   "--slave", str(self.port.slave)]
        for name, value in options.items():
            command += ["--" + name.replace("_", "-"), str(value)]
        result = subprocess.run(command, pass_fds=(self.port.master, self.port.slave),
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

    @contextlib.contextmanager
    def socat(self, *addresses):
        """socat -u in the bridge's namespaces, for the life of the block."""
        process = self.lab.popen_inside(["socat", "-u", *addresses], stdin=subprocess.DEVNULL,
                                        stderr=self.log)
        try:
            self._wait_for_port_open(process.pid)
            yield process.pid
        finally:
            lab.terminate(process)

    @contextlib.contextmanager
    def bridge(self):
        """The real bridge, for the life of the block. Yields it (a lab.Bridge)
        once it has written its probe and says it is running; keeps its
        console output in bridge_log."""
        os.set_blocking(self.port.master, False)
        while _read_some(self.port.master):
            pass
        bridge = self.lab.start_bridge()
        try:
            self._wait_for_probe_and_running(bridge)
            yield bridge
        finally:
            lab.terminate(bridge.process)
            self.port.clear_exclusive()
            self.bridge_log = bridge.stdout.wait_closed() + bridge.stderr.wait_closed()

    def _wait_for_probe_and_running(self, bridge):
        deadline = time.monotonic() + 20
        probe = b""
        running = lab.message("Running")
        while time.monotonic() < deadline:
            if not bridge.running():
                raise RuntimeError("the bridge ended at start-up: %r" % bridge.output())
            probe += _read_some(self.port.master)
            if len(probe) >= len(lab.ART_POLL_PROBE) and running in bridge.output():
                return
            time.sleep(0.02)
        raise RuntimeError("the bridge did not start: probe %r, output %r" % (probe, bridge.output()))

    def _wait_for_port_open(self, pid):
        port = os.fstat(self.port.slave).st_rdev
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with contextlib.suppress(OSError):
                for fd in os.listdir("/proc/%d/fd" % pid):
                    if os.stat("/proc/%d/fd/%s" % (pid, fd)).st_rdev == port:
                        time.sleep(0.1)  # Its socket is made before the port is opened.
                        return
            time.sleep(0.01)
        raise RuntimeError("socat did not open the port")


    # --- the measurements ------------------------------------------------

    def latency(self, name, **options):
        """One block of a latency series: its samples go after the earlier
        blocks' in the series' file, its counts onto theirs."""
        samples = os.path.join(self.out_dir, name + ".txt")
        count = self.settings.latency_count // self.settings.latency_rounds
        result = self.peer("latency", count=count, out=samples, **options)
        total = self.results.setdefault(name, {"samples": samples, "sent": 0, "measured": 0,
                                               "lost": 0, "damaged": 0, "split": 0})
        for key in ("sent", "measured", "lost", "damaged", "split"):
            total[key] += result[key]
        return result

    def throughput(self, name, watch_pid=0):
        steps = []
        for rate in self.settings.rates:
            result = self.stream(watch_pid, rate=rate, count=rate * self.settings.rate_seconds)
            steps.append(result)
            self.say("  %-6s %6d/s: sent at %7.0f/s, %d received, %d lost (%d dropped at its "
                     "socket), %d stray bytes" % (name, rate, result["send_rate"],
                                                  result["received"], result["lost"],
                                                  result["socket_drops"], result["stray_bytes"]))
        self.results[name + "_throughput"] = steps

    def stream(self, watch_pid, **options):
        """A stream from the peer to the bridge's address, with the drops counted at
        the forwarder's receiving socket."""
        drops = self.socket_drops(watch_pid)
        result = self.peer("stream", send_ns=self.peer_ns_path, to=ARTNET,
                                watch_pid=watch_pid, **options)
        result["socket_drops"] = self.socket_drops(watch_pid) - drops
        return result

    # --- the runs ------------------------------------------------------------

    def latencies(self):
        """Floor, socat and bridge in turn, a block of each per round and
        placement, so that a slow spell of this shared machine falls on all
        of them alike.

        A hop through a forwarder wakes it, then the device or controller; a
        wake-up that crosses to the other processor costs more than one on
        the same. Left to the scheduler ("free"), each message takes one
        path or the other by chance. Pinned, every message takes the same:
        "one" keeps the peer and the forwarder on one processor, "two" puts
        them on two."""
        rounds = self.settings.latency_rounds
        placements = self.settings.placements
        for round_ in range(rounds):
            self.say("Latency, round %d of %d: floor, socat, bridge" % (round_ + 1, rounds))
            for placement, cpus in placements.items():
                self.floor_block(placement, cpus)
            for command, way in ((SOCAT_N2D, "n2d"), (SOCAT_D2N, "d2n")):
                with self.socat(*command) as pid:
                    for placement, cpus in placements.items():
                        self.forwarder_block("socat", way, pid, placement, cpus)
            with self.bridge() as bridge:
                for placement, cpus in placements.items():
                    for way in ("n2d", "d2n"):
                        self.forwarder_block("bridge", way, bridge.process.pid, placement, cpus)
        for name, result in sorted(self.results.items()):
            self.say("  %-20s %d measured, %d lost, %d damaged"
                     % (name, result["measured"], result["lost"], result["damaged"]))

    def floor_block(self, placement, cpus):
        peer, forwarder = cpus if cpus else (-1, -1)
        # Each hop's sending and receiving thread sit where the forwarder's
        # hop would have them: the controller and the device with the peer.
        self.latency("floor_udp_n2d_" + placement, mode="udp", send_ns=self.peer_ns_path,
                     to=ARTNET, recv_ns=self.bridge_ns_path, listen=ARTNET, size=530,
                     cpu=peer, receiver_cpu=forwarder)
        self.latency("floor_pty_n2d_" + placement, mode="pty-n2d", cpu=forwarder,
                     receiver_cpu=peer)
        self.latency("floor_udp_d2n_" + placement, mode="udp", send_ns=self.bridge_ns_path,
                     to=ARTNET, recv_ns=self.bridge_ns_path, listen=ARTNET, size=241,
                     cpu=forwarder, receiver_cpu=peer)
        self.latency("floor_pty_d2n_" + placement, mode="pty-d2n", cpu=peer,
                     receiver_cpu=forwarder)

    def forwarder_block(self, name, way, pid, placement, cpus):
        peer, forwarder = cpus if cpus else (-1, None)
        self.pin(pid, forwarder)
        series = "%s_%s_%s" % (name, way, placement)
        if way == "n2d":
            self.latency(series, mode="n2d", send_ns=self.peer_ns_path, to=ARTNET, cpu=peer)
        else:
            self.latency(series, mode="d2n", recv_ns=self.bridge_ns_path, listen=ARTNET,
                         cpu=peer)
        self.pin(pid, None)

    def socat_throughput(self):
        self.say("socat: throughput")
        with self.socat(*SOCAT_N2D) as pid:
            self.throughput("socat", pid)

    def bridge_rest(self):
        s = self.settings
        with self.bridge() as bridge:
            pid = bridge.process.pid
            self.results["capture_buffer"] = self.receive_buffer(pid)
            self.say("bridge: throughput")
            self.throughput("bridge", pid)

            self.say("bridge: idle CPU for %d s" % s.idle_seconds)
            before = self.peer("usage", watch_pid=pid)
            t0 = time.monotonic_ns()
            time.sleep(s.idle_seconds)
            after = self.peer("usage", watch_pid=pid)
            wall = time.monotonic_ns() - t0
            self.results["idle"] = {"cpu_ns": after["cpu_ns"] - before["cpu_ns"], "wall_ns": wall}

            count = s.load_artnet_rate * s.load_seconds
            self.say("bridge: CPU for %d ArtDmx/s alone for %d s" % (s.load_artnet_rate,
                                                                     s.load_seconds))
            self.results["load_baseline"] = self.stream(pid, rate=s.load_artnet_rate, count=count)
            self.say("bridge: CPU for the same under %d unrelated packets/s"
                     % s.load_noise_rate)
            self.results["load"] = self.stream(
                pid, rate=s.load_artnet_rate, count=count, noise_rate=s.load_noise_rate,
                noise_ns=self.peer_ns_path, noise_to="%s:7000" % BRIDGE_ADDRESS,
                noise_size=64, noise_sink_ns=self.bridge_ns_path,
                noise_sink="%s:7000" % BRIDGE_ADDRESS)

            self.say("bridge: memory over %d packets at %d/s" % (s.memory_packets, s.memory_rate))
            self.stream(pid, rate=s.memory_rate, count=20000)  # Warm-up.
            self.results["memory"] = self.stream(pid, rate=s.memory_rate, count=s.memory_packets)

            self.say("bridge: flood of %d packets" % s.flood_packets)
            drops = self.socket_drops(pid)
            flood = self.peer(
                "flood", count=s.flood_packets, send_ns=self.peer_ns_path,
                to="%s:6454" % CONTROLLER_ADDRESS, sink_ns=self.bridge_ns_path,
                sink="%s:6454" % CONTROLLER_ADDRESS, recv_ns=self.bridge_ns_path, listen=ARTNET,
                watch_pid=pid)
            flood["socket_drops"] = self.socket_drops(pid) - drops
            flood["alive"] = bridge.running()
            # Still forwarding both ways afterwards?
            after = {}
            if flood["alive"]:
                for mode, extra in (("n2d", {"send_ns": self.peer_ns_path, "to": ARTNET}),
                                    ("d2n", {"recv_ns": self.bridge_ns_path,
                                             "listen": ARTNET})):
                    # The warm-up lets the bridge's frame collection, left
                    # with the flood's unended frames, start afresh.
                    after[mode] = self.peer("latency", mode=mode, count=100, warmup=5,
                                                 timeout_ms=3000, **extra)
            flood["after"] = after
            self.results["flood"] = flood
            final = self.peer("usage", watch_pid=pid)
            self.results["final_memory"] = {"rss_kb": final["rss_kb"], "hwm_kb": final["hwm_kb"]}
        self.results["bridge_log"] = self.bridge_log.decode("utf-8", "replace")


def main(out_dir, quick, say):
    settings = Settings(quick)
    lab.require_lab(programs=(lab.BRIDGE, PEER))
    lab.stop_on_sigterm()
    with open(os.path.join(out_dir, "bench.log"), "ab") as log, lab.Lab() as lab_:
        bench = Bench(lab_, settings, out_dir, log, say)
        bench.latencies()
        bench.socat_throughput()
        bench.bridge_rest()
    bench.results["settings"] = vars(settings)
    return bench.results
