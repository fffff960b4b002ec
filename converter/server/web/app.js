// The dashboard: one page, views chosen by the address's #fragment, and a poller that tells
// the open view about messages archived since it last looked.
//
// Each visit of a view gets its own container and its own AbortController. Leaving aborts the
// view's requests, runs what it registered with onLeave (timers, charts) and detaches its
// container; a view checks its signal after every await, so an answer that arrives late
// never lands on the page that followed.
import * as overview from './overview.js';
import * as series from './series.js';
import * as track from './track.js';
import * as messages from './messages.js';
import * as message from './message.js';
import * as alerts from './alerts.js';
import * as fleet from './fleet.js';
import * as health from './health.js';
import { el, getJson, errorBox } from './dom.js';
import { forgetBuoys } from './store.js';

const kPollMilliseconds = 2000;
const views = { overview, series, track, messages, message, alerts, fleet, health };
let current = null;  // { controller, listeners, leaves }
let newestId = 0;

async function poll() {
  const live = document.getElementById('live');
  try {
    const page = await getJson(`/api/messages?after=${newestId}&limit=100`);
    if (page.messages.length > 0) {
      const first = newestId === 0;
      newestId = Math.max(newestId, ...page.messages.map((m) => m.id));
      if (!first) {
        forgetBuoys();
        for (const listener of current?.listeners ?? []) {
          Promise.resolve(listener(page.messages)).catch(() => {});
        }
      }
    }
    live.className = 'live ok';
  } catch (error) {
    live.className = 'live down';
    live.title = String(error.message || error);
  }
}

function leave(visit) {
  visit.controller.abort();
  visit.listeners.clear();
  for (const done of visit.leaves) done();
}

function route() {
  const [name, ...rest] = location.hash.replace(/^#\/?/, '').split('/');
  const [viewName, query] = (name || 'overview').split('?');
  const view = views[viewName] || overview;
  if (current) leave(current);
  for (const link of document.querySelectorAll('nav a')) {
    link.classList.toggle('active', link.dataset.view === viewName);
  }
  const root = el('section', { class: 'page', 'data-view': viewName });
  document.getElementById('view').replaceChildren(root);
  const params = new URLSearchParams(query || '');
  rest.forEach((value, i) => params.set(`arg${i}`, decodeURIComponent(value)));
  const visit = { controller: new AbortController(), listeners: new Set(), leaves: [] };
  current = visit;
  const { signal } = visit.controller;
  const context = {
    root, params, signal,
    onLeave: (done) => visit.leaves.push(done),
    onNewMessages: (listener) => visit.listeners.add(listener),
  };
  Promise.resolve().then(() => view.show(context)).catch((error) => {
    if (!signal.aborted) root.append(errorBox(error));
  });
}

window.addEventListener('hashchange', route);
route();
poll();
setInterval(poll, kPollMilliseconds);
