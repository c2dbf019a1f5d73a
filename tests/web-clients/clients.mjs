// DICOMweb end-to-end checks with a client of another stack
// (dicomweb-client, dcmjs) and raw HTTP requests for the error answers.
//
//   node clients.mjs <dicomweb-root> <study-uid> <part10-file-to-store>
//
// <dicomweb-root> is the base URL, e.g. http://127.0.0.1:8080/dicom-web;
// <study-uid> a study the archive holds (with at least one image);
// <part10-file-to-store> a DICOM file that STOW-RS stores and QIDO-RS must
// then find. Prints one line per check, "ok NAME" or "FAIL NAME: why", and
// exits 1 when any check failed. TRACE=1 prints every request that
// dicomweb-client made, with its Accept header and the answer's type.
// KNOWN_DEVIATIONS="name,name" reports those checks' failures as
// "deviation NAME: why" without failing the run: for peers that are known
// to answer differently (Orthanc accepts any Accept header on QIDO-RS and
// answers a malformed STOW-RS body with 200 and an empty result).
import { readFile } from 'node:fs/promises';
import http from 'node:http';
import dicomweb from 'dicomweb-client';
import { installXhr } from './lib/xhr.mjs';
import { first, TAG, readPart10, uidsOf } from './lib/dicom-json.mjs';

const [rootArg, studyUID, storeFile] = process.argv.slice(2);
if (!rootArg || !studyUID || !storeFile) {
  console.error('usage: node clients.mjs <dicomweb-root> <study-uid> <part10-file-to-store>');
  process.exit(2);
}
const root = rootArg.replace(/\/+$/, '');
const trace = [];
installXhr((r) => trace.push(r));

// The whole run is bounded: a server that stops answering fails it.
const watchdog = setTimeout(() => {
  console.log('FAIL run: not finished within 180 s');
  process.exit(1);
}, 180000);

const client = new dicomweb.api.DICOMwebClient({ url: root });
let failures = 0;
let passed = 0;
let deviations = 0;
const known = new Set((process.env.KNOWN_DEVIATIONS || '').split(',').map((n) => n.trim()).filter(Boolean));

async function check(name, body) {
  try {
    const note = await body();
    passed++;
    console.log(`ok ${name}${note ? ` (${note})` : ''}`);
  } catch (error) {
    const why = error.status !== undefined ? `HTTP ${error.status}: ${error.message}` : error.message;
    if (known.has(name)) {
      deviations++;
      console.log(`deviation ${name}: ${why}`);
    } else {
      failures++;
      console.log(`FAIL ${name}: ${why}`);
    }
  }
}

function expect(condition, message) {
  if (!condition) throw new Error(message);
}

function needs(value, what) {
  if (value === undefined || value === null) throw new Error(`skipped: ${what} unknown (an earlier check failed)`);
  return value;
}

// A raw request with fetch, bounded to 30 s.
function get(path, headers = {}) {
  return fetch(`${root}${path}`, { headers, signal: AbortSignal.timeout(30000) });
}

function post(path, contentType, body) {
  return fetch(`${root}${path}`, {
    method: 'POST',
    headers: { 'Content-Type': contentType, Accept: 'application/dicom+json' },
    body,
    signal: AbortSignal.timeout(30000),
  });
}

async function jsonArray(res, what) {
  expect(res.status === 200, `${what}: HTTP ${res.status}, expected 200`);
  const type = res.headers.get('content-type') || '';
  expect(/^application\/(dicom\+)?json/.test(type), `${what}: Content-Type "${type}"`);
  const body = await res.json();
  expect(Array.isArray(body), `${what}: the answer is not a JSON array`);
  return body;
}

// A request whose path is sent as written (fetch would resolve dot segments).
function rawGet(path) {
  const url = new URL(root);
  return new Promise((resolve, reject) => {
    const req = http.request(
      { host: url.hostname, port: url.port || 80, path, method: 'GET', timeout: 30000 },
      (res) => {
        const chunks = [];
        res.on('data', (c) => chunks.push(c));
        res.on('end', () => resolve({ status: res.statusCode, body: Buffer.concat(chunks).toString('latin1') }));
      },
    );
    req.on('timeout', () => req.destroy(new Error('no answer within 30 s')));
    req.on('error', reject);
    req.end();
  });
}

const state = {};

// ---- QIDO-RS with dicomweb-client
await check('searchForStudies all', async () => {
  const studies = await client.searchForStudies();
  expect(Array.isArray(studies), 'the answer is not an array');
  const study = studies.find((s) => first(s, TAG.StudyInstanceUID) === studyUID);
  expect(study, `study ${studyUID} not among the ${studies.length} studies`);
  state.study = study;
  state.studyCount = studies.length;
  return `${studies.length} studies`;
});

await check('searchForStudies by PatientID', async () => {
  const patientID = needs(first(state.study, TAG.PatientID), 'PatientID of the study');
  state.patientID = patientID;
  const studies = await client.searchForStudies({ queryParams: { PatientID: patientID } });
  expect(studies.some((s) => first(s, TAG.StudyInstanceUID) === studyUID), `study not found for PatientID=${patientID}`);
  const other = studies.find((s) => first(s, TAG.PatientID) !== patientID);
  expect(!other, `a study of patient ${first(other, TAG.PatientID)} answered PatientID=${patientID}`);
  return `${studies.length} studies of ${patientID}`;
});

await check('searchForStudies by StudyInstanceUID', async () => {
  const studies = await client.searchForStudies({ queryParams: { StudyInstanceUID: studyUID } });
  expect(studies.length === 1, `${studies.length} answers, expected 1`);
  expect(first(studies[0], TAG.StudyInstanceUID) === studyUID, 'another study answered');
});

await check('searchForSeries', async () => {
  const series = await client.searchForSeries({ studyInstanceUID: studyUID });
  expect(series.length > 0, 'no series');
  for (const s of series) {
    expect(first(s, TAG.SeriesInstanceUID), 'a series without SeriesInstanceUID');
    expect(first(s, TAG.Modality), `series ${first(s, TAG.SeriesInstanceUID)} without Modality`);
  }
  state.seriesUIDs = series.map((s) => first(s, TAG.SeriesInstanceUID));
  state.seriesUID = state.seriesUIDs[0];
  return `${series.length} series`;
});

await check('searchForInstances', async () => {
  const seriesUID = needs(state.seriesUID, 'series');
  const instances = await client.searchForInstances({ studyInstanceUID: studyUID, seriesInstanceUID: seriesUID });
  expect(instances.length > 0, 'no instances');
  for (const i of instances) {
    expect(first(i, TAG.SOPInstanceUID), 'an instance without SOPInstanceUID');
    expect(first(i, TAG.SOPClassUID), 'an instance without SOPClassUID');
  }
  state.instanceUIDs = instances.map((i) => first(i, TAG.SOPInstanceUID));
  state.sopUID = state.instanceUIDs[0];
  return `${instances.length} instances in the first series`;
});

// ---- WADO-RS metadata
await check('retrieveStudyMetadata', async () => {
  needs(state.sopUID, 'instance');
  const metadata = await client.retrieveStudyMetadata({ studyInstanceUID: studyUID });
  expect(Array.isArray(metadata) && metadata.length > 0, 'no instances');
  for (const m of metadata) {
    expect(first(m, TAG.StudyInstanceUID) === studyUID, 'an instance of another study');
  }
  expect(metadata.some((m) => first(m, TAG.SOPInstanceUID) === state.sopUID), `instance ${state.sopUID} missing`);
  const inSeries = metadata.filter((m) => first(m, TAG.SeriesInstanceUID) === state.seriesUID).length;
  expect(inSeries === state.instanceUIDs.length,
    `${inSeries} instances of the first series, QIDO-RS found ${state.instanceUIDs.length}`);
  return `${metadata.length} instances`;
});

await check('retrieveSeriesMetadata', async () => {
  const seriesUID = needs(state.seriesUID, 'series');
  const metadata = await client.retrieveSeriesMetadata({ studyInstanceUID: studyUID, seriesInstanceUID: seriesUID });
  expect(metadata.length === state.instanceUIDs.length, `${metadata.length} instances, QIDO-RS found ${state.instanceUIDs.length}`);
  for (const m of metadata) expect(first(m, TAG.SeriesInstanceUID) === seriesUID, 'an instance of another series');
});

await check('retrieveInstanceMetadata', async () => {
  const sopUID = needs(state.sopUID, 'instance');
  const metadata = await client.retrieveInstanceMetadata({
    studyInstanceUID: studyUID, seriesInstanceUID: state.seriesUID, sopInstanceUID: sopUID,
  });
  expect(metadata.length === 1, `${metadata.length} objects, expected 1`);
  const m = metadata[0];
  expect(first(m, TAG.SOPInstanceUID) === sopUID, 'another instance answered');
  for (const key of ['Rows', 'Columns', 'BitsAllocated']) expect(first(m, TAG[key]), `no ${key}`);
  const pixels = m[TAG.PixelData];
  expect(!pixels || pixels.BulkDataURI || pixels.InlineBinary, 'PixelData is there without BulkDataURI or InlineBinary');
  state.image = m;
  return `${first(m, TAG.Rows)}x${first(m, TAG.Columns)}, ${first(m, TAG.BitsAllocated)} bits`;
});

// ---- WADO-RS bulk data
await check('retrieveInstanceFrames frame 1', async () => {
  const m = needs(state.image, 'instance metadata');
  const frames = await client.retrieveInstanceFrames({
    studyInstanceUID: studyUID, seriesInstanceUID: state.seriesUID, sopInstanceUID: state.sopUID, frameNumbers: [1],
  });
  expect(frames.length === 1, `${frames.length} parts, expected 1`);
  const frame = frames[0];
  const type = frame.contentType || 'application/octet-stream';
  if (type === 'application/octet-stream') {
    const expected = first(m, TAG.Rows) * first(m, TAG.Columns) * (first(m, TAG.SamplesPerPixel) || 1) *
      first(m, TAG.BitsAllocated) / 8;
    expect(frame.byteLength === expected, `${frame.byteLength} bytes, expected ${expected}`);
    return `${frame.byteLength} bytes uncompressed`;
  }
  expect(frame.byteLength > 0, `an empty ${type} part`);
  return `${frame.byteLength} bytes of ${type}`;
});

await check('retrieveInstance', async () => {
  const sopUID = needs(state.sopUID, 'instance');
  const bytes = await client.retrieveInstance({
    studyInstanceUID: studyUID, seriesInstanceUID: state.seriesUID, sopInstanceUID: sopUID,
  });
  const uids = uidsOf(readPart10(bytes));
  expect(uids.sop === sopUID, `SOPInstanceUID ${uids.sop}`);
  expect(uids.study === studyUID, `StudyInstanceUID ${uids.study}`);
  return `${bytes.byteLength} bytes, transfer syntax ${uids.transferSyntax}`;
});

await check('retrieveInstanceRendered image/jpeg', async () => {
  const sopUID = needs(state.sopUID, 'instance');
  const answer = await client.retrieveInstanceRendered({
    studyInstanceUID: studyUID, seriesInstanceUID: state.seriesUID, sopInstanceUID: sopUID,
    mediaTypes: [{ mediaType: 'image/jpeg' }],
  });
  // A single-part answer comes as a one-element array of its bytes.
  const bytes = new Uint8Array(Array.isArray(answer) ? answer[0] : answer);
  expect(bytes[0] === 0xff && bytes[1] === 0xd8 && bytes[2] === 0xff, 'no JPEG start of image');
  return `${bytes.byteLength} bytes`;
});

// OHIF's viewer asks for frames this way (type without quotes, any
// transfer syntax) and reads the transfer syntax from the part's type.
await check('frames as OHIF asks', async () => {
  const m = needs(state.image, 'instance metadata');
  const res = await get(`/studies/${studyUID}/series/${state.seriesUID}/instances/${state.sopUID}/frames/1`,
    { Accept: 'multipart/related; type=application/octet-stream; transfer-syntax=*' });
  const body = Buffer.from(await res.arrayBuffer());
  expect(res.status === 200, `HTTP ${res.status}`);
  const type = res.headers.get('content-type') || '';
  expect(type.startsWith('multipart/related'), `Content-Type "${type}"`);
  const uncompressed = first(m, TAG.Rows) * first(m, TAG.Columns) * (first(m, TAG.SamplesPerPixel) || 1) *
    first(m, TAG.BitsAllocated) / 8;
  const head = body.toString('latin1', 0, Math.min(body.length, 1000));
  const partType = /content-type:\s*([^\r\n]*)/i.exec(head)?.[1] || '';
  if (/application\/octet-stream/i.test(partType)) {
    expect(body.length > uncompressed, `${body.length} bytes for a frame of ${uncompressed}`);
  }
  return `part ${partType || '(no Content-Type)'}`;
});

// WADO-URI as OHIF's viewer writes it (wadoUriRoot = <root>/wado).
await check('WADO-URI', async () => {
  const sopUID = needs(state.sopUID, 'instance');
  const query = `requestType=WADO&studyUID=${studyUID}&seriesUID=${state.seriesUID}&objectUID=${sopUID}`;
  const dicom = await get(`/wado?${query}&contentType=application/dicom&transferSyntax=*`);
  expect(dicom.status === 200, `application/dicom: HTTP ${dicom.status}`);
  const uids = uidsOf(readPart10(Buffer.from(await dicom.arrayBuffer())));
  expect(uids.sop === sopUID, `application/dicom: SOPInstanceUID ${uids.sop}`);
  const jpeg = await get(`/wado?${query}&contentType=image/jpeg`);
  const bytes = new Uint8Array(await jpeg.arrayBuffer());
  expect(jpeg.status === 200, `image/jpeg: HTTP ${jpeg.status}`);
  expect(bytes[0] === 0xff && bytes[1] === 0xd8 && bytes[2] === 0xff, 'image/jpeg: no JPEG start of image');
});

// ---- STOW-RS, then QIDO-RS finds what was stored
await check('storeInstances', async () => {
  const file = await readFile(storeFile);
  state.stored = uidsOf(readPart10(file));
  const answer = await client.storeInstances({
    datasets: [file.buffer.slice(file.byteOffset, file.byteOffset + file.byteLength)],
  });
  let body = answer;
  if (typeof answer === 'string' && answer.trim().startsWith('{')) body = JSON.parse(answer);
  if (body && typeof body === 'object') {
    const failed = body[TAG.FailedSOPSequence]?.Value || [];
    expect(failed.length === 0, `FailedSOPSequence: reason ${first(failed[0], TAG.FailureReason)}`);
    const stored = (body[TAG.ReferencedSOPSequence]?.Value || []).map((i) => first(i, TAG.ReferencedSOPInstanceUID));
    expect(stored.includes(state.stored.sop), `ReferencedSOPSequence lacks ${state.stored.sop}`);
  } else {
    expect(String(answer).includes(state.stored.sop), 'the answer does not name the stored instance');
  }
  return state.stored.sop;
});

await check('searchForInstances finds the stored instance', async () => {
  const { study, series, sop } = needs(state.stored, 'stored instance');
  // Filing may take a moment: asked again for at most 10 s.
  const started = Date.now();
  for (let round = 0; round < 50; round++) {
    const found = await client.searchForInstances({
      studyInstanceUID: study, seriesInstanceUID: series, queryParams: { SOPInstanceUID: sop },
    });
    if (found.some((i) => first(i, TAG.SOPInstanceUID) === sop)) {
      return `after ${Date.now() - started} ms`;
    }
    await new Promise((r) => setTimeout(r, 200));
  }
  throw new Error('not found within 10 s');
});

// ---- QIDO-RS options, raw
await check('QIDO includefield=all', async () => {
  const plain = await jsonArray(await get(`/studies?StudyInstanceUID=${studyUID}`, { Accept: 'application/dicom+json' }), 'plain');
  const all = await jsonArray(await get(`/studies?StudyInstanceUID=${studyUID}&includefield=all`, { Accept: 'application/dicom+json' }), 'includefield=all');
  expect(all.length === 1, `${all.length} answers`);
  const n = Object.keys(all[0]).length;
  const m = Object.keys(plain[0] || {}).length;
  expect(n >= m, `${n} attributes with includefield=all, ${m} without`);
  return `${n} attributes (${m} without)`;
});

await check('QIDO limit and offset', async () => {
  const accept = { Accept: 'application/dicom+json' };
  const a = await jsonArray(await get('/studies?limit=1&offset=0', accept), 'offset=0');
  const b = await jsonArray(await get('/studies?limit=1&offset=1', accept), 'offset=1');
  expect(a.length === 1, `limit=1&offset=0 gave ${a.length} answers`);
  if (needs(state.studyCount, 'study count') >= 2) {
    expect(b.length === 1, `limit=1&offset=1 gave ${b.length} answers`);
    expect(first(a[0], TAG.StudyInstanceUID) !== first(b[0], TAG.StudyInstanceUID), 'offset=1 answered the same study as offset=0');
  } else {
    expect(b.length === 0, `limit=1&offset=1 of one study gave ${b.length} answers`);
  }
});

await check('QIDO StudyDate range', async () => {
  const date = needs(first(state.study, TAG.StudyDate), 'StudyDate of the study');
  const accept = { Accept: 'application/dicom+json' };
  const inside = await jsonArray(await get(`/studies?StudyInstanceUID=${studyUID}&StudyDate=19000101-${date}`, accept), 'inside');
  expect(inside.length === 1, `StudyDate=19000101-${date} did not find the study`);
  const d = new Date(`${date.slice(0, 4)}-${date.slice(4, 6)}-${date.slice(6, 8)}T00:00:00Z`);
  d.setUTCDate(d.getUTCDate() + 1);
  const next = d.toISOString().slice(0, 10).replace(/-/g, '');
  const after = await jsonArray(await get(`/studies?StudyInstanceUID=${studyUID}&StudyDate=${next}-`, accept), 'after');
  expect(after.length === 0, `StudyDate=${next}- found a study of ${date}`);
  return `${date} in 19000101-${date}, not in ${next}-`;
});

// OHIF's viewer asks with tag numbers as keys, fuzzymatching=false and
// includefield as a comma list; its study list shows these attributes
// (a description or accession number may be left out when there is none).
await check('QIDO as OHIF asks', async () => {
  const patientID = needs(state.patientID, 'PatientID of the study');
  const accept = { Accept: 'application/dicom+json' };
  const studies = await jsonArray(await get(`/studies?00100020=${encodeURIComponent(patientID)}&limit=101&offset=0` +
    '&fuzzymatching=false&includefield=00081030%2C00080060%2C00080090%2C00100030', accept), 'studies');
  const study = studies.find((s) => first(s, TAG.StudyInstanceUID) === studyUID);
  expect(study, `study not found by 00100020=${patientID}`);
  const shown = { PatientName: '00100010', StudyDate: '00080020', ModalitiesInStudy: '00080061',
    NumberOfStudyRelatedInstances: '00201208' };
  const missing = Object.entries(shown).filter(([, tag]) => !(tag in study)).map(([name]) => name);
  expect(missing.length === 0, `the study answer lacks ${missing.join(', ')}`);
  const series = await jsonArray(await get(`/studies/${studyUID}/series?includefield=00080021%2C00080031%2C0008103E%2C00200011`, accept), 'series');
  expect(series.length === needs(state.seriesUIDs, 'series').length, `${series.length} series, searchForSeries found ${state.seriesUIDs.length}`);
});

await check('QIDO value with an SQL quote', async () => {
  const res = await get("/studies?PatientName=O'Brien%27;DROP", { Accept: 'application/dicom+json' });
  await jsonArray(res, 'PatientName');
  const again = await client.searchForStudies({ queryParams: { StudyInstanceUID: studyUID } });
  expect(again.length === 1, 'the study is not found any more afterwards');
});

// ---- error answers, raw
await check('WADO-RS unknown study is 404', async () => {
  const unknown = '1.2.826.0.1.3680043.9.999999.424242';
  const res = await get(`/studies/${unknown}`, { Accept: 'multipart/related; type="application/dicom"' });
  expect(res.status === 404, `retrieve: HTTP ${res.status}`);
  await res.arrayBuffer();
  const meta = await get(`/studies/${unknown}/metadata`, { Accept: 'application/dicom+json' });
  expect(meta.status === 404, `metadata: HTTP ${meta.status}`);
  await meta.arrayBuffer();
});

await check('STOW-RS malformed multipart is 400', async () => {
  const res = await post('/studies', 'multipart/related; type="application/dicom"; boundary=abc123',
    'this is not a multipart body\r\n');
  await res.arrayBuffer();
  expect(res.status === 400, `HTTP ${res.status}`);
});

await check('STOW-RS wrong Content-Type is 415', async () => {
  const res = await post('/studies', 'text/plain', 'hello');
  await res.arrayBuffer();
  expect(res.status === 415, `HTTP ${res.status}`);
});

await check('QIDO Accept text/html is 406', async () => {
  const res = await get('/studies', { Accept: 'text/html' });
  await res.arrayBuffer();
  expect(res.status === 406, `HTTP ${res.status}`);
});

await check('encoded dot segments are refused', async () => {
  const res = await get('/studies/..%2F..%2Fetc/metadata', { Accept: 'application/dicom+json' });
  await res.arrayBuffer();
  expect(res.status === 400 || res.status === 404, `HTTP ${res.status}`);
  const path = `${new URL(root).pathname}/studies/../../../../etc/passwd`;
  const raw = await rawGet(path);
  expect(raw.status !== 200 || !raw.body.includes('root:'), `${path}: HTTP 200 with a password file`);
  return `HTTP ${res.status}; raw dot segments HTTP ${raw.status}`;
});

clearTimeout(watchdog);
if (process.env.TRACE) {
  for (const r of trace) console.log(`trace ${r.method} ${r.url} Accept: ${r.accept} -> ${r.status} ${r.contentType} ${r.bytes} bytes`);
}
if (deviations) console.log(`${deviations} known deviations of the server`);
console.log(`${passed} passed, ${failures} failed`);
process.exit(failures ? 1 : 0);
