// One buoy's health: when each record type (each sensor) last came and whether it is overdue
// by the alert rules, the battery over time with its trend over the last day of readings (the
// slope the battery rule judges), how far it is from where it was deployed, now and over time,
// and its open alerts.
import uPlot from './vendor/uPlot.esm.js';
import { el, getJson, formatTime, formatAge, formatNumber, formatPosition } from './dom.js';
import { describe, withUnit } from './config.js';
import { config } from './store.js';
import { utcDate, timeAxis, wheelZoomAndPan } from './charts.js';
import { kStateColours, kStateText } from './fleet.js';


// One quantity over time; `trend`, when given ({t, v}), a dashed fitted line over it.
function chart(holder, t, v, label, unit, colour, trend = null) {
  const shown = (u, value) => (value === null || value === undefined ? '—' : `${formatNumber(value)} ${unit}`);
  const fitted = trend && trend.t.length > 1;
  const data = fitted ? uPlot.join([[t, v], [trend.t, trend.v]]) : [t, v];
  const made = new uPlot({
    width: Math.max(320, holder.clientWidth || 900),
    height: 240,
    tzDate: utcDate,
    scales: { x: { time: true } },
    series: [{ label: 'Time (UTC)', value: (u, time) => (time === null ? '—' : formatTime(time)) },
      { label, stroke: colour, width: 1.25, value: shown, points: { show: t.length < 200 } },
      ...(fitted ? [{ label: 'Trend over the last day', stroke: '#c0392b', width: 1.5, dash: [6, 4],
        spanGaps: true, value: shown, points: { show: false } }] : [])],
    padding: [16, 40, 0, 0],
    axes: [timeAxis, { label: withUnit(label, unit), size: 70 }],
    plugins: [{ hooks: { ready: [wheelZoomAndPan] } }],
  }, data, holder);
  holder.dataset.points = String(t.length);
  return made;
}

// Allowed: how long the alert rules let the record type stay away; an overdue row is one whose
// record_absent alert holds, judged against the buoy's newest message as the alert is.
function recordsTable(records) {
  if (!records.length) return el('p', { text: 'No records with a time.' });
  return el('table', { class: 'health-records' },
    el('thead', {}, el('tr', {}, ['Record type', 'Last (UTC)', 'Age', 'Allowed', 'Message'].map((h) => el('th', { text: h })))),
    el('tbody', {}, records.map((r) => el('tr', { 'data-record': r.record, class: r.overdue ? 'overdue' : null,
      title: r.overdue ? 'Overdue: further behind the newest message than allowed' : null },
      el('td', { text: r.record }),
      el('td', { text: r.time === null ? 'never' : formatTime(r.time) }),
      el('td', { class: 'age', text: formatAge(r.age_s) }),
      el('td', { text: r.allowed_s === null ? '—' : `${formatNumber(r.allowed_s / 3600, 3)} h` }),
      el('td', {}, r.id === null ? '—' : el('a', { href: `#/message/${r.id}`, text: r.id }))))));
}

function alertsList(alerts) {
  if (!alerts.length) return el('p', { class: 'no-alerts', text: 'No open alerts.' });
  return el('ul', { class: 'health-alerts' }, alerts.map((a) => el('li', { 'data-rule': a.rule },
    el('strong', { text: a.rule }), ` since ${formatTime(a.opened_at)}: ${a.detail}`)));
}

export async function show({ root, params, signal, onLeave, onNewMessages }) {
  const buoy = params.get('arg0') || '';
  if (!buoy) {
    root.append(el('p', {}, 'Pick a buoy on the ', el('a', { href: '#/fleet', text: 'fleet map' }), '.'));
    return;
  }
  const charts = [];
  const clear = () => { while (charts.length) charts.pop().destroy(); };
  onLeave(clear);
  const render = async () => {
    const [h, cfg] = await Promise.all([getJson(`/api/buoys/${encodeURIComponent(buoy)}/health`, signal), config()]);
    if (signal.aborted) return;
    clear();
    const battery = describe(cfg, 'Miscellaneous values', 'Battery voltage');
    const slope = h.battery.slope_per_day;
    // The page's policy allows no style attributes; a colour set through the DOM is allowed.
    const badge = el('span', { class: 'badge', id: 'health-state', 'data-state': h.state, text: kStateText[h.state] });
    badge.style.background = kStateColours[h.state];
    const batteryHolder = el('div', { class: 'chart', id: 'health-battery' });
    const distanceHolder = el('div', { class: 'chart', id: 'health-distance' });
    root.replaceChildren(
      el('h2', { class: 'title' }, h.name ?? h.buoy, h.name ? el('span', { class: 'imei', text: ` ${h.buoy}` }) : null,
        ' ', badge),
      el('p', { id: 'health-last' }, `Last message ${formatTime(h.last_time)}`, el('span', { class: 'age', text: ` ${formatAge(h.age_s)}` }),
        ' · ', el('a', { href: `#/track?imei=${encodeURIComponent(h.buoy)}`, text: 'track' }),
        ' · ', el('a', { href: `#/alerts?imei=${encodeURIComponent(h.buoy)}`, text: 'alerts' })),
      el('h3', { text: 'Open alerts' }), alertsList(h.alerts),
      el('h3', { text: 'Last message of each record type' }), recordsTable(h.records),
      el('h3', { text: battery.label }),
      el('p', { id: 'health-trend', text: slope === null ? 'Trend: too few readings in the last day.'
        : `Trend over the last day of readings (${formatTime(h.battery.slope_from)} to ${formatTime(h.battery.slope_to)}): ${slope >= 0 ? '+' : ''}${formatNumber(slope, 3)} ${battery.unit}/day` }),
      batteryHolder,
      el('h3', { text: 'Distance from the deployment position' }),
      el('p', { id: 'health-distance-now', text: h.deployed === null ? 'The deployment file gives no position for this buoy.'
        : `Deployed at ${formatPosition(h.deployed.lat, h.deployed.lon, 6)}; now ${h.distance.now_km === null ? '—' : `${formatNumber(h.distance.now_km, 4)} km`} away` }),
      distanceHolder);
    if (h.battery.t.length) charts.push(chart(batteryHolder, h.battery.t, h.battery.v, battery.label, battery.unit, '#1b6ca8', h.battery.trend));
    if (h.distance.t.length) charts.push(chart(distanceHolder, h.distance.t, h.distance.km, 'Distance', 'km', '#b5651d'));
  };
  onNewMessages(render);
  await render();
}
