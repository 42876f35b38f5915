"""Recordings opened from bytes, file objects and URLs read exactly as from their path; a source
that fails gives its exception, never wrong samples; URLs are read from a real nginx with range
requests, and a window costs far less than the file."""

import io
import os
import pickle
import re
import shutil
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

import recording

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "http"))
import nginx_server  # noqa: E402  (the shared loopback server of the HTTP tests)

CORPUS = Path(os.environ.get("RECORDING_FUZZ_CORPUS")
              or Path(__file__).resolve().parents[2] / "fuzz" / "corpus" / "fuzz_reader")


def generated(folder):
    """A few files that differ where the reader's paths differ: EDF+ with annotations, BDF+
    with two rates, plain EDF, and EDF+D."""
    rng = np.random.default_rng(21)
    files = []
    path = folder / "a.edf"
    recording.write(path, rng.uniform(-100, 100, (3, 256 * 6)), rate=256, labels=["A", "B", "C"],
                    annotations=[(0.5, None, "lights off"), (2.25, 1.5, "arousal")])
    files.append(path)
    path = folder / "b.bdf"
    signals = [{"label": "fast", "rate": 512}, {"label": "slow", "rate": 8}]
    with recording.Writer(path, signals, bdf=True) as w:
        for second in range(4):
            w.write([rng.integers(-1000, 1000, 512), rng.integers(-1000, 1000, 8)])
        w.annotate(1.0, None, "ü in a BDF+")
    files.append(path)
    plain = folder / "plain.edf"
    with open(files[0], "rb") as f:
        data = bytearray(f.read())
    data[192:197] = b"     "  # no "EDF+C": a plain EDF file whose annotation signal is a signal
    plain.write_bytes(bytes(data))
    files.append(plain)
    path = folder / "gaps.edf"
    with recording.Writer(path, [{"label": "A", "rate": 4}], discontinuous=True) as w:
        w.write([list(range(8))], start=0.0)
        w.write([list(range(8, 12))], start=5.0)
        w.annotate(5.5, None, "after the gap")
    files.append(path)
    return files


def outcome(opened):
    """Everything a recording tells, or the type and words of the exception of its open."""
    try:
        with opened() as rec:
            samples = rec.read_all(digital=True)
            return (rec.header, rec.signals, rec.segments, rec.annotations, rec.problems,
                    {k: v.tolist() for k, v in samples.items()})
    except Exception as error:  # noqa: BLE001 (the failures must match too)
        return type(error), getattr(error, "code", None)


def zip_member(path, folder, compression):
    archive = folder / f"{path.name}.{compression}.zip"
    with zipfile.ZipFile(archive, "w", compression) as z:
        z.write(path, path.name)
    return zipfile.ZipFile(archive).open(path.name)


def opened_as(how, path, folder, **options):
    if how == "bytes":
        return lambda: recording.open(path.read_bytes(), **options)
    if how == "bytearray":
        return lambda: recording.open(bytearray(path.read_bytes()), **options)
    if how == "memoryview":
        return lambda: recording.open(memoryview(path.read_bytes()), **options)
    if how == "BytesIO":
        return lambda: recording.open(io.BytesIO(path.read_bytes()), **options)
    if how == "open file":
        return lambda: recording.open(open(path, "rb"), **options)
    if how == "stored member":
        return lambda: recording.open(zip_member(path, folder, zipfile.ZIP_STORED), **options)
    return lambda: recording.open(zip_member(path, folder, zipfile.ZIP_DEFLATED), **options)


HOWS = ["bytes", "bytearray", "memoryview", "BytesIO", "open file", "stored member",
        "deflated member"]


@pytest.mark.parametrize("how", HOWS)
def test_every_source_reads_as_the_path(tmp_path, how):
    read = 0
    for path in generated(tmp_path):
        for options in ({"tolerant": False}, {"tolerant": True}, {"annotations": "first"}):
            expected = outcome(lambda: recording.open(path, **options))
            assert outcome(opened_as(how, path, tmp_path, **options)) == expected, (path, options)
            read += isinstance(expected[0], recording.Header)
    assert read == 10  # all but the EDF+D file opened strictly


def test_fuzz_corpus_reads_the_same_from_memory_and_file_objects():
    paths = sorted(CORPUS.iterdir())
    assert len(paths) > 100
    readable = 0
    for path in paths:
        for tolerant in (False, True):
            expected = outcome(lambda: recording.open(path, tolerant=tolerant))
            readable += isinstance(expected[0], recording.Header)
            data = path.read_bytes()
            assert outcome(lambda: recording.open(data, tolerant=tolerant)) == expected, path
            assert outcome(lambda: recording.open(io.BytesIO(data), tolerant=tolerant)) == \
                expected, path
    assert readable > 50


class FailingFile(io.BytesIO):
    """A file object whose n-th readinto raises (or misbehaves, as `how` says)."""

    def __init__(self, data, n, how):
        super().__init__(data)
        self.calls, self.n, self.how = 0, n, how

    def readinto(self, buffer):
        self.calls += 1
        if self.calls == self.n:
            if self.how == "raise":
                raise Broken(f"call {self.n}")
            if self.how == "too many":
                return len(buffer) + 1
            if self.how == "not a number":
                return "12"
            return None
        return super().readinto(buffer)


class Broken(Exception):
    pass


@pytest.mark.parametrize("how", ["raise", "too many", "not a number", "none"])
def test_a_failing_file_object_gives_an_exception_never_wrong_samples(tmp_path, how):
    path = generated(tmp_path)[1]
    data = path.read_bytes()
    expected = outcome(lambda: recording.open(path))
    calls = 0
    for n in range(1, 40):
        file = FailingFile(data, n, how)
        try:
            with recording.open(file) as rec:
                read = outcome(lambda: rec)
                found = read if not isinstance(read[0], type) else None
                if found is None:
                    raise read[0]("from the reads")
                assert found == expected
        except Broken as error:
            assert how == "raise" and str(error) == f"call {n}"
        except OSError as error:
            assert how != "raise" and "file object" in str(error)
        else:
            # The n-th call never came: every read was served.
            assert file.calls < n
            calls = n
            break
    assert calls > 1


def test_buffers_are_held_without_a_copy_and_file_objects_stay_the_callers(tmp_path):
    path = generated(tmp_path)[0]
    data = bytearray(path.read_bytes())
    with recording.open(data) as rec:
        with pytest.raises(BufferError):
            data.extend(b"x")  # exported while open
        assert rec.path == "<bytearray>"
    data.extend(b"x")  # let go at close
    file = open(path, "rb")
    with recording.open(file) as rec:
        assert rec.path == str(path)
    assert not file.closed
    file.close()
    with pytest.raises(TypeError, match="file object with seek"):
        recording.open(12)
    with pytest.raises(TypeError, match="storage_options"):
        recording.open(path, storage_options={})


def test_pickling_sends_bytes_and_paths_and_refuses_other_file_objects(tmp_path):
    path = generated(tmp_path)[0]
    expected = outcome(lambda: recording.open(path))
    for source in (path.read_bytes(), bytearray(path.read_bytes())):
        with recording.open(source, annotations="first") as rec:
            again = pickle.loads(pickle.dumps(rec))
        assert again._options == {"tolerant": False, "annotations": "first"}
        assert outcome(lambda: again) == expected
    # An open local file travels as its path.
    with open(path, "rb") as file, recording.open(file) as rec:
        blob = pickle.dumps(rec)
    assert outcome(lambda: pickle.loads(blob)) == expected
    with recording.open(io.BytesIO(path.read_bytes())) as rec:
        with pytest.raises(TypeError, match="file object"):
            pickle.dumps(rec)
    # Closed, it pickles as its description.
    assert pickle.loads(pickle.dumps(rec)).closed


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """nginx on a loopback port serving www/ (range requests, as for any static file), /drop/
    closing every connection without an answer, /cut/ serving www/ but closing the
    connection of every range request; its access log counts the bytes it sent."""
    if nginx_server.executable() is None:
        pytest.skip("nginx is missing (Debian: nginx-light)")
    pytest.importorskip("fsspec")
    pytest.importorskip("aiohttp")
    root = tmp_path_factory.mktemp("nginx")
    locations = f"""
    location /drop/ {{ return 444; }}
    location /cut/ {{ alias {root}/www/; if ($http_range) {{ return 444; }} }}"""
    with nginx_server.NginxServer(root, locations) as nginx:
        yield {"origin": nginx.origin, "www": nginx.www, "served": nginx.served}


def test_urls_read_as_the_path_and_fetch_only_what_they_read(tmp_path, server):
    small = generated(tmp_path)[0]
    shutil.copy(small, server["www"] / "a.edf")
    url = server["origin"] + "/a.edf"
    assert outcome(lambda: recording.open(url)) == outcome(lambda: recording.open(small))
    with recording.open(url, tolerant=True) as rec:
        again = pickle.loads(pickle.dumps(rec))  # by URL and storage options
        assert again.path == url and again._source == ("url", (url, {}))
        np.testing.assert_array_equal(again.read("B"), rec.read("B"))
        again.close()
    # A large file: one 4 s window of every signal.
    large = tmp_path / "large.bdf"
    rate, seconds = 512, 600
    with recording.Writer(large, [{"label": f"S{i}", "rate": rate} for i in range(16)],
                          bdf=True) as w:
        block = np.arange(rate * 60, dtype=np.int64) % 8000 - 4000
        for minute in range(seconds // 60):
            w.write([block] * 16)
    shutil.copy(large, server["www"] / "large.bdf")
    size = large.stat().st_size
    before = server["served"]("large.bdf")
    with recording.open(server["origin"] + "/large.bdf", annotations="none") as rec:
        window = rec.read_window(300.0, 304.0, digital=True)
    with recording.open(large, annotations="none") as rec:
        expected = rec.read_window(300.0, 304.0, digital=True)
    assert all(np.array_equal(window[k], expected[k]) for k in expected)
    requests, sent = (a - b for a, b in zip(server["served"]("large.bdf"), before))
    print("window over HTTP:", requests, "requests,", sent, "of", size, "bytes")
    assert sent < size / 50 and requests <= 8, (requests, sent, size)


def test_url_errors_are_the_errors_of_files(tmp_path, server):
    shutil.copy(generated(tmp_path)[0], server["www"] / "cut.edf")
    with pytest.raises(FileNotFoundError):
        recording.open(server["origin"] + "/missing.edf")
    # Dropped when the size is asked for, and when the header is read.
    for url in (server["origin"] + "/drop/cut.edf", server["origin"] + "/cut/cut.edf"):
        with pytest.raises(OSError, match=re.escape(url)) as raised:
            recording.open(url)
        assert not isinstance(raised.value, FileNotFoundError)


def test_urls_need_fsspec_only_when_given(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "fsspec", None)  # as if it were not installed
    with pytest.raises(ImportError, match="python3-fsspec"):
        recording.open("https://example.org/a.edf")
    path = generated(tmp_path)[0]
    with recording.open(path.read_bytes()) as rec:
        assert rec.header.record_count == 6
