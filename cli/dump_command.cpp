// tarnwick-wikitext dump: a wiki XML export in, one JSON object per page out.
//
// Work is cut into numbered batches that workers fill and the main thread
// writes in number order, so the output is in dump order whatever the number
// of workers. A batch is either one range of the file (a group of bzip2
// streams, or a page-aligned piece of plain XML), read by its worker from
// decompression to rendering, or a run of pages taken from one shared reader
// (a single compressed stream, or standard input), whose decompression and
// parsing then happen on one worker at a time while the others render.
#include "dump_command.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "dump_output.h"
#include "page.h"
#include "site.h"
#include "tarnwick/dump.h"
#include "tarnwick/dump_line.h"
#include "wtcore.h"

namespace {

namespace td = tarnwick::dump;

constexpr const char *program = "tarnwick-wikitext";
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

// Batches of a shared reader end after this many pages or text bytes.
constexpr std::size_t batch_pages = 256;
constexpr std::size_t batch_text_bytes = std::size_t{4} << 20;
// Ranges are grouped to about this many bytes (compressed) or cut to about
// this many (plain XML), so that a worker's start-up is small beside its work.
// Compressed groups stay small (two or three streams of 100 pages, a few
// hundredths of a second each): at the end of the file one worker waits for
// the other's last group, and a reader's start-up is a ten-thousandth of its
// decompression.
constexpr std::uint64_t bzip2_group_bytes = std::uint64_t{256} << 10;
constexpr std::uint64_t plain_piece_bytes = std::uint64_t{4} << 20;

enum class redirect_rule { include, skip, only };

struct dump_options {
    std::vector<const td::line_field *> formats;
    std::optional<std::set<std::int64_t>> namespaces;
    redirect_rule redirects = redirect_rule::include;
    std::set<std::string> models{"wikitext"};
    bool all_models = false;
    std::uint64_t limit = 0;  // 0: no limit
    std::string ids_file, titles_file, output, output_dir, index, input;
    unsigned jobs = 0;
    unsigned flags = 0;
    std::string link_template;
    bool has_link_template = false;
    bool folder_links = false;  // --output-dir with the default template: links reach the folder's files
};

const char usage_text[] =
    "usage: tarnwick-wikitext dump [OPTIONS] FILE|-\n"
    "Reads a wiki XML export (plain, bzip2, multistream bzip2 or gzip) and writes\n"
    "one JSON object per page: {\"id\",\"ns\",\"title\",\"revision\",\"timestamp\",\n"
    "\"redirect\" (when the page is one), then one field per format}.\n"
    "\n"
    "  -t, --to FORMATS      comma list of html, text, links, headings, templates,\n"
    "                        categories, page (default: links)\n"
    "      --ns LIST         only pages of these namespace numbers (default: all)\n"
    "      --redirects MODE  include (default), skip or only\n"
    "      --models LIST     only pages of these content models (default: wikitext;\n"
    "                        'all' for every model)\n"
    "      --limit N         stop after N pages written\n"
    "      --ids FILE        only the page ids listed in FILE, one a line\n"
    "      --titles FILE     only the page titles listed in FILE, one a line\n"
    "  -o, --output FILE     write to FILE (.gz, .zst: compressed) instead of standard output\n"
    "  -d, --output-dir DIR  with -t html: one HTML file per page and an index.html\n"
    "      --index FILE      the multistream index (offset:page_id:title lines)\n"
    "  -j, --jobs N          N workers (default: one per core)\n"
    "      --extended        the extended syntax (templates, tables, references, ...)\n"
    "      --safe            safe attributes, balanced tags, encoded link targets\n"
    "      --link-template T internal-link address, $1 for the target (default /wiki/$1)\n"
    "  -h, --help            this help\n";

int usage_error(const std::string &message)
{
    std::fprintf(stderr, "%s: %s\ntry '%s dump --help'\n", program, message.c_str(), program);
    return exit_usage;
}

bool parse_count(std::string_view s, std::uint64_t &out)
{
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

std::vector<std::string> split_list(std::string_view s)
{
    std::vector<std::string> out;
    while (true) {
        std::size_t comma = s.find(',');
        std::string_view item = s.substr(0, comma);
        if (!item.empty()) out.emplace_back(item);
        if (comma == std::string_view::npos) break;
        s.remove_prefix(comma + 1);
    }
    return out;
}

// Fills opt from the arguments after "dump". Returns "" or a usage message.
std::string parse_dump_options(int argc, char **argv, dump_options &opt, bool &help)
{
    std::string formats = "links";
    bool have_input = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view a(argv[i]);
        std::string_view value;
        bool has_value = false;
        std::string name(a);
        if (a.starts_with("--") && a.find('=') != std::string_view::npos) {
            name = std::string(a.substr(0, a.find('=')));
            value = a.substr(a.find('=') + 1);
            has_value = true;
        }
        auto take = [&](std::string_view &v) {
            if (has_value) {
                v = value;
                return true;
            }
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        std::string_view v;
        if (name == "-h" || name == "--help") {
            help = true;
            return "";
        } else if (name == "-t" || name == "--to") {
            if (!take(v)) return "option " + name + " needs a value";
            formats = v;
        } else if (name == "--ns") {
            if (!take(v)) return "option --ns needs a value";
            opt.namespaces.emplace();
            for (const std::string &item : split_list(v)) {
                std::int64_t n;
                auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), n);
                if (ec != std::errc() || end != item.data() + item.size())
                    return "--ns: '" + item + "' is not a namespace number";
                opt.namespaces->insert(n);
            }
        } else if (name == "--redirects") {
            if (!take(v)) return "option --redirects needs a value";
            if (v == "include") opt.redirects = redirect_rule::include;
            else if (v == "skip") opt.redirects = redirect_rule::skip;
            else if (v == "only") opt.redirects = redirect_rule::only;
            else return "--redirects: '" + std::string(v) + "' is not include, skip or only";
        } else if (name == "--models") {
            if (!take(v)) return "option --models needs a value";
            opt.models.clear();
            for (const std::string &m : split_list(v)) {
                if (m == "all") opt.all_models = true;
                opt.models.insert(m);
            }
        } else if (name == "--limit") {
            if (!take(v) || !parse_count(v, opt.limit) || opt.limit == 0)
                return "--limit needs a positive number";
        } else if (name == "--ids") {
            if (!take(v)) return "option --ids needs a file";
            opt.ids_file = v;
        } else if (name == "--titles") {
            if (!take(v)) return "option --titles needs a file";
            opt.titles_file = v;
        } else if (name == "-o" || name == "--output") {
            if (!take(v)) return "option " + name + " needs a file";
            opt.output = v;
        } else if (name == "-d" || name == "--output-dir") {
            if (!take(v)) return "option " + name + " needs a folder";
            opt.output_dir = v;
        } else if (name == "--index") {
            if (!take(v)) return "option --index needs a file";
            opt.index = v;
        } else if (name == "-j" || name == "--jobs") {
            std::uint64_t n;
            if (!take(v) || !parse_count(v, n) || n == 0 || n > 1024) return "--jobs needs a number from 1 to 1024";
            opt.jobs = static_cast<unsigned>(n);
        } else if (name == "--extended") {
            opt.flags |= WTCORE_EXTENDED;
        } else if (name == "--safe") {
            opt.flags |= WTCORE_SAFE_ATTRIBUTES | WTCORE_BALANCE_TAGS | WTCORE_ENCODE_TARGETS;
        } else if (name == "--link-template") {
            if (!take(v)) return "option --link-template needs a value";
            opt.link_template = v;
            opt.has_link_template = true;
        } else if (a == "-" || !a.starts_with("-")) {
            if (have_input) return "more than one input; dump reads one export";
            opt.input = a;
            have_input = true;
        } else {
            return "unknown option " + name;
        }
    }
    if (!have_input) return "no input; give an export FILE, or - for standard input";
    for (const std::string &f : split_list(formats)) {
        const td::line_field *hit = td::find_line_field(f);
        if (!hit) return "-t: unknown format '" + f + "' (html, text, links, headings, templates, categories, page)";
        if (std::find(opt.formats.begin(), opt.formats.end(), hit) == opt.formats.end()) opt.formats.push_back(hit);
    }
    if (opt.formats.empty()) return "-t needs at least one format";
    if (!opt.output_dir.empty()) {
        if (opt.formats.size() != 1 || opt.formats[0]->format != WTCORE_FORMAT_HTML)
            return "--output-dir writes HTML pages: use it with -t html alone";
        if (!opt.output.empty()) return "--output-dir and -o exclude each other";
    }
    if (!opt.index.empty() && opt.input == "-") return "--index needs the export as a FILE, not standard input";
    return "";
}

// Serialised messages and the progress line (drawn on a terminal only).
class reporter {
public:
    explicit reporter(std::uint64_t total) : total_(total), progress_(isatty(STDERR_FILENO))
    {
        start_ = last_ = std::chrono::steady_clock::now();
    }
    void message(const std::string &text)
    {
        std::lock_guard lock(mutex_);
        clear();
        std::fprintf(stderr, "%s: %s\n", program, text.c_str());
    }
    void update(std::uint64_t pages, std::uint64_t xml, std::uint64_t input, bool force = false)
    {
        if (!progress_) return;
        auto now = std::chrono::steady_clock::now();
        if (!force && now - last_ < std::chrono::milliseconds(250)) return;
        last_ = now;
        double secs = std::chrono::duration<double>(now - start_).count();
        double mb = static_cast<double>(xml) / 1e6;
        char line[200];
        int n = std::snprintf(line, sizeof line, "\r\033[K%llu pages, %.1f MB of XML, %.1f MB/s",
                              static_cast<unsigned long long>(pages), mb, secs > 0 ? mb / secs : 0.0);
        if (total_ > 0 && input > 0 && n > 0 && static_cast<std::size_t>(n) < sizeof line) {
            double part = std::min(1.0, static_cast<double>(input) / static_cast<double>(total_));
            double left = part > 0 ? secs / part - secs : 0;
            std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), ", %.0f%%, %d:%02d left", part * 100,
                          static_cast<int>(left) / 60, static_cast<int>(left) % 60);
        }
        std::lock_guard lock(mutex_);
        std::fputs(line, stderr);
        drawn_ = true;
    }
    void finish()
    {
        std::lock_guard lock(mutex_);
        if (drawn_) std::fputc('\n', stderr);
        drawn_ = false;
    }

private:
    void clear()
    {
        if (drawn_) std::fputs("\r\033[K", stderr);
        drawn_ = false;
    }
    std::mutex mutex_;
    std::uint64_t total_;
    bool progress_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_, last_;
};

struct page_file {
    std::string title, name, html;
};

// Writes a page's file under dir; returns "" or a failure message.
std::string write_page_file(const std::string &dir, const page_file &f)
{
    std::string path = dir + "/" + f.name;
    if (f.name.find('/') != std::string::npos) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
        if (ec) return path + ": " + ec.message();
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(f.html.data(), static_cast<std::streamsize>(f.html.size()));
    out.close();
    if (!out) return path + ": " + std::strerror(errno);
    return "";
}

// What one batch produced: whole lines, and the failure that ended it.
struct batch {
    std::string out;
    std::uint64_t lines = 0;
    std::uint64_t xml_bytes = 0, input_bytes = 0;
    std::string error;
    bool last = false;  // no batch follows
    bool ready = false;
    // --output-dir: the pages of the batch, to be written as files.
    std::vector<page_file> files;
};

// The slots of the batches in flight. Workers wait for room (at most
// `window` batches ahead of the writer), the writer for the next batch.
class batch_queue {
public:
    explicit batch_queue(std::size_t window) : slots_(window) {}
    // Waits until batch k may be filled; false when the job stops.
    bool wait_room(std::size_t k)
    {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return stop_ || k < next_ + slots_.size(); });
        return !stop_;
    }
    void put(std::size_t k, batch &&b)
    {
        std::lock_guard lock(mutex_);
        b.ready = true;
        slots_[k % slots_.size()] = std::move(b);
        ready_.notify_all();
    }
    // Waits up to `wait` for batch `next`; moves it out when it is there.
    bool take(batch &out, std::chrono::milliseconds wait)
    {
        std::unique_lock lock(mutex_);
        batch &slot = slots_[next_ % slots_.size()];
        if (!ready_.wait_for(lock, wait, [&] { return slot.ready; })) return false;
        out = std::move(slot);
        slot = batch{};
        ++next_;
        room_.notify_all();
        return true;
    }
    void stop()
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        room_.notify_all();
    }
    bool stopped()
    {
        std::lock_guard lock(mutex_);
        return stop_;
    }

private:
    std::mutex mutex_;
    std::condition_variable room_, ready_;
    std::vector<batch> slots_;
    std::size_t next_ = 0;
    bool stop_ = false;
};

struct free_result {
    void operator()(char *p) const { wtcore_free(p); }
};

// The per-page work shared by the workers: selection, rendering, the line.
class page_writer {
public:
    page_writer(const dump_options &opt, std::unordered_set<std::int64_t> ids,
                std::unordered_set<std::string> titles)
        : opt_(opt), ids_(std::move(ids)), titles_(std::move(titles))
    {
        wtcore_options_init(&render_);
        render_.flags = opt.flags;
        if (opt.has_link_template) render_.link_template = opt_.link_template.c_str();
    }

    const wtcore_options &render_options() const { return render_; }

    bool wanted(const td::page &p) const
    {
        if (opt_.namespaces && !opt_.namespaces->count(p.ns)) return false;
        if (opt_.redirects == redirect_rule::skip && p.is_redirect) return false;
        if (opt_.redirects == redirect_rule::only && !p.is_redirect) return false;
        if (!opt_.all_models) {
            // Exports older than content models have no <model>: wikitext.
            const std::string &m = p.model.empty() ? wikitext_ : p.model;
            if (!opt_.models.count(m)) return false;
        }
        if (!ids_.empty() || !titles_.empty()) {
            if (!ids_.count(p.id) && !titles_.count(p.title)) return false;
        }
        return true;
    }

    // Appends the page's line to b.out (or writes its HTML file with
    // --output-dir). Returns "" or a failure message.
    std::string append(const td::page &p, batch &b) const
    {
        if (!opt_.output_dir.empty()) return render_page_file(p, b);
        int status = td::append_line(b.out, p, opt_.formats, render_);
        if (status != WTCORE_OK) return "page " + std::to_string(p.id) + ": " + wtcore_status_message(status);
        ++b.lines;
        return "";
    }

private:
    std::string render_page_file(const td::page &p, batch &b) const
    {
        // Named as the tool's site mode names pages, so that links resolve;
        // a title no file can have is named by the page's id.
        std::string name = site_page_path(p.title);
        if (name.empty()) name = "page-" + std::to_string(p.id) + ".html";
        // A page in a subfolder climbs back to the folder for its links.
        wtcore_options options = render_;
        std::string link_template;
        if (opt_.folder_links) {
            link_template = site_link_template(name);
            options.link_template = link_template.c_str();
        }
        char *result = nullptr;
        std::size_t len = 0;
        int status = wtcore_render(p.text.data(), p.text.size(), WTCORE_FORMAT_HTML, &options, &result, &len);
        std::unique_ptr<char, free_result> hold(result);
        if (status != WTCORE_OK) return "page " + std::to_string(p.id) + ": " + wtcore_status_message(status);
        std::string html = "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>";
        append_html_escaped(html, p.title);
        html += "</title>\n</head>\n<body>\n<h1>";
        append_html_escaped(html, p.title);
        html += "</h1>\n";
        html.append(result, len);
        html += "</body>\n</html>\n";
        // The writer writes the file, in dump order, so that --limit holds.
        b.files.push_back({p.title, std::move(name), std::move(html)});
        ++b.lines;
        return "";
    }

    const dump_options &opt_;
    std::unordered_set<std::int64_t> ids_;
    std::unordered_set<std::string> titles_;
    wtcore_options render_;
    const std::string wikitext_ = "wikitext";
};

// Reads the lines of a selection file; returns "" or an error message.
std::string read_lines(const std::string &path, std::vector<std::string> &lines)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return path + ": " + std::strerror(errno);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    if (in.bad()) return path + ": read error";
    return "";
}

class dump_job {
public:
    dump_job(const dump_options &opt, page_writer &writer, reporter &rep)
        : opt_(opt), writer_(writer), rep_(rep) {}

    // Runs the job; returns the exit status.
    int run(jsonl_output *out)
    {
        unsigned jobs = opt_.jobs ? opt_.jobs : std::max(1u, std::thread::hardware_concurrency());
        try {
            plan(jobs);
        } catch (const td::error &e) {
            rep_.message(e.what());
            return exit_failed;
        }
        batch_queue queue(std::size_t{4} * jobs);
        std::vector<std::thread> pool;
        for (unsigned t = 0; t < jobs; ++t)
            pool.emplace_back([&] { ranges_.empty() ? stream_worker(queue) : range_worker(queue); });
        int status = write_batches(queue, out);
        queue.stop();
        for (std::thread &t : pool) t.join();
        return status;
    }

    const std::vector<std::pair<std::string, std::string>> &files() const { return files_; }

private:
    // Chooses between ranges read by each worker and one shared reader.
    void plan(unsigned jobs)
    {
        const std::string &path = opt_.input;
        struct stat st;
        bool regular = path != "-" && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        td::compression kind = regular ? td::detect_compression(path) : td::compression::none;
        if (regular && !opt_.index.empty() && kind != td::compression::bzip2)
            throw td::error(opt_.index + ": an index goes with a multistream bzip2 export", -1, 0);
        std::uint64_t size = regular ? static_cast<std::uint64_t>(st.st_size) : 0;
        if (regular && kind == td::compression::bzip2 && (jobs > 1 || !opt_.index.empty())) {
            auto streams = opt_.index.empty() ? td::find_streams(path) : td::streams_from_index(opt_.index, path);
            // Groups of streams, at least four per worker when the file allows.
            std::uint64_t group = std::min(bzip2_group_bytes, size / (std::uint64_t{4} * jobs));
            if (streams.size() > 1 && jobs > 1) ranges_ = td::group_ranges(streams, group);
        } else if (regular && kind == td::compression::none) {
            // Pieces also for one worker, which then parses and renders each
            // page in turn, handing no pages to another thread.
            std::size_t pieces = static_cast<std::size_t>(std::max<std::uint64_t>(jobs * 4, size / plain_piece_bytes));
            auto split = td::split_plain_xml(path, pieces);
            if (split.size() > 1) ranges_ = std::move(split);
        }
        if (ranges_.empty()) {
            // Decompression on a thread of its own feeds the parser, whose
            // pages the workers render.
            td::reader_options ro;
            ro.background_decompression = true;
            shared_.emplace(td::reader::open(path, ro));
        }
    }

    void note_repairs(const td::reader &r)
    {
        if (r.utf8_repairs() > 0 && !warned_.exchange(true))
            rep_.message("warning: invalid UTF-8 replaced by U+FFFD (first at XML byte " +
                         std::to_string(r.first_repair_offset()) + ")");
    }

    // Ranges: each batch is one range, read by one worker from start to end.
    void range_worker(batch_queue &queue)
    {
        td::page p;
        for (;;) {
            std::size_t k = next_range_.fetch_add(1);
            if (k >= ranges_.size() || !queue.wait_room(k)) return;
            batch b;
            b.last = k + 1 == ranges_.size();
            try {
                td::reader r = td::reader::open_range(opt_.input, ranges_[k]);
                while (r.next(p)) {
                    if (!writer_.wanted(p)) continue;
                    b.error = writer_.append(p, b);
                    if (!b.error.empty()) break;
                    if (queue.stopped()) break;
                }
                note_repairs(r);
                b.xml_bytes = r.xml_bytes();
            } catch (const td::error &e) {
                b.error = e.what();
            }
            b.input_bytes = ranges_[k].end - ranges_[k].begin;
            queue.put(k, std::move(b));
        }
    }

    // One shared reader: a worker takes a run of pages under the lock, then
    // renders them while another worker reads.
    void stream_worker(batch_queue &queue)
    {
        std::vector<td::page> pages(batch_pages);
        for (;;) {
            batch b;
            std::size_t k, count = 0;
            {
                std::lock_guard lock(read_mutex_);
                if (read_done_) return;
                k = next_batch_++;
                if (!queue.wait_room(k)) {
                    read_done_ = true;
                    return;
                }
                std::size_t text = 0;
                try {
                    while (count < batch_pages && text < batch_text_bytes && shared_->next(pages[count])) {
                        if (!writer_.wanted(pages[count])) continue;
                        text += pages[count].text.size();
                        ++count;
                    }
                    if (count < batch_pages && text < batch_text_bytes) read_done_ = b.last = true;
                } catch (const td::error &e) {
                    b.error = e.what();
                    read_done_ = b.last = true;
                }
                note_repairs(*shared_);
                b.xml_bytes = shared_->xml_bytes() - xml_seen_;
                xml_seen_ = shared_->xml_bytes();
                b.input_bytes = shared_->input_bytes() - input_seen_;
                input_seen_ = shared_->input_bytes();
            }
            for (std::size_t i = 0; i < count && !queue.stopped(); ++i) {
                std::string err = writer_.append(pages[i], b);
                if (!err.empty()) {
                    b.error = err;
                    b.last = true;
                    break;
                }
            }
            queue.put(k, std::move(b));
        }
    }

    // Writes the batches in order; returns the exit status.
    int write_batches(batch_queue &queue, jsonl_output *out)
    {
        std::uint64_t pages = 0, xml = 0, input = 0;
        for (;;) {
            batch b;
            if (!queue.take(b, std::chrono::milliseconds(250))) {
                rep_.update(pages, xml, input);
                continue;
            }
            std::size_t keep = b.out.size();
            std::uint64_t lines = b.lines;
            bool limited = opt_.limit && pages + lines >= opt_.limit;
            if (limited) {
                // Cut after the line that reaches the limit.
                lines = opt_.limit - pages;
                std::size_t pos = 0;
                for (std::uint64_t i = 0; i < lines; ++i) pos = b.out.find('\n', pos) + 1;
                keep = pos;
                if (b.files.size() > lines) b.files.resize(lines);
            }
            if (out && keep && !out->write(b.out.data(), keep)) {
                rep_.finish();
                return exit_failed;  // reported by the caller from finish()
            }
            for (page_file &f : b.files) {
                if (std::string e = write_page_file(opt_.output_dir, f); !e.empty()) {
                    rep_.finish();
                    rep_.message(e);
                    return exit_failed;
                }
                files_.emplace_back(std::move(f.title), std::move(f.name));
            }
            pages += lines;
            xml += b.xml_bytes;
            input += b.input_bytes;
            rep_.update(pages, xml, input, limited || b.last || !b.error.empty());
            if (!b.error.empty() && !limited) {
                rep_.finish();
                rep_.message(opt_.input == "-" ? "standard input: " + b.error : opt_.input + ": " + b.error);
                return exit_failed;
            }
            if (limited || b.last) {
                rep_.finish();
                return exit_ok;
            }
        }
    }

    const dump_options &opt_;
    page_writer &writer_;
    reporter &rep_;
    std::vector<td::byte_range> ranges_;
    std::atomic<std::size_t> next_range_{0};
    std::optional<td::reader> shared_;
    std::mutex read_mutex_;
    bool read_done_ = false;
    std::size_t next_batch_ = 0;
    std::uint64_t xml_seen_ = 0, input_seen_ = 0;
    std::atomic<bool> warned_{false};
    std::vector<std::pair<std::string, std::string>> files_;
};

// The index page of --output-dir: every page written, linked by file name.
std::string index_page(const std::vector<std::pair<std::string, std::string>> &files)
{
    std::string html = "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>Pages</title>\n"
                       "</head>\n<body>\n<ul>\n";
    for (const auto &[title, name] : files) {
        html += "<li><a href=\"";
        append_html_escaped(html, site_href(name));
        html += "\">";
        append_html_escaped(html, title);
        html += "</a></li>\n";
    }
    html += "</ul>\n</body>\n</html>\n";
    return html;
}

} // namespace

int run_dump(int argc, char **argv)
{
    dump_options opt;
    bool help = false;
    std::string problem = parse_dump_options(argc, argv, opt, help);
    if (help) {
        std::fputs(usage_text, stdout);
        return std::fflush(stdout) == 0 ? exit_ok : exit_failed;
    }
    if (!problem.empty()) return usage_error(problem);

    // Pages written to a folder link to each other's files there: the
    // targets percent-encoded, so that the browser decodes them to the names.
    bool default_template = false;
    if (!opt.output_dir.empty() && !opt.has_link_template) {
        opt.link_template = "./$1.html";
        opt.has_link_template = default_template = opt.folder_links = true;
        opt.flags |= WTCORE_ENCODE_TARGETS;
    }
    // A format, flag or template that this build of the library does not
    // have is refused before any input is read.
    page_writer probe(opt, {}, {});
    std::string missing;
    for (const td::line_field *f : opt.formats) {
        char *r = nullptr;
        if (wtcore_render("", 0, f->format, nullptr, &r, nullptr) == WTCORE_ERROR_OPTIONS)
            missing += std::string(missing.empty() ? "" : ", ") + f->name;
        wtcore_free(r);
    }
    if (!missing.empty()) return usage_error("-t: not available in this version of the library: " + missing);
    {
        char *r = nullptr;
        int status = wtcore_render("", 0, WTCORE_FORMAT_HTML, &probe.render_options(), &r, nullptr);
        wtcore_free(r);
        if (status == WTCORE_ERROR_OPTIONS && default_template) {
            // A library without link templates links to /wiki/ addresses.
            opt.has_link_template = opt.folder_links = false;
            opt.flags &= ~WTCORE_ENCODE_TARGETS;
            page_writer plain(opt, {}, {});
            r = nullptr;
            status = wtcore_render("", 0, WTCORE_FORMAT_HTML, &plain.render_options(), &r, nullptr);
            wtcore_free(r);
        }
        if (status == WTCORE_ERROR_OPTIONS)
            return usage_error(opt.has_link_template && opt.link_template.find("$1") == std::string::npos
                                   ? "--link-template needs \"$1\" where the target goes"
                                   : "--extended, --safe or --link-template: not available in this version of the library");
    }

    std::unordered_set<std::int64_t> ids;
    std::unordered_set<std::string> titles;
    if (!opt.ids_file.empty()) {
        std::vector<std::string> lines;
        if (std::string e = read_lines(opt.ids_file, lines); !e.empty()) return usage_error(e);
        for (const std::string &l : lines) {
            std::int64_t id;
            auto [end, ec] = std::from_chars(l.data(), l.data() + l.size(), id);
            if (ec != std::errc() || end != l.data() + l.size())
                return usage_error(opt.ids_file + ": '" + l + "' is not a page id");
            ids.insert(id);
        }
    }
    if (!opt.titles_file.empty()) {
        std::vector<std::string> lines;
        if (std::string e = read_lines(opt.titles_file, lines); !e.empty()) return usage_error(e);
        // Titles may be written with underscores, as in addresses.
        for (std::string &l : lines) {
            std::replace(l.begin(), l.end(), '_', ' ');
            titles.insert(std::move(l));
        }
    }

    std::uint64_t total = 0;
    struct stat st;
    if (opt.input != "-" && ::stat(opt.input.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        total = static_cast<std::uint64_t>(st.st_size);
    reporter rep(total);
    page_writer writer(opt, std::move(ids), std::move(titles));

    if (!opt.output_dir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(opt.output_dir, ec);
        if (ec) {
            rep.message(opt.output_dir + ": " + ec.message());
            return exit_failed;
        }
        dump_job job(opt, writer, rep);
        int status = job.run(nullptr);
        jsonl_output index;
        std::string index_path = opt.output_dir + "/index.html";
        int err = index.open(index_path);
        std::string html = index_page(job.files());
        if (!err) {
            index.write(html.data(), html.size());
            err = index.finish();
        }
        if (err) {
            rep.message(index_path + ": " + std::strerror(err));
            return exit_failed;
        }
        return status;
    }

    jsonl_output out;
    if (int err = out.open(opt.output)) {
        rep.message(opt.output + ": " + std::strerror(err));
        return exit_failed;
    }
    dump_job job(opt, writer, rep);
    int status = job.run(&out);
    // The lines written before a failure of the input are kept: the file
    // ends after the last whole page.
    if (int err = out.finish()) {
        rep.message(out.name() + ": " + std::strerror(err));
        return exit_failed;
    }
    return status;
}
