// The browser check: OHIF's viewer, served by lib/ohif-server.mjs in front
// of a DICOMweb server, opens a study in Debian's Chromium (headless,
// through playwright-core) and must show an image.
//
//   node viewer.mjs <dicomweb-root> <study-uid> <screenshot.png>
//
// Waits at most 90 s until the largest viewport canvas shows a picture:
// in the middle of its box, at least MIN_LIT (20 %) of the pixels not
// black and at least MIN_SHADES (8) distinct values (text overlays sit in
// the corners, a spinner or an error message lights up far less). Writes
// the screenshot of the whole page to <screenshot.png> in any case, and the
// DICOMweb requests the viewer made (method, path, Accept, status, type)
// to <screenshot>.requests.txt beside it. Exits 1 with the reason when no
// image appeared.
import { mkdtemp, rm, writeFile } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import pngjs from 'pngjs';
import { startViewerServer } from './lib/ohif-server.mjs';

const [root, studyUID, screenshot] = process.argv.slice(2);
if (!root || !studyUID || !screenshot) {
  console.error('usage: node viewer.mjs <dicomweb-root> <study-uid> <screenshot.png>');
  process.exit(2);
}
const WAIT_MS = Number(process.env.VIEWER_WAIT_MS || 90000);
const MIN_LIT = 0.2;
const MIN_SHADES = 8;

// Pixels of the middle half (each way) of BOX in a PNG screenshot whose
// origin is ORIGIN: { lit: share of pixels not black, shades: distinct
// values among them }.
function middleStats(png, box, origin = { x: 0, y: 0 }) {
  const image = pngjs.PNG.sync.read(png);
  const x0 = Math.max(0, Math.round(box.x - origin.x + box.width / 4));
  const y0 = Math.max(0, Math.round(box.y - origin.y + box.height / 4));
  const x1 = Math.min(image.width, Math.round(box.x - origin.x + (box.width * 3) / 4));
  const y1 = Math.min(image.height, Math.round(box.y - origin.y + (box.height * 3) / 4));
  const shades = new Set();
  let lit = 0;
  let all = 0;
  for (let y = y0; y < y1; y++) {
    for (let x = x0; x < x1; x++) {
      const i = (y * image.width + x) * 4;
      const r = image.data[i];
      const g = image.data[i + 1];
      const b = image.data[i + 2];
      all++;
      if (r + g + b > 24) {
        lit++;
        shades.add((r << 16) | (g << 8) | b);
      }
    }
  }
  return { lit: all ? lit / all : 0, shades: shades.size };
}

const requests = [];
const problems = [];
let server;
let context;
let userDir;

async function cleanUp() {
  await context?.close().catch(() => {});
  await server?.close().catch(() => {});
  if (userDir) await rm(userDir, { recursive: true, force: true }).catch(() => {});
}

// The largest visible canvas of a viewport, as a box on the page.
async function viewportBox(page) {
  return page.evaluate(() => {
    let best = null;
    for (const canvas of document.querySelectorAll('canvas')) {
      const r = canvas.getBoundingClientRect();
      const style = getComputedStyle(canvas);
      if (style.visibility === 'hidden' || style.display === 'none') continue;
      if (!canvas.closest('.viewport-element, [data-viewport-uid], [data-viewportid], .cornerstone-viewport-element') &&
          !canvas.classList.contains('cornerstone-canvas')) continue;
      if (!best || r.width * r.height > best.width * best.height) {
        best = { x: r.x, y: r.y, width: r.width, height: r.height };
      }
    }
    return best && best.width >= 64 && best.height >= 64 ? best : null;
  });
}

// Requests written with {uid} for every UID, to see the kinds at a glance.
function shape(p) {
  return p.replace(/\d+(\.\d+){3,}/g, '{uid}').replace(/([?&][^=&]+=)[^&]*/g, '$1…');
}

async function writeRequests() {
  const file = screenshot.replace(/\.png$/i, '') + '.requests.txt';
  const lines = requests.map((r) => `${r.status} ${r.method} ${r.path} | Accept: ${r.accept} | ${r.contentType || ''} | ${r.bytes ?? 0} bytes${r.error ? ` | ${r.error}` : ''}`);
  await writeFile(file, lines.join('\n') + '\n');
  const kinds = new Map();
  for (const r of requests) {
    const key = `${r.method} ${shape(r.path)} | Accept: ${r.accept} -> ${r.status}`;
    kinds.set(key, (kinds.get(key) || 0) + 1);
  }
  console.log(`viewer: ${requests.length} DICOMweb requests (all in ${file}):`);
  for (const [k, n] of kinds) console.log(`  ${n} x ${k}`);
}

async function main() {
  server = await startViewerServer({ dicomwebRoot: root, log: (r) => requests.push(r) });
  userDir = await mkdtemp(path.join(os.tmpdir(), 'vantor-chromium-'));
  context = await chromium.launchPersistentContext(userDir, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 1280, height: 900 },
    timeout: 60000,
  });
  const page = context.pages()[0] || (await context.newPage());
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('console', (m) => { if (m.type() === 'error') problems.push(`console: ${m.text().slice(0, 300)}`); });
  page.on('requestfailed', (r) => problems.push(`request failed: ${r.url()} ${r.failure()?.errorText}`));

  const url = `${server.url}/viewer?StudyInstanceUIDs=${encodeURIComponent(studyUID)}`;
  console.log(`viewer: opening ${url} (DICOMweb ${root})`);
  const started = Date.now();
  await page.goto(url, { waitUntil: 'domcontentloaded', timeout: 60000 });

  let box = null;
  let stats = null;
  while (Date.now() - started < WAIT_MS) {
    box = await viewportBox(page).catch(() => null);
    if (box) {
      const shot = await page.screenshot({ clip: box, timeout: 15000 }).catch(() => null);
      if (shot) {
        stats = middleStats(shot, box, box);
        if (stats.lit >= MIN_LIT && stats.shades >= MIN_SHADES) break;
      }
    }
    await page.waitForTimeout(1000);
  }
  const seconds = ((Date.now() - started) / 1000).toFixed(1);
  // Settle a moment so that the saved picture is the finished one.
  await page.waitForTimeout(500);
  const png = await page.screenshot({ path: screenshot, timeout: 15000 });
  await writeRequests();
  if (!box) {
    throw new Error(`no viewport canvas on the page after ${seconds} s (screenshot ${screenshot})`);
  }
  const final = middleStats(png, box);
  const summary = `${Math.round(box.width)}x${Math.round(box.height)} viewport, middle: ${(final.lit * 100).toFixed(0)} % lit, ${final.shades} shades`;
  if (final.lit < MIN_LIT || final.shades < MIN_SHADES) {
    throw new Error(`the viewport shows no image after ${seconds} s (${summary}; want at least ${MIN_LIT * 100} % lit and ${MIN_SHADES} shades); screenshot ${screenshot}`);
  }
  console.log(`ok viewer shows the study (${summary}, after ${seconds} s; screenshot ${screenshot})`);
}

const watchdog = setTimeout(() => {
  console.log('FAIL viewer: not finished within 180 s');
  process.exit(1);
}, 180000);
for (const signal of ['SIGINT', 'SIGTERM']) {
  process.on(signal, () => cleanUp().then(() => process.exit(130)));
}

let code = 0;
try {
  await main();
} catch (error) {
  code = 1;
  console.log(`FAIL viewer: ${error.message}`);
  for (const p of problems.slice(0, 20)) console.log(`  ${p}`);
}
clearTimeout(watchdog);
await cleanUp();
process.exit(code);
