"""EDF, EDF+, BDF and BDF+ recordings as NumPy arrays.

Reading::

    with recording.open("night.edf") as rec:
        eeg = rec.read("EEG Fpz-Cz")               # float64, physical units
        window = rec.read_window(60.0, 120.0)       # {label: array}
        raw = rec.to_mne()                          # mne.io.RawArray, volts

Writing::

    recording.write("out.edf", data, rate=256, labels=["A", "B"], units="uV")

De-identifying::

    recording.anonymize("night.edf", out="shared.edf", keep_age=True)

Errors are exceptions: FileNotFoundError / PermissionError when a file cannot be opened,
FormatError when it is not a valid recording, ValueError for bad arguments (numbers out of
range, however large), TypeError for arguments that are not numbers where numbers are asked,
OSError when writing fails, Error for the rest.

The package carries type hints (py.typed); recording.__version__ is the release of the
library compiled into it.
"""

from . import _recording
from ._anonymizing import anonymize
from ._recording import Error, FormatError
from ._reading import Annotation, Header, Problem, Recording, Segment, Signal, open
from ._writing import Writer, write

__version__: str = _recording.recording_version()

__all__ = [
    "Annotation",
    "Error",
    "FormatError",
    "Header",
    "Problem",
    "Recording",
    "Segment",
    "Signal",
    "Writer",
    "anonymize",
    "open",
    "write",
]
