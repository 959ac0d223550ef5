#!/usr/bin/env python3
"""The tool's dump command as a process, on the generated exports.

Usage: dump_cli_test.py GROUP TOOL EXPORT_DIR WORK_DIR
Groups: fields, forms, options, errors. Prints one line per failed check and
exits 1 when any failed.
"""
import gzip
import json
import os
import shutil
import subprocess
import sys

GROUP, TOOL, EXPORTS, WORK = sys.argv[1:5]
os.makedirs(WORK, exist_ok=True)
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def dump(*args, stdin=None, input_bytes=None):
    """Runs the dump command; returns (status, stdout bytes, stderr text)."""
    p = subprocess.run([TOOL, "dump", *args], stdin=stdin, input=input_bytes,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    return p.returncode, p.stdout, p.stderr.decode("utf-8", "replace")


def lines_of(out):
    """Parses JSON Lines; every line must be whole and valid."""
    text = out.decode("utf-8")  # strict: the output is valid UTF-8
    check(text == "" or text.endswith("\n"), "output ends with a newline")
    return [json.loads(line) for line in text.splitlines()]


def expected():
    pages = []
    with open(os.path.join(EXPORTS, "expected.tsv")) as f:
        for line in f:
            c = line.rstrip("\n").split("\t")
            h = lambda s: bytes.fromhex(s).decode("utf-8")
            pages.append(dict(id=int(c[0]), ns=int(c[1]), revision=int(c[2]), is_redirect=c[3] == "1",
                              title=h(c[4]), redirect=h(c[5]), timestamp=h(c[6]), model=h(c[7]), text=h(c[8])))
    return pages


def export(name):
    return os.path.join(EXPORTS, name)


def group_fields():
    # Every field of every line equals the tool's own rendering of the page's
    # text (the library's result, byte for byte) and the generator's record.
    status, out, err = dump("-t", "links,html,headings", "--models", "all", "-j", "2", export("export.xml"))
    check(status == 0, "fields: status %d %s" % (status, err))
    got = lines_of(out)
    want = expected()
    check(len(got) == len(want), "fields: %d lines for %d pages" % (len(got), len(want)))
    for line, page in zip(got, want):
        where = "page %d" % page["id"]
        check(list(line)[:5] == ["id", "ns", "title", "revision", "timestamp"], where + ": key order " + str(list(line)))
        for key in ("id", "ns", "title", "revision", "timestamp"):
            check(line[key] == page[key], "%s: %s %r != %r" % (where, key, line[key], page[key]))
        check(("redirect" in line) == page["is_redirect"], where + ": redirect presence")
        if page["is_redirect"]:
            check(line["redirect"] == page["redirect"], where + ": redirect target")
        path = os.path.join(WORK, "page-%d.wiki" % page["id"])
        with open(path, "wb") as f:
            f.write(page["text"].encode("utf-8"))
        for fmt, key in (("links", "links"), ("html", "html"), ("headings", "headings")):
            ref = subprocess.run([TOOL, "-t", fmt, path], stdout=subprocess.PIPE, check=True).stdout.decode("utf-8")
            value = ref if fmt == "html" else json.loads(ref)
            check(line[key] == value, "%s: %s differs from the tool's rendering" % (where, key))
        os.remove(path)


def group_forms():
    base = None
    runs = []
    for name in ("export.xml", "export-utf16.xml", "export.xml.gz", "export.xml.bz2", "export-multistream.xml.bz2"):
        for jobs in ("1", "2", "3"):
            runs.append((name, ["-j", jobs]))
    runs.append(("export-multistream.xml.bz2", ["-j", "2", "--index", export("export-multistream-index.txt.bz2")]))
    for name, extra in runs:
        status, out, err = dump("-t", "links,headings", "--models", "all", *extra, export(name))
        check(status == 0 and err == "", "%s %s: status %d %s" % (name, extra, status, err))
        if base is None:
            base = out
            check(len(lines_of(out)) == len(expected()), "forms: one line per page")
        check(out == base, "%s %s: output differs from export.xml -j 1" % (name, extra))
    with open(export("export-multistream.xml.bz2"), "rb") as f:
        status, out, err = dump("-t", "links,headings", "--models", "all", "-j", "2", "-", stdin=f)
    check(status == 0 and out == base, "standard input: same lines")
    # Compressed output decompresses to the same lines.
    for suffix in (".jsonl", ".jsonl.gz", ".jsonl.zst"):
        target = os.path.join(WORK, "out" + suffix)
        status, out, err = dump("-t", "links,headings", "--models", "all", "-o", target, export("export.xml.bz2"))
        check(status == 0 and out == b"", "-o %s: status %d %s" % (suffix, status, err))
        data = open(target, "rb").read()
        if suffix == ".jsonl.gz":
            data = gzip.decompress(data)
        elif suffix == ".jsonl.zst":
            if not shutil.which("zstd"):
                print("SKIP: zstd not installed, .zst output not decompressed")
                continue
            data = subprocess.run(["zstd", "-dc", target], stdout=subprocess.PIPE, check=True).stdout
        check(data == base, "-o %s: same lines" % suffix)
    left = sorted(n for n in os.listdir(WORK) if n.startswith("out"))
    check(left == ["out.jsonl", "out.jsonl.gz", "out.jsonl.zst"], "-o: no temporary file left: %s" % left)


def titles(out):
    return [line["title"] for line in lines_of(out)]


def group_options():
    pages = expected()
    src = export("export.xml")
    wikitext = [p for p in pages if p["model"] == "wikitext"]
    status, out, _ = dump(src)
    got = lines_of(out)
    check(status == 0 and [l["id"] for l in got] == [p["id"] for p in wikitext], "default: wikitext pages only")
    check(list(got[0]) == ["id", "ns", "title", "revision", "timestamp", "links"], "default: links only")
    status, out, _ = dump("--models", "css,Scribunto", src)
    check(titles(out) == ["MediaWiki:Common.css", "Module:Hello"], "--models css,Scribunto: " + str(titles(out)))
    status, out, _ = dump("--ns", "14,1", "-j", "2", src)
    check(titles(out) == ["Category:Things", "Talk:Unknown elements"], "--ns 14,1: " + str(titles(out)))
    status, out, _ = dump("--redirects", "only", src)
    check([l.get("redirect") for l in lines_of(out)] == ["Main Page", "Main Page#Sections"], "--redirects only")
    status, out, _ = dump("--redirects", "skip", src)
    check(all("redirect" not in l for l in lines_of(out)) and len(lines_of(out)) == len(wikitext) - 2,
          "--redirects skip")
    for jobs in ("1", "2"):
        status, out, _ = dump("--limit", "25", "-j", jobs, export("export-multistream.xml.bz2"))
        check(status == 0 and [l["id"] for l in lines_of(out)] == [p["id"] for p in wikitext[:25]],
              "--limit 25 -j " + jobs)
    ids = os.path.join(WORK, "ids.txt")
    with open(ids, "w") as f:
        f.write("3\n15\n999999\n")
    names = os.path.join(WORK, "titles.txt")
    with open(names, "w") as f:
        f.write("Main_Page\nAC/DC\n")
    status, out, _ = dump("--ids", ids, "--titles", names, src)
    check([l["id"] for l in lines_of(out)] == [1, 3, 15, 16], "--ids and --titles: " + str(lines_of(out)))
    # Usage errors: status 2, one line naming the problem.
    for args, needle in ((["-t", "links,nonsense"], "nonsense"), (["--redirects", "maybe"], "maybe"),
                         (["--ns", "x"], "'x'"), (["--limit", "0"], "--limit"), ([], "no input"),
                         (["-j", "0"], "--jobs"), (["--unknown"], "--unknown"),
                         (["-t", "links", "--output-dir", WORK], "-t html")):
        status, out, err = dump(*args, *([src] if args != [] else []))
        check(status == 2 and needle in err and out == b"", "usage error %s: %d %s" % (args, status, err))
    # Formats the library does not have yet are named; those it has work.
    for fmt in ("text", "templates", "categories", "page"):
        status, out, err = dump("-t", "links," + fmt, "--limit", "3", src)
        if status == 2:
            check(fmt in err and "not available" in err, "-t %s: named as unavailable: %s" % (fmt, err))
        else:
            check(status == 0 and all(fmt in l for l in lines_of(out)), "-t " + fmt)
    status, out, err = dump("--help")
    check(status == 0 and b"--redirects" in out, "--help")
    # One HTML file per page and an index page.
    folder = os.path.join(WORK, "site")
    shutil.rmtree(folder, ignore_errors=True)
    status, out, err = dump("-t", "html", "--output-dir", folder, src)
    check(status == 0, "--output-dir: status %d %s" % (status, err))
    files = set()
    for root, _, names in os.walk(folder):
        files |= {os.path.relpath(os.path.join(root, n), folder) for n in names}
    for name in ("Main_Page.html", "AC/DC.html", 'What?_*Yes*_"quoted"_<x>.html',
                 "\u00dcn\u00efc\u00f6d\u00e9_\u6771\u4eac.html", "index.html"):
        check(name in files, "--output-dir: " + name)
    check(len(files) == len(wikitext) + 1, "--output-dir: one file per page and the index")
    # Every link between pages of the folder, and every link of the index,
    # reaches a file of the folder once the browser decodes it.
    import re
    import urllib.parse
    for name in files:
        html = open(os.path.join(folder, name), encoding="utf-8").read()
        for href in re.findall(r'href="((?:\./|\.\./)[^"#]*)', html):
            target = os.path.normpath(os.path.join(os.path.dirname(name), urllib.parse.unquote(href)))
            if name == "index.html" or target in ("Main_Page.html", "AC/DC.html"):
                check(target in files, "--output-dir: %s links to missing %s" % (name, target))
    limited = os.path.join(WORK, "site-limited")
    status, out, err = dump("-t", "html", "--output-dir", limited, "--limit", "5", "-j", "2", src)
    got = sorted(os.listdir(limited)) if os.path.isdir(limited) else []
    check(status == 0 and len(got) == 6 and "Main_Page.html" in got, "--output-dir --limit 5: %s" % got)
    main = open(os.path.join(folder, "Main_Page.html"), encoding="utf-8").read() if "Main_Page.html" in files else ""
    check('href="./Harbour.html"' in main, "--output-dir: links use ./TARGET.html")
    if "AC/DC.html" in files:
        sub = open(os.path.join(folder, "AC/DC.html"), encoding="utf-8").read()
        check('href="../Rock_music.html"' in sub, "--output-dir: a page in a subfolder links from the folder")


def group_errors():
    full_status, full, _ = dump("--models", "all", export("export.xml"))
    full_lines = full.splitlines(keepends=True)
    bz = open(export("export.xml.bz2"), "rb").read()
    xml = open(export("export.xml"), "rb").read()
    cut_at = xml.index(b"<page>", len(xml) // 2)
    i = xml.index(b"<text", cut_at)
    j = xml.index(b"</text>", i)
    cases = {
        "cut.xml.bz2": (bz[: len(bz) * 2 // 3], "truncated"),
        "cut.xml": (xml[: len(xml) // 2], "no element found"),
        "notext.xml": (xml[:i] + xml[j + 7:], "no <text>"),
        "mismatch.xml": (xml[:cut_at] + b"<page><title>A</title></pag>" + xml[cut_at:], "mismatched tag"),
    }
    for name, (data, needle) in cases.items():
        path = os.path.join(WORK, name)
        with open(path, "wb") as f:
            f.write(data)
        for jobs in ("1", "2"):
            target = os.path.join(WORK, name + ".jsonl")
            status, out, err = dump("--models", "all", "-j", jobs, "-o", target, path)
            check(status == 1 and needle in err and err.count("\n") == 1 and ("page" in err or "byte" in err),
                  "%s -j %s: status %d, message %r" % (name, jobs, status, err))
            written = open(target, "rb").read().splitlines(keepends=True)
            # Every complete page before the failure, and nothing after it.
            check(len(written) > 0 and written == full_lines[: len(written)],
                  "%s -j %s: %d lines, a prefix of the whole output" % (name, jobs, len(written)))
    # The page without text is named; all pages before it are written.
    status, out, err = dump("--models", "all", os.path.join(WORK, "notext.xml"))
    check(status == 1 and "page " in err, "no text: page named: " + err)
    # Entity expansion is refused.
    lol = ('<?xml version="1.0"?><!DOCTYPE m [<!ENTITY a "' + "a" * 100 + '">' +
           "".join('<!ENTITY %s "%s">' % (chr(98 + k), ("&%s;" % chr(97 + k)) * 16) for k in range(6)) + "]>" +
           "<mediawiki><page><title>L</title><ns>0</ns><id>1</id><revision><id>2</id><text>" + "&g;" * 16 +
           "</text></revision></page></mediawiki>")
    status, out, err = dump("-", input_bytes=lol.encode())
    check(status == 1 and "amplification" in err and out == b"", "entity expansion: %d %s" % (status, err))
    # A 200 MB page, streamed in: refused with its id, memory bounded.
    proc = subprocess.Popen([TOOL, "dump", "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    try:
        proc.stdin.write(b"<mediawiki><page><title>Huge</title><ns>0</ns><id>77</id><revision><id>1</id><text>")
        block = b"[[x]] " * 170000
        for _ in range(200):
            proc.stdin.write(block)
        proc.stdin.write(b"</text></revision></page></mediawiki>")
        proc.stdin.close()
    except BrokenPipeError:
        pass
    out, err = proc.communicate(timeout=120)
    check(proc.returncode == 1 and b"page 77" in err and b"longer than" in err and out == b"",
          "huge page: %d %s" % (proc.returncode, err))
    # An output that cannot be written.
    status, out, err = dump("-o", os.path.join(WORK, "no-such-dir", "x.jsonl"), export("export.xml"))
    check(status == 1 and "no-such-dir" in err, "unwritable output: %d %s" % (status, err))
    status, out, err = dump(os.path.join(WORK, "missing.xml"))
    check(status == 1 and "missing.xml" in err, "missing input: %d %s" % (status, err))
    check(full_status == 0, "whole export: status 0")


{"fields": group_fields, "forms": group_forms, "options": group_options, "errors": group_errors}[GROUP]()
print("%s: %d failed" % (GROUP, len(failures)))
sys.exit(1 if failures else 0)
