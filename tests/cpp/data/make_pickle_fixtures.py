#!/usr/bin/env python3
"""Writes pickle_fixtures.h: objects pickled by Python's own pickle at protocols 0 to 5, each
compressed by Python's gzip, with what reading them must give. Run from anywhere:

    python3 tests/cpp/data/make_pickle_fixtures.py

The C++ tests only read the generated header; they never need Python.
"""
import array
import collections
import fractions
import gzip
import math
import pathlib
import pickle
import struct

OUT = pathlib.Path(__file__).with_name("pickle_fixtures.h")
SHORT_TEXT = 64
INT64 = (-(2**63), 2**63 - 1)


def f32_bits_of_int(i):
    """The nearest 32-bit float to an integer, rounding half to even, without going through a
    double (which would round twice)."""
    if i == 0:
        return 0
    sign, m = (1, -i) if i < 0 else (0, i)
    shift = m.bit_length() - 24
    if shift > 0:
        q, r = divmod(m, 1 << shift)
        half = 1 << (shift - 1)
        if r > half or (r == half and q & 1):
            q += 1
        m = q << shift
    (bits,) = struct.unpack("<I", struct.pack("<f", float(m)))
    return bits | (sign << 31)


def f32_bits_of_float(x, protocol):
    if protocol == 0:
        x = float(repr(x))  # protocol 0 writes repr(), which drops a NaN's sign
    try:
        (bits,) = struct.unpack("<I", struct.pack("<f", x))
    except OverflowError:  # beyond the float range: rounds to infinity
        bits = 0x7F800000 | (0x80000000 if x < 0 else 0)
    return bits


def text_sig(prefix, raw):
    return prefix + ("*" if len(raw) > SHORT_TEXT else raw.hex())


def signature(obj, protocol):
    """The value as the C++ reader must see it, element order as pickled."""
    sig = lambda o: signature(o, protocol)
    if obj is None:
        return "N"
    if obj is True:
        return "T"
    if obj is False:
        return "F"
    if isinstance(obj, int):
        return "i%08x" % f32_bits_of_int(obj) if INT64[0] <= obj <= INT64[1] else "I"
    if isinstance(obj, float):
        return "f%08x" % f32_bits_of_float(obj, protocol)
    if isinstance(obj, str):
        return text_sig("s", obj.encode("utf-8", "surrogatepass"))
    if isinstance(obj, bytes):
        return text_sig("b", obj)
    if isinstance(obj, list):
        return "[" + ",".join(map(sig, obj)) + "]"
    if isinstance(obj, tuple):
        return "(" + ",".join(map(sig, obj)) + ")"
    if isinstance(obj, frozenset):
        return "z{" + ",".join(map(sig, obj)) + "}"
    if isinstance(obj, set):
        return "{" + ",".join(map(sig, obj)) + "}"
    if isinstance(obj, dict):
        return "<" + ",".join(sig(k) + ":" + sig(v) for k, v in obj.items()) + ">"
    raise TypeError(type(obj))


def table_of(obj, protocol):
    """The pedestal table the loader must produce, as 32-bit float bits."""
    if isinstance(obj, dict):
        (table,) = [v for k, v in obj.items() if k in ("data", b"data")]
    else:
        table = next(iter(obj))

    def number(x):
        return f32_bits_of_int(x) if isinstance(x, int) else f32_bits_of_float(x, protocol)

    return [[[number(x) for x in window] for window in channel] for channel in table]


T = [[[1.0, 2.0], [3.0, 4.0]]]
TT = (((1.0, 2.0), (3.0, 4.0)),)
SHARED_WINDOW = [1.0, 2.0]
SHARED_CHANNEL = [[5.0], [6.0, 7.0]]
INTS = [0, 1, 255, 256, 65535, 65536, -1, -255, -256, -65536, 2**31 - 1, -(2**31), 2**31, -(2**31) - 1,
        2**32, 2**63 - 1, -(2**63), 2**60 + 2**36 + 1, -(2**60 + 2**36 + 1)]
FLOATS = [1.5, -0.0, 0.1, 1e300, -1e300, 1e-300, -1e-300, math.inf, -math.inf, 3.4028234663852886e38,
          3.4028235677973366e38, 1.401298464324817e-45, 7e-46, 16777217.0]

BATCH_SET = set(range(1001))
assert list(BATCH_SET) == list(range(1001))

# name, object, outcome: "table" (loads), "none" (loads None), "shape" (reads, wrong shape),
# "reference" (the reader refuses a class or function reference)
CASES = [
    ("dict_text_key", {"data": T, "gain": 7}, "table"),
    ("dict_bytes_key", {"note": "x", b"data": T}, "table"),
    ("list_first", [T], "table"),
    ("tuple_extra", (T, "extra"), "table"),
    ("set_of_table", {TT}, "table"),
    ("frozenset_of_table", frozenset({TT}), "table"),
    ("int_offsets", {"data": [[[1, 2], [3, 4]]]}, "table"),
    ("int_encodings", [[[INTS]]], "table"),
    ("float_values", [[[FLOATS]]], "table"),
    ("nan_sign", [[[[math.nan, -math.nan, math.copysign(math.nan, -1.0)]]]], "table"),
    ("shared_window", {"data": [[SHARED_WINDOW, SHARED_WINDOW], [SHARED_WINDOW]]}, "table"),
    ("shared_channel", [[SHARED_CHANNEL, SHARED_CHANNEL]], "table"),
    ("mixed_sequences", [[[(1.0, 2.0), [3.0], {4.0}, frozenset({5.0, 6.0})], ((7.0,),)]], "table"),
    ("empty_table", {"data": []}, "table"),
    ("empty_windows", [[[[], []], []]], "table"),
    # More than a batch of 1000 (APPENDS, ADDITEMS); too big to spell out: the C++ test checks
    # that both windows hold 0 to 1000 in order (a set of small ints iterates in value order).
    ("batches", {"data": [[list(range(1001)), BATCH_SET]]}, "table"),
    ("ignored_values", {
        "meta": {"flags": [True, False, None], "text": "d\u00e9\u20ac\U0001f600\\u\n", "raw": b"\x00\xff\\",
                 "empty": b"", "long": "x" * 100, "long_raw": b"y" * 100, "big": 2**70, "neg_big": -(2**100),
                 "nested": {1: (2, 3.5), (1, (2,)): frozenset({1})}, "set": {1, 2}, "empty_set": set(),
                 "tuples": [(), (1,), (1, 2), (1, 2, 3), (1, 2, 3, 4)]},
        "data": T}, "table"),
    ("none_top", None, "none"),
    ("bool_offset", [[[[1.0, True]]]], "shape"),
    ("none_offset", [[[[1.0, None]]]], "shape"),
    ("text_offset", [[[["1.0"]]]], "shape"),
    ("bytes_offset", [[[[b"1"]]]], "shape"),
    ("big_offset", [[[[2**63]]]], "shape"),
    ("big_negative_offset", [[[[-(2**63) - 1]]]], "shape"),
    ("dict_as_window", [[[{"a": 1.0}]]], "shape"),
    ("number_as_window", [[[1.0]]], "shape"),
    ("deeper_table", [[[[[1.0]]]]], "shape"),
    ("text_as_table", {"data": "abc"}, "shape"),
    ("none_as_table", {"data": None}, "shape"),
    ("empty_list_top", [], "shape"),
    ("empty_tuple_top", (), "shape"),
    ("empty_set_top", set(), "shape"),
    ("no_data_key", {"other": T}, "shape"),
    ("two_data_keys", {"data": T, b"data": T}, "shape"),
    ("int_key", {"data": T, 1: 2}, "shape"),
    ("tuple_key", {("data",): T}, "shape"),
    ("number_top", 5, "shape"),
    ("text_top", "data", "shape"),
    ("bytearray_ignored", {"data": T, "x": bytearray(b"ab")}, "reference"),
    ("ordered_dict", collections.OrderedDict(data=T), "reference"),
    ("fraction_offset", [[[[fractions.Fraction(1, 2)]]]], "reference"),
    ("complex_ignored", {"data": T, "z": 1j}, "reference"),
    ("class_ignored", {"data": T, "t": int}, "reference"),
    ("set_class_ignored", {"data": T, "t": set}, "reference"),
    ("function_ignored", {"data": T, "f": len}, "reference"),
    ("array_window", [[[array.array("d", [1.0])]]], "reference"),
    ("range_ignored", {"data": T, "r": range(3)}, "reference"),
]


def literal(data):
    """A C++ string literal: printable ASCII as is, other bytes as three-digit octal escapes."""
    out = []
    for b in data:
        c = chr(b)
        out.append(c if 0x20 <= b < 0x7F and c not in '"\\?' else "\\%03o" % b)
    lines = ["".join(out[i:i + 80]) for i in range(0, len(out), 80)] or [""]
    return "std::string_view(" + "\n        ".join('"%s"' % line for line in lines) + ", %d)" % len(data)


def table_literal(table):
    return "{" + ", ".join("{" + ", ".join("{" + ", ".join("0x%08xu" % b for b in w) + "}" for w in ch) + "}"
                           for ch in table) + "}"


def main():
    rows = []
    for name, obj, outcome in CASES:
        for protocol in range(6):
            raw = pickle.dumps(obj, protocol=protocol)
            packed = gzip.compress(raw, mtime=0)
            assert gzip.decompress(packed) == raw
            spelled = outcome != "reference" and name != "batches"
            sig = signature(obj, protocol) if spelled else ""
            table = table_of(obj, protocol) if spelled and outcome == "table" else []
            rows.append("    {%s, %d, Outcome::%s,\n        %s,\n        %s,\n        %s}" % (
                '"%s"' % name, protocol, outcome.capitalize(), literal(packed),
                literal(sig.encode()), table_literal(table)))
    OUT.write_text(
        "// Generated by make_pickle_fixtures.py with Python's own pickle and gzip; do not edit.\n"
        "#pragma once\n\n#include <cstdint>\n#include <string_view>\n#include <vector>\n\n"
        "namespace tavroacq::fixtures {\n\n"
        "enum class Outcome { Table, None, Shape, Reference };\n\n"
        "struct PickleFixture {\n"
        "  const char* name;\n  int protocol;\n  Outcome outcome;\n"
        "  std::string_view gzip;  // gzip.compress(pickle.dumps(obj, protocol), mtime=0)\n"
        "  std::string_view signature;  // the value as read (see make_pickle_fixtures.py), or empty\n"
        "  std::vector<std::vector<std::vector<std::uint32_t>>> table;  // Outcome::Table: float bits\n"
        "};\n\n"
        "inline const std::vector<PickleFixture>& pickle_fixtures() {\n"
        "  static const std::vector<PickleFixture> fixtures = {\n" + ",\n".join(rows) + "\n  };\n"
        "  return fixtures;\n}\n\n}  // namespace tavroacq::fixtures\n")


if __name__ == "__main__":
    main()
