"""Reading: Recording objects over the library's read handles."""

import datetime as _datetime
import math
import os
from dataclasses import dataclass
from typing import NamedTuple, Optional

import numpy as np

from . import _recording

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
        try:
            self._file = _recording.File(self.path, bool(tolerant), _ANNOTATION_MODES[annotations])
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
        return [Segment(*s) for s in self._file.segments()]

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
        index = int(signal)
        if not 0 <= index < len(self.signals) or index != signal:
            raise ValueError(f"no signal {signal!r} (the file has {len(self.signals)})")
        return index

    def read(self, signal, start=0, stop=None, digital=False):
        """Samples [start, stop) of one signal (index or label): float64 physical values,
        or int32 digital values. stop beyond the end is taken as the end."""
        index = self.signal_index(signal)
        total = self.signals[index].sample_count
        stop = max(total, start) if stop is None else stop
        if start < 0 or stop < start:
            raise ValueError(f"need 0 <= start <= stop, not {start} and {stop}")
        return self._file.read(index, int(start), int(stop), bool(digital))

    def _indexes(self, signals):
        if signals is None:
            return list(range(len(self.signals)))
        if isinstance(signals, (str, int)):
            signals = [signals]
        return [self.signal_index(s) for s in signals]

    def read_window(self, t0, t1, signals=None, digital=False):
        """The samples of the time window [t0, t1) seconds, as {name: array} for the given
        signals (indexes or labels; all by default)."""
        if not 0 <= t0 <= t1:
            raise ValueError(f"need 0 <= t0 <= t1, not {t0} and {t1}")
        out = {}
        for i in self._indexes(signals):
            rate = self.signals[i].sampling_rate
            # Sample k lies at k / rate seconds; rounding takes off the float noise.
            start = math.ceil(round(t0 * rate, 6))
            stop = math.ceil(round(t1 * rate, 6))
            out[self.names[i]] = self._file.read(i, start, max(start, stop), bool(digital))
        return out

    def read_all(self, signals=None, digital=False):
        """Every sample of the given signals (all by default), as {name: array}. The arrays
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
        one sampling rate."""
        from ._mne import to_mne

        return to_mne(self, self._indexes(picks))


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
