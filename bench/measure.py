"""The measurements of bench/run, in the order they run, and what they share:
the peer (artnet-bench-peer), socat in the bridge's place, the kernel's view
of a forwarder's sockets. Two labs of the end-to-end tests (tests/lab/):
first one whose serial port is a bare pty the peer holds as the device, for
the latency of one message at a time against this machine's floor; then one
whose device is the simulator on the real link's wire (bench/wire.py), for
everything that judges timing, loss or order towards the device. Writes the
latency samples (one file per series, nanoseconds) into the work directory
and returns the rest of the results."""

import contextlib
import json
import os
import re
import subprocess
import time

import lab
from lab import BRIDGE_ADDRESS, PORT_NAME

PEER = os.path.join(lab.BUILD_DIR, "bench", "artnet-bench-peer")
ARTNET = "%s:6454" % BRIDGE_ADDRESS
TTY = "/dev/%s,raw,echo=0" % PORT_NAME
# socat in the bridge's place, one direction each.
SOCAT_N2D = ("UDP4-RECV:6454", TTY)
SOCAT_D2N = (TTY, "UDP4-SENDTO:" + ARTNET)
# The wire time of a 530-byte ArtDmx: the shortest spacing at which one
# message after another measures the bridge rather than its pacing.
DMX_WIRE_US = 530 * 10e6 / lab.WIRE_BAUD


class Settings:
    def __init__(self, quick):
        self.quick = quick
        self.latency_count = 1000 if quick else 5000
        self.latency_rounds = 5
        self.latency_warmup = 50
        self.n2d_gap_us = int(DMX_WIRE_US) + 100
        self.d2n_gap_us = 200
        cpus = sorted(os.sched_getaffinity(0))
        self.placements = {"free": None, "one": (cpus[0], cpus[0])}
        if len(cpus) > 1:
            self.placements["two"] = (cpus[0], cpus[1])
        # On the wire (bench/wire.py): seconds of each run.
        # Short runs in turn, so that the machine's slow spells fall on
        # the bridge and socat alike.
        self.half_seconds = 5
        self.half_rounds = 2 if quick else 8
        self.double_seconds = 20 if quick else 60
        self.tenfold_seconds = 10 if quick else 30
        self.sources_seconds = 8 if quick else 20
        self.stall_seconds = 12 if quick else 20
        self.outputs_seconds = 8 if quick else 20
        self.two_seconds = 8 if quick else 20
        self.news_seconds = 8 if quick else 20
        self.stalls = 3
        self.stall_ms = 1200
        self.polls = 30 if quick else 100
        self.streamed_replies = 1000
        self.long_frames = 50 if quick else 200
        self.single_frames = 100 if quick else 500
        self.replugs = 4 if quick else 10
        self.gone_seconds = 3 if quick else 10
        self.idle_seconds = 5 if quick else 30
        self.load_seconds = 3 if quick else 10
        self.load_noise_rate = 100000
        self.load_artnet_rate = 100
        self.memory_packets = 100000 if quick else 1000000
        self.memory_rate = 20000
        self.flood_packets = 100000 if quick else 1000000


# --- the peer, the forwarders and what the kernel says of them ------------

def peer_command(subcommand, **options):
    command = [PEER, subcommand]
    for name, value in options.items():
        command += ["--" + name.replace("_", "-"), str(value)]
    return command


def run_peer(subcommand, pass_fds=(), timeout=900, **options):
    """Runs the peer to its end; returns its standard output."""
    return subprocess.run(peer_command(subcommand, **options), pass_fds=pass_fds, stdout=subprocess.PIPE,
                          timeout=timeout, check=True, text=True).stdout


def last_json(text):
    return json.loads([line for line in text.splitlines() if line.startswith("{")][-1])


def peer(subcommand, **options):
    """Runs the peer; returns its JSON line."""
    return last_json(run_peer(subcommand, **options))


def usage(pid):
    """A process's CPU time (ns, all its threads, from schedstat), its
    memory (kB: VmRSS, VmHWM) and the moment they were read."""
    found = {"cpu_ns": 0, "at": time.monotonic_ns()}
    for task in os.listdir("/proc/%d/task" % pid):
        with contextlib.suppress(OSError), open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
            found["cpu_ns"] += int(f.read().split()[0])
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(("VmRSS:", "VmHWM:")):
                found[line[2:5].lower() + "_kb"] = int(line.split()[1])
    return found


def measured(pid, run):
    """Runs `run()` and adds to what it returns the CPU time and wall time
    `pid` took over it, and its memory before and after."""
    before = usage(pid)
    result = run()
    after = usage(pid)
    result.update(cpu_ns=after["cpu_ns"] - before["cpu_ns"], wall_ns=after["at"] - before["at"],
                  rss_before_kb=before["rss_kb"], hwm_before_kb=before["hwm_kb"],
                  rss_after_kb=after["rss_kb"], hwm_after_kb=after["hwm_kb"])
    return result


def pin(pid, cpu):
    """Keeps every thread of `pid` on processor `cpu` (None: on any)."""
    cpus = {cpu} if cpu is not None else os.sched_getaffinity(0)
    for task in os.listdir("/proc/%d/task" % pid):
        os.sched_setaffinity(int(task), cpus)


def socket_memory(ns_path, pid):
    """(drops, receive buffer bytes) of each packet or UDP socket of `pid` in
    the network namespace at `ns_path`, as `ss -m` has them."""
    out = subprocess.run(["nsenter", "--net=" + ns_path, "ss", "-0", "-u", "-a", "-m", "-n", "-p"],
                         capture_output=True, text=True).stdout
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


def socket_drops(ns_path, pid):
    """Packets the kernel dropped because a socket of `pid` had a full
    receive buffer."""
    return sum(drops for drops, _ in socket_memory(ns_path, pid))


@contextlib.contextmanager
def socat(lab_, log, port, *addresses):
    """socat -u in the bridge's namespaces for the life of the block, yielded
    once it has opened the serial port (`port`: its device number)."""
    process = lab_.popen_inside(["socat", "-u", *addresses], stdin=subprocess.DEVNULL, stderr=log)
    try:
        deadline = time.monotonic() + 10
        while not _holds(process.pid, port):
            if time.monotonic() > deadline or process.poll() is not None:
                raise RuntimeError("socat did not open the port")
            time.sleep(0.01)
        time.sleep(0.1)  # Its socket is made before the port is opened.
        yield process.pid
    finally:
        lab.terminate(process)


def _holds(pid, port):
    with contextlib.suppress(OSError):
        for fd in os.listdir("/proc/%d/fd" % pid):
            if os.stat("/proc/%d/fd/%s" % (pid, fd)).st_rdev == port:
                return True
    return False


def wait_running(bridge, started):
    """Waits until the bridge says it runs and `started()` holds (its probe
    came, say); raises if it ends or takes too long."""
    running = lab.message("InitCompleted") + lab.message("Running")
    deadline = time.monotonic() + lab.DEADLINE
    while time.monotonic() < deadline:
        if not bridge.running():
            raise RuntimeError("the bridge ended at start-up: %r" % bridge.output())
        if running in bridge.output() and started():
            return
        time.sleep(0.02)
    raise RuntimeError("the bridge did not start: %r" % bridge.output())


# --- latency on a bare pty ------------------------------------------------

class PtyBench:
    """One message at a time through the bridge, socat and nothing (the
    floor), in a lab whose serial port is a pty held here, whose master the
    peer reads and writes as the device."""

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

    def read_master(self):
        try:
            return os.read(self.port.master, 65536)
        except OSError:  # Nothing there (EAGAIN), or nobody at the other end.
            return b""

    @contextlib.contextmanager
    def bridge(self):
        """The real bridge for the life of the block, yielded once it has
        written its probe and says it is running."""
        os.set_blocking(self.port.master, False)
        while self.read_master():
            pass
        bridge = self.lab.start_bridge()
        probe = bytearray()

        def probed():
            probe.extend(self.read_master())
            return len(probe) >= len(lab.ART_POLL_PROBE)
        try:
            wait_running(bridge, probed)
            yield bridge
        finally:
            lab.terminate(bridge.process)
            self.port.clear_exclusive()

    def latency(self, name, **options):
        """One block of a latency series: its samples go after the earlier
        blocks' in the series' file, its counts onto theirs."""
        samples = os.path.join(self.out_dir, name + ".txt")
        s = self.settings
        gap = s.n2d_gap_us if "n2d" in name else s.d2n_gap_us
        result = peer("latency", device=self.port.master, slave=self.port.slave,
                      pass_fds=(self.port.master, self.port.slave), out=samples, gap_us=gap,
                      count=s.latency_count // s.latency_rounds, warmup=s.latency_warmup, **options)
        total = self.results.setdefault(name, {"samples": samples, "sent": 0, "measured": 0,
                                               "lost": 0, "damaged": 0, "split": 0})
        for key in ("sent", "measured", "lost", "damaged", "split"):
            total[key] += result[key]

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
        port = os.fstat(self.port.slave).st_rdev
        for round_ in range(rounds):
            self.say("Latency on a bare pty, round %d of %d: floor, socat, bridge" % (round_ + 1, rounds))
            for placement, cpus in placements.items():
                self.floor_block(placement, cpus)
            for command, way in ((SOCAT_N2D, "n2d"), (SOCAT_D2N, "d2n")):
                with socat(self.lab, self.log, port, *command) as pid:
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
        peer_cpu, forwarder = cpus if cpus else (-1, -1)
        # Each hop's sending and receiving thread sit where the forwarder's
        # hop would have them: the controller and the device with the peer.
        self.latency("floor_udp_n2d_" + placement, mode="udp", send_ns=self.peer_ns_path,
                     to=ARTNET, recv_ns=self.bridge_ns_path, listen=ARTNET, size=530,
                     cpu=peer_cpu, receiver_cpu=forwarder)
        self.latency("floor_pty_n2d_" + placement, mode="pty-n2d", cpu=forwarder,
                     receiver_cpu=peer_cpu)
        self.latency("floor_udp_d2n_" + placement, mode="udp", send_ns=self.bridge_ns_path,
                     to=ARTNET, recv_ns=self.bridge_ns_path, listen=ARTNET, size=241,
                     cpu=forwarder, receiver_cpu=peer_cpu)
        self.latency("floor_pty_d2n_" + placement, mode="pty-d2n", cpu=peer_cpu,
                     receiver_cpu=forwarder)

    def forwarder_block(self, name, way, pid, placement, cpus):
        peer_cpu, forwarder = cpus if cpus else (-1, None)
        pin(pid, forwarder)
        series = "%s_%s_%s" % (name, way, placement)
        if way == "n2d":
            self.latency(series, mode="n2d", send_ns=self.peer_ns_path, to=ARTNET, cpu=peer_cpu)
        else:
            self.latency(series, mode="d2n", recv_ns=self.bridge_ns_path, listen=ARTNET, cpu=peer_cpu)
        pin(pid, None)


def main(out_dir, quick, say, only=None):
    """Every measurement, or (`only`, a set of names) the latencies on a bare
    pty ("latency") and those runs on the wire that WireBench.run names."""
    import wire
    settings = Settings(quick)
    lab.require_lab(programs=(lab.BRIDGE, lab.SIMULATOR, PEER))
    lab.stop_on_sigterm()
    results = {}
    with open(os.path.join(out_dir, "bench.log"), "ab") as log:
        if only is None or "latency" in only:
            with lab.Lab() as lab_:
                pty = PtyBench(lab_, settings, out_dir, log, say)
                pty.latencies()
                results.update(pty.results)
        if only is None or only - {"latency"}:
            # The bridge's host has a second adapter, on a lighting network,
            # as a lighting PC does: the bridge captures both and the loopback
            # path, and its CPU is measured so.
            with lab.Lab(lighting=True) as lab_:
                results.update(wire.WireBench(lab_, settings, out_dir, log, say).run(only))
    results["settings"] = vars(settings)
    return results
