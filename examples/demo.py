"""A short tour of tavroacq on sample acquisitions generated on the spot: open and list, read
metadata and calibrations, raw and parsed events, slices and iteration, CSV export with and
without pedestals, and the ECC check and repair of orra96 events. Each step is one of the
examples beside this file.

    python examples/demo.py [ROOT]   (ROOT: where to write the samples; a temporary directory by default)
"""

import sys
import tempfile
from pathlib import Path

import ecc_check_and_repair
import export_csv
import metadata_and_calibrations
import open_and_list
import raw_and_parsed_events
import sample_acquisitions
import slicing_and_iteration
import tavroacq


def tour(root):
    sample_acquisitions.write_samples(root)
    run, orra = str(root / "run_1"), str(root / "orra_1")
    steps = [
        ("open and list", open_and_list, [str(root)]),
        ("metadata and calibrations", metadata_and_calibrations, [run]),
        ("raw and parsed events", raw_and_parsed_events, [run, "5"]),
        ("slicing and iteration", slicing_and_iteration, [run]),
        ("CSV export", export_csv, [run, str(root / "csv")]),
        ("ECC check and repair", ecc_check_and_repair, [orra]),
    ]
    print(f"tavroacq {tavroacq.__version__}: {', '.join(tavroacq.__all__)}")
    print(f"sample acquisitions in {root}")
    for title, example, args in steps:
        print(f"\n== {title} ({Path(example.__file__).name})")
        example.main(args)


def main():
    if len(sys.argv) > 1:
        tour(Path(sys.argv[1]))
    else:
        with tempfile.TemporaryDirectory() as tmp:
            tour(Path(tmp))


if __name__ == "__main__":
    main()
