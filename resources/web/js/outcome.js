// Whether "Refresh" or "Read history" changed anything the page shows. An action with no
// visible result looks like a button that did nothing, so the page watches the states after
// the action until the work it started has ended and, when what it shows is the same as
// before, says briefly that nothing changed.
(function (N) {
  'use strict';

  // Per action: is its work under way in a state, and what of the state the user sees.
  const WATCHED = {
    refresh: {
      working: (s) => s.busy || s.initialReading,
      // The sample minus its time: a new read of an unchanged device is no change.
      seen: (s) => {
        const sample = s.sample ? { ...s.sample } : undefined;
        if (sample) delete sample.observedAt;
        return JSON.stringify([s.connected, s.serial, s.message, sample, s.settings, s.estimatedUses]);
      },
    },
    history: {
      working: (s) => s.readingHistory || s.analyzing,
      seen: (s) => JSON.stringify([s.history, s.archiveCount, s.directoryCount, s.observations, s.historyError]),
    },
  };
  // Work that never shows up in a state (the action was dropped) ends the watch after this.
  const GIVE_UP_MS = 20000;

  let watch;

  // The user started `action` while the page showed `state`: true when it is watched.
  function start(action, state) {
    const w = WATCHED[action];
    if (!w || !state) return false;
    watch = { action, before: w.seen(state), working: false, since: Date.now() };
    return true;
  }

  // A new state arrived: the action whose work has just ended with nothing changed, if any.
  function observe(state, now = Date.now()) {
    if (!watch) return undefined;
    if (now - watch.since > GIVE_UP_MS) { watch = undefined; return undefined; }
    const w = WATCHED[watch.action];
    if (w.working(state)) { watch.working = true; return undefined; }
    if (!watch.working) return undefined;
    const { action, before } = watch;
    watch = undefined;
    return w.seen(state) === before ? action : undefined;
  }

  // Whether the page waits for the end of the work the user started with `action`.
  function watching(action) {
    return Boolean(watch && watch.action === action);
  }

  N.outcome = { start, observe, watching };
})(window.NimbraPage = window.NimbraPage || {});
