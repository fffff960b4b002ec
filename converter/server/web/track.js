// Where the buoy drifted: the positions its PB200, IMU and Ellipse records state and the
// Iridium gateway's estimate with its CEP circle, on the map (map.js). A click on a position
// opens its message. A position the quality control flagged SUSPECT or FAIL is ringed in its
// flag's colour.
import { el, getJson, query, formatTime, formatPosition, buoyPicker, swatch } from './dom.js';
import { qcFlags, flagText } from './config.js';
import { buoys, config } from './store.js';
import { mapView, nearest } from './map.js';

const d3 = window.d3;
const kColours = { PB200: '#1b6ca8', IMU: '#2a9d5b', Ellipse: '#b5651d', Iridium: '#9c2a9c' };
const kHoverPixels = 8;
const kFlagRingPixels = 6;

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

export async function show({ root, params, signal, onLeave }) {
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

  let shown = [];
  let hovered = null;
  const map = mapView({
    root, holder, id: 'track', signal, onLeave,
    drawOver: (ctx, projection, kmPerPx) => {
      shown = drawTrack(ctx, track, projection, kmPerPx, flags);
      if (track.t.length === 0) {
        ctx.fillStyle = '#555';
        ctx.font = '11px system-ui, sans-serif';
        ctx.fillText('No positions in the archive for this choice.', 20, 30);
      }
    },
    onPan: () => { tip.hidden = true; },
    onHover: (e) => {
      const best = nearest(shown.entries(), e.offsetX, e.offsetY, kHoverPixels);
      hovered = best;
      tip.hidden = best === null;
      if (best === null) return;
      const cep = track.cep_km[best] ? `, CEP ${track.cep_km[best]} km` : '';
      const flag = track.qc[best] ? `\nflag ${flagText(flags, track.qc[best])}` : '';
      const name = known.find((b) => b.buoy === track.buoy[best])?.name;
      tip.textContent = `${formatTime(track.t[best])}\n${track.source[best]} ${formatPosition(track.lat[best], track.lon[best], 7)}${cep}\n${name ? `${name} (${track.buoy[best]})` : track.buoy[best]}${flag}`;
      tip.style.left = `${e.offsetX + 12}px`;
      tip.style.top = `${e.offsetY + 12}px`;
    },
    onClick: () => { if (hovered !== null) location.hash = `#/message/${track.id[hovered]}`; },
  });
  holder.append(tip);
  map.base.dataset.points = String(track.t.length);
  for (const [flag, n] of flagCounts) map.overlay.dataset[flags.get(flag).name.toLowerCase()] = String(n);
  await map.fit(track.lon.map((lon, i) => [lon, track.lat[i]]));
  if (signal.aborted) return;

  map.overlay.addEventListener('mouseleave', () => { tip.hidden = true; });
  map.overlay.addEventListener('mousemove', (e) => {
    // Off the globe, inverting and projecting again does not come back to the pointer.
    const { projection } = map;
    const at = projection.invert([e.offsetX, e.offsetY]);
    const back = at && at.every(Number.isFinite) ? projection(at) : null;
    cursorAt.textContent = back && Math.hypot(back[0] - e.offsetX, back[1] - e.offsetY) < 1
      ? `Pointer at ${formatPosition(at[1], ((at[0] + 540) % 360) - 180, 5)}` : '';
  });
}
