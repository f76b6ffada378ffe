// Reading the screen state defensively and formatting its values.
(function (N) {
  'use strict';

  const SETTING_IDS = ['light', 'flex', 'auto', 'gesture', 'v0', 'v1', 'v2', 'v3'];
  const MODULES = ['home', 'history', 'settings', 'care', 'preferences'];
  const MAX_CONNECTION_ATTEMPTS = 5;

  const isObj = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);
  const str = (v) => (typeof v === 'string' ? v : undefined);
  const num = (v) => (typeof v === 'number' && Number.isFinite(v) ? v : undefined);
  const list = (v) => (Array.isArray(v) ? v.filter(isObj) : []);
  const bool = (v) => v === true;

  // A missing or mistyped key reads as absent, so a partial state still draws.
  function normalize(raw) {
    const s = isObj(raw) ? raw : {};
    const prefs = isObj(s.preferences) ? s.preferences : {};
    const update = isObj(s.appUpdate) ? s.appUpdate : {};
    const settings = {};
    if (isObj(s.settings)) {
      for (const [k, v] of Object.entries(s.settings)) if (typeof v === 'boolean') settings[k] = v;
    }
    return {
      preferences: {
        language: ['system', 'zh', 'en'].includes(prefs.language) ? prefs.language : 'system',
        theme: ['system', 'light', 'dark'].includes(prefs.theme) ? prefs.theme : 'system',
      },
      effectiveLanguage: s.effectiveLanguage === 'zh' ? 'zh' : 'en',
      connected: bool(s.connected),
      busy: bool(s.busy),
      initialReading: bool(s.initialReading),
      connectionFailed: bool(s.connectionFailed),
      connectionAttempt: num(s.connectionAttempt),
      cablePresent: bool(s.cablePresent),
      serial: str(s.serial),
      message: str(s.message) ?? '',
      sample: isObj(s.sample) ? s.sample : undefined,
      settings,
      recent: list(s.recent),
      storageError: str(s.storageError),
      history: Array.isArray(s.history) ? list(s.history) : undefined,
      archiveCount: num(s.archiveCount),
      directoryCount: num(s.directoryCount),
      historyError: str(s.historyError),
      observations: Array.isArray(s.observations) ? list(s.observations) : undefined,
      analyzing: bool(s.analyzing),
      readingHistory: bool(s.readingHistory),
      estimatedUses: num(s.estimatedUses),
      sessionStartedAt: num(s.sessionStartedAt),
      resetTarget: str(s.resetTarget),
      resetStatus: str(s.resetStatus),
      resetWaiting: bool(s.resetWaiting),
      settingRecords: list(s.settingRecords),
      settingJournalError: bool(s.settingJournalError),
      maintenanceRecords: list(s.maintenanceRecords),
      appUpdate: {
        version: str(update.version) ?? '—',
        build: str(update.build) ?? '—',
        phase: str(update.phase) ?? 'idle',
        availableVersion: str(update.availableVersion),
      },
      accessFix: isObj(s.accessFix) ? {
        ruleInstalled: bool(s.accessFix.ruleInstalled),
        commands: (Array.isArray(s.accessFix.commands) ? s.accessFix.commands : []).filter((c) => typeof c === 'string'),
      } : undefined,
      // Sending stays on unless the program says it is off; the notice shows only when asked.
      usageData: {
        enabled: !(isObj(s.usageData) && s.usageData.enabled === false),
        notice: isObj(s.usageData) && s.usageData.notice === true,
      },
    };
  }

  // Dates arrive as ISO 8601 text inside records; plain numbers are seconds
  // since 1970 (sample times, session and maintenance start).
  function toDate(value) {
    if (typeof value === 'number' && Number.isFinite(value)) return new Date(value * 1000);
    if (typeof value === 'string') {
      const d = new Date(value);
      if (!Number.isNaN(d.getTime())) return d;
    }
    return undefined;
  }

  function locale() {
    return N.i18n.language === 'zh' ? 'zh-CN' : 'en-GB';
  }

  function dateTime(value) {
    const d = toDate(value);
    if (!d) return '—';
    return d.toLocaleString(locale(), {
      year: 'numeric', month: 'short', day: 'numeric', hour: '2-digit', minute: '2-digit',
    });
  }

  function time(value) {
    const d = toDate(value);
    if (!d) return '—';
    return d.toLocaleTimeString(locale(), { hour: '2-digit', minute: '2-digit' });
  }

  function integer(n) {
    return typeof n === 'number' ? n.toLocaleString(locale()) : '—';
  }

  // What the controller would accept right now, so disabled controls match
  // the actions it would otherwise drop.
  function abilities(s) {
    const ready = s.connected && !s.initialReading && !s.connectionFailed && !s.resetWaiting;
    return {
      canRefresh: !s.initialReading && !s.resetWaiting,
      canDisconnect: ready && !s.busy,
      canReadHistory: ready && !s.busy && !s.analyzing && !s.readingHistory,
      canSetting: ready && !s.busy,
      canReset: ready && !s.busy && s.resetTarget !== undefined && s.sessionStartedAt === undefined,
    };
  }

  N.format = {
    SETTING_IDS, MODULES, MAX_CONNECTION_ATTEMPTS,
    normalize, toDate, dateTime, time, integer, abilities,
  };
})(window.NimbraPage = window.NimbraPage || {});
