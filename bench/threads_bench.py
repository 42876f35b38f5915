#!/usr/bin/python3
"""Python threads reading in parallel: two threads reading two files against one thread
reading both in turn (not a test).

    /usr/bin/python3 bench/threads_bench.py [--build build] [--repetitions 3] [--keep DIR]

Files, written with recording.Writer into a temporary directory (or DIR): a.bdf and b.bdf,
64 signals at 512 Hz, 1024 one-second records each, about 100 MB each. Reads, from a warm
page cache, each of one file (open, read, close):
  signals   every signal whole, one read() per signal (float64 physical values)
  windows   2000 random 2 s windows of all signals, read_windows() 50 windows per call,
            as a training loader asks for them
Each is timed as one thread reading a.bdf then b.bdf, and as two threads reading one file
each at the same time; the best of the repetitions. The ratio is the throughput of two
threads over that of one: 2.0 when two cores do twice the work in the time, 1.0 when the
calls take turns. The machine's load average and core count are printed beside it, since a
loaded machine lends the second thread less than a core; so is the same ratio for a standard
library call that releases the GIL (hashlib.sha256 of 100 MB in each thread), what the
machine lends two threads of one process at that moment.
"""

import argparse
import hashlib
import os
import pathlib
import shutil
import sys
import tempfile
import threading
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
SIGNALS, RATE, SECONDS = 64, 512, 1024


def write_file(recording, path, seed):
    """SECONDS one-second records of noise, 64 records per write."""
    rng = np.random.default_rng(seed)
    high = 8388607
    descriptions = [{"label": f"EEG {i}", "rate": RATE, "unit": "uV",
                     "physical_min": -3276.8, "physical_max": 3276.7,
                     "digital_min": -high - 1, "digital_max": high} for i in range(SIGNALS)]
    block = 64
    with recording.Writer(path, descriptions, bdf=True) as writer:
        for _ in range(SECONDS // block):
            writer.write(rng.integers(-high, high, (SIGNALS, RATE * block), dtype=np.int32),
                         digital=True)


def read_signals(recording, path):
    with recording.open(path) as rec:
        for i in range(len(rec.signals)):
            rec.read(i)


def read_windows(recording, path):
    rng = np.random.default_rng(3)
    starts = rng.uniform(0, SECONDS - 2, 2000)
    with recording.open(path) as rec:
        for first in range(0, len(starts), 50):
            rec.read_windows(starts[first:first + 50], 2.0)


def one_thread(action, paths):
    for path in paths:
        action(path)


def two_threads(action, paths):
    threads = [threading.Thread(target=action, args=(path,)) for path in paths]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def best_of(repetitions, run):
    best = float("inf")
    for _ in range(repetitions):
        begin = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - begin)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--keep", help="directory for the files, kept afterwards")
    args = parser.parse_args()
    sys.path.insert(0, str(pathlib.Path(args.build).resolve() / "python" / "package"))
    import recording

    work = pathlib.Path(args.keep or tempfile.mkdtemp(prefix="threads_bench_"))
    work.mkdir(parents=True, exist_ok=True)
    paths = [str(work / "a.bdf"), str(work / "b.bdf")]
    try:
        for seed, path in enumerate(paths):
            if not os.path.exists(path):
                write_file(recording, path, seed)
        size = sum(os.path.getsize(p) for p in paths) / 1e6
        print(f"files: 2 x {size / 2:.0f} MB; {os.cpu_count()} cores; load average before: "
              f"{os.getloadavg()[0]:.2f}")
        print(f"{'read':<8} {'1 thread s':>11} {'2 threads s':>12} {'ratio':>6}  load after")
        data = [bytes(100_000_000), bytes(100_000_000)]
        digest = lambda block: hashlib.sha256(block).digest()  # noqa: E731
        t_one = best_of(args.repetitions, lambda: one_thread(digest, data))
        t_two = best_of(args.repetitions, lambda: two_threads(digest, data))
        print(f"{'sha256':<8} {t_one:>11.3f} {t_two:>12.3f} {t_one / t_two:>6.2f}  "
              f"{os.getloadavg()[0]:.2f}  (the machine's ceiling)", flush=True)
        for name, read in (("signals", read_signals), ("windows", read_windows)):
            action = lambda path: read(recording, path)  # noqa: E731
            one_thread(action, paths)  # warms the page cache
            t_one = best_of(args.repetitions, lambda: one_thread(action, paths))
            t_two = best_of(args.repetitions, lambda: two_threads(action, paths))
            print(f"{name:<8} {t_one:>11.3f} {t_two:>12.3f} {t_one / t_two:>6.2f}  "
                  f"{os.getloadavg()[0]:.2f}", flush=True)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
