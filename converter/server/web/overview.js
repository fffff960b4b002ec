// Each buoy at a glance: its last message and how long ago, message count, battery, position
// and camera image, marked late when nothing came for longer than the server's interval.
import { el, formatTime, formatAge, formatNumber } from './dom.js';
import { describe, withUnit } from './config.js';
import { config, buoys } from './store.js';

const kRefreshMilliseconds = 60000;  // ages and the late mark move on while nothing arrives

function card(buoy, cfg) {
  const position = buoy.position;
  const battery = describe(cfg, 'Miscellaneous values', 'Battery voltage');
  return el('section', { class: `buoy${buoy.late ? ' late' : ''}`, 'data-buoy': buoy.buoy },
    el('h2', {}, el('span', { text: buoy.name ?? buoy.buoy }),
      buoy.name ? el('span', { class: 'imei', text: buoy.buoy }) : null,
      buoy.late ? el('span', { class: 'badge', text: 'late' }) : null),
    el('dl', {},
      el('dt', { text: 'Last message' }),
      el('dd', { 'data-field': 'last-time' },
        buoy.last_id ? el('a', { href: `#/message/${buoy.last_id}`, text: formatTime(buoy.last_time) })
          : formatTime(buoy.last_time),
        el('span', { class: 'age', text: ` ${formatAge(buoy.age_s)}` })),
      el('dt', { text: 'Messages' }),
      el('dd', { 'data-field': 'messages', text: buoy.messages }),
      el('dt', { text: battery.label }),
      el('dd', { 'data-field': 'battery',
        text: buoy.battery_voltage === null ? '—' : `${formatNumber(buoy.battery_voltage)} ${battery.unit}` }),
      el('dt', { text: withUnit('Position', '°N, °E') }),
      el('dd', { 'data-field': 'position',
        text: position ? `${formatNumber(position.lat, 6)}, ${formatNumber(position.lon, 6)}` : '—' },
        position ? el('span', { class: 'age', text: ` ${position.source}, ${formatTime(position.time)}` }) : null)),
    buoy.image_id ? el('a', { href: `#/message/${buoy.image_id}` },
      el('img', { class: 'thumb', alt: 'last camera image', src: `/api/messages/${buoy.image_id}/image` })) : null,
    el('p', { class: 'links' },
      el('a', { href: `#/health/${encodeURIComponent(buoy.buoy)}`, text: 'health' }), ' · ',
      el('a', { href: `#/series?imei=${encodeURIComponent(buoy.buoy)}`, text: 'time series' }), ' · ',
      el('a', { href: `#/track?imei=${encodeURIComponent(buoy.buoy)}`, text: 'track' }), ' · ',
      el('a', { href: `#/messages?imei=${encodeURIComponent(buoy.buoy)}`, text: 'messages' })));
}

export async function show({ root, signal, onLeave, onNewMessages }) {
  const grid = el('div', { class: 'buoys', id: 'buoys' });
  root.append(el('h2', { class: 'title', text: 'Buoys' }),
    el('p', {}, el('a', { href: '#/fleet', text: 'The fleet on a map' })), grid);
  const render = async () => {
    const [cfg, list] = await Promise.all([config(), buoys({ fresh: true })]);
    if (signal.aborted) return;
    grid.replaceChildren(...(list.length ? list.map((b) => card(b, cfg)) : [el('p', { text: 'The archive holds no messages yet.' })]));
  };
  const timer = setInterval(() => render().catch(() => {}), kRefreshMilliseconds);
  onLeave(() => clearInterval(timer));
  onNewMessages(render);
  await render();
}
