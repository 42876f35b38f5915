"""The viewer opens generated recordings through its file input and reads them as the C
reader does (through the Python module); it scrolls, zooms, jumps to annotations and draws."""

import http.server
import io
import math
import shutil
import threading

import numpy as np
import pytest
from PIL import Image
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

import recording
from conftest import requested_urls

ANNOTATIONS = [(0.5, None, "lights off"), (3.25, 1.5, "arousal"), (12.0, None, "Ünïcode ✓")]


def write(path, signals, seconds, bdf=False, segments=None, annotations=ANNOTATIONS):
    """A recording of sines, 1 s records; `segments` [(start, records)] make it EDF+D."""
    with recording.Writer(path, signals, bdf=bdf, discontinuous=segments is not None,
                          patient={"name": "Test Person", "code": "P-17"}) as w:
        for start, records in segments or [(0.0, seconds)]:
            t = [np.arange(start * s["rate"], (start + records) * s["rate"]) / s["rate"]
                 for s in signals]
            values = [s["physical_max"] * 0.8 * np.sin(2 * np.pi * (k + 1) * x)
                      for k, (s, x) in enumerate(zip(signals, t))]
            if segments is None:
                w.write(values)
            else:
                w.write(values, start=start)
        for a in annotations:
            w.annotate(*a)
    return path


SIGNALS = [
    {"label": "EEG Fpz-Cz", "rate": 256, "unit": "uV", "physical_min": -200, "physical_max": 200},
    {"label": "Resp", "rate": 10, "unit": "mV", "physical_min": -5, "physical_max": 5},
    {"label": "Temp", "rate": 1, "unit": "degC", "physical_min": -50, "physical_max": 50},
]


def edf_plus(path):
    return write(path, SIGNALS, 30)


def bdf_plus(path):
    return write(path, SIGNALS[:2], 20, bdf=True)


def edf_plus_d(path):
    return write(path, SIGNALS[:2], 0, segments=[(0.0, 5), (10.0, 5), (20.5, 3)])


def broken(path):
    """A record count that does not match the file: the tolerant open counts the records."""
    edf_plus(path)
    with open(path, "r+b") as f:
        f.seek(236)
        f.write(b"-1      ")
    return path


FILES = {"edfplus.edf": edf_plus, "bdfplus.bdf": bdf_plus, "gaps.edf": edf_plus_d,
         "broken.edf": broken}


@pytest.fixture(scope="session")
def files(tmp_path_factory, site):
    folder = tmp_path_factory.mktemp("recordings")
    made = {name: make(folder / name) for name, make in FILES.items()}
    for path in made.values():
        shutil.copy(path, site["data"])
    return made


def open_file(driver, path):
    driver.find_element(By.ID, "file").send_keys(str(path))
    return wait_for_file(driver, path.name)


def wait_for_file(driver, name):
    WebDriverWait(driver, 60).until(lambda d: d.execute_script(
        "const s = viewer.state();"
        "return s.file === arguments[0] && !s.loading && s.drawn.samples > 0;", name))
    return state(driver)


def state(driver):
    return driver.execute_script("return viewer.state();")


def call(driver, expression, *arguments):
    """Runs a viewer call that returns a promise and gives its value."""
    return driver.execute_async_script(
        f"const done = arguments[arguments.length - 1];"
        f"Promise.resolve({expression}).then(done, (e) => done({{error: String(e)}}));",
        *arguments)


def expected_state(path):
    with recording.open(path, tolerant=True) as rec:
        return {
            "filetype": rec.header.filetype,
            "duration": rec.header.duration,
            "signals": [{"label": s.label, "rate": s.sampling_rate, "unit": s.unit}
                        for s in rec.signals],
            "annotations": [{"onset": a.onset, "duration": a.duration, "text": a.text}
                            for a in rec.annotations],
            "problems": [{"field": p.field, "message": p.message} for p in rec.problems],
            "segments": [{"start": s.start, "records": s.records} for s in rec.segments],
        }


@pytest.mark.parametrize("name", FILES)
def test_state_and_samples_are_the_c_readers(viewer, files, name):
    path = files[name]
    got = open_file(viewer, path)
    want = expected_state(path)
    assert {key: got[key] for key in want} == want
    assert got["shown"] == list(range(len(want["signals"])))
    assert got["t0"] == 0 and got["t1"] == min(10, want["duration"])
    if name == "broken.edf":
        assert [p["field"] for p in got["problems"]] == ["number of data records"]
    with recording.open(path, tolerant=True) as rec:
        for index in range(len(rec.signals)):
            for t0, t1 in [(0, 2.5), (3.9, 12.1), (0, math.inf)]:
                samples = call(viewer, "viewer.read(arguments[0], arguments[1], arguments[2])",
                               index, t0, 1e12 if t1 == math.inf else t1)
                window = rec.read_window(t0, t1, [index])[rec.names[index]]
                assert samples == [None if math.isnan(v) else v for v in window.tolist()]


def test_a_url_is_read_with_range_requests(viewer, files, site):
    path = files["gaps.edf"]
    got = call(viewer, "viewer.openUrl('/data/gaps.edf').then(() => viewer.state())")
    want = expected_state(path)
    assert {key: got[key] for key in want} == want
    ranges = [line for line in site["log"].read_text().splitlines() if "/data/gaps.edf" in line]
    # Ranges only (or the browser's revalidation of a range it keeps), never the whole file.
    assert ranges and all(line.split()[1] in ("206", "304") for line in ranges)


def test_scrolling_zooming_and_jumping(viewer, files):
    open_file(viewer, files["edfplus.edf"])
    canvas = viewer.find_element(By.ID, "traces")
    canvas.click()
    canvas.send_keys(Keys.ARROW_RIGHT)  # a quarter of the window
    WebDriverWait(viewer, 10).until(lambda d: state(d)["t0"] == 2.5)
    assert state(viewer)["t1"] == 12.5
    viewer.find_element(By.ID, "zoom-in").click()  # half the length, about the middle
    WebDriverWait(viewer, 10).until(lambda d: state(d)["t1"] - state(d)["t0"] == 5)
    assert state(viewer)["t0"] == 5
    canvas.send_keys(Keys.END)
    WebDriverWait(viewer, 10).until(lambda d: state(d)["t1"] == 30)
    canvas.send_keys(Keys.ARROW_RIGHT)  # never past the end
    assert state(viewer)["t0"] == 25
    call(viewer, "viewer.setWindow(-3, 4)")
    assert (state(viewer)["t0"], state(viewer)["t1"]) == (0, 7)
    # The list jumps to each annotation: its onset is then in the window.
    buttons = viewer.find_elements(By.CSS_SELECTOR, "#annotations button")
    assert [b.text.split(" ", 1)[1] for b in buttons] == [a[2] for a in ANNOTATIONS]
    buttons[2].click()
    WebDriverWait(viewer, 10).until(lambda d: state(d)["t0"] <= 12 < state(d)["t1"])
    # Signals: only those chosen are drawn, and a window's samples are counted.
    call(viewer, "viewer.setSignals([2, 0])")
    s = state(viewer)
    assert s["shown"] == [2, 0]
    assert s["drawn"]["samples"] == round((s["t1"] - s["t0"]) * 257)


def test_traces_annotations_and_gaps_are_drawn(viewer, files):
    open_file(viewer, files["gaps.edf"])
    call(viewer, "viewer.setWindow(2, 14)")  # a gap from 5 s to 10 s
    png = viewer.find_element(By.ID, "traces").screenshot_as_png
    image = Image.open(io.BytesIO(png)).convert("RGB")
    width, height = image.size
    colours = image.getcolors(width * height)
    count = {c: n for n, c in colours}
    trace = sum(n for c, n in count.items() if c[2] > 120 and c[0] < 90 and c[1] < 110)
    gap = count.get((0xE9, 0xE9, 0xEF), 0)
    marker = sum(n for c, n in count.items() if c[0] > 180 and 50 < c[1] < 110 and c[2] < 60)
    assert trace > width  # every column of the traces, roughly
    assert gap > 0.2 * width * height  # 5 s of 12
    assert marker > height / 2  # the markers of "arousal" and "Ünïcode ✓"
    assert image.size[0] >= 2 * viewer.execute_script(
        "return document.getElementById('traces').clientWidth;") - 1  # drawn at device pixels


def test_the_worker_cannot_reach_another_origin(browser, site, files):
    """A URL of another origin (another port) is refused before any request reaches it: the
    policy that the server sends with worker.js holds the Worker's own requests."""
    asked = []

    class Counting(http.server.BaseHTTPRequestHandler):
        def do_GET(self):  # noqa: N802 (the handler's name)
            asked.append(self.path)
            self.send_response(206)
            self.send_header("Access-Control-Allow-Origin", "*")
            self.send_header("Content-Range", "bytes 0-0/1000")
            self.end_headers()
            self.wfile.write(b"0")

        do_OPTIONS = do_GET

        def log_message(self, *arguments):
            pass

    other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Counting)
    threading.Thread(target=other.serve_forever, daemon=True).start()
    try:
        browser.get(site["origin"] + "/index.html")
        got = call(browser, "viewer.openUrl(arguments[0])",
                   f"http://127.0.0.1:{other.server_port}/data/gaps.edf")
        requested_urls(browser)  # the blocked request is not held against later tests
    finally:
        other.shutdown()
    assert "error" in got and asked == []
    # The page's own URLs still open.
    got = call(browser, "viewer.openUrl('/data/gaps.edf').then(() => viewer.state())")
    assert got["file"] == "/data/gaps.edf"
