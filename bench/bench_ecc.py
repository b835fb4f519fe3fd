"""ecc_check against pure Python, side by side in one run (run it under PyPy and CPython).

1. A clean full six-chip buffer: ecc_check against a straightforward pure-Python check that looks
   every sample word up in a 65,536-entry table of check_word results.
2. A full buffer in which every word is in error (393,216 findings): ecc_check against the time
   pure Python needs just to build the same list of 6-tuples with zip from ready-made lists of ints.

Times are the best of several rounds (the machine is shared); medians are shown beside them.
The script runs itself under a fixed hash seed: with a random one, PyPy's JIT often settles on a
three to four times slower trace of the pure-Python check, which would flatter the comparison.

    .venv/pypy/bin/python bench/bench_ecc.py [--json PATH]
"""

import argparse
import os
import random
import sys
import time

import tavroacq
from figures import Figures

FIGURES = Figures("bench_ecc")

FULL = 786842
BLOCK = 131140
AREA = 8196
SAMPLES_AT = 3
SAMPLE_BYTES = 8192
CHECK_MASKS = (0x055B, 0x0A6D, 0x138E, 0x23F0)
POSITION_TO_BIT = (10, 11, 0, 12, 1, 2, 3, 13, 4, 5, 6, 7, 8, 9, 15)


def parity(x):
    return bin(x).count("1") & 1


def check_word(w):
    """The single-word check in pure Python: None or (word, corrected, bit, correctable)."""
    p = sum(parity(w & m) << k for k, m in enumerate(CHECK_MASKS))
    g = parity(w)
    if p == 0:
        return None if g == 0 else (w, w, 0, 1)
    bit = POSITION_TO_BIT[p - 1]
    return (w, w ^ (1 << bit), bit, 1) if g else (w, w, bit, 0)


TABLE = [check_word(w) for w in range(65536)]


def py_ecc_check(buf):
    """What a Python programmer would write: one table lookup per sample word."""
    table = TABLE
    out = []
    blocks = (len(buf) - 2 + BLOCK - 1) // BLOCK
    for c in range(16 * blocks):
        start = (c // 16) * BLOCK + (c % 16) * AREA + SAMPLES_AT
        for at in range(start, start + SAMPLE_BYTES, 2):
            found = table[buf[at] | buf[at + 1] << 8]
            if found is not None:
                out.append((at - start, at) + found)
    return out


def clean_buffer():
    rng = random.Random(1)
    valid = [w for w in range(65536) if TABLE[w] is None]
    buf = bytearray(rng.getrandbits(8) for _ in range(FULL))
    for c in range(96):
        start = (c // 16) * BLOCK + (c % 16) * AREA + SAMPLES_AT
        for i in range(0, SAMPLE_BYTES, 2):
            w = rng.choice(valid)
            buf[start + i] = w & 0xFF
            buf[start + i + 1] = w >> 8
    return bytes(buf)


def timed(fn, rounds):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    times.sort()
    return times[0], times[len(times) // 2]


def show(label, t):
    print(f"  {label:<52} best {t[0] * 1e3:9.3f} ms   median {t[1] * 1e3:9.3f} ms")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--json", help="also write the figures to this file as JSON")
    args = parser.parse_args()
    print(f"{sys.implementation.name} {sys.version.split()[0]}")

    clean = clean_buffer()
    assert tavroacq.ecc_check(clean) == [] == py_ecc_check(clean)
    noisy = bytearray(clean)
    for at in random.Random(2).sample(range(FULL), 2000):
        noisy[at] ^= 1 << (at % 8)
    noisy = bytes(noisy)
    assert tavroacq.ecc_check(noisy) == py_ecc_check(noisy)

    print("clean six-chip buffer (393,216 words, no finding)")
    ours = timed(lambda: tavroacq.ecc_check(clean), 2000)
    python = timed(lambda: py_ecc_check(clean), 200)
    show("tavroacq.ecc_check", ours)
    show("pure Python, table lookup per word", python)
    print(f"  ratio ecc_check / pure Python: best {ours[0] / python[0]:.3f}, median {ours[1] / python[1]:.3f}"
          "  (target under PyPy: at most 0.2)")
    FIGURES.add("ecc_check, clean six-chip buffer", ours[0] * 1e3, "ms")
    FIGURES.add("ecc_check / pure Python, clean buffer", ours[0] / python[0], "ratio",
                ("<=", 0.2) if sys.implementation.name == "pypy" else None)

    all_errors = bytes([0x01]) * FULL
    expected = tavroacq.ecc_check(all_errors)
    assert len(expected) == 393216 and expected[0] == (0, 3, 0x0101, 0x0101, 9, 0)
    columns = [[row[k] for row in expected] for k in range(6)]
    assert list(zip(*columns)) == expected
    del expected
    print("six-chip buffer with every word in error (393,216 six-tuples)")
    ours = timed(lambda: tavroacq.ecc_check(all_errors), 30)
    python = timed(lambda: list(zip(*columns)), 30)
    show("tavroacq.ecc_check", ours)
    show("pure Python list(zip(...)) of ready-made int lists", python)
    print(f"  ratio ecc_check / zip: best {ours[0] / python[0]:.3f}, median {ours[1] / python[1]:.3f}"
          "  (target: at most 1.5)")
    FIGURES.add("ecc_check, every word in error", ours[0] * 1e3, "ms")
    FIGURES.add("ecc_check / list(zip(...)), every word in error", ours[0] / python[0], "ratio", ("<=", 1.5))
    FIGURES.write(args.json)


if __name__ == "__main__":
    if os.environ.get("PYTHONHASHSEED") != "0":
        os.execve(sys.executable, [sys.executable] + sys.argv, dict(os.environ, PYTHONHASHSEED="0"))
    main()
