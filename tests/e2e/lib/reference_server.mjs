// The reference server (tools/reference-server) on loopback for one test: started with a
// fresh CA and request log, stopped with the test. Control requests (faults, the offered
// release) go over its own TLS with its CA.
import { spawn } from 'node:child_process';
import { existsSync, readFileSync, openSync, mkdirSync } from 'node:fs';
import { request } from 'node:https';
import path from 'node:path';
import { HANG_MS, waitUntil } from './processes.mjs';

export class ReferenceServer {
  static async start({ binary, dir, args = [] }) {
    mkdirSync(dir, { recursive: true });
    const files = {
      ca: path.join(dir, 'ca.pem'),
      log: path.join(dir, 'requests.jsonl'),
      port: path.join(dir, 'port'),
    };
    const out = openSync(path.join(dir, 'server.log'), 'a');
    // "--public-url https://127.0.0.1": download addresses without a port, as the updater
    // wants them; the demo maps port 443 to the server's port.
    const child = spawn(binary, ['--ca-out', files.ca, '--log', files.log, '--port-file', files.port,
      '--exit-with-parent', '--public-url', 'https://127.0.0.1', ...args],
    { stdio: ['ignore', out, out] });
    const port = await waitUntil('the reference server to listen', () =>
      existsSync(files.port) && readFileSync(files.port, 'utf8').trim(), {});
    const server = new ReferenceServer(child, `https://127.0.0.1:${port}`, files);
    return server;
  }

  constructor(child, url, files) {
    this.child = child;
    this.url = url;
    this.files = files;
  }

  // Every request answered so far, oldest first.
  requests() {
    if (!existsSync(this.files.log)) return [];
    return readFileSync(this.files.log, 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l));
  }

  // Requests of `apiPath` (without the leading slash), answered with `status` if given.
  answered(apiPath, status) {
    return this.requests().filter((r) => String(r.path).replace(/^\//, '') === apiPath &&
      (status === undefined || r.status === status));
  }

  control(controlPath, body = {}) {
    return new Promise((resolve, reject) => {
      const payload = JSON.stringify(body);
      const req = request(`${this.url}${controlPath}`, {
        method: 'POST',
        ca: readFileSync(this.files.ca),
        headers: { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(payload) },
        timeout: HANG_MS,
      }, (res) => {
        let text = '';
        res.on('data', (chunk) => { text += chunk; });
        res.on('end', () => (res.statusCode === 200 ? resolve(text)
          : reject(new Error(`${controlPath}: ${res.statusCode} ${text}`))));
      });
      req.on('timeout', () => req.destroy(new Error(`${controlPath}: timed out`)));
      req.on('error', reject);
      req.end(payload);
    });
  }

  fault(kind, apiPath, { count = 1, delayMs } = {}) {
    return this.control('/control/fault', { kind, path: apiPath, count, ...(delayMs ? { delayMs } : {}) });
  }

  offer(releaseJson, packageFile) {
    return this.control('/control/release', { releaseJson, package: packageFile });
  }

  stop() {
    this.child.kill();
  }
}
