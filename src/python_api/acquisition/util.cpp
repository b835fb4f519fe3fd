#include "python_api/acquisition/util.h"

#include <cstring>
#include <string>

#include "python_api/acquisition.h"
#include "python_api/args.h"
#include "python_api/exceptions.h"
#include "python_api/parsing.h"
#include "python_api/python_libs.h"

namespace tavroacq::py {
namespace {

bool utf8_path(PyObject* text, std::filesystem::path& out) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return false;
  // The operating system would silently cut the path at a NUL; refuse it as os.stat does.
  if (std::memchr(utf8, '\0', static_cast<std::size_t>(size)) != nullptr) {
    PyErr_SetString(PyExc_ValueError, "embedded null character in path");
    return false;
  }
  out = std::filesystem::path(std::string(utf8, static_cast<std::size_t>(size)));
  return true;
}

// A fetched event's bytes go straight into a new Python bytes object.
class BytesSink final : public ByteSink {
 public:
  Ref bytes;
  std::uint8_t* allocate(std::size_t len) override {
    bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len)));
    return bytes ? reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())) : nullptr;
  }
};

}  // namespace

bool to_path(PyObject* obj, const char* arg_name, std::filesystem::path& out) {
  if (PyUnicode_Check(obj)) return utf8_path(obj, out);
  PyObject* path_type = pathlib_path();
  if (path_type == nullptr) return false;
  const int is_path = PyObject_IsInstance(obj, path_type);
  if (is_path < 0) return false;
  if (is_path == 0) {
    PyErr_Format(PyExc_TypeError, "expected str or pathlib.Path, got %s", Py_TYPE(obj)->tp_name);
    prefix_argument_error(arg_name);
    return false;
  }
  Ref text = Ref::steal(PyObject_Str(obj));
  return text && utf8_path(text.get(), out);
}

PyObject* load_misc_data(const Acquisition& acquisition, MiscDataKind kind) {
  auto blob = acquisition.misc_data(kind);
  if (!blob) {
    if (blob.error() == AcquisitionError::Kind::NoSuchMiscData) Py_RETURN_NONE;
    return raise_error(blob.error());
  }
  PyObject* decompress = gzip_decompress();
  if (decompress == nullptr) return nullptr;
  Ref compressed = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(blob->bytes.data()),
                                                        static_cast<Py_ssize_t>(blob->bytes.size())));
  if (!compressed) return nullptr;
  std::vector<std::uint8_t>().swap(blob->bytes);
  Ref pickled = Ref::steal(PyObject_CallFunctionObjArgs(decompress, compressed.get(), nullptr));
  if (!pickled) return nullptr;
  PyObject* loads = pickle_loads();
  if (loads == nullptr) return nullptr;
  return PyObject_CallFunctionObjArgs(loads, pickled.get(), nullptr);
}

PyObject* parsed_event_at(EventFetcher& fetcher, const Params& params, std::uint64_t index) {
  VectorSink sink;
  auto got = fetcher.fetch(index, sink);
  if (!got) return raise_error(got.error());
  return parse_to_dict(params, std::move(sink.bytes));
}

PyObject* raw_event_bytes(const Acquisition& acquisition, std::uint64_t index) {
  BytesSink sink;
  auto got = acquisition.get_into(index, sink);
  if (!got) return raise_error(got.error());
  return sink.bytes.release();  // a successful fetch has always allocated (or raised MemoryError)
}

PyObject* map_index_arg(const Acquisition& acquisition, const Params& params, PyObject* key) {
  // One walk of the chunks gives the event count and locates every event this call fetches.
  auto fetcher = EventFetcher::walk(acquisition);
  if (!fetcher) return raise_error(fetcher.error());
  const std::uint64_t count = fetcher->total();

  if (PySlice_Check(key)) {
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
    const auto length = static_cast<Py_ssize_t>(std::min<std::uint64_t>(count, PY_SSIZE_T_MAX));
    PySlice_AdjustIndices(length, &start, &stop, step);
    if (start < 0 || stop < 0 || step < 0) return raise(PyExc_IndexError, "index out of bounds");
    const Py_ssize_t n = start < stop ? (stop - start - 1) / step + 1 : 0;
    // Grown event by event, not sized to n up front: n comes from the index files' sizes, and a
    // sparse index file claims millions of events of which the first may already fail.
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k) {
      Ref event = Ref::steal(parsed_event_at(*fetcher, params, static_cast<std::uint64_t>(start + k * step)));
      if (!event || PyList_Append(list.get(), event.get()) < 0) return nullptr;
    }
    return list.release();
  }

  Ref index = Ref::steal(PyNumber_Index(key));
  long long i = index ? PyLong_AsLongLong(index.get()) : -1;
  if (!index || (i == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return raise(PyExc_TypeError, "index must be an int or a slice");
  }
  if (i < 0) return raise(PyExc_IndexError, "index out of bounds");
  return parsed_event_at(*fetcher, params, static_cast<std::uint64_t>(i));
}

}  // namespace tavroacq::py
