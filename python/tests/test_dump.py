"""read_dump, dump_streams and dump_jsonl on generated exports, and the Dask example.

The exports come from the project's generator (dump/tools/make_export.py),
which also writes what each page holds (expected.tsv). The JSON Lines are
compared byte for byte with the tool's dump command (TARNWICK_WIKITEXT).
"""

import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import tarnwick_wikitext as wt
from tarnwick_wikitext import _core

REPO = Path(__file__).resolve().parents[2]
GENERATOR = REPO / "dump" / "tools" / "make_export.py"
FORMS = ["export.xml", "export-utf16.xml", "export.xml.gz", "export.xml.bz2", "export-multistream.xml.bz2"]

pytestmark = pytest.mark.skipif(not _core.HAVE_DUMP, reason="this tree has no dump reader (dump/)")


@pytest.fixture(scope="session")
def exports(tmp_path_factory, corpus_dir):
    out = tmp_path_factory.mktemp("exports")
    subprocess.run([sys.executable, str(GENERATOR), str(out), "--corpus", str(corpus_dir), "--pages", "120",
                    "--per-stream", "10"], check=True, stdout=subprocess.DEVNULL)
    return out


@pytest.fixture(scope="session")
def expected(exports):
    """Every page of the export as the generator wrote it, as Page records."""
    pages, models = [], []
    for line in (exports / "expected.tsv").read_text().splitlines():
        f = line.split("\t")
        text = lambda s: bytes.fromhex(s).decode("utf-8")
        pages.append(wt.Page(int(f[0]), int(f[1]), text(f[4]), text(f[5]) if f[3] == "1" else None,
                             int(f[2]), text(f[6]), text(f[8])))
        models.append(text(f[7]))
    return pages, models


@pytest.fixture(scope="session")
def tool():
    path = os.environ.get("TARNWICK_WIKITEXT")
    if not path or subprocess.run([path, "dump", "--help"], capture_output=True).returncode != 0:
        pytest.skip("no tarnwick-wikitext with a dump command: set TARNWICK_WIKITEXT")
    return path


def test_every_form_reads_as_generated(exports, expected):
    pages, _ = expected
    for form in FORMS:
        assert list(wt.read_dump(exports / form, models=None)) == pages, form


def test_filters(exports, expected):
    pages, models = expected
    path = exports / "export.xml.bz2"
    wikitext = [p for p, m in zip(pages, models) if m in ("wikitext", "")]
    assert list(wt.read_dump(path)) == wikitext  # wikitext only by default, as the tool
    assert list(wt.read_dump(path, models=None, ns=[0, 14])) == [p for p in pages if p.ns in (0, 14)]
    assert list(wt.read_dump(path, models=None, ns=1)) == [p for p in pages if p.ns == 1]
    assert list(wt.read_dump(path, models=None, redirects="skip")) == [p for p in pages if p.redirect is None]
    assert list(wt.read_dump(path, models=None, redirects="only")) == [p for p in pages if p.redirect]
    with pytest.raises(ValueError, match="redirects"):
        wt.read_dump(path, redirects="no")


def test_ranges_read_as_the_whole(exports, expected):
    pages, _ = expected
    multi = exports / "export-multistream.xml.bz2"
    index = exports / "export-multistream-index.txt.bz2"
    for streams in (wt.dump_streams(multi), wt.dump_streams(multi, index)):
        assert len(streams) > 5
        assert streams[0][0] == 0 and streams[-1][1] == multi.stat().st_size
        assert all(a[1] == b[0] for a, b in zip(streams, streams[1:]))
        got = [p for r in streams for p in wt.read_dump(multi, byte_range=r, models=None)]
        assert got == pages
    assert wt.dump_streams(exports / "export.xml.gz") == [(0, (exports / "export.xml.gz").stat().st_size)]
    with pytest.raises(wt.DumpError):
        wt.dump_streams(exports / "export.xml.gz", index)


def test_file_objects(exports, expected):
    pages, _ = expected
    data = (exports / "export.xml.bz2").read_bytes()
    assert list(wt.read_dump(io.BytesIO(data), models=None)) == pages

    class ReadOnly:  # read() and no readinto()
        def __init__(self):
            self.f = io.BytesIO(data)

        def read(self, n):
            return self.f.read(min(n, 777))

    assert list(wt.read_dump(ReadOnly(), models=None)) == pages
    with open(exports / "export.xml", encoding="utf-8") as text_file, pytest.raises(TypeError, match="binary"):
        list(wt.read_dump(text_file))

    class Failing:
        def readinto(self, b):
            raise KeyError("disk on fire")

    with pytest.raises(KeyError, match="disk on fire"):
        list(wt.read_dump(Failing()))


def test_faults_name_the_place(exports, expected, tmp_path):
    pages, _ = expected
    with pytest.raises(wt.DumpError) as missing:
        list(wt.read_dump(tmp_path / "missing.xml"))
    assert isinstance(missing.value, OSError) and "missing.xml" in str(missing.value)

    data = (exports / "export.xml.bz2").read_bytes()
    cut = tmp_path / "cut.xml.bz2"
    cut.write_bytes(data[: len(data) * 2 // 3])
    got = []
    with pytest.raises(wt.DumpError) as truncated:
        for p in wt.read_dump(cut, models=None):
            got.append(p)
    assert "truncated" in str(truncated.value)
    assert truncated.value.offset is not None and truncated.value.page_id is not None
    assert got == pages[: len(got)] and 0 < len(got) < len(pages)

    bad = tmp_path / "bad.xml"
    xml = (exports / "export.xml").read_bytes()
    bad.write_bytes(xml[: len(xml) // 2] + b"<page><title>a</titel>" + xml[len(xml) // 2:])
    with pytest.raises(wt.DumpError, match="not well-formed|mismatched"):
        list(wt.read_dump(bad))


@pytest.mark.parametrize("formats", ["links", "links,headings,html"])
def test_jsonl_equals_the_tool(exports, tool, formats):
    for form in ("export.xml", "export.xml.gz", "export-multistream.xml.bz2"):
        path = exports / form
        expected = subprocess.run([tool, "dump", "-j", "1", "-t", formats, str(path)], check=True,
                                  capture_output=True).stdout
        lines, pages, _ = wt.dump_jsonl(path, to=formats)
        assert lines == expected, form
        assert pages == expected.count(b"\n")
    if "html" not in formats:
        return
    # Each line's fields are the library's results on the page's text.
    for line, page in zip(lines.splitlines(), wt.read_dump(exports / "export.xml")):
        obj = json.loads(line)
        assert (obj["id"], obj["title"], obj.get("redirect")) == (page.id, page.title, page.redirect)
        assert obj["html"] == wt.to_html(page.text)
        assert [tuple(x.values()) for x in obj["links"]] == wt.links(page.text)


def test_dask_example_equals_the_tool(exports, tool, tmp_path):
    """Two worker processes on a LocalCluster; small tasks so that there are several."""
    path = exports / "export-multistream.xml.bz2"
    out = tmp_path / "out"
    run = subprocess.run([sys.executable, str(REPO / "examples" / "dask_dump.py"), "-t", "links,headings",
                          "--workers", "2", "--task-mb", "0.1", "-o", str(out), str(path)],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    parts = sorted(out.glob("part-*.jsonl"))
    assert len(parts) > 2
    expected = subprocess.run([tool, "dump", "-t", "links,headings", str(path)], check=True,
                              capture_output=True).stdout
    assert b"".join(p.read_bytes() for p in parts) == expected
    summary = json.loads((out / "summary.json").read_text())
    assert summary["pages"] == expected.count(b"\n") and summary["workers"] == 2
    assert summary["bytes"] == path.stat().st_size and summary["seconds"] > 0
    # The tasks lie within the workers' busy spans, and those within the job
    # (to the millisecond the figures are rounded to).
    assert 0 < summary["task_seconds"] <= summary["span_seconds"] + 0.002
    assert summary["span_seconds"] <= summary["workers"] * summary["seconds"] + 0.004
