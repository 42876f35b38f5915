"""The package's type hints: mypy --strict accepts the package (also for the oldest Python
that pyproject.toml admits), the extension's stub matches the compiled extension (mypy's
stubtest), and a user's typed program is accepted while its mistakes are found."""

import os
import pathlib
import re
import sys

import pytest

from checking import SOURCE, check_user_programs, mypy, run

import recording

try:
    import tomllib
except ImportError:  # before Python 3.11
    import tomli as tomllib


def oldest_python():
    """The Python version of requires-python (">=3.9")."""
    with open(SOURCE / "pyproject.toml", "rb") as file:
        requirement = tomllib.load(file)["project"]["requires-python"]
    match = re.fullmatch(r">=\s*(\d+\.\d+)", requirement)
    assert match, requirement
    return match.group(1)


def environment(mypy_path):
    env = dict(os.environ, MYPYPATH=str(mypy_path))
    # A sanitizer runtime preloaded for the module's tests has no business in mypy.
    env.pop("LD_PRELOAD", None)
    return env


@pytest.mark.parametrize("version", [None, "oldest"])
def test_package_passes_mypy_strict(tmp_path, version):
    options = ["--config-file", SOURCE / "pyproject.toml"]
    if version:
        options += ["--python-version", oldest_python(), "--python-executable", sys.executable]
    result = mypy(sys.executable, *options, SOURCE / "python" / "recording", cwd=tmp_path,
                  env=environment(SOURCE / "python"), cache=tmp_path / "cache")
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_matches_extension(tmp_path):
    # The package that the tests import (the build's, with the compiled extension), its stub
    # beside it.
    package_root = pathlib.Path(recording.__file__).resolve().parents[1]
    assert (package_root / "recording" / "_recording.pyi").is_file()
    env = dict(os.environ, MYPYPATH=str(package_root))
    result = run(sys.executable, "-m", "mypy.stubtest", "--mypy-config-file",
                 SOURCE / "pyproject.toml", "recording._recording", cwd=tmp_path, env=env,
                 check=False)
    assert result.returncode == 0, result.stdout + result.stderr


def test_user_programs(tmp_path):
    check_user_programs(sys.executable, tmp_path, environment(SOURCE / "python"),
                        tmp_path / "cache")
