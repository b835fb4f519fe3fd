"""Export events to CSV files (at most 1000 events per file), without and with the pedestals
calibration subtracted.

    python examples/export_csv.py ACQUISITION OUT_DIR
"""

import csv
import sys
from pathlib import Path

import tavroacq


def main(argv):
    acq = tavroacq.Acquisition(argv[0])
    out = Path(argv[1])
    for corrected in (False, True):
        target = out / ("with_pedestals" if corrected else "raw")
        target.mkdir(parents=True, exist_ok=True)  # export_csv writes into an existing directory
        tavroacq.export_csv(acq, range(len(acq)), target, corrected)
        files = sorted(target.iterdir())
        print(f"pedestals_correction={corrected}: {[f.name for f in files]}")
        with open(files[0], newline="") as f:
            rows = csv.reader(f)
            print("  header:", next(rows))
            print("  first row:", next(rows))


if __name__ == "__main__":
    main(sys.argv[1:])
