"""nginx on a free loopback port, for the tests that read recordings over HTTP: a temporary
prefix and configuration, no system service. Static files are served with range requests as
nginx serves any file; each test suite adds the locations it needs (faults, headers). The
access log has one line per request: the URI, the status, the body bytes sent and the Range
header asked for."""

import os
import shutil
import socket
import subprocess
import time
import urllib.error
import urllib.request
from pathlib import Path


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def executable():
    """The nginx program, or None (Debian: nginx-light)."""
    return shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx")
                                      else None)


class NginxServer:
    """Serves `root`/www at http://127.0.0.1:PORT/ while in a `with` block."""

    def __init__(self, root, server_lines="", http_lines=""):
        self.root = Path(root)
        self.www = self.root / "www"
        self.www.mkdir(parents=True, exist_ok=True)
        self.log = self.root / "access.log"
        self.port = free_port()
        self.origin = f"http://127.0.0.1:{self.port}"
        # As root, nginx's workers would run as nobody, who cannot read the tests' folders.
        user = "user root;" if os.geteuid() == 0 else ""
        r = self.root
        (r / "nginx.conf").write_text(f"""
{user}
daemon off;
worker_processes 1;
pid {r}/nginx.pid;
error_log {r}/error.log;
events {{ worker_connections 64; }}
http {{
  types {{ text/html html; text/css css; application/javascript js; application/wasm wasm; }}
  default_type application/octet-stream;
  log_format counted '$request_uri $status $body_bytes_sent "$http_range"';
  access_log {self.log} counted;
  client_body_temp_path {r}/body; proxy_temp_path {r}/proxy;
  fastcgi_temp_path {r}/fastcgi; uwsgi_temp_path {r}/uwsgi; scgi_temp_path {r}/scgi;
  {http_lines}
  server {{
    listen 127.0.0.1:{self.port};
    root {self.www};
    {server_lines}
  }}
}}
""")
        self.process = None

    def __enter__(self):
        program = executable()
        if program is None:
            raise RuntimeError("nginx is missing (Debian: nginx-light)")
        self.process = subprocess.Popen([program, "-c", str(self.root / "nginx.conf"),
                                         "-p", str(self.root)])
        for _ in range(200):
            try:
                urllib.request.urlopen(self.origin + "/").close()
                return self
            except urllib.error.HTTPError:
                return self  # answering
            except OSError:
                if self.process.poll() is not None:
                    raise RuntimeError("nginx did not start: "
                                       + (self.root / "error.log").read_text())
                time.sleep(0.05)
        raise RuntimeError("nginx did not answer")

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait()

    def served(self, name):
        """(requests, body bytes sent) for the URIs starting with /`name`, once nginx has
        written their lines (it writes a line after its answer)."""
        time.sleep(0.2)
        if not self.log.exists():
            return 0, 0
        rows = [line.split() for line in self.log.read_text().splitlines()
                if line.startswith(f"/{name}")]
        return len(rows), sum(int(row[2]) for row in rows)
