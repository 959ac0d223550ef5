// tarnwick_wikitext._core: the library's render and visit calls for Python.
//
// A thin layer: it takes the document's bytes (the UTF-8 of a str, or the
// buffer of a bytes-like object), releases the interpreter lock around every
// library call, and builds the results as Python objects directly: strings
// from the result buffer, and the named tuples of the package (registered by
// tarnwick_wikitext/__init__.py) from the visitor's callbacks. The result has
// the document's type: str for str, bytes for anything else.
#include "bindings.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

unsigned flags_of(bool encode_targets, bool balance, bool safe_attributes, bool extended)
{
    return (encode_targets ? WTCORE_ENCODE_TARGETS : 0u) | (balance ? WTCORE_BALANCE_TAGS : 0u) |
           (safe_attributes ? WTCORE_SAFE_ATTRIBUTES : 0u) | (extended ? WTCORE_EXTENDED : 0u);
}

// One conversion of one document, without the interpreter lock.
py::object render(py::handle obj, int format, const options &opts)
{
    document doc(obj);
    char *out = nullptr;
    size_t n = 0;
    int status;
    {
        py::gil_scoped_release nogil;
        status = wtcore_render(doc.data(), doc.size(), format, opts.get(), &out, &n);
    }
    if (status != WTCORE_OK) raise_status(status);
    result_ptr owned(out);
    return make_string(out, n, doc.is_text());
}

// ---- Records built from the visitor ----------------------------------------

// The named tuple classes of the package. Each is a tuple subclass without
// instance dictionary, so an instance is made the way tuple.__new__ makes one:
// allocated with its size, then filled.
PyTypeObject *s_record_types[record_kinds];
constexpr const char *record_names[record_kinds] = {"Link", "Heading", "Page"};
constexpr Py_ssize_t record_sizes[record_kinds] = {2, 3, 7};

void register_record(const std::string &name, py::handle type)
{
    int kind = -1;
    for (int k = 0; k < record_kinds; ++k)
        if (name == record_names[k]) kind = k;
    if (kind < 0) throw py::value_error("unknown record type: " + name);
    if (!PyType_Check(type.ptr())) throw py::type_error("a record type must be a class");
    auto *t = reinterpret_cast<PyTypeObject *>(type.ptr());
    if (!PyType_IsSubtype(t, &PyTuple_Type) || t->tp_basicsize != PyTuple_Type.tp_basicsize ||
        t->tp_itemsize != PyTuple_Type.tp_itemsize || t->tp_dictoffset != 0)
        throw py::type_error(name + " must be a tuple subclass with __slots__ = ()");
    Py_INCREF(t);
    Py_XDECREF(s_record_types[kind]);
    s_record_types[kind] = t;
}

// What the visitor's callbacks collect while the interpreter lock is released:
// the strings back to back in one buffer, their lengths, and each heading's
// level. Growth can fail; a failure stops the walk and is reported after.
struct collected {
    std::string bytes;
    std::vector<size_t> lengths;
    std::vector<int> levels;
    bool out_of_memory = false;
};

int collect_link(void *context, const char *target, size_t target_length, const char *text,
                 size_t text_length) noexcept
{
    auto *c = static_cast<collected *>(context);
    try {
        c->bytes.append(target, target_length).append(text, text_length);
        c->lengths.push_back(target_length);
        c->lengths.push_back(text_length);
    } catch (...) {
        c->out_of_memory = true;
        return 1;
    }
    return 0;
}

int collect_heading(void *context, int level, const char *text, size_t text_length,
                    const char *anchor, size_t anchor_length) noexcept
{
    auto *c = static_cast<collected *>(context);
    try {
        c->bytes.append(text, text_length).append(anchor, anchor_length);
        c->lengths.push_back(text_length);
        c->lengths.push_back(anchor_length);
        c->levels.push_back(level);
    } catch (...) {
        c->out_of_memory = true;
        return 1;
    }
    return 0;
}

// Walks the document for one kind of record and returns the list of them.
py::list visit(py::handle obj, record_kind kind, bool extended)
{
    document doc(obj);
    wtcore_options opts;
    wtcore_options_init(&opts);
    opts.flags = extended ? WTCORE_EXTENDED : 0u;
    wtcore_visitor visitor{};
    visitor.size = sizeof visitor;
    if (kind == link_record)
        visitor.link = collect_link;
    else
        visitor.heading = collect_heading;
    collected c;
    int status;
    {
        py::gil_scoped_release nogil;
        status = wtcore_visit(doc.data(), doc.size(), &opts, &visitor, &c);
    }
    if (c.out_of_memory) raise_status(WTCORE_ERROR_MEMORY);
    if (status != WTCORE_OK) raise_status(status);

    constexpr size_t strings = 2; // target and text, or text and anchor
    const size_t count = c.lengths.size() / strings;
    py::list list(count);
    const char *p = c.bytes.data();
    const size_t *len = c.lengths.data();
    for (size_t i = 0; i < count; ++i) {
        PyObject *items[3];
        int k = 0;
        if (kind == heading_record) items[k++] = PyLong_FromLong(c.levels[i]);
        const char *first = p;
        for (size_t s = 0; s < strings; ++s, p += *len, ++len) {
            // Most links show their target: [[Page]] gives one string for both.
            if (s == 1 && len[0] == len[-1] && std::memcmp(p, first, *len) == 0 && items[k - 1]) {
                Py_INCREF(items[k - 1]);
                items[k] = items[k - 1];
                ++k;
                continue;
            }
            items[k++] = doc.is_text() ? PyUnicode_DecodeUTF8(p, Py_ssize_t(*len), nullptr)
                                       : PyBytes_FromStringAndSize(p, Py_ssize_t(*len));
        }
        PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), make_record(kind, items).release().ptr());
    }
    return list;
}

// ---- to_html, the call made once per document ---------------------------

// to_html is called once per document, often on small ones, so it is a plain
// CPython function taking its arguments as a vector with keyword names, not a
// pybind11 one, whose generic argument handling costs more than the library
// takes for a paragraph.
enum { kw_link_template, kw_encode_targets, kw_balance, kw_safe_attributes, kw_extended, kw_rel, kw_count };
constexpr const char *kw_names[kw_count] = {"link_template", "encode_targets", "balance",
                                            "safe_attributes", "extended", "rel"};
PyObject *s_kw[kw_count]; // the names, interned at import

// Reads a str-or-None option into *out (left NULL for None or absent); the
// pointer stays valid while the caller holds the argument. False with an
// exception set for another type or an embedded NUL.
bool option_string(PyObject *value, const char *name, const char **out)
{
    if (!value || value == Py_None) return true;
    Py_ssize_t n = 0;
    const char *p = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &n) : nullptr;
    if (!p) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must be str or None", name);
        return false;
    }
    if (std::strlen(p) != size_t(n)) {
        PyErr_Format(PyExc_ValueError, "%s must not contain a NUL character", name);
        return false;
    }
    *out = p;
    return true;
}

PyObject *fast_to_html(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept
{
    try {
        if (nargs != 1) {
            PyErr_Format(PyExc_TypeError, "to_html() takes 1 positional argument but %zd were given", nargs);
            return nullptr;
        }
        PyObject *values[kw_count] = {};
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            PyObject *name = PyTuple_GET_ITEM(kwnames, i);
            int k = 0;
            while (k < kw_count && name != s_kw[k]) ++k; // names in calls are interned
            if (k == kw_count)
                for (k = 0; k < kw_count && PyUnicode_Compare(name, s_kw[k]) != 0; ++k) {
                }
            if (k == kw_count) {
                PyErr_Format(PyExc_TypeError, "to_html() got an unexpected keyword argument '%U'", name);
                return nullptr;
            }
            values[k] = args[nargs + i];
        }
        wtcore_options opts;
        wtcore_options_init(&opts);
        constexpr struct {
            int kw;
            unsigned bit;
        } flag_args[] = {{kw_encode_targets, WTCORE_ENCODE_TARGETS},
                         {kw_balance, WTCORE_BALANCE_TAGS},
                         {kw_safe_attributes, WTCORE_SAFE_ATTRIBUTES},
                         {kw_extended, WTCORE_EXTENDED}};
        for (const auto &f : flag_args) {
            if (!values[f.kw]) continue;
            const int on = PyObject_IsTrue(values[f.kw]);
            if (on < 0) return nullptr;
            if (on) opts.flags |= f.bit;
        }
        if (!option_string(values[kw_link_template], "link_template", &opts.link_template) ||
            !option_string(values[kw_rel], "rel", &opts.external_rel))
            return nullptr;

        document doc(args[0]);
        char *out = nullptr;
        size_t n = 0;
        PyThreadState *state = PyEval_SaveThread();
        const int status = wtcore_render(doc.data(), doc.size(), WTCORE_FORMAT_HTML, &opts, &out, &n);
        PyEval_RestoreThread(state);
        if (status != WTCORE_OK) raise_status(status);
        result_ptr owned(out);
        return doc.is_text() ? PyUnicode_DecodeUTF8(out, Py_ssize_t(n), nullptr)
                             : PyBytes_FromStringAndSize(out, Py_ssize_t(n));
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (const py::builtin_exception &e) {
        e.set_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyMethodDef s_fast_methods[] = {
    {"to_html", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_to_html)),
     METH_FASTCALL | METH_KEYWORDS,
     R"(to_html($module, doc, /, *, link_template=None, encode_targets=False, balance=False, safe_attributes=False, extended=False, rel=None)
--

Renders wikitext as an HTML fragment.

A str gives a str. bytes (or any bytes-like object, read as UTF-8) give
bytes, without any decoding or encoding on the way.

link_template    address of internal links; "$1" stands for the target
                 (default "/wiki/$1")
encode_targets   percent-encode internal-link targets as URL paths
balance          well-formed output: every element closes within its block
safe_attributes  <span> keeps only class, title, lang, dir and a harmless style
extended         the syntax of the large public wikis: templates, references,
                 tables, files, categories
rel              rel of external links (default "nofollow")

Raises ValueError for options the library refuses (with its message),
MemoryError when memory runs out, TypeError for another type of document.
The interpreter lock is released during the conversion.)"},
    {nullptr, nullptr, 0, nullptr}};

// ---- Many documents ---------------------------------------------------------

// Converts a list of documents in one go: the buffers are taken, the lock is
// released for all the conversions, the result objects are allocated with the
// lock, and the bytes are copied into them without it. So the part of the work
// that holds the lock is small, and threads running batches scale.
py::list render_batch(py::list docs, int format, unsigned flags,
                      const std::optional<std::string> &link_template,
                      const std::optional<std::string> &rel)
{
    const options opts(flags, link_template, rel);
    const size_t n = docs.size();
    std::vector<std::unique_ptr<document>> in;
    in.reserve(n);
    for (py::handle d : docs) in.push_back(std::make_unique<document>(d));

    struct out_t {
        result_ptr data;
        size_t size = 0;
    };
    std::vector<out_t> out(n);
    int status = WTCORE_OK;
    {
        py::gil_scoped_release nogil;
        for (size_t i = 0; i < n && status == WTCORE_OK; ++i) {
            char *p = nullptr;
            status = wtcore_render(in[i]->data(), in[i]->size(), format, opts.get(), &p, &out[i].size);
            out[i].data.reset(p);
        }
    }
    if (status != WTCORE_OK) raise_status(status);

    py::list results(n);
    std::vector<char *> copy_to(n, nullptr);
    for (size_t i = 0; i < n; ++i) {
        PyObject *o;
        if (in[i]->is_text()) {
            o = PyUnicode_DecodeUTF8(out[i].data.get(), Py_ssize_t(out[i].size), nullptr);
        } else {
            o = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(out[i].size));
            if (o) copy_to[i] = PyBytes_AS_STRING(o);
        }
        if (!o) throw py::error_already_set();
        PyList_SET_ITEM(results.ptr(), Py_ssize_t(i), o);
    }
    {
        // The new bytes objects are not shared with any other thread yet.
        py::gil_scoped_release nogil;
        for (size_t i = 0; i < n; ++i)
            if (copy_to[i]) std::memcpy(copy_to[i], out[i].data.get(), out[i].size);
    }
    return results;
}

} // namespace

[[noreturn]] void raise_status(int status)
{
    if (status == WTCORE_ERROR_MEMORY) {
        PyErr_NoMemory();
        throw py::error_already_set();
    }
    if (status == WTCORE_ERROR_OPTIONS || status == WTCORE_ERROR_ARGUMENT)
        throw py::value_error(wtcore_status_message(status));
    throw std::runtime_error(wtcore_status_message(status));
}

py::object make_record(record_kind kind, PyObject *const *items)
{
    const Py_ssize_t n = record_sizes[kind];
    PyTypeObject *t = s_record_types[kind];
    bool ok = t != nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) ok = ok && items[i];
    PyObject *r = ok ? t->tp_alloc(t, n) : nullptr;
    if (!r) {
        for (Py_ssize_t i = 0; i < n; ++i) Py_XDECREF(items[i]);
        if (!t) throw std::runtime_error(std::string(record_names[kind]) + " is not registered");
        throw py::error_already_set();
    }
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(r, i, items[i]);
    return py::reinterpret_steal<py::object>(r);
}

PYBIND11_MODULE(_core, m)
{
    m.doc() = "Bindings of the tarnwick-wikitext-core library; use the tarnwick_wikitext package.";

    m.attr("FORMAT_HTML") = WTCORE_FORMAT_HTML;
    m.attr("FORMAT_LINKS_JSON") = WTCORE_FORMAT_LINKS_JSON;
    m.attr("FORMAT_HEADINGS_JSON") = WTCORE_FORMAT_HEADINGS_JSON;
    m.attr("FORMAT_TEXT") = WTCORE_FORMAT_TEXT;
    m.attr("FORMAT_TEMPLATES_JSON") = WTCORE_FORMAT_TEMPLATES_JSON;
    m.attr("FORMAT_CATEGORIES_JSON") = WTCORE_FORMAT_CATEGORIES_JSON;
    m.attr("FORMAT_PAGE_JSON") = WTCORE_FORMAT_PAGE_JSON;
    m.attr("ENCODE_TARGETS") = WTCORE_ENCODE_TARGETS;
    m.attr("BALANCE_TAGS") = WTCORE_BALANCE_TAGS;
    m.attr("SAFE_ATTRIBUTES") = WTCORE_SAFE_ATTRIBUTES;
    m.attr("EXTENDED") = WTCORE_EXTENDED;

    m.def("library_version", [] { return std::string(wtcore_version()); },
          "The version of the linked core library.");

    m.def("_register_record", &register_record, py::arg("name"), py::arg("type"));

    // The docstrings carry the signatures as the stubs write them.
    py::options doc_options;
    doc_options.disable_function_signatures();

    if (PyModule_AddFunctions(m.ptr(), s_fast_methods) != 0) throw py::error_already_set();
    for (int k = 0; k < kw_count; ++k) {
        s_kw[k] = PyUnicode_InternFromString(kw_names[k]);
        if (!s_kw[k]) throw py::error_already_set();
    }

    m.def(
        "to_text",
        [](py::handle doc, bool balance, bool safe_attributes) {
            const options opts(flags_of(false, balance, safe_attributes, true), std::nullopt,
                               std::nullopt);
            return render(doc, WTCORE_FORMAT_TEXT, opts);
        },
        py::arg("doc"), py::kw_only(), py::arg("balance") = false, py::arg("safe_attributes") = false,
        R"(to_text(doc)

The page as plain text, the way a reader sees it: no markup, entities
decoded, templates and reference markers left out (the extended syntax).
str in, str out; bytes in, bytes out.)");

    m.def(
        "_render",
        [](py::handle doc, int format, unsigned flags) {
            const options opts(flags, std::nullopt, std::nullopt);
            return render(doc, format, opts);
        },
        py::arg("doc"), py::arg("format"), py::arg("flags"),
        "_render(doc, format, flags): the library's result in one of its formats.");

    m.def(
        "links", [](py::handle doc, bool extended) { return visit(doc, link_record, extended); },
        py::arg("doc"), py::kw_only(), py::arg("extended") = false,
        R"(links(doc, *, extended=False)

The document's internal links in document order, as a list of
Link(target, text): the target as written (trimmed), and the text the link
shows. The strings have the document's type (str or bytes).)");
    m.def(
        "headings", [](py::handle doc, bool extended) { return visit(doc, heading_record, extended); },
        py::arg("doc"), py::kw_only(), py::arg("extended") = false,
        R"(headings(doc, *, extended=False)

The document's headings in document order, as a list of
Heading(level, text, anchor): level 1 to 6, the heading's text, and its
anchor, the id that to_html gives it. The strings have the document's type.)");

    m.def(
        "_time_render",
        [](py::handle obj, int format, long repeat) {
            // The library's own time per call, without the interpreter: the
            // baseline of the benchmark's per-call overhead.
            document doc(obj);
            int status = WTCORE_OK;
            std::chrono::duration<double> elapsed{};
            {
                py::gil_scoped_release nogil;
                const auto start = std::chrono::steady_clock::now();
                for (long i = 0; i < repeat && status == WTCORE_OK; ++i) {
                    char *out = nullptr;
                    status = wtcore_render(doc.data(), doc.size(), format, nullptr, &out, nullptr);
                    wtcore_free(out);
                }
                elapsed = std::chrono::steady_clock::now() - start;
            }
            if (status != WTCORE_OK) raise_status(status);
            return elapsed.count() / double(repeat > 0 ? repeat : 1);
        },
        py::arg("doc"), py::arg("format"), py::arg("repeat"),
        "_time_render(doc, format, repeat): seconds per wtcore_render call, timed in C++ (benchmarks).");

#ifdef WT_HAVE_DUMP
    register_dump(m);
#else
    m.attr("HAVE_DUMP") = false;
#endif

    register_render_pool(m);
    m.def("_render_batch", &render_batch, py::arg("docs"), py::arg("format"), py::arg("flags"),
          py::arg("link_template"), py::arg("rel"),
          "_render_batch(docs, format, flags, link_template, rel): a list of results, one per document.");
}
