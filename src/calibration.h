// The calibrations to apply to parsed events (Corrections) and the stream adaptor that applies
// them to every record a stream of parsed events yields (Corrected).
#pragma once

#include <concepts>
#include <expected>
#include <optional>
#include <type_traits>
#include <utility>

#include "acquisition/metadata.h"
#include "calibration/pedestals.h"
#include "parsing/event.h"

namespace tavroacq {

// The acquisition parameters and the calibrations that use them; plain data, copied deeply (the
// export hands each output file its own copy). Today the only calibration is the pedestal table.
class Corrections {
 public:
  // No calibration: every record passes unchanged.
  explicit Corrections(Params params) : params_(std::move(params)) {}

  // The record with its pedestal table replaced (the old one dropped); none removes the pedestal
  // correction. Builder style: Corrections(params).pedestals(std::move(table)).
  Corrections pedestals(std::optional<Pedestals> table) && {
    pedestals_ = std::move(table);
    return std::move(*this);
  }
  Corrections pedestals(std::optional<Pedestals> table) const& { return Corrections(params_).pedestals(std::move(table)); }

  const Params& params() const { return params_; }
  const std::optional<Pedestals>& pedestal_table() const { return pedestals_; }

  // Applies every calibration to `record` in place. A failed record is partly corrected and must
  // be dropped.
  std::expected<void, CorrectionError> apply(EventRecord& record) const {
    if (!pedestals_) return {};
    return correct(*pedestals_, record, params_);
  }

 private:
  Params params_;
  std::optional<Pedestals> pedestals_;
};

namespace detail {
template <class T>
struct OptionalRecord : std::false_type {};
template <class E>
struct OptionalRecord<std::optional<E>> : std::bool_constant<std::derived_from<E, EventRecord>> {
  using Record = E;
};
}  // namespace detail

// A stream of parsed events: next() yields the next record (EventRecord or a family's record type)
// or nullopt once the stream is exhausted. Whatever the stream skips never reaches Corrected.
template <class S>
concept EventStream = requires(S& s) {
  requires detail::OptionalRecord<std::remove_cvref_t<decltype(s.next())>>::value;
};

// Applies a Corrections to every record of an inner stream, one item per inner record, in order:
//
//   Corrected stream(corrections, inner);  // both taken by value and owned
//   while (auto item = stream.next()) {    // nullopt: the inner stream is exhausted
//     if (item->has_value()) use(std::move(**item));
//     else { /* the record did not fit the calibration: it was dropped; go on */ }
//   }
//
// A failure does not end the stream: the next call goes on with the next inner record. A record
// that fails is dropped inside next() and never delivered half-corrected. Used by one thread at a time.
template <EventStream Inner>
class Corrected {
 public:
  using Record = typename detail::OptionalRecord<std::remove_cvref_t<decltype(std::declval<Inner&>().next())>>::Record;
  using Item = std::expected<Record, CorrectionError>;

  Corrected(Corrections corrections, Inner inner) : corrections_(std::move(corrections)), inner_(std::move(inner)) {}

  std::optional<Item> next() {
    std::optional<Record> record = inner_.next();
    if (!record) return std::nullopt;
    if (auto applied = corrections_.apply(*record); !applied) return Item(std::unexpected(applied.error()));
    return Item(std::move(*record));
  }

  const Corrections& corrections() const { return corrections_; }

 private:
  Corrections corrections_;
  Inner inner_;
};

}  // namespace tavroacq
