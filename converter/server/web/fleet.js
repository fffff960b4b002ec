// The fleet on one map: each buoy's latest position with its last day's track behind it,
// coloured by its state (ok; late, nothing for longer than the server's --late-after; alert,
// an alert open), a legend with the count of each, and a table of the same below. A click on
// a buoy, or its row, opens its health panel; wheel, drag and double-click zoom, pan and reset
// the map as on the Track view.
import { el, getJson, formatTime, formatAge, formatPosition, swatch } from './dom.js';
import { coastlines, coastlineScale, fittedProjection, kmPerPixel, graticuleStep, drawBase,
  drawScaleBar, layer } from './track.js';

const d3 = window.d3;
export const kStateColours = { ok: '#2a9d5b', late: '#e0a030', alert: '#d62828' };
export const kStateText = { ok: 'ok', late: 'late', alert: 'open alert' };
const kBuoyPixels = 7;
const kClickPixels = 12;
const kRefreshMilliseconds = 60000;  // late marks move on while nothing arrives
const kSettleMilliseconds = 250;

export const healthLink = (buoy) => `#/health/${encodeURIComponent(buoy)}`;

function drawFleet(ctx, fleet, projection) {
  const path = d3.geoPath(projection, ctx);
  ctx.lineWidth = 1.5;
  ctx.globalAlpha = 0.6;
  for (const b of fleet) {
    if (b.track.t.length < 2) continue;
    ctx.strokeStyle = kStateColours[b.state];
    ctx.beginPath();
    path({ type: 'LineString', coordinates: b.track.lon.map((lon, i) => [lon, b.track.lat[i]]) });
    ctx.stroke();
  }
  ctx.globalAlpha = 1;
  // Alerts last, so that a buoy in trouble is never hidden under a quiet one.
  const order = { ok: 0, late: 1, alert: 2 };
  const shown = new Map();
  for (const b of [...fleet].sort((x, y) => order[x.state] - order[y.state])) {
    const at = b.lat === null ? null : projection([b.lon, b.lat]);
    if (!at) continue;
    shown.set(b.buoy, at);
    ctx.beginPath();
    ctx.arc(at[0], at[1], kBuoyPixels, 0, 2 * Math.PI);
    ctx.fillStyle = kStateColours[b.state];
    ctx.fill();
    ctx.strokeStyle = '#ffffff';
    ctx.lineWidth = 1.5;
    ctx.stroke();
    ctx.fillStyle = '#1d2a33';
    ctx.font = '11px system-ui, sans-serif';
    ctx.fillText(b.name ?? b.buoy, at[0] + kBuoyPixels + 3, at[1] + 4);
  }
  return shown;
}

function row(b) {
  return el('tr', { 'data-buoy': b.buoy, 'data-state': b.state },
    el('td', {}, swatch(kStateColours[b.state]), ' ', kStateText[b.state]),
    el('td', {}, el('a', { href: healthLink(b.buoy), text: b.name ?? b.buoy })),
    el('td', { text: b.name ? b.buoy : '' }),
    el('td', {}, formatTime(b.last_time), el('span', { class: 'age', text: ` ${formatAge(b.age_s)}` })),
    el('td', { text: b.lat === null ? '—' : formatPosition(b.lat, b.lon, 6) }),
    el('td', { text: b.open_alerts }));
}

export async function show({ root, signal, onLeave, onNewMessages }) {
  let frame = 0;
  let settle = 0;
  onLeave(() => { cancelAnimationFrame(frame); clearTimeout(settle); });
  const legend = el('p', { class: 'controls' });
  const holder = el('div', { class: 'map-holder' });
  const body = el('tbody');
  root.append(el('h2', { class: 'title', text: 'Fleet' }), legend, holder,
    el('p', { class: 'hint', text: 'Click a buoy for its health. Wheel to zoom, drag to pan, double-click to reset.' }),
    el('table', { class: 'fleet' },
      el('thead', {}, el('tr', {}, ['State', 'Buoy', 'IMEI', 'Last message (UTC)', 'Position', 'Open alerts']
        .map((h) => el('th', { text: h })))),
      body));
  const width = Math.max(320, root.clientWidth || 900);
  const height = Math.min(560, Math.round(width * 0.55));
  const ratio = window.devicePixelRatio || 1;
  const base = layer('fleet-map', width, height, ratio);
  const over = layer('fleet-overlay', width, height, ratio);
  holder.style.width = `${width}px`;
  holder.style.height = `${height}px`;
  holder.append(el('div', { class: 'map-clip' }, base.canvas), over.canvas);

  let fleet = [];
  let shown = new Map();
  let projection = null;  // made for the first answer; kept while the page is zoomed and refreshed
  let home = null;
  let globeScale = 1;
  const drawOverlay = () => {
    const kmPerPx = kmPerPixel(projection, width, height);
    over.ctx.clearRect(0, 0, width, height);
    shown = drawFleet(over.ctx, fleet, projection);
    drawScaleBar(over.ctx, kmPerPx, height, graticuleStep(kmPerPx, width));
  };
  // As on the Track view: while zooming and dragging, the coastlines' last drawing is moved
  // and scaled, and drawn afresh when the hand rests.
  let drawnAt = null;
  let mapGeneration = 0;
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
  overlay.project = (lon, lat) => projection([lon, lat]);
  const nearest = (x, y) => {
    let best = null;
    let bestDistance = kClickPixels ** 2;
    for (const [buoy, at] of shown) {
      const d = (at[0] - x) ** 2 + (at[1] - y) ** 2;
      if (d < bestDistance) { best = buoy; bestDistance = d; }
    }
    return best;
  };
  overlay.addEventListener('wheel', (e) => {
    if (!projection) return;
    e.preventDefault();
    const factor = e.deltaY < 0 ? 1.25 : 0.8;
    const scale = Math.min(Math.max(projection.scale() * factor, globeScale * 0.8), home.scale * 4096);
    const k = scale / projection.scale();
    const [tx, ty] = projection.translate();
    projection.scale(scale).translate([e.offsetX - (e.offsetX - tx) * k, e.offsetY - (e.offsetY - ty) * k]);
    redraw();
  }, { passive: false });
  let drag = null;
  overlay.addEventListener('mousedown', (e) => { drag = { x: e.offsetX, y: e.offsetY, moved: false }; });
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
      redraw();
      return;
    }
    overlay.style.cursor = nearest(e.offsetX, e.offsetY) === null ? '' : 'pointer';
  });
  overlay.addEventListener('click', (e) => {
    const buoy = drag && drag.moved ? null : nearest(e.offsetX, e.offsetY);
    if (buoy !== null) location.hash = healthLink(buoy);
  });

  const render = async () => {
    const answer = await getJson('/api/fleet', signal);
    if (signal.aborted) return;
    fleet = answer.buoys;
    const counts = { ok: 0, late: 0, alert: 0 };
    fleet.forEach((b) => { counts[b.state] += 1; });
    legend.replaceChildren(...Object.keys(kStateColours).map((s) => el('span', { class: 'legend', 'data-state': s },
      swatch(kStateColours[s]), `${kStateText[s]} (${counts[s]})`)),
    el('span', { class: 'age', text: `tracks: last ${answer.track_hours} h; late after ${formatAge(answer.late_after_s).replace(' ago', '')}` }));
    body.replaceChildren(...(fleet.length ? fleet.map(row) : [el('tr', {}, el('td', { colspan: 6, text: 'The archive holds no messages yet.' }))]));
    if (!projection) {
      const positions = fleet.flatMap((b) => [
        ...(b.lat === null ? [] : [[b.lon, b.lat]]), ...b.track.lon.map((lon, i) => [lon, b.track.lat[i]])]);
      globeScale = fittedProjection(positions, width, height)
        .fitExtent([[0, 0], [width, height]], { type: 'Sphere' }).scale();
      projection = fittedProjection(positions, width, height);
      home = { scale: projection.scale(), translate: projection.translate() };
      await drawMap();
      if (signal.aborted) return;
    }
    drawOverlay();
    overlay.dataset.drawn = 'yes';
  };
  const timer = setInterval(() => render().catch(() => {}), kRefreshMilliseconds);
  onLeave(() => clearInterval(timer));
  onNewMessages(render);
  await render();
}
