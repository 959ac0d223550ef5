/* tarnwick-wikitext-core: wikitext to HTML, plus the link and heading outline
   of a document as JSON. Plain C interface; usable from C and C++.

   Three families of functions:
   - wtcore_render takes a pointer and a length, a format and options, and
     returns a new string that the caller owns and releases with wtcore_free.
     It shares no state and may run in any number of threads at once. This is
     the call for new code and for language bindings. Under WTCORE_EXTENDED a
     thread keeps the large scratch blocks (256 KiB or more, at most 64 MiB)
     of its last renders for its next one, and frees them when it ends.
   - wtcore_to_html, wtcore_extract_links_json, wtcore_extract_headings_json
     return a string that the library owns, in a buffer of its own per
     function. The string stays valid until the next call of the same
     function. These functions share static state: make one call at a time.
   - The _r variants of those three return a new string that the caller owns
     and releases with wtcore_free, and share no state.

   The functions of the last two families take a NUL-terminated byte string
   and read it up to its first NUL. Bytes are never decoded: UTF-8 passes
   through unchanged. */
#ifndef WTCORE_H
#define WTCORE_H

#include <stddef.h>

#ifndef WTCORE_BUILDING
#  define WTCORE_API
#elif defined(_WIN32)
#  define WTCORE_API __declspec(dllexport)
#else
#  define WTCORE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#  define WTCORE_NOEXCEPT noexcept
extern "C" {
#else
#  define WTCORE_NOEXCEPT
#endif

/* Returns the library version, "1.0.0". A constant: always the same pointer. */
WTCORE_API const char *wtcore_version(void) WTCORE_NOEXCEPT;

/* Returns the message of the last failed conversion call, or "" when the last
   conversion call succeeded. Never NULL; owned by the library and valid until
   the next conversion call. */
WTCORE_API const char *wtcore_last_error(void) WTCORE_NOEXCEPT;

/* Renders a document as an HTML fragment. Never NULL: a NULL document gives "",
   and so does a failure (memory exhausted), which also sets wtcore_last_error.
   The library owns the string until the next wtcore_to_html call. `reserved`
   is ignored; pass NULL. */
WTCORE_API const char *wtcore_to_html(const char *document, void *reserved) WTCORE_NOEXCEPT;

/* Lists the document's internal links as a JSON array of
   {"target":...,"text":...} objects. Never NULL: a NULL document or a failure
   gives "[]" (a failure also sets wtcore_last_error). The library owns the
   string until the next wtcore_extract_links_json call. */
WTCORE_API const char *wtcore_extract_links_json(const char *document) WTCORE_NOEXCEPT;

/* Lists the document's headings as a JSON array of
   {"level":...,"text":...,"anchor":...} objects; each anchor equals the id
   that wtcore_to_html writes. Never NULL: a NULL document or a failure gives
   "[]". The library owns the string until the next
   wtcore_extract_headings_json call. */
WTCORE_API const char *wtcore_extract_headings_json(const char *document) WTCORE_NOEXCEPT;

/* Reentrant forms. Each returns a newly allocated NUL-terminated string that
   the caller owns and must release with wtcore_free; NULL only when memory
   runs out. A NULL document gives "" (HTML) or "[]" (JSON). The result is
   byte for byte that of the function without _r. They share no state and
   leave wtcore_last_error alone. */
WTCORE_API char *wtcore_to_html_r(const char *document) WTCORE_NOEXCEPT;
WTCORE_API char *wtcore_extract_links_json_r(const char *document) WTCORE_NOEXCEPT;
WTCORE_API char *wtcore_extract_headings_json_r(const char *document) WTCORE_NOEXCEPT;

/* Releases a string returned by a _r function or by wtcore_render. NULL is
   ignored. */
WTCORE_API void wtcore_free(char *result) WTCORE_NOEXCEPT;

/* ---- The configurable call -------------------------------------------- */

/* Formats of wtcore_render. */
#define WTCORE_FORMAT_HTML 0          /* the HTML fragment */
#define WTCORE_FORMAT_LINKS_JSON 1    /* [{"target":...,"text":...},...] */
#define WTCORE_FORMAT_HEADINGS_JSON 2 /* [{"level":...,"text":...,"anchor":...},...] */
/* The formats below come with the extended syntax (WTCORE_EXTENDED). */
#define WTCORE_FORMAT_TEXT 3            /* the page as plain UTF-8 text */
#define WTCORE_FORMAT_TEMPLATES_JSON 4  /* [{"name":...,"params":[{"name":...,"value":...}]},...] */
#define WTCORE_FORMAT_CATEGORIES_JSON 5 /* [{"name":...,"sort":... or null},...] */
#define WTCORE_FORMAT_PAGE_JSON 6       /* {"links":...,"headings":...,"categories":...,
                                           "templates":...,"external_links":...,"redirect":...} */

/* Option bits of wtcore_options.flags. */
/* Internal-link targets are percent-encoded as URL paths (spaces still become
   '_'); a target with a "." or ".." path segment is not a link but text. */
#define WTCORE_ENCODE_TARGETS 0x1u
/* Well-formed output: every element closes within the block that opened it,
   in the order opened; stray closing tags are dropped; no link inside a link. */
#define WTCORE_BALANCE_TAGS 0x2u
/* <span> keeps only class, title, lang, dir and a style that cannot load
   anything or cover the page. */
#define WTCORE_SAFE_ATTRIBUTES 0x4u
/* The syntax of the large public wikis beyond the core language: templates,
   references, tables, files, categories, more tags. */
#define WTCORE_EXTENDED 0x8u

/* Statuses of wtcore_render. */
#define WTCORE_OK 0
#define WTCORE_ERROR_MEMORY 1   /* memory ran out */
#define WTCORE_ERROR_OPTIONS 2  /* unknown flag bits or format, size too small,
                                   a link template without "$1" */
#define WTCORE_ERROR_ARGUMENT 3 /* a NULL result pointer, or a NULL document
                                   with a non-zero length */
#define WTCORE_STOPPED 4        /* a wtcore_visit callback asked to stop */

/* One parameter of a template, as the templates format lists it: its name,
   trimmed (for an unnamed one its position among them: "1", "2", ...), and
   its value as written. Neither string is NUL-terminated. */
typedef struct wtcore_template_param {
    const char *name;
    size_t name_length;
    const char *value;
    size_t value_length;
} wtcore_template_param;

/* Appends `length` bytes at `bytes` to the HTML that a template callback
   gives (a NUL among them is written as U+FFFD). Returns 0, or non-zero when
   memory ran out; the render call then fails with WTCORE_ERROR_MEMORY. */
typedef int (*wtcore_write_fn)(void *output, const char *bytes, size_t length);

/* Options of one wtcore_render call. Initialise with wtcore_options_init,
   then set the fields you need; the library reads `size` bytes of it, so a
   caller built against an older header keeps working when fields are added. */
typedef struct wtcore_options {
    size_t size;               /* sizeof(wtcore_options); set by wtcore_options_init */
    unsigned flags;            /* WTCORE_* option bits */
    const char *link_template; /* internal-link address; "$1" stands for the
                                  target; NULL: "/wiki/$1" */
    const char *external_rel;  /* rel of external links; NULL: "nofollow" */
    /* Red links: called for each internal link to a page (not for a link to a
       section of this page) with the page part of the target as written,
       trimmed, before any '#'; when it returns 0 the link gets class="new".
       NULL: no check. */
    int (*page_exists)(void *context, const char *target, size_t length);
    void *context;             /* handed to page_exists and template_html */
    /* The extended syntax (WTCORE_EXTENDED). Extra names of the namespaces,
       for a wiki in another language: names separated by '|' ("Datei|Bild"),
       any ASCII letter case. The English names always count: "File" and
       "Image", "Media", "Category". NULL: only those. */
    const char *file_namespaces;
    const char *media_namespaces;
    const char *category_namespaces;
    /* The extended syntax: the address of a file's image, each "$1" standing
       for the file's name (spaces as '_'), e.g.
       "https://upload.example.org/$1". A file then renders as an <img> in its
       <figure>. NULL: a link to the file's page instead. Without "$1" the
       call fails with WTCORE_ERROR_OPTIONS. */
    const char *file_template;
    /* The extended syntax: HTML for a template. Called, in document order,
       for each template, parser function and variable that no other template
       holds (those inside one are part of its parameters' values), with
       `context`, the template's name (trimmed, without subst: or safesubst:)
       and its parameters; strings valid only during the call. It writes
       HTML through write(output, bytes, length), in as many pieces as it
       likes, and returns non-zero to put what it wrote in the template's
       place as given: not read as wikitext, not escaped, not balanced (a
       template alone on its line stands as a block of its own). Returning 0
       leaves the template out, as without a callback, whatever it wrote.
       Called for the HTML and text formats only (the text then reads the
       HTML), never without WTCORE_EXTENDED, and not for the templates that
       list the notes ({{Reflist}}). NULL: templates are left out. */
    int (*template_html)(void *context, const char *name, size_t name_length,
                         const wtcore_template_param *params, size_t param_count,
                         wtcore_write_fn write, void *output);
    /* The extended syntax: HTML written as given where the first __TOC__ of
       the text stands (alone on its line, as a block of its own), for a
       table of contents of the host's. NULL: the switch vanishes, as every
       other one does. */
    const char *toc_html;
    /* further fields only at the end */
} wtcore_options;

/* Sets every field to its default and `size` to sizeof(wtcore_options). */
WTCORE_API void wtcore_options_init(wtcore_options *options) WTCORE_NOEXCEPT;

/* Converts `length` bytes at `document` (no terminator needed) into `format`.
   A NUL among them does not end the document: it is read as U+FFFD (the bytes
   EF BF BD), in every format. `options` NULL means the defaults, with which the
   result equals that of the matching function above for any document without
   a NUL. Returns WTCORE_OK and a new NUL-terminated string in *result (release
   it with wtcore_free; its length goes to *result_length unless that is NULL),
   or a non-zero status with *result set to NULL. Reentrant: no shared state,
   and wtcore_last_error is left alone. */
WTCORE_API int wtcore_render(const char *document, size_t length, int format,
                             const wtcore_options *options, char **result,
                             size_t *result_length) WTCORE_NOEXCEPT;

/* The items of a document one at a time, for callers that build objects of
   their own (language bindings) instead of reading JSON. Each callback gets
   the `context` of wtcore_visit and returns 0 to go on, anything else to stop
   the walk. A NULL callback is not called. Strings are not NUL-terminated and
   stay valid only during the callback; they hold the bytes that the matching
   JSON format holds, unescaped. */
typedef struct wtcore_visitor {
    size_t size; /* sizeof(wtcore_visitor) */
    /* An internal link: its target and its label, as the links format lists them. */
    int (*link)(void *context, const char *target, size_t target_length,
                const char *text, size_t text_length);
    /* A heading: level 1 to 6, its raw text, and its anchor (the id of the
       rendered heading). */
    int (*heading)(void *context, int level, const char *text, size_t text_length,
                   const char *anchor, size_t anchor_length);
    /* further callbacks only at the end */
} wtcore_visitor;

/* Walks the document as wtcore_render reads it (pointer, length, NUL as
   U+FFFD, options): every link in document order when `link` is set, then
   every heading in document order when `heading` is set. Returns WTCORE_OK,
   WTCORE_STOPPED when a callback returned non-zero, or an error status
   (WTCORE_ERROR_OPTIONS also for a visitor whose size is too small). */
WTCORE_API int wtcore_visit(const char *document, size_t length, const wtcore_options *options,
                            const wtcore_visitor *visitor, void *context) WTCORE_NOEXCEPT;

/* A constant message for a status of wtcore_render or wtcore_visit: "ok",
   "out of memory", ...; "unknown status" for any other value. */
WTCORE_API const char *wtcore_status_message(int status) WTCORE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* WTCORE_H */
