// Self-update end to end on the real program from its signed bundle. The reference server
// offers build N+1 and the user asks for a check in the page:
//   good       same key: downloading, verifying, ready, installing; the program quits, build
//              N+1 proves healthy beside the bundle (its health marker), the installer swaps it
//              in and starts it from the bundle's place
//   other key  signed by another key: the check ends in "error", build N keeps running
//   broken     its program exits at once: build N is back, "failed-builds.json" holds N+1,
//              and build N's next automatic check passes N+1 over ("rollback")
import { readFileSync, readdirSync, existsSync, readlinkSync } from 'node:fs';
import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { NimbraProgram, demoHome } from './lib/nimbra_program.mjs';
import { isAlive, waitUntil } from './lib/processes.mjs';
import { check, installBundleAsUser, run, setUp, startServer, step } from './lib/harness.mjs';

const context = setUp('update');

// Records every update phase the page shows (the phase word behind its translated text), in
// order, from now on.
const RECORD_PHASES = `
  window.nimbraPhases = [];
  const note = () => {
    const phase = document.querySelector('[data-role=phase]')?.dataset.phase;
    if (phase && window.nimbraPhases[window.nimbraPhases.length - 1] !== phase) window.nimbraPhases.push(phase);
  };
  new MutationObserver(note).observe(document.body, { subtree: true, childList: true, characterData: true, attributes: true });
  note();`;

const bundleBuild = (app) => JSON.parse(readFileSync(path.join(app, 'Contents', 'Info.json'), 'utf8')).CFBundleVersion;

// Processes running `program`, with their arguments.
function runningFrom(program) {
  const found = [];
  for (const entry of readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      if (readlinkSync(`/proc/${entry}/exe`) !== program) continue;
      found.push({ pid: Number(entry), args: readFileSync(`/proc/${entry}/cmdline`, 'utf8').split('\0').filter(Boolean).slice(1) });
    } catch {
      // ended meanwhile, or not ours to read
    }
  }
  return found;
}

// One installation of build N: its bundle, data, server and the program started in it.
async function scenario(name, offered) {
  const folder = path.join(context.work, name);
  const program = installBundleAsUser(context, 'base', path.join(folder, 'user'));
  const server = await startServer(context, `server-${name}`);
  const home = demoHome(path.join(folder, 'home'));
  const nimbra = await NimbraProgram.start({ program, home, server, name: 'nimbra' });
  const s = { folder, program, server, home, nimbra, app: path.resolve(program, '../../..') };
  s.updates = path.join(home.cache, 'com.zuvo.devicecenter', 'Updates');
  // The program is one instance per session: each scenario ends what it started.
  s.end = async () => {
    await s.nimbra.stop();
    for (const p of runningFrom(program)) process.kill(p.pid, 'SIGKILL');
    await waitUntil('the programs to end', () => runningFrom(program).length === 0, { timeoutMs: 5000 });
    server.stop();
  };
  context.cleanups.push(s.end);
  await nimbra.openModule('preferences');
  const version = await nimbra.waitForText('[data-role=version]');
  check(/build 1\)/.test(version), `build N shows "${version}"`);
  // The start-up check found nothing; now the server offers the next build.
  await waitUntil('the start-up check', () => server.answered('v1/app/updates/latest', 204).length > 0);
  await nimbra.driver.waitFor('the idle phase', 'const b = document.querySelector("[data-focus=prefs-check]"); return b && !b.disabled;');
  await server.offer(path.join(context.bundles, offered, 'release.json'),
    path.join(context.bundles, offered, readdirSync(path.join(context.bundles, offered)).find((f) => f.endsWith('.zip'))));
  await nimbra.driver.script(RECORD_PHASES);
  await nimbra.input.click('[data-focus=prefs-check]');
  return s;
}

// The phases shown until the program quit (read while it still runs).
async function phasesUntilExit(s, timeoutMs) {
  let phases = [];
  await waitUntil('the program to quit for the installer', async () => {
    try {
      phases = await s.nimbra.driver.script('return window.nimbraPhases;');
    } catch {
      // the view is gone: the program is quitting
    }
    return !s.nimbra.alive();
  }, { timeoutMs, everyMs: 50 });
  return phases;
}

// Stops what the installer started and opens the bundle again under WebDriver.
async function reopen(s, name) {
  for (const p of runningFrom(s.program)) process.kill(p.pid, 'SIGTERM');
  await waitUntil('the started program to end', () => runningFrom(s.program).length === 0, { timeoutMs: 5000 });
  s.nimbra = await NimbraProgram.start({ program: s.program, home: s.home, server: s.server, name });
  await s.nimbra.openModule('preferences');
  return s.nimbra.waitForText('[data-role=version]');
}

await run(context, async () => {
  await step('a good update: build N+1 installed and running', async () => {
    const s = await scenario('good', 'next');
    const phases = await phasesUntilExit(s, 60000);
    console.log('   phases:', phases.join(' → '));
    const order = ['downloading', 'verifying', 'ready', 'installing'];
    check(order.every((p) => phases.includes(p)) &&
      order.map((p) => phases.indexOf(p)).every((i, k, all) => k === 0 || all[k - 1] < i),
    `phases ${phases}`);
    const marker = await waitUntil('the health marker of build N+1', () =>
      readdirSync(s.updates).find((f) => /^health-.*\.json$/.test(f)), { timeoutMs: 40000 });
    check(JSON.parse(readFileSync(path.join(s.updates, marker), 'utf8')).build === '2', 'the marker names another build');
    const started = await waitUntil('build N+1 started from the bundle by the installer', () =>
      bundleBuild(s.app) === '2' && runningFrom(s.program)[0], { timeoutMs: 20000 });
    await waitUntil('the installer to leave', () =>
      readdirSync(s.updates).every((f) => !/^[0-9A-F]{8}-/.test(f)), { timeoutMs: 10000 });
    check(readdirSync(path.dirname(s.app)).length === 1, 'leftovers beside the bundle');
    check(isAlive(started.pid), 'build N+1 did not keep running');
    const version = await reopen(s, 'nimbra-updated');
    execFileSync('import', ['-window', 'root', path.join(context.artifacts, 'updated-window.png')]);
    console.log(`   the installed bundle shows "${version}"`);
    check(/build 2\)/.test(version), `build N+1 shows "${version}"`);
    await s.end();
    // Removed the way a user removes it: the bundle and its desktop entry go, the data stays.
    const user = path.join(s.folder, 'user');
    const env = { ...process.env, HOME: user };
    delete env.XDG_DATA_HOME;
    execFileSync(path.resolve(path.dirname(new URL(import.meta.url).pathname), '../../scripts/install-bundle'),
      ['--uninstall'], { env, encoding: 'utf8' });
    check(!existsSync(s.app) &&
      !existsSync(path.join(user, '.local', 'share', 'applications', 'com.zuvo.devicecenter.desktop')),
    'the uninstall left the bundle or its desktop entry');
    check(readdirSync(s.home.data).length > 0, 'the uninstall removed the data');
    console.log('   uninstalled: the bundle and its desktop entry removed, the data kept');
  });

  await step('an update signed by another key: refused, build N keeps running', async () => {
    const s = await scenario('otherkey', 'otherkey');
    const phases = await s.nimbra.driver.waitFor('the error phase', `
      return window.nimbraPhases.includes('error') && window.nimbraPhases;`, { timeoutMs: 60000, everyMs: 100 });
    console.log('   phases:', phases.join(' → '));
    check(!phases.includes('installing') && !phases.includes('ready'), `phases ${phases}`);
    check(s.nimbra.alive() && bundleBuild(s.app) === '1', 'build N did not keep running');
    const version = await s.nimbra.text('[data-role=version]');
    check(/build 1\)/.test(version), `the page shows "${version}"`);
    await s.end();
  });

  await step('an update whose program exits at once: build N back, N+1 recorded as failed', async () => {
    const s = await scenario('broken', 'broken');
    const phases = await phasesUntilExit(s, 60000);
    console.log('   phases:', phases.join(' → '));
    check(phases.includes('installing'), `phases ${phases}`);
    const failed = path.join(s.updates, 'failed-builds.json');
    await waitUntil('failed-builds.json', () => existsSync(failed), { timeoutMs: 40000 });
    check(JSON.stringify(JSON.parse(readFileSync(failed, 'utf8'))) === '[2]', `failed builds ${readFileSync(failed, 'utf8')}`);
    await waitUntil('build N started again', () => runningFrom(s.program).length === 1, { timeoutMs: 10000 });
    check(bundleBuild(s.app) === '1', 'the bundle in place is not build N');
    const version = await reopen(s, 'nimbra-rolled-back');
    check(/build 1\)/.test(version), `the rolled-back program shows "${version}"`);
    // The start-up check of the restored build passes the failed build over.
    const phase = await s.nimbra.driver.waitFor('the start-up check to end', `
      const phase = document.querySelector('[data-role=phase]')?.dataset.phase;
      return !['idle', 'checking'].includes(phase) && phase;`, { timeoutMs: 20000 });
    console.log(`   the restored build's start-up check: ${phase}`);
    check(phase === 'rollback', `the start-up check ended in "${phase}"`);
    await s.end();
  });
});
