"""Shared fixtures: the corpus, and the C library itself as the reference.

The reference is the shared library of a CMake build, called through ctypes,
so every result of the package is compared byte for byte with what the C
interface returns for the same document and options. Its path comes from
WTCORE_LIBRARY (set by CTest and .ci/run); the corpus from WTCORE_CORPUS, by
default the shared corpus beside the repository.
"""

import ctypes
import os
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]


class Reference:
    """wtcore_render through ctypes: returns (status, bytes or None)."""

    def __init__(self, path):
        lib = ctypes.CDLL(str(path))
        self._render = lib.wtcore_render
        self._render.restype = ctypes.c_int
        self._render.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_void_p,
                                 ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t)]
        self._free = lib.wtcore_free
        self._free.argtypes = [ctypes.c_void_p]
        self._init = lib.wtcore_options_init
        self._init.argtypes = [ctypes.c_void_p]
        self.status_message = lib.wtcore_status_message
        self.status_message.restype = ctypes.c_char_p

    class Options(ctypes.Structure):
        _fields_ = [("size", ctypes.c_size_t), ("flags", ctypes.c_uint),
                    ("link_template", ctypes.c_char_p), ("external_rel", ctypes.c_char_p),
                    ("page_exists", ctypes.c_void_p), ("context", ctypes.c_void_p),
                    ("_room", ctypes.c_char * 256)]  # for fields a newer library may add

    def render(self, doc: bytes, fmt: int, flags=0, link_template=None, rel=None):
        opts = self.Options()
        self._init(ctypes.byref(opts))
        opts.flags = flags
        if link_template is not None:
            opts.link_template = link_template.encode()
        if rel is not None:
            opts.external_rel = rel.encode()
        out = ctypes.c_void_p()
        n = ctypes.c_size_t()
        status = self._render(doc, len(doc), fmt, ctypes.byref(opts), ctypes.byref(out), ctypes.byref(n))
        if status:
            return status, None
        try:
            return 0, ctypes.string_at(out.value, n.value)
        finally:
            self._free(out)


@pytest.fixture(scope="session")
def reference():
    path = os.environ.get("WTCORE_LIBRARY")
    if not path:
        found = sorted(REPO.glob("build/*/libtarnwick-wikitext-core.so"))
        if not found:
            pytest.skip("no built shared library: set WTCORE_LIBRARY")
        path = found[0]
    return Reference(path)


@pytest.fixture(scope="session")
def corpus_dir():
    path = Path(os.environ.get("WTCORE_CORPUS", REPO.parent / "shared" / "corpus"))
    if not (path / "all.wiki").is_file():
        pytest.skip(f"no corpus at {path}: set WTCORE_CORPUS")
    return path


@pytest.fixture(scope="session")
def articles(corpus_dir):
    """The corpus's article documents, as bytes, in a fixed order."""
    files = sorted(p for p in corpus_dir.glob("*/*.wiki") if p.parent.name != "parsertests")
    return [p.read_bytes() for p in files]


@pytest.fixture(scope="session")
def snippets(corpus_dir):
    """The parser test snippets: small documents full of edge cases."""
    return [p.read_bytes() for p in sorted((corpus_dir / "parsertests").glob("*.wiki"))]
