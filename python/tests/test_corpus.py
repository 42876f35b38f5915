"""The reader's fuzz corpus through the module: every input opens or raises one of the
module's exceptions, and what opens reads whole."""

import os
import pathlib

import pytest

import recording

CORPUS = pathlib.Path(
    os.environ.get(
        "RECORDING_FUZZ_CORPUS",
        pathlib.Path(__file__).resolve().parents[2] / "fuzz" / "corpus" / "fuzz_reader",
    )
)


def test_fuzz_corpus(tmp_path):
    files = sorted(CORPUS.iterdir())
    assert files, f"no corpus in {CORPUS}"
    opened = 0
    path = tmp_path / "input.edf"
    for source in files:
        path.write_bytes(source.read_bytes())
        for mode in ("none", "first", "all"):
            try:
                rec = recording.open(path, annotations=mode)
            except (recording.FormatError, ValueError):
                continue
            with rec:
                opened += 1
                whole = rec.read_all()
                for signal, (name, samples) in zip(rec.signals, whole.items()):
                    assert len(samples) == signal.sample_count
                    assert (rec.read(signal.index, digital=True) == rec.read_all(
                        [signal.index], digital=True)[name]).all()
                rec.read_window(0, rec.header.duration / 2)
                assert len(rec.annotations) <= rec.header.record_count * 1000 + 1
                for a in rec.annotations:
                    assert isinstance(a.text, str)
    assert opened > 0
