"""Type information for tavroacq, a C++ extension module (the module itself has no Python source).

Read-only access to acquisitions recorded from waveform-digitizer boards: listing and opening
acquisition directories, their metadata and calibrations, raw and parsed events, CSV export, and
the Hamming code that protects orra96 sample words.

Exceptions raised besides the built-in ones are classes that the module does not export by name:
``ParsingError`` ("Failed to parse event: ..."), ``MetadataError`` ("Could not process
metadata: ..."), ``ExportError`` ("Could not export: ...") and ``FullChunkError``, all derived
from ``Exception`` and with ``__module__`` "acquisition"; catch them with ``except Exception`` or
by ``type(e).__name__``.
"""

from pathlib import Path
from typing import (Any, Iterator, List, Optional, Sequence, SupportsIndex, Tuple, Type, TypedDict, Union, overload,
                    type_check_only)

from typing_extensions import Self, disjoint_base

__all__ = [
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

__version__: str
"""The version of the installed module, for example "0.1.0"."""

_PathArg = Union[str, Path]
_Buffer = Union[bytes, bytearray, memoryview, Sequence[SupportsIndex]]

@type_check_only
class RawEvent(TypedDict):
    """What ``Acquisition.raw_event`` returns (keys in this order)."""

    rawdata: bytes
    """The event's packet exactly as stored in its chunk's data file."""
    pkg_num: int
    """The global event index asked for."""
    event_num: int
    """The global event index asked for."""

@type_check_only
class ParsedEvent(TypedDict):
    """A parsed event: one list per channel for each key (keys in this order).

    The outer lists have one element per channel of the record (``params["channels"]`` for
    most boards, always 96 for orra96); a channel the packet did not fill is an empty list.
    """

    data: List[List[float]]
    """Per channel, the samples (whole numbers 0-65535 before any pedestal correction)."""
    window_labels: List[List[int]]
    """Per channel, the label of each window read, in packet order (0-65535)."""
    time: List[List[int]]
    """Per channel, one time index per sample, ``samples`` values per window label (0-65535)."""
    timing: Optional[List[List[int]]]
    """brisav1 boards only: per channel, one 32-bit timing value per window; otherwise None."""
    ecc_errors: Optional[List[List[Tuple[int, int, int, int, int]]]]
    """orra96 boards only: 96 lists, empty after parsing (use ``ecc_check``); otherwise None."""

@disjoint_base
class Acquisition:
    """The Python wrapper around the core acquisition handle.

    ``Acquisition(root)`` opens the directory ``root`` (it must hold ``metadata.yml``) and reads
    the metadata; everything else is read from disk afresh on every call. Instances pickle by
    path: unpickling opens the acquisition again.
    """

    def __new__(cls, root: _PathArg) -> Self: ...
    @property
    def is_valid(self) -> bool:
        """Check if the folder is a valid acquisition."""
    @property
    def path(self) -> str:
        """Get the path to the acquisition directory."""
    @property
    def name(self) -> str:
        """Get the name of the acquisition."""
    @property
    def chunk_count(self) -> int:
        """Get the number of chunks in the acquisition"""
    @property
    def metadata(self) -> Any:
        """Read the metadata from the acquisition."""
    @property
    def params(self) -> Any:
        """Get acquisition params."""
    @property
    def readout_metadata(self) -> Any:
        """Read the readout metadata from the acquisition."""
    @property
    def pedestals_calibration(self) -> Any:
        """Read pedestals calibration from the acquisition."""
    @property
    def adc_to_mv_calibration(self) -> Any:
        """Read ADC to mV calibration from the acquisition."""
    @property
    def timing_calibration(self) -> Any:
        """Read timing calibration from the acquisition."""
    def raw_event(self, index: SupportsIndex) -> RawEvent:
        """Fetch a raw event as `bytes`."""
    def parsed_event(self, index: SupportsIndex) -> ParsedEvent:
        """Fetch a parsed event. Requires `tavrodaq` to be installed."""
    def __reduce__(self) -> Tuple[Type[Acquisition], Tuple[str]]: ...
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, key: SupportsIndex, /) -> ParsedEvent: ...
    @overload
    def __getitem__(self, key: slice, /) -> List[ParsedEvent]: ...
    def __iter__(self) -> Iterator[ParsedEvent]: ...

def list_acquisitions(root_dir: _PathArg) -> List[Acquisition]:
    """List all acquisitions in a directory."""

def is_acquisition(path: _PathArg) -> bool:
    """Check if a folder is a valid acquisition."""

def export_csv(acq: Acquisition, indices: Sequence[SupportsIndex], out_dir: _PathArg, pedestals_correction: bool) -> None:
    """Write the events at ``indices`` as CSV files of at most 1000 events into ``out_dir``."""

def syndrome(data: SupportsIndex) -> List[int]:
    """The four check sums ``[s0, s1, s2, s3]`` of a 16-bit word."""

def global_parity(data: SupportsIndex) -> int:
    """The parity (0 or 1) of all sixteen bits of a word."""

def syndrome_to_index(s: Sequence[SupportsIndex]) -> Optional[int]:
    """The bit index a syndrome of four values points at, or None."""

def ecc_check(raw_bytes: _Buffer) -> List[Tuple[int, int, int, int, int, int]]:
    """One ``(offset, position, word, corrected, bit, correctable)`` per erroneous word."""

def ecc_correct(raw_bytes: _Buffer) -> bytearray:
    """A copy of the raw orra96 event with every correctable word repaired."""
