#include "error.h"

#include <cerrno>
#include <cstring>

namespace tavroacq {

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r returns the text (possibly a static string, not buf).
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

AcquisitionError AcquisitionError::from_os_error(int err) { return read_failed(os_error_text(err)); }

std::string AcquisitionError::message() const {
  switch (kind) {
    case Kind::InvalidPath: return "Invalid path";
    case Kind::AlreadyExists: return "Acquisition already exists";
    case Kind::CreateFailed: return "Could not create acquisition";
    case Kind::ReadFailed: return "Could not read acquisition: " + text;
    case Kind::IndexOutOfBounds: return "Index out of bounds";
    case Kind::ChunkCapacityExceeded: return "Chunk capacity exceeded";
    case Kind::WriteFailed: return "Failed to write data";
    case Kind::MissingMetadata: return "Acquisition is missing metadata";
    case Kind::MetadataAlreadyWritten: return "Cannot write metadata twice";
    case Kind::InvalidMetadata: return "Invalid metadata";
    case Kind::NoSuchMiscData: return "No such misc data";
    case Kind::Unknown: return "Unknown error";
  }
  return "Unknown error";
}

std::string_view MetadataError::message() const {
  switch (kind) {
    case Kind::InvalidFormat:
    case Kind::Unreadable: return "invalid metadata format";
    case Kind::Deserialize: return "failed to serialized";
  }
  return "invalid metadata format";
}

std::string_view ParsingError::message() const {
  switch (kind) {
    case Kind::InvalidParameters: return "provided parameters are invalid";
    case Kind::UnexpectedLength: return "unexpected length of data";
    case Kind::InvalidChannel: return "invalid channel number";
    case Kind::InvalidWindowLabel: return "invalid window label";
    case Kind::MissingData: return "required data missing when parsing";
    case Kind::EmptyPackage: return "Encountered an empty Package which can't be parsed";
    case Kind::UnsupportedBoardModel: return "data is from an unsupported board model";
    case Kind::Unknown: return "unknown";
  }
  return "unknown";
}

ExportError ExportError::from_io(std::error_code ec) {
  if (ec == std::errc::no_such_file_or_directory) return Kind::InvalidPath;
  if (ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted) return Kind::AccessDenied;
  return Kind::Unknown;
}

std::string_view ExportError::message() const {
  switch (kind) {
    case Kind::InvalidPath: return "invalid path";
    case Kind::AccessDenied: return "file access was denied";
    case Kind::InvalidFormat: return "invalid format";
    case Kind::InvalidOptions: return "specified options are invalid for the data being exported";
    case Kind::Csv: return "error occurred while exporting as csv";
    case Kind::Parsing: return "error occurred while parsing";
    case Kind::Acquisition: return "error occurred while accessing acquisition";
    case Kind::Unknown: return "unknown";
  }
  return "unknown";
}

}  // namespace tavroacq
