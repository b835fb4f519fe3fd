#include "parsing/vexv2.h"

#include <utility>

#include "parsing/telkv3.h"

namespace tavroacq {

template <>
std::expected<Vexv2Event, ParsingError> ParseInto<Vexv2Event>::parse_into(Packet packet, const Params& params) {
  auto parsed = ParseInto<Telkv3Event>::parse_into(packet, params);
  if (!parsed) return std::unexpected(parsed.error());
  Vexv2Event record;
  static_cast<EventRecord&>(record) = std::move(static_cast<EventRecord&>(*parsed));
  return record;
}

}  // namespace tavroacq
