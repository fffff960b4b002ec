// One field over time: pick a record type and field (or one of the usual ones), a buoy and a
// range. Gaps (the logger's 9999 and non-finite values arrive as null) break the line.
// Values the quality control flagged SUSPECT or FAIL are drawn over the line in their flag's
// colour, and a switch takes the FAIL values off the chart.
// Drag to zoom, Shift-drag to pan, wheel to zoom around the cursor, double-click to reset.
import uPlot from './vendor/uPlot.esm.js';
import { el, getJson, query, formatTime, formatNumber, buoyPicker, errorBox, swatch } from './dom.js';
import { usualFields, describe, withUnit, qcFlags, flagText } from './config.js';
import { config, buoys } from './store.js';
import { utcDate, timeAxis, logTickLabels, positiveOrNull, wheelZoomAndPan } from './charts.js';

const kNullExpand = 2;
const kNullRemove = 0;
const kFlagPointSize = 8;
const kFail = 4;
const kMissing = 9;
const kColours = ['#1b6ca8', '#c0392b', '#2a9d5b', '#b5651d', '#9c2a9c', '#555555'];

// The points of every line with a flag drawn apart, one set per such flag: { flag, t, v }.
function flaggedPoints(lines, flags) {
  return [...flags.values()].filter((f) => f.colour).map((f) => {
    const points = { flag: f, t: [], v: [] };
    for (const line of lines) {
      line.qc.forEach((q, i) => {
        if (q === f.flag && line.v[i] !== null) { points.t.push(line.t[i]); points.v.push(line.v[i]); }
      });
    }
    return points;
  }).filter((p) => p.t.length > 0);
}

// One line per buoy on a shared time axis. Where one buoy has a value and another none, the
// other's line passes over; its own gaps stay gaps, widened to the neighbouring times
// (NULL_EXPAND) so that no stub of line reaches into them. The flagged points are series of
// points alone, drawn last, over the lines. A quantity that spans decades (the dissipation
// rate) goes on a log axis.
function drawSeries(holder, field, lines, flagged) {
  holder.replaceChildren();
  const values = (line) => (field.log ? positiveOrNull(line.v) : line.v);
  const tables = [...lines, ...flagged].map((line) => [line.t, values(line)]);
  const data = tables.length === 1 ? tables[0]
    : uPlot.join(tables, [...lines.map(() => [null, kNullExpand]), ...flagged.map(() => [null, kNullRemove])]);
  const shown = (u, v) => (v === null || v === undefined ? '—' : `${formatNumber(v)} ${field.unit === '1' ? '' : field.unit}`.trim());
  const chart = new uPlot({
    width: Math.max(320, holder.clientWidth || 900),
    height: 360,
    tzDate: utcDate,
    scales: { x: { time: true }, y: field.log ? { distr: 3 } : {} },
    series: [{ label: 'Time (UTC)', value: (u, t) => (t === null ? '—' : formatTime(t)) },
      ...lines.map((line, i) => ({
        label: line.buoy, stroke: kColours[i % kColours.length], width: 1.25, value: shown,
        points: { show: line.t.length < 500 } })),
      ...flagged.map(({ flag }) => ({
        label: flag.name, stroke: flag.colour, fill: flag.colour, value: shown, paths: () => null,
        points: { show: true, size: kFlagPointSize, stroke: flag.colour, fill: flag.colour, width: 0 } }))],
    padding: [16, 40, 0, 0],  // room for the last date under the axis's end
    axes: [timeAxis, { label: withUnit(field.label, field.unit), size: 70,
      ...(field.log ? { values: (u, ticks) => logTickLabels(ticks) } : {}) }],
    plugins: [{ hooks: { ready: [wheelZoomAndPan] } }],
  }, data, holder);
  // What the chart was given: every row of every buoy, a gap counting as a point.
  holder.dataset.points = String(lines.reduce((sum, line) => sum + line.t.length, 0));
  for (const { flag, t } of flagged) holder.dataset[flag.name.toLowerCase()] = String(t.length);
  holder.chart = chart;  // where a value is drawn: chart.valToPos
  return chart;
}

export async function show({ root, params, signal, onLeave }) {
  let chart = null;
  onLeave(() => chart?.destroy());
  const [types, known, cfg] = await Promise.all([getJson('/api/fields', signal), buoys(), config()]);
  if (signal.aborted) return;
  const flags = qcFlags(cfg);
  const state = {
    imei: params.get('imei') || '',
    type: params.get('type') || 'IMU',
    field: params.get('field') || 'Hs',
    from: params.get('from') || '',
    to: params.get('to') || '',
    fail: params.get('fail') || '',  // 'hide': FAIL values off the chart
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
  const hideFail = state.fail === 'hide';
  const legend = el('p', { class: 'qc-legend', id: 'qc-legend' });
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
      el('a', { href: `/api/series${seriesQuery}&format=csv&tests=1`, text: 'CSV' })),
    holder, count, legend,
    el('p', { class: 'hint', text: 'Drag to zoom, Shift-drag to pan, wheel to zoom, double-click to reset.' }));
  try {
    const chosen = state.imei ? [state.imei] : known.map((b) => b.buoy);
    const answers = await Promise.all(chosen.map((buoy) => getJson(`/api/series${query({
      type: state.type, field: state.field, imei: buoy, from: state.from, to: state.to })}`, signal)));
    if (signal.aborted) return;
    // An archive without flags (or a server before them) gives no qc: every point unflagged.
    const named = new Map(known.map((b) => [b.buoy, b.name ?? b.buoy]));
    const lines = answers.map((a, i) => {
      const qc = a.qc || a.t.map(() => null);
      return { buoy: named.get(chosen[i]) ?? chosen[i], t: a.t, qc, raw: a.v, v: hideFail ? a.v.map((v, k) => (qc[k] === kFail ? null : v)) : a.v };
    }).filter((l) => l.t.length > 0);
    const points = lines.reduce((sum, l) => sum + l.t.length, 0);
    const gaps = lines.reduce((sum, l) => sum + l.raw.filter((v) => v === null).length, 0);
    const valuesFlagged = (flag) => lines.reduce((sum, l) => sum + l.qc.filter((q, k) => q === flag && l.raw[k] !== null).length, 0);
    const hidden = hideFail ? valuesFlagged(kFail) : 0;
    count.textContent = `${points} points${gaps ? `, ${gaps} gaps` : ''}${hidden ? `, ${hidden} FAIL hidden` : ''}`;
    const flagged = flaggedPoints(lines, flags);
    if (flags.size > 0) {
      // Every flag: those drawn apart with their colour and count, the others as the line.
      const countOf = (f) => `${valuesFlagged(f.flag)}${f.flag === kFail && hideFail ? ' hidden' : ''}`;
      legend.append(el('span', { text: 'Quality flags: ' }),
        ...[...flags.values()].map((f) => el('span', { class: 'legend', 'data-flag': f.flag },
          swatch(f.colour, { line: !f.colour }),
          f.colour ? `${flagText(flags, f.flag)}: ${countOf(f)}`
            : `${flagText(flags, f.flag)} ${f.flag === kMissing ? 'a gap' : 'as the line'}`)),
        el('label', { class: 'legend' }, el('input', { type: 'checkbox', id: 'hide-fail', checked: hideFail,
          onchange: (e) => go({ fail: e.target.checked ? 'hide' : '' }) }), 'Hide FAIL values'));
    }
    if (points === 0) {
      holder.append(el('p', { text: 'No values of this field in the archive for this choice.' }));
      holder.dataset.points = '0';
      return;
    }
    chart = drawSeries(holder, field, lines, flagged);
  } catch (error) {
    if (!signal.aborted) holder.append(errorBox(error));
  }
}
