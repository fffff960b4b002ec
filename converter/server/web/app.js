// The dashboard: one page, views chosen by the address's #fragment, and a poller that tells
// the open view about messages archived since it last looked.
import * as overview from './overview.js';
import * as series from './series.js';
import * as track from './track.js';
import * as messages from './messages.js';
import * as message from './message.js';
import { getJson, errorBox } from './dom.js';

const kPollMilliseconds = 2000;
const views = { overview, series, track, messages, message };
let current = null;  // { name, leave }
let newestId = 0;
const listeners = new Set();

// Views call this to hear of new messages; it returns the way to stop.
export function onNewMessages(listener) {
  listeners.add(listener);
  return () => listeners.delete(listener);
}

async function poll() {
  const live = document.getElementById('live');
  try {
    const page = await getJson(`/api/messages?after=${newestId}&limit=100`);
    if (page.messages.length > 0) {
      const first = newestId === 0;
      newestId = Math.max(newestId, ...page.messages.map((m) => m.id));
      if (!first) for (const listener of listeners) listener(page.messages);
    }
    live.className = 'live ok';
  } catch (error) {
    live.className = 'live down';
    live.title = String(error.message || error);
  }
}

function route() {
  const [name, ...rest] = location.hash.replace(/^#\/?/, '').split('/');
  const [viewName, query] = (name || 'overview').split('?');
  const view = views[viewName] || overview;
  if (current && current.leave) current.leave();
  listeners.clear();
  for (const link of document.querySelectorAll('nav a')) {
    link.classList.toggle('active', link.dataset.view === viewName);
  }
  const root = document.getElementById('view');
  root.replaceChildren();
  const params = new URLSearchParams(query || '');
  rest.forEach((value, i) => params.set(`arg${i}`, decodeURIComponent(value)));
  current = { name: viewName, leave: null };
  const shown = current;
  Promise.resolve(view.show(root, params, onNewMessages))
    .then((leave) => { shown.leave = leave; })
    .catch((error) => root.append(errorBox(error)));
}

window.addEventListener('hashchange', route);
route();
poll();
setInterval(poll, kPollMilliseconds);
