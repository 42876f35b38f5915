"""recording.corpus on a local process pool and on a real Dask cluster of worker processes
(a LocalCluster whose workers import the module from the build tree, through the PYTHONPATH
that they inherit): one result per path in input order, failures as results, the same rows
from both, and the catalogue that edfinfo --index writes from the same schema."""

import logging
import os
import pathlib
import shutil
import sqlite3
import stat
import subprocess

import numpy as np
import pytest

import recording
import recording.corpus as corpus
from distributed import Client, LocalCluster


def signal_count(rec):
    return len(rec.signals)


def refuses_bdf(rec):
    if rec.header.filetype.startswith("BDF"):
        raise ValueError("no BDF here")
    return rec.header.record_count


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """(paths, expected statuses): a corpus of every kind, and a path that does not exist."""
    root = tmp_path_factory.mktemp("corpus")
    data = np.zeros((2, 256 * 4))
    expected = {}

    def add(name, status):
        expected[str(root / name)] = status
        return root / name

    recording.write(add("a.edf", "conforming"), data, rate=256, labels=["Fz", "Cz"],
                    patient={"code": "P1", "name": "Jane Doe"},
                    annotations=[(1.0, 0.5, "lights off")])
    recording.write(add("b.bdf", "conforming"), data, rate=256, bdf=True,
                    patient={"code": "P2"})
    with recording.Writer(add("c.edf", "conforming"), [{"label": "x", "rate": 4}],
                          discontinuous=True, patient={"code": "P1"}) as writer:
        writer.write([np.zeros(4)])
        writer.write([np.zeros(4)], start=10.0)
    # A writer that died: count -1 and half a record.
    unfinished = add("d.edf", "repaired-readable")
    recording.write(unfinished, data, rate=256, patient={"code": "P3"})
    raw = bytearray(unfinished.read_bytes())
    raw[236:244] = b"-1      "
    unfinished.write_bytes(bytes(raw) + b"half")
    # A file of the header alone, which the tolerant open reads as empty.
    with recording.Writer(add("e.edf", "repaired-readable"), [{"label": "x", "rate": 4}]):
        pass
    add("f.edf", "unreadable").write_bytes(b"not an EDF file")
    missing = add("missing.edf", "unreadable")
    paths = [str(root / n) for n in ("a.edf", "b.bdf", "c.edf", "d.edf", "e.edf", "f.edf")]
    paths.insert(2, str(missing))
    return paths, expected


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster:
        with Client(cluster) as dask_client:
            yield dask_client


def test_workers_are_processes_that_import_the_module(client):
    where = client.run(lambda: (os.getpid(), recording.__file__))
    assert len(where) == 2
    assert {path for _, path in where.values()} == {recording.__file__}
    assert os.getpid() not in {pid for pid, _ in where.values()}


def test_check_gives_one_row_per_path_and_the_same_rows_on_a_cluster(files, client):
    paths, expected = files
    local = corpus.check(paths, workers=2)
    assert list(local["path"]) == paths
    assert list(local["status"]) == [expected[p] for p in paths]
    row = local.set_index("path").loc[paths[2]]  # the missing file
    assert row["error"] == "the file cannot be opened or created" and row["problem_count"] == 0
    row = local.set_index("path").loc[paths[4]]
    assert row["fields"] == ("number of data records", "incomplete data record")
    assert all(isinstance(p, recording.Problem) for p in row["problems"])
    assert local.set_index("path").loc[paths[3]]["problems"][0].action == 3  # EDF+D
    on_cluster = corpus.check(paths, client=client)
    assert on_cluster.to_dict("records") == local.to_dict("records")
    assert [p for p in local["problems"][4]] == recording.check(paths[4])


def catalogue_rows(db):
    """Every table's rows, with each recording's path instead of its id."""
    connection = sqlite3.connect(db)
    try:
        tables = {"recordings": sorted(connection.execute(
            "SELECT * FROM recordings").fetchall())}
        for table in ("signals", "annotations", "problems", "segments"):
            tables[table] = sorted(connection.execute(
                f"SELECT r.path, t.* FROM {table} t JOIN recordings r ON r.id = t.recording_id"
            ).fetchall())
            tables[table] = [(row[0],) + row[2:] for row in tables[table]]
        return tables
    finally:
        connection.close()


def test_index_writes_the_catalogue_of_edfinfo_and_reads_only_what_changed(
        files, client, tmp_path):
    originals, known = files
    # A copy of the corpus, which this test changes.
    (tmp_path / "copy").mkdir()
    paths, expected = [], {}
    for path in originals:
        copy = str(tmp_path / "copy" / os.path.basename(path))
        if os.path.exists(path):
            shutil.copy2(path, copy)
        paths.append(copy)
        expected[copy] = known[path]
    local = corpus.index(paths, tmp_path / "local.db", workers=2)
    assert list(local["path"]) == paths
    assert local.attrs == {"read": 6, "kept": 0, "dropped": 0}
    assert list(local["status"].fillna("")) == [
        "" if p.endswith("missing.edf") else expected[p] for p in paths]
    assert local["error"][2].startswith("no such file")
    assert list(local["readable"][[0, 1, 3, 4, 5, 6]]) == [1, 1, 1, 1, 1, 0]
    first = local.iloc[0]
    assert (first["filetype"], first["signal_count"], first["patient_code"],
            first["annotation_count"], first["duration"]) == ("EDF+", 2, "P1", 1, 4.0)
    on_cluster = corpus.index(paths, tmp_path / "cluster.db", client=client)
    assert on_cluster.attrs == local.attrs
    assert catalogue_rows(tmp_path / "cluster.db") == catalogue_rows(tmp_path / "local.db")

    # edfinfo writes the same rows into its catalogue.
    edfinfo = os.environ.get("RECORDING_EDFINFO")
    if edfinfo:
        subprocess.run([edfinfo, "--index", tmp_path / "edfinfo.db", *paths], check=False,
                       capture_output=True)
        assert catalogue_rows(tmp_path / "edfinfo.db") == catalogue_rows(tmp_path / "local.db")

    # Again, after a change and a removal: the one file changed is read, the one gone dropped.
    changed = pathlib.Path(paths[0])
    recording.write(changed, np.ones((1, 256)), rate=256, labels=["Oz"])
    os.utime(changed, ns=(10**18, 10**18))
    again = corpus.index(paths[:1] + paths[3:], tmp_path / "local.db", workers=2)
    assert again.attrs == {"read": 1, "kept": 4, "dropped": 0}
    assert again["signal_count"][0] == 1
    pathlib.Path(paths[5]).rename(paths[5] + ".gone")
    try:
        assert corpus.index([], tmp_path / "local.db").attrs["dropped"] == 1
    finally:
        pathlib.Path(paths[5] + ".gone").rename(paths[5])


def test_map_gives_each_path_its_value_or_its_exception(files, client):
    paths, _ = files
    for run in (lambda f: corpus.map(f, paths, workers=2),
                lambda f: corpus.map(f, paths, client=client)):
        counts = run(signal_count)
        assert counts[:2] == [2, 2] and counts[3:6] == [1, 2, 1]
        assert isinstance(counts[2], FileNotFoundError)
        assert isinstance(counts[6], recording.FormatError)
        refused = run(refuses_bdf)
        assert isinstance(refused[1], ValueError) and str(refused[1]) == "no BDF here"
        assert refused[0] == 4
    # Any function on a cluster (Dask serialises it), lambdas included.
    assert corpus.map(lambda rec: rec.header.filetype, paths[:2], client=client) == [
        "EDF+", "BDF+"]


def test_anonymize_writes_the_key_first_and_names_exactly_the_copies(files, client, tmp_path):
    paths, _ = files
    keys = []
    for name, options in (("local", {"workers": 2}), ("cluster", {"client": client})):
        out = tmp_path / name
        key = tmp_path / f"{name}.csv"
        results = corpus.anonymize(paths, out, key=key, pseudonym="S", **options)
        assert results[0] == str(out / "a.edf") and results[4] == str(out / "d.edf")
        assert isinstance(results[2], FileNotFoundError)
        assert isinstance(results[6], recording.FormatError)
        assert isinstance(results[5], Exception)  # header-only: its line was taken back
        assert stat.S_IMODE(os.stat(key).st_mode) == 0o600
        assert recording.open(out / "a.edf").header.patient_code == ""
        keys.append(key.read_text().replace(str(out), "OUT"))
        with pytest.raises(FileExistsError):
            corpus.anonymize(paths, out, key=key)
    assert keys[0] == keys[1]
    assert keys[0].splitlines() == [
        "file,original_start,shift_days,pseudonym",
        f"OUT/a.edf,{start_of(paths[0])},{shift_of(paths[0])},S1",
        f"OUT/b.bdf,{start_of(paths[1])},{shift_of(paths[1])},S2",
        f"OUT/c.edf,{start_of(paths[3])},{shift_of(paths[3])},S1",
        f"OUT/d.edf,{start_of(paths[4])},{shift_of(paths[4])},S3",
    ]
    # Two files of one name: the second's copy would replace the first's.
    twice = corpus.anonymize([paths[0], paths[0]], tmp_path / "twice", workers=1)
    assert twice[0] == str(tmp_path / "twice" / "a.edf") and isinstance(twice[1], ValueError)


def start_of(path):
    with recording.open(path, tolerant=True) as rec:
        return rec.header.start.strftime("%Y-%m-%dT%H:%M:%S.%f") + "0"


def shift_of(path):
    import datetime
    with recording.open(path, tolerant=True) as rec:
        return (datetime.date(1985, 1, 1) - rec.header.start.date()).days
