"""A short tour of tavroacq on a sample acquisition generated on the spot."""

import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import acqwriter  # noqa: E402
import tavroacq  # noqa: E402


def main():
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        params = {"model": "telkv3", "channels": 4, "windows": 8, "samples": 32}
        events = [bytes([i]) * 16 for i in range(5)]
        acqwriter.write_acquisition(root / "run_1", params, acqwriter.split_into_chunks(events, 2))
        print("tavroacq exports:", ", ".join(tavroacq.__all__) or "(nothing yet)")
        print("sample acquisition written to", root / "run_1")


if __name__ == "__main__":
    main()
