"""Handles held by unreachable objects, numeric arguments at their limits, the writer's start,
a failing recording.write, and an allocation that fails in the extension."""

import datetime
import gc
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import recording

OPENERS = {
    "reader": lambda path: recording.open(path),
    "writer": lambda path: recording.Writer(path, [{"rate": 4}]),
}


@pytest.mark.parametrize("kind", list(OPENERS))
@pytest.mark.parametrize("held, again", [(64, "another"), (1, "same")])
def test_handles_in_reference_cycles_are_collected(tmp_path, kind, held, again):
    paths = [tmp_path / f"{i}.edf" for i in range(65)]
    for path in paths:
        recording.write(path, np.zeros((1, 4)), rate=4)
    opener = OPENERS[kind]
    gc.disable()
    try:
        for path in paths[:held]:
            cycle = opener(path)
            cycle.itself = cycle
        del cycle
        # Too many files open, or the same path open: the open collects and retries.
        opener(paths[64] if again == "another" else paths[0]).close()
        # Handles that live are not collected: the 65th open still fails.
        live = [opener(path) for path in paths[:64]]
        with pytest.raises(recording.Error) as caught:
            opener(paths[64])
        assert caught.value.code == -4
        for handle in live:
            handle.close()
    finally:
        gc.enable()


@pytest.fixture
def file(tmp_path):
    recording.write(tmp_path / "ok.edf", np.arange(8.0)[None, :], rate=4)
    with recording.open(tmp_path / "ok.edf") as rec:
        yield rec, tmp_path


def discontinuous_writer(d):
    return recording.Writer(d / "w.edf", [{"rate": 1}], discontinuous=True)


@pytest.mark.parametrize(
    "call, result",
    [
        # Sample positions are whole numbers: 2.0 is taken, 2.5 is not truncated.
        (lambda rec, d: rec.read(0, 2.0, 4.0), 2),
        (lambda rec, d: rec.read(0, 1.5), ValueError),
        (lambda rec, d: rec.read(0, 0, 2.5), ValueError),
        (lambda rec, d: rec.read(0, 2**70), 0),
        (lambda rec, d: rec.read(0, 0, 2**70), 8),
        (lambda rec, d: rec.read(2**70), ValueError),
        (lambda rec, d: rec.read(math.inf), ValueError),
        (lambda rec, d: rec.read_window(0, math.inf)["1"], 8),
        (lambda rec, d: rec.read_window(1e300, math.inf)["1"], 0),
        (lambda rec, d: rec.read_window(0, 2**2000), ValueError),
        (lambda rec, d: rec.read_window(math.nan, 1), ValueError),
        (lambda rec, d: rec.read_window(0, 1, digital=True, fill=2**40), ValueError),
        (lambda rec, d: recording.Writer(d / "w.edf", [{"rate": math.inf}]), ValueError),
        (lambda rec, d: recording.Writer(d / "w.edf", [{"rate": 2**2000}]), ValueError),
        (lambda rec, d: recording.Writer(d / "w.edf", [{"rate": 1}], record_duration=1e300),
         ValueError),
        (lambda rec, d: recording.Writer(d / "w.edf", [{"rate": 1, "physical_max": 2**2000}]),
         ValueError),
        (lambda rec, d: recording.Writer(d / "w.edf", [{"rate": 1, "digital_max": 2**70}]),
         ValueError),
        (lambda rec, d: recording.Writer(d / "w.edf", [{"rate": 1, "digital_max": 1.5}]),
         ValueError),
        (lambda rec, d: recording.Writer(d / "w.edf", [{"rate": 1}], start=1e300), ValueError),
        (lambda rec, d: discontinuous_writer(d).annotate(1e300), ValueError),
        (lambda rec, d: discontinuous_writer(d).annotate(0, 2**2000), ValueError),
        (lambda rec, d: discontinuous_writer(d).write([[0.0]], start=math.inf), ValueError),
        (lambda rec, d: recording.write(d / "w.edf", np.zeros((1, 4)), rate=4,
                                        physical_range=(0, 2**2000)), ValueError),
    ],
)
def test_numeric_arguments(file, call, result):
    rec, d = file
    if result is ValueError:
        with pytest.raises(ValueError):
            call(rec, d)
    else:
        assert len(call(rec, d)) == result


MOMENT = datetime.datetime(2021, 3, 4, 5, 6, 7, 250000)


@pytest.mark.parametrize(
    "start, expected",
    [
        (MOMENT, MOMENT),
        (MOMENT.timestamp() + 0.0000123, MOMENT.replace(microsecond=250012)),
        (int(MOMENT.timestamp()), MOMENT.replace(microsecond=0)),
        (datetime.datetime(1970, 1, 1), ValueError),
        ("2021-03-04", TypeError),
    ],
)
def test_writer_start(tmp_path, start, expected):
    path = tmp_path / "s.edf"
    if isinstance(expected, type):
        with pytest.raises(expected, match="start"):
            recording.Writer(path, [{"rate": 1}], start=start)
        return
    recording.write(path, np.zeros((1, 2)), rate=1, start=start)
    with recording.open(path) as rec:
        assert rec.header.start == expected


@pytest.mark.parametrize(
    "path, keywords, error, left",
    [
        # Refused before the file is touched: what was there stays.
        ("x.edf", {"physical_range": (1e12, 2e12)}, ValueError, b"old"),
        ("x.edf", {"data": np.ones((1, 4), dtype=complex)}, TypeError, b"old"),
        # Refused once the file is written: nothing is left.
        ("x.edf", {"annotations": [(-1.0, None, "before the start")]}, ValueError, None),
        ("x.edf", {"annotations": [(0.0, None, "x")] * 100}, recording.Error, None),
        # A device is written to but never removed.
        ("/dev/full", {}, OSError, "device"),
    ],
)
def test_failing_write_raises_once(tmp_path, path, keywords, error, left):
    if path.startswith("/dev/") and not os.path.exists(path):
        pytest.skip(f"no {path}")
    path = tmp_path / path
    if left == b"old":
        path.write_bytes(b"old")
    arguments = {"data": np.zeros((1, 4)), "rate": 4, **keywords}
    with pytest.raises(error) as caught:
        recording.write(path, arguments.pop("data"), **arguments)
    assert caught.value.__context__ is None and caught.value.__cause__ is None
    if left is None:
        assert not path.exists()
    elif left == "device":
        assert path.is_char_device()
    else:
        assert path.read_bytes() == left


# An address-space limit that leaves no room for a copy of a 256 MiB argument: the extension's
# std::string of it cannot be allocated (std::bad_alloc), which reaches Python as MemoryError.
FAILED_ALLOCATION = """
import resource
from recording import _recording
path = b"x" * (256 << 20)
with open("/proc/self/statm") as statm:
    size = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), resource.RLIM_INFINITY))
try:
    _recording.anonymize_file(path, None, 0)
except MemoryError:
    print("MemoryError")
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's allocator")
def test_a_failed_allocation_is_a_memory_error():
    run = subprocess.run(
        [sys.executable, "-c", FAILED_ALLOCATION], capture_output=True, text=True, timeout=60
    )
    assert (run.returncode, run.stdout) == (0, "MemoryError\n"), run.stderr
