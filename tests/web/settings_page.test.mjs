// The settings page in Debian's Chromium against the simulated camera, as
// an operator uses it. One page lives through the scenarios in order; its
// clock is Playwright's, so the page polls only when a scenario says so.
//
// Run: cd tests/web && npm ci && node --test
// SCREENSHOT=FILE also saves a picture of the page with quad refused.
import {after, before, test} from 'node:test';
import assert from 'node:assert/strict';
import {execFileSync, spawn} from 'node:child_process';
import {once} from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import {chromium} from 'playwright-core';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const POLL_MS = 5000;

// One simulated camera from tools/run.sh, on a port of its own.
async function startCamera(...options) {
  const state = fs.mkdtempSync(path.join(os.tmpdir(), 'pts-web-'));
  const log = fs.openSync(path.join(state, 'run.log'), 'w');
  const run = spawn(path.join(root, 'tools/run.sh'), ['--port', '0', '--state', state, ...options],
                    {stdio: ['ignore', log, log]});
  const endpoint = path.join(state, 'endpoint');
  const deadline = Date.now() + 300_000; // run.sh may have a build to do
  while (!(fs.existsSync(endpoint) && fs.statSync(endpoint).size)) {
    if (run.exitCode !== null || Date.now() > deadline) {
      throw new Error('the simulated camera did not start:\n' + fs.readFileSync(path.join(state, 'run.log'), 'utf8'));
    }
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  const api = fs.readFileSync(endpoint, 'utf8').trim();
  return {
    page: api.replace(/api$/, ''),
    tool: (...args) => execFileSync(path.join(root, 'tools/camera'), ['--state', state, ...args], {encoding: 'utf8'}),
    // What the video system, the parameter and the key file hold.
    held() {
      const status = this.tool('status');
      return [/Video system: mode (\S+),/, /root\.Image\.I4\.Enabled=(\S+)/, /view_mode=(\S+)/]
        .map((pattern) => (status.match(pattern) || [])[1]);
    },
    async stop() {
      if (run.exitCode === null) {
        run.kill('SIGTERM');
        await once(run, 'exit');
      }
      fs.closeSync(log);
      fs.rmSync(state, {recursive: true, force: true});
    },
  };
}

let browser, camera, page;
const calls = [];
const answered = new Set();
const pageErrors = [];

async function openPage(url) {
  await page?.context().close();
  const context = await browser.newContext({viewport: {width: 480, height: 640}});
  const opened = await context.newPage();
  opened.on('pageerror', (error) => pageErrors.push(error.message));
  opened.on('request', (request) => calls.push(request));
  for (const end of ['requestfinished', 'requestfailed']) opened.on(end, (request) => answered.add(request));
  // Time stands still unless a scenario moves it.
  await opened.clock.install({time: 0});
  await opened.clock.pauseAt(1000);
  await opened.goto(url);
  return opened;
}

// Waits, in real time, until fn() holds.
async function until(fn, what) {
  for (const deadline = Date.now() + 15_000; !fn();) {
    if (Date.now() > deadline) assert.fail('timed out: ' + what);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

const text = (selector) => page.locator(selector).textContent();
const waitFor = (fn, arg) => page.waitForFunction(fn, arg, {timeout: 15_000});
const statusIs = (expected) => waitFor((t) => document.getElementById('status').textContent === t, expected);
const problemSays = (words) => waitFor((w) => document.getElementById('problems').textContent.includes(w), words);
const apiCalls = (method) => calls.filter((r) => r.url().endsWith('/api') && (!method || r.postData().includes(method)));

async function state() {
  return page.evaluate(() => ({
    current: document.getElementById('current').textContent,
    checked: document.querySelector('input[name=mode]:checked')?.value ?? null,
    quadDisabled: document.getElementById('mode-quad').disabled,
    quadReason: document.getElementById('reason-quad').hidden ? null : document.getElementById('reason-quad').textContent,
    choosable: !document.getElementById('modes').disabled,
    problems: document.getElementById('problems').textContent,
  }));
}

before(async () => {
  camera = await startCamera();
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  page = await openPage(camera.page);
});

after(async () => {
  await browser?.close();
  await camera?.stop();
  assert.deepEqual(pageErrors, []);
});

test('the page loads, shows single, and asks nothing of anyone but the camera', async () => {
  await waitFor(() => document.getElementById('current').textContent === 'Single');
  assert.deepEqual(await state(), {
    current: 'Single', checked: 'single', quadDisabled: false, quadReason: null, choosable: true, problems: '',
  });
  const origin = new URL(camera.page).origin;
  assert.deepEqual(calls.filter((r) => new URL(r.url()).origin !== origin).map((r) => r.url()), []);
  assert.equal(await page.locator('fieldset legend').textContent(), 'Choose a view mode');
  assert.equal(await page.locator('#status').getAttribute('role'), 'status');
  await page.setViewportSize({width: 320, height: 640}); // a small phone
  assert.equal(await page.evaluate(() => document.documentElement.scrollWidth), 320);
  await page.setViewportSize({width: 480, height: 640});
});

test('a click switches to quad: busy meanwhile, then the camera holds quad everywhere', async () => {
  let release, arrived;
  const held = new Promise((resolve) => (arrived = resolve));
  await page.route('**/api', async (route) => {
    if (route.request().postData().includes('setViewMode')) {
      arrived();
      await new Promise((resolve) => (release = resolve));
    }
    await route.continue();
  });
  await page.click('label[for=mode-quad]');
  await held;
  try {
    for (const mode of ['single', 'quad']) assert.equal(await page.locator('#mode-' + mode).isDisabled(), true);
    assert.equal(await page.locator('#modes').getAttribute('aria-busy'), 'true');
    assert.equal(await text('#status'), 'Switching to Quad…');
    await page.click('label[for=mode-single]', {force: true}); // pressed again: nothing more is sent
  } finally {
    release();
  }
  await statusIs('Quad is in effect now.');
  await page.unroute('**/api');
  assert.equal(apiCalls('setViewMode').length, 1);
  assert.deepEqual(await state(), {
    current: 'Quad', checked: 'quad', quadDisabled: false, quadReason: null, choosable: true, problems: '',
  });
  assert.deepEqual(camera.held(), ['quad', 'yes', 'quad']);
});

test('the keyboard alone switches back to single', async () => {
  page = await openPage(camera.page);
  await waitFor(() => document.getElementById('current').textContent === 'Quad');
  await page.keyboard.press('Tab');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'mode-quad');
  await page.keyboard.press('ArrowUp');
  await statusIs('Single is in effect now.');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'mode-single');
  assert.deepEqual(camera.held(), ['single', 'no', 'single']);
});

test('a channel rotated elsewhere disables quad with its reason at the next poll, and focus reads again', async () => {
  camera.tool('rotate', '2', '90');
  await page.clock.runFor(POLL_MS);
  await statusIs('Quad is not available now.');
  const s = await state();
  assert.equal(s.quadDisabled, true);
  assert.equal(s.quadReason, 'Not available while a video channel is rotated by 90 or 270 degrees.');
  assert.equal(s.checked, 'single');
  if (process.env.SCREENSHOT) {
    const height = await page.evaluate(() => Math.ceil(document.querySelector('main').getBoundingClientRect().bottom));
    await page.screenshot({path: process.env.SCREENSHOT, clip: {x: 0, y: 0, width: 480, height: height}});
  }

  camera.tool('rotate', '2', '0');
  await page.clock.runFor(1500); // before the next poll is due
  await page.evaluate(() => window.dispatchEvent(new Event('focus')));
  await statusIs('All view modes are available again.');
  assert.equal((await state()).quadDisabled, false);
});

// A minute of the page's time, a second at a time, each read answered
// before the clock moves on.
async function aMinute() {
  for (let second = 0; second < 60; second++) {
    await page.clock.runFor(1000);
    await until(() => calls.every((request) => answered.has(request)), 'the reads to be answered');
    await page.evaluate(() => 0);
  }
}

test('it polls gently: every few seconds while visible, never while hidden', async () => {
  const before = apiCalls().length;
  await aMinute();
  const visible = apiCalls().length - before;
  assert.ok(visible >= 10 && visible <= 13, visible + ' reads in a minute');

  await page.evaluate(() => {
    Object.defineProperty(document, 'visibilityState', {value: 'hidden', configurable: true});
    document.dispatchEvent(new Event('visibilitychange'));
  });
  const hidden = apiCalls().length;
  await aMinute();
  assert.equal(apiCalls().length, hidden);
  await page.evaluate(() => {
    delete document.visibilityState;
    document.dispatchEvent(new Event('visibilitychange'));
  });
  await until(() => apiCalls().length > hidden, 'a read once visible again');
  assert.equal(apiCalls().length, hidden + 1);
});

test('quad refused because a channel turned before the page noticed: the 1000 message', async () => {
  camera.tool('rotate', '0', '270');
  await page.click('label[for=mode-quad]');
  await problemSays('error 1000');
  const s = await state();
  assert.match(s.problems, /Quad is not allowed now \(error 1000\)/);
  assert.equal(s.quadReason, 'Not available while a video channel is rotated by 90 or 270 degrees.');
  assert.equal(s.current, 'Single');
  camera.tool('rotate', '0', '0');
});

test('the video system refuses: the 8000 message says what may have changed', async () => {
  camera.tool('fault', 'video', 'apply', 'on');
  await page.clock.runFor(POLL_MS);
  await waitFor(() => !document.getElementById('mode-quad').disabled);
  await page.click('label[for=mode-quad]');
  await problemSays('error 8000');
  const s = await state();
  assert.match(s.problems, /could not apply Quad \(error 8000, internal error\)\. It may have been applied in part/);
  assert.equal(s.current, 'Single');
  assert.equal(s.checked, 'single');
  assert.equal(await text('#status'), 'The switch to Quad failed.');
  camera.tool('fault', 'video', 'apply', 'off');
});

test('a network failure and a bare 500 are told in words', async () => {
  await page.route('**/api', (route) => route.abort('connectionrefused'));
  await page.clock.runFor(POLL_MS);
  await problemSays('network failure');
  assert.equal((await state()).choosable, false);
  await page.unroute('**/api');
  await page.clock.runFor(2 * POLL_MS); // the next try waits longer after a failure
  await waitFor(() => !document.getElementById('modes').disabled);
  assert.doesNotMatch((await state()).problems, /network failure/);

  await page.route('**/api', (route) =>
    route.request().postData().includes('setViewMode') ? route.fulfill({status: 500, body: ''}) : route.continue());
  await page.click('label[for=mode-quad]');
  await problemSays('HTTP 500');
  await page.unroute('**/api');
  assert.equal((await state()).current, 'Single');
});

test('a viewer account is told it may not see or change the view mode (2001)', async () => {
  await camera.stop();
  camera = await startCamera('--viewer');
  page = await openPage(camera.page);
  await problemSays('error 2001');
  const s = await state();
  assert.match(s.problems, /This account may not see or change the view mode \(error 2001, access forbidden\)/);
  assert.equal(s.choosable, false);
  assert.equal(s.current, 'not known');
});
