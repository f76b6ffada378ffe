// Care module: module reset with an explicit confirmation, its progress,
// the maintenance records and the state of local storage.
(function (N) {
  'use strict';
  const { h } = N.dom;
  const { t } = N.i18n;
  const { card, button, notice, spinner } = N.ui;
  const F = N.format;

  function resetStatus(s) {
    const out = [];
    if (s.resetStatus !== undefined) {
      const key = `care.status.${s.resetStatus}`;
      const tone = s.resetStatus === 'acknowledged' ? 'ok' : s.resetStatus === 'running' ? 'info' : 'warn';
      out.push(notice(tone, null, h('p', { 'data-role': 'reset-status' },
        N.i18n.has(key) ? t(key) : N.programText.show(s.resetStatus))));
    }
    if (s.resetWaiting) {
      out.push(h('p', { class: 'progress-line', role: 'status', 'data-role': 'reset-waiting' },
        spinner(), h('span', { text: t('care.waiting') })));
    }
    return out;
  }

  function resetControls(s, ctx) {
    const can = F.abilities(s);
    if (s.resetTarget === undefined) {
      // While a reset is under way its progress says enough.
      if (s.resetWaiting || s.resetStatus === 'running') return null;
      // The device's own software, when known, says why it is not offered.
      const own = s.connected && s.sample && typeof s.sample.firmware === 'string' && typeof s.sample.engine === 'string'
        ? ` ${t('care.deviceSoftware', { f: s.sample.firmware, e: s.sample.engine })}` : '';
      return h('p', { class: 'muted small', 'data-role': 'reset-unavailable', text: t('care.resetUnavailable') + own });
    }
    // The confirmation belongs to one connection: a new target starts over.
    if (ctx.local.confirmReset === s.resetTarget && can.canReset) {
      return h('div', { class: 'confirm', role: 'group', 'aria-label': t('care.reset') },
        h('p', { class: 'confirm-text', text: t('care.resetConfirm') }),
        h('div', { class: 'actions' },
          button(t('care.resetNow'), 'care-reset-now', () => {
            ctx.setLocal({ confirmReset: undefined });
            ctx.post({ action: 'reset', target: s.resetTarget });
          }, { danger: true }),
          button(t('care.cancel'), 'care-reset-cancel', () => ctx.setLocal({ confirmReset: undefined }))));
    }
    return h('div', { class: 'actions' },
      button(t('care.resetButton'), 'care-reset', () => ctx.setLocal({ confirmReset: s.resetTarget }, 'care-reset-cancel'),
        { disabled: !can.canReset }),
      s.sessionStartedAt !== undefined ? h('span', { class: 'muted small', text: t('care.resetSession') }) : null);
  }

  function records(list) {
    if (!list.length) return h('p', { class: 'muted', text: t('care.recordsEmpty') });
    return h('ol', { class: 'records', 'data-role': 'maintenance' }, list.map((r) => {
      const key = `care.action.${r.action}`;
      return h('li', { class: 'record' },
        h('span', null, N.i18n.has(key) ? t(key) : String(r.action ?? '—')),
        h('time', { class: 'muted' }, F.dateTime(r.startedAt)));
    }));
  }

  // The report is built and copied by the program; the page only asks for it.
  function diagnosticsControls(ctx) {
    const note = ctx.local.shareNote && ctx.local.shareNote.action === 'copy-diagnostics' ? ctx.local.shareNote : undefined;
    return h('div', { class: 'actions' },
      button(t('care.diagnosticsCopy'), 'care-diagnostics', () => ctx.post({ action: 'copy-diagnostics' })),
      h('span', {
        class: ['share-note', note && !note.ok && 'share-note-error'], role: 'status', 'data-role': 'diagnostics-note',
        text: note ? t(note.ok ? 'care.diagnosticsCopied' : 'care.diagnosticsFailed') : '',
      }));
  }

  function render(s, ctx) {
    return [
      card(t('care.reset'), null,
        h('p', { class: 'muted', text: t('care.resetBody') }),
        resetStatus(s),
        resetControls(s, ctx)),
      card(t('care.records'), null, records(s.maintenanceRecords)),
      card(t('care.storage'), null,
        s.storageError !== undefined
          ? notice('error', null, h('p', { 'data-role': 'storage-error' }, N.programText.show(s.storageError)))
          : h('p', { class: 'muted', text: t('care.storageOk') })),
      card(t('care.diagnostics'), null,
        h('p', { class: 'muted', text: t('care.diagnosticsBody') }),
        diagnosticsControls(ctx)),
    ];
  }

  N.modules = N.modules || {};
  N.modules.care = { render };
})(window.NimbraPage = window.NimbraPage || {});
