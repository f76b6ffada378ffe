// History module: catalogue and archive counts, analysis progress and the
// server's observations as a timeline in local time.
(function (N) {
  'use strict';
  const { h } = N.dom;
  const { t } = N.i18n;
  const { card, button, notice, facts, spinner } = N.ui;
  const F = N.format;

  function progress(s) {
    const lines = [];
    if (s.readingHistory) lines.push(t('history.reading'));
    if (s.analyzing) lines.push(t('history.analyzing'));
    if (!lines.length) return null;
    return h('div', { class: 'progress', role: 'status', 'data-role': 'history-progress' },
      lines.map((l) => h('p', null, spinner(), h('span', { text: l }))));
  }

  // Newest first by the server's time; undated observations keep their order at the end.
  function sortedObservations(list) {
    return list
      .map((o, i) => ({ o, i, d: F.toDate(o.candidateTime) }))
      .sort((a, b) => (b.d ? b.d.getTime() : -Infinity) - (a.d ? a.d.getTime() : -Infinity) || a.i - b.i)
      .map((x) => x.o);
  }

  function timeline(s) {
    if (s.observations === undefined || s.observations.length === 0) {
      return h('p', { class: 'muted', text: t('history.noObservations') });
    }
    return h('ol', { class: 'timeline', 'data-role': 'observations' },
      sortedObservations(s.observations).map((o) => h('li', { class: 'timeline-item' },
        h('span', { class: 'timeline-dot', 'aria-hidden': 'true' }),
        h('div', { class: 'timeline-body' },
          h('p', { class: 'timeline-time' },
            h('time', { datetime: typeof o.candidateTime === 'string' ? o.candidateTime : undefined }, F.dateTime(o.candidateTime))),
          h('p', { class: 'timeline-kind' },
            h('span', { class: 'kind' }, typeof o.kind === 'string' ? o.kind : '—'),
            typeof o.eventKind === 'string' ? h('span', { class: 'event-kind' }, o.eventKind) : null),
          h('p', { class: 'muted small' },
            [typeof o.position === 'number' ? t('history.position', { n: o.position }) : null,
              typeof o.tailEntries === 'number' ? t('history.tail', { n: o.tailEntries }) : null]
              .filter(Boolean).join(' · '))))));
  }

  function catalogue(entries) {
    if (!entries || entries.length === 0) return null;
    const cell = (v) => h('td', null, typeof v === 'number' ? String(v) : '—');
    return h('details', { class: 'catalogue' },
      h('summary', { text: t('history.catalogue', { n: entries.length }) }),
      h('div', { class: 'table-wrap' },
        h('table', null,
          h('thead', null, h('tr', null,
            ['directory', 'position', 'size', 'format'].map((c) => h('th', { scope: 'col', text: t(`history.col.${c}`) })))),
          h('tbody', null, entries.map((e) => h('tr', null,
            cell(e.directory), cell(e.position), cell(e.size), cell(e.format)))))));
  }

  // While no device is connected, what the program no longer sends comes from the device
  // last connected (last_seen.js), greyed; its records stay browsable.
  function shownData(s, ctx) {
    const last = ctx.lastSeen;
    if (!last) return { d: s, last };
    const pick = (key) => (s[key] !== undefined ? s[key] : last[key]);
    const d = {
      history: pick('history'), archiveCount: pick('archiveCount'),
      directoryCount: pick('directoryCount'), observations: pick('observations'),
    };
    return { d, last };
  }

  function render(s, ctx) {
    const analysis = ctx.services.analysis;
    const can = F.abilities(s);
    const { d, last } = shownData(s, ctx);
    const read = button(t('history.read'), 'history-read', () => ctx.post({ action: 'history' }),
      { primary: true, disabled: !can.canReadHistory });
    const count = (n) => (n === undefined ? '—' : F.integer(n));
    return [
      h('section', { class: 'card' },
        h('div', { class: 'card-head' },
          h('p', { class: 'muted', text: t(analysis ? 'history.intro' : 'history.introLocal') }),
          analysis ? h('p', { class: 'muted small', 'data-role': 'history-privacy', text: t('history.privacy') }) : null,
          read),
        analysis ? null : notice('info', t('history.noAnalysis.title'),
          h('p', { 'data-role': 'no-analysis', text: t('history.noAnalysis.body') })),
        N.ui.unchangedNote(ctx, 'history', t('history.unchanged')),
        progress(s),
        s.historyError !== undefined
          ? notice('error', t('history.error'), h('p', { 'data-role': 'history-error' }, N.programText.show(s.historyError)))
          : null,
        last ? N.lastSeen.note(last, false) : null,
        h('div', { class: ['history-data', last && 'stale'], 'data-role': last ? 'last-seen' : undefined },
          facts([
            [t('history.entries'), d.history === undefined ? '—' : F.integer(d.history.length)],
            [t('history.archive'), count(d.archiveCount)],
            [t('history.directories'), count(d.directoryCount)],
          ], 'facts-row'),
          s.history === undefined && s.connected && !s.readingHistory
            ? h('p', { class: 'muted small', text: t('history.notRead') }) : null,
          catalogue(d.history))),
      // Observations kept from a build that had a server are still shown.
      analysis || (d.observations && d.observations.length)
        ? card(t('history.timeline'), { class: last && 'stale' }, timeline(d)) : null,
    ];
  }

  N.modules = N.modules || {};
  N.modules.history = { render };
})(window.NimbraPage = window.NimbraPage || {});
