"""Turns bench/run's results into the verdict on each target and
docs/performance.md with its plots (the tables and plots are in tables.py)."""

import datetime
import math
import os
import platform

import tables
from wire import AGE_BOUND_MS, RECOVERY_MS
from analysis import percentile
from lab import BRIDGE_ADDRESS, CONTROLLER_ADDRESS, PEER_ADDRESS, WIRE_BAUD

# Memory counts as flat when it grew by no more than this (kB) over a run
# that came after a warm-up: a page or two of first-touched stack or stdio is
# not a leak, a leak of even a byte per packet is 1,000 kB.
MEMORY_SLACK_KB = 16
# At 10x, 50 universes take turns on a wire that carries one full ArtDmx each
# 4.42 ms: no forwarder can refresh each more often than every 50 of those.
ROUND_ROBIN_SLACK = 1.15


def load_samples(path):
    with open(path) as f:
        return sorted(int(line) for line in f if line.strip())


def latency_stats(result):
    samples = load_samples(result["samples"])
    return {"p50": percentile(samples, 0.50) / 1000, "p99": percentile(samples, 0.99) / 1000,
            "max": (samples[-1] / 1000) if samples else float("nan"),
            "lost": result["lost"] + result["damaged"], "measured": result["measured"],
            "split": result.get("split", 0)}


def cpu_share(step):
    """A process's CPU over a step, in percent of one core."""
    return 100.0 * step["cpu_ns"] / step["wall_ns"]


class Report:
    bridge_address = BRIDGE_ADDRESS
    age_bound_ms = AGE_BOUND_MS
    dmx_wire_ms = 530 * 10e3 / WIRE_BAUD

    def __init__(self, results, commit=""):
        self.r = results
        self.commit = commit
        self.settings = results["settings"]
        self.placements = list(self.settings["placements"])
        self.lat = {}
        for name, result in results.items():
            if isinstance(result, dict) and "samples" in result:
                self.lat[name] = latency_stats(result)
        for way in ("n2d", "d2n"):
            for placement in self.placements:
                udp = self.lat["floor_udp_%s_%s" % (way, placement)]
                pty = self.lat["floor_pty_%s_%s" % (way, placement)]
                self.lat["floor_%s_%s" % (way, placement)] = {k: udp[k] + pty[k] for k in ("p50", "p99", "max")}
        w = results["wire"]
        self.idle_cpu = cpu_share(w["idle"])
        self.load_cpu = cpu_share(w["load"])
        self.baseline_cpu = cpu_share(w["load_baseline"])
        self.round_robin_ms = w["tenfold_bridge"]["universes"] * self.dmx_wire_ms
        self.targets = self._judge()

    def samples(self, name):
        return load_samples(self.r[name]["samples"])

    def spread_of(self, *names):
        """p10, p50 and p90 (us) of each latency series."""
        found = []
        for name in names:
            samples = self.samples(name)
            found += [percentile(samples, q) / 1000 for q in (0.1, 0.5, 0.9)]
        return tuple(found)

    @staticmethod
    def median(values):
        return percentile(values, 0.5)

    @staticmethod
    def memory_growth(step):
        """How much (kB) memory grew over a step, and the text that says it."""
        grew = max(step["rss_after_kb"] - step["rss_before_kb"], step["hwm_after_kb"] - step["hwm_before_kb"])
        return grew, "VmRSS %d -> %d kB, VmHWM %d -> %d kB" % (
            step["rss_before_kb"], step["rss_after_kb"], step["hwm_before_kb"], step["hwm_after_kb"])

    def _judge(self):
        t = []
        w = self.r["wire"]
        wire = self.dmx_wire_ms

        def add(name, ok, detail):
            t.append((name, bool(ok), detail))

        half, socat_half = w["half_bridge"], w["half_socat"]
        add("0.5x the wire: DMX age p50 within 1 ms of its wire time (%.2f ms)" % wire,
            abs(half["age"]["p50"] - wire) <= 1, "%.2f ms (socat %.2f ms)" % (half["age"]["p50"],
                                                                              socat_half["age"]["p50"]))
        add("0.5x: DMX age p99 within 2 ms of twice its wire time (%.2f ms)" % (2 * wire),
            half["age"]["p99"] <= 2 * wire + 2, "%.2f ms (socat %.2f ms)" % (half["age"]["p99"],
                                                                             socat_half["age"]["p99"]))
        add("0.5x: nothing dropped", half["delivered"] == half["offered"] and half["controls_lost"] == 0
            and half["stray_bytes"] == 0, "DMX %d of %d, control packets %d of %d lost, %d cut bytes" % (
                half["delivered"][0], half["offered"][0], half["controls_lost"], half["controls_sent"],
                half["stray_bytes"]))
        for load, title in (("double", "2x"), ("tenfold", "10x")):
            f, s = w[load + "_bridge"], w[load + "_socat"]
            add("%s: DMX age p99 at most %d ms" % (title, AGE_BOUND_MS), f["age"]["p99"] <= AGE_BOUND_MS,
                "%.1f ms (socat %.1f ms)" % (f["age"]["p99"], s["age"]["p99"]))
            add("%s: age not growing (p99 of the last %.0f s within 5 ms of the first)" % (title, f["window_s"]),
                abs(f["age_last"]["p99"] - f["age_first"]["p99"]) <= 5,
                "%.1f ms, then %.1f ms" % (f["age_first"]["p99"], f["age_last"]["p99"]))
            if load == "double":
                add("2x: every universe refreshed at least every 100 ms",
                    f["refresh"]["max"] <= 100 and f["universes_seen"] == f["universes"],
                    "longest gap %.1f ms, %d of %d universes (socat %.1f ms)" % (
                        f["refresh"]["max"], f["universes_seen"], f["universes"], s["refresh"]["max"]))
                add("2x: wire busy at least 95% of the time", f["busy"] >= 0.95, "%.1f%%" % (100 * f["busy"]))
            else:
                bound = ROUND_ROBIN_SLACK * self.round_robin_ms
                add("10x: every universe refreshed no less often than %.2f x the wire's round robin (%.0f ms)"
                    % (ROUND_ROBIN_SLACK, self.round_robin_ms),
                    f["refresh"]["max"] <= bound and f["universes_seen"] == f["universes"],
                    "longest gap %.1f ms (%.2f x), %d of %d universes (socat %.1f ms)" % (
                        f["refresh"]["max"], f["refresh"]["max"] / self.round_robin_ms, f["universes_seen"],
                        f["universes"], s["refresh"]["max"]))
                grew, text = self.memory_growth(f["memory"])
                add("10x: memory flat", grew <= MEMORY_SLACK_KB, text)
            add("%s: no packet cut or damaged" % title, f["stray_bytes"] == 0,
                "%d bytes (socat %d)" % (f["stray_bytes"], s["stray_bytes"]))
            add("%s: no control packet lost" % title, f["controls_lost"] == 0,
                "%d of %d (socat %d)" % (f["controls_lost"], f["controls_sent"], s["controls_lost"]))
        f = w["sources_bridge"]
        add("Two sources of one universe at 2x: each source's data at the device at least 40% of what it offers",
            min(f["share"]) >= 0.4, " and ".join("%.0f%%" % (100 * s) for s in f["share"]))
        st = w["stall_bridge"]
        add("Stalls: no packet cut", st["stray_bytes"] == 0, "%d bytes" % st["stray_bytes"])
        add("Stalls: one \"Serial write timeout\" line per stall", st["timeouts"] == st["stalls"]
            and st["other_lines"] == 0, "%d lines for %d stalls, %d others" % (st["timeouts"], st["stalls"],
                                                                              st["other_lines"]))
        recovered = [rec["recovered_ms"] for rec in st["recoveries"]]
        add("Stalls: DMX age back within %d ms within %d ms of each stall's end" % (AGE_BOUND_MS, RECOVERY_MS),
            len(recovered) == st["stalls"] and max(recovered) <= RECOVERY_MS, ", ".join("%.0f ms" % x for x in recovered))
        b, s = w["d2n_bridge"], w["d2n_socat"]
        add("ArtPoll to a 4-port node: four datagrams of 241 bytes, every time",
            b["polls"]["whole"] == b["polls"]["polls"] and b["polls"]["sizes"] == [241]
            and b["polls"]["replies"] == 4, "%d of %d polls" % (b["polls"]["whole"], b["polls"]["polls"]))
        x = b["streamed"]
        add("%d replies back to back: as many datagrams, none merged, none lost" % x["frames"],
            x["alone"] == x["frames"] and x["datagrams"] == x["frames"],
            "%d datagrams, %d replies alone in one" % (x["datagrams"], x["alone"]))
        x = b["long"]
        add("Frames of 2047 bytes back to back: each whole", x["alone"] == x["frames"],
            "%d of %d" % (x["alone"], x["frames"]))
        share, socat_share = b["single"]["share_us"]["p50"], s["single"]["share_us"]["p50"]
        add("Device to network, one frame at a time: the bridge's share p50 within 2x of socat's on the "
            "same wire", share <= 2 * socat_share and b["single"]["arrived"] == b["single"]["frames"],
            "%.0f us vs %.0f us (%.2fx); on a bare pty %.0f us" % (share, socat_share, share / socat_share,
                                                                 self.lat["bridge_d2n_free"]["p50"]))
        rp = w["replug_bridge"]
        both = [max(x["dmx_ms"], x["frame_ms"]) if x["dmx_ms"] and x["frame_ms"] else math.inf
                for x in rp["replugs"]]
        add("Device replugged: traffic both ways within 1 s of the port's return", max(both) <= 1000,
            "%d replugs, slowest %.0f ms" % (len(both), max(both)))
        add("Device gone: the bridge's CPU under 0.5% of one core", rp["gone_cpu"] < 0.5, "%.3f%%" % rp["gone_cpu"])

        # On a bare pty, judged where every message takes the same path:
        # pinned. Unpinned, the median falls on one path or the other by
        # chance, for socat as for the bridge.
        lat = self.lat
        for way, title in (("n2d", "network to device"), ("d2n", "device to network")):
            for placement in self.placements:
                # Left to the scheduler a message takes one of two paths by
                # chance; so does one towards the device on one core, where
                # spaced by the wire time it finds the pty's kernel worker
                # asleep (see the notes).
                if placement == "free" or (way, placement) == ("n2d", "one"):
                    continue
                key = "%s_%s" % (way, placement)
                bl, sl, fl = lat["bridge_" + key], lat["socat_" + key], lat["floor_" + key]
                where = tables.PLACEMENT_TITLES[placement]
                # Medians of a few tens of microseconds move by more than
                # 5% from one run to the next (socat's own included), so a
                # smaller difference says nothing either way.
                add("Bare pty: latency p50 %s, %s, no worse than socat's (within 5%%)" % (title, where),
                    bl["p50"] <= 1.05 * sl["p50"],
                    "%.1f us vs %.1f us (%.2fx)" % (bl["p50"], sl["p50"], bl["p50"] / sl["p50"]))
                add("Bare pty: latency p50 %s, %s, within 2x of the floor" % (title, where),
                    bl["p50"] <= 2 * fl["p50"], "%.1f us vs floor %.1f us (%.2fx)" % (bl["p50"], fl["p50"],
                                                                                    bl["p50"] / fl["p50"]))
            lost = sum(lat["bridge_%s_%s" % (way, p)]["lost"] for p in self.placements)
            sent = sum(lat["bridge_%s_%s" % (way, p)]["measured"] for p in self.placements) + lost
            add("Bare pty: every message through, %s" % title, lost == 0, "%d of %d lost or damaged" % (lost, sent))

        add("Idle CPU under 0.5% of one core", self.idle_cpu < 0.5, "%.3f%%" % self.idle_cpu)
        load = w["load"]
        add("CPU under 100,000 unrelated packets/s under 5% of one core",
            self.load_cpu < 5 and load["noise_rate"] >= 0.95 * self.settings["load_noise_rate"],
            "%.2f%% at %.0f packets/s" % (self.load_cpu, load["noise_rate"]))
        add("Every Art-Net packet through under that load", load["arrived"] == load["sent"]
            and load["controls_lost"] == 0 and load["stray_bytes"] == 0,
            "ArtDmx %d of %d, control packets %d of %d arrived (%d dropped at the capture socket)" % (
                load["arrived"], load["sent"], load["controls_sent"] - load["controls_lost"],
                load["controls_sent"], load["socket_drops"]))
        grew, text = self.memory_growth(w["memory"])
        add("No memory growth over %d packets" % w["memory"]["sent"], grew <= MEMORY_SLACK_KB, text)
        fl = w["flood"]
        after = fl.get("after", {})
        add("Flood: still running and forwarding both ways afterwards", fl["alive"] and after
            and after["dmx_arrived"] == after["dmx_sent"] and after["controls_lost"] == 0
            and after["stray_bytes"] == 0 and after["frames_alone"] == after["frames"],
            "alive" if fl["alive"] else "ended")
        add("Flood: no stray or cut bytes at the device, every datagram a whole frame",
            fl["stray_bytes"] == 0 and fl["bad_datagrams"] == 0,
            "%d bytes, %d bad datagrams" % (fl["stray_bytes"], fl["bad_datagrams"]))
        add("Flood: no control packet lost while the queue had room", fl["control_lost_with_room"] == 0,
            "%d of %d not forwarded" % (fl["control_lost_with_room"], fl["missing_control"]))
        grew, text = self.memory_growth(fl)
        add("Flood: memory flat", grew <= MEMORY_SLACK_KB, text)
        return t

    def passed(self):
        return all(ok for _, ok, _ in self.targets)

    def tables(self):
        return "\n".join(tables.wire_n2d(self) + tables.wire_d2n(self) + tables.cpu_memory(self)
                         + tables.pty_latency(self) + tables.targets(self))

    def plot(self, directory, data_dir):
        tables.latency_plot(self, os.path.join(directory, "performance-latency.png"), data_dir)
        tables.age_plot(self, os.path.join(directory, "performance-age.png"))

    def document(self, path, commands):
        now = self.r.get("date") or datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
        cpu = "unknown"
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
        s = self.settings
        lines = [
            "# Performance", "",
            "Made by `sudo bench/run` on %s%s. Every number below comes from that one run."
            % (now, ", of the bridge at commit %s" % self.commit if self.commit else ""),
            "", "Machine: %s, %d cores, Linux %s. The machine is shared with other work and noisy, so read "
            "the ratios (bridge against socat and against the floor, measured side by side in the same run) "
            "rather than the absolute times." % (cpu, os.cpu_count(), platform.release()), "",
            "## How it is measured", "",
            "`bench/run` builds the bridge and `build/linux/bench/artnet-bench-peer`, then sets up the lab of the "
            "end-to-end tests (`tests/lab/`): two network namespaces joined by a veth pair, the bridge's side "
            "holding %s (the address its host name resolves to) and %s (a controller's on the same host), the far "
            "side %s and 10.77.0.4 (controllers across the network). In the bridge's namespaces, where "
            "`tools/without-serial-ports` hides the machine's own serial ports, the only serial port is "
            "`/dev/ttyUSB0` (with a matching `/sys/class/tty` entry), and the unmodified bridge finds it as its "
            "device. socat, the plain forwarder, runs in the bridge's place for comparison: `%s` and `%s`."
            % (BRIDGE_ADDRESS, CONTROLLER_ADDRESS, PEER_ADDRESS, commands["socat_n2d"], commands["socat_d2n"]), "",
            "**On the wire.** Whatever judges timing, loss or order towards the device runs with the simulated "
            "device on the real link's wire: `artnet-device-sim --baud 1200000 --timestamps`, at a real-time "
            "priority, 120,000 bytes a second each way through a USB adapter's 4096-byte buffer towards the "
            "device and 62-byte chunks back (see the README). A bare pty moves bytes as fast as the machine "
            "does, and says nothing about a show. Each run gets a fresh device and a fresh forwarder.",
            "- Every packet the peer sends carries its source, universe, number and its CLOCK_MONOTONIC send "
            "time in its own bytes, and is built so that any changed byte shows (`TracedPacket`, "
            "`tools/artnet_packets.h`). The device's log says when each byte left the wire, so a packet's "
            "**age** is the moment its last byte left less its send time; bytes that are not part of a whole "
            "sent packet count as **cut**. Ages and refresh intervals count the packets that left the wire "
            "while the stream ran: what a forwarder holds when the stream stops grows old with nothing newer "
            "to replace it.",
            "- Loads: multiples of what the wire carries, %.0f full ArtDmx a second, sent evenly spaced, with "
            "an ArtPoll, an ArtAddress and an ArtTodRequest once a second each: 0.5x for %d s, 2x for %d s, "
            "10x for %d s, two sources at 2x for %d s. **Refresh**: the gaps between one universe's arrivals. "
            "**Wire busy**: the simulator's count of the time its wire carried bytes, over the run less its "
            "first and last seconds." % (120000 / 530, s["half_seconds"], s["double_seconds"],
                                         s["tenfold_seconds"], s["sources_seconds"]),
            "- Device to network: the simulated device sends frames given to it (ArtPollReplies of 241 bytes, "
            "or padded to 2047) and its answers to ArtPolls; the peer's socket at the bridge's address, port "
            "6454, times each datagram. The device's log says when the write of a frame's last chunk was made.",
            "- CPU: the bridge's threads' run time from /proc (schedstat) over the window; memory: VmRSS and "
            "VmHWM from /proc/PID/status.", "",
            "**On a bare pty.** The latency of one message at a time is measured where the peer holds the pty "
            "and plays the device itself, so that each hop is timed in one process on one clock, side by side "
            "with this machine's floor: the same messages over the same paths with nothing in between (a UDP "
            "datagram from socket to socket, a write to the pty read at its other end, each received by a thread "
            "asleep in poll; a direction's floor is the sum of its two hops, p50 with p50). The %d messages of "
            "each series come in %d rounds, each measuring floor, socat and bridge in turn, %d warm-up messages "
            "before each block. The bridge paces its writes as if the 1,200,000-baud wire were there even on a "
            "pty, so each message towards the device is sent %d us after the previous one came through, more "
            "than a 530-byte ArtDmx's %.0f us on the wire: the figure measures the bridge, not its pacing (the "
            "other way, %d us)." % (s["latency_count"], s["latency_rounds"], s["latency_warmup"], s["n2d_gap_us"],
                                    self.dmx_wire_ms * 1000, s["d2n_gap_us"]), "",
            "Commands: `%s` (everything, some fifteen minutes); `sudo bench/run --quick` makes every count and "
            "run shorter, for trying things out (it does not write this file)." % commands["run"], ""]
        lines += ["## Results", "", self.tables(), "## Reading the numbers", ""] + self.notes() + [
            "", "## Plots", "",
            "![DMX age at the device at 2x the wire, bridge and socat](performance-age.png)", "",
            "![Latency of the bridge and socat on a bare pty, both directions](performance-latency.png)", ""]
        with open(path, "w") as f:
            f.write("\n".join(lines))

    def notes(self):
        w = self.r["wire"]
        d, ds = w["double_bridge"], w["double_socat"]
        single = w["d2n_bridge"]["single"]
        return [
            "- **What gives way, and why the old throughput judgments are gone.** The wire carries %.0f full "
            "ArtDmx a second. Offered more, the bridge keeps what waits in its own queue, where a waiting ArtDmx "
            "is replaced by a newer one for the same universe and source in its place in the line: the device "
            "gets each universe's newest data, so the age stays near one frame period plus the wire time "
            "(2x: p99 %.1f ms) however much is offered. socat writes everything into the port, the kernel "
            "drops what its socket buffer cannot hold, and what it passes on waits behind all that buffer holds "
            "(2x: p99 %.0f ms; the plot). Earlier runs judged a bare pty's lossless throughput (75,000 a "
            "second, against socat's 20,000) and a flood in which every packet had to arrive, whole and in "
            "order: with a wire behind the bridge, that a forwarder passes on more than the wire carries only "
            "means it is queueing stale data, so those judgments are replaced by the age, refresh, "
            "whole-packet and control-packet ones on the wire. The flood keeps: alive and forwarding both "
            "ways afterwards, no stray or cut bytes at the device, memory flat, and no control packet lost "
            "while the queue had room (a control packet may be dropped only when the bridge's 256 places hold "
            "packets that may not give way; one not forwarded is counted against the bridge unless 256 control "
            "packets sent before it left the wire after it was sent)."
            % (120000 / 530, d["age"]["p99"], ds["age"]["p99"]),
            "- **The refresh target at 10x.** 50 universes at 44 Hz are 2,200 packets a second, ten times what "
            "the wire carries. Refreshing each every 100 ms would take 500 a second, more than twice the wire: no "
            "forwarder can. The best is a fair round robin, each universe once in every 50 packets, %.0f ms. A "
            "universe that has just been written comes back into the line only with its next frame, up to one "
            "frame period (1/44 s, 23 ms) later, and others may have come in ahead of it meanwhile: so even a "
            "fair line gives some gaps of 221 + 23 ms, 1.10 times the round robin; the ArtPoll, ArtAddress and "
            "ArtTodRequest share the wire too. The target is therefore %.2f times the round robin, %.0f ms, with "
            "the age, whole-packet, control-packet and memory bounds of 2x kept."
            % (self.round_robin_ms, ROUND_ROBIN_SLACK, ROUND_ROBIN_SLACK * self.round_robin_ms),
            "- **What the wire adds, device to network.** A 241-byte frame takes %.2f ms on the wire; the adapter "
            "hands it over in 62-byte chunks, the last (55 bytes) only once the wire has been quiet for its 1 ms "
            "latency timer. From the device's command to the controller that made %.2f ms (p50) for the bridge. "
            "Its own share, from the write of the last chunk into the port, is the hop the bare pty measures. "
            "It came to %.0f us against %.0f us on the bare pty, and socat's to %.0f us against %.0f us: both "
            "forwarders alike, so it is the conditions that differ, not the bridge. On the wire the frames come "
            "10 ms apart and the forwarder has slept some 1.5 ms since the chunk before, where on the pty one "
            "message follows the other 200 us apart and the frame comes in one piece. The bridge waits for "
            "nothing but the CR LF, so it is judged against socat on the same wire."
            % (241 * 10e3 / WIRE_BAUD, single["total_us"]["p50"] / 1e3, single["share_us"]["p50"],
               self.lat["bridge_d2n_free"]["p50"], w["d2n_socat"]["single"]["share_us"]["p50"],
               self.lat["socat_d2n_free"]["p50"]),
            "- **socat on the wire.** It sends each read of the port as a datagram, so a frame reaches the "
            "controller in as many pieces as the adapter's chunks, and replies back to back run together; a "
            "controller that reads a datagram as one packet sees none of them whole.",
            "- **A stall.** While the device takes nothing, the adapter's buffer fills and the bridge's write "
            "blocks; what waits in its queue stays fresh (newer DMX replaces it), so once the device reads "
            "again only the adapter's 4096 bytes (34 ms of wire) and the packet whose write had begun are old: "
            "here the last old packet left %s ms after the stall's end." % " / ".join(
                "%.0f" % rec["recovered_ms"] for rec in w["stall_bridge"]["recoveries"]),
            "- **The flood's device side.** The device's random frames come back to back at the wire's pace "
            "and are not Art-Net packets, so one ends only where a read of the port happens to end in CR LF: "
            "its %d frames ending in CR LF became %d datagrams, each ending in CR LF and at most 2047 bytes "
            "long, as the bridge's frame rules say." % (w["flood"]["frames_with_crlf"],
                                                                   w["flood"]["datagrams"]),
            "- **One core, towards the device.** Spaced by the wire time, a message finds the pty's kernel "
            "worker (which carries a write on a pty to its other end, on whichever core the scheduler picks) "
            "asleep, and even pinned to one core it takes one of two paths by chance: the floor's own pty hop "
            "there spreads over %.0f, %.0f and %.0f us (p10, p50, p90), where the other way, 200 us apart, most "
            "messages keep to the fast one (%.0f, %.0f, %.0f us). Those medians are shown, not judged; towards the device the targets are judged on two "
            "cores, where every hop crosses." % self.spread_of("floor_pty_n2d_one", "floor_pty_d2n_one"),
            "- A message through a forwarder wakes two sleepers: the forwarder, then the device or the "
            "controller. On this machine a wake-up that crosses from one core to the other costs far more than "
            "one on the same core (compare the pinned rows), so left to the scheduler the latencies fall into "
            "two groups (the steps in the upper curves of the latency plot), and whether a median lands in one "
            "or the other is chance, for socat as for the bridge. The bare pty's targets are therefore judged "
            "pinned (`sched_setaffinity`): \"one core\" keeps the peer and the forwarder on one processor, "
            "\"two cores\" puts them on two; the floor's threads sit where the forwarder's hop would have them.",
        ]
