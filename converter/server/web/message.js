// One message as the converter shows it: the report text byte for byte, the JSON, the image,
// the wave spectrum and the Y81000 spectrum, and the files to download.
import uPlot from './vendor/uPlot.esm.js';
import { el, getJson, getText, formatTime, formatNumber } from './dom.js';

// The inertial subrange the dissipation fit uses, both bounds exclusive as in the library, and
// the slope it assumes there.
const kFitBand = [2.0, 4.9];
const inFitBand = (f) => f > kFitBand[0] && f < kFitBand[1];
const kInertialSlope = -5 / 3;

function spectrumChart(title, x, series, logScales) {
  const holder = el('div', { class: 'chart small' });
  const scale = logScales ? { distr: 3 } : {};
  const opts = {
    title,
    width: 440,
    height: 280,
    scales: { x: { time: false, ...scale }, y: { ...scale } },
    series: [{ label: 'f (Hz)' }, ...series],
    axes: [{ label: 'f (Hz)' }, { size: 70, values: (u, ticks) => ticks.map((v) => (v === null ? '' : logScales ? v.toExponential(0) : String(v))) }],
  };
  queueMicrotask(() => new uPlot(opts, [x, ...series.map((s) => s.data)], holder));
  return holder;
}

// E against f for each record with a 42-band wave spectrum.
function waveSpectra(records) {
  return records.filter((r) => (r.type === 'IMU' && r.fields.f) || (r.type === 'Ellipse' && r.fields.F))
    .map((r) => {
      const f = r.type === 'IMU' ? r.fields.f : r.fields.F;
      const order = f.map((_, i) => i).filter((i) => Number.isFinite(f[i])).sort((a, b) => f[a] - f[b]);
      return spectrumChart(`${r.type} wave spectrum (record ${r.index})`, order.map((i) => f[i]),
        [{ label: 'E (m²/Hz)', stroke: '#1b6ca8', data: order.map((i) => r.fields.E[i]) }], false);
    });
}

// The turbulence spectrum on log-log axes with the f^-5/3 line fitted through the fit band:
// its level is the mean of log(Tke) + 5/3 log(f) over the band's bands.
function y81000Spectra(records) {
  return records.filter((r) => r.type === 'Y81000' && r.fields.Freq).map((r) => {
    const { Freq: f, Tke: s } = r.fields;
    const usable = f.map((_, i) => i).filter((i) => f[i] > 0 && s[i] > 0).sort((a, b) => f[a] - f[b]);
    const inBand = usable.filter((i) => inFitBand(f[i]));
    const level = inBand.length
      ? inBand.reduce((sum, i) => sum + Math.log(s[i]) - kInertialSlope * Math.log(f[i]), 0) / inBand.length
      : null;
    const line = usable.map((i) => (level !== null && inFitBand(f[i])
      ? Math.exp(level + kInertialSlope * Math.log(f[i])) : null));
    return spectrumChart(`Y81000 spectrum (record ${r.index})`, usable.map((i) => f[i]), [
      { label: 'Tke', stroke: '#2a9d5b', data: usable.map((i) => s[i]) },
      { label: `f^-5/3 fit ${kFitBand[0].toFixed(1)}–${kFitBand[1].toFixed(1)} Hz`, stroke: '#c0392b', width: 2.5, dash: [6, 4], data: line },
    ], true);
  });
}

export async function show(root, params) {
  const id = params.get('arg0');
  if (!/^\d+$/.test(id || '')) throw new Error('no such message');
  const base = `/api/messages/${id}`;
  const [doc, report] = await Promise.all([getJson(base), getText(`${base}/report`)]);
  const envelope = doc.archive || {};
  const hasImage = Boolean(doc.image);
  const facts = [
    ['File', doc.file], ['Time', `${formatTime(envelope.time)} (${envelope.time_source ?? 'unknown'})`],
    ['IMEI', envelope.imei ?? '—'], ['MOMSN', envelope.momsn ?? '—'], ['Source', envelope.source ?? '—'],
    ['Size', `${doc.size} bytes`],
    ['Outcome', doc.outcome.complete ? 'complete' : `stopped at byte ${doc.outcome.offset}: ${doc.outcome.reason}`],
  ];
  if (envelope.iridium_latitude !== null && envelope.iridium_latitude !== undefined) {
    facts.push(['Iridium position', `${formatNumber(envelope.iridium_latitude, 7)}, ${formatNumber(envelope.iridium_longitude, 7)} (CEP ${envelope.iridium_cep_km} km)`]);
  }
  root.append(
    el('h2', { class: 'title' }, 'Message ', el('span', { id: 'message-file', text: doc.file })),
    el('dl', { class: 'facts' }, facts.map(([k, v]) => [el('dt', { text: k }), el('dd', { text: v })])),
    el('p', { class: 'downloads' },
      el('a', { href: `${base}/raw?download=1`, text: '.sbd' }),
      el('a', { href: `${base}/report?download=1`, text: '.txt' }),
      el('a', { href: `${base}/json?download=1`, text: '.json' }),
      hasImage ? el('a', { href: `${base}/image?download=1`, text: '.jpg' }) : null),
    hasImage ? el('img', { class: 'camera', alt: 'camera image', src: `${base}/image` }) : null,
    el('div', { class: 'spectra' }, waveSpectra(doc.records), y81000Spectra(doc.records)),
    el('h3', { text: 'Report' }),
    el('pre', { id: 'report', class: 'report', text: report }),
    el('details', {}, el('summary', { text: 'JSON' }),
      el('pre', { id: 'json', class: 'json', text: JSON.stringify(doc, null, 2) })));
}
