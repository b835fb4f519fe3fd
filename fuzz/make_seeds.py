#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses under fuzz/corpus/<name>/.

Parser seeds are valid packets of each family followed by their settings, encoded the way
fuzz_params.h reads them back: FuzzedDataProvider takes integers and bools from the end of the
input and leaves the front to ConsumeRemainingBytes, so the settings are written in reverse
consumption order after the packet. Pedestal seeds are gzip'd pickles written by Python's own
pickler at every protocol; pickle seeds are the same pickles uncompressed; csv seeds decode to
well-formed records (see fuzz_csv.cpp for the layout they follow).

Usage: fuzz/make_seeds.py   (rewrites the generated files; regression-* files are left alone)
"""
import gzip
import io
import pickle
import struct
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"

# The settings fuzz_params() may draw, in the order it draws them.
KEYS = [
    "databitmask", "datamask", "data_mask", "chanmask", "chan_shift", "windmask", "abs_wind_mask",
    "timing_mask", "timing_shift", "packet_size", "headers", "stop_word", "chip_stop_word",
    "n_event_headers", "n_window_headers", "n_window_footers", "n_footers", "n_footer_words",
    "n_last_bits", "n_channel_headers", "n_chip_headers", "n_chip_footers", "n_event_footers",
    "num_chips",
]


class Consumed:
    """Bytes in the order FuzzedDataProvider consumes them from the end of the input."""

    def __init__(self):
        self.order = []

    def byte(self, b):
        self.order.append(b & 0xFF)

    def integral(self, value, nbytes):
        # ConsumeIntegral reads the most significant byte first.
        for i in reversed(range(nbytes)):
            self.byte(value >> (8 * i))

    def u64(self, v):
        """interesting_u64(): the shortest of its cases that yields v exactly."""
        if v <= 64:
            self.byte(1)  # case 1: ConsumeIntegralInRange(0, 64), one byte
            self.byte(v)
        elif v <= 0xFFFF:
            self.byte(2)  # case 2: ConsumeIntegral<uint16_t>
            self.integral(v, 2)
        else:
            self.byte(3)  # case 3: ConsumeIntegral<uint64_t>
            self.integral(v, 8)

    def tail(self):
        return bytes(reversed(self.order))


def params_bytes(channels, windows, samples, settings):
    """(front, back): text settings come from the front of the input, the rest from the back."""
    c = Consumed()
    front = b""
    c.u64(channels)
    c.u64(windows)
    c.u64(samples)
    unknown = set(settings) - set(KEYS)
    assert not unknown, unknown
    for key in KEYS:
        if key not in settings:
            c.byte(0)
            continue
        c.byte(1)  # ConsumeBool: present
        value = settings[key]
        if isinstance(value, str):
            # setting_value case 2: ConsumeRandomLengthString(8) reads the front; a backslash
            # followed by another character ends the text.
            assert len(value) <= 8 and "\\" not in value
            c.byte(2)
            front += value.encode() + b"\\;"
        else:
            c.byte(5)  # setting_value case 5: an unsigned integer
            c.u64(value)
    return front, c.tail()


def be(words):
    return b"".join(struct.pack(">H", w) for w in words)


def le(words):
    return b"".join(struct.pack("<H", w) for w in words)


def inv(v):
    return ~v & 0xFFFF


# --- packets from the worked examples of the C++ parser tests -------------------------------

def telkv3_seeds():
    def win(ch, label, samples):
        return [0x8001 | (ch << 9) | (label << 1)] + [0xE001 | (s << 1) for s in samples]

    def packet(*windows):
        return be([0xEEEE] * 3 + sum(windows, []) + [0xEEEE])

    worked = be([0xE0, 0xE1, 0xE2, 0x0202, 0x0002, 0x0004, 0x0404, 0x0006, 0x0008,
                 0x0206, 0xE00A, 0x000C, 0x0408, 0x000E, 0x0010, 0x1234])
    return {
        "worked": (worked, (4, 16, 2, {})),
        "shifts-mod-16": (worked, (4, 16, 2, {"chan_shift": 25, "n_last_bits": 17})),
        "four-windows": (packet(win(3, 1, [1, 2]), win(0, 1, [3, 4]), win(3, 2, [5, 6]), win(0, 2, [7, 8])),
                         (4, 16, 2, {})),
    }


def telkv3s_seeds():
    def blk(ch, label, samples):
        return [0xFC00 | (ch << 8) | label] + [0xE000 | s for s in samples]

    def packet(*blocks):
        return be([0xEEEE] * 3 + sum(blocks, []) + [0xEEEE])

    return {
        "worked": (be([0xE0, 0xE1, 0xE2, 0x0005, 0x000A, 0x000B, 0x0105, 0x000C, 0x000D, 0xF0]), (2, 4, 2, {})),
        "wrapping": (packet(blk(1, 6, [1, 2]), blk(0, 6, [3, 4]), blk(1, 0, [5, 6]), blk(0, 0, [7, 8])),
                     (2, 8, 2, {})),
    }


def morvanev3_seeds():
    def blk(ch, label, samples):
        return [0xF001 | (ch << 10) | (label << 1)] + [0xE001 | (s << 1) for s in samples]

    def win(*blocks):
        return sum(blocks, []) + [0x5A5A]

    def packet(*windows, headers=3, footers=1):
        return be([0xEEEE] * headers + sum(windows, []) + [0xEEEE] * footers)

    return {
        "worked": (be([0xE0, 0xE1, 0xE2, 0x0402, 0x0002, 0x0004, 0x0004, 0x0006, 0x0008, 0x5A5A, 0xEEEE]),
                   (2, 4, 2, {})),
        "four-windows": (packet(win(blk(0, 6, [1, 2]), blk(1, 1, [3, 4])), win(blk(0, 7, [5, 6]), blk(1, 2, [7, 8])),
                                win(blk(0, 0, [9, 10]), blk(1, 3, [11, 12])), win(blk(1, 4, [13, 14]), blk(0, 1, [15, 16]))),
                         (2, 8, 2, {})),
        "other-headers": (packet(win(blk(0, 1, [1, 2])), headers=2, footers=2),
                          (1, 4, 2, {"n_event_headers": 2, "n_footer_words": 3})),
    }


def brisav1_seeds():
    def sub(ch, th, tl, label, samples, size=37, stop=0xFA5A):
        w = [ch, th, tl, label] + samples
        return w + [0] * (size - 1 - len(w)) + [stop]

    return {
        "worked": (be(sub(1, 0, 5, 7, [10, 11]) + sub(0, 0, 3, 2, [5, 6]) + sub(1, 0, 6, 8, [12, 13])),
                   (2, 64, 2, {})),
        "extra-header": (be([1, 0xFA5A] + sub(0, 0, 0, 5, [0, 0, 0]) + sub(0x41, 1, 2, 0x47, [9, 0xFFFF, 0]) + [3, 3]),
                         (2, 64, 2, {"headers": 5})),
        "timing": (be(sub(0, 0, 0x105, 0, [1, 1]) + sub(1, 0x101, 0, 0, [2, 2])),
                   (2, 64, 2, {"timing_mask": 0xFF, "timing_shift": 44})),
        "short-subpackets": (be(sub(0, 0, 9, 3, [4, 0], 7, 0x1234) + sub(0, 0, 10, 4, [5, 0], 7, 0x1234)),
                             (1, 64, 2, {"stop_word": "+1234", "packet_size": 13})),
    }


def skiv16_seeds():
    def record(header, samples, footers=1):
        return [header] + samples + [0] * footers

    def packet(*records, header_bytes=1, footer_bytes=2):
        return b"\xEE" * header_bytes + le(sum(records, [])) + b"\xEE" * footer_bytes

    return {
        "rotating-labels": (packet(record(0x0002, [inv(v) for v in range(1, 9)])), (1, 4, 2, {})),
        "channel-twice": (packet(record(0x0200, [inv(1), inv(2)]), record(0x0201, [inv(3), inv(4)]),
                                 record(0x0000, [inv(5), inv(6)])), (3, 1, 2, {})),
        "masks": (packet([0x0013, 0xAAAA, inv(7), inv(8)], [0x0000, 0xAAAA, inv(9), inv(10)]),
                  (2, 2, 1, {"chanmask": 0x00F0, "chan_shift": 20, "windmask": 0x000F,
                             "n_window_headers": 2, "n_window_footers": 0})),
    }


def orra96_seeds():
    def record(header, samples):
        return [header] + samples + [0]

    def block(chip, records, header_bytes=1, footer_bytes=3):
        out = bytes([chip]) + b"\xEE" * (header_bytes - 1)
        return out + le(sum(records, [])) + b"\xEE" * footer_bytes

    def event(*blocks, footer_bytes=2):
        return b"".join(blocks) + b"\xEE" * footer_bytes

    return {
        "two-records": (event(block(0, [record(0x0000, [inv(v) for v in (1, 2, 3, 4)]),
                                        record(0x0103, [inv(v) for v in (5, 6, 7, 8)])])),
                        (6, 2, 2, {"num_chips": 3})),
        "two-chips": (event(block(0x41, [record(0x0000, [inv(1)]), record(0x0100, [inv(2)])]),
                            block(0xC5, [record(0x0100, [inv(3)]), record(0x0000, [inv(4)])])),
                      (12, 1, 1, {})),
        "only-footer": (event(), (96, 64, 64, {})),
    }


def vexoc_seeds():
    stop = 0xFFFF

    def chip(q, *records):
        return [q << 12, 0, 0] + sum(records, [])

    def rec(ch, label, samples):
        return [(ch << 8) | label] + samples

    return {
        "one-segment": (be([0x1000, 0, 0, 0x0105, 10, 20, stop]), (8, 8, 2, {})),
        "two-segments": (be([0x0000, 0, 0, 0x0001, 7, 8, stop, 0x1000, 0, 0, 0x0100, 9, 9, stop]), (8, 8, 2, {})),
        "interleaved": (be(chip(0, rec(1, 6, [1]), rec(0, 2, [2]), rec(1, 7, [3]), rec(1, 0, [4])) + [stop]),
                        (4, 8, 1, {"num_chips": 1})),
    }


def dunlinv1_seeds():
    def frame(group, records, header_words=7):
        return [group] + [0xEEEE] * (header_words - 1) + sum(records, []) + [0xDDDD, 0xDDDD]

    example = frame(1, [[3, 2, 0x0100, 2, 3, 4], [5, 0, 9, 9, 9, 9], [3, 2, 7, 7, 7, 7], [4, 1, 1, 1, 1, 1]])
    return {
        "example-frame": (be(example), (8, 8, 4, {})),
        "two-frames": (be(frame(0, [[5, 0, 0xFFFF, 1], [1, 0, 2, 3], [6, 3, 4, 5], [7, 3, 6, 7]])
                          + frame(0, [[2, 1, 8, 9], [0, 1, 10, 11], [2, 2, 12, 13], [2, 2, 14, 15]])),
                       (4, 8, 2, {})),
        "window-headers": (be(frame(0, [[1, 0, 5, 6, 0xAAAA], [1, 1, 7, 8, 0xAAAA], [1, 2, 9, 10, 0xAAAA],
                                        [1, 3, 11, 12, 0xAAAA]], 2)),
                           (4, 4, 2, {"n_window_headers": 3, "n_event_headers": 2})),
    }


PARSERS = {
    "telkv3": telkv3_seeds, "vexv2": telkv3_seeds, "telkv3s": telkv3s_seeds, "morvanev3": morvanev3_seeds,
    "brisav1": brisav1_seeds, "skiv16": skiv16_seeds, "orra96": orra96_seeds, "vexoc": vexoc_seeds,
    "dunlinv1": dunlinv1_seeds,
}


# --- pedestal tables --------------------------------------------------------------------------

def tables():
    table = [[[float(c * 100 + w * 10 + s) + 0.5 for s in range(4)] for w in range(3)] for c in range(2)]
    ints = [[[c + w + s for s in range(2)] for w in range(2)] for c in range(2)]
    return {
        "dict": {"data": table},
        "dict-bytes-key": {b"data": ints, "other": None},
        "list": [table, "extra"],
        "tuple": (tuple(tuple(tuple(w) for w in ch) for ch in ints),),
        "sets": [[[frozenset({1.5, 2.5})], [{3, -4}]]],
        "none": None,
        "big-int": {"data": [[[2 ** 63 - 1, -(2 ** 63), 1e300, float("nan")]]]},
    }


def pickles():
    out = {}
    for k, (name, value) in enumerate(tables().items()):
        protocols = range(6) if name == "dict" else (k % 6, (k + 3) % 6)
        for proto in protocols:
            out[f"{name}-p{proto}"] = pickle.dumps(value, protocol=proto)
    return out


def gzipped(data):
    buf = io.BytesIO()
    with gzip.GzipFile(fileobj=buf, mode="wb", mtime=0) as f:
        f.write(data)
    return buf.getvalue()


# --- csv records ------------------------------------------------------------------------------
# fuzz_csv.cpp reads, from the end: family (0..8), samples (0..64), number of records (0..4); per
# record the outer sizes of data, labels and time (0..8 each), whether timing is present and its
# outer size; then per channel, for each of those it has: data count (2 bytes) and mode (raw floats
# from the front of the input here), label count and labels (2 bytes each), time count, timing
# count and values (4 bytes each).

def csv_input(family, samples, records):
    back = Consumed()
    front = b""
    back.byte(family)
    back.byte(samples)
    back.byte(len(records))
    for chans, timing in records:
        n = len(chans)
        for _ in range(3):
            back.byte(n)  # data, labels and time: one entry per channel
        back.byte(1 if timing else 0)
        back.byte(n if timing else 0)
        for data, labels, time_count, tvals in chans:
            back.integral(len(data), 2)
            back.byte(1)  # raw floats from the front
            front += struct.pack("<" + "f" * len(data), *data)
            back.integral(len(labels), 2)
            for label in labels:
                back.integral(label, 2)
            back.integral(time_count, 2)
            if timing:
                back.integral(len(tvals), 2)
                for t in tvals:
                    back.integral(t, 4)
    return front + back.tail()


def csv_seeds():
    def chan(labels, s, timing=False, start=0.0):
        n = len(labels) * s
        return ([start + i * 0.5 for i in range(n)], labels, n, [100 + i for i in range(len(labels))] if timing else [])

    return {
        "telkv3-two-channels": csv_input(0, 2, [([chan([1, 2], 2), chan([2, 3], 2, start=10)], False)]),
        "brisav1-timing": csv_input(3, 2, [([chan([7, 8], 2, True), chan([2], 2, True)], True)]),
        "two-events-wrapped": csv_input(0, 2, [([chan([6, 7, 0], 2), chan([7, 0, 1], 2)], False),
                                                ([chan([], 0), chan([3], 2)], False)]),
        "bad-channel": csv_input(0, 4, [([chan([1, 2, 3], 4), ([1.0] * 12, [3, 3, 3], 0, [])], False)]),
        "special-floats": csv_input(0, 4, [([([float("nan"), float("inf"), -0.0, 0.05, 1e30, -2.5e-40, 1048575.95,
                                                123.45], [4, 5], 8, [])], False)]),
    }


# --- ecc buffers -------------------------------------------------------------------------------
# fuzz_ecc_check.cpp: byte 0 = blocks (low 3 bits) and byte 1 = signed offset around
# 131140 * blocks + 2, or, with bit 7 of byte 0 set, bytes 0-2 = any size; the rest fills the buffer.

def ecc_seeds():
    return {
        "footer-only": bytes([0, 0, 0, 0xAB]),
        "one-block-zeros": bytes([1, 0, 0]),
        "six-blocks-pattern": bytes([6, 0, 0]) + bytes(range(256)),
        "mid-block-size": bytes([0x82, 0x34, 0x56, 1, 2, 3]),
    }


def write(dirname, name, data):
    d = CORPUS / dirname
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data)


def main():
    for family, make in PARSERS.items():
        for name, (packet, (channels, windows, samples, settings)) in make().items():
            front, back = params_bytes(channels, windows, samples, settings)
            write(f"parse_{family}", name, front + packet + back)
    for name, data in pickles().items():
        write("pickle", name, data)
        write("pedestals", name + ".gz", gzipped(data))
    for name, data in csv_seeds().items():
        write("csv", name, data)
    for name, data in ecc_seeds().items():
        write("ecc_check", name, data)


if __name__ == "__main__":
    main()
