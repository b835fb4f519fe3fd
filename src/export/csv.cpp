#include "export/csv.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "error.h"

namespace tavroacq {
namespace {

constexpr char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr std::uint32_t NO_LABEL = 0x10000;  // above every 16-bit label
constexpr std::uint32_t NOT_IN_M = std::numeric_limits<std::uint32_t>::max();

// Below this magnitude of t = roundf(x * 10), the float t / 10 is spaced more finely than 0.1,
// so its shortest text is t / 10 written with at most one decimal.
constexpr float SAMPLE_FAST_LIMIT = 10485760.0f;  // 10 * 2^20

// One line per call with write(2) on the descriptor itself, so the line is never split or
// reordered by a buffer that Python or C stdio keep for the same descriptor.
void report_bad_channel(int fd, std::uint64_t channel, std::uint64_t position) {
  char line[96];
  char* p = line;
  std::memcpy(p, "Bad channel ", 12);
  p = format_uint(p + 12, channel);
  std::memcpy(p, " at Event ", 10);
  p = format_uint(p + 10, position);
  *p++ = '\n';
  (void)FdSink(fd).write(line, static_cast<std::size_t>(p - line));  // a diagnostic that cannot be shown is dropped
}

// A channel's label sequence during the merge: [cur, end) is what is left of it.
struct LabelSeq {
  const std::uint16_t* begin;
  const std::uint16_t* cur;
  const std::uint16_t* end;
  std::size_t index_at;   // into MergeScratch::index, or npos before the first lookup
  std::size_t index_len;
};

struct MergeScratch {
  std::vector<LabelSeq> seqs;
  // Per looked-up sequence: (label, last position of the label in the sequence), by label.
  std::vector<std::pair<std::uint16_t, std::uint32_t>> index;

  // Whether what is left of `s` holds `label`. Short rests are scanned; long ones get an index of
  // last positions once, so a long rising channel does not make the merge cubic.
  bool contains(LabelSeq& s, std::uint16_t label) {
    if (s.end - s.cur <= 64) return std::find(s.cur, s.end, label) != s.end;
    if (s.index_at == std::string::npos) {
      s.index_at = index.size();
      for (const std::uint16_t* p = s.begin; p != s.end; ++p)
        index.emplace_back(*p, static_cast<std::uint32_t>(p - s.begin));
      auto first = index.begin() + static_cast<std::ptrdiff_t>(s.index_at);
      std::sort(first, index.end());
      // Keep the last (largest) position of every label.
      auto out = first;
      for (auto it = first; it != index.end(); ++it)
        if (it + 1 == index.end() || (it + 1)->first != it->first) *out++ = *it;
      index.erase(out, index.end());
      s.index_len = index.size() - s.index_at;
    }
    auto first = index.begin() + static_cast<std::ptrdiff_t>(s.index_at);
    auto last = first + static_cast<std::ptrdiff_t>(s.index_len);
    auto it = std::lower_bound(first, last, std::pair<std::uint16_t, std::uint32_t>{label, 0});
    return it != last && it->first == label && it->second >= static_cast<std::uint32_t>(s.cur - s.begin);
  }
};

void merge_into(const std::vector<std::vector<std::uint16_t>>& window_labels, MergeScratch& m,
                std::vector<std::uint16_t>& out) {
  out.clear();
  m.seqs.clear();
  m.index.clear();
  for (const auto& labels : window_labels)
    if (!labels.empty())
      m.seqs.push_back({labels.data(), labels.data(), labels.data() + labels.size(), std::string::npos, 0});

  while (!m.seqs.empty()) {
    // A rising sequence's first label is below its last; a wrapped one's is above.
    LabelSeq* first_rising = nullptr;
    bool any_wrapped = false;
    for (LabelSeq& s : m.seqs) {
      const std::uint16_t f = *s.cur, l = *(s.end - 1);
      if (f < l) {
        if (first_rising == nullptr) first_rising = &s;
      } else if (l < f) {
        any_wrapped = true;
      }
    }
    // With both kinds present, the candidates are the wrapped sequences whose first label the
    // first rising sequence does not hold: their windows before the wrap come first.
    std::uint32_t e = NO_LABEL;
    if (first_rising != nullptr && any_wrapped) {
      for (LabelSeq& s : m.seqs) {
        const std::uint16_t f = *s.cur, l = *(s.end - 1);
        if (l < f && f < e && !m.contains(*first_rising, f)) e = f;
      }
    }
    if (e == NO_LABEL)
      for (const LabelSeq& s : m.seqs) e = std::min<std::uint32_t>(e, *s.cur);

    const auto label = static_cast<std::uint16_t>(e);
    if (out.empty() || out.back() != label) out.push_back(label);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m.seqs.size(); ++i) {
      LabelSeq s = m.seqs[i];
      if (*s.cur == label) ++s.cur;
      if (s.cur != s.end) m.seqs[kept++] = s;
    }
    m.seqs.resize(kept);
  }
}

// Where one channel's samples go in the rows of an event.
struct Group {
  bool active = false;
  std::uint64_t start = 0;  // first row
  std::uint64_t end = 0;    // one past the last row
  std::uint64_t first_window = 0;  // h: position in M of the channel's first label
  const float* data = nullptr;
  const std::uint16_t* labels = nullptr;
  std::size_t n_labels = 0;
  const std::uint16_t* time = nullptr;
  std::size_t n_time = 0;
  const std::uint32_t* timing = nullptr;
  std::size_t n_timing = 0;
};

}  // namespace

struct CsvWriter::Scratch {
  MergeScratch merge;
  std::vector<std::uint16_t> merged;
  // Position of each label's first occurrence in `merged`; reset after every event.
  std::vector<std::uint32_t> first_pos = std::vector<std::uint32_t>(NO_LABEL, NOT_IN_M);
  std::vector<Group> groups;
};

std::string CsvWriteError::text() const { return os_error_text(error_number); }

std::expected<void, CsvWriteError> FdSink::write(const char* data, std::size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd_, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(CsvWriteError{errno});
    }
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return {};
}

CsvWriter::CsvWriter(CsvSink& sink, std::size_t capacity)
    : sink_(sink),
      buf_(new char[std::max(capacity, 2 * MAX_PIECE)]),
      pos_(buf_.get()),
      end_(buf_.get() + std::max(capacity, 2 * MAX_PIECE)),
      scratch_(std::make_unique<Scratch>()) {}

CsvWriter::~CsvWriter() = default;

std::expected<void, CsvWriteError> CsvWriter::flush() {
  if (!status_) return status_;
  const std::size_t len = static_cast<std::size_t>(pos_ - buf_.get());
  pos_ = buf_.get();
  if (len > 0) {
    auto r = sink_.write(buf_.get(), len);
    if (!r) status_ = std::unexpected(r.error());
  }
  return status_;
}

void CsvWriter::append(std::string_view s) {
  while (!s.empty() && status_) {
    if (pos_ == end_) {
      flush();
      continue;
    }
    const std::size_t n = std::min(s.size(), static_cast<std::size_t>(end_ - pos_));
    std::memcpy(pos_, s.data(), n);
    pos_ += n;
    s.remove_prefix(n);
  }
}

char* format_uint(char* out, std::uint64_t v) {
  char tmp[20];
  char* p = tmp + sizeof tmp;
  while (v >= 100) {
    const std::uint64_t q = v / 100;
    p -= 2;
    std::memcpy(p, DIGIT_PAIRS + 2 * (v - q * 100), 2);
    v = q;
  }
  if (v >= 10) {
    p -= 2;
    std::memcpy(p, DIGIT_PAIRS + 2 * v, 2);
  } else {
    *--p = static_cast<char>('0' + v);
  }
  const auto n = static_cast<std::size_t>(tmp + sizeof tmp - p);
  std::memcpy(out, p, n);
  return out + n;
}

char* format_float(char* out, float value) {
  if (std::isnan(value)) return out;
  const float magnitude = std::fabs(value);
  // Whole numbers (every label, time index, timing value and position) print as their digits,
  // which is also what the shortest positional text is for them.
  if (magnitude < 0x1p63f && value == std::trunc(value)) {
    if (std::signbit(value)) *out++ = '-';
    return format_uint(out, static_cast<std::uint64_t>(magnitude));
  }
  return std::to_chars(out, out + MAX_NUMBER_TEXT, value, std::chars_format::fixed).ptr;
}

char* format_sample(char* out, float x) {
  const float t = std::roundf(x * 10.0f);
  if (std::isnan(t)) return out;
  const float magnitude = std::fabs(t);
  if (magnitude < SAMPLE_FAST_LIMIT) {
    if (std::signbit(t)) *out++ = '-';
    const auto n = static_cast<std::uint32_t>(magnitude);
    out = format_uint(out, n / 10);
    if (n % 10 != 0) {
      out[0] = '.';
      out[1] = static_cast<char>('0' + n % 10);
      out += 2;
    }
    return out;
  }
  return format_float(out, t / 10.0f);
}

std::vector<std::size_t> channels(std::span<const EventRecord> records) {
  std::size_t width = 0;
  for (const EventRecord& r : records) width = std::max(width, r.data.size());
  std::vector<char> seen(width, 0);
  for (const EventRecord& r : records)
    for (std::size_t c = 0; c < r.data.size(); ++c)
      if (!r.data[c].empty()) seen[c] = 1;
  std::vector<std::size_t> k;
  for (std::size_t c = 0; c < width; ++c)
    if (seen[c]) k.push_back(c);
  return k;
}

std::vector<std::uint16_t> merge_window_labels(const std::vector<std::vector<std::uint16_t>>& window_labels) {
  MergeScratch scratch;
  std::vector<std::uint16_t> out;
  merge_into(window_labels, scratch, out);
  return out;
}

void write_header(CsvWriter& writer, std::span<const std::size_t> k, bool timing) {
  writer.append("acq_num,evt_num");
  char num[24];
  for (std::size_t c : k) {
    const std::string_view n(num, static_cast<std::size_t>(format_uint(num, c) - num));
    writer.append(",windnum_ch");
    writer.append(n);
    writer.append(",data_ch");
    writer.append(n);
    writer.append(",time_ch");
    writer.append(n);
    if (timing) {
      writer.append(",timing_ch");
      writer.append(n);
    }
  }
  writer.append("\n");
}

std::expected<void, CsvWriteError> write_event(CsvWriter& writer, const Params& params, const EventRecord& record,
                                               std::span<const std::size_t> k, std::uint64_t position, bool timing,
                                               int diagnostic_fd) {
  CsvWriter::Scratch& scratch = writer.scratch();
  const std::uint64_t S = params.samples;
  std::vector<std::uint16_t>& merged = scratch.merged;
  merged.clear();
  // With no samples per window there are no rows, whatever the labels: skip the merge.
  if (S > 0) merge_into(record.window_labels, scratch.merge, merged);
  for (std::size_t i = 0; i < merged.size(); ++i)
    if (scratch.first_pos[merged[i]] == NOT_IN_M) scratch.first_pos[merged[i]] = static_cast<std::uint32_t>(i);

  std::uint64_t rows = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(merged.size()), S, &rows))
    rows = std::numeric_limits<std::uint64_t>::max();

  // Place every channel of the file. A channel without samples in this event stays empty; one
  // whose samples run past the rows (or that cannot be placed because it has no labels while the
  // event has some) is reported and stays empty. Labels, time indices or timing values that are
  // fewer than the samples leave the cells they lack empty.
  std::vector<Group>& groups = scratch.groups;
  groups.assign(k.size(), Group{});
  for (std::size_t p = 0; p < k.size(); ++p) {
    const std::size_t c = k[p];
    if (c >= record.data.size() || record.data[c].empty()) continue;
    const std::vector<float>& x = record.data[c];
    static const std::vector<std::uint16_t> NONE16;
    const std::vector<std::uint16_t>& labels = c < record.window_labels.size() ? record.window_labels[c] : NONE16;
    std::uint64_t h = 0;
    bool placeable = true;
    if (!merged.empty()) {
      if (labels.empty()) placeable = false;
      else h = scratch.first_pos[labels.front()];
    }
    const std::uint64_t start = h * S;  // h < |M|, so start <= rows
    if (!placeable || x.size() > rows - start) {
      report_bad_channel(diagnostic_fd, c, position);
      continue;
    }
    Group& g = groups[p];
    g.active = true;
    g.start = start;
    g.end = start + x.size();
    g.first_window = h;
    g.data = x.data();
    g.labels = labels.data();
    g.n_labels = labels.size();
    if (c < record.time.size()) {
      g.time = record.time[c].data();
      g.n_time = record.time[c].size();
    }
    if (timing && record.timing && c < record.timing->size()) {
      g.timing = (*record.timing)[c].data();
      g.n_timing = (*record.timing)[c].size();
    }
  }
  for (std::uint16_t label : merged) scratch.first_pos[label] = NOT_IN_M;

  // The columns acq_num (always 0) and evt_num, the same on every row of the event.
  char prefix[MAX_NUMBER_TEXT + 4];
  char* pe = prefix;
  *pe++ = '0';
  *pe++ = ',';
  pe = format_float(pe, static_cast<float>(position));
  const auto prefix_len = static_cast<std::size_t>(pe - prefix);
  const std::size_t group_width = timing ? 4 : 3;
  static constexpr char EMPTY_GROUP[] = ",,,,";

  if (auto r = writer.ensure(); !r) return r;
  char* out = writer.cursor();
  std::uint64_t window = 0, in_window = 0;  // row div S and row mod S
  for (std::uint64_t row = 0; row < rows; ++row) {
    std::memcpy(out, prefix, prefix_len);
    out += prefix_len;
    for (const Group& g : groups) {
      if (row >= g.start && row < g.end && g.active) {
        const std::uint64_t i = row - g.start;
        const std::uint64_t w = window - g.first_window;
        *out++ = ',';
        if (w < g.n_labels) out = format_uint(out, g.labels[w]);
        *out++ = ',';
        out = format_sample(out, g.data[i]);
        *out++ = ',';
        if (i < g.n_time) out = format_uint(out, g.time[i]);
        if (timing) {
          *out++ = ',';
          if (w < g.n_timing) out = format_float(out, static_cast<float>(g.timing[w]));
        }
      } else {
        std::memcpy(out, EMPTY_GROUP, 4);
        out += group_width;
      }
      writer.commit(out);
      if (auto r = writer.ensure(); !r) return r;
      out = writer.cursor();
    }
    *out++ = '\n';
    writer.commit(out);
    if (auto r = writer.ensure(); !r) return r;
    out = writer.cursor();
    if (++in_window == S) {
      in_window = 0;
      ++window;
    }
  }
  return {};
}

std::expected<void, CsvWriteError> export_csv(std::span<const EventRecord> records, CsvSink& sink,
                                              const Params& params, Family family, int diagnostic_fd) {
  const bool timing = has_timing_column(family);
  CsvWriter writer(sink);
  const std::vector<std::size_t> k = channels(records);
  write_header(writer, k, timing);
  if (!writer.status()) return writer.status();
  for (std::size_t e = 0; e < records.size(); ++e)
    if (auto r = write_event(writer, params, records[e], k, e, timing, diagnostic_fd); !r) return r;
  return writer.flush();
}

}  // namespace tavroacq
