"""The viewer reads every file of the project's corpora as the C reader does: the reader fuzz
target's corpus and the recordings that the browser tests write, each opened in one page
session as a File made from its bytes. The state (header, signals, annotations, problems,
segments, duration) and a window of every signal are those of the tolerant open of the Python
module; a file that the tolerant open refuses is refused with the library's message."""

import base64
import math
from pathlib import Path

import recording

from test_viewer import expected_state, files  # noqa: F401 (a fixture)

CORPUS = Path(__file__).resolve().parents[2] / "fuzz" / "corpus" / "fuzz_reader"
BATCH = 100  # files per call into the page

# Opens each [name, base64] file and gives its state and window, or the error of the refusal.
OPEN_EACH = """
const files = arguments[0];
const done = arguments[arguments.length - 1];
(async () => {
  const out = [];
  for (const [name, text] of files) {
    const bytes = Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
    try {
      await viewer.openFile(new File([bytes], name));
    } catch (e) {
      out.push({ error: e.message, file: viewer.state().file });
      continue;
    }
    const s = viewer.state();
    const r = s.record_duration;
    const [t0, t1] = r > 0 ? [r / 2, r * 2.5] : [0, 1];
    const reads = [];
    for (let i = 0; i < s.signals.length; i++) reads.push(await viewer.read(i, t0, t1));
    out.push({ state: s, window: [t0, t1], reads });
  }
  return out;
})().then(done, (e) => done([{ failed: String(e) }]));
"""


def expected(path):
    """What the C reader reads of the file: its state and the windows' samples, or the
    message of its refusal."""
    try:
        want = expected_state(path)
    except (recording.Error, ValueError, OSError, MemoryError) as error:
        # The message is the library's text, followed by the path.
        return {"error": str(error).removesuffix(f": {path}")}
    with recording.open(path, tolerant=True) as rec:
        r = rec.header.record_duration
        t0, t1 = (r / 2, r * 2.5) if r > 0 else (0, 1)
        reads = [[None if not math.isfinite(v) else v
                  for v in rec.read_window(t0, t1, [index])[rec.names[index]].tolist()]
                 for index in range(len(rec.signals))]
    return {"state": want, "window": [t0, t1], "reads": reads}


def seen(got, want):
    if "error" in want or "error" in got:
        return {"error": got.get("error"), "file": got.get("file")}
    return {"state": {key: got["state"][key] for key in want["state"]},
            "window": got["window"], "reads": got["reads"]}


def test_every_corpus_file_reads_as_the_c_reader(viewer, files):
    paths = sorted(CORPUS.iterdir()) + sorted(files.values())
    assert len(paths) > 1000
    mismatched = []
    for first in range(0, len(paths), BATCH):
        batch = paths[first:first + BATCH]
        results = viewer.execute_async_script(
            OPEN_EACH, [[p.name, base64.b64encode(p.read_bytes()).decode()] for p in batch])
        assert len(results) == len(batch), results[0]
        for path, got in zip(batch, results):
            want = expected(path)
            if "error" in want:
                want = {"error": want["error"], "file": None}
            if seen(got, want) != want:
                mismatched.append((path.name, seen(got, want), want))
    assert not mismatched, f"{len(mismatched)} of {len(paths)} differ, e.g. {mismatched[:3]}"
