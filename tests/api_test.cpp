// The C interface: result-buffer lifetime, null handling, the reentrant forms,
// and what a failed allocation does to each call (fails cleanly, leaks nothing,
// and the next call is exact).
#include "alloc_hook.h"
#include "wt_buffer.h"
#include "wt_parser.h"
#include "wtcore.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

// Headings, nested lists, links of both kinds: enough to grow a buffer from
// nothing several times and to allocate anchor buffers.
std::string rich_document(int copies)
{
    std::string unit = "= Top =\nIntro with [[Main Page|a ''link'']] and [http://x.org/ ext] & more.\n"
                       "== Section ''two'' ==\n* one\n** two [http://y]\n*# three\n;term:def\n"
                       " pre <b>\n----\nhttp://bare.example/path?q=1&r=2 [[A]]s\n";
    std::string doc;
    for (int i = 0; i < copies; ++i) doc += unit;
    return doc;
}

std::string take(char *s)
{
    std::string r = s ? s : "<null>";
    wtcore_free(s);
    return r;
}

TEST(Api, VersionAndError)
{
    EXPECT_STREQ(wtcore_last_error(), "");
    EXPECT_STREQ(wtcore_version(), "1.0.0");
    EXPECT_EQ(wtcore_version(), wtcore_version());
    EXPECT_EQ(wtcore_last_error(), wtcore_last_error());
}

TEST(Api, NullAndEmptyDocuments)
{
    EXPECT_STREQ(wtcore_to_html(nullptr, nullptr), "");
    EXPECT_STREQ(wtcore_last_error(), "");
    EXPECT_STREQ(wtcore_to_html("", nullptr), "");
    EXPECT_STREQ(wtcore_extract_links_json(nullptr), "[]");
    EXPECT_STREQ(wtcore_extract_links_json(""), "[]");
    EXPECT_STREQ(wtcore_extract_headings_json(nullptr), "[]");
    EXPECT_STREQ(wtcore_extract_headings_json(""), "[]");
    EXPECT_STREQ(wtcore_last_error(), "");
    EXPECT_EQ(take(wtcore_to_html_r(nullptr)), "");
    EXPECT_EQ(take(wtcore_extract_links_json_r(nullptr)), "[]");
    EXPECT_EQ(take(wtcore_extract_headings_json_r(nullptr)), "[]");
    wtcore_free(nullptr);
}

TEST(Api, ReservedIsIgnored)
{
    std::string doc = rich_document(1);
    std::string a = wtcore_to_html(doc.c_str(), nullptr);
    int dummy = 0;
    EXPECT_EQ(wtcore_to_html(doc.c_str(), &dummy), a);
}

TEST(Api, ResultsLiveUntilTheNextCallOfTheSameFunction)
{
    std::string doc = rich_document(1);
    const char *html = wtcore_to_html(doc.c_str(), nullptr);
    std::string html_copy = html;
    const char *links = wtcore_extract_links_json(doc.c_str());
    std::string links_copy = links;
    const char *heads = wtcore_extract_headings_json(doc.c_str());
    std::string heads_copy = heads;
    // Calls of the other functions leave each result alone.
    wtcore_to_html("other", nullptr);
    EXPECT_EQ(links, links_copy);
    EXPECT_EQ(heads, heads_copy);
    html = wtcore_to_html(doc.c_str(), nullptr);
    EXPECT_STREQ(wtcore_extract_links_json("[[other]]"), "[{\"target\":\"other\",\"text\":\"other\"}]");
    EXPECT_STREQ(wtcore_extract_headings_json("= other ="),
                 "[{\"level\":1,\"text\":\"other\",\"anchor\":\"other\"}]");
    EXPECT_EQ(html, html_copy);

    // The second call replaces the first completely, with nothing left over.
    EXPECT_STREQ(wtcore_to_html("short", nullptr), "<p>short</p>\n");
}

TEST(Api, LargeResultIsWholeAndStorageIsReused)
{
    std::string doc = rich_document(100);
    std::string first = wtcore_to_html(doc.c_str(), nullptr);
    ASSERT_GT(first.size(), 4096u);
    EXPECT_EQ(first, take(wtcore_to_html_r(doc.c_str())));
    alloc_hook::reset();
    wtcore_to_html(doc.c_str(), nullptr);
    // The grown buffer is kept, and short anchors take no buffer: nothing
    // allocates.
    EXPECT_EQ(alloc_hook::allocations(), 0u);
}

// Rendering allocates nothing but the output's growth and an anchor buffer for
// each heading of 256 bytes or more; deep lists, links and labels allocate
// nothing.
TEST(Api, RenderingAllocatesOnlyOutputAndLongAnchors)
{
    std::string doc = rich_document(3) + std::string(64, '*') + " deep\n" + std::string(70, ':') + "x\n";
    wt_buf out{};
    wt_buf_init(&out, 1 << 20);
    alloc_hook::reset();
    ASSERT_EQ(wt_parse_to_html(doc.c_str(), nullptr, &out), 1);
    EXPECT_EQ(alloc_hook::allocations(), 0u);
    wt_buf_reset(&out);
    alloc_hook::reset();
    ASSERT_EQ(wt_extract_links_json(doc.c_str(), &out), 1);
    EXPECT_EQ(alloc_hook::allocations(), 0u);
    // Short anchors are made on the stack: only a heading of 256 bytes or more
    // takes an anchor buffer, in the page as in the heading list.
    ASSERT_EQ(wt_extract_headings_json(doc.c_str(), &out), 1);
    EXPECT_EQ(alloc_hook::allocations(), 0u);
    std::string long_heading = "== " + std::string(300, 'h') + " ==\n";
    wt_buf_reset(&out);
    ASSERT_EQ(wt_parse_to_html((doc + long_heading + long_heading).c_str(), nullptr, &out), 1);
    EXPECT_EQ(alloc_hook::allocations(), 2u);
    EXPECT_NE(std::string(out.data).find("<h2 id=\"" + std::string(300, 'h') + "\">"), std::string::npos);
    wt_buf_reset(&out);
    alloc_hook::reset();
    ASSERT_EQ(wt_extract_headings_json((doc + long_heading + long_heading).c_str(), &out), 1);
    EXPECT_EQ(alloc_hook::allocations(), 2u);
    EXPECT_NE(std::string(out.data).find("\"anchor\":\"" + std::string(300, 'h') + "\"}]"), std::string::npos);
    wt_buf_free(&out);

    // Failing that buffer fails the call.
    wt_buf small{};
    wt_buf_init(&small, 1 << 20);
    alloc_hook::reset(1);
    EXPECT_EQ(wt_extract_headings_json(long_heading.c_str(), &small), 0);
    EXPECT_TRUE(alloc_hook::failed());
    wt_buf_reset(&small);
    alloc_hook::reset(1);
    EXPECT_EQ(wt_parse_to_html(long_heading.c_str(), nullptr, &small), 0);
    EXPECT_TRUE(alloc_hook::failed());
    alloc_hook::reset();
    wt_buf_free(&small);
}

// Fails the k-th allocation of `call` for k = 1, 2, ... until a call runs with
// no failure; each failing call must report failure and leak nothing, and the
// call after it, with memory available, must give `expected` exactly.
void fail_each_allocation(const std::string &expected,
                          const std::function<bool(std::string *)> &call, size_t min_allocations)
{
    size_t k = 1;
    for (;; ++k) {
        ASSERT_LT(k, 10000u);
        long live = alloc_hook::live_blocks();
        alloc_hook::reset(k);
        std::string got;
        bool ok = call(&got);
        bool failed = alloc_hook::failed();
        alloc_hook::reset();
        EXPECT_EQ(alloc_hook::live_blocks(), live) << "leak after failing allocation " << k;
        if (!failed) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(got, expected);
            break;
        }
        EXPECT_FALSE(ok) << "allocation " << k << " failed but the call reported success";
        std::string again;
        ASSERT_TRUE(call(&again)) << "after failing allocation " << k;
        EXPECT_EQ(again, expected) << "after failing allocation " << k;
    }
    EXPECT_GT(k, min_allocations) << "the document should need several allocations";
}

using entry_point = int (*)(const char *, wt_buf *);

int html_entry(const char *doc, wt_buf *out) { return wt_parse_to_html(doc, nullptr, out); }

TEST(AllocationFailure, ParserEntryPoints)
{
    std::string doc = rich_document(8);
    for (entry_point entry : {entry_point(html_entry), entry_point(wt_extract_links_json),
                              entry_point(wt_extract_headings_json)}) {
        wt_buf ref{};
        ASSERT_EQ(entry(doc.c_str(), &ref), 1);
        std::string expected(ref.data, ref.len);
        wt_buf_free(&ref);
        fail_each_allocation(expected, [&](std::string *got) {
            wt_buf out{}; // grows from nothing: 128, 256, ...
            int ok = entry(doc.c_str(), &out);
            *got = wt_buf_cstring(&out);
            wt_buf_free(&out);
            return ok == 1;
        }, 4);
    }
}

TEST(AllocationFailure, ReentrantApi)
{
    std::string doc = rich_document(40);
    using reentrant = char *(*)(const char *) noexcept;
    for (reentrant fn : {reentrant(wtcore_to_html_r), reentrant(wtcore_extract_links_json_r),
                         reentrant(wtcore_extract_headings_json_r)}) {
        std::string expected = take(fn(doc.c_str()));
        fail_each_allocation(expected, [&](std::string *got) {
            char *r = fn(doc.c_str());
            if (!r) return false;
            *got = take(r);
            return true;
        }, 2);
    }
}

// wtcore_render with every option, and with a NUL in the document (whose copy
// is one more allocation), fails cleanly at each allocation.
TEST(AllocationFailure, RenderWithOptions)
{
    std::string doc = rich_document(20) + "<b>'''<span class=\"c\" style=\"color:red\">x</b> [[a b|c]]";
    doc += std::string("\n== h\0 ==\n[[n|\0]]\n", 18) + doc; // a NUL in a heading and in a link
    wtcore_options opts;
    wtcore_options_init(&opts);
    opts.flags = WTCORE_ENCODE_TARGETS | WTCORE_BALANCE_TAGS | WTCORE_SAFE_ATTRIBUTES;
    opts.link_template = "/pages/$1.html";
    auto check = [&](int format) {
        auto call = [&](std::string *got) {
            char *r = nullptr;
            size_t n = 0;
            int status = wtcore_render(doc.data(), doc.size(), format, &opts, &r, &n);
            if (status != WTCORE_OK) {
                EXPECT_EQ(status, WTCORE_ERROR_MEMORY);
                EXPECT_EQ(r, nullptr);
                return false;
            }
            got->assign(r, n);
            wtcore_free(r);
            return true;
        };
        std::string expected;
        ASSERT_TRUE(call(&expected));
        EXPECT_NE(expected.find("\xEF\xBF\xBD"), std::string::npos) << format;
        fail_each_allocation(expected, call, 2);
    };
    for (int format : {WTCORE_FORMAT_HTML, WTCORE_FORMAT_LINKS_JSON, WTCORE_FORMAT_HEADINGS_JSON}) check(format);
    // The same under the extended syntax, whose formats read the copy too.
    opts.flags |= WTCORE_EXTENDED;
    for (int format : {WTCORE_FORMAT_HTML, WTCORE_FORMAT_LINKS_JSON, WTCORE_FORMAT_PAGE_JSON, WTCORE_FORMAT_TEXT}) check(format);
}

// The static-buffer functions keep their storage, so each round uses a
// document larger than any before it: the first allocation of the call is then
// the buffer's growth (or, for headings, an anchor), and failing it must fail
// the call with the function's own result and message.
TEST(AllocationFailure, StaticBufferFunctions)
{
    struct fn {
        const char *(*call)(const char *);
        char *(*call_r)(const char *) noexcept;
        const char *on_failure;
        const char *message;
    };
    auto html = [](const char *d) { return wtcore_to_html(d, nullptr); };
    for (fn f : {fn{html, wtcore_to_html_r, "", "Failed to convert wikitext to HTML"},
                 fn{wtcore_extract_links_json, wtcore_extract_links_json_r, "[]",
                    "Failed to extract links JSON"},
                 fn{wtcore_extract_headings_json, wtcore_extract_headings_json_r, "[]",
                    "Failed to extract headings JSON"}}) {
        int failures = 0;
        for (int copies : {200, 400, 800, 1600}) { // beyond the other tests' documents
            std::string doc = rich_document(copies);
            std::string expected = take(f.call_r(doc.c_str()));
            alloc_hook::reset(1);
            std::string got = f.call(doc.c_str());
            bool failed = alloc_hook::failed();
            std::string message = wtcore_last_error();
            alloc_hook::reset();
            if (failed) {
                ++failures;
                EXPECT_EQ(got, f.on_failure);
                EXPECT_EQ(message, f.message);
            } else {
                EXPECT_EQ(got, expected);
                EXPECT_EQ(message, "");
            }
            EXPECT_EQ(f.call(doc.c_str()), expected);
            EXPECT_STREQ(wtcore_last_error(), "");
        }
        EXPECT_EQ(failures, 4) << f.message;
    }
}

} // namespace
