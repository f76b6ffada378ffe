// Every control posts exactly its message body, and nothing while disabled.
import { test, beforeEach } from 'node:test';
import assert from 'node:assert/strict';
import { openPage, render, showModule, sent, clearSent, sharedPage } from './harness.mjs';
import { fixtures, RESET_TARGET, SHARING, withTheme, drop } from './fixtures.mjs';

let page;
let env;
sharedPage((p, browser) => { page = p; env = browser; }, {
  prepare: (p) => p.evaluate((s) => window.configureSharing(s), SHARING),
});
beforeEach(async () => {
  await render(page, fixtures.full);
  await showModule(page, 'home');
  await clearSent(page);
});

const idle = drop(fixtures.full, 'sessionStartedAt');
const click = (selector) => async () => page.click(selector);

// [control, state, module, operate, expected body]
const CONTROLS = [
  ['refresh when connected', fixtures.full, 'home', click('[data-focus="home-refresh"]'), { action: 'refresh' }],
  ['refresh without cable', fixtures.noCable, 'home', click('[data-focus="home-refresh"]'), { action: 'refresh' }],
  ['reconnect when paused', fixtures.paused, 'home', click('[data-focus="home-refresh"]'), { action: 'refresh' }],
  ['retry after failure', fixtures.connectionFailed, 'home', click('[data-focus="home-refresh"]'), { action: 'refresh' }],
  ['disconnect', fixtures.full, 'home', click('[data-focus="home-disconnect"]'), { action: 'disconnect' }],
  ['read history', fixtures.full, 'history', click('[data-focus="history-read"]'), { action: 'history' }],
  ['setting off to on', idle, 'settings', click('[data-setting="flex"]'), { action: 'setting', key: 'flex', value: true }],
  ['setting on to off', idle, 'settings', click('[data-setting="light"]'), { action: 'setting', key: 'light', value: false }],
  ['vibration', idle, 'settings', click('[data-setting="v2"]'), { action: 'setting', key: 'v2', value: true }],
  ['parental lock', idle, 'settings', click('[data-setting="lock"]'), { action: 'setting', key: 'lock', value: true }],
  ['module reset after confirming', idle, 'care', async () => {
    await page.click('[data-focus="care-reset"]');
    assert.deepEqual(await sent(page), [], 'the first click only asks');
    await page.click('[data-focus="care-reset-now"]');
  }, { action: 'reset', target: RESET_TARGET }],
  ['check for updates', fixtures.full, 'preferences', click('[data-focus="prefs-check"]'), { action: 'check-update' }],
  ['language', fixtures.full, 'preferences', click('label[for] >> text=English'), { action: 'preferences', language: 'en', theme: 'system' }],
  ['theme', { ...fixtures.full, preferences: { language: 'zh', theme: 'light' } }, 'preferences',
    click('[data-focus="theme-dark"] + label'), { action: 'preferences', language: 'zh', theme: 'dark' }],
  ['copy link', fixtures.full, 'preferences', click('[data-focus="share-link"]'), { action: 'share-link' }],
  ['copy light QR', withTheme(fixtures.full, 'light'), 'preferences', click('[data-focus="share-qr"]'), { action: 'share-qr', dark: false }],
  ['copy dark QR', withTheme(fixtures.full, 'dark'), 'preferences', click('[data-focus="share-qr"]'), { action: 'share-qr', dark: true }],
];

test('each control sends exactly its body', async (t) => {
  for (const [name, state, module, operate, expected] of CONTROLS) {
    await t.test(name, async () => {
      await render(page, state);
      await showModule(page, module);
      await clearSent(page);
      await operate();
      assert.deepEqual(await sent(page), [expected]);
    });
  }
});

test('share anchors at the clicked control', async () => {
  await showModule(page, 'preferences');
  await clearSent(page);
  await page.locator('[data-focus="share-system"]').scrollIntoViewIfNeeded();
  const box = await page.locator('[data-focus="share-system"]').boundingBox();
  await page.click('[data-focus="share-system"]');
  const [body] = await sent(page);
  assert.deepEqual(Object.keys(body), ['action', 'x', 'y']);
  assert.equal(body.action, 'share-system');
  assert.ok(Math.abs(body.x - (box.x + box.width / 2)) <= 1, `x ${body.x}`);
  assert.ok(Math.abs(body.y - (box.y + box.height)) <= 1, `y ${body.y}`);
});

test('switching module reports it once; staying sends nothing', async () => {
  await page.click('#tab-history');
  await page.click('#tab-history');
  await page.focus('#tab-history');
  await page.keyboard.press('ArrowDown');
  await page.keyboard.press('End');
  await page.keyboard.press('Home');
  assert.deepEqual(await sent(page), [
    { action: 'activity', module: 'history' },
    { action: 'activity', module: 'settings' },
    { action: 'activity', module: 'preferences' },
    { action: 'activity', module: 'home' },
  ]);
  assert.equal(await page.evaluate(() => document.activeElement.id), 'tab-home');
});

test('cancelling the reset sends nothing', async () => {
  await render(page, idle);
  await showModule(page, 'care');
  await clearSent(page);
  await page.click('[data-focus="care-reset"]');
  await page.click('[data-focus="care-reset-cancel"]');
  assert.deepEqual(await sent(page), []);
  assert.equal(await page.locator('[data-focus="care-reset"]').isEnabled(), true);
});

test('the keyboard reaches and operates a switch', async () => {
  await render(page, idle);
  await showModule(page, 'settings');
  await clearSent(page);
  await page.focus('[data-setting="auto"]');
  await page.keyboard.press('Space');
  assert.deepEqual(await sent(page), [{ action: 'setting', key: 'auto', value: false }]);
});

test('focus stays on the same control across renders', async () => {
  await render(page, idle);
  await showModule(page, 'settings');
  await page.focus('[data-setting="v1"]');
  await render(page, idle);
  assert.equal(await page.evaluate(() => document.activeElement.dataset.setting), 'v1');
});

// [state, module, selectors that must be present, disabled and silent]
const DISABLED = [
  ['busy', fixtures.busy, 'home', ['[data-focus="home-disconnect"]']],
  ['busy', fixtures.busy, 'history', ['[data-focus="history-read"]']],
  ['busy', fixtures.busy, 'settings', ['[data-setting="light"]', '[data-setting="v3"]', '[data-setting="lock"]']],
  ['busy', { ...fixtures.busy, sessionStartedAt: undefined }, 'care', ['[data-focus="care-reset"]']],
  ['first reading', fixtures.firstReading, 'settings', ['[data-setting="flex"]', '[data-setting="lock"]']],
  ['first reading', fixtures.firstReading, 'history', ['[data-focus="history-read"]']],
  ['failed', fixtures.connectionFailed, 'settings', ['[data-setting="gesture"]']],
  ['no cable', fixtures.noCable, 'settings', ['[data-setting="light"]', '[data-setting="lock"]']],
  ['paused', fixtures.paused, 'settings', ['[data-setting="v0"]']],
  ['paused', fixtures.paused, 'history', ['[data-focus="history-read"]']],
  ['session', fixtures.full, 'settings', ['[data-setting="lock"]']],
  ['session', fixtures.full, 'care', ['[data-focus="care-reset"]']],
  ['analysing', fixtures.analyzing, 'history', ['[data-focus="history-read"]']],
  ['reset awaited', fixtures.resetRunning, 'home', ['[data-focus="home-refresh"]', '[data-focus="home-disconnect"]']],
  ['downloading', fixtures.updateDownloading, 'preferences', ['[data-focus="prefs-check"]']],
  ['setting not read', { ...idle, settings: { ...idle.settings, flex: undefined } }, 'settings', ['[data-setting="flex"]']],
];

test('disabled controls send nothing, however they are poked', async (t) => {
  for (const [name, state, module, selectors] of DISABLED) {
    await t.test(`${name}: ${module}`, async () => {
      await render(page, state);
      await showModule(page, module);
      await clearSent(page);
      for (const selector of selectors) {
        const control = page.locator(selector);
        assert.equal(await control.count(), 1, `${selector} shown`);
        assert.equal(await control.isDisabled(), true, `${selector} disabled`);
        await control.click({ force: true });
        await control.evaluate((el) => { el.click(); el.dispatchEvent(new MouseEvent('click', { bubbles: true })); });
        await control.press('Enter').catch(() => {});
        await control.press('Space').catch(() => {});
      }
      assert.deepEqual(await sent(page), []);
    });
  }
});

test('sharing controls wait for a link and a picture', async () => {
  const fresh = await openPage(env);
  await render(fresh, fixtures.full);
  await showModule(fresh, 'preferences');
  await clearSent(fresh);
  // Without a link (before it arrives, or in a build without an update server) there is no
  // share card at all.
  for (const s of ['share-link', 'share-qr', 'share-system']) {
    assert.equal(await fresh.locator(`[data-focus="${s}"]`).count(), 0, s);
  }
  await fresh.evaluate(() => window.configureSharing({ url: 'https://x.invalid/download', qr: '', qrDark: '' }));
  assert.equal(await fresh.locator('[data-focus="share-link"]').isEnabled(), true);
  assert.equal(await fresh.locator('[data-focus="share-qr"]').isDisabled(), true, 'no picture, no copy');
  assert.deepEqual(await sent(fresh), []);
  await fresh.close();
});

test('copy results are reported back to the user', async () => {
  await render(page, withTheme(fixtures.full, 'light'));
  await showModule(page, 'preferences');
  await page.evaluate(() => window.sharingResult('share-link', true));
  assert.equal(await page.locator('[data-role="share-note"]').innerText(), 'Link copied.');
  await page.evaluate(() => window.sharingResult('share-qr', false));
  assert.equal(await page.locator('[data-role="share-note"]').innerText(), 'Copying failed.');
  await render(page, withTheme(fixtures.full, 'light'));
  assert.equal(await page.locator('[data-role="share-note"]').innerText(), 'Copying failed.', 'kept across renders');
});
