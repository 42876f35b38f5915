"""edfinfo and a viewer's reads of remote recordings, over HTTP range requests to a real nginx
on a loopback port: the same reports and samples as from the local file, only the bytes that a
mode needs, and for every fault of the server or the connection a clear error, never a wrong
sample and never a hang."""

import os
import re
import socket
import subprocess
import threading
from pathlib import Path

import numpy as np
import pytest

import nginx_server
import recording

EDFINFO = os.environ.get("RECORDING_EDFINFO")
SCROLL = os.environ.get("RECORDING_REMOTE_SCROLL")
pytestmark = pytest.mark.skipif(not EDFINFO or not SCROLL,
                                reason="RECORDING_EDFINFO and RECORDING_REMOTE_SCROLL name the "
                                       "build's programs (CTest sets them)")
BLOCK = 64 * 1024  # the library's cache block for sources read through the network


def write_viewer_file(path, minutes, signals=64, rate=256):
    """An EDF+ of 64 signals at 256 Hz in records of 1 s, with an annotation every 10 min."""
    described = [{"label": f"EEG{i}", "rate": rate, "physical_min": -3200,
                  "physical_max": 3200} for i in range(signals)]
    block = np.random.default_rng(1).integers(-32768, 32767, size=(signals, rate * 60))
    with recording.Writer(path, described) as w:
        for m in range(minutes):
            w.write(np.roll(block, m, axis=1), digital=True)
            if m % 10 == 0:
                w.annotate(m * 60.0, None, f"minute {m}")
    return path


class CuttingServer(threading.Thread):
    """Answers every range request with the headers of the whole range and half its body, then
    closes the connection."""

    def __init__(self, data):
        super().__init__(daemon=True)
        self.data = data
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.origin = f"http://127.0.0.1:{self.listener.getsockname()[1]}"

    def run(self):
        while True:
            connection, _ = self.listener.accept()
            with connection:
                request = b""
                while b"\r\n\r\n" not in request:
                    chunk = connection.recv(4096)
                    if not chunk:
                        break
                    request += chunk
                first, last = 0, len(self.data) - 1
                for line in request.decode("latin-1").split("\r\n"):
                    if line.lower().startswith("range: bytes="):
                        a, b = line.split("=", 1)[1].split("-")
                        first, last = int(a), min(int(b), len(self.data) - 1)
                body = self.data[first:last + 1]
                connection.sendall(
                    f"HTTP/1.1 206 Partial Content\r\nContent-Length: {len(body)}\r\n"
                    f"Content-Range: bytes {first}-{last}/{len(self.data)}\r\n\r\n".encode()
                    + body[:len(body) // 2])


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    if nginx_server.executable() is None:
        pytest.fail("nginx is missing (Debian: nginx-light; scripts/install-dependencies)")
    root = tmp_path_factory.mktemp("http")
    www = root / "www"
    # Faults at the first request, and "late" ones that let the open's first request (the
    # range from byte 0) through and hit the reads after it.
    late = 'if ($http_range !~ "^bytes=0-") {{ return {}; }}'
    locations = f"""
    location /drop/ {{ return 444; }}
    location /e500/ {{ return 500; }}
    location /e416/ {{ return 416; }}
    location /late-drop/ {{ alias {www}/; {late.format(444)} }}
    location /late500/ {{ alias {www}/; {late.format(500)} }}
    location /norange/ {{ alias {www}/; max_ranges 0; }}
    location /stall/ {{ alias {www}/; limit_rate 1; }}"""
    with nginx_server.NginxServer(root, locations) as nginx:
        small = write_viewer_file(www / "small.edf", 3, signals=4)
        large = write_viewer_file(www / "large.edf", 30)
        cutting = CuttingServer(large.read_bytes())
        cutting.start()
        yield {"nginx": nginx, "small": small, "large": large, "cutting": cutting.origin}


def edfinfo(*args, timeout=60, **env):
    return subprocess.run([EDFINFO, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, env={**os.environ, **env})


@pytest.mark.parametrize("mode", [[], ["--json"], ["--check"], ["--check", "--json"],
                                  ["--samples", "2", "--from", "70", "--to", "75"]])
def test_remote_reports_are_the_local_ones(site, mode):
    local = edfinfo(*mode, site["small"])
    url = site["nginx"].origin + "/small.edf"
    remote = edfinfo(*mode, url)
    assert (remote.returncode, remote.stderr) == (local.returncode, local.stderr)
    assert remote.stdout.replace(url, str(site["small"])) == local.stdout
    assert local.returncode == 0 and local.stdout


def scroll(name, start, seconds, windows):
    run = subprocess.run([SCROLL, name, str(start), str(seconds), str(windows)],
                         capture_output=True, text=True, timeout=60)
    rows = [line.split() for line in run.stdout.splitlines()]
    return run, [(r[0], r[1]) for r in rows], [(int(r[2]), int(r[3])) for r in rows]


def test_a_viewer_fetches_the_header_and_the_records_it_shows(site):
    nginx, large = site["nginx"], site["large"]
    header_bytes = 256 * (1 + 65)  # 64 signals and the annotation signal
    record_bytes = (large.stat().st_size - header_bytes) // (30 * 60)
    before = nginx.served("large.edf")
    run, windows, costs = scroll(nginx.origin + "/large.edf", 600, 4, 11)
    _, local, _ = scroll(str(large), 600, 4, 11)
    assert run.returncode == 0 and windows == local and len(windows) == 11
    requests, sent = (a - b for a, b in zip(nginx.served("large.edf"), before))
    assert (requests, sent) == tuple(map(sum, zip(*costs)))  # the server saw what we count
    first_requests, first_bytes = costs[0]
    assert first_requests <= 4
    assert first_bytes <= header_bytes + 4 * record_bytes + 2 * BLOCK
    assert all(r <= 2 for r, _ in costs[1:]), costs


def output_is_a_prefix_of_the_right_one(got, right):
    lines = got.splitlines()
    return lines == right.splitlines()[:len(lines)]


@pytest.mark.parametrize("where,message", [
    ("drop", "connection|server|reply"),
    ("e500", "500"),
    ("e416", "416"),
    ("late-drop", "connection|server|reply"),
    ("late500", "500"),
    ("norange", "range"),
    ("stall", "timeout|timed out|slow"),
    ("cut", "ended after [0-9]+ of [0-9]+ bytes"),
])
def test_faults_give_an_error_and_no_wrong_sample(site, where, message):
    origin = site["cutting"] if where == "cut" else site["nginx"].origin + "/" + where
    url = origin + "/large.edf"
    window = ["--samples", "5", "--from", "900", "--to", "904"]
    right = edfinfo(*window, site["large"]).stdout
    for mode in ([], window):
        got = edfinfo(*mode, url, EDFINFO_HTTP_TIMEOUT="2")
        assert got.returncode != 0, (where, mode, got.stdout[-300:])
        assert got.stderr.strip() and re.search(message, got.stderr, re.I), got.stderr
        if mode:
            assert output_is_a_prefix_of_the_right_one(got.stdout, right)


def test_a_missing_file_is_named_with_its_status(site):
    got = edfinfo(site["nginx"].origin + "/missing.edf")
    assert got.returncode != 0 and "404" in got.stderr and "cannot open" in got.stderr
