"""recording.repair, recording.recover and recording.continuous_copy over the library's file
operations: what each does to a file, and the exceptions of what it refuses."""

import numpy as np
import pytest

import recording

RATE = 10  # samples per 1-second record


def write(path, records=4):
    data = (np.arange(records * RATE, dtype=np.int32) % 1000).reshape(1, -1)
    recording.write(path, data, rate=RATE, labels=["A"], physical_range=(0, 999))
    with recording.open(path) as rec:
        return rec.read(0, digital=True)


def unfinished(path, records=4):
    """A file as a writer that died leaves it: count "-1", part of a record at the end."""
    samples = write(path, records)
    raw = bytearray(path.read_bytes())
    raw[236:244] = b"-1      "
    path.write_bytes(bytes(raw) + b"\0" * 7)
    return samples


def test_repair(tmp_path):
    source, copy = tmp_path / "broken.edf", tmp_path / "fixed.edf"
    samples = unfinished(source)
    before = source.read_bytes()
    problems = recording.repair(source, copy)
    assert problems == recording.check(source)
    assert {p.field for p in problems} >= {"number of data records"}
    assert source.read_bytes() == before
    with recording.open(copy) as rec:
        np.testing.assert_array_equal(rec.read(0, digital=True), samples)
    with pytest.raises(FileExistsError):
        recording.repair(source, copy)
    assert recording.repair(source, copy, overwrite=True) == problems
    with pytest.raises(ValueError):
        recording.repair(source, source, overwrite=True)
    (tmp_path / "junk.edf").write_bytes(b"0" * 300)
    with pytest.raises(recording.FormatError):
        recording.repair(tmp_path / "junk.edf", tmp_path / "out.edf")
    assert not (tmp_path / "out.edf").exists()


def test_recover(tmp_path):
    path = tmp_path / "killed.edf"
    samples = unfinished(path, records=3)
    done = recording.recover(path)
    assert (done.stored_count, done.complete_records, done.partial_bytes) == (-1, 3, 7)
    assert done.changed
    with recording.open(path) as rec:
        np.testing.assert_array_equal(rec.read(0, digital=True), samples)
    assert not recording.recover(path).changed
    with pytest.raises(FileNotFoundError):
        recording.recover(tmp_path / "none.edf")
    (tmp_path / "junk.edf").write_bytes(b"0" * 300)
    with pytest.raises(recording.FormatError):
        recording.recover(tmp_path / "junk.edf")


def test_continuous_copy(tmp_path):
    source, copy = tmp_path / "gaps.edf", tmp_path / "filled.edf"
    segments = [(0.0, [0, 1]), (5.0, [2, 3])]  # start, records (record k holds k*10 ...)
    with recording.Writer(source, [{"label": "A", "rate": RATE}], discontinuous=True) as w:
        for start, records in segments:
            w.write([[k * RATE + i for k in records for i in range(RATE)]], start=start)
        w.annotate(5.5, None, "arousal")
    recording.continuous_copy(source, copy)
    with recording.open(copy) as rec:
        values = rec.read(0, digital=True)
        assert len(values) == 7 * RATE
        np.testing.assert_array_equal(values[:20], np.arange(20))
        np.testing.assert_array_equal(values[50:], np.arange(20, 40))
        assert np.allclose(rec.read(0)[20:50], 0, atol=rec.signals[0].physical_max / 32767 * 2)
        assert sorted(rec.annotations) == [(2.0, 3.0, "gap"), (5.5, None, "arousal")]
    with pytest.raises(FileExistsError):
        recording.continuous_copy(source, copy)
    recording.continuous_copy(source, copy, overwrite=True)
    with pytest.raises(ValueError):
        recording.continuous_copy(source, source, overwrite=True)
    # A gap of a quarter second between records of ten samples a second: no whole samples.
    odd = tmp_path / "odd.edf"
    with recording.Writer(odd, [{"label": "A", "rate": RATE}], discontinuous=True) as w:
        w.write([list(range(RATE))], start=0.0)
        w.write([list(range(RATE))], start=1.25)
    with pytest.raises(recording.Error) as refused:
        recording.continuous_copy(odd, tmp_path / "out.edf")
    assert refused.value.code == recording._recording.ERR_NO_CONTINUOUS_FORM
    assert sorted(p.name for p in tmp_path.iterdir()) == ["filled.edf", "gaps.edf", "odd.edf"]
