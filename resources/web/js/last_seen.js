// What the page last knew of a device after it went away. The program's screen state drops
// a device's data as soon as it is no longer connected; the page keeps, in memory only, the
// device's data from its connected states (battery, the chart's samples, history counts and
// observations, the serial as masked on screen) with the time it was last seen, so the user
// still sees it, greyed, until a device is connected again. A reload starts without it: the
// window is not expected to reload, and nothing of the device is written anywhere by the page.
//
// A connected state for another serial drops what was kept at once; a connection's first read
// replaces it, and the rest of that connection adds to it. Shown only while no device is
// connected.
(function (N) {
  'use strict';
  const { h } = N.dom;
  const { t } = N.i18n;
  const F = N.format;

  // Screen-state keys kept; every one describes the device itself.
  const KEPT = ['sample', 'recent', 'history', 'archiveCount', 'directoryCount', 'observations', 'estimatedUses'];

  function present(s, key) {
    return key === 'recent' ? s.recent.length > 0 : s[key] !== undefined;
  }

  function create() {
    let kept;             // { serial, ...KEPT } of the last device with a serial on screen
    let connected = false;
    let renewed = false;  // this connection's first read has replaced what was kept
    let seenAt;           // ms since 1970: when the last connected state ended

    // `s`: a normalised screen state; `nowMs`: its arrival.
    function observe(s, nowMs) {
      if (!s.connected) {
        if (connected) seenAt = nowMs;
        connected = false;
        renewed = false;
        return;
      }
      connected = true;
      // Without a serial the page cannot tell which device this is: nothing is taken from it.
      if (s.serial === undefined) return;
      if (kept && kept.serial !== s.serial) kept = undefined;
      // The serial is masked, so two devices may look alike: a connection's first read starts
      // afresh, and only its own later states fill in what it had not read yet.
      if (!renewed) {
        if (s.sample === undefined) return;
        kept = { serial: s.serial };
        renewed = true;
      }
      for (const key of KEPT) if (present(s, key)) kept[key] = s[key];
    }

    // The kept data with its time, for a state without a connected device; otherwise none.
    function shown(s) {
      if (s.connected || !kept || seenAt === undefined) return undefined;
      return { ...kept, seenAt };
    }

    return { observe, shown };
  }

  // "Last seen 14:32" (with the date when not today) over the kept data; `withSerial` adds
  // the serial as it was masked on screen.
  function note(last, withSerial) {
    const today = new Date(last.seenAt).toDateString() === new Date().toDateString();
    const at = today ? F.time(last.seenAt / 1000) : F.dateTime(last.seenAt / 1000);
    return h('div', { class: 'last-seen-note', role: 'note' },
      h('p', { class: 'last-seen-title' },
        h('span', { 'data-role': 'last-seen-time', text: t('lastSeen.at', { time: at }) }),
        withSerial && last.serial !== undefined
          ? h('span', { class: 'mono', 'data-role': 'last-seen-serial' }, last.serial) : null),
      h('p', { class: 'muted small', text: t('lastSeen.body') }));
  }

  N.lastSeen = { create, note };
})(window.NimbraPage = window.NimbraPage || {});
