// Beyond the window: the charge notification through a charge cycle of the demo device (read
// on the session bus as the Notify calls the program makes), background mode (the window
// closed, the program still reading and storing samples, a second start showing the window,
// Ctrl+Q ending it), the autostart entry written and removed through the page's switch, and
// what the hidden program costs (measured, never judged).
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, readFileSync, readdirSync, statSync } from 'node:fs';
import path from 'node:path';
import { NimbraProgram, demoEnvironment, demoHome } from './lib/nimbra_program.mjs';
import { HANG_MS, treeUsage, usage, waitUntil } from './lib/processes.mjs';
import { check, installBundle, run, setUp, step } from './lib/harness.mjs';

const context = setUp('background');
const TITLE = 'IQOS ILUMA i ONE is fully charged';

// The notification server's stand-in on the session bus: every Notify call the program makes
// ({ id, summary, body, actions }), and click(id) for a user's click on one.
async function notificationServer() {
  const server = spawn(path.join(context.buildDir, 'tests', 'e2e', 'nimbra-notification-stand-in'),
    [], { stdio: ['pipe', 'pipe', 'inherit'] });
  context.cleanups.push(() => server.kill());
  const calls = [];
  let ready = false;
  let text = '';
  server.stdout.on('data', (chunk) => {
    text += chunk;
    const lines = text.split('\n');
    text = lines.pop();
    for (const line of lines) {
      if (line === 'ready') ready = true;
      const call = /^notify (\d+)\t([^\t]*)\t([^\t]*)\t(.*)$/.exec(line);
      if (call) calls.push({ id: Number(call[1]), summary: call[2], body: call[3], actions: call[4] });
    }
  });
  await waitUntil('the notification server on the bus', () => ready);
  return { calls, click: (id) => server.stdin.write(`click ${id}\n`) };
}

// The newest modification time among the stored sample files (0 while there are none). The
// atomic write's temporaries (dot files) are renamed away at any moment, so they are left out.
function samplesWrittenAt(home) {
  let newest = 0;
  const walk = (dir) => {
    for (const entry of readdirSync(dir, { withFileTypes: true })) {
      const file = path.join(dir, entry.name);
      if (entry.isDirectory()) walk(file);
      else if (/DeviceSamples/.test(file) && !entry.name.startsWith('.')) newest = Math.max(newest, statSync(file).mtimeMs);
    }
  };
  walk(home.data);
  return newest;
}

// Waits until `count` more samples have been stored after now.
async function moreSamples(home, count) {
  for (let i = 0; i < count; ++i) {
    const before = samplesWrittenAt(home);
    await waitUntil('a sample stored', () => samplesWrittenAt(home) > before, { everyMs: 200 });
  }
}

function visibleWindows(pid) {
  try {
    return execFileSync('xdotool', ['search', '--onlyvisible', '--pid', String(pid), '--name', '^nimbra$'],
      { encoding: 'utf8' }).split('\n').filter(Boolean);
  } catch {
    return [];
  }
}

async function flip(nimbra, name, on) {
  await nimbra.input.click(`button[data-role="desktop-${name}"]`);
  await nimbra.driver.waitFor(`the ${name} switch ${on ? 'on' : 'off'}`,
    `return document.querySelector('button[data-role="desktop-' + arguments[0] + '"]')
       ?.getAttribute('aria-checked') === arguments[1];`, {}, name, String(on));
}

await run(context, async () => {
  const program = installBundle(context, 'base', path.join(context.work, 'app'));
  const home = demoHome(path.join(context.work, 'home'));
  const env = { LANGUAGE: 'en', LC_ALL: 'C.UTF-8', LANG: 'C.UTF-8' };
  const bus = await notificationServer();
  const nimbra = await NimbraProgram.start({ program, home, name: 'nimbra', env });
  context.cleanups.push(() => nimbra.stop());
  const battery = (pattern) => nimbra.waitForText('[data-role=battery] .metric-value', { pattern });

  await step('charge notification: once through a charge cycle', async () => {
    await battery(/\d+%/);
    await nimbra.control('manual');
    await nimbra.control('full');
    await battery(/^100%/);
    await waitUntil('the first Notify', () => bus.calls.length >= 1);
    console.log(`   Notify: ${JSON.stringify(bus.calls[0])}`);
    check(bus.calls[0].summary === TITLE, `not the charge notification: ${JSON.stringify(bus.calls[0])}`);
    check(/^Serial number: DEMO\d*•+42$/.test(bus.calls[0].body), 'no masked serial in the notification');
    await moreSamples(home, 3);
    console.log(`   still full after 3 more samples: ${bus.calls.length} notification(s)`);
    check(bus.calls.length === 1, `${bus.calls.length} notifications while the device stayed full`);
    await nimbra.control('drain');
    await battery(/^85%/);
    await moreSamples(home, 1);
    check(bus.calls.length === 1, 'a notification on dropping below 90 %');
    await nimbra.control('full');
    await waitUntil('the second Notify', () => bus.calls.length >= 2);
    console.log(`   charged again after 85 %: ${bus.calls.length} notifications`);
  });

  const entry = path.join(home.config, 'autostart', 'com.zuvo.devicecenter.desktop');
  await step('background mode and start at login through Preferences', async () => {
    await nimbra.openModule('preferences');
    check(await nimbra.driver.script('return !document.querySelector("[data-role=desktop-startAtLogin]");'),
      '"Start at login" offered without background mode');
    await flip(nimbra, 'keepRunning', true);
    await flip(nimbra, 'startAtLogin', true);
    await waitUntil('the autostart entry', () => existsSync(entry));
    const exec = readFileSync(entry, 'utf8').split('\n').find((l) => l.startsWith('Exec='));
    console.log(`   autostart entry created: ${exec}`);
    check(exec === `Exec="${program}" --hidden`, `unexpected ${exec}`);
  });

  await step('the window closed: hidden, still reading', async () => {
    execFileSync('xdotool', ['windowfocus', '--sync', nimbra.input.windowId]);
    execFileSync('xdotool', ['key', 'ctrl+w']);
    await waitUntil('the window hidden', () => visibleWindows(nimbra.pid).length === 0);
    check(nimbra.alive(), 'the program ended when its window closed');
    await moreSamples(home, 2);
    console.log(`   window hidden, process ${nimbra.pid} alive, 2 more samples stored`);
  });

  // Twelve device polls, about a minute: measured over what the program did, not a fixed pause.
  await step('the hidden program\'s CPU over twelve polls', async () => {
    const before = treeUsage(nimbra.pid);
    const own = usage(nimbra.pid).cpuSeconds;
    const startedAt = Date.now();
    await moreSamples(home, 12);
    const wall = (Date.now() - startedAt) / 1000;
    const after = treeUsage(nimbra.pid);
    const percent = (s) => (100 * s / wall).toFixed(2);
    context.measurements.hiddenCpuPercentOfOneCore = {
      nimbra: Number(percent(usage(nimbra.pid).cpuSeconds - own)),
      withWebProcesses: Number(percent(after.cpuSeconds - before.cpuSeconds)),
      seconds: wall,
    };
    console.log(`   measured hidden CPU over ${wall.toFixed(1)} s: nimbra ${percent(usage(nimbra.pid).cpuSeconds - own)} %, ` +
      `with its web processes ${percent(after.cpuSeconds - before.cpuSeconds)} % of one core`);
  });

  await step('a click on the notification shows the window', async () => {
    bus.click(bus.calls[bus.calls.length - 1].id);
    await waitUntil('the window shown by the click', () => visibleWindows(nimbra.pid).length > 0);
    console.log(`   notification clicked: window shown (${visibleWindows(nimbra.pid).join(' ')})`);
    nimbra.input.windowId = visibleWindows(nimbra.pid).pop();
    execFileSync('xdotool', ['windowfocus', '--sync', nimbra.input.windowId]);
    execFileSync('xdotool', ['key', 'ctrl+w']);
    await waitUntil('the window hidden again', () => visibleWindows(nimbra.pid).length === 0);
  });

  await step('a second start shows the window', async () => {
    const second = spawn(program, [], { env: demoEnvironment(home, undefined, env), stdio: 'ignore' });
    const ended = await new Promise((resolve) => second.on('exit', (code) => resolve(code)));
    console.log(`   second start exited with ${ended}`);
    await waitUntil('the window shown again', () => visibleWindows(nimbra.pid).length > 0, { timeoutMs: HANG_MS });
    nimbra.input.windowId = visibleWindows(nimbra.pid).pop();
    console.log(`   window shown again: ${nimbra.input.windowId}`);
  });

  await step('start at login off removes the entry', async () => {
    await nimbra.openModule('preferences');
    await flip(nimbra, 'startAtLogin', false);
    await waitUntil('the autostart entry removed', () => !existsSync(entry));
    console.log('   autostart entry removed');
  });

  await step('Ctrl+Q ends the process', async () => {
    execFileSync('xdotool', ['windowfocus', '--sync', nimbra.input.windowId]);
    execFileSync('xdotool', ['key', 'ctrl+q']);
    await waitUntil('the program to end after Ctrl+Q', () => !nimbra.alive());
    const ended = await nimbra.exited;
    console.log(`   process ended: ${JSON.stringify(ended)}`);
  });
});
