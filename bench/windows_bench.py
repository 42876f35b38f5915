#!/usr/bin/python3
"""Random windows for a training loop: Recording.read_windows against a NumPy memmap reader
and MNE-Python on the same file, in one run (not a test).

    /usr/bin/python3 bench/windows_bench.py [--build build] [--windows 1000] [--keep DIR]

The file, written with recording.Writer into a temporary directory (or DIR): windows.bdf,
128 signals at 512 Hz (uV, 24-bit), 600 one-second records, about 118 MB. The windows: 1000
random 2 s windows (seeded), each starting on a sample. Readers, each timed over all the
windows from a warm page cache, best of the repetitions:
  read_windows  Recording.read_windows(starts, 2.0): one (windows, 128, 1024) float64 array,
                and the same in batches of 32 windows as a data loader asks for them
  memmap        NumPy by hand: the header parsed, the data records mapped with np.memmap;
                per window the records it covers sliced, the 24-bit little-endian samples
                decoded, cut to the window and scaled by each signal's gain and offset
  MNE           mne.io.read_raw_bdf(preload=False), then raw.get_data(start, stop) per window
The values of the three agree (checked on every window, MNE's volts taken back to uV). Prints
the time per window and the ratios; the target is read_windows <= 0.5 x memmap.
"""

import argparse
import pathlib
import shutil
import sys
import tempfile
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
SIGNALS, RATE, SECONDS, WINDOW = 128, 512, 600, 2.0


def write_file(recording, path):
    """600 one-second records of EEG-like digital samples, 10 records per write."""
    rng = np.random.default_rng(11)
    dmax = 8388607
    descriptions = [{"label": f"EEG {i}", "rate": RATE, "unit": "uV", "physical_min": -8000.0,
                     "physical_max": 8000.0, "digital_min": -dmax - 1, "digital_max": dmax}
                    for i in range(SIGNALS)]
    block = 10
    t = np.arange(RATE * block) / RATE
    with recording.Writer(path, descriptions, bdf=True) as writer:
        for start in range(0, SECONDS, block):
            noise = rng.normal(0, 0.05, (SIGNALS, RATE * block))
            chunk = (noise + np.sin(2 * np.pi * 10 * (t + start))) * dmax / 3
            writer.write(chunk.astype(np.intc), digital=True)


class MemmapReader:
    """What a NumPy user writes for windows of a BDF file: the header's fields by their
    widths, the records as a memory map, and per window a slice of records decoded."""

    def __init__(self, path):
        with open(path, "rb") as f:
            head = f.read(256)
            header_bytes = int(head[184:192])
            count = int(head[252:256])
            rest = f.read(header_bytes - 256)

        def fields(offset, width):
            return [rest[offset + i * width: offset + (i + 1) * width].decode().strip()
                    for i in range(count)], offset + count * width

        labels, at = fields(0, 16)
        _, at = fields(at, 80)   # transducer
        _, at = fields(at, 8)    # physical dimension
        pmin, at = fields(at, 8)
        pmax, at = fields(at, 8)
        dmin, at = fields(at, 8)
        dmax, at = fields(at, 8)
        _, at = fields(at, 80)   # prefilter
        spr, at = fields(at, 8)
        ordinary = [i for i, label in enumerate(labels) if label != "BDF Annotations"]
        self.spr = int(spr[ordinary[0]])
        spr = np.array([int(n) for n in spr])
        self.record_bytes = int(spr.sum()) * 3
        self.offsets = (np.concatenate([[0], np.cumsum(spr)[:-1]]) * 3)[ordinary]
        pmin, pmax = (np.array([float(v[i]) for i in ordinary]) for v in (pmin, pmax))
        dmin, dmax = (np.array([float(v[i]) for i in ordinary]) for v in (dmin, dmax))
        self.gain = ((pmax - pmin) / (dmax - dmin))[:, None]
        self.offset = (pmin - dmin * self.gain[:, 0])[:, None]
        self.records = np.memmap(path, np.uint8, "r", header_bytes).reshape(-1, self.record_bytes)
        # The ordinary signals lie side by side at the start of each record.
        assert np.all(np.diff(self.offsets) == self.spr * 3) and self.offsets[0] == 0
        self.signal_bytes = len(ordinary) * self.spr * 3

    def window(self, start, samples):
        first, end = start // self.spr, -(-(start + samples) // self.spr)
        raw = np.asarray(self.records[first:end, : self.signal_bytes])
        raw = raw.reshape(end - first, -1, self.spr, 3).astype(np.int32)
        digital = raw[..., 0] | (raw[..., 1] << 8) | (raw[..., 2] << 16)
        digital = (digital ^ 0x800000) - 0x800000  # sign of the 24-bit value
        digital = digital.transpose(1, 0, 2).reshape(digital.shape[1], -1)
        within = start - first * self.spr
        return digital[:, within: within + samples] * self.gain + self.offset


def best_of(repetitions, action):
    best = float("inf")
    for _ in range(repetitions):
        begin = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - begin)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--windows", type=int, default=1000)
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--keep", help="directory for the file, kept afterwards")
    args = parser.parse_args()
    sys.path.insert(0, str(pathlib.Path(args.build).resolve() / "python" / "package"))
    import recording

    work = pathlib.Path(args.keep or tempfile.mkdtemp(prefix="windows_bench_"))
    work.mkdir(parents=True, exist_ok=True)
    path = work / "windows.bdf"
    try:
        if not path.exists():
            begin = time.perf_counter()
            write_file(recording, path)
            print(f"wrote {path.name}: {path.stat().st_size / 1e6:.0f} MB in "
                  f"{time.perf_counter() - begin:.1f} s", flush=True)
        samples = int(WINDOW * RATE)
        rng = np.random.default_rng(3)
        first = rng.integers(0, SECONDS * RATE - samples, args.windows)
        starts = first / RATE
        n = args.windows

        rec = recording.open(path)
        memmap = MemmapReader(path)
        try:
            import mne
            raw = mne.io.read_raw_bdf(path, preload=False, verbose="error")
        except ImportError:
            raw = None

        def batches():
            for b in range(0, n, 32):
                rec.read_windows(starts[b: b + 32], WINDOW)

        def by_hand():
            for s in first:
                memmap.window(int(s), samples)

        def by_mne():
            for s in first:
                raw.get_data(start=int(s), stop=int(s) + samples)

        # The values agree, window by window (MNE gives volts).
        ours = rec.read_windows(starts, WINDOW)
        assert ours.shape == (n, SIGNALS, samples)
        for w, s in enumerate(first):
            np.testing.assert_allclose(ours[w], memmap.window(int(s), samples), rtol=0,
                                       atol=1e-9)
            if raw is not None:
                np.testing.assert_allclose(ours[w] * 1e-6,
                                           raw.get_data(start=int(s), stop=int(s) + samples),
                                           rtol=0, atol=1e-15)
        print(f"values agree on all {n} windows (read_windows, memmap"
              f"{', MNE' if raw is not None else ''})")

        t_ours = best_of(args.repetitions, lambda: rec.read_windows(starts, WINDOW)) / n
        t_batches = best_of(args.repetitions, batches) / n
        t_memmap = best_of(args.repetitions, by_hand) / n
        t_mne = best_of(args.repetitions, by_mne) / n if raw is not None else float("nan")
        rec.close()
        us = 1e6
        print(f"\n{n} random {WINDOW:g} s windows of {SIGNALS} signals at {RATE} Hz (BDF), "
              f"best of {args.repetitions}, per window:")
        print(f"  read_windows (all at once)   {t_ours * us:8.1f} us")
        print(f"  read_windows (batches of 32) {t_batches * us:8.1f} us")
        print(f"  NumPy memmap by hand         {t_memmap * us:8.1f} us")
        print(f"  MNE get_data (preload=False) {t_mne * us:8.1f} us  (MNE {mne.__version__})"
              if raw is not None else "  MNE not installed")
        print(f"ratios: read_windows / memmap = {t_ours / t_memmap:.2f} (target <= 0.5), "
              f"batches of 32 / memmap = {t_batches / t_memmap:.2f}, "
              f"MNE / read_windows = {t_mne / t_ours:.1f}")
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
