#!/usr/bin/env python3
"""Properties of the balanced output (WTCORE_BALANCE_TAGS), checked with an
HTML5 parser:

1. Parsed as a fragment, the output builds exactly the elements its tags say:
   the start and end tags read by a plain tokenizer are the elements of the
   parsed tree, in order, so nothing was closed, reopened or ignored by the
   parser's recovery rules.
2. Its text content (from the parsed tree) equals the text that the default
   output carries, in the order written (from a plain tokenizer: a parser's
   recovery can move text of the unbalanced output around), white space runs
   counted as one space: a definition list nested in an open item gets a <dl>
   of its own when balanced, and with it the line feed after that tag.

Usage: balance_test.py LIBRARY [CORPUS_DIR]
The corpus documents of up to 48 KB are checked, and every fourth larger one
(the parser is pure Python); WTCORE_BALANCE_ALL=1 checks them all.
Exits 0 when every document passes, 1 on the first failure, 77 when the HTML5
parser (Debian: python3-html5lib) is missing.
"""
import ctypes
import os
import random
import sys

try:
    import html5lib
    from html5lib._tokenizer import HTMLTokenizer
    from html5lib.constants import tokenTypes
except ImportError:
    print("SKIP: html5lib not installed (Debian: python3-html5lib)")
    sys.exit(77)

WTCORE_FORMAT_HTML = 0
WTCORE_ENCODE_TARGETS = 0x1
WTCORE_BALANCE_TAGS = 0x2
WTCORE_SAFE_ATTRIBUTES = 0x4
WTCORE_EXTENDED = 0x8
VOID = {"br", "hr", "img", "wbr"}


class Options(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("flags", ctypes.c_uint), ("link_template", ctypes.c_char_p),
                ("external_rel", ctypes.c_char_p), ("page_exists", ctypes.c_void_p), ("context", ctypes.c_void_p),
                ("file_namespaces", ctypes.c_char_p), ("media_namespaces", ctypes.c_char_p),
                ("category_namespaces", ctypes.c_char_p), ("file_template", ctypes.c_char_p),
                ("_room", ctypes.c_char * 256)]  # for fields a newer library may add


class Library:
    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.wtcore_render.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.POINTER(Options),
                                           ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t)]
        self.lib.wtcore_free.argtypes = [ctypes.c_void_p]
        self.lib.wtcore_options_init.argtypes = [ctypes.POINTER(Options)]

    def html(self, doc, flags):
        opts = Options()
        self.lib.wtcore_options_init(ctypes.byref(opts))
        opts.flags = flags
        out = ctypes.c_void_p()
        n = ctypes.c_size_t()
        status = self.lib.wtcore_render(doc, len(doc), WTCORE_FORMAT_HTML, ctypes.byref(opts), ctypes.byref(out),
                                        ctypes.byref(n))
        if status:
            raise RuntimeError("wtcore_render failed with status %d" % status)
        try:
            return ctypes.string_at(out, n.value).decode("utf-8", "replace")
        finally:
            self.lib.wtcore_free(out)


def read_tokens(fragment):
    """The tags and the text as written, in order, read by the HTML5
    tokenizer alone (no tree building, so no recovery rule applies)."""
    events, text = [], []
    for tok in HTMLTokenizer(fragment):
        kind = tok["type"]
        if kind == tokenTypes["StartTag"]:
            events.append(("start", tok["name"]))
            if tok.get("selfClosing") and tok["name"] not in VOID:
                events.append(("end", tok["name"]))
        elif kind == tokenTypes["EndTag"]:
            events.append(("end", tok["name"]))
        elif kind in (tokenTypes["Characters"], tokenTypes["SpaceCharacters"]):
            text.append(tok["data"])
    return events, text


def written_tags(fragment):
    return read_tokens(fragment)[0]


def tree_tags(element, out):
    for child in element:
        if not isinstance(child.tag, str):  # comments
            continue
        out.append(("start", child.tag))
        tree_tags(child, out)
        if child.tag not in VOID:
            out.append(("end", child.tag))
    return out


def parse(fragment):
    return html5lib.parseFragment(fragment, treebuilder="etree", namespaceHTMLElements=False)


def tree_text(fragment):
    return " ".join("".join(parse(fragment).itertext()).split())


def written_text(fragment):
    return " ".join("".join(read_tokens(fragment)[1]).split())


def check(lib, doc, flags, name):
    balanced = lib.html(doc, flags | WTCORE_BALANCE_TAGS)
    want = written_tags(balanced)
    got = tree_tags(parse(balanced), [])
    if want != got:
        first = next((i for i, (a, b) in enumerate(zip(want, got)) if a != b), min(len(want), len(got)))
        print("FAIL %s: the parser built other elements than the tags say" % name)
        print("  at tag %d: written %s, built %s" % (first, want[first:first + 6], got[first:first + 6]))
        print("  input: %r" % doc[:300])
        return False
    plain = lib.html(doc, flags)
    if tree_text(balanced) != written_text(plain):
        print("FAIL %s: the text differs from the default output's" % name)
        print("  input: %r" % doc[:300])
        return False
    return True


TOKENS = ["<b>", "</b>", "<i>", "</i>", "<u>", "</u>", "<s>", "</s>", "<del>", "</del>", "<sub>", "</sub>",
          "<sup>", "</sup>", "<code>", "</code>", "<small>", "</small>", "<span>", "</span>",
          '<span class="c">', '<span style="color:red" title=t>', "<br>", "<br />", "''", "'''", "'''''",
          "[[a|", "[[b]]", "]]", "[http://x ", "[http://y]", "]", "http://z ", "<nowiki>", "</nowiki>",
          "<!--", "-->", " x ", "y", "&amp;", "<", ">", "\n", "\n\n", "\n* ", "\n** ", "\n# ", "\n: ",
          "\n:: ", "\n; ", ":", "\n== h ", " ==\n", "\n ", "\n----\n"]


# The tags of the extended syntax, mixed with the core's tokens.
EXTENDED_TOKENS = TOKENS + [
    "<div>", "</div>", '<div class="d">', "<p>", "</p>", "<blockquote>", "</blockquote>", "<center>", "</center>",
    "<hr>", "<hr/>", "<div/>", "<em>", "</em>", "<strong>", "</strong>", "<big>", "</big>", "<tt>", "</tt>",
    "<var>", "</var>", "<abbr title=a>", "</abbr>", "<cite>", "</cite>", "<q>", "</q>", "<ins>", "</ins>",
    "<mark>", "</mark>", "<ruby>", "</ruby>", "<rt>", "</rt>", "<rp>", "</rp>", "<table>", "</table>",
    "<caption>", "</caption>", "<thead>", "</thead>", "<tbody>", "</tbody>", "<tfoot>", "</tfoot>", "<tr>",
    "</tr>", "<th>", "</th>", "<td>", "</td>", "<poem>", "</poem>", "\n<div>\n", "\n</div>\n", "\n<table>\n",
    "\n<tr><td>", "\n<p>\n"]


def random_documents(count, seed, tokens=TOKENS):
    rng = random.Random(seed)
    for _ in range(count):
        yield "".join(rng.choice(tokens) for _ in range(rng.randint(1, 40)))


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    lib = Library(sys.argv[1])
    corpus = sys.argv[2] if len(sys.argv) > 2 else ""
    checked = 0
    for i, doc in enumerate(random_documents(1500, 1234)):
        for flags in (0, WTCORE_SAFE_ATTRIBUTES):
            if not check(lib, doc.encode(), flags, "random document %d" % i):
                return 1
            checked += 1
    for i, doc in enumerate(random_documents(1500, 4321, EXTENDED_TOKENS)):
        for flags in (WTCORE_EXTENDED, WTCORE_EXTENDED | WTCORE_SAFE_ATTRIBUTES):
            if not check(lib, doc.encode(), flags, "random extended document %d" % i):
                return 1
            checked += 1
    if corpus and os.path.isdir(corpus):
        check_all = os.environ.get("WTCORE_BALANCE_ALL") == "1"
        large = 0
        for root, _, files in sorted(os.walk(corpus)):
            for f in sorted(files):
                if not f.endswith(".wiki") or f == "all.wiki":
                    continue
                path = os.path.join(root, f)
                if os.path.getsize(path) > 48 * 1024 and not check_all:
                    large += 1
                    if large % 4:
                        continue
                with open(path, "rb") as fh:
                    doc = fh.read()
                if not check(lib, doc, 0, os.path.relpath(path, corpus)):
                    return 1
                checked += 1
    else:
        print("note: corpus not found at %r; random documents only" % corpus)
    print("%d passed, 0 failed" % checked)
    return 0


if __name__ == "__main__":
    sys.exit(main())
