"""Writes a small root directory of sample acquisitions for the examples, the demo and their test.

    python examples/sample_acquisitions.py ROOT

ROOT/run_1   telkv3 board, 4 channels, 3 chunks of 400 events, with readout metadata and a
             pedestals calibration
ROOT/orra_1  orra96 board, 96 channels of 4096 samples, 2 full-size events; event 1 has one
             word with a single flipped bit and one with two
ROOT/notes   a directory that is not an acquisition (no metadata.yml)
"""

import random
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import acqwriter  # noqa: E402

TELKV3 = {"model": "telkv3", "channels": 4, "windows": 8, "samples": 16}
ORRA96 = {"model": "orra96", "channels": 96, "windows": 32, "samples": 128}

# The orra96 check sums: bit masks of the word bits that each of the four sums covers.
CHECK_MASKS = (0x055B, 0x0A6D, 0x138E, 0x23F0)


def parity(x):
    return bin(x).count("1") & 1


def code_word(value):
    """The stored orra96 word for a 10-bit sample: the board stores the sample inverted in bits
    0-9, sets check bits 10-13 so that every check sum is 0, and bit 14 for even overall parity."""
    w = ~value & 0x3FF
    for k, mask in enumerate(CHECK_MASKS):
        w |= parity(w & mask & 0x3FF) << (10 + k)
    return w | parity(w) << 14


def orra96_event(rng):
    """Six chip blocks (chip byte, 16 channel records of header word, 4096 samples and footer
    word, 3 footer bytes), then 2 event footer bytes: 786,842 bytes."""
    words = [code_word(v) for v in range(1024)]
    out = bytearray()
    for chip in range(6):
        out.append(chip)
        for ch in range(16):
            first_window = rng.randrange(32)
            samples = [words[rng.randrange(400, 600)] for _ in range(4096)]
            out += struct.pack("<4098H", ch << 8 | first_window, *samples, 0)
        out += bytes(3)
    return bytes(out + bytes(2))


def telkv3_event(rng, number):
    """Two windows per channel, consecutive labels from a rotating start."""
    first = number % TELKV3["windows"]
    windows = []
    for k in range(2):
        for ch in range(TELKV3["channels"]):
            values = [rng.randrange(1800, 2300) for _ in range(TELKV3["samples"])]
            windows.append((ch, (first + k) % TELKV3["windows"], values))
    return acqwriter.telkv3_packet(windows, TELKV3["samples"])


def pedestals(rng):
    """{"data": [channel][window label][sample]}: the baseline of every sampling cell."""
    return {"data": [[[round(rng.uniform(1900.0, 2100.0), 2) for _ in range(TELKV3["samples"])]
                      for _ in range(TELKV3["windows"])] for _ in range(TELKV3["channels"])]}


def write_samples(root, events_per_chunk=400):
    root = Path(root)
    rng = random.Random(7)
    events = [telkv3_event(rng, n) for n in range(3 * events_per_chunk)]
    acqwriter.write_acquisition(
        root / "run_1", TELKV3, acqwriter.split_into_chunks(events, events_per_chunk),
        registers={"trigger_delay": 12, "gain": "high"},
        misc={"readout_metadata": {"operator": "demo", "temperature_c": 31.5},
              "pedestals_calibration": pedestals(rng)})

    clean = orra96_event(rng)
    noisy = bytearray(clean)
    noisy[3 + 2 * 10] ^= 0x04          # channel 0, word 10: bit 2 flipped (correctable)
    noisy[8199 + 2 * 20 + 1] ^= 0x03   # channel 1, word 20: bits 8 and 9 flipped (detected only)
    acqwriter.write_acquisition(root / "orra_1", ORRA96, [[clean, bytes(noisy)]])

    (root / "notes").mkdir(parents=True, exist_ok=True)
    return root


if __name__ == "__main__":
    print(write_samples(sys.argv[1]))
