// Screen states as the program sends them: every key in its fixed order,
// optional keys left out when absent, nested dates as ISO 8601 text.
export const STATE_KEYS = [
  'preferences', 'effectiveLanguage', 'connected', 'busy', 'initialReading', 'connectionFailed',
  'connectionAttempt', 'cablePresent', 'serial', 'message', 'sample', 'settings', 'recent',
  'storageError', 'history', 'archiveCount', 'directoryCount', 'historyError', 'observations',
  'analyzing', 'readingHistory', 'estimatedUses', 'sessionStartedAt', 'resetTarget', 'resetStatus',
  'resetWaiting', 'settingRecords', 'settingJournalError', 'maintenanceRecords', 'appUpdate',
  'accessFix', 'usageData',
];
export const REQUIRED_KEYS = [
  'preferences', 'effectiveLanguage', 'connected', 'busy', 'initialReading', 'connectionFailed',
  'cablePresent', 'message', 'settings', 'recent', 'analyzing', 'readingHistory', 'resetWaiting',
  'settingRecords', 'settingJournalError', 'maintenanceRecords', 'appUpdate',
];

export const RESET_TARGET = '5B1F0E3A-8C2D-4E7F-9A10-2B3C4D5E6F70';
const NOW = Math.floor(Date.now() / 1000);
const T0 = 1780000000; // a fixed afternoon, so screenshots stay comparable

function ordered(fields) {
  const out = {};
  for (const key of STATE_KEYS) if (fields[key] !== undefined) out[key] = fields[key];
  return out;
}

const SETTINGS = {
  light: true, flex: false, auto: true, gesture: true, v0: true, v1: true, v2: false, v3: true, lock: false,
};

function sample(at, battery, extra = {}) {
  return {
    observedAt: at, battery, voltageADC: 3300 + battery * 9, temperatureRaw: 31,
    processCount: 1482, cumulativePuffCount: 19876, firmware: '150.6.1', engine: '102.6.0',
    settings: SETTINGS, ...extra,
  };
}

const RECENT = Array.from({ length: 14 }, (_, i) => sample(T0 - (13 - i) * 900, Math.max(8, 96 - i * 5 - (i % 3))));

const HISTORY = Array.from({ length: 9 }, (_, i) => ({ directory: i < 6 ? 0 : 1, position: 40 + i, size: 18, format: 18 }));

const OBSERVATIONS = [
  { position: 48, candidateTime: '2026-05-28T09:12:00Z', tailEntries: 3, eventKind: 'stick_completed', kind: 'session' },
  { position: 47, candidateTime: '2026-05-28T07:40:00Z', tailEntries: 2, kind: 'charge' },
  { position: 46, candidateTime: '2026-05-27T21:05:00+08:00', tailEntries: 0, eventKind: 'stick_interrupted', kind: 'session' },
  { position: 45, candidateTime: '2026-05-27T06:55:00Z', tailEntries: 1, kind: 'power_on' },
];

const RECORDS = [
  { id: 'A1B2C3D4-0000-4000-8000-000000000004', time: '2026-05-28T09:30:00Z', action: 'v2', before: { v2: true }, requested: false, result: 'unconfirmed' },
  { id: 'A1B2C3D4-0000-4000-8000-000000000003', time: '2026-05-28T09:10:00Z', action: 'light', before: { light: false }, requested: true, after: { light: true }, result: 'confirmed' },
  { id: 'A1B2C3D4-0000-4000-8000-000000000002', time: '2026-05-27T18:00:00Z', action: 'reset', before: { light: true, flex: false }, after: { light: true, flex: false }, result: 'reconnected' },
  { id: 'A1B2C3D4-0000-4000-8000-000000000001', time: '2026-04-02T08:00:00Z', action: 'reset', result: 'legacy' },
];

const MAINTENANCE = [
  { action: 'reset', startedAt: T0 - 86400 },
  { action: 'diagnostics', startedAt: T0 - 40 * 86400 },
];

const UPDATE = { version: '1.4.2', build: '142', phase: 'current', automatic: true };

// The attached, read and idle device every "connected" fixture starts from.
function connected(fields = {}) {
  return ordered({
    preferences: { language: 'system', theme: 'system' }, effectiveLanguage: 'en',
    connected: true, busy: false, initialReading: false, connectionFailed: false,
    cablePresent: true, serial: 'QW3A••••7K', message: '读取完成 · 10 项有效数据 · 设置 8/8', sample: RECENT[RECENT.length - 1],
    settings: SETTINGS, recent: RECENT, history: HISTORY, archiveCount: 112, directoryCount: 2,
    observations: OBSERVATIONS, analyzing: false, readingHistory: false, estimatedUses: 14,
    resetTarget: RESET_TARGET, resetWaiting: false, settingRecords: RECORDS, settingJournalError: false,
    maintenanceRecords: MAINTENANCE, appUpdate: UPDATE,
    ...fields,
  });
}

function detached(fields = {}) {
  return ordered({
    preferences: { language: 'system', theme: 'system' }, effectiveLanguage: 'en',
    connected: false, busy: false, initialReading: false, connectionFailed: false,
    cablePresent: false, message: '', settings: {}, recent: [], analyzing: false, readingHistory: false,
    resetWaiting: false, settingRecords: RECORDS, settingJournalError: false, maintenanceRecords: MAINTENANCE,
    appUpdate: UPDATE,
    ...fields,
  });
}

const drop = (state, ...keys) => {
  const copy = { ...state };
  for (const k of keys) delete copy[k];
  return copy;
};

export const fixtures = {
  noCable: detached(),
  firstReading: connected({
    busy: true, initialReading: true, connectionAttempt: 2, message: '', sample: undefined, settings: {},
    recent: [], history: undefined, archiveCount: undefined, directoryCount: undefined, observations: undefined,
    estimatedUses: undefined, resetTarget: undefined,
  }),
  connectionFailed: connected({
    connectionFailed: true, message: '无法打开 USB（-13），请退出官方 IQOS 程序后刷新', sample: undefined, settings: {},
    recent: [], history: undefined, archiveCount: undefined, directoryCount: undefined, observations: undefined,
    estimatedUses: undefined, resetTarget: undefined,
  }),
  full: connected({ sessionStartedAt: NOW - 125 }),
  paused: detached({ cablePresent: true, recent: RECENT }),
  powerHint: connected({
    message: '设备可能未开机，请长按按钮后刷新。', sample: { observedAt: T0, firmware: '150.6.1', engine: '102.6.0', settings: {} },
    settings: {}, estimatedUses: undefined, resetTarget: undefined,
  }),
  analyzing: connected({ analyzing: true, readingHistory: false, resetTarget: undefined }),
  readingHistory: connected({ readingHistory: true, history: undefined, observations: [], resetTarget: undefined }),
  historyError: connected({ historyError: '无法读取本机加密历史记录。' }),
  resetOffered: connected(),
  resetRunning: connected({ resetTarget: undefined, resetStatus: 'running', resetWaiting: true }),
  resetAcknowledged: connected({ resetStatus: 'acknowledged' }),
  journalError: connected({ settingJournalError: true }),
  storageError: connected({ storageError: '本次采样未能保存到本机数据库。' }),
  updateDownloading: connected({ appUpdate: { ...UPDATE, phase: 'downloading', availableVersion: '1.5.0 (150)' } }),
  updatePermission: connected({ appUpdate: { ...UPDATE, phase: 'permission', availableVersion: '1.5.0 (150)' } }),
  busy: connected({ busy: true }),
  accessRefused: connected({
    connectionFailed: true, message: '无法打开 USB（-1013），请退出官方 IQOS 程序后刷新', sample: undefined, settings: {},
    recent: [], history: undefined, archiveCount: undefined, directoryCount: undefined, observations: undefined,
    estimatedUses: undefined, resetTarget: undefined,
    accessFix: {
      ruleInstalled: false,
      commands: [
        'sudo install -m 644 /opt/nimbra/share/nimbra/70-nimbra.rules /etc/udev/rules.d/',
        'sudo udevadm control --reload-rules',
        'sudo udevadm trigger --subsystem-match=hidraw --action=change',
      ],
    },
  }),
  usageNotice: connected({ usageData: { enabled: true, notice: true } }),
  usageOff: connected({ usageData: { enabled: false, notice: false } }),
};

export function withLanguage(state, lang) {
  return { ...state, preferences: { ...state.preferences, language: lang }, effectiveLanguage: lang };
}

export function withTheme(state, theme) {
  return { ...state, preferences: { ...state.preferences, theme } };
}

export { drop };

// A QR-like picture in the program's colours, for the sharing card.
export function fakeQr(dark) {
  const fg = dark ? '#f0f0ff' : '#1a1a2b';
  const bg = dark ? '#252b43' : '#f0effa';
  const accent = dark ? '#c4b0ff' : '#4f389c';
  const n = 25;
  let cells = '';
  let seed = 7;
  const rnd = () => { seed = (seed * 16807) % 2147483647; return seed / 2147483647; };
  const finder = (x, y) => x < 7 && y < 7 && !(x > 0 && x < 6 && y > 0 && y < 6 && !(x > 1 && x < 5 && y > 1 && y < 5));
  for (let y = 0; y < n; y++) {
    for (let x = 0; x < n; x++) {
      const inFinder = finder(x, y) || finder(n - 1 - x, y) || finder(x, n - 1 - y);
      const nearFinder = (x < 8 && y < 8) || (x > n - 9 && y < 8) || (x < 8 && y > n - 9);
      if (inFinder || (!nearFinder && rnd() < 0.48)) cells += `<rect x="${12 + x * 5}" y="${12 + y * 5}" width="5" height="5"/>`;
    }
  }
  const svg = `<svg xmlns="http://www.w3.org/2000/svg" width="149" height="162" viewBox="0 0 149 162">`
    + `<rect width="149" height="162" fill="${bg}"/><g fill="${fg}">${cells}</g>`
    + `<text x="74.5" y="154" text-anchor="middle" font-family="sans-serif" font-size="12" font-weight="700" fill="${fg}">`
    + `<tspan font-family="monospace">ni</tspan><tspan fill="${accent}">mbra</tspan></text></svg>`;
  return `data:image/svg+xml;base64,${Buffer.from(svg).toString('base64')}`;
}

export const SHARING = { url: 'https://updates.nimbra.invalid/download', qr: fakeQr(false), qrDark: fakeQr(true) };
