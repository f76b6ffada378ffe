// Shared set-up of the page tests: a loopback static server for
// resources/web, headless Chromium, and a page whose "nimbra" message
// handler records every body it is given.
import { chromium } from 'playwright-core';
import { before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createServer } from 'node:http';
import { mkdtemp, readFile, rm, mkdir } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const repoRoot = path.resolve(here, '..', '..');
export const webRoot = path.join(repoRoot, 'resources', 'web');
export const artifactDir = process.env.NIMBRA_WEB_ARTIFACTS || path.join(repoRoot, 'build', 'web-artifacts');

export const MODULES = ['home', 'history', 'settings', 'care', 'preferences'];
export const DEFAULT_SIZE = { width: 730, height: 657 };
export const MIN_SIZE = { width: 640, height: 540 };

const MIME = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.png': 'image/png',
  '.svg': 'image/svg+xml',
};

export async function startServer() {
  const server = createServer(async (req, res) => {
    const url = new URL(req.url, 'http://localhost');
    const file = path.normalize(path.join(webRoot, decodeURIComponent(url.pathname)));
    if (!file.startsWith(webRoot + path.sep)) {
      res.writeHead(403).end();
      return;
    }
    try {
      const body = await readFile(file);
      res.writeHead(200, { 'Content-Type': MIME[path.extname(file)] || 'application/octet-stream' });
      res.end(body);
    } catch {
      res.writeHead(404).end();
    }
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();
  return { origin: `http://127.0.0.1:${port}`, close: () => new Promise((r) => server.close(r)) };
}

// One browser with a throw-away profile per test file.
export async function startBrowser() {
  const profile = await mkdtemp(path.join(tmpdir(), 'nimbra-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM_PATH || '/usr/bin/chromium',
    headless: true,
    viewport: DEFAULT_SIZE,
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
  const server = await startServer();
  await mkdir(artifactDir, { recursive: true });
  return {
    context,
    server,
    async close() {
      await context.close();
      await server.close();
      await rm(profile, { recursive: true, force: true });
    },
  };
}

// Installed before any page script runs, so the page sees the handler as
// the real web view would provide it.
function installStub() {
  window.__sent = [];
  window.__pwned = false;
  window.webkit = {
    messageHandlers: {
      nimbra: {
        postMessage(body) {
          window.__sent.push(JSON.parse(JSON.stringify(body)));
        },
      },
    },
  };
}

// `init`: a function run in the page before its own scripts (after the handler stub).
export async function openPage(env, { size = DEFAULT_SIZE, colorScheme = 'light', url = '/index.html', init } = {}) {
  const page = await env.context.newPage();
  const problems = [];
  page.on('pageerror', (err) => problems.push(`pageerror: ${err.message}`));
  page.on('console', (msg) => { if (msg.type() === 'error') problems.push(`console.error: ${msg.text()}`); });
  page.on('dialog', (dialog) => { problems.push(`dialog: ${dialog.message()}`); dialog.dismiss().catch(() => {}); });
  await page.setViewportSize(size);
  await page.emulateMedia({ colorScheme, reducedMotion: 'reduce' });
  await page.addInitScript(installStub);
  if (init) await page.addInitScript(init);
  await page.goto(env.server.origin + url);
  await page.waitForFunction(() => typeof window.renderNimbra === 'function');
  page.problems = problems;
  return page;
}

export async function render(page, state) {
  await page.evaluate((s) => window.renderNimbra(s), state);
}

export async function sent(page) {
  return page.evaluate(() => window.__sent);
}

export async function clearSent(page) {
  await page.evaluate(() => { window.__sent = []; });
}

export async function showModule(page, module) {
  await page.click(`#tab-${module}`);
}

export async function panelText(page) {
  return page.locator('#panel').innerText();
}

// One page for a whole test file: a browser and the page opened before its tests (with
// `options` for openPage, then `prepare(page)`), handed to `took(page, browser)`; after the tests, no script
// error may have happened in the page, and the browser is closed.
export function sharedPage(took, { options = {}, prepare = async () => {} } = {}) {
  let env;
  let page;
  before(async () => {
    env = await startBrowser();
    page = await openPage(env, options);
    await prepare(page);
    took(page, env);
  });
  after(async () => {
    assert.deepEqual(page.problems, [], 'no script errors in any render');
    await env.close();
  });
}
