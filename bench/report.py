"""Turns bench/run's results into the table, the verdict on each target,
docs/performance.md and its latency plot."""

import datetime
import math
import os
import platform
import subprocess

from lab import BRIDGE_ADDRESS, CONTROLLER_ADDRESS, PEER_ADDRESS

# Memory counts as flat when it grew by no more than this (kB) over a run
# that came after a warm-up: a page or two of first-touched stack or stdio is
# not a leak, a leak of even a byte per packet is 1,000 kB.
MEMORY_SLACK_KB = 16


def load_samples(path):
    with open(path) as f:
        return sorted(int(line) for line in f if line.strip())


def percentile(samples, q):
    if not samples:
        return float("nan")
    index = min(len(samples) - 1, max(0, math.ceil(q * len(samples)) - 1))
    return samples[index]


def latency_stats(result):
    samples = load_samples(result["samples"])
    return {"p50": percentile(samples, 0.50) / 1000, "p99": percentile(samples, 0.99) / 1000,
            "max": (samples[-1] / 1000) if samples else float("nan"),
            "lost": result["lost"] + result["damaged"], "measured": result["measured"],
            "split": result.get("split", 0)}


def cpu_share(step):
    """The forwarder's CPU over a step, in percent of one core."""
    return 100.0 * step["cpu_ns"] / step["wall_ns"]


def memory_growth(step):
    """How much (kB) the forwarder's memory grew over a step, and the text
    that says it."""
    grew = max(step["rss_after_kb"] - step["rss_before_kb"], step["hwm_after_kb"] - step["hwm_before_kb"])
    return grew, "VmRSS %d -> %d kB, VmHWM %d -> %d kB" % (
        step["rss_before_kb"], step["rss_after_kb"], step["hwm_before_kb"], step["hwm_after_kb"])


def lossless_rate(steps):
    """The highest offered rate up to which every step arrived whole and in
    order, counting a step only when the sender really kept its pace."""
    best = 0
    for step in steps:
        clean = (step["lost"] == 0 and step["stray_bytes"] == 0 and step["out_of_order"] == 0
                 and step["send_errors"] == 0)
        if not clean or step["send_rate"] < 0.95 * step["rate"]:
            break
        best = step["rate"]
    return best


class Report:
    def __init__(self, results, commit=""):
        self.r = results
        self.commit = commit
        self.placements = list(results["settings"]["placements"])
        self.lat = {}
        for name, result in results.items():
            if isinstance(result, dict) and "samples" in result:
                self.lat[name] = latency_stats(result)
        for way in ("n2d", "d2n"):
            for placement in self.placements:
                udp = self.lat["floor_udp_%s_%s" % (way, placement)]
                pty = self.lat["floor_pty_%s_%s" % (way, placement)]
                self.lat["floor_%s_%s" % (way, placement)] = {
                    k: udp[k] + pty[k] for k in ("p50", "p99", "max")}
        self.bridge_rate = lossless_rate(results["bridge_throughput"])
        self.socat_rate = lossless_rate(results["socat_throughput"])
        self.idle_cpu = cpu_share(results["idle"])
        self.load_cpu = cpu_share(results["load"])
        self.baseline_cpu = cpu_share(results["load_baseline"])
        self.targets = self._judge()

    def _judge(self):
        t = []
        lat = self.lat
        # Judged where every message takes the same path: pinned (see
        # measure.py). Unpinned, the median falls on one path or the other by
        # chance, for socat as for the bridge.
        for way, title in (("n2d", "network to device"), ("d2n", "device to network")):
            for placement in self.placements:
                if placement == "free":
                    continue
                key = "%s_%s" % (way, placement)
                b, s, f = lat["bridge_" + key], lat["socat_" + key], lat["floor_" + key]
                where = PLACEMENT_TITLES[placement]
                t.append(("Latency p50 %s, %s, no worse than socat's" % (title, where),
                          b["p50"] <= s["p50"],
                          "%.1f us vs %.1f us (%.2fx)" % (b["p50"], s["p50"], b["p50"] / s["p50"])))
                t.append(("Latency p50 %s, %s, within 2x of the floor" % (title, where),
                          b["p50"] <= 2 * f["p50"], "%.1f us vs floor %.1f us (%.2fx)"
                          % (b["p50"], f["p50"], b["p50"] / f["p50"])))
            lost = sum(lat["bridge_%s_%s" % (way, p)]["lost"] for p in self.placements)
            sent = sum(lat["bridge_%s_%s" % (way, p)]["measured"] for p in self.placements) + lost
            t.append(("Every message through, %s" % title, lost == 0,
                      "%d of %d lost or damaged" % (lost, sent)))
        t.append(("Lossless throughput at least socat's", self.bridge_rate >= self.socat_rate,
                  "%d/s vs %d/s" % (self.bridge_rate, self.socat_rate)))
        t.append(("Lossless throughput at least 20,000 packets/s of 530 bytes",
                  self.bridge_rate >= 20000, "%d/s" % self.bridge_rate))
        t.append(("Idle CPU under 0.5% of one core", self.idle_cpu < 0.5, "%.3f%%" % self.idle_cpu))
        load = self.r["load"]
        noise_ok = load["noise_rate"] >= 0.95 * self.r["settings"]["load_noise_rate"]
        t.append(("CPU under 100,000 unrelated packets/s under 5% of one core",
                  self.load_cpu < 5 and noise_ok,
                  "%.2f%% at %.0f packets/s" % (self.load_cpu, load["noise_rate"])))
        t.append(("Every Art-Net packet through under that load", load["lost"] == 0 and
                  load["stray_bytes"] == 0, "%d of %d arrived" % (load["received"], load["sent"])))
        grew, text = memory_growth(self.r["memory"])
        t.append(("No memory growth over %d forwarded packets" % self.r["memory"]["received"],
                  grew <= MEMORY_SLACK_KB, text))
        fl = self.r["flood"]
        after_ok = all(a["lost"] == 0 and a["damaged"] == 0 for a in fl["after"].values()) \
            and len(fl["after"]) == 2
        t.append(("Flood: still running and forwarding both ways afterwards",
                  fl["alive"] and after_ok, "alive" if fl["alive"] else "ended"))
        t.append(("Flood: forwards every packet it must, whole and in order",
                  fl["missing"] == 0 and fl["stray_bytes"] == 0 and fl["bad_datagrams"] == 0,
                  "%d of %d, %d stray bytes" % (fl["delivered"], fl["must_forward"],
                                                fl["stray_bytes"])))
        grew, text = memory_growth(fl)
        t.append(("Flood: memory flat", grew <= MEMORY_SLACK_KB, text))
        return t

    def passed(self):
        return all(ok for _, ok, _ in self.targets)

    # --- text ------------------------------------------------------------

    def tables(self):
        """The tables as Markdown (which reads fine on a terminal too)."""
        lat = self.lat
        out = []
        for way, title in (("n2d", "Network to device: sendto of a 530-byte ArtDmx until the "
                                   "device has read its last byte"),
                           ("d2n", "Device to network: the device's write of a 241-byte frame "
                                   "ending in CR LF until the controller has received it")):
            out += ["**%s** (microseconds; %d messages one at a time per line)"
                    % (title, self.r["bridge_%s_free" % way]["sent"]), "",
                    "| placement | | p50 | p99 | max | lost |", "|---|---|---:|---:|---:|---:|"]
            for placement in self.placements:
                key = "%s_%s" % (way, placement)
                rows = [("bridge", "bridge_" + key), ("socat", "socat_" + key),
                        ("floor (UDP + pty)", "floor_" + key),
                        ("&nbsp;&nbsp;UDP one-way", "floor_udp_" + key),
                        ("&nbsp;&nbsp;pty write-to-read", "floor_pty_" + key)]
                for i, (label, name) in enumerate(rows):
                    st = lat[name]
                    out.append("| %s | %s | %.1f | %.1f | %.1f | %s |" % (
                        PLACEMENT_TITLES[placement] if i == 0 else "", label, st["p50"],
                        st["p99"], st["max"], st.get("lost", "")))
            split = sum(lat["socat_%s_%s" % (way, p)]["split"] for p in self.placements)
            if split:
                out += ["", "socat sent %d of the frames in more than one datagram." % split]
            out.append("")
        out += ["**Throughput, network to device**: 530-byte ArtDmx for %d s at each rate; "
                "packets whole and in order at the device" % self.r["settings"]["rate_seconds"], "",
                "| offered/s | bridge: sent at | arrived | its CPU | socat: sent at | arrived | its CPU |",
                "|---:|---:|---:|---:|---:|---:|---:|"]
        for b, s in zip(self.r["bridge_throughput"], self.r["socat_throughput"]):
            out.append("| %d | %.0f | %s | %.0f%% | %.0f | %s | %.0f%% |" % (
                b["rate"], b["send_rate"], _arrived(b), cpu_share(b),
                s["send_rate"], _arrived(s), cpu_share(s)))
        out += ["", "Packets lost were dropped by the kernel at the forwarder's receiving socket "
                "(its receive buffer full) unless the column says otherwise."]
        out += ["", "Highest lossless rate: bridge %d/s, socat %d/s." % (self.bridge_rate,
                                                                       self.socat_rate), ""]
        load, mem, fl = self.r["load"], self.r["memory"], self.r["flood"]
        base = self.r["load_baseline"]
        final = self.r["final_memory"]
        out += ["**CPU and memory of the bridge**", "",
                "| | |", "|---|---|",
                "| idle, %d s | %.3f%% of one core |" % (self.r["settings"]["idle_seconds"],
                                                     self.idle_cpu),
                "| %d ArtDmx/s alone, %.0f s | %.2f%% of one core; ArtDmx %d of %d arrived |"
                % (self.r["settings"]["load_artnet_rate"], base["wall_ns"] / 1e9,
                   self.baseline_cpu, base["received"], base["sent"]),
                "| the same with %.0f unrelated UDP packets/s (64 bytes, port 7000) on the "
                "captured interface | %.2f%% of one core; ArtDmx %d of %d arrived |"
                % (load["noise_rate"], self.load_cpu, load["received"], load["sent"]),
                "| %d ArtDmx at %d/s (after 20,000 to warm up) | %s; %d arrived |"
                % (mem["sent"], mem["rate"], memory_growth(mem)[1], mem["received"]),
                "| peak resident memory (VmHWM) at the end | %d kB |" % final["hwm_kb"], ""]
        out += ["**Flood**: %d Art-Net packets, random OpCodes, payloads of 0 to 2048 bytes, "
                "sent at %.0f packets/s; the device meanwhile wrote %d random frames ending in "
                "CR LF and %d without (up to 4096 bytes)" % (fl["sent"], fl["send_rate"],
                fl["frames_with_crlf"], fl["frames_without_crlf"]), "",
                "| | |", "|---|---|",
                "| packets the bridge must forward (10..530 bytes, OpCode high byte not 0x21/0x52) | %d |" % fl["must_forward"],
                "| arrived at the device, whole and in order | %d |" % fl["delivered"],
                "| missing | %d |" % fl["missing"],
                "| packets dropped by the kernel at the bridge's capture socket, its receive buffer "
                "full (all the socket takes in counts, each IP fragment singly) | %d |" % fl["socket_drops"],
                "| bytes at the device that belong to no such packet | %d |" % fl["stray_bytes"],
                "| packets dropped by the kernel's receive backlog (before any socket) | %d |" % fl["backlog_drops"],
                "| datagrams of frames that reached the controller (all end in CR LF, at most 2047 bytes: %s) | %d |"
                % ("yes" if fl["bad_datagrams"] == 0 else "NO, %d not" % fl["bad_datagrams"],
                   fl["datagrams"]),
                "| memory | %s |" % memory_growth(fl)[1],
                "| afterwards | %s |" % _after(fl), ""]
        out += ["**Targets**", "", "| target | measured | |", "|---|---|---|"]
        for name, ok, detail in self.targets:
            out.append("| %s | %s | %s |" % (name, detail, "PASS" if ok else "**FAIL**"))
        return "\n".join(out) + "\n"

    def plot(self, png, data_dir):
        def cdf(name):
            samples = load_samples(self.r[name]["samples"])
            path = os.path.join(data_dir, name + ".cdf")
            with open(path, "w") as f:
                n = len(samples)
                for i in range(n):
                    if i % max(1, n // 2000) == 0 or i == n - 1:
                        f.write("%.3f %.5f\n" % (samples[i] / 1000, 100.0 * (i + 1) / n))
            return path

        pinned = [p for p in self.placements if p != "free"]
        high = max(self.lat["%s_%s_%s" % (who, way, p)]["p99"] for who in ("bridge", "socat")
                   for way in ("n2d", "d2n") for p in self.placements)
        script = [
            "set terminal pngcairo size 1200,900 font 'Sans,10'",
            "set output '%s'" % png,
            "set multiplot layout 2,2 title 'artnet-serial-bridge vs socat: latency, one "
            "message at a time; dashed grey: the floor p50'",
            "set logscale x", "set xrange [*:%f]" % (high * 2),
            "set yrange [0:100]", "set grid",
            "set xlabel 'latency (microseconds, log scale)'",
            "set ylabel 'messages at or below (%)'", "set key bottom right"]
        colours = {"bridge": "#1f77b4", "socat": "#d62728"}
        dashes = {"one": 1, "two": 2}
        for row in ("free", "pinned"):
            for way, title in (("n2d", "network to device (530-byte ArtDmx)"),
                               ("d2n", "device to network (241-byte frame)")):
                placements = ["free"] if row == "free" else pinned
                script.append("unset arrow")
                for n, placement in enumerate(placements):
                    floor = self.lat["floor_%s_%s" % (way, placement)]["p50"]
                    script.append("set arrow %d from %f,0 to %f,100 nohead dt 2 lc rgb 'gray50'"
                                  % (n + 1, floor, floor))
                script.append("set title '%s, %s'" % (title, "left to the scheduler"
                                                      if row == "free" else "pinned"))
                curves = []
                for placement in placements:
                    for who in ("bridge", "socat"):
                        name = "%s_%s_%s" % (who, way, placement)
                        label = who if row == "free" else "%s, %s" % (who,
                                                                      PLACEMENT_TITLES[placement])
                        curves.append("'%s' using 1:2 with lines lw 2 dt %d lc rgb '%s' title '%s'"
                                      % (cdf(name), dashes.get(placement, 1), colours[who], label))
                script.append("plot " + ", ".join(curves))
        script.append("unset multiplot")
        subprocess.run(["gnuplot"], input="\n".join(script), text=True, check=True)

    def notes(self):
        notes = list(NOTES_ALWAYS)
        steps = self.r["bridge_throughput"]
        busiest = max(cpu_share(st) for st in steps)
        lossy = [st for st in steps if st["lost"]]
        if lossy and all(st["socket_drops"] >= st["lost"] for st in lossy):
            notes.append(
                "- Every packet the bridge lost in the throughput runs was dropped by the kernel "
                "at its capture socket, whose receive buffer is %d bytes, while the capture "
                "thread waited for a core (its CPU share was at most %.0f%% of one core at any "
                "rate). What reached the socket, the bridge passed on whole and in order." %
                (self.r["capture_buffer"], busiest))
        elif not lossy:
            notes.append(
                "- The bridge's capture socket has a receive buffer of %d bytes: a capture thread "
                "kept off the processors for longer than that buffer takes to fill loses packets "
                "there, so on a busier machine the lossless rate can be lower." %
                self.r["capture_buffer"])
        fl = self.r["flood"]
        if fl["missing"] and fl["socket_drops"] >= fl["missing"]:
            notes.append(
                "- In the flood, the %d packets that did not reach the device were dropped at the "
                "bridge's capture socket (%d drops there): the kernel's receive buffer of the "
                "packet socket filled while the capture thread was not running. None was "
                "corrupted, reordered or lost inside the bridge." % (fl["missing"],
                                                                    fl["socket_drops"]))
        return notes

    def document(self, path, png_name, commands):
        now = self.r.get("date") or datetime.datetime.now(datetime.timezone.utc).strftime(
            "%Y-%m-%d %H:%M UTC")
        cpu = "unknown"
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
        lines = [
            "# Performance", "",
            "Made by `sudo bench/run` on %s%s. Every number below comes from that one run."
            % (now, ", of the bridge at commit %s" % self.commit if self.commit else ""),
            "", "Machine: %s, %d cores, Linux %s. The machine is shared with other work and "
            "noisy, so read the ratios (bridge against socat and against the floor, measured "
            "side by side in the same run) rather than the absolute times."
            % (cpu, os.cpu_count(), platform.release()), "",
            "## How it is measured", "",
            "`bench/run` builds the bridge and `build/linux/bench/artnet-bench-peer`, then "
            "sets up the lab of the end-to-end tests (`tests/lab.py`): two network namespaces "
            "joined by a veth pair, the bridge's side holding %s (the address its host name "
            "resolves to) and %s (a controller's on the same host), the far side %s (a peer "
            "across the wire). In the bridge's namespaces, where `tools/without-serial-ports` "
            "hides the machine's own serial ports, a pty whose slave is bound over "
            "`/dev/ttyUSB0`, with a matching `/sys/class/tty` entry, is the only serial port, "
            "so the unmodified bridge finds it as its device. The peer program plays both the "
            "controller and the device, so each hop is timed in one process on CLOCK_MONOTONIC."
            % (BRIDGE_ADDRESS, CONTROLLER_ADDRESS, PEER_ADDRESS), "",
            "- Latency: one message at a time, the next after the previous one is through "
            "(and 200 us later). The %d messages of each series are taken in %d rounds, and "
            "each round measures the floor, socat and the bridge in turn, so that a busy spell "
            "of the machine falls on all of them alike; 200 warm-up messages before each block "
            "are not counted." % (self.r["settings"]["latency_count"],
                                  self.r["settings"]["latency_rounds"]),
            "- Floor: the same messages over the same paths with nothing in between: a UDP "
            "datagram from socket to socket, and a write to the pty's slave read at its master "
            "(or the other way), each received by a thread asleep in poll, as a forwarder's "
            "would be. The floor of a direction is the sum of the two hops (p50 with p50, p99 "
            "with p99).",
            "- socat, the generic forwarder, in the bridge's place: `%s` and `%s`."
            % (commands["socat_n2d"], commands["socat_d2n"]),
            "- Throughput: ArtDmx paced at each rate from the peer across the wire; the "
            "device end drains the pty as fast as bytes come and checks every packet.",
            "- CPU: the bridge's threads' run time from /proc (schedstat) over the window; "
            "memory: VmRSS and VmHWM from /proc/PID/status.", "",
            "Commands: `%s` (everything, some thirteen minutes); `sudo bench/run --quick` makes "
            "every count smaller, for trying things out (it does not write this file)."
            % commands["run"], ""]
        lines += ["## Results", "", self.tables(), "## Reading the numbers", ""] + self.notes() + [
                  "",
                  "## Latency distributions", "",
                  "![Latency of the bridge and socat, both directions](%s)" % png_name, ""]
        with open(path, "w") as f:
            f.write("\n".join(lines))


PLACEMENT_TITLES = {"free": "left to the scheduler", "one": "one core", "two": "two cores"}

NOTES_ALWAYS = [
    "- A message through a forwarder wakes two sleepers: the forwarder, then the device or the "
    "controller. On this machine a wake-up that crosses from one core to the other costs far "
    "more than one on the same core (compare the pinned rows), so left to the scheduler the "
    "latencies fall into two groups (the steps in the upper curves), and whether a median lands in one or the "
    "other is chance, for socat as for the bridge. The targets are therefore judged pinned "
    "(`sched_setaffinity`), where every message takes the same path: \"one core\" keeps the "
    "peer and the forwarder on one processor, \"two cores\" puts them on two; the floor's "
    "sending and receiving threads sit where the forwarder's hop would have them.",
    "- Lost packets are counted at the device end and, separately, as drops at the "
    "forwarder's receiving socket (`ss -m`, the `d` counter): where both agree, the kernel "
    "dropped them because the socket's receive buffer was full while the forwarder waited "
    "for a core, not because the forwarder mishandled them.",
]


def _arrived(step):
    if step["lost"] == 0 and step["stray_bytes"] == 0 and step["out_of_order"] == 0:
        return "all"
    text = "%d lost" % step["lost"]
    if step["socket_drops"] < step["lost"]:
        text += " (only %d at the socket)" % step["socket_drops"]
    if step["stray_bytes"]:
        text += ", %d stray bytes" % step["stray_bytes"]
    if step["out_of_order"]:
        text += ", %d out of order" % step["out_of_order"]
    return text


def _after(flood):
    if not flood["alive"]:
        return "the bridge had ended"
    parts = []
    for mode, name in (("n2d", "ArtDmx to the device"), ("d2n", "frames to the controller")):
        a = flood["after"].get(mode)
        if a:
            parts.append("%d of %d %s" % (a["measured"], a["sent"], name))
    return "still running; " + ", ".join(parts) + " went through"
