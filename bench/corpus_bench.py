"""The corpus tools over a generated corpus of mixed kinds (not a test): edfinfo --check with
one thread against two, the cost per file and what it makes of NSRR's 31,166 files, and the
catalogue's first indexing against a re-indexing after 1 % of the files changed.

    PYTHONPATH=build/python/package /usr/bin/python3 bench/corpus_bench.py build/inspector/edfinfo

The corpus (2,000 files, about 1.3 GB) is written into a temporary directory and removed at
the end, or kept in the directory that --corpus names (written there when it is missing, used
as it is when not); --only check or --only index times one half. Most files hold 300 one-second records (the check reads every record's annotation
signal, as the strict open does), eight large ones 2048 records of 64 signals. Times are
wall-clock times, best of three, from a warm page cache."""

import argparse
import os
import pathlib
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import recording

FILES = 2000
LARGE = 8  # files of about 64 MB each
NSRR_FILES = 31166


def write_corpus(root: pathlib.Path) -> dict:
    """Writes the corpus; returns the number of files of each kind."""
    rng = np.random.default_rng(1)
    kinds = {}
    small = rng.normal(0, 50, (2, 256 * 300))  # 2 signals, 256 Hz, 300 one-second records

    def count(kind):
        kinds[kind] = kinds.get(kind, 0) + 1

    for n in range(FILES):
        folder = root / f"site{n % 7}" / f"batch{n % 13}"
        folder.mkdir(parents=True, exist_ok=True)
        choice = n % 20
        if n < LARGE:
            # 64 signals at 256 Hz for 2048 s, 16-bit: about 64 MB.
            path = folder / f"large{n}.edf"
            with recording.Writer(path, [{"label": f"EEG{s}", "rate": 256,
                                          "physical_min": -500, "physical_max": 500}
                                         for s in range(64)]) as writer:
                block = [rng.normal(0, 50, 256) for _ in range(64)]
                for _ in range(2048):
                    writer.write(block)
            count("EDF+ large")
        elif choice < 8:
            path = folder / f"r{n}.edf"
            recording.write(path, small, rate=256, patient={"code": f"P{n % 300}"},
                            annotations=[(1.0, None, "lights off"), (50.0, 2.0, "arousal")])
            count("EDF+")
        elif choice < 12:
            path = folder / f"r{n}.BDF"
            recording.write(path, small, rate=256, bdf=True)
            count("BDF+")
        elif choice < 14:
            # Plain EDF: an EDF+ file without the "EDF+C" mark and with free texts.
            path = folder / f"r{n}.edf"
            recording.write(path, small[:, :256 * 30], rate=256)
            raw = bytearray(path.read_bytes())
            raw[8:88] = b"patient free text".ljust(80)
            raw[192:236] = b" " * 44
            path.write_bytes(bytes(raw))
            count("EDF")
        elif choice < 16:
            path = folder / f"r{n}.edf"
            with recording.Writer(path, [{"label": "x", "rate": 256}],
                                  discontinuous=True) as writer:
                for r in range(30):
                    writer.write([small[0, :256]], start=r * 2.0 if r % 10 == 0 else None)
            count("EDF+D")
        elif choice < 18:
            # A writer that died: the count "-1" and half a record.
            path = folder / f"r{n}.edf"
            recording.write(path, small, rate=256)
            raw = bytearray(path.read_bytes())
            raw[236:244] = b"-1      "
            path.write_bytes(bytes(raw) + bytes(1000))
            count("broken: unfinished")
        elif choice < 19:
            # ':' in the start time and junk in the reserved field.
            path = folder / f"r{n}.edf"
            recording.write(path, small[:, :256 * 20], rate=256)
            raw = bytearray(path.read_bytes())
            raw[176:184] = b"10:20:30"
            path.write_bytes(bytes(raw))
            count("broken: header texts")
        else:
            path = folder / f"r{n}.edf"
            path.write_bytes(b"0       " + bytes(random.Random(n).randrange(256)
                                                 for _ in range(300)))
            count("broken: unreadable")
    return kinds


def timed(command, repeats=3):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        best = min(best, time.perf_counter() - start)
    return best


def timed_with_cpu(command):
    """Wall-clock and CPU (user + system, every thread) seconds of one run."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def time_check(edfinfo, root, work, files):
    summary = subprocess.run([edfinfo, "--check", root], capture_output=True, text=True)
    print("check: " + next(line for line in summary.stdout.splitlines()
                            if line.startswith(f"{FILES} files: ")))
    one = timed([edfinfo, "--check", "--jobs", "1", root])
    two = timed([edfinfo, "--check", "--jobs", "2", root])
    print(f"--check --jobs 1: {one:.3f} s; --jobs 2: {two:.3f} s; "
          f"speed-up {one / two:.2f}x (target >= 1.7 on two cores)")
    # Two processes of one thread each over halves of the corpus: what two cores give
    # when the files' work does not share a process.
    halves = [work / "first.txt", work / "second.txt"]
    halves[0].write_text("\n".join(files[0::2]) + "\n")
    halves[1].write_text("\n".join(files[1::2]) + "\n")
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        running = [subprocess.Popen([edfinfo, "--check", "--jobs", "1", f"@{h}"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                   for h in halves]
        for p in running:
            p.wait()
        best = min(best, time.perf_counter() - start)
    print(f"two processes of --jobs 1 over halves: {best:.3f} s; speed-up "
          f"{one / best:.2f}x")
    per_file = min(one, two) / FILES
    print(f"per file of this corpus: {per_file * 1e3:.2f} ms; {NSRR_FILES} files: "
          f"{per_file * NSRR_FILES / 60:.1f} min (target < 60 min)")
    # NSRR's files are larger (hours of records): the large files alone, one thread.
    large = sorted(str(p) for p in root.rglob("large*.edf"))
    (work / "large.txt").write_text("\n".join(large) + "\n")
    per_large = timed([edfinfo, "--check", "--jobs", "1", f"@{work / 'large.txt'}"]) / LARGE
    print(f"per large file (64 MB, 2048 records of 64 signals): {per_large * 1e3:.1f} ms; "
          f"{NSRR_FILES} such files, one thread: {per_large * NSRR_FILES / 60:.1f} min")


def time_index(edfinfo, root, work, files):
    # The catalogue: the first indexing (a new database each time), then re-indexing after
    # 1 % of the files changed (another time of change), each a median of five runs. Beside
    # the wall-clock times, the CPU times: on a shared machine the wall-clock time of a
    # re-indexing is mostly its one commit's waits for the disk (fdatasync), which other
    # work's writes lengthen.
    database = work / "catalogue.db"
    index = [edfinfo, "--index", database, "--jobs", "2", root]
    firsts = []
    for _ in range(5):
        database.unlink(missing_ok=True)
        firsts.append(timed_with_cpu(index))
    agains = []
    for trial in range(5):
        for path in random.Random(trial).sample(files[LARGE:], FILES // 100):
            os.utime(path)
        agains.append(timed_with_cpu(index))
    sames = [timed_with_cpu(index) for _ in range(5)]
    result = subprocess.run(index, check=False, capture_output=True, text=True)

    def medians(runs):
        return statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs)

    first, first_cpu = medians(firsts)
    again, again_cpu = medians(agains)
    same, same_cpu = medians(sames)
    print(f"--index first: {first:.3f} s; after {FILES // 100} files changed: {again:.3f} s "
          f"= {100 * again / first:.1f} % of the first (target <= 5 %); unchanged: "
          f"{same:.3f} s ({result.stdout.strip()})")
    print(f"--index CPU time: first {first_cpu * 1e3:.0f} ms; after {FILES // 100} files "
          f"changed: {again_cpu * 1e3:.1f} ms = {100 * again_cpu / first_cpu:.1f} %; unchanged: "
          f"{same_cpu * 1e3:.1f} ms")

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("edfinfo", nargs="?", default="build/inspector/edfinfo")
    parser.add_argument("--corpus", type=pathlib.Path,
                        help="the corpus's directory, kept (written when missing)")
    parser.add_argument("--only", choices=("check", "index"), help="time one half only")
    args = parser.parse_args()
    edfinfo = os.path.abspath(args.edfinfo)
    work = pathlib.Path(tempfile.mkdtemp(prefix="corpus-bench-"))
    try:
        root = args.corpus.resolve() if args.corpus else work / "corpus"
        if not root.exists():
            started = time.perf_counter()
            kinds = write_corpus(root)
            print(f"corpus: {FILES} files written in {time.perf_counter() - started:.0f} s: " +
                  ", ".join(f"{k} {v}" for k, v in sorted(kinds.items())))
        size = sum(p.stat().st_size for p in root.rglob("*") if p.is_file())
        print(f"corpus: {FILES} files, {size / 1e9:.2f} GB")
        print(f"load average before: {os.getloadavg()[0]:.2f}")
        timed([edfinfo, "--check", "--jobs", "1", root], repeats=1)  # warm the cache
        files = sorted(str(p) for p in root.rglob("*") if p.suffix.lower() in (".edf", ".bdf"))
        if args.only != "index":
            time_check(edfinfo, root, work, files)
        if args.only != "check":
            time_index(edfinfo, root, work, files)
        print(f"load average after: {os.getloadavg()[0]:.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
