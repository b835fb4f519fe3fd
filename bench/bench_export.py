"""Throughput of export_csv (MB of CSV written per second, one core) for an orra96 and a telkv3
acquisition, and on CPython the ratio to pandas DataFrame.to_csv writing the same tables.

    .venv/pypy/bin/python bench/bench_export.py [--json PATH]
    .venv/cpython/bin/python bench/bench_export.py [--json PATH]

pandas lives only in its own venv, .venv/bench-cpython, which this script creates on first use
(the test venvs never get it); the pandas side runs there as a subprocess on the CSV files the
export wrote.
"""

import argparse
import os
import platform
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

BENCH_VENV = ROOT / ".venv" / "bench-cpython"
from figures import Figures  # noqa: E402

FIGURES = Figures("bench_export")


# --- acquisitions ---------------------------------------------------------------------------------
# The test writers are imported where they are used: the venv of the pandas run has no PyYAML.


def orra96_packet(rng, windows, samples, first_window):
    """Six chip blocks (a chip-number byte, 16 channel records, three footer bytes), then two
    footer bytes."""
    import packets
    n = windows * samples
    return b"".join(bytes([chip]) + b"".join(packets.channel_record(ch, first_window, [rng.randrange(1024) for _ in range(n)])
                                             for ch in range(16)) + b"\0\0\0"
                    for chip in range(6)) + b"\0\0"


def telkv3_packet(rng, channels, windows_per_channel, samples, first_label):
    import acqwriter
    return acqwriter.telkv3_packet([(ch, (first_label + k) % 256, [rng.randrange(4096) for _ in range(samples)])
                                    for k in range(windows_per_channel) for ch in range(channels)], samples)


def make_acquisitions(root):
    import acqwriter

    rng = random.Random(5)
    orra_params = {"model": "orra96", "channels": 96, "windows": 32, "samples": 128}
    base = [orra96_packet(rng, 32, 128, 3) for _ in range(4)]
    orra = acqwriter.write_acquisition(root / "orra96_run", orra_params, [base * 3])
    tel_params = {"model": "telkv3", "channels": 4, "windows": 256, "samples": 32}
    events = [telkv3_packet(rng, 4, 16, 32, rng.randrange(256)) for _ in range(3000)]
    tel = acqwriter.write_acquisition(root / "telkv3_run", tel_params, [events])
    return [("orra96", orra, 12), ("telkv3", tel, 3000)]


# --- measuring ------------------------------------------------------------------------------------


def time_export(tavroacq, path, n_events, out, repeats):
    acq = tavroacq.Acquisition(path)
    best = cpu = float("inf")
    for _ in range(repeats):
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir()
        t0, c0 = time.perf_counter(), time.thread_time()
        tavroacq.export_csv(acq, range(n_events), out, False)
        best = min(best, time.perf_counter() - t0)
        cpu = min(cpu, time.thread_time() - c0)
    files = sorted(out.iterdir())
    return best, cpu, sum(f.stat().st_size for f in files), files


def pandas_side(files, repeats):
    """Runs in the bench venv: reads each CSV into a DataFrame and times to_csv of the same table."""
    import pandas as pd

    total = 0.0
    size = 0
    with tempfile.TemporaryDirectory() as tmp:
        for f in files:
            df = pd.read_csv(f)
            target = Path(tmp) / "pandas.csv"
            best = float("inf")
            for _ in range(repeats):
                t0 = time.perf_counter()
                df.to_csv(target, index=False)
                best = min(best, time.perf_counter() - t0)
            total += best
            size += target.stat().st_size
    print(f"{total} {size}")


def bench_python():
    """The bench venv's interpreter, created with pandas on first use."""
    python = BENCH_VENV / "bin" / "python"
    if not python.exists():
        base = getattr(sys, "_base_executable", None) or shutil.which("python3")
        subprocess.run([base, "-m", "venv", str(BENCH_VENV)], check=True)
        pip = subprocess.run([str(python), "-m", "pip", "install", "-q", "pandas"], capture_output=True, text=True)
        if pip.returncode != 0:
            shutil.rmtree(BENCH_VENV, ignore_errors=True)
            sys.exit(f"could not install pandas into {BENCH_VENV}:\n{pip.stdout}{pip.stderr}")
    return python


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pandas", nargs="*", help=argparse.SUPPRESS)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--json", help="also write the figures to this file as JSON")
    args = parser.parse_args()
    if args.pandas is not None:
        pandas_side(args.pandas, args.repeats)
        return

    import tavroacq

    cpython = platform.python_implementation() == "CPython"
    print(f"export_csv on {platform.python_implementation()} {platform.python_version()}")
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_TMP")) as tmp:
        root = Path(tmp)
        for family, path, n_events in make_acquisitions(root):
            out = root / f"out_{family}"
            seconds, cpu, size, files = time_export(tavroacq, path, n_events, out, args.repeats)
            line = f"  {family:7s} {n_events:5d} events  {size / 1e6:6.1f} MB CSV  {seconds:6.3f} s  " \
                   f"{size / 1e6 / seconds:6.1f} MB/s ({size / 1e6 / cpu:6.1f} MB per CPU second)"
            if cpython:
                run = subprocess.run([str(bench_python()), __file__, "--repeats", str(args.repeats), "--pandas",
                                      *map(str, files)], check=True, capture_output=True, text=True)
                pd_seconds, pd_size = run.stdout.split()
                pd_seconds = float(pd_seconds)
                line += f"  pandas to_csv {pd_seconds:6.3f} s ({int(pd_size) / 1e6:.1f} MB): " \
                        f"{pd_seconds / seconds:5.1f}x faster"
            print(line, flush=True)
            FIGURES.add(f"export_csv, {family}", size / 1e6 / seconds, "MB/s")
            FIGURES.add(f"export_csv, {family}, per CPU second", size / 1e6 / cpu, "MB/s")
            if cpython:
                FIGURES.add(f"pandas to_csv time / export_csv time, {family}", pd_seconds / seconds, "ratio")
    FIGURES.write(args.json)


if __name__ == "__main__":
    main()
