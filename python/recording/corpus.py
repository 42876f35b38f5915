"""Corpora: thousands of recordings checked, catalogued, de-identified or read, on this
machine or on a Dask cluster.

Each call maps one per-file function over the paths: without a client on a local pool of
processes (one per core), with a ``dask.distributed.Client`` on that client's cluster, whose
workers import this package (it must be installed there). Results come back in the order of
the paths, one per path; a file that fails gives its exception as its result (or, for
`check` and `index`, a row that says so) and never stops the others. A progress bar (tqdm)
is shown when the session is interactive::

    import recording.corpus as corpus
    paths = corpus.files("/data/shhs")              # every .edf/.bdf below, sorted
    table = corpus.check(paths)                     # pandas DataFrame, one row per path
    catalogue = corpus.index(paths, "shhs.db")      # the SQLite catalogue, as edfinfo --index
    corpus.anonymize(paths, "shared/", key="key.csv")
    durations = corpus.map(lambda rec: rec.header.duration, paths, client=client)

Needs pandas (``pip install recording[corpus]``: pandas, dask[distributed], tqdm). The local
pool starts its workers afresh (not forked from this process), so a script that calls these
functions at its top level needs the usual ``if __name__ == "__main__":`` guard.
"""

from __future__ import annotations

import builtins
import concurrent.futures
import datetime
import multiprocessing
import os
import sqlite3
import sys
import tempfile
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, Callable, Optional, TypeVar, Union

from ._anonymizing import anonymize as _anonymize_file
from ._checking import check as _check_file
from ._reading import Problem, Recording
from ._types import StrPath

__all__ = ["anonymize", "check", "files", "index", "map", "schema"]

T = TypeVar("T")
# What a per-file call gives: its value, or the exception that it raised.
Outcome = Union[T, BaseException]

_SCHEMA_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "catalogue.sql")
_KEY_HEADING = "file,original_start,shift_days,pseudonym\n"
_EXTENSIONS = (".edf", ".bdf")
# Rows written per transaction of the catalogue.
_FILES_PER_TRANSACTION = 256


def schema() -> str:
    """The catalogue's schema: the SQL that `index` and ``edfinfo --index`` run on a
    database (they create what is missing and change nothing that exists)."""
    with builtins.open(_SCHEMA_FILE, encoding="utf-8") as file:
        return file.read()


def files(*roots: StrPath) -> list[str]:
    """The recordings under the given paths, in the order given: a file as it stands, a
    directory searched recursively for .edf and .bdf files (any case), sorted by path; a file
    named twice is listed once."""
    found: list[str] = []
    seen: set[str] = set()
    for root in roots:
        name = os.fspath(root)
        if os.path.isdir(name):
            below = sorted(
                os.path.join(folder, f)
                for folder, _, names in os.walk(name)
                for f in names
                if f.lower().endswith(_EXTENSIONS)
            )
        else:
            below = [name]
        for path in below:
            if path not in seen:
                seen.add(path)
                found.append(path)
    return found


# -- running per-file functions ---------------------------------------------------------


def _interactive() -> bool:
    if hasattr(sys, "ps1") or "ipykernel" in sys.modules:
        return True
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


def _guarded(function: Callable[..., T], *arguments: Any) -> Outcome[T]:
    """function(*arguments), or the exception that it raised."""
    try:
        return function(*arguments)
    except Exception as error:  # one file's failure is that file's result
        return error


def _outcomes(
    function: Callable[..., T],
    arguments: Sequence[tuple[Any, ...]],
    client: Any,
    progress: Optional[bool],
    workers: Optional[int],
    what: str,
) -> Iterator[Outcome[T]]:
    """function(*a) for each a of `arguments`, on the client's cluster or on a local
    process pool, yielded in the order of `arguments` as they come."""
    bar = None
    if progress or (progress is None and _interactive() and len(arguments) > 1):
        from tqdm.auto import tqdm  # type: ignore[import]

        bar = tqdm(total=len(arguments), desc=what, unit="file")
    try:
        if client is not None:
            results = _on_cluster(function, arguments, client)
        else:
            results = _on_local_pool(function, arguments, workers)
        for result in results:
            if bar is not None:
                bar.update(1)
            yield result
    finally:
        if bar is not None:
            bar.close()


def _on_local_pool(
    function: Callable[..., T], arguments: Sequence[tuple[Any, ...]], workers: Optional[int]
) -> Iterator[Outcome[T]]:
    if not arguments:
        return
    count = workers or os.cpu_count() or 1
    count = max(1, min(count, len(arguments)))
    # A fresh interpreter for the workers (not a fork of this one, whose threads and open
    # files they need not share).
    context = multiprocessing.get_context("forkserver" if sys.platform == "linux" else "spawn")
    with concurrent.futures.ProcessPoolExecutor(count, mp_context=context) as pool:
        futures: list[Optional[concurrent.futures.Future[Outcome[T]]]] = [
            pool.submit(_guarded, function, *a) for a in arguments
        ]
        for i, future in enumerate(futures):
            assert future is not None
            try:
                outcome = future.result()
            except Exception as error:  # a worker that died, a result that cannot be pickled
                outcome = error
            futures[i] = None  # its result is handed over: the memory may go
            yield outcome


def _on_cluster(
    function: Callable[..., T], arguments: Sequence[tuple[Any, ...]], client: Any
) -> Iterator[Outcome[T]]:
    if not arguments:
        return
    futures = client.map(_guarded, [function] * len(arguments), *zip(*arguments), pure=False)
    step = _FILES_PER_TRANSACTION
    for start in range(0, len(futures), step):
        batch = futures[start : start + step]
        try:
            results = client.gather(batch)
        except Exception:  # a worker lost: each future says what became of it
            results = []
            for future in batch:
                try:
                    results.append(future.result())
                except Exception as error:
                    results.append(error)
        for i in range(start, start + len(batch)):
            futures[i] = None
        yield from results


# -- check ------------------------------------------------------------------------------


def _status(problems: Sequence[Problem]) -> str:
    if any(p.action == 2 for p in problems):
        return "unreadable"
    return "conforming" if all(p.action == 3 for p in problems) else "repaired-readable"


def _reason(error: BaseException) -> str:
    """Why a file could not be checked, in the library's words where it gave them (as
    edfinfo says it)."""
    return getattr(error, "strerror", None) or str(error)


def _checked(path: str) -> dict[str, Any]:
    try:
        problems = _check_file(path)
    except Exception as error:
        return {"path": path, "status": "unreadable", "error": _reason(error),
                "problem_count": 0, "fields": (), "problems": ()}
    fields = tuple(dict.fromkeys(p.field for p in problems if p.action != 3))
    return {"path": path, "status": _status(problems), "error": None,
            "problem_count": len(problems), "fields": fields, "problems": tuple(problems)}


def check(
    paths: Iterable[StrPath],
    client: Any = None,
    *,
    progress: Optional[bool] = None,
    workers: Optional[int] = None,
) -> Any:
    """Checks every file (recording.check) and returns a pandas DataFrame with one row per
    path, in the order of `paths`: `path` (as given), `status` ("conforming",
    "repaired-readable": the tolerant open reads past every problem, or "unreadable"),
    `error` (why the file could not be checked at all, else None), `problem_count`, `fields`
    (the fields of the problems that break the format, each once) and `problems` (the
    recording.Problem list, the discontinuity note of an EDF+D file included).

    client: a dask.distributed.Client to run on, or None for a local process pool of
    `workers` processes (default: one per core). progress: show a tqdm bar (default: when
    the session is interactive)."""
    import pandas  # type: ignore[import]

    names = [os.fspath(p) for p in paths]
    rows = list(_outcomes(_checked, [(n,) for n in names], client, progress, workers, "check"))
    for i, row in enumerate(rows):
        if isinstance(row, BaseException):  # a worker lost
            rows[i] = {"path": names[i], "status": "unreadable", "error": str(row),
                       "problem_count": 0, "fields": (), "problems": ()}
    columns = ["path", "status", "error", "problem_count", "fields", "problems"]
    return pandas.DataFrame(rows, columns=columns)


# -- index ------------------------------------------------------------------------------

_RECORDING_COLUMNS = (
    "path", "size", "mtime", "status", "error", "readable", "filetype", "discontinuous",
    "start", "duration", "record_count", "record_duration", "signal_count",
    "annotation_count", "problem_count", "patient_code", "sex", "birthdate", "equipment",
)
_TABLES = {
    "signals": ("idx", "label", "unit", "rate", "samples_per_record", "physical_min",
                "physical_max", "digital_min", "digital_max", "transducer", "prefilter"),
    "annotations": ("onset", "duration", "text"),
    "problems": ("offset", "signal", "record", "code", "action", "field", "found", "message"),
    "segments": ("start", "first_record", "records"),
}
_PROBLEM_FIELDS = _TABLES["problems"]


def _problem_row(p: Problem) -> tuple[Any, ...]:
    return tuple(getattr(p, f) for f in _PROBLEM_FIELDS)


def _or_none(text: str) -> Optional[str]:
    return text if text else None


def _catalogue_entry(path: str) -> dict[str, Any]:
    """Everything the catalogue holds of one file (its path absolute), as edfinfo --index
    writes it: the tolerant open's header, signals, annotations, segments and problems, or,
    for a file that it cannot read, the check's problems."""
    entry: dict[str, Any] = {name: None for name in _RECORDING_COLUMNS}
    entry.update(path=path, readable=0, signals=[], annotations=[], segments=[])
    try:
        rec = Recording(path, tolerant=True)
    except Exception:
        try:
            problems = _check_file(path)
        except Exception as error:
            entry.update(status="unreadable", error=_reason(error), problem_count=0, problems=[])
            return entry
        entry.update(status=_status(problems), problem_count=len(problems),
                     problems=[_problem_row(p) for p in problems])
        return entry
    with rec:
        h = rec.header
        problems = rec.problems
        plus = h.filetype in ("EDF+", "BDF+")
        start: Optional[str] = "%04d-%02d-%02dT%02d:%02d:%02d.%07d" % rec._file.header()["start"]
        if h.start.date() == datetime.date(1985, 1, 1) and any(
            p.field == "start date" for p in problems
        ):
            start = None  # not a date in the header: the tolerant open read it as 01.01.85
        sex = {"Male": "M", "Female": "F", "M": "M", "F": "F"}.get(h.sex) if plus else None
        ticks = rec._record_ticks
        entry.update(
            status=_status(problems), readable=1, filetype=h.filetype,
            discontinuous=int(any(p.action == 3 for p in problems)), start=start,
            duration=h.duration, record_count=h.record_count,
            record_duration=h.record_duration, signal_count=len(rec.signals),
            annotation_count=len(rec.annotations), problem_count=len(problems),
            patient_code=_or_none(h.patient_code) if plus else None, sex=sex,
            birthdate=h.birthdate.isoformat() if plus and h.birthdate else None,
            equipment=_or_none(h.equipment) if plus else None,
            problems=[_problem_row(p) for p in problems],
            # The rate as edfinfo computes it, from the record duration in ticks.
            signals=[(s.index, s.label, s.unit,
                      s.samples_per_record * 10_000_000 / ticks if ticks > 0 else None,
                      s.samples_per_record, s.physical_min, s.physical_max, s.digital_min,
                      s.digital_max, s.transducer, s.prefilter) for s in rec.signals],
            annotations=[tuple(a) for a in rec.annotations],
            segments=[tuple(s) for s in rec.segments],
        )
    return entry


def _size_and_mtime(path: str) -> Optional[tuple[int, int]]:
    try:
        status = os.stat(path)
    except (FileNotFoundError, NotADirectoryError):
        return None
    return status.st_size, status.st_mtime_ns


class _Catalogue:
    """The database, written by this process alone, in transactions."""

    def __init__(self, db: StrPath) -> None:
        self.connection = sqlite3.connect(os.fspath(db), timeout=10.0, isolation_level=None)
        self.connection.executescript(schema())
        self.pending = 0

    def begin(self) -> None:
        if not self.connection.in_transaction:
            self.connection.execute("BEGIN IMMEDIATE")

    def remove(self, recording_id: int) -> None:
        self.begin()
        for table in _TABLES:
            self.connection.execute(f"DELETE FROM {table} WHERE recording_id = ?",
                                    (recording_id,))
        self.connection.execute("DELETE FROM recordings WHERE id = ?", (recording_id,))

    def insert(self, entry: dict[str, Any]) -> None:
        self.begin()
        marks = ", ".join("?" * len(_RECORDING_COLUMNS))
        cursor = self.connection.execute(
            f"INSERT INTO recordings ({', '.join(_RECORDING_COLUMNS)}) VALUES ({marks})",
            [entry[c] for c in _RECORDING_COLUMNS])
        recording_id = cursor.lastrowid
        for table, columns in _TABLES.items():
            marks = ", ".join("?" * (len(columns) + 1))
            self.connection.executemany(
                f"INSERT INTO {table} (recording_id, {', '.join(columns)}) VALUES ({marks})",
                [(recording_id, *row) for row in entry[table]])
        self.pending += 1
        if self.pending >= _FILES_PER_TRANSACTION:
            self.commit()

    def commit(self) -> None:
        if self.connection.in_transaction:
            self.connection.execute("COMMIT")
        self.pending = 0


def index(
    paths: Iterable[StrPath],
    db: StrPath,
    client: Any = None,
    *,
    progress: Optional[bool] = None,
    workers: Optional[int] = None,
) -> Any:
    """Writes or updates the SQLite catalogue `db` of the files, with the schema of
    ``edfinfo --index`` (see schema() and the README) and the same rows: files whose size
    and time of change are those of their row are kept without being read; the others are
    read by the workers (the client's, or a local process pool) and written by this process,
    in transactions; rows of files that no longer exist are dropped.

    Returns a pandas DataFrame of the catalogue's `recordings` rows, one per path in the
    order of `paths`, with a `path` column (the path as given; the catalogue holds it made
    absolute); a path that cannot be found gets a row with only `path` and `error`.
    ``.attrs`` holds the counts "read", "kept" and "dropped"."""
    import pandas

    names = [os.fspath(p) for p in paths]
    absolute = [os.path.abspath(n) for n in names]
    catalogue = _Catalogue(db)
    try:
        known = {
            path: (row_id, size, mtime)
            for row_id, path, size, mtime in catalogue.connection.execute(
                "SELECT id, path, size, mtime FROM recordings")
        }
        errors: dict[str, str] = {}
        to_read: list[tuple[str, int, int, Optional[int]]] = []
        kept = 0
        seen: set[str] = set()
        for name, path in zip(names, absolute):
            if path in seen:
                continue
            seen.add(path)
            stat = _size_and_mtime(path)
            if stat is None or os.path.isdir(path):
                errors[path] = f"no such file: {name}"
                continue
            row = known.pop(path, None)
            if row is not None and (row[1], row[2]) == stat:
                kept += 1
                continue
            to_read.append((path, stat[0], stat[1], row[0] if row is not None else None))
        dropped = 0
        for path, (row_id, _, _) in known.items():
            if _size_and_mtime(path) is None:
                catalogue.remove(row_id)
                dropped += 1
        outcomes = _outcomes(_catalogue_entry, [(t[0],) for t in to_read], client, progress,
                             workers, "index")
        for (path, size, mtime, old_id), entry in zip(to_read, outcomes):
            if isinstance(entry, BaseException):
                errors[path] = str(entry)
                continue
            entry.update(size=size, mtime=mtime)
            if old_id is not None:
                catalogue.remove(old_id)
            catalogue.insert(entry)
        catalogue.commit()
        rows: dict[str, tuple[Any, ...]] = {}
        for stored in catalogue.connection.execute("SELECT * FROM recordings"):
            rows[stored[1]] = stored
        columns = [d[0] for d in catalogue.connection.execute(
            "SELECT * FROM recordings LIMIT 0").description]
    finally:
        catalogue.connection.close()
    table = []
    for name, path in zip(names, absolute):
        found = rows.get(path)
        record = dict(zip(columns, found)) if found else {"error": errors.get(path)}
        record["path"] = name
        table.append(record)
    frame = pandas.DataFrame(table, columns=columns)
    frame.attrs.update(read=len(to_read), kept=kept, dropped=dropped)
    return frame


# -- anonymize --------------------------------------------------------------------------


def _patient_key(rec: Recording) -> str:
    """Who the patient is, for the pseudonyms: the code, or else the name and birth date
    (as edfinfo --anonymize numbers them); empty for a patient of its own."""
    h = rec.header
    if h.filetype in ("EDF", "BDF"):
        return "" if h.patient == "X" else "patient:" + h.patient
    if h.patient_code:
        return "code:" + h.patient_code
    if h.patient_name and h.patient_name != "X":
        return f"name:{h.patient_name}|{h.birthdate}"
    return ""


def _key_values(path: str) -> tuple[str, int, str]:
    """The original start, the date shift in days and the patient of a file."""
    with Recording(path, tolerant=True, annotations="none") as rec:
        raw = rec._file.header()["start"]
        year, month, day = raw[0], raw[1], raw[2]
        start = "%04d-%02d-%02dT%02d:%02d:%02d.%07d" % raw
        # A day past the month's end (the header allows 31.02.) counts on into the next month.
        date = datetime.date(year, month, 1) + datetime.timedelta(days=day - 1)
        return start, (datetime.date(1985, 1, 1) - date).days, _patient_key(rec)


def _anonymized(path: str, out: str, flags: dict[str, bool]) -> str:
    _anonymize_file(path, out, **flags)
    return out


def _csv_field(text: str) -> str:
    if not any(c in text for c in ',"\r\n'):
        return text
    return '"' + text.replace('"', '""') + '"'


class _Pseudonyms:
    """Numbers the patients in the order met: PREFIX1, PREFIX2, ...; files of the same
    patient share one, a file without a known patient takes a number of its own."""

    def __init__(self, prefix: Optional[str]) -> None:
        self.prefix = prefix
        self.numbers: dict[str, int] = {}
        self.next = 1

    def line(self, target: str, start: str, shift: int, patient: str) -> str:
        pseudonym = ""
        if self.prefix is not None:
            number = self.numbers.setdefault(patient, self.next) if patient else self.next
            self.next += 1 if number == self.next else 0
            pseudonym = f"{self.prefix}{number}"
        return f"{_csv_field(target)},{start},{shift},{_csv_field(pseudonym)}\n"


def _key_text(lines: Sequence[tuple[str, str, int, str]], prefix: Optional[str]) -> str:
    """The whole key: its heading and the lines, pseudonyms numbered in their order."""
    numbering = _Pseudonyms(prefix)
    return _KEY_HEADING + "".join(numbering.line(*line) for line in lines)


def _write_all(fd: int, data: bytes) -> None:
    while data:
        data = data[os.write(fd, data):]


def _sync_directory(path: str) -> None:
    fd = os.open(os.path.dirname(os.path.abspath(path)), os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def anonymize(
    paths: Iterable[StrPath],
    out_dir: StrPath,
    key: Optional[StrPath] = None,
    client: Any = None,
    *,
    keep_sex: bool = False,
    keep_age: bool = False,
    keep_start_time: bool = False,
    drop_annotation_texts: bool = False,
    pseudonym: Optional[str] = None,
    progress: Optional[bool] = None,
    workers: Optional[int] = None,
) -> list[Union[str, BaseException]]:
    """De-identifies every file into a copy in `out_dir` (made when missing) under the file's
    own name, as recording.anonymize does (the flags likewise), and returns one result per
    path in the order of `paths`: the copy's path, or the exception of a file that failed
    (ValueError for a second file whose copy would have the same name).

    key: the archive's key file, as ``edfinfo --anonymize --map`` writes it (file,
    original_start, shift_days, pseudonym; with `pseudonym` a prefix, patients numbered
    PREFIX1, PREFIX2 ... in the order of the paths). It is made first, readable by its owner
    only, and never replaces a file (FileExistsError, nothing done); every line is written
    and synced before any file is changed, and the lines of files that then failed are taken
    back (the key is written anew beside itself and renamed over it), so that it names
    exactly the copies made."""
    names = [os.fspath(p) for p in paths]
    folder = os.fspath(out_dir)
    os.makedirs(folder, exist_ok=True)
    flags = dict(keep_sex=keep_sex, keep_age=keep_age, keep_start_time=keep_start_time,
                 drop_annotation_texts=drop_annotation_texts)
    results: list[Optional[Union[str, BaseException]]] = [None] * len(names)
    targets: list[str] = []
    first_with: dict[str, str] = {}
    for i, name in enumerate(names):
        target = os.path.join(folder, os.path.basename(name))
        targets.append(target)
        if target in first_with:
            results[i] = ValueError(f"its copy {target} would replace that of {first_with[target]}")
        first_with.setdefault(target, name)

    key_path = os.fspath(key) if key is not None else None
    key_fd = -1
    lines: dict[int, tuple[str, str, int, str]] = {}
    if key_path is not None:
        key_fd = os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    try:
        if key_path is not None:
            _write_all(key_fd, _KEY_HEADING.encode())
            os.fsync(key_fd)
            _sync_directory(key_path)
            # Every line is on disk before any file changes.
            todo = [i for i in range(len(names)) if results[i] is None]
            values = _outcomes(_key_values, [(names[i],) for i in todo], client, progress,
                               workers, "read")
            numbering = _Pseudonyms(pseudonym)
            lost: Optional[BaseException] = None
            for i, value in zip(todo, values):
                if isinstance(value, BaseException):
                    results[i] = value
                    continue
                if lost is not None:
                    results[i] = lost
                    continue
                line = (targets[i], value[0], value[1], value[2])
                try:
                    _write_all(key_fd, numbering.line(*line).encode("utf-8"))
                    os.fsync(key_fd)
                except OSError as error:
                    lost = error  # this file and the ones after it are left as they are
                    results[i] = error
                    continue
                lines[i] = line
        todo = [i for i in range(len(names))
                if results[i] is None and (key_path is None or i in lines)]
        done = _outcomes(_anonymized, [(names[i], targets[i], flags) for i in todo], client,
                         progress, workers, "anonymize")
        for i, outcome in zip(todo, done):
            results[i] = outcome
        if key_path is not None:
            kept = [lines[i] for i in sorted(lines) if isinstance(results[i], str)]
            if len(kept) < len(lines):
                _replace_key(key_path, _key_text(kept, pseudonym))
            if not kept:
                os.unlink(key_path)
    finally:
        if key_fd >= 0:
            os.close(key_fd)
    return [r if r is not None else RuntimeError("not done") for r in results]


def _replace_key(path: str, text: str) -> None:
    fd, temporary = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(path)),
                                     prefix=os.path.basename(path) + ".")
    try:
        _write_all(fd, text.encode("utf-8"))
        os.fsync(fd)
    finally:
        os.close(fd)
    os.replace(temporary, path)
    _sync_directory(path)


# -- map --------------------------------------------------------------------------------


def _called(function: Callable[[Recording], T], path: str) -> T:
    with Recording(path, tolerant=True) as rec:
        return function(rec)


def map(
    function: Callable[[Recording], T],
    paths: Iterable[StrPath],
    client: Any = None,
    *,
    progress: Optional[bool] = None,
    workers: Optional[int] = None,
) -> list[Outcome[T]]:
    """function(rec) for every file, `rec` its open Recording (opened tolerantly, so that
    files with repairable faults are read too); returns one result per path in the order of
    `paths`: the function's value, or the exception that opening the file or the call
    raised. With a client the function may be any function (Dask serialises it, lambdas
    included); on the local process pool it must be picklable (defined at a module's top
    level)."""
    names = [os.fspath(p) for p in paths]
    return list(_outcomes(_called, [(function, n) for n in names], client, progress, workers,
                          "map"))
