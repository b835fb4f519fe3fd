// The four error types of the system and their fixed messages. Errors travel as values through
// the core (std::expected); only the Python boundary turns them into exceptions.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tavroacq {

// A broken internal assumption: not an error kind. The binding turns it into its internal-error
// exception class (derived from BaseException).
class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct AcquisitionError {
  enum class Kind : std::uint8_t {
    InvalidPath,
    AlreadyExists,
    CreateFailed,
    ReadFailed,
    IndexOutOfBounds,
    ChunkCapacityExceeded,
    WriteFailed,
    MissingMetadata,
    MetadataAlreadyWritten,
    InvalidMetadata,
    NoSuchMiscData,
    Unknown,
  };
  Kind kind;
  std::string text;  // ReadFailed only

  AcquisitionError(Kind k) : kind(k) {}  // NOLINT: kinds convert implicitly
  static AcquisitionError read_failed(std::string text) {
    AcquisitionError e(Kind::ReadFailed);
    e.text = std::move(text);
    return e;
  }
  // ReadFailed carrying the operating system's text for errno `err`: "<text> (os error N)".
  static AcquisitionError from_os_error(int err);
  std::string message() const;
  bool operator==(Kind k) const { return kind == k; }
};

// "<strerror text> (os error N)", the way I/O errors are shown to users.
std::string os_error_text(int err);

struct MetadataError {
  enum class Kind : std::uint8_t { InvalidFormat, Unreadable, Deserialize };
  Kind kind;
  // The YAML reader's description (Deserialize only); travels with the error, never displayed.
  std::string detail;

  MetadataError(Kind k, std::string d = {}) : kind(k), detail(std::move(d)) {}  // NOLINT
  std::string_view message() const;
  bool operator==(Kind k) const { return kind == k; }
};

struct ParsingError {
  enum class Kind : std::uint8_t {
    InvalidParameters,
    UnexpectedLength,
    InvalidChannel,
    InvalidWindowLabel,
    MissingData,
    EmptyPackage,
    UnsupportedBoardModel,
    Unknown,
  };
  Kind kind;

  ParsingError(Kind k) : kind(k) {}  // NOLINT
  std::string_view message() const;
  bool operator==(Kind k) const { return kind == k; }
  bool operator==(const ParsingError&) const = default;
};

struct ExportError {
  enum class Kind : std::uint8_t {
    InvalidPath,
    AccessDenied,
    InvalidFormat,
    InvalidOptions,
    Csv,
    Parsing,
    Acquisition,
    Unknown,
  };
  Kind kind;
  // Wrapped errors travel with the kind; their own texts never appear in the message.
  ParsingError parsing{ParsingError::Kind::Unknown};
  std::shared_ptr<const MetadataError> metadata;
  std::string csv_detail;

  ExportError(Kind k) : kind(k) {}  // NOLINT
  ExportError(ParsingError p) : kind(Kind::Parsing), parsing(p) {}  // NOLINT
  ExportError(MetadataError m)  // NOLINT
      : kind(Kind::Acquisition), metadata(std::make_shared<const MetadataError>(std::move(m))) {}
  // By the I/O error's kind: not found → InvalidPath, permission → AccessDenied, else Unknown.
  static ExportError from_io(std::error_code ec);
  static ExportError from_errno(int err) { return from_io(std::error_code(err, std::generic_category())); }
  std::string_view message() const;
  bool operator==(Kind k) const { return kind == k; }
};

}  // namespace tavroacq
