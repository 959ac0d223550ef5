#!/usr/bin/env python3
"""Builds wiki XML exports (schema 0.11) for the dump reader's tests and benchmarks.

The pages are hand-made ones that use every element of the format (redirects,
several revisions, deleted and empty text, CDATA, character references, other
content models, uploads, content slots, unknown elements) followed by pages
whose text is taken from the wikitext corpus. Writes into OUT_DIR:

  export.xml                plain UTF-8
  export-utf16.xml          the same document in UTF-16 with a byte order mark
  export.xml.gz             gzip
  export.xml.bz2            one bzip2 stream
  export-multistream.xml.bz2 + export-multistream-index.txt.bz2
                            a stream for the site information, one per PER_STREAM
                            pages, one for the closing tag; the index lists
                            offset:page_id:title for each page
  expected.tsv              for each page: id, ns, revision id, redirect flag,
                            then title, redirect target, timestamp, model and
                            text of the last revision as hexadecimal UTF-8

Usage: make_export.py OUT_DIR [--corpus DIR] [--pages N] [--size MB] [--per-stream N]
--size repeats the corpus (with new ids and titles) until the XML reaches MB
megabytes; --pages caps the number of corpus pages instead.
"""
import argparse
import bz2
import gzip
import os
import re
import sys

HEADER = """<mediawiki xmlns="http://www.mediawiki.org/xml/export-0.11/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:schemaLocation="http://www.mediawiki.org/xml/export-0.11/ http://www.mediawiki.org/xml/export-0.11.xsd" version="0.11" xml:lang="en">
  <siteinfo>
    <sitename>Tarnwick Test Wiki</sitename>
    <dbname>tarnwiki</dbname>
    <base>https://wiki.example.org/wiki/Main_Page</base>
    <generator>make_export.py</generator>
    <case>first-letter</case>
    <namespaces>
      <namespace key="-2" case="first-letter">Media</namespace>
      <namespace key="-1" case="first-letter">Special</namespace>
      <namespace key="0" case="first-letter" />
      <namespace key="1" case="first-letter">Talk</namespace>
      <namespace key="8" case="first-letter">MediaWiki</namespace>
      <namespace key="10" case="first-letter">Template</namespace>
      <namespace key="14" case="first-letter">Category</namespace>
      <namespace key="828" case="first-letter">Module</namespace>
    </namespaces>
  </siteinfo>
"""
FOOTER = "</mediawiki>\n"

# Characters XML 1.0 does not allow, written by the generator as U+FFFD.
INVALID_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


def clean(text):
    return INVALID_XML.sub("\ufffd", text)


def escape_text(text):
    # A carriage return is written as a character reference: XML parsers
    # turn a literal CR LF into LF.
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace("\r", "&#13;"))


def escape_attr(text):
    return escape_text(text).replace('"', "&quot;")


class Page:
    def __init__(self, pid, ns, title, text, model="wikitext", redirect=None):
        self.id, self.ns, self.title, self.text = pid, ns, title, text
        self.model, self.redirect = model, redirect
        self.revision = pid * 10 + 1
        self.timestamp = "2024-%02d-%02dT%02d:%02d:00Z" % (pid % 12 + 1, pid % 28 + 1, pid % 24, pid % 60)
        self.xml = None  # hand-written XML replaces the generated form
        self.deleted = False


def contributor(pid):
    if pid % 3 == 0:
        return "      <contributor>\n        <ip>192.0.2.%d</ip>\n      </contributor>\n" % (pid % 250)
    return ("      <contributor>\n        <username>Editor %d</username>\n        <id>%d</id>\n"
            "      </contributor>\n" % (pid % 17, pid % 17 + 1))


def page_xml(p):
    if p.xml is not None:
        return p.xml
    fmt = {"wikitext": "text/x-wiki", "css": "text/css", "javascript": "text/javascript",
           "json": "application/json", "Scribunto": "text/plain"}[p.model]
    out = ["  <page>\n", "    <title>%s</title>\n" % escape_text(p.title), "    <ns>%d</ns>\n" % p.ns,
           "    <id>%d</id>\n" % p.id]
    if p.redirect is not None:
        out.append('    <redirect title="%s" />\n' % escape_attr(p.redirect))
    out.append("    <revision>\n      <id>%d</id>\n      <parentid>%d</parentid>\n" % (p.revision, p.revision - 1))
    out.append("      <timestamp>%s</timestamp>\n" % p.timestamp)
    out.append(contributor(p.id))
    if p.id % 5 == 0:
        out.append("      <minor />\n")
    out.append("      <comment>edit of %s</comment>\n" % escape_text(p.title))
    out.append("      <origin>%d</origin>\n" % p.revision)
    out.append("      <model>%s</model>\n      <format>%s</format>\n" % (p.model, fmt))
    size = len(p.text.encode("utf-8"))
    out.append('      <text bytes="%d" sha1="0" xml:space="preserve">%s</text>\n' % (size, escape_text(p.text)))
    out.append("      <sha1>0</sha1>\n    </revision>\n  </page>\n")
    return "".join(out)


def revision(rid, ts, text_xml, extra=""):
    return ("    <revision>\n      <id>%d</id>\n      <timestamp>%s</timestamp>\n"
            "      <contributor>\n        <username>Hand</username>\n        <id>1</id>\n      </contributor>\n"
            "%s      <model>wikitext</model>\n      <format>text/x-wiki</format>\n      %s\n"
            "      <sha1>0</sha1>\n    </revision>\n" % (rid, ts, extra, text_xml))


def hand_pages():
    """Pages that use each element of the format, with the text the reader must give."""
    pages = []

    def add(pid, ns, title, text, **kw):
        p = Page(pid, ns, title, text, **kw)
        pages.append(p)
        return p

    add(1, 0, "Main Page", "Welcome to the '''test wiki'''. See [[Harbour]] and [[Category:Things|things]].\n"
        "== Sections ==\n* [[Lighthouse|the light]]\n")
    add(2, 0, "Main page redirect", "#REDIRECT [[Main Page]]", redirect="Main Page")

    # Several revisions: the last is the page's current text.
    p = add(3, 0, "Revised", "third and current text with [[Current link]]")
    p.revision, p.timestamp = 303, "2024-03-03T03:03:03Z"
    p.xml = ("  <page>\n    <title>Revised</title>\n    <ns>0</ns>\n    <id>3</id>\n" +
             revision(301, "2024-01-01T01:01:01Z", '<text bytes="10" xml:space="preserve">first [[Old link]]</text>') +
             revision(302, "2024-02-02T02:02:02Z", '<text bytes="6" xml:space="preserve">second</text>',
                      "      <parentid>301</parentid>\n      <minor />\n") +
             revision(303, "2024-03-03T03:03:03Z",
                      '<text bytes="44" xml:space="preserve">third and current text with [[Current link]]</text>') +
             "  </page>\n")

    # Deleted text, deleted contributor.
    p = add(4, 0, "Deleted text", "")
    p.revision, p.timestamp, p.deleted = 41, "2024-04-04T04:04:04Z", True
    p.xml = ("  <page>\n    <title>Deleted text</title>\n    <ns>0</ns>\n    <id>4</id>\n    <revision>\n"
             "      <id>41</id>\n      <timestamp>2024-04-04T04:04:04Z</timestamp>\n"
             '      <contributor deleted="deleted" />\n      <comment deleted="deleted" />\n'
             "      <model>wikitext</model>\n      <format>text/x-wiki</format>\n"
             '      <text bytes="0" deleted="deleted" />\n      <sha1 />\n    </revision>\n  </page>\n')

    add(5, 0, "Empty", "")

    # CDATA, character references, escaped entity text.
    p = add(6, 0, "Escapes", "")
    p.text = "CDATA: [[A&B]] <b>bold</b> & more\nrefs: A\u263a\r\ntext: &lt; stays &amp;lt; written\n"
    p.revision, p.timestamp = 61, "2024-06-06T06:06:06Z"
    p.xml = ("  <page>\n    <title>Escapes</title>\n    <ns>0</ns>\n    <id>6</id>\n" +
             revision(61, "2024-06-06T06:06:06Z",
                      '<text xml:space="preserve"><![CDATA[CDATA: [[A&B]] <b>bold</b> & more]]>\n'
                      "refs: &#65;&#x263A;&#13;&#10;text: &amp;lt; stays &amp;amp;lt; written\n</text>") +
             "  </page>\n")

    add(7, 14, "Category:Things", "Pages about [[things]].")
    add(8, 10, "Template:Infobox", "{{{title|}}} [[Template link]]")
    add(9, 8, "MediaWiki:Common.css", "body { color: #222; } /* [[not a link]] */", model="css")
    add(10, 828, "Module:Hello", "return { hello = function() return '[[x]]' end }", model="Scribunto")
    add(11, 0, "Data.json", '{"a": "[[not a link]]"}', model="json")
    add(12, 8, "MediaWiki:Common.js", "var x = '[[y]]';", model="javascript")

    # Unknown elements at page and revision level, restrictions, an ip.
    p = add(13, 1, "Talk:Unknown elements", "Talk with [[Main Page]].")
    p.revision, p.timestamp = 131, "2024-07-07T07:07:07Z"
    p.xml = ("  <page>\n    <title>Talk:Unknown elements</title>\n    <ns>1</ns>\n    <id>13</id>\n"
             "    <restrictions>edit=sysop:move=sysop</restrictions>\n"
             '    <futurefield kind="x"><nested><id>999</id><text>not this</text></nested></futurefield>\n'
             "    <discussionthreadinginfo><ThreadSubject>s</ThreadSubject></discussionthreadinginfo>\n"
             "    <revision>\n      <id>131</id>\n      <timestamp>2024-07-07T07:07:07Z</timestamp>\n"
             "      <contributor>\n        <ip>2001:db8::1</ip>\n      </contributor>\n"
             "      <newthing>ignored <b>markup</b></newthing>\n"
             "      <model>wikitext</model>\n      <format>text/x-wiki</format>\n"
             '      <text bytes="24" xml:space="preserve">Talk with [[Main Page]].</text>\n'
             "      <sha1>0</sha1>\n    </revision>\n  </page>\n")

    # An upload after the revision, and content slots beside the main text.
    p = add(14, 6, "File:Harbour.jpg", "A photo of the [[Harbour]].")
    p.revision, p.timestamp = 141, "2024-08-08T08:08:08Z"
    p.xml = ("  <page>\n    <title>File:Harbour.jpg</title>\n    <ns>6</ns>\n    <id>14</id>\n" +
             revision(141, "2024-08-08T08:08:08Z",
                      '<text bytes="27" xml:space="preserve">A photo of the [[Harbour]].</text>\n'
                      "      <content>\n        <role>mediainfo</role>\n        <origin>141</origin>\n"
                      "        <model>json</model>\n        <format>application/json</format>\n"
                      '        <text bytes="13" xml:space="preserve">{"[[slot]]":1}</text>\n'
                      "      </content>") +
             "    <upload>\n      <timestamp>2020-01-01T00:00:00Z</timestamp>\n"
             "      <contributor>\n        <username>Up</username>\n        <id>5</id>\n      </contributor>\n"
             "      <comment>upload</comment>\n      <filename>Harbour.jpg</filename>\n"
             "      <src>https://example.org/Harbour.jpg</src>\n      <size>1234</size>\n    </upload>\n"
             "  </page>\n")

    add(15, 0, "\u00dcn\u00efc\u00f6d\u00e9 \u6771\u4eac", "Text in [[\u6771\u4eac|T\u014dky\u014d]] \u2014 \U0001f600")
    add(16, 0, "AC/DC", "Band. [[Rock music]]")
    add(17, 0, 'What? *Yes* "quoted" <x>', "Odd title. [[Main Page]]")
    add(18, 0, "Closer", "text with ]]> inside and a [[link]]")
    add(19, 0, "Redirect to section", "#REDIRECT [[Main Page#Sections]]", redirect="Main Page#Sections")
    return pages


def corpus_files(corpus):
    files = []
    for root, dirs, names in os.walk(corpus):
        dirs.sort()
        for n in sorted(names):
            if n.endswith(".wiki") and n != "all.wiki":
                files.append(os.path.join(root, n))
    return files


def corpus_pages(corpus, first_id, max_pages, size_bytes):
    files = corpus_files(corpus)
    if not files:
        sys.exit("make_export.py: no .wiki files in %s" % corpus)
    texts = []
    for f in files:
        with open(f, "rb") as h:
            texts.append((os.path.splitext(os.path.basename(f))[0], clean(h.read().decode("utf-8", "replace"))))
    pages, total, rnd = [], 0, 0
    pid = first_id
    while True:
        for name, text in texts:
            if max_pages is not None and len(pages) >= max_pages:
                return pages
            if size_bytes is not None and total >= size_bytes:
                return pages
            title = name.replace("_", " ") + ("" if rnd == 0 else " (%d)" % rnd)
            p = Page(pid, 0, title, text)
            pages.append(p)
            total += len(text) + 600
            pid += 1
        rnd += 1
        if size_bytes is None:
            return pages


def write_expected(path, pages):
    def hx(s):
        return s.encode("utf-8").hex()
    with open(path, "w") as f:
        for p in pages:
            f.write("%d\t%d\t%d\t%d\t%s\t%s\t%s\t%s\t%s\n" % (
                p.id, p.ns, p.revision, 0 if p.redirect is None else 1, hx(p.title), hx(p.redirect or ""),
                hx(p.timestamp), hx(p.model), hx(p.text)))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out_dir")
    ap.add_argument("--corpus", default=os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "corpus"))
    ap.add_argument("--pages", type=int, default=None)
    ap.add_argument("--size", type=float, default=None, help="megabytes of XML")
    ap.add_argument("--per-stream", type=int, default=100)
    ap.add_argument("--no-hand", action="store_true", help="corpus pages only")
    ap.add_argument("--forms", default="all", help="comma list: plain,utf16,gz,bz2,multistream (default all)")
    ap.add_argument("--repeat", type=int, default=0,
                    help="also write export-multistream-xN.xml.bz2: the page streams N times over (for memory runs)")
    a = ap.parse_args()
    os.makedirs(a.out_dir, exist_ok=True)
    pages = [] if a.no_hand else hand_pages()
    size = int(a.size * 1e6) if a.size else None
    max_pages = a.pages if a.pages is not None or size else 300
    pages += corpus_pages(a.corpus, 100, max_pages, size)
    forms = set(a.forms.split(",")) if a.forms != "all" else {"plain", "utf16", "gz", "bz2", "multistream"}

    chunks = [page_xml(p) for p in pages]
    decl = '<?xml version="1.0" encoding="UTF-8"?>\n'
    doc = decl + HEADER + "".join(chunks) + FOOTER
    data = doc.encode("utf-8")
    out = lambda name: os.path.join(a.out_dir, name)
    if "plain" in forms:
        with open(out("export.xml"), "wb") as f:
            f.write(data)
    if "utf16" in forms:
        doc16 = '<?xml version="1.0" encoding="UTF-16"?>\n' + HEADER + "".join(chunks) + FOOTER
        with open(out("export-utf16.xml"), "wb") as f:
            f.write(b"\xff\xfe" + doc16.encode("utf-16-le"))
    if "gz" in forms:
        with open(out("export.xml.gz"), "wb") as f:
            f.write(gzip.compress(data, 6, mtime=0))
    if "bz2" in forms:
        with open(out("export.xml.bz2"), "wb") as f:
            f.write(bz2.compress(data, 9))
    if "multistream" in forms:
        index = []
        with open(out("export-multistream.xml.bz2"), "wb") as f:
            f.write(bz2.compress((decl + HEADER).encode("utf-8"), 9))
            for i in range(0, len(pages), a.per_stream):
                offset = f.tell()
                group = pages[i:i + a.per_stream]
                f.write(bz2.compress("".join(chunks[i:i + a.per_stream]).encode("utf-8"), 9))
                index += ["%d:%d:%s\n" % (offset, p.id, p.title) for p in group]
            f.write(bz2.compress(FOOTER.encode("utf-8"), 9))
        if a.repeat > 1:
            # The same compressed page streams N times between the header and
            # the closing tag: a larger file without compressing it again.
            with open(out("export-multistream.xml.bz2"), "rb") as f:
                whole = f.read()
            head = bz2.compress((decl + HEADER).encode("utf-8"), 9)
            tail = bz2.compress(FOOTER.encode("utf-8"), 9)
            body = whole[len(head):len(whole) - len(tail)]
            with open(out("export-multistream-x%d.xml.bz2" % a.repeat), "wb") as f:
                f.write(head)
                for _ in range(a.repeat):
                    f.write(body)
                f.write(tail)
        with open(out("export-multistream-index.txt.bz2"), "wb") as f:
            f.write(bz2.compress("".join(index).encode("utf-8"), 9))
    write_expected(out("expected.tsv"), pages)
    print("%s: %d pages, %.1f MB of XML" % (a.out_dir, len(pages), len(data) / 1e6))


if __name__ == "__main__":
    main()
