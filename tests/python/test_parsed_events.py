"""Parsed events as dictionaries: keys, order, element types, per-family fields and errors."""

import random
import struct

import pytest

import acqwriter
import tavroacq

KEYS = ["data", "window_labels", "time", "timing", "ecc_errors"]


def single_event_acq(tmp_path, params, packet, name="acq"):
    return tavroacq.Acquisition(acqwriter.write_acquisition(tmp_path / name, params, chunks=[[packet]]))


def expected_telkv3(windows, channels, n_windows, samples):
    """Reference dictionary for a round-robin telkv3 packet with the default settings."""
    data = [[] for _ in range(channels)]
    labels = [[] for _ in range(channels)]
    for channel, label, values in windows:
        data[channel].extend(float(v) for v in values)
        labels[channel].append(label)
    time = []
    for ch_labels in labels:
        t = []
        for w in ch_labels:
            r = w - ch_labels[0] if w >= ch_labels[0] else w + n_windows - ch_labels[0]
            t.extend((r * samples + j) % 65536 for j in range(samples))
        time.append(t)
    return {"data": data, "window_labels": labels, "time": time, "timing": None, "ecc_errors": None}


def check_types(event):
    assert list(event) == KEYS
    for key, kind in (("data", float), ("window_labels", int), ("time", int)):
        assert type(event[key]) is list
        for channel in event[key]:
            assert type(channel) is list and all(type(v) is kind for v in channel), key


def test_telkv3_dictionary(tmp_path):
    params = {"model": "telkv3", "channels": 4, "windows": 64, "samples": 2}
    windows = [(1, 63, [0, 4095]), (2, 2, [3, 4]), (1, 0, [5, 6]), (2, 4, [7, 8])]
    acq = single_event_acq(tmp_path, params, acqwriter.telkv3_packet(windows, samples=2))
    event = acq.parsed_event(0)
    check_types(event)
    assert event == expected_telkv3(windows, 4, 64, 2)
    assert event["data"][1] == [0.0, 4095.0, 5.0, 6.0]  # whole numbers still come as floats
    assert event["data"][0] == [] and event["data"][3] == []
    assert event["time"][1] == [0, 1, 2, 3]  # the window ring wraps from 63 to 0


def test_large_event_matches_reference(tmp_path):
    # Many windows per channel, channels of unequal length and an absent channel: the per-channel
    # lists must be cut exactly at the channel boundaries.
    rng = random.Random(7)
    samples, present = 32, [0, 1, 3]
    windows = [(present[k % 3], rng.randrange(256), [rng.randrange(4096) for _ in range(samples)])
               for k in range(301)]
    params = {"model": "telkv3", "channels": 4, "windows": 256, "samples": samples}
    acq = single_event_acq(tmp_path, params, acqwriter.telkv3_packet(windows, samples))
    event = acq[0]
    check_types(event)
    assert event == expected_telkv3(windows, 4, 256, samples)
    assert event == acq.parsed_event(0) and event is not acq.parsed_event(0)


def test_lists_are_never_shared(tmp_path):
    params = {"model": "telkv3", "channels": 2, "windows": 8, "samples": 2}
    acq = single_event_acq(tmp_path, params, acqwriter.telkv3_packet([(0, 1, [1, 2]), (1, 1, [1, 2])], 2))
    first, second = acq[0], acq[0]
    assert first == second
    first["data"][0].append(9.0)
    first["time"][1][0] = 99
    assert second == acq.parsed_event(0) and second["data"][0] == [1.0, 2.0] and second["time"][1][0] == 0
    assert first["data"][0] is not first["data"][1]


def test_telkv3_and_vexv2_give_equal_dictionaries(tmp_path):
    windows = [(0, 5, [10, 20, 30]), (3, 6, [40, 50, 60]), (0, 7, [1, 2, 3]), (3, 0, [4, 5, 6])]
    packet = acqwriter.telkv3_packet(windows, samples=3)
    events = []
    for model in ("telkv3", "vexv2"):
        params = {"model": model, "channels": 4, "windows": 8, "samples": 3}
        events.append(single_event_acq(tmp_path, params, packet, name=model)[0])
    assert events[0] == events[1] == expected_telkv3(windows, 4, 8, 3)


def brisav1_sub_packet(channel, high, low, label, values):
    words = [channel, high, low, label, *values] + [0] * (36 - 4 - len(values)) + [0xFA5A]
    return struct.pack(">37H", *words)


def test_brisav1_fills_timing(tmp_path):
    sub_packet = brisav1_sub_packet
    packet = (sub_packet(1, 0, 5, 7, [10, 0x0FFF]) + sub_packet(0, 0, 3, 2, [5, 6])
              + sub_packet(1, 0, 6, 8, [12, 13]))
    params = {"model": "brisav2_eval", "channels": 2, "windows": 8, "samples": 2}
    event = single_event_acq(tmp_path, params, packet)[0]
    assert list(event) == KEYS
    assert event == {
        "data": [[5.0, 6.0], [10.0, 4095.0, 12.0, 13.0]],
        "window_labels": [[2], [7, 8]],
        "time": [[0, 1], [4, 5, 6, 7]],
        "timing": [[3], [5, 6]],
        "ecc_errors": None,
    }
    assert all(type(v) is int for ch in event["timing"] for v in ch)


def test_large_brisav1_event_matches_reference(tmp_path):
    # Enough windows that the 32-bit timing values take the same bulk route as the samples.
    rng = random.Random(3)
    samples, channels, subs = 32, 3, []
    expected = {key: [[] for _ in range(channels)] for key in ("data", "window_labels", "timing")}
    for k in range(400):
        channel, timing = k % 2 * 2, 0x10000 + k  # channels 0 and 2; 1 stays empty
        values = [rng.randrange(1, 65536) for _ in range(samples)]
        subs.append(brisav1_sub_packet(channel, timing >> 12, timing & 0xFFF, k % 64, values))
        expected["data"][channel].extend(map(float, values))
        expected["window_labels"][channel].append(k % 64)
        expected["timing"][channel].append(timing)
    params = {"model": "brisav2_evalr2", "channels": channels, "windows": 64, "samples": samples}
    event = single_event_acq(tmp_path, params, b"".join(subs))[0]
    assert list(event) == KEYS and event["ecc_errors"] is None
    for key, values in expected.items():
        assert event[key] == values, key
    assert event["time"] == [list(range(0, 200 * samples)), [], list(range(samples, 201 * samples))]
    assert all(type(v) is int for ch in event["timing"] for v in ch)
    assert all(type(v) is float for ch in event["data"] for v in ch)


def test_orra96_gives_empty_ecc_errors(tmp_path):
    params = {"model": "orra96", "channels": 96, "windows": 1, "samples": 1}
    event = single_event_acq(tmp_path, params, b"\x00\x00")[0]  # the event footer alone: no chip block
    assert list(event) == KEYS
    assert event["ecc_errors"] == [[] for _ in range(96)] and event["timing"] is None
    assert event["data"] == [[] for _ in range(96)]


PARSING_FAILURES = [
    ("brisav1", b"", "data is from an unsupported board model"),  # a family name, not a model
    ("Telkv3", acqwriter.telkv3_packet([], 2), "data is from an unsupported board model"),
    ("telkv3", b"\x00\x01\x02", "unexpected length of data"),
    ("telkv3", b"", "required data missing when parsing"),
    ("vexv2", b"\x00\x01", "unexpected length of data"),
]


def test_parsing_failures(tmp_path):
    for n, (model, packet, message) in enumerate(PARSING_FAILURES):
        params = {"model": model, "channels": 4, "windows": 8, "samples": 2}
        acq = single_event_acq(tmp_path, params, packet, name=f"acq{n}")
        for call in (lambda: acq.parsed_event(0), lambda: acq[0], lambda: acq[0:1]):
            with pytest.raises(Exception) as info:
                call()
            assert type(info.value).__name__ == "ParsingError", n
            assert info.value.args == ("Failed to parse event: " + message,), n
        assert list(acq) == [], n
