#include "export/driver.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <unistd.h>
#include <vector>

#include "acquisition/fetcher.h"
#include "acquisition/file.h"
#include "export/csv.h"
#include "parsing/util.h"

namespace tavroacq {
namespace {

// Keeps one buffer for every event's bytes: it only grows, so a chunk of similar events
// allocates once.
class ReusedSink final : public ByteSink {
 public:
  std::uint8_t* allocate(std::size_t len) override {
    if (len > buf_.size()) buf_.resize(len);
    len_ = len;
    return buf_.data();
  }
  Packet packet() const { return Packet(buf_.data(), len_); }

 private:
  std::vector<std::uint8_t> buf_;
  std::size_t len_ = 0;
};

// Reads events by global index for one export: the chunks are walked once, on the first read.
// If that walk fails, every event is read with a walk of its own, as a lone read would be.
class EventReader {
 public:
  explicit EventReader(const Acquisition& acquisition) : acquisition_(acquisition) {}

  std::expected<Packet, AcquisitionError> read(std::uint64_t index) {
    if (!walked_) {
      walked_ = true;
      if (auto fetcher = EventFetcher::walk(acquisition_)) fetcher_.emplace(std::move(*fetcher));
    }
    auto r = fetcher_ ? fetcher_->fetch(index, sink_) : acquisition_.get_into(index, sink_);
    if (!r) return std::unexpected(r.error());
    return sink_.packet();
  }

 private:
  const Acquisition& acquisition_;
  bool walked_ = false;
  std::optional<EventFetcher> fetcher_;
  ReusedSink sink_;
};

// Parsers may reserve room for channels they never fill; a chunk keeps up to a thousand records,
// so give that room back before keeping one.
void release_spare_room(EventRecord& r) {
  auto trim = [](auto& per_channel) {
    for (auto& v : per_channel)
      if (v.capacity() != v.size()) v.shrink_to_fit();
  };
  trim(r.data);
  trim(r.window_labels);
  trim(r.time);
  if (r.timing) trim(*r.timing);
  // ECC findings appear in no CSV file.
  r.ecc_errors.reset();
}

// The parsed records of one chunk's indices, in order; events that cannot be read or parsed
// are skipped.
class ParsedEvents {
 public:
  ParsedEvents(EventReader& reader, const Params& params, Family family, std::span<const std::uint64_t> indices)
      : reader_(&reader), params_(&params), family_(family), indices_(indices) {}

  std::optional<EventRecord> next() {
    while (next_ < indices_.size()) {
      auto packet = reader_->read(indices_[next_++]);
      if (!packet) continue;
      auto record = parse_with(family_, *packet, *params_);
      if (record) return std::move(*record);
    }
    return std::nullopt;
  }

 private:
  EventReader* reader_;
  const Params* params_;
  Family family_;
  std::span<const std::uint64_t> indices_;
  std::size_t next_ = 0;
};

std::expected<void, ExportError> export_chunk(EventReader& reader, const Params& params, Family family,
                                              Corrections corrections, std::span<const std::uint64_t> indices,
                                              const std::filesystem::path& path) {
  int fd;
  do {
    // Non-blocking: a FIFO of the file's name with no reader would otherwise hang the open for
    // ever; it fails instead. Writes then block as usual.
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(ExportError::from_errno(errno));
  UniqueFd file(fd);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0)
    return std::unexpected(ExportError::from_errno(errno));

  // Records that do not fit the calibrations are left out.
  std::vector<EventRecord> records;
  records.reserve(indices.size());
  Corrected stream(std::move(corrections), ParsedEvents(reader, params, family, indices));
  while (auto item = stream.next()) {
    if (!item->has_value()) continue;
    release_spare_room(**item);
    records.push_back(std::move(**item));
  }

  FdSink sink(file.get());
  auto written = export_csv(records, sink, params, family);
  records.clear();
  // A failure at close (deferred write errors) is a failure to write the file, too.
  const int closing = ::close(file.release());
  const int close_error = closing == 0 ? 0 : errno;
  if (!written) {
    ExportError e(ExportError::Kind::Csv);
    e.csv_detail = written.error().text();
    return std::unexpected(std::move(e));
  }
  if (closing != 0 && close_error != EINTR) {
    ExportError e(ExportError::Kind::Csv);
    e.csv_detail = CsvWriteError{close_error}.text();
    return std::unexpected(std::move(e));
  }
  return {};
}

}  // namespace

std::string chunk_file_name(const std::string& acquisition_name, std::uint64_t k) {
  return acquisition_name + " (chunk " + std::to_string(k) + ").csv";
}

std::expected<void, ExportError> export_csv_from_acq(Acquisition acquisition, std::span<const std::uint64_t> indices,
                                                     Corrections corrections, std::filesystem::path out_dir,
                                                     std::size_t chunk_size) {
  if (chunk_size == 0) throw InternalFailure("export chunk size must be at least 1");
  auto metadata = acquisition.metadata();
  if (!metadata) return std::unexpected(ExportError(std::move(metadata.error())));
  const Params params = std::move(metadata->params);
  if (indices.empty()) return {};

  EventReader reader(acquisition);
  std::optional<std::string> name;
  for (std::size_t first = 0, k = 0; first < indices.size(); first += chunk_size, ++k) {
    if (!name) name = acquisition.name();
    const std::filesystem::path path = out_dir / chunk_file_name(*name, k);
    const auto family = family_for_model(params.model);
    if (!family) return std::unexpected(ExportError(ParsingError(ParsingError::Kind::UnsupportedBoardModel)));
    const std::size_t n = std::min(chunk_size, indices.size() - first);
    // Every chunk gets its own copy of the calibrations.
    if (auto r = export_chunk(reader, params, *family, corrections, indices.subspan(first, n), path); !r) return r;
  }
  return {};
}

}  // namespace tavroacq
