// Building blocks shared by the modules. Controls carry a data-focus key so
// the shell can give focus back to the same control after a redraw.
(function (N) {
  'use strict';
  const { h, uid } = N.dom;

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

  // The session clock's box has a fixed size, so its text changing every second lays out and
  // paints that box alone (see .session-time): its width follows the text's length, in digits.
  function fitClock(el, text) {
    const width = `${text.length}ch`;
    if (el.style.width !== width) el.style.width = width;
  }

  N.ui = { card, button, badge, notice, facts, spinner, unavailable, unchangedNote, fitClock };
})(window.NimbraPage = window.NimbraPage || {});
