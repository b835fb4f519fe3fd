// Deserializes arbitrary bytes as a metadata document. Besides crashes and undefined behaviour,
// the run limits catch hangs and unbounded memory (alias bombs, deep nesting).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "acquisition/metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto result = tavroacq::deserialize_metadata(text);
  if (result) {
    volatile std::size_t n = result->params.additional.size() + result->registers.size();
    (void)n;
  }
  return 0;
}
