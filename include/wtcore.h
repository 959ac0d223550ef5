/* tarnwick-wikitext-core: wikitext to HTML, plus the link and heading outline
   of a document as JSON. Plain C interface; usable from C and C++.

   Two families of functions:
   - wtcore_to_html, wtcore_extract_links_json, wtcore_extract_headings_json
     return a string that the library owns, in a buffer of its own per
     function. The string stays valid until the next call of the same
     function. These functions share static state: make one call at a time.
   - The _r variants return a new string that the caller owns and releases
     with wtcore_free. They share no state and may run in any number of
     threads at once.

   Input is a NUL-terminated byte string, read up to its first NUL. Bytes are
   never decoded: UTF-8 passes through unchanged. */
#ifndef WTCORE_H
#define WTCORE_H

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

/* Releases a string returned by a _r function. NULL is ignored. */
WTCORE_API void wtcore_free(char *result) WTCORE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* WTCORE_H */
