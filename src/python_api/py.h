// The binding's view of the host interpreter: Python.h, an owned-reference type, and the
// boundary wrapper that keeps C++ exceptions from crossing into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string_view>
#include <utility>

namespace tavroacq::py {

// An owned (strong) reference; releases it when dropped.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (may be null).
  static Ref steal(PyObject* o) { return Ref(o); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(Ref&& o) noexcept : o_(o.release()) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(o_);
      o_ = o.release();
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(o_); }

  PyObject* get() const { return o_; }
  explicit operator bool() const { return o_ != nullptr; }
  // Gives up ownership, e.g. to return the object or hand it to PyList_SET_ITEM.
  PyObject* release() { return std::exchange(o_, nullptr); }

 private:
  explicit Ref(PyObject* o) : o_(o) {}
  PyObject* o_ = nullptr;
};

inline Ref str(std::string_view s) {
  return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// Sets the pending exception to `type(message)` and returns null, the failure value of the C API.
inline PyObject* raise(PyObject* type, std::string_view message) {
  Ref msg = str(message);
  if (msg) PyErr_SetObject(type, msg.get());
  return nullptr;
}

}  // namespace tavroacq::py
