"""Operations on whole files: the repaired copy, recovery in place and the continuous copy."""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, cast

from . import _recording
from ._reading import Problem
from ._types import StrPath


@dataclass(frozen=True)
class Recovery:
    """What recording.recover did to a file (sizes in bytes): the file's size before
    (`file_size`), its `header_size` and `record_size`, the record count that the header held
    (`stored_count`, -1 when it was never set), the count written (`complete_records`) and
    the bytes of a partial record cut off its end (`partial_bytes`)."""

    file_size: int
    header_size: int
    record_size: int
    stored_count: int
    complete_records: int
    partial_bytes: int

    @property
    def changed(self) -> bool:
        """Whether the file was changed: a count written or a partial record cut."""
        return self.stored_count != self.complete_records or self.partial_bytes != 0


def repair(path: StrPath, out_path: StrPath, overwrite: bool = False) -> list[Problem]:
    """Writes to `out_path` a copy of the file at `path` that conforms to the format
    (edf_repair_file): the fields that the tolerant open repairs rewritten, the record count
    set, a partial last record left out; a discontinuous file stays discontinuous. Returns
    the problems repaired, as recording.check lists them (an empty list: the file conformed
    and was copied byte for byte). `path` is never changed; an existing `out_path` is
    replaced only when `overwrite` is true.

    Raises FileExistsError when `out_path` exists and `overwrite` is false; ValueError when
    `out_path` is the file itself; recording.FormatError for a file that cannot be repaired
    (a fatal problem, a file of the header alone, a repair that does not fit the file);
    FileNotFoundError, PermissionError or OSError when a file cannot be opened, read or
    written; recording.Error (.code -6) when `out_path` is open in this process, (.code -32)
    when another program is writing it; MemoryError."""
    found = cast(
        "list[dict[str, Any]]",
        _recording.repair_file(os.fspath(path), os.fspath(out_path), overwrite),
    )
    return [Problem(**p) for p in found]


def recover(path: StrPath) -> Recovery:
    """Recovers in place a file whose writer died before close (edf_recover_file): writes the
    count of complete records into the header and cuts a partial last record off, when the
    check finds nothing else wrong. A file that needs neither is left untouched (the result's
    `changed` is false). Returns what was done.

    Raises recording.FormatError when the file has other problems (recording.check lists
    them; recording.repair writes a repaired copy); recording.Error (.code -32) when another
    program is writing the file, (.code -6) when it is open in this process;
    FileNotFoundError, PermissionError or OSError when it cannot be opened, read or written;
    MemoryError."""
    return Recovery(**cast("dict[str, int]", _recording.recover_file(os.fspath(path))))


def continuous_copy(path: StrPath, out_path: StrPath, overwrite: bool = False) -> None:
    """Writes to `out_path` a continuous EDF+/BDF+ copy of the file at `path`, for programs
    that cannot read EDF+D/BDF+D (edf_continuous_copy): every gap filled with samples of
    physical value 0 and marked by an annotation "gap" with the gap's duration, the samples
    copied exactly. The copy is written beside `out_path`, synced and renamed into place, so
    a failure leaves `out_path` as it was. An existing `out_path` is replaced only when
    `overwrite` is true.

    Raises FileExistsError when `out_path` exists and `overwrite` is false; ValueError when
    `out_path` is the file itself; recording.Error (.code -35) when the recording has no
    continuous form that keeps every sample's time (gaps that are not whole sample periods,
    say), (.code -32) when another program is writing `out_path`, (.code -6) when a file is
    open in this process; recording.FormatError for a file that cannot be read;
    FileNotFoundError, PermissionError or OSError when a file cannot be opened, read or
    written; MemoryError."""
    _recording.continuous_copy(os.fspath(path), os.fspath(out_path), overwrite)
