#!/usr/bin/env python3
"""Converts wiki XML exports to JSON Lines on a Dask cluster.

    dask_dump.py [-t FORMATS] [--index FILE] [--scheduler ADDRESS] -o OUTDIR DUMP...

The work is cut into tasks of at least a few megabytes: groups of the streams
of a multistream bzip2 export (found from --index when given, else from the
stream headers), page-aligned pieces of a plain XML export, or whole files for
the other kinds (a single bzip2 stream or gzip cannot be split). Each task
reads its range with the dump reader and writes OUTDIR/part-NNNNN.jsonl on the
worker; the parts, concatenated in name order, are byte for byte what
`tarnwick-wikitext dump -t FORMATS` writes for the same input (for several
DUMPs, what it writes for each, one after the other). OUTDIR/summary.json
gives pages, bytes, seconds, the seconds spent inside the tasks and the
workers' busy spans (from each one's first task's start to its last task's
end, summed), whose difference is what scheduling cost between the tasks.

Without --scheduler the job runs on a LocalCluster of --workers processes.
On several machines, start `dask scheduler` on one and `dask worker ADDRESS`
on the others, with the package installed on each and DUMP and OUTDIR at the
same path everywhere (a shared file system), then pass --scheduler ADDRESS.
"""

import argparse
import glob
import json
import os
import sys
import time

import tarnwick_wikitext as wt

# A task holds at least this many bytes of input (compressed bytes for a
# compressed export), so that scheduling costs little beside the work.
MIN_TASK_BYTES = 2 << 20
# And at most this many, so that a large file still spreads over the workers.
MAX_TASK_BYTES = 64 << 20
FORMATS = ("html", "text", "links", "headings", "templates", "categories", "page")


def plan_tasks(dumps, index, workers, min_task_bytes=MIN_TASK_BYTES):
    """Returns (path, byte_range) per task, in output order.

    A file is cut into a multiple of the number of workers of about equal
    size, each at least min_task_bytes, so that the workers finish together;
    a range goes to the task its start falls in.
    """
    tasks = []
    workers = max(1, workers)
    for path in dumps:
        size = os.path.getsize(path)
        ranges = wt.dump_streams(path, index)
        count = workers * max(1, size // (workers * min_task_bytes))
        count = max(count, -(-size // MAX_TASK_BYTES))
        groups = {}
        for b, e in ranges:
            k = b * count // max(1, size)
            first, _ = groups.get(k, (b, e))
            groups[k] = (first, e)
        tasks.extend((path, groups[k]) for k in sorted(groups))
    return tasks


def convert(path, byte_range, out_path, formats, options):
    """One task, run on a worker: the JSON Lines of one range, written atomically."""
    import tarnwick_wikitext
    from dask.distributed import get_worker

    started = time.time()
    start = time.perf_counter()
    lines, pages, xml_bytes = tarnwick_wikitext.dump_jsonl(path, to=formats, byte_range=byte_range, **options)
    temp = f"{out_path}.{os.getpid()}.tmp"
    with open(temp, "wb") as f:
        f.write(lines)
    os.replace(temp, out_path)
    return {"pages": pages, "bytes": byte_range[1] - byte_range[0], "xml_bytes": xml_bytes,
            "seconds": time.perf_counter() - start, "started": started, "worker": get_worker().address}


def package_version():
    """Run on each worker before the work: loads the package there and names its version."""
    import tarnwick_wikitext

    return tarnwick_wikitext.__version__


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("dumps", nargs="+", metavar="DUMP", help="an export (plain, bzip2, multistream bzip2, gzip), or several parts")
    ap.add_argument("-t", "--to", default="links", metavar="FORMATS",
                    help="comma list of " + ", ".join(FORMATS) + " (default: links)")
    ap.add_argument("--index", help="the multistream index (offset:page_id:title lines) of the one DUMP")
    ap.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler (default: a LocalCluster)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                    help="worker processes of the LocalCluster (default: one per core)")
    ap.add_argument("-o", "--output-dir", required=True, metavar="OUTDIR")
    ap.add_argument("--extended", action="store_true", help="the extended syntax (templates, tables, references, ...)")
    ap.add_argument("--safe", action="store_true", help="safe attributes, balanced tags, encoded link targets")
    ap.add_argument("--link-template", help="internal-link address, $1 for the target")
    ap.add_argument("--task-mb", type=float, default=MIN_TASK_BYTES / 2**20, help="least input per task, MiB (default 2)")
    args = ap.parse_args(argv)

    formats = [f for f in args.to.split(",") if f]
    unknown = [f for f in formats if f not in FORMATS]
    if unknown or not formats:
        ap.error(f"-t: unknown format {unknown[0]!r}" if unknown else "-t needs a format")
    if args.index and len(args.dumps) != 1:
        ap.error("--index goes with one DUMP")
    if args.workers < 1:
        ap.error("--workers needs a positive number")
    options = {"extended": args.extended, "safe": args.safe, "link_template": args.link_template}

    from dask.distributed import Client, LocalCluster, as_completed

    cluster = None
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        workers = max(1, len(client.scheduler_info()["workers"]))
        # Every worker loads the package now, before the clock starts, and
        # must have the version this side has: parts written by another
        # version could differ from what this one writes.
        try:
            versions = client.run(package_version)
        except Exception as e:
            print(f"dask_dump: a worker cannot load tarnwick_wikitext: {e}", file=sys.stderr)
            return 1
        other = sorted(f"{w} has {v}" for w, v in versions.items() if v != wt.__version__)
        if other:
            print(f"dask_dump: tarnwick_wikitext {wt.__version__} here, but {', '.join(other)}", file=sys.stderr)
            return 1
        try:
            tasks = plan_tasks(args.dumps, args.index, workers, int(args.task_mb * 2**20))
        except (OSError, ValueError) as e:
            print(f"dask_dump: {e}", file=sys.stderr)
            return 1
        os.makedirs(args.output_dir, exist_ok=True)
        # Parts of an earlier run would join this run's concatenation.
        for old in glob.glob(os.path.join(args.output_dir, "part-*.jsonl")):
            os.remove(old)
        out_dir = os.path.abspath(args.output_dir)
        start = time.perf_counter()
        futures = [client.submit(convert, os.path.abspath(path), r, os.path.join(out_dir, f"part-{k:05d}.jsonl"),
                                 formats, options, pure=False)
                   for k, (path, r) in enumerate(tasks)]
        done = {"pages": 0, "bytes": 0, "xml_bytes": 0, "task_seconds": 0.0}
        spans = {}  # worker: (its first task's start, its last task's end), by the clock of the worker's host
        progress = sys.stderr.isatty()
        failed = None
        for n, future in enumerate(as_completed(futures), 1):
            try:
                result = future.result()
            except Exception as e:  # a task's DumpError names the page or offset
                failed = failed or f"{tasks[futures.index(future)][0]}: {e}"
                continue
            for k in ("pages", "bytes", "xml_bytes"):
                done[k] += result[k]
            done["task_seconds"] += result["seconds"]
            first, last = spans.get(result["worker"], (result["started"], 0.0))
            spans[result["worker"]] = (min(first, result["started"]), max(last, result["started"] + result["seconds"]))
            if progress:
                secs = time.perf_counter() - start
                print(f"\r\033[K{n}/{len(tasks)} tasks, {done['pages']} pages, "
                      f"{done['xml_bytes'] / 1e6:.1f} MB of XML, {done['xml_bytes'] / 1e6 / secs:.1f} MB/s",
                      end="", file=sys.stderr)
        seconds = time.perf_counter() - start
        if progress:
            print(file=sys.stderr)
        if failed:
            print(f"dask_dump: {failed}", file=sys.stderr)
            return 1
        summary = {"pages": done["pages"], "bytes": done["bytes"], "xml_bytes": done["xml_bytes"],
                   "seconds": round(seconds, 3), "tasks": len(tasks), "workers": workers,
                   "task_seconds": round(done["task_seconds"], 3),
                   "span_seconds": round(sum(last - first for first, last in spans.values()), 3)}
        with open(os.path.join(args.output_dir, "summary.json"), "w") as f:
            json.dump(summary, f, indent=1)
            f.write("\n")
        return 0
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


if __name__ == "__main__":
    sys.exit(main())
