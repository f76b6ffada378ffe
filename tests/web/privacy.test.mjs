// The page's part in two things a user must be able to trust: when Linux refuses the device,
// the page says why and gives the exact commands (with a Copy button) instead of the raw
// status; and the "Send usage data" switch, its account of what is sent, and the first-start
// notice that points to it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { render, showModule, panelText, sent, clearSent, sharedPage } from './harness.mjs';
import { fixtures, withLanguage } from './fixtures.mjs';

let page;
sharedPage((p) => { page = p; });

async function show(state, module, lang = 'en') {
  await render(page, withLanguage(state, lang));
  await showModule(page, module);
  return panelText(page);
}

test('a refused open shows the fix, not the raw status', async (t) => {
  for (const [lang, title, body, copied] of [
    ['en', /No permission to open the device/, /udev rule.*is not installed/, 'Commands copied.'],
    ['zh', /没有打开设备的权限/, /尚未安装 nimbra 的 udev 规则/, '命令已复制。'],
  ]) {
    await t.test(lang, async () => {
      const text = await show(fixtures.accessRefused, 'home', lang);
      assert.match(text, title);
      assert.match(text, body);
      assert.doesNotMatch(text, /-1013|IQOS 程序|status/, 'the raw status and the advice for another system are left out');
      const commands = await page.locator('[data-role="access-commands"] code').allInnerTexts();
      assert.deepEqual(commands, fixtures.accessRefused.accessFix.commands);
      assert.equal(await page.locator('[data-focus="home-refresh"]').count(), 0, 'nimbra retries by itself');
      assert.match(await page.locator('#summary').innerText(), title);

      await clearSent(page);
      await page.click('[data-focus="access-copy"]');
      assert.deepEqual((await sent(page)).map((m) => m.action), ['copy-access-fix']);
      await page.evaluate(() => window.sharingResult('copy-access-fix', true));
      assert.equal(await page.locator('[data-role="access-note"]').innerText(), copied);
    });
  }

  await t.test('a rule already installed only needs applying', async () => {
    const installed = { ...fixtures.accessRefused, accessFix: { ruleInstalled: true, commands: ['sudo udevadm control --reload-rules'] } };
    assert.match(await show(installed, 'home'), /installed, but has not been applied/);
  });
});

test('the usage data switch says what is sent and to whom', async (t) => {
  for (const [lang, pattern] of [['en', /serial number.*puff and stick counts/], ['zh', /序列号.*口数和烟弹数/]]) {
    await t.test(lang, async () => {
      const text = await show(fixtures.full, 'preferences', lang);
      assert.match(text, pattern);
      assert.match(text, lang === 'en' ? /analysis server/ : /分析服务器/);
      assert.equal(await page.locator('[data-role="usage-switch"]').getAttribute('aria-checked'), 'true', 'on unless the program says off');
    });
  }

  await t.test('the switch posts the opposite of what it shows', async () => {
    await show(fixtures.usageOff, 'preferences');
    assert.equal(await page.locator('[data-role="usage-switch"]').getAttribute('aria-checked'), 'false');
    await clearSent(page);
    await page.click('[data-role="usage-switch"]');
    assert.deepEqual(await sent(page), [{ action: 'usage-data', enabled: true }]);
  });

  await t.test('the history section says its records go to the server whatever the switch', async () => {
    assert.match(await show(fixtures.usageOff, 'history'), /does not stop it/);
  });
});

test('the first-start notice points to Preferences and can be closed', async () => {
  const text = await show(fixtures.usageNotice, 'home');
  assert.match(text, /You can see what is sent and turn it off in Preferences/);
  await clearSent(page);
  await page.click('[data-focus="usage-notice-open"]');
  assert.equal(await page.locator('#tab-preferences').getAttribute('aria-selected'), 'true');
  assert.equal(await page.locator('[data-role="usage-notice"]').count(), 0, 'not beside the switch itself');
  await showModule(page, 'home');
  await page.click('[data-focus="usage-notice-close"]');
  assert.ok((await sent(page)).some((m) => m.action === 'usage-data-notice'));
  assert.equal(await show(fixtures.full, 'home').then(() => page.locator('[data-role="usage-notice"]').count()), 0);
});
