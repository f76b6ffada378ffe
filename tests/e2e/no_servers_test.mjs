// The first start of a build without servers, as its user meets it: the simulated device and
// no NIMBRA_DEMO_SERVER, so the program has only the servers of its build (none in a plain
// build). The device, its history and the preferences are shown in English without an error,
// a failed check or an estimate that never comes; History says analysis is not available,
// the Updates card where updates come from, and there is no share card. Screenshots of the
// three sections land in ARTIFACTS.
//
// Usage: node no_servers_test.mjs BUILD-DIR BUNDLES ARTIFACTS [PROGRAM]
// PROGRAM (default: a copy of the signed bundle) lets the same scenario run the installed
// Debian package, /usr/bin/nimbra, whose Updates card names the package manager.
import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { NimbraProgram, demoHome } from './lib/nimbra_program.mjs';
import { check, installBundle, run, setUp, step } from './lib/harness.mjs';

const context = setUp('no-servers');
const givenProgram = process.argv[5];

// Anything on the page that reads as a failure or a wait without end.
const ALARM = /Estimating|failed|error|not found|\.invalid|找不到|失败|估算中/i;

async function screenshot(program, name) {
  const file = path.join(context.artifacts, `${name}.png`);
  execFileSync('import', ['-window', program.input.windowId, file]);
  return file;
}

// The module's text once `ready` holds, checked for alarms and an error badge.
async function shown(nimbra, module, ready) {
  await nimbra.openModule(module);
  await nimbra.driver.waitFor(`the ${module} module drawn`, ready);
  const found = await nimbra.driver.script(`
    const panel = document.getElementById('panel');
    return { text: document.body.innerText,
             errors: panel.querySelectorAll('.badge-error, .notice-error, .status-error').length };`);
  const alarm = found.text.match(ALARM);
  check(!alarm, `${module}: "${alarm && alarm[0]}" shown:\n${found.text}`);
  check(found.errors === 0, `${module}: ${found.errors} error badges or notices`);
  await screenshot(nimbra, `${module}-${givenProgram ? 'package' : 'bundle'}-en`);
  return found.text;
}

await run(context, async () => {
  const program = givenProgram || installBundle(context, 'base', path.join(context.work, 'app'));
  const home = demoHome(path.join(context.work, 'home'));
  const nimbra = await NimbraProgram.start({
    program, home, name: 'nimbra', env: { LANGUAGE: 'en', LC_ALL: 'C.UTF-8', LANG: 'C.UTF-8' },
  });
  context.cleanups.push(() => nimbra.stop());

  await step('Device: the charge, no estimate', async () => {
    await shown(nimbra, 'home', `
      const battery = document.querySelector('[data-role=battery] .metric-value')?.textContent ?? '';
      return document.querySelector('[data-role=connection].status-ok') && /\\d+%/.test(battery);`);
    check(await nimbra.driver.script('return !document.querySelector("[data-role=estimate]");'),
      'an estimate tile is shown');
  });

  await step('History: kept and counted, analysis not available', async () => {
    const text = await shown(nimbra, 'history', `
      const n = document.querySelectorAll('.facts-row dd')[0]?.textContent.trim();
      return document.querySelector('[data-role=no-analysis]') && n && n !== '—';`);
    check(/Analysis is not available in this build/.test(text), 'no word that analysis is missing');
  });

  await step('Preferences: where updates come from, no share card', async () => {
    const text = await shown(nimbra, 'preferences', 'return document.querySelector("[data-role=update-source]");');
    const source = await nimbra.driver.script('return document.querySelector("[data-role=update-source]").dataset.source;');
    console.log(`   updates: ${source}`);
    check(source === (givenProgram ? 'package' : 'none'), `updates from "${source}"`);
    check(/package manager/.test(text), 'the package manager is not named');
    check(await nimbra.driver.script('return !document.querySelector(".share-card, [data-role=phase]");'),
      'a share card or an update phase is shown');
  });
});
