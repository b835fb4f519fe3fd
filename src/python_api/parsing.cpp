#include "python_api/parsing.h"

#include <cmath>
#include <cstring>
#include <span>

#include "parsing/util.h"
#include "python_api/exceptions.h"
#include "python_api/lazy_cell.h"

// How the per-channel lists get their numbers. Creating one number object at a time through the
// C API is what costs on PyPy (about 900 ns per float), so each interpreter gets its fastest
// route, chosen by measurement (bench/bench_acquisition.py):
//   LIST_ROUTE_CREATE: a new object per element (reference only);
//   LIST_ROUTE_CACHE:  shared objects for the whole numbers 0..65535, created on first use;
//   LIST_ROUTE_ARRAY:  all values of a field in one array.array, turned into a list by its own
//                      tolist() and cut per channel by slicing; PyPy then keeps the lists unboxed.
#define LIST_ROUTE_CREATE 0
#define LIST_ROUTE_CACHE 1
#define LIST_ROUTE_ARRAY 2
#ifndef TAVROACQ_LIST_ROUTE
#ifdef PYPY_VERSION
#define TAVROACQ_LIST_ROUTE LIST_ROUTE_ARRAY
#else
#define TAVROACQ_LIST_ROUTE LIST_ROUTE_CACHE
#endif
#endif

namespace tavroacq::py {
namespace {

template <class T>
using PerChannel = std::vector<std::vector<T>>;

#if TAVROACQ_LIST_ROUTE == LIST_ROUTE_CACHE

// Parsed values are 16-bit whole numbers before any correction, so one shared object per value
// serves nearly every element. Numbers are immutable: sharing them is invisible to callers.
PyObject* FLOAT_CACHE[65536];
PyObject* INT_CACHE[65536];

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

inline PyObject* int_object(std::uint64_t v) {
  if (v < 65536) {
    PyObject*& slot = INT_CACHE[v];
    if (slot == nullptr) slot = PyLong_FromLong(static_cast<long>(v));
    Py_XINCREF(slot);
    return slot;
  }
  return PyLong_FromUnsignedLongLong(v);
}
inline PyObject* number_object(std::uint16_t v) { return int_object(v); }
inline PyObject* number_object(std::uint32_t v) { return int_object(v); }

#else

inline PyObject* number_object(float v) { return PyFloat_FromDouble(v); }
inline PyObject* number_object(std::uint16_t v) { return PyLong_FromLong(v); }
inline PyObject* number_object(std::uint32_t v) { return PyLong_FromUnsignedLong(v); }

#endif

#if TAVROACQ_LIST_ROUTE == LIST_ROUTE_ARRAY

LazyCell ARRAY_TYPE;

PyObject* array_type() {
  return ARRAY_TYPE.get([]() -> PyObject* {
    Ref name = str("array");
    Ref mod = Ref::steal(name ? PyImport_Import(name.get()) : nullptr);
    return mod ? PyObject_GetAttrString(mod.get(), "array") : nullptr;
  });
}

template <class T>
constexpr const char* TYPECODE = nullptr;
template <>
constexpr const char* TYPECODE<float> = "f";
template <>
constexpr const char* TYPECODE<std::uint16_t> = "H";
template <>
constexpr const char* TYPECODE<std::uint32_t> = "I";

// One list of every value of every channel, in channel order, through array.array(...).tolist().
template <class T>
Ref flat_list(const PerChannel<T>& channels, std::size_t total) {
  static_assert(sizeof(T) == 2 || sizeof(T) == 4);
  PyObject* type = array_type();
  if (type == nullptr) return Ref();
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total * sizeof(T))));
  if (!bytes) return Ref();
  char* dst = PyBytes_AS_STRING(bytes.get());
  for (const auto& ch : channels) {
    if (ch.empty()) continue;
    std::memcpy(dst, ch.data(), ch.size() * sizeof(T));
    dst += ch.size() * sizeof(T);
  }
  Ref code = str(TYPECODE<T>);
  if (!code) return Ref();
  Ref array = Ref::steal(PyObject_CallFunctionObjArgs(type, code.get(), bytes.get(), nullptr));
  if (!array) return Ref();
  return Ref::steal(PyObject_CallMethod(array.get(), "tolist", nullptr));
}

template <class T>
Ref channel_lists(const PerChannel<T>& channels) {
  const auto n = static_cast<Py_ssize_t>(channels.size());
  Ref outer = Ref::steal(PyList_New(n));
  if (!outer) return outer;
  std::size_t total = 0;
  for (const auto& ch : channels) total += ch.size();
  Ref flat;
  if (total != 0) {
    flat = flat_list(channels, total);
    if (!flat) return Ref();
  }
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

#else

// A list of the values, one object each.
template <class T>
Ref list_of_objects(std::span<const T> values) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = number_object(values[i]);
    if (item == nullptr) return Ref();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

template <class T>
Ref channel_lists(const PerChannel<T>& channels) {
  const auto n = static_cast<Py_ssize_t>(channels.size());
  Ref outer = Ref::steal(PyList_New(n));
  if (!outer) return outer;
  for (Py_ssize_t c = 0; c < n; ++c) {
    Ref inner = list_of_objects(std::span<const T>(channels[static_cast<std::size_t>(c)]));
    if (!inner) return Ref();
    PyList_SET_ITEM(outer.get(), c, inner.release());
  }
  return outer;
}

#endif

// Per channel, a list of 5-tuples of ints, one per error record, in record field order.
Ref ecc_lists(const PerChannel<EccErrorRecord>& channels) {
  const auto n = static_cast<Py_ssize_t>(channels.size());
  Ref outer = Ref::steal(PyList_New(n));
  if (!outer) return outer;
  for (Py_ssize_t c = 0; c < n; ++c) {
    const auto& records = channels[static_cast<std::size_t>(c)];
    Ref inner = Ref::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!inner) return Ref();
    for (std::size_t r = 0; r < records.size(); ++r) {
      const EccErrorRecord& e = records[r];
      Ref fields[5] = {Ref::steal(PyLong_FromUnsignedLongLong(e.first)),
                       Ref::steal(PyLong_FromUnsignedLongLong(e.second)), Ref::steal(PyLong_FromLong(e.third)),
                       Ref::steal(PyLong_FromLong(e.fourth)), Ref::steal(PyLong_FromLong(e.fifth))};
      Ref tuple = Ref::steal(PyTuple_New(5));
      if (!tuple) return Ref();
      for (Py_ssize_t k = 0; k < 5; ++k) {
        if (!fields[k]) return Ref();
        PyTuple_SET_ITEM(tuple.get(), k, fields[k].release());
      }
      PyList_SET_ITEM(inner.get(), static_cast<Py_ssize_t>(r), tuple.release());
    }
    PyList_SET_ITEM(outer.get(), c, inner.release());
  }
  return outer;
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
  Ref ecc = optional_lists(record.ecc_errors, ecc_lists);
  if (!ecc) return nullptr;

  Ref dict = Ref::steal(PyDict_New());
  if (!dict || !set_item(dict.get(), "data", data) || !set_item(dict.get(), "window_labels", labels) ||
      !set_item(dict.get(), "time", time) || !set_item(dict.get(), "timing", timing) ||
      !set_item(dict.get(), "ecc_errors", ecc))
    return nullptr;
  return dict.release();
}

}  // namespace tavroacq::py
