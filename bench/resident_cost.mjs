// The resident-cost measurement (run through bench/resident_cost, which provides the X server
// and session bus): nimbra in the demo and the floor program, started alternately, each round
// measured in three phases:
//   idle       the window shown, the demo device attached, no use session
//   session    a use session, past its heating
//   minimised  the window minimised (unmapped where no window manager can minimise it)
// For each phase and process: CPU in percent of one core, voluntary context switches (the
// wake-ups) per second; the processes' total PSS at the end of the idle phase; for nimbra the
// screen states pushed per second, how many differed from the push before and how many
// reached the page (NIMBRA_DELIVERY_STATS, read on SIGUSR1). The summary gives each figure's
// median over the rounds and its ratio to the floor, with the machine's load beside it: a
// figure taken on a busy machine says less.
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, renameSync, rmSync, writeFileSync } from 'node:fs';
import { cpus, loadavg, tmpdir } from 'node:os';
import path from 'node:path';
import { demoEnvironment, demoHome } from '../tests/e2e/lib/nimbra_program.mjs';
import { HANG_MS, processTree, sleep, usage, waitUntil } from '../tests/e2e/lib/processes.mjs';
import { ReferenceServer } from '../tests/e2e/lib/reference_server.mjs';

const OPTIONS = {
  rounds: 3,
  settleSeconds: 20,  // after the first render: the first read, history and estimate finish
  idleSeconds: 60,
  sessionSeconds: 15,
  heatingSeconds: 16,  // a session's heating, waited out before its figures are taken
  minimisedSeconds: 60,
  json: '',
  nimbra: '',  // another nimbra program to measure (a build before a change), else the build's
  growthMinutes: 0,  // instead of the rounds: nimbra left idle this long, its PSS followed
  // The moving floor: the floor with one short text changed every this many seconds (nimbra's
  // poll), the least a window showing a live reading costs; 0 leaves it out.
  movingSeconds: 5,
};

function parseArguments(argv) {
  const [buildDir, ...rest] = argv;
  const options = { ...OPTIONS, buildDir };
  for (let i = 0; i < rest.length; i += 2) {
    const name = rest[i].replace(/^--/, '').replace(/-([a-z])/g, (_, c) => c.toUpperCase());
    if (!(name in OPTIONS) || rest[i + 1] === undefined) {
      console.error(`resident_cost: unknown option or missing value: ${rest[i]}`);
      process.exit(2);
    }
    options[name] = typeof OPTIONS[name] === 'string' ? rest[i + 1] : Number(rest[i + 1]);
  }
  return options;
}

const options = parseArguments(process.argv.slice(2));
const work = mkdtempSync(path.join(tmpdir(), 'nimbra-resident-'));

function xdotool(...args) {
  return execFileSync('xdotool', args, { encoding: 'utf8', timeout: HANG_MS }).trim();
}

function viewable(windowId) {
  return /Map State: IsViewable/.test(execFileSync('xwininfo', ['-id', windowId], { encoding: 'utf8' }));
}

// Each thread of `pid` by thread id: its name, CPU seconds and voluntary context switches.
function threads(pid) {
  const counts = new Map();
  let tasks = [];
  try {
    tasks = readdirSync(`/proc/${pid}/task`);
  } catch {
    return counts;
  }
  for (const tid of tasks) {
    try {
      const status = readFileSync(`/proc/${pid}/task/${tid}/status`, 'utf8');
      const stat = readFileSync(`/proc/${pid}/task/${tid}/stat`, 'utf8');
      const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
      counts.set(tid, {
        name: stat.slice(stat.indexOf('(') + 1, stat.lastIndexOf(')')),
        cpuSeconds: (Number(fields[11]) + Number(fields[12])) / 100,
        switches: Number(/^voluntary_ctxt_switches:\s+(\d+)/m.exec(status)[1]),
      });
    } catch {
      // the thread ended meanwhile
    }
  }
  return counts;
}

function snapshot(pid) {
  return processTree(pid).map((p) => ({ ...usage(p), threads: threads(p) }));
}

function loadNow() {
  return Number(loadavg()[0].toFixed(2));
}

// One running program: nimbra or the floor.
class Resident {
  static async start(kind, round, server) {
    const dir = path.join(work, `${kind}-${round}`);
    let child;
    let stats;
    if (kind === 'nimbra') {
      const home = demoHome(dir);
      stats = path.join(dir, 'delivery-stats');
      child = spawn(options.nimbra || path.join(options.buildDir, 'src', 'nimbra'), [], {
        env: demoEnvironment(home, server, { NIMBRA_DELIVERY_STATS: stats }),
        stdio: 'ignore',
      });
      const resident = new Resident(kind, child, home, stats);
      await waitUntil('the first render', () => existsSync(home.report) &&
        readFileSync(home.report, 'utf8').includes('first-render '));
      await resident.findWindow('^nimbra$');
      // A measurement's quiet minute stays quiet: sessions only when asked for.
      await resident.control('manual');
      return resident;
    }
    mkdirSync(dir, { recursive: true });
    const args = kind === 'moving' ? ['--update-seconds', String(options.movingSeconds)] : [];
    child = spawn(path.join(options.buildDir, 'bench', 'resident_floor'), args, { stdio: 'ignore' });
    const resident = new Resident(kind, child, undefined, undefined);
    await resident.findWindow('^nimbra-floor$');
    return resident;
  }

  constructor(kind, child, home, stats) {
    this.kind = kind;
    this.child = child;
    this.pid = child.pid;
    this.home = home;
    this.stats = stats;
    this.exited = new Promise((resolve) => child.on('exit', resolve));
  }

  async findWindow(name) {
    this.windowId = await waitUntil(`the ${this.kind} window`, () => {
      try {
        return xdotool('search', '--onlyvisible', '--pid', String(this.pid), '--name', name).split('\n')[0];
      } catch {
        return undefined;  // nothing matches yet
      }
    });
  }

  async control(command) {
    const staged = `${this.home.control}.new`;
    writeFileSync(staged, `${command}\n`);
    renameSync(staged, this.home.control);
    await waitUntil(`the demo device to take "${command}"`, () => !existsSync(this.home.control), { everyMs: 20 });
  }

  // nimbra's push counts so far; none for the floor.
  async deliveryCounts() {
    if (!this.stats) return undefined;
    rmSync(this.stats, { force: true });
    process.kill(this.pid, 'SIGUSR1');
    await waitUntil('the delivery counts', () => existsSync(this.stats), { everyMs: 20 });
    return Object.fromEntries(readFileSync(this.stats, 'utf8').trim().split('\n')
      .map((line) => line.split(' ')).map(([name, value]) => [name, Number(value)]));
  }

  // Minimises the window; without a window manager to do it, unmaps it as one would.
  async minimise() {
    xdotool('windowminimize', this.windowId);
    await sleep(1000);
    this.minimisedBy = 'windowminimize';
    if (viewable(this.windowId)) {
      xdotool('windowunmap', '--sync', this.windowId);
      this.minimisedBy = 'windowunmap (no window manager)';
    }
  }

  async restore() {
    xdotool('windowmap', '--sync', this.windowId);
  }

  async stop() {
    this.child.kill('SIGTERM');
    const ended = await Promise.race([this.exited, sleep(HANG_MS).then(() => false)]);
    if (ended === false) this.child.kill('SIGKILL');
    await this.exited;
  }
}

// The figures of `resident` over `seconds` from now.
async function measure(resident, seconds) {
  const loadBefore = loadNow();
  const countsBefore = await resident.deliveryCounts();
  const before = new Map(snapshot(resident.pid).map((u) => [u.pid, u]));
  const startedAt = process.hrtime.bigint();
  await sleep(seconds * 1000);
  const after = snapshot(resident.pid);
  const wall = Number(process.hrtime.bigint() - startedAt) / 1e9;
  const countsAfter = await resident.deliveryCounts();
  const byProcess = after.filter((u) => before.has(u.pid)).map((u) => {
    const earlier = before.get(u.pid);
    let switches = 0;
    const busiest = [];
    for (const [tid, thread] of u.threads) {
      const before = earlier.threads.get(tid) ?? { cpuSeconds: 0, switches: 0 };
      switches += thread.switches - before.switches;
      busiest.push({
        name: thread.name,
        cpuPercent: 100 * (thread.cpuSeconds - before.cpuSeconds) / wall,
        wakeupsPerSecond: (thread.switches - before.switches) / wall,
      });
    }
    busiest.sort((a, b) => b.wakeupsPerSecond - a.wakeupsPerSecond);
    return {
      name: u.name,
      cpuPercent: 100 * (u.cpuSeconds - earlier.cpuSeconds) / wall,
      wakeupsPerSecond: switches / wall,
      threads: busiest.slice(0, 6).filter((t) => t.wakeupsPerSecond > 0 || t.cpuPercent > 0),
    };
  });
  const result = {
    seconds: wall,
    load: [loadBefore, loadNow()],
    cpuPercent: byProcess.reduce((t, p) => t + p.cpuPercent, 0),
    wakeupsPerSecond: byProcess.reduce((t, p) => t + p.wakeupsPerSecond, 0),
    byProcess,
  };
  if (countsBefore && countsAfter) {
    const rate = (name) => (countsAfter[name] - countsBefore[name]) / wall;
    result.pushesPerSecond = rate('pushed');
    result.changedPerSecond = rate('changed');
    result.deliveredPerSecond = rate('delivered');
  }
  return result;
}

async function round(kind, index, server) {
  const resident = await Resident.start(kind, index, server);
  try {
    await sleep(options.settleSeconds * 1000);
    const idle = await measure(resident, options.idleSeconds);
    const pss = snapshot(resident.pid).map((u) => ({ name: u.name, kb: u.pssKb }));
    await resident.minimise();
    const minimised = await measure(resident, options.minimisedSeconds);
    await resident.restore();
    await sleep(3000);  // the state that waited goes out
    if (kind === 'nimbra') await resident.control('session');
    await sleep(options.heatingSeconds * 1000);
    const session = await measure(resident, options.sessionSeconds);
    return { kind, round: index, minimisedBy: resident.minimisedBy, pssKb: pss.reduce((t, p) => t + p.kb, 0), pss, idle, session, minimised };
  } finally {
    await resident.stop();
  }
}

// What each round measures: nimbra, the floor and, unless left out, the moving floor.
const kinds = () => (options.movingSeconds > 0 ? ['nimbra', 'floor', 'moving'] : ['nimbra', 'floor']);

const median = (values) => {
  const sorted = values.filter((v) => v !== undefined && !Number.isNaN(v)).sort((a, b) => a - b);
  if (sorted.length === 0) return undefined;
  const mid = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
};

const format = (value, digits = 2) => (value === undefined ? '-' : value.toFixed(digits));

function summarise(results) {
  const of = (kind) => results.filter((r) => r.kind === kind);
  const rows = [];
  const ratio = (a, b) => (a !== undefined && b ? `${(a / b).toFixed(2)}x` : '-');
  const row = (label, pick, digits = 2) => {
    const [nimbra, floor, moving] = kinds().map((kind) => median(of(kind).map(pick)));
    const cells = [label, format(nimbra, digits), format(floor, digits), ratio(nimbra, floor)];
    if (options.movingSeconds > 0) cells.push(format(moving, digits), ratio(nimbra, moving));
    rows.push(cells);
  };
  for (const phase of ['idle', 'session', 'minimised']) {
    row(`${phase}: CPU % of one core`, (r) => r[phase].cpuPercent);
    row(`${phase}: wake-ups per s`, (r) => r[phase].wakeupsPerSecond, 1);
    row(`${phase}: pushes per s`, (r) => r[phase].pushesPerSecond, 3);
    row(`${phase}: differing pushes per s`, (r) => r[phase].changedPerSecond, 3);
    row(`${phase}: delivered per s`, (r) => r[phase].deliveredPerSecond, 3);
  }
  row('PSS total, MB', (r) => r.pssKb / 1024, 1);
  const width = [34, 10, 10, 8, 10, 8];
  const line = (cells) => cells.map((c, i) => (i === 0 ? c.padEnd(width[i]) : c.padStart(width[i]))).join(' ');
  console.log(`\nmedians over ${options.rounds} round(s) each` + (options.movingSeconds > 0
    ? `; moving: the floor with one text changed every ${options.movingSeconds} s` : ''));
  console.log(line(['', 'nimbra', 'floor', 'ratio', 'moving', 'ratio'].slice(0, options.movingSeconds > 0 ? 6 : 4)));
  for (const r of rows) console.log(line(r));

  console.log('\nper process (median CPU % / wake-ups per s):');
  for (const kind of kinds()) {
    const names = [...new Set(of(kind).flatMap((r) => r.idle.byProcess.map((p) => p.name)))];
    for (const name of names) {
      const cells = ['idle', 'session', 'minimised'].map((phase) => {
        const pick = (key) => median(of(kind).map((r) => r[phase].byProcess.filter((p) => p.name === name)
          .reduce((t, p) => t + p[key], 0)));
        return `${phase} ${format(pick('cpuPercent'))} / ${format(pick('wakeupsPerSecond'), 1)}`;
      });
      const pss = median(of(kind).map((r) => r.pss.filter((p) => p.name === name).reduce((t, p) => t + p.kb, 0)));
      console.log(`  ${kind.padEnd(7)} ${name.padEnd(22)} ${cells.join(', ')}, PSS ${format(pss / 1024, 1)} MB`);
    }
  }
}

// Whether nimbra grows while left open: idle in the demo with the device attached and the
// window shown, its PSS per process (the program and WebKit's processes) after the first
// minute and then every five minutes, and the growth from the first minute to the last.
async function growth(server) {
  const resident = await Resident.start('nimbra', 1, server);
  console.log(`nimbra ${resident.pid} rendered its first state; PSS follows`);
  const pssByName = () => {
    const byName = {};
    for (const u of snapshot(resident.pid)) byName[u.name] = (byName[u.name] ?? 0) + u.pssKb;
    return byName;
  };
  // PSS shares library pages among every process mapping them, so it moves when other
  // WebKit programs start or end; the private pages are this program's alone.
  const privateByName = () => {
    const byName = {};
    for (const pid of processTree(resident.pid)) {
      try {
        const rollup = readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8');
        const name = readFileSync(`/proc/${pid}/comm`, 'utf8').trim();
        const kb = [...rollup.matchAll(/^Private_(?:Clean|Dirty):\s+(\d+) kB/gm)].reduce((t, m) => t + Number(m[1]), 0);
        byName[name] = (byName[name] ?? 0) + kb;
      } catch {
        // the process ended meanwhile
      }
    }
    return byName;
  };
  const samples = [];
  const take = (minute) => {
    const sample = { minute, load: loadNow(), pssKb: pssByName(), privateKb: privateByName() };
    samples.push(sample);
    const cells = Object.entries(sample.pssKb).map(([name, kb]) =>
      `${name} ${format(kb / 1024, 1)} MB (private ${format((sample.privateKb[name] ?? 0) / 1024, 1)})`);
    console.log(`minute ${String(minute).padStart(3)}: ${cells.join(', ')}, load ${sample.load}`);
  };
  try {
    const startedAt = Date.now();
    const at = async (minute) => {
      const wait = startedAt + minute * 60000 - Date.now();
      console.log(`(next sample at minute ${minute}, in ${Math.round(wait / 1000)} s)`);
      if (wait > 0) await sleep(wait);
    };
    await at(1);
    take(1);
    for (let minute = 5; minute <= options.growthMinutes; minute += 5) {
      await at(minute);
      take(minute);
    }
    if (options.growthMinutes % 5 !== 0 && options.growthMinutes > 1) {
      await at(options.growthMinutes);
      take(options.growthMinutes);
    }
  } finally {
    await resident.stop();
  }
  const first = samples[0];
  const last = samples[samples.length - 1];
  console.log(`\nPSS after minute ${first.minute} and after minute ${last.minute}, growth:`);
  const names = [...new Set(samples.flatMap((s) => Object.keys(s.pssKb)))];
  const total = (s, key) => Object.values(s[key]).reduce((t, kb) => t + kb, 0);
  const rows = [...names.map((name) => [name, first.pssKb[name] ?? 0, last.pssKb[name] ?? 0]),
    ['total', total(first, 'pssKb'), total(last, 'pssKb')],
    ['total private', total(first, 'privateKb'), total(last, 'privateKb')]];
  for (const [name, a, b] of rows) {
    console.log(`  ${name.padEnd(22)} ${format(a / 1024, 1).padStart(8)} MB ${format(b / 1024, 1).padStart(8)} MB ` +
      `${a ? `${(100 * (b - a) / a).toFixed(1).padStart(6)} %` : '-'}`);
  }
  return samples;
}

async function main() {
  const cores = cpus().length;
  const startLoad = loadavg();
  const plan = options.growthMinutes > 0 ? `nimbra idle for ${options.growthMinutes} minutes` :
    `${options.rounds} round(s); idle ${options.idleSeconds} s, session ${options.sessionSeconds} s, ` +
    `minimised ${options.minimisedSeconds} s`;
  console.log(`resident_cost: ${plan}; ${cores} cores, load ${startLoad.map((l) => l.toFixed(2)).join(' ')}`);
  const server = await ReferenceServer.start({
    binary: path.join(options.buildDir, 'tools', 'reference-server', 'nimbra-reference-server'),
    dir: path.join(work, 'server'),
  });
  if (options.growthMinutes > 0) {
    try {
      const samples = await growth(server);
      if (options.json) writeFileSync(options.json, JSON.stringify({ options, cores, samples }, null, 2));
    } finally {
      server.stop();
    }
    rmSync(work, { recursive: true, force: true });
    return;
  }
  const results = [];
  try {
    for (let i = 1; i <= options.rounds; ++i) {
      for (const kind of kinds()) {
        const result = await round(kind, i, server);
        results.push(result);
        const load = [result.idle, result.session, result.minimised].flatMap((p) => p.load);
        console.log(`round ${i} ${kind.padEnd(6)}: idle ${format(result.idle.cpuPercent)} %, ` +
          `session ${format(result.session.cpuPercent)} %, minimised ${format(result.minimised.cpuPercent)} %, ` +
          `PSS ${format(result.pssKb / 1024, 1)} MB, idle pushes/s ${format(result.idle.pushesPerSecond, 3)}, ` +
          `load ${Math.min(...load)}-${Math.max(...load)}, minimised by ${result.minimisedBy}`);
        for (const p of result.idle.byProcess.filter((q) => q.threads.length > 0)) {
          console.log(`    idle ${p.name}: ${p.threads.map((t) =>
            `${t.name} ${format(t.cpuPercent)}%/${format(t.wakeupsPerSecond, 1)}/s`).join(', ')}`);
        }
      }
    }
  } finally {
    server.stop();
  }
  summarise(results);
  const loads = results.flatMap((r) => [r.idle, r.session, r.minimised].flatMap((p) => p.load));
  const busy = Math.max(...loads) >= cores / 2;
  console.log(`\nmachine: ${cores} cores, 1-minute load average during the phases ` +
    `${Math.min(...loads).toFixed(2)}-${Math.max(...loads).toFixed(2)}: ` +
    `${busy ? 'BUSY machine (figures inflated by contention; compare ratios, not absolutes)' : 'quiet machine'}`);
  if (options.json) {
    writeFileSync(options.json, JSON.stringify({ options, cores, busy, results }, (key, value) =>
      (value instanceof Map ? undefined : value), 2));
  }
  rmSync(work, { recursive: true, force: true });
}

await main();
