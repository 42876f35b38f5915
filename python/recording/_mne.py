"""Recordings as MNE-Python Raw objects."""

from __future__ import annotations

import datetime as _datetime
import math
from fractions import Fraction
from typing import TYPE_CHECKING, Any, Callable, Optional

import numpy as np

from . import _recording
from ._arguments import finite

if TYPE_CHECKING:
    import mne  # type: ignore[import]  # MNE-Python carries no type hints

    from ._reading import Recording

# Physical dimensions of voltage signals and their factor to volts; other signals keep
# their own units and become "misc" channels.
# The finest resampling ratio up / down taken (the polyphase filter grows with it).
_FINEST_RATIO = 10000
_TICKS = _recording.ticks_per_second

_VOLTS = {"V": 1.0, "mV": 1e-3, "uV": 1e-6, "\u00b5V": 1e-6, "nV": 1e-9}


def _exact_rate(recording: Recording, index: int) -> Fraction:
    """A signal's sampling rate as the exact ratio it is: samples per record over the record
    duration."""
    ticks = recording._record_ticks
    spr = recording.signals[index].samples_per_record
    return Fraction(spr * _TICKS, ticks) if ticks > 0 else Fraction(0)


def _resampler(rate: Fraction, target: Fraction, name: str) -> Callable[[Any], Any]:
    """The resampling of a whole signal from `rate` to `target` Hz: a polyphase filter
    (scipy.signal.resample_poly, with its anti-aliasing filter) by the ratio up / down."""
    from scipy.signal import resample_poly  # type: ignore[import]  # MNE's own dependency

    ratio = target / rate
    up, down = ratio.numerator, ratio.denominator
    if max(up, down) > _FINEST_RATIO:
        raise ValueError(
            f"{name} ({float(rate):g} Hz) cannot be resampled to {float(target):g} Hz: the "
            f"ratio {up}/{down} is too fine; give an sfreq that is a simpler multiple"
        )
    return lambda x: resample_poly(x, up, down)


def to_mne(
    recording: Recording, indexes: list[int], sfreq: Optional[float] = None
) -> mne.io.RawArray:
    import mne

    if not indexes:
        raise ValueError("no signals picked")
    signals = [recording.signals[i] for i in indexes]
    rates = [_exact_rate(recording, i) for i in indexes]
    if sfreq is None:
        target = max(rates)
    else:
        given = finite(sfreq, "sfreq", 0.0)
        if given <= 0:
            raise ValueError(f"sfreq must be above 0, not {sfreq!r}")
        target = Fraction(given).limit_denominator(_FINEST_RATIO)
    if target <= 0:
        raise ValueError("the picked signals have no sampling rate (records of no duration)")
    # Each signal of another rate is resampled whole, segment by segment (an EDF+D or BDF+D
    # file's segments are separate runs of samples); the others are read into the Raw's array.
    resample = {
        k: _resampler(rate, target, recording.names[indexes[k]])
        for k, rate in enumerate(rates)
        if rate != target
    }
    # The Raw's time axis is the recording's: the segments of an EDF+D or BDF+D file at their
    # true places (a segment that starts between two samples on the nearest one), each gap
    # filled with zeros, as MNE's readers fill acquisition skips.
    record_seconds = Fraction(recording._record_ticks, _TICKS)
    pieces = [
        (math.floor(Fraction(start, _TICKS) * target + Fraction(1, 2)), first, records,
         math.floor(records * record_seconds * target + Fraction(1, 2)))
        for start, first, records in recording._segments
    ]
    length = pieces[-1][0] + pieces[-1][3] if pieces else 0
    gapless = len(pieces) == 1 and pieces[0][0] == 0 and pieces[0][1] == 0
    data = np.empty((len(signals), length)) if gapless and not resample else np.zeros(
        (len(signals), length))
    skips: list[tuple[float, float]] = []
    end = 0
    native = [k for k in range(len(indexes)) if k not in resample]
    for n, (at, first, records, samples) in enumerate(pieces):
        if at > end:
            skips.append((end / float(target), (at - end) / float(target)))
        # A segment rounded onto its samples ends where the next one begins.
        samples = min(samples, pieces[n + 1][0] - at) if n + 1 < len(pieces) else samples
        end = at + samples
        if not records or samples <= 0:
            continue
        if native:
            picked = [indexes[k] for k in native]
            if samples == records * signals[native[0]].samples_per_record:
                rows = [data[k, at : at + samples] for k in native]
                recording._file.read_records(picked, first, records, False, rows)
            else:
                for k, x in zip(native, recording._file.read_records(picked, first, records, False)):
                    data[k, at : at + samples] = x[:samples]
        for k, change in resample.items():
            (x,) = recording._file.read_records([indexes[k]], first, records, False)
            y = change(x)[:samples]
            data[k, at : at + len(y)] = y
    types: list[str] = []
    for row, s in zip(data, signals):
        factor = _VOLTS.get(s.unit)
        if factor is None:
            types.append("misc")
        else:
            types.append("eeg")
            if factor != 1.0:
                row *= factor
    info = mne.create_info([recording.names[i] for i in indexes], float(target), types)
    raw = mne.io.RawArray(data, info, verbose="error")
    start = recording.header.start.replace(tzinfo=_datetime.timezone.utc)
    raw.set_meas_date(start)
    annotations: list[tuple[float, float, str]] = [
        (a.onset, a.duration or 0.0, a.text) for a in recording.annotations
    ]
    annotations += [(onset, duration, "BAD_ACQ_SKIP") for onset, duration in skips]
    raw.set_annotations(
        mne.Annotations(
            onset=[a[0] for a in annotations],
            duration=[a[1] for a in annotations],
            description=[a[2] for a in annotations],
            orig_time=start,
        ),
        emit_warning=False,
    )
    return raw
