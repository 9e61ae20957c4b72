# SPDX-License-Identifier: BSD-3-Clause
"""Renders the speed ratios of corx_peer_bench (peer time / corx time) as a
horizontal bar chart: one bar per case and peer, a line at 1.0 (as fast as
the peer). The optional third argument names the run (its date and
machine) in the title.

    plot_peer_bench.py peer_bench.csv peer_bench.png ["run"]
"""
import csv
import sys
import textwrap

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main(src, dst, run=""):
    with open(src, newline="") as f:
        rows = [r for r in csv.DictReader(f) if r["peer"] != "corx unrefined"]
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


if __name__ == "__main__":
    main(*sys.argv[1:4])
