"""What the packaging tests share: the project's folders, commands run with their output kept
for the report, and mypy over the user programs."""

import os
import pathlib
import re
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = pathlib.Path(os.environ.get("RECORDING_SOURCE_DIR", HERE.parents[2]))
PROGRAM = HERE / "user_program.py"
MISTAKES = HERE / "user_mistakes.py"


def library_version():
    """The release that recording/edf.h states, "major.minor.patch"."""
    header = (SOURCE / "recording" / "edf.h").read_text()
    return ".".join(
        re.search(rf"#define RECORDING_VERSION_{part} (\d+)", header).group(1)
        for part in ("MAJOR", "MINOR", "PATCH")
    )


def run(*args, cwd, env=None, check=True):
    """Runs a command; a failure shows its output."""
    result = subprocess.run(
        [str(a) for a in args], cwd=cwd, env=env, capture_output=True, text=True
    )
    if check and result.returncode != 0:
        raise AssertionError(
            f"{' '.join(map(str, args))} failed ({result.returncode}):\n"
            f"{result.stdout}\n{result.stderr}"
        )
    return result


def mypy(python, *paths, cwd, env, cache):
    """mypy --strict over `paths` as `python` sees the packages (its site-packages and the
    environment's MYPYPATH); the result of the run."""
    try:
        import mypy  # noqa: F401  (the interpreter that runs the tests has it too)
    except ImportError:
        raise AssertionError(
            "mypy is missing for " + sys.executable + " (Debian: python3-mypy; "
            "scripts/install-dependencies installs it)"
        ) from None
    return run(python, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", cache,
               *paths, cwd=cwd, env=env, check=False)


def reported(output):
    """{(line, code)} of the errors in mypy's output."""
    found = set()
    for line in output.splitlines():
        match = re.match(r"[^:]+:(\d+): error: .*\[([a-z-]+)\]$", line)
        if match:
            found.add((int(match.group(1)), match.group(2)))
    return found


def marked(path):
    """{(line, code)} of the lines of `path` marked "mistake: code"."""
    found = set()
    for number, line in enumerate(path.read_text().splitlines(), 1):
        match = re.search(r"# mistake: ([a-z-]+)$", line)
        if match:
            found.add((number, match.group(1)))
    return found


def check_user_programs(python, cwd, env, cache):
    """The typed program passes mypy --strict, and each marked mistake is reported, alone."""
    program = mypy(python, PROGRAM, cwd=cwd, env=env, cache=cache)
    assert program.returncode == 0, program.stdout + program.stderr
    mistakes = mypy(python, MISTAKES, cwd=cwd, env=env, cache=cache)
    assert reported(mistakes.stdout) == marked(MISTAKES), mistakes.stdout + mistakes.stderr
