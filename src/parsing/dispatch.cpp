// Runs the selected family's parser and hands back its record in the common shape.
#include "parsing/brisav1.h"
#include "parsing/dunlinv1.h"
#include "parsing/morvanev3.h"
#include "parsing/orra96.h"
#include "parsing/skiv16.h"
#include "parsing/telkv3.h"
#include "parsing/telkv3s.h"
#include "parsing/util.h"
#include "parsing/vexoc.h"
#include "parsing/vexv2.h"

namespace tavroacq {
namespace {

template <class E>
std::expected<EventRecord, ParsingError> run(Packet packet, const Params& params) {
  auto parsed = ParseInto<E>::parse_into(packet, params);
  if (!parsed) return std::unexpected(parsed.error());
  return std::move(static_cast<EventRecord&>(*parsed));
}

// A family whose parser has not been written yet.
std::expected<EventRecord, ParsingError> not_yet() { return std::unexpected(ParsingError::Kind::Unknown); }

}  // namespace

std::expected<EventRecord, ParsingError> parse_with(Family family, Packet packet, const Params& params) {
  (void)packet;
  (void)params;
  switch (family) {
    case Family::Telkv3: return run<Telkv3Event>(packet, params);
    case Family::Telkv3S: return run<Telkv3SEvent>(packet, params);
    case Family::Morvanev3: return run<Morvanev3Event>(packet, params);
    case Family::Brisav1: return run<Brisav1Event>(packet, params);
    case Family::Skiv16: return run<Skiv16Event>(packet, params);
    case Family::Orra96: return run<Orra96Event>(packet, params);
    case Family::Vexoc: return run<VexocEvent>(packet, params);
    case Family::Vexv2: return run<Vexv2Event>(packet, params);
    case Family::Dunlinv1: return run<Dunlinv1Event>(packet, params);
  }
  return not_yet();
}

}  // namespace tavroacq
