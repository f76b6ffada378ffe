// The page's own texts (js/i18n.js): both languages define the same keys, and every key is
// used by the page, by its literal name or under a prefix the page completes at run time
// (`nav.${module}`, 'phase.' + …).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readdir, readFile } from 'node:fs/promises';
import path from 'node:path';
import { webRoot, sharedPage } from './harness.mjs';

// The page's scripts and markup but the text table itself.
async function pageSources(dir) {
  const out = [];
  for (const entry of await readdir(dir, { withFileTypes: true })) {
    const full = path.join(dir, entry.name);
    if (entry.isDirectory()) out.push(...await pageSources(full));
    else if (/\.(js|html)$/.test(entry.name) && entry.name !== 'i18n.js') out.push(await readFile(full, 'utf8'));
  }
  return out;
}

let page;
sharedPage((p) => { page = p; });

test('both languages define the same keys', async () => {
  const { en, zh } = await page.evaluate(() => {
    const { TEXTS } = window.NimbraPage.i18n;
    return { en: Object.keys(TEXTS.en), zh: Object.keys(TEXTS.zh) };
  });
  assert.deepEqual(en.filter((k) => !zh.includes(k)), [], 'English keys without Chinese');
  assert.deepEqual(zh.filter((k) => !en.includes(k)), [], 'Chinese keys without English');
});

test('every key is used by the page', async () => {
  const keys = await page.evaluate(() => Object.keys(window.NimbraPage.i18n.TEXTS.en));
  const source = (await pageSources(webRoot)).join('\n');
  const literals = new Set([...source.matchAll(/['"`]([A-Za-z0-9_.-]+)['"`]/g)].map((m) => m[1]));
  const prefixes = [
    ...[...source.matchAll(/`([A-Za-z0-9_.]+\.)\$\{/g)].map((m) => m[1]),
    ...[...source.matchAll(/'([A-Za-z0-9_.]+\.)'\s*\+/g)].map((m) => m[1]),
  ];
  const unused = keys.filter((k) => !literals.has(k) && !prefixes.some((p) => k.startsWith(p)));
  assert.deepEqual(unused, []);
});
