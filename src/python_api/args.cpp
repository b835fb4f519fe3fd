#include "python_api/args.h"

#include <cstring>
#include <string>

namespace tavroacq::py {

bool bind_args(const char* callable, std::initializer_list<const char*> names, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const auto n = static_cast<Py_ssize_t>(names.size());
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional argument%s but %zd %s given", callable, n,
                 n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const char* kw = PyUnicode_AsUTF8(key);
    if (kw == nullptr) return false;
    Py_ssize_t slot = 0;
    for (const char* name : names) {
      if (std::strcmp(name, kw) == 0) break;
      ++slot;
    }
    if (slot == n) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%s'", callable, kw);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %s given by name ('%s') and position (%zd)", callable, kw,
                   slot + 1);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  Py_ssize_t slot = 0;
  for (const char* name : names) {
    if (out[slot] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s missing required argument '%s' (pos %zd)", callable, name, slot + 1);
      return false;
    }
    ++slot;
  }
  return true;
}

PyObject* prefix_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), traceback = Ref::steal(tb);
  Ref text = Ref::steal(v ? PyObject_Str(v.get()) : nullptr);
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    utf8 = "";
  }
  std::string message = std::string("argument '") + name + "': " + utf8;
  return raise(t.get(), message);
}

bool to_u64(PyObject* obj, const char* name, std::uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) {
    prefix_argument_error(name);
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_argument_error(name);
    return false;
  }
  out = v;
  return true;
}

}  // namespace tavroacq::py
