// The viewer's Worker: it owns the library (WebAssembly), the open handle and the file. The
// library reads the file through Module.readAt, which reads a slice of the user's file
// (FileReaderSync) or a range of the URL (a synchronous range request) when the library asks
// for it: nothing else of the file is ever read or kept. The page asks for windows of samples.
'use strict';
importScripts('viewer.js');

let M = null; // the WebAssembly module
let handle = -1;
let source = null; // {name, size, read(offset, bytes) -> Uint8Array}
let info = null; // the open file's description (viewer_describe), times in ticks

const TICKS = 1e7;

// A local file: the library asks for exact spans (EDF_OPEN_EXACT_READS). Each FileReaderSync
// call costs about a millisecond whatever its size, so small reads (the annotation signals of
// one record after another) are served from one chunk of the file read at once; larger ones
// (windows of records) are read as asked. Only the one chunk is kept.
const SMALL_READ = 64 * 1024;
const CHUNK = 4 * 1024 * 1024;

function blobSource(file) {
  const reader = new FileReaderSync();
  const slice = (from, to) => new Uint8Array(reader.readAsArrayBuffer(file.slice(from, to)));
  let chunk = null;
  let chunkAt = 0;
  return {
    name: file.name,
    size: file.size,
    read(offset, bytes) {
      if (bytes > SMALL_READ) return slice(offset, offset + bytes);
      if (!chunk || offset < chunkAt || offset + bytes > chunkAt + chunk.length) {
        chunk = null; // let the old one go before the new one is read
        chunkAt = offset;
        chunk = slice(offset, offset + CHUNK);
      }
      const from = offset - chunkAt;
      return chunk.subarray(from, Math.min(chunk.length, from + bytes));
    },
  };
}

// One range request, synchronously (allowed in a Worker).
function rangeRequest(url, first, last) {
  const xhr = new XMLHttpRequest();
  xhr.open('GET', url, false);
  xhr.responseType = 'arraybuffer';
  xhr.setRequestHeader('Range', `bytes=${first}-${last}`);
  xhr.send();
  if (xhr.status !== 206) {
    throw new Error(xhr.status === 200 ? 'the server does not answer range requests'
                                       : `the server answers ${xhr.status}`);
  }
  return xhr;
}

function urlSource(url) {
  const first = rangeRequest(url, 0, 0);
  const total = /\/(\d+)\s*$/.exec(first.getResponseHeader('Content-Range') || '');
  if (!total) throw new Error('the server does not give the size of the file');
  return {
    name: url,
    size: Number(total[1]),
    read(offset, bytes) {
      if (offset >= this.size) return new Uint8Array(0);
      const last = Math.min(this.size, offset + bytes) - 1;
      return new Uint8Array(rangeRequest(url, offset, last).response);
    },
  };
}

function readAt(pointer, bytes, offset) {
  try {
    const got = source.read(offset, bytes);
    M.HEAPU8.set(got, pointer);
    return got.length;
  } catch (e) {
    return -1;
  }
}

function describe() {
  const text = M._viewer_describe(handle);
  if (!text) throw new Error('out of memory');
  const described = JSON.parse(M.UTF8ToString(text));
  M._viewer_free(text);
  return described;
}

function withString(text, body) {
  const bytes = new TextEncoder().encode(text + '\0');
  const p = M._malloc(bytes.length);
  M.HEAPU8.set(bytes, p);
  try {
    return body(p);
  } finally {
    M._free(p);
  }
}

// The library's text for a result code.
const errorText = (code) => M.UTF8ToString(M._viewer_error_text(code));

function open(request) {
  if (handle >= 0) M._viewer_close(handle);
  handle = -1;
  info = null;
  const local = Boolean(request.file);
  source = local ? blobSource(request.file) : urlSource(request.url);
  const started = performance.now();
  const h = withString(source.name, (name) => M._viewer_open(source.size, name, local ? 1 : 0));
  if (h < 0) throw new Error(errorText(h));
  handle = h;
  info = describe();
  const headerMs = performance.now() - started;
  // The header and the first record are read: the page can show them while the annotations
  // (and, for EDF+D files, the time axis) are collected from every record.
  // A Worker that only scans reads the annotations (and, for EDF+D files, the time axis) of
  // every record; the Worker that reads windows answers the page meanwhile.
  if (request.scan && (info.filetype === 1 || info.filetype === 3)) {
    const n = M._viewer_read_annotations(handle);
    if (n < 0) throw new Error(errorText(n));
    info = describe();
  }
  return { info, name: source.name, size: source.size, headerMs,
           openMs: performance.now() - started };
}

// Where the segments lie on the time axis of a signal, in its samples: a segment that starts
// between two samples is placed on the nearest one.
function pieces(spr) {
  const ticks = BigInt(info.record_duration);
  return info.segments.map((s) => {
    const at = ticks > 0n
      ? Number((2n * BigInt(s.start) * BigInt(spr) + ticks) / (2n * ticks))
      : s.first_record * spr;
    return { at, stored: s.first_record * spr, samples: s.records * spr };
  });
}

// The first sample at or after t seconds, at most `length`.
function position(t, rate, length) {
  if (rate <= 0) return 0;
  const x = t * rate;
  if (x >= length) return length;
  return Math.min(length, Math.ceil(Math.round(x * 1e6) / 1e6));
}

// The physical samples at the times t0 <= t < t1 of each signal: NaN where a gap holds none.
function readWindow(signals, t0, t1) {
  const out = [];
  const runs = []; // per segment, what each signal needs from it
  for (const index of signals) {
    const s = info.signals[index];
    const rate = info.record_duration > 0 ? s.spr / (info.record_duration / TICKS) : 0;
    const ps = pieces(s.spr);
    const length = ps.length ? ps[ps.length - 1].at + ps[ps.length - 1].samples : 0;
    const start = position(t0, rate, length);
    const stop = position(t1, rate, Math.max(length, 0));
    const samples = new Float64Array(Math.max(0, stop - start)).fill(NaN);
    out.push({ index, rate, start, samples });
    ps.forEach((p, k) => {
      const a = Math.max(start, p.at);
      const b = Math.min(stop, p.at + p.samples);
      if (a < b) {
        (runs[k] ||= []).push({ o: out.length - 1, spr: s.spr, from: p.stored + a - p.at,
                                to: p.stored + b - p.at, at: a - start });
      }
    });
  }
  let records = 0;
  for (const segmentRuns of runs) {
    if (!segmentRuns) continue;
    const r0 = Math.min(...segmentRuns.map((r) => Math.floor(r.from / r.spr)));
    const r1 = Math.max(...segmentRuns.map((r) => Math.ceil(r.to / r.spr)));
    const count = r1 - r0;
    const n = segmentRuns.length;
    const ints = M._malloc(8 * n);
    const offsets = [];
    let total = 0;
    for (const r of segmentRuns) {
      offsets.push(total);
      total += r.spr * count;
    }
    const buffer = M._malloc(8 * Math.max(1, total));
    if (!ints || !buffer) {
      M._free(ints);
      M._free(buffer);
      throw new Error('not enough memory for this window');
    }
    try {
      M.HEAP32.set(segmentRuns.map((r) => out[r.o].index), ints >> 2);
      M.HEAP32.set(offsets, (ints >> 2) + n);
      const got = M._viewer_read_records(handle, r0, count, n, ints, ints + 4 * n, buffer);
      if (got < 0) throw new Error('the samples cannot be read');
      records += got;
      segmentRuns.forEach((r, i) => {
        const base = (buffer >> 3) + offsets[i] + (r.from - r0 * r.spr);
        const available = Math.min(r.to - r.from, got * r.spr - (r.from - r0 * r.spr));
        if (available > 0) {
          out[r.o].samples.set(M.HEAPF64.subarray(base, base + available), r.at);
        }
      });
    } finally {
      M._free(ints);
      M._free(buffer);
    }
  }
  return { signals: out, records };
}

const ready = createViewerModule().then((module) => {
  M = module;
  M.readAt = readAt;
});

onmessage = async (event) => {
  const request = event.data;
  await ready;
  try {
    let result;
    if (request.op === 'open') {
      result = open(request);
    } else if (request.op === 'close') {
      if (handle >= 0) M._viewer_close(handle);
      handle = -1;
      info = null;
      source = null;
      result = true;
    } else if (request.op === 'axis') {
      // What the scan found: the time axis that windows are read on.
      Object.assign(info, request.axis);
      result = true;
    } else if (request.op === 'read') {
      if (handle < 0) throw new Error('no file is open');
      const started = performance.now();
      result = readWindow(request.signals, request.t0, request.t1);
      result.ms = performance.now() - started;
      postMessage({ id: request.id, result },
                  result.signals.map((s) => s.samples.buffer));
      return;
    } else {
      throw new Error(`unknown request ${request.op}`);
    }
    postMessage({ id: request.id, result });
  } catch (e) {
    postMessage({ id: request.id, error: String(e.message || e) });
  }
};
