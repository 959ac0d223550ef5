#!/usr/bin/python3
"""Side by side: the time this library and Debian's python3-mwparserfromhell
take to list the templates of every corpus article, and the library's
extended HTML of the same articles.

Usage: bench/compare_mwparserfromhell.py LIBRARY [CORPUS_DIR] [ROUNDS]
Both run in this process, on the same bytes; each figure is the best of
ROUNDS rounds (default 3). The library is called through ctypes, whose call
overhead counts against it.
"""
import ctypes
import pathlib
import sys
import time

import mwparserfromhell

FOLDERS = ["wtf_wikipedia", "sweble", "utfnormal", "gensim-enwiki", "gensim-bgwiki", "gensim-enwiki-tables"]
HTML, TEMPLATES_JSON = 0, 4
EXTENDED = 0x8


class Options(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("flags", ctypes.c_uint), ("link_template", ctypes.c_char_p),
                ("external_rel", ctypes.c_char_p), ("page_exists", ctypes.c_void_p), ("context", ctypes.c_void_p)]


def main():
    lib = ctypes.CDLL(sys.argv[1])
    corpus = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else "../shared/corpus")
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    lib.wtcore_render.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_void_p,
                                  ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t)]
    lib.wtcore_free.argtypes = [ctypes.c_void_p]
    # The record as this script knows it: the library reads `size` bytes.
    opts = Options()
    opts.size = ctypes.sizeof(Options)
    opts.flags = EXTENDED
    docs = [p.read_bytes() for f in FOLDERS for p in sorted((corpus / f).glob("*.wiki"))]
    texts = [d.decode("utf-8") for d in docs]
    size = sum(len(d) for d in docs)

    def ours(fmt):
        out, n = ctypes.c_void_p(), ctypes.c_size_t()
        for d in docs:
            if lib.wtcore_render(d, len(d), fmt, ctypes.byref(opts), ctypes.byref(out), ctypes.byref(n)):
                raise SystemExit("wtcore_render failed")
            lib.wtcore_free(out)

    def theirs():
        for t in texts:
            mwparserfromhell.parse(t).filter_templates(recursive=True)

    def best(fn):
        times = []
        for _ in range(rounds):
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
        return min(times)

    t_theirs = best(theirs)
    t_templates = best(lambda: ours(TEMPLATES_JSON))
    t_html = best(lambda: ours(HTML))
    mb = size / 1e6
    print(f"{len(docs)} articles, {mb:.1f} MB, best of {rounds}")
    print(f"python3-mwparserfromhell {mwparserfromhell.__version__}, parse + filter_templates: "
          f"{t_theirs:.2f} s, {mb / t_theirs:.1f} MB/s")
    print(f"wtcore templates JSON (extended): {t_templates:.3f} s, {mb / t_templates:.0f} MB/s, "
          f"{t_theirs / t_templates:.0f} x faster")
    print(f"wtcore extended HTML:             {t_html:.3f} s, {mb / t_html:.0f} MB/s, "
          f"{t_theirs / t_html:.0f} x faster")


if __name__ == "__main__":
    main()
