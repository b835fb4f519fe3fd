"""Every board family end to end: packets written into an acquisition, read back as parsed-event
dictionaries through parsed_event, subscripting (index and slice) and iteration."""

import random
import struct

import acqwriter
import packets
import tavroacq

KEYS = ["data", "window_labels", "time", "timing", "ecc_errors"]
BRISA = ("brisav2_eval", "brisav1_evalr2", "brisav2_evalr1", "brisav2_evalr2")
VEXOC = ("vexoc_vex", "vexoc_telk")
TELK = ("telkv3", "vexv2")


def be(*words):
    return struct.pack(f">{len(words)}H", *words)


def le(*words):
    return struct.pack(f"<{len(words)}H", *words)


def empty(n):
    return [[] for _ in range(n)]


def event(data, labels, time, timing=None, ecc_errors=None):
    return {"data": data, "window_labels": labels, "time": time, "timing": timing, "ecc_errors": ecc_errors}


def params(channels, windows, samples):
    return {"channels": channels, "windows": windows, "samples": samples}


# Small events written word by word, with their dictionaries worked out by hand.
WORKED = [
    # telkv3, C = 4, S = 2: windows of channels 1, 2, 1, 2 (assigned round-robin); samples in bits
    # 1-12 (0x1FFF -> 4095, 0x2002 -> 1, 0xE00A -> 5), labels in bits 1-8.
    ("telkv3", TELK, params(4, 8, 2),
     be(1, 2, 3, 0x0202, 0x0014, 0x1FFF, 0x0404, 6, 8, 0x0206, 0x2002, 0xE00A, 0x0408, 0, 2, 7),
     event([[], [10.0, 4095.0, 1.0, 5.0], [3.0, 4.0, 0.0, 1.0], []],
           [[], [1, 3], [2, 4], []],
           [[], [0, 1, 4, 5], [0, 1, 4, 5], []])),
    # telkv3s, C = 2, Wn = 4, S = 2: a 20-byte packet is 2 channels x 1 window; 13-bit samples.
    ("telkv3s", ("telkv3s",), params(2, 4, 2),
     be(9, 9, 9, 0x0005, 0x2001, 0x1FFF, 0x0105, 7, 0xFFFF, 9),
     event([[1.0, 8191.0], [7.0, 8191.0]], [[5], [5]], [[0, 1], [0, 1]])),
    # morvanev3, C = 2, Wn = 4, S = 2: 22 bytes, one window of channel 1 (label 1) then channel 0
    # (label 2); the window's further word would name channel 3 if it were read.
    ("morvanev3", ("morvanev3",), params(2, 4, 2),
     be(9, 9, 9, 0x0402, 0x0014, 0x3FFF, 0x0004, 3, 0xFFFF, 0x0C04, 9),
     event([[1.0, 4095.0], [10.0, 4095.0]], [[2], [1]], [[0, 1], [0, 1]])),
    # brisav1, C = 2, S = 2: three sub-packets; the time axis counts from the earliest timing.
    ("brisav1", BRISA, params(2, 8, 2),
     b"".join(be(ch, th, tl, lbl, s0, s1, *[0] * 30, 0xFA5A) for ch, th, tl, lbl, s0, s1 in
              [(1, 0, 5, 7, 10, 0x0FFF), (0, 0, 3, 2, 5, 6), (1, 0, 6, 8, 12, 13)]),
     event([[5.0, 6.0], [10.0, 4095.0, 12.0, 13.0]], [[2], [7, 8]], [[0, 1], [4, 5, 6, 7]],
           timing=[[3], [5, 6]])),
    # skiv16, C = 2, windows = 2, S = 2: records of channel 1 (first window 1) and channel 0 (first
    # window 0), inverted little-endian words from byte 1.
    ("skiv16", ("skiv16",), params(2, 2, 2),
     b"\xff" + le(0x0101, 0xFFFF, 0xFFFE, 0x0000, 0xFC00, 0x1234) + le(0x0000, 0xFFF0, 0xFFFD, 5, 6, 0) + b"\0\0",
     event([[15.0, 2.0, 1018.0, 1017.0], [0.0, 1.0, 1023.0, 1023.0]], [[0, 1], [1, 0]],
           [[0, 1, 2, 3], [0, 1, 2, 3]])),
    # orra96, C = 12 (two channels per chip), windows = 2, S = 2: one block of chip 1 (byte 0x41)
    # holding channels 1 and 0 within the chip, i.e. channels 3 and 2; 96 entries whatever C says.
    ("orra96", ("orra96",), params(12, 2, 2),
     b"\x41" + le(0x0103, 0xFFFF, 0xFFFE, 0x0000, 0xFC00, 0) + le(0x0000, 0xFFF0, 0xFFFD, 5, 6, 0)
     + b"\0\0\0" + b"\0\0",
     event(empty(2) + [[15.0, 2.0, 1018.0, 1017.0], [0.0, 1.0, 1023.0, 1023.0]] + empty(92),
           empty(2) + [[0, 1], [1, 0]] + empty(92),
           empty(2) + [[0, 1, 2, 3], [0, 1, 2, 3]] + empty(92),
           ecc_errors=empty(96))),
    # vexoc, C = 8, S = 2: chip 0 (channel 0, label 1) and chip 1 (channel 1 -> 5, labels 0 and 5);
    # 12-bit samples (0xF123 -> 291); the last word is not examined.
    ("vexoc", VEXOC, params(8, 8, 2),
     be(0x0000, 0, 0, 0x0001, 7, 0xF123, 0xFFFF, 0x1000, 0, 0, 0x0100, 9, 9, 0x0105, 10, 20, 0x1234),
     event([[7.0, 291.0], [], [], [], [], [9.0, 9.0, 10.0, 20.0], [], []],
           [[1], [], [], [], [], [0, 5], [], []],
           [[0, 1], [], [], [], [], [0, 1, 10, 11], [], []])),
    # dunlinv1, C = 8, S = 4: one 66-byte frame of group 1; whole 16-bit samples.
    ("dunlinv1", ("dunlin",), params(8, 8, 4),
     be(1, 0, 0, 0, 0, 0, 0, 3, 2, 0x0100, 2, 3, 4, 5, 0, 9, 9, 0xFFFF, 9, 3, 2, 7, 7, 7, 7, 4, 1, 1, 1, 1, 1, 0, 0),
     event([[], [], [], [], [9.0, 9.0, 65535.0, 9.0], [1.0] * 4, [256.0, 2.0, 3.0, 4.0, 7.0, 7.0, 7.0, 7.0], []],
           [[], [], [], [], [5], [4], [3, 3], []],
           [[], [], [], [], [0, 1, 2, 3], [0, 1, 2, 3], [0, 1, 2, 3, 0, 1, 2, 3], []])),
]


def generated(rng):
    """Larger events (hundreds to thousands of values per field) built from random values."""
    p = params
    return [
        ("telkv3", TELK, p(4, 256, 32), [packets.telkv3_random(rng, p(4, 256, 32), 40, [0, 1, 3]) for _ in range(3)]),
        ("telkv3s", ("telkv3s",), p(4, 64, 16), [packets.telkv3s_random(rng, p(4, 64, 16), n) for n in (30, 63, 1)]),
        ("morvanev3", ("morvanev3",), p(3, 64, 16),
         [packets.morvanev3_random(rng, p(3, 64, 16), n) for n in (30, 63, 1)]),
        ("brisav1", BRISA, p(5, 64, 32), [packets.brisav1_random(rng, p(5, 64, 32), n) for n in (100, 7, 64)]),
        ("skiv16", ("skiv16",), p(16, 8, 64), [packets.skiv16_random(rng, p(16, 8, 64)) for _ in range(3)]),
        ("orra96", ("orra96",), p(96, 16, 32), [packets.orra96_random(rng, p(96, 16, 32)) for _ in range(2)]),
        ("vexoc", VEXOC, p(8, 32, 16), [packets.vexoc_random(rng, p(8, 32, 16), n) for n in (20, 1, 5)]),
        ("dunlinv1", ("dunlin",), p(8, 32, 16), [packets.dunlinv1_random(rng, p(8, 32, 16), n) for n in (20, 1, 5)]),
    ]


def cases():
    rows = [(family, models, prm, [(packet, expected)]) for family, models, prm, packet, expected in WORKED]
    return rows + generated(random.Random(11))


def check_types(ev, where):
    assert list(ev) == KEYS, where
    for key, kind in (("data", float), ("window_labels", int), ("time", int), ("timing", int)):
        if ev[key] is None:
            continue
        assert type(ev[key]) is list, (where, key)
        for channel in ev[key]:
            assert type(channel) is list and all(type(v) is kind for v in channel), (where, key)
    if ev["ecc_errors"] is not None:
        assert all(type(ch) is list and all(type(t) is tuple and len(t) == 5 for t in ch) for ch in ev["ecc_errors"])


def test_every_family_end_to_end(tmp_path):
    for row, (family, models, prm, events) in enumerate(cases()):
        packets_ = [packet for packet, _ in events]
        expected = [exp for _, exp in events]
        # Two chunks when there are several events, so that iteration and slices cross a chunk.
        chunks = [packets_[:1], packets_[1:]] if len(packets_) > 1 else [packets_]
        dictionaries = {}
        for model in models:
            where = f"{family} row {row} model {model}"
            path = acqwriter.write_acquisition(tmp_path / f"{row}-{model}", {"model": model, **prm}, chunks=chunks)
            acq = tavroacq.Acquisition(path)
            assert len(acq) == len(events), where
            for i, exp in enumerate(expected):
                got = acq.parsed_event(i)
                check_types(got, f"{where} event {i}")
                for key in KEYS:
                    assert got[key] == exp[key], f"{where} event {i} key {key}"
                assert acq[i] == exp, f"{where} event {i}"
            assert acq[:] == expected and acq[1::2] == expected[1::2], where
            assert list(acq) == expected, where
            dictionaries[model] = acq[:]
        # Model strings that share a parser give identical dictionaries.
        assert all(d == dictionaries[models[0]] for d in dictionaries.values()), family

