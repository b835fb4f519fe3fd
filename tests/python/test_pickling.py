"""Acquisition objects pickle by path, so they can be shipped to other processes."""

import pickle
import shutil
from concurrent.futures import ProcessPoolExecutor

import pytest

import tavroacq
from acqwriter import telkv3_packet, write_acquisition, write_metadata

PARAMS = {"model": "telkv3", "channels": 4, "windows": 8, "samples": 2}


def packet(label):
    return telkv3_packet([(0, label, [1, 2]), (1, label, [3, 4])], 2)


@pytest.fixture
def acq(tmp_path):
    return tavroacq.Acquisition(write_acquisition(tmp_path / "run", PARAMS, [[packet(1), packet(2)], [packet(3)]]))


def test_round_trip_every_protocol(acq):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        copy = pickle.loads(pickle.dumps(acq, protocol=protocol))
        assert type(copy) is tavroacq.Acquisition, protocol
        assert copy is not acq and copy.path == acq.path, protocol
        assert len(copy) == 3 and copy[:] == acq[:], protocol
        assert copy.metadata == acq.metadata and copy.metadata is not acq.metadata, protocol


def test_reduce_is_class_and_path(acq):
    assert acq.__reduce__() == (tavroacq.Acquisition, (acq.path,))
    with pytest.raises(TypeError):
        acq.__reduce__(2)


def test_unpickling_opens_the_acquisition_again(acq, tmp_path):
    data = pickle.dumps(acq)
    # New parameters on disk: the unpickled object reads them, the original keeps its own.
    write_metadata(tmp_path / "run", dict(PARAMS, samples=4))
    assert pickle.loads(data).params["samples"] == 4
    assert acq.params["samples"] == 2
    shutil.rmtree(tmp_path / "run")
    with pytest.raises(FileNotFoundError, match="Invalid path"):
        pickle.loads(data)


def event_count_and_first(acq):
    return len(acq), acq.parsed_event(0)


def test_process_pool_ships_acquisitions(acq):
    with ProcessPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(event_count_and_first, [acq, acq]))
    assert results == [(3, acq.parsed_event(0))] * 2
