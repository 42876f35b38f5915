"""Round trips through recording.Writer / recording.write and recording.open, and the
exceptions of both sides."""

import datetime
import os

import numpy as np
import pytest

import recording

START = datetime.datetime(2021, 3, 4, 5, 6, 7, 250000)


def sine_signals(bdf):
    dmax = 8388607 if bdf else 32767
    return [
        {"label": "EEG Fz", "rate": 200, "unit": "uV", "physical_min": -500, "physical_max": 500,
         "transducer": "AgAgCl", "prefilter": "HP:0.1Hz"},
        {"label": "Resp", "rate": 25, "unit": "mV", "physical_min": -1, "physical_max": 1},
        {"label": "Code", "rate": 1, "unit": "", "digital_min": -1000, "digital_max": dmax},
    ]


@pytest.mark.parametrize("bdf", [False, True])
def test_round_trip(tmp_path, bdf):
    path = tmp_path / ("r.bdf" if bdf else "r.edf")
    seconds = 6
    t = np.arange(200 * seconds) / 200
    fz = 400 * np.sin(2 * np.pi * 3 * t)
    resp = np.linspace(-0.9, 0.9, 25 * seconds)
    code = np.arange(seconds, dtype=np.int64) * 7  # physical = digital range: stored as given
    with recording.Writer(path, sine_signals(bdf), bdf=bdf, record_duration=1.0,
                          start=START, patient={"name": "J Doe", "code": "P7", "sex": "F",
                                                "birthdate": datetime.date(1990, 5, 6)},
                          recording={"technician": "AB", "equipment": "amp"}) as w:
        # Two writes of whole records: 2 s then 4 s.
        w.write([fz[:400], resp[:50], code[:2]])
        w.write([fz[400:], resp[50:], code[2:]])
        w.annotate(0.5, None, "lights off")
        w.annotate(2.25, 1.5, "arousal \u00e9")

    with recording.open(path) as rec:
        h = rec.header
        assert h.filetype == ("BDF+" if bdf else "EDF+")
        assert h.start == START and h.duration == seconds and h.record_count == seconds
        assert (h.patient_name, h.patient_code, h.sex) == ("J Doe", "P7", "Female")
        assert h.birthdate == datetime.date(1990, 5, 6)
        assert (h.technician, h.equipment) == ("AB", "amp")
        assert [s.label for s in rec.signals] == ["EEG Fz", "Resp", "Code"]
        assert [s.sampling_rate for s in rec.signals] == [200, 25, 1]
        fz_signal = rec.signals[0]
        assert (fz_signal.unit, fz_signal.transducer, fz_signal.prefilter) == (
            "uV", "AgAgCl", "HP:0.1Hz")
        step = 1000 / ((1 << 24 if bdf else 1 << 16) - 1)
        assert np.abs(rec.read("EEG Fz") - fz).max() <= step
        assert np.abs(rec.read(1) - resp).max() <= 2 / ((1 << 24 if bdf else 1 << 16) - 1)
        digital = rec.read("Code", digital=True)
        assert digital.dtype == np.int32 and list(digital) == list(code)
        assert rec.annotations == [(0.5, None, "lights off"), (2.25, 1.5, "arousal \u00e9")]
        assert rec.problems == [] and rec.segments == [(0.0, 0, seconds)]
        # Ranges and windows agree with the whole-signal reads.
        whole = rec.read_all()
        assert np.array_equal(whole["EEG Fz"], rec.read(0))
        assert np.array_equal(rec.read(0, 395, 405), whole["EEG Fz"][395:405])
        assert len(rec.read(0, 1195, 5000)) == 5 and len(rec.read(0, 5000)) == 0
        window = rec.read_window(1.0, 2.5, signals=["EEG Fz", 1])
        assert list(window) == ["EEG Fz", "Resp"]
        assert np.array_equal(window["EEG Fz"], whole["EEG Fz"][200:500])
        assert np.array_equal(window["Resp"], whole["Resp"][25:63])


def test_write_in_one_call_and_repeated_labels(tmp_path):
    path = tmp_path / "one.edf"
    data = np.vstack([np.arange(512.0), -np.arange(512.0)])
    recording.write(path, data, rate=128, labels=["C3", "C3"], start=START,
                    annotations=[(1.0, None, "x")])
    with recording.open(path) as rec:
        assert rec.names == ["C3-0", "C3-1"]
        out = rec.read_all()
        assert np.abs(out["C3-0"] - data[0]).max() < 0.01
        assert np.abs(out["C3-1"] - data[1]).max() < 0.01
        with pytest.raises(ValueError, match="2 signals are labelled"):
            rec.read("C3")
        assert rec.annotations == [(1.0, None, "x")]


def corrupt(path, offset, text):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(text)


@pytest.mark.parametrize(
    "action, error, match",
    [
        (lambda d: recording.open(d / "missing.edf"), FileNotFoundError, "cannot be opened"),
        (lambda d: recording.open(d), IsADirectoryError, ""),
        (lambda d: recording.open(d / "short.edf"), recording.FormatError, "header"),
        (lambda d: recording.open(d / "bad.edf"), recording.FormatError, "break the"),
        (lambda d: recording.open(d / "ok.edf", annotations="some"), ValueError, "annotations"),
        (lambda d: recording.Writer(d / "no" / "x.edf", [{"rate": 1}]), FileNotFoundError, ""),
        (lambda d: recording.Writer(d / "x.edf", [{"rate": 2.5}]), ValueError, "whole number"),
        (lambda d: recording.Writer(d / "x.edf", [{"rate": 1}], start=datetime.datetime(1970, 1, 1)),
         ValueError, "start"),
        (lambda d: recording.write(d / "x.edf", np.zeros((1, 10)), rate=4), ValueError,
         "whole number of records"),
        (lambda d: recording.write(d / "x.edf", np.zeros((1, 4)), rate=4,
                                   physical_range=(1e12, 2e12)),
         ValueError, "physical"),
    ],
)
def test_errors(tmp_path, action, error, match):
    recording.write(tmp_path / "ok.edf", np.zeros((1, 8)), rate=8)
    (tmp_path / "short.edf").write_bytes(b"0" * 100)
    (tmp_path / "bad.edf").write_bytes((tmp_path / "ok.edf").read_bytes())
    corrupt(tmp_path / "bad.edf", 236, b"x")
    with pytest.raises(error, match=match) as caught:
        action(tmp_path)
    if error is recording.FormatError:
        problems = caught.value.problems
        assert caught.value.code in (-3, -5) and problems
        assert problems[0].code == caught.value.code and problems[0].field


def test_reading_arguments_and_closed_files(tmp_path):
    recording.write(tmp_path / "ok.edf", np.zeros((1, 8)), rate=8)
    rec = recording.open(tmp_path / "ok.edf")
    for bad in [lambda: rec.read(1), lambda: rec.read("nope"), lambda: rec.read(0, 5, 2),
                lambda: rec.read(0, -1), lambda: rec.read_window(2, 1)]:
        with pytest.raises(ValueError):
            bad()
    rec.close()
    with pytest.raises(ValueError, match="closed"):
        rec.read(0)
    # The same path again, now that the first handle is closed.
    with recording.open(tmp_path / "ok.edf") as again:
        with pytest.raises(recording.Error, match="already open"):
            recording.open(tmp_path / "ok.edf")
        assert len(again.read(0)) == 8


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every file")
def test_unreadable_file(tmp_path):
    path = tmp_path / "locked.edf"
    recording.write(path, np.zeros((1, 8)), rate=8)
    path.chmod(0)
    with pytest.raises(PermissionError):
        recording.open(path)


def test_tolerant_open_and_segments(tmp_path):
    """A file whose writer died ("-1" records, half a record at the end) is refused with its
    problems and read tolerantly; a discontinuous file's segments carry its true times."""
    path = tmp_path / "cut.edf"
    recording.write(path, np.arange(2560, dtype=float).reshape(2, 1280), rate=128,
                    labels=["A", "B"])
    data = bytearray(path.read_bytes())
    data[236:244] = b"-1      "
    path.write_bytes(bytes(data) + b"\x01\x02\x03")
    with pytest.raises(recording.FormatError) as caught:
        recording.open(path)
    assert [p.field for p in caught.value.problems] == ["number of data records",
                                                        "incomplete data record"]
    with recording.open(path, tolerant=True) as rec:
        assert [p.field for p in rec.problems] == [p.field for p in caught.value.problems]
        assert np.allclose(rec.read("B"), np.arange(1280, 2560), atol=0.05)
        assert rec.segments == [recording.Segment(0.0, 0, 10)]
