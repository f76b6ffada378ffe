// Real input into nimbra's window with xdotool. There is no window manager under Xvfb, so the
// window is focused with "windowfocus" (not "windowactivate"). GTK draws the window's own
// frame and header bar around the view: a page point is moved by the frame's width and the
// header's height, measured from the window's size and the page's.
import { execFileSync } from 'node:child_process';
import { HANG_MS, sleep, waitUntil } from './processes.mjs';

function xdotool(...args) {
  return execFileSync('xdotool', args, { encoding: 'utf8', timeout: HANG_MS }).trim();
}

export class WindowInput {
  constructor(driver, windowId) {
    this.driver = driver;
    this.windowId = windowId;
  }

  // The program's window: the newest X window named "nimbra" whose process is `pid`.
  static async find(driver, pid, timeoutMs = HANG_MS) {
    const windowId = await waitUntil('the nimbra window', () => {
      let found = '';
      try {
        found = xdotool('search', '--onlyvisible', '--pid', String(pid), '--name', '^nimbra$');
      } catch {
        return undefined;  // xdotool exits 1 while nothing matches
      }
      return found.split('\n').filter(Boolean).pop();
    }, { timeoutMs, everyMs: 200 });
    return new WindowInput(driver, windowId);
  }

  // Clicks the middle of the first element matching `selector`, scrolled into view first.
  async click(selector) {
    const point = await this.driver.script(
      `const el = document.querySelector(arguments[0]);
       if (!el) return null;
       el.scrollIntoView({ block: 'center' });
       const r = el.getBoundingClientRect();
       return { x: Math.round(r.left + r.width / 2), y: Math.round(r.top + r.height / 2),
                disabled: Boolean(el.disabled), width: innerWidth, height: innerHeight };`, selector);
    if (!point) throw new Error(`nothing in the page matches ${selector}`);
    if (point.disabled) throw new Error(`${selector} is disabled`);
    const geometry = /Geometry: (\d+)x(\d+)/.exec(xdotool('getwindowgeometry', this.windowId));
    const frame = Math.max(0, Math.round((Number(geometry[1]) - point.width) / 2));
    const header = Math.max(0, Number(geometry[2]) - point.height - frame);
    xdotool('windowfocus', '--sync', this.windowId);
    xdotool('mousemove', '--window', this.windowId, String(point.x + frame), String(point.y + header),
      'click', '1');
    await sleep(50);  // the page handles the click before the next read
  }

  // Presses and releases the key `name` (xdotool's key names: "Tab", "space"), as real input
  // to the window just focused: a key sent to a window (key --window) arrives as a synthetic
  // event, which a toolkit may drop.
  async key(name) {
    xdotool('windowfocus', '--sync', this.windowId);
    xdotool('key', name);
    await sleep(50);
  }
}
