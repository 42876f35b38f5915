"""What a viewer of a remote recording costs: requests and bytes for opening a 1 GB EDF+ of 64
signals (256 Hz, records of 1 s) over HTTP and showing one 4 s window of every signal, then
for each of 10 windows scrolled forward; nginx serves the file from a loopback port and its
access log is the count.

  PYTHONPATH=build/python/package /usr/bin/python3 bench/remote_bench.py [BUILD] [GIGABYTES]
"""

import subprocess
import sys
import tempfile
import time
from pathlib import Path

root = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(root / "tests" / "http"))
import nginx_server  # noqa: E402
from test_edfinfo_remote import write_viewer_file  # noqa: E402

build = Path(sys.argv[1] if len(sys.argv) > 1 else root / "build")
gigabytes = float(sys.argv[2]) if len(sys.argv) > 2 else 1.0
scroll = build / "tests" / "remote_scroll"
minutes = int(gigabytes * 1e9 / (64 * 256 * 2 + 60) / 60)

with tempfile.TemporaryDirectory() as folder:
    folder = Path(folder)
    with nginx_server.NginxServer(folder / "site") as nginx:
        began = time.perf_counter()
        path = write_viewer_file(nginx.www / "big.edf", minutes)
        size = path.stat().st_size
        print(f"wrote {size / 1e9:.2f} GB ({minutes} min) in {time.perf_counter() - began:.1f} s")
        header = 256 * 66
        record = (size - header) // (minutes * 60)
        start = minutes * 60 / 2
        for name in (str(path), nginx.origin + "/big.edf"):
            run = subprocess.run([str(scroll), name, str(start), "4", "11"], capture_output=True,
                                 text=True, check=True)
            rows = [line.split() for line in run.stdout.splitlines()]
            if name.startswith("http"):
                assert [r[:2] for r in rows] == hashes, "remote samples differ from local ones"
                requests, sent = nginx.served("big.edf")
                first_r, first_b = int(rows[0][2]), int(rows[0][3])
                later = [int(r[2]) for r in rows[1:]]
                limit = header + 4 * record + 2 * 64 * 1024
                print(f"open + first 4 s window: {first_r} requests (target <= 4), {first_b} "
                      f"bytes (target <= {limit}: header {header} + 4 records of {record} "
                      f"+ two 64 KiB blocks)")
                print(f"10 windows scrolled: at most {max(later)} request(s) per window "
                      f"(target <= 2), {sum(int(r[3]) for r in rows[1:]) / 10:.0f} bytes each")
                print(f"server log: {requests} requests, {sent} bytes of {size} "
                      f"({100 * sent / size:.3f} %)")
            else:
                hashes = [r[:2] for r in rows]
