#!/usr/bin/python3
"""Reading through the Python module's sources against the path open, in one run on the same
file (not a test): recording.open(bytes) and recording.open(io.BytesIO(...)) beside
recording.open(path), each timed over open + read_all() and over open + 200 random 4 s windows
of every signal (read_window), best of the repetitions, from a warm page cache. Prints the
times and the ratios (path time / source time: 1.0 is as fast as the path, above is faster).

    /usr/bin/python3 bench/python_sources_bench.py [--build build] [--repetitions 5]

The file: 64 signals at 256 Hz, 1800 one-second records (EDF+, about 60 MB), written with
recording.Writer into a temporary directory. The bytes and the BytesIO are made before the
timing starts (what a caller that holds a download has).
"""

import argparse
import io
import pathlib
import sys
import tempfile
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]


def best_of(repetitions, action):
    best = float("inf")
    for _ in range(repetitions):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--repetitions", type=int, default=5)
    args = parser.parse_args()
    sys.path.insert(0, str(pathlib.Path(args.build) / "python" / "package"))
    import recording

    signals, rate, seconds = 64, 256, 1800
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "sources.edf"
        rng = np.random.default_rng(3)
        block = rng.integers(-20000, 20000, (signals, rate * 60), dtype=np.intc)
        descriptions = [{"label": f"S{i}", "rate": rate, "physical_min": -3276.8,
                         "physical_max": 3276.7, "digital_min": -32768, "digital_max": 32767}
                        for i in range(signals)]
        with recording.Writer(path, descriptions) as writer:
            for start in range(0, seconds, 60):
                writer.write(block, digital=True)
                writer.annotate(start + 0.5, None, f"minute {start // 60}")
        data = path.read_bytes()
        starts = rng.uniform(0, seconds - 4, 200)
        sources = {
            "path": lambda: path,
            "bytes": lambda: data,
            "BytesIO": lambda: io.BytesIO(data),
        }

        def whole(make):
            def run():
                with recording.open(make()) as rec:
                    rec.read_all()
            return run

        def windows(make):
            def run():
                with recording.open(make()) as rec:
                    for t in starts:
                        rec.read_window(t, t + 4.0)
            return run

        print(f"{path.name}: {len(data) / 1e6:.0f} MB, {signals} signals x {rate} Hz x "
              f"{seconds} s; best of {args.repetitions}")
        for name, pattern in (("read_all", whole), ("200 windows of 4 s", windows)):
            times = {kind: best_of(args.repetitions, pattern(make))
                     for kind, make in sources.items()}
            for kind, t in times.items():
                ratio = times["path"] / t
                print(f"  {name:20s} {kind:8s} {t * 1e3:8.1f} ms   ratio to the path {ratio:5.2f}"
                      f"   (target >= 0.90)" if kind != "path" else
                      f"  {name:20s} {kind:8s} {t * 1e3:8.1f} ms")


if __name__ == "__main__":
    main()
