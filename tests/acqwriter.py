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


# --- hostile content ---------------------------------------------------------------------------
# Each helper returns the bytes of one hostile file; tests write them with write_metadata(text=...)
# or write_misc(raw=...).


def alias_bomb_metadata(params, levels=9, fan=9):
    """metadata.yml whose extra parameter `bomb` names an alias that expands to fan**levels
    scalars when followed (9**9 = 387 million by default) while the text stays small."""
    lines = ["params:"]
    lines += [f"  {k}: {v}" for k, v in params.items()]
    lines.append("  a0: &a0 [" + ", ".join(["lol"] * fan) + "]")
    for i in range(1, levels):
        lines.append(f"  a{i}: &a{i} [" + ", ".join([f"*a{i - 1}"] * fan) + "]")
    lines.append(f"  bomb: *a{levels - 1}")
    lines.append("registers: {}")
    return ("\n".join(lines) + "\n").encode()


def nested_metadata(params, size, style):
    """metadata.yml of about `size` bytes whose extra parameter `deep` nests as far as the size
    allows: flow sequences [[[...]]], flow mappings {a: {a: ...}}, or block sequences - - - x."""
    head = "params:\n" + "".join(f"  {k}: {v}\n" for k, v in params.items())
    if style == "flow_seq":
        n = size // 2
        deep = "  deep: " + "[" * n + "]" * n + "\n"
    elif style == "flow_map":
        n = size // 5
        deep = "  deep: " + "{a: " * n + "1" + "}" * n + "\n"
    elif style == "block_seq":
        n = size // 2
        deep = "  deep:\n    " + "- " * n + "x\n"
    else:
        raise ValueError(style)
    return (head + deep + "registers: {}\n").encode()


def gzip_repeat(prefix, unit, count):
    """One gzip member holding `prefix` then `unit` repeated `count` times. The unit is compressed
    once, between full flushes, and its deflate blocks are repeated: a bomb of any size is made
    in the time of one unit and never exists uncompressed."""
    import zlib
    z = zlib.compressobj(9, zlib.DEFLATED, -zlib.MAX_WBITS)
    head = z.compress(prefix) + z.flush(zlib.Z_FULL_FLUSH)
    body = z.compress(unit) + z.flush(zlib.Z_FULL_FLUSH)
    tail = z.flush(zlib.Z_FINISH)
    crc = zlib.crc32(prefix)
    for _ in range(count):
        crc = zlib.crc32(unit, crc)
    size = len(prefix) + len(unit) * count
    header = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff"
    return header + head + body * count + tail + struct.pack("<II", crc, size & 0xFFFFFFFF)


def nested_list_pickle(depth):
    """Protocol-2 pickle of a list nested `depth` levels deep ([[[...]]]), written by hand since
    the pickler itself would recurse."""
    return b"\x80\x02" + b"]" * depth + b"a" * (depth - 1) + b"."


def nested_tuple_pickle(depth):
    """Protocol-0 pickle of a 1-tuple nested `depth` levels deep, built with MARK ... TUPLE."""
    return b"(" * depth + b"N" + b"t" * depth + b"."


def long_text_pickle(digits):
    """Protocol-0 pickle of a list holding one decimal LONG of `digits` digits."""
    return b"(lp0\nL" + b"9" * digits + b"L\na."


def int_text_pickle(digits):
    """Protocol-0 pickle of a list holding one INT opcode of `digits` digits."""
    return b"(lp0\nI" + b"9" * digits + b"\na."
