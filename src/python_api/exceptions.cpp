#include "python_api/exceptions.h"

#include <string>

#include "python_api/lazy_cell.h"

namespace tavroacq::py {
namespace {

LazyCell FULL_CHUNK_ERROR;
LazyCell METADATA_ERROR;
LazyCell PARSING_ERROR;
LazyCell EXPORT_ERROR;
LazyCell INTERNAL_ERROR;

PyObject* exception_type(LazyCell& cell, const char* qualified_name, PyObject* base) {
  PyObject* type = cell.get([&] {
    return PyErr_NewExceptionWithDoc(qualified_name, nullptr, base, nullptr);
  });
  if (type == nullptr) {
    PyErr_Clear();
    throw InternalFailure("Failed to initialize new exception type.");
  }
  return type;
}

}  // namespace

PyObject* full_chunk_error_type() { return exception_type(FULL_CHUNK_ERROR, "acquisition.FullChunkError", PyExc_Exception); }
PyObject* metadata_error_type() { return exception_type(METADATA_ERROR, "acquisition.MetadataError", PyExc_Exception); }
PyObject* parsing_error_type() { return exception_type(PARSING_ERROR, "acquisition.ParsingError", PyExc_Exception); }
PyObject* export_error_type() { return exception_type(EXPORT_ERROR, "acquisition.ExportError", PyExc_Exception); }

PyObject* internal_error_type() {
  PyObject* type = INTERNAL_ERROR.get([] {
    return PyErr_NewExceptionWithDoc("tavroacq.InternalError",
                                     "A broken internal assumption of tavroacq (not an ordinary error).",
                                     PyExc_BaseException, nullptr);
  });
  return type;
}

PyObject* raise_internal(std::string_view message) {
  PyObject* type = internal_error_type();
  if (type == nullptr) return nullptr;  // creating the class failed: that exception is pending
  return raise(type, message);
}

PyObject* raise_error(const AcquisitionError& e) {
  using Kind = AcquisitionError::Kind;
  PyObject* type = PyExc_OSError;
  switch (e.kind) {
    case Kind::InvalidPath: type = PyExc_FileNotFoundError; break;
    case Kind::AlreadyExists: type = PyExc_FileExistsError; break;
    case Kind::CreateFailed:
    case Kind::ReadFailed:
    case Kind::WriteFailed:
    case Kind::Unknown: type = PyExc_OSError; break;
    case Kind::IndexOutOfBounds: type = PyExc_IndexError; break;
    case Kind::ChunkCapacityExceeded: type = full_chunk_error_type(); break;
    case Kind::MissingMetadata:
    case Kind::MetadataAlreadyWritten: type = metadata_error_type(); break;
    case Kind::InvalidMetadata:
    case Kind::NoSuchMiscData: type = PyExc_ValueError; break;
  }
  return raise(type, e.message());
}

PyObject* raise_error(const MetadataError& e) {
  return raise(metadata_error_type(), std::string("Could not process metadata: ").append(e.message()));
}

PyObject* raise_error(const ParsingError& e) {
  return raise(parsing_error_type(), std::string("Failed to parse event: ").append(e.message()));
}

PyObject* raise_error(const ExportError& e) {
  return raise(export_error_type(), std::string("Could not export: ").append(e.message()));
}

}  // namespace tavroacq::py
