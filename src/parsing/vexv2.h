// vexv2 packets: laid out exactly as telkv3 packets and read by the telkv3 parser.
#pragma once

#include "parsing/util.h"

namespace tavroacq {

template <>
std::expected<Vexv2Event, ParsingError> ParseInto<Vexv2Event>::parse_into(Packet packet, const Params& params);

}  // namespace tavroacq
