#include "parsing/vexv2.h"

#include <utility>

#include "parsing/telkv3.h"

namespace tavroacq {

template <>
std::expected<Vexv2Event, ParsingError> ParseInto<Vexv2Event>::parse_into(Packet packet, const Params& params) {
  auto parsed = ParseInto<Telkv3Event>::parse_into(packet, params);
  if (!parsed) return std::unexpected(parsed.error());
  Vexv2Event record;
  record.data = std::move(parsed->data);
  record.window_labels = std::move(parsed->window_labels);
  record.time = std::move(parsed->time);
  return record;
}

}  // namespace tavroacq
