// One field over time: pick a record type and field (or one of the usual ones), a buoy and a
// range. Gaps (the logger's 9999 and non-finite values arrive as null) break the line.
// Drag to zoom, Shift-drag to pan, wheel to zoom around the cursor, double-click to reset.
import uPlot from './vendor/uPlot.esm.js';
import { el, getJson, query, buoyPicker, errorBox } from './dom.js';

export const kUsualFields = [
  { type: 'IMU', field: 'Hs', label: 'Hs' },
  { type: 'IMU', field: 'Tp', label: 'Tp' },
  { type: 'IMU', field: 'Dp', label: 'Dp' },
  { type: 'PB200', field: 'WSMean', label: 'Wind speed' },
  { type: 'PB200', field: 'WDMean', label: 'Wind direction' },
  { type: 'PB200', field: 'BPMean', label: 'Pressure' },
  { type: 'Y81000', field: 'Epsilon', label: 'Epsilon' },
  { type: 'Y81000', field: 'Ustar', label: 'Ustar' },
  { type: 'Miscellaneous values', field: 'Battery voltage', label: 'Battery' },
];

function wheelZoomAndPan(u) {
  u.over.addEventListener('wheel', (e) => {
    e.preventDefault();
    const { min, max } = u.scales.x;
    const at = u.posToVal(e.offsetX, 'x');
    const factor = e.deltaY < 0 ? 0.75 : 1 / 0.75;
    u.setScale('x', { min: at - (at - min) * factor, max: at + (max - at) * factor });
  }, { passive: false });
  u.over.addEventListener('mousedown', (e) => {
    if (!e.shiftKey) return;
    e.stopPropagation();
    const start = e.clientX;
    const { min, max } = u.scales.x;
    const perPixel = (max - min) / u.bbox.width * devicePixelRatio;
    const move = (m) => {
      const shift = (m.clientX - start) * perPixel;
      u.setScale('x', { min: min - shift, max: max - shift });
    };
    const up = () => { removeEventListener('mousemove', move); removeEventListener('mouseup', up); };
    addEventListener('mousemove', move);
    addEventListener('mouseup', up);
  }, true);
}

const kNullExpand = 2;
const kColours = ['#1b6ca8', '#c0392b', '#2a9d5b', '#b5651d', '#9c2a9c', '#555555'];

// One line per buoy on a shared time axis. Where one buoy has a value and another none, the
// other's line passes over; its own gaps stay gaps, widened to the neighbouring times
// (NULL_EXPAND) so that no stub of line reaches into them.
export function drawSeries(holder, label, lines) {
  holder.replaceChildren();
  const data = lines.length === 1 ? [lines[0].t, lines[0].v]
    : uPlot.join(lines.map((line) => [line.t, line.v]), lines.map(() => [null, kNullExpand]));
  const chart = new uPlot({
    width: Math.max(320, holder.clientWidth || 900),
    height: 360,
    scales: { x: { time: true } },
    series: [{}, ...lines.map((line, i) => ({
      label: line.buoy, stroke: kColours[i % kColours.length], width: 1.25,
      points: { show: line.t.length < 500 } }))],
    axes: [{}, { label }],
    plugins: [{ hooks: { ready: [wheelZoomAndPan] } }],
  }, data, holder);
  // What the chart was given: every row of every buoy, a gap counting as a point.
  holder.dataset.points = String(lines.reduce((sum, line) => sum + line.t.length, 0));
  return chart;
}

export async function show(root, params) {
  const [types, buoys] = await Promise.all([getJson('/api/fields'), getJson('/api/buoys')]);
  const state = {
    imei: params.get('imei') || '',
    type: params.get('type') || 'IMU',
    field: params.get('field') || 'Hs',
    from: params.get('from') || '',
    to: params.get('to') || '',
  };
  const go = (change) => { location.hash = `#/series${query({ ...state, ...change })}`; };
  const typeSelect = el('select', { id: 'type', onchange: (e) => go({ type: e.target.value, field: types.find((t) => t.type === e.target.value).fields[0] }) },
    types.map((t) => el('option', { value: t.type, selected: t.type === state.type, text: t.type })));
  const fields = (types.find((t) => t.type === state.type) || types[0]).fields;
  const fieldSelect = el('select', { id: 'field', onchange: (e) => go({ field: e.target.value }) },
    fields.map((f) => el('option', { value: f, selected: f === state.field, text: f })));
  const dateInput = (name) => el('input', { type: 'date', id: name, value: state[name].slice(0, 10),
    onchange: (e) => go({ [name]: e.target.value }) });
  const holder = el('div', { class: 'chart', id: 'chart' });
  const count = el('p', { class: 'count', id: 'series-count' });
  const usual = el('p', { class: 'usual' }, kUsualFields.map((u) => el('button', {
    type: 'button', class: u.type === state.type && u.field === state.field ? 'active' : '',
    onclick: () => go({ type: u.type, field: u.field }), text: u.label })));
  const seriesQuery = query({ type: state.type, field: state.field, imei: state.imei, from: state.from, to: state.to });
  root.append(
    el('h2', { class: 'title', text: 'Time series' }),
    usual,
    el('p', { class: 'controls' },
      el('label', {}, 'Buoy ', buoyPicker(buoys, state.imei, (value) => go({ imei: value }))),
      el('label', {}, 'Record ', typeSelect), el('label', {}, 'Field ', fieldSelect),
      el('label', {}, 'From ', dateInput('from')), el('label', {}, 'To ', dateInput('to')),
      el('a', { href: `/api/series${seriesQuery}&format=csv`, text: 'CSV' })),
    holder, count,
    el('p', { class: 'hint', text: 'Drag to zoom, Shift-drag to pan, wheel to zoom, double-click to reset.' }));
  try {
    const chosen = state.imei ? [state.imei] : buoys.map((b) => b.buoy);
    const answers = await Promise.all(chosen.map((buoy) => getJson(`/api/series${query({
      type: state.type, field: state.field, imei: buoy, from: state.from, to: state.to })}`)));
    const lines = answers.map((a, i) => ({ buoy: chosen[i], t: a.t, v: a.v })).filter((l) => l.t.length > 0);
    const points = lines.reduce((sum, l) => sum + l.t.length, 0);
    const gaps = lines.reduce((sum, l) => sum + l.v.filter((v) => v === null).length, 0);
    count.textContent = `${points} points${gaps ? `, ${gaps} gaps` : ''}`;
    if (points === 0) {
      holder.append(el('p', { text: 'No values of this field in the archive for this choice.' }));
      holder.dataset.points = '0';
      return undefined;
    }
    const chart = drawSeries(holder, `${state.type} ${state.field}`, lines);
    return () => chart.destroy();
  } catch (error) {
    holder.append(errorBox(error));
    return undefined;
  }
}
