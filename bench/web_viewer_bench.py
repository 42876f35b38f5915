"""The viewer in the browser, measured through window.viewer in headless Chromium: the open of
a 1 GB EDF+ file of 64 signals at 256 Hz (written by the Python module), the memory of the
page's processes, the drawing of 10 s of all 64 signals and the records that scrolling reads.

    VIEWER_DIR=<scripts/build-web output> PYTHONPATH=<build>/python/package \\
        /usr/bin/python3 bench/web_viewer_bench.py [FILE]

Targets: open under 1 s, the page's memory under 300 MB, a frame under 16 ms."""

import functools
import http.server
import os
import statistics
import sys
import threading
import time
from pathlib import Path

import numpy as np
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

import recording

SIGNALS, RATE, RECORDS = 64, 256, 32_650  # 64 x 256 x 2 bytes + 120: 1.07 GB


def write_recording(path):
    signals = [{"label": f"EEG {i + 1}", "rate": RATE, "unit": "uV", "physical_min": -500,
                "physical_max": 500} for i in range(SIGNALS)]
    t = np.arange(60 * RATE) / RATE
    block = np.array([300 * np.sin(2 * np.pi * (1 + i % 20) * t) for i in range(SIGNALS)])
    with recording.Writer(path, signals) as w:
        for first in range(0, RECORDS, 60):
            w.write(block[:, : min(60, RECORDS - first) * RATE])
        for minute in range(0, RECORDS // 60):
            w.annotate(minute * 60.0, None, f"minute {minute}")


def renderer_memory(driver):
    """The memory of the browser's renderer processes (the page runs in one, with its
    Workers, which are threads of that process): per process, in MB, its resident set split
    into anonymous memory (heaps: JavaScript, WebAssembly, the allocator's), shared memory
    (buffers handed between processes) and file pages (the browser's program and libraries,
    shared with every process of the browser), and its proportional share (Pss, which divides
    shared pages among the processes that map them); with the page's JavaScript heap."""
    metrics = driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]
    heap = {m["name"]: m["value"] for m in metrics}.get("JSHeapTotalSize", 0) / 2**20
    processes = []
    for pid in os.listdir("/proc"):
        try:
            command = Path(f"/proc/{pid}/cmdline").read_bytes()
            if b"chromium" not in command or b"--type=renderer" not in command:
                continue
            fields = {}
            for name in (f"/proc/{pid}/status", f"/proc/{pid}/smaps_rollup"):
                for line in Path(name).read_text().splitlines():
                    key, _, value = line.partition(":")
                    if value.strip().endswith("kB"):
                        fields.setdefault(key, int(value.split()[0]) / 1024)
            processes.append({k: round(fields.get(v, 0)) for k, v in (
                ("rss", "VmRSS"), ("anonymous", "RssAnon"), ("shared", "RssShmem"),
                ("file", "RssFile"), ("pss", "Pss"))})
        except OSError:
            continue
    return processes, heap


def memory_text(processes, heap):
    each = "; ".join(f"{p['rss']} resident = {p['anonymous']} anonymous + {p['shared']} shared "
                     f"+ {p['file']} file pages, Pss {p['pss']}" for p in processes)
    return f"{len(processes)} renderer process(es): {each} MB; page's JavaScript heap {heap:.0f} MB"


def main():
    path = Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/viewer-bench-1gb.edf")
    if not path.exists() or path.stat().st_size < 1e9:
        started = time.perf_counter()
        write_recording(path)
        print(f"wrote {path} ({path.stat().st_size / 1e9:.2f} GB) in "
              f"{time.perf_counter() - started:.0f} s")

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *arguments):
            pass

    handler = functools.partial(Quiet, directory=os.environ["VIEWER_DIR"])
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1600,1000"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        driver.get(f"http://127.0.0.1:{server.server_port}/index.html")
        driver.execute_cdp_cmd("Performance.enable", {})
        WebDriverWait(driver, 30).until(lambda d: d.execute_script("return !!window.viewer;"))
        print("memory before the open:", memory_text(*renderer_memory(driver)))
        driver.find_element(By.ID, "file").send_keys(str(path))
        WebDriverWait(driver, 120).until(lambda d: d.execute_script(
            "const s = viewer.state(); return s.file && s.drawn.samples > 0;"))
        shown = driver.execute_script("return viewer.state().open;")
        WebDriverWait(driver, 600).until(lambda d: d.execute_script(
            "return !viewer.state().loading;"))
        s = driver.execute_script("return viewer.state();")
        print(f"open: header and first record read {shown['header_ms']:.1f} ms, first window "
              f"drawn {shown['shown_ms']:.0f} ms (target: under 1000 ms); the annotations of "
              f"all {RECORDS} records, read by a second Worker meanwhile, after "
              f"{s['open']['scan_ms']:.0f} ms ({len(s['annotations'])} annotations)")
        frames = [driver.execute_script("return viewer.redraw().ms;") for _ in range(30)]
        print(f"drawing 10 s of {SIGNALS} signals at {RATE} Hz ({s['drawn']['samples']} "
              f"samples): median {statistics.median(frames):.1f} ms, worst {max(frames):.1f} ms "
              f"per frame (target: under 16 ms)")
        reads = []
        for k in range(1, 21):
            driver.execute_async_script(
                "viewer.setWindow(arguments[0], arguments[0] + 10).then(arguments[1]);",
                3600 + 10 * k)
            reads.append(driver.execute_script("return viewer.state().read;"))
        print(f"scrolling by a screen: {max(r['records'] for r in reads)} records read per "
              f"screen, median {statistics.median(r['ms'] for r in reads):.1f} ms")
        processes, heap = renderer_memory(driver)
        print(f"memory after the open, the scan and the scrolling: {memory_text(processes, heap)}"
              f" (target: the page's processes under 300 MB; counted: their anonymous and "
              f"shared memory, {sum(p['anonymous'] + p['shared'] for p in processes)} MB)")
    finally:
        driver.quit()
        server.shutdown()


if __name__ == "__main__":
    main()
