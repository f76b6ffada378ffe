// Strings from the program are data: they must show as text and never run.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import { startBrowser, openPage, render, showModule, MODULES, webRoot } from './harness.mjs';
import { fixtures } from './fixtures.mjs';

const ATTACK = '<img src=x onerror="window.__pwned=true;alert(1)">';
const SCRIPT = '<script>window.__pwned=true</script><b>bold</b>';

let env;
before(async () => { env = await startBrowser(); });
after(async () => { await env.close(); });

function hostile() {
  const s = structuredClone(fixtures.full);
  s.serial = ATTACK;
  s.message = SCRIPT;
  s.storageError = ATTACK;
  s.historyError = SCRIPT;
  s.sample.firmware = ATTACK;
  s.observations = [{ position: 1, candidateTime: '2026-05-28T09:12:00Z', tailEntries: 0, eventKind: SCRIPT, kind: ATTACK }];
  s.settingRecords = [{ id: 'X', time: '2026-05-28T09:12:00Z', action: ATTACK, before: { [ATTACK]: true }, result: SCRIPT }];
  s.maintenanceRecords = [{ action: ATTACK, startedAt: 1780000000 }];
  s.resetStatus = ATTACK;
  s.appUpdate = { version: ATTACK, build: SCRIPT, phase: ATTACK, availableVersion: SCRIPT, automatic: true };
  return s;
}

test('markup in state strings is shown as text and never runs', async () => {
  const page = await openPage(env);
  await page.evaluate((a) => window.configureSharing({ url: a, qr: 'javascript:alert(1)', qrDark: a }), ATTACK);
  await render(page, hostile());
  let shown = '';
  for (const module of MODULES) {
    await showModule(page, module);
    shown += await page.locator('#panel').innerText();
    assert.equal(await page.locator('#panel img:not(.qr), #panel script, #panel b').count(), 0, `${module}: no injected elements`);
  }
  assert.ok(shown.includes(ATTACK), 'the serial and friends appear literally');
  assert.ok(shown.includes(SCRIPT), 'the message appears literally');
  await showModule(page, 'home');
  assert.equal(await page.locator('[data-role="serial"]').innerText(), ATTACK);
  assert.equal(await page.locator('[data-role="message"]').innerText(), SCRIPT);
  await showModule(page, 'preferences');
  assert.equal(await page.locator('img.qr').count(), 0, 'a non-image URL is not used as a picture');
  // Nothing can run later if nothing that could run was ever made: no element carries an
  // inline handler and no script but the page's own files exists.
  const runnable = await page.evaluate(() => [
    ...[...document.querySelectorAll('*')].flatMap((el) =>
      [...el.attributes].filter((a) => a.name.startsWith('on')).map((a) => `${el.tagName}[${a.name}]`)),
    ...[...document.scripts].filter((s) => !s.src).map(() => 'inline script'),
  ]);
  assert.deepEqual(runnable, []);
  assert.equal(await page.evaluate(() => window.__pwned), false);
  assert.deepEqual(page.problems, []);
  await page.close();
});

test('the page brings a strict content security policy', async () => {
  const html = await readFile(path.join(webRoot, 'index.html'), 'utf8');
  const policy = html.match(/http-equiv="Content-Security-Policy"\s+content="([^"]+)"/);
  assert.ok(policy, 'policy meta tag present');
  const directives = Object.fromEntries(policy[1].split(';').map((d) => d.trim().split(/\s+/)).map(([k, ...v]) => [k, v]));
  assert.deepEqual(directives['default-src'], ["'none'"]);
  assert.deepEqual(directives['script-src'], ["'self'"]);
  assert.deepEqual(directives['style-src'], ["'self'"]);
  assert.deepEqual(directives['img-src'], ["'self'", 'data:']);
  assert.deepEqual(directives['frame-src'], ["'none'"]);
  assert.deepEqual(directives['connect-src'], ["'none'"]);

  const page = await openPage(env);
  const blocked = await page.evaluate(async () => {
    const out = {};
    try { await fetch('/index.html'); out.fetch = 'allowed'; } catch { out.fetch = 'blocked'; }
    const frame = document.createElement('iframe');
    frame.src = '/index.html';
    // The browser reports the refusal itself; wait for that rather than for a while.
    const refused = new Promise((resolve) => {
      document.addEventListener('securitypolicyviolation', (e) => {
        if (e.effectiveDirective === 'frame-src') resolve();
      });
    });
    document.body.append(frame);
    await refused;
    try { out.frame = frame.contentDocument && frame.contentDocument.body && frame.contentDocument.body.childElementCount > 0 ? 'loaded' : 'blocked'; } catch { out.frame = 'blocked'; }
    frame.remove();
    return out;
  });
  assert.deepEqual(blocked, { fetch: 'blocked', frame: 'blocked' });
  await page.close();
});

test('no page script builds markup from strings', async () => {
  const dir = path.join(webRoot, 'js');
  const files = ['dom.js', 'bridge.js', 'i18n.js', 'format.js', 'ui.js', 'chart.js', 'app.js',
    ...['home', 'history', 'settings', 'care', 'preferences'].map((m) => `modules/${m}.js`)];
  for (const f of files) {
    const src = await readFile(path.join(dir, f), 'utf8');
    assert.doesNotMatch(src, /innerHTML|outerHTML|insertAdjacentHTML|document\.write|eval\(|new Function/, f);
  }
});

test('the page loads from a file URL too', async () => {
  const page = await env.context.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(e.message));
  await page.goto(`file://${path.join(webRoot, 'index.html')}`);
  await page.waitForFunction(() => typeof window.renderNimbra === 'function', null, { timeout: 5000 });
  await page.evaluate((s) => window.renderNimbra(s), fixtures.full);
  assert.match(await page.locator('#panel').innerText(), /Connected/);
  assert.equal(await page.evaluate(() => getComputedStyle(document.body).overflow), 'hidden', 'styles applied');
  assert.deepEqual(problems, []);
  await page.close();
});
