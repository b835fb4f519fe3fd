"""Event access speed of tavroacq.Acquisition, under whichever interpreter runs this script.

Prints events per second of raw_event, parsed_event and iteration over a telkv3 acquisition of
10 chunks, and, for one large parsed event, the ratio of parsed_event's time to the time pure
Python needs to build the same dictionary from ready-made array.array objects with tolist()
(the floor of creating those objects in this interpreter). Target: ratio at most 1.5.

    .venv/pypy/bin/python bench/bench_acquisition.py [--json PATH]
"""

import argparse
import platform
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import acqwriter  # noqa: E402
from floor import compare_with_floor, ratios  # noqa: E402
import tavroacq  # noqa: E402
from figures import Figures  # noqa: E402

FIGURES = Figures("bench_acquisition")

CHUNKS, EVENTS_PER_CHUNK = 10, 200
SMALL = {"channels": 4, "windows": 256, "samples": 32, "windows_per_event": 16}
# 4 channels x 256 windows x 384 samples = 393,216 samples per event.
LARGE = {"channels": 4, "windows": 256, "samples": 384, "windows_per_event": 1024}


def make_packet(rng, shape):
    c, s = shape["channels"], shape["samples"]
    windows = [(k % c, (k // c) % 256, [rng.randrange(4096) for _ in range(s)])
               for k in range(shape["windows_per_event"])]
    return acqwriter.telkv3_packet(windows, s)


def params_of(shape):
    return {"model": "telkv3", "channels": shape["channels"], "windows": shape["windows"],
            "samples": shape["samples"]}


def best_rate(fn, n, repeats=5):
    """Events per second: n events per call of fn, best of `repeats` after a warm-up."""
    fn()
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return n / min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--json", help="also write the figures to this file as JSON")
    args = parser.parse_args()
    rng = random.Random(1)
    interp = f"{platform.python_implementation()} {platform.python_version()}"
    with tempfile.TemporaryDirectory() as tmp:
        events = [make_packet(rng, SMALL) for _ in range(EVENTS_PER_CHUNK)]
        small_dir = acqwriter.write_acquisition(Path(tmp) / "small", params_of(SMALL), chunks=[events] * CHUNKS)
        acq = tavroacq.Acquisition(small_dir)
        n = len(acq)
        assert n == CHUNKS * EVENTS_PER_CHUNK

        print(f"{interp}: telkv3, {CHUNKS} chunks x {EVENTS_PER_CHUNK} events of "
              f"{len(events[0])} bytes ({SMALL['windows_per_event'] * SMALL['samples']} samples)")
        raw = best_rate(lambda: [acq.raw_event(i) for i in range(n)], n)
        parsed = best_rate(lambda: [acq.parsed_event(i) for i in range(n)], n)
        iterated = best_rate(lambda: [e for e in acq], n, repeats=3)
        sliced = best_rate(lambda: acq[:], n)
        print(f"  raw_event     {raw:12,.0f} events/s")
        print(f"  parsed_event  {parsed:12,.0f} events/s")
        print(f"  iteration     {iterated:12,.0f} events/s")
        print(f"  acq[:]        {sliced:12,.0f} events/s")
        for name, rate in [("raw_event", raw), ("parsed_event", parsed), ("iteration", iterated), ("acq[:]", sliced)]:
            FIGURES.add(f"{name} (small telkv3 events)", rate, "events/s")

        report_floor("one large event", tavroacq.Acquisition(acqwriter.write_acquisition(
            Path(tmp) / "large", params_of(LARGE), chunks=[[make_packet(rng, LARGE)]])), repeats=21, calls=1,
            unit=1e3, target=("<=", 1.5))
        # For information: on a small event the fixed cost per call (file access included) weighs more.
        report_floor("one small event", acq, repeats=21, calls=500, unit=1e6, target=None)
    FIGURES.write(args.json)


def report_floor(title, acq, repeats, calls, unit, target):
    reference = acq.parsed_event(0)
    samples = sum(len(ch) for ch in reference["data"])
    size = len(acq.raw_event(0)["rawdata"])
    t_parsed, t_floor = compare_with_floor(acq, repeats, calls)
    name = "ms" if unit == 1e3 else "us"
    best, median = ratios(t_parsed, t_floor)
    print(f"  {title} ({samples:,} samples, {size:,} bytes), best / median of {repeats}"
          f"{f' rounds of {calls} calls' if calls > 1 else ''}:")
    print(f"    parsed_event            {min(t_parsed) * unit:8.2f} / {statistics.median(t_parsed) * unit:8.2f} {name}")
    print(f"    pure-Python floor       {min(t_floor) * unit:8.2f} / {statistics.median(t_floor) * unit:8.2f} {name}")
    print(f"    ratio                   {best:8.2f} / {median:8.2f}"
          f"{f'   (target {target[0]} {target[1]})' if target else ''}")
    FIGURES.add(f"parsed_event, {title}", min(t_parsed) * unit, name)
    FIGURES.add(f"parsed_event / pure-Python floor, {title}", best, "ratio", target)


if __name__ == "__main__":
    main()
