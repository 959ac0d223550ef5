"""The Python package beside the C library and beside Debian's python3-mwparserfromhell.

    .venv/bin/python bench/python_bench.py [--quick]

Runs in one process, each figure beside its baseline measured in the same
run: to_html on all.wiki (bytes to bytes) against wtcore_render called on the
same bytes through ctypes on the shared library; the overhead of one call on
a 50-byte document against the library's own time per call measured in C++;
links, headings and templates of the corpus articles against
mwparserfromhell's parse + filter_wikilinks / filter_headings /
filter_templates on the same documents; render_many on two threads against
one. With --dask, the Dask example on a ~100 MB multistream export made by
the project's generator, on a LocalCluster of two worker processes: the task
overhead is the share of the workers' busy spans not spent inside the tasks,
and beside it the share of their whole wall time.
Figures are medians of several repetitions; MB = 10^6 bytes.

WTCORE_LIBRARY names the shared library (default: build/default); the corpus
comes from WTCORE_CORPUS (default: ../shared/corpus beside the repository).
"""

import argparse
import ctypes
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import tarnwick_wikitext as wt
from tarnwick_wikitext import _core

REPO = Path(__file__).resolve().parents[1]
ARTICLE_FOLDERS = ("wtf_wikipedia", "sweble", "utfnormal", "gensim-enwiki", "gensim-bgwiki",
                   "gensim-enwiki-tables")


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def c_render(path):
    lib = ctypes.CDLL(str(path))
    render = lib.wtcore_render
    render.restype = ctypes.c_int
    render.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_void_p,
                       ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t)]
    free = lib.wtcore_free
    free.argtypes = [ctypes.c_void_p]

    def call(doc):
        out = ctypes.c_void_p()
        n = ctypes.c_size_t()
        if render(doc, len(doc), 0, None, ctypes.byref(out), ctypes.byref(n)):
            raise RuntimeError("wtcore_render failed")
        free(out)
    return call


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions, a third of the articles for mwparserfromhell")
    parser.add_argument("--dask", action="store_true", help="also the Dask example on a ~100 MB export")
    parser.add_argument("--export", help="with --dask: a multistream .xml.bz2 to use instead of generating one")
    args = parser.parse_args()
    reps = 3 if args.quick else 9

    corpus = Path(os.environ.get("WTCORE_CORPUS", REPO.parent / "shared" / "corpus"))
    lib = Path(os.environ.get("WTCORE_LIBRARY", REPO / "build" / "default" / "libtarnwick-wikitext-core.so"))
    all_wiki = (corpus / "all.wiki").read_bytes()
    articles = [p.read_bytes() for f in ARTICLE_FOLDERS for p in sorted((corpus / f).glob("*.wiki"))]
    article_bytes = sum(map(len, articles))
    with open("/proc/loadavg") as f:
        load = f.read().split()[:3]
    print(f"tarnwick_wikitext {wt.__version__}, Python {sys.version.split()[0]}, load average {' '.join(load)}")
    print(f"all.wiki {len(all_wiki) / 1e6:.1f} MB; {len(articles)} articles, {article_bytes / 1e6:.1f} MB")
    rows = []

    # to_html on all.wiki, bytes to bytes, interleaved with the C call.
    c_call = c_render(lib)
    py_t, c_t = [], []
    for _ in range(reps):
        py_t.append(median_time(lambda: wt.to_html(all_wiki), 1))
        c_t.append(median_time(lambda: c_call(all_wiki), 1))
    py_mbs = len(all_wiki) / statistics.median(py_t) / 1e6
    c_mbs = len(all_wiki) / statistics.median(c_t) / 1e6
    rows.append(("to_html(bytes) on all.wiki", f"{py_mbs:.0f} MB/s",
                 f"wtcore_render via ctypes {c_mbs:.0f} MB/s", py_mbs / c_mbs, ">= 0.8"))

    # Per-call overhead on a 50-byte document.
    small = b"== Intro ==\n'''Bold''' and [[Main Page|home]] x.!!"
    assert len(small) == 50
    n = 200_000
    py_call, c_call_s = [], []
    for _ in range(reps):
        py_call.append(median_time(lambda: [wt.to_html(small) for _ in range(n)], 1) / n)
        c_call_s.append(_core._time_render(small, _core.FORMAT_HTML, n))
    py_us, c_us = statistics.median(py_call) * 1e6, statistics.median(c_call_s) * 1e6
    rows.append(("to_html(50 bytes) per call", f"{py_us:.2f} us",
                 f"library alone {c_us:.2f} us", None, f"overhead {py_us - c_us:.2f} us (< 2)"))

    # Links, headings, templates against mwparserfromhell.
    try:
        import mwparserfromhell
    except ImportError:
        mwparserfromhell = None
        print("mwparserfromhell not found (Debian: python3-mwparserfromhell): those rows skipped")
    mw_docs = [d.decode("utf-8") for d in articles]
    if args.quick:
        mw_docs = mw_docs[::3]
    mw_bytes = sum(len(d.encode()) for d in mw_docs)
    ours = {"links": wt.links, "headings": wt.headings, "templates": wt.templates}
    filters = {"links": "filter_wikilinks", "headings": "filter_headings", "templates": "filter_templates"}
    for name, fn in ours.items():
        try:
            fn(mw_docs[0])
        except ValueError as e:
            rows.append((f"{name} on the articles", "n/a", f"library: {e}", None, ""))
            continue
        if mwparserfromhell is None:
            t = median_time(lambda: [fn(d) for d in mw_docs], reps)
            rows.append((f"{name} on the articles", f"{mw_bytes / t / 1e6:.0f} MB/s", "", None, ""))
            continue
        # Document by document, the two side by side, so that a change in the
        # machine's load falls on both alike.
        method = filters[name]
        ours_t = theirs_t = 0.0
        for d in mw_docs:
            ours_t += median_time(lambda: fn(d), 3)
            theirs_t += median_time(lambda: getattr(mwparserfromhell.parse(d), method)(), 1)
        our_mbs, mw_mbs = mw_bytes / ours_t / 1e6, mw_bytes / theirs_t / 1e6
        rows.append((f"{name} on the articles", f"{our_mbs:.0f} MB/s",
                     f"mwparserfromhell {method} {mw_mbs:.2f} MB/s", our_mbs / mw_mbs,
                     ">= 200" if name == "links" else ""))

    # render_many: two threads against one, on the articles four times over.
    # A sample is as many passes as take one thread about half a second: on
    # a virtual machine a core left idle between samples of a few tens of
    # milliseconds is not running at full speed when the next one starts,
    # which costs the two-thread samples, that need both cores, the most.
    docs = articles * 4
    total = sum(map(len, docs))

    def passes(threads, count):
        return lambda: [sum(1 for _ in wt.render_many(docs, threads=threads)) for _ in range(count)]
    count = max(1, round(0.5 / median_time(passes(1, 1), 3)))
    one, two = [], []
    for _ in range(reps):
        one.append(median_time(passes(1, count), 1) / count)
        two.append(median_time(passes(2, count), 1) / count)
    one_mbs, two_mbs = total / statistics.median(one) / 1e6, total / statistics.median(two) / 1e6
    rows.append(("render_many, 2 threads", f"{two_mbs:.0f} MB/s",
                 f"1 thread {one_mbs:.0f} MB/s ({count} passes a sample)", two_mbs / one_mbs, ">= 1.7"))
    # The control: two plain threads, each converting half of the documents in
    # one call with the lock released, against one call on all. It shows
    # whether the machine gives this process two cores at all.
    half = len(docs) // 2

    def two_halves():
        workers = [threading.Thread(target=_core._render_batch, args=(part, _core.FORMAT_HTML, 0, None, None))
                   for part in (docs[:half], docs[half:])]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    whole, halves = [], []
    for _ in range(reps):
        whole.append(median_time(lambda: _core._render_batch(docs, _core.FORMAT_HTML, 0, None, None), 1))
        halves.append(median_time(two_halves, 1))
    rows.append(("control: 2 plain threads, no pool", f"{total / statistics.median(halves) / 1e6:.0f} MB/s",
                 f"1 call {total / statistics.median(whole) / 1e6:.0f} MB/s",
                 statistics.median(whole) / statistics.median(halves), "the machine's own limit"))

    if args.dask:
        rows.append(dask_row(args.export, corpus))

    print()
    print("| measure | package | baseline (same run) | ratio | target |")
    print("|---|---:|---|---:|---|")
    for what, value, base, ratio, target in rows:
        r = f"{ratio:.2f}" if ratio is not None else ""
        print(f"| {what} | {value} | {base} | {r} | {target} |")


def dask_row(export, corpus):
    """The Dask example with two workers: wall time against the time inside its tasks."""
    with tempfile.TemporaryDirectory() as tmp:
        if export is None:
            subprocess.run([sys.executable, str(REPO / "dump" / "tools" / "make_export.py"), tmp,
                            "--corpus", str(corpus), "--size", "100", "--forms", "multistream"],
                           check=True, stdout=subprocess.DEVNULL)
            export = os.path.join(tmp, "export-multistream.xml.bz2")
        out = os.path.join(tmp, "out")
        subprocess.run([sys.executable, str(REPO / "examples" / "dask_dump.py"), "-t", "links", "--workers", "2",
                        "-o", out, export], check=True)
        with open(os.path.join(out, "summary.json")) as f:
            s = json.load(f)
    # Between tasks: the workers' busy spans against the time inside the
    # tasks (what scheduling costs per task). Overall: the two workers' whole
    # wall time, the wait for the first task and for the last one included.
    between = 1 - s["task_seconds"] / s["span_seconds"]
    overall = 1 - s["task_seconds"] / (s["workers"] * s["seconds"])
    return ("Dask example, -t links, 2 workers", f"{s['seconds']:.1f} s",
            f"{s['xml_bytes'] / 1e6:.0f} MB of XML, {s['tasks']} tasks, {s['task_seconds']:.1f} s inside tasks",
            None, f"overhead {100 * between:.1f}% between tasks (< 5%), {100 * overall:.1f}% of the wall time")


if __name__ == "__main__":
    main()
