// Each fixture state draws without a script error and shows what it says.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { render, showModule, panelText, sent, sharedPage } from './harness.mjs';
import { fixtures, STATE_KEYS, REQUIRED_KEYS, withLanguage, drop } from './fixtures.mjs';

let page;
sharedPage((p) => { page = p; });

async function show(name, module, lang = 'en') {
  await render(page, withLanguage(fixtures[name], lang));
  await showModule(page, module);
  return panelText(page);
}

const disabled = (selector) => page.locator(selector).isDisabled();

test('fixtures carry exactly the screen-state keys, in order', () => {
  for (const [name, state] of Object.entries(fixtures)) {
    const keys = Object.keys(state);
    assert.deepEqual(keys, STATE_KEYS.filter((k) => keys.includes(k)), `${name}: order or unknown key`);
    for (const k of REQUIRED_KEYS) assert.ok(k in state, `${name}: ${k} missing`);
  }
});

test('home follows the connection', async (t) => {
  await t.test('no cable', async () => {
    const text = await show('noCable', 'home');
    assert.match(text, /No device connected/);
    assert.match(text, /USB cable/);
    assert.equal(await page.locator('[data-role="serial"]').count(), 0);
    assert.equal(await disabled('[data-focus="home-refresh"]'), false);
  });

  await t.test('first reading shows its attempt and offers nothing to press', async () => {
    const text = await show('firstReading', 'home');
    assert.match(text, /Reading the device/);
    assert.match(text, /Attempt 2 of 5/);
    assert.equal(await page.locator('#panel button').count(), 0);
    assert.equal(await page.locator('#busy').isVisible(), true);
    const zh = await show('firstReading', 'home', 'zh');
    assert.match(zh, /第 2 次尝试，共 5 次/);
  });

  await t.test('failure names both Linux causes and offers a retry', async () => {
    const text = await show('connectionFailed', 'home');
    assert.match(text, /could not be read/);
    assert.match(text, /Another program holds the device/);
    assert.match(text, /udev rule/);
    assert.match(text, /could not be opened \(status -13\)/, 'the program message in the page language');
    assert.equal(await disabled('[data-focus="home-refresh"]'), false);
    assert.equal(await page.locator('[data-focus="home-disconnect"]').count(), 0);
  });

  await t.test('connected: serial, battery, estimate, session, firmware and chart', async () => {
    await render(page, { ...fixtures.full, sessionStartedAt: Date.now() / 1000 - 125 });
    await showModule(page, 'home');
    const text = await panelText(page);
    assert.equal(await page.locator('[data-role="serial"]').innerText(), 'QW3A••••7K');
    assert.match(await page.locator('[data-role="battery"]').innerText(), /30%/);
    assert.match(await page.locator('[data-role="estimate"]').innerText(), /About 14/);
    const session = await page.locator('[data-role="session"]').innerText();
    assert.match(session, /In use/);
    assert.match(session, /Running for 2 min/, 'elapsed from sessionStartedAt');
    assert.match(text, /150\.6\.1/);
    assert.match(text, /102\.6\.0/);
    assert.match(text, /Read complete · 10 valid values · settings 8\/8/);
    assert.equal(await page.locator('svg.chart polyline').count(), 1);
    assert.match(await page.locator('svg.chart').getAttribute('aria-label'), /14 readings, from \d+% to 30%/);
  });

  await t.test('paused with the cable: reconnect offered, nothing of the device shown live', async () => {
    const text = await show('paused', 'home');
    assert.match(text, /Disconnected/);
    assert.match(text, /Reconnect/);
    assert.equal(await page.locator('[data-role="serial"]').count(), 0);
    // The read before stays only as the greyed last-seen data.
    assert.equal(await page.locator('[data-role="battery"]:not([data-role="last-seen"] *)').count(), 0);
    assert.equal(await page.locator('[data-role="last-seen"] [data-role="battery"]').count(), 1);
    assert.equal(await page.locator('[data-focus="home-disconnect"]').count(), 0);
  });

  await t.test('power hint message is shown in the page language', async () => {
    await show('powerHint', 'home', 'zh');
    assert.equal(await page.locator('[data-role="message"]').innerText(), '设备可能未开机，请长按按钮后刷新。');
    await show('powerHint', 'home');
    assert.equal(await page.locator('[data-role="message"]').innerText(), 'The device may be switched off. Hold its button, then refresh.');
    assert.match(await page.locator('[data-role="battery"]').innerText(), /Not read/);
    assert.match(await page.locator('[data-role="estimate"]').innerText(), /Estimating/);
  });
});

test('history shows counts, progress, errors and the timeline', async (t) => {
  await t.test('analysing with observations, newest first', async () => {
    const text = await show('analyzing', 'history');
    assert.match(text, /Analysing records/);
    assert.match(text, /Entries on device\s*9/);
    assert.match(text, /Records kept\s*112/);
    assert.match(text, /Directories\s*2/);
    const kinds = await page.locator('.timeline-item .kind').allInnerTexts();
    assert.deepEqual(kinds, ['session', 'charge', 'session', 'power_on']);
    assert.match(text, /stick_completed/);
    assert.equal(await disabled('[data-focus="history-read"]'), true, 'no read while analysing');
  });

  await t.test('times are shown in local time', async () => {
    const shown = await page.locator('.timeline-item time').first().innerText();
    const expected = await page.evaluate(() => new Date('2026-05-28T09:12:00Z')
      .toLocaleTimeString('en-GB', { hour: '2-digit', minute: '2-digit' }));
    assert.ok(shown.includes(expected), `${shown} should contain ${expected}`);
  });

  await t.test('reading', async () => {
    const text = await show('readingHistory', 'history');
    assert.match(text, /Reading history from the device/);
    assert.match(text, /No observations yet/);
    assert.equal(await disabled('[data-focus="history-read"]'), true);
  });

  await t.test('error text in the page language, read offered again', async () => {
    await show('historyError', 'history');
    assert.equal(await page.locator('[data-role="history-error"]').innerText(), 'The encrypted history on this computer could not be read.');
    assert.equal(await disabled('[data-focus="history-read"]'), false);
  });
});

test('settings follow the device and the journal', async (t) => {
  await t.test('connected: every switch shows its value', async () => {
    await show('full', 'settings');
    const ids = ['light', 'flex', 'auto', 'gesture', 'v0', 'v1', 'v2', 'v3', 'lock'];
    for (const id of ids) {
      const sw = page.locator(`[data-setting="${id}"]`);
      assert.equal(await sw.getAttribute('aria-checked'), String(fixtures.full.settings[id]), id);
      assert.equal(await sw.isDisabled(), id === 'lock', `${id}: only the lock waits for the session`);
    }
  });

  for (const [name, why] of [['noCable', /Connect the device/], ['paused', /Connect the device/],
    ['firstReading', /first reading/], ['busy', /busy/], ['connectionFailed', /has been read/],
    ['resetRunning', /busy/]]) {
    await t.test(`${name}: every switch disabled and the reason given`, async () => {
      const text = await show(name, 'settings');
      assert.match(text, why);
      const states = await page.locator('[role="switch"]').evaluateAll((els) => els.map((e) => e.disabled));
      assert.equal(states.length, 9);
      assert.ok(states.every(Boolean));
    });
  }

  await t.test('journal shows requested, before, after and every result', async () => {
    const text = await show('full', 'settings');
    const results = await page.locator('.journal-entry').evaluateAll((els) => els.map((e) => e.dataset.result));
    assert.deepEqual(results, ['unconfirmed', 'confirmed', 'reconnected', 'legacy']);
    for (const label of ['Unconfirmed', 'Confirmed', 'Confirmed after reconnect', 'Earlier version']) {
      assert.ok(text.includes(label), label);
    }
    assert.match(text, /Requested\s*Off/);
    assert.match(text, /Before\s*Bright illumination: Off/);
    assert.match(text, /After\s*Bright illumination: On/);
    assert.equal(await page.locator('[data-role="journal-error"]').count(), 0);
  });

  await t.test('journal error', async () => {
    await show('journalError', 'settings');
    assert.match(await page.locator('[data-role="journal-error"]').innerText(), /could not be read or saved/);
  });
});

test('care shows reset, records and storage', async (t) => {
  await t.test('reset offered', async () => {
    await show('resetOffered', 'care');
    assert.equal(await disabled('[data-focus="care-reset"]'), false);
    assert.equal(await page.locator('[data-role="reset-unavailable"]').count(), 0);
  });

  await t.test('not offered without a target', async () => {
    await show('analyzing', 'care');
    assert.equal(await page.locator('[data-focus="care-reset"]').count(), 0);
    assert.match(await page.locator('[data-role="reset-unavailable"]').innerText(), /150\.6\.1/);
  });

  await t.test('other software: the device\'s own firmware and engine named', async () => {
    const sample = { ...fixtures.full.sample, firmware: '2.4.1', engine: '1.9.3' };
    await render(page, { ...fixtures.resetOffered, sample, resetTarget: undefined });
    assert.match(await page.locator('[data-role="reset-unavailable"]').innerText(),
      /This device reports firmware 2\.4\.1 and engine 1\.9\.3\./);
  });

  await t.test('running and waiting', async () => {
    await show('resetRunning', 'care');
    assert.match(await page.locator('[data-role="reset-status"]').innerText(), /Reset sent/);
    assert.match(await page.locator('[data-role="reset-waiting"]').innerText(), /reconnect/);
    assert.equal(await page.locator('[data-focus="care-reset"]').count(), 0);
  });

  await t.test('acknowledged', async () => {
    await show('resetAcknowledged', 'care');
    assert.match(await page.locator('[data-role="reset-status"]').innerText(), /acknowledged/);
  });

  await t.test('maintenance records and storage error', async () => {
    const text = await show('storageError', 'care');
    assert.deepEqual(await page.locator('.record > span').allInnerTexts(), ['Module reset', 'Diagnostics']);
    assert.equal(await page.locator('[data-role="storage-error"]').innerText(), 'This reading could not be saved to the local database.');
    assert.doesNotMatch(text, /No storage problems/);
  });
});

test('preferences show the update phase and version', async (t) => {
  await t.test('downloading', async () => {
    await show('updateDownloading', 'preferences');
    assert.match(await page.locator('[data-role="version"]').innerText(), /1\.4\.2 \(build 142\)/);
    assert.match(await page.locator('[data-role="phase"]').innerText(), /Downloading/);
    assert.match(await page.locator('[data-role="available"]').innerText(), /1\.5\.0 \(150\)/);
    assert.equal(await disabled('[data-focus="prefs-check"]'), true, 'one run at a time');
  });

  await t.test('permission', async () => {
    const zh = await show('updatePermission', 'preferences', 'zh');
    assert.match(zh, /不可写/);
    assert.equal(await disabled('[data-focus="prefs-check"]'), false);
  });

  await t.test('an unknown phase word is shown as it came', async () => {
    await render(page, { ...fixtures.full, appUpdate: { version: '1', build: '1', phase: 'quarantined', automatic: true } });
    assert.match(await page.locator('[data-role="phase"]').innerText(), /quarantined/);
  });
});

test('rendering is idempotent and tolerates missing keys', async () => {
  await render(page, fixtures.full);
  await showModule(page, 'home');
  const once = await page.locator('#panel').innerHTML();
  const quiet = await page.evaluate(async (state) => {
    let changes = 0;
    const observer = new MutationObserver((list) => { changes += list.length; });
    for (const id of ['summary', 'busy', 'panel']) {
      observer.observe(document.getElementById(id), { subtree: true, childList: true, characterData: true });
    }
    await window.renderNimbra(state);
    // Records still queued for the observer's callback are taken here, so none is missed
    // and no wait is needed.
    changes += observer.takeRecords().length;
    observer.disconnect();
    return changes;
  }, fixtures.full);
  assert.equal(quiet, 0, 'an unchanged state is not drawn again');
  assert.equal(await page.locator('#panel').innerHTML(), once);
  await render(page, { ...fixtures.full, sample: { ...fixtures.full.sample, battery: 7 } });
  assert.match(await panelText(page), /\b7%/, 'a changed state is drawn');

  const bare = drop(fixtures.full, 'sample', 'history', 'observations', 'estimatedUses', 'sessionStartedAt',
    'resetTarget', 'serial', 'archiveCount', 'directoryCount');
  await render(page, bare);
  for (const m of ['home', 'history', 'settings', 'care', 'preferences']) await showModule(page, m);
  await render(page, {});
  for (const m of ['home', 'history', 'settings', 'care', 'preferences']) await showModule(page, m);
  assert.match(await panelText(page), /Check for updates/);
  assert.ok((await sent(page)).every((b) => b.action === 'activity'), 'only module switches were reported');
});

test('language and theme follow the state', async () => {
  await render(page, withLanguage(fixtures.full, 'zh'));
  assert.equal(await page.evaluate(() => document.documentElement.lang), 'zh-Hans');
  assert.equal(await page.locator('#tab-home').innerText(), '设备');
  await render(page, { ...fixtures.full, preferences: { language: 'en', theme: 'dark' } });
  const colours = await page.evaluate(() => [getComputedStyle(document.body).backgroundColor,
    getComputedStyle(document.querySelector('.wordmark-accent')).color]);
  assert.deepEqual(colours, ['rgb(37, 43, 67)', 'rgb(196, 176, 255)']);
  await render(page, { ...fixtures.full, preferences: { language: 'en', theme: 'light' } });
  const light = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
  assert.equal(light, 'rgb(240, 239, 250)');
});
