// A device that goes away leaves its last known data on screen, greyed, with when it was last
// seen; the same device coming back replaces it, another device never shows it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import { createRequire } from 'node:module';
import { render, showModule, panelText, sharedPage, artifactDir } from './harness.mjs';
import { fixtures, withLanguage, withTheme } from './fixtures.mjs';

const axeSource = await readFile(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');

// A fixed local afternoon: the page stamps the moment the device went away with the clock.
const SEEN = new Date(2026, 4, 28, 14, 32, 0);

let page;
sharedPage((p) => { page = p; }, { prepare: (p) => p.clock.setFixedTime(SEEN) });

const withBattery = (state, battery) => ({ ...state, sample: { ...state.sample, battery } });
const otherDevice = (state) => ({ ...state, serial: 'ZZ9B••••1Q' });
const lastSeen = '[data-role="last-seen"]';
const count = (selector) => page.locator(selector).count();

async function play(states, module = 'home') {
  for (const state of states) await render(page, state);
  await showModule(page, module);
}

async function shownTime(date, lang) {
  return page.evaluate(([ms, locale]) => new Date(ms)
    .toLocaleTimeString(locale, { hour: '2-digit', minute: '2-digit' }), [date.getTime(), lang === 'zh' ? 'zh-CN' : 'en-GB']);
}

// [name, states in order, what the device screen shows afterwards: kept serial and battery, or none]
const SEQUENCES = [
  ['unplugged after a read', [fixtures.full, fixtures.noCable], ['QW3A••••7K', '30%']],
  ['paused after a read', [fixtures.full, fixtures.paused], ['QW3A••••7K', '30%']],
  ['the same device back with fresh data, unplugged again',
    [fixtures.full, fixtures.noCable, withBattery(fixtures.full, 55), fixtures.noCable], ['QW3A••••7K', '55%']],
  ['another device connecting drops the kept data before its first read',
    [fixtures.full, fixtures.noCable, otherDevice(fixtures.firstReading), fixtures.noCable], undefined],
  ['another device, read, then unplugged: only its own data',
    [fixtures.full, fixtures.noCable, otherDevice(withBattery(fixtures.full, 77)), fixtures.noCable], ['ZZ9B••••1Q', '77%']],
  ['a device still being read is not yet known: the one before stays',
    [fixtures.full, fixtures.noCable, { ...fixtures.firstReading, serial: undefined }, fixtures.noCable], ['QW3A••••7K', '30%']],
  ['a reload starts without it', [fixtures.noCable], undefined],
];

test('the device screen after each sequence', async (t) => {
  for (const [name, states, expected] of SEQUENCES) {
    await t.test(name, async () => {
      if (name === 'a reload starts without it') {
        await page.reload();
        await page.waitForFunction(() => typeof window.renderNimbra === 'function');
      }
      await play(states);
      if (expected === undefined) {
        assert.equal(await count(lastSeen), 0);
        for (const serial of ['QW3A', 'ZZ9B']) assert.ok(!(await panelText(page)).includes(serial), serial);
        return;
      }
      const [serial, battery] = expected;
      assert.equal(await page.locator('[data-role="last-seen-serial"]').innerText(), serial);
      assert.match(await page.locator(`${lastSeen} [data-role="battery"]`).innerText(), new RegExp(`\\b${battery}`));
      assert.equal(await page.locator('[data-role="last-seen-time"]').innerText(), `Last seen ${await shownTime(SEEN, 'en')}`);
      assert.equal(await count('[data-role="serial"]'), 0, 'no live serial');
      assert.equal(await count(`${lastSeen} [data-role="session"]`), 0, 'no claim about a session now');
      assert.equal(await count(`${lastSeen} button`), 0, 'nothing in it acts');
      assert.equal(await count(`${lastSeen} svg.chart polyline`), 1, 'the battery chart stays');
      const greyed = await page.locator(`${lastSeen} .stale`).evaluate((el) => getComputedStyle(el).filter);
      assert.equal(greyed, 'grayscale(1)');
    });
  }
});

test('history stays browsable, greyed, while setting writes stay blocked', async () => {
  await play([fixtures.full, fixtures.noCable], 'history');
  const text = await panelText(page);
  assert.match(text, /Last seen/);
  assert.match(text, /Records kept\s*112/);
  assert.match(text, /Entries on device\s*9/);
  assert.equal(await count('.stale .timeline-item'), 4, 'observations kept');
  assert.equal(await page.locator('[data-focus="history-read"]').isDisabled(), true);
  await page.click('.catalogue summary');
  assert.equal(await page.locator('.catalogue').evaluate((el) => el.open), true, 'the catalogue opens');
  assert.equal(await count('.catalogue tbody tr'), 9);

  await showModule(page, 'settings');
  const switches = await page.locator('[role="switch"]').evaluateAll((els) => els.map((e) => e.disabled));
  assert.ok(switches.length > 0 && switches.every(Boolean), 'every switch disabled');
});

// The page sees only the masked serial: a device that looks alike starts afresh with its read
// and never shows the history of the one before.
test('a look-alike device\'s read replaces everything kept', async () => {
  const unread = { ...withBattery(fixtures.full, 41), history: undefined, archiveCount: undefined,
    directoryCount: undefined, observations: undefined };
  await play([fixtures.full, fixtures.noCable, unread, fixtures.noCable], 'history');
  assert.match(await panelText(page), /Last seen/);
  assert.match(await panelText(page), /Records kept\s*—/);
  assert.equal(await count('.timeline-item'), 0);
  await showModule(page, 'home');
  assert.match(await page.locator(`${lastSeen} [data-role="battery"]`).innerText(), /\b41%/);
});

test('Chinese, and the date once it is no longer today', async () => {
  await play([withLanguage(fixtures.full, 'zh'), withLanguage(fixtures.noCable, 'zh')]);
  assert.equal(await page.locator('[data-role="last-seen-time"]').innerText(), `最后连接于 ${await shownTime(SEEN, 'zh')}`);
  assert.match(await panelText(page), /最后一次连接时的数据/);

  await page.clock.setFixedTime(new Date(SEEN.getTime() + 86400 * 1000));
  await play([withLanguage(fixtures.noCable, 'en')]);
  const shown = await page.locator('[data-role="last-seen-time"]').innerText();
  assert.match(shown, /^Last seen .*28.*May|^Last seen .*May.*28/, shown);
});

// Greyed, yet readable: the audit (contrast included) finds nothing serious.
test('the greyed data passes the audit in both themes', async () => {
  await page.evaluate(axeSource);
  for (const [theme, lang] of [['light', 'en'], ['dark', 'zh']]) {
    const state = (s) => withTheme(withLanguage(s, lang), theme);
    for (const module of ['home', 'history']) {
      await play([state(fixtures.full), state(fixtures.noCable)], module);
      await page.screenshot({ path: path.join(artifactDir, `last-seen-${module}-${lang}-${theme}.png`), fullPage: true });
      const result = await page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'] }));
      const serious = result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical').map((v) => v.id);
      assert.deepEqual(serious, [], `${module} ${lang} ${theme}`);
    }
  }
});
