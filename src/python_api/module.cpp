// The extension module's entry point and the registration of its public names.
#include "python_api/module.h"

#include <vector>

#include "python_api/exceptions.h"
#include "python_api/registry.h"

namespace tavroacq::py {
namespace {

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "tavroacq",
    "Registers the Python bindings of the acquisition library.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module's functions, in their registered order; each documentation text is
// "<signature>\n--\n\n<docstring>" so the host derives __text_signature__ and __doc__ from it.
std::vector<PyMethodDef*> registered_functions() {
  return {
      &LIST_ACQUISITIONS_DEF,
      &IS_ACQUISITION_DEF,
      &EXPORT_CSV_DEF,
      &SYNDROME_DEF,
      &GLOBAL_PARITY_DEF,
      &SYNDROME_TO_INDEX_DEF,
      &ECC_CHECK_DEF,
      &ECC_CORRECT_DEF,
  };
}

PyObject* module_function(PyObject* module) {
  // The Acquisition class comes first, then the functions.
  PyObject* cls = acquisition_class();
  if (cls == nullptr || !add_to_module(module, "Acquisition", cls)) return nullptr;
  for (PyMethodDef* def : registered_functions()) {
    Ref fn = Ref::steal(PyCFunction_NewEx(def, module, nullptr));
    if (!fn || !add_to_module(module, def->ml_name, fn.get())) return nullptr;
  }
  // The version comes from the CMake project version; it is an attribute, not a public name.
  if (PyModule_AddStringConstant(module, "__version__", TAVROACQ_VERSION) < 0) return nullptr;
  return module;
}

}  // namespace

bool add_to_module(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key) return false;
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), key.get()) < 0) {
    PyErr_Clear();
    throw InternalFailure("could not append __name__ to __all__");
  }
  return PyObject_SetAttr(module, key.get(), value) == 0;
}

}  // namespace tavroacq::py

PyMODINIT_FUNC PyInit_tavroacq(void) {
  using namespace tavroacq::py;
  return guarded([]() -> PyObject* {
    Ref module = Ref::steal(PyModule_Create(&MODULE_DEF));
    if (!module) return nullptr;
    if (module_function(module.get()) == nullptr) return nullptr;
    return module.release();
  });
}
