// Where the buoy drifted: the positions its PB200, IMU and Ellipse records state and the
// Iridium gateway's estimate with its CEP circle, over Natural Earth coastlines (no tile
// server). The projection is equirectangular, scaled by the cosine of the middle latitude so
// that a kilometre is about as long east as north.
import { el, getJson, query, formatTime, buoyPicker } from './dom.js';

const kColours = { PB200: '#1b6ca8', IMU: '#2a9d5b', Ellipse: '#b5651d', Iridium: '#9c2a9c' };
const kKmPerDegree = 111.2;
const kHoverPixels = 8;
let land = null;  // the coastlines, loaded once

async function coastlines() {
  if (!land) {
    const topology = await getJson('/static/vendor/land-50m.json');
    land = window.topojson.feature(topology, topology.objects.land);
  }
  return land;
}

function bounds(track) {
  let [south, north, west, east] = [90, -90, 180, -180];
  track.lat.forEach((lat, i) => {
    south = Math.min(south, lat); north = Math.max(north, lat);
    west = Math.min(west, track.lon[i]); east = Math.max(east, track.lon[i]);
  });
  // At least half a degree around a buoy that hardly moved, and a margin all round.
  const pad = Math.max(0.25, (north - south) * 0.1, (east - west) * 0.1);
  return { south: south - pad, north: north + pad, west: west - pad, east: east + pad };
}

function projection(box, width, height) {
  const kx = Math.cos(((box.north + box.south) / 2) * Math.PI / 180);
  const scale = Math.min(width / ((box.east - box.west) * kx), height / (box.north - box.south));
  const cx = (box.east + box.west) / 2;
  const cy = (box.north + box.south) / 2;
  return {
    scale,
    kx,
    x: (lon) => width / 2 + (lon - cx) * kx * scale,
    y: (lat) => height / 2 - (lat - cy) * scale,
  };
}

function drawLand(ctx, geo, p) {
  ctx.fillStyle = '#e6e1d3';
  ctx.strokeStyle = '#8c8570';
  ctx.lineWidth = 0.8;
  ctx.beginPath();
  for (const feature of geo.features) {
    const polygons = feature.geometry.type === 'Polygon' ? [feature.geometry.coordinates] : feature.geometry.coordinates;
    for (const rings of polygons) {
      for (const ring of rings) {
        ring.forEach(([lon, lat], i) => (i ? ctx.lineTo(p.x(lon), p.y(lat)) : ctx.moveTo(p.x(lon), p.y(lat))));
        ctx.closePath();
      }
    }
  }
  ctx.fill('evenodd');
  ctx.stroke();
}

function drawTrack(ctx, track, p) {
  // Each buoy's record positions joined in time order, one line per source; the Iridium
  // estimates stay points with their circles.
  const lines = new Map();
  track.source.forEach((s, i) => {
    if (s === 'Iridium') return;
    const key = `${track.buoy[i]} ${s}`;
    if (!lines.has(key)) lines.set(key, { source: s, points: [] });
    lines.get(key).points.push(i);
  });
  for (const { source, points } of lines.values()) {
    ctx.strokeStyle = kColours[source];
    ctx.lineWidth = 1;
    ctx.beginPath();
    points.forEach((i, n) => (n ? ctx.lineTo(p.x(track.lon[i]), p.y(track.lat[i])) : ctx.moveTo(p.x(track.lon[i]), p.y(track.lat[i]))));
    ctx.stroke();
  }
  track.source.forEach((s, i) => {
    const [x, y] = [p.x(track.lon[i]), p.y(track.lat[i])];
    ctx.fillStyle = kColours[s];
    if (s === 'Iridium' && track.cep_km[i]) {
      const r = (track.cep_km[i] / kKmPerDegree) * p.scale;
      ctx.strokeStyle = 'rgba(156, 42, 156, 0.35)';
      ctx.beginPath();
      ctx.arc(x, y, r, 0, 2 * Math.PI);
      ctx.stroke();
    }
    ctx.beginPath();
    ctx.arc(x, y, s === 'Iridium' ? 2 : 2.5, 0, 2 * Math.PI);
    ctx.fill();
  });
}

export async function show(root, params) {
  const imei = params.get('imei') || '';
  const [buoys, track] = await Promise.all([getJson('/api/buoys'), getJson(`/api/track${query({ imei })}`)]);
  const canvas = el('canvas', { id: 'track-map', class: 'map' });
  const tip = el('div', { class: 'tip', id: 'track-tip', hidden: true });
  const counts = {};
  track.source.forEach((s) => { counts[s] = (counts[s] || 0) + 1; });
  root.append(
    el('h2', { class: 'title', text: 'Track' }),
    el('p', { class: 'controls' },
      el('label', {}, 'Buoy ', buoyPicker(buoys, imei, (value) => { location.hash = `#/track${query({ imei: value })}`; })),
      Object.keys(kColours).map((s) => el('span', { class: 'legend' },
        el('span', { class: `swatch swatch-${s}` }), `${s} (${counts[s] || 0})`)),
      track.every > 1 ? el('span', { class: 'age', text: `every ${track.every}th message` }) : null),
    el('div', { class: 'map-holder' }, canvas, tip));
  const width = Math.max(320, root.clientWidth || 900);
  const height = Math.min(560, Math.round(width * 0.55));
  const ratio = window.devicePixelRatio || 1;
  canvas.width = width * ratio;
  canvas.height = height * ratio;
  canvas.style.width = `${width}px`;
  canvas.style.height = `${height}px`;
  canvas.dataset.points = String(track.t.length);
  const ctx = canvas.getContext('2d');
  ctx.scale(ratio, ratio);
  ctx.fillStyle = '#f4f8fb';
  ctx.fillRect(0, 0, width, height);
  if (track.t.length === 0) {
    ctx.fillStyle = '#555';
    ctx.fillText('No positions in the archive for this choice.', 20, 30);
    return;
  }
  const p = projection(bounds(track), width, height);
  drawLand(ctx, await coastlines(), p);
  drawTrack(ctx, track, p);
  canvas.dataset.drawn = 'yes';
  let hovered = -1;
  canvas.addEventListener('mousemove', (e) => {
    let best = -1;
    let bestDistance = kHoverPixels ** 2;
    track.t.forEach((t, i) => {
      const d = (p.x(track.lon[i]) - e.offsetX) ** 2 + (p.y(track.lat[i]) - e.offsetY) ** 2;
      if (d < bestDistance) { best = i; bestDistance = d; }
    });
    hovered = best;
    tip.hidden = best < 0;
    if (best < 0) return;
    const cep = track.cep_km[best] ? `, CEP ${track.cep_km[best]} km` : '';
    tip.textContent = `${formatTime(track.t[best])}\n${track.source[best]} ${track.lat[best].toFixed(5)}, ${track.lon[best].toFixed(5)}${cep}\n${track.buoy[best]}`;
    tip.style.left = `${e.offsetX + 12}px`;
    tip.style.top = `${e.offsetY + 12}px`;
  });
  canvas.addEventListener('click', () => {
    if (hovered >= 0) location.hash = `#/message/${track.id[hovered]}`;
  });
}
