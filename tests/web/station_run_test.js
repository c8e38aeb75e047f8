// The station page during a real run: zt9047q-flash --port x8 --serve
// against eight zt9047q-sim units on pseudo terminals, looked at in
// headless Chromium. One unit falls silent mid-stream; one answers its
// wake-up with markup and sits behind a port name that is markup too. Then
// the station is started again on the same port, without --json, and the
// page must come back by itself, with the first station's records (kept in
// an SQLite file) in its table, its counts and its CSV download.
//   node station_run_test.js ZT9047Q_FLASH ZT9047Q_SIM [SCREENSHOT.png]
'use strict';
const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const readline = require('readline');
const { launch, sleep } = require('./chromium');

const [flashExe, simExe, screenshotOut] = process.argv.slice(2);
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'zt-station-page-'));
let passed = 0, failed = 0;
const children = [];
function check(ok, what) {
  if (ok) passed++; else { failed++; console.log('FAIL: ' + what); }
}

// A simulator; resolves with its terminal's path once it serves.
function startSim(args) {
  const proc = spawn(simExe, args, { stdio: ['ignore', 'pipe', 'ignore'] });
  children.push(proc);
  return new Promise((resolve, reject) => {
    proc.once('error', reject);
    readline.createInterface({ input: proc.stdout }).once('line', (l) => resolve(l.split(' ')[0]));
    proc.once('exit', () => reject(new Error('a simulator ended before it served')));
  });
}

// A station; its page's address from standard error, its standard output
// and status once it ends.
function startStation(args) {
  const proc = spawn(flashExe, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  children.push(proc);
  proc.once('error', (e) => check(false, 'zt9047q-flash did not start: ' + e.message));
  let out = '';
  proc.stdout.on('data', (d) => { out += d; });
  const url = new Promise((resolve) => {
    readline.createInterface({ input: proc.stderr }).on('line', (l) => {
      const m = /^Station page: (http:\/\/127\.0\.0\.1:\d+\/)$/.exec(l);
      if (m) resolve(m[1]);
    });
  });
  const ended = new Promise((resolve) => proc.once('close', (code) => resolve({ code, out })));
  return { url, ended };
}

const page = launch(tmp, (what) => check(false, 'timed out: ' + what));
const tileOf = (port) => `[...document.querySelectorAll('.tile')].find(t => t.dataset.port === ${JSON.stringify(port)})`;
const percents = `[...document.querySelectorAll('.tile .pct')].map(p => parseInt(p.textContent, 10))`;

// Markup in the unit's reply and in its port's name: shown as text, never run.
const hostilePort = path.join(tmp, '<img src=x onerror=window.__pwned=2>');
const hostileReply = '<img src=x onerror=window.__pwned=1> ZT9047Q VER 2.10';
const records = path.join(tmp, 'records.db');
const noMarkupRan = `document.querySelectorAll('img, script:not([src])').length === 0 && window.__pwned === undefined`;

async function main() {
  // Frames answered a little late, so that the page sees the stream.
  const slow = ['--firmware', '2.10', '--ack-delay', '60'];
  const ptys = await Promise.all([
    ...Array.from({ length: 6 }, () => startSim(slow)),
    startSim([...slow, '--silent-frame', '10']),
    startSim([...slow, '--reply', hostileReply, '--link', hostilePort]),
  ]);
  const ports = [...ptys.slice(0, 7), hostilePort];
  const failing = ports[6];
  const first = startStation([...ports.flatMap((p) => ['--port', p]), '--serve', '127.0.0.1:0', '--json', '--yes',
                              '--record', records]);
  const url = await first.url;
  await page.open(url);
  await page.waitFor(`document.querySelectorAll('.tile').length === 8`, 'eight tiles', 15000);
  await page.waitFor(`${percents}.some(p => p > 0)`, 'progress shown', 15000);
  const before = await page.evaluate(`${percents}.reduce((a, b) => a + b, 0)`);
  await page.waitFor(`${percents}.reduce((a, b) => a + b, 0) > ${before}`, 'progress advances');

  // The silent unit has failed while the others still stream.
  await page.waitFor(`${tileOf(failing)}?.dataset.state === 'failed'`, 'the silent unit fails', 30000);
  const running = await page.evaluate(`document.querySelectorAll('.tile[data-state="running"]').length`);
  check(running >= 4, `units still running as one failed: ${running}`);
  // A running unit's version shows as soon as it has reported it.
  const versions = await page.evaluate(`[...document.querySelectorAll('.tile[data-state="running"] .f-before')].map(b => b.textContent)`);
  check(versions.length && versions.every((v) => v === '2.10'), `versions before the end: ${JSON.stringify(versions)}`);
  // Its record reaches the table as it ends: the picture shows both rooms.
  await page.waitFor(`[...document.querySelectorAll('#records tr')].some(r => r.cells[5].textContent === 'silence')`,
                     'the failed run in the records table', 5000);
  if (screenshotOut) {
    await sleep(400); // the bars' transition
    fs.writeFileSync(screenshotOut, await page.screenshot());
  }
  check(await page.evaluate(`${tileOf(hostilePort)}.querySelector('.slot').textContent`) === hostilePort,
        'the markup port name shown as text');
  check(await page.evaluate(noMarkupRan), 'no markup ran while running');

  // The final tiles are the end events of standard output.
  const { code, out } = await first.ended;
  check(code === 1, `the station with a failed unit exits 1, not ${code}`);
  const ends = out.split('\n').filter(Boolean).map((l) => JSON.parse(l)).filter((e) => e.event === 'end');
  check(ends.length === 8 && ends.filter((e) => e.result === 'completed').length === 7 &&
        ends.find((e) => e.port === failing)?.result === 'silence', 'end events: ' + JSON.stringify(ends.map((e) => e.result)));
  const colours = { completed: 'rgb(47, 179, 68)', failed: 'rgb(229, 72, 77)' };
  for (const e of ends) {
    const state = e.result === 'completed' ? 'completed' : 'failed';
    const got = await page.evaluate(`(() => { const t = ${tileOf(e.port)}; if (!t) return null; const q = (s) => t.querySelector(s).textContent;
      return [t.dataset.state, q('.badge'), q('.result'), q('.status'), q('.pct'), q('.f-before'), q('.f-elapsed'),
              getComputedStyle(t.querySelector('.badge')).backgroundColor]; })()`);
    const want = [state, state, state === 'failed' ? `${e.result}: ${e.text}` : '',
                  state === 'failed' ? got && got[3] : e.text, state === 'failed' ? got && got[4] : '100 %',
                  e.unit_version.toFixed(2), (e.elapsed_ms / 1000).toFixed(1) + ' s', colours[state]];
    check(JSON.stringify(got) === JSON.stringify(want), `${e.port}: page ${JSON.stringify(got)}, end event ${JSON.stringify(want)}`);
  }
  check(await page.evaluate(noMarkupRan), 'no markup ran by the end');

  // Stopped: the page says so. Started again on the same port, without
  // --json: the page comes back with the new station's units, and standard
  // output stays empty.
  await page.waitFor(`document.getElementById('link').dataset.state === 'reconnecting'`, 'page notices the stop');
  const port = new URL(url).port;
  const again = startStation(['--port', ports[0], '--port', ports[1], '--serve', '127.0.0.1:' + port, '--yes',
                                 '--record', records]);
  check(await again.url === url, 'the same address again');
  await page.waitFor(`document.getElementById('link').dataset.state === 'live' && document.querySelectorAll('.tile').length === 2`,
                     'page recovers after a restart', 20000);
  await checkRecords(ends);
  await page.waitFor(`[...document.querySelectorAll('.tile')].every(t => t.dataset.state === 'completed')`,
                     'the new run ends on the page', 30000);
  const second = await again.ended;
  check(second.code === 0 && second.out === '', `second station: status ${second.code}, standard output ${JSON.stringify(second.out.slice(0, 80))}`);
}

// The first station's runs as the page shows them from the store, while
// the second one's two units are still far from their end (only their
// "running" rows are new).
async function checkRecords(ends) {
  const want = ends.map((e) => [e.port, e.unit_version.toFixed(2), e.result, (e.elapsed_ms / 1000).toFixed(1)]).sort();
  const rowsShown = `[...document.querySelectorAll('#records tr')].map(r => [...r.cells].map(c => c.textContent))
                       .filter(c => c[5] !== 'running').map(c => [c[2], c[4], c[5], c[7]]).sort()`;
  await page.waitFor(`JSON.stringify(${rowsShown}) === ${JSON.stringify(JSON.stringify(want))}`, 'the records table', 5000);
  const shown = await page.evaluate(rowsShown);
  check(JSON.stringify(shown) === JSON.stringify(want), `records table ${JSON.stringify(shown)}, end events ${JSON.stringify(want)}`);
  // Completed and failed as the page counts them: without --verify every
  // end but completed (and up-to-date or declined, none here) is failed.
  const completed = ends.filter((e) => e.result === 'completed').length;
  const counts = `['t-completed', 't-failed', 't-yield'].map(id => document.getElementById(id).textContent)`;
  const wantCounts = [String(completed), String(ends.length - completed), (100 * completed / ends.length).toFixed(1) + ' %'];
  await page.waitFor(`JSON.stringify(${counts}) === ${JSON.stringify(JSON.stringify(wantCounts))}`, 'today\'s counts', 5000);
  check(JSON.stringify(await page.evaluate(counts)) === JSON.stringify(wantCounts),
        `today's counts ${JSON.stringify(await page.evaluate(counts))}, end events ${JSON.stringify(wantCounts)}`);
  // The download is what --records prints for today, byte for byte. The
  // store is read between two downloads that agree, so that a run's
  // change in between cannot pass for a difference.
  const download = `fetch(document.getElementById('csv').href, { cache: 'no-store' }).then(r => r.arrayBuffer())
                      .then(b => Array.from(new Uint8Array(b), (c) => String.fromCharCode(c)).join(''))`;
  let csv = null, printed = null;
  for (let i = 0; i < 5 && csv === null; i++) {
    const a = await page.evaluate(download);
    printed = execFileSync(flashExe, ['--records', records, '--since', 'today', '--format', 'csv']).toString('latin1');
    if (a === await page.evaluate(download)) csv = a;
  }
  check(csv !== null && csv.split('\r\n').length === 1 + 10 + 1 && csv === printed,
        `the page's CSV ${JSON.stringify(csv)}, --records ${JSON.stringify(printed)}`);
}

async function finish(code) {
  await Promise.all(children.map((c) => c.exitCode !== null || c.signalCode !== null ? null
    : new Promise((r) => { c.once('exit', r); c.kill('SIGTERM'); })).concat(page.close()));
  fs.rmSync(tmp, { recursive: true, force: true, maxRetries: 5 });
  console.log(`station page with real units: ${passed} passed, ${failed} failed`);
  process.exit(code || (failed ? 1 : 0));
}
const guard = setTimeout(() => { check(false, 'the whole test took over 150 s'); finish(1); }, 150000);
main().then(() => { clearTimeout(guard); finish(0); }, (e) => { console.log('FAIL: ' + e.stack); failed++; finish(1); });
