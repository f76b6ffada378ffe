// Battery level of the recent samples as an inline SVG line chart.
(function (N) {
  'use strict';
  const { h, svg } = N.dom;
  const { t } = N.i18n;

  const W = 480;
  const H = 150;
  const PAD = { left: 42, right: 10, top: 10, bottom: 24 };

  function points(recent) {
    return recent
      .filter((s) => typeof s.observedAt === 'number' && typeof s.battery === 'number')
      .map((s) => ({ at: s.observedAt, battery: Math.max(0, Math.min(100, s.battery)) }))
      .sort((a, b) => a.at - b.at);
  }

  function batteryChart(recent) {
    const pts = points(recent);
    if (pts.length < 2) {
      return h('p', { class: 'muted chart-empty', text: t('home.chart.empty') });
    }
    const t0 = pts[0].at;
    const t1 = pts[pts.length - 1].at;
    const span = Math.max(1, t1 - t0);
    const x = (at) => PAD.left + ((at - t0) / span) * (W - PAD.left - PAD.right);
    const y = (b) => PAD.top + (1 - b / 100) * (H - PAD.top - PAD.bottom);
    const line = pts.map((p) => `${x(p.at).toFixed(1)},${y(p.battery).toFixed(1)}`).join(' ');
    const area = `${x(t0).toFixed(1)},${y(0)} ${line} ${x(t1).toFixed(1)},${y(0)}`;
    const last = pts[pts.length - 1];
    const label = t('home.chart.label', { n: pts.length, from: pts[0].battery, to: last.battery });

    const grid = [0, 50, 100].map((v) => [
      svg('line', { class: 'chart-grid', x1: PAD.left, x2: W - PAD.right, y1: y(v), y2: y(v) }),
      svg('text', { class: 'chart-axis', x: PAD.left - 6, y: y(v) + 4, 'text-anchor': 'end' }, `${v}%`),
    ]);

    return svg('svg', {
      class: 'chart', viewBox: `0 0 ${W} ${H}`, role: 'img', 'aria-label': label,
      preserveAspectRatio: 'xMidYMid meet',
    },
    svg('title', null, label),
    grid,
    svg('polygon', { class: 'chart-area', points: area }),
    svg('polyline', { class: 'chart-line', points: line }),
    svg('circle', { class: 'chart-dot', cx: x(last.at).toFixed(1), cy: y(last.battery).toFixed(1), r: 4 }),
    svg('text', { class: 'chart-axis', x: PAD.left, y: H - 6, 'text-anchor': 'start' }, N.format.time(t0)),
    svg('text', { class: 'chart-axis', x: W - PAD.right, y: H - 6, 'text-anchor': 'end' }, N.format.time(t1)));
  }

  N.chart = { batteryChart };
})(window.NimbraPage = window.NimbraPage || {});
