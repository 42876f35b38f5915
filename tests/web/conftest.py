"""The viewer in a real browser: the built page (VIEWER_DIR, from scripts/build-web) served by
nginx from a loopback port, driven by Debian's headless Chromium through chromedriver."""

import json
import os
import shutil
import sys
from pathlib import Path

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "http"))
import nginx_server  # noqa: E402  (the shared loopback server of the HTTP tests)


# The page's policy, also sent as a header: a Worker takes its policy from the response that
# served its script, not from the page's meta tag, so only the header limits its requests.
POLICY = ("default-src 'none'; script-src 'self' 'wasm-unsafe-eval'; worker-src 'self'; "
          "style-src 'self'; img-src 'self'; connect-src 'self'; base-uri 'none'; "
          "form-action 'none'")


@pytest.fixture(scope="session")
def site(tmp_path_factory):
    """nginx serving the page at / and test recordings at /data/; its access log names every
    request that reached it."""
    viewer = os.environ.get("VIEWER_DIR")
    if not viewer or not os.path.exists(os.path.join(viewer, "viewer.wasm")):
        pytest.fail("VIEWER_DIR must name the output of scripts/build-web")
    root = tmp_path_factory.mktemp("site")
    shutil.copytree(viewer, root / "www")
    (root / "www" / "data").mkdir()
    policy = f'add_header Content-Security-Policy "{POLICY}" always;'
    with nginx_server.NginxServer(root, policy) as nginx:
        yield {"origin": nginx.origin, "data": nginx.www / "data", "log": nginx.log}


@pytest.fixture(scope="session")
def browser(site):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1400,900", "--force-device-scale-factor=2",
                     "--enable-precise-memory-info", "--no-first-run"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(120)
    driver.get(site["origin"] + "/index.html")
    yield driver
    driver.quit()


def requested_urls(driver):
    """Every URL that the page and its Worker asked for since the last call."""
    urls = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            urls.append(message["params"]["request"]["url"])
    return urls


@pytest.fixture
def viewer(browser, site):
    """The page, fresh; afterwards, no request may have left the page's origin."""
    browser.get(site["origin"] + "/index.html")
    yield browser
    foreign = [u for u in requested_urls(browser)
               if not (u.startswith(site["origin"] + "/") or u.startswith(("blob:", "data:")))]
    assert foreign == []
