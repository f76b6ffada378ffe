// Processes for the end-to-end tests: free ports, waiting, and what /proc says about a
// program and the processes it started (WebKit's web and network processes).
import { createServer } from 'node:net';
import { readFileSync, readdirSync } from 'node:fs';

// How long a wait may take before the test calls it a hang: generous, so a busy machine (a
// build, a browser, an indexer) never turns slowness into a failure. How fast things are is
// measured and written to measurements.json, never judged by a time-out.
export const HANG_MS = 30000;

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// Polls `check` (sync or async) until it returns a truthy value or `timeoutMs` has passed.
export async function waitUntil(what, check, { timeoutMs = HANG_MS, everyMs = 100 } = {}) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await sleep(everyMs);
  }
}

export function isAlive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

function readProc(pid, file) {
  try {
    return readFileSync(`/proc/${pid}/${file}`, 'utf8');
  } catch {
    return undefined;  // the process ended meanwhile
  }
}

// `pid` and every process below it.
export function processTree(pid) {
  const parents = new Map();
  for (const entry of readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    const stat = readProc(entry, 'stat');
    if (!stat) continue;
    const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    parents.set(Number(entry), Number(fields[1]));
  }
  const tree = [pid];
  for (let i = 0; i < tree.length; ++i) {
    for (const [child, parent] of parents) if (parent === tree[i]) tree.push(child);
  }
  return tree.filter((p) => parents.has(p));
}

// CPU seconds (user + system) so far, PSS in kB and file I/O of one process.
export function usage(pid) {
  const stat = readProc(pid, 'stat');
  const result = { pid, name: '', cpuSeconds: 0, pssKb: 0, readChars: 0, writeChars: 0, writeBytes: 0 };
  if (!stat) return result;
  result.name = stat.slice(stat.indexOf('(') + 1, stat.lastIndexOf(')'));
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  result.cpuSeconds = (Number(fields[11]) + Number(fields[12])) / 100;  // utime, stime in ticks
  const pss = /^Pss:\s+(\d+) kB/m.exec(readProc(pid, 'smaps_rollup') || '');
  if (pss) result.pssKb = Number(pss[1]);
  const io = readProc(pid, 'io') || '';
  const field = (name) => Number((new RegExp(`^${name}: (\\d+)`, 'm').exec(io) || [0, 0])[1]);
  result.readChars = field('rchar');
  result.writeChars = field('wchar');
  result.writeBytes = field('write_bytes');
  return result;
}

export function treeUsage(pid) {
  const each = processTree(pid).map(usage);
  const sum = (key) => each.reduce((total, u) => total + u[key], 0);
  return {
    each,
    cpuSeconds: sum('cpuSeconds'),
    pssKb: sum('pssKb'),
    writeChars: sum('writeChars'),
    writeBytes: sum('writeBytes'),
  };
}
