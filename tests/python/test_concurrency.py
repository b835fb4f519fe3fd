"""Threads and processes: exports running in threads beside event iteration write what a
sequential run writes, and forked workers use the module after the parent has used it."""

import multiprocessing
import os
import threading
from pathlib import Path

import pytest

import acqwriter
import tavroacq

PARAMS = {"model": "telkv3", "channels": 4, "windows": 64, "samples": 2}
EVENTS = 2300
BLOCK = 131140


def packet(k):
    windows = [(c, (k + c) % 64, [(k * 13 + c) % 4096, (k * 7 + c) % 4096]) for c in range(4)]
    return acqwriter.telkv3_packet(windows, samples=2)


def pedestals():
    return {"data": [[[float((c + w + s) % 9) for s in range(2)] for w in range(64)] for c in range(4)]}


@pytest.fixture(scope="module")
def acq_dir(tmp_path_factory):
    evs = [packet(k) for k in range(EVENTS)]
    chunks = acqwriter.split_into_chunks(evs, 700)
    return acqwriter.write_acquisition(
        tmp_path_factory.mktemp("conc") / "run", PARAMS, chunks=chunks, misc={"pedestals_calibration": pedestals()}
    )


# Two exports that differ in every way the driver cares about: indices, repetitions, files,
# pedestal correction.
JOBS = {
    "a": (list(range(EVENTS)), True),
    "b": ([i for i in range(EVENTS - 1, -1, -3) for _ in (0, 1)] + [10**9], False),
}


def read_dir(path):
    return {p.name: p.read_bytes() for p in sorted(Path(path).iterdir())}


def export_all(acq, root):
    for name, (indices, correct) in JOBS.items():
        out = Path(root) / name
        out.mkdir(parents=True)
        tavroacq.export_csv(acq, indices, out, correct)
    return {name: read_dir(Path(root) / name) for name in JOBS}


def ecc_buffer():
    buf = bytearray(BLOCK * 6 + 2)
    buf[3] = 0x01  # one correctable error in channel 0
    buf[BLOCK + 8196 * 2 + 3 : BLOCK + 8196 * 2 + 5] = b"\x03\x00"  # a detected one in channel 18
    return bytes(buf)


def test_exports_in_two_threads_while_iterating(acq_dir, tmp_path):
    acq = tavroacq.Acquisition(acq_dir)
    expected = export_all(acq, tmp_path / "sequential")
    assert len(expected["a"]) == 3 and len(expected["b"]) == 2
    events = list(acq)
    assert len(events) == EVENTS
    for round_ in range(3):
        root = tmp_path / f"threads{round_}"
        errors = []

        def run(name):
            try:
                indices, correct = JOBS[name]
                out = root / name
                out.mkdir(parents=True)
                tavroacq.export_csv(acq, indices, out, correct)
            except BaseException as e:
                errors.append((name, e))

        threads = [threading.Thread(target=run, args=(name,)) for name in JOBS]
        for t in threads:
            t.start()
        # The main thread reads meanwhile, through every way in.
        iterated = [ev for ev in acq]
        sliced = acq[::97]
        raw = [acq.raw_event(i)["rawdata"] for i in range(0, EVENTS, 211)]
        for t in threads:
            t.join(timeout=120)
        assert not any(t.is_alive() for t in threads), "an export did not finish"
        assert not errors, errors
        assert iterated == events and sliced == events[::97]
        assert raw == [packet(i) for i in range(0, EVENTS, 211)]
        assert {name: read_dir(root / name) for name in JOBS} == expected, round_


def worker(args):
    """Runs in a forked child: parsed events, an export and the ECC check, as the parent did."""
    acq_dir, out, buf = args
    acq = tavroacq.Acquisition(acq_dir)
    events = [acq[i] for i in range(0, EVENTS, 101)]
    Path(out).mkdir()
    indices, correct = JOBS["a"]
    tavroacq.export_csv(acq, indices, out, correct)
    return os.getpid(), events, read_dir(out), tavroacq.ecc_check(buf), bytes(tavroacq.ecc_correct(buf))


def test_forked_workers_after_the_parent_used_the_module(acq_dir, tmp_path):
    acq = tavroacq.Acquisition(acq_dir)
    buf = ecc_buffer()
    # The parent uses everything first: an export, the ECC pool, parsed events.
    expected_files = export_all(acq, tmp_path / "parent")["a"]
    expected_ecc = tavroacq.ecc_check(buf)
    assert [f[1] for f in expected_ecc] == [3, BLOCK + 8196 * 2 + 3]
    expected_fixed = bytes(tavroacq.ecc_correct(buf))
    expected_events = [acq[i] for i in range(0, EVENTS, 101)]

    tasks = [(str(acq_dir), str(tmp_path / f"worker{k}"), buf) for k in range(4)]
    pool = multiprocessing.get_context("fork").Pool(2)
    try:
        results = pool.map_async(worker, tasks).get(timeout=120)
    except multiprocessing.TimeoutError:
        pytest.fail("the forked workers did not finish within 120 s")
    finally:
        pool.terminate()
        pool.join()
    assert os.getpid() not in {pid for pid, *_ in results}
    for pid, events, files, ecc, fixed in results:
        assert events == expected_events
        assert files == expected_files
        assert ecc == expected_ecc and fixed == expected_fixed
    # And the parent still works after its children.
    assert tavroacq.ecc_check(buf) == expected_ecc
    assert export_all(acq, tmp_path / "parent_after")["a"] == expected_files
