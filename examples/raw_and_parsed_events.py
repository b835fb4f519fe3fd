"""One event as the board sent it, and parsed into per-channel lists.

    python examples/raw_and_parsed_events.py ACQUISITION [INDEX]
"""

import sys

import tavroacq


def main(argv):
    acq = tavroacq.Acquisition(argv[0])
    index = int(argv[1]) if len(argv) > 1 else 0

    raw = acq.raw_event(index)  # {"rawdata": bytes, "pkg_num": index, "event_num": index}
    print(f"event {raw['event_num']}: {len(raw['rawdata'])} bytes, starting {raw['rawdata'][:8].hex(' ')}")

    event = acq.parsed_event(index)  # the same as acq[index]
    for ch, (samples, labels, time) in enumerate(zip(event["data"], event["window_labels"], event["time"])):
        if samples:
            print(f"  channel {ch}: windows {labels}, {len(samples)} samples {samples[:4]}..., time {time[:4]}...")
    print("  timing:", event["timing"], "(brisav1 boards only)")
    print("  ecc_errors:", "per channel" if event["ecc_errors"] is not None else None, "(orra96 boards only)")

    try:
        acq.raw_event(len(acq))
    except IndexError as e:
        print(f"past the end: {e}")


if __name__ == "__main__":
    main(sys.argv[1:])
