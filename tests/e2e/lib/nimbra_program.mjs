// One run of the real nimbra in demo mode: the simulated device, the reference server as
// every server, its own data folders and the demo device's control file, and WebDriver
// attached to its view. Input goes through xdotool (WindowInput).
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, openSync, readFileSync, renameSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { HANG_MS, freePort, isAlive, sleep, waitUntil } from './processes.mjs';
import { WebDriver } from './webdriver.mjs';
import { WindowInput } from './window_input.mjs';

// The folders and files one demo installation keeps between runs of the program.
export function demoHome(dir) {
  const home = {
    dir,
    data: path.join(dir, 'data'),
    cache: path.join(dir, 'cache'),
    config: path.join(dir, 'config'),
    control: path.join(dir, 'control'),
    report: path.join(dir, 'startup-report'),
  };
  for (const d of [home.data, home.cache, home.config]) mkdirSync(d, { recursive: true });
  return home;
}

// Without `server` the program keeps the servers of its build (none in a plain build).
export function demoEnvironment(home, server, extra = {}) {
  const env = {
    ...process.env,
    XDG_DATA_HOME: home.data,
    XDG_CACHE_HOME: home.cache,
    XDG_CONFIG_HOME: home.config,
    NIMBRA_SIMULATED_DEVICE: '1',
    NIMBRA_DEMO_CONTROL: home.control,
    NIMBRA_STARTUP_REPORT: home.report,
    ...extra,
  };
  delete env.NIMBRA_DEMO_SERVER;
  delete env.NIMBRA_DEMO_CA;
  if (server) Object.assign(env, { NIMBRA_DEMO_SERVER: server.url, NIMBRA_DEMO_CA: server.files.ca });
  return env;
}

export class NimbraProgram {
  // Starts `program` with "--automation" and attaches WebDriver to it; `server` may be absent.
  static async start({ program, home, server, name, env = {} }) {
    const inspectorPort = await freePort();
    const logFile = path.join(home.dir, `${name}.log`);
    const out = openSync(logFile, 'a');
    const startedAt = Date.now();
    const child = spawn(program, ['--automation'], {
      env: demoEnvironment(home, server, { WEBKIT_INSPECTOR_SERVER: `127.0.0.1:${inspectorPort}`, ...env }),
      stdio: ['ignore', out, out],
    });
    const run = new NimbraProgram(child, home, logFile, startedAt);
    try {
      run.driver = await WebDriver.attach({ inspectorPort, logFile: path.join(home.dir, `${name}.driver.log`) });
      run.input = await WindowInput.find(run.driver, child.pid);
    } catch (error) {
      await run.stop();
      throw new Error(`${error.message}\n--- ${logFile}\n${readFileSync(logFile, 'utf8').slice(-4000)}`);
    }
    return run;
  }

  constructor(child, home, logFile, startedAt) {
    this.child = child;
    this.pid = child.pid;
    this.home = home;
    this.logFile = logFile;
    this.startedAt = startedAt;
    this.exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  }

  // The time of the first rendered state, from the program's start-up report (ms since 1970).
  firstRenderAt() {
    if (!existsSync(this.home.report)) return undefined;
    const line = readFileSync(this.home.report, 'utf8').split('\n').find((l) => l.startsWith('first-render '));
    return line ? Number(BigInt(line.split(' ')[1]) / 1000000n) : undefined;
  }

  // Gives the demo device a command ("unplug", "plug", "session") and waits until it is taken.
  async control(command) {
    const staged = `${this.home.control}.new`;
    writeFileSync(staged, `${command}\n`);
    renameSync(staged, this.home.control);
    const sentAt = Date.now();
    await waitUntil(`the demo device to take "${command}"`, () => !existsSync(this.home.control),
      { everyMs: 20 });
    return sentAt;
  }

  // The page's text of the first element matching `selector` ('' when there is none).
  text(selector) {
    return this.driver.script(
      'const el = document.querySelector(arguments[0]); return el ? el.textContent.trim() : "";', selector);
  }

  // Waits until `selector` matches an element; returns its text.
  async waitForText(selector, { timeoutMs = HANG_MS, pattern } = {}) {
    const text = await this.driver.waitFor(`${selector}${pattern ? ` =~ ${pattern}` : ''}`,
      `const el = document.querySelector(arguments[0]);
       if (!el) return '';
       const text = el.textContent.trim();
       return (!arguments[1] || new RegExp(arguments[1]).test(text)) ? (text || ' ') : '';`,
      { timeoutMs }, selector, pattern ? pattern.source : '');
    return text.trim();
  }

  // Clicks the module's tab until it is selected: selecting a tab twice does nothing, and on a
  // busy machine one click may land before the window has taken it.
  async openModule(module) {
    const selected = `return document.querySelector('#tab-' + arguments[0])?.getAttribute('aria-selected') === 'true';`;
    const giveUpAt = Date.now() + HANG_MS;
    for (;;) {
      await this.input.click(`#tab-${module}`);
      try {
        await this.driver.waitFor(`the ${module} module`, selected, { timeoutMs: 3000 }, module);
        return;
      } catch (error) {
        if (Date.now() > giveUpAt) throw error;
      }
    }
  }

  alive() {
    return isAlive(this.pid) && this.child.exitCode === null && this.child.signalCode === null;
  }

  async stop() {
    if (this.driver) await this.driver.close();
    if (this.alive()) {
      this.child.kill('SIGTERM');
      const ended = await Promise.race([this.exited, sleep(HANG_MS).then(() => undefined)]);
      if (!ended) this.child.kill('SIGKILL');
    }
    await this.exited;
  }
}
