"""EDF+D files in true time: read_window places the segments at their starts (gaps hold fill
values, or refuse digital reads), and to_mne keeps the time axis with its gaps marked."""

import math

import numpy as np
import pytest

import recording

# Segments (start in seconds, records of 1 s); the last starts between samples of A (9.3 s
# is sample 37.2 of 4 Hz, placed on 37) and on a sample of B (18.6 of 2 Hz, placed on 19).
SEGMENTS = [(0.0, 2), (5.0, 2), (9.3, 1)]
RATES = {"A": 4, "B": 2}
ANNOTATIONS = [(0.5, None, "lights off"), (3.0, None, "in a gap"), (5.25, 1.0, "arousal"),
               (9.5, None, "last segment")]


def segment_samples(start, records, rate):
    """The samples of a segment on the time axis; each stores its own number."""
    first = math.floor(start * rate + 0.5)
    return list(range(first, first + records * rate))


def placed(rate):
    """{sample on the time axis: value} of a signal over all segments."""
    return {k: k for start, records in SEGMENTS for k in segment_samples(start, records, rate)}


@pytest.fixture
def discontinuous(tmp_path):
    path = tmp_path / "gaps.edf"
    signals = [{"label": label, "rate": rate} for label, rate in RATES.items()]
    with recording.Writer(path, signals, discontinuous=True) as w:
        for start, records in SEGMENTS:
            w.write([segment_samples(start, records, rate) for rate in RATES.values()],
                    start=start)
        for a in ANNOTATIONS:
            w.annotate(*a)
    return path


NAN = math.nan
WINDOWS = [
    # t0, t1, signal, digital, fill, expected samples (k for sample k, else the fill)
    (0, 2, "A", False, None, list(range(8))),
    (1.5, 6, "A", False, None, [6, 7] + [NAN] * 12 + [20, 21, 22, 23]),
    (1.5, 6, "B", False, -1.0, [3] + [-1] * 6 + [10, 11]),
    (7.9, 9.4, "B", False, None, [NAN] * 3),
    (9.0, math.inf, "A", False, None, [NAN, 37, 38, 39, 40]),
    (5, 7, "A", True, None, list(range(20, 28))),
    (1.5, 6, "B", True, 0, [3, 0, 0, 0, 0, 0, 0, 10, 11]),
    (1.5, 6, "B", True, None, ValueError),
    (11, 20, "A", True, None, []),
]


@pytest.mark.parametrize("t0, t1, signal, digital, fill, expected", WINDOWS)
def test_read_window_in_true_time(discontinuous, t0, t1, signal, digital, fill, expected):
    with recording.open(discontinuous, tolerant=True) as rec:
        assert rec.segments == [(0.0, 0, 2), (5.0, 2, 2), (9.3, 4, 1)]
        assert rec.header.duration == pytest.approx(10.3)
        if expected is ValueError:
            with pytest.raises(ValueError, match="gap"):
                rec.read_window(t0, t1, signals=signal, digital=digital, fill=fill)
            return
        window = rec.read_window(t0, t1, signals=signal, digital=digital, fill=fill)[signal]
        assert window.dtype == (np.int32 if digital else np.float64)
        np.testing.assert_array_equal(window, np.array(expected, dtype=window.dtype))


@pytest.mark.parametrize("signal", list(RATES))
def test_to_mne_follows_the_time_axis(discontinuous, signal):
    pytest.importorskip("mne")
    rate = RATES[signal]
    samples = placed(rate)
    with recording.open(discontinuous, tolerant=True) as rec:
        raw = rec.to_mne(picks=[signal])
        stored = rec.read(signal)
        segments = rec.segments
    data = raw.get_data()[0]
    assert raw.n_times == max(samples) + 1
    # Stored samples at their true places, zeros in the gaps.
    np.testing.assert_array_equal(data, [samples.get(k, 0) for k in range(raw.n_times)])
    # Each gap is one BAD_ACQ_SKIP from the end of a segment to the next one's start.
    skips = [(a["onset"], a["duration"]) for a in raw.annotations
             if a["description"] == "BAD_ACQ_SKIP"]
    ends = [s.start + s.records for s in segments[:-1]]
    starts = [math.floor(s.start * rate + 0.5) / rate for s in segments[1:]]
    np.testing.assert_allclose(skips, [(e, s - e) for e, s in zip(ends, starts)])
    # The file's annotations keep their onsets, and the sample there is the stored one.
    ours = [(a["onset"], a["duration"] or None, a["description"]) for a in raw.annotations
            if a["description"] != "BAD_ACQ_SKIP"]
    assert ours == [(o, d, t) for o, d, t in ANNOTATIONS]
    for onset, _, text in ANNOTATIONS:
        k = raw.time_as_index(onset)[0]
        assert data[k] == samples.get(k, 0), text
    # MNE leaves out the skips: what remains is every stored sample, in order.
    np.testing.assert_array_equal(
        raw.get_data(reject_by_annotation="omit", verbose="error")[0], stored)
