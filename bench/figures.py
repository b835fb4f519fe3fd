"""Machine-readable figures of the Python benchmarks: each script records what it prints with
`add` and, given `--json PATH`, writes them there for bench/run to gather."""

import json
import platform


class Figures:
    def __init__(self, bench):
        self.bench = bench
        self.rows = []

    def add(self, name, value, unit, target=None):
        """`target`: None or (op, bound) with op "<=" or ">=": what `value` must satisfy."""
        row = {"bench": self.bench, "interpreter": platform.python_implementation(), "name": name,
               "value": value, "unit": unit}
        if target is not None:
            op, bound = target
            row["target"] = f"{op} {bound:g}"
            row["met"] = value <= bound if op == "<=" else value >= bound
        self.rows.append(row)

    def write(self, path):
        if path:
            with open(path, "w") as f:
                json.dump(self.rows, f, indent=1)
