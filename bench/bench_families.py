"""parsed_event speed for every board family, under whichever interpreter runs this script.

One acquisition per family, of events of a realistic size (orra96: 96 channels x 4096 samples;
the others 16,384 samples), prints parsed events per second (parsed_event over every event of
the acquisition) and the ratio of parsed_event's time for one event to the pure-Python floor of
building the same dictionary (bench/floor.py), and the minor page faults per parsed event.
Target: ratio at most 1.5.

    .venv/pypy/bin/python bench/bench_families.py [family ...] [--json PATH]
    .venv/cpython/bin/python bench/bench_families.py
"""

import argparse
import platform
import random
import resource
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import acqwriter  # noqa: E402
import packets  # noqa: E402
from floor import compare_with_floor, ratios  # noqa: E402
import tavroacq  # noqa: E402
from figures import Figures  # noqa: E402

FIGURES = Figures("bench_families")

DISTINCT, COPIES = 4, 10  # an acquisition holds DISTINCT events, each COPIES times


def p(channels, windows, samples):
    return {"channels": channels, "windows": windows, "samples": samples}


# family: (model, params, event builder given a random generator)
FAMILIES = {
    "telkv3": ("telkv3", p(4, 256, 32), lambda rng, q: packets.telkv3_random(rng, q, 128, [0, 1, 2, 3])),
    "vexv2": ("vexv2", p(4, 256, 32), lambda rng, q: packets.telkv3_random(rng, q, 128, [0, 1, 2, 3])),
    "telkv3s": ("telkv3s", p(4, 256, 32), lambda rng, q: packets.telkv3s_random(rng, q, 128)),
    "morvanev3": ("morvanev3", p(4, 128, 64), lambda rng, q: packets.morvanev3_random(rng, q, 64)),
    "brisav1": ("brisav2_evalr2", p(8, 64, 32), lambda rng, q: packets.brisav1_random(rng, q, 512)),
    "skiv16": ("skiv16", p(16, 4, 256), lambda rng, q: packets.skiv16_random(rng, q)),
    "orra96": ("orra96", p(96, 64, 64), lambda rng, q: packets.orra96_random(rng, q)),
    "vexoc": ("vexoc_vex", p(8, 256, 64), lambda rng, q: packets.vexoc_random(rng, q, 32)),
    "dunlinv1": ("dunlin", p(16, 64, 64), lambda rng, q: packets.dunlinv1_random(rng, q, 16)),
}


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def events_per_second(acq, repeats=3):
    """(events per second, best of `repeats` passes over every event; minor page faults per event
    over those passes: memory the allocator handed back between events and takes again)."""
    n = len(acq)
    for i in range(n):  # warm-up; each event is dropped at once, as in a loop over events
        acq.parsed_event(i)
    best, faults = float("inf"), minor_faults()
    for _ in range(repeats):
        t0 = time.perf_counter()
        for i in range(n):
            acq.parsed_event(i)
        best = min(best, time.perf_counter() - t0)
    return n / best, (minor_faults() - faults) / (n * repeats)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("family", nargs="*")
    parser.add_argument("--json", help="also write the figures to this file as JSON")
    args = parser.parse_args()
    wanted = args.family or list(FAMILIES)
    rng = random.Random(5)
    print(f"{platform.python_implementation()} {platform.python_version()}: parsed_event per family; "
          f"ratio = parsed_event / pure-Python floor, best / median of 15 (target <= 1.5)")
    print(f"  {'family':10} {'samples':>8} {'bytes':>9} {'events/s':>10} {'parsed ms':>10} {'floor ms':>9} "
          f"{'ratio':>13} {'faults/event':>12}")
    with tempfile.TemporaryDirectory() as tmp:
        for family in wanted:
            model, params, build = FAMILIES[family]
            built = [build(rng, params) for _ in range(DISTINCT)]
            path = acqwriter.write_acquisition(Path(tmp) / family, {"model": model, **params},
                                               chunks=[[packet for packet, _ in built]] * COPIES)
            acq = tavroacq.Acquisition(path)
            assert acq.parsed_event(0) == built[0][1], family
            rate, faults = events_per_second(acq)
            t_parsed, t_floor = compare_with_floor(acq, repeats=15, calls=1)
            best, median = ratios(t_parsed, t_floor)
            samples = sum(len(ch) for ch in built[0][1]["data"])
            print(f"  {family:10} {samples:8,} {len(built[0][0]):9,} {rate:10,.0f} "
                  f"{statistics.median(t_parsed) * 1e3:10.3f} {statistics.median(t_floor) * 1e3:9.3f} "
                  f"{best:6.2f} / {median:4.2f} {faults:12.1f}", flush=True)
            FIGURES.add(f"parsed_event, {family}", rate, "events/s")
            FIGURES.add(f"parsed_event / pure-Python floor, {family}", best, "ratio", ("<=", 1.5))
            FIGURES.add(f"minor page faults per parsed event, {family}", faults, "faults")
    FIGURES.write(args.json)


if __name__ == "__main__":
    main()
