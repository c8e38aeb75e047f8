// The station page in a real browser: headless Chromium, driven over its
// DevTools protocol on a pipe (no port to find, nothing downloaded), looks
// at the page while a scripted eight-unit run is fed to the page's server.
//   node browser_test.js PAGE_DEMO [SCREENSHOT.png]
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const readline = require('readline');
const { launch, sleep } = require('./chromium');

const [demoExe, screenshotOut] = process.argv.slice(2);
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'zt-web-'));
const token = 'bench-' + require('crypto').randomBytes(12).toString('hex');
fs.writeFileSync(path.join(tmp, 'token'), token + '\n');
let passed = 0, failed = 0;
const children = [];

function check(ok, what) {
  if (ok) passed++; else { failed++; console.log('FAIL: ' + what); }
}

// The page's server, fed line by line.
const demo = spawn(demoExe, [path.join(tmp, 'token')], { stdio: ['pipe', 'pipe', 'inherit'] });
children.push(demo);
const demoLines = [];
let demoWaiter = null;
readline.createInterface({ input: demo.stdout }).on('line', (l) => {
  demoLines.push(l);
  if (demoWaiter) demoWaiter();
});
async function demoLine(prefix) {
  for (;;) {
    const i = demoLines.findIndex((l) => l.startsWith(prefix));
    if (i >= 0) return demoLines.splice(i, 1)[0];
    await new Promise((r) => { demoWaiter = r; });
  }
}
const feed = (obj) => demo.stdin.write((typeof obj === 'string' ? obj : JSON.stringify(obj)) + '\n');

// The browser, through the shared launcher (its teardown waits for every
// process that writes the profile).
const page = launch(tmp, (what) => check(false, 'timed out: ' + what));
const evaluate = (expr) => page.evaluate(expr);
const waitFor = (expr, what, ms) => page.waitFor(expr, what, ms);

const tileOf = (slot) => `[...document.querySelectorAll('.tile')].find(t => t.querySelector('.slot').textContent === ${JSON.stringify(slot)})`;
const field = (slot, sel) => `(${tileOf(slot)} || document.createElement('i')).querySelector(${JSON.stringify(sel)})?.textContent`;

// Eight units on one bench; fed out of slot order.
const hostile = '<img src=x onerror="window.__pwned=1">';
const units = ['A1', 'A2', 'A3', 'A4', 'B1', 'B2', 'B3', 'B4'].map((slot, i) => ({
  slot, port: 'COM' + (33 + i), usb_path: '1-1.' + (i + 1), usb_serial: 'ZT9Q24' + String(1001 + i),
}));
const ev = (u, event, more) => ({ event, port: u.port, usb_path: u.usb_path, usb_serial: u.usb_serial, slot: u.slot, ...more });
const byPort = (p) => units.find((u) => u.port === p);

async function main() {
  const port = Number((await demoLine('PORT ')).split(' ')[1]);
  const base = `http://127.0.0.1:${port}`;
  await page.open(`${base}/?token=${token}`);
  await waitFor(`location.pathname === '/' && location.search === '' && document.getElementById('link')?.dataset.state === 'live'`, 'page live');

  for (const u of units.slice().reverse()) feed(ev(u, 'status', { text: 'Communicating with ZT9047Q' }));
  feed(ev(units[2], 'status', { text: hostile }));
  await waitFor(`document.querySelectorAll('.tile').length === 8`, 'eight tiles');
  check(JSON.stringify(await evaluate(`[...document.querySelectorAll('.tile .slot')].map(s => s.textContent)`)) ===
        JSON.stringify(units.map((u) => u.slot)), 'tiles ordered by slot');
  await waitFor(`${field('A3', '.status')} === ${JSON.stringify(hostile)}`, 'markup shown as text');
  check(await evaluate(`document.querySelectorAll('img').length === 0 && window.__pwned === undefined`), 'no markup ran');
  check((await evaluate(field('B2', '.ident'))).includes('ZT9Q241006'), 'USB serial shown');

  for (const u of units) {
    for (const text of ['Entering bootloader...', 'Initializing bootloader...', 'Downloading new firmware...'])
      if (u !== units[2]) feed(ev(u, 'status', { text }));
  }
  units.forEach((u, i) => feed(ev(u, 'progress', { percent: 8 + 11 * i, bytes: 1000 * i, frames: 2 * i })));
  await waitFor(`${field('B4', '.pct')} === '85 %'`, 'progress shown');
  const before = await evaluate(field('A1', '.pct'));
  feed(ev(units[0], 'progress', { percent: 23, bytes: 23894, frames: 45 }));
  await waitFor(`${field('A1', '.pct')} === '23 %'`, 'progress advances from ' + before);

  const failText = 'No acknowledge from ZT9047Q: the firmware update failed.';
  feed(ev(units[4], 'message', { type: 48, text: failText, answer: 'ok' }));
  const failHint = 'Check the cable and the power of the unit, then run it again.';
  feed(ev(units[4], 'end', { result: 'silence', text: failText, bytes: 4240, frames: 8, elapsed_ms: 4712, unit_version: 2.10, verified: false, version_after: null, reason: 'silence', hint: failHint }));
  const doneText = 'ZT9047Q firmware updated to version 2.20';
  feed(ev(units[1], 'progress', { percent: 100, bytes: 103888, frames: 196 }));
  feed(ev(units[1], 'end', { result: 'completed', text: doneText, bytes: 103888, frames: 196, elapsed_ms: 6144, unit_version: 2.10, verified: true, version_after: 2.20 }));
  await waitFor(`${tileOf('B1')}?.dataset.state === 'failed' && ${tileOf('A2')}?.dataset.state === 'verified' && document.querySelectorAll('#records tr').length === 2`, 'first ends shown');
  await sleep(700); // the progress bars' transition
  if (screenshotOut) {
    fs.writeFileSync(screenshotOut, await page.screenshot());
  }

  // Every other unit ends; one completes but does not verify.
  const ends = { COM33: [true, 2.20], COM35: [true, 2.20], COM36: [true, 2.20], COM38: [true, 2.20], COM39: [true, 2.20], COM40: [false, null] };
  for (const [p, [verified, after]] of Object.entries(ends)) {
    const u = byPort(p);
    feed(ev(u, 'progress', { percent: 100, bytes: 103888, frames: 196 }));
    feed(ev(u, 'end', { result: 'completed', text: doneText, bytes: 103888, frames: 196, elapsed_ms: 6100 + u.port.length, unit_version: 2.10, verified, version_after: after,
                        reason: verified ? 'completed' : 'not-verified', hint: verified ? 'Unplug the unit.' : 'The unit does not report the new version: update it again.' }));
  }
  await waitFor(`[...document.querySelectorAll('.tile')].every(t => t.dataset.state !== 'running')`, 'all ended');
  const colours = { verified: 'rgb(19, 194, 163)', failed: 'rgb(229, 72, 77)' };
  const expect = {
    A1: ['verified', 'verified', ''], A2: ['verified', 'verified', ''], A3: ['verified', 'verified', ''], A4: ['verified', 'verified', ''],
    B1: ['failed', 'failed', 'silence: ' + failText], B2: ['verified', 'verified', ''], B3: ['verified', 'verified', ''],
    B4: ['failed', 'not verified', 'not-verified: ' + doneText],
  };
  for (const [slot, [state, badge, result]] of Object.entries(expect)) {
    const got = await evaluate(`(() => { const t = ${tileOf(slot)}; const b = t.querySelector('.badge');
      return [t.dataset.state, b.textContent, t.querySelector('.result').textContent, getComputedStyle(b).backgroundColor,
              t.querySelector('.f-before').textContent, t.querySelector('.f-after').textContent, t.querySelector('.f-elapsed').textContent]; })()`);
    check(got[0] === state && got[1] === badge && got[2] === result, `${slot}: ${JSON.stringify(got)}`);
    // A finished tile tells what to do now, never its last progress text.
    const status = await evaluate(field(slot, '.status'));
    check(status === (slot === 'B1' ? failHint : slot === 'B4' ? 'The unit does not report the new version: update it again.' : doneText),
          `${slot} status ${status}`);
    check(got[3] === colours[state], `${slot} colour ${got[3]}`);
    check(got[4] === '2.10' && got[5] === (slot === 'B1' || slot === 'B4' ? '\u2014' : '2.20'), `${slot} versions ${got[4]} ${got[5]}`);
  }
  check(await evaluate(field('A2', '.f-elapsed')) === '6.1 s', 'elapsed from the end event');
  await waitFor(`document.getElementById('s-completed').textContent === '6' && document.getElementById('s-notverified').textContent === '1' && document.getElementById('s-failed').textContent === '1' && document.getElementById('s-yield').textContent === '75.0 %'`, 'session counts');
  await waitFor(`document.getElementById('t-completed').textContent === '46' && document.getElementById('t-notverified').textContent === '1' && document.getElementById('t-failed').textContent === '2'`, "today's counts from the records");
  check(await evaluate(`window.__pwned === undefined && document.querySelectorAll('img').length === 0`), 'still no markup ran');

  feed('#csv');
  const csv = JSON.parse((await demoLine('CSV ')).slice(4));
  const served = await evaluate(`fetch(document.getElementById('csv').href).then(r => r.text())`);
  check(served === csv && csv.split('\r\n').length === 10, 'the CSV link serves the records');

  // The station stops; the page says so and comes back by itself with the
  // new process's state.
  feed('#stop');
  await demoLine('OK');
  await waitFor(`document.getElementById('link').dataset.state === 'reconnecting'`, 'page notices the stop');
  await sleep(3000);
  feed('#start');
  await demoLine('OK');
  const c1 = { slot: 'C1', port: 'COM41', usb_path: '1-2.1', usb_serial: 'ZT9Q242001' };
  feed(ev(c1, 'status', { text: 'Communicating with ZT9047Q' }));
  await waitFor(`document.getElementById('link').dataset.state === 'live' && document.querySelectorAll('.tile').length === 1 && ${field('C1', '.status')} === 'Communicating with ZT9047Q'`, 'page recovers after a restart', 20000);
  feed(ev(c1, 'progress', { percent: 42, bytes: 1, frames: 1 }));
  await waitFor(`${field('C1', '.pct')} === '42 %'`, 'live again after the restart');
}

async function finish(code) {
  // Everything that writes into the temporary folder has ended before it goes.
  await page.close();
  await Promise.all(children.map((c) => c.exitCode !== null || c.signalCode !== null ? null
    : new Promise((r) => { c.once('exit', r); c.kill('SIGKILL'); })));
  fs.rmSync(tmp, { recursive: true, force: true, maxRetries: 5 });
  console.log(`web page: ${passed} passed, ${failed} failed`);
  process.exit(code || (failed ? 1 : 0));
}
const guard = setTimeout(() => { check(false, 'the whole test took over 120 s'); finish(1); }, 120000);
main().then(() => { clearTimeout(guard); finish(0); }, (e) => { console.log('FAIL: ' + e.stack); failed++; finish(1); });
