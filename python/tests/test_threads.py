"""Python threads: each with files of its own, writing and reading them at once, and two
threads sharing one Recording. Every value read is checked against what was written."""

import threading

import numpy as np
import pytest

import recording

RATE = 256
SECONDS = 40
THREADS = 8


def described(rate, low, high):
    return {"label": f"S{rate}", "rate": rate, "unit": "uV", "physical_min": -1000.0,
            "physical_max": 1000.0, "digital_min": low, "digital_max": high}


def write_own_file(path, seed, bdf=True, seconds=SECONDS):
    """A file of two signals at RATE and one at half of it, whose digital samples come from
    `seed`; returns them and the annotation texts."""
    high = 8388607 if bdf else 32767
    rng = np.random.default_rng(seed)
    samples = [rng.integers(-high - 1, high + 1, rate * seconds, dtype=np.int32)
               for rate in (RATE, RATE // 2, RATE)]
    texts = [f"file {seed} mark {n}" for n in range(seconds)]
    signals = [described(RATE, -high - 1, high), described(RATE // 2, -high - 1, high),
               described(RATE, -high - 1, high)]
    signals[2]["label"] = "T256"
    with recording.Writer(path, signals, bdf=bdf) as writer:
        for second in range(0, seconds, 8):
            writer.write([s[second * len(s) // seconds:(second + 8) * len(s) // seconds]
                          for s in samples], digital=True)
        for n, text in enumerate(texts):
            writer.annotate(n + 0.25, None, text)
    return samples, texts


def physical(rec, index, digital):
    s = rec.signals[index]
    bit = (s.physical_max - s.physical_min) / (s.digital_max - s.digital_min)
    return (digital.astype(np.float64) + s.physical_max / bit - s.digital_max) * bit


def run_threads(count, work):
    """Runs work(k) in `count` threads started together; re-raises the first failure."""
    start = threading.Barrier(count)
    failures = []

    def run(k):
        try:
            start.wait()
            work(k)
        except BaseException as error:  # reported in the main thread
            failures.append(error)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise failures[0]


def check_own_file(path, samples, texts, rng):
    with recording.open(path) as rec:
        assert [a.text for a in rec.annotations] == texts
        for index, expected in enumerate(samples):
            np.testing.assert_array_equal(rec.read(index, digital=True), expected)
        np.testing.assert_allclose(rec.read(1), physical(rec, 1, samples[1]), rtol=1e-12)
        starts = rng.integers(0, RATE * (SECONDS - 2), 50)
        windows = rec.read_windows(starts / RATE, 2.0, signals=[0, 2], digital=True)
        as_physical = rec.read_windows(starts / RATE, 2.0, signals=[0, 2])
        for w, start in enumerate(starts):
            for i, index in enumerate((0, 2)):
                expected = samples[index][start:start + 2 * RATE]
                np.testing.assert_array_equal(windows[w, i], expected)
                np.testing.assert_allclose(as_physical[w, i], physical(rec, index, expected),
                                           rtol=1e-12)


@pytest.mark.parametrize("bdf", [False, True])
def test_threads_write_and_read_their_own_files(tmp_path, bdf):
    def work(k):
        rng = np.random.default_rng(100 + k)
        for round_ in range(3):
            path = tmp_path / f"t{k}-{round_}.{'bdf' if bdf else 'edf'}"
            samples, texts = write_own_file(path, 10 * k + round_, bdf)
            check_own_file(path, samples, texts, rng)

    run_threads(THREADS, work)


def test_threads_sharing_one_recording_take_turns(tmp_path):
    seconds = 400
    samples, texts = write_own_file(tmp_path / "shared.bdf", 1, seconds=seconds)
    other, _ = write_own_file(tmp_path / "other.bdf", 2)
    rec = recording.open(tmp_path / "shared.bdf")
    closing = threading.Event()

    def work(k):
        # Reads from positions of their own on the same signal (a seek and a read each),
        # record reads and windows, until the recording is closed under them: every read
        # before gives this file's samples, every one after raises ValueError, none reads
        # the file opened meanwhile under the handle number given back.
        rng = np.random.default_rng(k)
        reads = 0
        while True:
            try:
                start = int(rng.integers(0, RATE * (seconds - 80)))
                if k % 2:
                    got = rec.read(0, start, start + 80 * RATE, digital=True)
                    np.testing.assert_array_equal(got, samples[0][start:start + 80 * RATE])
                else:
                    got = rec.read_windows([start / RATE, 0.0], 1.0, signals=[2, 0],
                                           digital=True)
                    np.testing.assert_array_equal(got[0, 0], samples[2][start:start + RATE])
                    np.testing.assert_array_equal(got[1, 1], samples[0][:RATE])
                assert [a.text for a in rec.annotations] == texts
            except ValueError as error:
                assert "closed" in str(error) and closing.is_set()
                break
            reads += 1
            if reads == 200 and k == 0:
                closing.set()
                rec.close()
                with recording.open(tmp_path / "other.bdf") as replacement:
                    np.testing.assert_array_equal(replacement.read(0, 0, 10, digital=True),
                                                  other[0][:10])
                break
        assert reads > 0 or closing.is_set()

    run_threads(4, work)
    assert rec.closed
