"""What a recording can be opened from besides a path: bytes in memory, a binary file object,
and a URL that fsspec opens (fsspec is imported only when a URL is given)."""

from __future__ import annotations

import io
import mmap
import os
import re
from typing import Any, Optional

# "scheme://...": a URL for fsspec. One letter before the colon is a Windows drive, not a
# scheme.
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]+://")

BUFFER_TYPES = (bytes, bytearray, memoryview, mmap.mmap)


def is_url(source: object) -> bool:
    return isinstance(source, str) and _URL.match(source) is not None


def is_file_object(source: object) -> bool:
    return (hasattr(source, "readinto") or hasattr(source, "read")) and hasattr(source, "seek")


def file_size(file: Any) -> int:
    """The size of a seekable binary file object in bytes (its position is left where it
    was), or -1 when it cannot be learned."""
    try:
        here = file.tell()
        end = file.seek(0, io.SEEK_END)
        file.seek(here)
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return -1
    return int(end) if isinstance(end, int) and end >= 0 else -1


def file_name(file: Any) -> str:
    """How a file object is named in messages: its name when it has a text one."""
    name = getattr(file, "name", None)
    if isinstance(name, bytes):
        name = os.fsdecode(name)
    return name if isinstance(name, str) else f"<{type(file).__name__}>"


def local_path_of(file: Any) -> Optional[str]:
    """The path of a file object that is an open local file read from its start (an
    io.FileIO or a buffered reader over one): what such a recording pickles as. None for
    anything else (an archive's member, an io.BytesIO, ...)."""
    raw = file.raw if isinstance(file, (io.BufferedReader, io.BufferedRandom)) else file
    if not isinstance(raw, io.FileIO) or not isinstance(raw.name, (str, bytes)):
        return None
    path = os.fsdecode(raw.name)
    return os.path.abspath(path) if os.path.isfile(path) else None


def _fsspec() -> Any:
    try:
        import fsspec  # type: ignore[import]  # fsspec carries no type hints
    except ImportError:
        raise ImportError(
            "opening a URL needs fsspec (Debian: python3-fsspec, with python3-aiohttp for "
            "http:// and https://; pip: fsspec aiohttp)"
        ) from None
    return fsspec


def _client_errors() -> tuple[type[BaseException], ...]:
    """The exceptions of a failed transfer."""
    errors: list[type[BaseException]] = [OSError, ValueError, TimeoutError]
    try:
        import aiohttp

        errors.append(aiohttp.ClientError)
    except ImportError:
        pass
    return tuple(errors)


def _status(error: BaseException) -> Optional[int]:
    status = getattr(error, "status", None) or getattr(error, "code", None)
    return status if isinstance(status, int) else None


def translated(error: BaseException, url: str) -> OSError:
    """The error of a failed request as the exception that a file would raise: a missing
    object (404, 410) is FileNotFoundError, a refused one (401, 403) PermissionError, any
    other failure an OSError that names the URL."""
    cause = error.__cause__
    if isinstance(error, FileNotFoundError) and cause is not None:
        # fsspec's HTTP file system calls every failure to learn a size "not found": the
        # cause tells a missing object from a failed connection.
        if isinstance(cause, FileNotFoundError) or _status(cause) in (404, 410):
            return FileNotFoundError(2, "not found", url)
        error = cause
    if isinstance(error, (FileNotFoundError, PermissionError)):
        return error
    status = _status(error)
    words = f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
    if status in (404, 410):
        return FileNotFoundError(2, f"not found ({status})", url)
    if status in (401, 403):
        return PermissionError(13, f"refused ({status})", url)
    return OSError(5, f"reading failed: {words}", url)


class RemoteFile:
    """A file of fsspec as the reader reads it: readinto at a position, every failure
    turned into the OSError of a file (see translated), closed by the recording."""

    def __init__(self, url: str, storage_options: dict[str, Any]) -> None:
        fsspec = _fsspec()
        self.url = url
        self._errors = _client_errors()
        try:
            fs, path = fsspec.core.url_to_fs(url, **storage_options)
            # The reader caches blocks of its own: fsspec is asked for what it asks for.
            self._file = fs.open(path, "rb", cache_type="none")
            size = getattr(self._file, "size", None)
            self.size = int(size) if isinstance(size, int) and size >= 0 else -1
        except self._errors as error:
            raise translated(error, url) from error

    def seek(self, offset: int) -> None:
        self._offset = offset

    def readinto(self, buffer: memoryview) -> int:
        try:
            self._file.seek(self._offset)
            data = self._file.read(len(buffer))
        except self._errors as error:
            raise translated(error, self.url) from error
        buffer[: len(data)] = data
        self._offset += len(data)
        return len(data)

    def close(self) -> None:
        self._file.close()
