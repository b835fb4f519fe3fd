"""The exception machinery as the Acquisition class and the module functions raise it."""

import pytest

import acqwriter
import tavroacq

PARAMS = {"model": "telkv3", "channels": 4, "windows": 64, "samples": 2}


@pytest.fixture
def acq_dir(tmp_path):
    # Event 0 parses; event 1 (odd length) does not.
    packet = acqwriter.telkv3_packet([(1, 3, [5, 6])], samples=2)
    return acqwriter.write_acquisition(tmp_path / "run", PARAMS, chunks=[[packet, b"\x01\x02\x03"]])


def caught(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def test_module_exception_classes(acq_dir):
    acq = tavroacq.Acquisition(acq_dir)
    first, second = caught(lambda: acq[1]), caught(lambda: acq.parsed_event(1))
    cls = type(first)
    assert type(second) is cls  # the same class object on every raise
    assert cls.__name__ == "ParsingError"
    assert cls.__module__ == "acquisition"
    assert cls.__bases__ == (Exception,)
    assert first.args == ("Failed to parse event: unexpected length of data",)
    assert not hasattr(tavroacq, "ParsingError")

    (acq_dir / "bad").mkdir()
    acqwriter.write_metadata(acq_dir / "bad", text="params: {model: telkv3, channels: 1, windows: 1, samples: 1}\n")
    err = caught(lambda: tavroacq.Acquisition(acq_dir / "bad"))
    assert type(err).__name__ == "MetadataError" and type(err).__module__ == "acquisition"
    assert type(err).__bases__ == (Exception,)
    assert err.args == ("Could not process metadata: failed to serialized",)
    assert type(caught(lambda: tavroacq.Acquisition(acq_dir / "bad"))) is type(err)


def test_invalid_path_is_file_not_found_without_errno(tmp_path):
    for path in (tmp_path / "missing", str(tmp_path / "missing"), tmp_path):  # tmp_path lacks metadata.yml
        err = caught(lambda: tavroacq.Acquisition(path))
        assert type(err) is FileNotFoundError, path
        assert err.args == ("Invalid path",) and str(err) == "Invalid path", path
        assert err.errno is None and err.filename is None, path


def test_storage_errors_map_to_builtin_exceptions(acq_dir):
    acq = tavroacq.Acquisition(acq_dir)
    (acq_dir / "pedestals_calibration").mkdir()
    cases = [
        (lambda: acq.raw_event(2), IndexError, "Index out of bounds"),
        (lambda: acq[2], IndexError, "Index out of bounds"),
        (lambda: acq[-1], IndexError, "index out of bounds"),
        (lambda: acq[::-1], IndexError, "index out of bounds"),
        (lambda: acq["0"], TypeError, "index must be an int or a slice"),
        (lambda: acq.pedestals_calibration, OSError, "Could not read acquisition: Is a directory (os error 21)"),
    ]
    for n, (call, cls, message) in enumerate(cases):
        err = caught(call)
        assert type(err) is cls and err.args == (message,), (n, err)
        if isinstance(err, OSError):
            assert err.errno is None, n


def test_conversion_type_errors_name_the_parameter(acq_dir):
    acq = tavroacq.Acquisition(acq_dir)
    iter_events = type(iter(acq))
    cases = [
        (lambda: tavroacq.Acquisition(b"/tmp"), "root"),
        (lambda: tavroacq.Acquisition(root=3), "root"),
        (lambda: tavroacq.list_acquisitions(None), "root_dir"),
        (lambda: tavroacq.is_acquisition(path=b"/tmp"), "path"),
        (lambda: acq.raw_event(1.5), "index"),
        (lambda: acq.parsed_event(index="0"), "index"),
        (lambda: iter_events(str(acq_dir)), "acq"),
    ]
    for n, (call, name) in enumerate(cases):
        err = caught(call)
        assert type(err) is TypeError, n
        assert len(err.args) == 1 and err.args[0].startswith(f"argument '{name}': "), (n, err)


def test_other_conversion_errors_pass_unprefixed(acq_dir):
    acq = tavroacq.Acquisition(acq_dir)
    for call in (lambda: acq.raw_event(-1), lambda: acq.parsed_event(2**64)):
        err = caught(call)
        assert type(err) is OverflowError and not str(err).startswith("argument"), err


def test_argument_binding_errors_name_the_callable(acq_dir):
    acq = tavroacq.Acquisition(acq_dir)
    cases = [
        (lambda: tavroacq.list_acquisitions(), "list_acquisitions()"),
        (lambda: tavroacq.is_acquisition("a", "b"), "is_acquisition()"),
        (lambda: tavroacq.is_acquisition(root="a"), "is_acquisition()"),
        (lambda: acq.raw_event(), "Acquisition.raw_event()"),
        (lambda: acq.parsed_event(0, index=0), "Acquisition.parsed_event()"),
        (lambda: tavroacq.Acquisition(), "Acquisition()"),
    ]
    for n, (call, name) in enumerate(cases):
        err = caught(call)
        assert type(err) is TypeError and name in str(err), (n, err)


def test_internal_failure_escapes_except_exception(acq_dir):
    (acq_dir / "sub").mkdir()
    acq = tavroacq.Acquisition(f"{acq_dir}/sub/..")  # a valid acquisition without a final name
    with pytest.raises(BaseException) as info:
        try:
            acq.name
        except Exception:
            pytest.fail("an internal failure must not be caught by `except Exception`")
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "could not get acquisition name"
