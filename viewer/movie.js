// The movie page: decodes the tracked movie embedded in the page (its layout
// is described in tools/movie_page.h) and draws one frame at a time on a
// canvas, with the controls of the side panel.
(function () {
  'use strict';

  const errors = [];
  window.addEventListener('error', (e) => errors.push(String(e.message || e)));

  const data = JSON.parse(document.getElementById('movie-data').textContent);
  const $ = (id) => document.getElementById(id);

  // ------------------------------------------------------------ decoding

  const DIGITS = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_';
  const digitValue = new Int8Array(128).fill(-1);
  for (let i = 0; i < DIGITS.length; ++i) digitValue[DIGITS.charCodeAt(i)] = i;

  // Reads the page's integers one after the other from a string.
  class Reader {
    constructor(text) { this.text = text; this.at = 0; }
    next() {
      let z = 0, scale = 1, group;
      do {
        group = digitValue[this.text.charCodeAt(this.at++)];
        if (group < 0 || this.at > this.text.length) throw new Error('corrupt frame data at ' + this.at);
        z += (group & 31) * scale;
        scale *= 32;
      } while (group & 32);
      return z % 2 ? -(z - 1) / 2 - 1 : z / 2;
    }
  }

  const outline = data.shape === 'outline';
  const has = data.has;
  const T = data.tracks.label.length;
  const trackOfLabel = new Map();
  data.tracks.label.forEach((label, t) => trackOfLabel.set(label, t));
  const parentOf = Int32Array.from(data.tracks.parent, (p) => (p ? trackOfLabel.get(p) : -1));
  const children = Array.from({ length: T }, () => []);
  for (let t = 0; t < T; ++t) if (parentOf[t] >= 0) children[parentOf[t]].push(t);

  // One frame: per cell its track, centre, confidence (NaN: not rated), flag,
  // bounding box and shape (rod ends, or loops of outline corners).
  function decodeFrame(text) {
    const r = new Reader(text);
    const n = r.next();
    const f = {
      n, track: new Int32Array(n), x: new Float32Array(n), y: new Float32Array(n),
      conf: new Float32Array(n).fill(NaN), flag: new Int32Array(n), length: new Float32Array(n),
      box: new Float32Array(4 * n), ends: null, loopStart: null, cornerStart: null, corners: null,
    };
    const loopStart = [0], cornerStart = [0], corners = [];
    if (!outline) f.ends = new Float32Array(4 * n);
    let track = 0;
    for (let i = 0; i < n; ++i) {
      track += r.next();
      f.track[i] = track;
      const x = r.next() / 10, y = r.next() / 10;
      f.x[i] = x; f.y[i] = y;
      if (has.confidence) { const c = r.next(); if (c > 0) f.conf[i] = (c - 1) / 1000; }
      if (has.flag) f.flag[i] = r.next();
      let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
      if (!outline) {
        const len = r.next() / 10, a = (r.next() / 10) * Math.PI / 180, h = len / 2;
        f.length[i] = len;
        const ex = h * Math.cos(a), ey = -h * Math.sin(a);
        f.ends.set([x + ex, y + ey, x - ex, y - ey], 4 * i);
        x0 = Math.min(x + ex, x - ex); x1 = Math.max(x + ex, x - ex);
        y0 = Math.min(y + ey, y - ey); y1 = Math.max(y + ey, y - ey);
      } else {
        const loops = r.next();
        for (let k = 0; k < loops; ++k) {
          const m = r.next();
          let cx = Math.round(x), cy = Math.round(y);
          for (let j = 0; j < m; ++j) {
            cx += r.next(); cy += r.next();
            const px = cx - 0.5, py = cy - 0.5;
            corners.push(px, py);
            if (px < x0) x0 = px; if (px > x1) x1 = px;
            if (py < y0) y0 = py; if (py > y1) y1 = py;
          }
          cornerStart.push(corners.length);
        }
        loopStart.push(cornerStart.length - 1);
        if (loops === 0) { x0 = x1 = x; y0 = y1 = y; }
        f.length[i] = Math.hypot(x1 - x0, y1 - y0);
      }
      f.box.set([x0, y0, x1, y1], 4 * i);
    }
    if (outline) {
      f.loopStart = Int32Array.from(loopStart);
      f.cornerStart = Int32Array.from(cornerStart);
      f.corners = Float32Array.from(corners);
    }
    return f;
  }

  const frames = data.cells.map(decodeFrame);
  const F = frames.length;

  // Where each track is: frame indices and cell indices, in time order.
  const trackFrames = Array.from({ length: T }, () => []);
  const trackCells = Array.from({ length: T }, () => []);
  frames.forEach((f, fi) => {
    for (let i = 0; i < f.n; ++i) { trackFrames[f.track[i]].push(fi); trackCells[f.track[i]].push(i); }
  });
  // Divisions by the frame their daughters first appear in: [mother, daughters].
  const divisionsAt = Array.from({ length: F }, () => new Map());
  for (let t = 0; t < T; ++t) {
    const p = parentOf[t];
    if (p < 0 || !trackFrames[t].length) continue;
    const at = divisionsAt[trackFrames[t][0]];
    if (!at.has(p)) at.set(p, []);
    at.get(p).push(t);
  }

  // What "fit" shows: every cell of every frame.
  let bounds = [Infinity, Infinity, -Infinity, -Infinity];
  for (const f of frames) for (let i = 0; i < f.n; ++i) {
    bounds[0] = Math.min(bounds[0], f.box[4 * i]); bounds[1] = Math.min(bounds[1], f.box[4 * i + 1]);
    bounds[2] = Math.max(bounds[2], f.box[4 * i + 2]); bounds[3] = Math.max(bounds[3], f.box[4 * i + 3]);
  }
  if (!(bounds[0] <= bounds[2])) bounds = [0, 0, 100, 100];

  // Rods are drawn a third of the median cell length wide.
  const rodWidth = (() => {
    const lengths = [];
    for (const f of frames) for (let i = 0; i < f.n && lengths.length < 20000; ++i) lengths.push(f.length[i]);
    lengths.sort((a, b) => a - b);
    return lengths.length ? Math.max(1, 0.33 * lengths[lengths.length >> 1]) : 4;
  })();
  const markRadius = outline ? 14 : Math.max(6, 1.2 * rodWidth);

  // ------------------------------------------------------------ colours

  // The lineage tree's colours: one palette that colour-blind readers can
  // tell apart; by founder, each tree its founder's colour (as in lineage.svg),
  // lone tracks dark grey; by track, the palette in turn by label.
  const founderOrder = new Map();
  data.tracks.founder.forEach((label) => { if (!founderOrder.has(label)) founderOrder.set(label, founderOrder.size); });
  const paletteColour = (k) => (k < 0 ? data.lone : data.palette[k % data.palette.length]);
  const colours = {
    founder: data.tracks.colour.map(paletteColour),
    track: data.tracks.label.map((label) => paletteColour(label)),
  };
  // By a fluorescence channel (cells.csv NAME_mean): every cell's own mean in
  // its frame on a dark-blue-to-yellow ramp, 64 levels from the channel's 1st
  // to its 99th percentile; levelOf[NAME][frame][cell] (-1: no value).
  const LEVELS = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/';
  const RAMP = [[68, 1, 84], [59, 82, 139], [33, 145, 140], [94, 201, 98], [253, 231, 37]];
  const ramp = Array.from({ length: 64 }, (_, k) => {
    const at = (k / 63) * (RAMP.length - 1), j = Math.min(RAMP.length - 2, Math.floor(at)), u = at - j;
    const c = RAMP[j].map((v, m) => Math.round(v + u * (RAMP[j + 1][m] - v)));
    return `rgb(${c[0]},${c[1]},${c[2]})`;
  });
  const channels = data.channels || [];
  const levelOf = {};
  for (const c of channels) levelOf[c.name] = c.levels.map((text) => Array.from(text, (ch) => LEVELS.indexOf(ch)));

  // ------------------------------------------------------------ state

  const state = {
    frame: 0, colour: 'founder', playing: false, fps: 6, divisions: true,
    lowconf: false, threshold: data.doubtful, selected: -1, lineage: null, hover: -1,
    view: { scale: 1, x: 0, y: 0 }, drawn: 0, path: null, trails: 0,
  };

  const canvas = $('view');
  const ctx = canvas.getContext('2d');
  let dpr = window.devicePixelRatio || 1;

  function resize() {
    dpr = window.devicePixelRatio || 1;
    const r = canvas.getBoundingClientRect();
    canvas.width = Math.max(1, Math.round(r.width * dpr));
    canvas.height = Math.max(1, Math.round(r.height * dpr));
  }

  function fit() {
    const r = canvas.getBoundingClientRect();
    const w = bounds[2] - bounds[0] || 1, h = bounds[3] - bounds[1] || 1;
    const s = 0.95 * Math.min(r.width / w, r.height / h);
    state.view = { scale: s, x: (r.width - s * w) / 2 - s * bounds[0], y: (r.height - s * h) / 2 - s * bounds[1] };
  }

  const toData = (sx, sy) => [(sx - state.view.x) / state.view.scale, (sy - state.view.y) / state.view.scale];
  const toScreen = (x, y) => [state.view.x + state.view.scale * x, state.view.y + state.view.scale * y];

  // ------------------------------------------------------------ drawing

  // The axis of a rod drawn as a line with round caps: the poles are the
  // ends of its length, so the line stops half a width short of each.
  function rodAxis(f, i) {
    const e = 4 * i, x = f.x[i], y = f.y[i];
    const half = Math.hypot(f.ends[e] - x, f.ends[e + 1] - y);
    const k = half > 0 ? Math.max(0, half - rodWidth / 2) / half : 0;
    return [x + k * (f.ends[e] - x), y + k * (f.ends[e + 1] - y), x + k * (f.ends[e + 2] - x), y + k * (f.ends[e + 3] - y)];
  }

  function shapePath(f, i) {
    ctx.beginPath();
    addShape(f, i);
  }

  function addShape(f, i) {
    if (!outline) {
      const [ax, ay, bx, by] = rodAxis(f, i);
      ctx.moveTo(ax, ay);
      ctx.lineTo(bx, by);
      return;
    }
    for (let k = f.loopStart[i]; k < f.loopStart[i + 1]; ++k) {
      const a = f.cornerStart[k], b = f.cornerStart[k + 1];
      ctx.moveTo(f.corners[a], f.corners[a + 1]);
      for (let j = a + 2; j < b; j += 2) ctx.lineTo(f.corners[j], f.corners[j + 1]);
      ctx.closePath();
    }
  }

  // Fills (or strokes) a cell's shape in `style`; rods are wide round lines.
  function paintCell(f, i, style, ring) {
    shapePath(f, i);
    const px = 1 / state.view.scale;
    if (!outline) {
      if (ring) { ctx.lineWidth = rodWidth + 5 * px; ctx.strokeStyle = ring; ctx.stroke(); }
      ctx.lineWidth = rodWidth; ctx.strokeStyle = style; ctx.stroke();
      return;
    }
    ctx.fillStyle = style; ctx.fill();
    ctx.lineWidth = (ring ? 1.5 : 0.7) * px; ctx.strokeStyle = ring || '#ffffff'; ctx.stroke();
  }

  // All cells of a frame, one path per colour: far fewer canvas calls than
  // one per cell. Cells of a selected lineage get a dark rim.
  function paintCells(f, px) {
    const groups = new Map(), rim = [];
    for (let i = 0; i < f.n; ++i) {
      const t = f.track[i], style = fillOf(t, i);
      if (!groups.has(style)) groups.set(style, []);
      groups.get(style).push(i);
      if (state.lineage && state.lineage[t]) rim.push(i);
    }
    const path = (cells) => { ctx.beginPath(); for (const i of cells) addShape(f, i); };
    if (!outline && rim.length) {
      path(rim);
      ctx.lineWidth = rodWidth + 3 * px; ctx.strokeStyle = '#111'; ctx.stroke();
    }
    for (const [style, cells] of groups) {
      path(cells);
      if (outline) { ctx.fillStyle = style; ctx.fill(); }
      else { ctx.lineWidth = rodWidth; ctx.strokeStyle = style; ctx.stroke(); }
    }
    if (outline) {
      path(Array.from({ length: f.n }, (_, i) => i));
      ctx.lineWidth = 0.7 * px; ctx.strokeStyle = '#ffffff'; ctx.stroke();
      if (rim.length) { path(rim); ctx.lineWidth = 1.5 * px; ctx.strokeStyle = '#111'; ctx.stroke(); }
    }
  }

  function centre(fi, i) { return [frames[fi].x[i], frames[fi].y[i]]; }

  // The cell a link comes from: the track's cell before, or its mother's last.
  function predecessor(fi, i) {
    const t = frames[fi].track[i];
    const k = trackFrames[t].indexOf(fi);
    if (k > 0) return [trackFrames[t][k - 1], trackCells[t][k - 1]];
    const p = parentOf[t];
    if (p < 0 || !trackFrames[p].length) return null;
    return [trackFrames[p][trackFrames[p].length - 1], trackCells[p][trackCells[p].length - 1]];
  }

  function isLow(f, i) { return !Number.isNaN(f.conf[i]) && f.conf[i] < state.threshold; }

  // The selected lineage's trails, kept readable however large the family:
  // the selected track and its ancestors in full up to this frame, thick;
  // of the other tracks only those alive in this frame, over their last few
  // frames (3 when more than 40 are alive, else 8), thin.
  function drawTrails(fi, px) {
    ctx.lineJoin = 'round'; ctx.lineCap = 'round';
    const alive = [];
    for (let t = 0; t < T; ++t) {
      const fr = trackFrames[t];
      if (state.lineage[t] && !state.path[t] && fr.length && fr[0] <= fi && fr[fr.length - 1] >= fi) alive.push(t);
    }
    const recent = alive.length > 40 ? 3 : 8;
    const trail = (t, from, width) => {
      const pts = [], fr = trackFrames[t], p = parentOf[t];
      let k = 0;
      while (k < fr.length && fr[k] < from) ++k;
      if (k === 0 && p >= 0 && state.lineage[p] && trackFrames[p].length) {
        const j = trackFrames[p].length - 1;
        if (trackFrames[p][j] >= from - 1) pts.push(centre(trackFrames[p][j], trackCells[p][j]));
      }
      for (; k < fr.length && fr[k] <= fi; ++k) pts.push(centre(fr[k], trackCells[t][k]));
      if (pts.length < 2) return;
      ctx.beginPath();
      ctx.moveTo(pts[0][0], pts[0][1]);
      for (const q of pts.slice(1)) ctx.lineTo(q[0], q[1]);
      ctx.lineWidth = (width + 2.8) * px; ctx.strokeStyle = 'rgba(255,255,255,0.85)'; ctx.stroke();
      ctx.lineWidth = width * px; ctx.strokeStyle = '#111'; ctx.stroke();
      ++state.trails;
    };
    state.trails = 0;
    for (const t of alive) trail(t, fi - recent, 1.3);
    for (let t = 0; t < T; ++t) if (state.path[t] && trackFrames[t].length && trackFrames[t][0] <= fi) trail(t, -Infinity, 2.4);
  }

  // Rings in a colour that no founder's takes, even to colour-blind eyes,
  // over a white halo.
  function drawDivisions(fi, px) {
    const f = frames[fi];
    for (const daughters of divisionsAt[fi].values()) {
      let x = 0, y = 0;
      for (const d of daughters) {
        const i = trackCells[d][0];
        x += f.x[i]; y += f.y[i];
      }
      ctx.beginPath();
      ctx.arc(x / daughters.length, y / daughters.length, markRadius, 0, 2 * Math.PI);
      ctx.lineWidth = 4 * px; ctx.strokeStyle = 'rgba(255,255,255,0.9)'; ctx.stroke();
      ctx.lineWidth = 2 * px; ctx.strokeStyle = data.ring; ctx.stroke();
    }
  }

  // Strokes the current path twice, black dashes over white, so that it
  // shows on every colour of the palette.
  function dashedBlackWhite(px, width) {
    ctx.setLineDash([]);
    ctx.lineWidth = (width + 1.5) * px; ctx.strokeStyle = '#ffffff'; ctx.stroke();
    ctx.setLineDash([4 * px, 3 * px]);
    ctx.lineWidth = width * px; ctx.strokeStyle = '#000000'; ctx.stroke();
    ctx.setLineDash([]);
  }

  // Each cell whose link is below the threshold outlined in black-and-white
  // dashes, and a dashed line from where it came from.
  function drawLowConfidence(fi, px) {
    const f = frames[fi];
    for (let i = 0; i < f.n; ++i) {
      if (!isLow(f, i)) continue;
      if (outline) {
        shapePath(f, i);
      } else {
        const [ax, ay, bx, by] = rodAxis(f, i), dx = bx - ax, dy = by - ay, len = Math.hypot(dx, dy) || 1;
        const r = rodWidth / 2 + 1.5 * px, nx = -dy / len * r, ny = dx / len * r, a = Math.atan2(dy, dx);
        ctx.beginPath();
        ctx.moveTo(ax + nx, ay + ny); ctx.lineTo(bx + nx, by + ny);
        ctx.arc(bx, by, r, a + Math.PI / 2, a - Math.PI / 2, true);
        ctx.lineTo(ax - nx, ay - ny);
        ctx.arc(ax, ay, r, a - Math.PI / 2, a + Math.PI / 2, true);
        ctx.closePath();
      }
      dashedBlackWhite(px, 2);
      const from = predecessor(fi, i);
      if (!from) continue;
      const [x0, y0] = centre(from[0], from[1]);
      ctx.beginPath();
      ctx.moveTo(x0, y0); ctx.lineTo(f.x[i], f.y[i]);
      dashedBlackWhite(px, 2);
      ctx.beginPath();
      ctx.arc(x0, y0, 3 * px, 0, 2 * Math.PI);
      ctx.fillStyle = '#000000'; ctx.fill();
      ctx.lineWidth = 1 * px; ctx.strokeStyle = '#ffffff'; ctx.stroke();
    }
  }

  // A cell's colour: its track's or founder's, or its level of a channel in
  // the frame shown (cell i); grey outside a selected lineage.
  function fillOf(t, i) {
    if (state.lineage && !state.lineage[t]) return data.outside;
    const levels = levelOf[state.colour];
    if (!levels) return colours[state.colour][t];
    const k = levels[state.frame][i];
    return k >= 0 ? ramp[k] : data.lone;
  }

  // One more "colour by" choice per channel, its range in its title.
  function addChannelChoices() {
    const line = document.querySelector('input[name=colour]').closest('div');
    for (const c of channels) {
      const label = document.createElement('label');
      label.title = `${c.name}_mean: dark blue ${c.low} or less, yellow ${c.high} or more`;
      const radio = document.createElement('input');
      radio.type = 'radio'; radio.name = 'colour'; radio.value = c.name;
      label.append(radio, ` ${c.name}`);
      line.append(' ', label);
    }
  }

  function draw() {
    const fi = state.frame, f = frames[fi];
    ctx.setTransform(1, 0, 0, 1, 0, 0);
    ctx.fillStyle = '#f4f4f2';
    ctx.fillRect(0, 0, canvas.width, canvas.height);
    const v = state.view;
    ctx.setTransform(dpr * v.scale, 0, 0, dpr * v.scale, dpr * v.x, dpr * v.y);
    const px = 1 / v.scale;
    if (data.width > 0) {
      ctx.fillStyle = '#ffffff';
      ctx.fillRect(-0.5, -0.5, data.width, data.height);
    }
    ctx.lineCap = 'round'; ctx.lineJoin = 'round';
    paintCells(f, px);
    if (state.lineage) drawTrails(fi, px);
    if (state.divisions) drawDivisions(fi, px);
    if (state.lowconf && has.confidence) drawLowConfidence(fi, px);
    if (state.hover >= 0 && state.hover < f.n) {
      if (outline) {
        shapePath(f, state.hover);
        ctx.lineWidth = 2.5 * px; ctx.strokeStyle = 'rgba(0,0,0,0.7)'; ctx.stroke();
      } else {
        paintCell(f, state.hover, fillOf(f.track[state.hover], state.hover), 'rgba(0,0,0,0.7)');
      }
    }
    drawFixes(fi, px);
    state.drawn = f.n;
    updateFrameLabel();
  }

  let pending = false;
  function redraw() {
    if (pending) return;
    pending = true;
    requestAnimationFrame(() => { pending = false; draw(); });
  }

  // ------------------------------------------------------------ hit test

  function inside(f, i, x, y) {
    const b = 4 * i, slack = outline ? 0 : rodWidth / 2;
    if (x < f.box[b] - slack || x > f.box[b + 2] + slack || y < f.box[b + 1] - slack || y > f.box[b + 3] + slack)
      return false;
    if (!outline) {
      const [ax, ay, bx, by] = rodAxis(f, i), vx = bx - ax, vy = by - ay;
      const len2 = vx * vx + vy * vy;
      const s = len2 > 0 ? Math.max(0, Math.min(1, ((x - ax) * vx + (y - ay) * vy) / len2)) : 0;
      return Math.hypot(x - ax - s * vx, y - ay - s * vy) <= rodWidth / 2;
    }
    let odd = false;
    for (let k = f.loopStart[i]; k < f.loopStart[i + 1]; ++k) {
      const a = f.cornerStart[k], z = f.cornerStart[k + 1], c = f.corners;
      for (let j = a, p = z - 2; j < z; p = j, j += 2) {
        if ((c[j + 1] > y) !== (c[p + 1] > y) &&
            x < c[p] + ((y - c[p + 1]) * (c[j] - c[p])) / (c[j + 1] - c[p + 1])) odd = !odd;
      }
    }
    return odd;
  }

  function cellAt(sx, sy) {
    const [x, y] = toData(sx, sy), f = frames[state.frame];
    for (let i = f.n - 1; i >= 0; --i) if (inside(f, i, x, y)) return i;
    return -1;
  }

  // ------------------------------------------------------------ panel

  function updateFrameLabel() {
    const f = frames[state.frame];
    $('frame-label').textContent =
      `frame ${data.frames[state.frame]}  (${state.frame + 1} of ${F}), ${f.n} cells`;
    $('frame').value = state.frame;
    const divisions = divisionsAt[state.frame].size;
    $('count-frame-divisions').textContent = divisions;
    if (has.confidence) {
      let low = 0;
      for (let i = 0; i < f.n; ++i) if (isLow(f, i)) ++low;
      $('count-frame-low').textContent = low;
    }
  }

  function buildLegend() {
    let cells = 0, divisions = 0, low = 0;
    for (const f of frames) {
      cells += f.n;
      for (let i = 0; i < f.n; ++i) if (isLow(f, i)) ++low;
    }
    for (let t = 0; t < T; ++t) if (children[t].length) ++divisions;
    const rows = [
      ['frames', F], ['cells, all frames', cells], ['tracks', T], ['founders', founderOrder.size],
      ['divisions', divisions], ['divisions, this frame', '<span id="count-frame-divisions"></span>'],
    ];
    if (has.confidence) {
      rows.push([`links below ${state.threshold}`, low]);
      rows.push(['... in this frame', '<span id="count-frame-low"></span>']);
    }
    $('counts').innerHTML = rows.map(([k, v]) => `<tr><td>${k}</td><td>${v}</td></tr>`).join('');
  }

  // tracks.csv's reasons why a track's numbers look impossible ('' for none).
  function suspectOf(t) { return data.tracks.suspect ? data.tracks.suspect[t] : ''; }

  function esc(s) {
    return String(s).replace(/[&<>"]/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;' }[c]));
  }

  function describe(fi, i) {
    const f = frames[fi], t = f.track[i], p = parentOf[t];
    const rows = [`<b>track ${data.tracks.label[t]}</b>`, `parent ${p >= 0 ? data.tracks.label[p] : 'none'}`,
      `founder ${data.tracks.founder[t]}`];
    rows.push(`generation ${data.tracks.generation[t]}`);
    if (has.fate) rows.push(`fate ${data.tracks.fate[t] >= 0 ? esc(data.fates[data.tracks.fate[t]]) : 'unknown'}`);
    if (has.confidence) rows.push(`link confidence ${Number.isNaN(f.conf[i]) ? 'not rated' : f.conf[i].toFixed(3)}`);
    if (has.flag && f.flag[i]) rows.push(`flag ${f.flag[i]}`);
    if (suspectOf(t)) rows.push(`<b>suspect</b> ${esc(suspectOf(t))}`);
    if (children[t].length) rows.push(`daughters ${children[t].map((d) => data.tracks.label[d]).join(', ')}`);
    return rows.join('<br>');
  }

  function showTip(sx, sy) {
    const tip = $('tip');
    if (state.hover < 0) { tip.hidden = true; return; }
    tip.innerHTML = describe(state.frame, state.hover);
    tip.hidden = false;
    const r = canvas.getBoundingClientRect();
    tip.style.left = Math.min(sx + 14, r.width - tip.offsetWidth - 4) + 'px';
    tip.style.top = Math.min(sy + 14, r.height - tip.offsetHeight - 4) + 'px';
  }

  // ------------------------------------------------------------ selection

  function select(t) {
    state.selected = t;
    if (t < 0) {
      state.lineage = state.path = null;
      $('selection').hidden = true;
      redraw();
      return;
    }
    const lineage = new Uint8Array(T);
    let ancestors = 0, descendants = 0;
    for (let p = parentOf[t]; p >= 0 && !lineage[p]; p = parentOf[p]) { lineage[p] = 1; ++ancestors; }
    const stack = [t];
    lineage[t] = 1;
    while (stack.length) {
      for (const d of children[stack.pop()]) if (!lineage[d]) { lineage[d] = 1; ++descendants; stack.push(d); }
    }
    state.lineage = lineage;
    state.path = new Uint8Array(T);
    for (let a = t; a >= 0 && !state.path[a]; a = parentOf[a]) state.path[a] = 1;
    const first = trackFrames[t].length ? data.frames[trackFrames[t][0]] : '-';
    const last = trackFrames[t].length ? data.frames[trackFrames[t][trackFrames[t].length - 1]] : '-';
    $('selection-text').innerHTML = `track <b>${data.tracks.label[t]}</b>, frames ${first} to ${last}<br>` +
      `${plural(ancestors, 'ancestor')}, ${plural(descendants, 'descendant')}` +
      (suspectOf(t) ? `<br><b>suspect</b>: ${esc(suspectOf(t))}` : '');
    $('ancestry').innerHTML = ancestryTable(ancestry(t));
    $('selection').hidden = false;
    redraw();
  }

  // The track's ancestry, founder first: each track's first frame, its
  // cycle (from its first frame to its daughters' first), the confidence of
  // the link into its first cell (from its mother) and the lowest of the
  // links within it.
  function ancestry(t) {
    const chain = [];
    for (let a = t; a >= 0 && chain.length <= T; a = parentOf[a]) chain.unshift(a);
    return chain.map((a) => {
      const fr = trackFrames[a], born = fr.length ? data.frames[fr[0]] : NaN;
      const d = children[a].find((c) => trackFrames[c].length);
      const cycle = d !== undefined && fr.length ? data.frames[trackFrames[d][0]] - born : NaN;
      let link = NaN, lowest = NaN;
      if (has.confidence) {
        for (let k = 0; k < fr.length; ++k) {
          const c = frames[fr[k]].conf[trackCells[a][k]];
          if (k === 0) link = parentOf[a] >= 0 ? c : NaN;
          else if (!Number.isNaN(c) && !(c >= lowest)) lowest = c;
        }
      }
      return { track: data.tracks.label[a], born, cycle, link, lowest, suspect: suspectOf(a) };
    });
  }

  function ancestryTable(rows) {
    const minutes = data.interval > 0;
    const conf = (c) => (Number.isNaN(c) ? '&ndash;' : c < state.threshold ? `<b class="low">${c.toFixed(2)}</b>` : c.toFixed(2));
    const cycle = (n) => (Number.isNaN(n) ? '&ndash;' : minutes ? String(+(n * data.interval).toFixed(1)) : String(n));
    const head = `<tr><th>track</th><th>born</th><th>cycle${minutes ? ', min' : ''}</th>` +
      (has.confidence ? '<th title="confidence of the link from its mother">link</th>' +
        '<th title="lowest confidence of its own links">lowest</th>' : '') + '</tr>';
    return head + rows.map((r) => `<tr><td${r.suspect ? ` title="suspect: ${esc(r.suspect)}"` : ''}>` +
      `${r.track}${r.suspect ? ' (suspect)' : ''}</td><td>${r.born}</td><td>${cycle(r.cycle)}</td>` +
      (has.confidence ? `<td>${conf(r.link)}</td><td>${conf(r.lowest)}</td>` : '') + '</tr>').join('');
  }

  function plural(n, word) { return `${n} ${word}${n === 1 ? '' : 's'}`; }

  function lineageLabels() {
    if (!state.lineage) return [];
    const out = [];
    for (let t = 0; t < T; ++t) if (state.lineage[t]) out.push(data.tracks.label[t]);
    return out;
  }

  function findTrack(text) {
    const label = Number(text.trim());
    const t = trackOfLabel.get(label);
    if (!Number.isInteger(label) || t === undefined || !trackFrames[t].length) {
      $('search-note').textContent = `no track ${text.trim()}`;
      return;
    }
    $('search-note').textContent = '';
    const fi = state.frame;
    const k = trackFrames[t].indexOf(fi);
    setFrame(k >= 0 ? fi : trackFrames[t][0]);
    select(t);
    const i = trackCells[t][k >= 0 ? k : 0];
    const r = canvas.getBoundingClientRect();
    const [sx, sy] = toScreen(frames[state.frame].x[i], frames[state.frame].y[i]);
    state.view.x += r.width / 2 - sx;
    state.view.y += r.height / 2 - sy;
    redraw();
  }

  // ------------------------------------------------------------ frames

  function setFrame(fi) {
    state.frame = Math.max(0, Math.min(F - 1, fi));
    state.hover = -1;
    $('tip').hidden = true;
    redraw();
  }

  let lastTick = 0;
  function tick(now) {
    if (!state.playing) return;
    if (now - lastTick >= 1000 / state.fps) {
      lastTick = now;
      setFrame(state.frame + 1 < F ? state.frame + 1 : 0);
    }
    requestAnimationFrame(tick);
  }

  function play(on) {
    state.playing = on;
    $('play').textContent = on ? 'pause' : 'play';
    if (on) { lastTick = 0; requestAnimationFrame(tick); }
  }

  // ------------------------------------------------------------ events

  function wire() {
    $('frame').max = F - 1;
    $('frame').addEventListener('input', (e) => setFrame(Number(e.target.value)));
    $('first').onclick = () => setFrame(0);
    $('last').onclick = () => setFrame(F - 1);
    $('prev').onclick = () => setFrame(state.frame - 1);
    $('next').onclick = () => setFrame(state.frame + 1);
    $('play').onclick = () => play(!state.playing);
    const speed = () => { state.fps = Number($('speed').value); $('speed-label').textContent = `${state.fps} frames/s`; };
    $('speed').addEventListener('input', speed);
    speed();
    addChannelChoices();
    for (const radio of document.querySelectorAll('input[name=colour]'))
      radio.addEventListener('change', (e) => { state.colour = e.target.value; redraw(); });
    $('show-divisions').addEventListener('change', (e) => { state.divisions = e.target.checked; redraw(); });
    if (!has.confidence) {
      $('lowconf-line').classList.add('disabled');
      $('lowconf-line').title = 'cells.csv has no confidence column';
      $('show-lowconf').disabled = $('threshold').disabled = true;
      $('lowconf-key').hidden = true;
    }
    $('show-lowconf').addEventListener('change', (e) => { state.lowconf = e.target.checked; redraw(); });
    $('threshold').addEventListener('change', (e) => {
      const v = Number(e.target.value);
      if (v >= 0 && v <= 1) state.threshold = v;
      buildLegend();
      redraw();
    });
    $('search-form').addEventListener('submit', (e) => { e.preventDefault(); findTrack($('search').value); });
    $('fit').onclick = () => { fit(); redraw(); };
    $('clear').onclick = () => select(-1);

    let drag = null;
    canvas.addEventListener('mousedown', (e) => {
      drag = { x: e.clientX, y: e.clientY, vx: state.view.x, vy: state.view.y, moved: false };
      canvas.classList.add('dragging');
    });
    window.addEventListener('mouseup', () => { drag = null; canvas.classList.remove('dragging'); });
    canvas.addEventListener('mousemove', (e) => {
      const r = canvas.getBoundingClientRect(), sx = e.clientX - r.left, sy = e.clientY - r.top;
      if (drag && (drag.moved || Math.hypot(e.clientX - drag.x, e.clientY - drag.y) > 3)) {
        drag.moved = true;
        state.view.x = drag.vx + e.clientX - drag.x;
        state.view.y = drag.vy + e.clientY - drag.y;
        $('tip').hidden = true;
        redraw();
        return;
      }
      const hover = cellAt(sx, sy);
      if (hover !== state.hover) { state.hover = hover; redraw(); }
      showTip(sx, sy);
    });
    canvas.addEventListener('mouseleave', () => { state.hover = -1; $('tip').hidden = true; redraw(); });
    canvas.addEventListener('click', (e) => {
      if (drag && drag.moved) return;
      const r = canvas.getBoundingClientRect();
      const i = cellAt(e.clientX - r.left, e.clientY - r.top);
      select(i >= 0 ? frames[state.frame].track[i] : -1);
    });
    canvas.addEventListener('wheel', (e) => {
      e.preventDefault();
      const r = canvas.getBoundingClientRect(), sx = e.clientX - r.left, sy = e.clientY - r.top;
      const k = Math.exp(-e.deltaY * (e.deltaMode === 1 ? 0.05 : 0.0015));
      const v = state.view;
      v.x = sx - (sx - v.x) * k; v.y = sy - (sy - v.y) * k; v.scale *= k;
      redraw();
    }, { passive: false });
    window.addEventListener('keydown', (e) => {
      if (e.target instanceof HTMLInputElement && (e.target.type === 'search' || e.target.type === 'number')) return;
      const keys = {
        ArrowLeft: () => setFrame(state.frame - 1), ArrowRight: () => setFrame(state.frame + 1),
        Home: () => setFrame(0), End: () => setFrame(F - 1), ' ': () => play(!state.playing),
        Escape: () => select(-1), f: () => { fit(); redraw(); },
        c: () => {
          state.colour = state.colour === 'founder' ? 'track' : 'founder';
          document.querySelector(`input[name=colour][value=${state.colour}]`).checked = true;
          redraw();
        },
      };
      const act = keys[e.key] || keys[e.key.toLowerCase()];
      if (!act) return;
      e.preventDefault();
      act();
    });
    window.addEventListener('resize', () => { resize(); redraw(); });
  }

  // ------------------------------------------------------------ corrections by hand

  // With "correct links" on, a click on a cell takes it as the cell to
  // correct and shows the frame before; a click there names its true origin
  // (a link; two cells linked to one are its daughters). The buttons give the
  // other answers: no origin (new), debris, not the link the lineage has. The
  // fixes are listed, each with an undo, and saved as the file that
  // vantu-track --corrections reads (a download: the page writes nothing
  // else). Cells that cells.csv marks by_hand are ringed in green.
  const fixes = { on: false, cell: null, rows: [] };
  const cellId = (fi, i) => (data.ids ? data.ids[fi][i] : '');
  const byHand = (data.byHand || []).map((list) => new Set(list));

  function drawFixes(fi, px) {
    const ring = (i, colour) => {
      const b = 4 * i, r = Math.max(f.box[b + 2] - f.box[b], f.box[b + 3] - f.box[b + 1]) / 2 + 4 * px;
      ctx.beginPath();
      ctx.arc((f.box[b] + f.box[b + 2]) / 2, (f.box[b + 1] + f.box[b + 3]) / 2, r, 0, 2 * Math.PI);
      ctx.lineWidth = 2 * px; ctx.strokeStyle = colour; ctx.stroke();
    };
    const f = frames[fi];
    if (byHand[fi]) for (const i of byHand[fi]) ring(i, '#1a9850');
    if (fixes.cell && fixes.cell.fi === fi) ring(fixes.cell.i, '#000');
  }

  function fixText(r) {
    const from = r.from_frame === '' ? '' : ` from ${r.from_id} in frame ${r.from_frame}`;
    return `frame ${r.frame} cell ${r.id}: ${r.action}${from}`;
  }

  function listFixes() {
    const list = $('fix-list');
    list.textContent = '';
    fixes.rows.forEach((r, k) => {
      const li = document.createElement('li');
      li.textContent = fixText(r);
      const undo = document.createElement('button');
      undo.textContent = 'undo';
      undo.addEventListener('click', () => { fixes.rows.splice(k, 1); listFixes(); });
      li.appendChild(undo);
      list.appendChild(li);
    });
    $('fix-save').disabled = fixes.rows.length === 0;
    const c = fixes.cell;
    $('fix-cell').textContent = c ? `cell ${cellId(c.fi, c.i)} of frame ${data.frames[c.fi]}: click its origin` +
      (c.fi > 0 ? ` in frame ${data.frames[c.fi - 1]}` : '') + ', or' : '';
    for (const id of ['fix-new', 'fix-debris']) $(id).disabled = !c;
    $('fix-not').disabled = !c || !predecessor(c.fi, c.i);
    redraw();
  }

  function addFix(action, from) {
    const c = fixes.cell;
    fixes.rows.push({
      frame: data.frames[c.fi], id: cellId(c.fi, c.i), action,
      from_frame: from ? data.frames[from[0]] : '', from_id: from ? cellId(from[0], from[1]) : '',
    });
    fixes.cell = null;
    setFrame(c.fi);
    listFixes();
  }

  function fixesCsv() {
    return 'frame,id,action,from_frame,from_id\n' +
      fixes.rows.map((r) => [r.frame, r.id, r.action, r.from_frame, r.from_id].join(',') + '\n').join('');
  }

  function saveFixes() {
    const a = document.createElement('a');
    a.href = URL.createObjectURL(new Blob([fixesCsv()], { type: 'text/csv' }));
    a.download = 'corrections.csv';
    a.click();
    setTimeout(() => URL.revokeObjectURL(a.href), 1000);
    $('fix-note').textContent = 'rerun: vantu-track -o FOLDER --corrections corrections.csv INPUTS';
  }

  function onFixClick(e) {
    if (!fixes.on) return;
    e.stopImmediatePropagation();
    const r = canvas.getBoundingClientRect();
    const i = cellAt(e.clientX - r.left, e.clientY - r.top);
    if (i < 0) return;
    const c = fixes.cell;
    if (c && state.frame < c.fi) addFix('link', [state.frame, i]);
    else {
      fixes.cell = { fi: state.frame, i };
      if (state.frame > 0) setFrame(state.frame - 1);
      listFixes();
    }
  }

  function wireFixes() {
    if (!data.ids) { $('fixes').hidden = true; return; }
    $('fix-on').addEventListener('change', (e) => { fixes.on = e.target.checked; fixes.cell = null; listFixes(); });
    $('fix-new').addEventListener('click', () => addFix('new'));
    $('fix-debris').addEventListener('click', () => addFix('debris'));
    $('fix-not').addEventListener('click', () => addFix('not', predecessor(fixes.cell.fi, fixes.cell.i)));
    $('fix-save').addEventListener('click', saveFixes);
    canvas.addEventListener('click', onFixClick, true);  // before the click that selects a lineage
  }

  // "#fixtest": clicks through each kind of fix on frame 2 and its frame
  // before, undoes the second, and reports the file the page would save.
  function fixTest() {
    const out = { errors, byHand: byHand.reduce((n, s) => n + s.size, 0) };
    const fi = Math.min(2, F - 1), used = [];
    const click = (i) => {
      const [sx, sy] = toScreen(frames[state.frame].x[i], frames[state.frame].y[i]), r = canvas.getBoundingClientRect();
      canvas.dispatchEvent(new MouseEvent('click', { bubbles: true, clientX: r.left + sx, clientY: r.top + sy }));
    };
    const pick = (linked) => {
      const f = frames[state.frame];
      for (let i = 0; i < f.n; ++i) {
        const [sx, sy] = toScreen(f.x[i], f.y[i]);
        if (used.includes(`${state.frame}:${i}`) || cellAt(sx, sy) !== i || (linked && !predecessor(state.frame, i))) continue;
        used.push(`${state.frame}:${i}`);
        return i;
      }
      return -1;
    };
    $('fix-on').click();
    for (const action of ['link', 'new', 'debris', 'not']) {
      setFrame(fi);
      click(pick(action === 'not'));
      if (action === 'link') click(pick(false));
      else $('fix-' + action).click();
    }
    $('fix-list').querySelectorAll('button')[1].click();
    out.listed = $('fix-list').children.length;
    out.csv = fixesCsv();
    const pre = $('selftest-result');
    pre.textContent = JSON.stringify(out);
    pre.hidden = false;
  }

  // ------------------------------------------------------------ test hook

  // Painted (non-background) pixels of the canvas: proof that cells were drawn.
  function paintedPixels() {
    const img = ctx.getImageData(0, 0, canvas.width, canvas.height).data;
    let n = 0;
    for (let k = 0; k < img.length; k += 4) {
      const r = img[k], g = img[k + 1], b = img[k + 2];
      if (!(r === g && g === b) && !(r === 0xf4 && g === 0xf4 && b === 0xf2)) ++n;
    }
    return n;
  }

  // A cell of the current frame with relatives, at a point that hits it.
  function clickTarget() {
    const f = frames[state.frame], r = canvas.getBoundingClientRect();
    let best = null;
    for (let i = 0; i < f.n; ++i) {
      const t = f.track[i];
      const [sx, sy] = toScreen(f.x[i], f.y[i]);
      if (cellAt(sx, sy) !== i) continue;
      const score = (parentOf[t] >= 0 ? 1 : 0) + children[t].length;
      if (!best || score > best.score) best = { i, t, score, x: r.left + sx, y: r.top + sy };
    }
    return best;
  }

  // Words (runs of letters and digits) of an element's text that wrap
  // across lines.
  function brokenWords(el) {
    let broken = 0;
    const walk = document.createTreeWalker(el, NodeFilter.SHOW_TEXT);
    const range = document.createRange();
    for (let node = walk.nextNode(); node; node = walk.nextNode()) {
      for (const m of node.data.matchAll(/[A-Za-z0-9]+/g)) {
        range.setStart(node, m.index);
        range.setEnd(node, m.index + m[0].length);
        const tops = new Set(Array.from(range.getClientRects(), (r) => Math.round(r.top)));
        if (tops.size > 1) ++broken;
      }
    }
    return broken;
  }

  function selfTest() {
    const out = { errors, shape: data.shape, frames: F, loadMs: performance.now(), lowLinks: 0 };
    for (const f of frames) for (let i = 0; i < f.n; ++i) if (isLow(f, i)) ++out.lowLinks;
    draw();
    out.first = { cells: state.drawn, painted: paintedPixels() };
    const t0 = performance.now();
    // Frames across the movie, each drawn to the pixels (reading one back
    // makes the canvas finish its drawing).
    for (let k = 1; k <= 20; ++k) { setFrame(Math.round((k * (F - 1)) / 20)); draw(); ctx.getImageData(0, 0, 1, 1); }
    out.stepMs = (performance.now() - t0) / 20;
    setFrame(Math.min(1, F - 1));
    draw();
    out.step = { frame: state.frame, cells: state.drawn, painted: paintedPixels() };
    const target = clickTarget();
    if (target) {
      const opts = { bubbles: true, clientX: target.x, clientY: target.y };
      canvas.dispatchEvent(new MouseEvent('mousemove', opts));
      out.hover = $('tip').hidden ? '' : $('tip').textContent;
      canvas.dispatchEvent(new MouseEvent('mousedown', opts));
      window.dispatchEvent(new MouseEvent('mouseup', opts));
      canvas.dispatchEvent(new MouseEvent('click', opts));
      draw();
      out.click = { track: data.tracks.label[target.t], relatives: target.score, selected: lineageLabels(),
        ancestry: ancestry(target.t).map((r) => [r.track, r.born, r.cycle]), trails: state.trails,
        rows: $('ancestry').rows.length };
      select(trackOfLabel.get(data.tracks.founder[target.t]));
      setFrame(F - 1);
      draw();
      let alive = 0;
      for (let i = 0; i < frames[F - 1].n; ++i) if (state.lineage[frames[F - 1].track[i]]) ++alive;
      out.family = { founder: data.tracks.founder[target.t], trails: state.trails, alive };
    }
    out.brokenWords = brokenWords($('input-name'));
    const pre = $('selftest-result');
    pre.textContent = JSON.stringify(out);
    pre.hidden = false;
  }

  function openFromHash(params) {
    if (params.has('colour')) {
      const by = params.get('colour');
      state.colour = by === 'track' || levelOf[by] ? by : 'founder';
      document.querySelector(`input[name=colour][value=${state.colour}]`).checked = true;
    }
    if (params.get('low') === '1' && has.confidence) state.lowconf = $('show-lowconf').checked = true;
    if (params.has('frame')) {
      const fi = data.frames.indexOf(Number(params.get('frame')));
      if (fi >= 0) setFrame(fi);
    }
    if (params.has('track') && trackOfLabel.has(Number(params.get('track')))) select(trackOfLabel.get(Number(params.get('track'))));
    draw();
  }

  window.vantuMovie = {
    get frame() { return state.frame; }, frames: F, setFrame, select: (label) => select(trackOfLabel.get(label)),
    selected: lineageLabels, drawn: () => state.drawn, paintedPixels, errors, selfTest,
  };

  resize();
  fit();
  buildLegend();
  // The folder's name may wrap after a separator, never inside a word.
  $('input-name').innerHTML = esc(data.name).replace(/([/_.-])/g, '$1<wbr>') +
    ` (${outline ? 'outlines from the track masks' : 'rods from cells.csv'})`;
  $('ring-key').setAttribute('stroke', data.ring);
  wire();
  wireFixes();
  draw();
  // "#frame=N&track=L&colour=track&low=1" opens at frame number N with track
  // L's lineage selected, coloured by track, low-confidence links shown;
  // "#selftest" runs the self-test.
  if (location.hash === '#selftest') selfTest();
  else if (location.hash === '#fixtest') fixTest();
  else openFromHash(new URLSearchParams(location.hash.slice(1)));

})();
