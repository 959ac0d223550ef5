"""Template names and categories of the corpus articles, compared with those
that Debian's python3-mwparserfromhell finds.

Usage: agreement.py LIBRARY CORPUS_DIR [--verbose]
Exits 0 when every article agrees apart from the differences that the README
explains (the articles in `explained` below), 1 otherwise, 77 (skip) when the
parser or the corpus is missing.
"""
import collections
import ctypes
import pathlib
import re
import sys

try:
    import mwparserfromhell
except ImportError:
    print("SKIP: python3-mwparserfromhell is not installed")
    sys.exit(77)

FOLDERS = ["wtf_wikipedia", "sweble", "utfnormal", "gensim-enwiki", "gensim-bgwiki", "gensim-enwiki-tables"]
TEMPLATES_JSON, CATEGORIES_JSON = 4, 5


def load(path):
    lib = ctypes.CDLL(path)
    lib.wtcore_render.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_void_p,
                                  ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t)]
    lib.wtcore_free.argtypes = [ctypes.c_void_p]

    def render(doc, fmt):
        out, n = ctypes.c_void_p(), ctypes.c_size_t()
        status = lib.wtcore_render(doc, len(doc), fmt, None, ctypes.byref(out), ctypes.byref(n))
        assert status == 0, status
        text = ctypes.string_at(out, n.value).decode("utf-8")
        lib.wtcore_free(out)
        return text
    return render


def ours(render, doc):
    import json
    templates = [t["name"] for t in json.loads(render(doc, TEMPLATES_JSON))]
    categories = [c["name"] for c in json.loads(render(doc, CATEGORIES_JSON))]
    return templates, categories


CATEGORY = re.compile(r"^\s*category\s*:", re.I)


def theirs(text):
    code = mwparserfromhell.parse(text)
    templates = []
    for t in code.filter_templates(recursive=True):
        name = str(t.name).strip()
        for prefix in ("subst:", "safesubst:"):
            if name.lower().startswith(prefix):
                name = name[len(prefix):].strip()
        templates.append(name)
    categories = []
    for link in code.filter_wikilinks(recursive=True):
        title = str(link.title)
        if not CATEGORY.match(title):
            continue
        # A category that only a template's parameter holds is not the page's.
        if any(isinstance(a, mwparserfromhell.nodes.Template) for a in code.get_ancestors(link)):
            continue
        categories.append(title.split(":", 1)[1].strip())
    return templates, categories


# Articles where the other parser reads less than the wiki does: a template
# whose parameter holds an unbalanced '' (or a bracket) falls back to text
# there, and with it every template nested in it.
explained = {"al_Haytham.wiki", "toronto.wiki", "raw-Germany.wiki", "0030-Andre_Agassi.wiki"}


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    corpus = pathlib.Path(sys.argv[2])
    verbose = "--verbose" in sys.argv
    if not corpus.is_dir():
        print(f"SKIP: no corpus at {corpus}")
        return 77
    render = load(sys.argv[1])
    pages = agree = 0
    unexplained = []
    missing_t = collections.Counter()
    extra_t = collections.Counter()
    missing_c = collections.Counter()
    extra_c = collections.Counter()
    for folder in FOLDERS:
        for path in sorted((corpus / folder).glob("*.wiki")):
            raw = path.read_bytes()
            text = raw.decode("utf-8")
            our_t, our_c = ours(render, raw)
            their_t, their_c = theirs(text)
            mt = collections.Counter(their_t) - collections.Counter(our_t)
            et = collections.Counter(our_t) - collections.Counter(their_t)
            mc = collections.Counter(their_c) - collections.Counter(our_c)
            ec = collections.Counter(our_c) - collections.Counter(their_c)
            pages += 1
            if not (mt or et or mc or ec):
                agree += 1
            elif mc or ec or path.name not in explained:
                unexplained.append(path.name)
                print(f"{path}: templates only theirs {dict(mt)}, only ours {dict(et)}; "
                      f"categories only theirs {dict(mc)}, only ours {dict(ec)}")
            elif verbose:
                print(path, dict(mt), dict(et))
            missing_t += mt
            extra_t += et
            missing_c += mc
            extra_c += ec
    print(f"{agree} of {pages} articles agree; template names only theirs: {sum(missing_t.values())}, "
          f"only ours: {sum(extra_t.values())}; categories only theirs: {sum(missing_c.values())}, "
          f"only ours: {sum(extra_c.values())}")
    return 1 if unexplained else 0


if __name__ == "__main__":
    sys.exit(main())
