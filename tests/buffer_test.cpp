// wt_buf: capacities of the growth rule, the sticky failure flag and the
// escaping writers, including their fast paths against a byte-by-byte model.
#include "alloc_hook.h"
#include "reference.h"
#include "wt_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include <random>
#include <string>
#include <vector>

namespace {

struct Buf {
    wt_buf b{};
    ~Buf() { wt_buf_free(&b); }
    std::string str() const { return std::string(b.data ? b.data : "", b.len); }
};

TEST(Buffer, InitialCapacities)
{
    for (auto [ask, want] : {std::pair<size_t, size_t>{0, 64}, {1, 64}, {63, 64}, {64, 64},
                             {100, 100}, {4096, 4096}}) {
        Buf buf;
        wt_buf_init(&buf.b, ask);
        EXPECT_EQ(buf.b.cap, want) << "init " << ask;
        EXPECT_EQ(buf.b.len, 0u);
        EXPECT_STREQ(wt_buf_cstring(&buf.b), "");
    }
}

TEST(Buffer, GrowthRule)
{
    Buf a;
    wt_buf_init(&a.b, 0);
    ASSERT_TRUE(wt_buf_ensure(&a.b, 100));
    EXPECT_EQ(a.b.cap, 128u);

    Buf b;
    wt_buf_init(&b.b, 0);
    ASSERT_TRUE(wt_buf_ensure(&b.b, 300));
    EXPECT_EQ(b.b.cap, 512u);

    Buf c; // 60 bytes in 64: room for 3 more plus NUL fits exactly, 4 does not
    wt_buf_init(&c.b, 64);
    ASSERT_TRUE(wt_buf_append(&c.b, std::string(60, 'x').data(), 60));
    ASSERT_TRUE(wt_buf_ensure(&c.b, 3));
    EXPECT_EQ(c.b.cap, 64u);
    ASSERT_TRUE(wt_buf_ensure(&c.b, 4));
    EXPECT_EQ(c.b.cap, 128u);

    Buf d; // a full 4096 buffer asked for one more byte doubles
    wt_buf_init(&d.b, 4096);
    ASSERT_TRUE(wt_buf_append(&d.b, std::string(4095, 'x').data(), 4095));
    EXPECT_EQ(d.b.cap, 4096u);
    ASSERT_TRUE(wt_buf_append_char(&d.b, 'y'));
    EXPECT_EQ(d.b.cap, 8192u);
    EXPECT_EQ(d.b.data[4096], '\0');
}

TEST(Buffer, RecordWithoutStorage)
{
    alloc_hook::reset();
    Buf buf;
    EXPECT_EQ(wt_buf_append(&buf.b, "x", 0), 1);
    EXPECT_EQ(wt_buf_append(&buf.b, nullptr, 5), 1);
    EXPECT_EQ(wt_buf_append_str(&buf.b, nullptr), 1);
    EXPECT_EQ(alloc_hook::allocations(), 0u);
    EXPECT_STREQ(wt_buf_cstring(&buf.b), "");
    EXPECT_EQ(alloc_hook::allocations(), 0u);
    ASSERT_TRUE(wt_buf_append_char(&buf.b, 'a'));
    EXPECT_EQ(buf.b.cap, 128u);

    wt_buf_reset(&buf.b);
    EXPECT_STREQ(wt_buf_cstring(&buf.b), "");
    EXPECT_EQ(buf.b.cap, 128u);

    wt_buf_free(&buf.b);
    EXPECT_EQ(buf.b.data, nullptr);
    EXPECT_EQ(buf.b.cap, 0u);
    ASSERT_TRUE(wt_buf_append_str(&buf.b, "again"));
    EXPECT_EQ(buf.b.cap, 128u);
    EXPECT_EQ(buf.str(), "again");
}

TEST(Buffer, NullRecordTouchesNothing)
{
    EXPECT_EQ(wt_buf_append_str(nullptr, "x"), 0);
    EXPECT_EQ(wt_buf_append_char(nullptr, 'x'), 0);
    EXPECT_EQ(wt_buf_append(nullptr, "x", 1), 0);
    EXPECT_EQ(wt_buf_put(nullptr, "x", 1), 0);
    EXPECT_EQ(wt_buf_room(nullptr, 1), 0);
    EXPECT_EQ(wt_buf_reserve(nullptr, 1), nullptr);
    EXPECT_EQ(wt_buf_append_html_escaped(nullptr, "<", 1), 0);
    EXPECT_STREQ(wt_buf_cstring(nullptr), "");
    wt_buf_init(nullptr, 10);
    wt_buf_reset(nullptr);
    wt_buf_free(nullptr);
}

// Fast paths store more than they keep: reserve, write, commit what counts.
TEST(Buffer, ReserveAndCommit)
{
    Buf buf;
    ASSERT_TRUE(wt_buf_append_str(&buf.b, "ab"));
    char *dst = wt_buf_reserve(&buf.b, 200);
    ASSERT_NE(dst, nullptr);
    EXPECT_EQ(dst, buf.b.data + 2);
    EXPECT_GE(buf.b.cap, 203u);
    std::memset(dst, 'x', 200);
    wt_buf_commit(&buf.b, 3);
    EXPECT_EQ(buf.b.len, 5u);
    EXPECT_EQ(buf.str(), "abxxx");
    EXPECT_EQ(buf.b.data[5], '\0');

    alloc_hook::reset(1);
    EXPECT_EQ(wt_buf_reserve(&buf.b, 1000), nullptr);
    alloc_hook::reset();
    EXPECT_EQ(buf.str(), "abxxx");
}

TEST(Buffer, Writers)
{
    Buf h;
    ASSERT_TRUE(wt_buf_append_html_escaped(&h.b, "a<b & \"c\" 'd'", 13));
    EXPECT_EQ(h.str(), "a&lt;b &amp; &quot;c&quot; 'd'");

    Buf j;
    const char in[] = "\x09\x01\x22\x5c\xc3\xa9\x1f\x7f/";
    ASSERT_TRUE(wt_buf_append_json_escaped(&j.b, in, sizeof in - 1));
    EXPECT_EQ(j.str(), "\\t\\u0001\\\"\\\\\xc3\xa9\\u001f\x7f/");

    Buf w;
    ASSERT_TRUE(wt_buf_append_wiki_url(&w.b, "Main page (old)  x\"y", 20));
    EXPECT_EQ(w.str(), "Main_page_(old)__x&quot;y");

    Buf a;
    ASSERT_TRUE(wt_buf_append_attr_value(&a.b, "http://x\"q &<>\"", 15));
    EXPECT_EQ(a.str(), "http://x&quot;q &<>&quot;");
}

// The writers copy plain runs in bulk; compare with a byte-at-a-time model on
// random bytes drawn mostly from the characters they treat specially.
TEST(Buffer, WritersMatchBytewiseModel)
{
    std::mt19937 rng(7);
    static const char letters[] = "\"&<> _\\\t\n\x01\x1f\x7f\x80\xff" "abc";
    const std::string alphabet(letters, sizeof letters - 1);
    for (int round = 0; round < 1000; ++round) {
        std::string in(rng() % 80, '\0');
        for (char &c : in) c = alphabet[rng() % alphabet.size()];
        std::string url;
        for (char c : in) url += c == ' ' ? std::string("_") : c == '"' ? std::string("&quot;") : std::string(1, c);
        Buf h, j, u;
        wt_buf_append_html_escaped(&h.b, in.data(), in.size());
        wt_buf_append_json_escaped(&j.b, in.data(), in.size());
        wt_buf_append_wiki_url(&u.b, in.data(), in.size());
        ASSERT_EQ(h.str(), ref_html_escape(in));
        ASSERT_EQ(j.str(), ref_json_escape(in));
        ASSERT_EQ(u.str(), url);
        // With room to read ahead, short sources take the writers' piecewise
        // paths; a limit at the source's last byte allows them only where
        // whole pieces fit.
        const std::string padded = in + std::string(64, 'z');
        for (const char *limit : {padded.data() + padded.size() - 1, padded.data() + in.size() - 1}) {
            if (in.empty()) break;
            Buf jl, ul;
            wt_buf_append_json_escaped(&jl.b, padded.data(), in.size(), limit);
            wt_buf_append_wiki_url(&ul.b, padded.data(), in.size(), limit);
            ASSERT_EQ(jl.str(), ref_json_escape(in));
            ASSERT_EQ(ul.str(), url);
        }
    }
}

TEST(Buffer, FailedAllocationIsStickyAndLeavesContent)
{
    Buf buf;
    wt_buf_init(&buf.b, 64);
    ASSERT_TRUE(wt_buf_append_str(&buf.b, "kept"));
    alloc_hook::reset(1);
    std::string big(200, 'x');
    EXPECT_EQ(wt_buf_append(&buf.b, big.data(), big.size()), 0);
    EXPECT_TRUE(alloc_hook::failed());
    EXPECT_EQ(buf.str(), "kept");
    EXPECT_EQ(buf.b.cap, 64u);
    EXPECT_EQ(buf.b.failed, 1);
    alloc_hook::reset();
    EXPECT_EQ(wt_buf_append(&buf.b, big.data(), big.size()), 1);
    EXPECT_EQ(buf.b.failed, 1) << "the flag stays until reset";
    wt_buf_reset(&buf.b);
    EXPECT_EQ(buf.b.failed, 0);

    Buf none; // a failed init leaves a usable record without storage
    alloc_hook::reset(1);
    wt_buf_init(&none.b, 100);
    EXPECT_EQ(none.b.data, nullptr);
    EXPECT_EQ(none.b.cap, 0u);
    EXPECT_EQ(none.b.failed, 1);
    EXPECT_STREQ(wt_buf_cstring(&none.b), "");
    alloc_hook::reset();
}

TEST(Buffer, OverflowingRequestIsRefused)
{
    Buf buf;
    ASSERT_TRUE(wt_buf_append_str(&buf.b, "abc"));
    EXPECT_EQ(wt_buf_ensure(&buf.b, SIZE_MAX - 2), 0);
    EXPECT_EQ(wt_buf_ensure(&buf.b, SIZE_MAX / 2 + 10), 0);
    EXPECT_EQ(buf.str(), "abc");
    EXPECT_EQ(buf.b.cap, 128u);
}

} // namespace

TEST(Buffer, ScratchBlocksStayWithTheThread)
{
    wt_scratch_release();
    alloc_hook::reset();
    const long live = alloc_hook::live_blocks();
    wt_buf a{}, b{}, small{};
    wt_buf_init_scratch(&a, 4 * wt_scratch_min);
    wt_buf_init_scratch(&b, 2 * wt_scratch_min);
    wt_buf_init_scratch(&small, 1000);
    ASSERT_TRUE(wt_buf_append_str(&a, "old content"));
    char *const a_data = a.data;
    wt_buf_free_scratch(&a);
    wt_buf_free_scratch(&b);
    wt_buf_free_scratch(&small); // too small to keep
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(alloc_hook::live_blocks(), live + 2);

    // The smallest kept block that fits, emptied; small requests never take one.
    const size_t before = alloc_hook::allocations();
    wt_buf_init_scratch(&small, 1000);
    EXPECT_EQ(alloc_hook::allocations(), before + 1);
    wt_buf_init_scratch(&a, 3 * wt_scratch_min);
    EXPECT_EQ(a.data, a_data);
    EXPECT_STREQ(wt_buf_cstring(&a), "");
    EXPECT_EQ(a.len, 0u);
    EXPECT_EQ(alloc_hook::allocations(), before + 1);
    wt_buf_init_scratch(&b, 8 * wt_scratch_min); // none fits: a new block
    EXPECT_EQ(alloc_hook::allocations(), before + 2);
    wt_buf_free(&small);

    // A full pool gives its smallest block up for a larger one, and keeps no
    // more than its byte limit.
    std::vector<wt_buf> many(wt_scratch_slots);
    for (wt_buf &m : many) wt_buf_init_scratch(&m, wt_scratch_min);
    for (wt_buf &m : many) wt_buf_free_scratch(&m);
    wt_buf_free_scratch(&a); // in place of a block of wt_scratch_min
    EXPECT_EQ(alloc_hook::live_blocks(), live + long(wt_scratch_slots) + 1); // and b
    wt_buf huge{};
    wt_buf_init(&huge, wt_scratch_max + 1);
    if (huge.data) {
        wt_buf_free_scratch(&huge); // above the limit: freed
        EXPECT_EQ(alloc_hook::live_blocks(), live + long(wt_scratch_slots) + 1);
    }
    wt_buf_init_scratch(&a, 4 * wt_scratch_min); // a's block is among the kept ones
    EXPECT_EQ(a.data, a_data);
    wt_buf_free_scratch(&a);
    wt_buf_free_scratch(&b);
    wt_scratch_release();
    EXPECT_EQ(alloc_hook::live_blocks(), live);
}

TEST(Buffer, ScratchRecordsGrowIntoKeptBlocks)
{
    wt_scratch_release();
    wt_buf kept{};
    wt_buf_init_scratch(&kept, 8 * wt_scratch_min);
    char *const kept_data = kept.data;
    wt_buf_free_scratch(&kept);
    EXPECT_EQ(kept.scratch, 1);

    // A block more than four times the request stays kept.
    wt_buf near{};
    wt_buf_init_scratch(&near, wt_scratch_min);
    EXPECT_NE(near.data, kept_data);

    // Records that are not scratch grow by the heap alone.
    const std::string bytes(wt_scratch_min + 100, 'x');
    wt_buf plain{};
    ASSERT_TRUE(wt_buf_append(&plain, bytes.data(), bytes.size()));
    EXPECT_NE(plain.data, kept_data);
    wt_buf_free(&plain);

    // A scratch record that grows from nothing moves into the kept block once
    // it needs a quarter of it, its content intact.
    wt_buf grown{nullptr, 0, 0, 0, 1};
    for (size_t i = 0; i < bytes.size(); i += 1000)
        ASSERT_TRUE(wt_buf_append(&grown, bytes.data() + i, std::min<size_t>(1000, bytes.size() - i)));
    EXPECT_EQ(grown.data, kept_data);
    EXPECT_EQ(grown.cap, 8 * wt_scratch_min);
    EXPECT_EQ(std::string(grown.data, grown.len), bytes);
    EXPECT_EQ(grown.data[grown.len], '\0');
    wt_buf_free_scratch(&grown);
    wt_buf_free_scratch(&near);
    wt_scratch_release();
}
