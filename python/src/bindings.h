// What the parts of the extension module share.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <wtcore.h>

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

#ifdef WT_HAVE_DUMP
// Adds read_dump's reader, dump_streams and the dump's JSON Lines (dump.cpp).
void register_dump(py::module_ &m);
#endif
