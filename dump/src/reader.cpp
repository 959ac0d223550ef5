// The page reader: decoded XML bytes go to expat's push parser in fixed-size
// chunks; the handlers fill one page, and the parser is suspended at each
// </page> so that next() hands out exactly one page without queueing any.
// Debian's expat is built with DTD support, the build that expands internal
// entities and so has the expansion limits; the define makes them visible.
#ifndef XML_DTD
#define XML_DTD
#endif
#include <expat.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "decoder.h"
#include "utf8.h"

namespace tarnwick::dump {

namespace {

constexpr std::size_t xml_chunk_size = std::size_t{256} << 10;

// Where the handlers are in the document; depth 1 is the root element.
enum class field {
    none, sitename, dbname, base, generator, case_rule, namespace_name,
    title, ns, page_id, revision_id, timestamp, model, format, text
};

// Reads the value of attribute `name` from expat's name/value list, or null.
const XML_Char *attribute(const XML_Char **atts, const char *name)
{
    for (; atts[0]; atts += 2)
        if (std::strcmp(atts[0], name) == 0) return atts[1];
    return nullptr;
}

// Parses an integer element's text (surrounding white space allowed).
bool parse_int(std::string_view s, std::int64_t &out)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\n' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

} // namespace

struct reader::impl {
    impl(std::unique_ptr<detail::byte_source> src, std::uint64_t base, bool continuation, bool cut,
         std::uint64_t xml_start, const reader_options &opt)
        : dec(std::move(src), base), options(opt), xml_base(xml_start), wrap_end(cut)
    {
        parser = XML_ParserCreate(continuation ? "UTF-8" : nullptr);
        if (!parser) throw error("out of memory", -1, 0);
        XML_SetUserData(parser, this);
        XML_SetElementHandler(parser, on_start, on_end);
        XML_SetCharacterDataHandler(parser, on_text);
        // Entity expansion is bounded (the default factor, stated here so
        // that it cannot be lost); external entities are never loaded.
        XML_SetBillionLaughsAttackProtectionMaximumAmplification(parser, 100.0f);
        XML_SetBillionLaughsAttackProtectionActivationThreshold(parser, std::uint64_t{8} << 20);
        XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);
        // A range after the first continues the document: its pages are
        // parsed inside a stand-in root element, closed at the range's end
        // unless the range ends the file (whose own end tag closes it).
        if (continuation) prefix = "<mediawiki>";
    }
    ~impl() { XML_ParserFree(parser); }

    static void XMLCALL on_start(void *data, const XML_Char *name, const XML_Char **atts);
    static void XMLCALL on_end(void *data, const XML_Char *name);
    static void XMLCALL on_text(void *data, const XML_Char *s, int len);

    [[gnu::noinline]] void take_text(const char *s, std::size_t n);
    bool next(page &out);
    void feed_more();
    [[noreturn]] void fail_parse();
    [[noreturn]] void fail_here(const std::string &what);
    void after_parse(int status);
    // Appends the pending run of text. The run's limit kept it within the
    // text's bound.
    void flush_text()
    {
        if (!text_run.end) return;
        cur.text.append(text_run.begin, static_cast<std::size_t>(text_run.end - text_run.begin));
        text_run = {};
    }
    void stop(std::string what)
    {
        if (stop_reason.empty()) stop_reason = std::move(what);
        XML_StopParser(parser, XML_FALSE);
    }
    std::uint64_t tag_offset() const
    {
        std::uint64_t at = static_cast<std::uint64_t>(XML_GetCurrentByteIndex(parser));
        return at >= prefix_len ? at - prefix_len : 0;
    }
    std::string where() const;

    detail::decoder dec;
    // Declared after dec, so that its thread stops before dec goes away.
    std::unique_ptr<detail::background_decoder> background;
    std::uint64_t consumed = 0;  // input bytes behind the XML handed out
    reader_options options;
    std::uint64_t xml_base;  // file offset of XML byte 0 (plain ranges), else 0
    bool wrap_end;
    XML_Parser parser = nullptr;
    char carry_bytes[4] = {};
    std::size_t carry = 0;   // bytes of an unfinished UTF-8 sequence, kept for the next chunk
    std::string repaired;
    std::string prefix;
    std::uint64_t prefix_len = 0;
    bool started = false, finished = false, suspended = false, repair = false;
    std::uint64_t xml_fed = 0;
    std::uint64_t repairs = 0, first_repair = 0;
    std::uint64_t chunk_stream = 0, prev_stream = 0, chunk_xml_begin = 0;

    site_info site;
    int depth = 0;
    bool in_siteinfo = false, in_page = false, in_revision = false, have_page = false;
    bool page_has_text = false;
    field capture = field::none;
    std::string value;       // the text of the element being captured (not <text>)
    // The text of <text> arrives in many calls, a line and then its newline
    // and so on. Calls whose bytes lie next to each other in the chunk being
    // parsed (which stays in place until the parser returns) are gathered
    // into one run and appended at once.
    struct span {
        const char *begin = nullptr, *end = nullptr;
        // Whether the n bytes at s lie inside (addresses compared as numbers:
        // s may point anywhere).
        bool holds(const char *s, std::size_t n) const
        {
            auto a = reinterpret_cast<std::uintptr_t>(s);
            return a >= reinterpret_cast<std::uintptr_t>(begin) && a + n <= reinterpret_cast<std::uintptr_t>(end);
        }
    };
    span text_chunk;         // the chunk being parsed, when it is the parser's buffer
    span text_run;           // bytes of text_chunk not yet appended to cur.text
    const char *run_limit = nullptr;  // where text_run must stop growing
    std::int64_t ns_key = 0;
    page cur;
    std::int64_t last_id = -1;
    std::string stop_reason;
};

void XMLCALL reader::impl::on_start(void *data, const XML_Char *name, const XML_Char **atts)
{
    auto &r = *static_cast<impl *>(data);
    r.flush_text();
    int d = ++r.depth;
    std::string_view n(name);
    r.capture = field::none;
    if (d == 2) {
        if (n == "siteinfo") r.in_siteinfo = true;
        else if (n == "page") {
            r.in_page = true;
            page &p = r.cur;
            p.id = 0; p.ns = 0; p.title.clear(); p.is_redirect = false; p.redirect.clear();
            p.revision_id = 0; p.timestamp.clear(); p.model.clear(); p.format.clear();
            p.text.clear(); p.text_deleted = false; p.revisions = 0;
            r.page_has_text = false;
            p.xml_offset = r.tag_offset();
            p.stream_offset = p.xml_offset >= r.chunk_xml_begin ? r.chunk_stream : r.prev_stream;
            if (r.dec.kind() == compression::none) p.stream_offset = r.xml_base + p.xml_offset;
        }
        return;
    }
    if (r.in_siteinfo) {
        if (d == 3) {
            if (n == "sitename") r.capture = field::sitename;
            else if (n == "dbname") r.capture = field::dbname;
            else if (n == "base") r.capture = field::base;
            else if (n == "generator") r.capture = field::generator;
            else if (n == "case") r.capture = field::case_rule;
        } else if (d == 4 && n == "namespace") {
            r.capture = field::namespace_name;
            const XML_Char *key = attribute(atts, "key");
            if (!key || !parse_int(key, r.ns_key)) r.stop("<namespace> without a numeric key");
        }
        r.value.clear();
        return;
    }
    if (!r.in_page) return;
    if (d == 3) {
        if (n == "title") r.capture = field::title;
        else if (n == "ns") r.capture = field::ns;
        else if (n == "id") r.capture = field::page_id;
        else if (n == "redirect") {
            r.cur.is_redirect = true;
            const XML_Char *t = attribute(atts, "title");
            r.cur.redirect = t ? t : "";
        } else if (n == "revision") {
            r.in_revision = true;
            page &p = r.cur;
            ++p.revisions;
            p.revision_id = 0; p.timestamp.clear(); p.model.clear(); p.format.clear();
            p.text.clear(); p.text_deleted = false;
            r.page_has_text = false;
        }
    } else if (d == 4 && r.in_revision) {
        if (n == "id") r.capture = field::revision_id;
        else if (n == "timestamp") r.capture = field::timestamp;
        else if (n == "model") r.capture = field::model;
        else if (n == "format") r.capture = field::format;
        else if (n == "text") {
            r.page_has_text = true;
            const XML_Char *del = attribute(atts, "deleted");
            r.cur.text_deleted = del != nullptr;
            r.capture = field::text;
        }
    }
    r.value.clear();
}

void XMLCALL reader::impl::on_text(void *data, const XML_Char *s, int len)
{
    auto &r = *static_cast<impl *>(data);
    std::size_t n = static_cast<std::size_t>(len);
    span &run = r.text_run;
    if (run.end) {
        // The usual call: the next bytes of the chunk, or a newline that the
        // chunk holds as it is (a CR LF pair, reported as LF, ends the run),
        // within the run's limit. Addresses compared as numbers: s may point
        // anywhere.
        auto at = reinterpret_cast<std::uintptr_t>(s);
        auto end = reinterpret_cast<std::uintptr_t>(run.end);
        if (at == end ? n <= static_cast<std::size_t>(r.run_limit - run.end)
                      : n == 1 && *s == '\n' && run.end < r.run_limit && *run.end == '\n') {
            run.end += n;
            return;
        }
    } else if (r.capture == field::none) {
        return;
    }
    r.take_text(s, n);
}

// The rest of on_text, out of line so that the usual call stays short: ends
// the pending run, then starts a new one or appends the bytes.
void reader::impl::take_text(const char *s, std::size_t n)
{
    flush_text();
    if (capture == field::text) {
        if (n > options.max_text_size - cur.text.size()) {
            capture = field::none;
            stop("text longer than " + std::to_string(options.max_text_size) + " bytes; refused");
            return;
        }
        // Only bytes of the chunk can start a run: others (an entity's
        // character, a newline, converted UTF-16) live in a buffer of the
        // parser's that the next call reuses. A run ends at the chunk's end,
        // and where the text would grow past its bound.
        if (text_chunk.holds(s, n)) {
            text_run = {s, s + n};
            std::size_t room = options.max_text_size - cur.text.size();
            run_limit = static_cast<std::size_t>(text_chunk.end - s) > room ? s + room : text_chunk.end;
        } else if (n == 1) {
            cur.text.push_back(*s);  // a reference to an ASCII character, most often
        } else {
            cur.text.append(s, n);
        }
    } else if (capture == field::none) {
        return;
    } else if (value.size() + n <= options.max_text_size) {
        value.append(s, n);
    } else {
        capture = field::none;
        stop("an element longer than " + std::to_string(options.max_text_size) + " bytes; refused");
    }
}


void XMLCALL reader::impl::on_end(void *data, const XML_Char *name)
{
    auto &r = *static_cast<impl *>(data);
    r.flush_text();
    int d = r.depth--;
    field f = std::exchange(r.capture, field::none);
    page &p = r.cur;
    switch (f) {
    case field::sitename: r.site.sitename = r.value; break;
    case field::dbname: r.site.dbname = r.value; break;
    case field::base: r.site.base = r.value; break;
    case field::generator: r.site.generator = r.value; break;
    case field::case_rule: r.site.case_rule = r.value; break;
    case field::namespace_name: r.site.namespaces.push_back({r.ns_key, r.value}); break;
    case field::title: p.title = r.value; break;
    case field::ns:
        if (!parse_int(r.value, p.ns)) r.stop("<ns> is not a number");
        break;
    case field::page_id:
        if (!parse_int(r.value, p.id)) r.stop("<id> is not a number");
        else r.last_id = p.id;
        break;
    case field::revision_id:
        if (!parse_int(r.value, p.revision_id)) r.stop("revision <id> is not a number");
        break;
    case field::timestamp: p.timestamp = r.value; break;
    case field::model: p.model = r.value; break;
    case field::format: p.format = r.value; break;
    case field::text:
    case field::none: break;
    }
    if (d == 3 && r.in_page && std::strcmp(name, "revision") == 0) r.in_revision = false;
    if (d != 2) return;
    if (r.in_siteinfo) {
        r.in_siteinfo = false;
    } else if (r.in_page) {
        // A page without text is an error of this page: in_page stays set
        // so that the message names it.
        if (p.revisions == 0) r.stop("no <revision>");
        else if (!r.page_has_text) r.stop("no <text> in its last revision");
        else {
            r.in_page = false;
            r.have_page = true;
            XML_StopParser(r.parser, XML_TRUE);
        }
    }
}

std::string reader::impl::where() const
{
    std::string s;
    if (in_page && cur.id != 0) s = "page " + std::to_string(cur.id) + ", ";
    else if (last_id >= 0) s = "after page " + std::to_string(last_id) + ", ";
    s += "XML byte " + std::to_string(xml_base + tag_offset());
    if (dec.kind() != compression::none)
        s += std::string(" of the ") + (dec.kind() == compression::bzip2 ? "bzip2" : "gzip") +
             " data from byte " + std::to_string(chunk_stream);
    return s;
}

void reader::impl::fail_here(const std::string &what)
{
    std::int64_t id = in_page && cur.id != 0 ? cur.id : -1;
    throw error(where() + ": " + what, id, dec.kind() == compression::none ? xml_base + tag_offset() : chunk_stream);
}

void reader::impl::fail_parse()
{
    if (!stop_reason.empty()) fail_here(stop_reason);
    std::string what = XML_ErrorString(XML_GetErrorCode(parser));
    what += " (line " + std::to_string(XML_GetCurrentLineNumber(parser)) + ", column " +
            std::to_string(XML_GetCurrentColumnNumber(parser)) + ")";
    fail_here(what);
}

// Reads one chunk of XML and hands it to the parser; at the input's end,
// hands over the closing bytes and the final flag. The chunk is decoded
// straight into the parser's own buffer, which XML_Parse would copy it to.
void reader::impl::feed_more()
{
    if (!started) {
        started = true;
        if (!prefix.empty()) {
            prefix_len = prefix.size();
            if (XML_Parse(parser, prefix.data(), static_cast<int>(prefix.size()), XML_FALSE) != XML_STATUS_OK)
                fail_parse();
        }
    }
    char *buf = static_cast<char *>(XML_GetBuffer(parser, static_cast<int>(xml_chunk_size + carry)));
    if (!buf) fail_parse();
    std::memcpy(buf, carry_bytes, carry);
    std::size_t n;
    try {
        if (options.background_decompression && dec.kind() != compression::none && !background)
            background = std::make_unique<detail::background_decoder>(dec);
        n = background ? background->read(buf + carry, xml_chunk_size) : dec.read(buf + carry, xml_chunk_size);
        consumed = background ? background->consumed() : dec.consumed();
    } catch (const error &e) {
        std::int64_t id = in_page && cur.id != 0 ? cur.id : -1;
        std::string ctx = id >= 0 ? "page " + std::to_string(id) + ": "
                        : last_id >= 0 ? "after page " + std::to_string(last_id) + ": " : "";
        throw error(ctx + e.what(), id, e.offset());
    }
    if (xml_fed == 0 && n > 0 && carry == 0) {
        // UTF-8 repair applies to UTF-8 documents only: not to UTF-16 (a BOM
        // or a NUL among the first bytes) nor to a declared other encoding.
        const unsigned char *u = reinterpret_cast<const unsigned char *>(buf);
        bool utf16 = n >= 2 && (u[0] == 0xFE || u[0] == 0xFF || u[0] == 0 || u[1] == 0);
        std::string enc = detail::declared_encoding(buf, n);
        repair = options.repair_utf8 && !utf16 && (enc.empty() || enc == "utf-8" || enc == "utf8");
    }
    prev_stream = chunk_stream;
    chunk_stream = background ? background->stream_offset() : dec.stream_offset();
    chunk_xml_begin = xml_fed;
    bool last = n == 0;
    std::size_t len = carry + n;
    // A UTF-8 sequence cut at the chunk's end waits for the rest of it.
    std::size_t keep = repair && !last ? detail::utf8_incomplete_tail(buf, len) : 0;
    std::size_t body = len - keep;
    std::memcpy(carry_bytes, buf + body, keep);
    carry = keep;
    std::size_t bad = repair ? detail::utf8_repair(buf, body, repaired) : 0;
    int status;
    if (bad) {
        if (repairs == 0) first_repair = xml_base + xml_fed + detail::utf8_first_invalid(buf, body);
        repairs += bad;
        // The repaired chunk is longer: it replaces what the buffer holds.
        text_chunk = {};
        status = XML_Parse(parser, repaired.data(), static_cast<int>(repaired.size()), XML_FALSE);
    } else {
        text_chunk = {buf, buf + body};
        status = XML_ParseBuffer(parser, static_cast<int>(body), XML_FALSE);
    }
    xml_fed += body;
    after_parse(status);
    if (last && !suspended) {
        static constexpr char close_root[] = "</mediawiki>";
        const char *tail = wrap_end ? close_root : "";
        text_chunk = {};
        after_parse(XML_Parse(parser, tail, static_cast<int>(std::strlen(tail)), XML_TRUE));
        finished = true;
    }
}

// Ends a call of the parser: appends the text it left pending (its chunk may
// move before the next call), throws on an error, notes a suspension.
void reader::impl::after_parse(int status)
{
    flush_text();
    if (status == XML_STATUS_ERROR) fail_parse();
    suspended = status == XML_STATUS_SUSPENDED;
}

bool reader::impl::next(page &out)
{
    for (;;) {
        if (have_page) {
            have_page = false;
            std::swap(out, cur);
            return true;
        }
        if (suspended) {
            after_parse(XML_ResumeParser(parser));
            continue;
        }
        if (finished) {
            if (in_page) fail_here("the document ends inside a page");
            return false;
        }
        feed_more();
    }
}

reader::reader(std::unique_ptr<impl> p) : impl_(std::move(p)) {}
reader::reader(reader &&) noexcept = default;
reader &reader::operator=(reader &&) noexcept = default;
reader::~reader() = default;

reader reader::open(const std::string &path, const reader_options &options)
{
    return reader(std::make_unique<impl>(detail::open_file(path), 0, false, false, 0, options));
}

reader reader::from_fd(int fd, bool take, const reader_options &options)
{
    return reader(std::make_unique<impl>(detail::open_fd(fd, take), 0, false, false, 0, options));
}

reader reader::from_callback(read_function read, const reader_options &options)
{
    return reader(std::make_unique<impl>(detail::open_callback(std::move(read)), 0, false, false, 0, options));
}

reader reader::open_range(const std::string &path, byte_range range, const reader_options &options)
{
    auto src = detail::open_file_range(path, range);
    std::uint64_t file_size = 0;
    {
        auto whole = detail::open_file(path);
        file_size = whole->size();
    }
    if (range.end > file_size || range.begin > range.end)
        throw error(path + ": range " + std::to_string(range.begin) + "-" + std::to_string(range.end) +
                        " lies outside the file",
                    -1, range.begin);
    bool continuation = range.begin > 0;
    bool cut = range.end < file_size;
    auto p = std::make_unique<impl>(std::move(src), range.begin, continuation, cut, 0, options);
    if (p->dec.kind() == compression::none) p->xml_base = range.begin;
    return reader(std::move(p));
}

bool reader::next(page &out) { return impl_->next(out); }
const site_info &reader::site() const noexcept { return impl_->site; }
compression reader::input_compression() const noexcept { return impl_->dec.kind(); }
std::uint64_t reader::input_bytes() const noexcept { return impl_->consumed; }
std::uint64_t reader::input_size() const noexcept { return impl_->dec.source_size(); }
std::uint64_t reader::xml_bytes() const noexcept { return impl_->xml_fed; }
std::uint64_t reader::utf8_repairs() const noexcept { return impl_->repairs; }
std::uint64_t reader::first_repair_offset() const noexcept { return impl_->first_repair; }

} // namespace tarnwick::dump
