#!/usr/bin/env python3
"""Draws the dump benchmark's chart from its own output.

Usage: bench/dump_chart.py RESULTS.json OUT.svg   (Debian: python3-matplotlib)
"""
import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main():
    res = json.load(open(sys.argv[1]))
    med = res["median"]
    cpu = res.get("cpu_median", {})
    rows = [
        ("lbzip2 -d -n 2", "lbzip2_n2", "#999999"),
        ("floor: libbz2 alone, 2 threads", "floor_bzip2_j2", "#cccccc"),
        ("floor: libbz2 + expat, 2 threads", "floor_bzip2_expat_j2", "#cccccc"),
        ("dump -t links -j 2", "dump_j2", "#1f77b4"),
        ("bzip2 -dc", "bzip2_dc", "#999999"),
        ("dump -t links -j 1", "dump_j1", "#1f77b4"),
        ("floor: expat alone, plain XML", "floor_expat", "#cccccc"),
        ("dump, plain XML, -j 1", "plain_j1", "#2ca02c"),
        ("dump, plain XML, -j 2", "plain_j2", "#2ca02c"),
    ]
    # The floors are there when the benchmark found dump_floor.
    rows = [r for r in rows if r[1] in med]
    # Each run as two bars: wall-clock time, and processor time (user +
    # system), the steadier figure on a shared machine.
    labels = [r[0] for r in rows] + ["Python: iterparse + mwparserfromhell\n(extrapolated)"]
    walls = [med[r[1]] for r in rows] + [res["python_extrapolated_s"]]
    cpus = [cpu.get(r[1]) for r in rows] + [None]
    colors = [r[2] for r in rows] + ["#d62728"]
    fig, ax = plt.subplots(figsize=(9, 6))
    height = 0.4
    ys = list(range(len(labels)))[::-1]
    wall_bars = ax.barh([y + height / 2 for y in ys], walls, height, color=colors, label="wall-clock")
    shown = [(y, c, col) for y, c, col in zip(ys, cpus, colors) if c]
    cpu_bars = ax.barh([y - height / 2 for y, _, _ in shown], [c for _, c, _ in shown], height,
                       color=[col for _, _, col in shown], alpha=0.45, hatch="//", label="processor time")
    ax.set_yticks(ys)
    ax.set_yticklabels(labels)
    ax.set_xscale("log")
    ax.set_xlabel("seconds, log scale (lower is better)")
    ax.set_title("%.0f MB of XML (%.0f MB multistream bzip2), 2 shared cores, load %.0f"
                 % (res["xml_mb"], res["bz2_mb"], res["load_before"][0]), fontsize=10)
    values = walls + [c for _, c, _ in shown]
    for bar, v in list(zip(wall_bars, walls)) + list(zip(cpu_bars, [c for _, c, _ in shown])):
        ax.text(v * 1.05, bar.get_y() + bar.get_height() / 2, "%.2f s" % v, va="center", fontsize=7)
    ax.set_xlim(min(values) / 2, max(values) * 3)
    ax.legend(loc="upper right", fontsize=8)
    fig.tight_layout()
    fig.savefig(sys.argv[2], format="svg", metadata={"Date": None})


if __name__ == "__main__":
    main()
