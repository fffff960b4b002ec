// What every chart on the page shares: a time axis in UTC whatever the browser's zone, log
// axes labelled at the decades, and zooming with the wheel and panning with Shift-drag.
import uPlot from './vendor/uPlot.esm.js';

// Ticks on UTC's own days and hours rather than the browser's.
export const utcDate = (seconds) => uPlot.tzDate(new Date(seconds * 1000), 'Etc/UTC');

// Tick labels for a time axis: the clock (24-hour, UTC) with the date under the first tick of
// each day, or the date alone when ticks are whole days apart.
export function utcTickLabels(ticks, increment) {
  let shownDay = null;
  return ticks.map((t) => {
    if (t === null || t === undefined) return '';
    const iso = new Date(t * 1000).toISOString();
    const day = iso.slice(0, 10);
    if (increment >= 86400) return day;
    const clock = iso.slice(11, increment < 60 ? 19 : 16);
    const label = day === shownDay ? clock : `${clock}\n${day}`;
    shownDay = day;
    return label;
  });
}

export const timeAxis = {
  label: 'Time (UTC)',
  values: (u, ticks, axis, space, increment) => utcTickLabels(ticks, increment),
};

// A log axis labels its decades only; the ticks between stay unlabelled.
export function logTickLabels(ticks) {
  return ticks.map((v) => {
    if (!(v > 0)) return '';
    const exponent = Math.round(Math.log10(v));
    return Math.abs(Math.log10(v) - exponent) < 1e-9 ? `1e${exponent}` : '';
  });
}

// A log axis from the decade above the largest value down by at most `decades`: a wave
// spectrum's low-frequency flank falls many more decades than anyone reads.
export function decadesBelowPeak(decades) {
  return (u, min, max) => {
    if (!(max > 0)) return [0.1, 1];
    const top = 10 ** Math.ceil(Math.log10(max));
    return [Math.max(10 ** Math.floor(Math.log10(min > 0 ? min : max)), top / 10 ** decades), top];
  };
}

// Non-positive values have no place on a log axis: they become gaps.
export const positiveOrNull = (values) => values.map((v) => (v > 0 ? v : null));

export function wheelZoomAndPan(u) {
  u.over.addEventListener('wheel', (e) => {
    e.preventDefault();
    const { min, max } = u.scales.x;
    const at = u.posToVal(e.offsetX, 'x');
    const factor = e.deltaY < 0 ? 0.75 : 1 / 0.75;
    u.setScale('x', { min: at - (at - min) * factor, max: at + (max - at) * factor });
  }, { passive: false });
  u.over.addEventListener('mousedown', (e) => {
    if (!e.shiftKey) return;
    e.stopPropagation();
    const start = e.clientX;
    const { min, max } = u.scales.x;
    const perPixel = (max - min) / u.bbox.width * devicePixelRatio;
    const move = (m) => {
      const shift = (m.clientX - start) * perPixel;
      u.setScale('x', { min: min - shift, max: max - shift });
    };
    const up = () => { removeEventListener('mousemove', move); removeEventListener('mouseup', up); };
    addEventListener('mousemove', move);
    addEventListener('mouseup', up);
  }, true);
}
