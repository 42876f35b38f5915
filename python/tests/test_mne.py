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


def test_to_mne_resamples_mixed_rates_whole(tmp_path):
    path = tmp_path / "mixed.edf"
    seconds, record = 20, 0.5
    # A 3 Hz sine at 100 Hz, and the same at 256 Hz; records of half a second.
    low = 200 * np.sin(2 * np.pi * 3 * np.arange(100 * seconds) / 100)
    high = 200 * np.sin(2 * np.pi * 3 * np.arange(256 * seconds) / 256)
    signals = [{"label": "Slow", "rate": 100, "unit": "uV", "physical_min": -250,
                "physical_max": 250},
               {"label": "Fast", "rate": 256, "unit": "uV", "physical_min": -250,
                "physical_max": 250}]
    with recording.Writer(path, signals, record_duration=record) as w:
        w.write([low, high])
    with recording.open(path) as rec:
        # read_all keeps every signal at its own rate.
        assert [len(a) for a in rec.read_all().values()] == [100 * seconds, 256 * seconds]
        for sfreq, expected in ((None, 256), (128, 128), (100.0, 100)):
            raw = rec.to_mne(sfreq=sfreq)
            assert raw.info["sfreq"] == expected and raw.n_times == expected * seconds
            data = raw.get_data() * 1e6
            t = np.arange(raw.n_times) / expected
            sine = 200 * np.sin(2 * np.pi * 3 * t)
            # Away from the ends (the filter's reach), at every record boundary too: no
            # artefact (resampled record by record, the error there is 3.6 uV), only the
            # filter's ripple of about 0.1 %.
            inner = slice(2 * expected, -2 * expected)
            for row in data:
                assert np.max(np.abs(row[inner] - sine[inner])) < 0.5
        # A signal at the Raw's rate is taken as stored.
        np.testing.assert_allclose(rec.to_mne(picks=["Fast"]).get_data()[0],
                                   rec.read("Fast") * 1e-6, rtol=1e-15, atol=0)
        with pytest.raises(ValueError, match="sfreq"):
            rec.to_mne(sfreq=0)
