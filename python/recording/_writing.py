"""Writing: EDF+ and BDF+ files from NumPy arrays."""

import datetime as _datetime
import os
from fractions import Fraction

import numpy as np

from . import _recording

_DIGITAL_RANGES = {False: (-32768, 32767), True: (-8388608, 8388607)}
_SEXES = {None: None, "": None, "F": 0, "female": 0, "M": 1, "male": 1}


def _field(description, *names, default=None):
    """A signal description's field, from a dict or from attributes (so that the Signal
    objects of a Recording describe the signals of a copy)."""
    for name in names:
        if isinstance(description, dict):
            if description.get(name) is not None:
                return description[name]
        elif getattr(description, name, None) is not None:
            return getattr(description, name)
    return default


def _samples_per_record(rate, record_duration, where):
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
    """Writes an EDF+ (or, with bdf=True, BDF+) file.

    signals: one description per signal, a dict (or an object with these attributes):
    label, rate (Hz; or sampling_rate), unit, physical_min, physical_max, digital_min,
    digital_max, transducer, prefilter. The digital range defaults to the file type's full
    range, the physical range to the digital range (values stored as they are given).
    start: a datetime (default: the time of the first write). patient: a name, or a dict
    with name, code, sex ("M"/"F"), birthdate (date), additional. recording: a text for the
    additional field, or a dict with admin_code, technician, equipment, additional.
    """

    def __init__(
        self,
        path,
        signals,
        bdf=False,
        record_duration=1.0,
        start=None,
        patient=None,
        recording=None,
    ):
        self.path = os.fspath(path)
        if record_duration <= 0:
            raise ValueError("record_duration must be positive")
        descriptions = []
        dmin_default, dmax_default = _DIGITAL_RANGES[bool(bdf)]
        for i, s in enumerate(signals):
            rate = _field(s, "rate", "sampling_rate")
            if rate is None:
                raise ValueError(f"signal {i}: no rate")
            dmin = int(_field(s, "digital_min", default=dmin_default))
            dmax = int(_field(s, "digital_max", default=dmax_default))
            if not -(2**31) <= dmin <= dmax < 2**31:
                raise ValueError(f"signal {i}: digital range {dmin} to {dmax}")
            descriptions.append(
                {
                    "label": str(_field(s, "label", default="")),
                    "unit": str(_field(s, "unit", default="")),
                    "transducer": str(_field(s, "transducer", default="")),
                    "prefilter": str(_field(s, "prefilter", default="")),
                    "samples_per_record": _samples_per_record(
                        rate, record_duration, f"signal {i}"
                    ),
                    "physical_min": float(_field(s, "physical_min", default=dmin)),
                    "physical_max": float(_field(s, "physical_max", default=dmax)),
                    "digital_min": dmin,
                    "digital_max": dmax,
                }
            )
        self._samples_per_record = [s["samples_per_record"] for s in descriptions]
        duration_us = round(record_duration * 1e6)
        if abs(duration_us - record_duration * 1e6) > 1e-3:
            raise ValueError("record_duration must be a whole number of microseconds")
        start_fields = None
        if start is not None:
            start_fields = (
                start.year,
                start.month,
                start.day,
                start.hour,
                start.minute,
                start.second,
                start.microsecond * 10,
            )
        self._writer = _recording.Writer(
            self.path,
            bool(bdf),
            descriptions,
            duration_us,
            start_fields,
            _patient_fields(patient),
            _recording_fields(recording),
        )

    def write(self, arrays):
        """Writes whole records: one array per signal (or a 2-D array, one row per signal),
        each holding the same whole number of records. Floating-point arrays are physical
        values, integer arrays digital values."""
        if isinstance(arrays, np.ndarray) and arrays.ndim == 2:
            arrays = list(arrays)
        converted = []
        for a in arrays:
            a = np.asarray(a)
            if a.dtype.kind in "iub":
                a = np.ascontiguousarray(a, dtype=np.intc)
            else:
                a = np.ascontiguousarray(a, dtype=np.float64)
            if a.ndim != 1:
                raise ValueError("each signal's samples must be a 1-D array")
            converted.append(a)
        self._writer.write(converted)

    def annotate(self, onset, duration=None, text=""):
        """Queues an annotation: onset and duration in seconds (duration None: none)."""
        if onset < 0:
            raise ValueError("an annotation's onset must not be negative")
        if duration is not None and duration < 0:
            raise ValueError("an annotation's duration must not be negative")
        self._writer.annotate(
            round(onset * 1e6), -1 if duration is None else round(duration * 1e6), str(text)
        )

    def close(self):
        """Finishes the file: writes the record count and the annotations."""
        self._writer.close()

    @property
    def closed(self):
        return self._writer.closed

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _patient_fields(patient):
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


def _recording_fields(recording):
    if recording is None:
        return {}
    if isinstance(recording, str):
        return {"additional": recording}
    return dict(recording)


def write(
    path,
    data,
    rate,
    labels=None,
    units="uV",
    bdf=False,
    record_duration=1.0,
    physical_range=None,
    annotations=(),
    **header,
):
    """Writes a 2-D array (signals x samples) in one call. rate: Hz, one for all signals.
    labels: one per signal (default "1", "2", ...); units: one text or one per signal.
    physical_range: (min, max) for all signals, or one pair per signal; by default each
    signal's own minimum and maximum. annotations: (onset, duration or None, text) triples.
    Further keywords (start, patient, recording) go to Writer. The sample count must be a
    whole number of records."""
    data = np.asarray(data)
    if data.ndim != 2:
        raise ValueError("data must be a 2-D array, one row per signal")
    count = data.shape[0]
    labels = [str(i + 1) for i in range(count)] if labels is None else list(labels)
    units = [units] * count if isinstance(units, str) else list(units)
    if len(labels) != count or len(units) != count:
        raise ValueError("one label and one unit per signal are needed")
    if physical_range is None:
        ranges = []
        for row in data:
            low, high = (float(row.min()), float(row.max())) if row.size else (0.0, 0.0)
            if low == high:
                low, high = low - 1.0, high + 1.0
            ranges.append((low, high))
    elif np.ndim(physical_range) == 1:
        ranges = [tuple(physical_range)] * count
    else:
        ranges = [tuple(r) for r in physical_range]
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
    spr = _samples_per_record(rate, record_duration, "rate")
    if data.shape[1] % spr:
        raise ValueError(
            f"{data.shape[1]} samples are not a whole number of records of {spr} samples"
        )
    with Writer(path, signals, bdf=bdf, record_duration=record_duration, **header) as writer:
        writer.write(np.asarray(data, dtype=np.float64))
        for onset, duration, text in annotations:
            writer.annotate(onset, duration, text)

