// What each binding unit contributes to the module; the module function registers them in the
// module's fixed order.
#pragma once

#include "python_api/py.h"

namespace tavroacq::py {

// Appends `name` to the module's __all__ (creating it if absent) and sets the attribute.
// Returns false with an exception pending.
bool add_to_module(PyObject* module, const char* name, PyObject* value);

}  // namespace tavroacq::py
