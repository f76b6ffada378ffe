// What every end-to-end test shares: its arguments, a private work folder, a copy of the
// signed bundle to run, the reference server, steps that say how long they took, and the
// measurements file.
//
// ARTIFACTS/measurements.json holds what a test timed (milliseconds unless the name says
// otherwise), the speed goals those times are held to ("goals"), and the machine's load while
// the test ran ("machine"): a time over its goal on a loaded machine says little, one over it
// on an idle machine is a regression to look at. No time decides whether a test passes.
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { cpus, loadavg, tmpdir } from 'node:os';
import path from 'node:path';
import { ReferenceServer } from './reference_server.mjs';

// Usage: node TEST.mjs BUILD-DIR BUNDLES ARTIFACTS
export function setUp(name) {
  const [buildDir, bundles, artifacts] = process.argv.slice(2);
  if (!artifacts) {
    console.error(`usage: ${name}.mjs BUILD-DIR BUNDLES ARTIFACTS`);
    process.exit(2);
  }
  mkdirSync(artifacts, { recursive: true });
  const work = mkdtempSync(path.join(tmpdir(), `nimbra-${name}-`));
  const context = {
    buildDir,
    bundles,
    artifacts,
    work,
    serverBinary: path.join(buildDir, 'tools', 'reference-server', 'nimbra-reference-server'),
    measurements: { goals: {}, machine: { cpus: cpus().length, loadAverageAtStart: loadavg() } },
    cleanups: [],
  };
  return context;
}

// A copy of the bundle in BUNDLES/`which` under `folder`; returns its program.
export function installBundle(context, which, folder) {
  mkdirSync(folder, { recursive: true });
  execFileSync('cp', ['-a', path.join(context.bundles, which, 'nimbra.app'), folder]);
  return path.join(folder, 'nimbra.app', 'Contents', 'bin', 'nimbra');
}

// The bundle in BUNDLES/`which` installed the way a user installs a release: its zip through
// scripts/install-bundle with the signer's public key, for a user whose home is `home`.
// Returns the installed program (home/.local/opt/nimbra.app/Contents/bin/nimbra).
export function installBundleAsUser(context, which, home) {
  mkdirSync(home, { recursive: true });
  const from = path.join(context.bundles, which);
  const zip = readdirSync(from).find((name) => name.endsWith('.zip'));
  const script = path.resolve(path.dirname(new URL(import.meta.url).pathname), '../../../scripts/install-bundle');
  const env = { ...process.env, HOME: home };
  delete env.XDG_DATA_HOME;
  const said = execFileSync(script, ['--key', path.join(from, 'minisign.pub'), path.join(from, zip)],
    { env, encoding: 'utf8' });
  console.log(said.trimEnd().split('\n').map((line) => `   ${line}`).join('\n'));
  // Started as the desktop starts it: the program its desktop entry's Exec names.
  const entry = readFileSync(path.join(home, '.local', 'share', 'applications', 'com.zuvo.devicecenter.desktop'), 'utf8');
  const exec = /^Exec="([^"]+)"/m.exec(entry);
  const installed = path.join(home, '.local', 'opt', 'nimbra.app', 'Contents', 'bin', 'nimbra');
  check(exec !== null && exec[1] === installed, `the desktop entry starts ${exec?.[1]}, not the installed bundle`);
  console.log(`   started from its desktop entry: ${exec[1]}`);
  return exec[1];
}

export async function startServer(context, name = 'server', args = []) {
  const server = await ReferenceServer.start({ binary: context.serverBinary, dir: path.join(context.work, name), args });
  context.cleanups.push(() => server.stop());
  return server;
}

// The user-visible speed goals, in milliseconds.
export const GOALS_MS = {
  connectedHomeMs: 3000,  // program start to the connected home screen
  unplugShownMs: 1000,  // cable pulled to "no device" on the page
};

// Records a time under `name` in the measurements file and says it in the log, with its goal.
export function measure(context, name, ms) {
  context.measurements[name] = ms;
  const goal = GOALS_MS[name];
  if (goal !== undefined) context.measurements.goals[name] = goal;
  const against = goal === undefined ? '' : ` (goal ${goal} ms${ms > goal ? ', over it' : ''})`;
  console.log(`   measured ${name}: ${ms} ms${against}`);
}

export async function step(title, body) {
  const started = Date.now();
  process.stdout.write(`-- ${title}\n`);
  const value = await body();
  process.stdout.write(`   done in ${Date.now() - started} ms\n`);
  return value;
}

// Runs the test's body; on failure keeps the work folder's logs under ARTIFACTS.
export async function run(context, body) {
  let failed;
  try {
    await body();
  } catch (error) {
    failed = error;
  }
  for (const cleanup of context.cleanups.reverse()) {
    try {
      await cleanup();
    } catch (error) {
      failed = failed || error;
    }
  }
  context.measurements.machine.loadAverageAtEnd = loadavg();
  writeFileSync(path.join(context.artifacts, 'measurements.json'), `${JSON.stringify(context.measurements, null, 2)}\n`);
  if (failed) {
    const kept = path.join(context.artifacts, 'work');
    rmSync(kept, { recursive: true, force: true });
    try {
      execFileSync('cp', ['-a', context.work, kept], { stdio: 'ignore' });
    } catch {
      // a file that went away while it was copied; the rest is kept
    }
    console.error(`FAILED: ${failed.stack || failed}\n(logs in ${kept})`);
  }
  rmSync(context.work, { recursive: true, force: true });
  process.exit(failed ? 1 : 0);
}

export function check(condition, message) {
  if (!condition) throw new Error(message);
}
