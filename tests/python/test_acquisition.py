"""The Acquisition class, its iterator and the module functions list_acquisitions/is_acquisition."""

import gzip
import os
import pickle
from pathlib import Path

import pytest

import acqwriter
import tavroacq

PARAMS = {"model": "telkv3", "channels": 4, "windows": 64, "samples": 2}


def packet(k):
    """A parseable telkv3 packet whose content identifies `k`."""
    return acqwriter.telkv3_packet([(k % 4, k % 256, [k % 4096, (k * 7) % 4096])], samples=2)


def labels_of(event):
    return [label for channel in event["window_labels"] for label in channel]


@pytest.fixture
def acq_dir(tmp_path):
    # Chunk sizes 3, 0 and 2: global events 3 and 4 are events 0 and 1 of chunk 2.
    chunks = [[packet(0), packet(1), packet(2)], [], [packet(3), packet(4)]]
    return acqwriter.write_acquisition(tmp_path / "run_7", PARAMS, chunks=chunks)


def test_constructor_accepts_str_and_path_alike(acq_dir):
    by_str = tavroacq.Acquisition(str(acq_dir) + "/")
    by_path = tavroacq.Acquisition(root=acq_dir)
    assert by_str.path == str(acq_dir) + "/"  # exactly as passed
    assert by_path.path == str(acq_dir)
    for acq in (by_str, by_path):
        assert acq.name == "run_7"
        assert len(acq) == 5 and acq.chunk_count == 3
        assert acq[4] == tavroacq.Acquisition(acq_dir).parsed_event(4)


def test_relative_path_and_nul(acq_dir, monkeypatch):
    monkeypatch.chdir(acq_dir.parent)
    acq = tavroacq.Acquisition("run_7")
    assert acq.path == "run_7" and acq.name == "run_7" and len(acq) == 5
    with pytest.raises(ValueError):  # the OS would cut the path at the NUL
        tavroacq.Acquisition("run_7\0/anything")
    assert tavroacq.is_acquisition(Path("run_7"))


PROPERTY_DOCS = {
    "is_valid": "Check if the folder is a valid acquisition.",
    "path": "Get the path to the acquisition directory.",
    "name": "Get the name of the acquisition.",
    "chunk_count": "Get the number of chunks in the acquisition",
    "metadata": "Read the metadata from the acquisition.",
    "params": "Get acquisition params.",
    "readout_metadata": "Read the readout metadata from the acquisition.",
    "pedestals_calibration": "Read pedestals calibration from the acquisition.",
    "adc_to_mv_calibration": "Read ADC to mV calibration from the acquisition.",
    "timing_calibration": "Read timing calibration from the acquisition.",
}


def test_docstrings(acq_dir):
    cls = tavroacq.Acquisition
    for name, doc in PROPERTY_DOCS.items():
        assert getattr(cls, name).__doc__ == doc, name
    assert cls.raw_event.__doc__ == "Fetch a raw event as `bytes`."
    assert cls.parsed_event.__doc__ == "Fetch a parsed event. Requires `tavrodaq` to be installed."
    acq = cls(acq_dir)
    assert acq.raw_event.__doc__ == cls.raw_event.__doc__
    assert type(iter(acq)).__doc__ == "Iterator over events in an acquisition"
    assert type(iter(acq)).__name__ == "IterEvents"
    assert cls.__doc__ and cls.__module__ == "tavroacq"
    assert tavroacq.list_acquisitions.__doc__ == "List all acquisitions in a directory."
    assert tavroacq.is_acquisition.__doc__ == "Check if a folder is a valid acquisition."


def test_properties_are_read_only_and_no_attribute_can_be_added(acq_dir):
    acq = tavroacq.Acquisition(acq_dir)
    for name in ("path", "name", "metadata", "raw_event", "other"):
        with pytest.raises(AttributeError):
            setattr(acq, name, 1)
    assert acq.path == str(acq_dir) and not hasattr(acq, "other")


def test_live_properties_follow_the_directory(acq_dir):
    acq = tavroacq.Acquisition(acq_dir)
    acqwriter.write_chunk(acq_dir, 3, [packet(5)])
    assert acq.chunk_count == 4 and len(acq) == 6 and acq.is_valid
    (acq_dir / "metadata.yml").unlink()
    assert not acq.is_valid
    assert labels_of(acq[5]) == [5]  # the stored parameters still parse


def test_metadata_and_params(acq_dir):
    acq = tavroacq.Acquisition(acq_dir)
    meta = acq.metadata
    assert meta is acq.metadata
    assert meta == {"params": PARAMS, "registers": {}}
    assert acq.params is meta["params"]
    meta["params"] = {"changed": True}  # callers' changes show through later accesses
    assert acq.params == {"changed": True}
    del meta["params"]
    with pytest.raises(KeyError) as info:
        acq.params
    assert info.value.args == ("params",)
    assert labels_of(acq[1]) == [1]  # parsing uses the parameters read at construction


def test_raw_event(acq_dir):
    acqwriter.write_chunk(acq_dir, 3, [b"\x01\x02", b""])
    acq = tavroacq.Acquisition(acq_dir)
    ev = acq.raw_event(5)
    assert list(ev) == ["rawdata", "pkg_num", "event_num"]
    assert ev == {"rawdata": b"\x01\x02", "pkg_num": 5, "event_num": 5}
    assert type(ev["rawdata"]) is bytes
    assert acq.raw_event(index=6)["rawdata"] == b""
    assert [acq.raw_event(i)["rawdata"] for i in range(5)] == [packet(i) for i in range(5)]
    assert acq.raw_event(True)["pkg_num"] == 1


def test_integer_subscripts(acq_dir):
    acq = tavroacq.Acquisition(acq_dir)

    class Index:
        def __index__(self):
            return 3

    cases = [(0, 0), (4, 4), (True, 1), (Index(), 3)]
    for key, expected in cases:
        assert labels_of(acq[key]) == [expected], key
    for key in (1.5, "1", None, 2**70):
        with pytest.raises(TypeError, match="^index must be an int or a slice$"):
            acq[key]
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        acq[5]
    with pytest.raises(IndexError, match="^index out of bounds$"):
        acq[-1]


def test_slices(acq_dir):
    acq = tavroacq.Acquisition(acq_dir)
    cases = [
        (slice(None), [0, 1, 2, 3, 4]),
        (slice(1, 5), [1, 2, 3, 4]),  # crosses the empty chunk
        (slice(0, 100), [0, 1, 2, 3, 4]),
        (slice(5, 2), []),
        (slice(7, 9), []),
        (slice(-2, None), [3, 4]),  # negative bounds clip like a sequence's
        (slice(-100, 2), [0, 1]),
        (slice(None, None, 2), [0, 2, 4]),
        (slice(1, None, 3), [1, 4]),
    ]
    for key, expected in cases:
        events = acq[key]
        assert type(events) is list, key
        assert [labels_of(e) for e in events] == [[i] for i in expected], key
        assert events == [acq.parsed_event(i) for i in expected], key
    for key in (slice(None, None, -1), slice(4, 0, -2)):
        with pytest.raises(IndexError, match="^index out of bounds$"):
            acq[key]
    with pytest.raises(ValueError):
        acq[::0]
    with pytest.raises(TypeError):
        acq["a":]


def test_slice_stops_at_the_first_failure(acq_dir):
    acqwriter.write_chunk(acq_dir, 3, [b"\x00"])  # event 5 does not parse
    acq = tavroacq.Acquisition(acq_dir)
    assert len(acq[0:5]) == 5
    with pytest.raises(Exception, match="^Failed to parse event: unexpected length of data$"):
        acq[3:6]


def test_iteration_ends_quietly_on_a_bad_event(tmp_path):
    events = [packet(0), packet(1), b"\x01", packet(3), packet(4)]
    acq = tavroacq.Acquisition(acqwriter.write_acquisition(tmp_path / "a", PARAMS, chunks=[events]))
    assert [labels_of(e) for e in acq] == [[0], [1]]
    with pytest.raises(Exception, match="^Failed to parse event: "):
        acq[2]


def test_iterator_resumes_after_append(acq_dir):
    acq = tavroacq.Acquisition(acq_dir)
    it = iter(acq)
    assert iter(it) is it
    assert [labels_of(e) for e in it] == [[0], [1], [2], [3], [4]]
    with pytest.raises(StopIteration):
        next(it)
    acqwriter.write_chunk(acq_dir, 3, [packet(5), packet(6)])
    assert labels_of(next(it)) == [5]
    assert [labels_of(e) for e in it] == [[6]]


def test_iterator_constructor(acq_dir):
    acq = tavroacq.Acquisition(acq_dir)
    iter_events = type(iter(acq))
    assert not hasattr(tavroacq, "IterEvents")
    assert [labels_of(e) for e in iter_events(acq=acq)] == [[i] for i in range(5)]

    class Sub(tavroacq.Acquisition):
        pass

    sub = Sub(acq_dir)
    assert len(sub) == 5 and labels_of(sub[2]) == [2]
    assert len(list(iter_events(sub))) == 5


def test_misc_data(acq_dir):
    acq = tavroacq.Acquisition(acq_dir)
    assert acq.readout_metadata is None and acq.timing_calibration is None

    value = {"pedestals": [[1.5, 2.0]], "n": 3}
    acqwriter.write_misc(acq_dir, "pedestals_calibration", value)
    first, second = acq.pedestals_calibration, acq.pedestals_calibration
    assert first == value and second == value and first is not second

    acqwriter.write_misc(acq_dir, "adc_to_mv_calibration", [1, 2])  # written as adc2mv_calibration
    (acq_dir / "timing_calibration").write_bytes(gzip.compress(pickle.dumps("t")))
    assert acq.adc_to_mv_calibration == [1, 2] and acq.timing_calibration == "t"
    (acq_dir / "adc2mv_calibration").unlink()
    (acq_dir / "adc_to_mv_calibration").write_bytes(gzip.compress(pickle.dumps(1)))  # not its file name
    assert acq.adc_to_mv_calibration is None


def test_misc_data_errors_are_the_libraries_own(acq_dir):
    acq = tavroacq.Acquisition(acq_dir)
    plain = pickle.dumps({"a": 1})
    (acq_dir / "readout_metadata").write_bytes(plain)
    bad_pickle = gzip.compress(b"not a pickle")
    (acq_dir / "timing_calibration").write_bytes(bad_pickle)
    for prop, raw, stage in (("readout_metadata", plain, gzip.decompress),
                             ("timing_calibration", bad_pickle, lambda b: pickle.loads(gzip.decompress(b)))):
        with pytest.raises(Exception) as expected:
            stage(raw)
        with pytest.raises(Exception) as got:
            getattr(acq, prop)
        assert type(got.value) is type(expected.value), prop
        assert got.value.args == expected.value.args, prop

    (acq_dir / "pedestals_calibration").mkdir()
    with pytest.raises(OSError, match=r"^Could not read acquisition: Is a directory \(os error 21\)$"):
        acq.pedestals_calibration


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files without permission")
def test_misc_data_permission_denied(acq_dir):
    acqwriter.write_misc(acq_dir, "readout_metadata", 1)
    (acq_dir / "readout_metadata").chmod(0)
    with pytest.raises(OSError, match=r"^Could not read acquisition: Permission denied \(os error 13\)$"):
        tavroacq.Acquisition(acq_dir).readout_metadata


def test_list_acquisitions(tmp_path):
    root = tmp_path / "root"
    acqwriter.write_acquisition(root / "good", PARAMS, chunks=[[packet(0)]])
    acqwriter.write_metadata(root / "no_registers", text="params: {model: telkv3, channels: 1, windows: 1, samples: 1}\n")
    (root / "plain_dir").mkdir()
    (root / "file").write_text("x")
    for arg in (root, str(root)):
        found = tavroacq.list_acquisitions(arg)
        assert [a.path for a in found] == [str(root / "good")]
        assert type(found[0]) is tavroacq.Acquisition and len(found[0]) == 1
    assert tavroacq.list_acquisitions(root_dir=tmp_path / "missing") == []
    assert tavroacq.list_acquisitions(root / "file") == []
    with pytest.raises(Exception) as info:
        tavroacq.Acquisition(root / "no_registers")
    assert type(info.value).__name__ == "MetadataError"


def test_is_acquisition(tmp_path):
    acqwriter.write_acquisition(tmp_path / "acq", PARAMS)
    (tmp_path / "meta_dir" / "metadata.yml").mkdir(parents=True)
    (tmp_path / "dangling").mkdir()
    (tmp_path / "dangling" / "metadata.yml").symlink_to(tmp_path / "nowhere")
    (tmp_path / "file").write_text("x")
    cases = [("acq", True), ("meta_dir", True), ("dangling", False), ("file", False), ("missing", False)]
    for name, expected in cases:
        assert tavroacq.is_acquisition(tmp_path / name) is expected, name
        assert tavroacq.is_acquisition(path=str(tmp_path / name)) is expected, name
