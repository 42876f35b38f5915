"""Recording.read_windows: many windows of one shape in one array, the same samples that
read_window gives, in true time for EDF+D files too."""

import numpy as np
import pytest

import recording
from test_discontinuous import discontinuous  # noqa: F401  (the EDF+D fixture)


@pytest.fixture
def bdf(tmp_path):
    path = tmp_path / "w.bdf"
    rng = np.random.default_rng(2)
    # Two signals of 256 Hz around one of 128 Hz; records of 0.5 s.
    signals = [{"label": "A", "rate": 256, "unit": "uV", "physical_min": -500,
                "physical_max": 500},
               {"label": "Slow", "rate": 128},
               {"label": "B", "rate": 256, "unit": "uV", "physical_min": -500,
                "physical_max": 500, "digital_min": -1000, "digital_max": 1000}]
    with recording.Writer(path, signals, bdf=True, record_duration=0.5) as w:
        w.write([rng.uniform(-600, 600, 256 * 6), rng.uniform(-1, 1, 128 * 6),
                 rng.uniform(-600, 600, 256 * 6)])
    return path


# starts (unsorted, between samples, up to the end), duration, signals, digital
CASES = [
    ([3.0, 0.0, 1.25, 4.0, 0.001, 1.25], 2.0, ["A", "B"], False),
    ([5.8, 0.2], 0.1, ["B", "A"], True),
    (np.array([0.5, 2.75]), 0.3, 0, False),  # 0.3 s of 256 Hz: 77 samples
    ([], 1.0, ["A"], False),
    ([1.0], 0.0, ["A", "B"], True),
]


@pytest.mark.parametrize("starts, duration, signals, digital", CASES)
def test_read_windows_gives_read_window_samples(bdf, starts, duration, signals, digital):
    with recording.open(bdf) as rec:
        picked = signals
        windows = rec.read_windows(starts, duration, signals=signals, digital=digital)
        assert windows.dtype == (np.int32 if digital else np.float64)
        names = [rec.names[rec.signal_index(s)] for s in np.atleast_1d(picked)]
        expected = int(np.ceil(round(duration * 256, 6)))
        assert windows.shape == (len(starts), len(names), expected)
        for w, start in enumerate(starts):
            # From the first sample at or after the start, as read_window takes it.
            window = rec.read_window(start, rec.header.duration, names, digital=digital)
            for i, name in enumerate(names):
                np.testing.assert_array_equal(windows[w, i], window[name][:expected])


MISTAKES = [
    (([0.0], 1.0, None), ValueError, r"one sampling rate.*A \(256 Hz\), Slow \(128 Hz\)"),
    (([4.5], 1.6, ["A"]), ValueError, r"window 0 \(4.5 s to 6.1 s\) lies outside"),
    (([1.0, -0.5], 1.0, ["A"]), ValueError, "window 1"),
    (([np.nan], 1.0, ["A"]), ValueError, "outside"),
    (([[0.0]], 1.0, ["A"]), ValueError, "1-D"),
    ((["0"], 1.0, ["A"]), TypeError, "numbers"),
    (([0.0], -1.0, ["A"]), ValueError, "duration"),
]


@pytest.mark.parametrize("arguments, error, message", MISTAKES)
def test_read_windows_refuses(bdf, arguments, error, message):
    with recording.open(bdf) as rec:
        with pytest.raises(error, match=message):
            rec.read_windows(*arguments)


@pytest.mark.parametrize("digital, fill", [(False, None), (False, -1.0), (True, 7), (True, None)])
def test_read_windows_in_true_time(discontinuous, digital, fill):  # noqa: F811
    # Windows inside segments, across a gap, and inside a gap (see test_discontinuous).
    starts = [0.0, 1.5, 5.25, 3.0, 9.25]
    with recording.open(discontinuous, tolerant=True) as rec:
        if digital and fill is None:
            with pytest.raises(ValueError, match="window 1 .* gap"):
                rec.read_windows(starts, 0.75, "A", digital=True)
            return
        windows = rec.read_windows(starts, 0.75, "A", digital=digital, fill=fill)
        assert windows.shape == (5, 1, 3)
        for w, start in enumerate(starts):
            expected = rec.read_window(start, start + 0.75, "A", digital, fill)["A"]
            np.testing.assert_array_equal(windows[w, 0], expected)
