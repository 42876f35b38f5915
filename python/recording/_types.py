"""The argument types that the package's signatures share."""

import mmap
import os
from typing import IO, SupportsFloat, SupportsIndex, Union

# A path: a str or an os.PathLike of str, such as pathlib.Path.
StrPath = Union[str, "os.PathLike[str]"]
# A real number: int, float, or a NumPy scalar.
Real = SupportsFloat
# A whole number: an int or a NumPy integer, or a float with a whole value (2.0, not 2.5).
Whole = Union[SupportsIndex, float]
# A signal of a recording: its index, or its label (or unique name, see Recording.names).
SignalKey = Union[str, SupportsIndex]
# What a recording is read from: a path or a URL (str), bytes in memory (bytes, bytearray,
# memoryview, mmap), or a binary file object with seek and readinto or read.
RecordingSource = Union[StrPath, bytes, bytearray, memoryview, "mmap.mmap", "IO[bytes]"]
