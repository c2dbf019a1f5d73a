// The measuring client of bench/web_bench.sh: each command sends its
// requests one after the other over a single kept-alive connection and
// prints one line of NAME=VALUE results.
//
//   node bench.mjs qido URL ROUNDS
//       GET URL (application/dicom+json) ROUNDS times: count= (objects in
//       the answer), best_s=, median_s=
//   node bench.mjs latency URL-WITH-{k} COUNT KMAX
//       COUNT GETs, {k} replaced by 1 + (j * 7919) % KMAX: median_ms=,
//       p95_ms=, found= (answers with exactly one object)
//   node bench.mjs get URL ACCEPT ROUNDS
//       GET URL with the Accept header ROUNDS times: bytes=, parts= (of a
//       multipart answer), objects= (of a JSON array), best_s=, median_s=,
//       median_ms=
//   node bench.mjs stow ROOT BATCH DIR
//       every *.dcm of DIR stored with POST ROOT/studies, BATCH images per
//       multipart/related body (bodies made before the clock starts):
//       images=, seconds=, failed= (images not acknowledged), started=
//       (the clock's start, seconds since 1970)
//   node bench.mjs make-studies TEMPLATE.dcm DIR PATIENTS STUDIES
//       DIR/<i>.dcm for i = 1..STUDIES: one image per study, the study
//       and patient attributes of bench/lib.sh's fill_archive rows
//       (Study Instance UID 1.2.826.0.1.3680043.9.<i>, ...)
import { readdir, readFile, writeFile, mkdir } from 'node:fs/promises';
import http from 'node:http';
import path from 'node:path';
import dcmjs from 'dcmjs';

const agent = new http.Agent({ keepAlive: true, maxSockets: 1 });

function request(url, { method = 'GET', headers = {}, body } = {}) {
  const u = new URL(url);
  const started = performance.now();
  return new Promise((resolve, reject) => {
    const req = http.request({
      host: u.hostname, port: u.port || 80, path: u.pathname + u.search, method, headers, agent, timeout: 300000,
    }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({
        status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks), ms: performance.now() - started,
      }));
    });
    req.on('timeout', () => req.destroy(new Error(`no answer within 300 s: ${url}`)));
    req.on('error', reject);
    req.end(body);
  });
}

function expectOk(res, url) {
  if (res.status !== 200) {
    throw new Error(`${url}: HTTP ${res.status} ${res.body.toString('utf8', 0, 200)}`);
  }
}

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor((xs.length - 1) / 2)];
const p95 = (xs) => [...xs].sort((a, b) => a - b)[Math.max(0, Math.ceil(xs.length * 0.95) - 1)];

async function qido(url, rounds) {
  const times = [];
  let count = 0;
  for (let r = 0; r < rounds; r++) {
    const res = await request(url, { headers: { Accept: 'application/dicom+json' } });
    expectOk(res, url);
    count = res.body.length ? JSON.parse(res.body.toString('utf8')).length : 0;
    times.push(res.ms / 1000);
  }
  console.log(`count=${count} best_s=${Math.min(...times).toFixed(4)} median_s=${median(times).toFixed(4)}`);
}

async function latency(template, count, kmax) {
  const times = [];
  let found = 0;
  for (let j = 0; j < count; j++) {
    const url = template.replace('{k}', String(1 + ((j * 7919) % kmax)));
    const res = await request(url, { headers: { Accept: 'application/dicom+json' } });
    expectOk(res, url);
    if (JSON.parse(res.body.toString('utf8')).length === 1) found++;
    times.push(res.ms);
  }
  console.log(`median_ms=${median(times).toFixed(2)} p95_ms=${p95(times).toFixed(2)} found=${found}`);
}

function countParts(res) {
  const type = res.headers['content-type'] || '';
  const m = /boundary="?([^";]+)"?/i.exec(type);
  if (!m) return 0;
  const marker = Buffer.from(`--${m[1]}`);
  let n = 0;
  for (let at = res.body.indexOf(marker); at >= 0; at = res.body.indexOf(marker, at + marker.length)) n++;
  return Math.max(0, n - 1); // the closing delimiter is not a part
}

async function get(url, accept, rounds) {
  const times = [];
  let bytes = 0;
  let parts = 0;
  let objects = 0;
  for (let r = 0; r < rounds; r++) {
    const res = await request(url, { headers: { Accept: accept } });
    expectOk(res, url);
    bytes = res.body.length;
    parts = countParts(res);
    if (/json/.test(res.headers['content-type'] || '')) objects = JSON.parse(res.body.toString('utf8')).length;
    times.push(res.ms / 1000);
  }
  console.log(`bytes=${bytes} parts=${parts} objects=${objects} best_s=${Math.min(...times).toFixed(4)} ` +
    `median_s=${median(times).toFixed(4)} median_ms=${(median(times) * 1000).toFixed(2)}`);
}

async function stow(root, batch, dir) {
  const names = (await readdir(dir)).filter((n) => n.endsWith('.dcm')).sort();
  const bodies = [];
  for (let i = 0; i < names.length; i += batch) {
    const boundary = `vantor-bench-${i}-${Date.now()}`;
    const pieces = [];
    for (const name of names.slice(i, i + batch)) {
      pieces.push(Buffer.from(`--${boundary}\r\nContent-Type: application/dicom\r\n\r\n`));
      pieces.push(await readFile(path.join(dir, name)));
      pieces.push(Buffer.from('\r\n'));
    }
    pieces.push(Buffer.from(`--${boundary}--\r\n`));
    bodies.push({ boundary, body: Buffer.concat(pieces), n: Math.min(batch, names.length - i) });
  }
  const url = `${root.replace(/\/+$/, '')}/studies`;
  const startedAt = Date.now() / 1000;
  const started = performance.now();
  let failed = 0;
  for (const { boundary, body, n } of bodies) {
    const res = await request(url, {
      method: 'POST',
      headers: {
        'Content-Type': `multipart/related; type="application/dicom"; boundary=${boundary}`,
        'Content-Length': body.length,
        Accept: 'application/dicom+json',
      },
      body,
    });
    if (res.status !== 200) {
      if (res.status !== 202 && res.status !== 409) expectOk(res, url);
      const answer = JSON.parse(res.body.toString('utf8') || '{}');
      failed += answer['00081198']?.Value?.length ?? n;
    }
  }
  const seconds = (performance.now() - started) / 1000;
  console.log(`images=${names.length} seconds=${seconds.toFixed(3)} failed=${failed} started=${startedAt.toFixed(3)}`);
}

function day(from, days) {
  const d = new Date(`${from}T00:00:00Z`);
  d.setUTCDate(d.getUTCDate() + days);
  return d.toISOString().slice(0, 10).replace(/-/g, '');
}

async function makeStudies(template, dir, patients, studies) {
  await mkdir(dir, { recursive: true });
  const bytes = await readFile(template);
  const file = dcmjs.data.DicomMessage.readFile(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength));
  const set = (dict, tag, vr, value) => { dict[tag] = { vr, Value: [value] }; };
  const modalities = ['CT', 'MR', 'CR'];
  for (let i = 1; i <= studies; i++) {
    const p = 1 + (i % patients);
    const d = file.dict;
    const study = `1.2.826.0.1.3680043.9.${i}`;
    const sop = `1.2.826.0.1.3680043.9.2.${i}`;
    set(d, '0020000D', 'UI', study);
    set(d, '0020000E', 'UI', `1.2.826.0.1.3680043.9.1.${i}`);
    set(d, '00080018', 'UI', sop);
    set(file.meta, '00020003', 'UI', sop);
    set(d, '00100020', 'LO', `P${p}`);
    set(d, '00100010', 'PN', { Alphabetic: `Name${p % 997}^First${p % 89}` });
    set(d, '00100030', 'DA', day('1940-01-01', p % 20000));
    set(d, '00100040', 'CS', p % 2 === 0 ? 'F' : 'M');
    set(d, '00080020', 'DA', day('2015-01-01', i % 3000));
    set(d, '00080030', 'TM', '100000');
    set(d, '00081030', 'LO', `Study ${i}`);
    set(d, '00080060', 'CS', modalities[i % 3]);
    set(d, '00200010', 'SH', String(i));
    set(d, '00080050', 'SH', `A${i}`);
    await writeFile(path.join(dir, `${i}.dcm`), Buffer.from(file.write()));
  }
  console.log(`studies=${studies}`);
}

const [command, ...args] = process.argv.slice(2);
try {
  switch (command) {
    case 'qido': await qido(args[0], Number(args[1] || 3)); break;
    case 'latency': await latency(args[0], Number(args[1]), Number(args[2])); break;
    case 'get': await get(args[0], args[1], Number(args[2] || 3)); break;
    case 'stow': await stow(args[0], Number(args[1]), args[2]); break;
    case 'make-studies': await makeStudies(args[0], args[1], Number(args[2]), Number(args[3])); break;
    default:
      console.error('usage: node bench.mjs qido|latency|get|stow|make-studies ...');
      process.exit(2);
  }
} catch (error) {
  console.error(`bench.mjs ${command}: ${error.message}`);
  process.exit(1);
} finally {
  agent.destroy();
}
