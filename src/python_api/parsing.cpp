#include "python_api/parsing.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "parsing/util.h"
#include "python_api/exceptions.h"
#include "python_api/lazy_cell.h"
#include "python_api/python_libs.h"

// How the per-channel lists get their numbers. Creating one number object at a time through the
// C API is what costs on PyPy (about 900 ns per float), so the lists are built by the fastest
// route for the interpreter and the size, chosen by measurement (bench/bench_acquisition.py):
// - shared objects: parsed values are whole numbers 0..65535 before any correction, so one
//   object per value, created on first use and kept, serves nearly every element (numbers are
//   immutable: sharing them is invisible to callers). Used on CPython, and on PyPy for small
//   fields, where the fixed cost of the array route dominates.
// - array route (PyPy): all values of a field are copied into one array.array, list() turns it
//   into one list and slicing cuts it per channel. PyPy copies an array's raw values into an
//   unboxed list (about 1 ns per element, where tolist() boxes every element), and slices such a
//   list by copying. The array is a slice of a scratch array filled through its buffer (see
//   ScratchArray): going through a bytes object costs three times as much.
#ifndef TAVROACQ_ARRAY_ROUTE_MIN
#define TAVROACQ_ARRAY_ROUTE_MIN 128
#endif

namespace tavroacq::py {

namespace {
PyObject* INT_CACHE[65536];
}  // namespace

PyObject* int_object(std::uint64_t v) {
  if (v < 65536) {
    PyObject*& slot = INT_CACHE[v];
    if (slot == nullptr) slot = PyLong_FromLong(static_cast<long>(v));  // kept for the life of the process
    Py_XINCREF(slot);
    return slot;
  }
  return PyLong_FromUnsignedLongLong(v);
}

namespace {

template <class T>
using PerChannel = std::vector<std::vector<T>>;

PyObject* FLOAT_CACHE[65536];

inline PyObject* number_object(float v) {
  if (v >= 0.0f && v < 65536.0f) {
    const auto u = static_cast<std::uint32_t>(v);
    if (static_cast<float>(u) == v && !std::signbit(v)) {
      PyObject*& slot = FLOAT_CACHE[u];
      if (slot == nullptr) slot = PyFloat_FromDouble(v);  // kept for the life of the process
      Py_XINCREF(slot);
      return slot;
    }
  }
  return PyFloat_FromDouble(v);
}

inline PyObject* number_object(std::uint16_t v) { return int_object(v); }
inline PyObject* number_object(std::uint32_t v) { return int_object(v); }

// Per channel, a list holding make(value) for each of the channel's values, in order; `make`
// returns a new reference, or null with the exception set.
template <class T, class Make>
Ref lists_of(const PerChannel<T>& channels, Make make) {
  const auto n = static_cast<Py_ssize_t>(channels.size());
  Ref outer = Ref::steal(PyList_New(n));
  if (!outer) return outer;
  for (Py_ssize_t c = 0; c < n; ++c) {
    const auto& values = channels[static_cast<std::size_t>(c)];
    Ref inner = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!inner) return Ref();
    for (std::size_t i = 0; i < values.size(); ++i) {
      PyObject* item = make(values[i]);
      if (item == nullptr) return Ref();
      PyList_SET_ITEM(inner.get(), static_cast<Py_ssize_t>(i), item);
    }
    PyList_SET_ITEM(outer.get(), c, inner.release());
  }
  return outer;
}

#ifdef PYPY_VERSION

template <class T>
struct ArrayCode;
template <>
struct ArrayCode<float> {
  static constexpr const char* code = "f";
  static inline LazyCell cell;
};
template <>
struct ArrayCode<std::uint16_t> {
  static constexpr const char* code = "H";
  static inline LazyCell cell;
};
template <>
struct ArrayCode<std::uint32_t> {
  static constexpr const char* code = "I";
  static inline LazyCell cell;
};

// A one-element array of the element type (never handed out): repeating it makes an array of any
// length in one call.
template <class T>
PyObject* template_array() {
  return ArrayCode<T>::cell.get([]() -> PyObject* {
    PyObject* type = array_type();
    if (type == nullptr) return nullptr;
    Ref code = str(ArrayCode<T>::code);
    const char zero[sizeof(T)] = {};
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(zero, sizeof(T)));
    if (!code || !bytes) return nullptr;
    return PyObject_CallFunctionObjArgs(type, code.get(), bytes.get(), nullptr);
  });
}

// PyPy (7.3) keeps about 32 bytes for every buffer it hands out of an array, until the process
// ends, so asking a new array for its buffer at every field would leak with every event. Each
// element type has one scratch array instead, whose buffer stays exported for the life of the
// process: the values are copied into it and a slice of it becomes the field's array. It grows
// by doubling, so its buffer is asked for a few times in all. The GIL is held from the copy to
// the slice, so no other thread sees it half filled.
template <class T>
struct ScratchArray {
  PyObject* array = nullptr;  // kept for the process
  Py_buffer view{};
  std::size_t capacity = 0;

  // The scratch buffer for at least `n` elements, or null with an exception set.
  T* reserve(std::size_t n) {
    if (n <= capacity) return static_cast<T*>(view.buf);
    PyObject* one = template_array<T>();
    if (one == nullptr) return nullptr;
    const std::size_t grown = std::max(n, 2 * capacity);
    Ref bigger = Ref::steal(PySequence_Repeat(one, static_cast<Py_ssize_t>(grown)));
    if (!bigger) return nullptr;
    Py_buffer bigger_view;
    if (PyObject_GetBuffer(bigger.get(), &bigger_view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    if (bigger_view.len != static_cast<Py_ssize_t>(grown * sizeof(T)) || bigger_view.itemsize != sizeof(T)) {
      PyBuffer_Release(&bigger_view);
      throw InternalFailure("array buffer does not match its element count");
    }
    if (array != nullptr) {
      PyBuffer_Release(&view);
      Py_DECREF(array);
    }
    array = bigger.release();
    view = bigger_view;
    capacity = grown;
    return static_cast<T*>(view.buf);
  }
};

template <class T>
ScratchArray<T> SCRATCH;

// One list of every value of every channel, in channel order, through an array of them.
template <class T>
Ref flat_list(const PerChannel<T>& channels, std::size_t total) {
  ScratchArray<T>& scratch = SCRATCH<T>;
  T* dst = scratch.reserve(total);
  if (dst == nullptr) return Ref();
  for (const auto& ch : channels) {
    if (ch.empty()) continue;
    std::memcpy(dst, ch.data(), ch.size() * sizeof(T));
    dst += ch.size();
  }
  Ref array = Ref::steal(PySequence_GetSlice(scratch.array, 0, static_cast<Py_ssize_t>(total)));
  if (!array) return Ref();
  return Ref::steal(PySequence_List(array.get()));
}

template <class T>
Ref array_lists(const PerChannel<T>& channels, std::size_t total) {
  const auto n = static_cast<Py_ssize_t>(channels.size());
  Ref outer = Ref::steal(PyList_New(n));
  if (!outer) return outer;
  Ref flat = flat_list(channels, total);
  if (!flat) return Ref();
  Py_ssize_t start = 0;
  for (Py_ssize_t c = 0; c < n; ++c) {
    const auto len = static_cast<Py_ssize_t>(channels[static_cast<std::size_t>(c)].size());
    PyObject* inner;
    if (len == 0)
      inner = PyList_New(0);
    else if (len == static_cast<Py_ssize_t>(total))
      inner = flat.release();  // the only non-empty channel takes the whole list
    else
      inner = PyList_GetSlice(flat.get(), start, start + len);
    if (inner == nullptr) return Ref();
    PyList_SET_ITEM(outer.get(), c, inner);
    start += len;
  }
  return outer;
}

#endif

template <class T>
Ref channel_lists(const PerChannel<T>& channels) {
#ifdef PYPY_VERSION
  std::size_t total = 0;
  for (const auto& ch : channels) total += ch.size();
  if (total >= TAVROACQ_ARRAY_ROUTE_MIN) return array_lists(channels, total);
#endif
  return lists_of(channels, [](T v) { return number_object(v); });
}

// One orra96 error record as a 5-tuple of ints, in record field order.
PyObject* ecc_tuple(const EccErrorRecord& e) {
  Ref fields[5] = {Ref::steal(PyLong_FromUnsignedLongLong(e.first)), Ref::steal(PyLong_FromUnsignedLongLong(e.second)),
                   Ref::steal(PyLong_FromLong(e.third)), Ref::steal(PyLong_FromLong(e.fourth)),
                   Ref::steal(PyLong_FromLong(e.fifth))};
  Ref tuple = Ref::steal(PyTuple_New(5));
  if (!tuple) return nullptr;
  for (Py_ssize_t k = 0; k < 5; ++k) {
    if (!fields[k]) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), k, fields[k].release());
  }
  return tuple.release();
}

template <class T, class Convert>
Ref optional_lists(const std::optional<PerChannel<T>>& field, Convert convert) {
  if (!field) return Ref::borrow(Py_None);
  return convert(*field);
}

bool set_item(PyObject* dict, const char* key, const Ref& value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

}  // namespace

PyObject* parse_to_dict(const Params& params, std::vector<std::uint8_t> raw) {
  auto parsed = parse_event(Packet(raw.data(), raw.size()), params);
  std::vector<std::uint8_t>().swap(raw);
  if (!parsed) return raise_error(parsed.error());
  const EventRecord& record = *parsed;

  // The values in insertion order; the dictionary is built only once every value exists.
  Ref data = channel_lists(record.data);
  if (!data) return nullptr;
  Ref labels = channel_lists(record.window_labels);
  if (!labels) return nullptr;
  Ref time = channel_lists(record.time);
  if (!time) return nullptr;
  Ref timing = optional_lists(record.timing, [](const auto& v) { return channel_lists(v); });
  if (!timing) return nullptr;
  Ref ecc = optional_lists(record.ecc_errors, [](const auto& v) { return lists_of(v, ecc_tuple); });
  if (!ecc) return nullptr;

  Ref dict = Ref::steal(PyDict_New());
  if (!dict || !set_item(dict.get(), "data", data) || !set_item(dict.get(), "window_labels", labels) ||
      !set_item(dict.get(), "time", time) || !set_item(dict.get(), "timing", timing) ||
      !set_item(dict.get(), "ecc_errors", ecc))
    return nullptr;
  return dict.release();
}

}  // namespace tavroacq::py
