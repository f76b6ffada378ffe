// Settings module: the device's switches, the parental lock and the journal
// of requested changes with their read-back results.
(function (N) {
  'use strict';
  const { h, uid } = N.dom;
  const { t } = N.i18n;
  const { card, badge, notice } = N.ui;
  const F = N.format;

  const RESULT_TONES = { unconfirmed: 'warn', confirmed: 'ok', reconnected: 'ok', legacy: 'neutral' };

  function settingName(id) {
    if (id === 'reset') return t('settings.reset');
    return N.i18n.has(`settingName.${id}`) ? t(`settingName.${id}`) : id;
  }

  // Why the switches are off, in the order the user can do something about it.
  function blockedReason(s) {
    if (!s.connected) return t('settings.disabled.notConnected');
    if (s.initialReading) return t('settings.disabled.loading');
    if (s.connectionFailed) return t('settings.disabled.failed');
    if (s.busy || s.resetWaiting) return t('settings.disabled.busy');
    return undefined;
  }

  function toggle(id, s, ctx, extraBlock) {
    const value = s.settings[id];
    const known = typeof value === 'boolean';
    const disabled = !F.abilities(s).canSetting || !known || Boolean(extraBlock);
    const titleId = uid('set');
    const detailId = uid('set');
    const state = known ? (value ? t('settings.on') : t('settings.off')) : t('settings.notRead');
    const sw = h('button', {
      type: 'button',
      role: 'switch',
      class: 'switch',
      'aria-checked': known ? String(value) : 'false',
      'aria-labelledby': titleId,
      'aria-describedby': detailId,
      'data-focus': `setting-${id}`,
      'data-setting': id,
      disabled,
      onclick: (event) => {
        if (N.ui.unavailable(event.currentTarget) || !known) return;
        ctx.post({ action: 'setting', key: id, value: !value });
      },
    }, h('span', { class: 'switch-thumb', 'aria-hidden': 'true' }));
    return h('li', { class: ['setting', disabled && 'setting-disabled'] },
      h('div', { class: 'setting-text' },
        h('p', { class: 'setting-title', id: titleId, text: settingName(id) }),
        h('p', { class: 'setting-detail muted', id: detailId },
          extraBlock ? `${t(`settingDetail.${id}`)} ${extraBlock}` : t(`settingDetail.${id}`))),
      h('span', { class: ['setting-state', !known && 'muted'], 'aria-hidden': 'true', text: state }),
      sw);
  }

  function mapText(map) {
    if (!map || typeof map !== 'object') return '—';
    const parts = Object.entries(map)
      .filter(([, v]) => typeof v === 'boolean')
      .map(([k, v]) => `${settingName(k)}: ${v ? t('settings.on') : t('settings.off')}`);
    return parts.length ? parts.join(', ') : '—';
  }

  function journalEntry(r) {
    const result = typeof r.result === 'string' ? r.result : 'unconfirmed';
    const label = N.i18n.has(`result.${result}`) ? t(`result.${result}`) : result;
    const rows = [];
    if (r.before) rows.push([t('settings.before'), mapText(r.before)]);
    if (typeof r.requested === 'boolean') rows.push([t('settings.requested'), r.requested ? t('settings.on') : t('settings.off')]);
    if (r.after) rows.push([t('settings.after'), mapText(r.after)]);
    return h('li', { class: 'journal-entry', 'data-result': result },
      h('div', { class: 'journal-head' },
        h('span', { class: 'journal-action' }, settingName(typeof r.action === 'string' ? r.action : '—')),
        badge(RESULT_TONES[result] || 'neutral', label)),
      h('p', { class: 'muted small' }, h('time', null, F.dateTime(r.time))),
      rows.length ? N.ui.facts(rows, 'facts-inline') : null);
  }

  function render(s, ctx) {
    const reason = blockedReason(s);
    const lockBlock = s.sessionStartedAt !== undefined ? t('settings.lockSession') : undefined;
    const journal = s.settingRecords.length
      ? h('ol', { class: 'journal', 'data-role': 'journal' }, s.settingRecords.map(journalEntry))
      : h('p', { class: 'muted', text: t('settings.journalEmpty') });
    return [
      h('section', { class: 'card', 'aria-label': t('settings.device') },
        h('p', { class: 'muted', text: t('settings.intro') }),
        reason ? notice('info', null, h('p', { 'data-role': 'settings-blocked', text: reason })) : null,
        h('ul', { class: 'settings-list' }, F.SETTING_IDS.map((id) => toggle(id, s, ctx)))),
      card(t('settings.lock'), null,
        h('ul', { class: 'settings-list' }, toggle('lock', s, ctx, lockBlock))),
      card(t('settings.journal'), null,
        s.settingJournalError ? notice('error', null, h('p', { 'data-role': 'journal-error', text: t('settings.journalError') })) : null,
        journal),
    ];
  }

  N.modules = N.modules || {};
  N.modules.settings = { render, settingName };
})(window.NimbraPage = window.NimbraPage || {});
