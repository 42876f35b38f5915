"""The extension module recording._recording (python/src/): the library's operations for the
package's Python files, which wrap them in the public classes. Kept in step with the bindings
by python/tests/packaging/test_typing.py (mypy's stubtest)."""

from collections.abc import Sequence
from typing import Any, Optional, TypedDict

import numpy as np
from numpy.typing import NDArray

from ._reading import Problem

library_version: int
ticks_per_second: int
ERR_TOO_MANY_FILES: int
ERR_ALREADY_OPEN: int
ANON_KEEP_SEX: int
ANON_KEEP_AGE: int
ANON_KEEP_START_TIME: int
ANON_DROP_ANNOTATION_TEXTS: int

def recording_version() -> str: ...

class Error(Exception):
    code: Optional[int]
    path: Optional[str]

class FormatError(Error):
    problems: Sequence[Problem]

class _HeaderFields(TypedDict):
    filetype: int
    start: tuple[int, int, int, int, int, int, int]
    duration: float
    record_duration: float
    record_duration_ticks: int
    record_count: int
    annotation_count: int
    patient: str
    recording: str
    patient_code: str
    sex: str
    birthdate: str
    birth_date: tuple[int, int, int]
    patient_name: str
    patient_additional: str
    admin_code: str
    technician: str
    equipment: str
    recording_additional: str

class _SignalFields(TypedDict):
    label: str
    unit: str
    transducer: str
    prefilter: str
    samples_per_record: int
    sample_count: int
    physical_min: float
    physical_max: float
    digital_min: int
    digital_max: int

class _ProblemFields(TypedDict):
    offset: int
    signal: int
    record: int
    code: int
    action: int
    field: str
    found: str
    message: str

# pybind11's metaclass of the classes below (pybind11_builtins.pybind11_type).
class _BoundClass(type): ...

class File(metaclass=_BoundClass):
    def __init__(self, path: str, tolerant: bool, annotation_mode: int) -> None: ...
    @staticmethod
    def from_buffer(buffer: object, name: str, tolerant: bool, annotation_mode: int) -> File: ...
    @staticmethod
    def from_file(
        file: object,
        size: int,
        name: str,
        tolerant: bool,
        annotation_mode: int,
        list_problems: bool,
    ) -> File: ...
    def read_annotations(self, annotation_mode: int) -> None: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    def header(self) -> _HeaderFields: ...
    def signals(self) -> list[_SignalFields]: ...
    def annotations(self) -> list[tuple[float, Optional[float], str]]: ...
    def problems(self) -> list[_ProblemFields]: ...
    def segments(self) -> list[tuple[int, int, int]]: ...
    def read(self, signal: int, start: int, stop: int, digital: bool) -> NDArray[Any]: ...
    def read_records(
        self,
        signals: Sequence[int],
        first: int,
        count: int,
        digital: bool,
        out: Optional[Sequence[NDArray[Any]]] = None,
    ) -> list[NDArray[Any]]: ...
    def read_windows(
        self,
        signals: Sequence[int],
        starts: NDArray[np.int64],
        length: int,
        digital: bool,
        out: NDArray[Any],
    ) -> None: ...

class Writer(metaclass=_BoundClass):
    def __init__(
        self,
        path: str,
        bdf: bool,
        signals: Sequence[dict[str, Any]],
        record_duration_us: int,
        start: Optional[tuple[int, int, int, int, int, int, int]],
        patient: dict[str, Any],
        recording: dict[str, Any],
        discontinuous: bool = False,
    ) -> None: ...
    def write(self, arrays: Sequence[NDArray[np.float64] | NDArray[np.int32]]) -> None: ...
    def record_start(self, start_us: int) -> None: ...
    def annotate(self, onset_us: int, duration_us: int, text: str) -> None: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...

def anonymize_file(path: str, out: Optional[str], flags: int) -> None: ...

PROBLEM_REPAIRED: int
PROBLEM_FATAL: int
PROBLEM_CONFORMS: int

def check_file(path: str) -> list[_ProblemFields]: ...

class _RecoveryFields(TypedDict):
    file_size: int
    header_size: int
    record_size: int
    stored_count: int
    complete_records: int
    partial_bytes: int

def repair_file(path: str, out: str, overwrite: bool) -> list[_ProblemFields]: ...
def recover_file(path: str) -> _RecoveryFields: ...
def continuous_copy(path: str, out: str, overwrite: bool) -> None: ...

ERR_NO_CONTINUOUS_FORM: int
ERR_BEING_WRITTEN: int
