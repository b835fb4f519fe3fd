#include <gtest/gtest.h>

#include <cerrno>

#include "error.h"

namespace tavroacq {
namespace {

TEST(ErrorMessages, AcquisitionKinds) {
  using K = AcquisitionError::Kind;
  const std::pair<K, const char*> cases[] = {
      {K::InvalidPath, "Invalid path"},
      {K::AlreadyExists, "Acquisition already exists"},
      {K::CreateFailed, "Could not create acquisition"},
      {K::IndexOutOfBounds, "Index out of bounds"},
      {K::ChunkCapacityExceeded, "Chunk capacity exceeded"},
      {K::WriteFailed, "Failed to write data"},
      {K::MissingMetadata, "Acquisition is missing metadata"},
      {K::MetadataAlreadyWritten, "Cannot write metadata twice"},
      {K::InvalidMetadata, "Invalid metadata"},
      {K::NoSuchMiscData, "No such misc data"},
      {K::Unknown, "Unknown error"},
  };
  for (auto [kind, text] : cases) EXPECT_EQ(AcquisitionError(kind).message(), text) << text;
  EXPECT_EQ(AcquisitionError::read_failed("failed to read metadata").message(),
            "Could not read acquisition: failed to read metadata");
  EXPECT_EQ(AcquisitionError::from_os_error(EACCES).message(),
            "Could not read acquisition: Permission denied (os error 13)");
  EXPECT_EQ(AcquisitionError::from_os_error(EISDIR).message(),
            "Could not read acquisition: Is a directory (os error 21)");
}

TEST(ErrorMessages, ParsingAndMetadataKinds) {
  using P = ParsingError::Kind;
  const std::pair<P, const char*> cases[] = {
      {P::InvalidParameters, "provided parameters are invalid"},
      {P::UnexpectedLength, "unexpected length of data"},
      {P::InvalidChannel, "invalid channel number"},
      {P::InvalidWindowLabel, "invalid window label"},
      {P::MissingData, "required data missing when parsing"},
      {P::EmptyPackage, "Encountered an empty Package which can't be parsed"},
      {P::UnsupportedBoardModel, "data is from an unsupported board model"},
      {P::Unknown, "unknown"},
  };
  for (auto [kind, text] : cases) EXPECT_EQ(ParsingError(kind).message(), text) << text;
  EXPECT_EQ(MetadataError(MetadataError::Kind::InvalidFormat).message(), "invalid metadata format");
  EXPECT_EQ(MetadataError(MetadataError::Kind::Unreadable).message(), "invalid metadata format");
  EXPECT_EQ(MetadataError(MetadataError::Kind::Deserialize, "missing field `params` at line 1").message(),
            "failed to serialized");
}

TEST(ErrorMessages, ExportKindsAndConversions) {
  using E = ExportError::Kind;
  const std::pair<ExportError, const char*> cases[] = {
      {E::InvalidFormat, "invalid format"},
      {E::InvalidOptions, "specified options are invalid for the data being exported"},
      {E::Csv, "error occurred while exporting as csv"},
      {E::Unknown, "unknown"},
      {ExportError::from_errno(ENOENT), "invalid path"},
      {ExportError::from_errno(EACCES), "file access was denied"},
      {ExportError::from_errno(ENOSPC), "unknown"},
      {ExportError::from_errno(EISDIR), "unknown"},
      {ExportError(ParsingError(ParsingError::Kind::UnsupportedBoardModel)), "error occurred while parsing"},
      {ExportError(MetadataError(MetadataError::Kind::Deserialize, "x")), "error occurred while accessing acquisition"},
  };
  for (const auto& [err, text] : cases) EXPECT_EQ(err.message(), text) << text;
  ExportError wrapped(ParsingError(ParsingError::Kind::EmptyPackage));
  EXPECT_EQ(wrapped.parsing, ParsingError::Kind::EmptyPackage);
}

}  // namespace
}  // namespace tavroacq
