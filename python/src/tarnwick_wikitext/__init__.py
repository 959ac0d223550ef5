"""Wikitext to HTML, text, links and headings, at the speed of the C++ library.

Every function takes the document as str or as bytes (any bytes-like object,
read as UTF-8) and answers in the same kind: str in, str out; bytes in, bytes
out, with nothing decoded on the way. The interpreter lock is released while
the library works, so threads convert in parallel; render_many does that for
an iterable of documents.

    >>> import tarnwick_wikitext as wt
    >>> wt.to_html("== Intro ==\\n'''Bold''' and [[Main Page|home]].\\n")
    '<h2 id="Intro">Intro</h2>\\n<p><b>Bold</b> and <a href="/wiki/Main_Page">home</a>.</p>\\n'
    >>> wt.links("[[Main Page|home]]")
    [Link(target='Main Page', text='home')]
"""

from __future__ import annotations

import json
import os
from typing import Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Tuple, Union

from . import _core
from ._core import headings, library_version, links, to_html, to_text

__all__ = [
    "Category", "DumpError", "ExternalLink", "Heading", "Link", "Page", "PageData", "Template",
    "categories", "dump_jsonl", "dump_streams", "headings", "library_version", "links", "page",
    "read_dump", "render_many", "templates", "to_html", "to_text", "__version__",
]

__version__: str = _core.library_version()

Text = Union[str, bytes]


class Link(NamedTuple):
    """An internal link: its target as written (trimmed) and the text it shows."""

    target: Text
    text: Text


class Heading(NamedTuple):
    """A heading: level 1 to 6, its text, and its anchor (the id to_html gives it)."""

    level: int
    text: Text
    anchor: Text


class Template(NamedTuple):
    """A template use: its name (trimmed) and its parameters in order.

    Unnamed parameters are named "1", "2", ...; values are the wikitext as
    written. When a name repeats, the last value counts, as on the wikis.
    """

    name: Text
    params: Dict[Text, Text]


class Category(NamedTuple):
    """A category of the page: its name without the namespace, and its sort key or None."""

    name: Text
    sort: Optional[Text]


class ExternalLink(NamedTuple):
    """An external link: its address and its label."""

    url: Text
    text: Text


class PageData(NamedTuple):
    """What page() finds in a document, from one pass over it."""

    links: List[Link]
    headings: List[Heading]
    categories: List[Category]
    templates: List[Template]
    external_links: List[ExternalLink]
    redirect: Optional[Text]


class Page(NamedTuple):
    """A page of a wiki export, with its last revision.

    redirect is the target title when the page is a redirect, else None.
    """

    id: int
    ns: int
    title: str
    redirect: Optional[str]
    revision: int
    timestamp: str
    text: str


class DumpError(OSError):
    """A wiki export could not be read: malformed XML, corrupt or truncated
    compressed data, a page without text, an oversized page.

    page_id is the id of the page being read (None when none was known yet),
    offset the byte offset in the file where the failing stream or element
    starts. Pages read before the error are complete.
    """

    def __init__(self, message: str, page_id: Optional[int] = None, offset: Optional[int] = None):
        super().__init__(message)
        self.page_id = page_id
        self.offset = offset

    def __reduce__(self):
        return (type(self), (str(self), self.page_id, self.offset))


# The extension builds these directly from the library's callbacks and the
# dump reader's pages.
_core._register_record("Link", Link)
_core._register_record("Heading", Heading)
_core._register_record("Page", Page)


def _json_result(doc: Any, fmt: int) -> Any:
    """The library's JSON result for doc in the format, decoded by Python's json module.

    For a bytes document the strings come back as bytes; bytes that are not
    UTF-8 survive the round trip unchanged.
    """
    raw = _core._render(doc, fmt, _core.EXTENDED)
    if isinstance(raw, str):
        return json.loads(raw)
    return _encode_strings(json.loads(raw.decode("utf-8", "surrogateescape")))


def _encode_strings(value: Any) -> Any:
    if isinstance(value, str):
        return value.encode("utf-8", "surrogateescape")
    if isinstance(value, list):
        return [_encode_strings(v) for v in value]
    if isinstance(value, dict):
        return {k: _encode_strings(v) for k, v in value.items()}
    return value


def _templates_of(items: List[Dict[str, Any]]) -> List[Template]:
    return [Template(t["name"], {p["name"]: p["value"] for p in t["params"]}) for t in items]


def _categories_of(items: List[Dict[str, Any]]) -> List[Category]:
    return [Category(c["name"], c["sort"]) for c in items]


def templates(doc: Text) -> List[Template]:
    """Every template of the document in document order, nested ones too (extended syntax).

    The library lists them as JSON; until its visitor reports templates one
    at a time, that JSON is decoded here with Python's json module.
    """
    return _templates_of(_json_result(doc, _core.FORMAT_TEMPLATES_JSON))


def categories(doc: Text) -> List[Category]:
    """The categories of the document in document order (extended syntax)."""
    return _categories_of(_json_result(doc, _core.FORMAT_CATEGORIES_JSON))


def page(doc: Text) -> PageData:
    """Links, headings, categories, templates, external links and redirect target of a page.

    One pass over the document with the extended syntax; under it the links
    leave out file and category links.
    """
    d = _json_result(doc, _core.FORMAT_PAGE_JSON)
    return PageData(
        links=[Link(x["target"], x["text"]) for x in d["links"]],
        headings=[Heading(x["level"], x["text"], x["anchor"]) for x in d["headings"]],
        categories=_categories_of(d["categories"]),
        templates=_templates_of(d["templates"]),
        external_links=[ExternalLink(x["url"], x["text"]) for x in d["external_links"]],
        redirect=d["redirect"],
    )


_REDIRECTS = {"include": 0, "skip": 1, "only": 2}
# Plain XML exports are cut into page-aligned pieces of about this size.
_PLAIN_PIECE_BYTES = 4 << 20


def _dump_filter(ns, redirects, models):
    if redirects not in _REDIRECTS:
        raise ValueError(f"redirects must be 'include', 'skip' or 'only', not {redirects!r}")
    if isinstance(ns, int):
        ns = [ns]
    if isinstance(models, str):
        models = [models]
    return (None if ns is None else [int(n) for n in ns], _REDIRECTS[redirects],
            None if models is None else list(models))


def _require_dump():
    if not _core.HAVE_DUMP:
        raise RuntimeError("this build of tarnwick_wikitext has no dump reader")


def read_dump(path_or_file: Any, *, ns: Union[int, Iterable[int], None] = None,
              redirects: str = "include", models: Union[str, Iterable[str], None] = ("wikitext",),
              byte_range: Optional[Tuple[int, int]] = None) -> Iterator[Page]:
    """Reads the pages of a wiki XML export, one Page at a time.

    path_or_file is a path, or a binary file object (read with readinto or
    read). The compression (bzip2, multistream bzip2, gzip or none) is found
    from the first bytes. ns keeps the pages of these namespace numbers;
    redirects is "include", "skip" or "only"; models keeps the pages of these
    content models (default wikitext only, as the tool's dump command; None:
    every page). byte_range=(begin, end), one of dump_streams' ranges or a run
    of consecutive ones, reads that part of a file alone.

    Reading runs in C++ without the interpreter lock. Memory stays bounded:
    one page at a time. Raises DumpError (an OSError) with the page id or
    byte offset for a fault of the export; the pages before it are complete.
    """
    _require_dump()
    if isinstance(path_or_file, os.PathLike):
        path_or_file = os.fspath(path_or_file)
    return _core._read_dump(path_or_file, *_dump_filter(ns, redirects, models),
                            None if byte_range is None else tuple(byte_range))


def dump_streams(path: Union[str, os.PathLike], index: Union[str, os.PathLike, None] = None) -> List[Tuple[int, int]]:
    """The byte ranges of an export that can be read on their own, in file order.

    A multistream bzip2 file gives its streams, from its index file
    (offset:page_id:title lines, plain or bzip2) when given, else from the
    stream headers; a plain XML file gives page-aligned pieces of about 4 MB;
    any other file one range, the whole file. Each range is (begin, end),
    end excluded; read one with read_dump(path, byte_range=...).
    """
    _require_dump()
    return _core._dump_streams(os.fspath(path), None if index is None else os.fspath(index),
                               _PLAIN_PIECE_BYTES)


def dump_jsonl(path: Union[str, os.PathLike], *, to: Union[str, Iterable[str]] = "links",
               byte_range: Optional[Tuple[int, int]] = None, ns: Union[int, Iterable[int], None] = None,
               redirects: str = "include", models: Union[str, Iterable[str], None] = ("wikitext",),
               extended: bool = False, safe: bool = False,
               link_template: Optional[str] = None) -> Tuple[bytes, int, int]:
    """The JSON Lines that `tarnwick-wikitext dump -t FORMATS` writes, for a file or a range of it.

    to is a comma list (or a sequence) of html, text, links, headings,
    templates, categories, page. One line per page:
    {"id","ns","title","revision","timestamp","redirect" (when the page is
    one), then a field per format}. safe means balanced tags, safe
    attributes and encoded link targets, as the tool's --safe. Returns
    (lines, pages, xml_bytes); all of it runs in C++ without the
    interpreter lock.
    """
    _require_dump()
    formats = [f for f in to.split(",") if f] if isinstance(to, str) else list(to)
    if not formats:
        raise ValueError("to needs at least one format")
    formats = list(dict.fromkeys(formats))
    flags = (_core.EXTENDED if extended else 0) | (
        _core.SAFE_ATTRIBUTES | _core.BALANCE_TAGS | _core.ENCODE_TARGETS if safe else 0)
    return _core._dump_jsonl(os.fspath(path), None if byte_range is None else tuple(byte_range), formats,
                             flags, link_template, *_dump_filter(ns, redirects, models))


if _core.HAVE_DUMP:
    _core._register_dump_error(DumpError)


_RENDER_OPTIONS = ("link_template", "encode_targets", "balance", "safe_attributes", "extended", "rel")
_FLAG_BITS = {
    "encode_targets": _core.ENCODE_TARGETS,
    "balance": _core.BALANCE_TAGS,
    "safe_attributes": _core.SAFE_ATTRIBUTES,
    "extended": _core.EXTENDED,
}
# A batch of documents goes to one worker at a time: large enough that the
# hand-over costs little per document, small enough to keep every thread busy.
_BATCH_BYTES = 1 << 18
_BATCH_DOCS = 1024


def render_many(docs: Iterable[Any], *, threads: Optional[int] = None, **options: Any) -> Iterator[Text]:
    """Renders every document of an iterable as to_html does, on a pool of threads.

    Yields the results in the order of the documents, each of its document's
    type. options are those of to_html. threads defaults to the number of
    cores. The iterable is read ahead by a few batches per thread only, so a
    long iterable (a generator over a dump, say) is converted in bounded
    memory. Options are checked at the call: a bad one raises at once.
    """
    unknown = set(options) - set(_RENDER_OPTIONS)
    if unknown:
        raise TypeError(f"render_many() got unexpected keyword arguments: {', '.join(sorted(unknown))}")
    flags = 0
    for name, bit in _FLAG_BITS.items():
        if options.get(name):
            flags |= bit
    link_template = options.get("link_template")
    rel = options.get("rel")
    if threads is None:
        threads = os.cpu_count() or 1
    if not isinstance(threads, int) or threads < 1:
        raise ValueError("threads must be a positive integer")
    args = (_core.FORMAT_HTML, flags, link_template, rel)
    _core._render_batch([b""], *args)  # raises now for options the library refuses
    return _render_batches(_batches(docs), threads, args)


def _batches(docs: Iterable[Any]) -> Iterator[List[Any]]:
    batch: List[Any] = []
    size = 0
    for doc in docs:
        batch.append(doc)
        size += len(doc)
        if size >= _BATCH_BYTES or len(batch) >= _BATCH_DOCS:
            yield batch
            batch, size = [], 0
    if batch:
        yield batch


def _render_batches(batches: Iterator[List[Any]], threads: int, args: tuple) -> Iterator[Text]:
    # The pool's threads convert without the interpreter lock; this thread
    # hands batches over a few ahead, converts too while it waits for the
    # oldest, and builds its results (on one thread it converts them all).
    pool = _core._RenderPool(threads, *args)
    try:
        pending = 0
        for batch in batches:
            pool.submit(batch)
            pending += 1
            if pending > threads:
                yield from pool.take()
                pending -= 1
        for _ in range(pending):
            yield from pool.take()
    finally:
        pool.close()