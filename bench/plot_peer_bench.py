# SPDX-License-Identifier: BSD-3-Clause
"""Renders the speed ratios of corx_peer_bench (peer time / corx time) as a
horizontal bar chart: one bar per case and peer, a line at 1.0 (as fast as
the peer). The optional third argument names the run (its date and
machine) in the title.

A run at several thread counts (corx_peer_bench --threads) gets one bar per
count for each case and peer, corx and the peer both at that count (Eigen
and GSL have the 1-thread bar only), and a second panel with corx's
speed-up over its own 1-thread time. Files without a threads column are
1-thread runs.

    plot_peer_bench.py peer_bench.csv peer_bench.png ["run"]
"""
import csv
import sys
import textwrap

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter  # noqa: E402

# Rows that hold corx against itself, not against a peer.
SELF = ("corx unrefined", "corx 1 thread")
COLOURS = ["#3a7dc9", "#e08a2c", "#6a4", "#a5c", "#c44", "#888"]


def threads_of(row):
    return int(row.get("threads") or 1)


def single_thread_chart(rows, dst, run):
    labels = [f'{r["case"]}  vs  {r["peer"]}' for r in rows]
    speeds = [float(r["speed"]) for r in rows]
    colours = ["#2a7" if s >= 1.0 else "#d84" for s in speeds]
    fig, ax = plt.subplots(figsize=(10, 0.38 * len(rows) + 1.2))
    y = range(len(rows))
    ax.barh(y, speeds, color=colours)
    ax.set_yticks(list(y))
    ax.set_yticklabels(labels, fontsize=8)
    ax.invert_yaxis()
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xscale("log")
    ax.set_xlabel("corx speed relative to the peer (peer time / corx time, log scale; > 1 means corx is faster)")
    for i, s in enumerate(speeds):
        ax.text(s, i, f" {s:.2f}", va="center", fontsize=7)
    title = "corx (bit-identical on every CPU) against peers, single thread, medians"
    ax.set_title("\n".join([title] + textwrap.wrap(run, 100)), fontsize=9)
    fig.tight_layout()
    fig.savefig(dst, dpi=110)


def grouped_bars(ax, groups, counts, colour, note):
    """One group per label, one bar per thread count present in it.
    groups: list of (label, {threads: (value, note_text)})."""
    width = 0.8 / len(counts)
    for i, (_, bars) in enumerate(groups):
        for j, t in enumerate(counts):
            if t not in bars:
                continue
            value, extra = bars[t]
            y = i + (j - (len(counts) - 1) / 2) * width
            ax.barh(y, value, height=width, color=colour[t])
            ax.text(value, y, f" {value:.2f}{extra}", va="center", fontsize=6.5)
    ax.set_yticks(range(len(groups)))
    ax.set_yticklabels([label for label, _ in groups], fontsize=8)
    ax.set_ylim(len(groups) - 0.5, -0.5)
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xscale("log")
    plain = FuncFormatter(lambda v, _: f"{v:g}")
    ax.xaxis.set_major_formatter(plain)
    ax.xaxis.set_minor_formatter(plain)
    ax.tick_params(axis="x", which="both", labelsize=7)
    handles = [plt.Rectangle((0, 0), 1, 1, color=colour[t]) for t in counts]
    ax.legend(handles, [f'{t} thread{"" if t == 1 else "s"}' for t in counts], fontsize=7, loc="lower right")
    ax.set_title(note, fontsize=8)


def by_label(rows, label_of, value_of, extra_of=lambda r: ""):
    groups = {}
    for r in rows:
        groups.setdefault(label_of(r), {})[threads_of(r)] = (value_of(r), extra_of(r))
    return list(groups.items())


def threads_chart(rows, dst, run, counts):
    peers = [r for r in rows if r["peer"] not in SELF]
    own = [r for r in rows if r["peer"] == "corx 1 thread" and threads_of(r) > 1]
    peer_groups = by_label(peers, lambda r: f'{r["case"]}  vs  {r["peer"]}', lambda r: float(r["speed"]))
    own_groups = by_label(
        own,
        lambda r: r["case"],
        lambda r: float(r["speed"]),
        lambda r: "  bits DIFFER" if r.get("bits") == "DIFFER" else "",
    )
    own_counts = [t for t in counts if t > 1]
    colour = {t: COLOURS[j % len(COLOURS)] for j, t in enumerate(counts)}
    n_peer = sum(len(b) for _, b in peer_groups) + len(peer_groups)
    n_own = sum(len(b) for _, b in own_groups) + len(own_groups)
    panels = [p for p in (("peer", n_peer), ("own", n_own)) if p[1] > 0]
    fig, axes = plt.subplots(
        len(panels),
        1,
        figsize=(10, 0.2 * sum(n for _, n in panels) + 1.6 * len(panels)),
        gridspec_kw={"height_ratios": [n for _, n in panels]},
        squeeze=False,
    )
    for ax, (kind, _) in zip(axes[:, 0], panels):
        if kind == "peer":
            grouped_bars(
                ax,
                peer_groups,
                counts,
                colour,
                "against peers: corx and the peer at the same thread count (Eigen and GSL: 1 thread only)",
            )
            ax.set_xlabel("peer time / corx time (log scale; > 1 means corx is faster)", fontsize=8)
        else:
            grouped_bars(
                ax,
                own_groups,
                own_counts,
                colour,
                "corx on T threads against itself on 1 thread (small calls: ideally 1, threads cost nothing when a call "
                "does not split)",
            )
            ax.set_xlabel("corx time on 1 thread / corx time on T threads (log scale)", fontsize=8)
    title = "corx (bit-identical on every CPU) against peers at " + ", ".join(
        str(t) for t in counts
    ) + " threads, medians"
    lines = [title] + textwrap.wrap(run, 100)
    fig.suptitle("\n".join(lines), fontsize=9)
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.18 * len(lines) / fig.get_figheight()))
    fig.savefig(dst, dpi=110)


def main(src, dst, run=""):
    with open(src, newline="") as f:
        rows = list(csv.DictReader(f))
    counts = sorted({threads_of(r) for r in rows})
    if counts == [1]:
        single_thread_chart([r for r in rows if r["peer"] not in SELF], dst, run)
    else:
        threads_chart(rows, dst, run, counts)


if __name__ == "__main__":
    main(*sys.argv[1:4])
