"""A user's program with type hints, as a user of the installed package writes it: mypy
--strict accepts it (the package's hints and the extension's stub describe every call), and
run with a folder it writes a BDF+ file and an EDF+ file there, reads them back and prints
what it read as JSON."""

from __future__ import annotations

import datetime
import json
import pathlib
import sys
from typing import Any, Optional

import numpy as np
from numpy.typing import NDArray

import recording


def write_files(folder: pathlib.Path) -> tuple[pathlib.Path, pathlib.Path]:
    eeg = folder / "eeg.bdf"
    data: NDArray[np.float64] = np.vstack([np.linspace(-100.0, 100.0, 512), np.zeros(512)])
    recording.write(
        eeg,
        data,
        rate=256,
        labels=["Fz", "Cz"],
        bdf=True,
        annotations=[(0.5, None, "eyes closed"), (1.0, 0.25, "blink")],
        start=datetime.datetime(2024, 5, 6, 7, 8, 9),
        patient={"name": "Jane Doe", "code": "P-1", "sex": "F"},
    )
    signals: list[dict[str, Any]] = [{"label": "Pulse", "rate": 4, "unit": "bpm",
                                      "physical_min": 0, "physical_max": 250}]
    pulse = folder / "pulse.edf"
    with recording.Writer(pulse, signals, record_duration=1.0) as writer:
        writer.write([np.full(8, 60.0)])
        writer.annotate(1.5, None, "arousal")
    return eeg, pulse


def describe(path: pathlib.Path) -> dict[str, Any]:
    with recording.open(path, tolerant=True, annotations="all") as rec:
        header: recording.Header = rec.header
        first: recording.Signal = rec.signals[0]
        physical: NDArray[np.float64] = rec.read(first.index, 0, 4)
        digital: NDArray[np.int32] = rec.read(first.label, digital=True)
        window: dict[str, NDArray[np.float64]] = rec.read_window(0.0, 0.5, signals=[0])
        everything: dict[str, NDArray[np.float64]] = rec.read_all()
        batch: NDArray[np.int32] = rec.read_windows(np.array([0.0, 0.25]), 0.5, [0], digital=True)
        notes: list[recording.Annotation] = rec.annotations
        durations: list[Optional[float]] = [a.duration for a in notes]
        problems: list[recording.Problem] = rec.problems
        segments: list[recording.Segment] = rec.segments
        return {
            "filetype": header.filetype,
            "start": header.start.isoformat(),
            "labels": [s.label for s in rec.signals],
            "rates": [s.sampling_rate for s in rec.signals],
            "first": [float(v) for v in physical],
            "digital_count": int(digital.size),
            "batch_shape": list(batch.shape),
            "window": {name: int(a.size) for name, a in window.items()},
            "total": sum(int(a.size) for a in everything.values()),
            "annotations": [a.text for a in notes],
            "durations": durations,
            "problems": [p.message for p in problems],
            "segments": [(s.start, s.first_record, s.records) for s in segments],
        }


def missing(path: pathlib.Path) -> str:
    try:
        recording.open(path)
    except FileNotFoundError as error:
        return type(error).__name__
    except recording.FormatError as error:
        code: Optional[int] = error.code
        return f"{code}: {[p.field for p in error.problems]}"
    return "opened"


def main(folder: pathlib.Path) -> None:
    eeg, pulse = write_files(folder)
    recording.anonymize(eeg, out=folder / "shared.bdf", keep_age=True)
    version: str = recording.__version__
    print(json.dumps({
        "version": version,
        "module": recording.__file__,
        "eeg": describe(eeg),
        "pulse": describe(pulse),
        "shared": describe(folder / "shared.bdf")["labels"],
        "missing": missing(folder / "nothing.edf"),
    }))


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]))
