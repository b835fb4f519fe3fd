// The Python functions of the data-word ECC: syndrome, global_parity and syndrome_to_index on
// one word; ecc_check and ecc_correct on a raw orra96 event buffer.
#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "ecc/buffer_check.h"
#include "ecc/orra96.h"
#include "python_api/args.h"
#include "python_api/exceptions.h"
#include "python_api/lazy_cell.h"
#include "python_api/parsing.h"
#include "python_api/registry.h"

namespace tavroacq::py {
namespace {

using ecc::WordError;

// ---- argument conversion ----------------------------------------------------------------------

bool to_u16(PyObject* obj, const char* name, std::uint16_t& out) {
  std::uint64_t v = 0;
  if (!to_u64(obj, name, v)) return false;
  if (v > 0xFFFF) {
    PyErr_SetString(PyExc_OverflowError, "int too big to convert to a 16-bit unsigned integer");
    return false;
  }
  out = static_cast<std::uint16_t>(v);
  return true;
}

// One element of a byte sequence: an integer 0 to 255.
bool element_to_u8(PyObject* item, const char* name, std::uint8_t& out) {
  Ref index = Ref::steal(PyNumber_Index(item));
  if (!index) {
    prefix_argument_error(name);
    return false;
  }
  int overflow = 0;
  const long v = PyLong_AsLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) {
    prefix_argument_error(name);
    return false;
  }
  if (overflow != 0 || v < 0 || v > 255) {
    PyErr_SetString(PyExc_OverflowError, "int out of range for an unsigned 8-bit integer (0 to 255)");
    return false;
  }
  out = static_cast<std::uint8_t>(v);
  return true;
}

// Converts the elements of a sequence of `expected` length (any length when negative) to bytes.
bool sequence_to_bytes(PyObject* obj, const char* name, Py_ssize_t expected, std::vector<std::uint8_t>& out) {
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not a sequence", Py_TYPE(obj)->tp_name);
    prefix_argument_error(name);
    return false;
  }
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    prefix_argument_error(name);
    return false;
  }
  if (expected >= 0 && n != expected) {
    PyErr_Format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)", expected, n);
    return false;
  }
  // The length is the object's own claim (__len__): room grows with the items actually read.
  out.clear();
  out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(n, Py_ssize_t{1} << 20)));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    if (!item) {
      prefix_argument_error(name);
      return false;
    }
    std::uint8_t byte = 0;
    if (!element_to_u8(item.get(), name, byte)) return false;
    out.push_back(byte);
  }
  return true;
}

// The bytes of a raw_bytes argument: the object's own memory when it exposes a buffer of unsigned
// bytes (bytes, bytearray, memoryview, ...), read in place while the interpreter lock is held;
// otherwise a private copy of its elements.
class ByteArgument {
 public:
  ByteArgument() = default;
  ByteArgument(const ByteArgument&) = delete;
  ByteArgument& operator=(const ByteArgument&) = delete;
  ~ByteArgument() {
    if (has_view_) PyBuffer_Release(&view_);
  }

  bool convert(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj)) {
      PyErr_SetString(PyExc_TypeError, "a str is not a sequence of bytes");
      prefix_argument_error(name);
      return false;
    }
#ifdef PYPY_VERSION
    // PyPy's C API keeps memory on every buffer it hands out for an object other than bytes, and
    // on every memoryview it makes (about 30 bytes a bytearray, 900 a memoryview, never
    // returned): bytearrays and memoryviews of unsigned bytes are copied into bytes at the Python
    // level instead, which costs far less than the check.
    bool plain_bytes = PyByteArray_Check(obj);
    if (PyMemoryView_Check(obj)) {
      Ref format = Ref::steal(PyObject_GetAttrString(obj, "format"));
      Ref ndim = Ref::steal(format ? PyObject_GetAttrString(obj, "ndim") : nullptr);
      if (!ndim) return false;
      const char* f = PyUnicode_Check(format.get()) ? PyUnicode_AsUTF8(format.get()) : nullptr;
      const long dims = PyLong_AsLong(ndim.get());
      if (PyErr_Occurred()) return false;
      if (f == nullptr || std::strcmp(f, "B") != 0 || dims > 1) return sequence_to_bytes(obj, name, -1, copy_);
      plain_bytes = true;
    }
    if (plain_bytes) {
      owned_ = Ref::steal(PyBytes_FromObject(obj));
      if (!owned_) return false;
      obj = owned_.get();
    }
#endif
    if (PyObject_CheckBuffer(obj)) {
      if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
        has_view_ = true;
        const bool unsigned_bytes =
            view_.itemsize == 1 && view_.ndim <= 1 && (view_.format == nullptr || std::strcmp(view_.format, "B") == 0);
        // PyPy hands out a strided view even when contiguous memory is asked for: a reversed
        // memoryview would be read forwards from its last byte, past the end. Check the layout.
        const bool contiguous = view_.suboffsets == nullptr &&
                                (view_.ndim == 0 || view_.strides == nullptr || view_.strides[0] == 1);
        if (unsigned_bytes && contiguous) return true;
        PyBuffer_Release(&view_);
        has_view_ = false;
      } else {
        PyErr_Clear();  // not a plain buffer: read it as a sequence
      }
    }
    return sequence_to_bytes(obj, name, -1, copy_);
  }

  std::span<const std::uint8_t> bytes() const {
    if (has_view_) return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    return copy_;
  }

 private:
  Ref owned_;  // a bytes copy of the argument, when one was made; released after the view
  Py_buffer view_{};
  bool has_view_ = false;
  std::vector<std::uint8_t> copy_;
};

// ---- results ----------------------------------------------------------------------------------

PyObject* raise_size_error(const ecc::BufferSizeError& e) { return raise(PyExc_ValueError, e.message()); }

#ifdef PYPY_VERSION

// PyPy: objects made through the C API cost about a microsecond each (and its ints come out as
// big-integer objects), while a list comprehension that the JIT compiles makes them in a few
// nanoseconds. So the findings go to Python as one bytes object of eleven one-byte columns, and
// this function, compiled once, makes the rows; it shares one int object per value below 65536
// between rows (a list that has held None keeps its items as objects).
constexpr const char* ROWS_SOURCE = R"(
def table():
    t = [None] + list(range(65536))
    del t[0]
    return t

def rows(b, T=table()):
    n = len(b) // 11
    return [(T[b[i] | b[n + i] << 8],
             b[2 * n + i] | b[3 * n + i] << 8 | b[4 * n + i] << 16,
             T[b[5 * n + i] | b[6 * n + i] << 8],
             T[b[7 * n + i] | b[8 * n + i] << 8],
             T[b[9 * n + i]],
             T[b[10 * n + i]]) for i in range(n)]
)";
constexpr std::size_t ROWS_COLUMNS = 11;
static_assert(ecc::CHANNEL_OFFSETS.back().end < (1u << 24), "positions fit three bytes");

LazyCell ROWS_FUNCTION;

PyObject* rows_function() {
  return ROWS_FUNCTION.get([]() -> PyObject* {
    Ref globals = Ref::steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
    Ref done = Ref::steal(PyRun_String(ROWS_SOURCE, Py_file_input, globals.get(), globals.get()));
    if (!done) return nullptr;
    PyObject* fn = PyDict_GetItemString(globals.get(), "rows");
    if (fn == nullptr) throw InternalFailure("the row builder defines no rows function");
    Py_INCREF(fn);
    return fn;
  });
}

PyObject* rows(const std::vector<WordError>& errors) {
  const std::size_t n = errors.size();
  if (n == 0) return PyList_New(0);
  PyObject* fn = rows_function();
  if (fn == nullptr) return nullptr;
  Ref packed = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(ROWS_COLUMNS * n)));
  if (!packed) return nullptr;
  auto* columns = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(packed.get()));
  if (columns == nullptr) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    const WordError& e = errors[i];
    const std::uint64_t word = e.word, corrected = e.corrected;
    const std::uint64_t values[ROWS_COLUMNS] = {e.offset, e.offset >> 8, e.position, e.position >> 8,
                                                e.position >> 16, word, word >> 8, corrected,
                                                corrected >> 8, e.bit, e.correctable};
    for (std::size_t k = 0; k < ROWS_COLUMNS; ++k) columns[k * n + i] = static_cast<std::uint8_t>(values[k]);
  }
  return PyObject_CallFunctionObjArgs(fn, packed.get(), nullptr);
}

#else

// CPython: the tuples straight from the C API, with the shared int objects of values below 65536;
// the tuples are kept away from the cycle collector.
PyObject* rows(const std::vector<WordError>& errors) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(errors.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < errors.size(); ++i) {
    const WordError& e = errors[i];
    Ref items[6] = {Ref::steal(int_object(e.offset)), Ref::steal(int_object(e.position)),
                    Ref::steal(int_object(e.word)),   Ref::steal(int_object(e.corrected)),
                    Ref::steal(int_object(e.bit)),    Ref::steal(int_object(e.correctable))};
    for (const Ref& item : items) {
      if (!item) return nullptr;
    }
    PyObject* row = PyTuple_New(6);
    if (row == nullptr) return nullptr;
    for (Py_ssize_t k = 0; k < 6; ++k) PyTuple_SET_ITEM(row, k, items[k].release());
    // A tuple of ints is never part of a cycle: the collector would only visit it to untrack it.
    PyObject_GC_UnTrack(row);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return list.release();
}

#endif

// ---- the functions ------------------------------------------------------------------------------

PyObject* syndrome_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* data = nullptr;
    std::uint16_t w = 0;
    if (!bind_args("syndrome()", {"data"}, args, nargs, kwnames, &data) || !to_u16(data, "data", w)) return nullptr;
    const ecc::Syndrome s = ecc::syndrome(w);
    Ref list = Ref::steal(PyList_New(4));
    if (!list) return nullptr;
    for (Py_ssize_t k = 0; k < 4; ++k) {
      PyObject* v = PyLong_FromLong(s[static_cast<std::size_t>(k)]);
      if (v == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), k, v);
    }
    return list.release();
  });
}

PyObject* global_parity_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* data = nullptr;
    std::uint16_t w = 0;
    if (!bind_args("global_parity()", {"data"}, args, nargs, kwnames, &data) || !to_u16(data, "data", w)) {
      return nullptr;
    }
    return PyLong_FromLong(ecc::global_parity(w));
  });
}

PyObject* syndrome_to_index_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* s = nullptr;
    std::vector<std::uint8_t> values;
    if (!bind_args("syndrome_to_index()", {"s"}, args, nargs, kwnames, &s) || !sequence_to_bytes(s, "s", 4, values)) {
      return nullptr;
    }
    const auto bit = ecc::syndrome_to_index({values[0], values[1], values[2], values[3]});
    if (!bit) Py_RETURN_NONE;
    return PyLong_FromLong(*bit);
  });
}

PyObject* ecc_check_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* raw = nullptr;
    ByteArgument bytes;
    if (!bind_args("ecc_check()", {"raw_bytes"}, args, nargs, kwnames, &raw) || !bytes.convert(raw, "raw_bytes")) {
      return nullptr;
    }
    const auto found = ecc::_ecc_check(bytes.bytes());
    if (!found) return raise_size_error(found.error());
    return rows(*found);
  });
}

PyObject* ecc_correct_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* raw = nullptr;
    ByteArgument bytes;
    if (!bind_args("ecc_correct()", {"raw_bytes"}, args, nargs, kwnames, &raw) || !bytes.convert(raw, "raw_bytes")) {
      return nullptr;
    }
    std::vector<std::uint8_t> copy(bytes.bytes().begin(), bytes.bytes().end());
    const auto found = ecc::_ecc_check(copy);
    if (!found) return raise_size_error(found.error());
    ecc::apply_corrections(copy, *found);
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(copy.data()),
                                         static_cast<Py_ssize_t>(copy.size()));
  });
}

}  // namespace

PyMethodDef SYNDROME_DEF = {
    "syndrome", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(syndrome_fn)), METH_FASTCALL | METH_KEYWORDS,
    "syndrome(data)\n--\n\n"
    "Calculate the syndrome for a given 16-bit data word.\n"
    "The syndrome is a 4-byte array where each byte represents the parity of specific bits in the data word.\n"
    "\n"
    "# Arguments\n"
    "* `data` - A 16-bit unsigned integer representing the data word.\n"
    "# Returns\n"
    "* An array of 4 bytes, each representing the parity of specific bits in the data word.\n"};

// The gp = line has a no-break space (U+00A0, UTF-8 C2 A0) after the space before d(1), d(3),
// d(4), d(6), d(8) and d(9).
PyMethodDef GLOBAL_PARITY_DEF = {
    "global_parity", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(global_parity_fn)),
    METH_FASTCALL | METH_KEYWORDS,
    "global_parity(data)\n--\n\n"
    "Calculate the global parity for a 16-bit data word.\n"
    "\n"
    "The global parity is the XOR of all bits in the data word, excluding the last bit.\n"
    "gp = d(0) xor \xC2\xA0" "d(1) xor d(2) xor \xC2\xA0" "d(3) xor \xC2\xA0" "d(4) xor d(5) xor \xC2\xA0"
    "d(6) xor d(7) xor \xC2\xA0" "d(8) xor \xC2\xA0" "d(9) xor d(10) xor d(11) xor d(12) xor d(13) xor d(14)\n"
    "\n"
    "# Arguments\n"
    "* `data` - A 16-bit unsigned integer representing the data word.\n"
    "# Returns\n"
    "* An integer representing the global parity of the data word.\n"};

PyMethodDef SYNDROME_TO_INDEX_DEF = {
    "syndrome_to_index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(syndrome_to_index_fn)),
    METH_FASTCALL | METH_KEYWORDS,
    "syndrome_to_index(s)\n--\n\n"
    "Convert a syndrome to an index based on the corrections.\n"
    "\n"
    "# Arguments\n"
    "* `s` - bit position or None."};

PyMethodDef ECC_CHECK_DEF = {"ecc_check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ecc_check_fn)),
                             METH_FASTCALL | METH_KEYWORDS, "ecc_check(raw_bytes)\n--\n\n"};

PyMethodDef ECC_CORRECT_DEF = {"ecc_correct",
                               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ecc_correct_fn)),
                               METH_FASTCALL | METH_KEYWORDS, "ecc_correct(raw_bytes)\n--\n\n"};

}  // namespace tavroacq::py
