// The settings page in Debian's Chromium against the simulated camera, as
// an operator uses it. One page lives through the scenarios in order; its
// clock is Playwright's, so the page polls only when a scenario says so.
//
// Run: cd tests/web && npm ci && node --test
// SCREENSHOT=FILE also saves a picture of the page with quad refused.
import {after, before, test} from 'node:test';
import assert from 'node:assert/strict';
import {execFileSync, spawn} from 'node:child_process';
import crypto from 'node:crypto';
import {once} from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import axe from 'axe-core';
import {chromium} from 'playwright-core';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const POLL_MS = 5000;

// One simulated camera from tools/run.sh, on a port of its own; with
// --auth it speaks https with a certificate of its own, which `ca` holds.
async function startCamera(...options) {
  const state = fs.mkdtempSync(path.join(os.tmpdir(), 'pts-web-'));
  let run, log;
  // Resolves once the service answers; run.sh may have a build to do.
  async function launch(port) {
    log = fs.openSync(path.join(state, 'run.log'), 'a');
    run = spawn(path.join(root, 'tools/run.sh'), ['--port', port, '--state', state, ...options],
                {stdio: ['ignore', log, log]});
    const endpoint = path.join(state, 'endpoint');
    const deadline = Date.now() + 300_000;
    while (!(fs.existsSync(endpoint) && fs.statSync(endpoint).size)) {
      if (run.exitCode !== null || Date.now() > deadline) {
        throw new Error('the simulated camera did not start:\n' + fs.readFileSync(path.join(state, 'run.log'), 'utf8'));
      }
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
    return fs.readFileSync(endpoint, 'utf8').trim();
  }
  async function end() {
    if (run.exitCode === null) {
      run.kill('SIGTERM');
      await once(run, 'exit');
    }
    fs.closeSync(log);
  }
  const api = await launch('0');
  const cert = path.join(state, 'front/cert.pem');
  return {
    state,
    page: api.replace(/api$/, ''),
    ca: api.startsWith('https:') ? fs.readFileSync(cert, 'utf8') : undefined,
    tool: (...args) => execFileSync(path.join(root, 'tools/camera'), ['--state', state, ...args], {encoding: 'utf8'}),
    // What the video system, the parameter and the key file hold.
    held() {
      const status = this.tool('status');
      return [/Video system: mode (\S+),/, /root\.Image\.I4\.Enabled=(\S+)/, /view_mode=(\S+)/]
        .map((pattern) => (status.match(pattern) || [])[1]);
    },
    // Stopped, and started again on the same port and state folder.
    down: end,
    up: () => launch(new URL(api).port),
    async stop() {
      await end();
      fs.rmSync(state, {recursive: true, force: true});
    },
  };
}

let browser, camera, page;
const calls = [];
const answered = new Set();
let mostAtOnce = 0; // API calls on their way at once, at most
const pageErrors = [];

// A fresh page in a context of its own; options go to the context (e.g.
// httpCredentials). With fromDisk the page's own files come from web/, so
// that only its API calls meet the camera.
async function openPage(url, options = {}, fromDisk = false, on = browser) {
  await page?.context().close();
  const context = await on.newContext({viewport: {width: 480, height: 640}, ...options});
  if (fromDisk) {
    const file = (u) => u.pathname.slice('/panetessel/'.length) || 'index.html';
    await context.route((u) => u.pathname.startsWith('/panetessel/') && u.pathname !== '/panetessel/api',
                        (route) => route.fulfill({path: path.join(root, 'web', file(new URL(route.request().url())))}));
  }
  const opened = await context.newPage();
  opened.on('pageerror', (error) => pageErrors.push(error.message));
  opened.on('request', (request) => {
    calls.push(request);
    mostAtOnce = Math.max(mostAtOnce, apiCalls().filter((r) => !answered.has(r)).length);
  });
  for (const end of ['requestfinished', 'requestfailed']) opened.on(end, (request) => answered.add(request));
  // Time stands still unless a scenario moves it.
  await opened.clock.install({time: 0});
  await opened.clock.pauseAt(1000);
  await opened.goto(url);
  return opened;
}

// A GET from Node itself, trusting the camera's certificate and no other
// (fetch cannot be given one): its status and headers.
function get(url) {
  const client = url.startsWith('https:') ? https : http;
  return new Promise((resolve, reject) => {
    client.get(url, {ca: camera.ca}, (answer) => {
      answer.resume();
      answer.on('end', () => resolve({status: answer.statusCode, headers: answer.headers}));
    }).on('error', reject);
  });
}

// Chromium trusts the camera's self-signed certificate alone, by its key.
function trusting(ca) {
  const key = new crypto.X509Certificate(ca).publicKey.export({type: 'spki', format: 'der'});
  return '--ignore-certificate-errors-spki-list=' + crypto.createHash('sha256').update(key).digest('base64');
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

const LAUNCH = {
  executablePath: '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'],
};

before(async () => {
  camera = await startCamera();
  browser = await chromium.launch(LAUNCH);
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

// What the camera's web server sends with the page's files: the page's own
// policy as a header, with frame-ancestors (which a meta tag cannot carry).
const policy = fs.readFileSync(path.join(root, 'web/index.html'), 'utf8')
  .match(/http-equiv="Content-Security-Policy" content="([^"]*)"/)[1];
const pageHeaders = [
  ['content-security-policy', policy + "; frame-ancestors 'none'"],
  ['x-frame-options', 'DENY'],
  ['referrer-policy', 'no-referrer'],
  ['x-content-type-options', 'nosniff'],
  ['cache-control', 'no-cache'],
];

test('the page cannot be framed, and a page from elsewhere can neither frame it nor switch the camera', async () => {
  for (const file of ['', 'settings.js', 'settings.css']) {
    const answer = await get(camera.page + file);
    assert.equal(answer.status, 200, file);
    for (const [name, value] of pageHeaders) assert.equal(answer.headers[name], value, file + ': ' + name);
    assert.deepEqual(Object.keys(answer.headers).filter((name) => name.startsWith('access-control-')), [], file);
  }

  // Another site the operator has open: it frames the page and sends the
  // switch a no-cors fetch may send without asking anyone.
  const api = camera.page + 'api';
  const attack = '<!doctype html><iframe src="' + camera.page + '" onload="this.dataset.loaded = 1"></iframe><script>' +
    'window.sent = fetch(' + JSON.stringify(api) + ', {method: "POST", mode: "no-cors", body: ' +
    JSON.stringify(JSON.stringify({method: 'setViewMode', apiVersion: '1.0', params: {value: 'quad'}})) +
    '}).then(() => "sent", () => "failed");</script>';
  const site = http.createServer((request, reply) => reply.writeHead(200, {'Content-Type': 'text/html'}).end(attack));
  site.listen(0, '127.0.0.2'); // another site: cross-site to 127.0.0.1
  await once(site, 'listening');
  const context = await browser.newContext();
  try {
    const evil = await context.newPage();
    const framed = [];
    evil.on('request', (request) => request.frame() !== evil.mainFrame() && framed.push(new URL(request.url()).pathname));
    await evil.goto('http://127.0.0.2:' + site.address().port + '/');
    assert.equal(await evil.evaluate(() => window.sent), 'sent');
    await evil.waitForFunction(() => document.querySelector('iframe').dataset.loaded, null, {timeout: 15_000});
    assert.deepEqual(framed, ['/panetessel/']); // refused: none of its files were asked for
  } finally {
    await context.close();
    site.close();
  }
  assert.deepEqual(camera.held(), ['single', 'no', 'single']);
});

test('a click on the card\'s description switches to quad: busy meanwhile, then the camera holds quad everywhere', async () => {
  let release, arrived;
  const held = new Promise((resolve) => (arrived = resolve));
  await page.route('**/api', async (route) => {
    if (route.request().postData().includes('setViewMode')) {
      arrived();
      await new Promise((resolve) => (release = resolve));
    }
    await route.continue();
  });
  await page.click('#hint-quad'); // the whole card is the target, not only the name
  await held;
  try {
    for (const mode of ['single', 'quad']) assert.equal(await page.locator('#mode-' + mode).isDisabled(), true);
    assert.equal(await page.locator('#modes').getAttribute('aria-busy'), 'true');
    assert.equal(await text('#status'), 'Switching to Quad…');
    await page.click('#hint-single', {force: true}); // pressed again: nothing more is sent
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

const ROTATED = 'Not available while a video channel is rotated by 90 or 270 degrees.';
const KEPT = 'Quad stays in effect, but a video channel is rotated by 90 or 270 degrees: once left, Quad cannot ' +
  'be chosen again until that rotation ends. Single can still be chosen.';
// A channel rotated elsewhere while each mode is in effect: what the next
// poll says, and shows. Quad in effect is not shown as unavailable.
const rotatedWhile = [
  ['quad', KEPT, {current: 'Quad', checked: 'quad', quadDisabled: false, quadReason: KEPT}],
  ['single', 'Quad is not available now.', {current: 'Single', checked: 'single', quadDisabled: true, quadReason: ROTATED}],
];
test('a channel rotated elsewhere shows at the next poll, with what can be chosen, and focus reads again', async () => {
  for (const [mode, says, shown] of rotatedWhile) {
    camera.tool('rotate', '2', '0');
    await page.click('#hint-' + mode);
    await waitFor((m) => document.getElementById('current').textContent.toLowerCase() === m, mode);
    camera.tool('rotate', '2', '90');
    await page.clock.runFor(POLL_MS);
    await statusIs(says);
    assert.deepEqual(await state(), {...shown, choosable: true, problems: ''}, mode);
  }
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

// The page's time, a second at a time, each read answered before the
// clock moves on, until done() holds.
async function seconds(count, done = async () => false) {
  for (let second = 0; second < count && !(await done()); second++) {
    await page.clock.runFor(1000);
    await until(() => calls.every((request) => answered.has(request)), 'the reads to be answered');
    await page.evaluate(() => 0);
  }
}
const aMinute = () => seconds(60);

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

// Axe's WCAG 2.1 A and AA rules, on the page as it is. Axe waits on
// timers, so the page's clock moves in small steps until it has answered.
async function inaccessible() {
  await page.evaluate(axe.source);
  let result = null;
  const run = page.evaluate(() => window.axe.run({runOnly: ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa']}))
    .then((r) => (result = r));
  while (!result) await Promise.race([run, page.clock.runFor(20)]);
  return result.violations.map((v) => v.id + ': ' + v.nodes.map((node) => node.target.join(' ')).join(', '));
}

// Each colour scheme, with forced colours off and on: axe finds nothing,
// and the chosen card has a border of its own, not only a fill.
const looks = [
  [{colorScheme: 'light', forcedColors: 'none'}, 'rgb(243, 245, 247)', '2px'],
  [{colorScheme: 'dark', forcedColors: 'none'}, 'rgb(13, 17, 23)', '2px'],
  [{colorScheme: 'dark', forcedColors: 'active'}, null, '4px'],
];
test('light, dark and forced colours: no violation, the chosen card stands out by its border', async () => {
  for (const [media, background, border] of looks) {
    await page.emulateMedia(media);
    const seen = await page.evaluate(() => {
      const style = (selector) => getComputedStyle(document.querySelector(selector));
      return {
        background: style('body').backgroundColor,
        chosen: style('.choice:has(input:checked)').borderTopWidth,
        other: style('.choice:has(input:not(:checked))').borderTopWidth,
      };
    });
    const name = JSON.stringify(media);
    if (background) assert.equal(seen.background, background, name);
    assert.deepEqual([seen.chosen, seen.other], [border, '1px'], name);
    if (media.forcedColors === 'none') assert.deepEqual(await inaccessible(), [], name);
  }
  await page.emulateMedia({colorScheme: null, forcedColors: null});
});

test('offline, the page says so; back online, it reads again at once', async () => {
  await page.context().setOffline(true);
  await page.clock.runFor(POLL_MS);
  await problemSays('network failure');
  assert.equal((await state()).choosable, false);
  await page.clock.runFor(1000);
  await page.context().setOffline(false); // the clock stands still: only the online event reads
  await waitFor(() => !document.getElementById('modes').disabled);
  assert.doesNotMatch((await state()).problems, /network failure/);
});

// Waits until every element that matches is wholly in the window.
const inView = (selector) => waitFor((s) => Array.from(document.querySelectorAll(s)).every((e) => {
  const box = e.getBoundingClientRect();
  return box.top >= 0 && box.bottom <= window.innerHeight;
}), selector);

test('the camera stopped for 30 s and started again: the mode is shown within 10 s, with no stale message', async (t) => {
  await page.setViewportSize({width: 375, height: 667}); // a phone
  await camera.down();
  // A switch tried before the page noticed: whether it was made is not known.
  await page.click('label[for=mode-quad]');
  await statusIs('The switch to Quad failed.');
  await problemSays('the page tries again by itself');
  assert.match((await state()).problems, /switch may or may not have been made/);
  await inView('#status, .problem');
  assert.equal((await state()).current, 'not known');

  // Half a minute without the camera, then until a try has just failed:
  // the camera comes back at the worst moment for the page.
  const tried = apiCalls().length;
  await seconds(30);
  const during = apiCalls().length - tried;
  assert.ok(during >= 3 && during <= 6, during + ' tries in 30 s');
  const last = apiCalls().length;
  await seconds(15, async () => apiCalls().length > last);

  await camera.up();
  await page.evaluate(() => {
    const current = document.getElementById('current');
    new MutationObserver(() => current.textContent !== 'not known' && (window.shownAt ??= Date.now()))
      .observe(current, {childList: true});
    window.backAt = Date.now();
  });
  await seconds(20, () => page.evaluate(() => window.shownAt !== undefined));
  const took = await page.evaluate(() => (window.shownAt - window.backAt) / 1000);
  t.diagnostic(`the mode shown ${took} s after the camera answered again`);
  assert.ok(took <= 10, took + ' s');
  await statusIs('The camera answers again: Single is in effect, not Quad.');
  assert.deepEqual(await state(), {
    current: 'Single', checked: 'single', quadDisabled: false, quadReason: null, choosable: true, problems: '',
  });
  assert.equal(mostAtOnce, 1);
  await page.setViewportSize({width: 480, height: 640});
});

// Bare HTTP answers to a switch: the service's 500, and the refusals of the
// camera's web server, which nothing of reaches the service, each with the
// web server's own little page.
const refusal = (status) => (status === 500 ? {status, body: ''}
  : {status, contentType: 'text/html', body: `<html><body><h1>${status} Refused</h1></body></html>`});
const bareAnswers = [
  [500, /\(HTTP 500, internal failure\)\. Whether the switch was made is not known/],
  [401, /refused the switch to Quad \(HTTP 401, sign-in needed\).*the name or password is wrong\. Reload the page and sign in.*Nothing was changed\./],
  [403, /refused the switch to Quad \(HTTP 403, forbidden\): this account may not change the camera, or the call did not come from the camera's own page/],
  [421, /refused the switch to Quad \(HTTP 421, misdirected request\): the camera does not answer to the address this page was opened with/],
  [429, /refused the switch to Quad \(HTTP 429, too many failed sign-ins from this address\).*Try again in a minute\. Nothing was changed\./],
];
test('a bare 500 and the web server\'s 401, 403, 421 and 429 are told in words', async () => {
  for (const [status, says] of bareAnswers) {
    await page.route('**/api', (route) =>
      route.request().postData().includes('setViewMode') ? route.fulfill(refusal(status)) : route.continue());
    await page.click('label[for=mode-quad]');
    await problemSays('HTTP ' + status);
    await page.unroute('**/api');
    const s = await state();
    assert.match(s.problems, says);
    assert.equal(s.current, 'Single');
    assert.equal(await text('#status'), 'The switch to Quad failed.');
  }
  // A refused read says so too, and the next good read clears it.
  await page.route('**/api', (route) => route.fulfill(refusal(421)));
  await page.clock.runFor(POLL_MS);
  await problemSays('refused the request for the view mode (HTTP 421, misdirected request)');
  assert.equal((await state()).choosable, false);
  await page.unroute('**/api');
  await page.clock.runFor(2 * POLL_MS);
  await waitFor(() => document.getElementById('current').textContent === 'Single');
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

test('behind a password, over https: the right one gets in and switches, a wrong one is told 401', async () => {
  await camera.stop();
  camera = await startCamera('--auth');
  assert.match(camera.page, /^https:/);
  const password = fs.readFileSync(path.join(camera.state, 'camop.password'), 'utf8').trim();
  const refused = await get(camera.page);
  assert.equal(refused.status, 401);
  assert.match(refused.headers['www-authenticate'], /^Digest realm="camera",.*algorithm=SHA-256/i);
  // Only the camera's own certificate is trusted: the browser of the other
  // scenarios, which knows nothing of it, gets nowhere.
  const untrusting = await browser.newContext();
  try {
    await assert.rejects((await untrusting.newPage()).goto(camera.page), /ERR_CERT_AUTHORITY_INVALID/);
  } finally {
    await untrusting.close();
  }
  await browser.close();
  const trusted = {...LAUNCH, args: [...LAUNCH.args, trusting(camera.ca)]};

  // One login serves the page and its calls. Chromium answers challenges
  // out of Playwright's sight; its own log of the network shows them.
  const netLog = path.join(camera.state, 'net-log.json');
  const logging = await chromium.launch({...trusted, args: [...trusted.args, `--log-net-log=${netLog}`]});
  page = await openPage(camera.page, {httpCredentials: {username: 'camop', password}}, false, logging);
  await waitFor(() => document.getElementById('current').textContent === 'Single');
  await page.click('label[for=mode-quad]');
  await statusIs('Quad is in effect now.');
  assert.deepEqual(camera.held(), ['quad', 'yes', 'quad']);
  await logging.close();
  page = undefined;
  const challenges = fs.readFileSync(netLog, 'utf8').match(/HTTP\/1\.1 401/g) ?? [];
  assert.equal(challenges.length, 1, `${challenges.length} challenges for one login`);

  // A wrong password gets the web server's 401 in place of the page: none
  // of the page's own files are asked for. The page's files from web/ show
  // what its calls then meet.
  browser = await chromium.launch(trusted);
  const wrong = {httpCredentials: {username: 'camop', password: password + 'x'}};
  const refusedContext = await browser.newContext(wrong);
  try {
    const refusedPage = await refusedContext.newPage();
    const statuses = [];
    refusedPage.on('response', (response) => statuses.push(new URL(response.url()).pathname + ' ' + response.status()));
    const shown = await refusedPage.goto(camera.page);
    assert.equal(shown.status(), 401);
    assert.deepEqual(statuses, ['/panetessel/ 401']);
  } finally {
    await refusedContext.close();
  }
  page = await openPage(camera.page, wrong, true);
  await problemSays('HTTP 401');
  const s = await state();
  assert.match(s.problems, /refused the request for the view mode \(HTTP 401, sign-in needed\).*the name or password is wrong/);
  assert.equal(s.choosable, false);
  assert.deepEqual(camera.held(), ['quad', 'yes', 'quad']);
});
