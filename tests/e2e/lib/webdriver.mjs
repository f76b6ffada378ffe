// A small WebDriver client for WebKitWebDriver attached to a running nimbra ("--automation",
// WEBKIT_INSPECTOR_SERVER). Only reading commands are used: WebKitGTK 6.0's driver answers
// "unsupported operation" to every input command, so input goes through xdotool
// (window_input.mjs). Every request has a time-out: a session request to a program that
// does not allow automation never answers.
import { spawn } from 'node:child_process';
import { openSync } from 'node:fs';
import { HANG_MS, sleep, freePort, waitUntil } from './processes.mjs';

const REQUEST_TIMEOUT_MS = HANG_MS;

export class WebDriver {
  constructor(driver, base, sessionId) {
    this.driver = driver;
    this.base = base;
    this.sessionId = sessionId;
  }

  // Starts WebKitWebDriver on a free port, attached to the inspector at `inspectorPort`, and
  // opens a session on the program's view. Retries the session until `timeoutMs` has passed:
  // the program's inspector listens only once its window exists.
  static async attach({ inspectorPort, logFile, timeoutMs = HANG_MS }) {
    const port = await freePort();
    const log = openSync(logFile, 'a');
    const driver = spawn('WebKitWebDriver', [`--port=${port}`, `--target=127.0.0.1:${inspectorPort}`],
      { stdio: ['ignore', log, log] });
    const base = `http://127.0.0.1:${port}`;
    const deadline = Date.now() + timeoutMs;
    let lastError;
    while (Date.now() < deadline) {
      try {
        const reply = await request(base, 'POST', '/session',
          { capabilities: { alwaysMatch: { browserName: 'nimbra' } } }, 8000);
        return new WebDriver(driver, base, reply.sessionId);
      } catch (error) {
        lastError = error;
        await sleep(250);
      }
    }
    driver.kill();
    throw new Error(`no WebDriver session within ${timeoutMs} ms: ${lastError}`);
  }

  async command(method, path, body) {
    return (await request(this.base, method, `/session/${this.sessionId}${path}`, body)).value;
  }

  // Runs `body` (a function body) in the page with `args`; returns its JSON value.
  script(body, ...args) {
    return this.command('POST', '/execute/sync', { script: body, args });
  }

  async screenshot() {
    return Buffer.from(await this.command('GET', '/screenshot'), 'base64');
  }

  // Polls `body` until it returns a truthy value; returns it, or throws after `timeoutMs`.
  waitFor(what, body, { timeoutMs = HANG_MS, everyMs = 50 } = {}, ...args) {
    return waitUntil(what, () => this.script(body, ...args), { timeoutMs, everyMs });
  }

  async close() {
    try {
      await request(this.base, 'DELETE', `/session/${this.sessionId}`, undefined, 3000);
    } catch {
      // The program may already be gone.
    }
    this.driver.kill();
  }
}

async function request(base, method, path, body, timeoutMs = REQUEST_TIMEOUT_MS) {
  const response = await fetch(base + path, {
    method,
    headers: body === undefined ? {} : { 'Content-Type': 'application/json' },
    body: body === undefined ? undefined : JSON.stringify(body),
    signal: AbortSignal.timeout(timeoutMs),
  });
  const reply = await response.json();
  if (!response.ok || (reply.value && reply.value.error)) {
    throw new Error(`WebDriver ${method} ${path}: ${JSON.stringify(reply.value ?? reply)}`);
  }
  return reply.value !== undefined && path === '/session' ? reply.value : reply;
}
