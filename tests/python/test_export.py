"""export_csv: argument handling, outcomes, and the files read back with the csv module and
checked number by number against the parsed (and pedestal-corrected) events."""

import csv
import math
import os
import random
import struct
import subprocess
import sys
import threading
from decimal import Decimal
from pathlib import Path

import pytest

import tavroacq
from acqwriter import write_acquisition, write_metadata, write_misc

# --- packets ------------------------------------------------------------------------------------


def be(words):
    return b"".join(struct.pack(">H", w & 0xFFFF) for w in words)


def telkv3_packet(windows):
    """Default telkv3 settings: 3 header words, windows (channel, label, samples), 1 trailer.
    Windows are assigned round-robin to the channels in ascending order, so list them so."""
    words = [0, 0, 0]
    for ch, label, samples in windows:
        words.append(ch << 9 | label << 1)
        words.extend(s << 1 for s in samples)
    words.append(0)
    return be(words)


def brisa_packet(subpackets):
    """Default brisav1 settings: 37-word sub-packets (channel, timing high, timing low, label,
    samples, padding, stop word 0xFA5A)."""
    words = []
    for ch, timing, label, samples in subpackets:
        sub = [ch, (timing >> 12) & 0xFFF, timing & 0xFFF, label] + list(samples)
        sub += [0] * (36 - len(sub)) + [0xFA5A]
        words += sub
    return be(words)


def telkv3_event(rng, channels, labels, samples):
    """One event: every channel of `channels` reads the windows `labels[i]` (same count each)."""
    windows = []
    for k in range(len(labels[0])):
        for ch, lab in zip(channels, labels):
            windows.append((ch, lab[k], [rng.randrange(4096) for _ in range(samples)]))
    return telkv3_packet(windows)


TELKV3 = {"model": "telkv3", "channels": 4, "windows": 8, "samples": 4}


def telkv3_acquisition(root, name="run12", n_events=7, seed=1, params=TELKV3, misc=None):
    rng = random.Random(seed)
    layouts = [
        ([0, 2], [[6, 7, 0, 1], [7, 0, 1, 2]]),   # both wrapped, shifted by one window
        ([1], [[3, 4]]),
        ([0, 1, 3], [[5, 6], [0, 1], [6, 7]]),     # a wrapped channel and a rising one
        ([2], [[0]]),
    ]
    events = []
    for i in range(n_events):
        channels, labels = layouts[i % len(layouts)]
        events.append(telkv3_event(rng, channels, labels, params["samples"]))
    return write_acquisition(root / name, params, [events[:4], events[4:]], misc=misc)


# --- what the files must hold -------------------------------------------------------------------


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def rounded_sample(x):
    """roundf(x * 10) / 10 in 32-bit arithmetic; None for NaN."""
    t = f32(x * 10.0)
    if math.isnan(t):
        return None
    if not math.isinf(t):
        t = math.copysign(math.floor(abs(t) + 0.5), t)
    return f32(t / 10.0)


def shortest_text(v):
    """The shortest positional text that reads back as the float32 `v`."""
    if math.isinf(v):
        return "-inf" if v < 0 else "inf"
    for digits in range(1, 10):
        s = f"{v:.{digits}g}"
        if f32(float(s)) == v:
            break
    text = format(Decimal(s), "f")
    return "-0" if v == 0 and math.copysign(1, v) < 0 else text


def merged_labels(window_labels):
    """The merged window order of an event, step by step as the layout defines it."""
    seqs = [list(s) for s in window_labels if s]
    merged = []
    while any(seqs):
        live = [s for s in seqs if s]
        wrapped = [s for s in live if s[-1] < s[0]]
        rising = [s for s in live if s[0] < s[-1]]
        cands = []
        if wrapped and rising:
            cands = [s[0] for s in wrapped if s[0] not in rising[0]]
        if not cands:
            cands = [s[0] for s in live]
        e = min(cands)
        if not merged or merged[-1] != e:
            merged.append(e)
        seqs = [s for s in seqs if s]
        for s in seqs:
            if s[0] == e:
                s.pop(0)
    return merged


def corrected(event, table, samples):
    """The event's samples minus the pedestal table, in 32-bit arithmetic."""
    data = []
    for c, x in enumerate(event["data"]):
        labels = event["window_labels"][c]
        data.append([f32(v - f32(table[c][labels[j // samples]][j % samples])) for j, v in enumerate(x)]
                    if labels and x else list(x))
    return dict(event, data=data)


def check_cell(text, expected, where):
    if expected is None:
        assert text == "", where
        return
    assert "e" not in text.replace("inf", ""), where
    assert text == shortest_text(expected), where
    assert f32(float(text)) == expected, where


def check_file(path, events, samples, timing=False):
    """Reads `path` with the csv module and checks it holds exactly `events` (dicts as
    parsed_event returns them), in order."""
    with open(path, newline="") as f:
        text = f.read()
    assert text.endswith("\n") and "\r" not in text
    rows = list(csv.reader(text.splitlines()))
    group = 4 if timing else 3
    chans = sorted({c for ev in events for c, x in enumerate(ev["data"]) if x})
    header = ["acq_num", "evt_num"]
    for c in chans:
        header += [f"windnum_ch{c}", f"data_ch{c}", f"time_ch{c}"] + ([f"timing_ch{c}"] if timing else [])
    assert rows[0] == header
    body = rows[1:]
    at = 0
    for e, ev in enumerate(events):
        order = merged_labels(ev["window_labels"])
        block = body[at:at + len(order) * samples]
        assert len(block) == len(order) * samples, f"event {e}"
        at += len(block)
        for r, row in enumerate(block):
            assert len(row) == 2 + group * len(chans)
            assert row[:2] == ["0", str(e)], f"event {e} row {r}"
        for p, c in enumerate(chans):
            x = ev["data"][c]
            start = order.index(ev["window_labels"][c][0]) * samples if x else 0
            for r, row in enumerate(block):
                cells = row[2 + group * p:2 + group * (p + 1)]
                k = r - start
                where = f"event {e} channel {c} row {r}"
                if not x or not 0 <= k < len(x):
                    assert cells == [""] * group, where
                    continue
                w = k // samples
                check_cell(cells[0], float(ev["window_labels"][c][w]), where)
                check_cell(cells[1], rounded_sample(x[k]), where)
                check_cell(cells[2], float(ev["time"][c][k]), where)
                if timing:
                    check_cell(cells[3], f32(ev["timing"][c][w]), where)
    assert at == len(body)


def csv_files(out):
    return sorted(p.name for p in Path(out).iterdir())


def prepared(tmp_path, **acquisition):
    """A telkv3 acquisition named run12, its Acquisition object and an empty output directory."""
    path = telkv3_acquisition(tmp_path, **acquisition)
    out = tmp_path / "out"
    out.mkdir()
    return path, tavroacq.Acquisition(path), out


# --- tests --------------------------------------------------------------------------------------


def test_exports_one_file_and_returns_none(tmp_path):
    _, acq, out = prepared(tmp_path)
    assert tavroacq.export_csv(acq, [0, 1, 2], out, False) is None
    assert csv_files(out) == ["run12 (chunk 0).csv"]
    check_file(out / "run12 (chunk 0).csv", [acq.parsed_event(i) for i in (0, 1, 2)], TELKV3["samples"])


def test_every_number_read_back(tmp_path):
    _, acq, out = prepared(tmp_path, n_events=9)
    indices = [8, 0, 3, 3, 5, 1, 7, 2, 6, 4]
    tavroacq.export_csv(acq, indices=indices, out_dir=str(out), pedestals_correction=False)
    check_file(out / "run12 (chunk 0).csv", [acq.parsed_event(i) for i in indices], TELKV3["samples"])


def test_brisav1_timing_columns_read_back(tmp_path):
    params = {"model": "brisav2_evalr1", "channels": 3, "windows": 64, "samples": 4}
    events = [
        brisa_packet([(1, 5, 7, [10, 11, 12, 13]), (0, 3, 2, [5, 6, 7, 8]), (1, 6, 8, [1, 2, 3, 4])]),
        brisa_packet([(2, 70000, 9, [9, 9, 9, 9]), (2, 70001, 10, [4095, 0, 1, 2])]),
    ]
    acq = tavroacq.Acquisition(write_acquisition(tmp_path / "b", params, [events]))
    out = tmp_path / "out"
    out.mkdir()
    tavroacq.export_csv(acq, [0, 1], out, False)
    parsed = [acq.parsed_event(0), acq.parsed_event(1)]
    check_file(out / "b (chunk 0).csv", parsed, 4, timing=True)
    with open(out / "b (chunk 0).csv") as f:
        assert f.readline().rstrip("\n").split(",")[2:6] == ["windnum_ch0", "data_ch0", "time_ch0", "timing_ch0"]


def pedestal_table(channels, windows, samples):
    return [[[round((c * 100 + w * 10 + j) * 0.37 - 20, 3) for j in range(samples)] for w in range(windows)]
            for c in range(channels)]


def test_pedestal_correction_read_back(tmp_path):
    table = pedestal_table(4, 8, 4)
    _, acq, out = prepared(tmp_path, n_events=8, misc={"pedestals_calibration": {"data": table, "n": 3}})
    tavroacq.export_csv(acq, list(range(8)), out, True)
    t32 = [[[f32(v) for v in w] for w in c] for c in table]
    want = [corrected(acq.parsed_event(i), t32, 4) for i in range(8)]
    check_file(out / "run12 (chunk 0).csv", want, 4)


def test_records_that_do_not_fit_the_pedestals_are_left_out(tmp_path):
    # Channel 3 has no pedestals: the events that use it (2 and 6) are dropped.
    table = pedestal_table(3, 8, 4)
    _, acq, out = prepared(tmp_path, n_events=8, misc={"pedestals_calibration": [table]})
    tavroacq.export_csv(acq, list(range(8)), out, True)
    t32 = [[[f32(v) for v in w] for w in c] for c in table]
    want = [corrected(acq.parsed_event(i), t32, 4) for i in range(8) if i not in (2, 6)]
    check_file(out / "run12 (chunk 0).csv", want, 4)


@pytest.mark.parametrize("blob", ["absent", "not gzip", "None", "directory"])
def test_pedestals_that_cannot_be_had_leave_the_export_uncorrected(tmp_path, blob):
    path = telkv3_acquisition(tmp_path)
    if blob == "not gzip":
        write_misc(path, "pedestals_calibration", None, raw=b"plain bytes")
    elif blob == "None":
        write_misc(path, "pedestals_calibration", None)
    elif blob == "directory":
        (path / "pedestals_calibration").mkdir()
    acq = tavroacq.Acquisition(path)
    outs = []
    for flag in (True, False):
        out = tmp_path / f"out_{flag}"
        out.mkdir()
        tavroacq.export_csv(acq, [0, 1, 2, 3], out, flag)
        outs.append((out / "run12 (chunk 0).csv").read_bytes())
    assert outs[0] == outs[1]
    check_file(tmp_path / "out_True" / "run12 (chunk 0).csv", [acq.parsed_event(i) for i in range(4)], 4)


def test_files_of_a_thousand_events(tmp_path):
    rng = random.Random(3)
    events = [telkv3_event(rng, [0], [[i % 8]], 4) for i in range(2500)]
    acq = tavroacq.Acquisition(write_acquisition(tmp_path / "run12", TELKV3, [events[:1700], events[1700:]]))
    out = tmp_path / "out"
    out.mkdir()
    tavroacq.export_csv(acq, range(2500), out, False)
    assert csv_files(out) == [f"run12 (chunk {k}).csv" for k in range(3)]
    for k in range(3):
        ids = range(1000 * k, min(1000 * (k + 1), 2500))
        check_file(out / f"run12 (chunk {k}).csv", [acq.parsed_event(i) for i in ids], 4)


@pytest.mark.parametrize("flag", [True, False])
def test_empty_indices(tmp_path, flag):
    path, acq, out = prepared(tmp_path, misc={"pedestals_calibration": {"data": pedestal_table(4, 8, 4)}})
    write_metadata(path, dict(TELKV3, model="nonexistent"))
    assert tavroacq.export_csv(acq, [], out, flag) is None
    assert tavroacq.export_csv(acq, (), str(out), flag) is None
    assert csv_files(out) == []


def test_signature_and_no_description():
    import inspect

    assert str(inspect.signature(tavroacq.export_csv)) == "(acq, indices, out_dir, pedestals_correction)"
    assert not tavroacq.export_csv.__doc__


def test_argument_errors(tmp_path):
    path, acq, out = prepared(tmp_path)
    cases = [
        ((str(path), [0], out, False), TypeError, "argument 'acq'"),
        ((path, [0], out, False), TypeError, "argument 'acq'"),
        ((acq, "012", out, False), TypeError, "argument 'indices'"),
        ((acq, 5, out, False), TypeError, "argument 'indices'"),
        ((acq, [0, 1.5], out, False), TypeError, "argument 'indices'"),
        ((acq, [0, -1], out, False), OverflowError, None),
        ((acq, [2**64], out, False), OverflowError, None),
        ((acq, [0], 5, False), TypeError, "argument 'out_dir'"),
        ((acq, [0], out, 1), TypeError, "argument 'pedestals_correction'"),
        ((acq, [0], out, None), TypeError, "argument 'pedestals_correction'"),
        # Arguments are converted in order: the first bad one is reported.
        (("nope", "012", 5, 1), TypeError, "argument 'acq'"),
        ((acq, [-1], 5, 1), OverflowError, None),
        ((acq, [0], 5, 1), TypeError, "argument 'out_dir'"),
    ]
    for args, exc, text in cases:
        with pytest.raises(exc) as info:
            tavroacq.export_csv(*args)
        if text:
            assert str(info.value).startswith(text), (args, str(info.value))
    with pytest.raises(TypeError, match=r"export_csv\(\)"):
        tavroacq.export_csv(acq, [0], out)
    with pytest.raises(TypeError, match=r"export_csv\(\)"):
        tavroacq.export_csv(acq, [0], out, False, extra=1)
    assert csv_files(out) == []


def test_failures_raise_after_the_lock_is_taken_back(tmp_path):
    path, acq, out = prepared(tmp_path)

    with pytest.raises(Exception) as info:
        tavroacq.export_csv(acq, [0], tmp_path / "missing", False)
    assert type(info.value).__name__ == "ExportError"
    assert type(info.value).__module__ == "acquisition"
    assert info.value.args == ("Could not export: invalid path",)
    assert not (tmp_path / "missing").exists()

    write_metadata(path, dict(TELKV3, model="Telkv3"))
    with pytest.raises(Exception) as info:
        tavroacq.export_csv(acq, [0], out, False)
    assert info.value.args == ("Could not export: error occurred while parsing",)

    (path / "metadata.yml").write_text("params: [unclosed\n")
    with pytest.raises(Exception) as info:
        tavroacq.export_csv(acq, [0], out, True)
    assert type(info.value).__name__ == "MetadataError"
    assert info.value.args == ("Could not process metadata: failed to serialized",)
    assert csv_files(out) == []


def test_internal_failure_is_not_an_exception(tmp_path):
    path = telkv3_acquisition(tmp_path)
    (path / "sub").mkdir()
    acq = tavroacq.Acquisition(str(path / "sub" / ".."))
    out = tmp_path / "out"
    out.mkdir()
    with pytest.raises(BaseException) as info:
        tavroacq.export_csv(acq, [0], out, False)
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "could not get acquisition name"
    assert csv_files(out) == []
    # The interpreter is in a sound state afterwards.
    tavroacq.export_csv(tavroacq.Acquisition(path), [0], out, False)
    assert csv_files(out) == ["run12 (chunk 0).csv"]


def test_exports_in_parallel_threads(tmp_path):
    acq = tavroacq.Acquisition(telkv3_acquisition(tmp_path, n_events=8))
    errors = []

    def work(k):
        try:
            out = tmp_path / f"out{k}"
            out.mkdir()
            for _ in range(5):
                tavroacq.export_csv(acq, list(range(8)) * 40, out, False)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    want = (tmp_path / "out0" / "run12 (chunk 0).csv").read_bytes()
    assert all((tmp_path / f"out{k}" / "run12 (chunk 0).csv").read_bytes() == want for k in range(3))
    check_file(tmp_path / "out0" / "run12 (chunk 0).csv", [acq.parsed_event(i) for i in list(range(8)) * 40], 4)


def test_bad_channel_line_goes_to_file_descriptor_1(tmp_path):
    # With two window header words each window gives S + 1 samples but S rows: the channel's nine
    # samples do not fit the six rows of its three windows.
    params = dict(TELKV3, samples=2, n_window_headers=2)
    windows = [[label << 1, 1 << 1, 2 << 1, 3 << 1] for label in (3, 4, 5)]
    packet = be([0, 0, 0] + [w for win in windows for w in win] + [0])
    path = write_acquisition(tmp_path / "odd", params, [[packet]])
    out = tmp_path / "out"
    out.mkdir()
    script = (
        "import sys, tavroacq\n"
        "print('before', flush=True)\n"
        f"tavroacq.export_csv(tavroacq.Acquisition({str(path)!r}), [0, 0], {str(out)!r}, False)\n"
        "print('after')\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, check=True)
    assert run.stdout == "before\nBad channel 0 at Event 0\nBad channel 0 at Event 1\nafter\n"
    assert (out / "odd (chunk 0).csv").read_text() == (
        "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0\n" + "0,0,,,\n" * 6 + "0,1,,,\n" * 6
    )
