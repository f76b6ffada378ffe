// The QR picture's colours (src/app/share_picture.h) are the page's own: the background,
// text and accent colours of each theme, in the explicit themes and in "system" under either
// preference of the system, are the header's colours as 8-bit sRGB.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import { repoRoot, sharedPage } from './harness.mjs';

const ROLES = ['bg', 'fg', 'accent'];  // the order of SharePalette's members

// SharePalette constants: { {r, g, b}, {r, g, b}, {r, g, b} } with channels in 0 .. 1.
async function headerPalettes() {
  const header = await readFile(path.join(repoRoot, 'src/app/share_picture.h'), 'utf8');
  const palette = (name) => {
    const match = header.match(new RegExp(`${name}\\s*\\{([^;]*)\\};`));
    assert.ok(match, `${name} in share_picture.h`);
    const colours = [...match[1].matchAll(/\{([^{}]*)\}/g)].map((m) => m[1].split(',').map(Number));
    assert.equal(colours.length, ROLES.length, `${name} has ${ROLES.length} colours`);
    return Object.fromEntries(ROLES.map((role, i) => [role, colours[i].map((c) => Math.round(c * 255))]));
  };
  return { light: palette('kLightSharePalette'), dark: palette('kDarkSharePalette') };
}

// The page's colour of each role, as the browser computes it.
async function pagePalette(page, theme, colorScheme) {
  await page.emulateMedia({ colorScheme });
  return page.evaluate(({ theme, roles }) => {
    document.documentElement.dataset.theme = theme;
    const probe = document.body.appendChild(document.createElement('div'));
    const out = {};
    for (const role of roles) {
      probe.style.color = `var(--${role})`;
      out[role] = getComputedStyle(probe).color.match(/\d+/g).slice(0, 3).map(Number);
    }
    probe.remove();
    return out;
  }, { theme, roles: ROLES });
}

let page;
sharedPage((p) => { page = p; });

test('the share picture palettes equal the page palettes in every theme', async () => {
  const header = await headerPalettes();
  const cases = [
    ['light', 'light', 'light'], ['light', 'dark', 'light'], ['system', 'light', 'light'],
    ['dark', 'light', 'dark'], ['dark', 'dark', 'dark'], ['system', 'dark', 'dark'],
  ];
  for (const [theme, colorScheme, expected] of cases) {
    assert.deepEqual(await pagePalette(page, theme, colorScheme), header[expected],
      `theme ${theme} with the system ${colorScheme}`);
  }
});
