// The archived messages by the time they state, newest first, page by page; messages archived
// while the page is open join in their place, marked fresh.
import { el, getJson, query, formatTime, buoyPicker, byTimeNewestFirst } from './dom.js';
import { config, buoys } from './store.js';

function row(m, fresh, filesBuoy) {
  return el('tr', { class: fresh ? 'fresh' : '', 'data-id': m.id },
    el('td', {}, el('a', { href: `#/message/${m.id}`, text: m.id })),
    el('td', { class: 'file', text: m.file_name ?? '' }),
    el('td', { text: formatTime(m.time) }),
    el('td', { title: m.imei ?? '', text: m.name ?? m.imei ?? filesBuoy }),
    el('td', { text: m.momsn ?? '' }),
    el('td', { text: m.size }),
    el('td', { text: m.source ?? '' }),
    el('td', { class: m.outcome === 'complete' ? '' : 'warn', text: m.outcome ?? '' }));
}

export async function show({ root, params, signal, onNewMessages }) {
  const imei = params.get('imei') || '';
  const [known, cfg] = await Promise.all([buoys(), config()]);
  if (signal.aborted) return;
  const body = el('tbody', { id: 'message-rows' });
  const more = el('button', { type: 'button', text: 'Older messages' });
  const loaded = new Map();  // id -> { message, fresh }
  const render = () => body.replaceChildren(...[...loaded.values()]
    .sort((a, b) => byTimeNewestFirst(a.message, b.message))
    .map(({ message, fresh }) => row(message, fresh, cfg.files_buoy)));
  let next = null;
  const load = async () => {
    const page = await getJson(`/api/messages${query({ imei, before: next, limit: 50 })}`, signal);
    if (signal.aborted) return;
    for (const message of page.messages) loaded.set(message.id, { message, fresh: false });
    next = page.next;
    more.hidden = next === null;
    render();
  };
  more.addEventListener('click', load);
  root.append(
    el('h2', { class: 'title', text: 'Messages' }),
    el('p', { class: 'controls' }, el('label', {}, 'Buoy ',
      buoyPicker(known, imei, (value) => { location.hash = `#/messages${query({ imei: value })}`; }))),
    el('table', { class: 'messages' },
      el('thead', {}, el('tr', {}, ['id', 'file', 'time (UTC)', 'IMEI', 'MOMSN', 'size (bytes)', 'source', 'outcome']
        .map((h) => el('th', { text: h })))),
      body),
    more);
  onNewMessages((fresh) => {
    for (const message of fresh) {
      if (!imei || (message.imei ?? cfg.files_buoy) === imei) loaded.set(message.id, { message, fresh: true });
    }
    render();
  });
  await load();
}
