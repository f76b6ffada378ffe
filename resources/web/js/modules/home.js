// Device module: connection state, battery, session and device identity.
(function (N) {
  'use strict';
  const { h } = N.dom;
  const { t } = N.i18n;
  const { card, button, facts, spinner } = N.ui;
  const F = N.format;

  function connectionCard(s, ctx) {
    const can = F.abilities(s);
    const refresh = (label, primary) => button(label, 'home-refresh',
      () => ctx.post({ action: 'refresh' }), { primary, disabled: !can.canRefresh });

    if (!s.cablePresent) {
      return statusBlock('idle', t('home.noCable.title'), [t('home.noCable.body')], [refresh(t('home.refresh'))]);
    }
    if (!s.connected) {
      return statusBlock('paused', t('home.paused.title'), [t('home.paused.body')], [refresh(t('home.reconnect'), true)]);
    }
    if (s.accessFix) return accessBlock(s, ctx);
    if (s.connectionFailed) {
      const body = [
        h('p', { text: t('home.failed.body') }),
        h('ul', { class: 'causes' },
          h('li', { text: t('home.failed.cause1') }),
          h('li', { text: t('home.failed.cause2') })),
      ];
      return statusBlock('error', t('home.failed.title'), body, [refresh(t('home.retry'), true)], s);
    }
    if (s.initialReading) {
      const lines = s.connectionAttempt !== undefined
        ? [h('p', { class: 'attempt', text: t('home.reading.attempt', { n: s.connectionAttempt, max: F.MAX_CONNECTION_ATTEMPTS }) })]
        : [t('home.loading.body')];
      const title = s.connectionAttempt !== undefined ? t('home.reading.title') : t('home.loading.title');
      return statusBlock('working', title, lines, [], s);
    }
    const disconnect = button(t('home.disconnect'), 'home-disconnect',
      () => ctx.post({ action: 'disconnect' }), { disabled: !can.canDisconnect });
    return statusBlock('ok', t('home.connected.title'), [], [refresh(t('home.refresh'), true), disconnect], s, ctx);
  }

  // The open was refused for lack of permission: what happened and the exact fix. The
  // program's own message (a raw status) is left out; nimbra retries by itself, so there is
  // no refresh button either.
  function accessBlock(s, ctx) {
    const fix = s.accessFix;
    const commands = Array.isArray(fix.commands) ? fix.commands.filter((c) => typeof c === 'string') : [];
    const note = ctx.local.shareNote && ctx.local.shareNote.action === 'copy-access-fix' ? ctx.local.shareNote : undefined;
    const body = [
      h('p', { text: t(fix.ruleInstalled === true ? 'access.bodyInstalled' : 'access.body') }),
      h('p', { text: t('access.run') }),
      h('pre', { class: 'commands mono', 'data-role': 'access-commands', 'aria-label': t('access.commands') },
        commands.map((c) => h('code', { text: c }))),
      h('div', { class: 'actions' },
        button(t('access.copy'), 'access-copy', () => ctx.post({ action: 'copy-access-fix' }), { primary: true }),
        h('span', {
          class: ['share-note', note && !note.ok && 'share-note-error'], role: 'status', 'data-role': 'access-note',
          text: note ? t(note.ok ? 'access.copied' : 'access.copyFailed') : '',
        })),
      t('access.after'),
    ];
    return statusBlock('error', t('access.title'), body, [], { serial: s.serial });
  }

  // One headline card; `s` adds the serial and the program's message when active.
  function statusBlock(tone, title, body, actions, s, ctx) {
    const serial = s && s.serial !== undefined
      ? h('p', { class: 'serial' }, h('span', { class: 'muted', text: `${t('home.serial')} ` }),
        h('span', { class: 'mono', 'data-role': 'serial' }, s.serial))
      : null;
    const message = s && s.message
      ? h('p', { class: 'device-message', 'data-role': 'message' }, N.programText.show(s.message))
      : null;
    const headingIcon = tone === 'working' ? spinner() : h('span', { class: ['dot', `dot-${tone}`], 'aria-hidden': 'true' });
    return h('section', { class: ['card', 'status', `status-${tone}`], 'data-role': 'connection' },
      h('h2', { class: 'status-title' }, headingIcon, h('span', { text: title })),
      serial,
      message,
      body.map((b) => (typeof b === 'string' ? h('p', { class: 'muted', text: b }) : b)),
      actions.length ? h('div', { class: 'actions' }, actions) : null,
      ctx ? N.ui.unchangedNote(ctx, 'refresh', t('home.unchanged')) : null);
  }

  // Without an analysis server there is no estimate to wait for: the tile is left out. Data
  // kept from a device that is gone (`live` false) says nothing about now: no session tile,
  // and no estimate still to come.
  function metrics(s, analysis, live = true) {
    const battery = s.sample && typeof s.sample.battery === 'number' ? s.sample.battery : undefined;
    // The meter is one box whose background shows the level (see .meter): a new level repaints
    // that box and lays out nothing.
    const level = battery === undefined ? null
      : h('div', { class: ['meter', battery <= 20 && 'meter-low'], 'aria-hidden': 'true', 'data-level': battery });
    if (level) level.style.setProperty('--level', `${battery}%`);

    const running = s.sessionStartedAt !== undefined;
    const session = running
      ? [h('span', { class: 'metric-value', text: t('home.sessionRunning') }),
        N.ui.sessionClock(s.sessionStartedAt, Date.now())]
      : [h('span', { class: 'metric-value muted-value', text: t('home.sessionIdle') })];

    const estimate = analysis && (live || s.estimatedUses !== undefined);
    const tiles = 1 + (estimate ? 1 : 0) + (live ? 1 : 0);
    return h('div', { class: ['metrics', tiles === 2 && 'metrics-two', tiles === 1 && 'metrics-one'] },
      h('div', { class: 'metric', 'data-role': 'battery' },
        h('span', { class: 'metric-label', text: t('home.battery') }),
        battery === undefined
          ? h('span', { class: 'metric-value muted-value', text: t('home.batteryUnknown') })
          : h('span', { class: 'metric-value metric-figure', text: `${battery}%` }),
        level),
      estimate ? h('div', { class: 'metric', 'data-role': 'estimate' },
        h('span', { class: 'metric-label', text: t('home.uses') }),
        // Not yet known: the smaller muted form, which also keeps "Estimating…" on one line.
        h('span', { class: ['metric-value', s.estimatedUses === undefined && 'muted-value'] },
          s.estimatedUses === undefined ? t('home.usesUnknown') : t('home.usesValue', { n: s.estimatedUses })))
        : null,
      live ? h('div', { class: ['metric', running && 'metric-live'], 'data-role': 'session' },
        h('span', { class: 'metric-label', text: t('home.session') }),
        session) : null);
  }

  function details(s) {
    const sample = s.sample || {};
    const text = (v) => (typeof v === 'string' && v !== '' ? v : t('home.unknown'));
    return card(t('home.details'), null, facts([
      [t('home.firmware'), text(sample.firmware), 'mono'],
      [t('home.engine'), text(sample.engine), 'mono'],
      [t('home.sticks'), F.integer(sample.processCount)],
      [t('home.puffs'), F.integer(sample.cumulativePuffCount)],
      [t('home.lastRead'), sample.observedAt === undefined ? t('home.unknown') : F.dateTime(sample.observedAt)],
    ], 'facts-grid'));
  }

  // The data of the device last connected, under the connection card while none is: greyed,
  // with when it was last seen. Nothing in it acts on the device.
  function lastSeenBlock(last, analysis) {
    const kept = { ...last, recent: last.recent || [] };
    return h('div', { class: 'last-seen', 'data-role': 'last-seen' },
      N.lastSeen.note(last, true),
      h('div', { class: 'stale' },
        last.sample ? metrics(kept, analysis, false) : null,
        kept.recent.length > 1
          ? card(t('home.chart.title'), { class: 'chart-card' }, N.chart.batteryChart(kept.recent)) : null,
        last.sample ? details(kept) : null));
  }

  function render(s, ctx) {
    const out = [connectionCard(s, ctx)];
    const last = ctx.lastSeen;
    if (s.connected && s.sample) {
      out.push(metrics(s, ctx.services.analysis));
      out.push(card(t('home.chart.title'), { class: 'chart-card' }, N.chart.batteryChart(s.recent)));
      out.push(details(s));
    } else if (last) {
      out.push(lastSeenBlock(last, ctx.services.analysis));
    } else if (s.recent.length > 1) {
      out.push(card(t('home.chart.title'), { class: 'chart-card' }, N.chart.batteryChart(s.recent)));
    }
    // The first reading offers nothing to press; the kept samples can wait for it.
    if (!s.initialReading) out.push(N.exporting.samplesCard(ctx));
    return out;
  }

  N.modules = N.modules || {};
  N.modules.home = { render };
})(window.NimbraPage = window.NimbraPage || {});
