"""Builds the Python package `recording` for pip and python -m build (pyproject.toml holds the
package's description): the extension recording._recording with the whole library compiled
into it, so that the wheel needs nothing of the project at run time.

Every C++ source under recording/ (the library, in whatever subfolders it keeps them) and
under python/src/ (the pybind11 layer) is compiled: a new source file needs no entry here.
The version is the library's, read from recording/edf.h as CMake reads it.

Without a package index (Debian's setuptools, wheel, pybind11 and NumPy installed):

    python3 -m pip install --no-build-isolation .
    python3 -m build --no-isolation --wheel
"""

import os
import pathlib
import re
import sys

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension
from setuptools import find_packages, setup

ROOT = pathlib.Path(__file__).resolve().parent
# setuptools' own build directory, away from the package sources and from CMake's files.
BUILD_BASE = "build/setuptools"


def library_version():
    """major.minor.patch from the RECORDING_VERSION_* lines of the public header."""
    header = (ROOT / "recording" / "edf.h").read_text(encoding="utf-8")
    parts = []
    for part in ("MAJOR", "MINOR", "PATCH"):
        found = re.search(rf"^#define RECORDING_VERSION_{part} (\d+)\s*$", header, re.MULTILINE)
        if found is None:
            raise RuntimeError(f"recording/edf.h defines no RECORDING_VERSION_{part}")
        parts.append(found.group(1))
    return ".".join(parts)


def files(folder, pattern):
    """The files matching `pattern` under `folder`, relative to the project (setuptools wants
    relative paths; the build runs in the project's folder), in a stable order."""
    found = sorted((ROOT / folder).rglob(pattern))
    return [path.relative_to(ROOT).as_posix() for path in found]


SOURCES = files("recording", "*.cpp") + files("python/src", "*.cpp")
if not SOURCES:
    raise RuntimeError("no C++ sources under recording/ and python/src/")

# The sources compile in parallel: RECORDING_BUILD_JOBS jobs, by default one per core. The
# extension is built again, every source of it, when a source, a header or this file is newer
# than it; otherwise a second build in the same tree takes the extension as it is.
ParallelCompile("RECORDING_BUILD_JOBS").install()

extension = Pybind11Extension(
    "recording._recording",
    SOURCES,
    depends=files("recording", "*.h") + files("python/src", "*.h")
    + ["setup.py", "python/extension.map"],
    include_dirs=["."],
    cxx_std=20,
    libraries=["m"],
    # The library's functions stay inside the extension: without RECORDING_BUILDING_LIBRARY
    # the public header marks nothing for export, the sources are compiled with hidden
    # visibility, and the version script exports the module's entry point alone.
    extra_link_args=(
        ["-Wl,--version-script=python/extension.map"] if sys.platform.startswith("linux") else []
    ),
)

os.makedirs(ROOT / BUILD_BASE, exist_ok=True)
setup(
    version=library_version(),
    packages=find_packages("python", include=["recording", "recording.*"]),
    package_dir={"": "python"},
    # The typing marker and the extension's stub, for type checkers (PEP 561), and the
    # catalogue's schema (recording.corpus.index; edfinfo --index compiles in the same file).
    package_data={"": ["py.typed", "*.pyi", "*.sql"]},
    ext_modules=[extension],
    options={
        "build": {"build_base": BUILD_BASE},
        "egg_info": {"egg_base": BUILD_BASE},
    },
    zip_safe=False,
)
