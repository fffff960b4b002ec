// The newest messages, page by page; messages archived while the page is open appear on top.
import { el, getJson, query, formatTime, buoyPicker } from './dom.js';

function row(m, fresh) {
  return el('tr', { class: fresh ? 'fresh' : '', 'data-id': m.id },
    el('td', {}, el('a', { href: `#/message/${m.id}`, text: m.id })),
    el('td', { class: 'file', text: m.file_name ?? '' }),
    el('td', { text: formatTime(m.time) }),
    el('td', { text: m.imei ?? 'files' }),
    el('td', { text: m.momsn ?? '' }),
    el('td', { text: m.size }),
    el('td', { text: m.source ?? '' }),
    el('td', { class: m.outcome === 'complete' ? '' : 'warn', text: m.outcome ?? '' }));
}

export async function show(root, params, onNewMessages) {
  const imei = params.get('imei') || '';
  const buoys = await getJson('/api/buoys');
  const body = el('tbody', { id: 'message-rows' });
  const more = el('button', { type: 'button', text: 'Older messages' });
  let next = null;
  const load = async () => {
    const page = await getJson(`/api/messages${query({ imei, before: next, limit: 50 })}`);
    body.append(...page.messages.map((m) => row(m, false)));
    next = page.next;
    more.hidden = next === null;
  };
  more.addEventListener('click', load);
  root.append(
    el('h2', { class: 'title', text: 'Messages' }),
    el('p', { class: 'controls' }, el('label', {}, 'Buoy ',
      buoyPicker(buoys, imei, (value) => { location.hash = `#/messages${query({ imei: value })}`; }))),
    el('table', { class: 'messages' },
      el('thead', {}, el('tr', {}, ['id', 'file', 'time', 'IMEI', 'MOMSN', 'bytes', 'source', 'outcome']
        .map((h) => el('th', { text: h })))),
      body),
    more);
  await load();
  onNewMessages((fresh) => {
    const shown = fresh.filter((m) => !imei || (m.imei ?? 'files') === imei);
    body.prepend(...shown.map((m) => row(m, true)));
  });
}
