// Helpers of the Python Acquisition class: path arguments, auxiliary files decoded through
// Python's gzip and pickle, and the interpretation of subscript keys.
#pragma once

#include <cstdint>
#include <filesystem>

#include "acquisition/fetcher.h"
#include "python_api/acquisition.h"
#include "python_api/py.h"

namespace tavroacq::py {

// Converts a path argument: a `str`, or a `pathlib.Path` through its __str__. Any other type
// raises TypeError prefixed with "argument '<arg_name>': ". Returns false with an exception set.
bool to_path(PyObject* obj, const char* arg_name, std::filesystem::path& out);

// An auxiliary file decoded with gzip.decompress then pickle.loads (new reference); None when the
// file is absent; null with the exception set (OSError for an unreadable file, the library
// functions' own exceptions unchanged).
PyObject* load_misc_data(const Acquisition& acquisition, MiscDataKind kind);

// Event `index` fetched and parsed into its dictionary (new reference, or null with the exception
// set: IndexError "Index out of bounds" past the end, ParsingError when it does not parse).
PyObject* parsed_event_at(EventFetcher& fetcher, const Params& params, std::uint64_t index);

// The raw bytes of event `index` as a new bytes object, read straight into it.
PyObject* raw_event_bytes(const Acquisition& acquisition, std::uint64_t index);

// acq[key]: a parsed event for an integer key, a list of parsed events for a slice.
PyObject* map_index_arg(const Acquisition& acquisition, const Params& params, PyObject* key);

}  // namespace tavroacq::py
