"""Opening with a second chance. The library holds at most 64 files open, and a path only
once: a Recording or Writer that only the garbage collector can reach (caught in a reference
cycle) still holds its handle until a collection frees it, so an open refused for either
reason collects once and tries again."""

from __future__ import annotations

import gc
from typing import Callable, TypeVar

from . import _recording

_T = TypeVar("_T")

_HELD = (_recording.ERR_TOO_MANY_FILES, _recording.ERR_ALREADY_OPEN)


def opening(action: Callable[[], _T]) -> _T:
    """action(), retried once after a collection when a held handle refused it."""
    try:
        return action()
    except _recording.Error as error:
        if error.code not in _HELD:
            raise
    gc.collect()
    return action()
