"""recording.anonymize: the copy keeps the samples and loses the identifying bytes; what
cannot be done raises the documented exception."""

import datetime

import numpy as np
import pytest

import recording


def test_anonymize(tmp_path):
    source, copy = tmp_path / "night.edf", tmp_path / "shared.edf"
    data = np.arange(2 * 512, dtype=np.int32).reshape(2, 512) % 1000
    recording.write(source, data, rate=256, labels=["Fz", "Cz"], physical_range=(0, 999),
                    start=datetime.datetime(2021, 3, 4, 5, 6, 7, 250000),
                    patient={"name": "Jane Doe", "code": "MCH-77", "sex": "F",
                             "birthdate": datetime.date(1990, 5, 6)},
                    recording={"technician": "Tech Smith"})
    original = source.read_bytes()

    # A sub-second start to clear: only a copy can do it.
    with pytest.raises(ValueError, match="copy"):
        recording.anonymize(source)
    with pytest.raises(ValueError):
        recording.anonymize(source, out=source)
    recording.anonymize(source, out=copy, keep_sex=True, keep_age=True)
    assert source.read_bytes() == original
    for text in (b"Jane", b"Doe", b"MCH-77", b"Smith", b"1990", b"2021", b"04.03.21"):
        assert text not in copy.read_bytes()
    with recording.open(copy) as rec, recording.open(source) as before:
        assert rec.header.start == datetime.datetime(1985, 1, 1)
        assert rec.header.sex == before.header.sex
        age = lambda h: h.start.date() - h.birthdate  # noqa: E731
        assert age(rec.header) == age(before.header)
        np.testing.assert_array_equal(rec.read(0, digital=True), before.read(0, digital=True))

    # The copy has no sub-second start left: in place rewrites its header.
    recording.anonymize(copy, keep_start_time=True, drop_annotation_texts=True)
    (tmp_path / "junk.edf").write_bytes(b"0" * 300)
    with pytest.raises(recording.FormatError):
        recording.anonymize(tmp_path / "junk.edf", out=copy)
    with pytest.raises(FileNotFoundError):
        recording.anonymize(tmp_path / "missing.edf")
