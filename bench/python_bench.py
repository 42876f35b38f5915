#!/usr/bin/python3
"""Reading speed and memory of the Python module against MNE-Python, biosig and the C
library's own all-signals record read, all in one run on the same files (not a test).

    /usr/bin/python3 bench/python_bench.py [--build build] [--repetitions 3] [--keep DIR]

Files, written with recording.Writer into a temporary directory (or DIR):
  eeg64.edf   64 EEG-shaped signals (256 Hz, uV), 600 one-second records, about 20 MB
  large.bdf   32 signals at 2048 Hz, 1024 one-second records, about 200 MB
  huge.edf    64 signals at 512 Hz, 16384 one-second records, about 1 GB
Timings are the best of the repetitions, from a warm page cache, each covering open, reading
every signal into memory and close. Readers: recording.Recording.read_all (NumPy arrays),
`read_every_signal` (the C all-signals record read, built in <build>/bench), mne.io.read_raw_edf /
read_raw_bdf(preload=True) and biosig.data (Debian's python3-biosig), where installed.
Memory: the peak resident size of a fresh interpreter that opens huge.edf and reads a
one-minute window of every signal, next to that of one that only imports the module.
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
LABELS_1020 = ["Fp1", "Fp2", "F7", "F3", "Fz", "F4", "F8", "T3", "C3", "Cz", "C4", "T4",
               "T5", "P3", "Pz", "P4", "T6", "O1", "O2"]


def eeg_labels(count):
    return [f"EEG {LABELS_1020[i % len(LABELS_1020)]}-{i // len(LABELS_1020)}"
            for i in range(count)]


def write_file(recording, path, signals, rate, seconds, bdf, block=60):
    """Writes `seconds` one-second records of EEG-like digital samples (noise plus an
    alpha rhythm), `block` records per write."""
    rng = np.random.default_rng(7)
    dmax = 8388607 if bdf else 32767
    descriptions = [{"label": label, "rate": rate, "unit": "uV", "physical_min": -3276.8,
                     "physical_max": 3276.7, "digital_min": -dmax - 1, "digital_max": dmax}
                    for label in eeg_labels(signals)]
    t = np.arange(rate * block) / rate
    alpha = np.sin(2 * np.pi * 10 * t)
    chunk = (rng.normal(0, 0.1, (signals, rate * block)) + alpha) * dmax / 4
    chunk = chunk.astype(np.intc)
    with recording.Writer(path, descriptions, bdf=bdf) as writer:
        for start in range(0, seconds, block):
            n = min(block, seconds - start)
            writer.write(chunk[:, : rate * n] if n < block else chunk, digital=True)
            writer.annotate(start + 0.5, None, f"block {start // block}")


def best_of(repetitions, action):
    best = float("inf")
    for _ in range(repetitions):
        begin = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - begin)
    return best


def peak_rss_mb(package, code):
    """Peak resident size of a fresh interpreter running `code` (VmHWM: unlike ru_maxrss,
    it starts anew at exec instead of carrying over the parent's size)."""
    report = ("\nfor line in open('/proc/self/status'):\n"
              "    if line.startswith('VmHWM:'):\n"
              "        print(line.split()[1])")
    result = subprocess.run([sys.executable, "-c", code + report],
                            env={**os.environ, "PYTHONPATH": str(package)}, check=True,
                            capture_output=True, text=True)
    return int(result.stdout.split()[-1]) / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--keep", help="directory for the files, kept afterwards")
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    package = build / "python" / "package"
    sys.path.insert(0, str(package))
    import recording

    work = pathlib.Path(args.keep or tempfile.mkdtemp(prefix="python_bench_"))
    work.mkdir(parents=True, exist_ok=True)
    files = {
        "eeg64.edf": (64, 256, 600, False),
        "large.bdf": (32, 2048, 1024, True),
        "huge.edf": (64, 512, 16384, False),
    }
    try:
        for name, (signals, rate, seconds, bdf) in files.items():
            path = work / name
            if not path.exists():
                begin = time.perf_counter()
                write_file(recording, path, signals, rate, seconds, bdf)
                print(f"wrote {name}: {path.stat().st_size / 1e6:.0f} MB in "
                      f"{time.perf_counter() - begin:.1f} s", flush=True)

        try:
            import mne
        except ImportError:
            mne = None
        try:
            import biosig
        except ImportError:
            biosig = None
        c_reader = build / "bench" / "read_every_signal"

        def ours(path):
            with recording.open(path) as rec:
                rec.read_all()

        print(f"\nreading every signal, best of {args.repetitions} (seconds)")
        print(f"{'file':<10} {'recording':>10} {'C read':>10} {'MNE':>10} {'biosig':>10}"
              f" {'MNE/rec':>8} {'biosig/rec':>10} {'rec/C':>6}")
        for name in ("eeg64.edf", "large.bdf"):
            path = str(work / name)
            ours(path)  # warms the page cache
            t_ours = best_of(args.repetitions, lambda: ours(path))
            t_c = t_mne = t_biosig = float("nan")
            if c_reader.exists():
                t_c = float(subprocess.run([str(c_reader), path, str(args.repetitions)],
                                           check=True, capture_output=True,
                                           text=True).stdout)
            if mne is not None:
                reader = mne.io.read_raw_bdf if name.endswith(".bdf") else mne.io.read_raw_edf
                t_mne = best_of(args.repetitions,
                                lambda: reader(path, preload=True, verbose="error"))
            if biosig is not None:
                t_biosig = best_of(args.repetitions, lambda: biosig.data(path))
            print(f"{name:<10} {t_ours:>10.3f} {t_c:>10.3f} {t_mne:>10.3f} {t_biosig:>10.3f}"
                  f" {t_mne / t_ours:>8.1f} {t_biosig / t_ours:>10.1f} {t_ours / t_c:>6.2f}")

        huge = work / "huge.edf"
        window = (f"import recording\nrec = recording.open({str(huge)!r})\n"
                  f"w = rec.read_window(7200, 7260)\n"
                  f"assert sum(len(a) for a in w.values()) == 64 * 512 * 60")
        base = peak_rss_mb(package, "import recording, numpy")
        peak = peak_rss_mb(package, window)
        print(f"\none-minute window of huge.edf ({huge.stat().st_size / 1e9:.2f} GB): peak RSS "
              f"{peak:.1f} MB (interpreter with recording and NumPy imported: {base:.1f} MB)")
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
