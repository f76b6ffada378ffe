// A misbehaving server as the user meets it: the analysis server answers 500, malformed JSON,
// a body over the size nimbra accepts, a redirect, and nothing within the time-out; the
// update server answers 500. Each shows its error in the page, and the program keeps
// working: the device stays connected and a later analysis succeeds.
import path from 'node:path';
import { NimbraProgram, demoHome } from './lib/nimbra_program.mjs';
import { HANG_MS, waitUntil } from './lib/processes.mjs';
import { check, installBundle, run, setUp, startServer, step } from './lib/harness.mjs';

const context = setUp('server-faults');
const ANALYZE = 'v1/history/analyze';
// Past the program's 15 s request time-out.
const PAST_TIMEOUT_MS = 16500;

const READ_ENABLED = 'const b = document.querySelector("[data-focus=history-read]"); return b && !b.disabled;';

await run(context, async () => {
  const program = installBundle(context, 'base', path.join(context.work, 'app'));
  // The first analysis, right after the first history read, meets the first fault.
  const server = await startServer(context, 'server', ['--fault', `status500:${ANALYZE}:1`]);
  const home = demoHome(path.join(context.work, 'home'));
  const nimbra = await NimbraProgram.start({ program, home, server, name: 'nimbra' });
  context.cleanups.push(() => nimbra.stop());
  await nimbra.openModule('history');
  const shown = {};

  // Waits for the analysis request that met `kind` and for the page's error after it, which
  // differs from the error before.
  let previous = '';
  async function errorAfter(kind, timeoutMs) {
    await waitUntil(`an analysis request answered with ${kind}`,
      () => server.answered(ANALYZE).some((r) => r.fault === kind), { timeoutMs });
    const text = await nimbra.driver.waitFor(`the error after ${kind}`, `
      const text = document.querySelector('[data-role=history-error]')?.textContent.trim();
      return text && text !== arguments[0] && text;`, {}, previous);
    previous = text;
    shown[kind] = text;
    console.log(`   ${kind}: "${text}"`);
    await nimbra.driver.waitFor('the read button', READ_ENABLED);
  }

  await step('500', () => errorAfter('status500', HANG_MS));
  for (const [kind, options] of [['malformed'], ['oversize'], ['redirect'], ['delay', { delayMs: PAST_TIMEOUT_MS }]]) {
    await step(kind, async () => {
      await server.fault(kind, ANALYZE, { count: 1, ...options });
      // Reading the history again asks the server again, without the wait after a failure.
      await nimbra.input.click('[data-focus=history-read]');
      await errorAfter(kind, kind === 'delay' ? PAST_TIMEOUT_MS + HANG_MS : HANG_MS);
      if (kind === 'delay') {
        const request = server.answered(ANALYZE).find((r) => r.fault === 'delay');
        check(request.delayMs === PAST_TIMEOUT_MS, 'the delay was not applied');
      }
    });
  }

  await step('the update server answers 500', async () => {
    await server.fault('status500', 'v1/app/updates/latest', { count: 1 });
    await nimbra.openModule('preferences');
    await nimbra.driver.waitFor('the check button', 'const b = document.querySelector("[data-focus=prefs-check]"); return b && !b.disabled;');
    await nimbra.input.click('[data-focus=prefs-check]');
    const phase = await nimbra.driver.waitFor('the check to fail', `
      const shown = document.querySelector('[data-role=phase]');
      return shown && shown.dataset.phase === 'error' && shown.textContent.trim();`,
    {});
    console.log(`   update check: "${phase}"`);
  });

  await step('the program keeps working', async () => {
    await nimbra.openModule('history');
    await nimbra.driver.waitFor('the read button', READ_ENABLED);
    await nimbra.input.click('[data-focus=history-read]');
    const observations = await nimbra.driver.waitFor('the observations', `
      const n = document.querySelectorAll('[data-role=observations] li').length;
      return n > 0 && !document.querySelector('[data-role=history-error]') && n;`);
    await nimbra.openModule('home');
    const serial = await nimbra.waitForText('[data-role=connection].status-ok [data-role=serial]');
    console.log(`   ${observations} observations, still connected to ${serial}`);
    for (const kind of ['status500', 'malformed', 'oversize', 'redirect', 'delay']) {
      check(shown[kind], `no error shown for ${kind}`);
    }
    check(nimbra.alive(), 'nimbra is gone');
  });
});
