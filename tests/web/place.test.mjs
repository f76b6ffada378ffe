// The page keeps the user's place: focus and scroll stay on the control acted on while the
// program works, a module opens at its top, and an action that changed nothing says so.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { render, showModule, sent, clearSent, sharedPage } from './harness.mjs';
import { fixtures, SHARING } from './fixtures.mjs';

const SMALL = { width: 640, height: 540 };

let page;
// A build with its servers: the preferences hold the share card and are long enough to scroll.
sharedPage((p) => { page = p; }, {
  options: { size: SMALL },
  prepare: (p) => p.evaluate((s) => window.configureSharing(s), SHARING),
});

const scrollTop = () => page.evaluate(() => document.querySelector('.content').scrollTop);
const focused = () => page.evaluate(() => document.activeElement.dataset.focus || document.activeElement.id);

// Connected, idle, no session (the lock is refused during one).
const IDLE = { ...fixtures.full, sessionStartedAt: undefined };

test('a switch below the fold keeps focus and scroll through its write', async () => {
  const idle = IDLE;
  await render(page, idle);
  await showModule(page, 'settings');
  await page.focus('[data-focus="setting-lock"]');
  const top = await scrollTop();
  assert.ok(top > 0, 'the lock switch is below the fold');
  await clearSent(page);
  await page.keyboard.press('Space');
  assert.deepEqual(await sent(page), [{ action: 'setting', key: 'lock', value: true }]);

  // The write: every switch unavailable, then the read-back.
  await render(page, { ...idle, busy: true });
  assert.equal(await focused(), 'setting-lock');
  assert.equal(await scrollTop(), top);
  assert.equal(await page.getAttribute('[data-focus="setting-lock"]', 'aria-disabled'), 'true');
  await clearSent(page);
  await page.keyboard.press('Space');
  assert.deepEqual(await sent(page), [], 'an unavailable switch posts nothing');

  await render(page, { ...idle, settings: { ...idle.settings, lock: true } });
  assert.equal(await focused(), 'setting-lock');
  assert.equal(await scrollTop(), top);
  assert.equal(await page.getAttribute('[data-focus="setting-lock"]', 'aria-checked'), 'true');
  assert.equal(await page.getAttribute('[data-focus="setting-lock"]', 'aria-disabled'), null);
});

test('"Check for updates" keeps focus and scroll through the check', async () => {
  const idle = IDLE;
  await render(page, idle);
  await showModule(page, 'preferences');
  await page.focus('[data-focus="prefs-check"]');
  const top = await scrollTop();
  await page.keyboard.press('Enter');
  await render(page, { ...idle, appUpdate: { ...idle.appUpdate, phase: 'checking' } });
  assert.equal(await focused(), 'prefs-check');
  assert.equal(await scrollTop(), top);
  await render(page, idle);
  assert.equal(await focused(), 'prefs-check');
  assert.equal(await scrollTop(), top);
});

test('each module opens at its top', async () => {
  await render(page, fixtures.full);
  for (const [from, to] of [['settings', 'history'], ['history', 'settings'], ['preferences', 'home']]) {
    await showModule(page, from);
    await page.evaluate(() => { document.querySelector('.content').scrollTop = 400; });
    assert.ok(await scrollTop() > 0, from);
    await showModule(page, to);
    assert.equal(await scrollTop(), 0, `${from} → ${to}`);
  }
});

test('refresh and read history say when nothing changed, and only then', async () => {
  const idle = IDLE;
  const note = () => page.locator('[data-role="unchanged-note"]').allInnerTexts();
  const cases = [
    // [module, button, working state, state after, note expected]
    ['home', 'home-refresh', { busy: true }, { sample: { ...idle.sample, observedAt: idle.sample.observedAt + 5 } }, true],
    ['home', 'home-refresh', { busy: true }, { sample: { ...idle.sample, battery: 12 } }, false],
    ['history', 'history-read', { readingHistory: true }, {}, true],
    ['history', 'history-read', { readingHistory: true }, { archiveCount: 113 }, false],
  ];
  for (const [module, button, working, afterFields, expected] of cases) {
    await render(page, idle);
    await showModule(page, module);
    await page.click(`[data-focus="${button}"]`);
    await render(page, { ...idle, ...working });
    assert.deepEqual(await note(), [], `${button}: nothing said while working`);
    await render(page, { ...idle, ...afterFields });
    assert.equal((await note()).length, expected ? 1 : 0, `${button} ${JSON.stringify(afterFields)}`);
  }
});
