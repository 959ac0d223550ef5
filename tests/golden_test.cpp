// Golden cases: every tests/cases/*.txt file lists documents and the exact
// results that the public functions must give for them. The format is
// described at the top of tests/cases/render.txt. A malformed file fails
// loudly as a test of its own; it is never skipped.
#include "wtcore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

// The result keys of a case and the formats of wtcore_render they name.
struct format_key {
  const char *key;
  int format;
};
constexpr format_key format_keys[] = {
    {"html", WTCORE_FORMAT_HTML},           {"links", WTCORE_FORMAT_LINKS_JSON},
    {"heads", WTCORE_FORMAT_HEADINGS_JSON}, {"text", WTCORE_FORMAT_TEXT},
    {"templates", WTCORE_FORMAT_TEMPLATES_JSON}, {"categories", WTCORE_FORMAT_CATEGORIES_JSON},
    {"page", WTCORE_FORMAT_PAGE_JSON},
};

struct Case {
  std::string file;     // e.g. "render.txt"
  int line = 0;         // line of the case's in: key
  std::string section;  // the last "## " title before it
  std::string in;
  std::optional<std::string> opts;  // the words of its opts: line
  std::optional<std::string> html, links, heads;
  std::vector<std::pair<int, std::string>> others;  // further formats: (format, expected)
  std::string error;    // set instead when the file is malformed at line
};

// Options from the words of an opts: line; returns an error text or "".
// Words: encode-targets balance safe-attributes extended, template=T, rel=R,
// categories=C, files=F, file-template=T, toc-html=H.
// The strings live in `store`, which must outlive the options.
std::string parse_opts(const std::string &words, wtcore_options &o, std::vector<std::string> &store) {
  wtcore_options_init(&o);
  store.clear();
  store.reserve(8);
  size_t i = 0;
  while (i < words.size()) {
    size_t e = words.find(' ', i);
    if (e == std::string::npos) e = words.size();
    const std::string w = words.substr(i, e - i);
    i = e + 1;
    if (w.empty()) continue;
    if (w == "encode-targets") o.flags |= WTCORE_ENCODE_TARGETS;
    else if (w == "balance") o.flags |= WTCORE_BALANCE_TAGS;
    else if (w == "safe-attributes") o.flags |= WTCORE_SAFE_ATTRIBUTES;
    else if (w == "extended") o.flags |= WTCORE_EXTENDED;
    else if (w.rfind("template=", 0) == 0) o.link_template = store.emplace_back(w.substr(9)).c_str();
    else if (w.rfind("rel=", 0) == 0) o.external_rel = store.emplace_back(w.substr(4)).c_str();
    else if (w.rfind("categories=", 0) == 0) o.category_namespaces = store.emplace_back(w.substr(11)).c_str();
    else if (w.rfind("files=", 0) == 0) o.file_namespaces = store.emplace_back(w.substr(6)).c_str();
    else if (w.rfind("file-template=", 0) == 0) o.file_template = store.emplace_back(w.substr(14)).c_str();
    else if (w.rfind("toc-html=", 0) == 0) o.toc_html = store.emplace_back(w.substr(9)).c_str();
    else return "unknown option word: " + w;
  }
  return "";
}

// Printable form with C escapes, quoted, for failure messages.
std::string c_escape(const std::string &s) {
  std::string r = "\"";
  for (unsigned char c : s) {
    if (c == '\n') r += "\\n";
    else if (c == '\r') r += "\\r";
    else if (c == '\t') r += "\\t";
    else if (c == '\\') r += "\\\\";
    else if (c == '"') r += "\\\"";
    else if (c < 0x20 || c >= 0x7f) {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02x", c);
      r += b;
    } else r += static_cast<char>(c);
  }
  return r + "\"";
}

int hex_digit(char h) {
  if (h >= '0' && h <= '9') return h - '0';
  if (h >= 'a' && h <= 'f') return h - 'a' + 10;
  if (h >= 'A' && h <= 'F') return h - 'A' + 10;
  return -1;
}

// Decodes a value's escapes into out; returns an error text, or "" on success.
std::string unescape(const std::string &v, std::string &out) {
  out.clear();
  if (v == "\"\"") return "";
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\') { out += v[i]; continue; }
    const char e = i + 1 < v.size() ? v[++i] : '\0';
    if (e == 'n') out += '\n';
    else if (e == 'r') out += '\r';
    else if (e == 't') out += '\t';
    else if (e == '\\') out += '\\';
    else if (e == '"') out += '"';
    else if (e == 'x' && i + 2 < v.size() && hex_digit(v[i + 1]) >= 0 && hex_digit(v[i + 2]) >= 0) {
      const int b = hex_digit(v[i + 1]) * 16 + hex_digit(v[i + 2]);
      out += static_cast<char>(b);
      i += 2;
    } else return "bad escape at column " + std::to_string(i);
  }
  return "";
}

void load_file(const std::filesystem::path &path, std::vector<Case> &cases) {
  const std::string file = path.filename().string();
  auto fail = [&](int line, const std::string &msg) {
    Case c;
    c.file = file;
    c.line = line;
    c.error = msg;
    cases.push_back(c);
  };
  std::ifstream f(path, std::ios::binary);
  if (!f) return fail(0, "cannot open " + path.string());
  std::optional<Case> cur;
  // Moves the open case into the list; false if it has no expectation.
  auto finish = [&] {
    if (cur && !cur->html && !cur->links && !cur->heads && cur->others.empty()) {
      fail(cur->line, "case has no result line");
      return false;
    }
    if (cur) cases.push_back(*cur);
    cur.reset();
    return true;
  };
  std::string section, text;
  for (int n = 1; std::getline(f, text); ++n) {
    if (text.empty()) continue;
    if (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')
      return fail(n, "line ends in a blank, tab or CR");
    if (std::any_of(text.begin(), text.end(), [](char c) { return c >= 0 && c < 0x20; }))
      return fail(n, "raw control byte; write it as an escape");
    if (text.rfind("##", 0) == 0) {
      if (!finish()) return;
      section = text.substr(std::min(text.size(), text.find_first_not_of("# ")));
      continue;
    }
    if (text[0] == '#') continue;
    const size_t colon = text.find(':');
    const std::string key = text.substr(0, colon);
    const format_key *fk = std::find_if(std::begin(format_keys), std::end(format_keys),
                                        [&](const format_key &k) { return key == k.key; });
    if (colon == std::string::npos || (key != "in" && key != "opts" && fk == std::end(format_keys)))
      return fail(n, "unknown key: " + c_escape(key));
    const size_t v = text.find_first_not_of(' ', colon + 1);
    if (v == std::string::npos) return fail(n, "empty value; write \"\"");
    std::string value;
    if (const std::string err = unescape(text.substr(v), value); !err.empty()) return fail(n, err);
    if (key == "in") {
      if (!finish()) return;
      cur = Case{file, n, section, value, {}, {}, {}, {}, {}, {}};
      // The functions that read up to a NUL cannot take such a document:
      // only wtcore_render, with its default options, gives its results.
      if (value.find('\0') != std::string::npos) cur->opts = "";
      continue;
    }
    if (!cur) return fail(n, key + ": without a preceding in:");
    if (key == "opts") {
      if ((cur->opts && !cur->opts->empty()) || cur->html || cur->links || cur->heads || !cur->others.empty())
        return fail(n, "opts: must come once, right after in:");
      wtcore_options o;
      std::vector<std::string> store;
      if (std::string err = parse_opts(value, o, store); !err.empty()) return fail(n, err);
      cur->opts = value;
      continue;
    }
    std::optional<std::string> *slot = key == "html" ? &cur->html : key == "links" ? &cur->links
                                     : key == "heads" ? &cur->heads : nullptr;
    // With options, or for the newer formats, only wtcore_render gives the result.
    if (!slot || cur->opts) {
      if (std::any_of(cur->others.begin(), cur->others.end(), [&](auto &o) { return o.first == fk->format; }))
        return fail(n, "second " + key + ": line for one case");
      cur->others.emplace_back(fk->format, value);
      continue;
    }
    if (*slot) return fail(n, "second " + key + ": line for one case");
    *slot = value;
  }
  finish();
}

std::vector<Case> load_cases() {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator(CASES_DIR, ec))
    if (e.path().extension() == ".txt") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::vector<Case> cases;
  for (const auto &p : files) load_file(p, cases);
  if (cases.empty()) {
    Case c;
    c.file = "cases";
    c.error = "no cases found in " CASES_DIR;
    cases.push_back(c);
  }
  return cases;
}

std::string case_name(const ::testing::TestParamInfo<Case> &info) {
  std::string name = info.param.file + "_" + std::to_string(info.param.line);
  for (char &c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

// Runs one conversion, plain then reentrant, and compares the plain result
// with the expectation and the reentrant one with the plain one.
// Then wtcore_render with the default options must give the same bytes.
template <class Plain, class Reentrant>
void check(const Case &c, const char *what, Plain plain, Reentrant reentrant, int format,
           const std::optional<std::string> &want) {
  const std::string where = c.file + ":" + std::to_string(c.line) + " [" + c.section + "] " + what;
  const std::string got = plain(c.in.c_str());
  EXPECT_STREQ(wtcore_last_error(), "") << where;
  if (want && got != *want)
    ADD_FAILURE() << where << "\n  input:    " << c_escape(c.in) << "\n  expected: " << c_escape(*want)
                  << "\n  actual:   " << c_escape(got);
  char *r = reentrant(c.in.c_str());
  if (!r) {
    ADD_FAILURE() << where << ": the _r form returned NULL";
    return;
  }
  if (got != r)
    ADD_FAILURE() << where << ": the _r form differs\n  input: " << c_escape(c.in)
                  << "\n  plain: " << c_escape(got) << "\n  _r:    " << c_escape(r);
  wtcore_free(r);
  EXPECT_STREQ(wtcore_last_error(), "") << where << " (after the _r form)";
  char *rendered = nullptr;
  size_t len = 0;
  const int status = wtcore_render(c.in.data(), c.in.size(), format, nullptr, &rendered, &len);
  if (status != WTCORE_OK || !rendered) {
    ADD_FAILURE() << where << ": wtcore_render failed: " << wtcore_status_message(status);
    return;
  }
  if (std::string(rendered, len) != got || std::strlen(rendered) != len)
    ADD_FAILURE() << where << ": wtcore_render differs\n  input:  " << c_escape(c.in)
                  << "\n  plain:  " << c_escape(got) << "\n  render: " << c_escape(std::string(rendered, len));
  wtcore_free(rendered);
}

// Keeps gtest from dumping the record's bytes when it names a parameter.
void PrintTo(const Case &c, std::ostream *os) { *os << c.file << ":" << c.line; }

class Golden : public ::testing::TestWithParam<Case> {};

TEST_P(Golden, Matches) {
  const Case &c = GetParam();
  if (!c.error.empty()) FAIL() << c.file << ":" << c.line << ": malformed case file: " << c.error;
  if (!c.opts) {
    check(c, "html", [](const char *d) { return wtcore_to_html(d, nullptr); }, wtcore_to_html_r,
          WTCORE_FORMAT_HTML, c.html);
    check(c, "links", wtcore_extract_links_json, wtcore_extract_links_json_r, WTCORE_FORMAT_LINKS_JSON,
          c.links);
    check(c, "heads", wtcore_extract_headings_json, wtcore_extract_headings_json_r,
          WTCORE_FORMAT_HEADINGS_JSON, c.heads);
  }
  wtcore_options o;
  std::vector<std::string> store;
  if (c.opts) parse_opts(*c.opts, o, store);
  for (const auto &other : c.others) {
    const int format = other.first;
    const std::string &want = other.second;
    const char *key = std::find_if(std::begin(format_keys), std::end(format_keys),
                                   [&](const format_key &k) { return k.format == format; })->key;
    const std::string where = c.file + ":" + std::to_string(c.line) + " [" + c.section + "] " + key +
                              (c.opts ? " (" + *c.opts + ")" : "");
    char *r = nullptr;
    size_t len = 0;
    const int status = wtcore_render(c.in.data(), c.in.size(), format, c.opts ? &o : nullptr, &r, &len);
    if (status != WTCORE_OK) {
      ADD_FAILURE() << where << ": wtcore_render failed: " << wtcore_status_message(status);
      continue;
    }
    const std::string got(r, len);
    wtcore_free(r);
    if (got != want)
      ADD_FAILURE() << where << "\n  input:    " << c_escape(c.in) << "\n  expected: " << c_escape(want)
                    << "\n  actual:   " << c_escape(got);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Golden, ::testing::ValuesIn(load_cases()), case_name);

}  // namespace
