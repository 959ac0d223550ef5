// The fuzz targets are only as good as their checks: each check must accept
// what the renderer writes and reject each kind of fault it is there to catch.
// Run by fuzz/run.sh before any fuzzing; exits 1 on the first disagreement.
#include "invariants.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

int s_failures = 0;

enum class kind { html, links, headings };

void expect(kind k, const char *out, bool ok)
{
    const size_t n = std::strlen(out);
    std::string why = k == kind::html    ? wtfuzz::check_html(out, n, nullptr)
                      : k == kind::links ? wtfuzz::check_links_json(out, n, nullptr)
                                         : wtfuzz::check_headings_json(out, n, nullptr);
    if (why.empty() != ok) {
        ++s_failures;
        std::fprintf(stderr, "check %s \"%s\" (%s)\n", ok ? "rejected" : "accepted",
                     wtfuzz::c_escape(out, n).c_str(), why.empty() ? "no fault found" : why.c_str());
    }
}

void expect_anchor(const char *text, const char *anchor)
{
    if (wtfuzz::expected_anchor(text) != anchor) {
        ++s_failures;
        std::fprintf(stderr, "anchor of \"%s\" is \"%s\", expected \"%s\"\n", text,
                     wtfuzz::expected_anchor(text).c_str(), anchor);
    }
}

} // namespace

int main()
{
    const kind H = kind::html, L = kind::links, J = kind::headings;

    // What the renderer writes.
    for (const char *good : {
             "",
             "<p>Hello\nworld</p>\n",
             "<p>say \"hi\" &amp; &lt;b&gt;</p>\n",
             "<h2 id=\"Title\">Title</h2>\n",
             "<h6 id=\"\"></h6>\n<h1 id=\"a\"><i>a</i></h1>\n",
             "<ul>\n<li>a\n<ul>\n<li>b</li>\n</ul>\n</li>\n<li>c</li>\n</ul>\n",
             "<dl>\n<dt>a</dt>\n<dd>b</dd>\n</dl>\n<ol>\n<li></li>\n</ol>\n<hr />\n",
             "<pre>a &quot;q&quot;\nb</pre>\n",
             "<p><a href=\"/wiki/a&quot;b\">a\"b</a></p>\n",
             "<p><a href=\"/wiki/a<b>\">a&lt;b&gt;</a></p>\n",
             "<p><a href=\"#x\">#x</a><a href=\"/wiki/\"></a></p>\n",
             "<p><a href=\"http://x&quot;q\" class=\"external\" rel=\"nofollow\">y</a></p>\n",
             "<p><a href=\"mailto:x\" class=\"external\" rel=\"nofollow\">[1]</a></p>\n",
             "<p><a href=\"/wiki/a\"><a href=\"http://x\" class=\"external\" rel=\"nofollow\">"
             "<a href=\"http://y\" class=\"external\" rel=\"nofollow\">http://y</a></a> z</a></p>\n",
             "<p><span title=\"a>b\">x</span><span style=\"color:red\">y</span><span >z</p>\n",
             "<p><span a=b c d = 'e>f' g/>x</p>\n",
             "<p><span title=a\"b =onclick=x \"onclick\"=y>x</p>\n",
             "<p>&lt;span onclick=\"x\"&gt;</p>\n",
             "<p><br> <br/> <br /><code></code><s></s><del></del><sub></sub><sup></sup>"
             "<u></u><b></b><i></i><span></span><small></small></p>\n",
         })
        expect(H, good, true);

    // Faults each check is there to catch.
    for (const char *bad : {
             "<p><a href=\"/wiki/a\"b\">a\"b</a></p>\n",            // '"' not escaped in href
             "<p><a href=\"http://x\"q\" class=\"external\" rel=\"nofollow\">y</a></p>\n",
             "<p><a href=\"/wiki/x\" onclick=\"y\">x</a></p>\n",
             "<p><a href=\"javascript:x\">x</a></p>\n",
             "<p><a href=\"ftp:x\" class=\"external\" rel=\"nofollow\">x</a></p>\n",
             "<p><a href=\"/wiki/x\">x</p>\n",                       // <a> not closed
             "<p>x</a></p>\n",                                      // </a> without <a>
             "<p><span onclick=\"x\">y</p>\n",
             "<p><span OnMouseOver=x>y</p>\n",
             "<p><span x=\"a\"onclick=y>z</p>\n",
             "<p><span x='a'/onclick=y>z</p>\n",
             "<p><span title=\"a>b\"&gt;x</p>\n",                   // tag cut at the first '>'
             "<p><span title=\"a<b\">x</p>\n",
             "<p><span class=\"x\"",
             "<p><span class=\"x</p>\n",
             "<p><div>x</p>\n",
             "<p><BR></p>\n",
             "<p><br ></p>\n",
             "<p>a>b</p>\n",                                        // '>' not escaped
             "<h2 id=\"a\">x</h3>\n",
             "<h2 id=\"a\">x</h2>",
             "<h2 id=\"a\">x",
             "<h7 id=\"a\">x</h7>\n",
             "<h2 id=\"a\" class=\"b\">x</h2>\n",
             "<h2 id=\"a&b\">x</h2>\n",
             "<h2 id=\"a\"><h3 id=\"b\">x</h3>\n</h2>\n",
             "<p>x</p>",                                            // block close without LF
         })
        expect(H, bad, false);

    for (const char *good : {
             "[]",
             "[{\"target\":\"Main Page\",\"text\":\"Main Page\"},{\"target\":\"a\",\"text\":\"\"}]",
             "[{\"target\":\"a\\\"\\\\\\b\\f\\n\\r\\tb\\u0001\\u001fz\",\"text\":\"\xc3\xa9/\x7f\"}]",
         })
        expect(L, good, true);
    for (const char *bad : {
             "", "[", "[ ]", " []", "[]\n", "[],",
             "[{\"target\":\"a\",\"text\":\"b\"},]",
             "[{\"text\":\"b\",\"target\":\"a\"}]",
             "[{\"target\":\"a\",\"text\":\"b\",\"x\":\"\"}]",
             "[{\"target\": \"a\",\"text\":\"b\"}]",
             "[{\"target\":\"a\",\"text\":\"b\"}{\"target\":\"a\",\"text\":\"b\"}]",
             "[{\"target\":\"a\",\"text\":\"b\"}",
             "[{\"target\":\"a\tb\",\"text\":\"b\"}]",              // raw tab
             "[{\"target\":\"a\\/b\",\"text\":\"b\"}]",
             "[{\"target\":\"\\u0041\",\"text\":\"b\"}]",           // not the writer's form
             "[{\"target\":\"\\u0009\",\"text\":\"b\"}]",
             "[{\"target\":\"\\u001F\",\"text\":\"b\"}]",           // uppercase hex
             "[{\"target\":\"a\",\"text\":\"b\\\"}]",
             "[{\"target\":\" a\",\"text\":\"a\"}]",                // not trimmed
         })
        expect(L, bad, false);

    for (const char *good : {
             "[]",
             "[{\"level\":2,\"text\":\"Title\",\"anchor\":\"Title\"}]",
             "[{\"level\":1,\"text\":\"\",\"anchor\":\"\"},{\"level\":6,\"text\":\"=\",\"anchor\":\"=\"}]",
             "[{\"level\":2,\"text\":\"Tom & Jerry's \\\"Show\\\"\",\"anchor\":\"Tom_Jerrys_Show\"}]",
             "[{\"level\":2,\"text\":\"a\\tb\",\"anchor\":\"a_b\"}]",
             "[{\"level\":2,\"text\":\"''Intro''\",\"anchor\":\"Intro\"}]",
         })
        expect(J, good, true);
    for (const char *bad : {
             "[{\"level\":0,\"text\":\"\",\"anchor\":\"\"}]",
             "[{\"level\":7,\"text\":\"\",\"anchor\":\"\"}]",
             "[{\"level\":12,\"text\":\"\",\"anchor\":\"\"}]",
             "[{\"level\":\"2\",\"text\":\"\",\"anchor\":\"\"}]",
             "[{\"text\":\"\",\"level\":2,\"anchor\":\"\"}]",
             "[{\"level\":2,\"text\":\"a b\",\"anchor\":\"a b\"}]",  // anchor not by the rule
             "[{\"level\":2,\"text\":\"a\",\"anchor\":\"a\"},]",
             "[{\"level\":2,\"text\":\"a \",\"anchor\":\"a\"}]",
         })
        expect(J, bad, false);

    expect_anchor("Title", "Title");
    expect_anchor("a_b  c", "a_b_c");
    expect_anchor("_a_", "a");
    expect_anchor("a - b", "a_-_b");
    expect_anchor("Tom & Jerry's \"Show\"", "Tom_Jerrys_Show");
    expect_anchor("&&&", "");
    expect_anchor("_", "");
    expect_anchor("a _\"_ b", "a_b");
    expect_anchor("[[Main Page|Home]]", "[[Main_Page|Home]]");
    expect_anchor("A <!-- c -->", "A_!--_c_--");
    expect_anchor("<b>x</b>", "bx/b");

    // Event handlers, read as a browser reads a tag's attributes.
    struct handler_case {
        const char *html;
        bool handler;
    };
    for (const handler_case &c : std::initializer_list<handler_case>{
             {"<p><span style= onclick=x>d</span></p>", false}, // style's value is "onclick=x"
             {"<p><span title= \t onclick=\"alert(1)\">d</span></p>", false},
             {"<p><span =onclick=x>d</span></p>", false}, // the name is "=onclick"
             {"<p><a href=\"http://x onclick=y\" class=\"external\">x</a></p>", false},
             {"<p>&lt;span onclick=x&gt;</p>", false},
             {"<p><span title=a onclick=x>d</span></p>", true},
             {"<p><span title = \"a\" onclick>d</span></p>", true},
             {"<p><span = onclick=x>d</span></p>", true}, // an attribute "=", then onclick
             {"<p><span title=\"a\"onclick=x>d</span></p>", true},
             {"<p><span title='a' ONMOUSEOVER=x>d</span></p>", true},
             {"<p><br/onclick=x></p>", true},
         }) {
        if (wtfuzz::event_attribute(c.html).empty() == c.handler) {
            ++s_failures;
            std::fprintf(stderr, "event handler %s in \"%s\"\n", c.handler ? "missed" : "seen", c.html);
        }
    }

    std::vector<wtfuzz::heading> html{{2, {}, "A"}, {3, {}, "B"}};
    std::vector<wtfuzz::heading> json{{2, "A", "A"}, {3, "B", "B"}};
    if (!wtfuzz::compare_headings(html, json).empty()) ++s_failures;
    json[1].level = 4;
    if (wtfuzz::compare_headings(html, json).empty()) ++s_failures;
    json[1] = {3, "B", "C"};
    if (wtfuzz::compare_headings(html, json).empty()) ++s_failures;
    json.pop_back();
    if (wtfuzz::compare_headings(html, json).empty()) ++s_failures;

    if (s_failures) std::fprintf(stderr, "%d check(s) disagreed\n", s_failures);
    else std::printf("invariant checks: all samples judged as expected\n");
    return s_failures ? 1 : 0;
}
