"""Recordings crossing into other processes: pickled as what they were opened from, opened
again on the other side."""

import concurrent.futures
import multiprocessing
import pickle

import numpy as np
import pytest

import recording
from test_corpora import client  # noqa: F401  (a Dask cluster of two worker processes)


def write_file(path):
    rng = np.random.default_rng(5)
    data = rng.uniform(-200, 200, (3, 256 * 4))
    recording.write(path, data, rate=256, labels=["A", "B", "C"], bdf=True,
                    annotations=[(1.0, None, "marker")])


def window_sums(rec):
    # Run in a worker: what it reads from the recording that crossed into it.
    with rec:
        return float(rec.read("B", 100, 900).sum()), rec.annotations[0].text, rec.problems


def test_pickle_round_trip_keeps_source_and_options(tmp_path):
    path = tmp_path / "p.bdf"
    write_file(path)
    with recording.open(path, tolerant=True, annotations="none") as rec:
        expected = rec.read("C")
        blob = pickle.dumps(rec)
        # The same path open twice in one process is refused, as by the library.
        with pytest.raises(recording.Error):
            pickle.loads(blob)
    again = pickle.loads(blob)
    with again:
        assert again.path == str(path)
        assert again.annotations == []  # annotations="none" travelled
        assert again.problems == []  # opened tolerantly: a conforming file has none
        np.testing.assert_array_equal(again.read("C"), expected)
    # A closed recording unpickles closed, with its description and without its file.
    path.unlink()
    closed = pickle.loads(pickle.dumps(again))
    assert closed.closed and closed.names == ["A", "B", "C"] and closed.signals == again.signals
    with pytest.raises(ValueError, match="closed"):
        closed.read("A")


@pytest.mark.parametrize("pool", ["multiprocessing", "futures"])
def test_recording_crosses_into_worker_processes(tmp_path, pool):
    path = tmp_path / "w.bdf"
    write_file(path)
    with recording.open(path) as rec:
        expected = float(rec.read("B", 100, 900).sum())
    context = multiprocessing.get_context("spawn")
    # Each worker process opens the file that this process holds open.
    with recording.open(path) as rec:
        arguments = [rec, rec]
        if pool == "multiprocessing":
            with context.Pool(2) as workers:
                found = workers.map(window_sums, arguments)
        else:
            with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as workers:
                found = list(workers.map(window_sums, arguments))
    assert found == [(expected, "marker", [])] * 2


def test_recording_crosses_into_dask_workers(tmp_path, client):  # noqa: F811
    path = tmp_path / "d.bdf"
    write_file(path)
    with recording.open(path) as rec:
        expected = float(rec.read("B", 100, 900).sum())
        futures = [client.submit(window_sums, rec, pure=False) for _ in range(2)]
        assert client.gather(futures) == [(expected, "marker", [])] * 2
