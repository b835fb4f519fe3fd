// The pedestal table (one offset per channel, window label and sample position), its loader from
// the acquisition's gzip-compressed pickle, and its subtraction from one parsed event record.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "acquisition/metadata.h"
#include "calibration/gzip.h"
#include "calibration/pickle.h"
#include "parsing/event.h"

namespace tavroacq {

// Why a blob did not load. The export treats every failure alike; the stage says where it
// happened, with the gzip or pickle reason when the failure is theirs.
struct PedestalsError {
  enum class Stage : std::uint8_t {
    Gzip,         // not one valid gzip member
    Pickle,       // not one valid pickle of plain data, or bytes after it
    Shape,        // the pickled object is not a table of the accepted shape
    NoPedestals,  // the pickled object is None
    TooLarge,     // the table exceeds PedestalsLimits::max_table_bytes
  };
  Stage stage;
  GzipError gzip = GzipError::Corrupt;      // Stage::Gzip only
  pickle::Error pickle = pickle::Error::Malformed;  // Stage::Pickle only
};

// What loading may cost, sized from what a real table can be: the largest board event holds
// 393,216 samples (96 channels × 64 windows × 64 samples) and a table covers each channel's whole
// window ring once, so 16,777,216 offsets (64 MiB of floats) is over forty times that.
struct PedestalsLimits {
  // Decompressed pickle bytes: a 64 MiB table written at protocol 0 needs at most 32 bytes an
  // offset. Also bounds the time a gzip bomb can take.
  std::uint64_t max_stream_bytes = std::uint64_t{1} << 29;  // 512 MiB
  // The loaded table, counting 4 bytes an offset and 24 bytes a channel or window entry.
  std::uint64_t max_table_bytes = std::uint64_t{1} << 26;  // 64 MiB
  pickle::Limits reader;
};

struct Pedestals {
  // data[channel][window label][sample position]. The levels may be ragged: the correction
  // checks every index as it uses it.
  std::vector<std::vector<std::vector<float>>> data;

  // Loads the pedestals blob: one gzip member holding one pickle of None, of a dict whose "data"
  // key (text or bytes) holds the table, or of a list, tuple, set or frozen set whose first
  // element is the table. The table nests sequences (list, tuple, set, frozen set) three deep
  // around numbers: integers within signed 64 bits and floats, each narrowed to the nearest
  // 32-bit float. None fails with NoPedestals.
  static std::expected<Pedestals, PedestalsError> from_bytes(std::span<const std::uint8_t> blob,
                                                             const PedestalsLimits& limits = {});
};

// The record does not fit the table and the parameters. It has no message: its only consumer
// drops the record.
struct CorrectionError {
  bool operator==(const CorrectionError&) const = default;
};

// Subtracts the table from record.data in place, for channels 0 to params.channels - 1: sample j
// of a channel belongs to the window whose label stands at position j / params.samples of the
// channel's window_labels, at position j % params.samples within it. Channels without labels or
// without samples are skipped. Fails at the first index the record, the parameters or the table
// cannot serve (samples = 0 included); the subtractions made before it stay, so a failed record
// must be dropped.
std::expected<void, CorrectionError> correct(const Pedestals& pedestals, EventRecord& record, const Params& params);

}  // namespace tavroacq
