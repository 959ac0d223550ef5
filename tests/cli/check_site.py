"""Follows every link of a site made by tarnwick-wikitext --site, as a browser
reading the folder from disk would: each internal href must reach a file in
the folder, and a #fragment an element id in that file. A link marked as a
missing page (class "new") must reach no file. Prints each broken link and
exits 1 if there is one.

    check_site.py SITE_DIR MIN_LINKS
"""
import os
import sys
from html.parser import HTMLParser
from urllib.parse import unquote, urlsplit


class Page(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.ids = set()
        self.links = []  # (href, classes)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if attrs.get("id") is not None:
            self.ids.add(attrs["id"])
        if tag == "a" and attrs.get("href") is not None:
            self.links.append((attrs["href"], (attrs.get("class") or "").split()))


def read_page(path, cache):
    if path not in cache:
        page = Page()
        with open(path, encoding="utf-8") as f:
            page.feed(f.read())
        page.close()
        cache[path] = page
    return cache[path]


def main():
    site = os.path.realpath(sys.argv[1])
    min_links = int(sys.argv[2])
    cache = {}
    broken = []
    checked = 0
    for folder, _, files in os.walk(site):
        for name in sorted(files):
            if not name.endswith(".html"):
                continue
            path = os.path.join(folder, name)
            for href, classes in read_page(path, cache).links:
                parts = urlsplit(href)
                if parts.scheme:
                    continue  # an external link
                where = f"{os.path.relpath(path, site)}: {href}"
                if parts.netloc or parts.path.startswith("/"):
                    broken.append(f"{where}: leaves the site's folder")
                    continue
                target = path
                if parts.path:
                    target = os.path.realpath(os.path.join(folder, unquote(parts.path)))
                exists = os.path.isfile(target) and target.startswith(site + os.sep)
                checked += 1
                if "new" in classes:
                    if exists:
                        broken.append(f"{where}: marked as a missing page, but the file is there")
                    continue
                if not exists:
                    broken.append(f"{where}: no such file in the site")
                    continue
                fragment = unquote(parts.fragment)
                if parts.fragment and fragment not in read_page(target, cache).ids:
                    broken.append(f"{where}: no element with id {fragment!r} in {os.path.relpath(target, site)}")
    for line in broken:
        print("broken link:", line)
    if checked < min_links:
        print(f"only {checked} internal links checked, want at least {min_links}")
        return 1
    print(f"{checked} internal links checked, {len(broken)} broken")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
