// The module's exception types (created on first need) and the one mapping from core error kinds
// to Python exceptions. Every raise_* function sets the pending exception and returns nullptr.
#pragma once

#include "error.h"
#include "python_api/py.h"

namespace tavroacq::py {

// The four exception types, each a lazily created, process-wide class deriving from Exception,
// whose __module__ is "acquisition". Borrowed references; throw InternalFailure if creation fails.
PyObject* full_chunk_error_type();
PyObject* metadata_error_type();
PyObject* parsing_error_type();
PyObject* export_error_type();
// The class for internal failures; derives from BaseException so `except Exception` misses it.
PyObject* internal_error_type();

PyObject* raise_error(const AcquisitionError& e);
PyObject* raise_error(const MetadataError& e);
PyObject* raise_error(const ParsingError& e);
PyObject* raise_error(const ExportError& e);
PyObject* raise_internal(std::string_view message);

// Runs `body` (which follows the C API convention: null with an exception set on failure) and
// turns C++ exceptions that escape it into Python exceptions: InternalFailure into the internal
// error class, bad_alloc into MemoryError.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal(e.what());
  } catch (...) {
    return raise_internal("unknown internal failure");
  }
}

}  // namespace tavroacq::py
