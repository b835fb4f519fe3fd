"""Export one large acquisition on all cores: each worker process exports a range of event
indices into its own directory (file names repeat between workers: "<name> (chunk k).csv").

    python examples/parallel_export.py ACQUISITION OUT_DIR [WORKERS]

Acquisition objects pickle by path, so they travel to the workers as they are.
"""

import os
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import tavroacq


def export_range(acq, start, stop, out_dir):
    out_dir.mkdir(parents=True, exist_ok=True)
    tavroacq.export_csv(acq, range(start, stop), out_dir, True)
    return out_dir, stop - start


def main(argv):
    acq = tavroacq.Acquisition(argv[0])
    out = Path(argv[1])
    workers = int(argv[2]) if len(argv) > 2 else os.cpu_count() or 1
    n = len(acq)
    # One contiguous range per worker, rounded up to whole files of 1000 events when large.
    per = max(1, -(-n // workers))
    if per > 1000:
        per = -(-per // 1000) * 1000
    ranges = [(start, min(start + per, n)) for start in range(0, n, per)]
    with ProcessPoolExecutor(max_workers=workers) as pool:
        jobs = [pool.submit(export_range, acq, a, b, out / f"part_{k:03d}") for k, (a, b) in enumerate(ranges)]
        for job in jobs:
            directory, count = job.result()
            print(f"{directory.name}: {count} events, files {sorted(f.name for f in directory.iterdir())}")


if __name__ == "__main__":
    main(sys.argv[1:])
