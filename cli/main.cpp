// tarnwick-wikitext: converts wikitext files with the library, one document
// at a time or a batch of files on several threads.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include <unistd.h>

#include "dump_command.h"
#include "file_io.h"
#include "options.h"
#include "page.h"
#include "site.h"
#include "wtcore.h"

namespace {

constexpr const char *program = "tarnwick-wikitext";

// Exit statuses.
constexpr int exit_ok = 0;
constexpr int exit_io = 1;
constexpr int exit_usage = 2;

struct free_result {
    void operator()(char *p) const { wtcore_free(p); }
};
using library_string = std::unique_ptr<char, free_result>;

// Serialises the lines written to standard error, and draws the progress line
// of a batch when standard error is a terminal.
class reporter {
public:
    void enable_progress(std::size_t total)
    {
        progress_ = isatty(STDERR_FILENO);
        total_ = total;
        start_ = std::chrono::steady_clock::now();
    }

    // Allocates nothing, so that it can report that memory ran out.
    void error(std::string_view what, std::string_view why)
    {
        std::lock_guard lock(mutex_);
        if (drawn_) std::fputs("\r\033[K", stderr);
        std::fprintf(stderr, "%s: %.*s: %.*s\n", program, static_cast<int>(what.size()), what.data(),
                     static_cast<int>(why.size()), why.data());
        drawn_ = false;
    }

    // Says once that the batch runs on fewer threads than asked for.
    void threads_short(unsigned started, unsigned wanted, const char *why)
    {
        std::lock_guard lock(mutex_);
        if (drawn_) std::fputs("\r\033[K", stderr);
        std::fprintf(stderr, "%s: started %u of %u threads (%s); going on with those\n", program, started, wanted,
                     why);
        drawn_ = false;
    }

    void file_done(std::size_t bytes)
    {
        std::lock_guard lock(mutex_);
        ++done_;
        bytes_ += bytes;
        auto now = std::chrono::steady_clock::now();
        if (progress_ && now - last_draw_ >= std::chrono::milliseconds(100)) {
            draw(now);
            last_draw_ = now;
        }
    }

    // Ends the progress line so that the shell prompt starts on a line of its own.
    void finish()
    {
        std::lock_guard lock(mutex_);
        if (!progress_) return;
        draw(std::chrono::steady_clock::now());
        std::fputc('\n', stderr);
    }

private:
    void draw(std::chrono::steady_clock::time_point now)
    {
        double seconds = std::chrono::duration<double>(now - start_).count();
        double mb = static_cast<double>(bytes_) / 1e6;
        std::fprintf(stderr, "\r\033[K%zu/%zu files, %.1f MB, %.1f MB/s", done_, total_, mb,
                     seconds > 0 ? mb / seconds : 0.0);
        drawn_ = true;
    }

    std::mutex mutex_;
    bool progress_ = false;
    bool drawn_ = false;
    std::size_t total_ = 0;
    std::size_t done_ = 0;
    std::uint64_t bytes_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};

// The system's text for an errno value; unlike strerror, safe in threads.
std::string reason(int err)
{
    return std::generic_category().message(err);
}

int usage_error(const std::string &message)
{
    std::fprintf(stderr, "%s: %s\ntry '%s --help'\n", program, message.c_str(), program);
    return exit_usage;
}

std::string html_escaped(std::string_view s)
{
    std::string out;
    append_html_escaped(out, s);
    return out;
}

// The name a page falls back on for its title: the input's file name.
std::string file_title(const std::string &path)
{
    if (path == "-") return "stdin";
    std::string name = std::filesystem::path(path).filename().string();
    return name.empty() ? path : name;
}

// The library's options as the command line sets them; the strings stay
// owned by opt.
wtcore_options render_options(const options &opt)
{
    wtcore_options w;
    wtcore_options_init(&w);
    w.flags = opt.flags;
    if (opt.has_link_template) w.link_template = opt.link_template.c_str();
    if (opt.has_rel) w.external_rel = opt.rel.c_str();
    return w;
}

// Asks the library whether it takes these options, before any file is read
// or written. Returns 0, or the usage error's exit status after reporting it.
int check_library_options(const options &opt, const wtcore_options &w)
{
    char *result = nullptr;
    int status = wtcore_render("", 0, opt.format->code, &w, &result, nullptr);
    wtcore_free(result);
    if (status == WTCORE_OK) return 0;
    if (status == WTCORE_ERROR_MEMORY) throw std::bad_alloc();
    return usage_error(std::string("the library does not take these options: ") + wtcore_status_message(status));
}

// The result of one document, written as head, contents, main, library
// result, tail (all but the library result empty unless a standalone page).
struct converted {
    std::string head;
    std::string toc;
    std::string_view main;
    library_string body;
    std::size_t body_len = 0;
    std::string_view tail;
    std::size_t toc_at = std::string_view::npos; // the marker of __TOC__ in the body
    bool toc_in_body = false;                     // the contents go there, not before the body
};

// What the library writes where __TOC__ stands, for the tool to find: no
// document's text can give a comment. Within a line of text it is left out
// and the contents go before the text, as without __TOC__.
constexpr std::string_view toc_marker = "<!--tarnwick-toc-->\n";

// Converts one document as the options ask, and empties doc once it is read,
// so that a standalone page's parts are made without it; reentrant, so that
// batch threads can run it at once. A standalone page is titled title_html when it is not
// null, else by its first heading, else fallback_html. Returns the library's
// status; throws std::bad_alloc when memory runs out here.
int convert(const options &opt, const wtcore_options &w, input_text &doc, const std::string *title_html,
            const std::string &fallback_html, converted &out)
{
    char *result = nullptr;
    wtcore_options with_toc = w;
    if (opt.standalone && opt.toc && (w.flags & WTCORE_EXTENDED)) with_toc.toc_html = toc_marker.data();
    int status = wtcore_render(doc.data(), doc.size(), opt.format->code, &with_toc, &result, &out.body_len);
    doc = input_text();
    if (status != WTCORE_OK) return status;
    out.body.reset(result);
    if (!opt.standalone) return WTCORE_OK;

    std::string_view html(result, out.body_len);
    std::string first_text;
    bool has_first = false;
    if (opt.toc) {
        out.toc = toc_html(html, title_html ? nullptr : &first_text);
        has_first = !first_text.empty();
        out.toc_at = html.find(toc_marker);
        out.toc_in_body = out.toc_at != std::string_view::npos && (out.toc_at == 0 || html[out.toc_at - 1] == '\n');
    } else if (!title_html) {
        has_first = first_heading_text(html, first_text);
    }
    out.head = page_head(title_html ? *title_html : has_first ? first_text : fallback_html);
    out.main = page_main_open();
    out.tail = page_tail(out.body_len == 0 || html.back() == '\n');
    return WTCORE_OK;
}

// The message for a failed conversion.
std::string_view status_text(int status)
{
    return status == WTCORE_ERROR_MEMORY ? "out of memory" : wtcore_status_message(status);
}

// Writes the parts of a result to path (standard output for an empty path).
// Returns false after reporting a failure.
bool write_result(std::initializer_list<std::string_view> parts, const std::string &path, reporter &rep)
{
    output_file out;
    if (int err = out.open(path)) {
        rep.error(path, reason(err));
        return false;
    }
    for (std::string_view part : parts) out.write(part.data(), part.size());
    if (int err = out.commit()) {
        rep.error(out.name(), reason(err));
        return false;
    }
    return true;
}

bool write_result(const converted &c, const std::string &path, reporter &rep)
{
    std::string_view body(c.body.get(), c.body_len);
    if (c.toc_at == std::string_view::npos) return write_result({c.head, c.toc, c.main, body, c.tail}, path, rep);
    std::string_view before = body.substr(0, c.toc_at), after = body.substr(c.toc_at + toc_marker.size());
    if (c.toc_in_body) return write_result({c.head, c.main, before, c.toc, after, c.tail}, path, rep);
    return write_result({c.head, c.toc, c.main, before, after, c.tail}, path, rep);
}

// Refuses an output that is one of the inputs, before anything is read or
// written. Returns 0, or the usage error's exit status after reporting it.
int check_outputs(const std::vector<std::string> &inputs, const std::vector<std::string> &outputs)
{
    std::vector<std::pair<file_identity, const std::string *>> ids;
    for (const std::string &in : inputs) {
        file_identity id;
        if (identify_file(in, id)) ids.emplace_back(id, &in);
    }
    for (const std::string &out : outputs) {
        file_identity id;
        if (out == "-" || !identify_file(out, id)) continue;   // "-" is standard output
        for (const auto &[in_id, in] : ids)
            if (in_id == id)
                return usage_error("the output " + out + " is the input " + input_display_name(*in) +
                                   "; refused, so that it is not overwritten");
    }
    return 0;
}

int run_single(const options &opt)
{
    reporter rep;
    std::vector<std::string> paths = opt.inputs;
    if (paths.empty()) paths.emplace_back("-");
    wtcore_options w = render_options(opt);
    if (int rc = check_library_options(opt, w)) return rc;
    if (opt.has_output)
        if (int rc = check_outputs(paths, {opt.output})) return rc;

    // Every input is read before anything is written, so that a missing file
    // leaves no partial output behind.
    std::vector<input_text> parts(paths.size());
    bool failed = false;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (int err = parts[i].read(paths[i])) {
            rep.error(input_display_name(paths[i]), reason(err));
            failed = true;
        }
    }
    if (failed) return exit_io;

    // Several inputs form one document; the blank line between two of them
    // keeps the last paragraph of one file from running on into the next.
    input_text doc;
    if (parts.size() == 1) {
        doc = std::move(parts.front());
    } else if (!doc.join(parts)) {
        rep.error(input_display_name(paths.front()), "out of memory");
        return exit_io;
    }
    parts.clear();
    converted result;
    int status = WTCORE_ERROR_MEMORY;
    try {
        std::string title = html_escaped(opt.title);
        status = convert(opt, w, doc, opt.has_title ? &title : nullptr,
                         html_escaped(file_title(paths.front())), result);
    } catch (const std::bad_alloc &) {
    }
    if (status != WTCORE_OK) {
        rep.error(input_display_name(paths.front()), status_text(status));
        return status == WTCORE_ERROR_OPTIONS ? exit_usage : exit_io;
    }
    return write_result(result, opt.output, rep) ? exit_ok : exit_io;
}

// One input of a batch and where its result goes.
struct batch_item {
    const std::string *input;
    std::string output;       // DIR/NAME.EXT, or the page's file in a site
    std::string page_path;    // in a site: the page's file relative to DIR
    std::string title_html;   // in a site: the page name, escaped
};

// A site's red links: page_exists for wtcore_options, over the keys of the
// site's pages.
int site_page_exists(void *context, const char *target, std::size_t length) noexcept
{
    try {
        auto *keys = static_cast<const std::unordered_set<std::string> *>(context);
        return keys->count(site_page_key({target, length})) != 0;
    } catch (...) {
        return 1;   // out of memory: the link keeps its usual look
    }
}

// The site's index.html: a page listing the pages by title, as links.
bool write_site_index(const options &opt, const std::vector<batch_item> &items, reporter &rep)
{
    std::vector<const batch_item *> sorted;
    for (const batch_item &item : items) sorted.push_back(&item);
    std::sort(sorted.begin(), sorted.end(),
              [](const batch_item *a, const batch_item *b) { return a->title_html < b->title_html; });
    std::string body = "<h1 id=\"Pages\">Pages</h1>\n<ul>\n";
    for (const batch_item *item : sorted) {
        body += "<li><a href=\"";
        append_html_escaped(body, site_href(item->page_path));
        body += "\">" + item->title_html + "</a></li>\n";
    }
    body += "</ul>\n";
    std::string head = page_head("Pages");
    std::string path = (std::filesystem::path(opt.output_dir) / "index.html").string();
    return write_result({head, page_main_open(), body, page_tail(true)}, path, rep);
}

int run_batch(const options &opt)
{
    namespace fs = std::filesystem;
    wtcore_options base = render_options(opt);
    if (opt.site) {
        base.flags |= WTCORE_ENCODE_TARGETS | WTCORE_BALANCE_TAGS | WTCORE_SAFE_ATTRIBUTES;
        base.link_template = "./$1.html";
    }
    if (int rc = check_library_options(opt, base)) return rc;

    fs::path dir(opt.output_dir);
    std::vector<batch_item> items;
    std::unordered_set<std::string> page_keys;
    std::map<std::string, std::string> claimed;   // output path -> input
    if (opt.site) claimed.emplace((dir / "index.html").string(), "the site's index");
    for (const std::string &in : opt.inputs) {
        batch_item item{&in, {}, {}, {}};
        std::string stem = fs::path(in).stem().string();
        if (opt.site) {
            std::string name = site_page_name(stem);
            item.page_path = site_page_path(name);
            if (item.page_path.empty())
                return usage_error(in + ": '" + name + "' cannot be the name of a page's file");
            item.output = (dir / item.page_path).string();
            item.title_html = html_escaped(name);
            page_keys.insert(item.page_path.substr(0, item.page_path.size() - 5));
        } else {
            item.output = (dir / stem).string() + opt.format->extension;
        }
        auto [it, fresh] = claimed.emplace(item.output, in);
        if (!fresh) return usage_error(it->second + " and " + in + " would both be written to " + item.output);
        items.push_back(std::move(item));
    }
    std::vector<std::string> outputs;
    for (const auto &[out, in] : claimed) outputs.push_back(out);
    if (int rc = check_outputs(opt.inputs, outputs)) return rc;
    if (opt.site) {
        base.page_exists = site_page_exists;
        base.context = &page_keys;
    }

    reporter rep;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        rep.error(opt.output_dir, ec.message());
        return exit_io;
    }

    unsigned threads = opt.jobs ? opt.jobs : std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, items.size()));
    rep.enable_progress(items.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    auto convert_one = [&](const batch_item &item) {
        const std::string &path = *item.input;
        input_text doc;
        if (int err = doc.read(path)) {
            rep.error(path, reason(err));
            failed = true;
            rep.file_done(0);
            return;
        }
        std::size_t size = doc.size();
        wtcore_options w = base;
        std::string link_template;
        if (opt.site) {
            link_template = site_link_template(item.page_path);
            w.link_template = link_template.c_str();
            std::error_code dir_ec;
            fs::create_directories(fs::path(item.output).parent_path(), dir_ec);
        }
        converted result;
        std::string title = opt.has_title ? html_escaped(opt.title) : item.title_html;
        int status = convert(opt, w, doc, opt.has_title || opt.site ? &title : nullptr,
                             html_escaped(file_title(path)), result);
        if (status != WTCORE_OK) {
            rep.error(path, status_text(status));
            failed = true;
        } else if (!write_result(result, item.output, rep)) {
            failed = true;
        }
        rep.file_done(size);
    };
    auto worker = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < items.size();) {
            // Memory running out fails this file alone; the others go on.
            try {
                convert_one(items[i]);
            } catch (const std::bad_alloc &) {
                rep.error(*items[i].input, "out of memory");
                failed = true;
            } catch (const std::exception &e) {
                rep.error(*items[i].input, e.what());
                failed = true;
            }
        }
    };
    // The calling thread is a worker too; when the system gives fewer threads
    // than asked for, the batch goes on with those that started.
    std::vector<std::thread> pool;
    pool.reserve(threads);
    for (unsigned t = 1; t < threads; ++t) {
        try {
            pool.emplace_back(worker);
        } catch (const std::system_error &e) {
            rep.threads_short(t, threads, e.what());
            break;
        }
    }
    worker();
    for (std::thread &t : pool) t.join();
    rep.finish();
    if (opt.site && !write_site_index(opt, items, rep)) failed = true;
    return failed ? exit_io : exit_ok;
}

int run(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "dump") == 0) return run_dump(argc - 1, argv + 1);
    options opt;
    std::string error;
    if (!parse_options(argc, argv, opt, error)) return usage_error(error);
    if (opt.help || opt.version) {
        if (opt.help) print_help(stdout);
        else std::printf("%s %s\n", program, wtcore_version());
        if (int err = close_stdout()) {
            std::fprintf(stderr, "%s: standard output: %s\n", program, reason(err).c_str());
            return exit_io;
        }
        return exit_ok;
    }
    return opt.has_output_dir ? run_batch(opt) : run_single(opt);
}

} // namespace

int main(int argc, char **argv)
{
    // Nothing escapes: memory running out anywhere ends with a message and
    // status 1, never with an abort.
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: out of memory\n", program);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", program, e.what());
    }
    return exit_io;
}
