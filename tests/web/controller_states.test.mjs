// The screen states the controller's own tests produced (tests/app, written below the
// CMake build tree) draw in every module without a script error: the C++ encoder and the
// page agree on the contract, checked on real output.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readdir, readFile } from 'node:fs/promises';
import { existsSync } from 'node:fs';
import path from 'node:path';
import { startBrowser, openPage, showModule, repoRoot, MODULES } from './harness.mjs';
import { STATE_KEYS, REQUIRED_KEYS, SHARING } from './fixtures.mjs';

// scripts/test sets the directory; by hand, the default build's is used when it exists.
const explicit = process.env.NIMBRA_SCREEN_STATES;
const stateDir = explicit || path.join(repoRoot, 'build', 'default', 'screen-states');
const skip = !explicit && !existsSync(stateDir)
  ? `no ${stateDir}: build the default preset and run its app tests first`
  : false;

let env;
let page;
before(async () => {
  if (skip) return;
  env = await startBrowser();
  page = await openPage(env);
  await page.evaluate((s) => window.configureSharing(s), SHARING);
});
after(async () => {
  if (skip) return;
  assert.deepEqual(page.problems, [], 'no script errors in any render');
  await env.close();
});

test('controller states render in every module', { skip }, async () => {
  const files = (await readdir(stateDir)).filter((f) => f.endsWith('.json')).sort();
  assert.ok(files.length >= 8, `expected the controller's scenario states in ${stateDir}`);
  for (const file of files) {
    const text = await readFile(path.join(stateDir, file), 'utf8');
    const state = JSON.parse(text);
    const keys = Object.keys(state);
    assert.deepEqual(keys, STATE_KEYS.filter((k) => keys.includes(k)), `${file}: order or unknown key`);
    for (const k of REQUIRED_KEYS) assert.ok(k in state, `${file}: ${k} missing`);
    // As the program calls it: one JSON text, parsed in the page.
    await page.evaluate((stateJSON) => window.renderNimbra(JSON.parse(stateJSON)), text);
    for (const module of MODULES) await showModule(page, module);
    assert.deepEqual(page.problems, [], `${file}: script errors`);
  }
});

// The program's own states around a pulled cable: the device's data it no longer sends stays
// on screen, greyed, under the serial it had.
test('the controller\'s unplugged state keeps the connected one\'s data on screen', { skip }, async () => {
  const state = async (name) => readFile(path.join(stateDir, `${name}.json`), 'utf8');
  const connected = await state('ControllerTest.PluggingInStartsAConnectionReadAtAttemptOne.connected');
  const unplugged = await state('ControllerTest.UnpluggingClearsTheDevice.no-cable');
  for (const text of [connected, unplugged]) {
    await page.evaluate((stateJSON) => window.renderNimbra(JSON.parse(stateJSON)), text);
  }
  await showModule(page, 'home');
  assert.equal(JSON.parse(unplugged).sample, undefined, 'the program itself no longer sends the sample');
  assert.equal(await page.locator('[data-role="last-seen-serial"]').innerText(), JSON.parse(connected).serial);
  assert.equal(await page.locator('[data-role="last-seen"] [data-role="battery"]').count(), 1);
  assert.match(await page.locator('[data-role="last-seen-time"]').innerText(), /^Last seen \d\d:\d\d$/);
});
