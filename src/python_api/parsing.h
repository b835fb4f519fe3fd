// Parsed events as Python dictionaries: the raw packet goes through the board-model dispatch and
// the record comes back as a dict of per-channel lists.
#pragma once

#include <cstdint>
#include <vector>

#include "acquisition/metadata.h"
#include "python_api/py.h"

namespace tavroacq::py {

// The int object of `v`. Those of values below 65536 are shared: made once, kept for the process.
PyObject* int_object(std::uint64_t v);

// {"data", "window_labels", "time", "timing", "ecc_errors"} for the packet `raw` (consumed),
// parsed with `params`; null with ParsingError set when the model is unsupported or the packet
// does not parse.
PyObject* parse_to_dict(const Params& params, std::vector<std::uint8_t> raw);

}  // namespace tavroacq::py
