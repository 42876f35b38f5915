"""Mistakes that the package's type hints let mypy find before the program runs: each line
marked "mistake: CODE" must be reported with that error code, and nothing else."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

import recording

with recording.open("night.edf") as rec:
    digital: NDArray[np.int32] = rec.read(0)  # mistake: assignment
    physical: NDArray[np.float64] = rec.read(0, digital=True)  # mistake: assignment
    rate = rec.signals[0].rate  # mistake: attr-defined
    days = rec.header.start.days  # mistake: attr-defined
    text: str = rec.annotations[0].duration  # mistake: assignment
    rec.read_window(0, 1, signals=[0.5])  # mistake: list-item
recording.open(42)  # mistake: arg-type
recording.open("night.edf", annotations="some")  # mistake: arg-type
recording.write("out.edf", np.zeros((1, 4)), rate=4, labls=["A"])  # mistake: call-arg
recording.anonymize("night.edf", keep_name=True)  # mistake: call-arg
major = recording.__version__ + 1  # mistake: operator
