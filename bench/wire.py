"""The measurements on the wire: the simulated device as the real link has it
(artnet-device-sim --baud 1200000 --timestamps, at a real-time priority) on
/dev/ttyUSB0, the bridge or socat forwarding, the peer as the controller.

Every ArtDmx the peer sends carries its send time, and the device's timed
log says when each byte left the wire, so a packet's age at the device is
the moment its last byte left less its send time, with no log of what was
sent to correlate (the peer's "parse" finds the packets; analysis.py has
the figures). A fresh device and forwarder serve each run."""

import bisect
import contextlib
import os
import subprocess
import time

import analysis
import lab
import measure
from lab import BRIDGE_ADDRESS, PEER_ADDRESS, WIRE_BAUD
from measure import ARTNET, SOCAT_D2N, SOCAT_N2D

# A second controller across the network, for two sources of one universe.
SECOND_SOURCE = "10.77.0.4"
# The runs that judge what the bridge learns from the device's replies: a
# device of 4 universes on a network of 24; two bridges, each with a device
# of 4, on a network of 8; 12 universes the device outputs (three pages of
# four), of which the first 3 change and the rest stay the same.
OUTPUTS_OFFERED, OWN_UNIVERSES = 24, range(4)
TWO_OFFERED, TWO_DEVICES = 8, (range(0, 4), range(4, 8))
NEWS_OFFERED, CHANGING = 12, range(3)
RATE = 44
SECOND_PORT = lab.SECOND_PORT_NAME


def outputs(universes):
    """The simulator's options for a device that outputs `universes` (a
    range), four ports to a reply."""
    return ("--outputs", "%d-%d" % (universes[0], universes[-1]), "--ports-per-reply", "4")


# A device whose replies describe no output: the bridge then sends it every
# universe, as it did before it read them.
NO_OUTPUTS = ("--outputs", "none")
# What each run offers: universes, and frames a second of each (per source).
LOADS = {"half": (4, 28), "double": (10, 44), "tenfold": (50, 44), "sources": (5, 44),
         "stall": (8, 42.5)}
# The DMX age the bridge keeps to at twice the wire and beyond, and how soon
# after a stall it must be back within it.
AGE_BOUND_MS = 60
RECOVERY_MS = 200


def wait_answered(device, quiet=0.1):
    """Waits until the device has answered the bridge's probe: its replies
    (one a page) have all gone into the port, and a moment more, in which
    the bridge reads them."""
    device.wait_sent(1)
    count = None
    while count != len(device.sent()):
        count = len(device.sent())
        time.sleep(quiet)


class WireBench:
    def __init__(self, lab_, settings, out_dir, log, say):
        self.lab = lab_
        self.s = settings
        self.out_dir = out_dir
        self.log = log
        self.say = say
        self.results = {}
        self.bridge_ns = lab_.ns_path(lab_.host_ns)
        self.peer_ns = lab_.ns_path(lab_.network_ns)
        subprocess.run(["ip", "-n", lab_.network_ns, "address", "add", SECOND_SOURCE + "/24", "dev",
                        lab_.network_link], check=True)
        self.device = None
        self.port_name = None
        self.bridge = None  # The running lab.Bridge, inside forwarder("bridge").

    def run(self, only=None):
        """Every run, or those named in `only` (a quick look at a few:
        "half", "double", "tenfold", "sources", "stall", "outputs", "two",
        "news", "d2n", "replug", "cpu")."""
        def wanted(name):
            return only is None or name in only
        if wanted("half"):
            self.half_rounds()
        for load in ("double", "tenfold", "sources"):
            for forwarder in ("bridge", "socat"):
                if wanted(load):
                    self.load_run(load, forwarder)
        for described in (True, False):
            if wanted("outputs"):
                self.outputs_run(described)
            if wanted("two"):
                self.two_bridges(described)
        for forwarder in ("bridge", "socat"):
            if wanted("news"):
                self.news_run(forwarder)
        if wanted("stall"):
            self.stalls()
        for forwarder in ("bridge", "socat"):
            if wanted("d2n"):
                self.device_to_network(forwarder)
        if wanted("replug"):
            self.replugs()
        if wanted("cpu"):
            self.cpu_and_memory()
        if self.device is not None:
            self.device.stop()
        return {"wire": self.results}

    # --- the device and the forwarders -------------------------------------

    def plug(self, name=lab.PORT_NAME, device=()):
        """A new device at /dev/NAME in place of the last one, with the
        simulator's options `device`; returns the moment its port appeared."""
        if self.device is not None:
            self.device.stop()
            self.lab.unplug_port(self.port_name)
        self.device, appeared = self.lab.plug_device(*device, name=name, baud=WIRE_BAUD, timestamps=True)
        self.port_name = name
        return appeared

    @contextlib.contextmanager
    def forwarder(self, name, device=(), way=SOCAT_N2D):
        """The bridge or socat (forwarding `way`) with a fresh device (the
        simulator's options `device`), for the life of the block; yields the
        forwarder's PID. The bridge's block starts once the device's answers
        to its probe have reached it."""
        self.plug(device=device)
        if name == "socat":
            port = os.stat("/proc/%d/root%s" % (self.lab.holder.pid, self.device.path)).st_rdev
            with measure.socat(self.lab, self.log, port, *way) as pid:
                yield pid
            return
        bridge = self.lab.start_bridge()
        try:
            measure.wait_running(bridge, lambda: len(self.device.received()) >= len(lab.ART_POLL_PROBE))
            wait_answered(self.device)
            self.bridge = bridge
            yield bridge.process.pid
        finally:
            lab.terminate(bridge.process)
            self.bridge = None

    def wait_quiet(self, device=None):
        """Waits until the wire to the device has been idle for half a
        second: what the forwarder still held has crossed."""
        device = device or self.device
        last = None
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            received = device.stats()["received"]
            if received == last:
                return
            last = received
            time.sleep(0.5)

    def packets(self, start, device=None):
        """The traced packets the device read from byte `start` on, each DMX
        packet with the moment its last byte left the wire."""
        device = device or self.device
        data, ends, stamps = device.received_with_ends()
        path = os.path.join(self.out_dir, "device.bin")
        with open(path, "wb") as f:
            f.write(data[start:])
        found = {"dmx": [], "controls": [], "stray_bytes": 0, "stray_runs": 0}
        for line in measure.run_peer("parse", stream=path).splitlines():
            kind, *fields = line.split()
            if kind == "S":
                found["stray_bytes"] += int(fields[1])
                found["stray_runs"] += 1
                continue
            end, opcode, source, universe, sequence, sent = map(int, fields)
            if opcode == analysis.OP_DMX:
                exit_ = device.exit_time(ends, stamps, start + end - 1)
                found["dmx"].append((exit_, sent, source, universe, sequence))
            else:
                found["controls"].append((opcode, sequence))
        return found

    # --- network to device ---------------------------------------------------

    def stream(self, pid, universes, rate, seconds, sources=1, stalls=(), unchanged=None, devices=None):
        """The peer's stream into the forwarder `pid` and the device (or
        each of `devices`), with control packets; `stalls` are the seconds
        into it at which the device stalls, `unchanged` the universes whose
        data stays the same (a list such as "3-11"). Returns the device's
        packets, the peer's summary, and the wire's busy share and the
        forwarder's memory over the stream less its first and last
        seconds; with `devices`, "packets" and "busy" are lists, one for
        each."""
        devices_ = devices or [self.device]
        starts = [len(device.received()) for device in devices_]
        extra = {"from": "%s,%s" % (PEER_ADDRESS, SECOND_SOURCE)} if sources == 2 else {}
        if unchanged:
            extra["static"] = unchanged
        process = subprocess.Popen(measure.peer_command(
            "stream", send_ns=self.peer_ns, to=ARTNET, universes=universes, rate=rate, seconds=seconds,
            control=1, **extra), stdout=subprocess.PIPE, text=True)
        begun = time.monotonic()

        def at(offset):
            time.sleep(max(0.0, begun + offset - time.monotonic()))
        margin = min(2.0, seconds / 8)
        at(margin)
        first, first_usage = [device.stats() for device in devices_], measure.usage(pid)
        marks = []
        for when in stalls:
            at(when)
            marks.append(time.monotonic_ns())
            self.device.stall(self.s.stall_ms)
        at(seconds - margin)
        last, last_usage = [device.stats() for device in devices_], measure.usage(pid)
        summary = measure.last_json(process.communicate(timeout=seconds + 60)[0])
        for device in devices_:
            self.wait_quiet(device)
        busy = [(b["wire_busy_ns"] - a["wire_busy_ns"]) / (b["at"] - a["at"]) for a, b in zip(first, last)]
        packets = [self.packets(start, device) for start, device in zip(starts, devices_)]
        return {"packets": packets if devices else packets[0], "summary": summary, "marks": marks,
                "busy": busy if devices else busy[0],
                "memory": {"rss_before_kb": first_usage["rss_kb"], "hwm_before_kb": first_usage["hwm_kb"],
                           "rss_after_kb": last_usage["rss_kb"], "hwm_after_kb": last_usage["hwm_kb"]}}

    def load_run(self, load, forwarder):
        universes, rate = LOADS[load]
        sources = 2 if load == "sources" else 1
        seconds = getattr(self.s, load + "_seconds")
        self.say("On the wire, %s: %d universes at %g Hz from %d source(s), %d s"
                 % (forwarder, universes, rate, sources, seconds))
        with self.forwarder(forwarder, device=outputs(range(universes))) as pid:
            run = self.stream(pid, universes, rate, seconds, sources=sources)
        figures = analysis.dmx_figures(run["packets"], run["summary"], universes)
        figures.update(busy=run["busy"], memory=run["memory"], seconds=seconds, rate=rate,
                       offered_per_second=universes * rate * sources)
        if load == "double":
            path = os.path.join(self.out_dir, "age_%s.dat" % forwarder)
            with open(path, "w") as f:
                for t, age in analysis.age_series(run["packets"], run["summary"]["start_ns"]):
                    f.write("%.4f %.3f\n" % (t, age))
            figures["series"] = path
        self.results["%s_%s" % (load, forwarder)] = figures
        self.say("  age p50 %.1f ms, p99 %.1f ms, refresh max %.0f ms, wire busy %.1f%%, %d stray bytes, "
                 "%d of %d control packets lost" % (figures["age"]["p50"], figures["age"]["p99"],
                                                     figures["refresh"]["max"], 100 * run["busy"],
                                                     figures["stray_bytes"], figures["controls_lost"],
                                                     figures["controls_sent"]))

    def half_rounds(self):
        """Half what the wire carries, where the bridge is to add nothing to
        the age socat's packets have: runs of the bridge and socat in turn,
        so that a slow spell of this shared machine falls on both alike."""
        universes, rate = LOADS["half"]
        rounds, seconds = self.s.half_rounds, self.s.half_seconds
        self.say("On the wire: %d universes at %g Hz, bridge and socat in turn, %d rounds of %d s"
                 % (universes, rate, rounds, seconds))
        runs = {"bridge": [], "socat": []}
        busy = {"bridge": [], "socat": []}
        for _ in range(rounds):
            for forwarder in ("bridge", "socat"):
                with self.forwarder(forwarder, device=outputs(range(universes))) as pid:
                    run = self.stream(pid, universes, rate, seconds)
                runs[forwarder].append((run["packets"], run["summary"]))
                busy[forwarder].append(run["busy"])
        for forwarder in ("bridge", "socat"):
            figures = analysis.rounds_figures(runs[forwarder], universes)
            figures.update(busy=sum(busy[forwarder]) / rounds, seconds=seconds * rounds, rate=rate,
                           offered_per_second=universes * rate, memory=None)
            self.results["half_" + forwarder] = figures
            self.say("  %s: age p50 %.2f ms, p99 %.2f ms, max %.1f ms; %d of %d control packets lost"
                     % (forwarder, figures["age"]["p50"], figures["age"]["p99"], figures["age"]["max"],
                        figures["controls_lost"], figures["controls_sent"]))

    def stalls(self):
        universes, rate = LOADS["stall"]
        seconds = self.s.stall_seconds
        when = [seconds * (i + 1) / (self.s.stalls + 1) for i in range(self.s.stalls)]
        self.say("On the wire, bridge: the device stalls %d times for %d ms at 1.5x" % (self.s.stalls,
                                                                                     self.s.stall_ms))
        with self.forwarder("bridge", device=outputs(range(universes))) as pid:
            run = self.stream(pid, universes, rate, seconds, stalls=when)
            time.sleep(0.2)
            console = self.bridge.output()
        figures = analysis.dmx_figures(run["packets"], run["summary"], universes)
        timeout = lab.MESSAGES["SerialWriteTimeout"].encode()
        rest = console.replace(lab.message("InitCompleted") + lab.message("Running"), b"", 1)
        figures.update(stalls=len(when), stall_ms=self.s.stall_ms, seconds=seconds, timeouts=console.count(timeout),
                       other_lines=len([line for line in rest.split(b"\n") if line.strip() and timeout not in line]),
                       recoveries=analysis.recoveries(run["packets"], run["marks"], self.s.stall_ms,
                                                      AGE_BOUND_MS, RECOVERY_MS))
        self.results["stall_bridge"] = figures
        self.say("  %d timeouts on the console; back within %s ms" % (
            figures["timeouts"], ", ".join("%.0f" % r["recovered_ms"] for r in figures["recoveries"])))

    # --- what the device outputs, and news first -----------------------------

    def outputs_run(self, described):
        """24 universes at 44 Hz, the device outputting 0-3: as its replies
        say (`described`), or with replies that describe no output, as the
        bridge had it before it read them."""
        seconds = self.s.outputs_seconds
        name = "outputs_" + ("bridge" if described else "today")
        self.say("On the wire, bridge: %d universes at %d Hz, the device outputs %d%s, %d s"
                 % (OUTPUTS_OFFERED, RATE, len(OWN_UNIVERSES), "" if described else " (not described)", seconds))
        with self.forwarder("bridge", device=outputs(OWN_UNIVERSES) if described else NO_OUTPUTS) as pid:
            run = self.stream(pid, OUTPUTS_OFFERED, RATE, seconds)
        figures = analysis.universe_figures(run["packets"], run["summary"], set(OWN_UNIVERSES))
        figures.update(busy=run["busy"], seconds=seconds, offered=OUTPUTS_OFFERED,
                       controls_lost=analysis.dmx_figures(run["packets"], run["summary"],
                                                          OUTPUTS_OFFERED)["controls_lost"],
                       stray_bytes=run["packets"]["stray_bytes"])
        self.results[name] = figures
        self.say("  its universes: refresh p99 %.1f ms, age p99 %.1f ms; %d of %d ArtDmx on the wire for "
                 "others; wire busy %.1f%%" % (figures["refresh"]["p99"], figures["age"]["p99"],
                                                figures["other_universes"], figures["dmx_on_wire"],
                                                100 * figures["busy"]))

    def two_bridges(self, described):
        """Two devices, /dev/ttyUSB0 and /dev/ttyUSB1, outputting 4
        universes each, each with a bridge of its own on the same host; 8
        universes at 44 Hz."""
        seconds = self.s.two_seconds
        name = "two_" + ("bridge" if described else "today")
        self.say("On the wire, two bridges: %d universes at %d Hz, two devices of %d%s, %d s"
                 % (TWO_OFFERED, RATE, len(TWO_DEVICES[0]), "" if described else " (not described)", seconds))
        if self.device is not None:
            self.device.stop()
            self.lab.unplug_port(self.port_name)
            self.device = None
        devices = []
        bridges = []
        try:
            for port, universes in zip((lab.PORT_NAME, SECOND_PORT), TWO_DEVICES):
                device, _ = self.lab.plug_device(*(outputs(universes) if described else NO_OUTPUTS), name=port,
                                                 baud=WIRE_BAUD, timestamps=True)
                devices.append(device)
            # One after the other: the first takes the first port, the
            # second finds it held and takes the next.
            for device in devices:
                bridge = self.lab.start_bridge()
                bridges.append(bridge)
                measure.wait_running(bridge, lambda: len(device.received()) >= len(lab.ART_POLL_PROBE))
                wait_answered(device)
            run = self.stream(bridges[0].process.pid, TWO_OFFERED, RATE, seconds, devices=devices)
            alive = all(bridge.running() for bridge in bridges)
        finally:
            for bridge in bridges:
                lab.terminate(bridge.process)
            for device, port in zip(devices, (lab.PORT_NAME, SECOND_PORT)):
                device.stop()
                self.lab.unplug_port(port)
        figures = {"devices": [], "seconds": seconds, "offered": TWO_OFFERED, "alive": alive}
        for packets, busy, universes in zip(run["packets"], run["busy"], TWO_DEVICES):
            found = analysis.universe_figures(packets, run["summary"], set(universes))
            found.update(busy=busy, stray_bytes=packets["stray_bytes"],
                         controls_lost=analysis.dmx_figures(packets, run["summary"], TWO_OFFERED)["controls_lost"])
            figures["devices"].append(found)
        self.results[name] = figures
        self.say("  " + "; ".join("device %d: refresh p99 %.1f ms, %d of %d ArtDmx for others" % (
            i, d["refresh"]["p99"], d["other_universes"], d["dmx_on_wire"]) for i, d in enumerate(figures["devices"])))

    def news_run(self, forwarder):
        """12 universes at 44 Hz, all of which the device outputs (three
        pages of four): 3 change every frame, the others stay the same."""
        seconds = self.s.news_seconds
        unchanged = range(len(CHANGING), NEWS_OFFERED)
        self.say("On the wire, %s: %d universes at %d Hz, %d of them changing, %d s"
                 % (forwarder, NEWS_OFFERED, RATE, len(CHANGING), seconds))
        with self.forwarder(forwarder, device=outputs(range(NEWS_OFFERED))) as pid:
            run = self.stream(pid, NEWS_OFFERED, RATE, seconds,
                              unchanged="%d-%d" % (unchanged[0], unchanged[-1]))
        figures = analysis.universe_figures(run["packets"], run["summary"], set(CHANGING))
        figures["unchanged"] = analysis.unchanged_figures(run["packets"], run["summary"], unchanged)
        figures.update(busy=run["busy"], seconds=seconds, offered=NEWS_OFFERED, changing=len(CHANGING),
                       controls_lost=analysis.dmx_figures(run["packets"], run["summary"],
                                                          NEWS_OFFERED)["controls_lost"],
                       stray_bytes=run["packets"]["stray_bytes"])
        self.results["news_" + forwarder] = figures
        self.say("  changing: refresh p99 %.1f ms, age p99 %.1f ms; unchanged: longest without %.0f ms"
                 % (figures["refresh"]["p99"], figures["age"]["p99"],
                    max(figures["unchanged"]["longest_ms"].values())))

    # --- device to network ---------------------------------------------------

    @contextlib.contextmanager
    def listener(self):
        """The controllers the device's frames go to, for the life of the
        block: one at the bridge's address, port 6454, where they go while
        no controller has polled, and one at the peer's address, port 6454,
        where they go for ten seconds after the peer's ArtPolls (the streams'
        control packets include one each second). Each frame reaches one of
        them. Yields a function that returns the datagrams both received so
        far (ns, sender, payload), in the order received, ending them."""
        processes = [subprocess.Popen(measure.peer_command("listen", recv_ns=ns, listen=endpoint),
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                     for ns, endpoint in ((self.bridge_ns, ARTNET), (self.peer_ns, "%s:6454" % PEER_ADDRESS))]
        try:
            for process in processes:
                if process.stdout.readline().strip() != "listening":
                    raise RuntimeError("the listener did not start")
            got = []

            def finish():
                if not got:
                    for process in processes:
                        out = process.communicate(timeout=60)[0]
                        for line in out.splitlines():
                            ns, sender, payload = line.split(" ")
                            got.append((int(ns), sender, bytes.fromhex(payload)))
                    got.sort(key=lambda datagram: datagram[0])
                return got
            yield finish
        finally:
            for process in processes:
                lab.terminate(process)

    def send_frames(self, frames, pause):
        """Has the device send `frames`, `pause` seconds apart (0: all at
        once, back to back on its wire); returns when each was given to it."""
        marks = []
        for frame in frames:
            marks.append(time.monotonic_ns())
            self.device.send(frame)
            if pause:
                time.sleep(pause)
        return marks

    def wait_sent(self, count):
        self.device.wait_sent(count, timeout=60)
        time.sleep(0.2)

    def device_to_network(self, forwarder):
        s = self.s
        self.say("On the wire, %s: device to network" % forwarder)
        result = {}
        with self.forwarder(forwarder, device=("--ports", "4"), way=SOCAT_D2N), self.listener() as finish:
            replies = self.device.sent()[:4] if forwarder == "bridge" else []
            time.sleep(0.2)
            base = len(self.device.sent())
            phases = []
            if forwarder == "bridge":
                # ArtPolls from across the network; the bridge's is the only
                # way for them to reach the device.
                with self.lab.socket("network") as poller:
                    poller.bind((PEER_ADDRESS, 0))
                    marks = []
                    for _ in range(s.polls):
                        marks.append(time.monotonic_ns())
                        poller.sendto(lab.art_poll(), (BRIDGE_ADDRESS, lab.ARTNET_PORT))
                        time.sleep(0.05)
                    marks.append(time.monotonic_ns())
                self.wait_sent(base + 4 * s.polls)
                base += 4 * s.polls
                phases.append(("polls", replies, marks))
            for phase, count, size, pause in (("single", s.single_frames, 241, 0.01),
                                              ("streamed", s.streamed_replies, 241, 0),
                                              ("long", s.long_frames, 2047, 0)):
                frames = [bytes.fromhex(line) for line in measure.run_peer(
                    "frames", count=count, size=size, first=len(phases) * 100000).splitlines()]
                marks = self.send_frames(frames, pause)
                self.wait_sent(base + count)
                base += count
                marks.append(time.monotonic_ns())
                phases.append((phase, frames, marks))
            sent_at = {frame: stamp for frame, stamp in self.device.sent_with_times()}
            datagrams = [(ns, payload) for ns, sender, payload in finish()
                         if not sender.startswith(PEER_ADDRESS + ":")]
        for phase, frames, marks in phases:
            during = [d for d in datagrams if marks[0] <= d[0] < marks[-1]]
            if phase == "polls":
                result[phase] = self.poll_figures(frames, marks, during)
                continue
            found = analysis.find_frames(frames, during)
            result[phase] = analysis.frame_figures(found)
            result[phase]["datagrams"] = len(during)
            if phase == "single":
                ok = [(f, frame, mark) for f, frame, mark in zip(found, frames, marks) if f]
                result[phase]["share_us"] = analysis.spread([(f["arrival"] - sent_at[frame]) / 1e3
                                                             for f, frame, _ in ok])
                result[phase]["total_us"] = analysis.spread([(f["arrival"] - mark) / 1e3 for f, _, mark in ok])
        self.results["d2n_" + forwarder] = result
        self.say("  " + "; ".join("%s: %d of %d whole and alone" % (
            phase, r.get("alone", r.get("whole", 0)), r.get("frames", r.get("polls", 0)))
            for phase, r in result.items()))

    @staticmethod
    def poll_figures(replies, marks, datagrams):
        """How each poll's answers came: four datagrams, the four replies."""
        whole = 0
        took = []
        for begin, end in zip(marks, marks[1:]):
            got = [d for d in datagrams if begin <= d[0] < end]
            if sorted(payload for _, payload in got) == sorted(replies):
                whole += 1
                took.append((got[-1][0] - begin) / 1e6)
        return {"polls": len(marks) - 1, "whole": whole, "replies": len(replies),
                "sizes": sorted({len(r) for r in replies}), "took_ms": analysis.spread(took)}

    def replugs(self):
        """The device hangs up; after a pause of 0.5 to 0.75 s a new one
        appears, at /dev/ttyUSB0 or (every third time) /dev/ttyUSB1. First
        how idle the bridge is while none is there, then the replugs under a
        stream of DMX at half the wire."""
        s = self.s
        self.say("On the wire, bridge: the device goes and comes back, %d times" % s.replugs)
        lost = lab.MESSAGES["DeviceLost"].encode()
        back = lab.MESSAGES["DeviceReconnected"].encode()
        times = []
        device = outputs(range(LOADS["half"][0]))
        with self.forwarder("bridge", device=device) as pid:
            console = self.bridge.stdout
            self.device.hangup()
            console.wait_for(lambda out: out.count(lost) >= 1)
            gone = measure.measured(pid, lambda: time.sleep(s.gone_seconds) or {})
            gone_cpu = 100.0 * gone["cpu_ns"] / gone["wall_ns"]
            universes, rate = LOADS["half"]
            stream = subprocess.Popen(measure.peer_command(
                "stream", send_ns=self.peer_ns, to=ARTNET, universes=universes, rate=rate,
                seconds=s.replugs * 3 + 10), stdout=subprocess.DEVNULL)
            try:
                with self.listener() as finish:
                    plugged = []
                    for i in range(s.replugs):
                        # The bridge looks four times a second: the pauses
                        # sweep a quarter of a second, so that the port comes
                        # back at every moment between two looks.
                        time.sleep(0.5 + 0.25 * i / s.replugs)
                        self.lab.unplug_port(self.port_name)
                        self.device = None
                        appeared = self.plug(name=SECOND_PORT if i % 3 == 2 else lab.PORT_NAME, device=device)
                        console.wait_for(lambda out: out.count(back) >= i + 1)
                        self.device.wait_received(len(lab.ART_POLL_PROBE) + 530)
                        time.sleep(0.3)
                        plugged.append((appeared, self.device))
                        self.device.hangup()
                        console.wait_for(lambda out: out.count(lost) >= i + 2)
                    datagrams = [(ns, payload) for ns, sender, payload in finish() if sender == ARTNET]
            finally:
                lab.terminate(stream)
            output = console.data()
        for appeared, device in plugged:
            data, ends, stamps = device.received_with_ends()
            probe = device.exit_time(ends, stamps, len(lab.ART_POLL_PROBE) - 1) \
                if data.startswith(lab.ART_POLL_PROBE) else None
            dmx = self.packets(len(lab.ART_POLL_PROBE), device)["dmx"]
            frame = next((ns for ns, _ in datagrams if ns > appeared), None)
            times.append({"probe_ms": (probe - appeared) / 1e6 if probe else None,
                          "dmx_ms": (min(d[0] for d in dmx) - appeared) / 1e6 if dmx else None,
                          "frame_ms": (frame - appeared) / 1e6 if frame else None})
        self.results["replug_bridge"] = {"replugs": times, "gone_cpu": gone_cpu,
                                         "gone_seconds": s.gone_seconds, "lost_lines": output.count(lost),
                                         "back_lines": output.count(back)}
        self.say("  within %s ms of the port's return: traffic both ways; %.3f%% of a core while gone"
                 % (", ".join("%.0f" % max(t["dmx_ms"] or 1e9, t["frame_ms"] or 1e9) for t in times),
                    gone_cpu))

    # --- CPU, memory and the flood -----------------------------------------

    def cpu_and_memory(self):
        s = self.s
        results = {}
        with self.forwarder("bridge", device=outputs(range(10))) as pid:
            self.say("On the wire, bridge: idle CPU for %d s" % s.idle_seconds)
            results["idle"] = measure.measured(pid, lambda: time.sleep(s.idle_seconds) or {})

            self.say("On the wire, bridge: CPU for %d ArtDmx/s, alone and under %d unrelated packets/s"
                     % (s.load_artnet_rate, s.load_noise_rate))
            noise = {"noise_rate": s.load_noise_rate, "noise_ns": self.peer_ns,
                     "noise_to": "%s:7000" % BRIDGE_ADDRESS, "noise_size": 64,
                     "noise_sink_ns": self.bridge_ns, "noise_sink": "%s:7000" % BRIDGE_ADDRESS}
            # Over ten universes, so that no ArtDmx gives way to a newer one
            # of its universe unless the bridge held it for 100 ms.
            for name, extra in (("load_baseline", {}), ("load", noise)):
                start = len(self.device.received())
                drops = measure.socket_drops(self.bridge_ns, pid)
                summary = measure.measured(pid, lambda: measure.peer(
                    "stream", send_ns=self.peer_ns, to=ARTNET, universes=10, rate=s.load_artnet_rate / 10,
                    seconds=s.load_seconds, control=1, **extra))
                self.wait_quiet()
                results[name] = self.arrivals(summary, self.packets(start))
                results[name]["socket_drops"] = measure.socket_drops(self.bridge_ns, pid) - drops

            self.say("On the wire, bridge: memory over %d packets at %d/s" % (s.memory_packets, s.memory_rate))
            memory = {"universes": 10, "rate": s.memory_rate / 10}
            measure.peer("stream", send_ns=self.peer_ns, to=ARTNET, seconds=1, **memory)  # Warm-up.
            self.wait_quiet()
            start = len(self.device.received())
            summary = measure.measured(pid, lambda: measure.peer(
                "stream", send_ns=self.peer_ns, to=ARTNET, seconds=s.memory_packets / s.memory_rate, **memory))
            self.wait_quiet()
            results["memory"] = self.arrivals(summary, self.packets(start))

            self.say("On the wire, bridge: flood of %d packets" % s.flood_packets)
            results["flood"] = self.flood(pid)
            results["flood"]["alive"] = self.bridge.running()
            if results["flood"]["alive"]:
                results["flood"]["after"] = self.still_forwarding(pid)
            final = measure.usage(pid)
            results["final_memory"] = {"rss_kb": final["rss_kb"], "hwm_kb": final["hwm_kb"]}
        self.results.update(results)

    @staticmethod
    def arrivals(summary, packets):
        sent = int(summary["dmx_sent_0"])
        keys = {"cpu_ns", "wall_ns", "rss_before_kb", "rss_after_kb", "hwm_before_kb", "hwm_after_kb",
                "noise_rate"}
        found = {k: v for k, v in summary.items() if k in keys}
        found.update(sent=sent, arrived=len({p[4] for p in packets["dmx"]}), stray_bytes=packets["stray_bytes"],
                     controls_sent=int(summary["controls_sent"]), controls_lost=int(summary["controls_sent"])
                     - len(set(packets["controls"])))
        return found

    def flood(self, pid):
        seed = 1
        schedule = os.path.join(self.out_dir, "flood.schedule")
        start = len(self.device.received())
        drops = measure.socket_drops(self.bridge_ns, pid)
        device_input = self.device.process.stdin.fileno()
        flood = measure.measured(pid, lambda: measure.peer(
            "flood", count=self.s.flood_packets, seed=seed, send_ns=self.peer_ns,
            to="%s:6454" % lab.CONTROLLER_ADDRESS, sink_ns=self.bridge_ns,
            sink="%s:6454" % lab.CONTROLLER_ADDRESS, recv_ns=self.bridge_ns, listen=ARTNET,
            device_input=device_input, device_baud=WIRE_BAUD, schedule=schedule, pass_fds=(device_input,)))
        flood["socket_drops"] = measure.socket_drops(self.bridge_ns, pid) - drops
        self.wait_quiet()
        self.device.wait_sent(int(flood["frames_with_crlf"] + flood["frames_without_crlf"]), timeout=60)
        data, ends, stamps = self.device.received_with_ends()
        path = os.path.join(self.out_dir, "device.bin")
        with open(path, "wb") as f:
            f.write(data[start:])
        out = measure.run_peer("flood-check", stream=path, schedule=schedule, seed=seed,
                               count=self.s.flood_packets)
        flood.update(measure.last_json(out))
        # A control packet may be dropped only while the queue is full of
        # packets that may not give way: the bridge's 256. Those were all
        # sent before it and, never dropped, left the wire after it was sent.
        # Where fewer such packets exist, it was lost while there was room.
        delivered, exits, missing = [], [], []
        for line in out.splitlines():
            kind, *fields = line.split()
            if kind == "D":
                delivered.append(int(fields[0]))
                exits.append(self.device.exit_time(ends, stamps, start + int(fields[1]) - 1))
            elif kind == "M" and fields[2] == "1":
                missing.append((int(fields[0]), int(fields[1])))
        lost_with_room = 0
        for index, sent in missing:
            waiting = bisect.bisect_left(delivered, index) - bisect.bisect_right(exits, sent)
            lost_with_room += waiting < 256
        flood["control_lost_with_room"] = lost_with_room
        return flood

    def still_forwarding(self, pid):
        """After the flood: a stream at half the wire reaches the device
        whole, and the device's frames the controller (after five that let
        the bridge's frame collection, left with the flood's unended frames,
        start afresh)."""
        universes, rate = LOADS["half"]
        start = len(self.device.received())
        summary = measure.peer("stream", send_ns=self.peer_ns, to=ARTNET, universes=universes, rate=rate,
                               seconds=2, control=1)
        self.wait_quiet()
        to_device = analysis.dmx_figures(self.packets(start), summary, universes)
        frames = [bytes.fromhex(line) for line in measure.run_peer("frames", count=25, first=300000).splitlines()]
        with self.listener() as finish:
            base = len(self.device.sent())
            marks = self.send_frames(frames, 0.01)
            self.wait_sent(base + len(frames))
            datagrams = [(ns, p) for ns, sender, p in finish() if sender == ARTNET and ns >= marks[5]]
        to_network = analysis.frame_figures(analysis.find_frames(frames[5:], datagrams))
        return {"dmx_sent": sum(to_device["offered"]), "dmx_arrived": sum(to_device["delivered"]),
                "controls_lost": to_device["controls_lost"], "stray_bytes": to_device["stray_bytes"],
                "frames": to_network["frames"], "frames_alone": to_network["alone"]}
