// What the parts of the extension module share.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <wtcore.h>

#include <memory>
#include <optional>
#include <string>

namespace py = pybind11;

// Raises the Python exception for a failed status of the library:
// MemoryError, or ValueError with the library's message.
[[noreturn]] void raise_status(int status);

// The named tuple classes of the package that the module builds, registered
// by tarnwick_wikitext/__init__.py at import.
enum record_kind { link_record, heading_record, page_record, record_kinds };

// A new record of the given kind from its items, whose references it takes
// (an item may be NULL after a failed conversion: the error is raised).
py::object make_record(record_kind kind, PyObject *const *items);

// Adds render_many's pool of converting threads (render_pool.cpp).
void register_render_pool(py::module_ &m);

#ifdef WT_HAVE_DUMP
// Adds read_dump's reader, dump_streams and the dump's JSON Lines (dump.cpp).
void register_dump(py::module_ &m);
#endif

// The bytes of one document. A str gives its UTF-8 form, which CPython keeps
// with the string, so the pointer stays valid while the caller holds the str;
// a buffer is held (and its exporter pinned) until the document is dropped.
// Constructed and destroyed with the interpreter lock held.
class document {
public:
    explicit document(py::handle obj)
    {
        PyObject *o = obj.ptr();
        if (PyUnicode_Check(o)) {
            Py_ssize_t n = 0;
            data_ = PyUnicode_AsUTF8AndSize(o, &n);
            if (!data_) throw py::error_already_set();
            size_ = size_t(n);
            text_ = true;
        } else if (PyBytes_Check(o)) {
            data_ = PyBytes_AS_STRING(o);
            size_ = size_t(PyBytes_GET_SIZE(o));
        } else if (PyObject_CheckBuffer(o)) {
            if (PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
            held_ = true;
            data_ = static_cast<const char *>(view_.buf);
            size_ = size_t(view_.len);
        } else {
            throw py::type_error(std::string("document must be str or a bytes-like object, not ") +
                                 Py_TYPE(o)->tp_name);
        }
    }
    document(const document &) = delete;
    document &operator=(const document &) = delete;
    ~document()
    {
        if (held_) PyBuffer_Release(&view_);
    }

    const char *data() const { return data_; }
    size_t size() const { return size_; }
    bool is_text() const { return text_; }

private:
    const char *data_ = nullptr;
    size_t size_ = 0;
    bool text_ = false;
    bool held_ = false;
    Py_buffer view_{};
};

// A new str (strict UTF-8) or bytes object holding n bytes at p.
inline py::object make_string(const char *p, size_t n, bool text)
{
    PyObject *o = text ? PyUnicode_DecodeUTF8(p, Py_ssize_t(n), nullptr)
                       : PyBytes_FromStringAndSize(p, Py_ssize_t(n));
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

struct result_deleter {
    void operator()(char *p) const noexcept { wtcore_free(p); }
};
using result_ptr = std::unique_ptr<char, result_deleter>;

// The options of one call, with copies of the strings the library reads, so
// that they stay valid while the interpreter lock is released.
class options {
public:
    options(unsigned flags, const std::optional<std::string> &link_template,
            const std::optional<std::string> &rel)
    {
        wtcore_options_init(&c_);
        c_.flags = flags;
        if (link_template) {
            link_template_ = checked(*link_template, "link_template");
            c_.link_template = link_template_.c_str();
        }
        if (rel) {
            rel_ = checked(*rel, "rel");
            c_.external_rel = rel_.c_str();
        }
    }
    options(const options &) = delete;
    options &operator=(const options &) = delete;

    const wtcore_options *get() const { return &c_; }

private:
    // The library reads these as C strings: a NUL would end them early.
    static const std::string &checked(const std::string &s, const char *name)
    {
        if (s.find('\0') != std::string::npos)
            throw py::value_error(std::string(name) + " must not contain a NUL character");
        return s;
    }

    wtcore_options c_{};
    std::string link_template_;
    std::string rel_;
};
