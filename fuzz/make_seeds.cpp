// Writes a seed corpus for the fuzz targets.
//   make_seeds OUT_DIR MAX_LEN PATH...
// A PATH ending in ".txt" is a golden-case file: the value of each "in:" line,
// with its C escapes (\n \r \t \\ \" \xNN) decoded and "" meaning empty, becomes
// one seed. A directory contributes every ".wiki" file below it; a file longer
// than MAX_LEN is split at line feeds into pieces of at most MAX_LEN bytes (a
// longer line is cut). Prints how many seeds and bytes it wrote.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

size_t s_count = 0;
size_t s_bytes = 0;
fs::path s_out;

void write_seed(const std::string &bytes)
{
    char name[32];
    std::snprintf(name, sizeof name, "seed-%06zu", s_count++);
    std::ofstream(s_out / name, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    s_bytes += bytes.size();
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decode(const std::string &v)
{
    if (v == "\"\"") return {};
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out.push_back(v[i]);
            continue;
        }
        const char e = v[++i];
        if (e == 'n') out.push_back('\n');
        else if (e == 'r') out.push_back('\r');
        else if (e == 't') out.push_back('\t');
        else if (e == 'x' && i + 2 < v.size() && hex_value(v[i + 1]) >= 0 && hex_value(v[i + 2]) >= 0) {
            out.push_back(char(hex_value(v[i + 1]) * 16 + hex_value(v[i + 2])));
            i += 2;
        } else out.push_back(e); // \\ \" and anything else: the byte itself
    }
    return out;
}

void add_cases(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("in:", 0) != 0) continue;
        size_t i = 3;
        while (i < line.size() && line[i] == ' ') ++i;
        write_seed(decode(line.substr(i)));
    }
}

void add_document(const fs::path &file, size_t max_len)
{
    std::ifstream in(file, std::ios::binary);
    const std::string doc{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    size_t pos = 0;
    do {
        size_t len = doc.size() - pos;
        if (len > max_len) {
            len = max_len;
            const size_t lf = doc.rfind('\n', pos + max_len - 1);
            if (lf != std::string::npos && lf >= pos) len = lf + 1 - pos;
        }
        write_seed(doc.substr(pos, len));
        pos += len;
    } while (pos < doc.size());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: make_seeds OUT_DIR MAX_LEN PATH...\n");
        return 2;
    }
    s_out = argv[1];
    const size_t max_len = std::strtoul(argv[2], nullptr, 10);
    if (max_len == 0) {
        std::fprintf(stderr, "make_seeds: MAX_LEN must be a positive number\n");
        return 2;
    }
    std::error_code ec;
    fs::create_directories(s_out, ec);
    for (int i = 3; i < argc; ++i) {
        const fs::path p = argv[i];
        if (fs::is_directory(p)) {
            std::vector<fs::path> docs;
            for (const auto &e : fs::recursive_directory_iterator(p))
                if (e.is_regular_file() && e.path().extension() == ".wiki") docs.push_back(e.path());
            std::sort(docs.begin(), docs.end());
            for (const auto &d : docs) add_document(d, max_len);
        } else if (p.extension() == ".txt") {
            add_cases(p);
        } else if (fs::is_regular_file(p)) {
            add_document(p, max_len);
        } else {
            std::fprintf(stderr, "make_seeds: %s: no such file or directory\n", argv[i]);
            return 1;
        }
    }
    std::printf("make_seeds: %zu seeds, %zu bytes in %s\n", s_count, s_bytes, s_out.c_str());
    return 0;
}
