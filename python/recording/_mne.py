"""Recordings as MNE-Python Raw objects."""

import datetime as _datetime

import numpy as np

# Physical dimensions of voltage signals and their factor to volts; other signals keep
# their own units and become "misc" channels.
_VOLTS = {"V": 1.0, "mV": 1e-3, "uV": 1e-6, "\u00b5V": 1e-6, "nV": 1e-9}


def to_mne(recording, indexes):
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
    samples = signals[0].sample_count
    data = np.empty((len(signals), samples))
    recording._file.read_records(indexes, 0, recording.header.record_count, False, list(data))
    types = []
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
    annotations = recording.annotations
    raw.set_annotations(
        mne.Annotations(
            onset=[a.onset for a in annotations],
            duration=[a.duration or 0.0 for a in annotations],
            description=[a.text for a in annotations],
            orig_time=start,
        ),
        emit_warning=False,
    )
    return raw
