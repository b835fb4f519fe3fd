// The CSV export of chosen events of an acquisition: the indices cut into chunks, one file per
// chunk, every event read, parsed and corrected once, then laid out by export/csv.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>

#include "acquisition.h"
#include "calibration.h"
#include "error.h"

namespace tavroacq {

// "<acquisition name> (chunk <k>).csv"
std::string chunk_file_name(const std::string& acquisition_name, std::uint64_t k);

// Writes the events `indices` (in this order; repetitions and indices past the end allowed) into
// files of at most `chunk_size` events in `out_dir`. Events that cannot be read, parsed or
// corrected are left out. Errors, in the order they are checked: the metadata (Acquisition
// wrapping it), then at the first chunk the acquisition's name (InternalFailure thrown) and the
// board model (Parsing), then per chunk opening the file (InvalidPath, AccessDenied, Unknown) and
// writing it (Csv). An empty index list writes nothing. `chunk_size` must be at least 1.
std::expected<void, ExportError> export_csv_from_acq(Acquisition acquisition, std::span<const std::uint64_t> indices,
                                                     Corrections corrections, std::filesystem::path out_dir,
                                                     std::size_t chunk_size);

}  // namespace tavroacq
