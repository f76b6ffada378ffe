// Preferences module: language, theme, usage data, updates and sharing the download link.
(function (N) {
  'use strict';
  const { h, uid } = N.dom;
  const { t } = N.i18n;
  const { card, button, badge } = N.ui;

  const BUSY_PHASES = ['checking', 'downloading', 'verifying', 'ready', 'waiting', 'installing'];
  const PHASE_TONES = { current: 'ok', error: 'error', permission: 'error', rollback: 'warn' };

  // Both values always travel together; the one not being changed is the
  // one the program last sent.
  function choice(name, legend, options, current, send) {
    const legendId = uid('legend');
    return h('fieldset', { class: 'segmented', 'aria-labelledby': legendId },
      h('legend', { id: legendId, class: 'field-label', text: legend }),
      h('div', { class: 'segments' }, options.map(([value, label, lang]) => {
        const id = uid(name);
        return h('span', { class: 'segment', lang },
          h('input', {
            type: 'radio', name, id, value, checked: value === current,
            'data-focus': `${name}-${value}`,
            onchange: (e) => { if (e.target.checked) send(value); },
          }),
          h('label', { for: id, text: label }));
      })));
  }

  function updateCard(s, ctx) {
    const u = s.appUpdate;
    const version = h('p', { class: 'version', 'data-role': 'version', text: t('prefs.version', { v: u.version, b: u.build }) });
    // Updates that come from elsewhere: say where, and never show a check or its phase.
    if (ctx.services.updates !== 'server') {
      return card(t('prefs.update'), null, version,
        h('p', { class: 'muted', 'data-role': 'update-source', 'data-source': ctx.services.updates,
          text: t(`prefs.updates.${ctx.services.updates}`) }));
    }
    const key = `phase.${u.phase}`;
    const known = N.i18n.has(key);
    const busy = BUSY_PHASES.includes(u.phase);
    return card(t('prefs.update'), null,
      version,
      h('p', { class: 'phase', role: 'status', 'data-role': 'phase', 'data-phase': u.phase },
        busy ? N.ui.spinner() : null,
        h('span', null, known ? t(key) : u.phase),
        known ? badge(PHASE_TONES[u.phase] || 'neutral', t(`badge.${u.phase}`)) : null),
      u.availableVersion !== undefined
        ? h('p', { 'data-role': 'available', text: t('prefs.available', { v: u.availableVersion }) }) : null,
      h('div', { class: 'actions' },
        button(t('prefs.check'), 'prefs-check', () => ctx.post({ action: 'check-update' }), { disabled: busy })));
  }

  // Without a download link (a build without an update server) there is nothing to share.
  function shareCard(ctx) {
    const sharing = ctx.sharing;
    if (!sharing.url) return null;
    const dark = ctx.isDark();
    const qr = dark ? sharing.qrDark : sharing.qr;
    const note = ctx.local.shareNote;
    const noteText = note
      ? (note.ok ? t(note.action === 'share-qr' ? 'prefs.copied.qr' : 'prefs.copied.link') : t('prefs.copyFailed'))
      : '';
    return card(t('prefs.share'), { class: 'share-card' },
      h('div', { class: 'share' },
        h('div', { class: 'share-text' },
          h('p', { class: 'muted', text: t('prefs.shareBody') }),
          h('p', { class: 'field-label', text: t('prefs.link') }),
          sharing.url
            ? h('p', { class: 'link mono', 'data-role': 'share-url' }, sharing.url)
            : h('p', { class: 'muted', text: t('prefs.noLink') }),
          h('div', { class: 'actions' },
            button(t('prefs.copyLink'), 'share-link', () => ctx.post({ action: 'share-link' }), { disabled: !sharing.url }),
            button(t('prefs.copyQr'), 'share-qr', () => ctx.post({ action: 'share-qr', dark }), { disabled: !qr }),
            button(t('prefs.shareButton'), 'share-system', (event, el) => {
              // The native picker is anchored under the button; the page never
              // scrolls, so page and view coordinates coincide.
              const r = el.getBoundingClientRect();
              ctx.post({
                action: 'share-system',
                x: Math.round(r.left + r.width / 2 + window.scrollX),
                y: Math.round(r.bottom + window.scrollY),
              });
            }, { primary: true, disabled: !sharing.url })),
          h('p', { class: ['share-note', note && !note.ok && 'share-note-error'], role: 'status', 'data-role': 'share-note', text: noteText })),
        qr
          ? h('img', { class: 'qr', src: qr, alt: t('prefs.qrAlt'), 'data-role': 'qr' })
          : h('p', { class: 'muted qr-missing', text: t('prefs.noQr') })));
  }

  // The "Send usage data" switch and a plain account of what it sends, and to whom.
  function usageCard(s, ctx) {
    const enabled = s.usageData.enabled;
    const titleId = uid('usage');
    const detailId = uid('usage');
    const sw = h('button', {
      type: 'button', role: 'switch', class: 'switch',
      'aria-checked': String(enabled), 'aria-labelledby': titleId, 'aria-describedby': detailId,
      'data-focus': 'usage-data', 'data-role': 'usage-switch',
      onclick: () => ctx.post({ action: 'usage-data', enabled: !enabled }),
    }, h('span', { class: 'switch-thumb', 'aria-hidden': 'true' }));
    return card(t('usage.title'), { class: 'usage-card' },
      h('ul', { class: 'settings-list' },
        h('li', { class: 'setting' },
          h('div', { class: 'setting-text' },
            h('p', { class: 'setting-title', id: titleId, text: t('usage.switch') }),
            h('p', { class: 'setting-detail muted', id: detailId, text: t('usage.switchDetail') })),
          h('span', { class: 'setting-state', 'aria-hidden': 'true', text: enabled ? t('settings.on') : t('settings.off') }),
          sw)),
      h('p', { text: t('usage.to') }),
      h('p', { text: t('usage.what') }),
      h('ul', { class: 'usage-list', 'data-role': 'usage-list' },
        ['starts', 'sections', 'device', 'context'].map((k) => h('li', { text: t(`usage.item.${k}`) }))),
      h('p', { class: 'muted', text: t('usage.off') }),
      h('p', { class: 'muted', text: t('usage.history') }));
  }

  // One on/off row of a card: `name` keys its texts, `on` its state; a click sends the other.
  function switchRow(name, on, send) {
    const titleId = uid(name);
    const detailId = uid(name);
    return h('li', { class: 'setting' },
      h('div', { class: 'setting-text' },
        h('p', { class: 'setting-title', id: titleId, text: t(`desktop.${name}`) }),
        h('p', { class: 'setting-detail muted', id: detailId, text: t(`desktop.${name}Detail`) })),
      h('span', { class: 'setting-state', 'aria-hidden': 'true', text: on ? t('settings.on') : t('settings.off') }),
      h('button', {
        type: 'button', role: 'switch', class: 'switch',
        'aria-checked': String(on), 'aria-labelledby': titleId, 'aria-describedby': detailId,
        'data-focus': `desktop-${name}`, 'data-role': `desktop-${name}`,
        onclick: () => send(!on),
      }, h('span', { class: 'switch-thumb', 'aria-hidden': 'true' })));
  }

  // The program's desktop choices; "Start at login" only with background mode. Absent
  // until the program says what they are.
  function desktopCard(ctx) {
    const d = ctx.desktop;
    if (!d) return null;
    const send = (key) => (on) => ctx.post({ action: 'desktop', [key]: on });
    return card(t('desktop.title'), { class: 'desktop-card' },
      h('ul', { class: 'settings-list' },
        switchRow('chargeNotice', d.chargeNotice, send('chargeNotice')),
        switchRow('keepRunning', d.keepRunning, send('keepRunning')),
        d.keepRunning ? switchRow('startAtLogin', d.startAtLogin, send('startAtLogin')) : null));
  }

  // Shown from the first start until the user closes it or uses the switch.
  function usageNotice(s, ctx, openModule) {
    if (!s.usageData.notice || !ctx.services.analysis) return null;
    return h('div', { class: ['notice', 'notice-info', 'usage-notice'], role: 'status', 'data-role': 'usage-notice' },
      h('p', { text: t('usage.notice') }),
      h('div', { class: 'actions' },
        button(t('usage.noticeOpen'), 'usage-notice-open', () => openModule('preferences', true)),
        button(t('usage.noticeClose'), 'usage-notice-close', () => ctx.post({ action: 'usage-data-notice' }))));
  }

  function render(s, ctx) {
    const prefs = s.preferences;
    const send = (language, theme) => ctx.post({ action: 'preferences', language, theme });
    return [
      card(t('prefs.title'), { class: 'prefs-card' },
        choice('language', t('prefs.language'),
          [['system', t('prefs.lang.system')], ['zh', t('prefs.lang.zh'), 'zh-Hans'], ['en', t('prefs.lang.en'), 'en']],
          prefs.language, (v) => send(v, prefs.theme)),
        choice('theme', t('prefs.theme'),
          [['system', t('prefs.theme.system')], ['light', t('prefs.theme.light')], ['dark', t('prefs.theme.dark')]],
          prefs.theme, (v) => send(prefs.language, v))),
      // A build without a server sends nothing: there is nothing to switch off.
      ctx.services.analysis ? usageCard(s, ctx) : null,
      desktopCard(ctx),
      updateCard(s, ctx),
      shareCard(ctx),
    ];
  }

  N.modules = N.modules || {};
  N.modules.preferences = { render };
  N.usageData = { notice: usageNotice };
})(window.NimbraPage = window.NimbraPage || {});
