// The program's own texts (Chinese, as it writes them) shown in the page's language: every
// user-visible text constant in the C++ sources has an English rendering, patterned texts
// keep their numbers, and a text the page does not know is shown as it came.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readdir, readFile } from 'node:fs/promises';
import path from 'node:path';
import { render, showModule, panelText, repoRoot, sharedPage } from './harness.mjs';
import { fixtures, withLanguage } from './fixtures.mjs';

const CJK = /[\u3000-\u303f\u4e00-\u9fff\uff00-\uffef]/;
// The window's own widgets (share popover, menu, About window) and the charge notification keep
// each of their few texts beside its English.
const OWN_TRANSLATIONS = new Set([
  'src/platform/gtk/share_popover.cpp', 'src/platform/gtk/main_window.cpp', 'src/platform/gtk/about_window.cpp',
  'src/app/charge_notice.cpp',
]);

// The string literals of one C++ source, comments skipped.
function literals(source) {
  const out = [];
  let i = 0;
  while (i < source.length) {
    const c = source[i];
    if (c === '/' && source[i + 1] === '/') {
      i = source.indexOf('\n', i);
      if (i < 0) break;
    } else if (c === '/' && source[i + 1] === '*') {
      i = source.indexOf('*/', i + 2) + 2;
      if (i < 2) break;
    } else if (c === '"' || c === '\'') {
      let j = i + 1;
      let text = '';
      while (j < source.length && source[j] !== c) {
        if (source[j] === '\\') { text += source[j + 1]; j += 2; } else { text += source[j]; j += 1; }
      }
      if (c === '"') out.push(text);
      i = j + 1;
    } else {
      i += 1;
    }
  }
  return out;
}

async function sourceFiles(dir) {
  const out = [];
  for (const entry of await readdir(dir, { withFileTypes: true })) {
    const full = path.join(dir, entry.name);
    if (entry.isDirectory()) out.push(...await sourceFiles(full));
    else if (/\.(cpp|h|c)$/.test(entry.name)) out.push(full);
  }
  return out;
}

let page;
sharedPage((p) => { page = p; });

test('every user-visible text constant in src/ has an English rendering', async () => {
  const known = await page.evaluate(() => {
    const P = window.NimbraPage.programText;
    return [...Object.keys(P.EXACT), ...P.PATTERNS.map(([zh]) => zh)];
  });
  const missing = [];
  let count = 0;
  for (const file of await sourceFiles(path.join(repoRoot, 'src'))) {
    const relative = path.relative(repoRoot, file);
    if (OWN_TRANSLATIONS.has(relative)) continue;
    for (const text of literals(await readFile(file, 'utf8'))) {
      if (!CJK.test(text)) continue;
      count += 1;
      // A piece of a composed text is covered by the pattern (or exact text) it belongs to.
      if (!known.some((k) => k.includes(text))) missing.push(`${relative}: "${text}"`);
    }
  }
  assert.ok(count > 50, `only ${count} texts found: is the extraction broken?`);
  assert.deepEqual(missing, [], 'texts without an English rendering');
  const english = await page.evaluate(() => {
    const P = window.NimbraPage.programText;
    return [...Object.values(P.EXACT), ...P.PATTERNS.map(([, en]) => en)];
  });
  assert.deepEqual(english.filter((e) => CJK.test(e)), [], 'English renderings with Chinese in them');
});

test('program texts as the English page shows them', async () => {
  const cases = [
    ['读取完成 · 10 项有效数据 · 设置 8/8', 'Read complete · 10 valid values · settings 8/8'],
    ['无法打开 USB（-1013），请退出官方 IQOS 程序后刷新', 'The USB device could not be opened (status -1013). Refresh to try again.'],
    ['正在保存弹性吸用（FlexPuff）…', 'Saving FlexPuff…'],
    ['保存失败：设备响应超时，请退出官方 IQOS 程序后重试，请刷新重新读取',
      'Saving failed: The device did not answer in time. Close other programs that use it and try again. Refresh to read the device again.'],
    ['保存失败：USB 传输失败：-5，请刷新重新读取', 'Saving failed: USB transfer failed: -5. Refresh to read the device again.'],
    ['目录 2 位置 117 读取失败，请重试', 'Directory 2, position 117 could not be read. Try again.'],
    ['已读取 42 条设备历史目录记录', 'Read 42 device history catalogue records'],
    ['nimbra API 返回 503', 'The nimbra API answered 503'],
    ['无法写入文件。（No space left on device）', 'The file could not be written (No space left on device)'],
    ['未能找到使用指定主机名的服务器。', 'No server with that host name was found.'],
    ['设备返回应用错误：0a1b', 'The device reported an application error: 0a1b'],
    ['A text nimbra has never written', 'A text nimbra has never written'],
    ['读取完成 · 十 项有效数据 · 设置 8/8', '读取完成 · 十 项有效数据 · 设置 8/8'],
  ];
  const shown = await page.evaluate((texts) => {
    const N = window.NimbraPage;
    N.i18n.setLanguage('en');
    const en = texts.map((text) => N.programText.show(text));
    N.i18n.setLanguage('zh');
    const zh = texts.map((text) => N.programText.show(text));
    return { en, zh };
  }, cases.map(([zh]) => zh));
  assert.deepEqual(shown.en, cases.map(([, en]) => en));
  assert.deepEqual(shown.zh, cases.map(([zh]) => zh), 'the Chinese page shows them unchanged');
});

test('the English page shows no Chinese program text where the state carries one', async () => {
  const state = {
    ...fixtures.full,
    message: '读取完成 · 10 项有效数据 · 设置 8/8',
    storageError: '本次采样未能保存到本机数据库。',
    historyError: '未能找到使用指定主机名的服务器。',
    resetStatus: '设备响应超时，请退出官方 IQOS 程序后重试',
    appUpdate: { ...fixtures.full.appUpdate, phase: 'error' },
  };
  for (const module of ['home', 'history', 'care', 'preferences']) {
    await render(page, withLanguage(state, 'en'));
    await showModule(page, module);
    // The language choice names Chinese in Chinese, as language pickers do.
    const text = (await panelText(page)).replace('简体中文', '');
    assert.doesNotMatch(text, CJK, `${module}: ${text.match(new RegExp(`.{0,20}${CJK.source}.{0,20}`))}`);
  }
});
