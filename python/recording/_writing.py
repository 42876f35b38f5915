"""Writing: EDF+ and BDF+ files from NumPy arrays."""

from __future__ import annotations

import datetime as _datetime
import math
import numbers
import operator
import os
import stat
from collections.abc import Iterable, Mapping, Sequence
from fractions import Fraction
from types import TracebackType
from typing import Any, Optional, Union, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _recording
from ._arguments import finite, real, whole
from ._handles import opening
from ._limits import outward, stored_text
from ._reading import Signal
from ._types import Real, StrPath

# A signal to write: a dict of its fields, or an object with them as attributes (such as the
# Signal of a Recording).
SignalDescription = Union[Mapping[str, Any], Signal]
# The patient: a name, or a dict with name, code, sex, birthdate and additional.
Patient = Union[str, Mapping[str, Any], None]
# The recording identification: the additional text, or a dict with admin_code, technician,
# equipment and additional.
RecordingFields = Union[str, Mapping[str, Any], None]
# An annotation to write: (onset in seconds, duration in seconds or None, text).
AnnotationEntry = tuple[Real, Optional[Real], str]

_DIGITAL_RANGES = {False: (-32768, 32767), True: (-8388608, 8388607)}
_SEXES: dict[Optional[str], Optional[int]] = {
    None: None, "": None, "F": 0, "female": 0, "M": 1, "male": 1
}
# The library's limits: annotation onsets and durations in seconds, record starts in
# microseconds.
_MAX_ONSET = 922337203684.47
_MAX_DURATION = 922337203685.4775
_MAX_RECORD_START_US = 2**62 // 10


def _field(description: object, *names: str, default: Any = None) -> Any:
    """A signal description's field, from a dict or from attributes (so that the Signal
    objects of a Recording describe the signals of a copy)."""
    for name in names:
        if isinstance(description, dict):
            if description.get(name) is not None:
                return description[name]
        elif getattr(description, name, None) is not None:
            return getattr(description, name)
    return default


def _samples_per_record(rate: object, record_duration: float, where: str) -> int:
    rate = finite(rate, f"{where}: rate", 0)
    spr = Fraction(rate).limit_denominator(10**6) * Fraction(record_duration).limit_denominator(
        10**6
    )
    if spr.denominator != 1 or not 1 <= spr < 2**31:
        raise ValueError(
            f"{where}: {rate} Hz gives {float(spr):g} samples per record of "
            f"{record_duration} s; a record must hold a whole number of samples"
        )
    return int(spr)


class Writer:
    """Writes an EDF+ (or, with bdf=True, BDF+) file at `path` (kept as a str); with
    discontinuous=True an EDF+D (BDF+D) file, whose records may start later than the
    previous one ends (write's start=).

    signals: one description per signal, a dict (or an object with these attributes):
    label, rate (Hz; or sampling_rate), unit, physical_min, physical_max, digital_min,
    digital_max, transducer, prefilter. The digital range defaults to the file type's full
    range, the physical range to the digital range (values stored as they are given). The
    header holds each physical limit in eight characters: a limit that does not fit is
    stored as the nearest eight-character value outside the range (123456.789 as
    "123456.8"), so that no sample within the range is clipped.
    start: a datetime (microseconds kept) or a POSIX timestamp in seconds (taken as local
    time, kept to 100 ns); default: the time of the first write. patient: a name, or a dict
    with name, code, sex ("M"/"F"), birthdate (date), additional. recording: a text for the
    additional field, or a dict with admin_code, technician, equipment, additional.

    Used as a context manager, the file is closed at the end of the block; when the block
    raises, the file is closed with the records written so far and the block's exception
    goes on alone. A signal description that cannot make a header (limits the header cannot
    hold, say) removes the file and raises ValueError.

    Threads: writes and closes release the GIL, and writers of different files run in
    parallel; threads sharing one Writer take turns, each write() whole.
    """

    path: str

    def __init__(
        self,
        path: StrPath,
        signals: Iterable[SignalDescription],
        bdf: bool = False,
        record_duration: Real = 1.0,
        start: Union[_datetime.datetime, Real, None] = None,
        patient: Patient = None,
        recording: RecordingFields = None,
        discontinuous: bool = False,
    ) -> None:
        self.path = os.fspath(path)
        record_duration = finite(record_duration, "record_duration", 0, 60)
        if record_duration <= 0:
            raise ValueError("record_duration must be positive")
        descriptions: list[dict[str, Any]] = []
        dmin_default, dmax_default = _DIGITAL_RANGES[bool(bdf)]
        for i, s in enumerate(signals):
            rate = _field(s, "rate", "sampling_rate")
            if rate is None:
                raise ValueError(f"signal {i}: no rate")
            dmin = whole(_field(s, "digital_min", default=dmin_default), f"signal {i}: digital_min")
            dmax = whole(_field(s, "digital_max", default=dmax_default), f"signal {i}: digital_max")
            if not -(2**31) <= dmin <= dmax < 2**31:
                raise ValueError(f"signal {i}: digital range {dmin} to {dmax}")
            pmin = real(_field(s, "physical_min", default=dmin), f"signal {i}: physical_min")
            pmax = real(_field(s, "physical_max", default=dmax), f"signal {i}: physical_max")
            # The limits' eight-character texts, rounded outward (an inverted scale, maximum
            # below minimum, rounds the other way).
            pmin, pmax = outward(pmin, pmax < pmin), outward(pmax, pmax > pmin)
            if not all(math.isfinite(v) and -1e7 < v < 1e8 for v in (pmin, pmax)) or float(
                stored_text(pmin)
            ) == float(stored_text(pmax)):
                # Refused before the file is created, so that an existing file stays.
                raise ValueError(
                    f"signal {i}: the physical range {pmin:g} to {pmax:g} cannot be written in "
                    "the header's eight characters (limits above -10000000 and below "
                    "100000000, and distinct in eight characters)"
                )
            descriptions.append(
                {
                    "label": str(_field(s, "label", default="")),
                    "unit": str(_field(s, "unit", default="")),
                    "transducer": str(_field(s, "transducer", default="")),
                    "prefilter": str(_field(s, "prefilter", default="")),
                    "samples_per_record": _samples_per_record(
                        rate, record_duration, f"signal {i}"
                    ),
                    "physical_min": pmin,
                    "physical_max": pmax,
                    "digital_min": dmin,
                    "digital_max": dmax,
                }
            )
        self._samples_per_record = [s["samples_per_record"] for s in descriptions]
        self._digital_ranges = [(s["digital_min"], s["digital_max"]) for s in descriptions]
        self._discontinuous = bool(discontinuous)
        duration_us = round(record_duration * 1e6)
        if abs(duration_us - record_duration * 1e6) > 1e-3:
            raise ValueError("record_duration must be a whole number of microseconds")
        start_fields = None if start is None else _start_fields(start)
        fields = (
            self.path,
            bool(bdf),
            descriptions,
            duration_us,
            start_fields,
            _patient_fields(patient),
            _recording_fields(recording),
            self._discontinuous,
        )
        self._writer = opening(lambda: _recording.Writer(*fields))

    def write(
        self,
        arrays: Union[NDArray[Any], Iterable[ArrayLike]],
        digital: bool = False,
        start: Optional[Real] = None,
    ) -> None:
        """Writes whole records: one array per signal (or a 2-D array, one row per signal),
        each holding the same whole number of records.

        The samples are physical values, whatever their dtype (booleans, integers, floats),
        converted as the library does; values beyond the physical range take the nearest
        limit. digital=True: they are digital values (integers, or floats with whole values),
        and those beyond a signal's digital range take the nearest limit, as the library
        clips them (never wrapped into the 32-bit range). Other dtypes raise TypeError.

        start: in a discontinuous file, the start of the first record written, in seconds
        from the start of the recording (kept to the microsecond; 0 for the file's first
        record, later ones at or after the end of the record before); records without a
        start follow the one before."""
        if isinstance(arrays, np.ndarray) and arrays.ndim == 2:
            arrays = list(arrays)
        arrays = list(arrays)
        if len(arrays) != len(self._samples_per_record):
            raise ValueError(
                f"one array per signal is needed: {len(arrays)} for "
                f"{len(self._samples_per_record)} signals"
            )
        converted = []
        records = None
        for i, a in enumerate(arrays):
            a = _digital(a, i, *self._digital_ranges[i]) if digital else _physical(a, i)
            spr = self._samples_per_record[i]
            if a.size % spr or (records is not None and a.size // spr != records):
                raise ValueError(
                    f"array {i} does not hold the same whole number of records as the others"
                )
            records = a.size // spr
            converted.append(a)
        if start is not None:
            if not self._discontinuous:
                raise ValueError("start= places records of a discontinuous file: give "
                                 "discontinuous=True to Writer")
            start_us = round(finite(start, "start", 0, _MAX_RECORD_START_US / 1e6) * 1e6)
            self._writer.record_start(start_us)
        self._writer.write(converted)

    def annotate(self, onset: Real, duration: Optional[Real] = None, text: str = "") -> None:
        """Queues an annotation: onset and duration in seconds (duration None: none), onset
        counted from the start of the recording (true time in a discontinuous file)."""
        onset = finite(onset, "an annotation's onset", 0, _MAX_ONSET)
        if duration is not None:
            duration = finite(duration, "an annotation's duration", 0, _MAX_DURATION)
        self._writer.annotate(
            round(onset * 1e6), -1 if duration is None else round(duration * 1e6), str(text)
        )

    def close(self) -> None:
        """Finishes the file: writes the record count and the annotations. When the signal
        descriptions cannot make a header, nothing was written: the empty file is removed
        and ValueError raised."""
        self._writer.close()

    @property
    def closed(self) -> bool:
        """Whether the file is closed: by close(), by the end of the with block, or by a
        refused signal description."""
        return self._writer.closed

    def __enter__(self) -> Writer:
        return self

    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        if exc_type is None:
            self.close()
            return
        try:
            self.close()
        except Exception:  # the block's exception is the one to report
            pass

    def _abandon(self) -> None:
        """Closes without raising and removes the file."""
        try:
            self.close()
        except Exception:
            pass
        try:
            # Only a regular file that the writer made: never a device such as /dev/null.
            if stat.S_ISREG(os.lstat(self.path).st_mode):
                os.remove(self.path)
        except FileNotFoundError:
            pass


def _physical(a: ArrayLike, i: int) -> NDArray[np.float64]:
    """Samples as a contiguous float64 array."""
    a = np.asarray(a)
    if a.ndim != 1:
        raise ValueError(f"array {i}: each signal's samples must be a 1-D array")
    kind = a.dtype.kind
    if kind == "O" and all(isinstance(x, numbers.Real) for x in a):
        try:
            return np.array([float(x) for x in a], dtype=np.float64)
        except OverflowError:
            raise ValueError(f"array {i}: a sample is too large for a float") from None
    if kind not in "biuf":
        raise TypeError(f"array {i}: samples of dtype {a.dtype} are not real numbers")
    return np.ascontiguousarray(a, dtype=np.float64)


def _digital(a: ArrayLike, i: int, low: int, high: int) -> NDArray[np.int32]:
    """Digital samples as a contiguous int32 array, clipped to [low, high]."""
    a = np.asarray(a)
    if a.ndim != 1:
        raise ValueError(f"array {i}: each signal's samples must be a 1-D array")
    kind = a.dtype.kind
    if kind == "O":
        try:
            values = [min(max(operator.index(x), low), high) for x in a]
        except TypeError:
            raise TypeError(f"array {i}: digital samples must be integers") from None
        return np.array(values, dtype=np.intc)
    if kind == "f":
        if not np.all(np.isfinite(a)) or np.any(np.trunc(a) != a):
            raise ValueError(f"array {i}: digital samples must be whole numbers")
    elif kind == "u":
        if a.dtype.itemsize == 8:
            a = np.minimum(a, np.uint64(2**31))  # beyond any digital maximum: clipped alike
    elif kind not in "bi":
        raise TypeError(f"array {i}: samples of dtype {a.dtype} are not digital values")
    # In a type that holds every value (floats are whole and compared as they are).
    wide = a.astype(np.float64 if kind == "f" else np.int64)
    return np.ascontiguousarray(np.clip(wide, low, high), dtype=np.intc)


def _start_fields(start: object) -> tuple[int, int, int, int, int, int, int]:
    """(year, month, day, hour, minute, second, ticks) of a datetime or POSIX timestamp."""
    if isinstance(start, _datetime.datetime):
        # pandas' Timestamp carries nanoseconds too.
        ticks = start.microsecond * 10 + getattr(start, "nanosecond", 0) // 100
    elif isinstance(start, numbers.Real) and not isinstance(start, bool):
        seconds = finite(start, "start")
        whole_seconds = math.floor(seconds)
        ticks = round((seconds - whole_seconds) * 1e7)
        if ticks == 10**7:
            whole_seconds, ticks = whole_seconds + 1, 0
        try:
            start = _datetime.datetime.fromtimestamp(whole_seconds)
        except (OverflowError, OSError, ValueError):
            raise ValueError(f"start {seconds!r} is not a time the header can hold") from None
    else:
        raise TypeError(
            f"start must be a datetime or a POSIX timestamp, not {type(start).__name__}"
        )
    return (start.year, start.month, start.day, start.hour, start.minute, start.second, ticks)


def _patient_fields(patient: Patient) -> dict[str, Any]:
    if patient is None:
        return {}
    if isinstance(patient, str):
        return {"name": patient}
    fields = dict(patient)
    sex = fields.get("sex")
    if sex not in _SEXES:
        raise ValueError(f"sex must be 'M' or 'F', not {sex!r}")
    fields["sex"] = _SEXES[sex]
    birthdate = fields.get("birthdate")
    if birthdate is not None:
        fields["birthdate"] = (birthdate.year, birthdate.month, birthdate.day)
    return fields


def _recording_fields(recording: RecordingFields) -> dict[str, Any]:
    if recording is None:
        return {}
    if isinstance(recording, str):
        return {"additional": recording}
    return dict(recording)


def write(
    path: StrPath,
    data: ArrayLike,
    rate: Real,
    labels: Optional[Sequence[str]] = None,
    units: Union[str, Sequence[str]] = "uV",
    bdf: bool = False,
    record_duration: Real = 1.0,
    physical_range: Union[tuple[Real, Real], Sequence[tuple[Real, Real]], None] = None,
    annotations: Iterable[AnnotationEntry] = (),
    start: Union[_datetime.datetime, Real, None] = None,
    patient: Patient = None,
    recording: RecordingFields = None,
    discontinuous: bool = False,
) -> None:
    """Writes a 2-D array (signals x samples) of physical values in one call. rate: Hz, one
    for all signals. labels: one per signal (default "1", "2", ...); units: one text or one
    per signal. physical_range: (min, max) for all signals, or one pair per signal; by
    default each signal's own minimum and maximum (of its finite values). Either way the
    limits are stored as the nearest eight-character texts that hold them (see Writer), so
    that every sample reads back within one step of its value. annotations: (onset, duration
    or None, text) triples. start, patient, recording and discontinuous: as for Writer.
    The sample count must be a whole number of records.

    All or nothing: when any part fails, the exception is raised once and no file is left
    at `path`."""
    data = np.asarray(data)
    if data.ndim != 2:
        raise ValueError("data must be a 2-D array, one row per signal")
    count = data.shape[0]
    rows = [_physical(row, i) for i, row in enumerate(data)]
    labels = [str(i + 1) for i in range(count)] if labels is None else list(labels)
    units = [units] * count if isinstance(units, str) else list(units)
    if len(labels) != count or len(units) != count:
        raise ValueError("one label and one unit per signal are needed")
    ranges: list[tuple[Any, ...]] = []
    if physical_range is None:
        for row in rows:
            values = row[np.isfinite(row)]
            low, high = (float(values.min()), float(values.max())) if values.size else (0.0, 0.0)
            if low == high:
                low, high = low - 1.0, high + 1.0
            ranges.append((low, high))
    elif np.ndim(cast(Any, physical_range)) == 1:
        ranges = [tuple(cast(Iterable[Real], physical_range))] * count
    else:
        ranges = [tuple(cast(Iterable[Real], r)) for r in physical_range]
    if len(ranges) != count or any(len(r) != 2 for r in ranges):
        raise ValueError("physical_range: one (min, max) pair, or one per signal")
    signals = [
        {
            "label": labels[i],
            "unit": units[i],
            "rate": rate,
            "physical_min": ranges[i][0],
            "physical_max": ranges[i][1],
        }
        for i in range(count)
    ]
    spr = _samples_per_record(rate, finite(record_duration, "record_duration", 0, 60), "rate")
    if data.shape[1] % spr:
        raise ValueError(
            f"{data.shape[1]} samples are not a whole number of records of {spr} samples"
        )
    writer = Writer(
        path,
        signals,
        bdf=bdf,
        record_duration=record_duration,
        start=start,
        patient=patient,
        recording=recording,
        discontinuous=discontinuous,
    )
    try:
        writer.write(rows)
        for onset, duration, text in annotations:
            writer.annotate(onset, duration, text)
        writer.close()
    except BaseException:
        writer._abandon()
        raise
