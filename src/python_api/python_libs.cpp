#include "python_api/python_libs.h"

#include "python_api/lazy_cell.h"

namespace tavroacq::py {
namespace {

LazyCell PICKLE_LOADS;
LazyCell GZIP_DECOMPRESS;
LazyCell YAML_SAFE_LOAD;
LazyCell PATHLIB_PATH;
LazyCell ARRAY_TYPE;

PyObject* import_attr(LazyCell& cell, const char* module, const char* attr) {
  return cell.get([&]() -> PyObject* {
    Ref name = Ref::steal(PyUnicode_FromString(module));
    if (!name) return nullptr;
    Ref mod = Ref::steal(PyImport_Import(name.get()));
    if (!mod) return nullptr;
    return PyObject_GetAttrString(mod.get(), attr);
  });
}

}  // namespace

PyObject* pickle_loads() { return import_attr(PICKLE_LOADS, "pickle", "loads"); }
PyObject* gzip_decompress() { return import_attr(GZIP_DECOMPRESS, "gzip", "decompress"); }
PyObject* yaml_safe_load() { return import_attr(YAML_SAFE_LOAD, "yaml", "safe_load"); }
PyObject* pathlib_path() { return import_attr(PATHLIB_PATH, "pathlib", "Path"); }
PyObject* array_type() { return import_attr(ARRAY_TYPE, "array", "array"); }

}  // namespace tavroacq::py
