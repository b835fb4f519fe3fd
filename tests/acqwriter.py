"""Writes acquisition directories for tests, benchmarks and the demo.

An acquisition is a directory with ``metadata.yml``, numbered chunk pairs ``N.bin``/``N.idx`` and
optional gzip-compressed pickles (``readout_metadata``, ``pedestals_calibration``,
``timing_calibration``, ``adc2mv_calibration``). Every piece can also be written in broken shapes
(gaps in the chunk numbering, partial index records, empty index files, raw metadata text) so
tests can show how the reader copes.
"""

import gzip
import os
import pickle
import struct
from pathlib import Path

import yaml

MISC_FILES = {
    "readout_metadata": "readout_metadata",
    "pedestals_calibration": "pedestals_calibration",
    "timing_calibration": "timing_calibration",
    "adc_to_mv_calibration": "adc2mv_calibration",
    "adc2mv_calibration": "adc2mv_calibration",
}


def metadata_text(params, registers=None, extra=None):
    """YAML text of a metadata document; `params` and `registers` keep their order."""
    doc = {"params": dict(params), "registers": dict(registers or {})}
    if extra:
        doc.update(extra)
    return yaml.safe_dump(doc, sort_keys=False)


def write_metadata(path, params=None, registers=None, extra=None, text=None):
    """Writes metadata.yml from `params`/`registers`, or `text` (str or bytes) verbatim."""
    path = Path(path)
    path.mkdir(parents=True, exist_ok=True)
    if text is None:
        text = metadata_text(params or {}, registers, extra)
    if isinstance(text, str):
        text = text.encode("utf-8")
    (path / "metadata.yml").write_bytes(text)


def index_records(events, start=0):
    """(offset, length) of events laid back to back from byte `start`."""
    records, offset = [], start
    for ev in events:
        records.append((offset, len(ev)))
        offset += len(ev)
    return records


def write_chunk(path, n, events=(), records=None, data=None, index_tail=b"", index=None):
    """Writes chunk `n`: the data file holds `data` (default: the events back to back) and the
    index file holds `records` (default: one record per event), then `index_tail` (a partial
    record, say). `index` (bytes) replaces the whole index file; `data=False`/`index=False`
    leave that file out."""
    path = Path(path)
    if data is None:
        data = b"".join(events)
    if records is None:
        records = index_records(events)
    if index is None:
        index = b"".join(struct.pack("<II", off, length) for off, length in records) + index_tail
    if data is not False:
        (path / f"{n}.bin").write_bytes(data)
    if index is not False:
        (path / f"{n}.idx").write_bytes(index)


def write_misc(path, name, obj, protocol=pickle.HIGHEST_PROTOCOL, raw=None):
    """Writes an auxiliary file: gzip(pickle(obj, protocol)), or `raw` bytes verbatim."""
    data = raw if raw is not None else gzip.compress(pickle.dumps(obj, protocol=protocol))
    (Path(path) / MISC_FILES.get(name, name)).write_bytes(data)


def write_acquisition(path, params, chunks=(), registers=None, misc=None, protocol=pickle.HIGHEST_PROTOCOL):
    """A whole acquisition: metadata, one chunk per list of event packets in `chunks`, and
    auxiliary files from `misc` (property name or file name -> object). Returns the path."""
    path = Path(path)
    write_metadata(path, params, registers)
    for n, events in enumerate(chunks):
        write_chunk(path, n, events)
    for name, obj in (misc or {}).items():
        write_misc(path, name, obj, protocol)
    return path


def split_into_chunks(events, chunk_size):
    return [events[i:i + chunk_size] for i in range(0, len(events), chunk_size)]


def open_fd_count():
    return len(os.listdir("/proc/self/fd"))


def telkv3_packet(windows, samples, headers=(0, 0, 0), footer=(0,)):
    """A telkv3 packet with the default settings: event header words, then per window a header
    word (channel in bits 9-10, label in bits 1-8) and `samples` sample words holding 12-bit
    values in bits 1-12, then the footer. `windows` is a list of (channel, label, values)."""
    words = list(headers)
    for channel, label, values in windows:
        assert len(values) == samples
        words.append((channel << 9) | (label << 1))
        words.extend(v << 1 for v in values)
    words.extend(footer)
    return struct.pack(f">{len(words)}H", *words)
