// The Python classes Acquisition and IterEvents, and the module functions list_acquisitions and
// is_acquisition.
#pragma once

#include "../acquisition.h"  // the core handle ("acquisition.h" alone would name this file)
#include "python_api/py.h"

namespace tavroacq::py {

// The core handle of a Python Acquisition instance (or of a subclass), or nullptr, with no
// exception set, when `obj` is not one.
const tavroacq::Acquisition* acquisition_handle(PyObject* obj);

}  // namespace tavroacq::py
