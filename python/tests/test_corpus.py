"""The reader's fuzz corpus through the module: every input opens or raises one of the
module's exceptions, and what opens reads whole."""

import math
import os
import pathlib

import numpy as np
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
                if rec.signals and rec.signals[0].sampling_rate > 0:
                    # Windows of half the signals of the first one's rate, from the start and
                    # up to the end, as read_window gives them.
                    rate = rec.signals[0].sampling_rate
                    same = [s.index for s in rec.signals if s.sampling_rate == rate]
                    length = rec.signals[0].sample_count
                    half = length // 2
                    starts = [0.0, (length - half) / rate]
                    windows = rec.read_windows(starts, half / rate, same)
                    assert windows.shape == (2, len(same), half)
                    for w, start in enumerate(starts):
                        window = rec.read_window(start, math.inf, same)
                        for row, name in zip(windows[w], window):
                            np.testing.assert_array_equal(row, window[name][:half])
    assert opened > 0
