// The alerts the server raised from the deployment file's rules, newest first: open and
// resolved, filtered by buoy, rule and state, each with how far its events got to their
// channels.
import { el, getJson, query, buoyPicker } from './dom.js';
import { buoys } from './store.js';

const kRules = ['silent', 'record_absent', 'battery_low', 'battery_falling', 'geofence', 'distance', 'qc_fail'];

function delivery(alert) {
  const states = alert.outbox.map((o) => `${o.event} → ${o.channel}: ${o.state}${o.last_error ? ` (${o.last_error})` : ''}`);
  return states.length ? states.join('\n') : 'no channels';
}

function row(a) {
  const message = (id) => (id ? el('a', { href: `#/message/${id}`, text: id }) : '—');
  return el('tr', { class: a.open ? 'open-alert' : '', 'data-id': a.id },
    el('td', { text: a.open ? 'open' : 'resolved' }),
    el('td', { text: a.rule }),
    el('td', { title: a.buoy, text: a.name ?? a.buoy }),
    el('td', { text: a.detail }),
    el('td', {}, a.opened_at, ' ', message(a.opened_message)),
    el('td', {}, a.resolved_at ?? '—', ' ', a.resolved_at ? message(a.resolved_message) : ''),
    el('td', { class: 'delivery', title: delivery(a),
      text: a.outbox.filter((o) => o.state === 'delivered').length + ' of ' + a.outbox.length }));
}

export async function show({ root, params, signal, onLeave, onNewMessages }) {
  const state = { imei: params.get('imei') || '', rule: params.get('rule') || '', state: params.get('state') || '' };
  const go = (change) => { location.hash = `#/alerts${query({ ...state, ...change })}`; };
  const known = await buoys();
  const body = el('tbody');
  const summary = el('p', { class: 'outbox' });
  root.append(el('h2', { class: 'title', text: 'Alerts' }),
    el('div', { class: 'controls' },
      el('label', {}, 'Buoy ', buoyPicker(known, state.imei, (value) => go({ imei: value }))),
      el('label', {}, 'Rule ', el('select', { id: 'rule', onchange: (e) => go({ rule: e.target.value }) },
        el('option', { value: '', text: 'all rules' }),
        kRules.map((r) => el('option', { value: r, selected: r === state.rule, text: r })))),
      el('label', {}, 'State ', el('select', { id: 'state', onchange: (e) => go({ state: e.target.value }) },
        ['', 'open', 'resolved'].map((s) => el('option', { value: s, selected: s === state.state, text: s || 'open and resolved' }))))),
    summary,
    el('table', { class: 'alerts' },
      el('thead', {}, el('tr', {}, ['State', 'Rule', 'Buoy', 'Detail', 'Opened', 'Resolved', 'Delivered']
        .map((h) => el('th', { text: h })))),
      body));
  const render = async () => {
    const answer = await getJson(`/api/alerts${query(state)}`, signal);
    if (signal.aborted) return;
    const o = answer.outbox;
    summary.textContent = `Outbox: ${o.delivered} delivered, ${o.pending} waiting, ${o.failing} failing`;
    body.replaceChildren(...(answer.alerts.length ? answer.alerts.map(row)
      : [el('tr', {}, el('td', { colspan: 7, text: 'No alerts.' }))]));
  };
  // The clock opens alerts for silent buoys with no message to announce them.
  const timer = setInterval(() => render().catch(() => {}), 30000);
  onLeave(() => clearInterval(timer));
  onNewMessages(render);
  await render();
}
