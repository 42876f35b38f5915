"""De-identification: the header's identifying fields replaced, in place or into a copy."""

from __future__ import annotations

import os
from typing import Optional

from . import _recording
from ._types import StrPath


def anonymize(
    path: StrPath,
    out: Optional[StrPath] = None,
    keep_sex: bool = False,
    keep_age: bool = False,
    keep_start_time: bool = False,
    drop_annotation_texts: bool = False,
) -> None:
    """De-identifies the recording at `path`: in place (out None; only the header's first
    256 bytes are rewritten) or into the copy `out` (created or replaced; `path` is never
    written). The patient and recording identification become "X", the start becomes
    1985-01-01 00:00:00 (every date shifted by the same days). keep_sex keeps M/F; keep_age
    shifts the birth date along so the age stays exact to the day; keep_start_time keeps the
    time of day; drop_annotation_texts makes every annotation text "X". A file that only the
    tolerant open reads is repaired into the copy; in place it is refused.

    Raises ValueError when the request cannot be done in place (a sub-second start to clear
    or texts to drop: give `out`) or when `out` names `path`; recording.FormatError for a
    file that cannot be read; recording.Error (.code -31) when a de-identified value does not
    fit the file; OSError subclasses when a file cannot be opened or written."""
    flags = (
        (_recording.ANON_KEEP_SEX if keep_sex else 0)
        | (_recording.ANON_KEEP_AGE if keep_age else 0)
        | (_recording.ANON_KEEP_START_TIME if keep_start_time else 0)
        | (_recording.ANON_DROP_ANNOTATION_TEXTS if drop_annotation_texts else 0)
    )
    _recording.anonymize_file(os.fspath(path), None if out is None else os.fspath(out), flags)
