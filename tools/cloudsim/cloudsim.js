#!/usr/bin/env node
// cloudsim: a simulator of the cloud service for tests and offline runs.
//
// Serves, on loopback only, the service's HTTP JSON API (discovery, log-in, device list, recording index,
// storage credentials, UUID information) and its socket.io 2 (Engine.IO 3) push channel, from a fixture
// folder of JSON files, over http and optionally https. A control listener lets a test inject failures,
// expire tokens, send push events and read what the simulator received. See README.md.
'use strict';

const fs = require('fs');
const http = require('http');
const https = require('https');
const path = require('path');
const crypto = require('crypto');
const socketio = requirePackage('socket.io');

// A package of package.json; without it, a hint instead of a stack trace.
function requirePackage(name) {
  try {
    return require(name);
  } catch (e) {
    if (e.code !== 'MODULE_NOT_FOUND') throw e;
    console.error(`cloudsim: the package ${name} is not installed; run "npm ci" in ${__dirname} ` +
                  '(scripts/deps does it)');
    process.exit(1);
  }
}

// ---- fixture checks at start-up -------------------------------------------------------------------------

// Refuses a fixture folder that is missing, not a folder, or holds a file of the wrong shape, so the
// simulator never fails at its first request. Exits with a message naming the file.
function checkFixture(dir) {
  let st;
  try {
    st = fs.statSync(dir);
  } catch (e) {
    fail(`fixture folder ${dir}: ${e.code === 'ENOENT' ? 'does not exist' : e.message}`);
  }
  if (!st.isDirectory()) fail(`fixture ${dir} is not a folder`);
  const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);
  const isId = (v) => typeof v === 'string' || Number.isInteger(v);
  const shapes = {
    'users.json': ['a list of {"id", "phone"|"email", "password"}',
                   (v) => Array.isArray(v) && v.every((u) => isObject(u) && isId(u.id))],
    'devices.json': ['{"<user id>": [devices] or {"count": N, "template": {...}}}',
                     (v) => isObject(v) && Object.values(v).every((d) =>
                       (Array.isArray(d) && d.every(isObject)) || (isObject(d) && Number.isInteger(d.count)))],
    'recordings.json': ['{"<device id>": {"YYYY-MM-DD": [recordings]}}',
                        (v) => isObject(v) && Object.values(v).every((days) => isObject(days) &&
                          Object.values(days).every((list) => Array.isArray(list) && list.every(isObject)))],
    'tokens.json': ['{"<ossid>": {storage credentials}}', (v) => isObject(v) && Object.values(v).every(isObject)],
    'uuids.json': ['{"<uuid>": {"initStr", "p2p_id", "p2p_password"}}',
                   (v) => isObject(v) && Object.values(v).every(isObject)],
  };
  for (const [name, [shape, ok]] of Object.entries(shapes)) {
    const file = path.join(dir, name);
    if (!fs.existsSync(file)) continue;
    let value;
    try {
      value = JSON.parse(fs.readFileSync(file, 'utf8'));
    } catch (e) {
      fail(`${file}: ${e.message}`);
    }
    if (!ok(value)) fail(`${file}: not of the shape ${shape}`);
  }
}

// ---- command line ---------------------------------------------------------------------------------------

function parseArgs(argv) {
  const opts = { host: '127.0.0.1', port: 0, httpsPort: null, controlPort: 0, cert: null, key: null,
                 fixture: null, conf: null, watchStdin: false, storage: {} };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    const next = () => {
      if (i + 1 >= argv.length) fail(`${a} needs a value`);
      return argv[++i];
    };
    if (a === '--fixture') opts.fixture = next();
    else if (a === '--host') opts.host = next();
    else if (a === '--port') opts.port = port(a, next());
    else if (a === '--https-port') opts.httpsPort = port(a, next());
    else if (a === '--control-port') opts.controlPort = port(a, next());
    else if (a === '--cert') opts.cert = next();
    else if (a === '--key') opts.key = next();
    else if (a === '--conf') opts.conf = next();
    else if (a === '--watch-stdin') opts.watchStdin = true;
    else if (a === '--storage') {
      const m = /^([A-Za-z0-9_]+)=(.+)$/.exec(next());
      if (!m) fail('--storage takes NAME=HOST:PORT');
      opts.storage[m[1]] = m[2];
    }
    else if (a === '--help' || a === '-h') usage(0);
    else fail(a.startsWith('-') ? `unknown option ${a}` : `unexpected argument ${a}`);
  }
  if (!opts.fixture) fail('--fixture DIR is required');
  if (!isLoopback(opts.host)) fail(`${opts.host} is not a loopback address`);
  if ((opts.cert || opts.key) && !(opts.cert && opts.key)) fail('--cert and --key go together');
  if (opts.cert && opts.httpsPort === null) opts.httpsPort = 0;
  if (opts.httpsPort !== null && !opts.cert) fail('https needs --cert and --key');
  return opts;
}

function port(option, text) {
  if (!/^\d+$/.test(text) || +text > 65535) fail(`${option}: ${text} is not a port number (0..65535)`);
  return +text;
}

function usage(code) {
  console.log(`usage: node cloudsim.js --fixture DIR [--host 127.0.0.1] [--port N] [--cert FILE --key FILE
         [--https-port N]] [--control-port N] [--conf FILE]
         [--storage NAME=HOST:PORT]... [--watch-stdin]

A simulator of the cloud service on loopback: its HTTP JSON API and socket.io push channel, served from
a fixture folder of JSON files, with a control listener for tests (see README.md beside this file).

options:
  --fixture DIR       folder of users.json, devices.json, recordings.json, tokens.json, uuids.json
                      (each optional; checked at start-up)
  --host ADDR         loopback address to listen on (127.x.y.z, ::1 or localhost; default 127.0.0.1)
  --port N            http port (0..65535; default 0: a free one)
  --cert FILE         PEM certificate for https (with --key)
  --key FILE          PEM private key for https (with --cert)
  --https-port N      https port (0..65535; default 0 with --cert)
  --control-port N    control listener port (0..65535; default 0)
  --conf FILE         write a settings file pointing the client's servers at the simulator
  --storage NAME=HOST:PORT
                      point storage NAME's tokens at HOST:PORT (repeatable; for test object stores)
  --watch-stdin       exit when standard input closes
  -h, --help          print this help and exit

Once listening it prints "HTTP <port>", "HTTPS <port>" (with --cert), "CONTROL <port>" and "READY".

example:
  node tools/cloudsim/cloudsim.js --fixture tests/sdk/cloud/data/account --conf /tmp/sim.ini`);
  process.exit(code);
}

function fail(msg) {
  console.error(`cloudsim: ${msg}`);
  process.exit(2);
}

function isLoopback(host) {
  return /^127\.\d{1,3}\.\d{1,3}\.\d{1,3}$/.test(host) || host === '::1' || host === 'localhost';
}

// ---- fixture --------------------------------------------------------------------------------------------

// Storage credentials with "%NAME%" in their texts replaced by the --storage address of NAME (test object
// stores on ephemeral ports).
function withStorage(creds) {
  const out = {};
  for (const [k, v] of Object.entries(creds)) {
    out[k] = typeof v === 'string'
      ? v.replace(/%([A-Za-z0-9_]+)%/g, (all, name) => (name in opts.storage ? opts.storage[name] : all)) : v;
  }
  return out;
}

function readJson(dir, name, fallback) {
  const file = path.join(dir, name);
  if (!fs.existsSync(file)) return fallback;
  try {
    return JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch (e) {
    fail(`${file}: ${e.message}`);
  }
}

// Strings of a template with "%n" replaced by n, at any depth.
function instantiate(value, n) {
  if (typeof value === 'string') return value.split('%n').join(String(n));
  if (Array.isArray(value)) return value.map((v) => instantiate(v, n));
  if (value && typeof value === 'object') {
    const out = {};
    for (const k of Object.keys(value)) out[k] = instantiate(value[k], n);
    return out;
  }
  return value;
}

// A user's devices: a list of device objects, or {"count": N, "first_id": id, "template": {...}}.
function expandDevices(desc) {
  if (Array.isArray(desc)) return desc;
  if (desc && typeof desc === 'object' && Number.isInteger(desc.count)) {
    const first = desc.first_id || 1;
    const out = [];
    for (let i = 0; i < desc.count; i++) {
      const d = instantiate(desc.template || {}, i + 1);
      d.id = first + i;
      out.push(d);
    }
    return out;
  }
  return [];
}

// A local date "YYYY-MM-DD" and time "hh:mm:ss" to seconds since the epoch.
function localSeconds(day, time) {
  const m = /^(\d{4})-(\d{2})-(\d{2})$/.exec(day);
  const t = /^(\d{1,2}):(\d{2}):(\d{2})$/.exec(time);
  if (!m || !t) return NaN;
  return Math.floor(new Date(+m[1], +m[2] - 1, +m[3], +t[1], +t[2], +t[3]).getTime() / 1000);
}

// recordings.json: {device id: {"YYYY-MM-DD": [{"start_time": seconds or "hh:mm:ss", "end_time": ..., ...}]}}
function expandRecordings(desc) {
  const out = {};
  for (const id of Object.keys(desc || {})) {
    const list = [];
    for (const day of Object.keys(desc[id])) {
      for (const r of desc[id][day]) {
        const rec = Object.assign({}, r);
        for (const k of ['start_time', 'end_time']) {
          if (typeof rec[k] === 'string' && rec[k].includes(':')) rec[k] = localSeconds(day, rec[k]);
        }
        list.push(rec);
      }
    }
    out[id] = list;
  }
  return out;
}

function loadFixture(dir) {
  const users = readJson(dir, 'users.json', []);
  const deviceDescs = readJson(dir, 'devices.json', {});
  const devices = {};
  for (const uid of Object.keys(deviceDescs)) devices[uid] = expandDevices(deviceDescs[uid]);
  return {
    users,
    devices,
    recordings: expandRecordings(readJson(dir, 'recordings.json', {})),
    tokens: readJson(dir, 'tokens.json', {}),
    uuids: readJson(dir, 'uuids.json', {}),
  };
}

// ---- service state --------------------------------------------------------------------------------------

// Codes of error replies ({"ok":0,"code":...}) besides the two token codes of the real service.
const CODE_UNAUTHORIZED = 401;
const CODE_TOKEN_EXPIRED = 51023;
const CODE_BAD_PARAM = 10001;
const CODE_LOGIN_FAILED = 20001;
const CODE_NO_DEVICE = 40004;
const CODE_NO_STORAGE = 40005;
const CODE_UNKNOWN_UUID = 40404;

const opts = parseArgs(process.argv.slice(2));
checkFixture(opts.fixture);
const fixture = loadFixture(opts.fixture);
const tokens = new Map();  // token -> {user, expired}
const failures = new Map();  // path -> [failure, ...]
const requestLog = [];
const pushClients = new Map();  // socket id -> {socket, user_id, uniq_id, query}
const pushDevices = new Map();  // socket id -> {socket, dids}: camera simulators taking "webrtc" events

function randomHex(bytes) {
  return crypto.randomBytes(bytes).toString('hex');
}

function okReply(data) {
  return data === undefined ? { ok: 1 } : { ok: 1, data };
}

function errorReply(code, msg) {
  return { ok: 0, code, msg };
}

function isText(v) {
  return typeof v === 'string';
}

function findUser(body) {
  const byEmail = isText(body.email);
  const name = byEmail ? body.email : body.phone;
  return fixture.users.find((u) => (byEmail ? u.email === name : u.phone === name));
}

// The user of the request's token, or an error reply.
function authenticate(body) {
  if (!isText(body.token) || body.token === '') return { error: errorReply(CODE_UNAUTHORIZED, 'token required') };
  const t = tokens.get(body.token);
  if (!t) return { error: errorReply(CODE_UNAUTHORIZED, 'invalid token') };
  if (t.expired) return { error: errorReply(CODE_TOKEN_EXPIRED, 'token expired') };
  return { user: t.user };
}

function ownDevice(user, id) {
  if (!isText(id) || !/^\d+$/.test(id)) return null;
  return (fixture.devices[user.id] || []).find((d) => String(d.id) === id) || null;
}

// "YYYY-MM-DD hh:mm:ss" local time to seconds, NaN when malformed.
function parseLocalTime(text) {
  if (!isText(text)) return NaN;
  const m = /^(\d{4}-\d{2}-\d{2}) (\d{2}:\d{2}:\d{2})$/.exec(text);
  return m ? localSeconds(m[1], m[2]) : NaN;
}

// ---- API handlers: (body, ctx) -> {status?, reply, cookies?} -------------------------------------------

const api = {
  '/service': (body, ctx) => {
    if (!isText(body.source) || !isText(body.version)) return { reply: errorReply(CODE_BAD_PARAM, 'bad request') };
    const ws = ctx.secure ? 'wss' : 'ws';
    return {
      reply: okReply({ api: `${ctx.origin}/api/`, reg: `${ws}://${ctx.host}/` }),
      cookies: [`SIMROUTE=${ctx.secure ? 'tls' : 'plain'}; Path=/`],
    };
  },

  '/api/app/auth/login': (body) => {
    const hasEmail = isText(body.email);
    const hasPhone = isText(body.phone);
    if (hasEmail === hasPhone || !isText(body.password) || body.source !== 'pc')
      return { reply: errorReply(CODE_BAD_PARAM, 'bad request') };
    const user = findUser(body);
    if (!user || user.password !== body.password)
      return { reply: errorReply(CODE_LOGIN_FAILED, 'wrong account or password') };
    const token = randomHex(16);
    tokens.set(token, { user, expired: false });
    return {
      reply: okReply({ token, id: String(user.id), email: user.email || '', phone: user.phone || '' }),
      cookies: [`SIMSESSION=${randomHex(8)}; Path=/; HttpOnly`],
    };
  },

  '/api/app/v1/device/list': (body) => {
    const auth = authenticate(body);
    if (auth.error) return { reply: auth.error };
    const limit = isText(body.limit) && /^\d+$/.test(body.limit) ? parseInt(body.limit, 10) : NaN;
    if (!Number.isInteger(body.page) || body.page < 1 || !(limit >= 1 && limit <= 1000) || body.platform !== 'pc')
      return { reply: errorReply(CODE_BAD_PARAM, 'bad request') };
    if (body.device_id !== undefined && !isText(body.device_id))
      return { reply: errorReply(CODE_BAD_PARAM, 'bad request') };
    let all = fixture.devices[auth.user.id] || [];
    if (body.device_id !== undefined) all = all.filter((d) => String(d.id) === body.device_id);
    const list = all.slice((body.page - 1) * limit, body.page * limit);
    return { reply: okReply({ total: all.length, page: body.page, list }) };
  },

  '/api/device/record_info': (body) => {
    const auth = authenticate(body);
    if (auth.error) return { reply: auth.error };
    const start = parseLocalTime(body.start_time);
    const end = parseLocalTime(body.end_time);
    if (Number.isNaN(start) || Number.isNaN(end) || end < start)
      return { reply: errorReply(CODE_BAD_PARAM, 'bad request') };
    const device = ownDevice(auth.user, body.device_id);
    if (!device) return { reply: errorReply(CODE_NO_DEVICE, 'no such device') };
    const records = (fixture.recordings[String(device.id)] || []).filter(
      (r) => r.start_time <= end && r.end_time >= start);
    return { reply: okReply(records) };
  },

  '/api/device/token': (body) => {
    const auth = authenticate(body);
    if (auth.error) return { reply: auth.error };
    if (!isText(body.ossid) || !/^\d+$/.test(body.ossid)) return { reply: errorReply(CODE_BAD_PARAM, 'bad request') };
    if (!ownDevice(auth.user, body.device_id)) return { reply: errorReply(CODE_NO_DEVICE, 'no such device') };
    const creds = fixture.tokens[body.ossid];
    if (!creds) return { reply: errorReply(CODE_NO_STORAGE, 'no such storage') };
    return { reply: okReply(withStorage(creds)) };
  },

  // The UUID information service (its own deployment address; no package name, no token).
  '/api/uuid/p2p/info': (body) => {
    if (!isText(body.uuid) || body.uuid === '') return { reply: errorReply(CODE_BAD_PARAM, 'bad request') };
    const info = fixture.uuids[body.uuid];
    if (!info) return { reply: errorReply(CODE_UNKNOWN_UUID, 'unknown uuid') };
    return { reply: okReply(info) };
  },
};

// Requests of the API proper carry the package name the client adds to every body.
const NEEDS_PKGNAME = new Set(Object.keys(api).filter((p) => p !== '/api/uuid/p2p/info'));

// ---- HTTP front -----------------------------------------------------------------------------------------

function send(res, status, body, headers) {
  if (res.writableEnded || res.destroyed) return;
  const text = typeof body === 'string' ? body : JSON.stringify(body);
  res.writeHead(status, Object.assign({ 'Content-Type': typeof body === 'string' ? 'text/plain' : 'application/json',
                                        'Content-Length': Buffer.byteLength(text) }, headers || {}));
  res.end(text);
}

function takeFailure(p) {
  const q = failures.get(p);
  if (!q || q.length === 0) return null;
  const f = q[0];
  if (--f.count <= 0) q.shift();
  return f;
}

function mergeInto(target, patch) {
  for (const k of Object.keys(patch)) {
    if (patch[k] && typeof patch[k] === 'object' && !Array.isArray(patch[k]) && target[k] &&
        typeof target[k] === 'object') {
      mergeInto(target[k], patch[k]);
    } else {
      target[k] = patch[k];
    }
  }
}

function handleApi(req, res, secure) {
  const url = req.url.split('?')[0];
  if (req.headers.upgrade) return;  // the push channel's handshake
  const chunks = [];
  let size = 0;
  req.on('data', (c) => {
    size += c.length;
    if (size > 1 << 20) {
      send(res, 413, errorReply(413, 'too large'));
      req.destroy();
      return;
    }
    chunks.push(c);
  });
  req.on('end', () => {
    if (res.writableEnded) return;
    const raw = Buffer.concat(chunks).toString('utf8');
    let body = null;
    try {
      body = JSON.parse(raw);
    } catch (e) {
      body = null;
    }
    requestLog.push({ path: url, method: req.method, secure, headers: {
      'content-type': req.headers['content-type'] || '', 'user-agnent': req.headers['user-agnent'] || '',
      cookie: req.headers.cookie || '' }, body: body === null ? raw : body });
    const handler = api[url];
    if (!handler) return send(res, 404, errorReply(404, 'not found'));
    if (req.method !== 'POST') return send(res, 405, errorReply(405, 'method not allowed'), { Allow: 'POST' });
    if (!/^application\/json\b/i.test(req.headers['content-type'] || ''))
      return send(res, 415, errorReply(415, 'unsupported media type'));
    if (!body || typeof body !== 'object' || Array.isArray(body)) return send(res, 400, errorReply(400, 'bad request'));
    if (NEEDS_PKGNAME.has(url) && (!isText(body.pkgname) || body.pkgname === ''))
      return send(res, 400, errorReply(400, 'bad request'));

    const failure = takeFailure(url);
    const answer = () => {
      if (failure) {
        switch (failure.mode) {
          case 'status': return send(res, failure.status || 500, failure.body || 'Internal Server Error');
          case 'code': return send(res, 200, errorReply(failure.code, failure.msg || 'failure'));
          case 'notjson': return send(res, 200, failure.body || 'OK');
          case 'nodata': return send(res, 200, { ok: 1 });
          case 'drop': return req.socket.destroy();
          default: break;  // slow and patch answer normally
        }
      }
      const host = req.headers.host || `${opts.host}`;
      const ctx = { secure, host, origin: `${secure ? 'https' : 'http'}://${host}` };
      const out = handler(body, ctx);
      if (failure && failure.mode === 'patch' && out.reply.data && typeof out.reply.data === 'object')
        mergeInto(out.reply.data, failure.patch || {});
      send(res, out.status || 200, out.reply, out.cookies ? { 'Set-Cookie': out.cookies } : null);
    };
    if (failure && failure.delay_ms) setTimeout(answer, failure.delay_ms);
    else answer();
  });
}

// ---- push channel ---------------------------------------------------------------------------------------

// The client connects to "<reg>/?user_id=..&EIO=3&transport=websocket&sid=<token>&uniq_id=..&platform=pc&
// sdkver=..", after a drop with "&sid=<engine session>" added. The first sid is the token; the path becomes
// socket.io's; an engine session that no longer exists is dropped so that a new one starts.
function adaptPushUrl(io) {
  return (req) => {
    const q = req.url.indexOf('?');
    const p = q < 0 ? req.url : req.url.slice(0, q);
    if (p !== '/' || q < 0) return;
    let seen = false;
    const parts = [];
    for (const part of req.url.slice(q + 1).split('&')) {
      if (part.startsWith('sid=')) {
        if (!seen) {
          seen = true;
          parts.push('token=' + part.slice(4));
          continue;
        }
        if (!io.engine.clients[decodeURIComponent(part.slice(4))]) continue;
      }
      parts.push(part);
    }
    req.url = '/socket.io/?' + parts.join('&');
  };
}

function attachPush(server) {
  const io = socketio(server, {
    transports: ['websocket'],
    serveClient: false,
    allowRequest: (req, fn) => {
      const q = req._query || {};
      if (q.EIO === '3' && q.target === 'device' && isText(q.did) && q.did !== '') return fn(null, true);
      const t = tokens.get(q.token || '');
      const ok = q.EIO === '3' && q.target === 'app' && isText(q.uniq_id) && q.uniq_id !== '' && t && !t.expired &&
                 String(t.user.id) === q.user_id;
      if (!ok) console.error(`cloudsim: push REFUSED ${q.user_id || ''}`);
      fn(ok ? null : 4, ok);
    },
  });
  const adapt = adaptPushUrl(io);
  server.prependListener('upgrade', adapt);
  server.prependListener('request', adapt);
  io.on('connection', (socket) => {
    const q = socket.handshake.query;
    if (q.target === 'device') return attachDevice(socket, q);
    // "ov/device/<id>/webrtc" with the event object's text: to the cameras of that id as "webrtc".
    socket.use((packet, next) => {
      const m = /^ov\/device\/(.+)\/webrtc$/.exec(String(packet[0]));
      if (!m) return next();
      let ev = packet[1];
      try {
        if (typeof ev === 'string') ev = JSON.parse(ev);
      } catch (e) {
        console.error(`cloudsim: webrtc event from ${q.user_id} is not JSON`);
        return;
      }
      let n = 0;
      for (const d of pushDevices.values()) {
        if (!d.dids.includes(m[1])) continue;
        d.socket.emit('webrtc', ev);
        n++;
      }
      console.error(`cloudsim: webrtc ${q.user_id} -> ${m[1]} (${n} cameras)`);
    });
    pushClients.set(socket.id, { socket, user_id: q.user_id, uniq_id: q.uniq_id, platform: q.platform,
                                 sdkver: q.sdkver });
    console.error(`cloudsim: push CONNECT ${q.user_id} ${q.uniq_id}`);
    socket.on('disconnect', () => {
      pushClients.delete(socket.id);
      console.error(`cloudsim: push DISCONNECT ${q.user_id} ${q.uniq_id}`);
    });
  });
  return io;
}

// A camera simulator: "webrtc" events it sends ({"to": user id, ...}) go to that user's clients as they are.
function attachDevice(socket, q) {
  const dids = String(q.did).split(',');
  pushDevices.set(socket.id, { socket, dids });
  console.error(`cloudsim: push DEVICE ${dids.join(',')}`);
  socket.on('webrtc', (ev) => {
    if (!ev || typeof ev !== 'object') return;
    for (const c of pushClients.values())
      if (c.user_id === String(ev.to)) c.socket.emit('webrtc', ev);
  });
  socket.on('disconnect', () => pushDevices.delete(socket.id));
}

// ---- control listener -----------------------------------------------------------------------------------

const control = {
  // {"path": "/api/...", "mode": "status|code|notjson|nodata|slow|patch|drop", "count": 1, "status": 500,
  //  "code": 401, "body": "text", "delay_ms": 0, "patch": {...}}
  '/fail': (b) => {
    if (!isText(b.path) || !api[b.path]) return { error: 'unknown path' };
    if (!['status', 'code', 'notjson', 'nodata', 'slow', 'patch', 'drop'].includes(b.mode)) return { error: 'bad mode' };
    const f = Object.assign({ count: 1 }, b);
    if (!failures.has(b.path)) failures.set(b.path, []);
    failures.get(b.path).push(f);
    return {};
  },
  // {"user_id": "..."} or {} for every token.
  '/expire': (b) => {
    let n = 0;
    for (const t of tokens.values()) {
      if (b.user_id === undefined || String(t.user.id) === b.user_id) {
        t.expired = true;
        n++;
      }
    }
    return { expired: n };
  },
  '/password': (b) => {
    const u = fixture.users.find((x) => String(x.id) === b.user_id);
    if (!u || !isText(b.password)) return { error: 'unknown user' };
    u.password = b.password;
    return {};
  },
  // {"event": "name", "payload": any, "user_id": "..."} to that user's clients, or to all without user_id.
  '/push': (b) => {
    if (!isText(b.event)) return { error: 'no event' };
    let n = 0;
    for (const c of pushClients.values()) {
      if (b.user_id !== undefined && c.user_id !== b.user_id) continue;
      c.socket.emit(b.event, b.payload);
      n++;
    }
    return { sent: n };
  },
  '/clients': () => ({ clients: [...pushClients.values()].map((c) => ({ user_id: c.user_id, uniq_id: c.uniq_id,
                                                                        platform: c.platform, sdkver: c.sdkver })) }),
  '/requests': () => ({ requests: requestLog }),
  '/reset': () => {
    requestLog.length = 0;
    failures.clear();
    return {};
  },
};

function handleControl(req, res) {
  const chunks = [];
  req.on('data', (c) => chunks.push(c));
  req.on('end', () => {
    const fn = control[req.url];
    if (!fn) return send(res, 404, { error: 'not found' });
    let body = {};
    const raw = Buffer.concat(chunks).toString('utf8');
    if (raw.trim() !== '') {
      try {
        body = JSON.parse(raw);
      } catch (e) {
        return send(res, 400, { error: 'bad json' });
      }
    }
    const out = fn(body || {});
    send(res, out.error ? 400 : 200, out);
  });
}

// ---- start ----------------------------------------------------------------------------------------------

function listen(server, port) {
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, opts.host, () => resolve(server.address().port));
  });
}

async function main() {
  const plain = http.createServer((req, res) => handleApi(req, res, false));
  attachPush(plain);
  const httpPort = await listen(plain, opts.port);
  let httpsPort = null;
  if (opts.httpsPort !== null) {
    const secure = https.createServer({ cert: fs.readFileSync(opts.cert), key: fs.readFileSync(opts.key) },
                                      (req, res) => handleApi(req, res, true));
    attachPush(secure);
    httpsPort = await listen(secure, opts.httpsPort);
  }
  const ctl = http.createServer(handleControl);
  const controlPort = await listen(ctl, opts.controlPort);

  const hostText = opts.host.includes(':') ? `[${opts.host}]` : opts.host;
  if (opts.conf) {
    const entry = httpsPort !== null ? `https://${hostText}:${httpsPort}` : `http://${hostText}:${httpPort}`;
    fs.writeFileSync(opts.conf, [
      '[servers]',
      `production=${entry}`,
      `test=http://${hostText}:${httpPort}`,
      `pre_release=${entry}`,
      `uuid_production=http://${hostText}:${httpPort}`,
      `uuid_test=http://${hostText}:${httpPort}`,
      `state_servers=${opts.host}:18081`,
      '',
    ].join('\n'));
  }
  console.log(`HTTP ${httpPort}`);
  if (httpsPort !== null) console.log(`HTTPS ${httpsPort}`);
  console.log(`CONTROL ${controlPort}`);
  console.log('READY');

  const stop = () => process.exit(0);
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
  if (opts.watchStdin) {
    // Ends with its parent: a closed standard input means the test that started it has gone.
    process.stdin.on('end', stop);
    process.stdin.on('error', stop);
    process.stdin.resume();
  }
}

main().catch((e) => fail(e.message));
