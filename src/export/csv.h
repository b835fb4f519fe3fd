// The layout of one CSV export file: the channel columns, the header, the merged window order of
// an event, the placement of every channel's samples in rows and the number texts. A pure
// function of the records and the parameters, writing through a buffered writer into a sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <unistd.h>
#include <vector>

#include "acquisition/metadata.h"
#include "parsing/event.h"
#include "parsing/util.h"

namespace tavroacq {

// A failed write of CSV bytes: the operating system's error number.
struct CsvWriteError {
  int error_number = 0;
  std::string text() const;
};

// Where CSV bytes go. write() takes all of `len` bytes or fails.
class CsvSink {
 public:
  virtual ~CsvSink() = default;
  virtual std::expected<void, CsvWriteError> write(const char* data, std::size_t len) = 0;
};

// Writes to a file descriptor with write(2), looping over partial writes and EINTR.
class FdSink final : public CsvSink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  std::expected<void, CsvWriteError> write(const char* data, std::size_t len) override;

 private:
  int fd_;
};

// Collects the bytes in memory (tests, fuzzing).
class StringSink final : public CsvSink {
 public:
  std::string text;
  std::expected<void, CsvWriteError> write(const char* data, std::size_t len) override {
    text.append(data, len);
    return {};
  }
};

// The buffer between the formatting and the sink. Formatting writes straight into the buffer
// through cursor()/commit(); a full buffer goes to the sink in one write. The first failure is
// kept: later flushes return it without writing again.
class CsvWriter {
 public:
  static constexpr std::size_t DEFAULT_CAPACITY = std::size_t{1} << 20;
  // Room every caller may count on after ensure(): one row prefix or one channel group.
  static constexpr std::size_t MAX_PIECE = 256;

  explicit CsvWriter(CsvSink& sink, std::size_t capacity = DEFAULT_CAPACITY);
  CsvWriter(const CsvWriter&) = delete;
  CsvWriter& operator=(const CsvWriter&) = delete;

  char* cursor() const { return pos_; }
  void commit(char* pos) { pos_ = pos; }
  // Makes at least MAX_PIECE bytes free at cursor(), flushing if needed.
  std::expected<void, CsvWriteError> ensure() {
    if (static_cast<std::size_t>(end_ - pos_) >= MAX_PIECE) return {};
    return flush();
  }
  void append(std::string_view s);  // any length; flushes as needed (header text)
  std::expected<void, CsvWriteError> flush();
  const std::expected<void, CsvWriteError>& status() const { return status_; }

  // Scratch space of write_event, kept across the events of a file so that no event allocates
  // once the largest event has been seen.
  struct Scratch;
  Scratch& scratch() { return *scratch_; }

  ~CsvWriter();

 private:
  CsvSink& sink_;
  std::unique_ptr<char[]> buf_;
  char* pos_;
  char* end_;
  std::expected<void, CsvWriteError> status_;
  std::unique_ptr<Scratch> scratch_;
};

// Whether the family's records carry per-window timing values (brisav1): a fourth column per
// channel.
inline bool has_timing_column(Family family) { return family == Family::Brisav1; }

// The file's channel list: every channel with samples in at least one record, ascending.
std::vector<std::size_t> channels(std::span<const EventRecord> records);

// The labels of all channels of one event merged into one window order (wrapped channels' windows
// before the wrap first); consecutive equal labels appear once.
std::vector<std::uint16_t> merge_window_labels(const std::vector<std::vector<std::uint16_t>>& window_labels);

// "acq_num,evt_num" and the group names of every channel of `k`.
void write_header(CsvWriter& writer, std::span<const std::size_t> k, bool timing);

// The rows of the record at position `position` of the file. A channel whose samples do not fit
// the event's rows leaves its columns empty and reports "Bad channel {c} at Event {e}" on
// `diagnostic_fd`.
std::expected<void, CsvWriteError> write_event(CsvWriter& writer, const Params& params, const EventRecord& record,
                                               std::span<const std::size_t> k, std::uint64_t position, bool timing,
                                               int diagnostic_fd = STDOUT_FILENO);

// One file's whole content: header, then every record's rows; stops at the first write failure.
// The writer's buffer is flushed at the end and a failure of that flush is returned too.
std::expected<void, CsvWriteError> export_csv(std::span<const EventRecord> records, CsvSink& sink,
                                              const Params& params, Family family,
                                              int diagnostic_fd = STDOUT_FILENO);

// Cell texts, exposed for tests. Each writes at `out` (room for MAX_NUMBER_TEXT bytes) and
// returns the end. A NaN writes nothing.
inline constexpr std::size_t MAX_NUMBER_TEXT = 64;
// The shortest text that reads back as the same float, positional, "-0", "inf", "-inf".
char* format_float(char* out, float value);
// A sample: roundf(x * 10) / 10 in float arithmetic, then as format_float.
char* format_sample(char* out, float x);
char* format_uint(char* out, std::uint64_t value);

}  // namespace tavroacq
