// The viewer's page: it asks the Worker (worker.js) for the samples of a time window and
// draws them; the Worker owns the file and the library. window.viewer serves tests and
// automation.
'use strict';
(() => {
  const TICKS = 1e7;
  const TYPES = ['EDF', 'EDF+', 'BDF', 'BDF+'];
  const $ = (id) => document.getElementById(id);
  const canvas = $('traces');
  const context = canvas.getContext('2d');

  // ---- the Worker --------------------------------------------------------------------------
  // One Worker reads the windows; a second one, started for each file and ended when it is
  // done, reads the annotations of every record meanwhile.
  let nextId = 1;
  const waiting = new Map();
  function answer(event) {
    const m = event.data;
    const w = waiting.get(m.id);
    waiting.delete(m.id);
    if (m.error) w.reject(new Error(m.error));
    else w.resolve(m.result);
  }
  const worker = new Worker('worker.js');
  worker.onmessage = answer;
  let scanner = null;
  function ask(request, to = worker) {
    return new Promise((resolve, reject) => {
      request.id = nextId++;
      waiting.set(request.id, { resolve, reject });
      to.postMessage(request);
    });
  }

  // ---- what is shown ---------------------------------------------------------------------
  let file = null; // {name, info, headerMs, openMs}
  let shown = [];
  let t0 = 0;
  let t1 = 10;
  let gain = 1;
  let signalGain = [];
  let samples = null; // the window's samples, as the Worker read them
  let drawn = { samples: 0, ms: 0 };
  let lastRead = { records: 0, ms: 0 };

  const duration = () => (file ? file.info.file_duration / TICKS : 0);
  const recordSeconds = () => (file ? file.info.record_duration / TICKS : 1);
  const rate = (i) => file.info.signals[i].spr / recordSeconds();

  function status(text) {
    $('status').textContent = text;
  }

  function clockText(seconds, withDate) {
    const s = file.info.start;
    const start = Date.UTC(s[0], s[1] - 1, s[2], s[3], s[4], s[5]) + s[6] / 1e4;
    const d = new Date(start + seconds * 1000);
    const two = (n) => String(n).padStart(2, '0');
    let text = `${two(d.getUTCHours())}:${two(d.getUTCMinutes())}:${two(d.getUTCSeconds())}`;
    const ms = d.getUTCMilliseconds();
    if (ms) text += `.${String(ms).padStart(3, '0').replace(/0+$/, '')}`;
    if (withDate) text = `${d.getUTCFullYear()}-${two(d.getUTCMonth() + 1)}-${two(d.getUTCDate())} ${text}`;
    return text;
  }

  function filetype(info) {
    const discontinuous = info.problems.some((p) => p.action === 3);
    return TYPES[info.filetype] + (discontinuous ? 'D' : '');
  }

  // ---- the side panel --------------------------------------------------------------------
  function element(tag, text, attributes = {}) {
    const e = document.createElement(tag);
    if (text !== undefined) e.textContent = text;
    Object.assign(e, attributes);
    return e;
  }

  function showHeader() {
    const info = file.info;
    const dl = $('header');
    dl.replaceChildren();
    const rows = [
      ['File', file.name], ['Type', filetype(info)], ['Start', clockText(0, true)],
      ['Duration', `${duration()} s`], ['Records', `${info.records} of ${recordSeconds()} s`],
    ];
    const fields = info.filetype === 1 || info.filetype === 3
      ? [['Patient code', 'patient_code'], ['Patient', 'patient_name'], ['Sex', 'sex'],
        ['Birth date', 'birthdate'], ['Patient (more)', 'patient_additional'],
        ['Admin code', 'admin_code'], ['Technician', 'technician'], ['Equipment', 'equipment'],
        ['Recording (more)', 'recording_additional']]
      : [['Patient', 'patient'], ['Recording', 'recording']];
    for (const [name, key] of fields) if (info[key]) rows.push([name, info[key]]);
    for (const [name, value] of rows) dl.append(element('dt', name), element('dd', value));

    const problems = $('problems');
    problems.replaceChildren();
    for (const p of info.problems) {
      problems.append(element('li', `${p.field}: ${p.message}`));
    }
    if (!info.problems.length) problems.append(element('li', 'none', { className: 'none' }));

    const table = $('signals');
    table.replaceChildren();
    info.signals.forEach((s, i) => {
      const row = element('tr');
      const box = element('input', undefined, { type: 'checkbox', checked: shown.includes(i) });
      box.dataset.signal = i;
      box.addEventListener('change', () => {
        const chosen = [...table.querySelectorAll('input[type=checkbox]')]
          .filter((b) => b.checked).map((b) => Number(b.dataset.signal));
        setSignals(chosen);
      });
      const g = element('input', undefined, { type: 'number', value: signalGain[i], step: 0.5, min: 0, title: 'Gain of this signal' });
      g.addEventListener('input', () => {
        signalGain[i] = Math.max(0, Number(g.value) || 0);
        draw();
      });
      const cells = [box, element('span', s.label), element('span', `${+rate(i).toFixed(6)} Hz`), element('span', s.unit), g];
      for (const c of cells) {
        const cell = element('td');
        cell.append(c);
        row.append(cell);
      }
      table.append(row);
    });
    showAnnotations();
  }

  function showAnnotations() {
    const list = $('annotations');
    list.replaceChildren();
    file.info.annotations.forEach((a, n) => {
      const b = element('button', `${clockText(a.onset / TICKS)} ${a.text}`);
      b.dataset.annotation = n;
      b.addEventListener('click', () => jumpTo(n));
      const item = element('li');
      item.append(b);
      list.append(item);
    });
  }

  // ---- the window --------------------------------------------------------------------------
  // A window holds at most this many samples of the signals shown (zooming out stops there).
  const MOST_SAMPLES = 4e6;
  function longestWindow() {
    const total = shown.reduce((sum, i) => sum + rate(i), 0) || 1;
    return Math.max(recordSeconds(), MOST_SAMPLES / total);
  }

  function clampWindow(a, b) {
    let length = Math.min(Math.max(b - a, 1e-3), longestWindow(), Math.max(duration(), 1e-3));
    a = Math.max(0, Math.min(a, duration() - length));
    return [a, a + length];
  }

  let reading = null; // the read in flight
  let again = false; // the window changed while it was read
  function refresh() {
    if (!file) return Promise.resolve();
    if (reading) {
      again = true;
      return reading;
    }
    const w = [t0, t1];
    const signals = shown.slice();
    reading = ask({ op: 'read', signals, t0: w[0], t1: w[1] }).then((result) => {
      samples = { t0: w[0], t1: w[1], signals: result.signals };
      lastRead = { records: result.records, ms: result.ms };
      draw();
    }).catch((e) => status(e.message)).finally(() => {
      reading = null;
      if (again) {
        again = false;
        return refresh();
      }
      return undefined;
    });
    return reading;
  }

  function showWindow() {
    $('window-text').textContent = file
      ? `${clockText(t0)} – ${clockText(t1)}  (${+(t1 - t0).toFixed(3)} s)` : '';
    const scroll = $('scroll');
    scroll.max = Math.max(0, duration() - (t1 - t0));
    scroll.value = t0;
  }

  function setWindow(a, b) {
    [t0, t1] = clampWindow(a, b);
    showWindow();
    return refresh();
  }

  function setSignals(list) {
    if (!file) return Promise.resolve();
    shown = [...new Set(list.map(Number))].filter((i) => i >= 0 && i < file.info.signals.length);
    for (const box of $('signals').querySelectorAll('input[type=checkbox]')) {
      box.checked = shown.includes(Number(box.dataset.signal));
    }
    return setWindow(t0, t1);
  }

  const move = (fraction) => setWindow(t0 + fraction * (t1 - t0), t1 + fraction * (t1 - t0));
  function zoom(factor) {
    const middle = (t0 + t1) / 2;
    const half = ((t1 - t0) * factor) / 2;
    return setWindow(middle - half, middle + half);
  }

  function jumpTo(n) {
    const a = file.info.annotations[n];
    const onset = a.onset / TICKS;
    const length = t1 - t0;
    return setWindow(onset - length / 10, onset - length / 10 + length);
  }

  // ---- drawing -----------------------------------------------------------------------------
  function resize() {
    const ratio = window.devicePixelRatio || 1;
    const w = Math.round(canvas.clientWidth * ratio);
    const h = Math.round(canvas.clientHeight * ratio);
    if (canvas.width !== w || canvas.height !== h) {
      canvas.width = w;
      canvas.height = h;
    }
    return ratio;
  }

  function niceStep(seconds, pixels) {
    const target = (seconds * 90) / Math.max(pixels, 1);
    const steps = [0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60,
      120, 300, 600, 900, 1800, 3600, 7200, 21600, 43200, 86400];
    return steps.find((s) => s >= target) || 86400;
  }

  function draw() {
    const started = performance.now();
    const ratio = resize();
    const W = canvas.width;
    const H = canvas.height;
    context.setTransform(1, 0, 0, 1, 0, 0);
    context.fillStyle = '#fff';
    context.fillRect(0, 0, W, H);
    let count = 0;
    if (!file || !samples) {
      drawn = { samples: 0, ms: performance.now() - started };
      return;
    }
    const left = Math.round(110 * ratio);
    const axis = Math.round(22 * ratio);
    const plotW = W - left;
    const plotH = H - axis;
    const a = samples.t0;
    const span = samples.t1 - samples.t0 || 1;
    const x = (t) => left + ((t - a) / span) * plotW;
    context.font = `${11 * ratio}px system-ui, sans-serif`;

    // Gaps of an EDF+D file: the times that no segment covers.
    context.fillStyle = '#e9e9ef';
    let covered = a;
    const record = recordSeconds();
    for (const s of file.info.segments) {
      const from = s.start / TICKS;
      const to = from + s.records * record;
      if (from > covered && covered < samples.t1) {
        context.fillRect(x(covered), 0, x(Math.min(from, samples.t1)) - x(covered), plotH);
      }
      covered = Math.max(covered, to);
    }
    if (covered < samples.t1) context.fillRect(x(covered), 0, x(samples.t1) - x(covered), plotH);

    // The time axis, in the recording's clock time.
    const step = niceStep(span, plotW);
    context.strokeStyle = '#e3e3e3';
    context.fillStyle = '#555';
    context.lineWidth = 1;
    context.textAlign = 'center';
    context.textBaseline = 'top';
    for (let t = Math.ceil(a / step) * step; t <= samples.t1 + 1e-9; t += step) {
      const px = Math.round(x(t)) + 0.5;
      context.beginPath();
      context.moveTo(px, 0);
      context.lineTo(px, plotH);
      context.stroke();
      context.fillText(clockText(t), px, plotH + 4 * ratio);
    }

    // Annotations as markers.
    context.textAlign = 'left';
    for (const n of file.info.annotations) {
      const onset = n.onset / TICKS;
      if (onset < a || onset > samples.t1) continue;
      const px = Math.round(x(onset)) + 0.5;
      context.strokeStyle = '#d9480f';
      if (n.duration > 0) {
        context.fillStyle = 'rgba(217, 72, 15, 0.08)';
        context.fillRect(px, 0, x(onset + n.duration / TICKS) - px, plotH);
      }
      context.beginPath();
      context.moveTo(px, 0);
      context.lineTo(px, plotH);
      context.stroke();
      context.fillStyle = '#d9480f';
      context.fillText(n.text, px + 3 * ratio, 3 * ratio);
    }

    // The traces, one lane each; more samples than pixels are drawn as each column's range.
    const lanes = samples.signals.length;
    const laneH = plotH / Math.max(lanes, 1);
    context.lineWidth = Math.max(1, ratio);
    context.textBaseline = 'middle';
    samples.signals.forEach((s, lane) => {
      const info = file.info.signals[s.index];
      const middle = laneH * (lane + 0.5);
      const range = info.physical_max - info.physical_min || 1;
      const centre = (info.physical_max + info.physical_min) / 2;
      const scale = (laneH * gain * (signalGain[s.index] ?? 1)) / range;
      context.fillStyle = '#333';
      context.fillText(info.label, 4 * ratio, middle);
      context.strokeStyle = '#1c3f95';
      context.save();
      context.beginPath();
      context.rect(left, lane * laneH, plotW, laneH);
      context.clip();
      context.beginPath();
      const v = s.samples;
      const n = v.length;
      count += n;
      const perPixel = n / plotW;
      const t = (k) => (s.start + k) / s.rate;
      if (perPixel > 2) {
        // Each column spans its samples and the last one before it, so that steep traces join.
        let previous = NaN;
        for (let px = 0; px < plotW; px++) {
          const from = Math.floor(px * perPixel);
          const to = Math.min(n, Math.floor((px + 1) * perPixel));
          let lo = Number.isNaN(previous) ? Infinity : previous;
          let hi = Number.isNaN(previous) ? -Infinity : previous;
          previous = to > from ? v[to - 1] : NaN;
          for (let k = from; k < to; k++) {
            const value = v[k];
            if (value < lo) lo = value;
            if (value > hi) hi = value;
          }
          if (lo > hi) continue; // a gap
          context.moveTo(left + px + 0.5, middle - (hi - centre) * scale - 0.5);
          context.lineTo(left + px + 0.5, middle - (lo - centre) * scale + 0.5);
        }
      } else {
        let pen = false;
        for (let k = 0; k < n; k++) {
          const value = v[k];
          if (Number.isNaN(value)) {
            pen = false;
            continue;
          }
          const px = x(t(k));
          const py = middle - (value - centre) * scale;
          if (pen) context.lineTo(px, py);
          else context.moveTo(px, py);
          pen = true;
        }
      }
      context.stroke();
      context.restore();
    });
    drawn = { samples: count, ms: performance.now() - started };
  }

  // ---- opening -----------------------------------------------------------------------------
  function refuse(text) {
    file = null;
    samples = null;
    for (const id of ['header', 'problems', 'signals', 'annotations']) $(id).replaceChildren();
    showWindow();
    draw();
    ask({ op: 'close' }).catch(() => {});
    status(text);
  }

  async function open(request, name) {
    status(`Opening ${name}…`);
    samples = null;
    if (scanner) scanner.terminate();
    scanner = new Worker('worker.js');
    scanner.onmessage = answer;
    const started = performance.now();
    const scan = ask({ op: 'open', scan: true, ...request }, scanner);
    let result;
    try {
      result = await ask({ op: 'open', ...request });
    } catch (e) {
      refuse(`${name}: ${e.message}`);
      scan.catch(() => {});
      throw e;
    }
    file = { name, info: result.info, headerMs: result.headerMs, openMs: result.openMs };
    signalGain = file.info.signals.map(() => 1);
    shown = file.info.signals.map((_, i) => i).slice(0, 64);
    showHeader();
    const scanning = file.info.filetype === 1 || file.info.filetype === 3;
    status(`${name}: ${filetype(file.info)}, ${file.info.signals.length} signals` +
           (scanning ? ', reading the annotations…' : ''));
    await setWindow(0, Math.min(10, duration() || 10));
    file.shownMs = performance.now() - started;
    const opened = file;
    let scanned;
    try {
      scanned = await scan;
    } catch (e) {
      // The records break the format where the tolerant reader cannot read past: the file is
      // refused, as the library refuses it.
      if (file === opened) refuse(`${name}: ${e.message}`);
      throw e;
    } finally {
      if (file === opened) {
        scanner.terminate();
        scanner = null;
      }
    }
    if (file !== opened) return;
    const { annotations, problems, segments, file_duration } = scanned.info;
    Object.assign(file.info, { annotations, problems, segments, file_duration });
    file.scanMs = performance.now() - started;
    await ask({ op: 'axis', axis: { segments, file_duration } });
    showHeader();
    status(`${name}: ${filetype(file.info)}, ${file.info.signals.length} signals, ` +
           `${annotations.length} annotations`);
    await setWindow(t0, t1);
  }

  const openFile = (f) => open({ file: f }, f.name);
  const openUrl = (url) => open({ url: String(new URL(url, location.href)) }, url);

  // ---- input -----------------------------------------------------------------------------
  $('file').addEventListener('change', (e) => {
    if (e.target.files.length) openFile(e.target.files[0]).catch(() => {});
  });
  $('url-form').addEventListener('submit', (e) => {
    e.preventDefault();
    if ($('url').value) openUrl($('url').value).catch(() => {});
  });
  document.addEventListener('dragover', (e) => {
    e.preventDefault();
    document.body.classList.add('dragging');
  });
  document.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
  document.addEventListener('drop', (e) => {
    e.preventDefault();
    document.body.classList.remove('dragging');
    if (e.dataTransfer.files.length) openFile(e.dataTransfer.files[0]).catch(() => {});
  });
  document.addEventListener('keydown', (e) => {
    if (!file || e.target.matches('input[type=url], input[type=number]')) return;
    const keys = {
      ArrowRight: () => move(0.25), ArrowLeft: () => move(-0.25),
      PageDown: () => move(1), PageUp: () => move(-1),
      '+': () => zoom(0.5), '=': () => zoom(0.5), '-': () => zoom(2),
      Home: () => setWindow(0, t1 - t0), End: () => setWindow(duration(), duration() + t1 - t0),
    };
    if (keys[e.key]) {
      e.preventDefault();
      keys[e.key]();
    }
  });
  canvas.addEventListener('wheel', (e) => {
    if (!file) return;
    e.preventDefault();
    if (e.ctrlKey) zoom(e.deltaY > 0 ? 1.25 : 0.8);
    else move(((e.deltaY || e.deltaX) / 100) * 0.1);
  }, { passive: false });
  $('scroll').addEventListener('input', (e) => {
    const a = Number(e.target.value);
    setWindow(a, a + (t1 - t0));
  });
  $('back').addEventListener('click', () => move(-0.25));
  $('forward').addEventListener('click', () => move(0.25));
  $('zoom-in').addEventListener('click', () => zoom(0.5));
  $('zoom-out').addEventListener('click', () => zoom(2));
  $('gain').addEventListener('input', (e) => {
    gain = 2 ** Number(e.target.value);
    draw();
  });
  new ResizeObserver(() => draw()).observe(canvas);

  // ---- the hook --------------------------------------------------------------------------
  window.viewer = {
    openFile,
    openUrl,
    setWindow: (a, b) => setWindow(Number(a), Number(b)),
    setSignals,
    setGain: (g, signal) => {
      if (signal === undefined) gain = g;
      else signalGain[signal] = g;
      draw();
    },
    jumpTo,
    async read(signal, a, b) {
      const result = await ask({ op: 'read', signals: [Number(signal)], t0: Number(a), t1: Number(b) });
      return Array.from(result.signals[0].samples, (v) => (Number.isNaN(v) ? null : v));
    },
    redraw() {
      draw();
      return drawn;
    },
    state() {
      if (!file) return { file: null };
      const info = file.info;
      return {
        file: file.name,
        loading: file.scanMs === undefined,
        filetype: TYPES[info.filetype],
        duration: duration(),
        record_duration: recordSeconds(),
        signals: info.signals.map((s, i) => ({ label: s.label, rate: rate(i), unit: s.unit })),
        shown: shown.slice(),
        t0,
        t1,
        annotations: info.annotations.map((a) => ({
          onset: a.onset / TICKS, duration: a.duration < 0 ? null : a.duration / TICKS, text: a.text,
        })),
        problems: info.problems.map((p) => ({ field: p.field, message: p.message })),
        segments: info.segments.map((s) => ({ start: s.start / TICKS, records: s.records })),
        drawn: { ...drawn },
        read: { ...lastRead },
        open: { header_ms: file.headerMs, shown_ms: file.shownMs, scan_ms: file.scanMs },
      };
    },
  };
})();
