#!/usr/bin/env python3
"""Benchmarks of `tarnwick-wikitext dump`, side by side with the decompressors
and a Python baseline, in one run.

Usage: bench/dump_bench.py TOOL [--dir DIR] [--size MB] [--runs N] [--python-mb MB] [--floor DUMP_FLOOR]

Builds (once, kept in DIR) a multistream bzip2 export of about SIZE MB of XML
from the corpus with dump/tools/make_export.py, its plain XML form, and a file
of the same page streams ten times over; then times, each RUNS times with the
pairs interleaved:
  dump -t links -j 2 FILE   beside   lbzip2 -d -n 2 FILE
  dump -t links -j 1 FILE   beside   bzip2 -dc FILE
  dump -t links -j 1 / -j 2 on the plain XML (MB/s of XML)
  the floors, when dump_floor is built (bench/dump_floor.cpp, next to the
  tool's build in dump/): libbz2 alone and libbz2 + expat on 2 threads beside
  the -j 2 pair, expat alone beside the plain XML
  peak memory of dump -j 2 on FILE and on the ten-times file (/usr/bin/time -v)
  the Python baseline (ElementTree.iterparse + mwparserfromhell) on the first
  PYTHON_MB MB of pages, extrapolated to the whole file by XML size.
Writes DIR/results.json (read by bench/dump_chart.py) and prints a table.
"""
import argparse
import json
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
MAKE = os.path.join(ROOT, "dump", "tools", "make_export.py")


CPU = {}  # command name -> processor seconds (user + system) of each run


def run_time(cmd, stdin=None, key=None):
    """Returns the wall time of cmd; notes its processor time under key."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t = time.perf_counter()
    with open(os.devnull, "wb") as null:
        subprocess.run(cmd, stdout=null, stdin=stdin, check=True)
    wall = time.perf_counter() - t
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if key:
        CPU.setdefault(key, []).append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
    return wall


def peak_kb(cmd):
    p = subprocess.run(["/usr/bin/time", "-v", *cmd], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True)
    return int(re.search(rb"Maximum resident set size \(kbytes\): (\d+)", p.stderr).group(1))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("--dir", default=os.path.join(ROOT, "build", "bench-dump"))
    ap.add_argument("--size", type=float, default=100)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--python-mb", type=float, default=4)
    ap.add_argument("--floor", help="the dump_floor program (default: dump/dump_floor of the tool's build)")
    a = ap.parse_args()
    floor = a.floor or os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(a.tool))), "dump", "dump_floor")
    if not os.path.exists(floor):
        print("dump_bench.py: %s not built: the floors are skipped" % floor, file=sys.stderr)
        floor = None
    os.makedirs(a.dir, exist_ok=True)
    ms = os.path.join(a.dir, "export-multistream.xml.bz2")
    plain = os.path.join(a.dir, "export.xml")
    x10 = os.path.join(a.dir, "export-multistream-x10.xml.bz2")
    if not (os.path.exists(ms) and os.path.exists(plain) and os.path.exists(x10)):
        subprocess.run([sys.executable, MAKE, a.dir, "--size", str(a.size), "--forms", "plain,multistream",
                        "--repeat", "10", "--no-hand"], check=True)
    small = os.path.join(a.dir, "python-subset")
    if not os.path.exists(os.path.join(small, "export.xml")):
        subprocess.run([sys.executable, MAKE, small, "--size", str(a.python_mb), "--forms", "plain", "--no-hand"],
                       check=True)
    for need in ("lbzip2", "bzip2"):
        if not shutil.which(need):
            sys.exit("dump_bench.py: %s is not installed (Debian: apt-get install %s)" % (need, need))

    xml_mb = os.path.getsize(plain) / 1e6
    load = os.getloadavg()
    tool = a.tool
    runs = {k: [] for k in ("lbzip2_n2", "dump_j2", "bzip2_dc", "dump_j1", "plain_j1", "plain_j2")}
    if floor:
        runs.update({k: [] for k in ("floor_bzip2_j2", "floor_bzip2_expat_j2", "floor_expat")})
    load_rounds = []
    for i in range(a.runs):
        load_rounds.append(os.getloadavg()[0])
        print("round %d of %d, load %.2f" % (i + 1, a.runs, load_rounds[-1]), file=sys.stderr, flush=True)
        runs["lbzip2_n2"].append(run_time(["lbzip2", "-d", "-n", "2", "-c", ms], key="lbzip2_n2"))
        runs["dump_j2"].append(run_time([tool, "dump", "-t", "links", "-j", "2", ms], key="dump_j2"))
        if floor:
            runs["floor_bzip2_j2"].append(run_time([floor, "bzip2", ms, "2"], key="floor_bzip2_j2"))
            runs["floor_bzip2_expat_j2"].append(run_time([floor, "bzip2+expat", ms, "2"], key="floor_bzip2_expat_j2"))
        runs["bzip2_dc"].append(run_time(["bzip2", "-dc", ms], key="bzip2_dc"))
        runs["dump_j1"].append(run_time([tool, "dump", "-t", "links", "-j", "1", ms], key="dump_j1"))
        runs["plain_j1"].append(run_time([tool, "dump", "-t", "links", "-j", "1", plain], key="plain_j1"))
        if floor:
            runs["floor_expat"].append(run_time([floor, "expat", plain], key="floor_expat"))
        runs["plain_j2"].append(run_time([tool, "dump", "-t", "links", "-j", "2", plain], key="plain_j2"))
    med = {k: statistics.median(v) for k, v in runs.items()}
    cpu = {k: statistics.median(v) for k, v in CPU.items()}
    least = {k: min(v) for k, v in CPU.items()}  # the run the machine disturbed least
    mem1 = peak_kb([tool, "dump", "-t", "links", "-j", "2", ms])
    mem10 = peak_kb([tool, "dump", "-t", "links", "-j", "2", x10])
    sub = os.path.join(small, "export.xml")
    sub_mb = os.path.getsize(sub) / 1e6
    # Debian's interpreter, which has Debian's mwparserfromhell.
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
    py = run_time([python, os.path.join(HERE, "dump_python_baseline.py"), sub])
    ours_sub = run_time([tool, "dump", "-t", "links", "-j", "1", sub])
    py_full = py * xml_mb / sub_mb
    res = {
        "xml_mb": xml_mb, "bz2_mb": os.path.getsize(ms) / 1e6, "x10_bz2_mb": os.path.getsize(x10) / 1e6,
        "runs": runs, "median": med, "cpu_runs": CPU, "cpu_median": cpu, "cpu_least": least, "load_before": load, "load_after": os.getloadavg(),
        "load_rounds": load_rounds,
        "peak_kb_1x": mem1, "peak_kb_10x": mem10,
        "python_subset_mb": sub_mb, "python_subset_s": py, "dump_subset_s": ours_sub, "python_extrapolated_s": py_full,
        "ratios": {
            "dump_j2_over_lbzip2_n2": med["dump_j2"] / med["lbzip2_n2"],
            "dump_j1_over_bzip2_dc": med["dump_j1"] / med["bzip2_dc"],
            "plain_j1_mb_s": xml_mb / med["plain_j1"],
            "plain_j2_mb_s": xml_mb / med["plain_j2"],
            "plain_scaling_j2": med["plain_j1"] / med["plain_j2"],
            "memory_10x_over_1x": mem10 / mem1,
            "python_over_dump_j1": py / ours_sub,
            "cpu_dump_j2_over_lbzip2_n2": cpu["dump_j2"] / cpu["lbzip2_n2"],
            "cpu_dump_j1_over_bzip2_dc": cpu["dump_j1"] / cpu["bzip2_dc"],
            "cpu_plain_j1_mb_s": xml_mb / cpu["plain_j1"],
            "cpu_plain_j2_over_j1": cpu["plain_j2"] / cpu["plain_j1"],
            "least_cpu_dump_j2_over_lbzip2_n2": least["dump_j2"] / least["lbzip2_n2"],
            "least_cpu_dump_j1_over_bzip2_dc": least["dump_j1"] / least["bzip2_dc"],
        },
    }
    if floor:
        res["ratios"].update({
            "floor_bzip2_j2_over_lbzip2_n2": med["floor_bzip2_j2"] / med["lbzip2_n2"],
            "floor_bzip2_expat_j2_over_lbzip2_n2": med["floor_bzip2_expat_j2"] / med["lbzip2_n2"],
            "dump_j2_over_floor_bzip2_expat_j2": med["dump_j2"] / med["floor_bzip2_expat_j2"],
            "cpu_dump_j2_over_floor_bzip2_expat_j2": cpu["dump_j2"] / cpu["floor_bzip2_expat_j2"],
            "floor_expat_mb_s": xml_mb / med["floor_expat"],
            "plain_j1_over_floor_expat": med["plain_j1"] / med["floor_expat"],
            "cpu_plain_j1_over_floor_expat": cpu["plain_j1"] / cpu["floor_expat"],
        })
    with open(os.path.join(a.dir, "results.json"), "w") as f:
        json.dump(res, f, indent=1)
    r = res["ratios"]
    print("export: %.0f MB of XML, %.1f MB multistream bzip2; load %.2f before, %.2f after"
          % (xml_mb, res["bz2_mb"], load[0], res["load_after"][0]))
    print("| run | wall s (median of %d) | CPU s | note |" % a.runs)
    print("|---|---:|---:|---|")
    print("| `lbzip2 -d -n 2` | %.2f | %.2f | |" % (med["lbzip2_n2"], cpu["lbzip2_n2"]))
    print("| `dump -t links -j 2` | %.2f | %.2f | %.2f x lbzip2 wall, %.2f x CPU, %.2f x least CPU (goal 1.15) |"
          % (med["dump_j2"], cpu["dump_j2"], r["dump_j2_over_lbzip2_n2"], r["cpu_dump_j2_over_lbzip2_n2"],
             r["least_cpu_dump_j2_over_lbzip2_n2"]))
    if floor:
        print("| floor: libbz2 alone, 2 threads | %.2f | %.2f | %.2f x lbzip2 wall |"
              % (med["floor_bzip2_j2"], cpu["floor_bzip2_j2"], r["floor_bzip2_j2_over_lbzip2_n2"]))
        print("| floor: libbz2 + expat, 2 threads | %.2f | %.2f | %.2f x lbzip2 wall; dump -j 2 is %.2f x its wall, %.2f x its CPU |"
              % (med["floor_bzip2_expat_j2"], cpu["floor_bzip2_expat_j2"], r["floor_bzip2_expat_j2_over_lbzip2_n2"],
                 r["dump_j2_over_floor_bzip2_expat_j2"], r["cpu_dump_j2_over_floor_bzip2_expat_j2"]))
    print("| `bzip2 -dc` | %.2f | %.2f | |" % (med["bzip2_dc"], cpu["bzip2_dc"]))
    print("| `dump -t links -j 1` | %.2f | %.2f | %.2f x bzip2 wall, %.2f x CPU, %.2f x least CPU (goal 1.1) |"
          % (med["dump_j1"], cpu["dump_j1"], r["dump_j1_over_bzip2_dc"], r["cpu_dump_j1_over_bzip2_dc"],
             r["least_cpu_dump_j1_over_bzip2_dc"]))
    print("| plain XML `-j 1` | %.2f | %.2f | %.0f MB/s wall, %.0f MB/s per CPU second (goal 150) |"
          % (med["plain_j1"], cpu["plain_j1"], r["plain_j1_mb_s"], r["cpu_plain_j1_mb_s"]))
    if floor:
        print("| floor: expat alone, plain XML | %.2f | %.2f | %.0f MB/s; dump -j 1 is %.2f x its wall, %.2f x its CPU |"
              % (med["floor_expat"], cpu["floor_expat"], r["floor_expat_mb_s"], r["plain_j1_over_floor_expat"],
                 r["cpu_plain_j1_over_floor_expat"]))
    print("| plain XML `-j 2` | %.2f | %.2f | %.0f MB/s, %.2f x -j 1 (goal 1.8); %.2f x its CPU |"
          % (med["plain_j2"], cpu["plain_j2"], r["plain_j2_mb_s"], r["plain_scaling_j2"], r["cpu_plain_j2_over_j1"]))
    print("| Python baseline (extrapolated from %.1f MB) | %.0f | | %.0f x dump -j 1 on the same subset |"
          % (sub_mb, py_full, r["python_over_dump_j1"]))
    print("| peak memory, -j 2 | %.1f MB / %.1f MB | | 1x / 10x file: %.2f (goal within 10%%) |"
          % (mem1 / 1024, mem10 / 1024, r["memory_10x_over_1x"]))


if __name__ == "__main__":
    main()
