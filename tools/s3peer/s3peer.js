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

function usage(code) {
  console.log(`usage: node s3peer.js --dir DIR [--bucket NAME] [--watch-stdin]

An S3-compatible object store (s3rver) on 127.0.0.1 with one bucket, filled with every file under a folder
(object key = the file's path below it). Access key and secret: "S3RVER".

options:
  --dir DIR        folder whose files become the bucket's objects; needed
  --bucket NAME    the bucket's name (default velmora)
  --watch-stdin    exit when standard input closes
  -h, --help       print this help and exit

Once its objects are in place it prints "PORT <n>", the port it listens on.
Exit status: 0 ended (SIGINT, SIGTERM, or standard input closed with --watch-stdin); 1 it could not
start; 2 bad arguments.

example:
  node tools/s3peer/s3peer.js --dir tests/sdk/cloud/data --bucket velmora --watch-stdin`);
  process.exit(code);
}

function fail(msg) {
  process.stderr.write(`s3peer: ${msg}\nusage: node s3peer.js --dir DIR [--bucket NAME] [--watch-stdin]\n` +
                       '(node s3peer.js --help tells more)\n');
  process.exit(2);
}

function parseArgs(argv) {
  const opts = { dir: '', bucket: 'velmora', watchStdin: false };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    const next = () => {
      if (i + 1 >= argv.length) fail(`${a} needs a value`);
      return argv[++i];
    };
    if (a === '--dir') opts.dir = next();
    else if (a === '--bucket') opts.bucket = next();
    else if (a === '--watch-stdin') opts.watchStdin = true;
    else if (a === '--help' || a === '-h') usage(0);
    else fail(a.startsWith('-') ? `unknown option ${a}` : `unexpected argument ${a}`);
  }
  if (!opts.dir) fail('--dir DIR is required');
  if (!fs.existsSync(opts.dir) || !fs.statSync(opts.dir).isDirectory()) fail(`--dir: ${opts.dir} is not a folder`);
  // S3 bucket names: 3 to 63 lower-case letters, digits, dots and dashes.
  if (!/^[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]$/.test(opts.bucket)) fail(`--bucket: ${opts.bucket} is not a bucket name`);
  return opts;
}

const { dir, bucket, watchStdin } = parseArgs(process.argv.slice(2));
let S3rver;
try {
  S3rver = require('s3rver');
} catch (e) {
  if (e.code !== 'MODULE_NOT_FOUND') throw e;
  process.stderr.write(`s3peer: the package s3rver is not installed; run "npm ci" in ${__dirname} ` +
                       '(scripts/deps does it)\n');
  process.exit(1);
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
  if (watchStdin) {
    process.stdin.on('end', () => process.exit(0));
    process.stdin.resume();
  }
  process.stdout.write(`PORT ${port}\n`);
})().catch((e) => {
  process.stderr.write(`s3peer: ${e.message}\n`);
  process.exit(1);
});
