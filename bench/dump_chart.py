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
    rows = [
        ("lbzip2 -d -n 2", med["lbzip2_n2"], "#999999"),
        ("dump -t links -j 2", med["dump_j2"], "#1f77b4"),
        ("bzip2 -dc", med["bzip2_dc"], "#999999"),
        ("dump -t links -j 1", med["dump_j1"], "#1f77b4"),
        ("dump, plain XML, -j 1", med["plain_j1"], "#2ca02c"),
        ("dump, plain XML, -j 2", med["plain_j2"], "#2ca02c"),
        ("Python: iterparse + mwparserfromhell\n(extrapolated)", res["python_extrapolated_s"], "#d62728"),
    ]
    fig, ax = plt.subplots(figsize=(8, 4))
    labels = [r[0] for r in rows][::-1]
    values = [r[1] for r in rows][::-1]
    colors = [r[2] for r in rows][::-1]
    bars = ax.barh(labels, values, color=colors)
    ax.set_xscale("log")
    ax.set_xlabel("seconds, log scale (lower is better)")
    ax.set_title("%.0f MB of XML (%.0f MB multistream bzip2), 2 shared cores, load %.0f"
                 % (res["xml_mb"], res["bz2_mb"], res["load_before"][0]))
    for bar, v in zip(bars, values):
        ax.text(v * 1.05, bar.get_y() + bar.get_height() / 2, "%.1f s" % v, va="center", fontsize=8)
    ax.set_xlim(min(values) / 2, max(values) * 3)
    fig.tight_layout()
    fig.savefig(sys.argv[2], format="svg", metadata={"Date": None})


if __name__ == "__main__":
    main()
