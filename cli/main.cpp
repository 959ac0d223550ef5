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
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <unistd.h>

#include "dump_command.h"
#include "file_io.h"
#include "options.h"
#include "page.h"
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

    void error(const std::string &what, const std::string &why)
    {
        std::lock_guard lock(mutex_);
        if (drawn_) std::fputs("\r\033[K", stderr);
        std::fprintf(stderr, "%s: %s: %s\n", program, what.c_str(), why.c_str());
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

// The name a page falls back on for its title: the input's file name.
std::string file_title(const std::string &path)
{
    if (path == "-") return "stdin";
    std::string name = std::filesystem::path(path).filename().string();
    return name.empty() ? path : name;
}

// Returns the reason to refuse a document that holds a NUL byte, which would
// end it early for the library, or an empty string.
std::string nul_refusal(const input_text &in)
{
    const void *nul = std::memchr(in.data(), '\0', in.size());
    if (!nul) return {};
    auto off = static_cast<const char *>(nul) - in.data();
    return "holds a NUL byte at offset " + std::to_string(off) + "; refused";
}

// The result of one document, written as head, library result, tail.
struct converted {
    std::string head;
    library_string body;
    std::size_t body_len = 0;
    std::string tail;
};

// Converts one NUL-terminated document as the options ask, with the reentrant
// functions so that batch threads can run it at once. Returns false when
// memory runs out.
bool convert(const options &opt, const char *doc, const std::string &fallback_title, converted &out)
{
    switch (opt.to) {
    case output_kind::links: out.body.reset(wtcore_extract_links_json_r(doc)); break;
    case output_kind::headings: out.body.reset(wtcore_extract_headings_json_r(doc)); break;
    case output_kind::html: out.body.reset(wtcore_to_html_r(doc)); break;
    }
    if (!out.body) return false;
    out.body_len = std::strlen(out.body.get());
    if (!opt.standalone) return true;

    std::vector<heading> headings;
    if (opt.toc || !opt.has_title) {
        library_string json(wtcore_extract_headings_json_r(doc));
        if (!json || !parse_headings_json(json.get(), headings)) return false;
    }
    std::string title = opt.title;
    if (!opt.has_title) {
        auto named = std::find_if(headings.begin(), headings.end(),
                                  [](const heading &h) { return !h.text.empty(); });
        title = named != headings.end() ? named->text : fallback_title;
    }
    out.head = page_head(title, opt.toc ? &headings : nullptr);
    out.tail = page_tail(out.body_len == 0 || out.body.get()[out.body_len - 1] == '\n');
    return true;
}

// Writes a converted document to path (standard output for an empty path).
// Returns false after reporting a failure.
bool write_result(const converted &c, const std::string &path, reporter &rep)
{
    output_file out;
    if (int err = out.open(path)) {
        rep.error(path, reason(err));
        return false;
    }
    out.write(c.head.data(), c.head.size());
    out.write(c.body.get(), c.body_len);
    out.write(c.tail.data(), c.tail.size());
    if (int err = out.close()) {
        rep.error(out.name(), reason(err));
        return false;
    }
    return true;
}

int run_single(const options &opt)
{
    reporter rep;
    std::vector<std::string> paths = opt.inputs;
    if (paths.empty()) paths.emplace_back("-");

    // Every input is read before anything is written, so that a missing file
    // leaves no partial output behind.
    std::vector<input_text> parts(paths.size());
    bool failed = false;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (int err = parts[i].read(paths[i])) {
            rep.error(input_display_name(paths[i]), reason(err));
            failed = true;
        } else if (std::string why = nul_refusal(parts[i]); !why.empty()) {
            rep.error(input_display_name(paths[i]), why);
            failed = true;
        }
    }
    if (failed) return exit_io;

    // Several inputs form one document; the blank line between two of them
    // keeps the last paragraph of one file from running on into the next.
    input_text doc;
    bool out_of_memory = false;
    if (parts.size() == 1) doc = std::move(parts.front());
    else out_of_memory = !doc.join(parts);
    parts.clear();
    converted result;
    if (out_of_memory || !convert(opt, doc.data(), file_title(paths.front()), result)) {
        rep.error(input_display_name(paths.front()), "out of memory");
        return exit_io;
    }
    return write_result(result, opt.output, rep) ? exit_ok : exit_io;
}

int run_batch(const options &opt)
{
    const std::string ext = opt.to == output_kind::html ? ".html" : ".json";
    std::filesystem::path dir(opt.output_dir);
    std::vector<std::string> targets;
    std::map<std::string, std::string> claimed;   // output path -> input
    for (const std::string &in : opt.inputs) {
        std::string target = (dir / std::filesystem::path(in).stem()).string() + ext;
        auto [it, fresh] = claimed.emplace(target, in);
        if (!fresh)
            return usage_error(it->second + " and " + in + " would both be written to " + target);
        targets.push_back(std::move(target));
    }
    reporter rep;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        rep.error(opt.output_dir, ec.message());
        return exit_io;
    }

    unsigned threads = opt.jobs ? opt.jobs : std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, opt.inputs.size()));
    rep.enable_progress(opt.inputs.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    auto worker = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < opt.inputs.size();) {
            const std::string &path = opt.inputs[i];
            input_text doc;
            converted result;
            if (int err = doc.read(path)) {
                rep.error(path, reason(err));
                failed = true;
            } else if (std::string why = nul_refusal(doc); !why.empty()) {
                rep.error(path, why);
                failed = true;
            } else if (!convert(opt, doc.data(), file_title(path), result)) {
                rep.error(path, "out of memory");
                failed = true;
            } else if (!write_result(result, targets[i], rep)) {
                failed = true;
            }
            rep.file_done(doc.size());
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread &t : pool) t.join();
    rep.finish();
    return failed ? exit_io : exit_ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "dump") == 0) return run_dump(argc - 1, argv + 1);
    options opt;
    std::string error;
    if (!parse_options(argc, argv, opt, error)) return usage_error(error);
    if (opt.help || opt.version) {
        if (opt.help) print_help(stdout);
        else std::printf("%s %s\n", program, wtcore_version());
        output_file out;
        out.open("-");
        if (int err = out.close()) {
            std::fprintf(stderr, "%s: standard output: %s\n", program, reason(err).c_str());
            return exit_io;
        }
        return exit_ok;
    }
    return opt.output_dir.empty() ? run_single(opt) : run_batch(opt);
}
