// Two things a user must be able to trust, on the real program from its signed bundle:
// - Linux refuses the device (no udev rule, or the device plugged in before it): the page
//   says so in English and Chinese with the exact commands and a Copy button, and once the
//   permission is given back (the rules reloaded and triggered) nimbra reads the device by
//   itself, without the user pressing refresh.
// - The "Send usage data" switch: the first-start notice points to it; switched off, the
//   reference server receives no telemetry for the rest of the run nor after a restart;
//   switched on again, only what happened after that is sent.
import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { NimbraProgram, demoHome } from './lib/nimbra_program.mjs';
import { HANG_MS, sleep, waitUntil } from './lib/processes.mjs';
import { check, installBundle, run, setUp, startServer, step } from './lib/harness.mjs';

const context = setUp('privacy');
// Longer than the telemetry's minute tick, so a tick falls in each watched stretch.
const PAST_A_TICK_MS = 70000;
const CONNECTED = '[data-role=connection].status-ok [data-role=serial]';

async function screenshot(program, name) {
  const file = path.join(context.artifacts, `${name}.png`);
  execFileSync('import', ['-window', program.input.windowId, file]);
  console.log(`   screenshot ${file}`);
}

async function chooseLanguage(program, language) {
  await program.openModule('preferences');
  await program.input.click(`input[data-focus="language-${language}"] + label`);
  await program.driver.waitFor(`the page in ${language}`,
    'return document.documentElement.lang.startsWith(arguments[0]);', {}, language);
}

function clipboardText() {
  return execFileSync('xclip', ['-o', '-selection', 'clipboard'], { encoding: 'utf8', timeout: HANG_MS });
}

const telemetryUploads = (server) => server.answered('v1/telemetry');

await run(context, async () => {
  const program = installBundle(context, 'base', path.join(context.work, 'app'));
  const server = await startServer(context);

  await step('no permission to open the device, and its fix', async () => {
    const home = demoHome(path.join(context.work, 'access'));
    const nimbra = await NimbraProgram.start({ program, home, server, name: 'nimbra-access' });
    context.cleanups.push(() => nimbra.stop());
    await nimbra.waitForText(CONNECTED);

    // As with a device plugged in before the rule was installed: every open refused (EACCES).
    await nimbra.control('deny');
    await nimbra.control('unplug');
    await nimbra.control('plug');
    const commands = await nimbra.driver.waitFor('the commands that fix it', `
      const c = [...document.querySelectorAll('[data-role=access-commands] code')].map((e) => e.textContent);
      return c.length ? c : null;`);
    console.log('   commands:', commands);
    check(commands.some((c) => c.includes('udevadm control --reload-rules')), 'no reload command');
    check(commands.some((c) => c.includes('--subsystem-match=hidraw --action=change')), 'no trigger command');
    check(commands.some((c) => /install -m 644 .*70-nimbra\.rules \/etc\/udev\/rules\.d\//.test(c)),
      'no install command for the shipped rule');
    const text = await nimbra.text('#panel');
    check(/No permission to open the device/.test(text), 'the page does not say what happened');
    check(!/-1013|IQOS program/.test(text), 'the raw status is shown');
    await screenshot(nimbra, 'access-refused-en');

    await nimbra.input.click('[data-focus=access-copy]');
    await nimbra.waitForText('[data-role=access-note]', { pattern: /copied/ });
    check(clipboardText().trim() === commands.join('\n'), 'the clipboard does not hold the commands');

    // The language can be changed while no device is attached.
    await nimbra.control('unplug');
    await chooseLanguage(nimbra, 'zh');
    await nimbra.openModule('home');
    await nimbra.control('plug');
    await nimbra.waitForText('[data-role=connection] .status-title', { pattern: /没有打开设备的权限/ });
    await nimbra.waitForText('[data-role=access-commands]');
    await screenshot(nimbra, 'access-refused-zh');

    // The user runs the commands: access is given back and udev sends its "change" event.
    await nimbra.control('allow');
    const serial = await nimbra.waitForText(CONNECTED);
    console.log(`   read by itself after the fix: ${serial}`);
    await screenshot(nimbra, 'access-restored-zh');
    await nimbra.stop();
  });

  await step('the first-start notice and the usage data switch', async () => {
    const home = demoHome(path.join(context.work, 'usage'));
    let nimbra = await NimbraProgram.start({ program, home, server, name: 'nimbra-usage' });
    context.cleanups.push(() => nimbra.stop());
    await nimbra.waitForText('[data-role=usage-notice]');
    await screenshot(nimbra, 'usage-notice-en');
    await nimbra.input.click('[data-focus=usage-notice-open]');
    await nimbra.driver.waitFor('the switch', 'return document.querySelector("[data-role=usage-switch]") !== null;');
    await nimbra.input.click('[data-role=usage-switch]');
    await nimbra.driver.waitFor('the switch off',
      'return document.querySelector("[data-role=usage-switch]")?.getAttribute("aria-checked") === "false";');
    const sentBeforeOff = telemetryUploads(server).length;
    await screenshot(nimbra, 'usage-switch-off-en');

    // A stretch of use past a telemetry tick: modules visited, the device read.
    for (const module of ['history', 'settings', 'home']) await nimbra.openModule(module);
    await sleep(PAST_A_TICK_MS);
    check(telemetryUploads(server).length === sentBeforeOff, 'telemetry sent with the switch off');

    await nimbra.stop();
    nimbra = await NimbraProgram.start({ program, home, server, name: 'nimbra-usage-restarted' });
    await nimbra.waitForText(CONNECTED);
    check(await nimbra.driver.script('return document.querySelector("[data-role=usage-notice]") === null;'),
      'the notice shows again after the switch was used');
    await nimbra.openModule('preferences');
    check(await nimbra.driver.script(
      'return document.querySelector("[data-role=usage-switch]").getAttribute("aria-checked") === "false";'),
    'the switch did not stay off');
    for (const module of ['history', 'care', 'preferences']) await nimbra.openModule(module);
    await sleep(PAST_A_TICK_MS);
    check(telemetryUploads(server).length === sentBeforeOff, 'telemetry sent after a restart with the switch off');
    console.log(`   no telemetry for ${2 * PAST_A_TICK_MS / 1000} s of use with the switch off`);

    // Switched on again: what happens from now on is sent, nothing from before.
    await nimbra.input.click('[data-role=usage-switch]');
    await nimbra.driver.waitFor('the switch on',
      'return document.querySelector("[data-role=usage-switch]")?.getAttribute("aria-checked") === "true";');
    const onAt = Date.now() / 1000;
    await nimbra.openModule('history');
    await waitUntil('telemetry after switching on', () => telemetryUploads(server).length > sentBeforeOff,
      { timeoutMs: 60000 + HANG_MS, everyMs: 1000 });
    const events = telemetryUploads(server).slice(sentBeforeOff).flatMap((u) => u.body);
    console.log('   sent after switching on:', events.map((e) => e.kind));
    // Allow the program's clock a second of difference from the test's.
    check(events.every((e) => e.occurredAt >= onAt - 1), 'an event from before switching on was sent');
  });
});
