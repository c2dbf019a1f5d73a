// Serves OHIF's prebuilt viewer (the dist/ folder of the npm package
// @ohif/app) on 127.0.0.1 with a window.config of its own, and passes every
// request under /dicom-web on to a DICOMweb server, so that the viewer
// talks to one origin and needs no CORS. Used by viewer.mjs (the browser
// check) and serve_viewer.mjs (for a person with a browser).
import { createReadStream } from 'node:fs';
import { stat } from 'node:fs/promises';
import http from 'node:http';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const distDir = path.join(here, '..', 'node_modules', '@ohif', 'app', 'dist');

const types = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.json': 'application/json',
  '.wasm': 'application/wasm',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
  '.ico': 'image/x-icon',
  '.woff2': 'font/woff2',
  '.woff': 'font/woff',
  '.ttf': 'font/ttf',
  '.txt': 'text/plain; charset=utf-8',
  '.xml': 'application/xml',
  '.map': 'application/json',
  '.onnx': 'application/octet-stream',
};

// OHIF's window.config: one DICOMweb data source on this origin's
// /dicom-web, no investigational-use dialog, no tours.
export function appConfig() {
  return `window.config = {
  routerBasename: null,
  extensions: [],
  modes: [],
  customizationService: [
    { 'ohif.tours': { $set: [] } },
  ],
  showStudyList: true,
  maxNumberOfWebWorkers: 2,
  showWarningMessageForCrossOrigin: false,
  showCPUFallbackMessage: false,
  showLoadingIndicator: true,
  strictZSpacingForVolumeViewport: true,
  investigationalUseDialog: { option: 'never' },
  maxNumRequests: { interaction: 100, thumbnail: 5, prefetch: 10 },
  showErrorDetails: 'always',
  defaultDataSourceName: 'dicomweb',
  dataSources: [
    {
      namespace: '@ohif/extension-default.dataSourcesModule.dicomweb',
      sourceName: 'dicomweb',
      configuration: {
        friendlyName: 'DICOMweb',
        name: 'dicomweb',
        qidoRoot: window.location.origin + '/dicom-web',
        wadoRoot: window.location.origin + '/dicom-web',
        wadoUriRoot: window.location.origin + '/dicom-web/wado',
        qidoSupportsIncludeField: false,
        supportsReject: false,
        supportsStow: false,
        imageRendering: 'wadors',
        thumbnailRendering: 'wadors',
        enableStudyLazyLoad: true,
        supportsFuzzyMatching: false,
        supportsWildcard: true,
        staticWado: false,
        singlepart: 'bulkdata,video',
        bulkDataURI: { enabled: true, relativeResolution: 'studies' },
        omitQuotationForMultipartRequest: true,
      },
    },
  ],
};
`;
}

// startViewerServer({ dicomwebRoot, port, log }): an http.Server listening
// on 127.0.0.1:port (0: any free port) and its URL. log(entry) is called
// for every request passed on to the DICOMweb server with { method, path,
// accept, status, contentType, bytes, ms }.
export async function startViewerServer({ dicomwebRoot, port = 0, log = () => {} }) {
  await stat(path.join(distDir, 'index.html')).catch(() => {
    throw new Error(`OHIF's viewer is missing at ${distDir}: run npm ci in tests/web-clients`);
  });
  const target = new URL(dicomwebRoot.replace(/\/+$/, ''));
  const agent = new http.Agent({ keepAlive: true, maxSockets: 16 });

  function proxy(req, res) {
    const started = performance.now();
    const rest = req.url.slice('/dicom-web'.length);
    const headers = { ...req.headers };
    // The server sees the viewer's host, so that links it writes into its
    // answers (BulkDataURI) point back through this proxy.
    headers['x-forwarded-host'] = req.headers.host;
    headers['x-forwarded-proto'] = 'http';
    const upstream = http.request({
      host: target.hostname,
      port: target.port || 80,
      method: req.method,
      path: target.pathname + rest,
      headers,
      agent,
      timeout: 120000,
    }, (answer) => {
      let bytes = 0;
      answer.on('data', (chunk) => { bytes += chunk.length; });
      answer.on('end', () => log({
        method: req.method,
        path: req.url,
        accept: req.headers.accept || '',
        status: answer.statusCode,
        contentType: answer.headers['content-type'] || '',
        bytes,
        ms: performance.now() - started,
      }));
      res.writeHead(answer.statusCode, answer.headers);
      answer.pipe(res);
    });
    upstream.on('timeout', () => upstream.destroy(new Error('no answer within 120 s')));
    upstream.on('error', (error) => {
      log({ method: req.method, path: req.url, accept: req.headers.accept || '', status: 502, error: error.message });
      if (!res.headersSent) res.writeHead(502, { 'Content-Type': 'text/plain' });
      res.end(`DICOMweb server not reachable: ${error.message}\n`);
    });
    req.pipe(upstream);
  }

  async function file(req, res) {
    const url = new URL(req.url, 'http://x');
    if (url.pathname === '/app-config.js') {
      res.writeHead(200, { 'Content-Type': types['.js'], 'Cache-Control': 'no-store' });
      res.end(appConfig());
      return;
    }
    let name = path.normalize(decodeURIComponent(url.pathname)).replace(/^(\.\.(\/|$))+/, '');
    let full = path.join(distDir, name);
    if (!full.startsWith(distDir + path.sep)) full = path.join(distDir, 'index.html');
    let info = await stat(full).catch(() => null);
    // Routes of the single-page app (/viewer, /) are its index.html.
    if (!info || info.isDirectory()) {
      full = path.join(distDir, 'index.html');
      info = await stat(full);
      name = 'index.html';
    }
    res.writeHead(200, {
      'Content-Type': types[path.extname(full)] || 'application/octet-stream',
      'Content-Length': info.size,
      // Cross-origin isolation lets the viewer use SharedArrayBuffer.
      'Cross-Origin-Opener-Policy': 'same-origin',
      'Cross-Origin-Embedder-Policy': 'require-corp',
    });
    if (req.method === 'HEAD') res.end();
    else createReadStream(full).pipe(res);
  }

  const server = http.createServer((req, res) => {
    if (req.url === '/dicom-web' || req.url.startsWith('/dicom-web/') || req.url.startsWith('/dicom-web?')) {
      proxy(req, res);
    } else if (req.method === 'GET' || req.method === 'HEAD') {
      file(req, res).catch((error) => {
        if (!res.headersSent) res.writeHead(500, { 'Content-Type': 'text/plain' });
        res.end(String(error.message));
      });
    } else {
      res.writeHead(405, { 'Content-Type': 'text/plain' });
      res.end('method not allowed\n');
    }
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', resolve);
  });
  const close = () => new Promise((resolve) => {
    agent.destroy();
    server.closeAllConnections?.();
    server.close(() => resolve());
  });
  return { server, url: `http://127.0.0.1:${server.address().port}`, close };
}
