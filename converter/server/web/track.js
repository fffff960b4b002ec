// Where the buoy drifted: the positions its PB200, IMU and Ellipse records state and the
// Iridium gateway's estimate with its CEP circle, over Natural Earth coastlines (no tile
// server), with a graticule and a scale bar. Wheel to zoom, drag to pan, double-click to
// reset; a click on a position opens its message. A position the quality control flagged
// SUSPECT or FAIL is ringed in its flag's colour.
//
// d3-geo draws the map: it cuts lines and polygons at the antimeridian and the edge of the
// globe and fills land as polygons on the sphere, so an island that straddles 180° or an
// ocean ringed by land comes out right. The map is two layers: sea, graticule and land below,
// the track above, so that the land under a buoy stays what the coastlines say.
import { el, getJson, query, formatTime, formatPosition, buoyPicker, swatch } from './dom.js';
import { qcFlags, flagText } from './config.js';
import { buoys, config } from './store.js';

const d3 = window.d3;
const kColours = { PB200: '#1b6ca8', IMU: '#2a9d5b', Ellipse: '#b5651d', Iridium: '#9c2a9c' };
export const kSeaColour = '#d5e5f0';
const kLandColour = '#e6e1d3';
const kCoastColour = '#8c8570';
const kOffGlobeColour = '#fafbfc';
const kGraticuleColour = 'rgba(60, 90, 120, 0.25)';
const kEarthRadiusKm = 6371.0;
const kHoverPixels = 8;
const kFlagRingPixels = 6;
const kMarginPixels = 12;
const kSettleMilliseconds = 250;
// Beyond this distance from the track's middle (degrees of arc) a regional map would stretch
// the far positions too much: the whole globe is shown instead.
const kLargestRegionalReach = 60;
const kLeastRadius = 0.3;  // degrees around a buoy that hardly moved
const kGraticuleSteps = [0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30];

// Coastlines at two scales, each loaded once for every visit: the coarse one where a pixel is
// tens of kilometres (ten times fewer points to project), the fine one closer in.
const kCoarseKmPerPixel = 15;
const landPromises = new Map();

export function coastlines(scale) {
  if (!landPromises.has(scale)) {
    const loaded = getJson(`/static/vendor/land-${scale}.json`)
      .then((topology) => window.topojson.feature(topology, topology.objects.land));
    landPromises.set(scale, loaded);
    loaded.catch(() => landPromises.delete(scale));
  }
  return landPromises.get(scale);
}

export const coastlineScale = (kmPerPx) => (kmPerPx === null || kmPerPx > kCoarseKmPerPixel ? '110m' : '50m');

// A drift is shown from above its middle: azimuthal equidistant, so distances from the centre
// are true and neither the antimeridian nor a pole cuts the track. Positions spread over the
// oceans go on an Equal Earth map of the whole globe, centred on their longitude.
export function fittedProjection(positions, width, height) {
  const extent = [[kMarginPixels, kMarginPixels], [width - kMarginPixels, height - kMarginPixels]];
  let centre = positions.length ? d3.geoCentroid({ type: 'MultiPoint', coordinates: positions }) : [0, 0];
  if (!centre.every(Number.isFinite)) centre = [0, 0];
  let reach = 0;
  for (const p of positions) reach = Math.max(reach, (d3.geoDistance(p, centre) * 180) / Math.PI);
  if (positions.length === 0 || reach > kLargestRegionalReach) {
    return d3.geoEqualEarth().rotate([-centre[0], 0]).fitExtent(extent, { type: 'Sphere' });
  }
  const around = d3.geoCircle().center(centre).radius(Math.max(reach * 1.15, kLeastRadius))();
  return d3.geoAzimuthalEquidistant().rotate([-centre[0], -centre[1]]).fitExtent(extent, around);
}

// Kilometres per pixel across the middle of the map; nothing where the middle is off the globe.
export function kmPerPixel(projection, width, height) {
  const half = 50;
  const a = projection.invert([width / 2 - half, height / 2]);
  const b = projection.invert([width / 2 + half, height / 2]);
  if (!a || !b || ![...a, ...b].every(Number.isFinite)) return null;
  return (d3.geoDistance(a, b) * kEarthRadiusKm) / (2 * half);
}

// Lines every few degrees, about six across the map.
export function graticuleStep(kmPerPx, width) {
  const across = kmPerPx ? (kmPerPx * width) / 111.2 : 360;
  return kGraticuleSteps.find((s) => s >= across / 6) ?? 30;
}

// The graticule; fine steps only over what is in view.
function graticule(projection, width, height, step) {
  const lines = d3.geoGraticule().step([step, step]);
  if (step >= 10) return lines.extent([[-180, -90], [180, 90.001]])();
  const centreLon = -projection.rotate()[0];
  let [west, east, south, north] = [Infinity, -Infinity, Infinity, -Infinity];
  for (let i = 0; i <= 10; i += 1) {
    for (let j = 0; j <= 10; j += 1) {
      const at = projection.invert([(width * i) / 10, (height * j) / 10]);
      if (!at || !at.every(Number.isFinite)) continue;
      const lon = ((((at[0] - centreLon) % 360) + 540) % 360) - 180;
      [west, east] = [Math.min(west, lon), Math.max(east, lon)];
      [south, north] = [Math.min(south, at[1]), Math.max(north, at[1])];
    }
  }
  const [x, y] = projection([0, 90]);
  const [xs, ys] = projection([0, -90]);
  const inView = (px, py) => px >= 0 && px <= width && py >= 0 && py <= height;
  if (inView(x, y) || inView(xs, ys)) [west, east] = [-180, 180];
  if (inView(x, y)) north = 90;
  if (inView(xs, ys)) south = -90;
  if (!Number.isFinite(west)) return lines.extent([[-180, -90], [180, 90.001]])();
  const snap = (v, round) => round(v / step) * step;
  return lines.extent([[centreLon + snap(west, Math.floor), snap(south, Math.floor)],
    [centreLon + snap(east, Math.ceil) + 1e-6, snap(north, Math.ceil) + 1e-6]])();
}

export function drawBase(ctx, projection, land, width, height, step) {
  const path = d3.geoPath(projection, ctx);
  ctx.fillStyle = kOffGlobeColour;
  ctx.fillRect(0, 0, width, height);
  ctx.beginPath();
  path({ type: 'Sphere' });
  ctx.fillStyle = kSeaColour;
  ctx.fill();
  ctx.beginPath();
  path(graticule(projection, width, height, step));
  ctx.strokeStyle = kGraticuleColour;
  ctx.lineWidth = 0.6;
  ctx.stroke();
  ctx.beginPath();
  path(land);
  ctx.fillStyle = kLandColour;
  ctx.fill();
  ctx.strokeStyle = kCoastColour;
  ctx.lineWidth = 0.6;
  ctx.stroke();
}

// Each buoy's record positions joined in time order along great circles, one line per source;
// the Iridium estimates stay points with their circles.
function drawTrack(ctx, track, projection, kmPerPx, flags) {
  const path = d3.geoPath(projection, ctx);
  const lines = new Map();
  track.source.forEach((s, i) => {
    if (s === 'Iridium') return;
    const key = `${track.buoy[i]} ${s}`;
    if (!lines.has(key)) lines.set(key, { source: s, coordinates: [] });
    lines.get(key).coordinates.push([track.lon[i], track.lat[i]]);
  });
  ctx.lineWidth = 1;
  for (const { source, coordinates } of lines.values()) {
    if (coordinates.length < 2) continue;
    ctx.strokeStyle = kColours[source];
    ctx.beginPath();
    path({ type: 'LineString', coordinates });
    ctx.stroke();
  }
  const shown = [];
  track.source.forEach((s, i) => {
    const at = projection([track.lon[i], track.lat[i]]);
    shown.push(at);
    if (!at) return;
    const [x, y] = at;
    if (s === 'Iridium' && track.cep_km[i] && kmPerPx) {
      ctx.strokeStyle = 'rgba(156, 42, 156, 0.35)';
      ctx.beginPath();
      ctx.arc(x, y, track.cep_km[i] / kmPerPx, 0, 2 * Math.PI);
      ctx.stroke();
    }
    ctx.fillStyle = kColours[s];
    ctx.beginPath();
    ctx.arc(x, y, s === 'Iridium' ? 2 : 2.5, 0, 2 * Math.PI);
    ctx.fill();
  });
  // The rings last, so that no later point covers one.
  ctx.lineWidth = 2.5;
  track.qc.forEach((q, i) => {
    const colour = flags.get(q)?.colour;
    if (!colour || !shown[i]) return;
    ctx.strokeStyle = colour;
    ctx.beginPath();
    ctx.arc(shown[i][0], shown[i][1], kFlagRingPixels, 0, 2 * Math.PI);
    ctx.stroke();
  });
  return shown;
}

// A bar of a round length, at most 150 pixels, at the bottom left, and the graticule's step.
export function drawScaleBar(ctx, kmPerPx, height, step) {
  if (!kmPerPx) return;
  const most = 150 * kmPerPx;
  const decade = 10 ** Math.floor(Math.log10(most));
  const km = [5, 2, 1].map((m) => m * decade).find((v) => v <= most);
  const pixels = km / kmPerPx;
  const [x, y] = [kMarginPixels + 4, height - kMarginPixels - 4];
  ctx.fillStyle = 'rgba(255, 255, 255, 0.8)';
  ctx.fillRect(x - 4, y - 18, Math.max(pixels, 110) + 8, 24);
  ctx.strokeStyle = '#1d2a33';
  ctx.lineWidth = 1.5;
  ctx.beginPath();
  ctx.moveTo(x, y - 5);
  ctx.lineTo(x, y);
  ctx.lineTo(x + pixels, y);
  ctx.lineTo(x + pixels, y - 5);
  ctx.stroke();
  ctx.fillStyle = '#1d2a33';
  ctx.font = '11px system-ui, sans-serif';
  ctx.fillText(`${km >= 1 ? `${km} km` : `${Math.round(km * 1000)} m`}, grid ${step}°`, x + 4, y - 6);
}

export function layer(id, width, height, ratio) {
  const canvas = el('canvas', { id, class: 'map-layer' });
  canvas.width = width * ratio;
  canvas.height = height * ratio;
  canvas.style.width = `${width}px`;
  canvas.style.height = `${height}px`;
  const ctx = canvas.getContext('2d');
  ctx.scale(ratio, ratio);
  return { canvas, ctx };
}

export async function show({ root, params, signal, onLeave }) {
  let frame = 0;
  let settle = 0;
  onLeave(() => { cancelAnimationFrame(frame); clearTimeout(settle); });
  const imei = params.get('imei') || '';
  const [known, track, cfg] = await Promise.all([buoys(), getJson(`/api/track${query({ imei })}`, signal), config()]);
  if (signal.aborted) return;
  const flags = qcFlags(cfg);
  track.qc = track.qc || track.t.map(() => null);  // a server before flags
  const flagCounts = new Map();
  track.qc.forEach((q) => { if (flags.get(q)?.colour) flagCounts.set(q, (flagCounts.get(q) || 0) + 1); });
  const tip = el('div', { class: 'tip', id: 'track-tip', hidden: true });
  const counts = {};
  track.source.forEach((s) => { counts[s] = (counts[s] || 0) + 1; });
  const holder = el('div', { class: 'map-holder' });
  const cursorAt = el('span', { id: 'track-cursor' });
  root.append(
    el('h2', { class: 'title', text: 'Track' }),
    el('p', { class: 'controls' },
      el('label', {}, 'Buoy ', buoyPicker(known, imei, (value) => { location.hash = `#/track${query({ imei: value })}`; })),
      Object.keys(kColours).map((s) => el('span', { class: 'legend' },
        el('span', { class: `swatch swatch-${s}` }), `${s} (${counts[s] || 0})`)),
      [...flags.values()].filter((f) => f.colour).map((f) => el('span', { class: 'legend', 'data-flag': f.flag },
        swatch(f.colour, { ring: true }), `${flagText(flags, f.flag)}: ${flagCounts.get(f.flag) || 0}`)),
      track.every > 1 ? el('span', { class: 'age', text: `every ${track.every}th message` }) : null),
    holder,
    el('p', { class: 'hint' }, 'Wheel to zoom, drag to pan, double-click to reset; click a position for its message. ',
      cursorAt));
  const width = Math.max(320, root.clientWidth || 900);
  const height = Math.min(560, Math.round(width * 0.55));
  const ratio = window.devicePixelRatio || 1;
  const base = layer('track-map', width, height, ratio);
  const over = layer('track-overlay', width, height, ratio);
  holder.style.width = `${width}px`;
  holder.style.height = `${height}px`;
  holder.append(el('div', { class: 'map-clip' }, base.canvas), over.canvas, tip);
  base.canvas.dataset.points = String(track.t.length);
  for (const [flag, n] of flagCounts) over.canvas.dataset[flags.get(flag).name.toLowerCase()] = String(n);

  const positions = track.lon.map((lon, i) => [lon, track.lat[i]]);
  const globeScale = fittedProjection(positions, width, height)
    .fitExtent([[0, 0], [width, height]], { type: 'Sphere' }).scale();
  const projection = fittedProjection(positions, width, height);
  const home = { scale: projection.scale(), translate: projection.translate() };
  let shown = [];
  const drawOverlay = () => {
    const kmPerPx = kmPerPixel(projection, width, height);
    over.ctx.clearRect(0, 0, width, height);
    shown = drawTrack(over.ctx, track, projection, kmPerPx, flags);
    drawScaleBar(over.ctx, kmPerPx, height, graticuleStep(kmPerPx, width));
    if (track.t.length === 0) {
      over.ctx.fillStyle = '#555';
      over.ctx.fillText('No positions in the archive for this choice.', 20, 30);
    }
  };
  // Projecting the coastlines takes a good part of a second on a slow machine: while the map
  // is zoomed and dragged, its last drawing is moved and scaled (the projection's scale and
  // translation act on the picture alike), and it is drawn afresh when the hand rests.
  let drawnAt = null;
  let mapGeneration = 0;  // only the latest drawing that waited for coastlines draws
  const drawMap = async () => {
    settle = 0;
    const generation = ++mapGeneration;
    const land = await coastlines(coastlineScale(kmPerPixel(projection, width, height)));
    if (signal.aborted || generation !== mapGeneration) return;
    const kmPerPx = kmPerPixel(projection, width, height);
    drawBase(base.ctx, projection, land, width, height, graticuleStep(kmPerPx, width));
    drawnAt = { scale: projection.scale(), translate: projection.translate() };
    base.canvas.style.transform = '';
  };
  const redraw = () => {
    if (!frame) {
      frame = requestAnimationFrame(() => {
        frame = 0;
        const k = projection.scale() / drawnAt.scale;
        const [tx, ty] = projection.translate();
        base.canvas.style.transform =
          `translate(${tx - k * drawnAt.translate[0]}px, ${ty - k * drawnAt.translate[1]}px) scale(${k})`;
        drawOverlay();
      });
    }
    clearTimeout(settle);
    settle = setTimeout(drawMap, kSettleMilliseconds);
  };
  await drawMap();
  if (signal.aborted) return;
  drawOverlay();
  // Where a place lies on the map, in CSS pixels from its top left corner.
  base.canvas.project = (lon, lat) => projection([lon, lat]);
  base.canvas.dataset.drawn = 'yes';

  const overlay = over.canvas;
  overlay.addEventListener('wheel', (e) => {
    e.preventDefault();
    const factor = e.deltaY < 0 ? 1.25 : 0.8;
    // Out to the whole globe, in to a few metres a pixel.
    const scale = Math.min(Math.max(projection.scale() * factor, globeScale * 0.8), home.scale * 4096);
    const k = scale / projection.scale();
    const [tx, ty] = projection.translate();
    projection.scale(scale).translate([e.offsetX - (e.offsetX - tx) * k, e.offsetY - (e.offsetY - ty) * k]);
    redraw();
  }, { passive: false });
  let drag = null;
  overlay.addEventListener('mousedown', (e) => { drag = { x: e.offsetX, y: e.offsetY, moved: false }; });
  overlay.addEventListener('mouseup', () => { setTimeout(() => { drag = null; }); });
  overlay.addEventListener('mouseleave', () => { drag = null; tip.hidden = true; });
  overlay.addEventListener('dblclick', () => {
    projection.scale(home.scale).translate(home.translate);
    redraw();
  });
  let hovered = -1;
  overlay.addEventListener('mousemove', (e) => {
    // Off the globe, inverting and projecting again does not come back to the pointer.
    const at = projection.invert([e.offsetX, e.offsetY]);
    const back = at && at.every(Number.isFinite) ? projection(at) : null;
    cursorAt.textContent = back && Math.hypot(back[0] - e.offsetX, back[1] - e.offsetY) < 1
      ? `Pointer at ${formatPosition(at[1], ((at[0] + 540) % 360) - 180, 5)}` : '';
    if (drag && e.buttons & 1) {
      const [tx, ty] = projection.translate();
      projection.translate([tx + e.offsetX - drag.x, ty + e.offsetY - drag.y]);
      drag = { x: e.offsetX, y: e.offsetY, moved: true };
      tip.hidden = true;
      redraw();
      return;
    }
    let best = -1;
    let bestDistance = kHoverPixels ** 2;
    shown.forEach((at, i) => {
      if (!at) return;
      const d = (at[0] - e.offsetX) ** 2 + (at[1] - e.offsetY) ** 2;
      if (d < bestDistance) { best = i; bestDistance = d; }
    });
    hovered = best;
    tip.hidden = best < 0;
    if (best < 0) return;
    const cep = track.cep_km[best] ? `, CEP ${track.cep_km[best]} km` : '';
    const flag = track.qc[best] ? `\nflag ${flagText(flags, track.qc[best])}` : '';
    const name = known.find((b) => b.buoy === track.buoy[best])?.name;
    tip.textContent = `${formatTime(track.t[best])}\n${track.source[best]} ${formatPosition(track.lat[best], track.lon[best], 7)}${cep}\n${name ? `${name} (${track.buoy[best]})` : track.buoy[best]}${flag}`;
    tip.style.left = `${e.offsetX + 12}px`;
    tip.style.top = `${e.offsetY + 12}px`;
  });
  overlay.addEventListener('click', () => {
    if (hovered >= 0 && !(drag && drag.moved)) location.hash = `#/message/${track.id[hovered]}`;
  });
}
