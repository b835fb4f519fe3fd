import subprocess
import sys

import tavroacq

REGISTERED_ORDER = [
    "Acquisition",
    "list_acquisitions",
    "is_acquisition",
    "export_csv",
    "syndrome",
    "global_parity",
    "syndrome_to_index",
    "ecc_check",
    "ecc_correct",
]


def test_docstring():
    assert tavroacq.__doc__ == "Registers the Python bindings of the acquisition library."


def test_all_lists_registered_names_in_order():
    # Names are registered as they land; whatever is there keeps the final order.
    names = list(getattr(tavroacq, "__all__", []))
    assert names == [n for n in REGISTERED_ORDER if n in names]
    for name in names:
        assert getattr(tavroacq, name) is not None


def test_exceptions_and_iterator_are_not_module_attributes():
    for name in ("ParsingError", "MetadataError", "ExportError", "FullChunkError", "IterEvents"):
        assert not hasattr(tavroacq, name)


def test_reimport_returns_the_cached_module():
    import importlib

    assert importlib.import_module("tavroacq") is tavroacq


def test_shared_object_exports_only_the_entry_point():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", tavroacq.__file__], check=True, capture_output=True, text=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_tavroacq"]


def test_import_in_a_fresh_interpreter():
    subprocess.run([sys.executable, "-c", "import tavroacq"], check=True)
