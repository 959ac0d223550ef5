// wtcore_render and wtcore_visit: arguments and statuses, the length-aware
// reading of the document (NUL as U+FFFD), and the visitor against the JSON
// formats.
#include "reference.h"
#include "wtcore.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

struct rendered {
    int status = -1;
    std::string text;
    bool null_result = false;
};

rendered render(std::string_view doc, int format, const wtcore_options *options = nullptr)
{
    rendered r;
    char *out = reinterpret_cast<char *>(1);
    size_t len = 12345;
    r.status = wtcore_render(doc.data(), doc.size(), format, options, &out, &len);
    r.null_result = out == nullptr;
    if (out) {
        r.text.assign(out, len);
        wtcore_free(out);
    } else {
        EXPECT_EQ(len, 0u);
    }
    return r;
}

std::string html(std::string_view doc, const wtcore_options *options = nullptr)
{
    rendered r = render(doc, WTCORE_FORMAT_HTML, options);
    EXPECT_EQ(r.status, WTCORE_OK) << wtcore_status_message(r.status);
    return r.text;
}

TEST(Render, ArgumentsAndStatuses)
{
    char *out = nullptr;
    EXPECT_EQ(wtcore_render("x", 1, WTCORE_FORMAT_HTML, nullptr, nullptr, nullptr), WTCORE_ERROR_ARGUMENT);
    EXPECT_EQ(wtcore_render(nullptr, 1, WTCORE_FORMAT_HTML, nullptr, &out, nullptr), WTCORE_ERROR_ARGUMENT);
    EXPECT_EQ(out, nullptr);
    // A NULL document of length 0 is the empty document.
    ASSERT_EQ(wtcore_render(nullptr, 0, WTCORE_FORMAT_LINKS_JSON, nullptr, &out, nullptr), WTCORE_OK);
    EXPECT_STREQ(out, "[]");
    wtcore_free(out);

    EXPECT_EQ(render("x", -1).status, WTCORE_ERROR_OPTIONS);
    EXPECT_EQ(render("x", 99).status, WTCORE_ERROR_OPTIONS);
    EXPECT_TRUE(render("x", 99).null_result);

    wtcore_options opts;
    wtcore_options_init(&opts);
    EXPECT_EQ(opts.size, sizeof opts);
    EXPECT_EQ(opts.flags, 0u);
    EXPECT_EQ(opts.link_template, nullptr);
    EXPECT_EQ(render("x", WTCORE_FORMAT_HTML, &opts).text, "<p>x</p>\n");
    opts.flags = 0x80000000u;
    EXPECT_EQ(render("x", WTCORE_FORMAT_HTML, &opts).status, WTCORE_ERROR_OPTIONS);
    wtcore_options_init(&opts);
    opts.size = sizeof(size_t);
    EXPECT_EQ(render("x", WTCORE_FORMAT_HTML, &opts).status, WTCORE_ERROR_OPTIONS);

    for (int s : {WTCORE_OK, WTCORE_ERROR_MEMORY, WTCORE_ERROR_OPTIONS, WTCORE_ERROR_ARGUMENT, WTCORE_STOPPED})
        EXPECT_STRNE(wtcore_status_message(s), "unknown status") << s;
    EXPECT_STREQ(wtcore_status_message(-7), "unknown status");
}

// Only `length` bytes are read, and a NUL among them is U+FFFD in every format.
TEST(Render, LengthAndNul)
{
    const std::string doc = "== a\0b ==\n[[x\0y|z]] tail"s;
    EXPECT_EQ(html(std::string_view(doc).substr(0, 4)), "<p>== a</p>\n");
    EXPECT_EQ(html(std::string_view("\0", 1)), "<p>\xEF\xBF\xBD</p>\n");
    EXPECT_EQ(html(doc), "<h2 id=\"a\xEF\xBF\xBD"
                         "b\">a\xEF\xBF\xBD"
                         "b</h2>\n<p><a href=\"/wiki/x\xEF\xBF\xBDy\">z</a> tail</p>\n");
    EXPECT_EQ(render(doc, WTCORE_FORMAT_LINKS_JSON).text, "[{\"target\":\"x\xEF\xBF\xBDy\",\"text\":\"z\"}]");
    EXPECT_EQ(render(doc, WTCORE_FORMAT_HEADINGS_JSON).text,
              "[{\"level\":2,\"text\":\"a\xEF\xBF\xBD"
              "b\",\"anchor\":\"a\xEF\xBF\xBD"
              "b\"}]");
}

// Under the extended syntax, whose clean text marks its placeholders with
// NULs, a NUL anywhere (in a comment, a tag's content, a note, a stretch
// longer than a scan's window) reads as U+FFFD as well: every format of such
// a document equals that of the document with U+FFFD in the NULs' place.
TEST(Render, NulAnywhereUnderTheExtendedSyntax)
{
    const std::string pieces[] = {"\0"s, "\0\0"s, "<!-- a long comment that the scan jumps over \0 -->"s,
                                  "<nowiki>x\0y</nowiki>"s, "<ref>n\0</ref>"s, "<ref name=\"a\0\"/>"s,
                                  "{{t|a\0=b|c}}"s, "[[l\0|m]]"s, "[[File:f\0.png|thumb|c\0]]"s,
                                  "[[Category:K\0]]"s, "<math>\0</math>"s, "== h\0 ==\n"s, "\n{|\n| c\0\n|}\n"s,
                                  "#REDIRECT [[R\0]]\n"s, "__NO\0TOC__"s, "http://u\0/"s, std::string(70, 'x'),
                                  "<pre>\0</pre>"s, " text "s, "\n"s, "<gallery>\nF\0.png\n</gallery>"s,
                                  // longer than the scan's windows, NUL in the middle
                                  "<!--" + std::string(90, 'c') + "\0"s + std::string(90, 'c') + "-->",
                                  "<nowiki>" + std::string(90, 'n') + "\0"s + std::string(90, 'n') + "</nowiki>",
                                  "<math>" + std::string(90, 'm') + "\0"s + std::string(90, 'm') + "</math>"};
    const unsigned flag_sets[] = {WTCORE_EXTENDED, WTCORE_EXTENDED | WTCORE_BALANCE_TAGS, 0};
    // Documents of random pieces, then each long piece as the document's
    // only NUL, at several offsets, within the text and at its end.
    std::vector<std::string> docs;
    unsigned seed = 7;
    for (int doc_no = 0; doc_no < 150; ++doc_no) {
        std::string doc;
        const int count = 1 + doc_no % 23;
        for (int i = 0; i < count; ++i) {
            seed = seed * 1103515245u + 12345u;
            doc += pieces[(seed >> 16) % std::size(pieces)];
        }
        if (doc_no % 3 == 0) doc.insert(0, "\0"s); // before the redirect's line and the first window
        docs.push_back(doc);
    }
    for (size_t k = std::size(pieces) - 3; k < std::size(pieces); ++k)
        for (size_t offset : {0, 1, 30, 63, 64, 100}) {
            docs.push_back(std::string(offset, 'o') + pieces[k] + " tail");
            docs.push_back(std::string(offset, 'o') + pieces[k]);
        }
    for (size_t doc_no = 0; doc_no < docs.size(); ++doc_no) {
        const std::string &doc = docs[doc_no];
        std::string replaced;
        for (char c : doc) replaced += c ? std::string(1, c) : "\xEF\xBF\xBD"s;
        for (unsigned flags : flag_sets) {
            wtcore_options o;
            wtcore_options_init(&o);
            o.flags = flags;
            for (int format = WTCORE_FORMAT_HTML; format <= WTCORE_FORMAT_PAGE_JSON; ++format) {
                if (!flags && (format == WTCORE_FORMAT_HTML || format == WTCORE_FORMAT_LINKS_JSON ||
                               format == WTCORE_FORMAT_HEADINGS_JSON))
                    continue; // the core's formats: LengthAndNul
                const rendered a = render(doc, format, &o), b = render(replaced, format, &o);
                ASSERT_EQ(a.status, WTCORE_OK);
                ASSERT_EQ(a.text, b.text) << "document " << doc_no << ", format " << format << ", flags " << flags;
            }
        }
    }
}

struct asked {
    std::vector<std::string> pages;
};

int page_exists(void *ctx, const char *target, size_t n)
{
    auto *a = static_cast<asked *>(ctx);
    a->pages.emplace_back(target, n);
    return std::string(target, n) != "Missing page";
}

// Red links: the callback gets the page part of each link to a page, trimmed,
// with its context; a link to a missing page gets class="new".
TEST(Render, PageExists)
{
    asked a;
    wtcore_options opts;
    wtcore_options_init(&opts);
    opts.page_exists = page_exists;
    opts.context = &a;
    EXPECT_EQ(html("[[ Missing page #Sec | x]] [[Here]] [[#Local]] [[Missing page]]s", &opts),
              "<p><a href=\"/wiki/Missing_page_#Sec\" class=\"new\">x</a> <a href=\"/wiki/Here\">Here</a> "
              "<a href=\"#Local\">#Local</a> <a href=\"/wiki/Missing_page\" class=\"new\">Missing pages</a></p>\n");
    std::vector<std::string> want = {"Missing page", "Here", "Missing page"};
    EXPECT_EQ(a.pages, want);
}

// A link far from the document's end is written from a window of the text
// that the fast paths read at once; one at the very end goes through the
// general writer. Both must give the same bytes under every option.
TEST(Render, LinkWindowAgreesWithTheGeneralPath)
{
    const std::string filler(300, 'x');
    const char *links[] = {
        "[[a]]", "[[Main Page]]", "[[ a b | c d ]]s", "[[#Sec one|s]]", "[[a#b c]]", "[[a\"b]]", "[[x:y]]",
        "[[javascript:alert(1)]]", "[[//evil.example/x]]", "[[/etc/x]]", "[[a/b:c]]", "[[Caf\xC3\xA9 au lait]]",
        "[[a?b&c%d]]", "[[a/../b]]", "[[..]]", "[[a..b]]", "[[.x/y.]]", "[[~a-b.c_d!$'()*+,;=:@/e]]",
        "[[Missing page]]", "[[ Missing page |x]]", "[[\xD0\x91\xD1\x8A\xD0\xBB\xD0\xB3\xD0\xB0\xD1\x80\xD0\xB8\xD1\x8F]]",
        "[[A rather long page name that fills the window|and a label]]",
        "[[An even longer page name, of forty-odd bytes|with a label that passes thirty-two bytes]]"};
    const char *templates[] = {nullptr, "/wiki/$1", "$1.html", "/pages/$1.html", "?t=$1&x=$1"};
    asked a;
    for (unsigned flags = 0; flags <= (WTCORE_ENCODE_TARGETS | WTCORE_BALANCE_TAGS | WTCORE_SAFE_ATTRIBUTES); ++flags)
        for (const char *tpl : templates)
            for (bool red : {false, true})
                for (const char *link : links) {
                    wtcore_options opts;
                    wtcore_options_init(&opts);
                    opts.flags = flags;
                    opts.link_template = tpl;
                    if (red) {
                        opts.page_exists = page_exists;
                        opts.context = &a;
                    }
                    // The link alone ends the document; before the filler it
                    // lies wholly inside the window.
                    const std::string alone = html(std::string(link) + "\n", &opts);
                    const std::string first = html(std::string(link) + "\n\n" + filler + "\n", &opts);
                    const std::string rest = html(filler + "\n", &opts);
                    EXPECT_EQ(first, alone + rest) << link << " flags " << flags << " template " << (tpl ? tpl : "-")
                                                   << (red ? " red links" : "");
                }
}

// A caller built against this header passes its size; one built against an
// older, shorter record must still hold every field of the first release, and
// a longer record (a newer caller) is read up to the fields known here.
TEST(Render, OptionsRecordSizeAndTemplate)
{
    struct newer {
        wtcore_options known;
        const char *later_field;
    } n{};
    wtcore_options_init(&n.known);
    n.known.size = sizeof n;
    n.known.link_template = "$1.html";
    n.later_field = "ignored";
    EXPECT_EQ(html("[[a]]", &n.known), "<p><a href=\"a.html\">a</a></p>\n");

    wtcore_options o;
    wtcore_options_init(&o);
    o.size = sizeof o - 1;
    EXPECT_EQ(render("[[a]]", WTCORE_FORMAT_HTML, &o).status, WTCORE_ERROR_OPTIONS);
    wtcore_options_init(&o);
    o.link_template = "/wiki/";
    EXPECT_EQ(render("[[a]]", WTCORE_FORMAT_HTML, &o).status, WTCORE_ERROR_OPTIONS);
    o.link_template = "$";
    EXPECT_EQ(render("[[a]]", WTCORE_FORMAT_HTML, &o).status, WTCORE_ERROR_OPTIONS);
    o.link_template = "$1";
    EXPECT_EQ(html("[[a b]]", &o), "<p><a href=\"a_b\">a b</a></p>\n");
    o.external_rel = "";
    EXPECT_EQ(html("[http://x y]", &o), "<p><a href=\"http://x\" class=\"external\">y</a></p>\n");
}

// The template callback: what it is asked, in which order and when, and
// that its HTML stands as written in the template's place.
struct template_calls {
    std::vector<std::string> seen;          // "name(p=v,...)" per call
    std::vector<std::string_view> answers;  // per call; "-" declines (returns 0)
    size_t next = 0;
};

int template_html(void *ctx, const char *name, size_t name_n, const wtcore_template_param *params, size_t n,
                  wtcore_write_fn write, void *output)
{
    auto *c = static_cast<template_calls *>(ctx);
    std::string call(name, name_n);
    call += '(';
    for (size_t i = 0; i < n; ++i) {
        call += (i ? "," : "") + std::string(params[i].name, params[i].name_length) + "=" +
                std::string(params[i].value, params[i].value_length);
    }
    c->seen.push_back(call + ")");
    std::string_view answer = c->next < c->answers.size() ? c->answers[c->next] : "<b>T</b>";
    ++c->next;
    // In two pieces, to check that they add up.
    EXPECT_EQ(write(output, answer.data(), answer.size() / 2), 0);
    EXPECT_EQ(write(output, answer.data() + answer.size() / 2, answer.size() - answer.size() / 2), 0);
    return answer != "-";
}

std::string with_templates(std::string_view doc, template_calls &calls, unsigned flags = WTCORE_EXTENDED,
                           int format = WTCORE_FORMAT_HTML)
{
    wtcore_options o;
    wtcore_options_init(&o);
    o.flags = flags;
    o.template_html = template_html;
    o.context = &calls;
    rendered r = render(doc, format, &o);
    EXPECT_EQ(r.status, WTCORE_OK);
    return r.text;
}

TEST(Render, TemplateCallback)
{
    // Names trimmed and without subst:, parameters as the templates format
    // lists them; an outer template's value holds the inner one as written.
    template_calls c;
    EXPECT_EQ(with_templates("a {{ subst: T | x |k = v {{inner|1}} }} b {{#if:y|z}}{{PAGENAME}}{{{1|p}}}", c),
              "<p>a <b>T</b> b <b>T</b><b>T</b></p>\n");
    std::vector<std::string> want = {"T(1= x ,k= v {{inner|1}} )", "#if:y(1=z)", "PAGENAME()"};
    EXPECT_EQ(c.seen, want);

    // Declined (0, whatever was written): left out as without a callback;
    // an empty answer stands for nothing. A template alone on its line is a
    // block of its own, without a paragraph around it.
    template_calls d;
    d.answers = {"-", "", "<table><tr><td>box</td></tr></table>\n", "-"};
    EXPECT_EQ(with_templates("x {{a|<b>}} y {{b}} z\n{{Infobox|n=1}}\n{{c}}\ntext", d),
              "<p>x  y  z</p>\n<table><tr><td>box</td></tr></table>\n<p>text</p>\n");
    EXPECT_EQ(d.seen.size(), 4u);

    // The answer is written as given, markup and all, in a link's label and
    // a note too; a NUL in it becomes U+FFFD and no placeholder.
    template_calls e;
    e.answers = {"<span title=\"&\">'<>\"", std::string_view("[[x]]\0<\0r0>", 11), "{{{", "N"};
    EXPECT_EQ(with_templates("{{a}} [[p|q {{b}}]] {{c}}<ref>{{cite}}</ref>", e),
              "<p><span title=\"&\">'<>\" <a href=\"/wiki/p\">q [[x]]\xEF\xBF\xBD<\xEF\xBF\xBDr0></a> {{{"
              "<sup class=\"reference\" id=\"cite_ref-1\"><a href=\"#cite_note-1\">[1]</a></sup></p>\n"
              "<ol class=\"references\">\n<li id=\"cite_note-1\"><p>N</p>\n</li>\n</ol>\n");

    // Text reads the HTML; lists of notes are not asked for; neither the
    // data formats nor the core syntax call it.
    template_calls f;
    f.answers = {"<i>Hello</i> &amp; bye"};
    EXPECT_EQ(with_templates("{{greet}} you<ref>n</ref>\n{{reflist}}", f, WTCORE_EXTENDED, WTCORE_FORMAT_TEXT),
              "Hello & bye you\n");
    EXPECT_EQ(f.seen.size(), 1u);
    template_calls g;
    with_templates("{{a}}", g, WTCORE_EXTENDED, WTCORE_FORMAT_TEMPLATES_JSON);
    with_templates("{{a}}", g, WTCORE_EXTENDED, WTCORE_FORMAT_PAGE_JSON);
    EXPECT_EQ(with_templates("{{a}}", g, 0), "<p>{{a}}</p>\n");
    EXPECT_EQ(with_templates("{{a}}", g, WTCORE_BALANCE_TAGS), "<p>{{a}}</p>\n");
    EXPECT_TRUE(g.seen.empty());

    // A record of the size before the field: the callback is not read.
    wtcore_options o;
    wtcore_options_init(&o);
    o.size = offsetof(wtcore_options, file_template) + sizeof(char *);
    o.flags = WTCORE_EXTENDED;
    EXPECT_EQ(html("a{{b}}", &o), "<p>a</p>\n");
}

// A document at the very end of a heap block of its own size: nothing past
// `length` is read (ASan checks), whatever construct ends the document.
TEST(Render, ReadsNoByteAfterTheDocument)
{
    const char *ends[] = {"[[a|b]]", "[[a", "''", "http://x", "<span class=a>", "&amp;", "== h ==",
                          "[http://x y]", "* item", " pre", "<!-- c", "<nowiki>x</nowiki>", "[[a]]bc"};
    wtcore_options opts;
    wtcore_options_init(&opts);
    for (unsigned flags : {0u, WTCORE_ENCODE_TARGETS | WTCORE_BALANCE_TAGS | WTCORE_SAFE_ATTRIBUTES}) {
        opts.flags = flags;
        for (size_t pad : {0u, 1u, 15u, 31u, 63u, 64u, 200u, 5000u}) {
            for (const char *end : ends) {
                std::string text = std::string(pad, 'x') + " " + end;
                for (int format : {WTCORE_FORMAT_HTML, WTCORE_FORMAT_LINKS_JSON, WTCORE_FORMAT_HEADINGS_JSON}) {
                    std::unique_ptr<char[]> heap(new char[text.size()]);
                    std::memcpy(heap.get(), text.data(), text.size());
                    char *out = nullptr;
                    ASSERT_EQ(wtcore_render(heap.get(), text.size(), format, &opts, &out, nullptr), WTCORE_OK);
                    wtcore_free(out);
                }
            }
        }
    }
}

struct collected {
    std::vector<std::string> items;
    size_t stop_after = size_t(-1);
};

int on_link(void *ctx, const char *target, size_t tn, const char *text, size_t xn)
{
    auto *c = static_cast<collected *>(ctx);
    c->items.push_back("L " + std::string(target, tn) + "|" + std::string(text, xn));
    return c->items.size() >= c->stop_after;
}

int on_heading(void *ctx, int level, const char *text, size_t tn, const char *anchor, size_t an)
{
    auto *c = static_cast<collected *>(ctx);
    c->items.push_back("H" + std::to_string(level) + " " + std::string(text, tn) + "#" + std::string(anchor, an));
    return c->items.size() >= c->stop_after;
}

TEST(Visit, LinksThenHeadingsInOrder)
{
    const std::string doc = "== A b ==\n[[x| y ]] [[z]]\n=== ''C'' ===\n<!-- [[hidden]] -->\0[[n]]"s;
    wtcore_visitor v{sizeof(wtcore_visitor), on_link, on_heading};
    collected c;
    ASSERT_EQ(wtcore_visit(doc.data(), doc.size(), nullptr, &v, &c), WTCORE_OK);
    std::vector<std::string> want = {"L x|y", "L z|z", "L n|n", "H2 A b#A_b", "H3 ''C''#C"};
    EXPECT_EQ(c.items, want);

    collected only_headings;
    wtcore_visitor h{sizeof(wtcore_visitor), nullptr, on_heading};
    ASSERT_EQ(wtcore_visit(doc.data(), doc.size(), nullptr, &h, &only_headings), WTCORE_OK);
    EXPECT_EQ(only_headings.items.size(), 2u);

    collected stopped;
    stopped.stop_after = 2;
    EXPECT_EQ(wtcore_visit(doc.data(), doc.size(), nullptr, &v, &stopped), WTCORE_STOPPED);
    EXPECT_EQ(stopped.items.size(), 2u);

    wtcore_visitor small{sizeof(size_t), on_link, nullptr};
    EXPECT_EQ(wtcore_visit(doc.data(), doc.size(), nullptr, &small, &c), WTCORE_ERROR_OPTIONS);
    EXPECT_EQ(wtcore_visit(doc.data(), doc.size(), nullptr, nullptr, &c), WTCORE_ERROR_ARGUMENT);
}

} // namespace

namespace {

// The visitor and the JSON formats list the same items, with or without the
// extended syntax (whose clean text holds placeholders the visitor must not
// see).
struct json_lists {
    std::string links = "[", heads = "[";
};

std::string esc(const char *p, size_t n)
{
    return ref_json_escape(std::string_view(p, n));
}

int json_link(void *ctx, const char *t, size_t tn, const char *x, size_t xn)
{
    auto *j = static_cast<json_lists *>(ctx);
    if (j->links.size() > 1) j->links += ',';
    j->links += "{\"target\":\"" + esc(t, tn) + "\",\"text\":\"" + esc(x, xn) + "\"}";
    return 0;
}

int json_heading(void *ctx, int level, const char *t, size_t tn, const char *a, size_t an)
{
    auto *j = static_cast<json_lists *>(ctx);
    if (j->heads.size() > 1) j->heads += ',';
    j->heads += "{\"level\":" + std::to_string(level) + ",\"text\":\"" + esc(t, tn) + "\",\"anchor\":\"" +
                esc(a, an) + "\"}";
    return 0;
}

TEST(Visit, AgreesWithTheJsonFormats)
{
    const char *docs[] = {
        "== a {{t}} b ==\n[[x|y<ref>[[n]]</ref>]] {{t|[[c]]}} [[File:f.png|cap [[d]]]] [[Category:Z]]\n<references/>",
        "= ''h'' =\n[[a]] <!-- [[hidden]] --> [[b|c]]", "{{a|\n== in ==\n}}\n== out ==\n[[k]]",
        "== A <ref>x</ref> ==\n==B <nowiki>C</nowiki> <math>d</math>=="};
    for (unsigned flags : {0u, unsigned(WTCORE_EXTENDED)}) {
        wtcore_options opts;
        wtcore_options_init(&opts);
        opts.flags = flags;
        for (const char *doc : docs) {
            json_lists j;
            wtcore_visitor v{sizeof(wtcore_visitor), json_link, json_heading};
            ASSERT_EQ(wtcore_visit(doc, std::strlen(doc), &opts, &v, &j), WTCORE_OK);
            EXPECT_EQ(j.links + "]", render(doc, WTCORE_FORMAT_LINKS_JSON, &opts).text) << flags << " " << doc;
            EXPECT_EQ(j.heads + "]", render(doc, WTCORE_FORMAT_HEADINGS_JSON, &opts).text) << flags << " " << doc;
        }
    }
}

} // namespace
