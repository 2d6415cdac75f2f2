// An S3-compatible object store for the cloud storage tests: s3rver on loopback with one bucket, filled with
// every file under a folder (object key = the file's path below it). Virtual-host requests name the bucket as
// "<bucket>.s3.localhost". Credentials are s3rver's own account (access key and secret "S3RVER"): an unknown
// access key is refused (403 InvalidAccessKeyId), a stale Date header too (403 RequestTimeTooSkewed).
// Signatures are not compared: s3rver's version 2 check leaves the Date line out of the string to sign and
// it has no version 4 check; the client's signing is proved against the providers' published examples.
//
//   node s3peer.js --dir DIR [--bucket NAME] [--watch-stdin]
// prints "PORT <n>" once it listens and its objects are in place.
'use strict';
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const S3rver = require('s3rver');

const args = process.argv.slice(2);
const opt = (name, def) => {
  const i = args.indexOf(name);
  return i >= 0 && i + 1 < args.length ? args[i + 1] : def;
};
const dir = opt('--dir', '');
const bucket = opt('--bucket', 'velmora');
if (!dir) {
  process.stderr.write('usage: node s3peer.js --dir DIR [--bucket NAME] [--watch-stdin]\n');
  process.exit(2);
}

function files(root, rel = '') {
  const out = [];
  for (const e of fs.readdirSync(path.join(root, rel), { withFileTypes: true })) {
    const r = path.posix.join(rel, e.name);
    if (e.isDirectory()) out.push(...files(root, r));
    else if (e.isFile()) out.push(r);
  }
  return out;
}

function put(port, key, body) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port, method: 'PUT', path: `/${bucket}/${key}`,
      headers: { 'Content-Length': body.length } }, (res) => {
      res.resume();
      res.on('end', () => (res.statusCode === 200 ? resolve() : reject(new Error(`PUT ${key}: ${res.statusCode}`))));
    });
    req.on('error', reject);
    req.end(body);
  });
}

(async () => {
  const store = fs.mkdtempSync(path.join(os.tmpdir(), 's3peer-'));
  const server = new S3rver({ address: '127.0.0.1', port: 0, silent: true, directory: store,
    serviceEndpoint: 'localhost', configureBuckets: [{ name: bucket }], allowMismatchedSignatures: true });
  const { port } = await server.run();
  for (const key of files(dir)) await put(port, key, fs.readFileSync(path.join(dir, key)));
  const cleanup = () => { try { fs.rmSync(store, { recursive: true, force: true }); } catch (e) {} };
  process.on('exit', cleanup);
  for (const sig of ['SIGTERM', 'SIGINT']) process.on(sig, () => process.exit(0));
  if (args.includes('--watch-stdin')) {
    process.stdin.on('end', () => process.exit(0));
    process.stdin.resume();
  }
  process.stdout.write(`PORT ${port}\n`);
})().catch((e) => {
  process.stderr.write(`s3peer: ${e.message}\n`);
  process.exit(1);
});
