// A new state changes the nodes that show what changed, and nothing else: every change the
// render makes is recorded and named by where it happened.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { render, showModule, sharedPage } from './harness.mjs';
import { fixtures, drop } from './fixtures.mjs';

let page;
sharedPage((p) => { page = p; });

// Connected and read, without a session (whose clock changes its digits by itself).
const base = drop(fixtures.full, 'sessionStartedAt');
const last = base.recent[base.recent.length - 1];
const later = { ...last, observedAt: last.observedAt + 300 };  // "last read" shows minutes

// The changes rendering `state` makes, as "where kind" (where: the closest data-role, the
// chart or the device details), and what became of the chart's line.
function changesOf(state) {
  return page.evaluate(async (s) => {
    const line = document.querySelector('svg.chart polyline');
    const pointsBefore = line.points.numberOfItems;
    const records = [];
    const observer = new MutationObserver((taken) => records.push(...taken));
    observer.observe(document.documentElement, { subtree: true, childList: true, attributes: true, characterData: true });
    await window.renderNimbra(s);
    records.push(...observer.takeRecords());
    observer.disconnect();
    const where = (node) => {
      const el = node.nodeType === Node.ELEMENT_NODE ? node : node.parentElement;
      const marked = el.closest('[data-role]');
      if (marked) return marked.dataset.role;
      if (el.closest('svg.chart')) return 'chart';
      if (el.closest('.facts-grid')) return 'details';
      return el.tagName.toLowerCase();
    };
    return {
      changes: [...new Set(records.map((r) => `${where(r.target)} ${r.type}`))].sort(),
      lineKept: line.isConnected,
      pointsAdded: line.points.numberOfItems - pointsBefore,
    };
  }, state);
}

test('a state changes only the nodes of the values that changed', async () => {
  const cases = [
    // [what, state, changes, points added to the chart's line]
    ['a background history check', { ...base, readingHistory: true, busy: true }, [], 0],
    ['the battery figure', { ...base, sample: { ...last, battery: last.battery - 1 } },
      ['battery attributes', 'battery characterData'], 0],
    ['"last read"', { ...base, sample: later }, ['details characterData'], 0],
    ['a new reading', { ...base, sample: later, recent: [...base.recent, later] },
      ['chart attributes', 'chart characterData', 'details characterData'], 1],
    ['the oldest reading dropped for a new one', { ...base, sample: later, recent: [...base.recent.slice(1), later] },
      ['chart attributes', 'chart characterData', 'details characterData'], 0],
  ];
  for (const [what, state, changes, pointsAdded] of cases) {
    await render(page, base);
    await showModule(page, 'home');
    const result = await changesOf(state);
    assert.deepEqual(result, { changes, lineKept: true, pointsAdded }, what);
  }
});

// The panel is built again only for a state that shows differently: the start and the end of
// a background history check, each a state of its own, build nothing.
test('a state the page shows as before builds no panel', async () => {
  await render(page, base);
  await showModule(page, 'home');
  const builds = await page.evaluate(async (states) => {
    const home = window.NimbraPage.modules.home;
    const build = home.render;
    const counts = [];
    let count = 0;
    home.render = (...args) => { count += 1; return build(...args); };
    for (const s of states) {
      count = 0;
      await window.renderNimbra(s);
      counts.push(count);
    }
    home.render = build;
    return counts;
  }, [{ ...base, readingHistory: true, busy: true }, base, { ...base, sample: later }]);
  assert.deepEqual(builds, [0, 0, 1], 'check start, check end, a new reading');
});
