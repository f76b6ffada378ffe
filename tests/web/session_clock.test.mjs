// The session clock counts whole minutes: one timer, due when its minute changes, that
// changes only the clock's own text; no timer while no session is on screen. The page's
// time is Playwright's fake clock, moved on by the test.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { render, showModule, sharedPage } from './harness.mjs';
import { fixtures } from './fixtures.mjs';

const T0 = Date.parse('2026-03-02T14:00:00Z');

// Counts the page's pending clock timers (they run the page's `runSessionClock`).
function countClockTimers() {
  const live = new Set();
  const set = window.setTimeout;
  const clear = window.clearTimeout;
  window.setTimeout = (fn, ms, ...rest) => {
    if (fn.name !== 'runSessionClock') return set(fn, ms, ...rest);
    const id = set(() => { live.delete(id); fn(); }, ms);
    live.add(id);
    return id;
  };
  window.clearTimeout = (id) => { live.delete(id); clear(id); };
  window.__clockTimers = () => live.size;
}

let page;
sharedPage((p) => { page = p; }, {
  prepare: async (p) => {
    await p.clock.install({ time: T0 });
    await p.clock.pauseAt(T0);
    await p.evaluate(countClockTimers);
  },
});

const clock = () => page.evaluate(() => ({
  text: document.querySelector('[data-role="session-elapsed"]')?.textContent,
  timers: window.__clockTimers(),
}));

test('the clock shows whole minutes and changes when its minute does', async () => {
  await showModule(page, 'home');
  const cases = [
    // seconds since the start, seconds the page's time moves on, the text then
    [20, 0, 'Just started'],
    [20, 39, 'Just started'],
    [20, 41, 'Running for 1 min'],
    [100, 60, 'Running for 2 min'],
    [7500, 0, 'Running for 125 min'],
    [-30, 0, 'Just started'],  // a start a little ahead of this computer's clock
  ];
  for (const [since, later, expected] of cases) {
    const now = await page.evaluate(() => Date.now());
    await render(page, { ...fixtures.full, sessionStartedAt: now / 1000 - since });
    await page.clock.runFor(later * 1000);
    assert.deepEqual(await clock(), { text: expected, timers: 1 }, `${since} s, then ${later} s`);
  }
});

test('a tick changes only the clock\'s text', async () => {
  const now = await page.evaluate(() => Date.now());
  await render(page, { ...fixtures.full, sessionStartedAt: now / 1000 - 59 });
  await page.evaluate(() => {
    window.__seen = [];
    new MutationObserver((records) => {
      for (const r of records) window.__seen.push(r.type === 'characterData' ? 'text' : r.type);
    }).observe(document.getElementById('panel'), { subtree: true, childList: true, characterData: true, attributes: true });
  });
  await page.clock.runFor(2000);
  assert.deepEqual(await page.evaluate(() => window.__seen), ['text']);
  assert.equal((await clock()).text, 'Running for 1 min');
});

test('no clock timer without a session on screen', async () => {
  await render(page, { ...fixtures.full, sessionStartedAt: undefined });
  assert.deepEqual(await clock(), { text: undefined, timers: 0 }, 'no session');
  await showModule(page, 'history');
  await render(page, fixtures.full);
  assert.deepEqual(await clock(), { text: undefined, timers: 0 }, 'a session, the clock not shown');
  await showModule(page, 'home');
  assert.equal((await clock()).timers, 1, 'shown again');
});
