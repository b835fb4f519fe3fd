// export_csv: converts the arguments, then runs the CSV export with the interpreter lock released
// and turns its outcome into None or an exception once the lock is held again.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "calibration.h"
#include "calibration/pedestals.h"
#include "export/driver.h"
#include "python_api/acquisition.h"
#include "python_api/acquisition/util.h"
#include "python_api/args.h"
#include "python_api/exceptions.h"
#include "python_api/registry.h"

namespace tavroacq::py {
namespace {

constexpr std::size_t EVENTS_PER_FILE = 1000;
// A gzip member whose output fits the loader's cap is at most a little larger than that output
// (stored blocks, headers): a larger blob cannot load, and reading it whole would only take memory.
constexpr std::uint64_t MAX_PEDESTALS_BLOB = 2 * PedestalsLimits{}.max_stream_bytes;

bool to_indices(PyObject* obj, std::vector<std::uint64_t>& out) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected a sequence of integers, got %s", Py_TYPE(obj)->tp_name);
    prefix_argument_error("indices");
    return false;
  }
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) return false;
  // The length is the object's own claim (__len__): room grows with the items actually read.
  out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(n, Py_ssize_t{1} << 16)));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    if (!item) return false;
    std::uint64_t v = 0;
    if (!to_u64(item.get(), "indices", v)) return false;
    out.push_back(v);
  }
  return true;
}

// What the export produced, carried across the re-taking of the interpreter lock.
struct Outcome {
  std::variant<std::monostate, MetadataError, ExportError> error;
  std::optional<std::string> internal_failure;
  bool out_of_memory = false;
};

// Runs without the interpreter lock: touches no Python object.
void run_export(const Acquisition& acquisition, std::vector<std::uint64_t> indices, std::filesystem::path out_dir,
                bool pedestals_correction, Outcome& outcome) {
  auto metadata = acquisition.metadata();
  if (!metadata) {
    outcome.error = std::move(metadata.error());
    return;
  }
  Corrections corrections(std::move(metadata->params));
  if (pedestals_correction) {
    // No blob, an unreadable one or one that does not load: the export runs uncorrected.
    if (auto blob = acquisition.misc_data(MiscDataKind::PedestalsCalibration, MAX_PEDESTALS_BLOB)) {
      if (auto table = Pedestals::from_bytes(blob->bytes))
        corrections = std::move(corrections).pedestals(std::move(*table));
    }
  }
  auto result = export_csv_from_acq(acquisition, indices, std::move(corrections), std::move(out_dir),
                                    EVENTS_PER_FILE);
  if (!result) outcome.error = std::move(result.error());
}

PyObject* export_csv_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[4];
    if (!bind_args("export_csv()", {"acq", "indices", "out_dir", "pedestals_correction"}, args, nargs, kwnames, arg))
      return nullptr;
    const Acquisition* handle = acquisition_handle(arg[0]);
    if (handle == nullptr) {
      PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'Acquisition'", Py_TYPE(arg[0])->tp_name);
      return prefix_argument_error("acq");
    }
    std::vector<std::uint64_t> indices;
    if (!to_indices(arg[1], indices)) return nullptr;
    std::filesystem::path out_dir;
    if (!to_path(arg[2], "out_dir", out_dir)) return nullptr;
    if (!PyBool_Check(arg[3])) {
      PyErr_Format(PyExc_TypeError, "expected bool, got %s", Py_TYPE(arg[3])->tp_name);
      return prefix_argument_error("pedestals_correction");
    }
    const bool pedestals_correction = arg[3] == Py_True;
    // From here on the Python object is not used: the export works on its own copy of the handle.
    const Acquisition acquisition = *handle;

    Outcome outcome;
    PyThreadState* thread = PyEval_SaveThread();
    // Nothing may leave this block by exception while the lock is released: C++ failures are
    // kept and turned into Python exceptions only after the lock is taken back.
    try {
      run_export(acquisition, std::move(indices), std::move(out_dir), pedestals_correction, outcome);
    } catch (const std::bad_alloc&) {
      outcome.out_of_memory = true;
    } catch (const std::exception& e) {
      try {
        outcome.internal_failure = e.what();
      } catch (...) {
        outcome.out_of_memory = true;
      }
    } catch (...) {
      outcome.internal_failure.emplace();
    }
    PyEval_RestoreThread(thread);

    if (outcome.out_of_memory) return PyErr_NoMemory();
    if (outcome.internal_failure) {
      if (outcome.internal_failure->empty()) return raise_internal("unknown internal failure");
      return raise_internal(*outcome.internal_failure);
    }
    if (const auto* e = std::get_if<MetadataError>(&outcome.error)) return raise_error(*e);
    if (const auto* e = std::get_if<ExportError>(&outcome.error)) return raise_error(*e);
    Py_RETURN_NONE;
  });
}

}  // namespace

PyMethodDef EXPORT_CSV_DEF = {
    "export_csv", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(export_csv_fn)),
    METH_FASTCALL | METH_KEYWORDS, "export_csv(acq, indices, out_dir, pedestals_correction)\n--\n\n"};

}  // namespace tavroacq::py
