// OHIF's viewer in front of a DICOMweb server, for a person with a browser.
//
//   node tests/web-clients/serve_viewer.mjs <dicomweb-root> [port]
//
// e.g. node tests/web-clients/serve_viewer.mjs http://127.0.0.1:8080/dicom-web 3000
// then open http://127.0.0.1:3000/ (the study list) or
// http://127.0.0.1:3000/viewer?StudyInstanceUIDs=<study-uid>.
//
// It serves the prebuilt viewer of the npm package @ohif/app (installed by
// `npm ci` in tests/web-clients, which scripts/setup.sh runs) on 127.0.0.1 only, and
// passes /dicom-web/... on to <dicomweb-root>, so the browser sees a single
// origin. Every request passed on is printed with its Accept header and
// the answer's status and type. Ctrl-C stops it.
import { startViewerServer } from './lib/ohif-server.mjs';

const [root, port] = process.argv.slice(2);
if (!root) {
  console.error('usage: node serve_viewer.mjs <dicomweb-root> [port]');
  process.exit(2);
}
const { url, close } = await startViewerServer({
  dicomwebRoot: root,
  port: port ? Number(port) : 3000,
  log: (r) => console.log(`${r.status} ${r.method} ${r.path} Accept: ${r.accept}${r.contentType ? ` -> ${r.contentType}` : ''}${r.error ? ` (${r.error})` : ''}`),
});
console.log(`OHIF viewer on ${url}/ for ${root}`);
// Stops at once: open connections of the browser are not waited for.
const stop = () => {
  setTimeout(() => process.exit(0), 2000).unref();
  close().then(() => process.exit(0));
};
process.on('SIGINT', stop);
process.on('SIGTERM', stop);
