"""Raw event packets of every board family, with the dictionary each one parses to.

Each `<family>_event` builder takes the acquisition parameters (`channels`, `windows`, `samples`;
every family setting at its default) and a description of what the packet holds, in packet
order, and returns (packet bytes, expected parsed-event dictionary). Values are given decoded;
the builder encodes them as the board stores them (masks, shifts, inversion, byte order).
`<family>_random` builds a larger event of realistic shape from a random generator, for tests
and benchmarks.
"""

import struct

import acqwriter

ORRA96_CHANNELS = 96


def be(words):
    return struct.pack(f">{len(words)}H", *words)


def le(words):
    return struct.pack(f"<{len(words)}H", *words)


def time_axis(labels, windows, samples):
    """One channel's time axis: `samples` values per window label, counted from its first
    label, the window ring wrapping once."""
    if not labels:
        return []
    first, out = labels[0], []
    for w in labels:
        r = w - first if w >= first else w + windows - first
        out.extend((r * samples + j) % 65536 for j in range(samples))
    return out


def rotation(first, windows):
    """The labels of a record whose first window is `first`: `windows` labels from it, wrapping."""
    return [j % windows for j in range(first, first + windows)]


class Expected:
    """The dictionary of an event: per-channel samples and labels appended in packet order."""

    def __init__(self, params, entries=None):
        self.params = params
        n = params["channels"] if entries is None else entries
        self.data = [[] for _ in range(n)]
        self.labels = [[] for _ in range(n)]

    def add(self, channel, labels, values):
        self.labels[channel].extend(labels)
        self.data[channel].extend(float(v) for v in values)

    def result(self, timing=None, ecc_errors=None, time=None):
        if time is None:
            w, s = self.params["windows"], self.params["samples"]
            time = [time_axis(self.labels[i], w, s) if i < self.params["channels"] else []
                    for i in range(len(self.labels))]
        return {"data": self.data, "window_labels": self.labels, "time": time,
                "timing": timing, "ecc_errors": ecc_errors}


# telkv3 (and vexv2): event header words, windows of a header word (channel bits 9-10, label
# bits 1-8) and S samples (bits 1-12), one trailing word. The windows must go round-robin over
# the channels present, in ascending order: that is how the parser assigns them.
def telkv3_event(params, windows):
    expected = Expected(params)
    for channel, label, values in windows:
        expected.add(channel, [label], values)
    return acqwriter.telkv3_packet(windows, params["samples"]), expected.result()


def telkv3_random(rng, params, n_windows, present):
    s, w = params["samples"], params["windows"]
    windows = [(present[k % len(present)], rng.randrange(min(w, 256)), [rng.randrange(4096) for _ in range(s)])
               for k in range(n_windows * len(present))]
    return telkv3_event(params, windows)


# telkv3s: 3 event header words, per window one block per channel (header word: channel bits
# 8-9, label bits 0-7; then S samples of 13 bits), one footer word. `windows` holds per window
# its blocks as (channel, label, values).
def telkv3s_event(params, windows):
    expected, words = Expected(params), [0, 0, 0]
    for blocks in windows:
        for channel, label, values in blocks:
            words.append((channel << 8) | label)
            words.extend(values)
            expected.add(channel, [label], values)
    words.append(0)
    return be(words), expected.result()


def window_major_random(rng, params, n_windows, bits):
    c, w, s = params["channels"], params["windows"], params["samples"]
    return [[(ch, (k + 3) % w, [rng.randrange(1 << bits) for _ in range(s)]) for ch in range(c)]
            for k in range(n_windows)]


def telkv3s_random(rng, params, n_windows):
    return telkv3s_event(params, window_major_random(rng, params, n_windows, 13))


# morvanev3: as telkv3s, but the header holds the channel in bits 10-11 and the label in bits
# 1-9, samples sit in bits 1-12, every window ends with one further word, and one trailing word
# closes the packet.
def morvanev3_event(params, windows):
    expected, words = Expected(params), [0, 0, 0]
    for blocks in windows:
        for channel, label, values in blocks:
            words.append((channel << 10) | (label << 1))
            words.extend(v << 1 for v in values)
            expected.add(channel, [label], values)
        words.append(0x0C00)  # would name channel 3 if it were read as a block header
    words.append(0)
    return be(words), expected.result()


def morvanev3_random(rng, params, n_windows):
    return morvanev3_event(params, window_major_random(rng, params, n_windows, 12))


# brisav1: sub-packets of 37 words (channel, high and low timing parts of 12 bits each, label,
# the samples, zero padding, the stop word 0xFA5A). `subs` holds (channel, timing, label, values).
def brisav1_event(params, subs):
    s, expected, packet = params["samples"], Expected(params), []
    timing = [[] for _ in range(params["channels"])]
    for channel, t, label, values in subs:
        assert len(values) == s <= 32 and any(values)
        packet.append(be([channel, t >> 12, t & 0xFFF, label, *values] + [0] * (32 - s) + [0xFA5A]))
        expected.add(channel, [label], values)
        timing[channel].append(t)
    earliest = min(ts[0] for ts in timing if ts)
    time = [list(range((ts[0] - earliest) * s, (ts[0] - earliest + len(ts)) * s)) if ts else [] for ts in timing]
    return b"".join(packet), expected.result(timing=timing, time=time)


def brisav1_random(rng, params, n_subs):
    c, s = params["channels"], params["samples"]
    subs = [(k % c, 0x1000 + k // c, (k // c) % 64, [rng.randrange(1, 65536) for _ in range(s)])
            for k in range(n_subs)]
    return brisav1_event(params, subs)


# skiv16 and orra96 channel records: a little-endian header word (channel within the chip in the
# high byte, first window in the low byte), windows x samples sample words stored inverted (10
# data bits), one footer word.
def channel_record(channel, first, values):
    return le([(channel << 8) | first, *((~v) & 0xFFFF for v in values), 0])


# skiv16: one byte, then exactly `channels` records, then two bytes. `records` holds
# (channel, first window, values).
def skiv16_event(params, records):
    assert len(records) == params["channels"]
    expected = Expected(params)
    for channel, first, values in records:
        expected.add(channel, rotation(first, params["windows"]), values)
    body = b"".join(channel_record(*r) for r in records)
    return b"\xab" + body + b"\x00\x00", expected.result()


def inverted_records(rng, params, channels):
    n = params["windows"] * params["samples"]
    return [(ch, rng.randrange(params["windows"]), [rng.randrange(1024) for _ in range(n)]) for ch in channels]


def skiv16_random(rng, params):
    return skiv16_event(params, inverted_records(rng, params, reversed(range(params["channels"]))))


# orra96: chip blocks (chip byte, channels // 6 records, three footer bytes), then two event
# footer bytes. `blocks` holds (chip byte, records); a record's channel is within its chip.
def orra96_event(params, blocks):
    per_chip = params["channels"] // 6
    expected, packet = Expected(params, entries=ORRA96_CHANNELS), []
    for chip_byte, records in blocks:
        assert len(records) == per_chip
        packet.append(bytes([chip_byte]))
        for channel, first, values in records:
            packet.append(channel_record(channel, first, values))
            expected.add((chip_byte & 0x3F) * per_chip + channel, rotation(first, params["windows"]), values)
        packet.append(b"\x00\x00\x00")
    packet.append(b"\x00\x00")
    return b"".join(packet), expected.result(ecc_errors=[[] for _ in range(ORRA96_CHANNELS)])


def orra96_random(rng, params):
    per_chip = params["channels"] // 6
    blocks = [(0xC0 | chip, inverted_records(rng, params, range(per_chip))) for chip in range(6)]
    return orra96_event(params, blocks)


# vexoc: per chip a segment (three header words, chip number in the top four bits of the first,
# then window records: header word with the channel within the chip in bits 8-9 and the label in
# bits 0-7, and S samples of 12 bits), segments closed by the stop word 0xFFFF. `segments` holds
# (chip, windows) with windows (channel within the chip, label, values).
def vexoc_event(params, segments, chips=2):
    per_chip = params["channels"] // chips
    expected, words = Expected(params), []
    for chip, windows in segments:
        words.extend([chip << 12, 0, 0])
        for channel, label, values in windows:
            words.append((channel << 8) | label)
            words.extend(values)
            expected.add(chip * per_chip + channel, [label], values)
        words.append(0xFFFF)
    return be(words), expected.result()


def vexoc_random(rng, params, n_windows):
    per_chip, w, s = params["channels"] // 2, params["windows"], params["samples"]
    segments = [(chip, [(k % per_chip, (k // per_chip) % w, [rng.randrange(4096) for _ in range(s)])
                        for k in range(n_windows * per_chip)]) for chip in range(2)]
    return vexoc_event(params, segments)


# dunlinv1: frames of seven header words (the group number first), four channel records (label,
# channel within the group, S samples) and two trailing words, then two closing words. `frames`
# holds (group, records) with records (label, channel within the group, values).
def dunlinv1_event(params, frames):
    expected, words = Expected(params), []
    for group, records in frames:
        assert len(records) == 4
        words.extend([group, 1, 2, 3, 4, 5, 6])
        for label, channel, values in records:
            words.extend([label, channel, *values])
            expected.add(4 * group + channel, [label], values)
        words.extend([0xDEAD, 0xBEEF])
    words.extend([0, 0])
    return be(words), expected.result()


def dunlinv1_random(rng, params, n_windows):
    c, w, s = params["channels"], params["windows"], params["samples"]
    frames = [(g, [(k % w, ch, [rng.randrange(65536) for _ in range(s)]) for ch in range(4)])
              for k in range(n_windows) for g in range(c // 4)]
    return dunlinv1_event(params, frames)
