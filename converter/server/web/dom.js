// Building the page from data: every text goes in through textContent or an attribute value,
// never as markup, so a file name or a report line can never become an element or a script.

export function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (value === undefined || value === null || value === false) continue;
    if (name === 'class') node.className = value;
    else if (name === 'text') node.textContent = value;
    else if (name.startsWith('on')) node.addEventListener(name.slice(2), value);
    else node.setAttribute(name, value === true ? '' : String(value));
  }
  for (const child of children.flat(Infinity)) {
    if (child === undefined || child === null || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

// `signal` cancels the request when the view that asked is left.
export async function getJson(path, signal) {
  const response = await fetch(path, { credentials: 'same-origin', signal });
  if (!response.ok) throw new Error(`${path}: ${response.status} ${(await response.text()).trim()}`);
  return response.json();
}

export async function getText(path, signal) {
  const response = await fetch(path, { credentials: 'same-origin', signal });
  if (!response.ok) throw new Error(`${path}: ${response.status}`);
  return response.text();
}

export function query(params) {
  const q = new URLSearchParams();
  for (const [name, value] of Object.entries(params)) {
    if (value !== undefined && value !== null && value !== '') q.set(name, value);
  }
  const text = q.toString();
  return text ? `?${text}` : '';
}

// Every time on the page is UTC, as the archive and the buoy keep it: "2025-12-07 09:33:20 UTC"
// from the archive's ISO text or from seconds since 1970, whatever the browser's own zone.
export function formatTime(time) {
  if (time === null || time === undefined) return '—';
  const date = typeof time === 'number' ? new Date(time * 1000) : new Date(time);
  if (Number.isNaN(date.getTime())) return String(time);
  return `${date.toISOString().slice(0, 19).replace('T', ' ')} UTC`;
}

export function formatAge(seconds) {
  if (seconds === null || seconds === undefined) return '';
  const s = Math.max(0, Math.round(seconds));
  if (s < 120) return `${s} s ago`;
  if (s < 7200) return `${Math.round(s / 60)} min ago`;
  if (s < 172800) return `${Math.round(s / 3600)} h ago`;
  return `${Math.round(s / 86400)} days ago`;
}

export function formatNumber(value, digits = 4) {
  return typeof value === 'number' ? String(Number(value.toPrecision(digits))) : '—';
}

// "54.0816°N, 6.00219°E", "17.2°S, 176.3°W".
export function formatPosition(lat, lon, digits = 6) {
  const part = (v, positive, negative) => `${formatNumber(Math.abs(v), digits)}°${v < 0 ? negative : positive}`;
  return `${part(lat, 'N', 'S')}, ${part(lon, 'E', 'W')}`;
}

export function errorBox(error) {
  return el('p', { class: 'error', text: String(error.message || error) });
}

// Newest first by the time the message states, then by arrival; messages without a time last.
export function byTimeNewestFirst(a, b) {
  const [ta, tb] = [a.time ?? '', b.time ?? ''];  // the archive's ISO text sorts as it reads
  if (ta !== tb) return ta < tb ? 1 : -1;
  return b.id - a.id;
}

export function buoyPicker(buoys, selected, onChange) {
  return el('select', { id: 'buoy', onchange: (e) => onChange(e.target.value) },
    el('option', { value: '', text: 'all buoys' }),
    buoys.map((b) => el('option', { value: b.buoy, selected: b.buoy === selected,
      text: b.name ? `${b.name} (${b.buoy})` : b.buoy })));
}

// A round swatch of a colour the server states, filled or as a ring; set through the style
// object, as the page's security policy refuses style attributes.
export function swatch(colour, { ring = false, line = false } = {}) {
  const node = el('span', { class: `swatch${ring ? ' swatch-ring' : ''}${line ? ' swatch-line' : ''}` });
  if (colour && ring) node.style.borderColor = colour;
  else if (colour) node.style.background = colour;
  return node;
}
