"""The package as users install it, without a package index: a copy of the project built with
`python3 -m build --no-isolation --wheel`, the wheel installed with pip into a virtual
environment that sees the system's packages (NumPy), and `pip install --no-build-isolation .`
of the project into a second one; each environment imports the module from outside the
project and runs a user's program that writes and reads files, and its type checker finds
the package's hints.

The library is compiled once: the second install takes the extension that the first build
left in the copy's build folder."""

import email.parser
import json
import os
import pathlib
import re
import shutil
import sys
import tarfile
import zipfile

import pytest

from checking import PROGRAM, SOURCE, check_user_programs, library_version, run

# What a user's shell would not have: the test suite's module path and sanitizer runtime.
ENV = {
    k: v
    for k, v in os.environ.items()
    if k not in ("PYTHONPATH", "MYPYPATH", "LD_PRELOAD", "VIRTUAL_ENV", "PYTHONHOME")
}


def copy_ignores(folder, names):
    """What a checkout holds beside the sources: build folders (CMake's, wherever they are),
    version control, caches."""
    folder = pathlib.Path(folder)
    ignored = {n for n in names if n in ("__pycache__", "node_modules") or n.endswith(".egg-info")
               or (folder / n / "CMakeCache.txt").exists()}
    if folder == SOURCE:
        ignored |= {n for n in names if n in ("dist", "out") or n.startswith(("build", "."))}
    return ignored


def package_files():
    """The package's files in the project, as paths inside the package."""
    root = SOURCE / "python"
    return {
        p.relative_to(root).as_posix()
        for pattern in ("*.py", "*.pyi", "*.sql", "py.typed")
        for p in (root / "recording").rglob(pattern)
    }


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """(wheel, the copy of the project it was built in)."""
    work = tmp_path_factory.mktemp("build")
    project = work / "project"
    shutil.copytree(SOURCE, project, ignore=copy_ignores, symlinks=True)
    run(sys.executable, "-m", "build", "--no-isolation", "--wheel", "--outdir", work / "dist",
        cwd=project, env=ENV)
    wheels = sorted((work / "dist").glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0], project


def make_venv(folder):
    """A virtual environment that sees the system's packages; its interpreter."""
    run(sys.executable, "-m", "venv", "--system-site-packages", folder, cwd=folder.parent,
        env=ENV)
    return folder / "bin" / "python"


def check_installed(python, work):
    """The installed module, imported from outside the project, runs the user's program; and
    mypy takes the installed package's hints (py.typed)."""
    data = work / "data"
    data.mkdir()
    result = run(python, PROGRAM, data, cwd=work, env=ENV)
    seen = json.loads(result.stdout)
    prefix = pathlib.Path(run(python, "-c", "import sys; print(sys.prefix)", cwd=work,
                              env=ENV).stdout.strip())
    assert pathlib.Path(seen["module"]).is_relative_to(prefix)
    assert seen["version"] == library_version()
    eeg = seen["eeg"]
    assert eeg["filetype"] == "BDF+" and eeg["labels"] == ["Fz", "Cz"]
    assert eeg["start"] == "2024-05-06T07:08:09" and eeg["rates"] == [256.0, 256.0]
    assert eeg["first"] == pytest.approx([-100 + 200 / 511 * k for k in range(4)], abs=1e-3)
    assert eeg["digital_count"] == 512 and eeg["window"] == {"Fz": 128} and eeg["total"] == 1024
    assert eeg["batch_shape"] == [2, 1, 128]
    assert eeg["annotations"] == ["eyes closed", "blink"] and eeg["durations"] == [None, 0.25]
    assert eeg["problems"] == [] and eeg["segments"] == [[0.0, 0, 2]]
    assert seen["pulse"]["labels"] == ["Pulse"] and seen["pulse"]["annotations"] == ["arousal"]
    assert seen["shared"] == ["Fz", "Cz"] and seen["missing"] == "FileNotFoundError"
    check_user_programs(python, work, ENV, work / "mypy-cache")


def test_wheel(built):
    wheel, _ = built
    version = library_version()
    python = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    assert wheel.name.startswith(f"recording-{version}-{python}-{python}-linux_")
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        metadata = email.parser.Parser().parsestr(
            archive.read(f"recording-{version}.dist-info/METADATA").decode())
    assert metadata["Version"] == version
    assert metadata.get_all("Requires-Dist")[0].startswith("numpy")
    assert package_files() <= names
    extensions = [n for n in names if re.fullmatch(r"recording/_recording\..*\.so", n)]
    assert len(extensions) == 1, names


def test_extension_holds_the_library(built, tmp_path):
    # The library is compiled in: the extension needs no librecording and exports only its
    # entry point, so that it cannot clash with another copy of the library in the process.
    wheel, _ = built
    with zipfile.ZipFile(wheel) as archive:
        (name,) = [n for n in archive.namelist() if n.endswith(".so")]
        archive.extract(name, tmp_path)
    extension = tmp_path / name
    needed = run("readelf", "-d", extension, cwd=tmp_path).stdout
    assert "recording" not in " ".join(re.findall(r"\(NEEDED\).*\[(.*)\]", needed))
    exported = run("nm", "-D", "--defined-only", extension, cwd=tmp_path).stdout.split("\n")
    assert [line.split()[-1] for line in exported if line.strip()] == ["PyInit__recording"]


def test_wheel_installs_in_venv(built, tmp_path):
    wheel, _ = built
    python = make_venv(tmp_path / "venv")
    run(python, "-m", "pip", "install", "--no-index", wheel, cwd=tmp_path, env=ENV)
    check_installed(python, tmp_path)


def test_pip_install_project_in_venv(built, tmp_path):
    _, project = built
    python = make_venv(tmp_path / "venv")
    run(python, "-m", "pip", "install", "--no-build-isolation", "--no-index", ".", cwd=project,
        env=ENV)
    check_installed(python, tmp_path)


def test_source_distribution(built, tmp_path):
    # Everything that the build compiles and installs is in the sdist.
    _, project = built
    run(sys.executable, "-m", "build", "--no-isolation", "--sdist", "--outdir", tmp_path,
        cwd=project, env=ENV)
    (sdist,) = tmp_path.glob("*.tar.gz")
    with tarfile.open(sdist) as archive:
        top = f"recording-{library_version()}/"
        names = {n[len(top):] for n in archive.getnames() if n.startswith(top)}
    wanted = {"pyproject.toml", "setup.py", "LICENSE", "README.md", "python/extension.map"}
    wanted |= {p.relative_to(SOURCE).as_posix() for folder in ("recording", "python/src")
               for p in (SOURCE / folder).rglob("*") if p.suffix in (".cpp", ".h")}
    wanted |= {"python/" + name for name in package_files()}
    assert wanted <= names, sorted(wanted - names)
