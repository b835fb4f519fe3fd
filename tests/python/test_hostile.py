"""Hostile acquisitions: files changed under the reader, bombs in metadata.yml and in the pedestals
blob, paths the module cannot represent, output directories it cannot write, and ECC buffers of
every size. Whatever the input, the interpreter sees values or exceptions, never a crash, a hang,
runaway memory or a changed file."""

import json
import os
import pickle
import random
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import acqwriter
import tavroacq

PARAMS = {"model": "telkv3", "channels": 4, "windows": 64, "samples": 2}
TESTS_DIR = str(Path(__file__).resolve().parent.parent)


def packet(k):
    return acqwriter.telkv3_packet([(k % 4, k % 64, [k % 4096, (k * 7) % 4096])], samples=2)


def make_acq(path, events=60, per_chunk=20):
    evs = [packet(k) for k in range(events)]
    return acqwriter.write_acquisition(path, PARAMS, chunks=acqwriter.split_into_chunks(evs, per_chunk)), evs


def read_dir(path):
    return {p.name: p.read_bytes() for p in sorted(Path(path).iterdir())}


# Runs `body` (Python source using the names below) in a fresh interpreter and returns what it
# printed as JSON. measure(fn) runs fn with the peak resident size reset first and gives
# [outcome, message, MiB the peak grew by]; outcome is "ok" or the exception's type name.
CHILD_PRELUDE = """
import json, os, sys, traceback
sys.path.insert(0, %r)
import acqwriter, tavroacq

def _status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])

def measure(fn):
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size
    base = _status("VmRSS:")
    try:
        fn()
        outcome, message = "ok", ""
    except BaseException as e:
        outcome, message = type(e).__name__, str(e)[:300]
    return [outcome, message, (_status("VmHWM:") - base) // 1024]
""" % TESTS_DIR


def run_child(body, *args, timeout=120, prefix=()):
    cmd = list(prefix) + [sys.executable, "-c", CHILD_PRELUDE + body] + [str(a) for a in args]
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"child did not finish within {timeout} s")
    assert out.returncode == 0, f"child exited with {out.returncode}\nstdout: {out.stdout[-2000:]}\nstderr: {out.stderr[-2000:]}"
    return json.loads(out.stdout.strip().splitlines()[-1])


# --- files changed while events are read --------------------------------------------------------


def test_chunk_files_truncated_and_replaced_while_reading(tmp_path):
    acq_dir, evs = make_acq(tmp_path / "acq", events=60, per_chunk=20)
    data1 = (acq_dir / "1.bin").read_bytes()
    index1 = (acq_dir / "1.idx").read_bytes()
    all_data = b"".join(evs)
    rng = random.Random(7)
    # Index files that lie: random bytes, records past the end or wrapping 32 bits, a partial
    # record, nothing at all, and a huge index file.
    bad_indexes = [
        bytes(rng.randrange(256) for _ in range(160)),
        (b"\xff\xff\xff\xff" * 2) * 20,
        (b"\xf0\xff\xff\xff" + b"\x20\x00\x00\x00") * 20,
        index1[:-3],
        b"",
        index1 * 4000,
    ]
    stop = threading.Event()
    vandal_errors = []

    def replace(name, content):
        tmp = acq_dir / (name + ".tmp")
        tmp.write_bytes(content)
        os.replace(tmp, acq_dir / name)

    def vandal():
        try:
            r = random.Random(11)
            while not stop.is_set():
                op = r.randrange(5)
                if op == 0:  # truncated in place, then written back in place
                    os.truncate(acq_dir / "1.bin", r.randrange(len(data1)))
                    time.sleep(0.0005)
                    with open(acq_dir / "1.bin", "r+b") as f:
                        f.write(data1)
                elif op == 1:  # replaced by a shorter file, then the original
                    replace("1.bin", data1[: r.randrange(len(data1))])
                    time.sleep(0.0005)
                    replace("1.bin", data1)
                elif op == 2:
                    replace("1.idx", r.choice(bad_indexes))
                    time.sleep(0.0005)
                    replace("1.idx", index1)
                elif op == 3:  # the index truncated in place mid-record
                    os.truncate(acq_dir / "1.idx", r.randrange(len(index1)))
                    time.sleep(0.0005)
                    with open(acq_dir / "1.idx", "r+b") as f:
                        f.write(index1)
                else:  # gone for a moment
                    os.unlink(acq_dir / "1.bin")
                    time.sleep(0.0005)
                    replace("1.bin", data1)
        except BaseException as e:  # reported by the main thread
            vandal_errors.append(e)

    acq = tavroacq.Acquisition(acq_dir)
    thread = threading.Thread(target=vandal)
    thread.start()
    calls = errors = 0
    start = time.monotonic()
    try:
        # Two seconds of reading, longer (up to 20 s) until the damage has been seen at least once.
        while time.monotonic() - start < 2.0 or (errors == 0 and time.monotonic() - start < 20.0):
            i = rng.randrange(70)
            for op in ("raw", "parsed", "item", "slice", "iter", "len"):
                calls += 1
                try:
                    if op == "raw":
                        raw = acq.raw_event(i)["rawdata"]
                        # Whatever the index said, the bytes come from the data file as it was.
                        assert isinstance(raw, bytes) and (raw in all_data), op
                    elif op == "parsed":
                        assert isinstance(acq.parsed_event(i), dict)
                    elif op == "item":
                        assert isinstance(acq[i], dict)
                    elif op == "slice":
                        got = acq[i : i + 25 : 2]
                        assert isinstance(got, list) and all(isinstance(e, dict) for e in got)
                    elif op == "iter":
                        assert len(list(acq)) <= 60 + 20 * 4000
                    else:
                        assert 0 <= len(acq) <= 40 + 20 * 4000 + 20
                except AssertionError:
                    raise
                except Exception:
                    errors += 1
    finally:
        stop.set()
        thread.join(timeout=30)
    assert not thread.is_alive() and not vandal_errors, vandal_errors
    assert calls > 100 and errors > 0, (calls, errors)
    # Nothing was cached or damaged: every event reads back as written.
    replace("1.bin", data1)
    replace("1.idx", index1)
    assert len(acq) == 60
    fresh = tavroacq.Acquisition(acq_dir)
    for k in range(60):
        assert acq.raw_event(k)["rawdata"] == evs[k]
        assert acq[k] == fresh[k]
    assert [e for e in acq] == fresh[0:60]



SPARSE_CHILD = """
acq = tavroacq.Acquisition(sys.argv[1])
r = {"len": len(acq)}
r["slice"] = measure(lambda: acq[:])
r["stepped slice"] = measure(lambda: acq[1::3])
r["iteration"] = measure(lambda: sum(1 for _ in acq))
print(json.dumps(r))
"""


def test_sparse_index_file_claiming_millions_of_events(tmp_path):
    """An index file of 50 million zero records (a sparse file) claims events that fail to parse
    from the fourth on: a slice fails there without first sizing a list for all of them."""
    acq_dir, _ = make_acq(tmp_path / "acq", events=3, per_chunk=3)
    with open(acq_dir / "0.idx", "r+b") as f:
        f.truncate(8 * 50_000_000)
    r = run_child(SPARSE_CHILD, acq_dir)
    assert r.pop("len") == 50_000_000
    assert r.pop("iteration")[0] == "ok"
    for call, (outcome, message, grew) in r.items():
        assert outcome == "ParsingError" and grew < 64, (call, outcome, message, grew)

# --- metadata.yml bombs -------------------------------------------------------------------------

TEN_MB = 10 * 1024 * 1024
# Bytes of memory a hostile input may cost above the interpreter's own: far below what any of the
# bombs would take if expanded (9**9 nodes, 5 million nesting levels).
MEMORY_BOUND_MIB = 400

METADATA_BOMBS = {
    "alias_bomb": lambda: acqwriter.alias_bomb_metadata(PARAMS),
    "flow_seq_10mb": lambda: acqwriter.nested_metadata(PARAMS, TEN_MB, "flow_seq"),
    "flow_map_10mb": lambda: acqwriter.nested_metadata(PARAMS, TEN_MB, "flow_map"),
    "block_seq_10mb": lambda: acqwriter.nested_metadata(PARAMS, TEN_MB, "block_seq"),
    "invalid_utf8_byte": lambda: acqwriter.metadata_text(PARAMS).encode() + b"note: \xff\n",
    "invalid_utf8_overlong": lambda: acqwriter.metadata_text(PARAMS).encode() + b"note: \xc0\xaf\n",
    "invalid_utf8_surrogate": lambda: acqwriter.metadata_text(PARAMS).encode() + b"note: \xed\xa0\x80\n",
    "invalid_utf8_cut": lambda: acqwriter.metadata_text(PARAMS).encode() + b"note: \xe2\x82",
}

METADATA_CHILD = """
root = sys.argv[1]
good = tavroacq.Acquisition(os.path.join(root, "good"))
good_yml = os.path.join(root, "good", "metadata.yml")
with open(good_yml, "rb") as f:
    good_text = f.read()
results = {}
for name in sorted(os.listdir(root)):
    if name in ("good", "out"):
        continue
    path = os.path.join(root, name)
    constructed = measure(lambda: tavroacq.Acquisition(path))
    # The core reads metadata.yml afresh for an export: the bomb replaces a good document.
    with open(os.path.join(path, "metadata.yml"), "rb") as f:
        bomb = f.read()
    with open(good_yml, "wb") as f:
        f.write(bomb)
    exported = measure(lambda: tavroacq.export_csv(good, [0], os.path.join(root, "out"), False))
    with open(good_yml, "wb") as f:
        f.write(good_text)
    results[name] = {"construct": constructed, "export": exported}
# Listing skips every acquisition that does not construct.
results["listed"] = [a.name for a in tavroacq.list_acquisitions(root)]
print(json.dumps(results))
"""


def test_metadata_bombs_raise_with_bounded_memory(tmp_path):
    make_acq(tmp_path / "good", events=2)
    (tmp_path / "out").mkdir()
    for name, make in METADATA_BOMBS.items():
        acqwriter.write_metadata(tmp_path / name, text=make())
    results = run_child(METADATA_CHILD, tmp_path)
    assert results.pop("listed") == ["good"]
    assert sorted(results) == sorted(METADATA_BOMBS)
    for name, r in results.items():
        for step in ("construct", "export"):
            outcome, message, grew = r[step]
            # The exception is PyYAML's (constructor) or ours; never a success, never an
            # internal failure, never a MemoryError from trying to expand the document.
            assert outcome not in ("ok", "MemoryError", "InternalError"), (name, step, r[step])
            assert message, (name, step)
            assert grew < MEMORY_BOUND_MIB, (name, step, grew)
        assert r["export"][0] == "MetadataError", (name, r["export"])
    assert os.listdir(tmp_path / "out") == []


# --- pedestals blobs ----------------------------------------------------------------------------

SENTINEL = 123456789  # stands in a table for the hostile number spliced in its place
MIB = 1 << 20


def pedestal_table(sentinel=False):
    table = [[[float((c * 7 + w + s) % 50) for s in range(2)] for w in range(64)] for c in range(4)]
    if sentinel:
        table[1][3][1] = SENTINEL
    return {"data": table, "unit": "adc"}


def spliced(protocol, number_bytes):
    """A table pickled at `protocol` whose sentinel is replaced by the opcode bytes given."""
    raw = pickle.dumps(pedestal_table(sentinel=True), protocol=protocol)
    marker = b"I123456789\n" if protocol == 0 else b"J" + SENTINEL.to_bytes(4, "little")
    assert raw.count(marker) == 1
    return raw.replace(marker, number_bytes)


class Reducer:
    """Unpickling this would run `touch <marker>`."""

    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (os.system, ("touch " + self.marker,))


def pedestal_blobs(marker):
    import array
    import datetime
    import gzip

    digits = 10**6
    long4_len = 415_242  # bytes of a two's-complement integer of a million decimal digits
    window = [1.0] * 1000
    memo_table = [[window] * 1000] * 1000  # a billion offsets through shared references
    blobs = {
        "valid": gzip.compress(pickle.dumps(pedestal_table())),
        # gzip bombs: zeros (the pickle fails at once), a stream of NONE/POP the reader keeps
        # consuming until the decompression cap, bytes announced far beyond the reader's cap, and
        # a list of ints that fills the reader's cap.
        "gzip_zeros_256mib": acqwriter.gzip_repeat(b"", bytes(MIB), 256),
        "gzip_none_pop_640mib": acqwriter.gzip_repeat(b"\x80\x02", b"N0" * (MIB // 2), 640),
        "gzip_bytes8_320mib": acqwriter.gzip_repeat(b"\x80\x04\x8e" + (1 << 40).to_bytes(8, "little"), bytes(MIB), 320),
        "gzip_int_list_160mib": acqwriter.gzip_repeat(b"\x80\x02](", b"K\x01" * (MIB // 2), 160),
        "memo_shared_billion": gzip.compress(pickle.dumps({"data": memo_table})),
        "nested_list_1e6": gzip.compress(acqwriter.nested_list_pickle(10**6)),
        "nested_tuple_1e6": gzip.compress(acqwriter.nested_tuple_pickle(10**6)),
        "nested_in_table": gzip.compress(spliced(2, acqwriter.nested_list_pickle(10**5)[2:-1])),
        "class_os_system": gzip.compress(pickle.dumps({"data": pedestal_table()["data"], "x": Reducer(marker)})),
        "class_in_table": gzip.compress(spliced(2, pickle.dumps(Reducer(marker), protocol=2)[2:-1])),
        "class_datetime": gzip.compress(pickle.dumps({"data": pedestal_table()["data"], "t": datetime.date(2020, 1, 1)})),
        "class_array": gzip.compress(pickle.dumps({"data": [[array.array("f", [1.0, 2.0])] * 64] * 4})),
        "long4_1e6_digits": gzip.compress(spliced(2, b"\x8b" + long4_len.to_bytes(4, "little") + b"\xff" * (long4_len - 1) + b"\x7f")),
        "long4_negative": gzip.compress(spliced(2, b"\x8b" + long4_len.to_bytes(4, "little") + bytes(long4_len - 1) + b"\x80")),
        "long_text_1e6_digits": gzip.compress(spliced(0, b"L" + b"9" * digits + b"L\n")),
        "int_text_1e6_digits": gzip.compress(spliced(0, b"I" + b"9" * digits + b"\n")),
        "long_text_list_1e6": gzip.compress(acqwriter.long_text_pickle(digits)),
        "int_text_list_1e6": gzip.compress(acqwriter.int_text_pickle(digits)),
    }
    return blobs


PEDESTALS_CHILD = """
root = sys.argv[1]
results = {}
for name in sorted(os.listdir(os.path.join(root, "cases"))):
    acq = tavroacq.Acquisition(os.path.join(root, "cases", name, "run"))
    out = os.path.join(root, "out", name)
    os.mkdir(out)
    results[name] = measure(lambda: tavroacq.export_csv(acq, list(range(30)), out, True))
print(json.dumps(results))
"""


def test_hostile_pedestals_blobs_export_uncorrected(tmp_path):
    acq_dir, _ = make_acq(tmp_path / "run", events=30, per_chunk=30)
    plain_dir = tmp_path / "plain"
    plain_dir.mkdir()
    tavroacq.export_csv(tavroacq.Acquisition(acq_dir), list(range(30)), plain_dir, False)
    plain = read_dir(plain_dir)
    marker = tmp_path / "marker"
    blobs = pedestal_blobs(str(marker))
    for name, blob in blobs.items():
        case = tmp_path / "cases" / name / "run"
        shutil.copytree(acq_dir, case)
        acqwriter.write_misc(case, "pedestals_calibration", None, raw=blob)
    # A sparse blob of 2 GiB: no gzip member within the loader's caps is that large, so it is
    # not read into memory at all.
    blobs["sparse_2gib"] = None
    case = tmp_path / "cases" / "sparse_2gib" / "run"
    shutil.copytree(acq_dir, case)
    with open(case / "pedestals_calibration", "wb") as f:
        f.truncate(2 << 30)
    (tmp_path / "out").mkdir()
    results = run_child(PEDESTALS_CHILD, tmp_path, timeout=300)
    assert sorted(results) == sorted(blobs)
    for name, (outcome, message, grew) in results.items():
        assert outcome == "ok", (name, outcome, message)
        assert grew < MEMORY_BOUND_MIB, (name, grew)
        written = read_dir(tmp_path / "out" / name)
        if name == "valid":  # the control: a sound table does change the export
            assert written.keys() == plain.keys() and written != plain
        else:
            assert written == plain, name
    assert not marker.exists()


# --- paths and output directories ---------------------------------------------------------------


def test_paths_that_are_not_utf8_or_have_no_name(tmp_path, monkeypatch):
    root = tmp_path / "root"
    make_acq(root / "good", events=3)
    bad = os.fsencode(str(root)) + b"/run\xff"  # a name that is not UTF-8
    os.mkdir(bad)
    make_acq(Path(os.fsdecode(bad)), events=3)
    bad_str = os.fsdecode(bad)
    acq = tavroacq.Acquisition(root / "good")
    # Text that cannot become a path of the module: a ValueError (UnicodeEncodeError), never more.
    refused = [
        ("Acquisition(str)", lambda: tavroacq.Acquisition(bad_str)),
        ("Acquisition(Path)", lambda: tavroacq.Acquisition(Path(bad_str))),
        ("is_acquisition", lambda: tavroacq.is_acquisition(bad_str)),
        ("list_acquisitions", lambda: tavroacq.list_acquisitions(bad_str + "/..")),
        ("export_csv out_dir", lambda: tavroacq.export_csv(acq, [0], bad_str, False)),
    ]
    for label, call in refused:
        with pytest.raises(ValueError):
            call()
    assert sorted(os.listdir(bad)) == [b"0.bin", b"0.idx", b"metadata.yml"]

    # Listing reaches the directory through the OS: its acquisition reads events, and what needs
    # its name fails with the internal error "invalid acquisition name".
    listed = tavroacq.list_acquisitions(root)
    assert len(listed) == 2
    names, odd = [], None
    for a in listed:
        assert len(a) == 3 and a[1] == acq[1] and a.raw_event(2) == acq.raw_event(2)
        try:
            names.append(a.name)
        except Exception as e:
            pytest.fail(f"name raised an ordinary exception: {e!r}")
        except BaseException as e:
            assert str(e) == "invalid acquisition name"
            odd = a
    assert names == ["good"] and odd is not None
    out = tmp_path / "out_odd"
    out.mkdir()
    with pytest.raises(BaseException, match="invalid acquisition name"):
        tavroacq.export_csv(odd, [0], out, False)
    assert os.listdir(out) == []

    # Paths whose last component is no name: "..", "." and "/".
    (root / "good" / "sub").mkdir()
    monkeypatch.chdir(root / "good")
    out = tmp_path / "out_nameless"
    out.mkdir()
    for path in (str(root / "good" / "sub") + "/..", ".", "sub/..", "./"):
        nameless = tavroacq.Acquisition(path)
        assert len(nameless) == 3 and nameless[2] == acq[2], path
        for call in (lambda: nameless.name, lambda: tavroacq.export_csv(nameless, [0, 1], out, False)):
            with pytest.raises(BaseException) as info:
                call()
            assert not isinstance(info.value, Exception) and str(info.value) == "could not get acquisition name", path
    assert os.listdir(out) == []
    with pytest.raises(FileNotFoundError):
        tavroacq.Acquisition("/")
    assert tavroacq.is_acquisition("/") is False


OUTPUT_CHILD = """
cases = json.loads(sys.argv[1])
acq = tavroacq.Acquisition(sys.argv[2])
results = {}
for name, out in cases.items():
    try:
        tavroacq.export_csv(acq, [0, 1, 2] * 700, out, False)
        results[name] = ["ok", ""]
    except BaseException as e:
        results[name] = [type(e).__name__, str(e)]
print(json.dumps(results))
"""


def test_output_directories_that_cannot_be_written(tmp_path):
    acq_dir, _ = make_acq(tmp_path / "run", events=3)
    csv0 = "run (chunk 0).csv"
    out = tmp_path / "out"
    out.mkdir()
    # name -> (output directory, expected exception type, message)
    cases = {}

    def case(name, exc, message):
        d = out / name
        cases[name] = (str(d), exc, message)
        return d

    case("missing", "ExportError", "Could not export: invalid path")
    case("is_a_file", "ExportError", "Could not export: unknown").write_text("keep")
    case("csv_is_a_directory", "ExportError", "Could not export: unknown").mkdir()
    (out / "csv_is_a_directory" / csv0).mkdir()
    case("csv_is_dev_full", "ExportError", "Could not export: error occurred while exporting as csv").mkdir()
    (out / "csv_is_dev_full" / csv0).symlink_to("/dev/full")
    # A FIFO with no reader: opening it for writing used to block for ever.
    case("csv_is_fifo", "ExportError", "Could not export: unknown").mkdir()
    os.mkfifo(out / "csv_is_fifo" / csv0)
    read_only = case("read_only", "ExportError", "Could not export: file access was denied")
    read_only.mkdir()
    read_only.chmod(0o555)
    second_read_only = case("second_file_denied", "ExportError", "Could not export: file access was denied")
    second_read_only.mkdir()
    (second_read_only / "run (chunk 1).csv").write_text("")
    (second_read_only / "run (chunk 1).csv").chmod(0o444)
    before = {name: sorted(os.listdir(d)) if os.path.isdir(d) else None for name, (d, _, _) in cases.items()}

    prefix = []
    if os.geteuid() == 0:  # root writes anywhere: run without the capabilities that allow it
        prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--inh-caps=-all", "--"]
    results = run_child(OUTPUT_CHILD, json.dumps({n: c[0] for n, c in cases.items()}), acq_dir, timeout=60, prefix=prefix)
    for name, (d, exc, message) in cases.items():
        assert results[name] == [exc, message], name
    assert (out / "is_a_file").read_text() == "keep"
    assert not (out / "missing").exists()
    for name in ("csv_is_a_directory", "csv_is_dev_full", "csv_is_fifo", "read_only"):
        assert sorted(os.listdir(out / name)) == before[name], name
    # The first file was written before the second was refused.
    assert sorted(os.listdir(second_read_only)) == ["run (chunk 0).csv", "run (chunk 1).csv"]
    assert (second_read_only / "run (chunk 1).csv").read_text() == ""
    assert (second_read_only / csv0).read_text().count("\n") > 1000


# --- sequences that lie about their length ------------------------------------------------------


LIAR_CHILD = """
class Liar:
    def __init__(self, n):
        self.n = n
    def __len__(self):
        return self.n
    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return 1
acq = tavroacq.Acquisition(sys.argv[1])
results = {}
for n in (10, 1 << 30, 1 << 40, 1 << 62, sys.maxsize):
    results["export %d" % n] = measure(lambda: tavroacq.export_csv(acq, Liar(n), sys.argv[2], False))
    results["ecc_check %d" % n] = measure(lambda: tavroacq.ecc_check(Liar(n)))
    results["ecc_correct %d" % n] = measure(lambda: tavroacq.ecc_correct(Liar(n)))
print(json.dumps(results))
"""


def test_sequences_that_claim_huge_lengths(tmp_path):
    """A sequence whose __len__ claims more items than it yields gets the error of its own
    __getitem__: nothing is allocated for the items it only claims."""
    acq_dir, _ = make_acq(tmp_path / "run", events=3)
    results = run_child(LIAR_CHILD, acq_dir, tmp_path)
    assert len(results) == 15
    for call, (outcome, message, grew) in results.items():
        assert (outcome, message) == ("IndexError", "3"), call
        assert grew < 64, (call, grew)


# --- ECC buffers of every size class ------------------------------------------------------------

BLOCK = 131140


def ecc_sizes():
    """Sizes around every boundary of the layout, for zero to seven chip blocks."""
    sizes = {0, 1, 2, 3, 4, 8197}
    for k in range(1, 8):
        end = BLOCK * k
        sizes |= {end - 7, end - 6, end - 5, end - 4, end, end + 1, end + 2, end + 3, end - BLOCK + 70000}
    return sorted(sizes)


def ecc_accepted(n):
    k = -(-(n - 2) // BLOCK)
    return n == 2 or (1 <= k <= 6 and BLOCK * k - 5 <= n <= BLOCK * k + 2)


def test_ecc_every_size_class():
    """Whatever the size, both functions agree: refused with ValueError, or findings that lie
    inside the buffer's channel areas and match those of the same sample words in a buffer of
    the model's size."""
    rng = random.Random(5)
    for n in ecc_sizes():
        buf = bytearray(n)
        for p in rng.sample(range(n), min(n, 300)):  # damage anywhere, the tail included
            buf[p] = rng.randrange(256)
        for p in range(max(0, n - 8), n):
            buf[p] = 0xFF
        buf = bytes(buf)
        if not ecc_accepted(n):
            for fn in (tavroacq.ecc_check, tavroacq.ecc_correct):
                with pytest.raises(ValueError):
                    fn(buf)
            continue
        found = tavroacq.ecc_check(buf)
        k = -(-(n - 2) // BLOCK) if n > 2 else 0
        starts = [(c // 16) * BLOCK + (c % 16) * 8196 + 3 for c in range(16 * k)]
        for offset, position, word, corrected, bit, correctable in found:
            assert position + 1 < n and position - offset in starts, (n, position)
            assert word == buf[position] | buf[position + 1] << 8, (n, position)
        canonical = bytearray(BLOCK * k + 2)
        common = min(n, len(canonical))
        canonical[:common] = buf[:common]
        assert found == tavroacq.ecc_check(bytes(canonical)), n
        fixed = bytearray(buf)
        for _, position, _, corrected, _, correctable in found:
            if correctable:
                fixed[position : position + 2] = corrected.to_bytes(2, "little")
        assert tavroacq.ecc_correct(buf) == fixed, n


def test_ecc_strided_buffers():
    """Views whose bytes are not laid out one after the other are read element by element: the
    same findings as their bytes copied out (PyPy used to read a reversed view past its end)."""
    rng = random.Random(3)
    damaged = bytearray(BLOCK + 2)
    for p in rng.sample(range(len(damaged)), 3000):
        damaged[p] = rng.randrange(256)
    base = bytes(damaged)
    views = {
        "reversed": memoryview(base)[::-1],
        "every second from 1": memoryview(bytearray(base * 2))[1::2],
        "contiguous slice": memoryview(b"\0" + base)[1:],
    }
    expected = {name: (tavroacq.ecc_check(bytes(v)), tavroacq.ecc_correct(bytes(v))) for name, v in views.items()}
    assert len({len(e[0]) for e in expected.values()}) > 1  # the views really differ
    for name, view in views.items():
        assert (tavroacq.ecc_check(view), tavroacq.ecc_correct(view)) == expected[name], name
