// A process-wide, write-once cell for a Python object (class, exception type, imported function).
// Filled on first need while holding the interpreter lock. Computing the value may release the
// lock (an import does); if another thread filled the cell meanwhile, its value wins.
#pragma once

#include "python_api/py.h"

namespace tavroacq::py {

class LazyCell {
 public:
  // Returns the stored object (borrowed), computing it with `make` (returns a new reference or
  // null with a Python exception set) on first use. On failure the cell stays empty.
  template <class Make>
  PyObject* get(Make&& make) {
    if (value_ != nullptr) return value_;
    PyObject* made = make();
    if (made == nullptr) return nullptr;
    if (value_ != nullptr) {
      Py_DECREF(made);
      return value_;
    }
    value_ = made;  // kept for the life of the process
    return value_;
  }
  PyObject* peek() const { return value_; }

 private:
  PyObject* value_ = nullptr;
};

}  // namespace tavroacq::py
