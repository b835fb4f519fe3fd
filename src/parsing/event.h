// The event record every parser produces: per channel, the samples, the labels of the windows
// they came from and the time axis; plus brisav1's timing values and orra96's ECC findings.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tavroacq {

// One erroneous sample word (orra96): two byte offsets, then the word, its corrected value and
// the flipped bit, as the whole-buffer ECC check reports them.
struct EccErrorRecord {
  std::uint64_t first;
  std::uint64_t second;
  std::uint16_t third;
  std::uint16_t fourth;
  std::uint16_t fifth;
  bool operator==(const EccErrorRecord&) const = default;
};

struct EventRecord {
  std::vector<std::vector<float>> data;
  std::vector<std::vector<std::uint16_t>> window_labels;
  std::vector<std::vector<std::uint16_t>> time;
  std::optional<std::vector<std::vector<std::uint32_t>>> timing;          // brisav1 only
  std::optional<std::vector<std::vector<EccErrorRecord>>> ecc_errors;     // orra96 only

  // One empty entry per channel in data, window_labels and time.
  explicit EventRecord(std::size_t channels = 0) : data(channels), window_labels(channels), time(channels) {}
};

// The record type of each family: the common shape under the family's own name.
struct Telkv3Event : EventRecord { using EventRecord::EventRecord; };
struct Telkv3SEvent : EventRecord { using EventRecord::EventRecord; };
struct Morvanev3Event : EventRecord { using EventRecord::EventRecord; };
struct Brisav1Event : EventRecord { using EventRecord::EventRecord; };
struct Skiv16Event : EventRecord { using EventRecord::EventRecord; };
struct Orra96Event : EventRecord { using EventRecord::EventRecord; };
struct VexocEvent : EventRecord { using EventRecord::EventRecord; };
struct Vexv2Event : EventRecord { using EventRecord::EventRecord; };
struct Dunlinv1Event : EventRecord { using EventRecord::EventRecord; };

}  // namespace tavroacq
