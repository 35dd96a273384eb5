"""The measurements of bench/run, in the order they run. Called inside the
private mount namespace; writes results.json and the latency samples (one
file per series, nanoseconds) into the work directory."""

import json
import os
import time

import lab as lab_module
from lab import BRIDGE_ADDRESS, SECOND_ADDRESS, PORT_PATH, Lab

ARTNET = "%s:6454" % BRIDGE_ADDRESS
TTY = PORT_PATH + ",raw,echo=0"


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


def process_usage(pid):
    """CPU nanoseconds of all the process's threads, VmRSS and VmHWM in kB."""
    cpu = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
            cpu += int(f.read().split()[0])
    memory = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                memory[name] = int(value.split()[0])
    return cpu, memory.get("VmRSS", 0), memory.get("VmHWM", 0)


class Measurements:
    def __init__(self, lab, settings, out_dir, say):
        self.lab = lab
        self.settings = settings
        self.out_dir = out_dir
        self.say = say
        self.results = {}

    def latency(self, name, **options):
        """One block of a latency series: its samples go after the earlier
        blocks' in the series' file, its counts onto theirs."""
        samples = os.path.join(self.out_dir, name + ".txt")
        block = samples + ".block"
        count = self.settings.latency_count // self.settings.latency_rounds
        result = self.lab.peer("latency", count=count, out=block, **options)
        with open(samples, "a") as whole, open(block) as part:
            whole.write(part.read())
        os.unlink(block)
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
        drops = self.lab.socket_drops(watch_pid)
        result = self.lab.peer("stream", send_ns=self.lab.peer_ns_path, to=ARTNET,
                                watch_pid=watch_pid, **options)
        result["socket_drops"] = self.lab.socket_drops(watch_pid) - drops
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
        lab = self.lab
        rounds = self.settings.latency_rounds
        placements = self.settings.placements
        for round_ in range(rounds):
            self.say("Latency, round %d of %d: floor, socat, bridge" % (round_ + 1, rounds))
            for placement, cpus in placements.items():
                self.floor_block(placement, cpus)
            for command, way in ((("UDP4-RECV:6454", TTY), "n2d"),
                                 ((TTY, "UDP4-SENDTO:" + ARTNET), "d2n")):
                with lab.socat(*command) as pid:
                    for placement, cpus in placements.items():
                        self.forwarder_block("socat", way, pid, placement, cpus)
            with lab.bridge() as pid:
                for placement, cpus in placements.items():
                    for way in ("n2d", "d2n"):
                        self.forwarder_block("bridge", way, pid, placement, cpus)
        for name, result in sorted(self.results.items()):
            self.say("  %-20s %d measured, %d lost, %d damaged"
                     % (name, result["measured"], result["lost"], result["damaged"]))

    def floor_block(self, placement, cpus):
        lab = self.lab
        peer, forwarder = cpus if cpus else (-1, -1)
        # Each hop's sending and receiving thread sit where the forwarder's
        # hop would have them: the controller and the device with the peer.
        self.latency("floor_udp_n2d_" + placement, mode="udp", send_ns=lab.peer_ns_path,
                     to=ARTNET, recv_ns=lab.bridge_ns_path, listen=ARTNET, size=530,
                     cpu=peer, receiver_cpu=forwarder)
        self.latency("floor_pty_n2d_" + placement, mode="pty-n2d", cpu=forwarder,
                     receiver_cpu=peer)
        self.latency("floor_udp_d2n_" + placement, mode="udp", send_ns=lab.bridge_ns_path,
                     to=ARTNET, recv_ns=lab.bridge_ns_path, listen=ARTNET, size=241,
                     cpu=forwarder, receiver_cpu=peer)
        self.latency("floor_pty_d2n_" + placement, mode="pty-d2n", cpu=peer,
                     receiver_cpu=forwarder)

    def forwarder_block(self, name, way, pid, placement, cpus):
        peer, forwarder = cpus if cpus else (-1, None)
        self.lab.pin(pid, forwarder)
        series = "%s_%s_%s" % (name, way, placement)
        if way == "n2d":
            self.latency(series, mode="n2d", send_ns=self.lab.peer_ns_path, to=ARTNET, cpu=peer)
        else:
            self.latency(series, mode="d2n", recv_ns=self.lab.bridge_ns_path, listen=ARTNET,
                         cpu=peer)
        self.lab.pin(pid, None)

    def socat_throughput(self):
        self.say("socat: throughput")
        with self.lab.socat("UDP4-RECV:6454", TTY) as pid:
            self.throughput("socat", pid)

    def bridge_rest(self):
        s = self.settings
        with self.lab.bridge() as pid:
            self.results["capture_buffer"] = self.lab.receive_buffer(pid)
            self.say("bridge: throughput")
            self.throughput("bridge", pid)

            self.say("bridge: idle CPU for %d s" % s.idle_seconds)
            cpu0, _, _ = process_usage(pid)
            t0 = time.monotonic_ns()
            time.sleep(s.idle_seconds)
            cpu1, _, _ = process_usage(pid)
            wall = time.monotonic_ns() - t0
            self.results["idle"] = {"cpu_ns": cpu1 - cpu0, "wall_ns": wall}

            count = s.load_artnet_rate * s.load_seconds
            self.say("bridge: CPU for %d ArtDmx/s alone for %d s" % (s.load_artnet_rate,
                                                                     s.load_seconds))
            self.results["load_baseline"] = self.stream(pid, rate=s.load_artnet_rate, count=count)
            self.say("bridge: CPU for the same under %d unrelated packets/s"
                     % s.load_noise_rate)
            self.results["load"] = self.stream(
                pid, rate=s.load_artnet_rate, count=count, noise_rate=s.load_noise_rate,
                noise_ns=self.lab.peer_ns_path, noise_to="%s:7000" % BRIDGE_ADDRESS,
                noise_size=64, noise_sink_ns=self.lab.bridge_ns_path,
                noise_sink="%s:7000" % BRIDGE_ADDRESS)

            self.say("bridge: memory over %d packets at %d/s" % (s.memory_packets, s.memory_rate))
            self.stream(pid, rate=s.memory_rate, count=20000)  # Warm-up.
            self.results["memory"] = self.stream(pid, rate=s.memory_rate, count=s.memory_packets)

            self.say("bridge: flood of %d packets" % s.flood_packets)
            drops = self.lab.socket_drops(pid)
            flood = self.lab.peer(
                "flood", count=s.flood_packets, send_ns=self.lab.peer_ns_path,
                to="%s:6454" % SECOND_ADDRESS, sink_ns=self.lab.bridge_ns_path,
                sink="%s:6454" % SECOND_ADDRESS, recv_ns=self.lab.bridge_ns_path, listen=ARTNET,
                watch_pid=pid)
            flood["socket_drops"] = self.lab.socket_drops(pid) - drops
            flood["alive"] = lab_module.alive(pid)
            # Still forwarding both ways afterwards?
            after = {}
            if flood["alive"]:
                for mode, extra in (("n2d", {"send_ns": self.lab.peer_ns_path, "to": ARTNET}),
                                    ("d2n", {"recv_ns": self.lab.bridge_ns_path,
                                             "listen": ARTNET})):
                    # The warm-up lets the bridge's frame collection, left
                    # with the flood's unended frames, start afresh.
                    after[mode] = self.lab.peer("latency", mode=mode, count=100, warmup=5,
                                                 timeout_ms=3000, **extra)
            flood["after"] = after
            self.results["flood"] = flood
            _, rss, hwm = process_usage(pid)
            self.results["final_memory"] = {"rss_kb": rss, "hwm_kb": hwm}
        self.results["bridge_log"] = self.lab.bridge_log.decode("utf-8", "replace")


def main(build_dir, out_dir, quick, say):
    settings = Settings(quick)
    with open(os.path.join(out_dir, "bench.log"), "ab") as log:
        with Lab(build_dir, out_dir, log) as lab:
            m = Measurements(lab, settings, out_dir, say)
            m.latencies()
            m.socat_throughput()
            m.bridge_rest()
    m.results["settings"] = vars(settings)
    with open(os.path.join(out_dir, "results.json"), "w") as f:
        json.dump(m.results, f, indent=1)
    return m.results
