"""Runs every benchmark of the project and gathers their figures into one table and one JSON file
(the second half of bench/run, which builds what this needs first).

    .venv/cpython/bin/python bench/collect.py [--only NAME ...] [--out build/bench.json] [--compare OLD.json]

Every bench/bench_*.py runs under PyPy and under CPython with --json; the C++ Google Benchmarks
(build/bench/tavroacq_bench) run once. Each run's own output goes to build/bench-logs/. The table
shows PyPy and CPython side by side, with each figure's target where it has one; --compare adds
the figures of an earlier JSON file (another commit, say) beside the new ones.
"""

import argparse
import datetime
import json
import math
import platform
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
INTERPRETERS = {"PyPy": ROOT / ".venv/pypy/bin/python", "CPython": ROOT / ".venv/cpython/bin/python"}
CPP_BENCH = ROOT / "build/bench/tavroacq_bench"
LOGS = ROOT / "build/bench-logs"
# What Google Benchmark writes for every benchmark; any other key is a counter the benchmark set.
# ("threads" is left out: the run's thread count, always 1 here, shares its name with a counter.)
STANDARD_KEYS = {"name", "family_index", "per_family_instance_index", "run_name", "run_type", "repetitions",
                 "repetition_index", "threads", "iterations", "real_time", "cpu_time", "time_unit",
                 "bytes_per_second", "items_per_second", "label", "aggregate_name", "aggregate_unit"}


def run_logged(cmd, log):
    print(f"   running {' '.join(map(str, cmd))}  (output: {log.relative_to(ROOT)})", flush=True)
    with open(log, "w") as out:
        done = subprocess.run(list(map(str, cmd)), stdout=out, stderr=subprocess.STDOUT, cwd=ROOT)
    if done.returncode != 0:
        sys.exit(f"{cmd[1] if len(cmd) > 1 else cmd[0]} failed (exit {done.returncode}); see {log}:\n"
                 + log.read_text()[-3000:])


def python_benches(only):
    rows = []
    for script in sorted((ROOT / "bench").glob("bench_*.py")):
        if only and script.stem not in only:
            continue
        print(f"== {script.stem}", flush=True)
        for interp, python in INTERPRETERS.items():
            with tempfile.NamedTemporaryFile(suffix=".json") as out:
                run_logged([python, script, "--json", out.name], LOGS / f"{script.stem}-{interp.lower()}.txt")
                rows += json.load(open(out.name))
    return rows


def cpp_benches():
    print("== tavroacq_bench (C++)", flush=True)
    out = LOGS / "tavroacq_bench.json"
    run_logged([CPP_BENCH, f"--benchmark_out={out}", "--benchmark_out_format=json"], LOGS / "tavroacq_bench.txt")
    rows = []
    for b in json.load(open(out))["benchmarks"]:
        if b.get("run_type") == "aggregate" or "error_message" in b:
            continue
        base = {"bench": "tavroacq_bench", "interpreter": "C++"}
        rows.append(dict(base, name=b["name"], value=b["real_time"], unit=b["time_unit"]))
        if "bytes_per_second" in b:
            rows.append(dict(base, name=f"{b['name']} throughput", value=b["bytes_per_second"] / 1e6, unit="MB/s"))
        if "items_per_second" in b:
            rows.append(dict(base, name=f"{b['name']} items", value=b["items_per_second"] / 1e6, unit="M items/s"))
        for counter in sorted(set(b) - STANDARD_KEYS):  # the benchmark's own counters
            rows.append(dict(base, name=f"{b['name']} {counter}", value=b[counter],
                             unit="ratio" if counter.startswith("of_") else ""))
    return rows


def number(v):
    if v is None:
        return ""
    if v == 0 or math.isnan(v):
        return f"{v:g}"
    if abs(v) >= 1000:
        return f"{v:,.0f}"
    digits = max(0, 3 - int(math.floor(math.log10(abs(v)))))
    return f"{v:.{digits}f}"


def cell(row):
    if row is None:
        return ""
    mark = "" if "met" not in row else (" ok" if row["met"] else " MISS")
    return number(row["value"]) + mark


def table(rows, previous):
    """One line per (bench, figure): PyPy, CPython and C++ values side by side."""
    keyed, order = {}, []
    for r in rows:
        key = (r["bench"], r["name"])
        if key not in keyed:
            keyed[key] = {}
            order.append(key)
        keyed[key][r["interpreter"]] = r
    old = {(r["bench"], r["name"], r["interpreter"]): r["value"] for r in previous}
    cols = ["PyPy", "CPython", "C++"]
    header = ["figure"] + cols + ["unit", "target"] + (["before (PyPy / CPython / C++)"] if previous else [])
    lines, bench = [], None
    for key in order:
        if key[0] != bench:
            bench = key[0]
            lines.append([bench] + [""] * (len(header) - 1))
        by = keyed[key]
        any_row = next(iter(by.values()))
        line = ["  " + key[1]] + [cell(by.get(c)) for c in cols] + [any_row["unit"], any_row.get("target", "")]
        if previous:
            line.append(" / ".join(number(old.get(key + (c,))) or "-" for c in cols if c in by))
        lines.append(line)
    widths = [max(len(str(x[i])) for x in lines + [header]) for i in range(len(header))]
    fmt = lambda x: "  ".join(s.ljust(w) if i in (0, 4, 5, 6) else s.rjust(w)
                              for i, (s, w) in enumerate(zip(x, widths)))
    print(fmt(header))
    print("  ".join("-" * w for w in widths))
    for line in lines:
        print(fmt(line))


def git_commit():
    try:
        done = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True, cwd=ROOT)
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"], capture_output=True,
                               text=True, cwd=ROOT).stdout.strip()
    except FileNotFoundError:  # no git on this machine: the figures still count
        return "unknown"
    return done.stdout.strip() + ("+changes" if dirty else "")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", nargs="+", help="run only these (bench_acquisition, ..., tavroacq_bench)")
    parser.add_argument("--out", default=str(ROOT / "build/bench.json"))
    parser.add_argument("--compare", help="a JSON file of an earlier run, shown beside the new figures")
    args = parser.parse_args()
    LOGS.mkdir(parents=True, exist_ok=True)
    previous = json.load(open(args.compare))["figures"] if args.compare else []

    rows = python_benches(args.only)
    if not args.only or "tavroacq_bench" in args.only:
        rows += cpp_benches()

    result = {"commit": git_commit(), "date": datetime.datetime.now().isoformat(timespec="seconds"),
              "machine": f"{platform.machine()} {platform.node()}", "figures": rows}
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)
    print()
    table(rows, previous)
    missed = [r for r in rows if r.get("met") is False]
    print(f"\n{len(rows)} figures written to {args.out}; {len(missed)} target(s) missed")


if __name__ == "__main__":
    main()
