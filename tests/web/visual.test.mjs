// Every module in both languages and both themes: screenshots for review,
// an accessibility audit and a check that nothing spills out of the window.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import { createRequire } from 'node:module';
import {
  startBrowser, openPage, render, showModule, MODULES, DEFAULT_SIZE, MIN_SIZE, artifactDir,
} from './harness.mjs';
import { fixtures, withLanguage, withTheme, SHARING } from './fixtures.mjs';

const require = createRequire(import.meta.url);
const axeSource = await readFile(require.resolve('axe-core/axe.min.js'), 'utf8');

// Evaluated through the debugging protocol: the page's own policy rightly
// refuses inline scripts.
async function injectAxe(page) {
  await page.evaluate(axeSource);
  assert.equal(await page.evaluate(() => typeof window.axe), 'object');
}

let env;
before(async () => { env = await startBrowser(); });
after(async () => { await env.close(); });

async function prepared(theme, lang, size, state = fixtures.full) {
  const page = await openPage(env, { size, colorScheme: theme });
  await page.evaluate((s) => window.configureSharing(s), SHARING);
  await render(page, withTheme(withLanguage(state, lang), theme));
  return page;
}

// Anything wider than its box, or the page itself scrolling sideways.
async function overflowReport(page) {
  return page.evaluate(() => {
    const out = [];
    const doc = document.documentElement;
    if (doc.scrollWidth > doc.clientWidth) out.push(`document ${doc.scrollWidth} > ${doc.clientWidth}`);
    const limit = document.querySelector('.content').getBoundingClientRect().right;
    for (const el of document.querySelectorAll('#panel *')) {
      const r = el.getBoundingClientRect();
      if (r.width > 0 && r.right > limit + 0.5 && !el.closest('.table-wrap')) {
        out.push(`${el.tagName.toLowerCase()}.${el.className} right ${Math.round(r.right)} > ${Math.round(limit)}`);
      }
    }
    return out;
  });
}

for (const theme of ['light', 'dark']) {
  for (const lang of ['en', 'zh']) {
    test(`screenshots, layout and audit: ${theme} ${lang}`, async () => {
      const page = await prepared(theme, lang, DEFAULT_SIZE);
      await injectAxe(page);
      for (const module of MODULES) {
        await showModule(page, module);
        await page.screenshot({ path: path.join(artifactDir, `${module}-${lang}-${theme}.png`) });
        // Long modules: a second picture of their end.
        const scrolled = await page.evaluate(() => {
          const c = document.querySelector('.content');
          c.scrollTop = c.scrollHeight;
          return c.scrollTop > 0;
        });
        if (scrolled) {
          await page.screenshot({ path: path.join(artifactDir, `${module}-${lang}-${theme}-end.png`) });
          await page.evaluate(() => { document.querySelector('.content').scrollTop = 0; });
        }
        assert.deepEqual(await overflowReport(page), [], `${module} overflows`);
        const visible = await page.locator('body').innerText();
        assert.doesNotMatch(visible, /\b(app|nav|status|home|history|settings|setting\w*|result|care|prefs|phase)\.[a-zA-Z.]+\b/,
          `${module}: an untranslated text key`);
        const result = await page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'] }));
        const serious = result.violations
          .filter((v) => v.impact === 'serious' || v.impact === 'critical')
          .map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
        assert.deepEqual(serious, [], `${module} (${theme}, ${lang}) accessibility`);
      }
      assert.deepEqual(page.problems, []);
      await page.close();
    });
  }
}

test('both languages have every text', async () => {
  const page = await openPage(env);
  const gaps = await page.evaluate(() => {
    const { en, zh } = window.NimbraPage.i18n.TEXTS;
    return [...Object.keys(en).filter((k) => !(k in zh)), ...Object.keys(zh).filter((k) => !(k in en))];
  });
  assert.deepEqual(gaps, []);
  await page.close();
});

test('the smallest window keeps every module inside its width', async () => {
  for (const lang of ['en', 'zh']) {
    const page = await prepared('light', lang, MIN_SIZE);
    for (const module of MODULES) {
      await showModule(page, module);
      assert.deepEqual(await overflowReport(page), [], `${module} (${lang}) at ${MIN_SIZE.width}×${MIN_SIZE.height}`);
      await page.screenshot({ path: path.join(artifactDir, `min-${module}-${lang}.png`) });
    }
    await page.close();
  }
});

test('states with notices fit and pass the audit', async () => {
  const page = await prepared('dark', 'zh', MIN_SIZE, fixtures.connectionFailed);
  await injectAxe(page);
  const cases = [
    ['connectionFailed', 'home'], ['firstReading', 'home'], ['paused', 'home'], ['noCable', 'settings'],
    ['historyError', 'history'], ['resetRunning', 'care'], ['storageError', 'care'],
    ['journalError', 'settings'], ['updatePermission', 'preferences'],
  ];
  for (const [name, module] of cases) {
    await render(page, withTheme(withLanguage(fixtures[name], 'zh'), 'dark'));
    await showModule(page, module);
    await page.screenshot({ path: path.join(artifactDir, `state-${name}-zh-dark.png`) });
    assert.deepEqual(await overflowReport(page), [], name);
    const result = await page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'] }));
    const serious = result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical').map((v) => v.id);
    assert.deepEqual(serious, [], name);
  }
  // The reset confirmation exists only in the page.
  await render(page, withTheme(withLanguage({ ...fixtures.resetOffered }, 'zh'), 'dark'));
  await showModule(page, 'care');
  await page.click('[data-focus="care-reset"]');
  await page.screenshot({ path: path.join(artifactDir, 'state-resetConfirm-zh-dark.png') });
  const confirm = await page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'] }));
  assert.deepEqual(confirm.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical').map((v) => v.id), []);
  assert.deepEqual(page.problems, []);
  await page.close();
});

test('a large window keeps the column readable; interface text is not selectable', async () => {
  const page = await prepared('light', 'en', { width: 1800, height: 1000 });
  for (const module of MODULES) {
    await showModule(page, module);
    const width = await page.evaluate(() => document.getElementById('panel').getBoundingClientRect().width);
    assert.ok(width <= 880, `${module}: panel ${width} px wide`);
  }
  await page.screenshot({ path: path.join(artifactDir, 'wide-preferences-en.png') });
  const selectable = await page.evaluate(() => Object.fromEntries(
    ['#module-title', '.card-title', '.tab', '[data-role="share-url"]']
      .map((s) => [s, getComputedStyle(document.querySelector(s)).userSelect])));
  assert.deepEqual(selectable, {
    '#module-title': 'none', '.card-title': 'none', '.tab': 'none', '[data-role="share-url"]': 'all',
  });
  await page.close();
});
