// The page shell and its contract with the program:
//   window.renderNimbra(state)   redraw everything from one screen state
//   window.configureSharing(obj) download link and the two QR pictures
//   window.configureServices(obj) which servers the build has: { analysis: bool,
//                                updates: 'server' | 'package' | 'none' }
//   window.configureDesktop(obj) the desktop switches: { chargeNotice, keepRunning,
//                                startAtLogin } (booleans)
//   window.sharingResult(action, ok)  outcome of a copy action
//   window.exportResult(result)  outcome of an export (export.js)
// A render depends only on the last state plus a little page-local state
// (open module, a pending reset confirmation, the last copy result, the data of the device
// last connected).
(function (N) {
  'use strict';
  const { h, svg } = N.dom;
  const { t } = N.i18n;
  const F = N.format;

  const ICONS = {
    home: 'M5 3h6a2 2 0 0 1 2 2v14a2 2 0 0 1-2 2H5a2 2 0 0 1-2-2V5a2 2 0 0 1 2-2zm11 6h3v6h-3M6 7h4M6 11h4',
    history: 'M12 3a9 9 0 1 1-8.5 6M3 4v5h5M12 7v5l3 3',
    settings: 'M4 7h10M18 7h2M4 17h4M12 17h8M16 5v4M10 15v4',
    care: 'M12 21s-7-4.5-7-10a4 4 0 0 1 7-2.6A4 4 0 0 1 19 11c0 5.5-7 10-7 10z',
    preferences: 'M12 15a3 3 0 1 0 0-6 3 3 0 0 0 0 6zM12 2v3M12 19v3M4.2 4.2l2.1 2.1M17.7 17.7l2.1 2.1M2 12h3M19 12h3M4.2 19.8l2.1-2.1M17.7 6.3l2.1-2.1',
  };

  const page = {
    state: undefined,
    // The state drawn: `state`, or while a short background check runs, the state before it.
    shown: undefined,
    module: 'home',
    sharing: { url: '', qr: '', qrDark: '' },
    // Until the program says otherwise, a build with both servers.
    services: { analysis: true, updates: 'server' },
    // The desktop switches, once the program has sent them (configureDesktop).
    desktop: undefined,
    local: { confirmReset: undefined, shareNote: undefined, unchanged: undefined },
  };
  const lastSeen = N.lastSeen.create();
  let noteTimer;
  let unchangedTimer;
  let historyCheckTimer;
  // How long a history check nobody asked for may run before the page says it is reading.
  const QUIET_CHECK_MS = 2000;
  let drawnModule;
  let drawnFrom;  // drawnInputs() at the last draw

  const darkQuery = window.matchMedia ? window.matchMedia('(prefers-color-scheme: dark)') : null;

  function isDark() {
    const theme = page.state ? page.state.preferences.theme : 'system';
    if (theme === 'dark') return true;
    if (theme === 'light') return false;
    return Boolean(darkQuery && darkQuery.matches);
  }

  const ctx = {
    post(body) {
      // A new action replaces the note about the last one.
      if (N.outcome.start(body.action, page.state)) page.local.unchanged = undefined;
      N.bridge.post(body);
    },
    local: page.local,
    get sharing() { return page.sharing; },
    get services() { return page.services; },
    get desktop() { return page.desktop; },
    isDark,
    // The last connected device's data while none is connected (last_seen.js), or none.
    get lastSeen() { return page.state ? lastSeen.shown(page.state) : undefined; },
    setLocal(patch, focusKey) {
      Object.assign(page.local, patch);
      draw(focusKey);
    },
  };

  function navIcon(module) {
    return svg('svg', { class: 'nav-icon', viewBox: '0 0 24 24', 'aria-hidden': 'true', focusable: 'false' },
      svg('path', { d: ICONS[module] }));
  }

  function selectModule(module, focusTab) {
    if (!F.MODULES.includes(module)) return;
    if (module !== page.module) {
      page.module = module;
      N.bridge.post({ action: 'activity', module });
    }
    draw(focusTab ? `tab-${module}` : undefined);
  }

  function onTabKey(event) {
    const keys = { ArrowDown: 1, ArrowRight: 1, ArrowUp: -1, ArrowLeft: -1 };
    const i = F.MODULES.indexOf(page.module);
    let next;
    if (event.key in keys) next = (i + keys[event.key] + F.MODULES.length) % F.MODULES.length;
    else if (event.key === 'Home') next = 0;
    else if (event.key === 'End') next = F.MODULES.length - 1;
    else return;
    event.preventDefault();
    selectModule(F.MODULES[next], true);
  }

  // The tabs are built once per language and afterwards only updated: a tab replaced between
  // the press and the release of a click (a state arriving in between) would lose the click.
  function drawNav() {
    const nav = document.getElementById('tabs');
    setAttribute(nav, 'aria-label', t('nav.label'));
    const labels = F.MODULES.map((m) => t(`nav.${m}`));
    setOnce(nav, JSON.stringify(labels), () => nav.replaceChildren(...F.MODULES.map((m, i) =>
      h('button', {
        type: 'button', role: 'tab', id: `tab-${m}`, class: 'tab', 'aria-controls': 'panel',
        'data-focus': `tab-${m}`, 'data-module': m,
        onclick: () => selectModule(m, true), onkeydown: onTabKey,
      }, navIcon(m), h('span', { text: labels[i] })))));
    for (const tab of nav.children) {
      const selected = tab.dataset.module === page.module;
      setAttribute(tab, 'aria-selected', String(selected));
      setAttribute(tab, 'tabindex', selected ? '0' : '-1');
    }
  }

  // Short connection summary under the navigation, visible from every module.
  function connectionSummary(s) {
    if (!s.cablePresent) return ['idle', t('home.noCable.title')];
    if (!s.connected) return ['paused', t('home.paused.title')];
    if (s.accessFix) return ['error', t('access.short')];
    if (s.connectionFailed) return ['error', t('home.failed.title')];
    if (s.initialReading) return ['working', t('home.reading.title')];
    return ['ok', t('home.connected.title')];
  }

  // The summary and the busy pill are live regions: touch them only when
  // their content really changes, or screen readers repeat them every poll.
  function setOnce(el, signature, update) {
    if (el.dataset.signature === signature) return;
    el.dataset.signature = signature;
    update();
  }

  function drawSidebar() {
    setText(document.getElementById('tagline'), t('app.tagline'));
    const foot = document.getElementById('summary');
    if (!page.state) { setOnce(foot, '', () => foot.replaceChildren()); return; }
    const [tone, text] = connectionSummary(page.shown);
    const serial = page.shown.connected ? page.shown.serial : undefined;
    setOnce(foot, JSON.stringify([tone, text, serial]), () => foot.replaceChildren(
      h('span', { class: ['dot', `dot-${tone}`], 'aria-hidden': 'true' }),
      h('span', { class: 'summary-text' }, text,
        serial !== undefined ? h('span', { class: 'summary-serial mono' }, serial) : null)));
  }

  // A control the user is on keeps the keyboard focus while it is unavailable (a switch
  // during its write, "Check for updates" during the check): a disabled control cannot hold
  // focus, so this one is only marked unavailable, and its handler refuses it the same way.
  function holdFocus(el) {
    el.disabled = false;
    el.setAttribute('aria-disabled', 'true');
  }

  // Set only when different: an attribute set to its own value still invalidates style (on
  // the root element, the whole document's) and reaches every mutation observer.
  function setAttribute(el, name, value) {
    if (el.getAttribute(name) !== value) el.setAttribute(name, value);
  }

  function setText(el, text) {
    if (el.textContent !== text) el.textContent = text;
  }

  // Draws the shell and patches the open module's panel to the state: built afresh, then only
  // what differs from the panel on screen is changed (dom.js).
  function draw(focusKey) {
    drawnFrom = page.state ? drawnInputs() : undefined;
    const active = document.activeElement;
    const panel = document.getElementById('panel');
    const content = panel.parentElement;
    // The user's place: kept while the module stays, the top of a module just opened.
    const scrollTop = drawnModule === page.module ? content.scrollTop : 0;
    drawnModule = page.module;
    const keepFocus = focusKey || (active && active.dataset && active.dataset.focus);
    const focusWasInside = active && (panel.contains(active) || document.getElementById('tabs').contains(active));

    if (page.state) {
      N.i18n.setLanguage(page.state.effectiveLanguage);
      setAttribute(document.documentElement, 'data-theme', page.state.preferences.theme);
    }
    if (document.title !== 'nimbra') document.title = 'nimbra';
    N.dom.resetIds();
    drawNav();
    drawSidebar();

    const title = document.getElementById('module-title');
    setText(title, t(`nav.${page.module}`));
    const busy = document.getElementById('busy');
    const busyHidden = !(page.shown && page.shown.busy);
    if (busy.hidden !== busyHidden) busy.hidden = busyHidden;
    setOnce(busy, t('status.busy'), () => { busy.lastChild.textContent = t('status.busy'); });

    setAttribute(panel, 'aria-labelledby', `tab-${page.module}`);
    setAttribute(panel, 'data-module', page.module);
    if (!page.state) {
      N.dom.patchChildren(panel, [h('p', { class: 'muted starting', text: t('app.starting') })]);
    } else {
      if (page.local.confirmReset !== undefined && page.local.confirmReset !== page.state.resetTarget) {
        page.local.confirmReset = undefined;
      }
      // The first-start notice about usage data, on every module but the one with the switch.
      const notice = page.module === 'preferences' ? null : N.usageData.notice(page.shown, ctx, selectModule);
      N.dom.patchChildren(panel, [notice, ...N.modules[page.module].render(page.shown, ctx)].filter(Boolean));
    }

    // A control replaced by the redraw (its kind changed) hands focus to its successor.
    if (keepFocus && (focusKey || focusWasInside)) {
      const target = document.querySelector(`[data-focus="${CSS.escape(keepFocus)}"]`);
      if (target) {
        if (target.disabled) holdFocus(target);
        target.focus({ preventScroll: true });
      } else if (focusWasInside && !document.body.contains(active)) {
        title.focus({ preventScroll: true });
      }
    }
    content.scrollTop = scrollTop;
    runSessionClock();
  }

  // The program pushes a state after every read, most of them unchanged (several a second
  // during a use session). An unchanged state is not drawn again; page-local changes draw by
  // themselves; a changed one changes only the nodes that show what changed.
  let lastStateText;
  window.renderNimbra = async function renderNimbra(state) {
    const text = JSON.stringify(state);
    if (page.state && text === lastStateText) return;
    lastStateText = text;
    const before = page.state;
    page.state = F.normalize(state);
    lastSeen.observe(page.state, Date.now());
    const unchanged = N.outcome.observe(page.state);
    if (unchanged) {
      page.local.unchanged = unchanged;
      clearTimeout(unchangedTimer);
      unchangedTimer = setTimeout(() => { page.local.unchanged = undefined; draw(); }, 4000);
    }
    page.shown = shownState(before, page.state);
    // A state that differs only in what the page does not show yet (a background check's
    // start and end) draws nothing: building the panel again costs the web process more
    // than all the rest of the state's delivery.
    if (unchanged || drawnInputs() !== drawnFrom) draw();
  };

  // What a draw shows of the program's state; page-local changes draw by themselves.
  function drawnInputs() {
    return JSON.stringify([page.shown, ctx.lastSeen]);
  }

  // The program checks the device's history again in the background after each poll; the
  // check makes the device busy and most checks end within moments, changing nothing. While
  // one is short and the history is already on screen, the page goes on showing the state
  // before it ("Working…" and disabled buttons would only flash by). A first read, a check
  // the user asked for, and a check that goes on are shown as the state says.
  function shownState(before, s) {
    const background = s.readingHistory && s.history !== undefined &&
      !N.outcome.watching('history') && !N.outcome.watching('refresh');
    const quiet = before !== undefined && page.shown !== before;
    if (!background) {
      clearTimeout(historyCheckTimer);
      return s;
    }
    // Already shown as it is, or a check that started from a busy or reading state.
    if (!quiet && (!page.shown || page.shown.readingHistory || page.shown.busy)) return s;
    if (!quiet) {
      clearTimeout(historyCheckTimer);
      historyCheckTimer = setTimeout(() => { page.shown = page.state; draw(); }, QUIET_CHECK_MS);
    }
    return { ...s, busy: false, readingHistory: false };
  }

  window.configureSharing = function configureSharing(config) {
    const c = config && typeof config === 'object' ? config : {};
    const picture = (v) => (typeof v === 'string' && v.startsWith('data:image/') ? v : '');
    page.sharing = {
      url: typeof c.url === 'string' ? c.url : '',
      qr: picture(c.qr),
      qrDark: picture(c.qrDark),
    };
    draw();
  };

  window.configureServices = function configureServices(config) {
    const c = config && typeof config === 'object' ? config : {};
    page.services = {
      analysis: c.analysis !== false,
      updates: ['server', 'package', 'none'].includes(c.updates) ? c.updates : 'server',
    };
    draw();
  };

  window.configureDesktop = function configureDesktop(config) {
    const c = config && typeof config === 'object' ? config : {};
    page.desktop = {
      chargeNotice: c.chargeNotice !== false,
      keepRunning: c.keepRunning === true,
      startAtLogin: c.keepRunning === true && c.startAtLogin === true,
    };
    draw();
  };

  window.sharingResult = function sharingResult(action, ok) {
    page.local.shareNote = { action: String(action), ok: ok === true };
    clearTimeout(noteTimer);
    noteTimer = setTimeout(() => { page.local.shareNote = undefined; draw(); }, 4000);
    draw();
  };

  window.exportResult = function exportResult(result) {
    const r = result && typeof result === 'object' ? result : {};
    page.local.exportResult = {
      kind: String(r.kind), ok: r.ok === true, file: String(r.file || ''),
      count: Number(r.count) || 0, reason: String(r.reason || ''), detail: String(r.detail || ''),
    };
    draw();
  };

  // The session clock runs between renders, only while a session is shown: one timer, due when
  // the clock's minute changes.
  let clockTimer;
  function runSessionClock() {
    clearTimeout(clockTimer);
    clockTimer = undefined;
    const clocks = document.querySelectorAll('[data-role="session-elapsed"]');
    if (clocks.length === 0) return;
    const now = Date.now();
    const due = Math.min(...Array.from(clocks, (el) => N.ui.setSessionClock(el, now)));
    clockTimer = setTimeout(runSessionClock, due);
  }

  if (darkQuery && darkQuery.addEventListener) darkQuery.addEventListener('change', () => draw());

  N.i18n.setLanguage((navigator.language || '').toLowerCase().startsWith('zh') ? 'zh' : 'en');
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', () => draw());
  else draw();
})(window.NimbraPage = window.NimbraPage || {});
