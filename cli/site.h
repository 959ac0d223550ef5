// How the pages of a site made from wikitext are named on disk, so that a
// reader can browse the folder from disk: the file of a page is the file that
// a link to the page reaches.
//
// A link to a page is rendered with the link template "./$1.html" and its
// target percent-encoded; spaces become '_'. A browser decodes the address
// back, so the page "Main Page" lives in "Main_Page.html", and a '/' in a
// page name puts the page in a subfolder: "Help/Intro" lives in
// "Help/Intro.html". Files read as pages are named the way the address is
// written, '_' for a space and %XX escapes decoded, so "AC%2FDC.wiki" holds
// the page "AC/DC".
#pragma once

#include <string>
#include <string_view>

// The page a file holds, from the file's name without its extension: each
// %XX escape decoded (a '%' without two hexadecimal digits stays) and each
// '_' read as a space.
std::string site_page_name(std::string_view file_stem);

// The path of a page's file relative to the site's folder: the name with each
// space as '_', then ".html". Returns "" for a name no file can have: empty,
// holding a NUL, or with a path segment that is empty, "." or "..", or too
// long for a file name.
std::string site_page_path(std::string_view page_name);

// The key under which a link target finds a page: the target before any '#',
// trimmed, each space as '_'; for a page's own name, its path without
// ".html". Two targets reach the same file exactly when their keys are equal.
std::string site_page_key(std::string_view target);

// The link template of the page at page_path: "./$1.html", or "../" once per
// folder of the path in place of "./", so that every link starts at the
// site's folder. ("./" keeps a target such as "Help:Intro" from reading as an
// address scheme.)
std::string site_link_template(std::string_view page_path);

// A page path as an address relative to the site's folder, for the index:
// "./" and the path with every byte but letters, digits, "-._~/" escaped.
std::string site_href(std::string_view page_path);
