// The dump reader for Python: pages of a wiki XML export as Page records, the
// ranges a multistream file can be split by, and the tool's JSON Lines for a
// file or a range. Reading (decompression and XML) runs without the
// interpreter lock; only the building of each Page holds it.
#include "bindings.h"

#include <tarnwick/dump.h>
#include <tarnwick/dump_line.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace td = tarnwick::dump;

namespace {

py::object s_dump_error; // tarnwick_wikitext.DumpError, registered at import

// Raises DumpError(message, page_id=..., offset=...) for a reader failure.
[[noreturn]] void raise_dump_error(const td::error &e)
{
    py::object page_id = e.page_id() >= 0 ? py::object(py::int_(e.page_id())) : py::object(py::none());
    py::object err = s_dump_error(py::str(e.what()), py::arg("page_id") = page_id,
                                  py::arg("offset") = py::int_(e.offset()));
    PyErr_SetObject(s_dump_error.ptr(), err.ptr());
    throw py::error_already_set();
}

enum class redirect_rule { include, skip, only };

// Which pages a reader hands out: namespaces, redirects and content models,
// read as the tool's dump command reads them (a page without <model> is
// wikitext, as in exports older than content models).
struct page_filter {
    std::optional<std::set<std::int64_t>> namespaces;
    redirect_rule redirects = redirect_rule::include;
    std::optional<std::set<std::string>> models;

    bool wanted(const td::page &p) const
    {
        if (namespaces && !namespaces->count(p.ns)) return false;
        if (redirects == redirect_rule::skip && p.is_redirect) return false;
        if (redirects == redirect_rule::only && !p.is_redirect) return false;
        if (models && !models->count(p.model.empty() ? std::string("wikitext") : p.model)) return false;
        return true;
    }
};

page_filter make_filter(const std::optional<std::vector<std::int64_t>> &ns, int redirects,
                        const std::optional<std::vector<std::string>> &models)
{
    page_filter f;
    if (ns) f.namespaces.emplace(ns->begin(), ns->end());
    f.redirects = static_cast<redirect_rule>(redirects);
    if (models) f.models.emplace(models->begin(), models->end());
    return f;
}

std::optional<td::byte_range> to_range(const std::optional<std::pair<std::uint64_t, std::uint64_t>> &r)
{
    if (!r) return std::nullopt;
    if (r->second < r->first) throw py::value_error("byte_range: the end lies before the start");
    return td::byte_range{r->first, r->second};
}

// A Python error raised inside the read callback, kept until the reader's
// failure reaches next(), which raises it instead of a DumpError.
struct pending_error {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    // Called with the interpreter lock held.
    void restore()
    {
        PyErr_Restore(type, value, trace);
        type = value = trace = nullptr;
    }
    ~pending_error()
    {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(trace);
    }
};

// The iterator that read_dump returns.
class page_reader {
public:
    page_reader(py::object source, page_filter filter,
                const std::optional<std::pair<std::uint64_t, std::uint64_t>> &range)
        : filter_(std::move(filter)), pending_(std::make_shared<pending_error>())
    {
        if (py::isinstance<py::str>(source) || py::isinstance<py::bytes>(source)) {
            const std::string path = source.cast<std::string>();
            std::optional<td::byte_range> r = to_range(range);
            std::optional<td::error> failure;
            {
                py::gil_scoped_release nogil;
                try {
                    reader_.emplace(r ? td::reader::open_range(path, *r) : td::reader::open(path));
                } catch (const td::error &e) {
                    failure.emplace(e);
                }
            }
            if (failure) raise_dump_error(*failure);
            return;
        }
        if (range) throw py::value_error("byte_range needs a path, not a file object");
        const bool has_readinto = py::hasattr(source, "readinto");
        if (!has_readinto && !py::hasattr(source, "read"))
            throw py::type_error("read_dump needs a path or a binary file object");
        file_ = source;
        // Called by the reader without the interpreter lock: takes it to read.
        auto read = [file = source, has_readinto, pending = pending_](char *buffer, std::size_t size) {
            py::gil_scoped_acquire gil;
            try {
                if (has_readinto) {
                    py::object view = py::reinterpret_steal<py::object>(
                        PyMemoryView_FromMemory(buffer, Py_ssize_t(size), PyBUF_WRITE));
                    if (!view) throw py::error_already_set();
                    py::object n = file.attr("readinto")(view);
                    view.attr("release")();
                    return n.is_none() ? std::size_t{0} : n.cast<std::size_t>();
                }
                py::object data = file.attr("read")(size);
                char *p = nullptr;
                Py_ssize_t n = 0;
                if (!PyBytes_Check(data.ptr()) || PyBytes_AsStringAndSize(data.ptr(), &p, &n) != 0)
                    throw py::type_error("read_dump needs a file opened in binary mode");
                if (std::size_t(n) > size) throw py::value_error("read() returned more bytes than asked for");
                std::memcpy(buffer, p, std::size_t(n));
                return std::size_t(n);
            } catch (py::error_already_set &e) {
                std::string message = e.what();
                e.restore();
                PyErr_Fetch(&pending->type, &pending->value, &pending->trace);
                throw std::runtime_error(message);
            } catch (const py::cast_error &e) {
                PyErr_SetString(PyExc_TypeError, e.what());
                PyErr_Fetch(&pending->type, &pending->value, &pending->trace);
                throw std::runtime_error(e.what());
            } catch (const py::builtin_exception &e) {
                e.set_error();
                PyErr_Fetch(&pending->type, &pending->value, &pending->trace);
                throw std::runtime_error(e.what());
            }
        };
        std::optional<td::error> failure;
        {
            py::gil_scoped_release nogil;
            try {
                reader_.emplace(td::reader::from_callback(read));
            } catch (const td::error &e) {
                failure.emplace(e);
            } catch (const std::bad_alloc &) {
                throw;
            } catch (const std::exception &e) { // the read function's own failure
                failure.emplace(e.what(), -1, 0);
            }
        }
        if (failure) fail(*failure);
    }

    // The next wanted page, or StopIteration at the end of the export.
    py::object next()
    {
        if (!reader_) throw py::stop_iteration();
        bool more = false;
        std::optional<td::error> failure;
        {
            py::gil_scoped_release nogil;
            try {
                do more = reader_->next(page_);
                while (more && !filter_.wanted(page_));
            } catch (const td::error &e) {
                failure.emplace(e);
            } catch (const std::bad_alloc &) {
                throw;
            } catch (const std::exception &e) { // the read function's own failure
                failure.emplace(e.what(), -1, 0);
            }
        }
        if (failure) {
            reader_.reset();
            fail(*failure);
        }
        if (!more) {
            reader_.reset();
            throw py::stop_iteration();
        }
        PyObject *items[7] = {
            PyLong_FromLongLong(page_.id),
            PyLong_FromLongLong(page_.ns),
            PyUnicode_DecodeUTF8(page_.title.data(), Py_ssize_t(page_.title.size()), "replace"),
            page_.is_redirect
                ? PyUnicode_DecodeUTF8(page_.redirect.data(), Py_ssize_t(page_.redirect.size()), "replace")
                : Py_NewRef(Py_None),
            PyLong_FromLongLong(page_.revision_id),
            PyUnicode_DecodeUTF8(page_.timestamp.data(), Py_ssize_t(page_.timestamp.size()), "replace"),
            PyUnicode_DecodeUTF8(page_.text.data(), Py_ssize_t(page_.text.size()), "replace"),
        };
        return make_record(page_record, items);
    }

    // What the reader has read so far, for progress reports.
    py::dict stats() const
    {
        py::dict d;
        if (reader_) {
            d["input_bytes"] = reader_->input_bytes();
            d["input_size"] = reader_->input_size();
            d["xml_bytes"] = reader_->xml_bytes();
            d["utf8_repairs"] = reader_->utf8_repairs();
        }
        return d;
    }

private:
    // Raises what stopped the reader: the file object's own error when it
    // raised one, else a DumpError.
    [[noreturn]] void fail(const td::error &e)
    {
        if (pending_->type) {
            pending_->restore();
            throw py::error_already_set();
        }
        raise_dump_error(e);
    }

    std::optional<td::reader> reader_;
    td::page page_;
    page_filter filter_;
    py::object file_;
    std::shared_ptr<pending_error> pending_;
};

// The JSON Lines of the tool's dump command for a file or a range of it: one
// object per wanted page, {"id","ns","title","revision","timestamp",
// "redirect" when the page is one, then a field per format}. Returns
// (lines, pages, xml_bytes).
py::tuple dump_jsonl(const std::string &path, const std::optional<std::pair<std::uint64_t, std::uint64_t>> &range,
                     const std::vector<std::string> &formats, unsigned flags,
                     const std::optional<std::string> &link_template,
                     const std::optional<std::vector<std::int64_t>> &ns, int redirects,
                     const std::optional<std::vector<std::string>> &models)
{
    std::vector<const td::line_field *> fields;
    for (const std::string &name : formats) {
        const td::line_field *hit = td::find_line_field(name);
        if (!hit) throw py::value_error("unknown format '" + name + "'");
        fields.push_back(hit);
    }
    const page_filter filter = make_filter(ns, redirects, models);
    const std::optional<td::byte_range> r = to_range(range);
    wtcore_options opts;
    wtcore_options_init(&opts);
    opts.flags = flags;
    if (link_template) opts.link_template = link_template->c_str();

    std::string out;
    std::uint64_t pages = 0, xml = 0;
    int status = WTCORE_OK;
    std::int64_t failed_page = 0;
    std::optional<td::error> failure;
    {
        py::gil_scoped_release nogil;
        try {
            td::reader reader = r ? td::reader::open_range(path, *r) : td::reader::open(path);
            td::page p;
            while (status == WTCORE_OK && reader.next(p)) {
                if (!filter.wanted(p)) continue;
                status = td::append_line(out, p, fields, opts);
                if (status != WTCORE_OK) {
                    failed_page = p.id;
                    break;
                }
                ++pages;
            }
            xml = reader.xml_bytes();
        } catch (const td::error &e) {
            failure.emplace(e);
        }
    }
    if (failure) raise_dump_error(*failure);
    if (status != WTCORE_OK) {
        if (status == WTCORE_ERROR_MEMORY) raise_status(status);
        throw py::value_error("page " + std::to_string(failed_page) + ": " + wtcore_status_message(status));
    }
    py::object lines = py::reinterpret_steal<py::object>(PyBytes_FromStringAndSize(out.data(), Py_ssize_t(out.size())));
    if (!lines) throw py::error_already_set();
    return py::make_tuple(lines, pages, xml);
}

// The independent ranges of an export: the streams of a multistream bzip2 file
// (from its index when given, else from the stream headers), page-aligned
// pieces of about piece_bytes of a plain XML file, or the whole file.
std::vector<std::pair<std::uint64_t, std::uint64_t>> dump_streams(const std::string &path,
                                                                  const std::optional<std::string> &index,
                                                                  std::uint64_t piece_bytes)
{
    std::vector<td::byte_range> ranges;
    std::optional<td::error> failure;
    {
        py::gil_scoped_release nogil;
        try {
            const td::compression kind = td::detect_compression(path);
            if (index) {
                if (kind != td::compression::bzip2)
                    throw td::error(*index + ": an index goes with a multistream bzip2 export", -1, 0);
                ranges = td::streams_from_index(*index, path);
            } else if (kind == td::compression::bzip2) {
                ranges = td::find_streams(path);
            } else {
                struct stat st;
                const std::uint64_t size = ::stat(path.c_str(), &st) == 0 ? std::uint64_t(st.st_size) : 0;
                if (kind == td::compression::none && piece_bytes > 0 && size > piece_bytes)
                    ranges = td::split_plain_xml(path, std::size_t(size / piece_bytes));
                else
                    ranges.push_back({0, size});
            }
        } catch (const td::error &e) {
            failure.emplace(e);
        }
    }
    if (failure) raise_dump_error(*failure);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    out.reserve(ranges.size());
    for (const td::byte_range &r : ranges) out.emplace_back(r.begin, r.end);
    return out;
}

} // namespace

void register_dump(py::module_ &m)
{
    m.attr("HAVE_DUMP") = true;
    m.def("_register_dump_error", [](py::object cls) { s_dump_error = std::move(cls); });

    py::class_<page_reader>(m, "_PageReader")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &page_reader::next)
        .def("stats", &page_reader::stats, "stats(): bytes read so far, of the input and of XML.");

    m.def(
        "_read_dump",
        [](py::object source, const std::optional<std::vector<std::int64_t>> &ns, int redirects,
           const std::optional<std::vector<std::string>> &models,
           const std::optional<std::pair<std::uint64_t, std::uint64_t>> &range) {
            return page_reader(std::move(source), make_filter(ns, redirects, models), range);
        },
        py::arg("source"), py::arg("ns"), py::arg("redirects"), py::arg("models"), py::arg("byte_range"));

    m.def("_dump_jsonl", &dump_jsonl, py::arg("path"), py::arg("byte_range"), py::arg("formats"),
          py::arg("flags"), py::arg("link_template"), py::arg("ns"), py::arg("redirects"), py::arg("models"));

    m.def("_dump_streams", &dump_streams, py::arg("path"), py::arg("index"), py::arg("piece_bytes"));
}
