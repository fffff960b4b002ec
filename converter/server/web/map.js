// The map under the Track and Fleet views: Natural Earth coastlines (no tile server) with a
// graticule and a scale bar, zoomed with the wheel, panned by dragging and reset by a
// double-click. A view brings only what it draws over the map and what a pointer on it does.
//
// d3-geo draws the map: it cuts lines and polygons at the antimeridian and the edge of the
// globe and fills land as polygons on the sphere, so an island that straddles 180° or an
// ocean ringed by land comes out right. The map is two layers: sea, graticule and land below,
// the view's drawing above, so that the land under a buoy stays what the coastlines say.
import { el, getJson } from './dom.js';

const d3 = window.d3;
export const kSeaColour = '#d5e5f0';
const kLandColour = '#e6e1d3';
const kCoastColour = '#8c8570';
const kOffGlobeColour = '#fafbfc';
const kGraticuleColour = 'rgba(60, 90, 120, 0.25)';
const kEarthRadiusKm = 6371.0;
const kMarginPixels = 12;
const kSettleMilliseconds = 250;
// Beyond this distance from the positions' middle (degrees of arc) a regional map would
// stretch the far positions too much: the whole globe is shown instead.
const kLargestRegionalReach = 60;
const kLeastRadius = 0.3;  // degrees around a buoy that hardly moved
const kGraticuleSteps = [0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30];

// Coastlines at two scales, each loaded once for every visit: the coarse one where a pixel is
// tens of kilometres (ten times fewer points to project), the fine one closer in.
const kCoarseKmPerPixel = 15;
const landPromises = new Map();

function coastlines(scale) {
  if (!landPromises.has(scale)) {
    const loaded = getJson(`/static/vendor/land-${scale}.json`)
      .then((topology) => window.topojson.feature(topology, topology.objects.land));
    landPromises.set(scale, loaded);
    loaded.catch(() => landPromises.delete(scale));
  }
  return landPromises.get(scale);
}

const coastlineScale = (kmPerPx) => (kmPerPx === null || kmPerPx > kCoarseKmPerPixel ? '110m' : '50m');

// A drift is shown from above its middle: azimuthal equidistant, so distances from the centre
// are true and neither the antimeridian nor a pole cuts the track. Positions spread over the
// oceans go on an Equal Earth map of the whole globe, centred on their longitude.
function fittedProjection(positions, width, height) {
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
function kmPerPixel(projection, width, height) {
  const half = 50;
  const a = projection.invert([width / 2 - half, height / 2]);
  const b = projection.invert([width / 2 + half, height / 2]);
  if (!a || !b || ![...a, ...b].every(Number.isFinite)) return null;
  return (d3.geoDistance(a, b) * kEarthRadiusKm) / (2 * half);
}

// Lines every few degrees, about six across the map.
function graticuleStep(kmPerPx, width) {
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

function drawBase(ctx, projection, land, width, height, step) {
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

// A bar of a round length, at most 150 pixels, at the bottom left, and the graticule's step.
function drawScaleBar(ctx, kmPerPx, height, step) {
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

function layer(id, width, height, ratio) {
  const canvas = el('canvas', { id, class: 'map-layer' });
  canvas.width = width * ratio;
  canvas.height = height * ratio;
  canvas.style.width = `${width}px`;
  canvas.style.height = `${height}px`;
  const ctx = canvas.getContext('2d');
  ctx.scale(ratio, ratio);
  return { canvas, ctx };
}

// The key of the drawn point nearest to (x, y) within `radius` pixels, or null. `points` are
// [key, [x, y]] pairs, as Map.entries() or Array.entries() give them; a null place is not drawn.
export function nearest(points, x, y, radius) {
  let best = null;
  let bestDistance = radius ** 2;
  for (const [key, at] of points) {
    if (!at) continue;
    const d = (at[0] - x) ** 2 + (at[1] - y) ** 2;
    if (d < bestDistance) { best = key; bestDistance = d; }
  }
  return best;
}

// A map as wide as `root`, in `holder`: canvases `<id>-map` (the coastlines) and `<id>-overlay`
// (the view's drawing, which takes the pointer); both carry project(lon, lat), where a place
// lies in CSS pixels from the top left corner, and data-drawn once the map is first drawn.
// `drawOver(ctx, projection, kmPerPx)` draws the view's own things; `onHover(e)` follows the
// pointer when it is not dragging, `onPan()` tells that it is, and `onClick(e)` is a click
// that did not end a drag. Nothing is drawn, and the pointer moves nothing, before fit().
export function mapView({ root, holder, id, signal, onLeave, drawOver, onHover, onPan, onClick }) {
  const width = Math.max(320, root.clientWidth || 900);
  const height = Math.min(560, Math.round(width * 0.55));
  const ratio = window.devicePixelRatio || 1;
  const base = layer(`${id}-map`, width, height, ratio);
  const over = layer(`${id}-overlay`, width, height, ratio);
  holder.style.width = `${width}px`;
  holder.style.height = `${height}px`;
  holder.append(el('div', { class: 'map-clip' }, base.canvas), over.canvas);

  let projection = null;  // made by fit(); kept while the map is zoomed and its data refreshed
  let home = null;
  let globeScale = 1;
  let frame = 0;
  let settle = 0;
  onLeave(() => { cancelAnimationFrame(frame); clearTimeout(settle); });
  for (const canvas of [base.canvas, over.canvas]) canvas.project = (lon, lat) => projection([lon, lat]);

  const drawOverlay = () => {
    const kmPerPx = kmPerPixel(projection, width, height);
    over.ctx.clearRect(0, 0, width, height);
    drawOver(over.ctx, projection, kmPerPx);
    drawScaleBar(over.ctx, kmPerPx, height, graticuleStep(kmPerPx, width));
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
        if (drawnAt) {
          const k = projection.scale() / drawnAt.scale;
          const [tx, ty] = projection.translate();
          base.canvas.style.transform =
            `translate(${tx - k * drawnAt.translate[0]}px, ${ty - k * drawnAt.translate[1]}px) scale(${k})`;
        }
        drawOverlay();
      });
    }
    clearTimeout(settle);
    settle = setTimeout(drawMap, kSettleMilliseconds);
  };

  const overlay = over.canvas;
  overlay.addEventListener('wheel', (e) => {
    if (!projection) return;
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
  // Later than the click that follows, which must still know the drag.
  overlay.addEventListener('mouseup', () => { setTimeout(() => { drag = null; }); });
  overlay.addEventListener('mouseleave', () => { drag = null; });
  overlay.addEventListener('dblclick', () => {
    if (!projection) return;
    projection.scale(home.scale).translate(home.translate);
    redraw();
  });
  overlay.addEventListener('mousemove', (e) => {
    if (projection && drag && e.buttons & 1) {
      const [tx, ty] = projection.translate();
      projection.translate([tx + e.offsetX - drag.x, ty + e.offsetY - drag.y]);
      drag = { x: e.offsetX, y: e.offsetY, moved: true };
      onPan?.();
      redraw();
      return;
    }
    if (projection) onHover?.(e);
  });
  overlay.addEventListener('click', (e) => {
    if (projection && !(drag && drag.moved)) onClick?.(e);
  });

  return {
    base: base.canvas,
    overlay,
    get projection() { return projection; },
    // The first view of `positions`, all of them in sight; drawn when the coastlines are in.
    async fit(positions) {
      globeScale = fittedProjection(positions, width, height)
        .fitExtent([[0, 0], [width, height]], { type: 'Sphere' }).scale();
      projection = fittedProjection(positions, width, height);
      home = { scale: projection.scale(), translate: projection.translate() };
      await drawMap();
      if (signal.aborted) return;
      drawOverlay();
      base.canvas.dataset.drawn = 'yes';
      overlay.dataset.drawn = 'yes';
    },
    drawOverlay,
  };
}
