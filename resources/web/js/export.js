// "Export…": the kept data saved in open formats through the desktop's file chooser (titled in
// the page's language by the message's "title"). The
// samples card sits on the Device page, the records card in History. The program answers
// window.exportResult(result) once a file is written or has failed; a cancelled chooser
// answers nothing. The chosen days and the last result are page-local.
(function (N) {
  'use strict';
  const { h, uid } = N.dom;
  const { t } = N.i18n;
  const { card, button, notice } = N.ui;
  const F = N.format;

  const DAY = /^(\d{4})-(\d{2})-(\d{2})$/;

  function dayText(date) {
    const pad = (n) => String(n).padStart(2, '0');
    return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())}`;
  }

  // Local midnight of a "yyyy-mm-dd" day plus `extraDays`, in seconds since 1970.
  function dayStart(text, extraDays = 0) {
    const m = DAY.exec(text || '');
    if (!m) return undefined;
    const date = new Date(Number(m[1]), Number(m[2]) - 1, Number(m[3]) + extraDays);
    return Number.isNaN(date.getTime()) ? undefined : date.getTime() / 1000;
  }

  // The whole local days from `fromDay` to `toDay`, or undefined when they are not a range.
  function range(fromDay, toDay) {
    const from = dayStart(fromDay);
    const to = dayStart(toDay, 1);
    if (from === undefined || to === undefined || !(from < to)) return undefined;
    return { action: 'export', kind: 'samples', title: t('export.dialog.samples'), from, to, fromDay, toDay };
  }

  function result(ctx, kinds) {
    const r = ctx.local.exportResult;
    if (!r || !kinds.includes(r.kind)) return null;
    if (r.ok) {
      return h('p', { class: 'export-note', role: 'status', 'data-role': 'export-result' },
        t('export.done', { what: t(`export.count.${r.kind}${r.count === 1 ? '.one' : ''}`, { n: F.integer(r.count) }), file: r.file }));
    }
    return notice('error', t('export.failed'),
      h('p', { 'data-role': 'export-result' }, t(`export.failed.${r.reason === 'read' ? 'read' : 'write'}`,
        { file: r.file, detail: r.detail })));
  }

  function dayInput(ctx, key, label) {
    const id = uid('export-day');
    return h('div', { class: 'export-day' },
      h('label', { for: id, class: 'field-label', text: label }),
      h('input', {
        type: 'date', id, value: ctx.local[key], required: true, 'data-focus': key,
        onchange: (event) => { ctx.local[key] = event.target.value; },
      }));
  }

  function samplesCard(ctx) {
    const today = dayText(new Date());
    if (!ctx.local.exportFrom) ctx.local.exportFrom = today;
    if (!ctx.local.exportTo) ctx.local.exportTo = today;
    const exportButton = button(t('export.samples'), 'export-samples', () => {
      const body = range(ctx.local.exportFrom, ctx.local.exportTo);
      if (!body) { ctx.setLocal({ exportRangeError: true }, 'export-samples'); return; }
      ctx.local.exportRangeError = false;
      ctx.post(body);
    });
    return card(t('export.samples.title'), { class: 'export-card' },
      h('p', { class: 'muted', text: t('export.samples.body') }),
      h('div', { class: 'export-days' },
        dayInput(ctx, 'exportFrom', t('export.from')),
        dayInput(ctx, 'exportTo', t('export.to')),
        exportButton),
      ctx.local.exportRangeError
        ? h('p', { class: 'field-error', role: 'alert', text: t('export.badRange') }) : null,
      result(ctx, ['samples']));
  }

  function recordsCard(ctx) {
    const kinds = ['history', 'journal', 'maintenance'];
    return card(t('export.records.title'), { class: 'export-card' },
      h('p', { class: 'muted', text: t('export.records.body') }),
      h('div', { class: 'export-buttons' }, kinds.map((kind) =>
        button(t(`export.${kind}`), `export-${kind}`, () => ctx.post({ action: 'export', kind, title: t(`export.dialog.${kind}`) })))),
      result(ctx, kinds));
  }

  N.exporting = { samplesCard, recordsCard, range };
})(window.NimbraPage = window.NimbraPage || {});
