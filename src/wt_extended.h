// The extended syntax of the large public wikis, read ahead of rendering: one
// linear pass over the document (wt_parser/preprocess.cpp) finds templates,
// template parameters, comments, the tags whose content stays out of wiki
// parsing, references, categories, behaviour switches and a redirect. Its
// outputs are the data (templates, categories, redirect, notes) and a clean
// text for the renderer, in which each special construct is either gone,
// replaced by a placeholder "<\0" kind index ">" (inline ones), or a place
// where the HTML is cut for a block (lists of notes, pre, gallery). A placeholder cannot come
// from the document: a NUL of the document is read as U+FFFD before this
// pass. The JSON formats of that data live in wt_parser/extended_json.cpp.
#ifndef WT_EXTENDED_H
#define WT_EXTENDED_H

#include "wt_buffer.h"
#include "wt_parser.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wt {
WT_ISA_BEGIN
namespace ext {

// Kinds of placeholder in the clean text; the byte after "<\0".
constexpr char ph_ref = 'r';     // a reference marker; index into refs
constexpr char ph_literal = 'l'; // a tag's literal content (nowiki, math, ...); index into literals
constexpr char ph_file = 'f';    // a file within a line; index into files
constexpr char ph_html = 'h';    // a template's HTML from the host; index into htmls
constexpr char ph_toc = 't';     // where __TOC__ stood, within a line (the host's toc_html)

// The index of a placeholder whose digits start at *q (before end); *q is
// left after them.
inline size_t placeholder_index(const char **q, const char *end) noexcept
{
    size_t index = 0;
    for (const char *p = *q; p < end && *p >= '0' && *p <= '9'; *q = ++p) index = index * 10 + size_t(*p - '0');
    return index;
}

// An array of plain records on a wt_buf, so that all memory still comes from
// the buffer module. Records are trivially copyable; storage from realloc is
// aligned for any of them.
template <class T>
struct pod_array {
    wt_buf b{nullptr, 0, 0, 0, 1}; // scratch: grows into the blocks the thread keeps

    size_t size() const noexcept { return b.len / sizeof(T); }
    T *data() noexcept { return reinterpret_cast<T *>(b.data); }
    const T *data() const noexcept { return reinterpret_cast<const T *>(b.data); }
    T &operator[](size_t i) noexcept { return data()[i]; }
    const T &operator[](size_t i) const noexcept { return data()[i]; }
    T &back() noexcept { return data()[size() - 1]; }
    bool push(const T &v) noexcept { return wt_buf_put(&b, reinterpret_cast<const char *>(&v), sizeof v); }
    // Drops the records from index n on.
    void truncate(size_t n) noexcept
    {
        if (b.data && n * sizeof(T) < b.len) {
            b.len = n * sizeof(T);
            b.data[b.len] = '\0';
        }
    }
    // Large storage stays with the thread for its next call (see wt_buf_free_scratch).
    void release() noexcept { wt_buf_free_scratch(&b); }
};

constexpr size_t none = SIZE_MAX; // internal linkage: no symbol in any build's objects

enum class tmpl_kind : unsigned char {
    templ,           // {{Name|...}}
    parser_function, // {{#if:...}}, {{lc:...}}, {{DEFAULTSORT:...}}
    variable,        // {{PAGENAME}}: an upper-case magic word without arguments
    argument,        // {{{1|default}}}
};

// One '|' inside a template or a link, and the first '=' after it at the same
// depth (none when absent); offsets into the document.
struct bar_rec {
    size_t bar;
    size_t eq;
};

// A template or template parameter: the bytes [start, end), braces included;
// its bars are bars[first_bar, first_bar + n_bars).
struct tmpl_rec {
    size_t start, end;
    size_t first_bar, n_bars;
    size_t depth; // templates and parameters open around it
    tmpl_kind kind;
    // The name (see template_name) as an offset and a length in the
    // document, set once the scan is done for all but parameters.
    size_t name = 0, name_n = 0;
};

// The templates JSON lists templates nested at most this deep. Each one's
// values hold the ones inside it as written, so without a limit a document of
// n nested templates would give an output of n * n / 2 bytes. The public wikis
// stop expanding at a depth of 40 as well.
constexpr size_t max_template_depth = 40;

// One parameter of a template: its name (for an unnamed one, the decimal
// position among the unnamed ones, written into `number`) and its value as
// written.
struct param_view {
    const char *name;
    size_t name_n;
    const char *value;
    size_t value_n;
    char number[24];
};

struct category_rec {
    size_t name, name_n; // offset and length in the document
    size_t sort, sort_n; // sort == none when there is no sort key
};

// A reference <ref>...</ref> or <ref .../>: its attributes and content as
// offsets into the document, its number, and its clean content (the note's
// text for the renderer) in notes_text.
struct ref_rec {
    size_t name, name_n;   // name == none: no name attribute
    size_t group, group_n; // group == none: the default group
    size_t number;         // 1, 2, ... within its group; reused by a later ref of the same name
    size_t text, text_n;   // clean content in notes_text; text == none: no content (yet)
    size_t uses;           // markers of this note so far (kept by the first ref of a name)
    size_t use;            // this marker's place among them: 1, 2, ...
    size_t group_first;    // the first reference of its group
    size_t clean_at;       // offset of its marker in the clean text; none: inside a note
    bool marker;           // placed in the text (false: defined inside <references>)
    bool first;            // the first reference of its note: the list shows it
};

// A file [[File:Name|options|caption]]: its name (trimmed, without the
// namespace), its options (bars[first_bar, first_bar + n_bars), offsets in
// the document), the frame options read, and its caption's clean text in
// captions (caption == none: no caption).
struct file_rec {
    size_t start, end;
    size_t name, name_n;
    size_t first_bar, n_bars;
    size_t caption, caption_n;
    size_t alt, alt_n; // alt=..., alt == none: absent
    const char *frame; // "thumb", "frame", "frameless", "border" or nullptr
    const char *align; // "left", "right", "center", "none" or nullptr
    bool media;        // Media: (a link to the file itself)
};

// A block that the HTML is cut at: the list of notes, or a tag with a block
// of its own (pre, code, gallery), at an offset of the clean text.
struct block_place {
    size_t at;
    size_t index; // into lists, literals or files
    enum kind_t : unsigned char { list, literal, file, html, toc } kind;
};

// The content of a tag kept out of wiki parsing, and what it is.
enum class literal_kind : unsigned char { nowiki, pre, math, chem, code, gallery };
struct literal_rec {
    size_t start, n; // content, offsets into the document
    literal_kind kind;
    size_t attrs, attrs_n; // the opening tag's attributes (syntaxhighlight lang=...)
};

// A place for the list of notes: <references/> or a reflist template, and the
// group it lists (group == none: the default group).
struct list_rec {
    size_t group, group_n;
    size_t group_first; // the first reference of its group before it, or none
};

// Extra localised namespace names, each a '|'-separated list or null; the
// English names always count.
struct names {
    const char *file = nullptr;     // besides "File" and "Image"
    const char *media = nullptr;    // besides "Media"
    const char *category = nullptr; // besides "Category"
};

// HTML that the host gave for a template: n bytes at `at` in extraction::html.
struct html_rec {
    size_t at, n;
};

// What the pass finds. The offsets refer to the document given to wt_extract.
struct extraction {
    const char *doc = nullptr;
    size_t n = 0;
    pod_array<tmpl_rec> templates; // document order, nested ones too
    pod_array<bar_rec> bars;
    pod_array<category_rec> categories; // those outside templates, in document order
    pod_array<ref_rec> refs;            // in document order
    pod_array<literal_rec> literals;
    pod_array<list_rec> lists;
    pod_array<block_place> places; // in the order of the clean text
    pod_array<file_rec> files;
    wt_buf captions{}; // the clean text of every file's caption, one after another
    wt_buf clean{};      // the text for the renderer (when asked for)
    wt_buf notes_text{}; // the clean content of every reference, one after another
    size_t redirect = none, redirect_n = 0; // the redirect target, trimmed
    pod_array<html_rec> htmls; // HTML of templates from the host's callback
    wt_buf html{};
};

// Runs the pass over n bytes at doc (no NUL among them). With `clean_text`
// also writes extraction::clean and the notes, and asks `hook` (when given,
// with its template_html set) for the HTML of the templates in them, and
// marks where the first __TOC__ stands when its toc_html is set. Returns
// 1, or 0 when memory ran out. Release the result with wt_extraction_free in
// either case.
int wt_extract(const char *doc, size_t n, const names &ns, bool clean_text, extraction *out,
               const wt_config *hook = nullptr) noexcept;
// The namespace names that the options give.
inline names names_of(const wt_config &cfg) noexcept
{
    names ns;
    ns.file = cfg.file_namespaces;
    ns.media = cfg.media_namespaces;
    ns.category = cfg.category_namespaces;
    return ns;
}
void wt_extraction_free(extraction *x) noexcept;

// The trimmed name of a template, without a subst: or safesubst: prefix.
void template_name(const extraction &x, const tmpl_rec &t, const char **name, size_t *n) noexcept;
// The i-th parameter of a template (i < t.n_bars); `unnamed` counts the
// unnamed parameters before it and is advanced past this one.
param_view template_param(const extraction &x, const tmpl_rec &t, size_t i, size_t *unnamed) noexcept;

// The JSON formats: [{"name":..,"params":[{"name":..,"value":..}]}] and
// [{"name":..,"sort":..}].
void wt_templates_json(const extraction &x, wt_buf *out) noexcept;
void wt_categories_json(const extraction &x, wt_buf *out) noexcept;

// Decodes the character reference at p (a '&', before end): a named one of
// HTML5 or a numeric one (an invalid code point as U+FFFD). Writes its UTF-8
// bytes (at most 8) to out and their count to *out_n, and returns the
// reference's length; 0 when none is there.
size_t decode_entity(const char *p, const char *end, char *out, size_t *out_n) noexcept;

// The references the renderer writes for text's own '<', '>', '&' and '"'
// at p (a '&', before end): the length of the one there, with its byte in
// *c; 0 for any other. In line, for the readers of the renderer's HTML.
inline size_t decode_own_entity(const char *p, const char *end, char *c) noexcept
{
    const size_t left = size_t(end - p);
    if (left >= 4 && (p[1] == 'l' || p[1] == 'g') && p[2] == 't' && p[3] == ';') {
        *c = p[1] == 'l' ? '<' : '>';
        return 4;
    }
    if (left >= 5 && std::memcmp(p, "&amp;", 5) == 0) {
        *c = '&';
        return 5;
    }
    if (left >= 6 && std::memcmp(p, "&quot;", 6) == 0) {
        *c = '"';
        return 6;
    }
    return 0;
}

// Appends the plain text of an HTML fragment that the renderer wrote.
void html_to_text(const char *html, size_t n, wt_buf *out) noexcept;

} // namespace ext
WT_ISA_END
} // namespace wt

// The HTML side, compiled with each build of the parser (see wt_isa.h).
namespace wt {
WT_ISA_BEGIN

// At a placeholder p ("<\0" kind index ">", before end) of the clean text
// that cfg.ext describes: writes what it stands for and returns the position
// after it. Inside a link's label (in_link) a marker carries no link.
const char *write_placeholder(const char *p, const char *end, const wt_config &cfg, bool in_link,
                              wt_buf *out) noexcept;

// HTML of a document under the extended syntax: the pass, then the clean text
// through the renderer, cut at the tables and at the blocks the pass placed.
// Returns 1, or 0 when memory ran out.
int render_extended_html(wt_source doc, const wt_config &cfg, wt_buf *out) noexcept;
// The same from an extraction made with the clean text.
int render_extraction_html(const ext::extraction &x, const wt_config &cfg, wt_buf *out) noexcept;

// Plain text: the HTML that the options give (extended or not), read as text.
int render_text(wt_source src, const wt_config &cfg, wt_buf *out) noexcept;

// The formats of the extended syntax (text, templates, categories and page
// JSON), and the link and heading lists under WTCORE_EXTENDED: appended to
// out. Returns 1, or 0 when memory ran out.
int render_extended(wt_source doc, int format, const wt_config &cfg, wt_buf *out) noexcept;

WT_ISA_END
} // namespace wt

#endif
