"""Recordings as MNE-Python Raw objects."""

from __future__ import annotations

import datetime as _datetime
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    import mne  # type: ignore[import]  # MNE-Python carries no type hints

    from ._reading import Recording

# Physical dimensions of voltage signals and their factor to volts; other signals keep
# their own units and become "misc" channels.
_VOLTS = {"V": 1.0, "mV": 1e-3, "uV": 1e-6, "\u00b5V": 1e-6, "nV": 1e-9}


def to_mne(recording: Recording, indexes: list[int]) -> mne.io.RawArray:
    import mne

    if not indexes:
        raise ValueError("no signals picked")
    signals = [recording.signals[i] for i in indexes]
    rates = sorted({s.sampling_rate for s in signals})
    if len(rates) > 1:
        listing = ", ".join(f"{recording.names[s.index]} ({s.sampling_rate:g} Hz)" for s in signals)
        raise ValueError(
            "an MNE Raw holds one sampling rate, these signals have "
            f"{len(rates)}: {listing}; pick signals of one rate"
        )
    # The Raw's time axis is the recording's: the segments of an EDF+D or BDF+D file at their
    # true places, each gap filled with zeros, as MNE's readers fill acquisition skips.
    pieces = recording._pieces(indexes[0])
    length = pieces[-1].at + pieces[-1].samples if pieces else 0
    gapless = len(pieces) == 1 and pieces[0].at == 0 and pieces[0].stored == 0
    data = np.empty((len(signals), length)) if gapless else np.zeros((len(signals), length))
    skips: list[tuple[float, float]] = []
    end = 0
    for p in pieces:
        if p.at > end:
            skips.append((end / rates[0], (p.at - end) / rates[0]))
        end = p.at + p.samples
        if p.records:
            rows = [row[p.at : p.at + p.samples] for row in data]
            recording._file.read_records(indexes, p.first_record, p.records, False, rows)
    types: list[str] = []
    for row, s in zip(data, signals):
        factor = _VOLTS.get(s.unit)
        if factor is None:
            types.append("misc")
        else:
            types.append("eeg")
            if factor != 1.0:
                row *= factor
    info = mne.create_info([recording.names[i] for i in indexes], rates[0], types)
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
