#include "python_api/acquisition.h"

#include <optional>
#include <string>

#include "../acquisition/util.h"  // the core is_acquisition and list_acquisitions
#include "python_api/acquisition/util.h"
#include "python_api/args.h"
#include "python_api/exceptions.h"
#include "python_api/lazy_cell.h"
#include "python_api/parsing.h"
#include "python_api/python_libs.h"
#include "python_api/registry.h"

namespace tavroacq::py {
namespace {

// What a Python Acquisition holds, fixed at construction.
struct AcquisitionState {
  tavroacq::Acquisition handle;
  Params params;
  Ref metadata;  // what yaml.safe_load returned for metadata.yml
};

struct AcquisitionObject {
  PyObject_HEAD
  AcquisitionState* state;
};

struct IterEventsObject {
  PyObject_HEAD
  PyObject* acq;  // an Acquisition object (strong reference)
  std::uint64_t index;
  bool busy;
};

LazyCell ACQUISITION_CLASS;
LazyCell ITER_EVENTS_CLASS;

PyObject* iter_events_class();

// The receiver's state; raises the internal error when the object was never constructed (a
// subclass that bypassed the constructor).
AcquisitionState* state_of(PyObject* self) {
  auto* state = reinterpret_cast<AcquisitionObject*>(self)->state;
  if (state == nullptr) throw InternalFailure("Acquisition object was not initialized");
  return state;
}

// A new object of `type` holding `state`.
PyObject* wrap(PyTypeObject* type, AcquisitionState state) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  reinterpret_cast<AcquisitionObject*>(self.get())->state = new AcquisitionState(std::move(state));
  return self.release();
}

// Construction from an opened handle: the metadata text goes to yaml.safe_load for Python and is
// deserialized again for the parameters; both readers must accept it.
PyObject* construct(PyTypeObject* type, tavroacq::Acquisition handle) {
  auto text = handle.metadata_str();
  if (!text) return raise_error(text.error());
  PyObject* safe_load = yaml_safe_load();
  if (safe_load == nullptr) return nullptr;
  Ref py_text = str(*text);
  if (!py_text) return nullptr;
  Ref metadata = Ref::steal(PyObject_CallFunctionObjArgs(safe_load, py_text.get(), nullptr));
  if (!metadata) return nullptr;
  auto record = handle.metadata();
  if (!record) return raise_error(record.error());
  return wrap(type, AcquisitionState{std::move(handle), std::move(record->params), std::move(metadata)});
}

// Bind fast-call style arguments from the tuple/dict form of tp_new.
bool bind_tuple_args(const char* callable, std::initializer_list<const char*> names, PyObject* args,
                     PyObject* kwargs, PyObject** out) {
  std::vector<PyObject*> flat;
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
  Ref kwnames;
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
    kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
    if (!kwnames) return false;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SET_ITEM(kwnames.get(), k++, key);
      flat.push_back(value);
    }
  }
  return bind_args(callable, names, flat.data(), nargs, kwnames.get(), out);
}

// ---- Acquisition: constructor and lifetime

PyObject* acquisition_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* root = nullptr;
    if (!bind_tuple_args("Acquisition()", {"root"}, args, kwargs, &root)) return nullptr;
    std::filesystem::path path;
    if (!to_path(root, "root", path)) return nullptr;
    auto handle = tavroacq::Acquisition::open(std::move(path));
    if (!handle) return raise_error(handle.error());
    return construct(type, std::move(*handle));
  });
}

void acquisition_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<AcquisitionObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- Acquisition: properties

template <PyObject* (*Body)(AcquisitionState&)>
PyObject* getter(PyObject* self, void*) {
  return guarded([&] { return Body(*state_of(self)); });
}

PyObject* get_is_valid(AcquisitionState& s) { return PyBool_FromLong(is_acquisition(s.handle.path())); }

PyObject* get_path(AcquisitionState& s) {
  const std::string& text = s.handle.path().native();
  if (!utf8_valid(text)) throw InternalFailure("acquisition path is not valid UTF-8");
  return str(text).release();
}

PyObject* get_name(AcquisitionState& s) { return str(s.handle.name()).release(); }

PyObject* get_chunk_count(AcquisitionState& s) { return PyLong_FromUnsignedLongLong(s.handle.chunk_count()); }

PyObject* get_metadata(AcquisitionState& s) { return Ref::borrow(s.metadata.get()).release(); }

PyObject* get_params(AcquisitionState& s) {
  PyObject* metadata = s.metadata.get();
  if (!PyDict_Check(metadata)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'dict'", Py_TYPE(metadata)->tp_name);
    return nullptr;
  }
  Ref key = str("params");
  if (!key) return nullptr;
  PyObject* value = PyDict_GetItemWithError(metadata, key.get());
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
    return nullptr;
  }
  return Ref::borrow(value).release();
}

template <MiscDataKind Kind>
PyObject* get_misc(AcquisitionState& s) {
  return load_misc_data(s.handle, Kind);
}

// Name, getter and docstring of every property.
#define ACQUISITION_PROPERTIES(X)                                                                          \
  X("is_valid", get_is_valid, "Check if the folder is a valid acquisition.")                              \
  X("path", get_path, "Get the path to the acquisition directory.")                                       \
  X("name", get_name, "Get the name of the acquisition.")                                                 \
  X("chunk_count", get_chunk_count, "Get the number of chunks in the acquisition")                        \
  X("metadata", get_metadata, "Read the metadata from the acquisition.")                                  \
  X("params", get_params, "Get acquisition params.")                                                      \
  X("readout_metadata", get_misc<MiscDataKind::ReadoutMetadata>,                                          \
    "Read the readout metadata from the acquisition.")                                                    \
  X("pedestals_calibration", get_misc<MiscDataKind::PedestalsCalibration>,                                \
    "Read pedestals calibration from the acquisition.")                                                   \
  X("adc_to_mv_calibration", get_misc<MiscDataKind::Adc2MvCalibration>,                                   \
    "Read ADC to mV calibration from the acquisition.")                                                   \
  X("timing_calibration", get_misc<MiscDataKind::TimingCalibration>, "Read timing calibration from the acquisition.")

#define GETSET_ENTRY(name, body, doc) {name, getter<body>, nullptr, doc, nullptr},
PyGetSetDef ACQUISITION_GETSET[] = {ACQUISITION_PROPERTIES(GETSET_ENTRY){nullptr, nullptr, nullptr, nullptr, nullptr}};
#undef GETSET_ENTRY

// ---- Acquisition: methods

// The one `index` argument of raw_event and parsed_event, as an unsigned 64-bit value.
bool index_arg(const char* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::uint64_t& index) {
  PyObject* obj = nullptr;
  return bind_args(callable, {"index"}, args, nargs, kwnames, &obj) && to_u64(obj, "index", index);
}

PyObject* raw_event_body(AcquisitionState& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::uint64_t index = 0;
  if (!index_arg("Acquisition.raw_event()", args, nargs, kwnames, index)) return nullptr;
  Ref bytes = Ref::steal(raw_event_bytes(s.handle, index));
  if (!bytes) return nullptr;
  Ref num = Ref::steal(PyLong_FromUnsignedLongLong(index));  // pkg_num and event_num are both the index
  Ref dict = Ref::steal(PyDict_New());
  if (!num || !dict || PyDict_SetItemString(dict.get(), "rawdata", bytes.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "pkg_num", num.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "event_num", num.get()) < 0)
    return nullptr;
  return dict.release();
}

PyObject* parsed_event_body(AcquisitionState& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::uint64_t index = 0;
  if (!index_arg("Acquisition.parsed_event()", args, nargs, kwnames, index)) return nullptr;
  auto raw = s.handle.get(index);
  if (!raw) return raise_error(raw.error());
  return parse_to_dict(s.params, std::move(*raw));
}

// Pickled by path: unpickling calls Acquisition(path), which opens the directory and reads its
// metadata again as a new object would, so acquisitions can be shipped to other processes.
PyObject* reduce_body(AcquisitionState& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_args("Acquisition.__reduce__()", {}, args, nargs, kwnames, nullptr)) return nullptr;
  PyObject* cls = acquisition_class();
  if (cls == nullptr) return nullptr;
  Ref path = Ref::steal(get_path(s));
  if (!path) return nullptr;
  return Py_BuildValue("(O(O))", cls, path.get());
}

using MethodBody = PyObject* (*)(AcquisitionState&, PyObject* const*, Py_ssize_t, PyObject*);

template <MethodBody Body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return Body(*state_of(self), args, nargs, kwnames); });
}

#define METHOD_IMPL(body) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<body>))
constexpr const char* RAW_EVENT_DOC = "raw_event($self, index)\n--\n\nFetch a raw event as `bytes`.";
constexpr const char* PARSED_EVENT_DOC =
    "parsed_event($self, index)\n--\n\nFetch a parsed event. Requires `tavrodaq` to be installed.";
constexpr const char* REDUCE_DOC = "__reduce__($self, /)\n--\n\nReturn state information for pickling.";

PyMethodDef ACQUISITION_METHODS[] = {
    {"raw_event", METHOD_IMPL(raw_event_body), METH_FASTCALL | METH_KEYWORDS, RAW_EVENT_DOC},
    {"parsed_event", METHOD_IMPL(parsed_event_body), METH_FASTCALL | METH_KEYWORDS, PARSED_EVENT_DOC},
    {"__reduce__", METHOD_IMPL(reduce_body), METH_FASTCALL | METH_KEYWORDS, REDUCE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

#ifdef PYPY_VERSION
// PyPy (7.3) drops the documentation of a native class's method and property descriptors, so
// there the class gets documented replacements once it is created: each property becomes a
// `property` whose getter is a plain native function, and each method a native function taking
// the receiver as its first argument, bound to instances like a Python function.

bool receiver(PyObject* obj, const char* callable) {
  if (acquisition_handle(obj) != nullptr) return true;
  PyErr_Format(PyExc_TypeError, "%s needs an Acquisition instance, got %s", callable,
               obj ? Py_TYPE(obj)->tp_name : "nothing");
  return false;
}

template <PyObject* (*Body)(AcquisitionState&)>
PyObject* property_getter(PyObject*, PyObject* obj) {
  return guarded([&]() -> PyObject* {
    if (!receiver(obj, "property")) return nullptr;
    return Body(*state_of(obj));
  });
}

template <MethodBody Body>
PyObject* unbound_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!receiver(nargs > 0 ? args[0] : nullptr, "method")) return nullptr;
    return Body(*state_of(args[0]), args + 1, nargs - 1, kwnames);
  });
}

#define PYPY_PROPERTY_ENTRY(name, body, doc) {name, property_getter<body>, METH_O, doc},
PyMethodDef PYPY_PROPERTIES[] = {ACQUISITION_PROPERTIES(PYPY_PROPERTY_ENTRY){nullptr, nullptr, 0, nullptr}};
#undef PYPY_PROPERTY_ENTRY

#define UNBOUND_IMPL(body) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unbound_method<body>))
PyMethodDef PYPY_METHODS[] = {
    {"raw_event", UNBOUND_IMPL(raw_event_body), METH_FASTCALL | METH_KEYWORDS, RAW_EVENT_DOC},
    {"parsed_event", UNBOUND_IMPL(parsed_event_body), METH_FASTCALL | METH_KEYWORDS, PARSED_EVENT_DOC},
    {"__reduce__", UNBOUND_IMPL(reduce_body), METH_FASTCALL | METH_KEYWORDS, REDUCE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

// PyPy gives every instance of a native class a dictionary; instances of the class itself refuse
// new attributes as they do on CPython (subclasses keep theirs).
int acquisition_setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(self)) != ACQUISITION_CLASS.peek())
    return PyObject_GenericSetAttr(self, name, value);
  if (PyObject_HasAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name))
    PyErr_Format(PyExc_AttributeError, "attribute '%U' of 'Acquisition' objects is not writable", name);
  else
    PyErr_Format(PyExc_AttributeError, "'Acquisition' object has no attribute '%U'", name);
  return -1;
}

bool document_descriptors(PyObject* type) {
  for (PyMethodDef* def = PYPY_PROPERTIES; def->ml_name != nullptr; ++def) {
    Ref fget = Ref::steal(PyCFunction_NewEx(def, nullptr, nullptr));
    Ref doc = str(def->ml_doc);
    Ref prop = Ref::steal(fget && doc ? PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type),
                                                                     fget.get(), Py_None, Py_None, doc.get(), nullptr)
                                      : nullptr);
    if (!prop || PyObject_SetAttrString(type, def->ml_name, prop.get()) < 0) return false;
  }
  for (PyMethodDef* def = PYPY_METHODS; def->ml_name != nullptr; ++def) {
    Ref fn = Ref::steal(PyCFunction_NewEx(def, nullptr, nullptr));
    Ref bound = Ref::steal(fn ? PyInstanceMethod_New(fn.get()) : nullptr);
    if (!bound || PyObject_SetAttrString(type, def->ml_name, bound.get()) < 0) return false;
  }
  return true;
}
#endif

// ---- Acquisition: mapping and iteration

Py_ssize_t acquisition_len(PyObject* self) {
  PyObject* r = guarded([&]() -> PyObject* {
    auto n = state_of(self)->handle.len();
    if (!n) return raise_error(n.error());
    return PyLong_FromUnsignedLongLong(*n);
  });
  if (r == nullptr) return -1;
  Ref count = Ref::steal(r);
  return PyLong_AsSsize_t(count.get());
}

PyObject* acquisition_subscript(PyObject* self, PyObject* key) {
  return guarded([&] {
    AcquisitionState& s = *state_of(self);
    return map_index_arg(s.handle, s.params, key);
  });
}

// An iterator of class `type` at the first event of `acq` (an Acquisition object).
PyObject* new_iterator(PyTypeObject* type, Ref acq) {
  Ref it = Ref::steal(type->tp_alloc(type, 0));
  if (!it) return nullptr;
  auto* obj = reinterpret_cast<IterEventsObject*>(it.get());
  obj->acq = acq.release();
  obj->index = 0;
  obj->busy = false;
  return it.release();
}

// A new iterator over a copy of the acquisition object (same path, parameters and metadata
// object); nothing is read from disk.
PyObject* acquisition_iter(PyObject* self) {
  return guarded([&]() -> PyObject* {
    AcquisitionState& s = *state_of(self);
    PyObject* cls = acquisition_class();
    PyObject* iter_cls = cls ? iter_events_class() : nullptr;
    if (iter_cls == nullptr) return nullptr;
    Ref copy = Ref::steal(wrap(reinterpret_cast<PyTypeObject*>(cls),
                               AcquisitionState{s.handle, s.params, Ref::borrow(s.metadata.get())}));
    if (!copy) return nullptr;
    return new_iterator(reinterpret_cast<PyTypeObject*>(iter_cls), std::move(copy));
  });
}

PyType_Slot ACQUISITION_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("The Python wrapper around the core acquisition handle.")},
    {Py_tp_new, reinterpret_cast<void*>(acquisition_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(acquisition_dealloc)},
    {Py_tp_getset, ACQUISITION_GETSET},
    {Py_tp_methods, ACQUISITION_METHODS},
    {Py_mp_length, reinterpret_cast<void*>(acquisition_len)},
    {Py_mp_subscript, reinterpret_cast<void*>(acquisition_subscript)},
    {Py_tp_iter, reinterpret_cast<void*>(acquisition_iter)},
#ifdef PYPY_VERSION
    {Py_tp_setattro, reinterpret_cast<void*>(acquisition_setattro)},
#endif
    {0, nullptr},
};

PyType_Spec ACQUISITION_SPEC = {
    "tavroacq.Acquisition",
    sizeof(AcquisitionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    ACQUISITION_SLOTS,
};

// ---- IterEvents

PyObject* iter_events_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* acq = nullptr;
    if (!bind_tuple_args("IterEvents()", {"acq"}, args, kwargs, &acq)) return nullptr;
    if (acquisition_handle(acq) == nullptr) {
      PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'Acquisition'", Py_TYPE(acq)->tp_name);
      return prefix_argument_error("acq");
    }
    return new_iterator(type, Ref::borrow(acq));
  });
}

void iter_events_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<IterEventsObject*>(self)->acq);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* iter_events_iter(PyObject* self) { return Ref::borrow(self).release(); }

// The next event, as acq[index] would give it; any failure ends the iteration without an
// exception and leaves the index where it is, so a later call retries it (and resumes once the
// acquisition has grown).
PyObject* iter_events_next(PyObject* self) {
  auto* it = reinterpret_cast<IterEventsObject*>(self);
  if (it->busy) return raise(PyExc_RuntimeError, "Already borrowed");
  it->busy = true;
  PyObject* event = guarded([&]() -> PyObject* {
    AcquisitionState& s = *state_of(it->acq);
    auto fetcher = EventFetcher::walk(s.handle);
    if (!fetcher) return nullptr;
    PyObject* ev = parsed_event_at(*fetcher, s.params, it->index);
    if (ev == nullptr) PyErr_Clear();
    return ev;
  });
  it->busy = false;
  if (event != nullptr) ++it->index;
  return event;
}

PyType_Slot ITER_EVENTS_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Iterator over events in an acquisition")},
    {Py_tp_new, reinterpret_cast<void*>(iter_events_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_events_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_events_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_events_next)},
    {0, nullptr},
};

PyType_Spec ITER_EVENTS_SPEC = {
    "tavroacq.IterEvents",
    sizeof(IterEventsObject),
    0,
    Py_TPFLAGS_DEFAULT,
    ITER_EVENTS_SLOTS,
};

PyObject* iter_events_class() {
  return ITER_EVENTS_CLASS.get([] { return PyType_FromSpec(&ITER_EVENTS_SPEC); });
}

// ---- Module functions

// The single path argument `name` of module function `callable`.
bool path_argument(const char* callable, const char* name, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::filesystem::path& path) {
  PyObject* obj = nullptr;
  return bind_args(callable, {name}, args, nargs, kwnames, &obj) && to_path(obj, name, path);
}

PyObject* list_acquisitions_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::filesystem::path path;
    if (!path_argument("list_acquisitions()", "root_dir", args, nargs, kwnames, path)) return nullptr;
    PyObject* cls = acquisition_class();
    if (cls == nullptr) return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (auto& handle : list_acquisitions(path)) {
      Ref acq = Ref::steal(construct(reinterpret_cast<PyTypeObject*>(cls), std::move(handle)));
      if (!acq) {
        PyErr_Clear();  // an entry that does not construct is skipped
        continue;
      }
      if (PyList_Append(list.get(), acq.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* is_acquisition_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::filesystem::path path;
    if (!path_argument("is_acquisition()", "path", args, nargs, kwnames, path)) return nullptr;
    return PyBool_FromLong(is_acquisition(path));
  });
}

}  // namespace

PyObject* acquisition_class() {
  return ACQUISITION_CLASS.get([]() -> PyObject* {
    Ref type = Ref::steal(PyType_FromSpec(&ACQUISITION_SPEC));
#ifdef PYPY_VERSION
    if (type && !document_descriptors(type.get())) return nullptr;
#endif
    return type.release();
  });
}

const tavroacq::Acquisition* acquisition_handle(PyObject* obj) {
  PyObject* cls = ACQUISITION_CLASS.peek();
  if (cls == nullptr || obj == nullptr ||
      !PyType_IsSubtype(Py_TYPE(obj), reinterpret_cast<PyTypeObject*>(cls)))
    return nullptr;
  AcquisitionState* state = reinterpret_cast<AcquisitionObject*>(obj)->state;
  return state ? &state->handle : nullptr;
}

PyMethodDef LIST_ACQUISITIONS_DEF = {
    "list_acquisitions", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(list_acquisitions_fn)),
    METH_FASTCALL | METH_KEYWORDS, "list_acquisitions(root_dir)\n--\n\nList all acquisitions in a directory."};

PyMethodDef IS_ACQUISITION_DEF = {
    "is_acquisition", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(is_acquisition_fn)),
    METH_FASTCALL | METH_KEYWORDS, "is_acquisition(path)\n--\n\nCheck if a folder is a valid acquisition."};

}  // namespace tavroacq::py
