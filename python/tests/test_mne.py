"""The module's MNE export against MNE's own EDF reader on the same file."""

import datetime

import numpy as np
import pytest

import recording

mne = pytest.importorskip("mne")


def test_to_mne_matches_mne_reader(tmp_path):
    path = tmp_path / "mne.edf"
    rng = np.random.default_rng(1)
    start = datetime.datetime(2022, 7, 8, 9, 10, 11)
    signals = [{"label": f"EEG {i}", "rate": 256, "unit": "uV", "physical_min": -300,
                "physical_max": 300} for i in range(3)]
    signals.append({"label": "Temp", "rate": 256, "unit": "degC", "physical_min": 20,
                    "physical_max": 40})
    data = np.vstack([rng.uniform(-250, 250, (3, 256 * 4)), rng.uniform(30, 37, (1, 256 * 4))])
    with recording.Writer(path, signals, start=start) as w:
        w.write(data)
        w.annotate(1.25, 0.5, "spindle")
        w.annotate(3.0, None, "K complex")

    theirs = mne.io.read_raw_edf(path, preload=True, verbose="error")
    with recording.open(path) as rec:
        ours = rec.to_mne()
        assert ours.ch_names == theirs.ch_names == ["EEG 0", "EEG 1", "EEG 2", "Temp"]
        assert ours.info["sfreq"] == theirs.info["sfreq"] == 256
        assert ours.info["meas_date"] == theirs.info["meas_date"]
        # Volts for the EEG channels (MNE scales them alike); the rest as stored.
        np.testing.assert_allclose(ours.get_data()[:3], theirs.get_data()[:3], rtol=0,
                                   atol=1e-12)
        np.testing.assert_allclose(ours.get_data()[3], rec.read("Temp"))
        for a, b in ((ours.annotations, theirs.annotations),):
            assert list(a.description) == list(b.description) == ["spindle", "K complex"]
            np.testing.assert_allclose(a.onset, b.onset)
            np.testing.assert_allclose(a.duration, b.duration)


def test_to_mne_refuses_mixed_rates_unless_picked(tmp_path):
    path = tmp_path / "mixed.edf"
    with recording.Writer(path, [{"label": "EEG", "rate": 100, "unit": "uV"},
                                 {"label": "Pulse", "rate": 1, "unit": "bpm"}]) as w:
        w.write([np.zeros(200), np.zeros(2)])
    with recording.open(path) as rec:
        with pytest.raises(ValueError, match=r"EEG \(100 Hz\), Pulse \(1 Hz\)"):
            rec.to_mne()
        raw = rec.to_mne(picks=["EEG"])
        assert raw.ch_names == ["EEG"] and raw.n_times == 200
