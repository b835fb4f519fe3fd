"""Many parsed events: an index, a slice, iteration.

    python examples/slicing_and_iteration.py ACQUISITION
"""

import sys

import tavroacq


def channel_means(event):
    return [round(sum(s) / len(s), 1) if s else None for s in event["data"]]


def main(argv):
    acq = tavroacq.Acquisition(argv[0])
    print(f"{len(acq)} events")

    print("event 3:", channel_means(acq[3]))
    some = acq[10:20:3]  # a list of parsed events 10, 13, 16, 19 (negative steps are refused)
    print("events 10:20:3:", [channel_means(e)[0] for e in some])

    # Iteration ends quietly at the first event that cannot be read or parsed; acq[i] raises.
    total = 0
    for n, event in enumerate(acq):
        total += sum(len(s) for s in event["data"])
        if n == 99:
            break
    print(f"first 100 events: {total} samples")


if __name__ == "__main__":
    main(sys.argv[1:])
