"""Every script under examples/ runs, as a user would run it, against generated sample
acquisitions, and prints what it is there to show."""

import csv
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
import sample_acquisitions  # noqa: E402


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    return sample_acquisitions.write_samples(tmp_path_factory.mktemp("samples"))


def run(script, *args):
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, f"{script} failed:\n{done.stdout}{done.stderr}"
    assert done.stderr == "", f"{script} wrote to stderr:\n{done.stderr}"
    return done.stdout


def data_rows(directory):
    """The CSV rows of every file in `directory` (file order), without header and evt_num."""
    rows = []
    for f in sorted(Path(directory).iterdir()):
        with open(f, newline="") as fh:
            rows += [r[2:] for r in list(csv.reader(fh))[1:]]
    return rows


def test_each_example_shows_its_task(root, tmp_path):
    run_1, orra_1 = root / "run_1", root / "orra_1"
    cases = [
        ("open_and_list.py", [root],
         ["run_1: 1200 events in 3 chunks, board telkv3", "orra_1: 2 events in 1 chunks, board orra96",
          "notes is not an acquisition: Invalid path"]),
        ("metadata_and_calibrations.py", [run_1],
         ["'trigger_delay': 12", "readout metadata: {'operator': 'demo'", "pedestals: 4 channels x 8 windows x 16",
          "timing calibration: None"]),
        ("raw_and_parsed_events.py", [run_1, 7],
         ["event 7: 280 bytes", "channel 3: windows [7, 0], 32 samples", "past the end: Index out of bounds"]),
        ("slicing_and_iteration.py", [run_1], ["1200 events", "first 100 events: 12800 samples"]),
        ("export_csv.py", [run_1, tmp_path / "csv"],
         ["pedestals_correction=False: ['run_1 (chunk 0).csv', 'run_1 (chunk 1).csv']",
          "pedestals_correction=True"]),
        ("ecc_check_and_repair.py", [orra_1],
         ["event 0: 0 words in error", "event 1: 2 words in error", "bit 2, corrected", "detected only",
          "after ecc_correct: 1 words in error", "syndrome [1, 0, 0, 0], parity 1, bit 10"]),
    ]
    for script, args, expected in cases:
        out = run(script, *args)
        for text in expected:
            assert text in out, f"{script}: {text!r} missing from:\n{out}"
    # The corrected export differs from the raw one wherever a sample was written.
    raw, corrected = data_rows(tmp_path / "csv" / "raw"), data_rows(tmp_path / "csv" / "with_pedestals")
    assert len(raw) == len(corrected) == 1200 * 32
    assert raw[0][1] != corrected[0][1]


def test_parallel_export_writes_what_one_export_writes(root, tmp_path):
    out = run("parallel_export.py", root / "run_1", tmp_path / "parts", 3)
    parts = sorted((tmp_path / "parts").iterdir())
    assert [p.name for p in parts] == ["part_000", "part_001", "part_002"], out
    run("export_csv.py", root / "run_1", tmp_path / "single")
    together = [row for p in parts for row in data_rows(p)]
    assert together == data_rows(tmp_path / "single" / "with_pedestals")


def test_demo_tours_every_task(tmp_path):
    out = run("demo.py", tmp_path)
    for step in ["open and list", "metadata and calibrations", "raw and parsed events", "slicing and iteration",
                 "CSV export", "ECC check and repair"]:
        assert f"== {step}" in out, step
