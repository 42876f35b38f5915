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

Checking, and corpora of many files (recording.corpus: pandas, and Dask for a cluster)::

    problems = recording.check("night.edf")        # [] when the file conforms
    repaired = recording.repair("broken.edf", "fixed.edf")   # the problems repaired
    done = recording.recover("killed.edf")          # count set, partial record cut
    recording.continuous_copy("gaps.edf", "filled.edf")      # EDF+D gaps filled, marked
    table = recording.corpus.check(paths)           # a DataFrame, one row per path

Errors are exceptions: FileNotFoundError / PermissionError when a file cannot be opened,
FormatError when it is not a valid recording, ValueError for bad arguments (numbers out of
range, however large), TypeError for arguments that are not numbers where numbers are asked,
OSError when writing fails, Error for the rest.

The package carries type hints (py.typed); recording.__version__ is the release of the
library compiled into it.
"""

from . import _recording
from ._anonymizing import anonymize
from ._checking import check
from ._file_operations import Recovery, continuous_copy, recover, repair
from ._recording import Error, FormatError
from ._reading import Annotation, Header, Problem, Recording, Segment, Signal, open
from ._writing import Writer, write

__version__: str = _recording.recording_version()


def __getattr__(name: str) -> object:
    # recording.corpus needs pandas: it is imported when it is first asked for.
    if name == "corpus":
        import importlib

        return importlib.import_module(".corpus", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

__all__ = [
    "Annotation",
    "Error",
    "FormatError",
    "Header",
    "Problem",
    "Recording",
    "Recovery",
    "Segment",
    "Signal",
    "Writer",
    "anonymize",
    "check",
    "continuous_copy",
    "open",
    "recover",
    "repair",
    "write",
]
