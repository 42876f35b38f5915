"""Reading: Recording objects over the library's read handles."""

import datetime as _datetime
import math
import os
from dataclasses import dataclass
from typing import NamedTuple, Optional

import numpy as np

from . import _recording
from ._arguments import real, whole, whole_in
from ._handles import opening

_ANNOTATION_MODES = {"none": 0, "first": 1, "all": 2}
_FILETYPES = {0: "EDF", 1: "EDF+", 2: "BDF", 3: "BDF+"}


@dataclass(frozen=True)
class Signal:
    """One ordinary signal of a recording (annotation signals are not listed)."""

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
    """The recording's description. `start` is the local start date and time as stored
    (naive datetime, microseconds from the sub-second start). Patient and recording fields
    are empty where the file type has none (plain EDF/BDF: only `patient` and
    `recording`; EDF+/BDF+: the subfields)."""

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
    onset: float  # seconds from the start of the recording
    duration: Optional[float]  # seconds, None when the annotation has none
    text: str


class Segment(NamedTuple):
    start: float  # seconds from the start of the recording
    first_record: int
    records: int


class _Piece(NamedTuple):
    """A segment in samples of one signal: it covers the samples [at, at + count) of the
    signal's time axis (sample k at k / rate seconds), stored from sample `stored` on."""

    at: int
    stored: int
    count: int
    first_record: int
    records: int


def open(path, tolerant=False, annotations="all"):
    """Opens a recording for reading.

    tolerant: open files with repairable faults, reporting each in `.problems`.
    annotations: "all" (collect every annotation), "first" (in a file with one annotation
    signal, stop examining a record's annotations after "Recording ends"), or "none".
    """
    return Recording(path, tolerant=tolerant, annotations=annotations)


def _unique_names(labels):
    """Labels as names that a dict or MNE can take: repeated labels get -0, -1, ..."""
    counts = {}
    for label in labels:
        counts[label] = counts.get(label, 0) + 1
    seen = {}
    names = []
    for label in labels:
        if counts[label] > 1:
            names.append(f"{label}-{seen.get(label, 0)}")
            seen[label] = seen.get(label, 0) + 1
        else:
            names.append(label)
    return names


class Recording:
    """An open recording. Use as a context manager, or call close()."""

    def __init__(self, path, tolerant=False, annotations="all"):
        if annotations not in _ANNOTATION_MODES:
            raise ValueError(f"annotations must be one of {sorted(_ANNOTATION_MODES)}")
        self.path = os.fspath(path)
        mode = _ANNOTATION_MODES[annotations]
        try:
            self._file = opening(lambda: _recording.File(self.path, bool(tolerant), mode))
        except _recording.FormatError as error:
            # The library's check lists what is wrong with the refused file.
            error.problems = tuple(_Problem(**p) for p in error.problems)
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
        self._annotations = None
        # The time axis: record duration and segment starts in ticks (100 ns), as stored.
        self._record_ticks = raw["record_duration_ticks"]
        self._segments = self._file.segments()

    # -- life cycle --
    def close(self):
        self._file.close()

    @property
    def closed(self):
        return self._file.closed

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        state = "closed" if self.closed else f"{len(self.signals)} signals"
        return f"<recording.Recording {self.path!r} {self.header.filetype}, {state}>"

    # -- what the open found --
    @property
    def annotations(self):
        if self._annotations is None:
            self._annotations = [Annotation(*a) for a in self._file.annotations()]
        return self._annotations

    @property
    def problems(self):
        """What the tolerant open found and repaired: objects with the fields offset,
        signal, record, code, action, field, found and message."""
        return [_Problem(**p) for p in self._file.problems()]

    @property
    def segments(self):
        """The runs of records without a gap between them: one from 0 for a continuous
        file, one per run for EDF+D and BDF+D files (whose gaps hold no samples)."""
        ticks = _recording.ticks_per_second
        return [Segment(start / ticks, first, records) for start, first, records in self._segments]

    def _pieces(self, index):
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
    def signal_index(self, signal):
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

    def read(self, signal, start=0, stop=None, digital=False):
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

    def _indexes(self, signals):
        if signals is None:
            return list(range(len(self.signals)))
        if isinstance(signals, (str, int)):
            signals = [signals]
        return [self.signal_index(s) for s in signals]

    def read_window(self, t0, t1, signals=None, digital=False, fill=None):
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
            length = pieces[-1].at + pieces[-1].count if pieces else 0
            rate = self.signals[i].sampling_rate
            start, stop = _position(t0, rate, length), _position(t1, rate, length)
            if len(pieces) == 1 and pieces[0].at == 0 and pieces[0].stored == 0:
                out[self.names[i]] = self._file.read(i, start, stop, digital)  # no gap
                continue
            runs = [(max(start, p.at), min(stop, p.at + p.count), p) for p in pieces]
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

    def read_all(self, signals=None, digital=False):
        """Every stored sample of the given signals (all by default), as {name: array}; in
        an EDF+D or BDF+D file the segments follow each other without their gaps. The arrays
        are views of one block of memory, which lives as long as any of them."""
        indexes = self._indexes(signals)
        # One allocation for all signals (large enough for the system to back it with huge
        # pages, which makes filling it several times faster); the arrays are views of it.
        counts = [self.signals[i].sample_count for i in indexes]
        block = np.empty(sum(counts), dtype=np.intc if digital else np.float64)
        ends = np.cumsum(counts)
        arrays = [block[end - count : end] for count, end in zip(counts, ends)]
        self._file.read_records(indexes, 0, self.header.record_count, bool(digital), arrays)
        return {self.names[i]: a for i, a in zip(indexes, arrays)}

    def to_mne(self, picks=None):
        """An mne.io.RawArray of the given signals (all by default): volts for voltage
        units, channel names, meas_date and the annotations. All picked signals must share
        one sampling rate. An EDF+D or BDF+D file keeps its true time axis: each gap holds
        zeros (as MNE's own readers fill acquisition skips) and is marked by a
        "BAD_ACQ_SKIP" annotation, so that every annotation lies on its true sample."""
        from ._mne import to_mne

        return to_mne(self, self._indexes(picks))


def _position(t, rate, length):
    """The first sample at or after t seconds, at most `length`."""
    if rate <= 0:
        return 0
    x = t * rate
    if x >= length:
        return length
    # Sample k lies at k / rate seconds; rounding takes off the float noise.
    return min(length, math.ceil(round(x, 6)))


@dataclass(frozen=True)
class _Problem:
    offset: int
    signal: int
    record: int
    code: int
    action: int
    field: str
    found: str
    message: str
