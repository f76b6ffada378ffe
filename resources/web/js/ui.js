// Building blocks shared by the modules. Controls carry a data-focus key so
// the shell can give focus back to the same control after a redraw.
(function (N) {
  'use strict';
  const { h, uid } = N.dom;
  const { t } = N.i18n;

  function card(title, attrs, ...children) {
    const id = uid('card');
    return h('section', { class: ['card', attrs && attrs.class], 'aria-labelledby': id },
      h('h2', { class: 'card-title', id, text: title }),
      ...children);
  }

  // A button that posts nothing while disabled: the browser never delivers
  // clicks to a disabled button, and the handler checks again.
  function button(label, focusKey, onClick, opts = {}) {
    const el = h('button', {
      type: 'button',
      class: ['btn', opts.primary && 'btn-primary', opts.danger && 'btn-danger', opts.class],
      'data-focus': focusKey,
      'aria-describedby': opts.describedBy,
      disabled: opts.disabled,
      // The button on screen, which may be an earlier build of this one (dom.js patches).
      onclick: (event) => {
        if (unavailable(event.currentTarget)) return;
        onClick(event, event.currentTarget);
      },
    }, label);
    return el;
  }

  // Disabled, or kept focusable while unavailable (app.js holds focus on it).
  function unavailable(el) {
    return el.disabled || el.getAttribute('aria-disabled') === 'true';
  }

  function badge(tone, text) {
    return h('span', { class: ['badge', `badge-${tone}`] }, text);
  }

  function notice(tone, title, ...body) {
    return h('div', { class: ['notice', `notice-${tone}`], role: tone === 'error' ? 'alert' : 'status' },
      title ? h('p', { class: 'notice-title', text: title }) : null,
      ...body);
  }

  // Definition list of [label, value] pairs; values are shown as text.
  function facts(pairs, cls) {
    return h('dl', { class: ['facts', cls] },
      pairs.map(([label, value, valueClass]) => h('div', { class: 'fact' },
        h('dt', { text: label }),
        h('dd', { class: valueClass }, value))));
  }

  function spinner() {
    return h('span', { class: 'spinner', 'aria-hidden': 'true' });
  }

  // A short note that an action changed nothing, shown for a few seconds.
  function unchangedNote(ctx, action, text) {
    return ctx.local.unchanged === action
      ? h('p', { class: 'unchanged-note', role: 'status', 'data-role': 'unchanged-note', text })
      : null;
  }

  // "Running for 2 min": a session's clock counts whole minutes. Each change of the page draws
  // the whole window again, so a clock with seconds cost more than everything else the window
  // does during a session. The element keeps the session's start for the shell's timer.
  function sessionClock(start, nowMs) {
    const el = h('span', { class: 'metric-sub', 'data-role': 'session-elapsed', 'data-start': start });
    setSessionClock(el, nowMs);
    return el;
  }

  // Brings the clock's text up to `nowMs`, changing only its text; answers the milliseconds
  // until the text changes next.
  function setSessionClock(el, nowMs) {
    const elapsed = Math.max(0, nowMs - Number(el.dataset.start) * 1000);
    const minutes = Math.floor(elapsed / 60000);
    const text = minutes < 1 ? t('home.sessionJustStarted')
      : t('home.sessionElapsed', { t: N.format.integer(minutes) });
    if (!el.firstChild) el.textContent = text;
    else if (el.firstChild.data !== text) el.firstChild.data = text;
    return 60000 - (elapsed % 60000);
  }

  N.ui = { card, button, badge, notice, facts, spinner, unavailable, unchangedNote, sessionClock, setSessionClock };
})(window.NimbraPage = window.NimbraPage || {});
