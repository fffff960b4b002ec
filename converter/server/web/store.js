// What several views show, fetched once and shared: the configuration and the buoys. Views
// wait on these promises and check their own signal afterwards; one view leaving never
// cancels a fetch another view waits on.
import { getJson } from './dom.js';
import { defaults } from './config.js';

let configPromise = null;
let buoysPromise = null;

// The server's /api/config over the page's own defaults: what the server states wins, field
// by field; a server without /api/config leaves the defaults.
function merged(served) {
  const fields = { ...defaults.fields };
  for (const [type, byField] of Object.entries(served.fields || {})) {
    fields[type] = { ...fields[type] };
    for (const [name, facts] of Object.entries(byField)) fields[type][name] = { ...fields[type][name], ...facts };
  }
  return { ...defaults, ...served, fields };
}

export function config() {
  if (!configPromise) {
    configPromise = getJson('/api/config').then(merged, () => defaults);
  }
  return configPromise;
}

// The buoys with their latest values. `fresh` asks the server again (the overview does, for
// ages and late marks); the answer then serves every other view too.
export function buoys({ fresh = false } = {}) {
  if (fresh || !buoysPromise) {
    const asked = getJson('/api/buoys');
    buoysPromise = asked;
    asked.catch(() => { if (buoysPromise === asked) buoysPromise = null; });
  }
  return buoysPromise;
}

// New messages may bring a new buoy or new latest values.
export function forgetBuoys() {
  buoysPromise = null;
}
