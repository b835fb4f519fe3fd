"""Find the acquisitions in a directory and open one.

    python examples/open_and_list.py ROOT
"""

import sys

import tavroacq


def main(argv):
    root = argv[0]
    for acq in tavroacq.list_acquisitions(root):  # directory order; non-acquisitions are skipped
        print(f"{acq.name}: {len(acq)} events in {acq.chunk_count} chunks, board {acq.params['model']}")

    path = f"{root}/run_1"
    if tavroacq.is_acquisition(path):  # a directory holding metadata.yml
        acq = tavroacq.Acquisition(path)
        print(f"opened {acq.path} (name {acq.name!r}, valid: {acq.is_valid})")
    try:
        tavroacq.Acquisition(f"{root}/notes")
    except FileNotFoundError as e:
        print(f"notes is not an acquisition: {e}")


if __name__ == "__main__":
    main(sys.argv[1:])
