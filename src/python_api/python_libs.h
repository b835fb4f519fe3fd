// Python library functions the binding calls, imported on first use and kept for the process.
// Each returns a borrowed reference, or null with the import's exception pending (the cell stays
// empty, so the next call tries again).
#pragma once

#include "python_api/py.h"

namespace tavroacq::py {

PyObject* pickle_loads();
PyObject* gzip_decompress();
PyObject* yaml_safe_load();
PyObject* pathlib_path();
PyObject* array_type();

}  // namespace tavroacq::py
