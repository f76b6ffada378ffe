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

  // The line and its area are drawn in the samples' own units (seconds from the start of the
  // first sample's day, 100 minus the battery) and scaled by their group's transform: a new
  // sample then adds a point to the line and changes the transform, and the points already
  // drawn stay as they are (dom.js patches point lists by the points that differ).
  function batteryChart(recent) {
    const pts = points(recent);
    if (pts.length < 2) {
      return h('p', { class: 'muted chart-empty', text: t('home.chart.empty') });
    }
    const t0 = pts[0].at;
    const t1 = pts[pts.length - 1].at;
    const span = Math.max(1, t1 - t0);
    const origin = t0 - (t0 % 86400);
    const sx = (W - PAD.left - PAD.right) / span;
    const sy = (H - PAD.top - PAD.bottom) / 100;
    const x = (at) => PAD.left + (at - t0) * sx;
    const y = (b) => PAD.top + (1 - b / 100) * (H - PAD.top - PAD.bottom);
    const point = (at, battery) => `${at - origin},${100 - battery}`;
    const line = pts.map((p) => point(p.at, p.battery)).join(' ');
    const area = `${line} ${point(t1, 0)} ${point(t0, 0)}`;
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
    svg('g', { transform: `translate(${(PAD.left - (t0 - origin) * sx).toFixed(3)} ${PAD.top}) scale(${sx.toPrecision(6)} ${sy})` },
      svg('polygon', { class: 'chart-area', points: area }),
      svg('polyline', { class: 'chart-line', points: line, 'vector-effect': 'non-scaling-stroke' })),
    svg('circle', { class: 'chart-dot', cx: x(last.at).toFixed(1), cy: y(last.battery).toFixed(1), r: 4 }),
    svg('text', { class: 'chart-axis', x: PAD.left, y: H - 6, 'text-anchor': 'start' }, N.format.time(t0)),
    svg('text', { class: 'chart-axis', x: W - PAD.right, y: H - 6, 'text-anchor': 'end' }, N.format.time(t1)));
  }

  N.chart = { batteryChart };
})(window.NimbraPage = window.NimbraPage || {});
