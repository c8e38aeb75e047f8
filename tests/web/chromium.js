// Headless Chromium from Debian, driven over its DevTools protocol on a
// pipe (fds 3 and 4): no port to find, nothing downloaded.
'use strict';
const { spawn } = require('child_process');
const path = require('path');

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// One browser with one page. onTimeout(what) is told of every waitFor that
// gave up.
function launch(profileDir, onTimeout) {
  const browser = spawn('/usr/bin/chromium', [
    '--headless', '--remote-debugging-pipe', '--no-sandbox', '--disable-gpu', '--disable-quic',
    '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--disable-extensions', '--hide-scrollbars', '--force-device-scale-factor=1',
    '--user-data-dir=' + path.join(profileDir, 'profile'), 'about:blank',
  ], { stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe'], detached: true }); // its own group: see close()
  const toBrowser = browser.stdio[3], fromBrowser = browser.stdio[4];
  let nextId = 1;
  const waiting = new Map();
  let inBuf = Buffer.alloc(0);
  fromBrowser.on('data', (chunk) => {
    inBuf = Buffer.concat([inBuf, chunk]);
    let end;
    while ((end = inBuf.indexOf(0)) >= 0) {
      const msg = JSON.parse(inBuf.subarray(0, end).toString());
      inBuf = inBuf.subarray(end + 1);
      if (msg.id && waiting.has(msg.id)) {
        const { resolve, reject } = waiting.get(msg.id);
        waiting.delete(msg.id);
        if (msg.error) reject(new Error(JSON.stringify(msg.error))); else resolve(msg.result);
      }
    }
  });
  function send(method, params = {}, sessionId) {
    const id = nextId++;
    toBrowser.write(JSON.stringify({ id, method, params, sessionId }) + '\0');
    return new Promise((resolve, reject) => waiting.set(id, { resolve, reject }));
  }
  let session;
  const page = {
    process: browser,
    async open(url, width = 1440, height = 1000) {
      const { targetId } = await send('Target.createTarget', { url: 'about:blank' });
      ({ sessionId: session } = await send('Target.attachToTarget', { targetId, flatten: true }));
      await send('Runtime.enable', {}, session);
      await send('Emulation.setDeviceMetricsOverride', { width, height, deviceScaleFactor: 1, mobile: false }, session);
      await send('Page.navigate', { url }, session);
    },
    async evaluate(expr) {
      const r = await send('Runtime.evaluate', { expression: expr, returnByValue: true, awaitPromise: true }, session);
      if (r.exceptionDetails) throw new Error('page: ' + JSON.stringify(r.exceptionDetails));
      return r.result.value;
    },
    async waitFor(expr, what, ms = 10000) {
      const end = Date.now() + ms;
      while (Date.now() < end) {
        if (await page.evaluate(expr)) return true;
        await sleep(50);
      }
      onTimeout(what);
      return false;
    },
    // The browser and every process it started (renderers, helpers keep
    // writing the profile for a while after the main one is gone): asked
    // to close, then its whole group ended, and awaited, so that the
    // profile can be removed.
    async close() {
      const exited = browser.exitCode !== null || browser.signalCode !== null ? Promise.resolve()
        : new Promise((r) => browser.once('exit', r));
      send('Browser.close').catch(() => {});
      await Promise.race([exited, sleep(3000)]);
      const groupAlive = () => { try { process.kill(-browser.pid, 0); return true; } catch (e) { return false; } };
      if (groupAlive()) { try { process.kill(-browser.pid, 'SIGKILL'); } catch (e) { /* gone meanwhile */ } }
      await exited;
      for (let i = 0; i < 100 && groupAlive(); i++) await sleep(20);
    },
    async screenshot() {
      const shot = await send('Page.captureScreenshot', { format: 'png' }, session);
      return Buffer.from(shot.data, 'base64');
    },
  };
  return page;
}

module.exports = { launch, sleep };
