#!/usr/bin/env python3
"""What dump users run today in Python: the standard library's
xml.etree.ElementTree.iterparse over the export, and mwparserfromhell
(Debian python3-mwparserfromhell) for each page's internal links, written as
JSON Lines. Usage: dump_python_baseline.py EXPORT.xml > out.jsonl"""
import json
import sys
import xml.etree.ElementTree as ET

import mwparserfromhell


def main():
    out = sys.stdout
    page = {}
    for event, elem in ET.iterparse(sys.argv[1], events=("end",)):
        tag = elem.tag.rsplit("}", 1)[-1]
        if tag == "title":
            page["title"] = elem.text or ""
        elif tag == "text":
            page["text"] = elem.text or ""
        elif tag == "page":
            links = [{"target": str(l.title), "text": str(l.text if l.text is not None else l.title)}
                     for l in mwparserfromhell.parse(page.get("text", "")).filter_wikilinks()]
            out.write(json.dumps({"title": page.get("title"), "links": links}, ensure_ascii=False) + "\n")
            page = {}
            elem.clear()


if __name__ == "__main__":
    main()
