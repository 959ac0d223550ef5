"""The package against the C library: same bytes, same lists, same errors."""

import itertools
import json
import mmap
import pickle
import threading

import pytest

import tarnwick_wikitext as wt
from tarnwick_wikitext import _core

HTML, LINKS, HEADINGS, TEXT, TEMPLATES, CATEGORIES, PAGE = range(7)
OK, ERROR_OPTIONS = 0, 2

FLAG_OPTIONS = {
    "encode_targets": _core.ENCODE_TARGETS,
    "balance": _core.BALANCE_TAGS,
    "safe_attributes": _core.SAFE_ATTRIBUTES,
    "extended": _core.EXTENDED,
}


def test_html_equals_library_on_corpus(reference, articles, snippets):
    for doc in articles + snippets:
        status, expected = reference.render(doc, HTML)
        assert status == OK
        assert wt.to_html(doc) == expected
        assert wt.to_html(doc.decode("utf-8")) == expected.decode("utf-8")


def test_links_and_headings_equal_library_json_on_corpus(reference, articles, snippets):
    for doc in articles + snippets:
        links = json.loads(reference.render(doc, LINKS)[1])
        headings = json.loads(reference.render(doc, HEADINGS)[1])
        text = doc.decode("utf-8")
        assert wt.links(text) == [(x["target"], x["text"]) for x in links]
        assert wt.headings(text) == [(x["level"], x["text"], x["anchor"]) for x in headings]
        assert wt.links(doc) == [(x["target"].encode(), x["text"].encode()) for x in links]
        assert wt.headings(doc) == [(x["level"], x["text"].encode(), x["anchor"].encode())
                                    for x in headings]


def test_every_option_is_the_library_option(reference, articles):
    """Each keyword sets the library's option: same result, or the same refusal."""
    docs = articles[:8] + [b"[[a b]] [http://x.y z] <span onclick=x style=\"a\">q</span> '''b"]
    names = list(FLAG_OPTIONS)
    combos = [()] + [(n,) for n in names] + [tuple(names)]
    for combo, strings in itertools.product(combos, [{}, {"link_template": "/w/$1.html", "rel": "ugc"}]):
        kwargs = dict.fromkeys(combo, True) | strings
        flags = sum(FLAG_OPTIONS[n] for n in combo)
        for doc in docs:
            status, expected = reference.render(doc, HTML, flags, **strings)
            if status == OK:
                assert wt.to_html(doc, **kwargs) == expected, kwargs
            else:
                assert status == ERROR_OPTIONS
                with pytest.raises(ValueError, match="invalid options"):
                    wt.to_html(doc, **kwargs)


def test_formats_of_the_extended_syntax(reference, articles):
    """to_text, templates, categories and page: the library's results, once it has them."""
    doc = articles[0]
    status, text = reference.render(doc, TEXT, _core.EXTENDED)
    if status != OK:
        for call in (wt.to_text, wt.templates, wt.categories, wt.page):
            with pytest.raises(ValueError):
                call(doc)
        pytest.skip("the library does not render the extended formats yet")
    for doc in articles:
        assert wt.to_text(doc) == reference.render(doc, TEXT, _core.EXTENDED)[1]
        tpl = json.loads(reference.render(doc, TEMPLATES, _core.EXTENDED)[1])
        got = wt.templates(doc.decode())
        assert [t.name for t in got] == [t["name"] for t in tpl]
        for t, expected in zip(got, tpl):
            assert t.params == {p["name"]: p["value"] for p in expected["params"]}
        cats = json.loads(reference.render(doc, CATEGORIES, _core.EXTENDED)[1])
        assert wt.categories(doc.decode()) == [(c["name"], c["sort"]) for c in cats]
        data = json.loads(reference.render(doc, PAGE, _core.EXTENDED)[1])
        p = wt.page(doc.decode())
        assert p.redirect == data["redirect"]
        assert [tuple(x) for x in p.links] == [(x["target"], x["text"]) for x in data["links"]]


def test_str_and_bytes():
    doc = "== Überblick ==\nText mit [[Straße|Weg]] und ''kursiv''.\n"
    html = wt.to_html(doc)
    assert isinstance(html, str)
    assert wt.to_html(doc.encode()) == html.encode()
    assert wt.to_html(bytearray(doc.encode())) == html.encode()
    assert wt.to_html(memoryview(doc.encode())) == html.encode()
    assert wt.to_html("") == "" and wt.to_html(b"") == b""
    assert wt.links(doc) == [wt.Link("Straße", "Weg")]
    assert wt.headings(doc.encode()) == [wt.Heading(2, "Überblick".encode(), "Überblick".encode())]


def test_bytes_that_are_not_utf8_pass_through():
    doc = b"[[caf\xe9|x\xff]] \xc3"
    assert wt.links(doc) == [(b"caf\xe9", b"x\xff")]
    assert b"caf\xe9" in wt.to_html(doc)


def test_nul_reads_as_replacement_character():
    assert wt.to_html("a\0b") == wt.to_html("a\ufffdb")
    assert wt.to_html(b"a\0b") == "<p>a\ufffdb</p>\n".encode()


def test_mmap_document(tmp_path):
    path = tmp_path / "page.wiki"
    path.write_bytes(b"'''x''' [[y]]")
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        assert wt.to_html(m) == wt.to_html(b"'''x''' [[y]]")


def test_errors():
    with pytest.raises(TypeError, match="str or a bytes-like object, not int"):
        wt.to_html(3)
    with pytest.raises(TypeError):
        wt.links(None)
    with pytest.raises(TypeError):
        wt.to_html("x", "positional option")
    with pytest.raises(ValueError, match='without "\\$1"'):
        wt.to_html("[[a]]", link_template="/wiki/")
    with pytest.raises(ValueError, match="NUL"):
        wt.to_html("[[a]]", link_template="/$1\0")
    with pytest.raises(UnicodeEncodeError):
        wt.to_html("lone \udc80 surrogate")


def test_records_are_named_tuples():
    link = wt.links("[[A|b]]")[0]
    assert link.target == "A" and link.text == "b" and link == ("A", "b")
    assert type(link) is wt.Link
    assert pickle.loads(pickle.dumps(link)) == link
    heading = wt.headings("=== C ===")[0]
    assert (heading.level, heading.text, heading.anchor) == (3, "C", "C")
    assert heading._asdict() == {"level": 3, "text": "C", "anchor": "C"}
    with pytest.raises(TypeError):
        _core._register_record("Link", dict)


def test_version():
    assert wt.__version__ == wt.library_version()
    assert wt.__version__.count(".") == 2


def test_threads_give_serial_results(articles):
    """to_html from several threads at once, the lock released: the serial results."""
    serial = [wt.to_html(d) for d in articles]
    results = [None] * len(articles)

    def work(k):
        for i in range(k, len(articles), 4):
            results[i] = wt.to_html(articles[i])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == serial


def test_render_many_in_order(articles, snippets):
    docs = [d if i % 3 else d.decode() for i, d in enumerate(articles + snippets)]
    serial = [wt.to_html(d) for d in docs]
    for threads in (1, 2, 3):
        assert list(wt.render_many(docs, threads=threads)) == serial
    gen = (d for d in docs)  # a one-pass iterable
    assert list(wt.render_many(gen, threads=2, balance=False)) == serial
    assert list(wt.render_many([], threads=2)) == []


def test_render_many_options_and_errors(articles):
    docs = articles[:5]
    for opts in ({"link_template": "/w/$1"}, {"rel": "ugc", "balance": True}):
        try:
            expected = [wt.to_html(d, **opts) for d in docs]
        except ValueError:  # an option the library does not have yet: refused alike
            with pytest.raises(ValueError):
                wt.render_many(docs, **opts)
        else:
            assert list(wt.render_many(docs, threads=2, **opts)) == expected
    with pytest.raises(ValueError):
        wt.render_many(docs, link_template="/w/")  # at the call, not at the first item
    with pytest.raises(TypeError, match="colour"):
        wt.render_many(docs, colour=True)
    with pytest.raises(ValueError, match="threads"):
        wt.render_many(docs, threads=0)
    with pytest.raises(TypeError):
        list(wt.render_many([b"a", 5], threads=2))


def test_render_many_reads_ahead_boundedly():
    """A consumer that stops early leaves most of an endless iterable unread."""
    taken = 0

    def endless():
        nonlocal taken
        while True:
            taken += 1
            yield b"x" * 1000

    results = wt.render_many(endless(), threads=2)
    for _ in itertools.islice(results, 10):
        pass
    results.close()
    assert taken < 20 * 1024  # a few batches, not the whole stream
