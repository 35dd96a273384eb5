"""The tables (Markdown, which reads fine on a terminal too) and the plots
(gnuplot, PNG) of a bench/run: functions of its report.Report."""

import os
import subprocess

PLACEMENT_TITLES = {"free": "left to the scheduler", "one": "one core", "two": "two cores"}
LOAD_TITLES = [("half", "0.5x: 4 universes at 28 Hz"), ("double", "2x: 10 universes at 44 Hz"),
               ("tenfold", "10x: 50 universes at 44 Hz"),
               ("sources", "2x from two sources: the same 5 universes at 44 Hz from each")]


def ms(value):
    return "%.1f" % value if value == value else "-"


def wire_n2d(r):
    w = r.r["wire"]
    out = ["**Network to device on the wire**: ArtDmx of 512 channels (530 bytes, %.2f ms on the wire), sent "
           "evenly spaced, with an ArtPoll, an ArtAddress and an ArtTodRequest once a second each; ages in ms "
           "from the controller's send to the moment the packet's last byte left the wire, of the packets "
           "that left while the stream ran" % r.dmx_wire_ms, "",
           "| load | | offered/s | age p50 | p99 | max | p99 first / last %.0f s | refresh p50 | max "
           "| wire busy | DMX at the device | control lost | cut bytes |" % w["double_bridge"]["window_s"],
           "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for load, title in LOAD_TITLES:
        for i, who in enumerate(("bridge", "socat")):
            f = w["%s_%s" % (load, who)]
            delivered = " + ".join("%d of %d" % (d, o) for d, o in zip(f["delivered"], f["offered"]))
            out.append("| %s | %s | %d | %s | %s | %s | %s / %s | %s | %s | %.1f%% | %s | %d of %d | %d |" % (
                title if i == 0 else "", who, f["offered_per_second"], ms(f["age"]["p50"]), ms(f["age"]["p99"]),
                ms(f["age"]["max"]), ms(f["age_first"]["p99"]), ms(f["age_last"]["p99"]), ms(f["refresh"]["p50"]),
                ms(f["refresh"]["max"]), 100 * f["busy"], delivered, f["controls_lost"], f["controls_sent"],
                f["stray_bytes"]))
    f = w["sources_bridge"]
    out += ["", "Two sources: the bridge passed on %s of what each offered; socat %s." % (
        " and ".join("%.0f%%" % (100 * s) for s in f["share"]),
        " and ".join("%.0f%%" % (100 * s) for s in w["sources_socat"]["share"])), ""]
    st = w["stall_bridge"]
    out += ["**The device stalls**: 8 universes at 42.5 Hz (1.5x the wire) for %.0f s, the device taking "
            "nothing off the wire for %d ms, %d times; the bridge" % (st["seconds"], st["stall_ms"], st["stalls"]),
            "",
            "| stall | oldest DMX at the device | last DMX older than %d ms, after the stall's end | age p99 from "
            "200 ms after it to the next |" % r.age_bound_ms, "|---:|---:|---:|---:|"]
    for i, rec in enumerate(st["recoveries"]):
        out.append("| %d | %.0f ms | %.0f ms | %s ms |" % (i + 1, rec["oldest"], rec["recovered_ms"],
                                                             ms(rec["p99_after"])))
    out += ["", "Console: %d \"Serial write timeout\" lines, %d other lines; %d bytes of cut or damaged "
            "packets at the device." % (st["timeouts"], st["other_lines"], st["stray_bytes"]), ""]
    return out


def wire_outputs(r):
    """The runs in which the device's replies say what it outputs, beside
    the same with replies that describe no output (the bridge as it was
    before it read them) or with socat."""
    w = r.r["wire"]
    own, today = w["outputs_bridge"], w["outputs_today"]
    out = ["**The device's own universes**: ArtDmx at 44 Hz as above; the device's ArtPollReplies say which "
           "universes it outputs (\"as before\": replies that describe no output, so the bridge sends it "
           "every universe, as it did before it read them). Refresh and age of the universes it outputs, in ms", "",
           "| run | | refresh p50 | p99 | max | age p50 | p99 | max | ArtDmx on the wire for other universes "
           "| wire busy |", "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"]

    def row(title, who, f):
        return "| %s | %s | %s | %s | %s | %s | %s | %s | %d of %d | %.1f%% |" % (
            title, who, ms(f["refresh"]["p50"]), ms(f["refresh"]["p99"]), ms(f["refresh"]["max"]),
            ms(f["age"]["p50"]), ms(f["age"]["p99"]), ms(f["age"]["max"]), f["other_universes"],
            f["dmx_on_wire"], 100 * f["busy"])
    title = "%d universes offered, the device outputs 0-%d" % (own["offered"], own["universes"] - 1)
    out += [row(title, "bridge", own), row("", "as before", today)]
    for key, who in (("two_bridge", "bridges"), ("two_today", "as before")):
        for i, f in enumerate(w[key]["devices"]):
            title = ("two bridges, two devices outputting 0-3 and 4-7, %d offered" % w[key]["offered"]
                     if key == "two_bridge" and i == 0 else "")
            out.append(row(title, "%s, device %d" % (who, i + 1), f))
    news, socat_news = w["news_bridge"], w["news_socat"]
    title = ("%d universes the device outputs (3 pages of 4), the first %d changing every frame, the others "
             "unchanged" % (news["offered"], news["changing"]))
    out += [row(title, "bridge", news), row("", "socat", socat_news), ""]
    for name, f in (("bridge", news), ("socat", socat_news)):
        longest = f["unchanged"]["longest_ms"]
        out.append("%s: each unchanged universe at the device at least every %.0f ms (the longest gap of "
                   "any), %d of their ArtDmx in all." % (name, max(longest.values()), f["unchanged"]["arrived"]))
        out.append("")
    return out


def wire_d2n(r):
    b, s = r.r["wire"]["d2n_bridge"], r.r["wire"]["d2n_socat"]
    polls = b["polls"]
    out = ["**Device to network on the wire**: the device (4 ports) sends at 1,200,000 baud, handed over in "
           "62-byte chunks; the controller's socket at %s:6454 receives" % r.bridge_address, "",
           "| | bridge | socat |", "|---|---|---|",
           "| %d ArtPolls, 4 answers of %s bytes back to back each | %d answered as four datagrams, each one "
           "answer; all four in %s ms (p50), %s ms (max) | (one direction only) |" % (
               polls["polls"], "/".join(str(x) for x in polls["sizes"]), polls["whole"],
               ms(polls["took_ms"]["p50"]), ms(polls["took_ms"]["max"]))]
    for phase, title in (("streamed", "%d frames of 241 bytes back to back"),
                         ("long", "%d frames of 2047 bytes back to back")):
        cells = ["%d datagrams; %d frames whole, %d of them alone in a datagram" % (
            x[phase]["datagrams"], x[phase]["arrived"], x[phase]["alone"]) for x in (b, s)]
        out.append("| %s | %s | %s |" % (title % b[phase]["frames"], cells[0], cells[1]))
    single = [x["single"] for x in (b, s)]
    out.append("| %d frames of 241 bytes one at a time, 10 ms apart: from the device's command to the "
               "controller, p50 / p99 | %s / %s ms | %s / %s ms |" % (
                   single[0]["frames"], ms(single[0]["total_us"]["p50"] / 1e3), ms(single[0]["total_us"]["p99"] / 1e3),
                   ms(single[1]["total_us"]["p50"] / 1e3), ms(single[1]["total_us"]["p99"] / 1e3)))
    out.append("| the same, the forwarder's share: from the device's write of the frame's last chunk into the "
               "port, p50 / p99 | %.0f / %.0f us (bare pty, left to the scheduler: p50 %.0f us) | %.0f / %.0f us "
               "(bare pty: %.0f us) |" % (
                   single[0]["share_us"]["p50"], single[0]["share_us"]["p99"], r.lat["bridge_d2n_free"]["p50"],
                   single[1]["share_us"]["p50"], single[1]["share_us"]["p99"], r.lat["socat_d2n_free"]["p50"]))
    rp = r.r["wire"]["replug_bridge"]
    out += ["", "**The device comes and goes**: %d times the device hangs up and, 0.5 to 0.75 s later (a different moment each time between "
            "two of the bridge's four looks a second), a new one appears (every third time as /dev/ttyUSB1, else as /dev/ttyUSB0) while a controller sends 4 "
            "universes at 28 Hz; ms from the new port's appearance" % len(rp["replugs"]),
            "", "| | p50 | max |", "|---|---:|---:|"]
    for key, title in (("probe_ms", "to the probe's last byte at the new device"),
                       ("dmx_ms", "to the first ArtDmx's last byte at the new device"),
                       ("frame_ms", "to the first device frame (the probe's answer) at the controller")):
        values = [t[key] for t in rp["replugs"]]
        found = sorted(v for v in values if v is not None)
        missing = " (%d never)" % (len(values) - len(found)) if len(found) < len(values) else ""
        out.append("| %s | %s | %s%s |" % (title, ms(r.median(found)), ms(max(found, default=float("nan"))),
                                           missing))
    out += ["", "While the device was gone (%d s, no traffic) the bridge used %.3f%% of one core; its console "
            "said \"Device connection lost\" %d times and \"Device connected again\" %d times." % (
                rp["gone_seconds"], rp["gone_cpu"], rp["lost_lines"], rp["back_lines"]), ""]
    return out


def cpu_memory(r):
    w = r.r["wire"]
    load, base, mem, fl = w["load"], w["load_baseline"], w["memory"], w["flood"]
    out = ["**CPU and memory of the bridge** (on the wire)", "", "| | |", "|---|---|",
           "| idle, %d s | %.3f%% of one core |" % (r.settings["idle_seconds"], r.idle_cpu),
           "| %d ArtDmx/s over 10 universes and 3 control packets/s alone, %.0f s | %.2f%% of one core; ArtDmx "
           "%d of %d arrived |" % (r.settings["load_artnet_rate"], base["wall_ns"] / 1e9, r.baseline_cpu,
                                   base["arrived"], base["sent"]),
           "| the same with %.0f unrelated UDP packets/s (64 bytes, port 7000) to one adapter, "
           "both of the host's adapters captured | "
           "%.2f%% of one core; ArtDmx %d of %d arrived |" % (load["noise_rate"], r.load_cpu, load["arrived"],
                                                             load["sent"]),
           "| %d ArtDmx at %d/s over 10 universes (after a second to warm up) | %s; %d reached the device, what "
           "the wire carries |" % (mem["sent"], r.settings["memory_rate"], r.memory_growth(mem)[1], mem["arrived"]),
           "| 10x the wire, from the stream's second second to its last but one | %s |"
           % r.memory_growth(w["tenfold_bridge"]["memory"])[1],
           "| peak resident memory (VmHWM) at the end | %d kB |" % w["final_memory"]["hwm_kb"], ""]
    after = fl.get("after", {})
    out += ["**Flood**: %d Art-Net packets, random OpCodes, payloads of 0 to 2048 bytes, sent at %.0f "
            "packets/s; the device meanwhile sent %d random frames ending in CR LF and %d without (up to 4096 "
            "bytes), back to back at its wire's pace" % (fl["sent"], fl["send_rate"], fl["frames_with_crlf"],
                                                         fl["frames_without_crlf"]), "",
            "| | |", "|---|---|",
            "| packets the bridge may forward (10..530 bytes, OpCode high byte not 0x21/0x52) | %d |"
            % fl["may_forward"],
            "| reached the device, whole and in order (what the wire and the queue of 256 take) | %d |"
            % fl["delivered"],
            "| not forwarded: control packets while the queue was full of them / with room in it | %d / %d |"
            % (fl["missing_control"] - fl["control_lost_with_room"], fl["control_lost_with_room"]),
            "| not forwarded: DMX (may give way to newer DMX) | %d |" % (fl["missing"] - fl["missing_control"]),
            "| dropped by the kernel at the bridge's capture socket, its receive buffer full | %d |"
            % fl["socket_drops"],
            "| bytes at the device that belong to no such packet (cut, damaged or stray) | %d |" % fl["stray_bytes"],
            "| datagrams of frames that reached the controller (all end in CR LF, at most 2047 bytes: %s) | %d |"
            % ("yes" if fl["bad_datagrams"] == 0 else "NO, %d not" % fl["bad_datagrams"], fl["datagrams"]),
            "| memory | %s |" % r.memory_growth(fl)[1],
            "| afterwards | %s |" % ("the bridge had ended" if not fl["alive"] else
                                     "still running; %d of %d ArtDmx and every control packet (%d lost) reached "
                                     "the device, %d cut bytes; %d of %d frames reached the controller alone"
                                     % (after["dmx_arrived"], after["dmx_sent"], after["controls_lost"],
                                        after["stray_bytes"], after["frames_alone"], after["frames"])), ""]
    return out


def pty_latency(r):
    out = []
    for way, title, gap in (
            ("n2d", "Network to device: sendto of a 530-byte ArtDmx until the device has read its last byte",
             r.settings["n2d_gap_us"]),
            ("d2n", "Device to network: the device's write of a 241-byte frame ending in CR LF until the "
                    "controller has received it", r.settings["d2n_gap_us"])):
        out += ["**%s** (on a bare pty; microseconds; %d messages one at a time per line, each sent %d us "
                "after the previous one was through)" % (title, r.r["bridge_%s_free" % way]["sent"], gap), "",
                "| placement | | p50 | p99 | max | lost |", "|---|---|---:|---:|---:|---:|"]
        for placement in r.placements:
            key = "%s_%s" % (way, placement)
            rows = [("bridge", "bridge_" + key), ("socat", "socat_" + key), ("floor (UDP + pty)", "floor_" + key),
                    ("&nbsp;&nbsp;UDP one-way", "floor_udp_" + key),
                    ("&nbsp;&nbsp;pty write-to-read", "floor_pty_" + key)]
            for i, (label, name) in enumerate(rows):
                st = r.lat[name]
                out.append("| %s | %s | %.1f | %.1f | %.1f | %s |" % (
                    PLACEMENT_TITLES[placement] if i == 0 else "", label, st["p50"], st["p99"], st["max"],
                    st.get("lost", "")))
        split = sum(r.lat["socat_%s_%s" % (way, p)]["split"] for p in r.placements)
        if split:
            out += ["", "socat sent %d of the frames in more than one datagram." % split]
        out.append("")
    return out


def targets(r):
    out = ["**Targets**", "", "| target | measured | |", "|---|---|---|"]
    for name, ok, detail in r.targets:
        out.append("| %s | %s | %s |" % (name, detail, "PASS" if ok else "**FAIL**"))
    return out + [""]


def gnuplot(script):
    subprocess.run(["gnuplot"], input="\n".join(script), text=True, check=True)


def latency_plot(r, png, data_dir):
    def cdf(name):
        samples = r.samples(name)
        path = os.path.join(data_dir, name + ".cdf")
        with open(path, "w") as f:
            n = len(samples)
            for i in range(n):
                if i % max(1, n // 2000) == 0 or i == n - 1:
                    f.write("%.3f %.5f\n" % (samples[i] / 1000, 100.0 * (i + 1) / n))
        return path

    pinned = [p for p in r.placements if p != "free"]
    high = max(r.lat["%s_%s_%s" % (who, way, p)]["p99"] for who in ("bridge", "socat")
               for way in ("n2d", "d2n") for p in r.placements)
    script = ["set terminal pngcairo size 1200,900 font 'Sans,10'", "set output '%s'" % png,
              "set multiplot layout 2,2 title 'artnet-serial-bridge vs socat on a bare pty: latency, one "
              "message at a time; dashed grey: the floor p50'",
              "set logscale x", "set xrange [*:%f]" % (high * 2), "set yrange [0:100]", "set grid",
              "set xlabel 'latency (microseconds, log scale)'", "set ylabel 'messages at or below (%)'",
              "set key bottom right"]
    colours = {"bridge": "#1f77b4", "socat": "#d62728"}
    dashes = {"one": 1, "two": 2}
    for row in ("free", "pinned"):
        for way, title in (("n2d", "network to device (530-byte ArtDmx)"),
                           ("d2n", "device to network (241-byte frame)")):
            placements = ["free"] if row == "free" else pinned
            script.append("unset arrow")
            for n, placement in enumerate(placements):
                floor = r.lat["floor_%s_%s" % (way, placement)]["p50"]
                script.append("set arrow %d from %f,0 to %f,100 nohead dt 2 lc rgb 'gray50'" % (n + 1, floor, floor))
            script.append("set title '%s, %s'" % (title, "left to the scheduler" if row == "free" else "pinned"))
            curves = []
            for placement in placements:
                for who in ("bridge", "socat"):
                    name = "%s_%s_%s" % (who, way, placement)
                    label = who if row == "free" else "%s, %s" % (who, PLACEMENT_TITLES[placement])
                    curves.append("'%s' using 1:2 with lines lw 2 dt %d lc rgb '%s' title '%s'"
                                  % (cdf(name), dashes.get(placement, 1), colours[who], label))
            script.append("plot " + ", ".join(curves))
    script.append("unset multiplot")
    gnuplot(script)


def age_plot(r, png):
    w = r.r["wire"]
    script = ["set terminal pngcairo size 1200,600 font 'Sans,10'", "set output '%s'" % png,
              "set title 'DMX age at the device, 10 universes at 44 Hz (2x what the wire carries): "
              "artnet-serial-bridge vs socat'",
              "set logscale y", "set yrange [1:3000]", "set grid", "set key top right box opaque",
              "set xlabel 'seconds since the stream began (by send time)'",
              "set ylabel 'age at the device (ms, log scale): send to last byte off the wire'",
              "set arrow 1 from graph 0, first %f to graph 1, first %f nohead dt 2 lc rgb 'gray50'"
              % (r.age_bound_ms, r.age_bound_ms),
              "set label 1 'the target, p99 %d ms' at graph 0.01, first %f" % (r.age_bound_ms, r.age_bound_ms * 1.15),
              # Each packet a small dot; the key gets big ones of its own.
              "plot '%s' using 1:2 with points pt 7 ps 0.2 lc rgb '#1f77b4' notitle, "
              "'%s' using 1:2 with points pt 7 ps 0.2 lc rgb '#d62728' notitle, "
              "NaN with points pt 7 ps 1.5 lc rgb '#1f77b4' title 'bridge', "
              "NaN with points pt 7 ps 1.5 lc rgb '#d62728' title 'socat'"
              % (w["double_bridge"]["series"], w["double_socat"]["series"])]
    gnuplot(script)
