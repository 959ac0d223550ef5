// The dump reader on the exports that dump/tools/make_export.py builds (every
// page checked against the generator's record of it, in each compressed form
// and each way of splitting), and on malformed, truncated and hostile input.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tarnwick/dump.h"

namespace td = tarnwick::dump;

namespace {

const std::string dir = EXPORT_DIR;

struct expected_page {
    std::int64_t id, ns, revision;
    bool redirect;
    std::string title, target, timestamp, model, text;
};

std::string unhex(const std::string &h)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2) out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

const std::vector<expected_page> &expected()
{
    static const std::vector<expected_page> pages = [] {
        std::vector<expected_page> v;
        std::ifstream in(dir + "/expected.tsv");
        std::string line;
        while (std::getline(in, line)) {
            std::vector<std::string> f;
            std::stringstream ss(line);
            std::string cell;
            while (std::getline(ss, cell, '\t')) f.push_back(cell);
            if (f.size() == 8) f.emplace_back();  // empty text
            EXPECT_EQ(f.size(), 9u) << line.substr(0, 80);
            if (f.size() != 9) continue;
            v.push_back({std::stoll(f[0]), std::stoll(f[1]), std::stoll(f[2]), f[3] == "1", unhex(f[4]), unhex(f[5]),
                         unhex(f[6]), unhex(f[7]), unhex(f[8])});
        }
        return v;
    }();
    return pages;
}

std::vector<td::page> read_all(td::reader &r)
{
    std::vector<td::page> out;
    td::page p;
    while (r.next(p)) out.push_back(p);
    return out;
}

void expect_pages(const std::vector<td::page> &got, const std::string &what)
{
    const auto &want = expected();
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const td::page &g = got[i];
        const expected_page &w = want[i];
        SCOPED_TRACE(what + ", page " + std::to_string(w.id));
        EXPECT_EQ(g.id, w.id);
        EXPECT_EQ(g.ns, w.ns);
        EXPECT_EQ(g.revision_id, w.revision);
        EXPECT_EQ(g.is_redirect, w.redirect);
        EXPECT_EQ(g.title, w.title);
        EXPECT_EQ(g.redirect, w.target);
        EXPECT_EQ(g.timestamp, w.timestamp);
        EXPECT_EQ(g.model, w.model);
        EXPECT_EQ(g.text, w.text);
    }
}

// A reader over a string, handing out at most `step` bytes a call.
td::reader string_reader(std::string doc, std::size_t step = 1 << 16, td::reader_options opt = {})
{
    auto pos = std::make_shared<std::size_t>(0);
    auto data = std::make_shared<std::string>(std::move(doc));
    return td::reader::from_callback(
        [pos, data, step](char *buf, std::size_t n) {
            std::size_t k = std::min({n, step, data->size() - *pos});
            std::copy_n(data->data() + *pos, k, buf);
            *pos += k;
            return k;
        },
        opt);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string write_temp(const std::string &name, const std::string &data)
{
    std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << data;
    return path;
}

constexpr const char *doc_head = "<mediawiki><siteinfo><sitename>S</sitename></siteinfo>";
std::string one_page(int id, const std::string &text)
{
    return "<page><title>P" + std::to_string(id) + "</title><ns>0</ns><id>" + std::to_string(id) +
           "</id><revision><id>" + std::to_string(id * 10) + "</id><text>" + text + "</text></revision></page>";
}

} // namespace

TEST(DumpReader, EveryFormOfTheExport)
{
    for (const char *name : {"export.xml", "export-utf16.xml", "export.xml.gz", "export.xml.bz2",
                             "export-multistream.xml.bz2"}) {
        td::reader_options ahead;
        ahead.background_decompression = true;
        td::reader b = td::reader::open(dir + "/" + name, ahead);
        expect_pages(read_all(b), std::string(name) + " decompressed ahead");
        td::reader r = td::reader::open(dir + "/" + name);
        expect_pages(read_all(r), name);
        const td::site_info &site = r.site();
        EXPECT_EQ(site.sitename, "Tarnwick Test Wiki") << name;
        EXPECT_EQ(site.dbname, "tarnwiki");
        EXPECT_EQ(site.case_rule, "first-letter");
        ASSERT_EQ(site.namespaces.size(), 8u);
        EXPECT_EQ(site.namespaces[2].key, 0);
        EXPECT_EQ(site.namespaces[2].name, "");
        EXPECT_EQ(site.namespaces[6].key, 14);
        EXPECT_EQ(site.namespaces[6].name, "Category");
    }
    EXPECT_EQ(td::detect_compression(dir + "/export.xml.gz"), td::compression::gzip);
    EXPECT_EQ(td::detect_compression(dir + "/export-multistream.xml.bz2"), td::compression::bzip2);
    EXPECT_EQ(td::detect_compression(dir + "/export-utf16.xml"), td::compression::none);
}

TEST(DumpReader, DescriptorsAndCallbacksInSmallReads)
{
    int fd = ::open((dir + "/export.xml.bz2").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    td::reader r = td::reader::from_fd(fd, true);
    expect_pages(read_all(r), "descriptor");
    // Reads of an odd size cut multi-byte characters and markup everywhere.
    td::reader s = string_reader(read_file(dir + "/export.xml"), 4093);
    expect_pages(read_all(s), "callback");
    td::reader g = string_reader(read_file(dir + "/export.xml.gz"), 1001);
    expect_pages(read_all(g), "callback gzip");
}

TEST(DumpReader, StreamsFromTheIndexAndFromTheHeaders)
{
    std::string path = dir + "/export-multistream.xml.bz2";
    auto found = td::find_streams(path);
    auto listed = td::streams_from_index(dir + "/export-multistream-index.txt.bz2", path);
    // The index does not list the site information's stream (it starts at
    // 0 anyway) nor the closing tag's, which stays with the last pages.
    ASSERT_GE(found.size(), 4u);
    EXPECT_EQ(found.size(), listed.size() + 1);
    EXPECT_EQ(found.front().begin, 0u);
    EXPECT_EQ(listed.back().end, found.back().end);
    for (const auto &ranges : {found, listed, td::group_ranges(found, 50000)}) {
        std::vector<td::page> all;
        for (const td::byte_range &range : ranges) {
            td::reader r = td::reader::open_range(path, range);
            for (td::page &p : read_all(r)) {
                EXPECT_GE(p.stream_offset, range.begin);
                EXPECT_LT(p.stream_offset, range.end);
                all.push_back(std::move(p));
            }
        }
        expect_pages(all, "ranges");
    }
    // Each page starts in the stream the index names for it.
    std::map<std::int64_t, std::uint64_t> where;
    {
        td::reader r = td::reader::open(path);
        td::page p;
        while (r.next(p)) where[p.id] = p.stream_offset;
    }
    for (std::size_t i = 1; i < found.size() - 1; ++i) {
        td::reader r = td::reader::open_range(path, found[i]);
        td::page p;
        while (r.next(p)) EXPECT_EQ(where[p.id], found[i].begin) << p.id;
    }
}

TEST(DumpReader, PlainXmlSplitAtPages)
{
    std::string path = dir + "/export.xml";
    for (std::size_t pieces : {1, 2, 7, 50}) {
        auto ranges = td::split_plain_xml(path, pieces);
        EXPECT_GE(ranges.size(), std::min<std::size_t>(pieces, 2)) << pieces;
        std::vector<td::page> all;
        std::string xml = read_file(path);
        for (const td::byte_range &range : ranges) {
            if (range.begin > 0) {
                EXPECT_EQ(xml.compare(range.begin, 6, "<page>"), 0);
            }
            td::reader r = td::reader::open_range(path, range);
            for (td::page &p : read_all(r)) {
                EXPECT_EQ(xml.compare(p.stream_offset, 6, "<page>"), 0) << p.id;
                all.push_back(std::move(p));
            }
        }
        expect_pages(all, "pieces " + std::to_string(pieces));
    }
    // A UTF-16 document is never cut.
    EXPECT_EQ(td::split_plain_xml(dir + "/export-utf16.xml", 8).size(), 1u);
}

TEST(DumpReader, BadInputStopsWithTheNextPagesMessage)
{
    struct bad_case {
        std::string doc;
        std::size_t pages_before;
        std::string message;
    };
    td::reader_options small;
    small.max_text_size = 1000;
    const std::vector<bad_case> cases = {
        {doc_head + one_page(1, "a") + "<page><title>x</titel></page></mediawiki>", 1, "XML byte"},
        {doc_head + one_page(1, "a") + "<page><title>T</title><id>2</id><revision><id>3</id></revision></page>", 1,
         "page 2, XML byte"},
        {doc_head + one_page(1, "a") + "<page><title>T</title><id>5</id></page></mediawiki>", 1, "no <revision>"},
        {doc_head + one_page(1, "a") + one_page(2, "b"), 2, "no element found"},
        {doc_head + one_page(1, "a") + "<page><id>x7</id></page>", 1, "<id> is not a number"},
        {doc_head + one_page(1, "a") + one_page(2, std::string(1001, 'x')) + "</mediawiki>", 1,
         "text longer than 1000 bytes; refused"},
        {"", 0, "no element found"},
        {"not xml at all", 0, "syntax error"},
        {doc_head + one_page(1, "a") + "</mediawiki><mediawiki/>", 1, "junk after document element"},
        {doc_head + one_page(1, "&undefined;") + "</mediawiki>", 0, "undefined entity"},
        {"<?xml version=\"1.0\"?><!DOCTYPE m [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">"
         "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
         "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
         "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">]>" +
             std::string("<mediawiki>") + one_page(1, "&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;") + "</mediawiki>",
         0, "amplification factor"},
    };
    for (const bad_case &c : cases) {
        for (std::size_t step : {std::size_t{3}, std::size_t{1} << 16}) {
            bool expands = c.message == "amplification factor";
            td::reader r = string_reader(c.doc, step, expands ? td::reader_options{} : small);
            std::size_t pages = 0;
            td::page p;
            std::string message;
            try {
                while (r.next(p)) ++pages;
            } catch (const td::error &e) {
                message = e.what();
            }
            EXPECT_EQ(pages, c.pages_before) << c.doc.substr(0, 120);
            EXPECT_NE(message.find(c.message), std::string::npos) << message << "\nwanted: " << c.message;
        }
    }
}

TEST(DumpReader, LongTextAcrossChunksKeepsEveryLineEnd)
{
    // Line ends of each kind (CR LF and CR read as LF), references, CDATA and
    // multi-byte characters, over more than two chunks of the parser's input.
    std::string xml, text;
    for (int i = 0; xml.size() < (std::size_t{600} << 10); ++i) {
        std::string n = std::to_string(i);
        xml += "line " + n + " \xd1\x91";
        text += "line " + n + " \xd1\x91";
        switch (i % 5) {
        case 0: xml += "\n"; text += "\n"; break;
        case 1: xml += "\r\n"; text += "\n"; break;
        case 2: xml += "\r"; text += "\n"; break;
        case 3: xml += "&lt;&amp;&#10;&#13;\n\n"; text += "<&\n\r\n\n"; break;
        case 4: xml += "<![CDATA[[[x]]\n<y>]]>\n"; text += "[[x]]\n<y>\n"; break;
        }
    }
    std::string doc = doc_head + one_page(1, xml) + one_page(2, "short\nlines\n") + "</mediawiki>";
    auto check = [&](td::reader r, const std::string &what) {
        auto pages = read_all(r);
        ASSERT_EQ(pages.size(), 2u) << what;
        EXPECT_TRUE(pages[0].text == text) << what << ": " << pages[0].text.size() << " bytes for " << text.size();
        EXPECT_EQ(pages[1].text, "short\nlines\n") << what;
    };
    for (std::size_t step : {std::size_t{4093}, std::size_t{1} << 16, std::size_t{1} << 20})
        check(string_reader(doc, step), "reads of " + std::to_string(step));
    std::string path = write_temp("long-text.xml", doc);
    check(td::reader::open(path), "file");
    check(td::reader::open_range(path, {0, doc.size()}), "range");

    // The limit holds for text gathered from many lines as for one run.
    td::reader_options small;
    small.max_text_size = 1000;
    std::string lines;
    for (int i = 0; i < 300; ++i) lines += "line\n";
    // Exactly at the bound, the text is whole.
    td::reader at_bound = string_reader(doc_head + one_page(1, lines.substr(0, 1000)) + "</mediawiki>", 1 << 16, small);
    auto whole = read_all(at_bound);
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(whole[0].text, lines.substr(0, 1000));
    td::reader r = string_reader(doc_head + one_page(1, lines) + "</mediawiki>", 1 << 16, small);
    td::page p;
    try {
        r.next(p);
        ADD_FAILURE() << "no error for 1500 bytes of text";
    } catch (const td::error &e) {
        EXPECT_NE(std::string(e.what()).find("text longer than 1000 bytes"), std::string::npos) << e.what();
    }
}

TEST(DumpReader, PlainXmlSplitInsideLongPages)
{
    // Nominal offsets that fall deep inside a page: the boundary is found
    // blocks later, at the next page's line.
    std::string doc = std::string("<mediawiki>\n  <siteinfo><sitename>S</sitename></siteinfo>\n");
    for (int id = 1; id <= 6; ++id) {
        std::string text(std::size_t{150} << 10, 'a');
        for (std::size_t i = 80; i < text.size(); i += 81) text[i] = '\n';
        doc += "  " + one_page(id, text) + "\n";
    }
    doc += "</mediawiki>\n";
    std::string path = write_temp("long-pages.xml", doc);
    auto ranges = td::split_plain_xml(path, 24);
    EXPECT_EQ(ranges.size(), 6u);
    std::vector<std::int64_t> ids;
    for (const td::byte_range &range : ranges) {
        td::reader r = td::reader::open_range(path, range);
        for (const td::page &p : read_all(r)) ids.push_back(p.id);
    }
    EXPECT_EQ(ids, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6}));
}

TEST(DumpReader, TruncatedAndCorruptCompressedData)
{
    std::string bz = read_file(dir + "/export.xml.bz2");
    std::string gz = read_file(dir + "/export.xml.gz");
    std::string corrupt_gz = gz;
    corrupt_gz[3] = '\xe0';  // reserved header flags
    struct file_case {
        std::string name, data, message;
    };
    const std::vector<file_case> cases = {
        {"cut.bz2", bz.substr(0, bz.size() / 2), "bzip2 stream at byte 0: truncated"},
        {"cut.gz", gz.substr(0, gz.size() / 2), "gzip stream at byte 0: truncated"},
        {"flags.gz", corrupt_gz, "gzip stream at byte 0: corrupt data"},
        {"tail.bz2", bz + "garbage", "not a bzip2 stream"},
        {"mangled.bz2", bz.substr(0, 40) + std::string(2000, 'z') + bz.substr(2040), "bzip2 stream at byte 0"},
    };
    for (const file_case &c : cases) {
        td::reader_options ahead;
        ahead.background_decompression = c.name.ends_with(".bz2");
        td::reader r = td::reader::open(write_temp(c.name, c.data), ahead);
        std::size_t pages = 0;
        std::string message;
        td::page p;
        try {
            while (r.next(p)) {
                ASSERT_LT(pages, expected().size());
                EXPECT_EQ(p.text, expected()[pages].text);
                ++pages;
            }
        } catch (const td::error &e) {
            message = e.what();
        }
        EXPECT_NE(message.find(c.message), std::string::npos) << c.name << ": " << message;
    }
}

TEST(DumpReader, InvalidUtf8IsReplacedAndCounted)
{
    // Invalid bytes, an overlong form, a surrogate, a cut sequence; and a
    // valid four-byte character that small reads split.
    std::string text = "a\xff" "b\xc0\xaf" "c\xed\xa0\x80" "d\xe2\x82" "e \xf0\x9f\x98\x80 \xc3\xa9";
    std::string doc = doc_head + one_page(1, text) + "</mediawiki>";
    for (std::size_t step : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{1} << 16}) {
        td::reader r = string_reader(doc, step);
        auto pages = read_all(r);
        ASSERT_EQ(pages.size(), 1u);
        EXPECT_EQ(pages[0].text, "a\xef\xbf\xbd" "b\xef\xbf\xbd\xef\xbf\xbd" "c\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"
                                 "d\xef\xbf\xbd" "e \xf0\x9f\x98\x80 \xc3\xa9");
        EXPECT_EQ(r.utf8_repairs(), 7u);
        EXPECT_EQ(r.first_repair_offset(), doc.find('\xff'));
    }
    td::reader_options strict;
    strict.repair_utf8 = false;
    td::reader r = string_reader(doc, 1 << 16, strict);
    td::page p;
    EXPECT_THROW(r.next(p), td::error);
}

TEST(DumpReader, IndexErrors)
{
    std::string data = dir + "/export-multistream.xml.bz2";
    EXPECT_THROW(td::streams_from_index(write_temp("bad-index.txt", "12:1:A\nxyz\n"), data), td::error);
    EXPECT_THROW(td::streams_from_index(write_temp("far-index.txt", "999999999999:1:A\n"), data), td::error);
    EXPECT_THROW(td::find_streams(dir + "/export.xml"), td::error);
    EXPECT_THROW(td::reader::open(dir + "/no-such-file.xml"), td::error);
}
