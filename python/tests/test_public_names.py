"""The package as help() and its users see it: every public name carries its own docstring,
every field of a public class is described in the class's docstring, and __version__ is the
release of the library compiled in, the one that recording/edf.h states."""

import dataclasses
import inspect
import os
import pathlib
import re

import recording
from recording import _recording

SOURCE = pathlib.Path(os.environ.get("RECORDING_SOURCE_DIR", pathlib.Path(__file__).parents[2]))


def own_doc(obj):
    """The docstring that obj itself carries: for a class not one inherited, and not one that
    dataclass or NamedTuple wrote ("Name(a, b)", "Alias for field number 0")."""
    doc = vars(obj).get("__doc__") if inspect.isclass(obj) else getattr(obj, "__doc__", None)
    if not doc or not doc.strip():
        return None
    name = getattr(obj, "__name__", None)
    if (name and doc.startswith(f"{name}(")) or doc.startswith("Alias for field number"):
        return None
    return doc


def fields(cls):
    """The names of the data that a class's objects carry."""
    if dataclasses.is_dataclass(cls):
        return [f.name for f in dataclasses.fields(cls)]
    if hasattr(cls, "_fields"):
        return list(cls._fields)
    return [n for n in vars(cls).get("__annotations__", {}) if not n.startswith("_")]


def test_every_public_name_is_documented():
    assert own_doc(recording), "the package"
    missing = []
    for name in recording.__all__:
        obj = getattr(recording, name)
        if not own_doc(obj):
            missing.append(name)
        if not inspect.isclass(obj):
            continue
        for member, value in vars(obj).items():
            if isinstance(value, (staticmethod, classmethod)):
                value = value.__func__
            documentable = inspect.isfunction(value) or isinstance(value, property) or \
                type(value).__name__ == "_tuplegetter"  # a NamedTuple's field
            if not member.startswith("_") and documentable and not own_doc(value):
                missing.append(f"{name}.{member}")
        # Data fields are described in the class's docstring, named in backticks.
        doc = obj.__doc__ or ""
        missing += [f"{name}.{f} (in the class docstring)" for f in fields(obj)
                    if f"`{f}`" not in doc]
    assert not missing, missing


def test_exceptions_describe_their_attributes():
    for cls, attributes in ((recording.Error, ("code", "path")),
                            (recording.FormatError, ("code", "path", "problems"))):
        assert all(f".{a}" in cls.__doc__ for a in attributes), (cls, cls.__doc__)


def test_version_is_the_library_release():
    header = (SOURCE / "recording" / "edf.h").read_text()
    stated = ".".join(re.search(rf"#define RECORDING_VERSION_{part} (\d+)", header).group(1)
                      for part in ("MAJOR", "MINOR", "PATCH"))
    assert recording.__version__ == _recording.recording_version() == stated
