// Argument handling for functions and methods called with the fast calling convention with
// keywords: binding positional and keyword arguments to parameter slots, and the "argument 'x': "
// prefix on conversion TypeErrors.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "python_api/py.h"

namespace tavroacq::py {

// Binds args/kwnames to the parameters `names` (all required), writing borrowed references into
// `out` (one slot per name). `callable` is how errors name the callee: "list_acquisitions()" or
// "Acquisition.raw_event()". Returns false with TypeError set on a missing, surplus, duplicated
// or unknown argument.
bool bind_args(const char* callable, std::initializer_list<const char*> names, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// With a conversion error pending: a TypeError gets its message prefixed with
// "argument '<name>': "; any other error passes unchanged. Always returns nullptr.
PyObject* prefix_argument_error(const char* name);

// Converts an integer-like object to an unsigned 64-bit value (OverflowError for negatives and
// values too large; TypeError, prefixed, for non-integers).
bool to_u64(PyObject* obj, const char* name, std::uint64_t& out);

}  // namespace tavroacq::py
