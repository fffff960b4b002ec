// One message as the converter shows it: the report text byte for byte, the JSON, the image,
// the wave spectrum and the Y81000 spectrum, and the files to download; and the quality
// control's flags of its values, the aggregate and each test's.
import uPlot from './vendor/uPlot.esm.js';
import { el, getJson, getText, formatTime, formatPosition, formatNumber } from './dom.js';
import { describe, withUnit, qcFlags, flagText } from './config.js';
import { config } from './store.js';
import { logTickLabels, positiveOrNull, decadesBelowPeak } from './charts.js';

const kDecadesShown = 6;

// x against y, each with its unit; y on a log axis (spectra span decades), x too when asked.
function spectrumChart(title, x, xField, series, yField, logX) {
  const holder = el('div', { class: 'chart small' });
  const logAxis = { size: 60, values: (u, ticks) => logTickLabels(ticks) };
  const opts = {
    title,
    width: 440,
    height: 280,
    scales: { x: { time: false, ...(logX ? { distr: 3 } : {}) }, y: { distr: 3, range: decadesBelowPeak(kDecadesShown) } },
    series: [{ label: withUnit(xField.label, xField.unit) }, ...series],
    axes: [{ label: withUnit(xField.label, xField.unit), ...(logX ? logAxis : {}) },
      { label: withUnit(yField.label, yField.unit), ...logAxis }],
  };
  return { holder, opts, data: [x, ...series.map((s) => positiveOrNull(s.data))] };
}

// E against f for each record with a 42-band wave spectrum.
function waveSpectra(records, cfg) {
  return records.filter((r) => (r.type === 'IMU' && r.fields.f) || (r.type === 'Ellipse' && r.fields.F))
    .map((r) => {
      const fName = r.type === 'IMU' ? 'f' : 'F';
      const f = r.fields[fName];
      const order = f.map((_, i) => i).filter((i) => Number.isFinite(f[i])).sort((a, b) => f[a] - f[b]);
      const energy = describe(cfg, r.type, 'E');
      return spectrumChart(`${r.type} wave spectrum (record ${r.index})`, order.map((i) => f[i]),
        describe(cfg, r.type, fName),
        [{ label: withUnit(energy.label, energy.unit), stroke: '#1b6ca8', data: order.map((i) => r.fields.E[i]) }],
        energy, false);
    });
}

// The turbulence spectrum on log-log axes with the server's f^-5/3 line (the fit's level over
// the fit band's bands), the same line the converter's window draws.
function y81000Spectra(records, cfg) {
  const [low, high] = cfg.fit_band_hz;
  const tke = describe(cfg, 'Y81000', 'Tke');
  return records.filter((r) => r.type === 'Y81000' && r.fields.Freq).map((r) => {
    const { Freq: f, Tke: s } = r.fields;
    const usable = f.map((_, i) => i).filter((i) => f[i] > 0 && s[i] > 0).sort((a, b) => f[a] - f[b]);
    const onLine = new Map((r.fit_line ? r.fit_line.bands : []).map((band, k) => [band, r.fit_line.tke[k]]));
    const line = usable.map((i) => (onLine.has(i) ? onLine.get(i) : null));
    return spectrumChart(`Y81000 spectrum (record ${r.index})`, usable.map((i) => f[i]),
      describe(cfg, 'Y81000', 'Freq'), [
        { label: withUnit(tke.label, tke.unit), stroke: '#2a9d5b', data: usable.map((i) => s[i]) },
        { label: `f^-5/3 fit ${low.toFixed(1)}–${high.toFixed(1)} Hz`, stroke: '#c0392b', width: 2.5, dash: [6, 4], data: line },
      ], tke, true);
  });
}

// The value a flag is about: a record's field (the stream names it after its record type, with
// underscores for spaces) or position, or the gateway's estimate (record -1).
function flaggedValue(doc, entry) {
  const envelope = doc.archive || {};
  const isPosition = entry.stream === 'position' || entry.stream === 'iridium_position';
  if (entry.record < 0) {
    return { where: 'Iridium gateway', value: envelope.iridium_latitude === null || envelope.iridium_latitude === undefined
      ? '—' : formatPosition(envelope.iridium_latitude, envelope.iridium_longitude, 7) };
  }
  const record = doc.records.find((r) => r.index === entry.record);
  const where = `Record ${entry.record}${record ? ` (${record.type})` : ''}`;
  if (!record) return { where, value: '—' };
  const fields = record.fields || {};
  if (isPosition) {
    return { where, value: typeof fields.Lat === 'number' ? formatPosition(fields.Lat, fields.Lon, 7) : '—' };
  }
  const name = entry.stream.slice(entry.stream.indexOf('.') + 1);
  const key = [name, name.replaceAll('_', ' ')].find((k) => k in fields);
  if (key === undefined || typeof fields[key] !== 'number') return { where, value: '—' };
  return { where, value: formatNumber(fields[key], 6), type: record.type, field: key };
}

function flagCell(flags, flag) {
  if (flag === null || flag === undefined) return el('td', { text: '—' });
  const cell = el('td', { class: 'flag', 'data-flag': flag, text: flagText(flags, flag) });
  const colour = flags.get(flag)?.colour;
  if (colour) cell.style.color = colour;
  return cell;
}

// One row per flagged value: where it is, the value, its aggregate flag and each test's.
function qcTable(doc, cfg) {
  const flags = qcFlags(cfg);
  if (!doc.qc || doc.qc.length === 0) return el('p', { id: 'qc-flags', class: 'hint', text: 'No quality-control flags for this message.' });
  return el('table', { id: 'qc-flags', class: 'qc' },
    el('tr', {}, ['Value of', 'Stream', 'Value', 'Aggregate', 'Tests'].map((h) => el('th', { text: h }))),
    doc.qc.map((entry) => {
      const { where, value, type, field } = flaggedValue(doc, entry);
      const unit = field ? describe(cfg, type, field).unit : '1';
      return el('tr', { 'data-stream': entry.stream, 'data-record': entry.record },
        el('td', { text: where }), el('td', { text: entry.stream }),
        el('td', { text: unit === '1' || unit === 'unit unknown' ? value : `${value} ${unit}` }),
        flagCell(flags, entry.aggregate),
        el('td', {}, Object.entries(entry.tests).map(([test, flag], i) => {
          const span = el('span', { class: 'test-flag', 'data-test': test, 'data-flag': flag }, `${i ? ', ' : ''}${test} `,
            el('span', { class: 'flag', text: flagText(flags, flag) }));
          const colour = flags.get(flag)?.colour;
          if (colour) span.lastChild.style.color = colour;
          return span;
        })));
    }));
}

export async function show({ root, params, signal, onLeave }) {
  const charts = [];
  onLeave(() => charts.forEach((chart) => chart.destroy()));
  const id = params.get('arg0');
  if (!/^\d+$/.test(id || '')) throw new Error('no such message');
  const base = `/api/messages/${id}`;
  const [doc, report, cfg] = await Promise.all([getJson(base, signal), getText(`${base}/report`, signal), config()]);
  if (signal.aborted) return;
  const envelope = doc.archive || {};
  const hasImage = Boolean(doc.image);
  const facts = [
    ['File', doc.file], ['Time', `${formatTime(envelope.time)} (${envelope.time_source ?? 'unknown'})`],
    ['IMEI', envelope.imei ?? '—'], ['MOMSN', envelope.momsn ?? '—'], ['Source', envelope.source ?? '—'],
    ['Size', `${doc.size} bytes`],
    ['Outcome', doc.outcome.complete ? 'complete' : `stopped at byte ${doc.outcome.offset}: ${doc.outcome.reason}`],
  ];
  if (envelope.iridium_latitude !== null && envelope.iridium_latitude !== undefined) {
    facts.push(['Iridium position', `${formatPosition(envelope.iridium_latitude, envelope.iridium_longitude, 7)} (CEP ${envelope.iridium_cep_km} km)`]);
  }
  const spectra = [...waveSpectra(doc.records, cfg), ...y81000Spectra(doc.records, cfg)];
  // Through el(), which leaves out what is absent: the DOM's own append would write "null".
  root.append(el('div', {},
    el('h2', { class: 'title' }, 'Message ', el('span', { id: 'message-file', text: doc.file })),
    el('dl', { class: 'facts' }, facts.map(([k, v]) => [el('dt', { text: k }), el('dd', { text: v })])),
    el('h3', { text: 'Quality flags' }),
    qcTable(doc, cfg),
    el('p', { class: 'downloads' },
      el('a', { href: `${base}/raw?download=1`, text: '.sbd' }),
      el('a', { href: `${base}/report?download=1`, text: '.txt' }),
      el('a', { href: `${base}/json?download=1`, text: '.json' }),
      hasImage ? el('a', { href: `${base}/image?download=1`, text: '.jpg' }) : null),
    hasImage ? el('img', { class: 'camera', alt: 'camera image', src: `${base}/image` }) : null,
    el('div', { class: 'spectra' }, spectra.map((s) => s.holder)),
    el('h3', { text: 'Report' }),
    el('pre', { id: 'report', class: 'report', text: report }),
    el('details', {}, el('summary', { text: 'JSON' }),
      el('pre', { id: 'json', class: 'json', text: JSON.stringify(doc, null, 2) }))));
  // Drawn once in the page, where the holders have their place.
  for (const { holder, opts, data } of spectra) charts.push(new uPlot(opts, data, holder));
}
