// The player page in headless Chromium (Debian's chromium, driven by
// playwright-core, which downloads nothing), opened through strmd's port the
// way a student's browser opens it. Run by browser_dbtest, which starts the
// database, strmd, the web stand-in and the demo speaker, and passes:
//   STRMD_PAGE_URL       the page through strmd's port (http://127.0.0.1:PORT/)
//   STRMD_WEB_DIR        web/ with its npm install
//   STRMD_ARTIFACTS_DIR  where screenshots of failed cases go
//   STRMD_BROWSER_CASES  a pattern: only the cases whose names match run
// One line per case ("ok - name" or "not ok - name: why"); exit status 1 when
// a case failed.
import { createRequire } from 'node:module';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const pageUrl = process.env.STRMD_PAGE_URL;
const webDir = process.env.STRMD_WEB_DIR;
const artifacts = process.env.STRMD_ARTIFACTS_DIR || os.tmpdir();
const only = new RegExp(process.env.STRMD_BROWSER_CASES || '.');
const require = createRequire(path.join(webDir, 'package.json'));
const { chromium } = require('playwright-core');

// A case's wait is about what the page does, not how fast: a loaded CI
// machine runs the ASan build several times slower than a desk.
const kCaseMs = 60000;
const kClipWidth = 320;  // scripts/make-demo-media.sh

// Waits until the page's state satisfies `test` (a function of the state,
// given as source). A failure gives the last state and one sample a second
// of what led there (seconds into the wait: currentTime, readyState,
// decoded audio bytes, buffered ranges), which tells a stall from a slow start.
async function WaitForState(page, test, what, timeoutMs = kCaseMs) {
  const began = Date.now();
  const trail = [];
  const sampler = setInterval(() => {
    page.evaluate(() => window.strmdState && window.strmdState()).then(s => {
      if (s) trail.push(`${Math.round((Date.now() - began) / 1000)}s:${s.currentTime.toFixed(1)}/r${s.readyState}/a${s.audioBytes}/${JSON.stringify(s.buffered)}`);
    }).catch(() => {});
  }, 1000);
  try {
    await page.waitForFunction(`(${test})(window.strmdState())`, null, { timeout: timeoutMs, polling: 100 });
  } catch (e) {
    const state = await page.evaluate(() => window.strmdState && window.strmdState()).catch(() => null);
    throw new Error(`${what} within ${timeoutMs / 1000} s; the page's state: ${JSON.stringify(state)}; ` +
                    `samples: ${trail.join(' ')}`);
  } finally {
    clearInterval(sampler);
  }
  return page.evaluate(() => window.strmdState());
}

// Plays until the video has run 3 s at the clip's width with decoded audio.
async function PlaysWithSound(page, query) {
  await page.goto(pageUrl + query);
  const state = await WaitForState(page,
    `s => s.error !== '' || (s.currentTime > 3 && s.videoWidth > 0 && s.audioBytes > 0)`,
    `no 3 s of video with sound from ${query}`);
  if (state.error) throw new Error(`the page shows an error: ${state.error}`);
  if (state.videoWidth !== kClipWidth) throw new Error(`video width ${state.videoWidth}, not ${kClipWidth}`);
}

const cases = [
  ['the page and its player library load through strmd\'s port with the demo session cookie', async (page, context) => {
    await page.goto(pageUrl);
    if (await page.title() !== 'strmd player') throw new Error(`title "${await page.title()}"`);
    if (!(await page.evaluate(() => typeof window.mpegts === 'object' && window.mpegts.isSupported())))
      throw new Error('mpegts.js did not load or finds no Media Source Extensions');
    const cookies = await context.cookies(pageUrl);
    if (!cookies.some(c => c.name === 'PHPSESSID' && c.value !== ''))
      throw new Error(`no PHPSESSID cookie: ${JSON.stringify(cookies)}`);
  }],
  ['an unknown object shows a readable error over HTTP and over a WebSocket', async page => {
    for (const transport of ['http', 'ws']) {
      await page.goto(pageUrl + '?object=999999&transport=' + transport);
      const state = await WaitForState(page, `s => /404/.test(s.error)`, `no 404 shown (${transport})`);
      if (!/^Media object 999999 cannot be played/.test(state.error)) throw new Error(`error text "${state.error}"`);
      if (await page.locator('#error').isHidden()) throw new Error('the error text is not visible');
    }
  }],
  ['the demo object plays over HTTP-FLV', page => PlaysWithSound(page, '?object=200&transport=http')],
  ['the demo object plays over WebSocket-FLV', page => PlaysWithSound(page, '?object=200&transport=ws')],
  ['a seek to 8 s plays the object from there', async page => {
    await page.goto(pageUrl + '?object=200');
    await WaitForState(page, `s => s.error !== '' || s.currentTime > 1`, 'no first second of the object');
    await page.fill('#seekTo', '8');
    await page.click('#seek');
    // The rest of the 12 s clip is about 4 s: a stream sent from the start
    // again would play on to 12 s.
    const state = await WaitForState(page, `s => s.error !== '' || (s.start === 8000 && s.endedAt >= 0)`,
      'the stream from 8 s did not play to its end');
    if (state.error) throw new Error(`the page shows an error: ${state.error}`);
    if (state.endedAt < 2 || state.endedAt > 6)
      throw new Error(`${state.endedAt} s of media played after a seek to 8 s of a 12 s clip`);
    if (state.position < 10) throw new Error(`the position ends at ${state.position} s`);
  }],
  ['the demo live channel plays with sound', page => PlaysWithSound(page, '?channel=5&userid=2')],
];

const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'strmd-chromium-'));
fs.mkdirSync(artifacts, { recursive: true });
let failed = 0;
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  ignoreDefaultArgs: ['--mute-audio'],
  args: ['--no-sandbox', '--autoplay-policy=no-user-gesture-required', '--headless', '--disable-gpu',
         '--disable-background-networking', '--disable-component-update', '--disable-sync', '--no-first-run'],
  timeout: kCaseMs,  // a first start on a loaded machine
});
try {
  for (const [name, run] of cases) {
    if (!only.test(name)) continue;
    const page = await context.newPage();
    page.setDefaultTimeout(kCaseMs);
    const began = Date.now();
    const took = () => `${((Date.now() - began) / 1000).toFixed(1)} s`;
    try {
      await run(page, context);
      console.log(`ok - ${name} (${took()})`);
    } catch (e) {
      failed++;
      const shot = path.join(artifacts, name.replace(/[^A-Za-z0-9]+/g, '-') + '.png');
      await page.screenshot({ path: shot }).catch(() => {});
      console.log(`not ok - ${name}: ${e.message.split('\n')[0]} (after ${took()}; screenshot ${shot})`);
    }
    await page.close();
  }
} finally {
  await context.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
