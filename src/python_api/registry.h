// The public names each binding unit defines; module.cpp registers them in the module's order.
#pragma once

#include "python_api/py.h"

namespace tavroacq::py {

// python_api/acquisition: the Acquisition class (created once, borrowed reference; null with an
// exception pending on failure), list_acquisitions, is_acquisition.
PyObject* acquisition_class();
extern PyMethodDef LIST_ACQUISITIONS_DEF;
extern PyMethodDef IS_ACQUISITION_DEF;

// python_api/export
extern PyMethodDef EXPORT_CSV_DEF;

// python_api/orra_ecc
extern PyMethodDef SYNDROME_DEF;
extern PyMethodDef GLOBAL_PARITY_DEF;
extern PyMethodDef SYNDROME_TO_INDEX_DEF;
extern PyMethodDef ECC_CHECK_DEF;
extern PyMethodDef ECC_CORRECT_DEF;

}  // namespace tavroacq::py
