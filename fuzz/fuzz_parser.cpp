// Parses one packet with one family's parser under settings chosen by the fuzzer. Any crash,
// out-of-bounds access, undefined behaviour, leak or oversized allocation is a finding.
#include <cstddef>
#include <cstdint>

#include "fuzz_params.h"
#include "parsing/util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  tavroacq::Params params = tavroacq::fuzz::fuzz_params(in);
  const auto packet = in.ConsumeRemainingBytes<std::uint8_t>();
  auto result = tavroacq::parse_with(tavroacq::Family::TAVROACQ_FUZZ_FAMILY, packet, params);
  if (result) {
    // Consumers rely on data and time lining up per channel only where the family says so, but
    // the outer sequences must always be walkable.
    volatile std::size_t total = 0;
    for (const auto& ch : result->data) total = total + ch.size();
    for (const auto& ch : result->time) total = total + ch.size();
  }
  return 0;
}
