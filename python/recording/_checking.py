"""The check of a file: every way in which it breaks the format."""

from __future__ import annotations

import os
from typing import Any, cast

from . import _recording
from ._reading import Problem
from ._types import StrPath


def check(path: StrPath) -> list[Problem]:
    """Every problem of the file at `path`, in the order in which the strict open meets them
    (edf_check_file): an empty list for a file that conforms, the note that it is
    discontinuous (`action` 3) for a conforming EDF+D/BDF+D file. The file is not opened for
    reading and never changed. A fatal problem (`action` 2) is the last one listed: the
    tolerant open reads the file exactly when there is none.

    Raises FileNotFoundError, PermissionError or IsADirectoryError when the file cannot be
    opened, OSError when it cannot be read, MemoryError."""
    found = cast("list[dict[str, Any]]", _recording.check_file(os.fspath(path)))
    return [Problem(**p) for p in found]
