// The auxiliary files of an acquisition, read whole as opaque bytes.
#include <cerrno>

#include "acquisition.h"
#include "acquisition/file.h"

namespace tavroacq {
namespace {

const char* file_name(MiscDataKind kind) {
  switch (kind) {
    case MiscDataKind::ReadoutMetadata: return "readout_metadata";
    case MiscDataKind::PedestalsCalibration: return "pedestals_calibration";
    case MiscDataKind::TimingCalibration: return "timing_calibration";
    case MiscDataKind::Adc2MvCalibration: return "adc2mv_calibration";
  }
  throw InternalFailure("unknown auxiliary file kind");
}

}  // namespace

std::expected<MiscData, AcquisitionError> Acquisition::misc_data(MiscDataKind kind, std::uint64_t max_size) const {
  auto bytes = read_whole_file(path_ / file_name(kind), max_size);
  if (!bytes) {
    // Absence of the file, or of a directory on its path, is the one case that is not an error.
    if (bytes.error() == ENOENT || bytes.error() == ENOTDIR)
      return std::unexpected(AcquisitionError::Kind::NoSuchMiscData);
    return std::unexpected(AcquisitionError::from_os_error(bytes.error()));
  }
  return MiscData{std::move(*bytes), kind};
}

}  // namespace tavroacq
