// What the page knows about the buoy's data, in one place: the fit band of the dissipation
// fit, the buoy name of messages that came without an IMEI, and each field's label and unit.
// The server's /api/config may state any of these in the same shape (fit_band_hz: [low, high],
// files_buoy, fields: { type: { field: { label, unit } } }); what it states wins (store.js).

export const defaults = {
  // The inertial subrange of the dissipation fit, both bounds exclusive as in the library.
  fit_band_hz: [2.0, 4.9],
  // Messages from a folder of files without an IMEI in their names share this buoy.
  files_buoy: 'files',
  // Per record type and field: a label for people and the unit ('1' for a pure number).
  // Units as the instruments deliver them; where the logger's configuration decides, the
  // unit says so.
  fields: {
    IMU: {
      Hs: { label: 'Significant wave height', unit: 'm' },
      Tp: { label: 'Peak period', unit: 's' },
      Dp: { label: 'Peak direction', unit: '°' },
      Lat: { label: 'Latitude', unit: '°N' },
      Lon: { label: 'Longitude', unit: '°E' },
      E: { label: 'E', unit: 'm²/Hz' },
      f: { label: 'f', unit: 'Hz' },
    },
    Ellipse: {
      Hs: { label: 'Significant wave height', unit: 'm' },
      Tp: { label: 'Peak period', unit: 's' },
      Dp: { label: 'Peak direction', unit: '°' },
      Lat: { label: 'Latitude', unit: '°N' },
      Lon: { label: 'Longitude', unit: '°E' },
      E: { label: 'E', unit: 'm²/Hz' },
      F: { label: 'f', unit: 'Hz' },
    },
    PB200: {
      WDMean: { label: 'Wind direction', unit: '°' },
      WDSTD: { label: 'Wind direction std', unit: '°' },
      WSMean: { label: 'Wind speed', unit: 'm/s' },
      WSSTD: { label: 'Wind speed std', unit: 'm/s' },
      Lat: { label: 'Latitude', unit: '°N' },
      Lon: { label: 'Longitude', unit: '°E' },
      Year: { label: 'Year', unit: '1' },
      Month: { label: 'Month', unit: '1' },
      Day: { label: 'Day', unit: '1' },
      Seconds: { label: 'Seconds of day', unit: 's' },
      ATMean: { label: 'Air temperature', unit: '°C' },
      ATSTD: { label: 'Air temperature std', unit: '°C' },
      BPMean: { label: 'Pressure', unit: 'hPa' },
      BPSTD: { label: 'Pressure std', unit: 'hPa' },
      COGMean: { label: 'Course over ground', unit: '°' },
      COGSTD: { label: 'Course over ground std', unit: '°' },
    },
    V536: {
      WDMean: { label: 'Wind direction', unit: '°' },
      WDSTD: { label: 'Wind direction std', unit: '°' },
      WSMean: { label: 'Wind speed', unit: 'm/s' },
      WSSTD: { label: 'Wind speed std', unit: 'm/s' },
      ATMean: { label: 'Air temperature', unit: '°C' },
      ATSTD: { label: 'Air temperature std', unit: '°C' },
      RHMean: { label: 'Relative humidity', unit: '%' },
      RHSTD: { label: 'Relative humidity std', unit: '%' },
      BPMean: { label: 'Pressure', unit: 'hPa' },
      BPSTD: { label: 'Pressure std', unit: 'hPa' },
      RainAcc: { label: 'Rain accumulation', unit: 'mm' },
      RainInt: { label: 'Rain intensity', unit: 'mm/h' },
    },
    Y81000: {
      Ustar: { label: 'Friction velocity u*', unit: 'm/s' },
      Epsilon: { label: 'Dissipation rate ε', unit: 'm²/s³', log: true },
      MeanU: { label: 'Mean u', unit: 'm/s' },
      MeanV: { label: 'Mean v', unit: 'm/s' },
      MeanW: { label: 'Mean w', unit: 'm/s' },
      MeanTemp: { label: 'Mean sonic temperature', unit: 'as logged (°C or K)' },
      Anisotropy: { label: 'Anisotropy', unit: '1' },
      Quality: { label: 'Quality', unit: '1' },
      Freq: { label: 'f', unit: 'Hz' },
      Tke: { label: 'Tke', unit: 'm²/s²/Hz' },
    },
    ACS: {
      'Conductivity mean': { label: 'Conductivity', unit: 'as configured' },
      'Temp mean': { label: 'Water temperature', unit: '°C' },
      'Salinity mean': { label: 'Salinity', unit: 'PSU' },
    },
    ECO: {
      'Column 2 mean': { label: 'ECO column 2', unit: 'counts' },
      'Column 4 mean': { label: 'ECO column 4', unit: 'counts' },
      'Column 6 mean': { label: 'ECO column 6', unit: 'counts' },
    },
    ACO: { 'O2 Concentration mean': { label: 'O₂ concentration', unit: 'as configured' } },
    SWL: { 'O2 FDOM mean': { label: 'FDOM', unit: 'as configured' } },
    'Miscellaneous values': { 'Battery voltage': { label: 'Battery', unit: 'V' } },
    Camera: {
      'Image size': { label: 'Image size', unit: 'bytes' },
      'Image offset': { label: 'Image offset', unit: 'bytes' },
    },
    Signature: {
      'Burst cells': { label: 'Burst cells', unit: '1' },
      'Avg cells': { label: 'Average cells', unit: '1' },
    },
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
