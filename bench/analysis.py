"""The figures of the runs on the wire, from what the device read off it and
what the controller received: DMX ages, refresh intervals, each source's
share, recovery after a stall, and the device's frames found among the
controller's datagrams. Pure: times in CLOCK_MONOTONIC nanoseconds in, plain
numbers out."""

import bisect
import math

OP_DMX = 0x5000


def percentile(values, q):
    """The q-quantile (0..1) of `values`, nearest rank; NaN for none."""
    values = sorted(values)
    if not values:
        return float("nan")
    return values[min(len(values) - 1, max(0, math.ceil(q * len(values)) - 1))]


def spread(values):
    return {"n": len(values), "p50": percentile(values, 0.5), "p99": percentile(values, 0.99),
            "max": max(values) if values else float("nan")}


def dmx_figures(packets, summary, universes, window_s=10):
    """What a stream's DMX looked like at the device. `packets` is the
    device's: "dmx" as (exit, sent, source, universe, sequence), "controls"
    as (opcode, sequence), and the stray bytes; `summary` the peer's. Ages
    and refresh intervals in ms, of the packets that left the wire before
    the last send; `age_first`/`age_last` of those sent in the stream's
    first and last `window_s` (a third of it, if shorter)."""
    start, end = summary["start_ns"], summary["end_ns"]
    window = min(window_s * 1e9, (end - start) / 3)
    dmx = sorted(packets["dmx"])
    # Ages and refresh while the stream runs: what a forwarder still holds
    # when it stops grows older with nothing newer to replace it.
    live = [p for p in dmx if p[0] <= end]
    ages = [(exit_ - sent) / 1e6 for exit_, sent, *_ in live]
    arrivals = {}
    order = 0
    for exit_, sent, source, universe, sequence in live:
        seen = arrivals.setdefault((source, universe), [])
        if seen and sequence <= seen[-1][1]:
            order += 1
        seen.append((exit_, sequence))
    gaps = [(b[0] - a[0]) / 1e6 for seen in arrivals.values() for a, b in zip(seen, seen[1:])]
    sources = int(summary["sources"])
    delivered = [sum(1 for p in dmx if p[2] == s) for s in range(sources)]
    offered = [int(summary["dmx_sent_%d" % s]) for s in range(sources)]
    controls = len(set(packets["controls"]))
    return {
        "age": spread(ages),
        "age_first": spread([a for a, p in zip(ages, live) if p[1] < start + window]),
        "age_last": spread([a for a, p in zip(ages, live) if p[1] >= end - window]),
        "window_s": window / 1e9,
        "refresh": spread(gaps),
        "universes_seen": len({u for _, u in arrivals}),
        "universes": universes,
        "offered": offered, "delivered": delivered,
        "share": [d / o if o else 0.0 for d, o in zip(delivered, offered)],
        "out_of_order": order,
        "controls_sent": int(summary["controls_sent"]), "controls_lost": int(summary["controls_sent"]) - controls,
        "stray_bytes": packets["stray_bytes"], "stray_runs": packets["stray_runs"],
        "send_errors": int(summary["send_errors"]),
    }


def rounds_figures(runs, universes):
    """dmx_figures over several runs of one stream, each a (packets,
    summary): the spreads over the ages and refresh intervals of all of
    them, the counts added up, the first run's first window and the last
    run's last."""
    each = [dmx_figures(packets, summary, universes) for packets, summary in runs]
    ages, gaps = [], []
    for packets, summary in runs:
        live = sorted(p for p in packets["dmx"] if p[0] <= summary["end_ns"])
        ages += [(exit_ - sent) / 1e6 for exit_, sent, *_ in live]
        arrivals = {}
        for exit_, _, source, universe, _ in live:
            arrivals.setdefault((source, universe), []).append(exit_)
        gaps += [(b - a) / 1e6 for seen in arrivals.values() for a, b in zip(seen, seen[1:])]
    figures = dict(each[0])
    figures.update(age=spread(ages), refresh=spread(gaps), age_last=each[-1]["age_last"], rounds=len(runs),
                   universes_seen=min(f["universes_seen"] for f in each))
    for key in ("offered", "delivered"):
        figures[key] = [sum(values) for values in zip(*(f[key] for f in each))]
    figures["share"] = [d / o if o else 0.0 for d, o in zip(figures["delivered"], figures["offered"])]
    for key in ("out_of_order", "controls_sent", "controls_lost", "stray_bytes", "stray_runs", "send_errors"):
        figures[key] = sum(f[key] for f in each)
    return figures


def age_series(packets, start_ns):
    """(seconds since the stream began, age in ms) of each DMX packet, by
    send time."""
    return sorted(((sent - start_ns) / 1e9, (exit_ - sent) / 1e6) for exit_, sent, *_ in packets["dmx"])


def recoveries(packets, marks, stall_ms, bound_ms, settle_ms):
    """For each stall (commanded at `marks`): how long after it ended the
    last DMX packet older than `bound_ms` left the wire (0 when none did),
    and the age p99 of the packets that left between `settle_ms` after it
    ended and the next stall."""
    found = []
    for i, mark in enumerate(marks):
        ended = mark + stall_ms * 1e6
        until = marks[i + 1] if i + 1 < len(marks) else math.inf
        span = [(exit_, (exit_ - sent) / 1e6) for exit_, sent, *_ in packets["dmx"] if mark <= exit_ < until]
        late = [exit_ for exit_, age in span if age > bound_ms]
        after = [age for exit_, age in span if exit_ >= ended + settle_ms * 1e6]
        found.append({"recovered_ms": max(0.0, (max(late) - ended) / 1e6) if late else 0.0,
                      "p99_after": percentile(after, 0.99), "oldest": max((a for _, a in span), default=0)})
    return found


def find_frames(frames, datagrams):
    """Where each of `frames` (bytes, in the order sent) is among
    `datagrams` ((ns, payload), in the order received): None when it is not
    there whole, else its "pieces" (datagrams it spans), whether it came
    "alone" (a datagram of its own, nothing else in it) and its "arrival"
    (when the datagram with its last byte came)."""
    starts, at = [], 0
    for _, payload in datagrams:
        starts.append(at)
        at += len(payload)
    stream = b"".join(payload for _, payload in datagrams)
    found, position = [], 0
    for frame in frames:
        at = stream.find(frame, position)
        if at < 0:
            found.append(None)
            continue
        first = bisect.bisect_right(starts, at) - 1
        last = bisect.bisect_right(starts, at + len(frame) - 1) - 1
        found.append({"pieces": last - first + 1, "arrival": datagrams[last][0],
                      "alone": first == last and len(datagrams[first][1]) == len(frame)})
        position = at + len(frame)
    return found


def frame_figures(found):
    """Counts over find_frames' answer."""
    whole = [f for f in found if f is not None]
    return {"frames": len(found), "arrived": len(whole), "alone": sum(1 for f in whole if f["alone"]),
            "pieces": sum(f["pieces"] for f in whole)}


def universe_figures(packets, summary, universes):
    """What a stream's ArtDmx for `universes` (a set) looked like at the
    device, of the packets that carry their send time (those of a universe
    whose data changes): ages and refresh intervals in ms while the stream
    ran, as dmx_figures has them, and what share of all the ArtDmx on the
    wire was for other universes."""
    end = summary["end_ns"]
    live = sorted(p for p in packets["dmx"] if p[0] <= end)
    own = [p for p in live if p[3] in universes and p[1] != 0]
    arrivals = {}
    for exit_, _, source, universe, _ in own:
        arrivals.setdefault((source, universe), []).append(exit_)
    gaps = [(b - a) / 1e6 for seen in arrivals.values() for a, b in zip(seen, seen[1:])]
    other = sum(1 for p in live if p[3] not in universes)
    return {"age": spread([(exit_ - sent) / 1e6 for exit_, sent, *_ in own]), "refresh": spread(gaps),
            "universes_seen": len({u for _, u in arrivals}), "universes": len(universes),
            "dmx_on_wire": len(live), "other_universes": other,
            "other_share": other / len(live) if live else 0.0}


def unchanged_figures(packets, summary, universes):
    """For each of `universes` (those whose data never changes), the
    longest time in ms the device went without one of its ArtDmx while the
    stream ran, from the stream's start to its end: the gaps between
    arrivals, and before the first and after the last."""
    start, end = summary["start_ns"], summary["end_ns"]
    longest = {}
    for universe in universes:
        seen = sorted(p[0] for p in packets["dmx"] if p[3] == universe and p[1] == 0 and start <= p[0] <= end)
        marks = [start] + seen + [end]
        longest[universe] = max((b - a) / 1e6 for a, b in zip(marks, marks[1:]))
    return {"longest_ms": longest, "arrived": sum(1 for p in packets["dmx"] if p[3] in universes and p[1] == 0)}
