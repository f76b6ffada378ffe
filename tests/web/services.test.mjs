// A build without its servers: the page says what is not there instead of waiting for it or
// showing an error (window.configureServices, and an empty download link).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { render, showModule, panelText, sharedPage } from './harness.mjs';
import { fixtures, withLanguage, SHARING } from './fixtures.mjs';

let page;
sharedPage((p) => { page = p; });

const count = (selector) => page.locator(selector).count();
const NO_SERVER = { url: '', qr: '', qrDark: '' };
// Nothing on any of these screens may read as a failure or a wait without end.
const ALARM = /Estimating|估算中|failed|失败|error/i;

const LANGUAGES = [
  {
    lang: 'en',
    noAnalysis: /Analysis is not available in this build/,
    kept: /kept and counted on this computer/,
    package: /installed by your system’s package manager/,
    none: /no update server.*package manager or a newer build/,
  },
  {
    lang: 'zh',
    noAnalysis: /此版本不提供分析/,
    kept: /只在这台电脑上保存和统计/,
    package: /由系统的软件包管理器安装/,
    none: /没有配置更新服务器.*软件包管理器/,
  },
];

async function configure(services, sharing) {
  await page.evaluate(([v, s]) => { window.configureServices(v); window.configureSharing(s); }, [services, sharing]);
}

for (const c of LANGUAGES) {
  test(`without an analysis server (${c.lang})`, async () => {
    await configure({ analysis: false, updates: 'none' }, NO_SERVER);
    const state = withLanguage({ ...fixtures.full, estimatedUses: undefined, observations: [] }, c.lang);
    await render(page, state);

    await showModule(page, 'home');
    assert.equal(await count('[data-role="battery"]'), 1, 'the charge is shown');
    assert.equal(await count('[data-role="estimate"]'), 0, 'no estimate tile');
    assert.doesNotMatch(await panelText(page), ALARM);

    await showModule(page, 'history');
    const history = await panelText(page);
    assert.match(history, c.noAnalysis);
    assert.match(history, c.kept);
    assert.doesNotMatch(history, ALARM);
    assert.equal(await count('[data-role="observations"]'), 0);

    // Observations kept from a build that had a server stay visible.
    await render(page, withLanguage({ ...fixtures.full, estimatedUses: undefined }, c.lang));
    assert.ok(await count('[data-role="observations"] li') > 0);
  });

  for (const [updates, expected] of [['package', c.package], ['none', c.none]]) {
    test(`updates from ${updates} (${c.lang})`, async () => {
      await configure({ analysis: true, updates }, NO_SERVER);
      await render(page, withLanguage(fixtures.full, c.lang));
      await showModule(page, 'preferences');
      const text = await panelText(page);
      assert.match(text, expected);
      assert.doesNotMatch(text, ALARM);
      assert.equal(await count('[data-role="phase"]'), 0, 'no update phase');
      assert.equal(await count('[data-focus="prefs-check"]'), 0, 'no check button');
      assert.equal(await count('.share-card'), 0, 'no share card without a link');
    });
  }
}

test('a build with its servers shows the estimate, the phase and the share card', async () => {
  await configure({ analysis: true, updates: 'server' }, SHARING);
  await render(page, withLanguage(fixtures.full, 'en'));
  await showModule(page, 'home');
  assert.equal(await count('[data-role="estimate"]'), 1);
  await showModule(page, 'history');
  assert.equal(await count('[data-role="no-analysis"]'), 0);
  await showModule(page, 'preferences');
  assert.equal(await count('[data-role="phase"]'), 1);
  assert.equal(await count('[data-focus="prefs-check"]'), 1);
  assert.equal(await count('[data-role="share-url"]'), 1);
});
