// The fleet on one map: each buoy's latest position with its last day's track behind it,
// coloured by its state (ok; late, nothing for longer than the server's --late-after; alert,
// an alert open), a legend with the count of each, and a table of the same below. A click on
// a buoy, or its row, opens its health panel; wheel, drag and double-click zoom, pan and reset
// the map as on the Track view.
import { el, getJson, formatTime, formatAge, formatPosition, swatch } from './dom.js';
import { mapView, nearest } from './map.js';

const d3 = window.d3;
export const kStateColours = { ok: '#2a9d5b', late: '#e0a030', alert: '#d62828' };
export const kStateText = { ok: 'ok', late: 'late', alert: 'open alert' };
const kBuoyPixels = 7;
const kClickPixels = 12;
const kRefreshMilliseconds = 60000;  // late marks move on while nothing arrives

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
  const legend = el('p', { class: 'controls' });
  const holder = el('div', { class: 'map-holder' });
  const body = el('tbody');
  root.append(el('h2', { class: 'title', text: 'Fleet' }), legend, holder,
    el('p', { class: 'hint', text: 'Click a buoy for its health. Wheel to zoom, drag to pan, double-click to reset.' }),
    el('table', { class: 'fleet' },
      el('thead', {}, el('tr', {}, ['State', 'Buoy', 'IMEI', 'Last message (UTC)', 'Position', 'Open alerts']
        .map((h) => el('th', { text: h })))),
      body));

  let fleet = [];
  let shown = new Map();
  const map = mapView({
    root, holder, id: 'fleet', signal, onLeave,
    drawOver: (ctx, projection) => { shown = drawFleet(ctx, fleet, projection); },
    onHover: (e) => {
      map.overlay.style.cursor = nearest(shown, e.offsetX, e.offsetY, kClickPixels) === null ? '' : 'pointer';
    },
    onClick: (e) => {
      const buoy = nearest(shown, e.offsetX, e.offsetY, kClickPixels);
      if (buoy !== null) location.hash = healthLink(buoy);
    },
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
    // The first answer places the map; later ones redraw the buoys where it is zoomed.
    if (map.projection) {
      map.drawOverlay();
    } else {
      await map.fit(fleet.flatMap((b) => [
        ...(b.lat === null ? [] : [[b.lon, b.lat]]), ...b.track.lon.map((lon, i) => [lon, b.track.lat[i]])]));
    }
  };
  const timer = setInterval(() => render().catch(() => {}), kRefreshMilliseconds);
  onLeave(() => clearInterval(timer));
  onNewMessages(render);
  await render();
}
