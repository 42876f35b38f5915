"""Reading: Recording objects over the library's read handles."""

from __future__ import annotations

import datetime as _datetime
import math
import os
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, Optional, Union, cast, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _recording, _sources
from ._arguments import finite, real, whole, whole_in
from ._handles import opening
from ._types import Real, RecordingSource, SignalKey, Whole

if TYPE_CHECKING:
    import mne  # type: ignore[import]  # MNE-Python carries no type hints

# How annotations are collected when a file is opened (see open()).
AnnotationMode = Literal["all", "first", "none"]
# Signals to read: one (index or label), several, or None for all.
SignalSelection = Union[SignalKey, Iterable[SignalKey], None]

_ANNOTATION_MODES = {"none": 0, "first": 1, "all": 2}
_FILETYPES = {0: "EDF", 1: "EDF+", 2: "BDF", 3: "BDF+"}


@dataclass(frozen=True)
class Signal:
    """One ordinary signal of a recording (annotation signals are not listed): its `index`
    among them, `label`, `unit` (physical dimension), `sampling_rate` in Hz,
    `samples_per_record`, `sample_count` (samples stored in the file), the physical range
    `physical_min` to `physical_max` (in `unit`) that the digital range `digital_min` to
    `digital_max` maps onto, `transducer` and `prefilter`."""

    index: int
    label: str
    unit: str
    sampling_rate: float  # Hz
    samples_per_record: int
    sample_count: int
    physical_min: float
    physical_max: float
    digital_min: int
    digital_max: int
    transducer: str
    prefilter: str


@dataclass(frozen=True)
class Header:
    """The recording's description: `filetype` ("EDF", "EDF+", "BDF" or "BDF+"), `start`,
    `duration` (seconds, to the end of the last record in true time), `record_duration`
    (seconds), `record_count`, the identification fields `patient` and `recording` as
    stored, and their EDF+/BDF+ subfields: `patient_code`, `patient_name`, `sex` ("M", "F"
    or empty), `birthdate` (a date, None when unknown), `patient_additional`,
    `admin_code`, `technician`, `equipment`, `recording_additional`.

    `start` is the local start date and time as stored (naive datetime, microseconds from
    the sub-second start). Patient and recording fields are empty where the file type has
    none (plain EDF/BDF: only `patient` and `recording`; EDF+/BDF+: the subfields)."""

    filetype: str
    start: _datetime.datetime
    duration: float  # seconds
    record_duration: float  # seconds
    record_count: int
    patient: str
    recording: str
    patient_code: str
    patient_name: str
    sex: str
    birthdate: Optional[_datetime.date]
    patient_additional: str
    admin_code: str
    technician: str
    equipment: str
    recording_additional: str


class Annotation(NamedTuple):
    """An annotation: `onset` in seconds from the start of the recording, `duration` in
    seconds (None when it has none), and its `text`."""

    onset: float  # seconds from the start of the recording
    duration: Optional[float]  # seconds, None when the annotation has none
    text: str


class Segment(NamedTuple):
    """A run of records without a gap: it starts `start` seconds after the start of the
    recording and holds the `records` records from `first_record` on."""

    start: float  # seconds from the start of the recording
    first_record: int
    records: int


@dataclass(frozen=True)
class Problem:
    """A problem in a file, as the library's check reports it: the byte `offset` of the
    offending field or bytes (-1 for the file as a whole), the header `signal` index
    (annotation signals counted) and data `record` concerned (-1 when none), the `code` that
    the strict open gives for it, the `action` (1: the tolerant open reads past it, as the
    message says; 2: nothing can be read past it), the `field` (such as "physical minimum"),
    the offending bytes `found` (printable ASCII as it stands, other bytes as \\xNN), and the
    `message`: the rule broken and what the tolerant open does about it."""

    offset: int
    signal: int
    record: int
    code: int
    action: int
    field: str
    found: str
    message: str


# The fields' own documentation, which help() shows.
Annotation.onset.__doc__ = "seconds from the start of the recording"
Annotation.duration.__doc__ = "seconds, None when the annotation has none"
Annotation.text.__doc__ = "the annotation's text"
Segment.start.__doc__ = "seconds from the start of the recording to its first record"
Segment.first_record.__doc__ = "the index of the segment's first record"
Segment.records.__doc__ = "the number of records in the segment"


class _Piece(NamedTuple):
    """A segment in samples of one signal: it covers the samples [at, at + samples) of the
    signal's time axis (sample k at k / rate seconds), stored from sample `stored` on."""

    at: int
    stored: int
    samples: int
    first_record: int
    records: int


def open(
    source: RecordingSource,
    tolerant: bool = False,
    annotations: AnnotationMode = "all",
    storage_options: Optional[dict[str, Any]] = None,
) -> Recording:
    """Opens a recording for reading; the same as Recording(source, ...).

    source: what the recording is read from:
    - a path (str or os.PathLike);
    - bytes in memory: bytes, bytearray, memoryview (C-contiguous) or mmap, read in place
      without a copy (the buffer is held until the recording is closed);
    - a binary file object with seek and readinto (or read): an open file, io.BytesIO, a
      member of a zipfile (compressed members are slow to seek backwards); it stays the
      caller's, is not closed, and must not be used elsewhere while the recording is open;
    - a URL that fsspec opens ("http://", "https://", and "s3://", "gs://", ... where their
      fsspec back-ends are installed), read with requests for what is read only;
      `storage_options` go to fsspec (credentials, headers).
    The header is read at the open. From memory, a file object or a URL the open is lazy:
    it reads the header and the first data record, `.annotations` (and a tolerant open's
    `.problems`) read the annotation signals of every record when first asked for, and
    sample reads read the records they need.

    tolerant: open files with repairable faults, reporting each in `.problems`.
    annotations: "all" (collect every annotation), "first" (in a file with one annotation
    signal, stop examining a record's annotations after "Recording ends"), or "none".
    """
    return Recording(
        source, tolerant=tolerant, annotations=annotations, storage_options=storage_options
    )


def _unique_names(labels: list[str]) -> list[str]:
    """Labels as names that a dict or MNE can take: repeated labels get -0, -1, ..."""
    counts: dict[str, int] = {}
    for label in labels:
        counts[label] = counts.get(label, 0) + 1
    seen: dict[str, int] = {}
    names = []
    for label in labels:
        if counts[label] > 1:
            names.append(f"{label}-{seen.get(label, 0)}")
            seen[label] = seen.get(label, 0) + 1
        else:
            names.append(label)
    return names


class Recording:
    """An open recording. Use as a context manager, or call close().

    Opening: see open(). Attributes: `path` (str: the path or URL as given, a file object's
    name, or "<bytes>" and the like for memory), `header` (Header), `signals` (the
    ordinary signals, Signal objects in file order), `names` (one unique name per signal:
    its label, or label-0, label-1, ... for repeated labels; the keys of the dicts that
    the reads return). A file that cannot be opened raises FileNotFoundError,
    PermissionError or IsADirectoryError; one that the reader refuses raises FormatError,
    whose .problems lists what is wrong.

    Pickling (multiprocessing, concurrent.futures, Dask and PyTorch DataLoader workers): a
    Recording pickles to what it was opened from, its path as given (a relative path is
    taken in the receiving process's working directory), its bytes, or its URL and
    storage_options, and its options (`tolerant`, `annotations`), and unpickles by opening it
    again, so the file must be readable there. An open local file pickles as its path; any
    other file object (io.BytesIO, an archive's member) raises TypeError, since its bytes
    cannot be read again where it lands. Nothing else of its samples travels, and reads carry no position. Unpickling in a
    process that holds the same path open is refused as any second open of a path is
    (Error, code ERR_ALREADY_OPEN). A closed Recording unpickles closed without touching
    the file: it keeps its path, header, signals, names, segments and the annotations it
    had collected, and reading it raises ValueError as after close().

    Threads: the reads release the GIL, and Recordings of different files are read in
    parallel; threads sharing one Recording take turns, each call whole, and a read that
    meets close() from another thread raises ValueError. The reads of a file object call its
    methods with the GIL taken back, from the reading thread; an exception that they raise is
    raised by the read."""

    path: str
    header: Header
    signals: list[Signal]
    names: list[str]

    def __init__(
        self,
        source: RecordingSource,
        tolerant: bool = False,
        annotations: AnnotationMode = "all",
        storage_options: Optional[dict[str, Any]] = None,
    ) -> None:
        if annotations not in _ANNOTATION_MODES:
            raise ValueError(f"annotations must be one of {sorted(_ANNOTATION_MODES)}")
        if storage_options is not None and not _sources.is_url(source):
            raise TypeError("storage_options are for URLs only")
        self._options: _Options = {"tolerant": bool(tolerant), "annotations": annotations}
        mode = _ANNOTATION_MODES[annotations]
        # Opened from anything but a path, the annotations are collected on first use.
        from_path = isinstance(source, (str, os.PathLike)) and not _sources.is_url(source)
        self._lazy: Optional[int] = None if from_path else mode
        try:
            self._file = self._opened(source, bool(tolerant), mode, dict(storage_options or {}))
        except _recording.FormatError as error:
            # The library's check lists what is wrong with the refused file.
            found = cast("list[dict[str, Any]]", error.problems)  # the library's dicts
            error.problems = tuple(Problem(**p) for p in found)
            raise
        raw = self._file.header()
        year, month, day, hour, minute, second, ticks = raw["start"]
        by, bm, bd = raw["birth_date"]
        self.header = Header(
            filetype=_FILETYPES.get(raw["filetype"], str(raw["filetype"])),
            start=_datetime.datetime(year, month, day, hour, minute, second, ticks // 10),
            duration=raw["duration"],
            record_duration=raw["record_duration"],
            record_count=raw["record_count"],
            patient=raw["patient"],
            recording=raw["recording"],
            patient_code=raw["patient_code"],
            patient_name=raw["patient_name"],
            sex=raw["sex"],
            birthdate=_datetime.date(by, bm, bd) if by and bm and bd else None,
            patient_additional=raw["patient_additional"],
            admin_code=raw["admin_code"],
            technician=raw["technician"],
            equipment=raw["equipment"],
            recording_additional=raw["recording_additional"],
        )
        record_duration = raw["record_duration"]
        self.signals = [
            Signal(
                index=i,
                sampling_rate=s["samples_per_record"] / record_duration
                if record_duration > 0
                else 0.0,
                **s,
            )
            for i, s in enumerate(self._file.signals())
        ]
        self.names = _unique_names([s.label for s in self.signals])
        self._annotations: Optional[list[Annotation]] = None
        # The time axis: record duration and segment starts in ticks (100 ns), as stored.
        self._record_ticks = raw["record_duration_ticks"]
        self._segments = self._file.segments()

    def _opened(
        self, source: RecordingSource, tolerant: bool, mode: int, storage_options: dict[str, Any]
    ) -> _recording.File:
        """The library's file of `source`; sets path, _source and _remote."""
        self._remote: Optional[_sources.RemoteFile] = None
        lazy = _ANNOTATION_MODES["none"]
        if _sources.is_url(source):
            url = cast(str, source)
            self.path = url
            self._source: _Source = ("url", (url, storage_options))
            remote = _sources.RemoteFile(url, storage_options)
            try:
                # The check of a refused file would read all of it: not over the network.
                file = _recording.File.from_file(remote, remote.size, url, tolerant, lazy, False)
            except BaseException:
                remote.close()
                raise
            self._remote = remote
            return file
        if isinstance(source, (str, os.PathLike)):
            path = os.fspath(source)
            if not isinstance(path, str):
                raise TypeError(f"a path is a str or os.PathLike of str, not {type(path).__name__}")
            self.path = path
            self._source = ("path", path)
            return opening(lambda: _recording.File(path, tolerant, mode))
        if isinstance(source, _sources.BUFFER_TYPES):
            self.path = f"<{type(source).__name__}>"
            self._source = ("bytes", source)
            return _recording.File.from_buffer(source, self.path, tolerant, lazy)
        if _sources.is_file_object(source):
            self.path = _sources.file_name(source)
            local = _sources.local_path_of(source)
            self._source = ("path", local) if local is not None else ("file", None)
            size = _sources.file_size(source)
            return _recording.File.from_file(source, size, self.path, tolerant, lazy, True)
        raise TypeError(
            "a recording is opened from a path, a URL, bytes (bytes, bytearray, memoryview, "
            f"mmap) or a binary file object with seek and readinto, not {type(source).__name__}"
        )

    def _collected(self) -> None:
        """Collects the annotations that a lazy open left out, once."""
        if self._lazy is not None:
            if self._lazy != _ANNOTATION_MODES["none"]:
                self._file.read_annotations(self._lazy)
            self._lazy = None

    # -- life cycle --
    def close(self) -> None:
        """Closes the file (again: nothing), and the connection of a URL. The buffer or file
        object that it was opened from is let go; reading a closed recording raises
        ValueError."""
        self._file.close()
        if self._remote is not None:
            self._remote.close()
            self._remote = None

    @property
    def closed(self) -> bool:
        """Whether close() was called."""
        return self._file.closed

    def __enter__(self) -> Recording:
        return self

    def __reduce__(self) -> tuple[Any, ...]:
        # An open recording travels as its source and options and is opened again; a closed
        # one as its description, without its file.
        if not self.closed:
            kind, what = self._source
            if kind == "file":
                raise TypeError(
                    f"a recording read from a file object ({self.path}) cannot be pickled: "
                    "open it from its path, its bytes or a URL to send it to other processes"
                )
            if kind == "bytes" and not isinstance(what, bytes):
                what = bytes(what)  # bytearray, memoryview, mmap: their bytes as they stand
            return (_reopened, ((kind, what), dict(self._options)))
        # Without its file, and without the buffer or file object that it was read from.
        state = {k: v for k, v in self.__dict__.items() if k != "_file"}
        state["_source"] = ("closed", None)
        state["_remote"] = None
        return (_closed, (state,))

    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{len(self.signals)} signals"
        return f"<recording.Recording {self.path!r} {self.header.filetype}, {state}>"

    # -- what the open found --
    @property
    def annotations(self) -> list[Annotation]:
        """The annotations that the open collected (see open()'s `annotations`), in file
        order: Annotation(onset, duration, text)."""
        if self._annotations is None:
            self._collected()
            self._annotations = [Annotation(*a) for a in self._file.annotations()]
        return self._annotations

    @property
    def problems(self) -> list[Problem]:
        """What the tolerant open found and repaired, as Problem objects (empty for a file
        opened strictly). After a lazy open (see open()) the annotations are collected first,
        so that the problems of the annotation signals are listed too."""
        self._collected()
        return [Problem(**p) for p in self._file.problems()]

    @property
    def segments(self) -> list[Segment]:
        """The runs of records without a gap between them: one from 0 for a continuous
        file, one per run for EDF+D and BDF+D files (whose gaps hold no samples)."""
        ticks = _recording.ticks_per_second
        return [Segment(start / ticks, first, records) for start, first, records in self._segments]

    def _pieces(self, index: int) -> list[_Piece]:
        """Where the segments lie on the time axis of signal `index`, in its samples. A
        segment that starts between two samples (an EDF+D record may start at any tick) is
        placed on the nearest one."""
        spr = self.signals[index].samples_per_record
        ticks = self._record_ticks
        pieces = []
        for start, first, records in self._segments:
            # Round half up, in integers: start ticks x spr / record ticks.
            at = (2 * start * spr + ticks) // (2 * ticks) if ticks > 0 else first * spr
            pieces.append(_Piece(at, first * spr, records * spr, first, records))
        return pieces

    # -- samples --
    def signal_index(self, signal: SignalKey) -> int:
        """The index of a signal given by index or by label (or unique name)."""
        if isinstance(signal, str):
            if signal in self.names:
                return self.names.index(signal)
            matches = [s.index for s in self.signals if s.label == signal]
            if len(matches) != 1:
                raise ValueError(
                    f"no signal labelled {signal!r}"
                    if not matches
                    else f"{len(matches)} signals are labelled {signal!r}: use an index"
                )
            return matches[0]
        index = whole(signal, "signal")
        if not 0 <= index < len(self.signals):
            raise ValueError(f"no signal {signal!r} (the file has {len(self.signals)})")
        return index

    @overload
    def read(
        self,
        signal: SignalKey,
        start: Whole = 0,
        stop: Optional[Whole] = None,
        digital: Literal[False] = False,
    ) -> NDArray[np.float64]: ...
    @overload
    def read(
        self, signal: SignalKey, start: Whole, stop: Optional[Whole], digital: Literal[True]
    ) -> NDArray[np.int32]: ...
    @overload
    def read(
        self,
        signal: SignalKey,
        start: Whole = 0,
        stop: Optional[Whole] = None,
        *,
        digital: Literal[True],
    ) -> NDArray[np.int32]: ...
    @overload
    def read(
        self,
        signal: SignalKey,
        start: Whole = 0,
        stop: Optional[Whole] = None,
        digital: bool = False,
    ) -> NDArray[np.float64] | NDArray[np.int32]: ...
    def read(
        self,
        signal: SignalKey,
        start: Whole = 0,
        stop: Optional[Whole] = None,
        digital: bool = False,
    ) -> NDArray[np.float64] | NDArray[np.int32]:
        """Samples [start, stop) of one signal (index or label), counted as stored: float64
        physical values, or int32 digital values. Positions are whole numbers (2.0 is taken,
        2.5 raises ValueError); stop beyond the end is taken as the end. In an EDF+D or BDF+D
        file the stored samples skip the gaps: read_window places them in time."""
        index = self.signal_index(signal)
        total = self.signals[index].sample_count
        start = whole(start, "start")
        stop = max(total, start) if stop is None else whole(stop, "stop")
        if start < 0 or stop < start:
            raise ValueError(f"need 0 <= start <= stop, not {start} and {stop}")
        return self._file.read(index, min(start, total), min(stop, total), bool(digital))

    def _indexes(self, signals: SignalSelection) -> list[int]:
        if signals is None:
            return list(range(len(self.signals)))
        if isinstance(signals, str) or not isinstance(signals, Iterable):
            return [self.signal_index(signals)]  # one signal (a NumPy integer too)
        return [self.signal_index(s) for s in signals]

    @overload
    def read_window(
        self,
        t0: Real,
        t1: Real,
        signals: SignalSelection = None,
        digital: Literal[False] = False,
        fill: Optional[Real] = None,
    ) -> dict[str, NDArray[np.float64]]: ...
    @overload
    def read_window(
        self,
        t0: Real,
        t1: Real,
        signals: SignalSelection,
        digital: Literal[True],
        fill: Optional[Whole] = None,
    ) -> dict[str, NDArray[np.int32]]: ...
    @overload
    def read_window(
        self,
        t0: Real,
        t1: Real,
        signals: SignalSelection = None,
        *,
        digital: Literal[True],
        fill: Optional[Whole] = None,
    ) -> dict[str, NDArray[np.int32]]: ...
    @overload
    def read_window(
        self,
        t0: Real,
        t1: Real,
        signals: SignalSelection = None,
        digital: bool = False,
        fill: Optional[Real] = None,
    ) -> dict[str, NDArray[np.float64]] | dict[str, NDArray[np.int32]]: ...
    def read_window(
        self,
        t0: Real,
        t1: Real,
        signals: SignalSelection = None,
        digital: bool = False,
        fill: Union[Real, Whole, None] = None,
    ) -> dict[str, NDArray[np.float64]] | dict[str, NDArray[np.int32]]:
        """The samples at the times t0 <= t < t1, in seconds from the start of the
        recording, as {name: array} for the given signals (indexes or labels; all by
        default). Sample k of a signal lies at k / rate seconds; the window is cut to the
        recording's duration (t1 may be infinite).

        EDF+D and BDF+D files are read in true time: a gap between two segments holds no
        samples, so a physical window holds `fill` there (NaN by default), and a digital
        window that reaches into a gap raises ValueError unless `fill` gives an integer to
        put there. A segment that starts between two samples is placed on the nearest one."""
        t0, t1 = real(t0, "t0"), real(t1, "t1")
        if not 0 <= t0 <= t1:
            raise ValueError(f"need 0 <= t0 <= t1, not {t0} and {t1}")
        digital = bool(digital)
        if digital:
            fill = None if fill is None else whole_in(fill, "fill", -(2**31), 2**31 - 1)
        else:
            fill = math.nan if fill is None else real(fill, "fill")
        out = {}
        for i in self._indexes(signals):
            pieces = self._pieces(i)
            length = pieces[-1].at + pieces[-1].samples if pieces else 0
            rate = self.signals[i].sampling_rate
            start, stop = _position(t0, rate, length), _position(t1, rate, length)
            if len(pieces) == 1 and pieces[0].at == 0 and pieces[0].stored == 0:
                out[self.names[i]] = self._file.read(i, start, stop, digital)  # no gap
                continue
            runs = [(max(start, p.at), min(stop, p.at + p.samples), p) for p in pieces]
            runs = [(a, b, p) for a, b, p in runs if a < b]
            if fill is None and sum(b - a for a, b, _ in runs) < stop - start:
                raise ValueError(
                    f"the window {t0:g} s to {t1:g} s of {self.names[i]!r} reaches into a gap "
                    "of the recording, which holds no samples: give fill= for the digital "
                    "values there, or read physical values (NaN there)"
                )
            window = np.full(stop - start, 0 if fill is None else fill,
                             dtype=np.intc if digital else np.float64)
            for a, b, p in runs:
                window[a - start : b - start] = self._file.read(
                    i, p.stored + a - p.at, p.stored + b - p.at, digital
                )
            out[self.names[i]] = window
        return out

    @overload
    def read_windows(
        self,
        starts: ArrayLike,
        duration: Real,
        signals: SignalSelection = None,
        digital: Literal[False] = False,
        fill: Optional[Real] = None,
    ) -> NDArray[np.float64]: ...
    @overload
    def read_windows(
        self,
        starts: ArrayLike,
        duration: Real,
        signals: SignalSelection,
        digital: Literal[True],
        fill: Optional[Whole] = None,
    ) -> NDArray[np.int32]: ...
    @overload
    def read_windows(
        self,
        starts: ArrayLike,
        duration: Real,
        signals: SignalSelection = None,
        *,
        digital: Literal[True],
        fill: Optional[Whole] = None,
    ) -> NDArray[np.int32]: ...
    @overload
    def read_windows(
        self,
        starts: ArrayLike,
        duration: Real,
        signals: SignalSelection = None,
        digital: bool = False,
        fill: Optional[Real] = None,
    ) -> NDArray[np.float64] | NDArray[np.int32]: ...
    def read_windows(
        self,
        starts: ArrayLike,
        duration: Real,
        signals: SignalSelection = None,
        digital: bool = False,
        fill: Union[Real, Whole, None] = None,
    ) -> NDArray[np.float64] | NDArray[np.int32]:
        """Many windows of the same length at once, as one array of shape (windows, signals,
        samples): window w holds the samples of the given signals (indexes or labels; all by
        default), which must share one sampling rate, from the first sample at or after
        starts[w] seconds on, ceil(duration x rate) samples each: what read_window(start,
        start + duration) gives when start falls on a sample. float64 physical values, or
        int32 digital values, in the order of `starts` (a 1-D array-like of seconds).

        Every window must lie within the recording (ValueError naming the first that does
        not): the windows of a training loop have one shape, so none is cut short. Each
        window's data records are read once for all its signals. EDF+D and BDF+D files are
        read in true time, as read_window reads them: a physical window holds `fill` (NaN by
        default) where it reaches into a gap, and a digital one raises ValueError there
        unless `fill` gives an integer."""
        indexes = self._indexes(signals)
        if not indexes:
            raise ValueError("no signals picked")
        rates = sorted({self.signals[i].sampling_rate for i in indexes})
        if len(rates) > 1:
            listing = ", ".join(
                f"{self.names[i]} ({self.signals[i].sampling_rate:g} Hz)" for i in indexes
            )
            raise ValueError(
                f"windows are read from signals of one sampling rate, these have {len(rates)}: "
                f"{listing}"
            )
        rate = rates[0]
        given = np.asarray(starts)
        if given.dtype.kind not in "biuf":
            raise TypeError(f"starts must be numbers in seconds, not {given.dtype} values")
        if given.ndim != 1:
            raise ValueError(f"starts must be a 1-D array of seconds, not of shape {given.shape}")
        times = given.astype(np.float64)
        duration = finite(duration, "duration", 0.0)
        digital = bool(digital)
        if digital:
            fill = None if fill is None else whole_in(fill, "fill", -(2**31), 2**31 - 1)
        else:
            fill = math.nan if fill is None else real(fill, "fill")
        pieces = self._pieces(indexes[0])
        length = pieces[-1].at + pieces[-1].samples if pieces else 0
        # Sample positions as _position finds them: the rounding takes off the float noise.
        samples = math.ceil(round(duration * rate, 6)) if rate > 0 else 0
        with np.errstate(invalid="ignore", over="ignore"):
            at = np.ceil(np.round(times * rate, 6)) if rate > 0 else np.zeros_like(times)
            outside = ~(np.isfinite(times) & (times >= 0) & (at + samples <= length))
        if outside.any():
            w = int(np.argmax(outside))
            raise ValueError(
                f"window {w} ({times[w]:g} s to {times[w] + duration:g} s) lies outside the "
                f"recording (0 s to {length / rate if rate > 0 else 0.0:g} s of "
                f"{self.names[indexes[0]]!r})"
            )
        first = at.astype(np.int64)
        out = cast(
            "NDArray[np.float64] | NDArray[np.int32]",
            np.empty((len(first), len(indexes), samples), dtype=np.intc if digital else np.float64),
        )
        if len(pieces) == 1 and pieces[0].at == 0 and pieces[0].stored == 0:
            self._file.read_windows(indexes, first, samples, digital, out)
            return out
        # True time: a window within one segment is read from its stored samples; one that
        # reaches into a gap is put together from the segments it meets.
        starts_at = np.array([p.at for p in pieces], dtype=np.int64)
        which = np.searchsorted(starts_at, first, side="right") - 1
        stored = np.full(len(first), -1, dtype=np.int64)
        for w in range(len(first)):
            p = pieces[which[w]] if which[w] >= 0 else None
            if p is not None and first[w] + samples <= p.at + p.samples:
                stored[w] = p.stored + first[w] - p.at
        self._file.read_windows(indexes, stored, samples, digital, out)
        for w in np.flatnonzero(stored < 0):
            a0, a1 = int(first[w]), int(first[w]) + samples
            runs = [(max(a0, p.at), min(a1, p.at + p.samples), p) for p in pieces]
            runs = [(a, b, p) for a, b, p in runs if a < b]
            if fill is None and sum(b - a for a, b, _ in runs) < samples:
                raise ValueError(
                    f"window {w} ({times[w]:g} s to {times[w] + duration:g} s) reaches into a "
                    "gap of the recording, which holds no samples: give fill= for the digital "
                    "values there, or read physical values (NaN there)"
                )
            out[w] = 0 if fill is None else fill
            for row, i in zip(out[w], indexes):
                for a, b, p in runs:
                    row[a - a0 : b - a0] = self._file.read(
                        i, p.stored + a - p.at, p.stored + b - p.at, digital
                    )
        return out

    @overload
    def read_all(
        self, signals: SignalSelection = None, digital: Literal[False] = False
    ) -> dict[str, NDArray[np.float64]]: ...
    @overload
    def read_all(
        self, signals: SignalSelection, digital: Literal[True]
    ) -> dict[str, NDArray[np.int32]]: ...
    @overload
    def read_all(
        self, signals: SignalSelection = None, *, digital: Literal[True]
    ) -> dict[str, NDArray[np.int32]]: ...
    @overload
    def read_all(
        self, signals: SignalSelection = None, digital: bool = False
    ) -> dict[str, NDArray[np.float64]] | dict[str, NDArray[np.int32]]: ...
    def read_all(
        self, signals: SignalSelection = None, digital: bool = False
    ) -> dict[str, NDArray[np.float64]] | dict[str, NDArray[np.int32]]:
        """Every stored sample of the given signals (all by default), as {name: array}, each
        at its own sampling rate (nothing is resampled: see to_mne); in an EDF+D or BDF+D
        file the segments follow each other without their gaps. The arrays
        are views of one block of memory, which lives as long as any of them."""
        indexes = self._indexes(signals)
        # One allocation for all signals (large enough for the system to back it with huge
        # pages, which makes filling it several times faster); the arrays are views of it.
        counts = [self.signals[i].sample_count for i in indexes]
        block = np.empty(sum(counts), dtype=np.intc if digital else np.float64)
        ends = np.cumsum(counts)
        arrays = [block[end - count : end] for count, end in zip(counts, ends)]
        self._file.read_records(indexes, 0, self.header.record_count, bool(digital), arrays)
        return cast(
            "dict[str, NDArray[np.float64]] | dict[str, NDArray[np.int32]]",
            {self.names[i]: a for i, a in zip(indexes, arrays)},
        )

    def to_mne(
        self, picks: SignalSelection = None, sfreq: Optional[Real] = None
    ) -> mne.io.RawArray:
        """An mne.io.RawArray of the given signals (all by default): volts for voltage
        units, channel names, meas_date and the annotations.

        A Raw holds one sampling rate: `sfreq` in Hz, by default the highest rate among the
        picked signals. Each signal of another rate is resampled once, whole (never record
        by record, which would leave artefacts at every record boundary), with
        scipy.signal.resample_poly's polyphase filter (anti-aliasing when it lowers the
        rate); signals at that rate are taken as stored. read_all() and read() keep every
        signal at its native rate. An EDF+D or BDF+D file keeps its true time axis: each
        segment is resampled whole on its own, each gap holds zeros (as MNE's own readers
        fill acquisition skips) and is marked by a "BAD_ACQ_SKIP" annotation, so that every
        annotation lies on its true sample."""
        from ._mne import to_mne

        return to_mne(self, self._indexes(picks), None if sfreq is None else real(sfreq, "sfreq"))


# What a Recording was opened from, as it pickles: ("path", path as given), ("bytes", the
# buffer), ("url", (url, storage options)), or ("file", None) for a file object, which does not
# pickle (an open local file pickles as its path).
_Source = tuple[str, Any]
# The options of the open, as Recording's keyword arguments.
_Options = dict[str, Any]


def _open_url(what: tuple[str, dict[str, Any]], options: _Options) -> Recording:
    url, storage_options = what
    return Recording(url, storage_options=storage_options, **options)


def _open_path_or_bytes(what: Any, options: _Options) -> Recording:
    return Recording(what, **options)


_OPENERS: dict[str, Callable[[Any, _Options], Recording]] = {
    "path": _open_path_or_bytes,
    "bytes": _open_path_or_bytes,
    "url": _open_url,
}


def _reopened(source: _Source, options: _Options) -> Recording:
    """A pickled open Recording: its source opened again with its options."""
    kind, what = source
    opener = _OPENERS.get(kind)
    if opener is None:
        raise ValueError(f"a recording opened from {kind!r} cannot be opened here")
    return opener(what, options)


class _ClosedFile:
    """The file of a closed Recording that was unpickled: every use is refused as the
    library's file refuses it after close()."""

    closed = True

    def close(self) -> None:
        pass

    def __getattr__(self, name: str) -> Any:
        raise ValueError("the recording is closed")


def _closed(state: dict[str, Any]) -> Recording:
    """A pickled closed Recording: its description, closed."""
    recording = Recording.__new__(Recording)
    recording.__dict__.update(state)
    recording._file = cast(Any, _ClosedFile())
    return recording


def _position(t: float, rate: float, length: int) -> int:
    """The first sample at or after t seconds, at most `length`."""
    if rate <= 0:
        return 0
    x = t * rate
    if x >= length:
        return length
    # Sample k lies at k / rate seconds; rounding takes off the float noise.
    return min(length, math.ceil(round(x, 6)))

