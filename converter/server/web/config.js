// What the page knows about the buoy's data, in one place: the fit band of the dissipation
// fit, the buoy name of messages that came without an IMEI, and each field's label and unit.
// The server's /api/config may state any of these in the same shape (fit_band_hz: [low, high],
// files_buoy, fields: { type: { field: { label, unit } } }); what it states wins (store.js).

// A field as people read it: a label and the unit ('1' for a pure number).
const field = (label, unit, more = {}) => ({ label, unit, ...more });
// The weather stations' statistics over their averaging window: a mean and its spread.
const meanAndStd = (name, label, unit) => ({
  [`${name}Mean`]: field(label, unit),
  [`${name}STD`]: field(`${label} std`, unit),
});
const position = { Lat: field('Latitude', '°N'), Lon: field('Longitude', '°E') };
const wind = { ...meanAndStd('WD', 'Wind direction', '°'), ...meanAndStd('WS', 'Wind speed', 'm/s') };
// The wave sensors' bulk figures, where they were and their spectrum; `frequency` is the
// name each sensor gives the spectrum's frequencies.
const waves = (frequency) => ({
  Hs: field('Significant wave height', 'm'),
  Tp: field('Peak period', 's'),
  Dp: field('Peak direction', '°'),
  ...position,
  E: field('E', 'm²/Hz'),
  [frequency]: field('f', 'Hz'),
});

export const defaults = {
  // The inertial subrange of the dissipation fit, both bounds exclusive as in the library.
  fit_band_hz: [2.0, 4.9],
  // Messages from a folder of files without an IMEI in their names share this buoy.
  files_buoy: 'files',
  // Per record type and field. Units as the instruments deliver them; where the logger's
  // configuration decides, the unit says so.
  fields: {
    IMU: waves('f'),
    Ellipse: waves('F'),
    PB200: {
      ...wind,
      ...position,
      Year: field('Year', '1'),
      Month: field('Month', '1'),
      Day: field('Day', '1'),
      Seconds: field('Seconds of day', 's'),
      ...meanAndStd('AT', 'Air temperature', '°C'),
      ...meanAndStd('BP', 'Pressure', 'hPa'),
      ...meanAndStd('COG', 'Course over ground', '°'),
    },
    V536: {
      ...wind,
      ...meanAndStd('AT', 'Air temperature', '°C'),
      ...meanAndStd('RH', 'Relative humidity', '%'),
      ...meanAndStd('BP', 'Pressure', 'hPa'),
      RainAcc: field('Rain accumulation', 'mm'),
      RainInt: field('Rain intensity', 'mm/h'),
    },
    Y81000: {
      Ustar: field('Friction velocity u*', 'm/s'),
      Epsilon: field('Dissipation rate ε', 'm²/s³', { log: true }),
      MeanU: field('Mean u', 'm/s'),
      MeanV: field('Mean v', 'm/s'),
      MeanW: field('Mean w', 'm/s'),
      MeanTemp: field('Mean sonic temperature', 'as logged (°C or K)'),
      Anisotropy: field('Anisotropy', '1'),
      Quality: field('Quality', '1'),
      Freq: field('f', 'Hz'),
      Tke: field('Tke', 'm²/s²/Hz'),
    },
    ACS: {
      'Conductivity mean': field('Conductivity', 'as configured'),
      'Temp mean': field('Water temperature', '°C'),
      'Salinity mean': field('Salinity', 'PSU'),
    },
    ECO: Object.fromEntries([2, 4, 6].map((c) => [`Column ${c} mean`, field(`ECO column ${c}`, 'counts')])),
    ACO: { 'O2 Concentration mean': field('O₂ concentration', 'as configured') },
    SWL: { 'O2 FDOM mean': field('FDOM', 'as configured') },
    'Miscellaneous values': { 'Battery voltage': field('Battery', 'V') },
    Camera: { 'Image size': field('Image size', 'bytes'), 'Image offset': field('Image offset', 'bytes') },
    Signature: { 'Burst cells': field('Burst cells', '1'), 'Avg cells': field('Average cells', '1') },
  },
};

// The fields the Time series view offers as buttons.
export const usualFields = [
  ['IMU', 'Hs'], ['IMU', 'Tp'], ['IMU', 'Dp'], ['PB200', 'WSMean'], ['PB200', 'WDMean'],
  ['PB200', 'BPMean'], ['Y81000', 'Epsilon'], ['Y81000', 'Ustar'],
  ['Miscellaneous values', 'Battery voltage'],
];

// A field's label and unit under a configuration, its own name where nothing is known.
export function describe(config, type, field) {
  const known = config.fields?.[type]?.[field];
  return { label: known?.label ?? field, unit: known?.unit ?? 'unit unknown', log: Boolean(known?.log) };
}

// "Wind speed (m/s)"; a pure number gets no unit in brackets.
export function withUnit(text, unit) {
  return unit === '1' ? text : `${text} (${unit})`;
}

// The quality-control flags by number, { flag, name, colour } as /api/config states them (a
// colour only for the flags drawn apart: SUSPECT and FAIL); empty from a server without them.
export function qcFlags(config) {
  return new Map((config.qc_flags || []).map((f) => [f.flag, f]));
}

// "SUSPECT (3)"; a number the configuration does not name stays a number.
export function flagText(flags, flag) {
  const known = flags.get(flag);
  return known ? `${known.name} (${flag})` : String(flag);
}
