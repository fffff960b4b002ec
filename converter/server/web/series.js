// One field over time: pick a record type and field (or one of the usual ones), a buoy and a
// range. Gaps (the logger's 9999 and non-finite values arrive as null) break the line.
// Drag to zoom, Shift-drag to pan, wheel to zoom around the cursor, double-click to reset.
import uPlot from './vendor/uPlot.esm.js';
import { el, getJson, query, formatTime, formatNumber, buoyPicker, errorBox } from './dom.js';
import { usualFields, describe, withUnit } from './config.js';
import { config, buoys } from './store.js';
import { utcDate, timeAxis, logTickLabels, positiveOrNull, wheelZoomAndPan } from './charts.js';

const kNullExpand = 2;
const kColours = ['#1b6ca8', '#c0392b', '#2a9d5b', '#b5651d', '#9c2a9c', '#555555'];

// One line per buoy on a shared time axis. Where one buoy has a value and another none, the
// other's line passes over; its own gaps stay gaps, widened to the neighbouring times
// (NULL_EXPAND) so that no stub of line reaches into them. A quantity that spans decades
// (the dissipation rate) goes on a log axis.
function drawSeries(holder, field, lines) {
  holder.replaceChildren();
  const values = (line) => (field.log ? positiveOrNull(line.v) : line.v);
  const data = lines.length === 1 ? [lines[0].t, values(lines[0])]
    : uPlot.join(lines.map((line) => [line.t, values(line)]), lines.map(() => [null, kNullExpand]));
  const shown = (u, v) => (v === null || v === undefined ? '—' : `${formatNumber(v)} ${field.unit === '1' ? '' : field.unit}`.trim());
  const chart = new uPlot({
    width: Math.max(320, holder.clientWidth || 900),
    height: 360,
    tzDate: utcDate,
    scales: { x: { time: true }, y: field.log ? { distr: 3 } : {} },
    series: [{ label: 'Time (UTC)', value: (u, t) => (t === null ? '—' : formatTime(t)) },
      ...lines.map((line, i) => ({
        label: line.buoy, stroke: kColours[i % kColours.length], width: 1.25, value: shown,
        points: { show: line.t.length < 500 } }))],
    padding: [16, 40, 0, 0],  // room for the last date under the axis's end
    axes: [timeAxis, { label: withUnit(field.label, field.unit), size: 70,
      ...(field.log ? { values: (u, ticks) => logTickLabels(ticks) } : {}) }],
    plugins: [{ hooks: { ready: [wheelZoomAndPan] } }],
  }, data, holder);
  // What the chart was given: every row of every buoy, a gap counting as a point.
  holder.dataset.points = String(lines.reduce((sum, line) => sum + line.t.length, 0));
  return chart;
}

export async function show({ root, params, signal, onLeave }) {
  let chart = null;
  onLeave(() => chart?.destroy());
  const [types, known, cfg] = await Promise.all([getJson('/api/fields', signal), buoys(), config()]);
  if (signal.aborted) return;
  const state = {
    imei: params.get('imei') || '',
    type: params.get('type') || 'IMU',
    field: params.get('field') || 'Hs',
    from: params.get('from') || '',
    to: params.get('to') || '',
  };
  const field = describe(cfg, state.type, state.field);
  const go = (change) => { location.hash = `#/series${query({ ...state, ...change })}`; };
  const typeSelect = el('select', { id: 'type', onchange: (e) => go({ type: e.target.value, field: types.find((t) => t.type === e.target.value).fields[0] }) },
    types.map((t) => el('option', { value: t.type, selected: t.type === state.type, text: t.type })));
  const fields = (types.find((t) => t.type === state.type) || types[0]).fields;
  const fieldSelect = el('select', { id: 'field', onchange: (e) => go({ field: e.target.value }) },
    fields.map((f) => el('option', { value: f, selected: f === state.field, text: f,
      title: withUnit(describe(cfg, state.type, f).label, describe(cfg, state.type, f).unit) })));
  // Dates typed as the archive writes them (a browser's date picker shows its own locale's).
  const dateInput = (name) => el('input', { type: 'text', id: name, value: state[name].slice(0, 10),
    placeholder: 'YYYY-MM-DD', pattern: '\\d{4}-\\d{2}-\\d{2}', size: 10,
    onchange: (e) => { if (e.target.checkValidity()) go({ [name]: e.target.value }); } });
  const holder = el('div', { class: 'chart', id: 'chart' });
  const count = el('p', { class: 'count', id: 'series-count' });
  const usual = el('p', { class: 'usual' }, usualFields.map(([type, name]) => el('button', {
    type: 'button', class: type === state.type && name === state.field ? 'active' : '',
    onclick: () => go({ type, field: name }), text: describe(cfg, type, name).label })));
  const seriesQuery = query({ type: state.type, field: state.field, imei: state.imei, from: state.from, to: state.to });
  root.append(
    el('h2', { class: 'title', text: 'Time series' }),
    usual,
    el('p', { class: 'controls' },
      el('label', {}, 'Buoy ', buoyPicker(known, state.imei, (value) => go({ imei: value }))),
      el('label', {}, 'Record ', typeSelect), el('label', {}, 'Field ', fieldSelect),
      el('label', {}, 'From (UTC) ', dateInput('from')), el('label', {}, 'To (UTC) ', dateInput('to')),
      el('a', { href: `/api/series${seriesQuery}&format=csv`, text: 'CSV' })),
    holder, count,
    el('p', { class: 'hint', text: 'Drag to zoom, Shift-drag to pan, wheel to zoom, double-click to reset.' }));
  try {
    const chosen = state.imei ? [state.imei] : known.map((b) => b.buoy);
    const answers = await Promise.all(chosen.map((buoy) => getJson(`/api/series${query({
      type: state.type, field: state.field, imei: buoy, from: state.from, to: state.to })}`, signal)));
    if (signal.aborted) return;
    const named = new Map(known.map((b) => [b.buoy, b.name ?? b.buoy]));
    const lines = answers.map((a, i) => ({ buoy: named.get(chosen[i]) ?? chosen[i], t: a.t, v: a.v }))
      .filter((l) => l.t.length > 0);
    const points = lines.reduce((sum, l) => sum + l.t.length, 0);
    const gaps = lines.reduce((sum, l) => sum + l.v.filter((v) => v === null).length, 0);
    count.textContent = `${points} points${gaps ? `, ${gaps} gaps` : ''}`;
    if (points === 0) {
      holder.append(el('p', { text: 'No values of this field in the archive for this choice.' }));
      holder.dataset.points = '0';
      return;
    }
    chart = drawSeries(holder, field, lines);
  } catch (error) {
    if (!signal.aborted) holder.append(errorBox(error));
  }
}
