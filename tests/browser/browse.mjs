// Drives Debian's Chromium (headless) through the management server's pages, the way a user
// would, and prints what it saw as one JSON line.
//   node browse.mjs register <form address> [name to type]   fills in and submits the form
//   node browse.mjs switch <admin address> <terminal address>  flips one permission switch
//   node browse.mjs shot <address> <png file> [width] [height] a screenshot of the page
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
const TIMEOUT = 30000;

async function register(page, address, name) {
  await page.goto(address, { timeout: TIMEOUT });
  const seen = {
    charset: await page.evaluate(() => document.characterSet),
    n: await page.inputValue('input[name=n]'),
    m: await page.inputValue('input[name=m]'),
  };
  if (name !== undefined) await page.fill('input[name=n]', name);
  await Promise.all([page.waitForNavigation({ timeout: TIMEOUT }), page.click('button[type=submit]')]);
  const done = page.locator('#done');
  seen.done = (await done.count()) ? await done.innerText() : null;
  seen.title = await page.title();
  return seen;
}

async function flip(page, admin, terminal) {
  await page.goto(admin, { timeout: TIMEOUT });
  const button = () => page.locator(`tr[data-address="${terminal}"] button.switch`);
  const before = await button().getAttribute('aria-checked');
  await Promise.all([page.waitForNavigation({ timeout: TIMEOUT }), button().click()]);
  return { before, after: await button().getAttribute('aria-checked'), label: await button().innerText(), url: page.url() };
}

async function shot(page, address, file, width, height) {
  await page.setViewportSize({ width: Number(width || 900), height: Number(height || 560) });
  await page.goto(address, { timeout: TIMEOUT });
  await page.screenshot({ path: file, fullPage: true });
  return { file };
}

const [action, ...args] = process.argv.slice(2);
const profile = mkdtempSync(join(tmpdir(), 'tembrix-chromium-'));
let context;
try {
  // A fresh, empty profile each run: nothing cached or remembered between tests.
  context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true, args: FLAGS, timeout: TIMEOUT,
  });
  const page = context.pages()[0] || await context.newPage();
  const actions = { register, switch: flip, shot };
  if (!actions[action]) throw new Error(`unknown action ${action}`);
  console.log(JSON.stringify(await actions[action](page, ...args)));
} catch (error) {
  console.log(JSON.stringify({ error: String(error && error.message || error) }));
  process.exitCode = 1;
} finally {
  if (context) await context.close();
  rmSync(profile, { recursive: true, force: true });
}
